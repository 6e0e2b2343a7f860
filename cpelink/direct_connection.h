#pragma once
// The direct connection of a line's channel: a plain outgoing TCP connection, independent of the
// link server's slots, used by the factory setting check on the gateway's setting port.
#include <cstdint>
#include <string>

#include "platform/non_copyable.h"
#include "platform/socket.h"

class DirectConnection : private plat::NonCopyable {
public:
    DirectConnection() = default;
    ~DirectConnection();

    // Resolves the host, stores port and address, creates the socket. 1 on success (and at once
    // when connected).
    int DirectOpen(const std::string& host, int port);
    // Connects to the stored address within 5000 ms; 1 on success (and at once when connected).
    // A failed attempt closes its socket.
    int DirectConnect();
    // One receive of up to `size` bytes: the count, 0 when the peer closed, -1 on error or when
    // not connected. Waits at most `timeoutMs` real milliseconds (-1: block); -2 on time-out.
    int DirectReceive(uint8_t* buffer, int size, int timeoutMs = -1);
    // Sends all `n` bytes; n, or -1 on failure or when not connected.
    int DirectSendAll(const uint8_t* bytes, int n);
    // Closes the socket if connected; 1.
    int DirectClose();

    bool IsConnected() const { return m_bConnected; }
    const std::string& AddressText() const { return m_strAddress; }
    int Port() const { return m_nPort; }

private:
    plat::Socket m_socket;
    int m_nPort = 0;
    std::string m_strAddress;
    uint32_t m_addr = 0;  // host order
    bool m_bConnected = false;
};
