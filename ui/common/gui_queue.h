#pragma once
// The GUI thread's queue of posted work, the same for every front end. Work posted from any thread
// runs on the GUI thread in the order posted, one item per wake; the front end's toolkit supplies
// the wake (a queued Qt call, a window message, the headless loop's condition) and runs TakeNext
// when it comes. A worker that needs an answer from the GUI thread (a message box, a chooser) posts
// the question with Call and waits; the GUI thread never waits for a worker. From BeginTeardown on
// such calls return their fallback at once and those waiting are let go; after Close posted work
// is dropped.
#include <chrono>
#include <condition_variable>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <thread>

#include "platform/clock.h"

class CGuiQueue {
public:
    // The constructing thread is the GUI thread.
    CGuiQueue();
    CGuiQueue(const CGuiQueue&) = delete;
    CGuiQueue& operator=(const CGuiQueue&) = delete;

    bool IsGuiThread() const { return std::this_thread::get_id() == m_guiThread; }

    // How TakeNext gets run on the GUI thread: called once for every item posted, outside the
    // lock, from the posting thread. Items posted before it was set get their wakes now.
    void SetWake(std::function<void()> wake);

    // Thread-safe; dropped after Close.
    void Post(std::function<void()> fn);
    // GUI thread: the oldest item (empty when none is left).
    std::function<void()> TakeNext();

    // Runs `fn` on the GUI thread and returns its value; a worker waits for it (its own stop
    // request lets it go as well). After BeginTeardown, or when the item is dropped: `fallback`.
    template <class T>
    T Call(std::function<T()> fn, T fallback);

    void BeginTeardown();
    // The GUI thread's loop has ended: what is queued is dropped, and so is whatever comes later.
    void Close();

private:
    const std::thread::id m_guiThread;
    std::mutex m_mutex;  // the queue, the wake and the flags
    std::condition_variable m_cv;
    std::deque<std::function<void()>> m_queue;
    std::function<void()> m_wake;
    bool m_bTeardown = false;
    bool m_bClosed = false;
};

template <class T>
T CGuiQueue::Call(std::function<T()> fn, T fallback) {
    if (IsGuiThread()) return fn();
    struct Pending {
        bool bDone = false;
        T value;
    };
    auto pending = std::make_shared<Pending>();
    pending->value = fallback;
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        if (m_bTeardown) return fallback;
    }
    Post([this, pending, fn = std::move(fn)] {
        {
            std::lock_guard<std::mutex> lock(m_mutex);
            if (m_bTeardown) return;
        }
        T value = fn();
        {
            std::lock_guard<std::mutex> lock(m_mutex);
            pending->value = std::move(value);
            pending->bDone = true;
        }
        m_cv.notify_all();
    });
    std::unique_lock<std::mutex> lock(m_mutex);
    while (!pending->bDone && !m_bTeardown && !plat::StopRequested())
        m_cv.wait_for(lock, std::chrono::milliseconds(50));
    return pending->bDone ? pending->value : fallback;
}
