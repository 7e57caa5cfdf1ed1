// The pass-through file system.
#include "platform/testing/FileSystemWrapper.h"

namespace plat {

const char* FileOpName(FileOp op) {
    static const char* const names[] = {"open",  "close", "read",  "write",   "sync",    "size",   "truncate",
                                        "map",   "unmap", "stat",  "volume",  "listDir", "remove", "rename",
                                        "mkdir", "rmdir", "chmod", "syncDir", "any"};
    return names[size_t(op)];
}

int FileSystemWrapper::open(const std::string& path, uint32_t flags, FileShare share, uint32_t mode,
                            FileHandle& out) {
    out = kNoFile;
    if (int err = enter(FileOp::Open)) return err;
    int err = inner_.open(path, flags, share, mode, out);
    if (!err) opened(out);
    return err;
}

int FileSystemWrapper::close(FileHandle h) {
    int fault = enter(FileOp::Close);
    int err = inner_.close(h);
    closed(h);
    return fault ? fault : err;
}

int FileSystemWrapper::read(FileHandle h, uint64_t pos, void* buf, size_t count, size_t& done) {
    done = 0;
    if (int err = enter(FileOp::Read)) return err;
    return inner_.read(h, pos, buf, count, done);
}

int FileSystemWrapper::write(FileHandle h, uint64_t pos, const void* buf, size_t count, size_t& done) {
    done = 0;
    if (int err = enter(FileOp::Write)) return err;
    return inner_.write(h, pos, buf, count, done);
}

int FileSystemWrapper::sync(FileHandle h, bool dataOnly) {
    if (int err = enter(FileOp::Sync)) return err;
    return inner_.sync(h, dataOnly);
}

int FileSystemWrapper::size(FileHandle h, uint64_t& out) {
    if (int err = enter(FileOp::Size)) return err;
    return inner_.size(h, out);
}

int FileSystemWrapper::truncate(FileHandle h, uint64_t size) {
    if (int err = enter(FileOp::Truncate)) return err;
    return inner_.truncate(h, size);
}

int FileSystemWrapper::map(FileHandle h, uint64_t offset, size_t length, bool writable, void*& addr) {
    addr = nullptr;
    if (int err = enter(FileOp::Map)) return err;
    return inner_.map(h, offset, length, writable, addr);
}

int FileSystemWrapper::unmap(void* addr, size_t length) {
    int fault = enter(FileOp::Unmap);
    int err = inner_.unmap(addr, length);
    return fault ? fault : err;
}

int FileSystemWrapper::stat(const std::string& path, FileStat& out) {
    if (int err = enter(FileOp::Stat)) return err;
    return inner_.stat(path, out);
}

int FileSystemWrapper::volume(const std::string& path, VolumeInfo& out) {
    if (int err = enter(FileOp::Volume)) return err;
    return inner_.volume(path, out);
}

int FileSystemWrapper::listDir(const std::string& path, std::vector<DirEntry>& out) {
    out.clear();
    if (int err = enter(FileOp::ListDir)) return err;
    return inner_.listDir(path, out);
}

int FileSystemWrapper::remove(const std::string& path) {
    if (int err = enter(FileOp::Remove)) return err;
    return inner_.remove(path);
}

int FileSystemWrapper::rename(const std::string& from, const std::string& to, bool replace) {
    if (int err = enter(FileOp::Rename)) return err;
    return inner_.rename(from, to, replace);
}

int FileSystemWrapper::mkdir(const std::string& path, uint32_t mode) {
    if (int err = enter(FileOp::Mkdir)) return err;
    return inner_.mkdir(path, mode);
}

int FileSystemWrapper::rmdir(const std::string& path) {
    if (int err = enter(FileOp::Rmdir)) return err;
    return inner_.rmdir(path);
}

int FileSystemWrapper::chmod(const std::string& path, uint32_t mode) {
    if (int err = enter(FileOp::Chmod)) return err;
    return inner_.chmod(path, mode);
}

int FileSystemWrapper::syncDir(const std::string& path) {
    if (int err = enter(FileOp::SyncDir)) return err;
    return inner_.syncDir(path);
}

} // namespace plat
