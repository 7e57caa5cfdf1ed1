// A file system wrapper that fails the Nth call of any routine or of one named routine, and keeps
// count of the calls and of the files left open.
#pragma once
#include "platform/testing/FileSystemWrapper.h"

#include <array>
#include <cerrno>
#include <mutex>
#include <set>

namespace plat {

class FaultyFiles final : public FileSystemWrapper {
public:
    explicit FaultyFiles(FileSystem& inner) : FileSystemWrapper(inner) {}

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

private:
    int enter(FileOp op) override;
    void opened(FileHandle h) override;
    void closed(FileHandle h) override;

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
