// The socket layer on POSIX: BSD sockets, poll, a pipe for the wake-up.
#include "platform/socket.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <ifaddrs.h>
#include <net/if.h>
#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstring>
#include <vector>

#include "platform/clock.h"

namespace plat {

namespace {

sockaddr_in ToSockaddr(SocketAddress a) {
    sockaddr_in sa{};
    sa.sin_family = AF_INET;
    sa.sin_port = htons(static_cast<uint16_t>(a.port));
    sa.sin_addr.s_addr = htonl(a.ip);
    return sa;
}

SocketAddress FromSockaddr(const sockaddr_in& sa) { return {ntohl(sa.sin_addr.s_addr), ntohs(sa.sin_port)}; }

bool SetInt(int fd, int level, int name, int value) {
    return setsockopt(fd, level, name, &value, sizeof value) == 0;
}

short PollEvents(unsigned events) {
    return static_cast<short>(((events & SOCKET_READABLE) ? POLLIN : 0) | ((events & SOCKET_WRITABLE) ? POLLOUT : 0));
}

unsigned Ready(short revents) {
    unsigned r = 0;
    if (revents & POLLIN) r |= SOCKET_READABLE;
    if (revents & POLLOUT) r |= SOCKET_WRITABLE;
    if (revents & (POLLERR | POLLHUP | POLLNVAL)) r |= SOCKET_BROKEN;
    return r;
}

bool WouldBlock(int e) { return e == EAGAIN || e == EWOULDBLOCK; }

// poll with a deadline; EINTR resumes with the time left.
int PollUntil(pollfd* fds, size_t n, int64_t timeoutMs) {
    const int64_t end = timeoutMs < 0 ? 0 : RealTickMs() + timeoutMs;
    for (;;) {
        int wait = -1;
        if (timeoutMs >= 0) {
            const int64_t left = end - RealTickMs();
            wait = left <= 0 ? 0 : static_cast<int>(left > INT_MAX ? INT_MAX : left);
        }
        const int r = poll(fds, static_cast<nfds_t>(n), wait);
        if (r < 0 && errno == EINTR) continue;
        return r;
    }
}

}  // namespace

bool ParseIpv4(const std::string& text, uint32_t& ip) {
    in_addr a{};
    if (inet_pton(AF_INET, text.c_str(), &a) != 1) return false;
    ip = ntohl(a.s_addr);
    return true;
}

std::string Ipv4Text(uint32_t ip) {
    in_addr a{};
    a.s_addr = htonl(ip);
    char text[INET_ADDRSTRLEN] = {};
    inet_ntop(AF_INET, &a, text, sizeof text);
    return text;
}

bool ResolveIpv4(const std::string& host, uint32_t& ip) {
    if (ParseIpv4(host, ip)) return true;
    if (host.empty()) return false;
    addrinfo hints{};
    hints.ai_family = AF_INET;
    addrinfo* res = nullptr;
    if (getaddrinfo(host.c_str(), nullptr, &hints, &res) != 0 || res == nullptr) return false;
    ip = ntohl(reinterpret_cast<const sockaddr_in*>(res->ai_addr)->sin_addr.s_addr);
    freeaddrinfo(res);
    return true;
}

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

Socket::Socket(Socket&& other) noexcept : m_s(other.m_s) { other.m_s = NO_SOCKET; }

Socket& Socket::operator=(Socket&& other) noexcept {
    if (this != &other) {
        Close();
        m_s = other.m_s;
        other.m_s = NO_SOCKET;
    }
    return *this;
}

Socket Socket::Tcp() { return Socket(socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, IPPROTO_TCP)); }
Socket Socket::Udp() { return Socket(socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0)); }

void Socket::Close() {
    if (m_s != NO_SOCKET) close(m_s);
    m_s = NO_SOCKET;
}

bool Socket::Bind(SocketAddress address) {
    const sockaddr_in sa = ToSockaddr(address);
    return bind(m_s, reinterpret_cast<const sockaddr*>(&sa), sizeof sa) == 0;
}

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
    if (err != 0) {
        if (error) *error = SocketErrorText(err);
        errno = err;
        return false;
    }
    return true;
}

void Socket::Shutdown() const {
    if (m_s != NO_SOCKET) shutdown(m_s, SHUT_RDWR);
}

void Socket::ShutdownSend() const {
    if (m_s != NO_SOCKET) shutdown(m_s, SHUT_WR);
}

bool Socket::SetNoDelay(bool on) { return SetInt(m_s, IPPROTO_TCP, TCP_NODELAY, on ? 1 : 0); }
bool Socket::SetReuseAddress(bool on) { return SetInt(m_s, SOL_SOCKET, SO_REUSEADDR, on ? 1 : 0); }
bool Socket::SetBroadcast(bool on) { return SetInt(m_s, SOL_SOCKET, SO_BROADCAST, on ? 1 : 0); }

bool Socket::SetBufferSizes(int bytes) {
    const bool a = SetInt(m_s, SOL_SOCKET, SO_SNDBUF, bytes);
    const bool b = SetInt(m_s, SOL_SOCKET, SO_RCVBUF, bytes);
    return a && b;
}

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

bool Socket::SetLinger(bool on, int seconds) {
    const linger lg{on ? 1 : 0, seconds};
    return setsockopt(m_s, SOL_SOCKET, SO_LINGER, &lg, sizeof lg) == 0;
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

int Socket::Wait(unsigned events, int64_t timeoutMs) const {
    pollfd p{m_s, PollEvents(events), 0};
    const int r = PollUntil(&p, 1, timeoutMs);
    return r <= 0 ? r : static_cast<int>(Ready(p.revents));
}

SocketAddress Socket::LocalAddress() const {
    sockaddr_in sa{};
    socklen_t len = sizeof sa;
    if (getsockname(m_s, reinterpret_cast<sockaddr*>(&sa), &len) != 0) return {};
    return FromSockaddr(sa);
}

SocketAddress Socket::PeerAddress() const {
    sockaddr_in sa{};
    socklen_t len = sizeof sa;
    if (getpeername(m_s, reinterpret_cast<sockaddr*>(&sa), &len) != 0) return {};
    return FromSockaddr(sa);
}

int WaitAny(std::span<WaitItem> items, int64_t timeoutMs) {
    std::vector<pollfd> fds(items.size());
    for (size_t i = 0; i < items.size(); ++i) fds[i] = {items[i].socket, PollEvents(items[i].events), 0};
    const int r = PollUntil(fds.data(), fds.size(), timeoutMs);
    for (size_t i = 0; i < items.size(); ++i) items[i].ready = r > 0 ? Ready(fds[i].revents) : 0;
    return r;
}

// --- WakeUp ---------------------------------------------------------------------------------------

WakeUp::WakeUp() {
    int fds[2];
    if (pipe2(fds, O_CLOEXEC | O_NONBLOCK) != 0) return;
    m_read = fds[0];
    m_write = fds[1];
}

WakeUp::~WakeUp() {
    if (m_read != NO_SOCKET) close(m_read);
    if (m_write != NO_SOCKET) close(m_write);
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
