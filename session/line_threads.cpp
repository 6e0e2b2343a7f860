#include "session/line_threads.h"

#include <algorithm>
#include <chrono>
#include <thread>

#include "platform/clock.h"
#include "platform/stay_awake.h"
#include "platform/trace.h"

namespace {

constexpr int64_t GATE_POLL_MS = 20;
constexpr int64_t JOIN_POLL_MS = 10;

}  // namespace

CLineThreads::CLineThreads(std::function<void(std::function<void()>)> post) : m_post(std::move(post)) {}

CLineThreads::~CLineThreads() { Shutdown(); }

void CLineThreads::StartOwned(std::vector<std::unique_ptr<OwnedThread>>& list, int line,
                                        std::function<void(int)> body, bool bWatcher) {
    auto owned = std::make_unique<OwnedThread>();
    OwnedThread* p = owned.get();
    p->line = line;
    p->kind = bWatcher ? "link watcher" : "task";
    uint64_t generation = 0;
    if (bWatcher) {
        WatchGate& g = m_gates[static_cast<size_t>(line)];
        std::lock_guard<std::mutex> lock(g.mutex);
        generation = ++g.nGeneration;
        g.bAlive = true;
        g.bPaused = false;
        g.bPauseRequested = false;
        g.then.clear();
    }
    list.push_back(std::move(owned));
    p->thread.Start([this, p, line, generation, bWatcher, body = std::move(body)] {
        body(line);
        std::lock_guard<std::mutex> end(p->endMutex);
        if (bWatcher && !p->bAbandoned) {
            std::vector<std::function<void()>> then;
            WatchGate& g = m_gates[static_cast<size_t>(line)];
            {
                std::lock_guard<std::mutex> lock(g.mutex);
                if (g.nGeneration == generation) {
                    // A watcher that has ended counts as paused for whoever waits.
                    g.bAlive = false;
                    g.bPaused = false;
                    then.swap(g.then);
                }
                g.cv.notify_all();
            }
            PostContinuations(std::move(then));
        }
        p->bDone = true;
    });
}

void CLineThreads::ReapFinished() {
    std::vector<std::unique_ptr<OwnedThread>> done;
    {
        std::lock_guard<std::mutex> lock(m_threadsMutex);
        for (auto* lists : {&m_watchers, &m_tasks}) {
            for (auto& list : *lists) {
                // The last watcher of a line stays: it is the line's current one.
                const size_t keep = lists == &m_watchers && !list.empty() ? 1 : 0;
                for (size_t i = 0; i + keep < list.size();) {
                    if (list[i]->bDone) {
                        done.push_back(std::move(list[i]));
                        list.erase(list.begin() + static_cast<long>(i));
                    } else {
                        ++i;
                    }
                }
            }
        }
    }
    for (auto& t : done) t->thread.Join();  // bodies have returned: no wait
}

bool CLineThreads::StartWatcher(int line, std::function<void(int line)> body) {
    if (!ValidLine(line) || !body) return false;
    ReapFinished();
    std::lock_guard<std::mutex> lock(m_threadsMutex);
    if (m_bShutDown) return false;
    auto& list = m_watchers[static_cast<size_t>(line)];
    // The old watcher ends at its next sleep or safe point; Teardown joins it.
    if (!list.empty()) list.back()->thread.RequestStop();
    StartOwned(list, line, std::move(body), true);
    return true;
}

bool CLineThreads::StartTask(int line, std::function<void(int line)> body) {
    if (!ValidLine(line) || !body) return false;
    ReapFinished();
    std::lock_guard<std::mutex> lock(m_threadsMutex);
    if (m_bShutDown) return false;
    // The PC stays awake while the task runs.
    auto awake = [body = std::move(body)](int l) { plat::StayAwake held; body(l); };
    StartOwned(m_tasks[static_cast<size_t>(line)], line, std::move(awake), false);
    return true;
}

// ---------------------------------------------------------------------------------------------
// Watcher pause

void CLineThreads::PostContinuations(std::vector<std::function<void()>> then) {
    for (auto& fn : then) {
        m_post([this, fn = std::move(fn)] {
            if (!m_bShutDown) fn();
        });
    }
}

bool CLineThreads::SafePoint(int line) {
    if (!ValidLine(line)) return !plat::StopRequested();
    WatchGate& g = m_gates[static_cast<size_t>(line)];
    std::vector<std::function<void()>> then;
    {
        std::lock_guard<std::mutex> lock(g.mutex);
        if (g.bShutdown) return false;
        if (!g.bPauseRequested) return !plat::StopRequested();
        g.bPaused = true;
        then.swap(g.then);
        g.cv.notify_all();
    }
    PostContinuations(std::move(then));
    std::unique_lock<std::mutex> lock(g.mutex);
    while (g.bPauseRequested && !g.bShutdown && !plat::StopRequested())
        g.cv.wait_for(lock, std::chrono::milliseconds(GATE_POLL_MS));
    g.bPaused = false;
    return !g.bShutdown && !plat::StopRequested();
}

