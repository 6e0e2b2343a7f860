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

#include "platform/socket.h"

namespace rkfuzz {

class LoopbackPeer {
public:
    // Serves one accepted connection (the socket is closed after it returns).
    using Handler = std::function<void(const plat::Socket& sock)>;

    LoopbackPeer();
    ~LoopbackPeer();
    LoopbackPeer(const LoopbackPeer&) = delete;
    LoopbackPeer& operator=(const LoopbackPeer&) = delete;

    bool Ok() const { return m_listen.Valid(); }
    int Port() const { return m_port; }

    // The handler for the connections of the next input.
    void Serve(Handler handler);
    // Waits until every connection made so far has been served and closed (at most `ms`), then
    // drops the handler. False on time-out.
    bool Finish(int ms);

    // Socket helpers for handlers (bounded by `ms` real milliseconds).
    static bool SendAll(const plat::Socket& sock, const uint8_t* bytes, size_t n);
    // Reads exactly `n` bytes; false when the peer closed or the time ran out first.
    static bool ReadExactly(const plat::Socket& sock, uint8_t* out, size_t n, int ms);
    // Reads until the other side closes (or `ms` ran out).
    static void Drain(const plat::Socket& sock, int ms);

    // The shared instance of the process (created on first use, stopped at exit).
    static LoopbackPeer& Instance();

private:
    void Run();

    plat::Socket m_listen;
    int m_port = 0;
    plat::WakeUp m_wake;  // Finish and the destructor wake the accept wait
    std::thread m_thread;
    std::mutex m_mutex;
    std::condition_variable m_cv;
    bool m_bStop = false;
    Handler m_handler;
    bool m_bFinish = false;    // Finish waits: report once nothing is pending
    bool m_bFinished = false;
};

}  // namespace rkfuzz
