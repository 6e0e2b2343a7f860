// The socket layer on Windows: Winsock and WSAPoll, a loopback UDP pair for the wake-up.
//
// Every socket is kept non-blocking; a blocking call waits with WSAPoll, so the same socket
// serves blocking and non-blocking calls from several threads without switching its mode (Winsock
// has no per-call MSG_DONTWAIT). Winsock is started by the network start-up, not here.
#ifndef _WIN32_WINNT
#define _WIN32_WINNT 0x0601
#endif
#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#include <winsock2.h>
#include <ws2tcpip.h>
#include <mstcpip.h>
#include <windows.h>

#include "platform/socket.h"

#include <climits>
#include <vector>

#include "platform/clock.h"

namespace plat {

namespace {

sockaddr_in ToSockaddr(SocketAddress a) {
    sockaddr_in sa{};
    sa.sin_family = AF_INET;
    sa.sin_port = htons(static_cast<u_short>(a.port));
    sa.sin_addr.s_addr = htonl(a.ip);
    return sa;
}

SocketAddress FromSockaddr(const sockaddr_in& sa) { return {ntohl(sa.sin_addr.s_addr), ntohs(sa.sin_port)}; }

bool SetInt(SOCKET s, int level, int name, int value) {
    return setsockopt(s, level, name, reinterpret_cast<const char*>(&value), sizeof value) == 0;
}

void MakeNonBlocking(SOCKET s) {
    u_long on = 1;
    if (s != INVALID_SOCKET) ioctlsocket(s, FIONBIO, &on);
}

SOCKET NewSocket(int type, int protocol) {
    SOCKET s = WSASocketW(AF_INET, type, protocol, nullptr, 0, WSA_FLAG_OVERLAPPED | WSA_FLAG_NO_HANDLE_INHERIT);
    // Systems before Windows 7 SP1 refuse the flag: a socket child processes inherit is still a socket.
    if (s == INVALID_SOCKET && WSAGetLastError() == WSAEINVAL)
        s = WSASocketW(AF_INET, type, protocol, nullptr, 0, WSA_FLAG_OVERLAPPED);
    MakeNonBlocking(s);
    return s;
}

SHORT PollEvents(unsigned events) {
    return static_cast<SHORT>(((events & SOCKET_READABLE) ? POLLRDNORM : 0) | ((events & SOCKET_WRITABLE) ? POLLWRNORM : 0));
}

unsigned Ready(SHORT revents) {
    unsigned r = 0;
    if (revents & (POLLRDNORM | POLLRDBAND)) r |= SOCKET_READABLE;
    if (revents & POLLWRNORM) r |= SOCKET_WRITABLE;
    if (revents & (POLLERR | POLLHUP | POLLNVAL)) r |= SOCKET_BROKEN;
    return r;
}

// WSAPoll with a deadline (it takes an int of milliseconds).
int PollUntil(WSAPOLLFD* fds, size_t n, int64_t timeoutMs) {
    const int64_t end = timeoutMs < 0 ? 0 : RealTickMs() + timeoutMs;
    for (;;) {
        int wait = -1;
        if (timeoutMs >= 0) {
            const int64_t left = end - RealTickMs();
            wait = left <= 0 ? 0 : static_cast<int>(left > INT_MAX ? INT_MAX : left);
        }
        const int r = WSAPoll(fds, static_cast<ULONG>(n), wait);
        if (r == SOCKET_ERROR && WSAGetLastError() == WSAEINTR) continue;
        return r == SOCKET_ERROR ? -1 : r;
    }
}

// Waits for `events` on `s` up to `ms`; true when one of them (or an error) came.
bool WaitFor(SOCKET s, unsigned events, int64_t ms) {
    WSAPOLLFD p{s, PollEvents(events), 0};
    const int r = PollUntil(&p, 1, ms);
    if (r == 0) WSASetLastError(WSAETIMEDOUT);
    return r > 0;
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
    char name[256] = {};
    if (gethostname(name, sizeof name) != 0) return 0;
    addrinfo hints{};
    hints.ai_family = AF_INET;
    addrinfo* res = nullptr;
    if (getaddrinfo(name, nullptr, &hints, &res) != 0) return 0;
    uint32_t v = 0;
    for (addrinfo* i = res; i && v == 0; i = i->ai_next) {
        const uint32_t a = ntohl(reinterpret_cast<const sockaddr_in*>(i->ai_addr)->sin_addr.s_addr);
        if (a != 0 && (a >> 24) != 127) v = a;
    }
    freeaddrinfo(res);
    return v;
}

int LastSocketError() { return WSAGetLastError(); }

std::string SocketErrorText(int error) {
    char* text = nullptr;
    const DWORD n = FormatMessageA(FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM |
                                       FORMAT_MESSAGE_IGNORE_INSERTS,
                                   nullptr, static_cast<DWORD>(error), 0, reinterpret_cast<LPSTR>(&text), 0, nullptr);
    std::string s = n > 0 && text ? std::string(text, n) : "Winsock error " + std::to_string(error);
    if (text) LocalFree(text);
    while (!s.empty() && (s.back() == '\r' || s.back() == '\n' || s.back() == ' ' || s.back() == '.')) s.pop_back();
    return s;
}

// --- Socket ---------------------------------------------------------------------------------------

Socket::Socket(Socket&& other) noexcept : m_s(other.m_s), m_nSendTimeoutMs(other.m_nSendTimeoutMs) {
    other.m_s = NO_SOCKET;
}

Socket& Socket::operator=(Socket&& other) noexcept {
    if (this != &other) {
        Close();
        m_s = other.m_s;
        m_nSendTimeoutMs = other.m_nSendTimeoutMs;
        other.m_s = NO_SOCKET;
    }
    return *this;
}

Socket Socket::Tcp() { return Socket(NewSocket(SOCK_STREAM, IPPROTO_TCP)); }
Socket Socket::Udp() { return Socket(NewSocket(SOCK_DGRAM, IPPROTO_UDP)); }

void Socket::Close() {
    if (m_s != NO_SOCKET) closesocket(m_s);
    m_s = NO_SOCKET;
}

bool Socket::Bind(SocketAddress address) {
    const sockaddr_in sa = ToSockaddr(address);
    return bind(m_s, reinterpret_cast<const sockaddr*>(&sa), sizeof sa) == 0;
}

bool Socket::Listen(int backlog) { return listen(m_s, backlog < 0 ? SOMAXCONN : backlog) == 0; }

Socket Socket::Accept() const {
    const SOCKET s = accept(m_s, nullptr, nullptr);
    MakeNonBlocking(s);
    return Socket(s);
}

bool Socket::Connect(SocketAddress peer, int64_t timeoutMs, std::string* error) {
    const sockaddr_in sa = ToSockaddr(peer);
    int err = 0;
    if (connect(m_s, reinterpret_cast<const sockaddr*>(&sa), sizeof sa) != 0) {
        err = WSAGetLastError();
        if (err == WSAEWOULDBLOCK || err == WSAEINPROGRESS) {
            WSAPOLLFD p{m_s, POLLWRNORM, 0};
            const int r = PollUntil(&p, 1, timeoutMs);
            if (r > 0) {
                int len = sizeof err;
                err = 0;
                if (getsockopt(m_s, SOL_SOCKET, SO_ERROR, reinterpret_cast<char*>(&err), &len) != 0)
                    err = WSAGetLastError();
                else if (err == 0 && (p.revents & POLLWRNORM) == 0)
                    err = WSAECONNREFUSED;
            } else {
                err = r == 0 ? WSAETIMEDOUT : WSAGetLastError();
            }
        }
    }
    if (err != 0) {
        if (error) *error = SocketErrorText(err);
        WSASetLastError(err);
        return false;
    }
    return true;
}

void Socket::Shutdown() const {
    if (m_s != NO_SOCKET) shutdown(m_s, SD_BOTH);
}

void Socket::ShutdownSend() const {
    if (m_s != NO_SOCKET) shutdown(m_s, SD_SEND);
}

bool Socket::SetNoDelay(bool on) { return SetInt(m_s, IPPROTO_TCP, TCP_NODELAY, on ? 1 : 0); }
bool Socket::SetReuseAddress(bool) { return true; }
bool Socket::SetBroadcast(bool on) { return SetInt(m_s, SOL_SOCKET, SO_BROADCAST, on ? 1 : 0); }

bool Socket::SetBufferSizes(int bytes) {
    const bool a = SetInt(m_s, SOL_SOCKET, SO_SNDBUF, bytes);
    const bool b = SetInt(m_s, SOL_SOCKET, SO_RCVBUF, bytes);
    return a && b;
}

bool Socket::SetKeepAlive(int idleSeconds, int intervalSeconds) {
    const bool on = SetInt(m_s, SOL_SOCKET, SO_KEEPALIVE, 1);
    tcp_keepalive values{};
    values.onoff = 1;
    values.keepalivetime = static_cast<ULONG>(idleSeconds) * 1000;
    values.keepaliveinterval = static_cast<ULONG>(intervalSeconds) * 1000;
    DWORD returned = 0;
    const bool set = WSAIoctl(m_s, SIO_KEEPALIVE_VALS, &values, sizeof values, nullptr, 0, &returned, nullptr,
                              nullptr) == 0;
    return on && set;
}

bool Socket::SetLinger(bool on, int seconds) {
    linger lg{};
    lg.l_onoff = on ? 1 : 0;
    lg.l_linger = static_cast<u_short>(seconds);
    return setsockopt(m_s, SOL_SOCKET, SO_LINGER, reinterpret_cast<const char*>(&lg), sizeof lg) == 0;
}

bool Socket::SetSendTimeout(int ms) {
    m_nSendTimeoutMs = ms > 0 ? ms : -1;
    return true;
}

std::ptrdiff_t Socket::Send(const void* data, std::size_t n, IoMode mode) const {
    const int len = static_cast<int>(n > static_cast<std::size_t>(INT_MAX) ? INT_MAX : n);
    for (;;) {
        const int r = send(m_s, static_cast<const char*>(data), len, 0);
        if (r != SOCKET_ERROR) return r;
        if (WSAGetLastError() != WSAEWOULDBLOCK) return IO_FAILED;
        if (mode == IoMode::NoWait) return IO_WOULD_BLOCK;
        if (!WaitFor(m_s, SOCKET_WRITABLE, m_nSendTimeoutMs)) return IO_FAILED;
    }
}

std::ptrdiff_t Socket::Receive(void* data, std::size_t n, IoMode mode) const {
    const int len = static_cast<int>(n > static_cast<std::size_t>(INT_MAX) ? INT_MAX : n);
    for (;;) {
        const int r = recv(m_s, static_cast<char*>(data), len, 0);
        if (r != SOCKET_ERROR) return r;
        if (WSAGetLastError() != WSAEWOULDBLOCK) return IO_FAILED;
        if (mode == IoMode::NoWait) return IO_WOULD_BLOCK;
        if (!WaitFor(m_s, SOCKET_READABLE, -1)) return IO_FAILED;
    }
}

std::ptrdiff_t Socket::SendTo(const void* data, std::size_t n, SocketAddress to) const {
    const sockaddr_in sa = ToSockaddr(to);
    const int len = static_cast<int>(n > static_cast<std::size_t>(INT_MAX) ? INT_MAX : n);
    for (;;) {
        const int r = sendto(m_s, static_cast<const char*>(data), len, 0, reinterpret_cast<const sockaddr*>(&sa),
                             sizeof sa);
        if (r != SOCKET_ERROR) return r;
        if (WSAGetLastError() != WSAEWOULDBLOCK || !WaitFor(m_s, SOCKET_WRITABLE, m_nSendTimeoutMs)) return IO_FAILED;
    }
}

std::ptrdiff_t Socket::ReceiveFrom(void* data, std::size_t n, SocketAddress* from, IoMode mode) const {
    const int len = static_cast<int>(n > static_cast<std::size_t>(INT_MAX) ? INT_MAX : n);
    for (;;) {
        sockaddr_in sa{};
        int salen = sizeof sa;
        const int r = recvfrom(m_s, static_cast<char*>(data), len, 0, reinterpret_cast<sockaddr*>(&sa), &salen);
        if (r != SOCKET_ERROR) {
            if (from) *from = FromSockaddr(sa);
            return r;
        }
        const int e = WSAGetLastError();
        // A datagram larger than the buffer arrives cut, as on POSIX.
        if (e == WSAEMSGSIZE) {
            if (from) *from = FromSockaddr(sa);
            return static_cast<std::ptrdiff_t>(len);
        }
        // An ICMP "port unreachable" of an earlier send shows as a reset on the next receive.
        if (e == WSAECONNRESET) continue;
        if (e != WSAEWOULDBLOCK) return IO_FAILED;
        if (mode == IoMode::NoWait) return IO_WOULD_BLOCK;
        if (!WaitFor(m_s, SOCKET_READABLE, -1)) return IO_FAILED;
    }
}

int Socket::Wait(unsigned events, int64_t timeoutMs) const {
    WSAPOLLFD p{m_s, PollEvents(events), 0};
    const int r = PollUntil(&p, 1, timeoutMs);
    return r <= 0 ? r : static_cast<int>(Ready(p.revents));
}

SocketAddress Socket::LocalAddress() const {
    sockaddr_in sa{};
    int len = sizeof sa;
    if (getsockname(m_s, reinterpret_cast<sockaddr*>(&sa), &len) != 0) return {};
    return FromSockaddr(sa);
}

SocketAddress Socket::PeerAddress() const {
    sockaddr_in sa{};
    int len = sizeof sa;
    if (getpeername(m_s, reinterpret_cast<sockaddr*>(&sa), &len) != 0) return {};
    return FromSockaddr(sa);
}

int WaitAny(std::span<WaitItem> items, int64_t timeoutMs) {
    std::vector<WSAPOLLFD> fds(items.size());
    for (size_t i = 0; i < items.size(); ++i) fds[i] = {items[i].socket, PollEvents(items[i].events), 0};
    const int r = PollUntil(fds.data(), fds.size(), timeoutMs);
    for (size_t i = 0; i < items.size(); ++i) items[i].ready = r > 0 ? Ready(fds[i].revents) : 0;
    return r;
}

// --- WakeUp ---------------------------------------------------------------------------------------

WakeUp::WakeUp() {
    Socket reader = BindUdp({IPV4_LOOPBACK, 0});
    Socket writer = Socket::Udp();
    if (!reader || !writer || !writer.Connect(reader.LocalAddress(), 0)) return;
    m_read = reader.Release();
    m_write = writer.Release();
}

WakeUp::~WakeUp() {
    if (m_read != NO_SOCKET) closesocket(m_read);
    if (m_write != NO_SOCKET) closesocket(m_write);
}

void WakeUp::Signal() {
    const char c = 1;
    if (m_write != NO_SOCKET) send(m_write, &c, 1, 0);
}

void WakeUp::Drain() {
    char buf[64];
    while (m_read != NO_SOCKET && recv(m_read, buf, sizeof buf, 0) > 0) {
    }
}

}  // namespace plat
