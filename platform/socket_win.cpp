// The socket layer on Windows: Winsock, a loopback UDP pair for the wake-up.
//
// Every socket is kept non-blocking; a blocking call waits with WSAPoll, so the same socket
// serves blocking and non-blocking calls from several threads without switching its mode (Winsock
// has no per-call MSG_DONTWAIT). Winsock is started by the network start-up, not here.
#include "platform/socket_native.h"

#include <climits>

namespace plat {

using namespace native;

namespace {

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

// Waits for `events` on `s` up to `ms`; true when one of them (or an error) came.
bool WaitFor(SOCKET s, unsigned events, int64_t ms) {
    WSAPOLLFD p{s, PollEvents(events), 0};
    const int r = PollUntil(&p, 1, ms);
    if (r == 0) WSASetLastError(WSAETIMEDOUT);
    return r > 0;
}

// The length argument of send and recv: an int.
int IoLength(std::size_t n) { return static_cast<int>(n > static_cast<std::size_t>(INT_MAX) ? INT_MAX : n); }

}  // namespace

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

Socket Socket::Tcp() { return Socket(NewSocket(SOCK_STREAM, IPPROTO_TCP)); }
Socket Socket::Udp() { return Socket(NewSocket(SOCK_DGRAM, IPPROTO_UDP)); }

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
    return ConnectResult(err, error);
}

bool Socket::SetReuseAddress(bool) { return true; }

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

bool Socket::SetSendTimeout(int ms) {
    m_nSendTimeoutMs = ms > 0 ? ms : -1;
    return true;
}

std::ptrdiff_t Socket::Send(const void* data, std::size_t n, IoMode mode) const {
    for (;;) {
        const int r = send(m_s, static_cast<const char*>(data), IoLength(n), 0);
        if (r != SOCKET_ERROR) return r;
        if (WSAGetLastError() != WSAEWOULDBLOCK) return IO_FAILED;
        if (mode == IoMode::NoWait) return IO_WOULD_BLOCK;
        if (!WaitFor(m_s, SOCKET_WRITABLE, m_nSendTimeoutMs)) return IO_FAILED;
    }
}

std::ptrdiff_t Socket::Receive(void* data, std::size_t n, IoMode mode) const {
    for (;;) {
        const int r = recv(m_s, static_cast<char*>(data), IoLength(n), 0);
        if (r != SOCKET_ERROR) return r;
        if (WSAGetLastError() != WSAEWOULDBLOCK) return IO_FAILED;
        if (mode == IoMode::NoWait) return IO_WOULD_BLOCK;
        if (!WaitFor(m_s, SOCKET_READABLE, -1)) return IO_FAILED;
    }
}

std::ptrdiff_t Socket::SendTo(const void* data, std::size_t n, SocketAddress to) const {
    const sockaddr_in sa = ToSockaddr(to);
    for (;;) {
        const int r = sendto(m_s, static_cast<const char*>(data), IoLength(n), 0,
                             reinterpret_cast<const sockaddr*>(&sa), sizeof sa);
        if (r != SOCKET_ERROR) return r;
        if (WSAGetLastError() != WSAEWOULDBLOCK || !WaitFor(m_s, SOCKET_WRITABLE, m_nSendTimeoutMs)) return IO_FAILED;
    }
}

std::ptrdiff_t Socket::ReceiveFrom(void* data, std::size_t n, SocketAddress* from, IoMode mode) const {
    const int len = IoLength(n);
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

// --- WakeUp ---------------------------------------------------------------------------------------

WakeUp::WakeUp() {
    Socket reader = BindUdp({IPV4_LOOPBACK, 0});
    Socket writer = Socket::Udp();
    if (!reader || !writer || !writer.Connect(reader.LocalAddress(), 0)) return;
    m_read = reader.Release();
    m_write = writer.Release();
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
