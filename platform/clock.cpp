#include "platform/clock.h"

#include <chrono>

namespace plat {

namespace {
std::atomic<double> g_scale{1.0};
thread_local StopFlag* t_stop = nullptr;
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

int64_t TickMs() {
    using namespace std::chrono;
    return duration_cast<milliseconds>(steady_clock::now().time_since_epoch()).count();
}

void StopFlag::Request() {
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_bStop.store(true, std::memory_order_release);
    }
    m_cv.notify_all();
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
