#pragma once
// A TCP peer on 127.0.0.1 (a port the system picks) that answers the code under test with bytes
// of the fuzz input. One thread owns the listening socket; it serves one connection at a time with
// the handler of the current input and closes it when the handler returns.
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <mutex>
#include <thread>

namespace rkfuzz {

class LoopbackPeer {
public:
    // Serves one accepted connection (the descriptor is closed after it returns).
    using Handler = std::function<void(int fd)>;

    LoopbackPeer();
    ~LoopbackPeer();
    LoopbackPeer(const LoopbackPeer&) = delete;
    LoopbackPeer& operator=(const LoopbackPeer&) = delete;

    bool Ok() const { return m_listen >= 0; }
    int Port() const { return m_port; }

    // The handler for the connections of the next input.
    void Serve(Handler handler);
    // Waits until every connection made so far has been served and closed (at most `ms`), then
    // drops the handler. False on time-out.
    bool Finish(int ms);

    // Socket helpers for handlers (bounded by `ms` real milliseconds).
    static bool SendAll(int fd, const uint8_t* bytes, size_t n);
    // Reads exactly `n` bytes; false when the peer closed or the time ran out first.
    static bool ReadExactly(int fd, uint8_t* out, size_t n, int ms);
    // Reads until the other side closes (or `ms` ran out).
    static void Drain(int fd, int ms);

    // The shared instance of the process (created on first use, stopped at exit).
    static LoopbackPeer& Instance();

private:
    void Run();
    void Wake();

    int m_listen = -1;
    int m_port = 0;
    int m_wake = -1;  // eventfd: Finish and the destructor wake the accept poll
    std::thread m_thread;
    std::mutex m_mutex;
    std::condition_variable m_cv;
    bool m_bStop = false;
    Handler m_handler;
    bool m_bFinish = false;    // Finish waits: report once nothing is pending
    bool m_bFinished = false;
};

}  // namespace rkfuzz
