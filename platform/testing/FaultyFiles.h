// A file system wrapper that fails the Nth call of any routine or of one named routine, and keeps
// count of the calls and of the files left open.
#pragma once
#include "platform/Files.h"

#include <array>
#include <mutex>
#include <set>

namespace plat {

enum class FileOp {
    Open,
    Close,
    Read,
    Write,
    Sync,
    Size,
    Truncate,
    Map,
    Unmap,
    Stat,
    Volume,
    ListDir,
    Remove,
    Rename,
    Mkdir,
    Rmdir,
    Chmod,
    SyncDir,
    Any
};
inline constexpr size_t kFileOpCount = size_t(FileOp::Any);
const char* FileOpName(FileOp op);

class FaultyFiles final : public FileSystem {
public:
    explicit FaultyFiles(FileSystem& inner) : inner_(inner) {}

    // The nth call from now (1 = the next one) of op fails with err; with sticky every later call
    // of op fails too. A failed close still releases the handle, as the real one does.
    void failAt(uint64_t nth, FileOp op = FileOp::Any, int err = EIO, bool sticky = false);
    void clearFault();
    // Calls of op (or of all routines) since construction or reset().
    uint64_t calls(FileOp op = FileOp::Any) const;
    void reset();
    bool faultFired() const;
    // Handles opened through this wrapper and not yet closed.
    std::set<FileHandle> openHandles() const;

    int open(const std::string& path, uint32_t flags, FileShare share, uint32_t mode,
             FileHandle& out) override;
    int close(FileHandle h) override;
    int read(FileHandle h, uint64_t pos, void* buf, size_t count, size_t& done) override;
    int write(FileHandle h, uint64_t pos, const void* buf, size_t count, size_t& done) override;
    int sync(FileHandle h, bool dataOnly) override;
    int size(FileHandle h, uint64_t& out) override;
    int truncate(FileHandle h, uint64_t size) override;
    int map(FileHandle h, uint64_t offset, size_t length, bool writable, void*& addr) override;
    int unmap(void* addr, size_t length) override;
    int stat(const std::string& path, FileStat& out) override;
    int volume(const std::string& path, VolumeInfo& out) override;
    int listDir(const std::string& path, std::vector<DirEntry>& out) override;
    int remove(const std::string& path) override;
    int rename(const std::string& from, const std::string& to, bool replace) override;
    int mkdir(const std::string& path, uint32_t mode) override;
    int rmdir(const std::string& path) override;
    int chmod(const std::string& path, uint32_t mode) override;
    int syncDir(const std::string& path) override;

private:
    // The error to give for this call of op, or 0 to pass it on.
    int enter(FileOp op);

    FileSystem& inner_;
    mutable std::mutex mu_;
    std::array<uint64_t, kFileOpCount + 1> calls_{};
    FileOp faultOp_ = FileOp::Any;
    uint64_t faultAt_ = 0; // in calls of faultOp_; 0 = none
    int faultErr_ = 0;
    bool sticky_ = false;
    bool fired_ = false;
    std::set<FileHandle> open_;
};

} // namespace plat
