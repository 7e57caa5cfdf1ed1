// A file system that passes every routine on to another one, with a hook before each call; the
// base of the test wrappers.
#pragma once
#include "platform/Files.h"

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

class FileSystemWrapper : public FileSystem {
public:
    explicit FileSystemWrapper(FileSystem& inner) : inner_(inner) {}

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

protected:
    // Before each call: an error to give instead of making it, or 0. A close or an unmap is made
    // even so (as the real ones release what they were given), and the error given after it.
    virtual int enter(FileOp) { return 0; }
    // After a successful open, and after every close.
    virtual void opened(FileHandle) {}
    virtual void closed(FileHandle) {}

    FileSystem& inner_;
};

} // namespace plat
