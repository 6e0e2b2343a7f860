#include "fuzz/loopback_peer.h"

#include <arpa/inet.h>
#include <cerrno>
#include <chrono>
#include <netinet/in.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <unistd.h>

#include "platform/clock.h"

namespace rkfuzz {

namespace {

constexpr int kAcceptPollMs = 20;
constexpr int kSendStallMs = 5000;

// Waits for `events` up to `ms`; >0 ready, 0 time-out, <0 error.
int PollFd(int fd, short events, int64_t ms) {
    const int64_t end = plat::TickMs() + ms;
    for (;;) {
        const int64_t left = end - plat::TickMs();
        pollfd p{fd, events, 0};
        const int r = poll(&p, 1, left > 0 ? static_cast<int>(left) : 0);
        if (r < 0 && errno == EINTR) continue;
        return r;
    }
}

}  // namespace

LoopbackPeer::LoopbackPeer() {
    m_listen = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (m_listen < 0) return;
    sockaddr_in sa{};
    sa.sin_family = AF_INET;
    sa.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    sa.sin_port = 0;
    socklen_t len = sizeof sa;
    if (bind(m_listen, reinterpret_cast<sockaddr*>(&sa), sizeof sa) != 0 || listen(m_listen, 16) != 0 ||
        getsockname(m_listen, reinterpret_cast<sockaddr*>(&sa), &len) != 0) {
        close(m_listen);
        m_listen = -1;
        return;
    }
    m_port = ntohs(sa.sin_port);
    m_wake = eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
    m_thread = std::thread([this] { Run(); });
}

LoopbackPeer::~LoopbackPeer() {
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_bStop = true;
    }
    Wake();
    if (m_thread.joinable()) m_thread.join();
    if (m_listen >= 0) close(m_listen);
    if (m_wake >= 0) close(m_wake);
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

void LoopbackPeer::Wake() {
    if (m_wake < 0) return;
    const uint64_t one = 1;
    [[maybe_unused]] const ssize_t n = write(m_wake, &one, sizeof one);
}

bool LoopbackPeer::Finish(int ms) {
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_bFinish = true;
    }
    Wake();
    std::unique_lock<std::mutex> lock(m_mutex);
    const bool ok = m_cv.wait_for(lock, std::chrono::milliseconds(ms), [this] { return m_bFinished; });
    m_handler = nullptr;
    m_bFinish = false;
    return ok;
}

void LoopbackPeer::Run() {
    for (;;) {
        bool finishAsked;
        {
            std::lock_guard<std::mutex> lock(m_mutex);
            if (m_bStop) return;
            finishAsked = m_bFinish && !m_bFinished;
        }
        // Once the input's client is done, every connection it made is already queued: a poll
        // without waiting tells whether one is still to be served. Finish wakes a longer poll.
        pollfd p[2] = {{m_listen, POLLIN, 0}, {m_wake, POLLIN, 0}};
        int r = poll(p, m_wake >= 0 ? 2 : 1, finishAsked ? 0 : kAcceptPollMs);
        if (r < 0 && errno == EINTR) continue;
        if (r > 0 && (p[1].revents & POLLIN)) {
            uint64_t count = 0;
            [[maybe_unused]] const ssize_t n = read(m_wake, &count, sizeof count);
            continue;
        }
        if (r > 0) {
            const int fd = accept4(m_listen, nullptr, nullptr, SOCK_CLOEXEC);
            if (fd < 0) continue;
            Handler handler;
            {
                std::lock_guard<std::mutex> lock(m_mutex);
                handler = m_handler;
            }
            if (handler) handler(fd);
            close(fd);
            continue;
        }
        if (r == 0 && finishAsked) {
            std::lock_guard<std::mutex> lock(m_mutex);
            m_bFinished = true;
            m_cv.notify_all();
        }
    }
}

bool LoopbackPeer::SendAll(int fd, const uint8_t* bytes, size_t n) {
    size_t sent = 0;
    while (sent < n) {
        const ssize_t k = send(fd, bytes + sent, n - sent, MSG_NOSIGNAL | MSG_DONTWAIT);
        if (k > 0) {
            sent += static_cast<size_t>(k);
            continue;
        }
        if (k < 0 && (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR)) {
            if (PollFd(fd, POLLOUT, kSendStallMs) <= 0) return false;
            continue;
        }
        return false;
    }
    return true;
}

bool LoopbackPeer::ReadExactly(int fd, uint8_t* out, size_t n, int ms) {
    const int64_t end = plat::TickMs() + ms;
    size_t got = 0;
    while (got < n) {
        const int64_t left = end - plat::TickMs();
        if (left <= 0 || PollFd(fd, POLLIN, left) <= 0) return false;
        const ssize_t k = recv(fd, out + got, n - got, 0);
        if (k < 0 && errno == EINTR) continue;
        if (k <= 0) return false;
        got += static_cast<size_t>(k);
    }
    return true;
}

void LoopbackPeer::Drain(int fd, int ms) {
    const int64_t end = plat::TickMs() + ms;
    uint8_t buf[4096];
    for (;;) {
        const int64_t left = end - plat::TickMs();
        if (left <= 0 || PollFd(fd, POLLIN, left) <= 0) return;
        const ssize_t k = recv(fd, buf, sizeof buf, 0);
        if (k < 0 && errno == EINTR) continue;
        if (k <= 0) return;
    }
}

}  // namespace rkfuzz
