// Padlocks, auto-reset events and read/write portals.
#include "db/base/qbllbase.h"

#include "db/base/qbllexcp.h"
#include "db/base/qbsrmgr.h"

#include <algorithm>
#include <chrono>

#if defined(__SANITIZE_THREAD__)
#define PW_TELL_TSAN 1
#elif defined(__has_feature)
#if __has_feature(thread_sanitizer)
#define PW_TELL_TSAN 1
#endif
#endif
#if defined(PW_TELL_TSAN)
#include <sanitizer/tsan_interface.h>
#endif

// ---------------------------------------------------------------------------------------------
// Padlock

// Lock and Unlock are inline in the header. Only the holder ever stores its own id: a thread that
// reads its id holds the padlock.

// ---------------------------------------------------------------------------------------------
// Event

uint32_t TqbEvent::TryWait(uint32_t timeoutMs) {
    std::unique_lock lk(m_);
    if (timeoutMs == 0) {
        cv_.wait(lk, [this] { return signalled_; });
    } else if (!cv_.wait_for(lk, std::chrono::milliseconds(timeoutMs), [this] { return signalled_; })) {
        return WaitTimeout;
    }
    signalled_ = false;
    return 0;
}

void TqbEvent::WaitFor(uint32_t timeoutMs) {
    if (TryWait(timeoutMs) == WaitTimeout) RaiseResourceError<EqbException>(GeneralStrings(), 288);
}

void TqbEvent::Signal() {
    {
        std::lock_guard lk(m_);
        signalled_ = true;
    }
    cv_.notify_one();
}

// ---------------------------------------------------------------------------------------------
// Read/write portal

namespace {

// A portal waits on condition variables, so ThreadSanitizer would not know it for a lock and could
// not check the order in which portals, padlocks and mutexes are taken. It is told: a thread's
// outermost read or write counts as taking the lock (after the portal let it in and its own mutex
// was left, so that mutex is never ordered against the portal), and the end of it as leaving it
// (before the portal lets anyone else in). Nested reads and writes are not told.
enum class Told { Read, Write };
#if defined(PW_TELL_TSAN)
unsigned tsanFlags(Told how) {
    return how == Told::Read ? unsigned(__tsan_mutex_read_lock) : 0u;
}
void toldLocked(void* portal, Told how) {
    __tsan_mutex_pre_lock(portal, tsanFlags(how));
    __tsan_mutex_post_lock(portal, tsanFlags(how), 0);
}
void toldUnlocked(void* portal, Told how) {
    __tsan_mutex_pre_unlock(portal, tsanFlags(how));
    __tsan_mutex_post_unlock(portal, tsanFlags(how));
}
#else
void toldLocked(void*, Told) {}
void toldUnlocked(void*, Told) {}
#endif

} // namespace

TqbReadWritePortal::TqbReadWritePortal() {
#if defined(PW_TELL_TSAN)
    __tsan_mutex_create(&checkerName_, 0);
#endif
}

TqbReadWritePortal::~TqbReadWritePortal() {
#if defined(PW_TELL_TSAN)
    __tsan_mutex_destroy(&checkerName_, 0);
#endif
}

int* TqbReadWritePortal::findReader(std::thread::id id) {
    for (auto& [tid, n] : readers_)
        if (tid == id) return &n;
    return nullptr;
}

void TqbReadWritePortal::BeginRead() {
    auto me = std::this_thread::get_id();
    std::unique_lock lk(m_);
    if (writerActive_ && writer_ == me) {
        ++readNesting_;
        return;
    }
    int* held = findReader(me);
    if (held) {
        // Already reading: waiting behind a writer that waits for this very reader would never end.
        ++*held;
        ++activeReaders_;
        return;
    }
    if (!writerActive_ && waitingWriters_ == 0) {
        ++activeReaders_;
    } else {
        ++waitingReaders_;
        uint64_t release = readerRelease_;
        readersCv_.wait(lk, [&] { return readerRelease_ != release; }); // counted active by EndWrite
    }
    readers_.emplace_back(me, 1);
    lk.unlock();
    toldLocked(&checkerName_, Told::Read);
}

void TqbReadWritePortal::EndRead() {
    auto me = std::this_thread::get_id();
    std::unique_lock lk(m_);
    if (writerActive_ && writer_ == me) {
        if (readNesting_ > 0) --readNesting_;
        return;
    }
    int* held = findReader(me);
    if (!held) return; // not a reader: nothing to end
    if (--*held == 0) {
        toldUnlocked(&checkerName_, Told::Read);
        readers_.erase(
            std::find_if(readers_.begin(), readers_.end(), [&](auto& r) { return r.first == me; }));
    }
    if (activeReaders_ > 0) --activeReaders_;
    if (activeReaders_ == 0 && waitingWriters_ > 0) {
        --waitingWriters_;
        writerActive_ = true;
        ++writerHandoffs_;
        lk.unlock();
        writersCv_.notify_all();
    }
}

void TqbReadWritePortal::BeginWrite() {
    auto me = std::this_thread::get_id();
    std::unique_lock lk(m_);
    if (writerActive_ && writer_ == me) {
        ++writeNesting_;
        return;
    }
    if (findReader(me)) {
        lk.unlock();
        RaiseResourceErrorFmt<EqbException>(GeneralStrings(), 294, {"BeginWrite"});
    }
    if (!writerActive_ && activeReaders_ == 0) {
        writerActive_ = true;
    } else {
        ++waitingWriters_;
        writersCv_.wait(lk, [this] { return writerHandoffs_ > 0; });
        --writerHandoffs_; // writerActive_ was set by whoever handed over
    }
    writer_ = me;
    readNesting_ = 0;
    writeNesting_ = 1;
    lk.unlock();
    toldLocked(&checkerName_, Told::Write);
}

void TqbReadWritePortal::EndWrite() {
    std::unique_lock lk(m_);
    if (!writerActive_ || writer_ != std::this_thread::get_id()) return;
    if (--writeNesting_ > 0) return;
    toldUnlocked(&checkerName_, Told::Write);
    writer_ = std::thread::id();
    if (waitingReaders_ > 0) {
        activeReaders_ += int32_t(waitingReaders_);
        waitingReaders_ = 0;
        writerActive_ = false;
        ++readerRelease_;
        lk.unlock();
        readersCv_.notify_all();
    } else if (waitingWriters_ > 0) {
        --waitingWriters_;
        ++writerHandoffs_; // writerActive_ stays set for the next writer
        lk.unlock();
        writersCv_.notify_all();
    } else {
        writerActive_ = false;
    }
}

int32_t TqbReadWritePortal::ActiveReaders() {
    std::lock_guard lk(m_);
    return activeReaders_;
}
uint32_t TqbReadWritePortal::WaitingReaders() {
    std::lock_guard lk(m_);
    return waitingReaders_;
}
uint32_t TqbReadWritePortal::WaitingWriters() {
    std::lock_guard lk(m_);
    return waitingWriters_;
}
bool TqbReadWritePortal::WriterActive() {
    std::lock_guard lk(m_);
    return writerActive_;
}
