#include "ui/common/gui_queue.h"

#include <utility>

CGuiQueue::CGuiQueue() : m_guiThread(std::this_thread::get_id()) {}

void CGuiQueue::SetWake(std::function<void()> wake) {
    size_t waiting = 0;
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_wake = wake;
        waiting = m_queue.size();
    }
    if (wake)
        for (size_t i = 0; i < waiting; ++i) wake();
}

void CGuiQueue::Post(std::function<void()> fn) {
    std::function<void()> wake;
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        if (m_bClosed) return;
        m_queue.push_back(std::move(fn));
        wake = m_wake;
    }
    // One wake per item: an item that enters a modal loop (a message box) leaves the next wake to
    // that loop, so posted work goes on while the box is open.
    if (wake) wake();
}

std::function<void()> CGuiQueue::TakeNext() {
    std::lock_guard<std::mutex> lock(m_mutex);
    if (m_bClosed || m_queue.empty()) return {};
    std::function<void()> fn = std::move(m_queue.front());
    m_queue.pop_front();
    return fn;
}

void CGuiQueue::BeginTeardown() {
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_bTeardown = true;
    }
    m_cv.notify_all();
}

void CGuiQueue::Close() {
    std::deque<std::function<void()>> dropped;
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_bClosed = true;
        m_bTeardown = true;
        dropped.swap(m_queue);
        m_wake = nullptr;
    }
    m_cv.notify_all();
}
