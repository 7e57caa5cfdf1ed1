// Thread base, timer thread, pooled threads and the thread pool.
#include "db/base/qbllthrd.h"

#include "db/base/qblllog.h"

#include <algorithm>
#include <chrono>

// ---------------------------------------------------------------------------------------------
// Thread base

TqbThread::~TqbThread() {
    Terminate();
    WaitFor();
}

void TqbThread::Start() {
    if (thread_.joinable() || finished_) return;
    suspended_ = false;
    thread_ = std::thread([this] {
        try {
            Execute();
        } catch (...) {
            fatal_ = std::current_exception();
        }
        if (OnTerminate) {
            try {
                OnTerminate(this);
            } catch (...) {
            }
        }
        std::lock_guard g(endMutex_);
        finished_ = true;
        endCv_.notify_all();
    });
    id_ = thread_.get_id();
}

bool TqbThread::Finished() {
    std::lock_guard g(endMutex_);
    return finished_;
}

void TqbThread::WaitFor() {
    WaitForEx(0);
}

uint32_t TqbThread::WaitForEx(uint32_t timeoutMs) {
    std::unique_lock lk(endMutex_);
    if (!thread_.joinable()) return 0;
    if (thread_.get_id() == std::this_thread::get_id()) return 0; // a thread cannot wait for itself
    if (timeoutMs == 0) {
        endCv_.wait(lk, [this] { return finished_; });
    } else if (!endCv_.wait_for(lk, std::chrono::milliseconds(timeoutMs), [this] { return finished_; })) {
        return TqbEvent::WaitTimeout;
    }
    thread_.join(); // finished: the thread no longer takes endMutex_
    return 0;
}

// ---------------------------------------------------------------------------------------------
// Timer thread

TqbTimerThread::TqbTimerThread(uint32_t frequency, bool createSuspended, void* cookie,
                               TimerEventFn timerEvent)
    : TqbThread(true), frequency_(frequency), cookie_(cookie), timerEvent_(std::move(timerEvent)) {
    if (!timerEvent_)
        RaiseComponentErrorFmt(1290, {"aTimerEvent", std::string(ClassName()) + ".constructor"});
    if (!createSuspended) Start();
}

TqbTimerThread::~TqbTimerThread() {
    Terminate();
    WaitFor();
}

void TqbTimerThread::Terminate() {
    TqbThread::Terminate();
    wake_.Signal();
}

void TqbTimerThread::Execute() {
    while (!Terminated()) {
        if (wake_.TryWait(frequency_) != TqbEvent::WaitTimeout) {
            TqbThread::Terminate();
            break;
        }
        try {
            timerEvent_(cookie_);
        } catch (const std::exception& e) {
            if (TqbBaseLog* log = eventLog_.load())
                log->WriteTextFmt("%s: timer event failed: %s", {ClassName(), e.what()});
        } catch (...) {
            if (TqbBaseLog* log = eventLog_.load())
                log->WriteTextFmt("%s: timer event failed", {ClassName()});
        }
    }
}

// ---------------------------------------------------------------------------------------------
// Pooled thread

namespace {
// The pool of the calling thread when it is a pooled thread, and the depth of its marked waits.
thread_local TqbThreadPool* tlsPool = nullptr;
thread_local int tlsWaitDepth = 0;
} // namespace

TqbBlockingWait::TqbBlockingWait() {
    if (!tlsPool || tlsWaitDepth++ > 0) return;
    pool_ = tlsPool;
    pool_->enterWait();
}

TqbBlockingWait::~TqbBlockingWait() {
    if (!tlsPool) return;
    --tlsWaitDepth;
    if (pool_) pool_->leaveWait();
}

TqbPooledThread::TqbPooledThread(TqbThreadPool* pool) : TqbThread(true), pool_(pool) {
    Start();
}

TqbPooledThread::~TqbPooledThread() {
    Terminate();
    WaitFor();
}

void TqbPooledThread::Process(intptr_t argument, TqbPoolMethod method) {
    {
        std::lock_guard g(m_);
        argument_ = argument;
        method_ = std::move(method);
        requestPending_ = true;
    }
    cv_.notify_one();
}

void TqbPooledThread::Terminate() {
    {
        std::lock_guard g(m_);
        TqbThread::Terminate();
    }
    cv_.notify_one();
}

void TqbPooledThread::ReturnToPool() {
    pool_->ThreadDone(this);
}

void TqbPooledThread::Execute() {
    tlsPool = pool_;
    for (;;) {
        intptr_t argument;
        TqbPoolMethod method;
        {
            std::unique_lock lk(m_);
            cv_.wait(lk, [this] { return requestPending_ || Terminated(); });
            if (!requestPending_) return; // terminated while idle
            requestPending_ = false;
            argument = argument_;
            method = std::move(method_);
            argument_ = -1;
        }
        if (method) {
            try {
                method(argument);
            } catch (const std::exception& e) {
                pool_->LogTextFmt("Thread pool request failed: %s", {e.what()});
            } catch (...) {
                pool_->LogText("Thread pool request failed");
            }
        }
        if (Terminated()) return;
        ReturnToPool();
    }
}

// ---------------------------------------------------------------------------------------------
// Thread pool

