// The fault-injecting file system wrapper.
#include "platform/testing/FaultyFiles.h"

#include <cerrno>

namespace plat {

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

void FaultyFiles::opened(FileHandle h) {
    std::lock_guard lock(mu_);
    open_.insert(h);
}

void FaultyFiles::closed(FileHandle h) {
    std::lock_guard lock(mu_);
    open_.erase(h);
}

} // namespace plat
