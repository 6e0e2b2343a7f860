#pragma once
// One clock for every pause and time-out of the program.
//
// The time scale F (0 < F <= 1) multiplies every pause and time-out of 1000 ms or more, never
// below 100 ms after scaling; shorter pauses and polling periods keep their real length.
// Sleeps wake early when the calling thread's owner asks it to stop.
#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <mutex>
#include <thread>

namespace plat {

void SetTimeScale(double factor);
double TimeScale();

// A pause or time-out of `ms` as the program waits it under the time scale.
int64_t Scaled(int64_t ms);

// Milliseconds of a monotonic clock (the tick count).
int64_t TickMs();

// A stop request shared between a thread and its owner.
class StopFlag {
public:
    void Request();
    bool Requested() const { return m_bStop.load(std::memory_order_acquire); }
    void Reset();
    // Waits up to `ms` real milliseconds; false when a stop was requested.
    bool WaitFor(int64_t ms);

private:
    std::atomic<bool> m_bStop{false};
    std::mutex m_mutex;
    std::condition_variable m_cv;
};

// The stop flag of the calling thread (null on threads without an owner, such as main).
StopFlag* CurrentStopFlag();
void SetCurrentStopFlag(StopFlag* flag);
bool StopRequested();

// Sleeps `ms` scaled; false when the thread was asked to stop (it woke early).
bool Sleep(int64_t ms);
// Sleeps `ms` real milliseconds (polling periods); false when asked to stop.
bool SleepRaw(int64_t ms);

// A thread with an owner: its sleeps wake on RequestStop, and Join ends it.
class WorkerThread {
public:
    WorkerThread() = default;
    ~WorkerThread();
    WorkerThread(const WorkerThread&) = delete;
    WorkerThread& operator=(const WorkerThread&) = delete;

    void Start(std::function<void()> body);
    void RequestStop();
    // Requests a stop and waits for the thread; a call from the thread itself only requests.
    void Join();
    bool Running() const { return m_thread.joinable(); }
    bool IsCurrent() const { return m_thread.get_id() == std::this_thread::get_id(); }
    StopFlag& Stop() { return m_stop; }

private:
    StopFlag m_stop;
    std::thread m_thread;
};

}  // namespace plat
