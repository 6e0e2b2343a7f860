#pragma once
// The threads of the lines: one link watcher per line and the task threads, all owned here (their
// sleeps wake on a stop request; Shutdown joins them), and the watcher's cooperative pause.
//
// - A thread receives its line index as the argument of its body, copied at the start.
// - A line's watcher is paused cooperatively: it calls SafePoint(line) (or SafeSleep) between its
//   steps; PauseWatcher(line, then) asks for the pause and has `then` posted to the GUI thread once
//   the watcher has acknowledged it, so the GUI thread never waits for a worker.
#include <array>
#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <vector>

#include "model/line_record.h"
#include "platform/clock.h"

// Teardown's bound for joining the line threads (scaled by the time scale, never below the
// floor in real milliseconds), and the trace of a thread it gave up on: its kind and line (1 to 8).
constexpr int64_t TEARDOWN_JOIN_MS = 10000;
constexpr int64_t TEARDOWN_JOIN_FLOOR_MS = 1000;
constexpr const char* TRACE_GAVE_UP_ON = "Teardown gave up on the %s thread of line %d: still running after %lld ms";

class CLineThreads {
public:
    // `post` runs a function later on the GUI thread (the continuations of PauseWatcher).
    explicit CLineThreads(std::function<void(std::function<void()>)> post);
    ~CLineThreads();  // Shutdown when it has not run
    CLineThreads(const CLineThreads&) = delete;
    CLineThreads& operator=(const CLineThreads&) = delete;

    // Start a thread; `body(line)` runs on it with its own copy of the line. False after
    // Shutdown. A new watcher replaces (stops) the line's old one.
    bool StartWatcher(int line, std::function<void(int line)> body);
    bool StartTask(int line, std::function<void(int line)> body);

    // Watcher thread: acknowledges a pending pause and waits until resumed. False when the thread
    // is asked to stop (return from the body then).
    bool SafePoint(int line);
    // Watcher thread: a scaled sleep that breaks off for a pause request (acknowledged at once)
    // and goes on with the rest after the resume. False when asked to stop.
    bool SafeSleep(int line, int64_t ms);
    // GUI thread: asks the line's watcher to pause; `then` runs on the GUI thread once it has
    // acknowledged (at once when the line has no live watcher or it is paused already). A resume
    // before the acknowledgement cancels `then`.
    void PauseWatcher(int line, std::function<void()> then);
    // Any thread but the GUI thread and the watcher itself: pauses and waits for the
    // acknowledgement, at most `timeoutMs` real ms. True when paused (or no live watcher).
    bool PauseWatcherAndWait(int line, int64_t timeoutMs);
    void ResumeWatcher(int line);
    bool IsWatcherPaused(int line) const;
    bool HasLiveWatcher(int line) const;

    // Runs after every ResumeWatcher (the form forgets a Download waiting for the pause).
    std::function<void(int line)> onResume;

    // Stops and joins every thread; continuations not yet run are dropped. Runs once. The joins
    // end within TeardownJoinLimitMs() together: a thread still running then is left to run on
    // (never joined, never freed, kept from touching this object again), and the trace names it
    // (TRACE_GAVE_UP_ON).
    void Shutdown();
    static int64_t TeardownJoinLimitMs();
    bool IsShutDown() const { return m_bShutDown.load(); }

private:
    struct OwnedThread {
        plat::WorkerThread thread;
        std::atomic<bool> bDone{false};
        std::mutex endMutex;      // the body's end against Shutdown giving up on it
        bool bAbandoned = false;  // Shutdown gave up: the thread's end leaves this object alone
        int line = 0;
        const char* kind = "";    // for the trace: "link watcher" or "task"
    };
    struct WatchGate {
        mutable std::mutex mutex;
        std::condition_variable cv;
        uint64_t nGeneration = 0;      // counts the watchers started on the line
        bool bAlive = false;           // the current watcher's body runs
        bool bPauseRequested = false;
        bool bPaused = false;          // the watcher sits in SafePoint
        bool bShutdown = false;
        std::vector<std::function<void()>> then;  // continuations waiting for the acknowledgement
    };

    void StartOwned(std::vector<std::unique_ptr<OwnedThread>>& list, int line, std::function<void(int)> body,
                    bool bWatcher);
    void ReapFinished();
    void PostContinuations(std::vector<std::function<void()>> then);

    std::function<void(std::function<void()>)> m_post;
    std::array<WatchGate, LINE_COUNT> m_gates;
    std::mutex m_threadsMutex;
    std::array<std::vector<std::unique_ptr<OwnedThread>>, LINE_COUNT> m_watchers;  // last is current
    std::array<std::vector<std::unique_ptr<OwnedThread>>, LINE_COUNT> m_tasks;
    std::atomic<bool> m_bShutDown{false};
};
