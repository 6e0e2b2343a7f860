#pragma once
// Helpers of the link tests: a time-scale guard, a UDP listener standing in for the gateway's
// announcement port, and a scripted gateway link client on a real loopback connection.
#include <cstdint>
#include <cstring>
#include <functional>
#include <string>
#include <future>
#include <vector>

#include <gtest/gtest.h>

#include "cpelink/line_channel.h"
#include "cpelink/link_record.h"
#include "cpelink/link_server.h"
#include "platform/clock.h"
#include "platform/non_copyable.h"
#include "platform/socket.h"

namespace linktest {

struct ScaleGuard {
    explicit ScaleGuard(double f) { plat::SetTimeScale(f); }
    ~ScaleGuard() { plat::SetTimeScale(1.0); }
};

// Waits until `cond` holds, at most `ms` real milliseconds.
inline bool WaitUntil(const std::function<bool()>& cond, int64_t ms = 3000) {
    const int64_t end = plat::TickMs() + ms;
    while (!cond()) {
        if (plat::TickMs() > end) return false;
        plat::SleepRaw(5);
    }
    return true;
}

inline bool PollIn(const plat::Socket& s, int ms) { return s.Wait(plat::SOCKET_READABLE, ms) > 0; }

class UdpListener {
public:
    UdpListener() : m_sock(plat::BindUdp({plat::IPV4_LOOPBACK, 0})) {}
    int Port() const { return m_sock.LocalPort(); }
    // One datagram within `ms`; empty when none came.
    std::vector<uint8_t> Receive(int ms) {
        if (!PollIn(m_sock, ms)) return {};
        std::vector<uint8_t> buf(4096);
        const std::ptrdiff_t n = m_sock.ReceiveFrom(buf.data(), buf.size());
        buf.resize(n > 0 ? static_cast<size_t>(n) : 0);
        return buf;
    }
    void Drain() {
        while (!Receive(0).empty()) {
        }
    }

private:
    plat::Socket m_sock;
};

// The gateway's link client: connects to the tool, reads messages and raw bytes, answers.
class FakeGateway : private plat::NonCopyable {
public:
    FakeGateway() = default;

    bool Connect(int port) {
        m_sock = plat::Socket::Tcp();
        return m_sock.Connect({plat::IPV4_LOOPBACK, port}, 5000);
    }
    const plat::Socket& Sock() const { return m_sock; }
    int LocalPort() const { return m_sock.LocalPort(); }
    void Close() { m_sock.Close(); }

    // Reads exactly n bytes (false on time-out between pieces, close or error).
    bool ReadExact(uint8_t* out, size_t n, int ms = 3000) {
        size_t got = 0;
        while (got < n) {
            if (!PollIn(m_sock, ms)) return false;
            const std::ptrdiff_t r = m_sock.Receive(out + got, n - got);
            if (r <= 0) return false;
            got += static_cast<size_t>(r);
        }
        return true;
    }
    bool ReadMessage(LinkMessage& m, int ms = 3000) { return ReadExact(m.data(), m.size(), ms); }
    bool ReadRecord(LinkRecord& r, int ms = 3000) {
        LinkMessage m{};
        if (!ReadMessage(m, ms)) return false;
        r = DecodeRecord(m);
        return true;
    }
    // True when nothing arrives within `ms` (and the connection is still there).
    bool Quiet(int ms) { return !PollIn(m_sock, ms); }

    bool SendBytes(const uint8_t* p, size_t n) { return m_sock.SendAll(p, n); }
    // A reply laid out by hand (not through the codec): type, nSeq, abData at 9, nLength at 1359.
    static LinkMessage Reply(uint8_t type, uint32_t seq, uint32_t length = 0, const std::string& data = {}) {
        LinkMessage m{};
        m[0] = type;
        for (int i = 0; i < 4; ++i) m[5 + i] = static_cast<uint8_t>(seq >> (8 * i));
        std::memcpy(m.data() + 9, data.data(), std::min<size_t>(data.size(), LINK_DATA_SIZE));
        for (int i = 0; i < 4; ++i) m[1359 + i] = static_cast<uint8_t>(length >> (8 * i));
        return m;
    }
    bool SendReply(uint8_t type, uint32_t seq, uint32_t length = 0, const std::string& data = {}) {
        const LinkMessage m = Reply(type, seq, length, data);
        return SendBytes(m.data(), m.size());
    }

private:
    plat::Socket m_sock;
};

inline LinkServerConfig LoopbackConfig(int announcePort, int linkPort = 0) {
    LinkServerConfig c;
    c.endpoints.gateway = "127.0.0.1";
    c.endpoints.linkPort = linkPort;
    c.endpoints.announceHost = "127.0.0.1";
    c.endpoints.announcePort = announcePort;
    return c;
}

// A running server on loopback with its own announcement listener, at time scale 0.01.
class LinkTest : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_EQ(LinkConnectionCount(), 0);
        ASSERT_TRUE(server.Start(LoopbackConfig(udp.Port())));
        ASSERT_GT(server.Port(), 0);
    }
    void TearDown() override {
        server.Stop();
        EXPECT_TRUE(WaitUntil([] { return LinkConnectionCount() == 0; })) << LinkConnectionCount();
    }

    // The gateway connects; the channel attaches `line` while the gateway answers the hello with
    // `helloReply` (0: no answer). The hello as received goes to `hello`.
    int AttachWith(CLineChannel& ch, FakeGateway& gw, int line = 0, uint8_t helloReply = CMD_HELLO,
                   LinkRecord* hello = nullptr) {
        const size_t before = server.PendingCount();
        if (!gw.Connect(server.Port())) return -1;
        if (!WaitUntil([&] { return server.PendingCount() > before; })) return -2;
        auto attached = std::async(std::launch::async, [&] { return ch.Attach(line); });
        LinkRecord h;
        if (!gw.ReadRecord(h)) return -3;
        if (hello) *hello = h;
        if (helloReply) gw.SendReply(helloReply, h.nSeq);
        return attached.get();
    }

    ScaleGuard scale{0.01};
    UdpListener udp;
    CLinkServer server;
};

}  // namespace linktest
