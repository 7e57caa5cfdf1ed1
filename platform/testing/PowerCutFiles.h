// A file system wrapper that keeps synced and unsynced changes apart: it records every write,
// truncation, sync and folder change, can give the disk as a power cut after any prefix of them
// would leave it (with any subset of the changes no sync made durable), and can cut the power of
// the wrapped file system now.
#pragma once
#include "platform/testing/FileSystemWrapper.h"

#include <map>
#include <mutex>

namespace plat {

struct FileEvent {
    enum Kind { Create, Write, Truncate, Sync, Remove, Rename, SyncDir };
    Kind kind;
    int file = -1;     // the file's identity, which a rename keeps
    std::string path;  // Create, Remove, Rename (from), SyncDir
    std::string path2; // Rename (to)
    uint64_t pos = 0;  // Write: position; Truncate: the new size
    std::string data;  // Write
    bool more = false; // Write: the next event holds more pages of the same write call
};

class PowerCutFiles final : public FileSystemWrapper {
public:
    explicit PowerCutFiles(FileSystem& inner) : FileSystemWrapper(inner) {}

    std::vector<FileEvent> events() const;
    size_t eventCount() const;

    // The files (full path -> content) after the power fails behind the first count events.
    // Without dropUnsynced the disk kept every one of them in order; with it the disk kept only
    // what a sync made durable: a file's writes up to its last sync (a write-through file syncs
    // each write), and creations, removals and renames up to the last sync of their folder.
    // Files the wrapper never touched are not in the result.
    std::map<std::string, std::string> diskAfter(size_t count, bool dropUnsynced) const;
    // The changes (indices into events()) among the first count events that no sync made durable:
    // a disk may keep any subset of them, in any order of arrival.
    std::vector<size_t> unsynced(size_t count) const;
    // The disk after the first count events when it kept what syncs made durable and, of the
    // unsynced changes, only those listed.
    std::map<std::string, std::string> diskAfter(size_t count, const std::vector<size_t>& keptUnsynced) const;

    // Cuts the power now: the wrapped file system keeps only what was synced, every open handle
    // becomes dead (its routines fail with EIO; closing it succeeds) and recording starts afresh.
    // Changes made through mappings are not seen.
    void cutPower();

    // Writes a disk image into a file system, making missing folders.
    static int Restore(FileSystem& fs, const std::map<std::string, std::string>& disk);

    int open(const std::string& path, uint32_t flags, FileShare share, uint32_t mode,
             FileHandle& out) override;
    int close(FileHandle h) override;
    int read(FileHandle h, uint64_t pos, void* buf, size_t count, size_t& done) override;
    int write(FileHandle h, uint64_t pos, const void* buf, size_t count, size_t& done) override;
    int sync(FileHandle h, bool dataOnly) override;
    int size(FileHandle h, uint64_t& out) override;
    int truncate(FileHandle h, uint64_t size) override;
    int map(FileHandle h, uint64_t offset, size_t length, bool writable, void*& addr) override;
    int remove(const std::string& path) override;
    int rename(const std::string& from, const std::string& to, bool replace) override;
    int syncDir(const std::string& path) override;

private:
    struct Handle {
        FileHandle inner = kNoFile; // kNoFile: dead after a power cut
        int file = -1;
        bool writeThrough = false;
        bool append = false;
    };
    // The identity of the file at p, learning an existing file's content on first sight; -1 when
    // there is none.
    int learn(const std::string& p);
    Handle* live(FileHandle h);
    // Whether each of the first count events was made durable by a later sync inside them.
    std::vector<bool> durable(size_t count) const;
    std::map<std::string, std::string> replay(size_t count, const std::vector<bool>& kept) const;

    mutable std::recursive_mutex mu_;
    std::map<int, std::string> initial_; // content of each file when first seen
    int nextFile_ = 0;
    std::map<std::string, int> initialNames_; // names when first seen
    std::map<std::string, int> names_;        // names now
    std::vector<FileEvent> events_;
    std::map<FileHandle, Handle> handles_;
    FileHandle nextHandle_ = FileHandle(1) << 40; // never an inner handle's number
};

} // namespace plat
