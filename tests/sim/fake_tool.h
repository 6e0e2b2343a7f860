#pragma once
// The tool's side of the link, played over raw loopback sockets: a TCP listener on 127.0.0.1:0,
// the announcement datagram, records encoded with the channel's encoder, replies read whole.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "cpelink/link_record.h"
#include "platform/clock.h"

class FakeTool {
public:
    FakeTool() {
        m_listen = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        sockaddr_in addr{};
        addr.sin_family = AF_INET;
        addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        socklen_t len = sizeof addr;
        if (bind(m_listen, reinterpret_cast<sockaddr*>(&addr), sizeof addr) == 0 && listen(m_listen, 8) == 0 &&
            getsockname(m_listen, reinterpret_cast<sockaddr*>(&addr), &len) == 0)
            m_nPort = ntohs(addr.sin_port);
    }
    ~FakeTool() {
        CloseConnection();
        if (m_listen >= 0) close(m_listen);
    }
    FakeTool(const FakeTool&) = delete;
    FakeTool& operator=(const FakeTool&) = delete;

    int Port() const { return m_nPort; }

    // The 1440-byte announcement: 0x6A, nArg1 114, nSeq 108, nArg2 port, nArg3 address.
    static LinkMessage Announcement(uint32_t port, uint32_t address = 0x0100007F) {
        LinkRecord r;
        r.sControl = CMD_ANNOUNCE;
        r.nArg1 = 114;
        r.nSeq = 108;
        r.nArg2 = port;
        return EncodeServerRecord(r, address);
    }

    static void SendDatagram(int toPort, std::span<const uint8_t> bytes) {
        const int fd = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
        sockaddr_in to{};
        to.sin_family = AF_INET;
        to.sin_port = htons(static_cast<uint16_t>(toPort));
        to.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        sendto(fd, bytes.data(), bytes.size(), 0, reinterpret_cast<sockaddr*>(&to), sizeof to);
        close(fd);
    }

    void Announce(int toPort) {
        const LinkMessage m = Announcement(static_cast<uint32_t>(m_nPort));
        SendDatagram(toPort, m);
    }

    // Waits for the gateway's connection.
    bool Accept(int timeoutMs = 5000) {
        pollfd p{m_listen, POLLIN, 0};
        if (poll(&p, 1, timeoutMs) != 1) return false;
        m_conn = accept4(m_listen, nullptr, nullptr, SOCK_CLOEXEC);
        return m_conn >= 0;
    }

    // Announces and accepts.
    bool Connect(int announcePort) {
        Announce(announcePort);
        return Accept();
    }

    void CloseConnection() {
        if (m_conn >= 0) close(m_conn);
        m_conn = -1;
    }

    bool SendBytes(std::span<const uint8_t> bytes) {
        size_t sent = 0;
        while (sent < bytes.size()) {
            const ssize_t n = send(m_conn, bytes.data() + sent, bytes.size() - sent, MSG_NOSIGNAL);
            if (n <= 0) return false;
            sent += static_cast<size_t>(n);
        }
        return true;
    }

    // A request as the channel encodes it: the sequence counter is stamped.
    LinkMessage Encode(LinkRecord r, int typeOverride = 0) {
        LinkMessage m{};
        EncodeChannelRecord(r, m_nSeq, typeOverride, std::span<uint8_t, LINK_MESSAGE_SIZE>(m));
        return m;
    }

    // Sends a request; returns its nSeq.
    uint32_t Send(uint8_t type, std::span<const uint8_t> data = {}, int typeOverride = 0) {
        LinkRecord r;
        r.sControl = type;
        std::copy(data.begin(), data.end(), r.abData.begin());
        r.nLength = data.empty() ? 1 : static_cast<uint32_t>(data.size());
        const LinkMessage m = Encode(r, typeOverride);
        SendBytes(m);
        return m_nSeq;
    }

    uint32_t SendText(uint8_t type, const std::string& text, int typeOverride = 0) {
        return Send(type, std::span<const uint8_t>(reinterpret_cast<const uint8_t*>(text.data()), text.size()),
                    typeOverride);
    }

    // Reads one whole 1440-byte message; nullopt on time-out or a closed connection.
    std::optional<LinkMessage> ReadMessage(int timeoutMs = 5000) {
        LinkMessage m{};
        size_t got = 0;
        const int64_t end = plat::TickMs() + timeoutMs;
        while (got < m.size()) {
            const int64_t left = end - plat::TickMs();
            if (left <= 0) return std::nullopt;
            pollfd p{m_conn, POLLIN, 0};
            if (poll(&p, 1, static_cast<int>(left)) != 1) return std::nullopt;
            const ssize_t n = recv(m_conn, m.data() + got, m.size() - got, 0);
            if (n <= 0) {
                m_bPeerClosed = true;
                return std::nullopt;
            }
            got += static_cast<size_t>(n);
        }
        return m;
    }

    std::optional<LinkRecord> ReadReply(int timeoutMs = 5000) {
        const auto m = ReadMessage(timeoutMs);
        if (!m) return std::nullopt;
        return DecodeRecord(*m);
    }

    // True when the gateway closed the connection within the time.
    bool WaitPeerClosed(int timeoutMs = 5000) {
        const int64_t end = plat::TickMs() + timeoutMs;
        uint8_t buf[4096];
        while (plat::TickMs() < end) {
            pollfd p{m_conn, POLLIN, 0};
            if (poll(&p, 1, 20) == 1) {
                const ssize_t n = recv(m_conn, buf, sizeof buf, 0);
                if (n <= 0) return true;
            }
        }
        return false;
    }

    uint32_t Seq() const { return m_nSeq; }

private:
    int m_listen = -1;
    int m_conn = -1;
    int m_nPort = 0;
    uint32_t m_nSeq = 1;
    bool m_bPeerClosed = false;
};
