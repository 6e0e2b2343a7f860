#pragma once
// A TCP peer on 127.0.0.1 (a port the system picks) that answers the code under test with bytes
// of the fuzz input. One thread owns the listening socket; it serves one connection at a time with
// the handler of the current input and closes it when the handler returns.
#include <atomic>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <mutex>
#include <thread>

#include "platform/socket.h"

namespace rkfuzz {

// What a peer's thread is doing, for the settle step of virtual time (plat::VirtualTime): the
// socket it waits on for input, if it waits, and how often it stopped waiting. A thread's waits
// (ReadExactly, Drain, the accept loop) are marked once it has called Track.
class PeerActivity {
public:
    // The calling thread's waits are marked in `a` (null: no longer).
    static void Track(PeerActivity* a);
    // The thread waits for input that is not there, and went on waiting while this looked; or it
    // has ended (MarkEnded).
    bool Quiet() const;
    void MarkEnded() { m_bEnded = true; }
    // How often the thread stopped waiting so far.
    uint64_t Wakes() const { return m_nWakes.load(); }

    // Marks one wait on `socket` for as long as it lives (nothing when the thread is not tracked).
    class Waiting {
    public:
        explicit Waiting(plat::NativeSocket socket);
        ~Waiting();
        Waiting(const Waiting&) = delete;
        Waiting& operator=(const Waiting&) = delete;

    private:
        PeerActivity* m_pActivity;
    };

private:
    std::atomic<plat::NativeSocket> m_socket{plat::NO_SOCKET};
    std::atomic<uint64_t> m_nWakes{0};
    std::atomic<bool> m_bEnded{false};
};

class LoopbackPeer {
public:
    // Serves one accepted connection (the socket is closed after it returns).
    using Handler = std::function<void(const plat::Socket& sock)>;

    LoopbackPeer();
    ~LoopbackPeer();
    LoopbackPeer(const LoopbackPeer&) = delete;
    LoopbackPeer& operator=(const LoopbackPeer&) = delete;

    bool Ok() const { return m_listen.Valid(); }
    // The peer's thread, for the settle step of virtual time.
    const PeerActivity& Activity() const { return m_activity; }
    int Port() const { return m_port; }

    // The handler for the connections of the next input.
    void Serve(Handler handler);
    // Waits until every connection made so far has been served and closed (at most `ms`), then
    // drops the handler. False on time-out.
    bool Finish(int ms);

    // Socket helpers for handlers (bounded by real milliseconds).
    static bool SendAll(const plat::Socket& sock, const uint8_t* bytes, size_t n);
    // Reads exactly `n` bytes; false when the peer closed or the time ran out first.
    static bool ReadExactly(const plat::Socket& sock, uint8_t* out, size_t n, int ms);
    // Reads until the other side closes (or `ms` ran out).
    static void Drain(const plat::Socket& sock, int ms);

    // The shared instance of the process (created on first use, stopped at exit).
    static LoopbackPeer& Instance();

private:
    void Run();

    PeerActivity m_activity;
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
