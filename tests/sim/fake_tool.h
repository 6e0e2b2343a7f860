#pragma once
// The tool's side of the link, played over raw loopback sockets: a TCP listener on 127.0.0.1:0,
// the announcement datagram, records encoded with the channel's encoder, replies read whole.
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "cpelink/link_record.h"
#include "platform/clock.h"
#include "platform/non_copyable.h"
#include "platform/socket.h"

class FakeTool : private plat::NonCopyable {
public:
    FakeTool() : m_listen(plat::ListenTcp({plat::IPV4_LOOPBACK, 0}, 8)), m_nPort(m_listen.LocalPort()) {}

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
        plat::Socket::Udp().SendTo(bytes.data(), bytes.size(), {plat::IPV4_LOOPBACK, toPort});
    }

    void Announce(int toPort) {
        const LinkMessage m = Announcement(static_cast<uint32_t>(m_nPort));
        SendDatagram(toPort, m);
    }

    // Waits for the gateway's connection.
    bool Accept(int timeoutMs = 5000) {
        if (m_listen.Wait(plat::SOCKET_READABLE, timeoutMs) <= 0) return false;
        m_conn = m_listen.Accept();
        return m_conn.Valid();
    }

    // Announces and accepts.
    bool Connect(int announcePort) {
        Announce(announcePort);
        return Accept();
    }

    void CloseConnection() { m_conn.Close(); }

    bool SendBytes(std::span<const uint8_t> bytes) { return m_conn.SendAll(bytes.data(), bytes.size()); }

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
            if (m_conn.Wait(plat::SOCKET_READABLE, left) <= 0) return std::nullopt;
            const std::ptrdiff_t n = m_conn.Receive(m.data() + got, m.size() - got);
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
            if (m_conn.Wait(plat::SOCKET_READABLE, 20) > 0 && m_conn.Receive(buf, sizeof buf) <= 0) return true;
        }
        return false;
    }

    uint32_t Seq() const { return m_nSeq; }

private:
    plat::Socket m_listen;
    plat::Socket m_conn;
    int m_nPort = 0;
    uint32_t m_nSeq = 1;
    bool m_bPeerClosed = false;
};
