// The fault-injecting file system wrapper.
#include "platform/testing/FaultyFiles.h"

#include <cerrno>

namespace plat {

const char* FileOpName(FileOp op) {
    static const char* const names[] = {"open",  "close", "read",  "write",   "sync",    "size",   "truncate",
                                        "map",   "unmap", "stat",  "volume",  "listDir", "remove", "rename",
                                        "mkdir", "rmdir", "chmod", "syncDir", "any"};
    return names[size_t(op)];
}

void FaultyFiles::failAt(uint64_t nth, FileOp op, int err, bool sticky) {
    std::lock_guard lock(mu_);
    faultOp_ = op;
    faultAt_ = nth == 0 ? 0 : calls_[size_t(op)] + nth;
    faultErr_ = err;
    sticky_ = sticky;
    fired_ = false;
}

void FaultyFiles::clearFault() {
    std::lock_guard lock(mu_);
    faultAt_ = 0;
}

uint64_t FaultyFiles::calls(FileOp op) const {
    std::lock_guard lock(mu_);
    return calls_[size_t(op)];
}

void FaultyFiles::reset() {
    std::lock_guard lock(mu_);
    calls_ = {};
    faultAt_ = 0;
    fired_ = false;
}

bool FaultyFiles::faultFired() const {
    std::lock_guard lock(mu_);
    return fired_;
}

std::set<FileHandle> FaultyFiles::openHandles() const {
    std::lock_guard lock(mu_);
    return open_;
}

int FaultyFiles::enter(FileOp op) {
    std::lock_guard lock(mu_);
    ++calls_[size_t(op)];
    ++calls_[size_t(FileOp::Any)];
    if (faultAt_ == 0) return 0;
    uint64_t n = calls_[size_t(faultOp_)];
    if ((faultOp_ == FileOp::Any || faultOp_ == op) && (n == faultAt_ || (sticky_ && n > faultAt_))) {
        fired_ = true;
        return faultErr_;
    }
    return 0;
}

int FaultyFiles::open(const std::string& path, uint32_t flags, FileShare share, uint32_t mode,
                      FileHandle& out) {
    out = kNoFile;
    if (int err = enter(FileOp::Open)) return err;
    int err = inner_.open(path, flags, share, mode, out);
    if (!err) {
        std::lock_guard lock(mu_);
        open_.insert(out);
    }
    return err;
}

int FaultyFiles::close(FileHandle h) {
    int fault = enter(FileOp::Close);
    int err = inner_.close(h);
    {
        std::lock_guard lock(mu_);
        open_.erase(h);
    }
    return fault ? fault : err;
}

int FaultyFiles::read(FileHandle h, uint64_t pos, void* buf, size_t count, size_t& done) {
    done = 0;
    if (int err = enter(FileOp::Read)) return err;
    return inner_.read(h, pos, buf, count, done);
}

int FaultyFiles::write(FileHandle h, uint64_t pos, const void* buf, size_t count, size_t& done) {
    done = 0;
    if (int err = enter(FileOp::Write)) return err;
    return inner_.write(h, pos, buf, count, done);
}

int FaultyFiles::sync(FileHandle h, bool dataOnly) {
    if (int err = enter(FileOp::Sync)) return err;
    return inner_.sync(h, dataOnly);
}

int FaultyFiles::size(FileHandle h, uint64_t& out) {
    if (int err = enter(FileOp::Size)) return err;
    return inner_.size(h, out);
}

int FaultyFiles::truncate(FileHandle h, uint64_t size) {
    if (int err = enter(FileOp::Truncate)) return err;
    return inner_.truncate(h, size);
}

int FaultyFiles::map(FileHandle h, uint64_t offset, size_t length, bool writable, void*& addr) {
    addr = nullptr;
    if (int err = enter(FileOp::Map)) return err;
    return inner_.map(h, offset, length, writable, addr);
}

int FaultyFiles::unmap(void* addr, size_t length) {
    // The mapping goes whatever is reported, like a failed close.
    int fault = enter(FileOp::Unmap);
    int err = inner_.unmap(addr, length);
    return fault ? fault : err;
}

int FaultyFiles::stat(const std::string& path, FileStat& out) {
    if (int err = enter(FileOp::Stat)) return err;
    return inner_.stat(path, out);
}

int FaultyFiles::volume(const std::string& path, VolumeInfo& out) {
    if (int err = enter(FileOp::Volume)) return err;
    return inner_.volume(path, out);
}

int FaultyFiles::listDir(const std::string& path, std::vector<DirEntry>& out) {
    out.clear();
    if (int err = enter(FileOp::ListDir)) return err;
    return inner_.listDir(path, out);
}

int FaultyFiles::remove(const std::string& path) {
    if (int err = enter(FileOp::Remove)) return err;
    return inner_.remove(path);
}

int FaultyFiles::rename(const std::string& from, const std::string& to, bool replace) {
    if (int err = enter(FileOp::Rename)) return err;
    return inner_.rename(from, to, replace);
}

int FaultyFiles::mkdir(const std::string& path, uint32_t mode) {
    if (int err = enter(FileOp::Mkdir)) return err;
    return inner_.mkdir(path, mode);
}

int FaultyFiles::rmdir(const std::string& path) {
    if (int err = enter(FileOp::Rmdir)) return err;
    return inner_.rmdir(path);
}

int FaultyFiles::chmod(const std::string& path, uint32_t mode) {
    if (int err = enter(FileOp::Chmod)) return err;
    return inner_.chmod(path, mode);
}

int FaultyFiles::syncDir(const std::string& path) {
    if (int err = enter(FileOp::SyncDir)) return err;
    return inner_.syncDir(path);
}

} // namespace plat
