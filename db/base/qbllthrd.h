// Threads of the database layer: the thread base, the timer thread, and the thread pool with its
// pooled worker threads.
#pragma once
#include "db/base/qbllbase.h"
#include "db/base/qbllcomp.h"

#include <condition_variable>
#include <cstdint>
#include <deque>
#include <exception>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

// Thread base. The most-derived constructor starts the thread (Start) once the object is whole;
// a derived destructor must stop and wait for it before its own members go.
class TqbThread {
public:
    explicit TqbThread(bool createSuspended = false) : suspended_(createSuspended) {}
    virtual ~TqbThread();
    TqbThread(const TqbThread&) = delete;
    TqbThread& operator=(const TqbThread&) = delete;

    void Start();
    virtual void Terminate() { terminated_.store(true); }
    bool Terminated() const { return terminated_.load(); }
    bool Finished();
    // Waits until the thread has ended (a never-started thread counts as ended).
    void WaitFor();
    // As WaitFor for at most timeoutMs (0 = without limit); 0 ended, 258 timed out.
    uint32_t WaitForEx(uint32_t timeoutMs);
    std::thread::id ThreadID() const { return id_; }
    // What escaped Execute, if anything.
    std::exception_ptr FatalException() const { return fatal_; }

    // Runs in the ending thread itself, after Execute.
    std::function<void(TqbThread* sender)> OnTerminate;

protected:
    virtual void Execute() = 0;
    virtual const char* ClassName() const { return "TqbThread"; }

private:
    std::thread thread_;
    std::thread::id id_{};
    std::atomic<bool> terminated_{false};
    bool suspended_;
    std::mutex endMutex_;
    std::condition_variable endCv_;
    bool finished_ = false;
    std::exception_ptr fatal_;
};

// Calls TimerEvent(Cookie) every Frequency ms (0 = never) until terminated; a callback that
// raises is reported to the event log (when one is set) and the timer goes on.
class TqbTimerThread : public TqbThread {
public:
    using TimerEventFn = std::function<void(void* cookie)>;
    // TimerEvent must be assigned (component error 1290 naming "aTimerEvent").
    TqbTimerThread(uint32_t frequency, bool createSuspended, void* cookie, TimerEventFn timerEvent);
    ~TqbTimerThread() override;
    void Terminate() override;
    uint32_t Frequency() const { return frequency_; }
    void SetEventLog(TqbBaseLog* log) { eventLog_.store(log); }

protected:
    void Execute() override;
    const char* ClassName() const override { return "TqbTimerThread"; }

private:
    TqbEvent wake_;
    uint32_t frequency_;
    void* cookie_;
    TimerEventFn timerEvent_;
    std::atomic<TqbBaseLog*> eventLog_{nullptr};
};

class TqbThreadPool;

// Marks a wait of the calling thread for something another thread holds (a lock, a busy
// connection) for its lifetime. On a pool thread the pool then counts the thread as waiting, not
// running; elsewhere it does nothing. Nested marks count once.
class TqbBlockingWait {
public:
    TqbBlockingWait();
    ~TqbBlockingWait();
    TqbBlockingWait(const TqbBlockingWait&) = delete;
    TqbBlockingWait& operator=(const TqbBlockingWait&) = delete;

private:
    TqbThreadPool* pool_ = nullptr;
};

// The argument travels with the method; it is pointer-sized so that it may carry an object.
using TqbPoolMethod = std::function<void(intptr_t argument)>;

class TqbPooledThread : public TqbThread {
public:
    // Starts running at once.
    explicit TqbPooledThread(TqbThreadPool* pool);
    ~TqbPooledThread() override;
    // Stores the request and wakes the thread.
    void Process(intptr_t argument, TqbPoolMethod method);
    void Terminate() override;
    void ReturnToPool();

protected:
    void Execute() override;
    const char* ClassName() const override { return "TqbPooledThread"; }

private:
    TqbThreadPool* pool_;
    std::mutex m_;
    std::condition_variable cv_;
    bool requestPending_ = false;
    intptr_t argument_ = -1;
    TqbPoolMethod method_;
};

// Runs queued method calls on reusable threads, at most MaxCount of them running at once. A request
// goes to an idle (or new) thread at once when fewer run, else waits in the queue; a finishing
// thread takes the next queued request before it goes idle, all under one lock, so no request is
// left behind. A thread inside a TqbBlockingWait does not count as running: while threads wait for
// what another request holds, the pool makes more threads for the queued requests (the holder's
// among them), so the waits never starve the request that ends them. Threads so made end when
// their request is done and the pool holds MaxCount threads without them, so the pool comes back
// to its size once the waits are over.
class TqbThreadPool : public TqbLoggableComponent {
public:
    explicit TqbThreadPool(cls::TComponent* AOwner = nullptr) : TqbLoggableComponent(AOwner) {}

    void ProcessRequest(intptr_t argument, TqbPoolMethod method);
    int32_t GetSpareCount();
    int32_t InitialCount() const { return initialCount_; }
    // At run time (neither loading nor designing) makes that many idle threads, once.
    void SetInitialCount(int32_t value);
    int32_t MaxCount() const { return maxCount_; }
    // At run time ends idle threads (first idle first) while there are more than value threads;
    // busy ones above it end when their request is done.
    void SetMaxCount(int32_t value);

    int32_t BusyCount();
    int32_t IdleCount();
    int32_t QueuedCount();
    // Busy threads inside a TqbBlockingWait.
    int32_t WaitingCount();
    ~TqbThreadPool() override;

protected:
    void BeforeDestruction() override;
    void Loaded() override;

private:
    friend class TqbPooledThread;
    struct Request {
        intptr_t argument;
        TqbPoolMethod method;
    };
    friend class TqbBlockingWait;
    TqbPooledThread* GetIdleThread();
    void ThreadDone(TqbPooledThread* thread);
    // Busy threads that are not waiting; under lock_.
    int32_t runningCount() const { return int32_t(busy_.size()) - waiting_; }
    // Hands queued requests to idle or new threads while fewer than MaxCount run; under lock_.
    void dispatchQueued();
    void enterWait();
    void leaveWait();
    void makeInitialThreads();
    void shutdownThreads();

    TqbPadlock lock_;
    std::vector<std::unique_ptr<TqbPooledThread>> busy_;
    std::vector<std::unique_ptr<TqbPooledThread>> idle_;
    // Threads past their last request that no one has waited for yet.
    std::vector<std::unique_ptr<TqbPooledThread>> ending_;
    std::deque<Request> queue_;
    int32_t waiting_ = 0;
    int32_t initialCount_ = 5;
    int32_t maxCount_ = 16;
    bool initialDone_ = false;
    bool closing_ = false;
};
