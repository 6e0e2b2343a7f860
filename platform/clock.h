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

// Milliseconds of a monotonic clock (the tick count); virtual time while a VirtualTime lives.
int64_t TickMs();
// Milliseconds of the machine's monotonic clock, whatever the mode: for the deadlines of socket
// calls and of helpers outside the tool's own waits.
int64_t RealTickMs();

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

// Waits up to `ms` (clock time) for an I/O event: `poll(realMs)` waits for it up to that many real
// milliseconds and returns > 0 when it came, 0 when not, < 0 on an error. On real time this is
// poll(ms). On virtual time the driving thread polls without waiting, lets the process settle,
// polls once more and, with nothing come, moves the clock by `ms` and returns 0.
int WaitIo(const std::function<int(int64_t)>& poll, int64_t ms);

// Virtual time, for fuzzing and tests: while an object lives, TickMs reads a clock that moves only
// when the thread that made the object (the driving thread) pauses or calls Advance. Each pause of
// the driving thread moves the clock by its length at once, then runs `settle`, which waits
// (within a real bound of its own) until the rest of the process has done what that time let it
// do: answered a request, queued a reply. Without `settle` the thread only yields. Pauses of other
// threads end when the clock has passed their end, on a stop request, or after their real length
// at the latest. The lengths of the waits are the program's own; only time is made up.
class VirtualTime {
public:
    explicit VirtualTime(std::function<void()> settle = {});
    ~VirtualTime();
    VirtualTime(const VirtualTime&) = delete;
    VirtualTime& operator=(const VirtualTime&) = delete;

    // Moves the clock forward by `ms` and wakes the pauses it ends.
    static void Advance(int64_t ms);
    // Whether virtual time is on.
    static bool Active();

private:
    bool m_bOwner = false;  // false for a second object while one lives (it changes nothing)
};

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