TqbPooledThread* TqbThreadPool::GetIdleThread() {
    std::lock_guard g(lock_);
    if (closing_) return nullptr;
    if (runningCount() >= maxCount_) return nullptr;
    std::unique_ptr<TqbPooledThread> t;
    if (!idle_.empty()) {
        t = std::move(idle_.back());
        idle_.pop_back();
    } else {
        t = std::make_unique<TqbPooledThread>(this);
    }
    busy_.push_back(std::move(t));
    return busy_.back().get();
}

void TqbThreadPool::ProcessRequest(intptr_t argument, TqbPoolMethod method) {
    std::lock_guard g(lock_);
    if (closing_) return;
    if (TqbPooledThread* t = GetIdleThread())
        t->Process(argument, std::move(method));
    else
        queue_.push_back(Request{argument, std::move(method)});
}

void TqbThreadPool::ThreadDone(TqbPooledThread* thread) {
    std::vector<std::unique_ptr<TqbPooledThread>> ended;
    {
        std::lock_guard g(lock_);
        if (closing_) return;
        // Waiters that woke may have left more running than MaxCount: this thread then rests.
        if (!queue_.empty() && runningCount() <= maxCount_) {
            Request r = std::move(queue_.front());
            queue_.pop_front();
            thread->Process(r.argument, std::move(r.method)); // stays busy
            return;
        }
        auto it = std::find_if(busy_.begin(), busy_.end(), [&](auto& p) { return p.get() == thread; });
        if (it == busy_.end()) return;
        std::unique_ptr<TqbPooledThread> done = std::move(*it);
        busy_.erase(it);
        if (int32_t(busy_.size() + idle_.size()) < maxCount_) {
            idle_.push_back(std::move(done));
            return;
        }
        // One of the threads made while others waited (or above a lowered MaxCount): it ends
        // instead of resting. A thread cannot wait for its own end, so the next one to end (or
        // the pool's destruction) waits for it; this one waits for the one before.
        done->Terminate();
        ended.swap(ending_);
        ending_.push_back(std::move(done));
    }
    ended.clear(); // past its last use of the pool: each ends at once
}

void TqbThreadPool::dispatchQueued() {
    while (!queue_.empty() && !closing_) {
        TqbPooledThread* t = GetIdleThread();
        if (!t) return;
        Request r = std::move(queue_.front());
        queue_.pop_front();
        t->Process(r.argument, std::move(r.method));
    }
}

void TqbThreadPool::enterWait() {
    std::lock_guard g(lock_);
    ++waiting_;
    dispatchQueued();
}

void TqbThreadPool::leaveWait() {
    std::lock_guard g(lock_);
    --waiting_;
}

int32_t TqbThreadPool::GetSpareCount() {
    std::lock_guard g(lock_);
    return maxCount_ - runningCount() - int32_t(idle_.size());
}

int32_t TqbThreadPool::WaitingCount() {
    std::lock_guard g(lock_);
    return waiting_;
}

int32_t TqbThreadPool::BusyCount() {
    std::lock_guard g(lock_);
    return int32_t(busy_.size());
}

int32_t TqbThreadPool::IdleCount() {
    std::lock_guard g(lock_);
    return int32_t(idle_.size());
}

int32_t TqbThreadPool::QueuedCount() {
    std::lock_guard g(lock_);
    return int32_t(queue_.size());
}

void TqbThreadPool::makeInitialThreads() {
    std::lock_guard g(lock_);
    if (initialDone_ || closing_) return;
    initialDone_ = true;
    // Never more threads than the pool may hold.
    for (int32_t i = 0; i < std::min(initialCount_, maxCount_); ++i)
        idle_.push_back(std::make_unique<TqbPooledThread>(this));
}

void TqbThreadPool::SetInitialCount(int32_t value) {
    initialCount_ = value;
    if (!IsLoading() && !IsDesigning()) makeInitialThreads();
}

void TqbThreadPool::Loaded() {
    TqbLoggableComponent::Loaded();
    if (!IsDesigning()) makeInitialThreads();
}

void TqbThreadPool::SetMaxCount(int32_t value) {
    std::vector<std::unique_ptr<TqbPooledThread>> removed;
    {
        std::lock_guard g(lock_);
        maxCount_ = value;
        if (IsLoading() || IsDesigning()) return;
        while (int32_t(busy_.size() + idle_.size()) > value && !idle_.empty()) {
            removed.push_back(std::move(idle_.front()));
            idle_.erase(idle_.begin());
        }
        dispatchQueued(); // a raised count lets queued requests run
    }
    removed.clear(); // each ends its idle wait and is waited for
}

void TqbThreadPool::shutdownThreads() {
    std::vector<std::unique_ptr<TqbPooledThread>> all;
    {
        std::lock_guard g(lock_);
        closing_ = true;
        for (auto& t : busy_)
            all.push_back(std::move(t));
        for (auto& t : idle_)
            all.push_back(std::move(t));
        for (auto& t : ending_)
            all.push_back(std::move(t));
        busy_.clear();
        idle_.clear();
        ending_.clear();
        queue_.clear();
        for (auto& t : all)
            t->Terminate();
    }
    // Every thread is waited for before it is freed, however long its request runs.
    for (auto& t : all)
        t->WaitFor();
}

void TqbThreadPool::BeforeDestruction() {
    shutdownThreads();
    TqbLoggableComponent::BeforeDestruction();
}

TqbThreadPool::~TqbThreadPool() {
    shutdownThreads();
}
