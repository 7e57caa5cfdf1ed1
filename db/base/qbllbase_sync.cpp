// Padlocks, auto-reset events and read/write portals.
#include "db/base/qbllbase.h"

#include "db/base/qbllexcp.h"
#include "db/base/qbsrmgr.h"

#include <algorithm>
#include <chrono>

// ---------------------------------------------------------------------------------------------
// Padlock

void TqbPadlock::Lock() {
    m_.lock();
    owner_.store(std::this_thread::get_id(), std::memory_order_relaxed);
    ++count_;
}

void TqbPadlock::Unlock() {
    if (owner_.load(std::memory_order_relaxed) != std::this_thread::get_id() || count_ <= 0) return;
    if (--count_ == 0) owner_.store(std::thread::id(), std::memory_order_relaxed);
    m_.unlock();
}

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
    if (--*held == 0)
        readers_.erase(
            std::find_if(readers_.begin(), readers_.end(), [&](auto& r) { return r.first == me; }));
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
}

void TqbReadWritePortal::EndWrite() {
    std::unique_lock lk(m_);
    if (!writerActive_ || writer_ != std::this_thread::get_id()) return;
    if (--writeNesting_ > 0) return;
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
