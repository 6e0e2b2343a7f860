#include "platform/clock.h"

#include <chrono>
#include <set>

namespace plat {

namespace {
std::atomic<double> g_scale{1.0};
thread_local StopFlag* t_stop = nullptr;

// Added to the machine's clock after virtual time ends, so that the tick count never goes back.
std::atomic<int64_t> g_offset{0};

// Virtual time: the clock, its waiters, and the driving thread's settle function (read and written
// on the driving thread only).
std::atomic<bool> g_virtual{false};
std::atomic<int64_t> g_virtualNow{0};
std::mutex g_virtualMutex;
std::condition_variable g_virtualCv;
std::multiset<int64_t> g_virtualDue;  // the ends of the other threads' pauses (g_virtualMutex)
std::function<void()> g_settle;
thread_local bool t_drives = false;

int64_t SteadyMs() {
    using namespace std::chrono;
    return duration_cast<milliseconds>(steady_clock::now().time_since_epoch()).count();
}

bool Driving() { return t_drives && g_virtual.load(std::memory_order_acquire); }

void NotifyVirtualWaiters() {
    { std::lock_guard<std::mutex> lock(g_virtualMutex); }
    g_virtualCv.notify_all();
}

void Settle() {
    if (g_settle)
        g_settle();
    else
        std::this_thread::yield();
}

// A pause on virtual time: the driving thread moves the clock; any other waits for it.
bool VirtualSleep(int64_t ms) {
    if (ms < 0) ms = 0;
    if (StopRequested()) return false;
    if (t_drives) {
        VirtualTime::Advance(ms);
        Settle();
        return !StopRequested();
    }
    const int64_t end = g_virtualNow.load() + ms;
    const auto realEnd = std::chrono::steady_clock::now() + std::chrono::milliseconds(ms);
    std::unique_lock<std::mutex> lock(g_virtualMutex);
    const auto due = g_virtualDue.insert(end);
    g_virtualCv.wait_until(lock, realEnd, [end] {
        return !g_virtual.load() || g_virtualNow.load() >= end || StopRequested();
    });
    g_virtualDue.erase(due);
    return !StopRequested();
}
}  // namespace

void SetTimeScale(double factor) {
    if (factor > 0.0 && factor <= 1.0) g_scale.store(factor);
}

double TimeScale() { return g_scale.load(); }

int64_t Scaled(int64_t ms) {
    if (ms < 1000) return ms;
    const double f = g_scale.load();
    if (f >= 1.0) return ms;
    const auto scaled = static_cast<int64_t>(static_cast<double>(ms) * f);
    return scaled < 100 ? 100 : scaled;
}

int64_t RealTickMs() { return SteadyMs() + g_offset.load(std::memory_order_relaxed); }

int64_t TickMs() {
    if (g_virtual.load(std::memory_order_acquire)) return g_virtualNow.load(std::memory_order_acquire);
    return RealTickMs();
}

int WaitIo(const std::function<int(int64_t)>& poll, int64_t ms) {
    if (!Driving() || ms <= 0) return poll(ms);
    int r = poll(0);
    if (r != 0) return r;
    Settle();
    r = poll(0);
    if (r != 0) return r;
    VirtualTime::Advance(ms);
    return 0;
}

VirtualTime::VirtualTime(std::function<void()> settle) {
    if (g_virtual.load()) return;
    m_bOwner = true;
    g_settle = std::move(settle);
    g_virtualNow.store(RealTickMs());
    t_drives = true;
    g_virtual.store(true, std::memory_order_release);
}

VirtualTime::~VirtualTime() {
    if (!m_bOwner) return;
    const int64_t ahead = g_virtualNow.load() - RealTickMs();
    if (ahead > 0) g_offset.fetch_add(ahead);
    g_virtual.store(false, std::memory_order_release);
    t_drives = false;
    g_settle = nullptr;
    NotifyVirtualWaiters();
}

void VirtualTime::Advance(int64_t ms) {
    if (!g_virtual.load() || ms <= 0) return;
    bool bDue;
    {
        // Only a pause that has come to its end is woken: the rest sleep on undisturbed.
        std::lock_guard<std::mutex> lock(g_virtualMutex);
        const int64_t now = g_virtualNow.fetch_add(ms) + ms;
        bDue = !g_virtualDue.empty() && *g_virtualDue.begin() <= now;
    }
    if (bDue) g_virtualCv.notify_all();
}

bool VirtualTime::Active() { return g_virtual.load(std::memory_order_acquire); }

void StopFlag::Request() {
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_bStop.store(true, std::memory_order_release);
    }
    m_cv.notify_all();
    if (g_virtual.load(std::memory_order_acquire)) NotifyVirtualWaiters();
}

void StopFlag::Reset() {
    std::lock_guard<std::mutex> lock(m_mutex);
    m_bStop.store(false, std::memory_order_release);
}

bool StopFlag::WaitFor(int64_t ms) {
    std::unique_lock<std::mutex> lock(m_mutex);
    return !m_cv.wait_for(lock, std::chrono::milliseconds(ms < 0 ? 0 : ms),
                          [this] { return m_bStop.load(std::memory_order_acquire); });
}

StopFlag* CurrentStopFlag() { return t_stop; }
void SetCurrentStopFlag(StopFlag* flag) { t_stop = flag; }
bool StopRequested() { return t_stop != nullptr && t_stop->Requested(); }

bool SleepRaw(int64_t ms) {
    if (g_virtual.load(std::memory_order_acquire)) return VirtualSleep(ms);
    if (t_stop) return t_stop->WaitFor(ms);
    std::this_thread::sleep_for(std::chrono::milliseconds(ms < 0 ? 0 : ms));
    return true;
}

bool Sleep(int64_t ms) { return SleepRaw(Scaled(ms)); }

WorkerThread::~WorkerThread() {
    Join();
    // A thread that owns itself cannot be joined; let it end on its own.
    if (m_thread.joinable()) m_thread.detach();
}

void WorkerThread::Start(std::function<void()> body) {
    Join();
    m_stop.Reset();
    m_thread = std::thread([this, body = std::move(body)] {
        SetCurrentStopFlag(&m_stop);
        body();
        SetCurrentStopFlag(nullptr);
    });
}

void WorkerThread::RequestStop() { m_stop.Request(); }

void WorkerThread::Join() {
    if (!m_thread.joinable()) return;
    m_stop.Request();
    if (IsCurrent()) return;
    m_thread.join();
}

}  // namespace plat