bool CLineThreads::SafeSleep(int line, int64_t ms) {
    if (!ValidLine(line)) return plat::Sleep(ms);
    WatchGate& g = m_gates[static_cast<size_t>(line)];
    int64_t remaining = plat::Scaled(ms);
    for (;;) {
        if (!SafePoint(line)) return false;
        if (remaining <= 0) return true;
        const int64_t chunk = std::min<int64_t>(remaining, GATE_POLL_MS);
        const int64_t start = plat::TickMs();
        {
            std::unique_lock<std::mutex> lock(g.mutex);
            g.cv.wait_for(lock, std::chrono::milliseconds(chunk),
                          [&g] { return g.bPauseRequested || g.bShutdown; });
        }
        remaining -= plat::TickMs() - start;
        if (plat::StopRequested()) return false;
    }
}

void CLineThreads::PauseWatcher(int line, std::function<void()> then) {
    if (!ValidLine(line)) return;
    WatchGate& g = m_gates[static_cast<size_t>(line)];
    {
        std::lock_guard<std::mutex> lock(g.mutex);
        if (g.bAlive && !g.bShutdown) {
            g.bPauseRequested = true;
            if (!g.bPaused) {
                if (then) g.then.push_back(std::move(then));
                g.cv.notify_all();
                return;
            }
        }
    }
    if (then) then();
}

bool CLineThreads::PauseWatcherAndWait(int line, int64_t timeoutMs) {
    if (!ValidLine(line)) return false;
    WatchGate& g = m_gates[static_cast<size_t>(line)];
    std::unique_lock<std::mutex> lock(g.mutex);
    if (!g.bAlive || g.bShutdown) return true;
    g.bPauseRequested = true;
    g.cv.notify_all();
    g.cv.wait_for(lock, std::chrono::milliseconds(timeoutMs),
                  [&g] { return g.bPaused || !g.bAlive || g.bShutdown; });
    return g.bPaused || !g.bAlive;
}

void CLineThreads::ResumeWatcher(int line) {
    if (!ValidLine(line)) return;
    WatchGate& g = m_gates[static_cast<size_t>(line)];
    {
        std::lock_guard<std::mutex> lock(g.mutex);
        g.bPauseRequested = false;
        g.then.clear();
        g.cv.notify_all();
    }
    if (onResume) onResume(line);
}

bool CLineThreads::IsWatcherPaused(int line) const {
    if (!ValidLine(line)) return false;
    const WatchGate& g = m_gates[static_cast<size_t>(line)];
    std::lock_guard<std::mutex> lock(g.mutex);
    return g.bPaused;
}

bool CLineThreads::HasLiveWatcher(int line) const {
    if (!ValidLine(line)) return false;
    const WatchGate& g = m_gates[static_cast<size_t>(line)];
    std::lock_guard<std::mutex> lock(g.mutex);
    return g.bAlive;
}


void CLineThreads::Shutdown() {
    std::vector<std::unique_ptr<OwnedThread>> threads;
    {
        std::lock_guard<std::mutex> lock(m_threadsMutex);
        if (m_bShutDown.exchange(true)) return;
        for (auto* lists : {&m_watchers, &m_tasks})
            for (auto& list : *lists) {
                for (auto& t : list) threads.push_back(std::move(t));
                list.clear();
            }
    }
    for (WatchGate& g : m_gates) {
        std::lock_guard<std::mutex> lock(g.mutex);
        g.bShutdown = true;
        g.then.clear();
        g.cv.notify_all();
    }
    for (auto& t : threads) t->thread.RequestStop();
    const int64_t limit = TeardownJoinLimitMs();
    const int64_t began = plat::TickMs();
    for (auto& t : threads) {
        // (A thread shutting its own owner down only asks: the join below does not wait for it.)
        while (!t->bDone && !t->thread.IsCurrent() && plat::TickMs() - began < limit)
            std::this_thread::sleep_for(std::chrono::milliseconds(JOIN_POLL_MS));
        if (!t->thread.IsCurrent()) {
            std::lock_guard<std::mutex> end(t->endMutex);
            t->bAbandoned = !t->bDone;
        }
        if (!t->bAbandoned) {
            t->thread.Join();
            continue;
        }
        plat::TraceF(TRACE_GAVE_UP_ON, t->kind, t->line + 1, static_cast<long long>(plat::TickMs() - began));
        static_cast<void>(t.release());  // still running on its own stop flag: never freed
    }
}

int64_t CLineThreads::TeardownJoinLimitMs() {
    return std::max<int64_t>(plat::Scaled(TEARDOWN_JOIN_MS), TEARDOWN_JOIN_FLOOR_MS);
}
