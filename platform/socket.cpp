// The parts of the socket layer built on its own interface, the same on every platform.
#include "platform/socket.h"

#include <cstdint>

namespace plat {

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

}  // namespace plat
