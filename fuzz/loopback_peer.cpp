#include "fuzz/loopback_peer.h"

#include <chrono>

#include "platform/clock.h"

namespace rkfuzz {

namespace {

constexpr int kAcceptPollMs = 20;
constexpr int kSendStallMs = 5000;

thread_local PeerActivity* t_activity = nullptr;

}  // namespace

namespace {

bool WaitReadable(const plat::Socket& sock, int64_t ms) {
    const PeerActivity::Waiting mark(sock.Native());
    return sock.Wait(plat::SOCKET_READABLE, ms) > 0;
}

}  // namespace

void PeerActivity::Track(PeerActivity* a) { t_activity = a; }

bool PeerActivity::Quiet() const {
    if (m_bEnded) return true;
    const uint64_t wakes = m_nWakes.load();
    const plat::NativeSocket s = m_socket.load();
    if (s == plat::NO_SOCKET) return false;
    plat::WaitItem item{s, plat::SOCKET_READABLE, 0};
    const int r = plat::WaitAny({&item, 1}, 0);
    return r == 0 && m_nWakes.load() == wakes && m_socket.load() == s;
}

PeerActivity::Waiting::Waiting(plat::NativeSocket socket) : m_pActivity(t_activity) {
    if (m_pActivity) m_pActivity->m_socket = socket;
}

PeerActivity::Waiting::~Waiting() {
    if (!m_pActivity) return;
    m_pActivity->m_socket = plat::NO_SOCKET;
    ++m_pActivity->m_nWakes;
}

LoopbackPeer::LoopbackPeer() : m_listen(plat::ListenTcp({plat::IPV4_LOOPBACK, 0}, 16)) {
    if (!m_listen) return;
    m_port = m_listen.LocalPort();
    m_thread = std::thread([this] { Run(); });
}

LoopbackPeer::~LoopbackPeer() {
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_bStop = true;
    }
    m_wake.Signal();
    if (m_thread.joinable()) m_thread.join();
}

LoopbackPeer& LoopbackPeer::Instance() {
    static LoopbackPeer peer;
    return peer;
}

void LoopbackPeer::Serve(Handler handler) {
    std::lock_guard<std::mutex> lock(m_mutex);
    m_handler = std::move(handler);
    m_bFinish = false;
    m_bFinished = false;
}

bool LoopbackPeer::Finish(int ms) {
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_bFinish = true;
    }
    m_wake.Signal();
    std::unique_lock<std::mutex> lock(m_mutex);
    const bool ok = m_cv.wait_for(lock, std::chrono::milliseconds(ms), [this] { return m_bFinished; });
    m_handler = nullptr;
    m_bFinish = false;
    return ok;
}

void LoopbackPeer::Run() {
    PeerActivity::Track(&m_activity);
    for (;;) {
        bool finishAsked;
        {
            std::lock_guard<std::mutex> lock(m_mutex);
            if (m_bStop) return;
            finishAsked = m_bFinish && !m_bFinished;
        }
        // Once the input's client is done, every connection it made is already queued: a wait
        // without time tells whether one is still to be served. Finish wakes a longer wait.
        plat::WaitItem items[2] = {{m_listen.Native(), plat::SOCKET_READABLE, 0}, m_wake.Item()};
        int r;
        {
            const PeerActivity::Waiting mark(m_listen.Native());
            r = plat::WaitAny(items, finishAsked ? 0 : kAcceptPollMs);
        }
        if (r > 0 && (items[1].ready & plat::SOCKET_READABLE)) {
            m_wake.Drain();
            continue;
        }
        if (r > 0) {
            const plat::Socket sock = m_listen.Accept();
            if (!sock) continue;
            Handler handler;
            {
                std::lock_guard<std::mutex> lock(m_mutex);
                handler = m_handler;
            }
            if (handler) handler(sock);
            continue;
        }
        if (r == 0 && finishAsked) {
            std::lock_guard<std::mutex> lock(m_mutex);
            m_bFinished = true;
            m_cv.notify_all();
        }
    }
}

bool LoopbackPeer::SendAll(const plat::Socket& sock, const uint8_t* bytes, size_t n) {
    return sock.SendAll(bytes, n, kSendStallMs);
}

bool LoopbackPeer::ReadExactly(const plat::Socket& sock, uint8_t* out, size_t n, int ms) {
    const int64_t end = plat::RealTickMs() + ms;
    size_t got = 0;
    while (got < n) {
        const int64_t left = end - plat::RealTickMs();
        if (left <= 0 || !WaitReadable(sock, left)) return false;
        const std::ptrdiff_t k = sock.Receive(out + got, n - got);
        if (k <= 0) return false;
        got += static_cast<size_t>(k);
    }
    return true;
}

void LoopbackPeer::Drain(const plat::Socket& sock, int ms) {
    const int64_t end = plat::RealTickMs() + ms;
    uint8_t buf[4096];
    for (;;) {
        const int64_t left = end - plat::RealTickMs();
        if (left <= 0 || !WaitReadable(sock, left)) return;
        if (sock.Receive(buf, sizeof buf) <= 0) return;
    }
}

}  // namespace rkfuzz
