// The socket layer on POSIX: BSD sockets, a non-blocking mode only for connect and accept, a pipe
// for the wake-up.
#include <fcntl.h>
#include <ifaddrs.h>
#include <net/if.h>

#include <cstring>

#include "platform/socket_native.h"

namespace plat {

using namespace native;

namespace {

bool WouldBlock(int e) { return e == EAGAIN || e == EWOULDBLOCK; }

}  // namespace

uint32_t FirstInterfaceIpv4() {
    ifaddrs* list = nullptr;
    if (getifaddrs(&list) != 0) return 0;
    uint32_t v = 0;
    for (ifaddrs* i = list; i && v == 0; i = i->ifa_next) {
        if (!i->ifa_addr || i->ifa_addr->sa_family != AF_INET) continue;
        if ((i->ifa_flags & IFF_UP) == 0 || (i->ifa_flags & IFF_LOOPBACK) != 0) continue;
        const uint32_t a = ntohl(reinterpret_cast<const sockaddr_in*>(i->ifa_addr)->sin_addr.s_addr);
        if (a != 0 && (a >> 24) != 127) v = a;
    }
    freeifaddrs(list);
    return v;
}

int LastSocketError() { return errno; }

std::string SocketErrorText(int error) { return std::strerror(error); }

// --- Socket ---------------------------------------------------------------------------------------

Socket Socket::Tcp() { return Socket(socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, IPPROTO_TCP)); }
Socket Socket::Udp() { return Socket(socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0)); }

bool Socket::Listen(int backlog) {
    if (listen(m_s, backlog < 0 ? SOMAXCONN : backlog) != 0) return false;
    // A connection gone between the wait and the accept must not block the accepting thread.
    const int flags = fcntl(m_s, F_GETFL, 0);
    return flags >= 0 && fcntl(m_s, F_SETFL, flags | O_NONBLOCK) == 0;
}

Socket Socket::Accept() const {
    for (;;) {
        const int fd = accept4(m_s, nullptr, nullptr, SOCK_CLOEXEC);
        if (fd < 0 && errno == EINTR) continue;
        return Socket(fd);
    }
}

bool Socket::Connect(SocketAddress peer, int64_t timeoutMs, std::string* error) {
    const int flags = fcntl(m_s, F_GETFL, 0);
    int err = 0;
    if (flags < 0 || fcntl(m_s, F_SETFL, flags | O_NONBLOCK) < 0) {
        err = errno;
    } else {
        const sockaddr_in sa = ToSockaddr(peer);
        if (connect(m_s, reinterpret_cast<const sockaddr*>(&sa), sizeof sa) != 0) {
            err = errno;
            if (err == EINPROGRESS || err == EINTR) {
                const int r = Wait(SOCKET_WRITABLE, timeoutMs);
                if (r > 0) {
                    socklen_t len = sizeof err;
                    if (getsockopt(m_s, SOL_SOCKET, SO_ERROR, &err, &len) != 0) err = errno;
                } else {
                    err = r == 0 ? ETIMEDOUT : errno;
                }
            }
        }
        if (err == 0) fcntl(m_s, F_SETFL, flags);
    }
    return ConnectResult(err, error);
}

bool Socket::SetReuseAddress(bool on) { return SetInt(m_s, SOL_SOCKET, SO_REUSEADDR, on ? 1 : 0); }

bool Socket::SetKeepAlive(int idleSeconds, int intervalSeconds) {
    bool ok = SetInt(m_s, SOL_SOCKET, SO_KEEPALIVE, 1);
#ifdef TCP_KEEPIDLE
    ok = SetInt(m_s, IPPROTO_TCP, TCP_KEEPIDLE, idleSeconds) && ok;
    ok = SetInt(m_s, IPPROTO_TCP, TCP_KEEPINTVL, intervalSeconds) && ok;
#else
    (void)idleSeconds;
    (void)intervalSeconds;
#endif
    return ok;
}

bool Socket::SetSendTimeout(int ms) {
    timeval tv{ms / 1000, (ms % 1000) * 1000};
    return setsockopt(m_s, SOL_SOCKET, SO_SNDTIMEO, &tv, sizeof tv) == 0;
}

std::ptrdiff_t Socket::Send(const void* data, std::size_t n, IoMode mode) const {
    const int flags = MSG_NOSIGNAL | (mode == IoMode::NoWait ? MSG_DONTWAIT : 0);
    for (;;) {
        const ssize_t r = send(m_s, data, n, flags);
        if (r >= 0) return r;
        if (errno == EINTR) continue;
        return mode == IoMode::NoWait && WouldBlock(errno) ? IO_WOULD_BLOCK : IO_FAILED;
    }
}

std::ptrdiff_t Socket::Receive(void* data, std::size_t n, IoMode mode) const {
    const int flags = mode == IoMode::NoWait ? MSG_DONTWAIT : 0;
    for (;;) {
        const ssize_t r = recv(m_s, data, n, flags);
        if (r >= 0) return r;
        if (errno == EINTR) continue;
        return mode == IoMode::NoWait && WouldBlock(errno) ? IO_WOULD_BLOCK : IO_FAILED;
    }
}

std::ptrdiff_t Socket::SendTo(const void* data, std::size_t n, SocketAddress to) const {
    const sockaddr_in sa = ToSockaddr(to);
    for (;;) {
        const ssize_t r = sendto(m_s, data, n, MSG_NOSIGNAL, reinterpret_cast<const sockaddr*>(&sa), sizeof sa);
        if (r < 0 && errno == EINTR) continue;
        return r < 0 ? IO_FAILED : r;
    }
}

std::ptrdiff_t Socket::ReceiveFrom(void* data, std::size_t n, SocketAddress* from, IoMode mode) const {
    const int flags = mode == IoMode::NoWait ? MSG_DONTWAIT : 0;
    for (;;) {
        sockaddr_in sa{};
        socklen_t len = sizeof sa;
        const ssize_t r = recvfrom(m_s, data, n, flags, reinterpret_cast<sockaddr*>(&sa), &len);
        if (r < 0 && errno == EINTR) continue;
        if (r < 0) return mode == IoMode::NoWait && WouldBlock(errno) ? IO_WOULD_BLOCK : IO_FAILED;
        if (from) *from = FromSockaddr(sa);
        return r;
    }
}

// --- WakeUp ---------------------------------------------------------------------------------------

WakeUp::WakeUp() {
    int fds[2];
    if (pipe2(fds, O_CLOEXEC | O_NONBLOCK) != 0) return;
    m_read = fds[0];
    m_write = fds[1];
}

void WakeUp::Signal() {
    const char c = 1;
    // A full pipe already wakes the reader.
    [[maybe_unused]] const ssize_t r = write(m_write, &c, 1);
}

void WakeUp::Drain() {
    char buf[64];
    while (read(m_read, buf, sizeof buf) > 0) {
    }
}

}  // namespace plat
