#include "cpelink/direct_connection.h"

#include "platform/clock.h"

namespace {

constexpr int64_t CONNECT_TIMEOUT_MS = 5000;
// A send that makes no progress for this long fails (a peer that stopped reading).
constexpr int64_t SEND_STALL_MS = 60000;

}  // namespace

DirectConnection::~DirectConnection() = default;

int DirectConnection::DirectOpen(const std::string& host, int port) {
    if (m_bConnected) return 1;
    if (port < 0 || port > 65535) return 0;
    uint32_t ip = 0;
    if (!plat::ResolveIpv4(host, ip)) return 0;
    m_addr = ip;
    m_strAddress = plat::Ipv4Text(ip);
    m_nPort = port;
    // An earlier socket that never connected is replaced, not leaked.
    m_socket = plat::Socket::Tcp();
    return m_socket.Valid() ? 1 : 0;
}

int DirectConnection::DirectConnect() {
    if (m_bConnected) return 1;
    if (m_strAddress.empty()) return 0;
    // The socket of an earlier failed attempt is gone; a new attempt needs a new one.
    if (!m_socket.Valid()) m_socket = plat::Socket::Tcp();
    if (!m_socket.Valid()) return 0;
    if (!m_socket.Connect({m_addr, m_nPort}, plat::Scaled(CONNECT_TIMEOUT_MS))) {
        m_socket.Close();
        return 0;
    }
    m_bConnected = true;
    return 1;
}

int DirectConnection::DirectReceive(uint8_t* buffer, int size, int timeoutMs) {
    if (!m_bConnected || buffer == nullptr || size < 0) return -1;
    if (timeoutMs >= 0) {
        const int r = plat::WaitIo([this](int64_t ms) { return m_socket.Wait(plat::SOCKET_READABLE, ms); }, timeoutMs);
        if (r == 0) return -2;
        if (r < 0) return -1;
    }
    const std::ptrdiff_t n = m_socket.Receive(buffer, static_cast<size_t>(size));
    return n < 0 ? -1 : static_cast<int>(n);
}

int DirectConnection::DirectSendAll(const uint8_t* bytes, int n) {
    if (!m_bConnected || n < 0 || (bytes == nullptr && n > 0)) return -1;
    return m_socket.SendAll(bytes, static_cast<size_t>(n), plat::Scaled(SEND_STALL_MS)) ? n : -1;
}

int DirectConnection::DirectClose() {
    m_socket.Close();
    m_bConnected = false;
    return 1;
}
