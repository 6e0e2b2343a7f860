// The parts of the socket layer that are the same on every platform: address conversions, the
// options both systems share, waits over poll, and what is built on the layer's own interface.
// socket_native.h gives the few calls and constants that differ.
#include "platform/socket_native.h"

#include <climits>
#include <cstdint>
#include <utility>
#include <vector>

#include "platform/clock.h"

namespace plat {

namespace native {

sockaddr_in ToSockaddr(SocketAddress a) {
    sockaddr_in sa{};
    sa.sin_family = AF_INET;
    sa.sin_port = htons(static_cast<uint16_t>(a.port));
    sa.sin_addr.s_addr = htonl(a.ip);
    return sa;
}

SocketAddress FromSockaddr(const sockaddr_in& sa) { return {ntohl(sa.sin_addr.s_addr), ntohs(sa.sin_port)}; }

bool SetInt(NativeSocket s, int level, int name, int value) {
    return setsockopt(s, level, name, reinterpret_cast<const char*>(&value), sizeof value) == 0;
}

int PollUntil(PollFd* fds, std::size_t n, int64_t timeoutMs) {
    const int64_t end = timeoutMs < 0 ? 0 : RealTickMs() + timeoutMs;
    for (;;) {
        int wait = -1;
        if (timeoutMs >= 0) {
            const int64_t left = end - RealTickMs();
            wait = left <= 0 ? 0 : static_cast<int>(left > INT_MAX ? INT_MAX : left);
        }
        const int r = Poll(fds, n, wait);
        if (r < 0 && LastSocketError() == kInterrupted) continue;
        return r;
    }
}

PollFlags PollEvents(unsigned events) {
    return static_cast<PollFlags>(((events & SOCKET_READABLE) ? kPollAskRead : 0) |
                                  ((events & SOCKET_WRITABLE) ? kPollWrite : 0));
}

unsigned Ready(PollFlags revents) {
    unsigned r = 0;
    if (revents & kPollGotRead) r |= SOCKET_READABLE;
    if (revents & kPollWrite) r |= SOCKET_WRITABLE;
    if (revents & (POLLERR | POLLHUP | POLLNVAL)) r |= SOCKET_BROKEN;
    return r;
}

bool ConnectResult(int error, std::string* text) {
    if (error == 0) return true;
    if (text) *text = SocketErrorText(error);
    SetLastSocketError(error);
    return false;
}

}  // namespace native

using namespace native;

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

// --- Socket ---------------------------------------------------------------------------------------

Socket::Socket(Socket&& other) noexcept { *this = std::move(other); }

Socket& Socket::operator=(Socket&& other) noexcept {
    if (this != &other) {
        Close();
        m_s = std::exchange(other.m_s, NO_SOCKET);
#ifdef _WIN32
        m_nSendTimeoutMs = other.m_nSendTimeoutMs;
#endif
    }
    return *this;
}

void Socket::Close() {
    if (m_s != NO_SOCKET) CloseSocket(m_s);
    m_s = NO_SOCKET;
}

bool Socket::Bind(SocketAddress address) {
    const sockaddr_in sa = ToSockaddr(address);
    return bind(m_s, reinterpret_cast<const sockaddr*>(&sa), sizeof sa) == 0;
}

void Socket::Shutdown() const {
    if (m_s != NO_SOCKET) shutdown(m_s, kShutdownBoth);
}

void Socket::ShutdownSend() const {
    if (m_s != NO_SOCKET) shutdown(m_s, kShutdownSend);
}

bool Socket::SetNoDelay(bool on) { return SetInt(m_s, IPPROTO_TCP, TCP_NODELAY, on ? 1 : 0); }
bool Socket::SetBroadcast(bool on) { return SetInt(m_s, SOL_SOCKET, SO_BROADCAST, on ? 1 : 0); }

bool Socket::SetBufferSizes(int bytes) {
    const bool a = SetInt(m_s, SOL_SOCKET, SO_SNDBUF, bytes);
    const bool b = SetInt(m_s, SOL_SOCKET, SO_RCVBUF, bytes);
    return a && b;
}

bool Socket::SetLinger(bool on, int seconds) {
    linger lg{};
    lg.l_onoff = on ? 1 : 0;
    lg.l_linger = static_cast<decltype(lg.l_linger)>(seconds);
    return setsockopt(m_s, SOL_SOCKET, SO_LINGER, reinterpret_cast<const char*>(&lg), sizeof lg) == 0;
}

bool Socket::SendAll(const void* data, std::size_t n, int64_t stallMs) const {
    const auto* p = static_cast<const uint8_t*>(data);
    std::size_t sent = 0;
    while (sent < n) {
        const std::ptrdiff_t r = Send(p + sent, n - sent, stallMs < 0 ? IoMode::Wait : IoMode::NoWait);
        if (r > 0) {
            sent += static_cast<std::size_t>(r);
        } else if (r == IO_WOULD_BLOCK) {
            if ((Wait(SOCKET_WRITABLE, stallMs) & SOCKET_WRITABLE) == 0) return false;
        } else {
            return false;
        }
    }
    return true;
}

int Socket::Wait(unsigned events, int64_t timeoutMs) const {
    PollFd p{m_s, PollEvents(events), 0};
    const int r = PollUntil(&p, 1, timeoutMs);
    return r <= 0 ? r : static_cast<int>(Ready(p.revents));
}

SocketAddress Socket::LocalAddress() const {
    sockaddr_in sa{};
    AddressLength len = sizeof sa;
    if (getsockname(m_s, reinterpret_cast<sockaddr*>(&sa), &len) != 0) return {};
    return FromSockaddr(sa);
}

SocketAddress Socket::PeerAddress() const {
    sockaddr_in sa{};
    AddressLength len = sizeof sa;
    if (getpeername(m_s, reinterpret_cast<sockaddr*>(&sa), &len) != 0) return {};
    return FromSockaddr(sa);
}

Socket ListenTcp(SocketAddress address, int backlog) {
    Socket s = Socket::Tcp();
    if (!s) return s;
    s.SetReuseAddress(true);
    if (!s.Bind(address) || !s.Listen(backlog)) s.Close();
    return s;
}

Socket BindUdp(SocketAddress address) {
    Socket s = Socket::Udp();
    if (s && !s.Bind(address)) s.Close();
    return s;
}

int WaitAny(std::span<WaitItem> items, int64_t timeoutMs) {
    std::vector<PollFd> fds(items.size());
    for (size_t i = 0; i < items.size(); ++i) fds[i] = {items[i].socket, PollEvents(items[i].events), 0};
    const int r = PollUntil(fds.data(), fds.size(), timeoutMs);
    for (size_t i = 0; i < items.size(); ++i) items[i].ready = r > 0 ? Ready(fds[i].revents) : 0;
    return r;
}

// --- WakeUp ---------------------------------------------------------------------------------------

WakeUp::~WakeUp() {
    if (m_read != NO_SOCKET) CloseSocket(m_read);
    if (m_write != NO_SOCKET) CloseSocket(m_write);
}

}  // namespace plat
