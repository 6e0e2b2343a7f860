// The factory setting check (GatewayWeb::CheckFacMode) against a loopback peer on the setting port
// whose reply records come from the input. Input: a flags byte (bit 0: check twice with the same
// connection object), then one segment per request record the peer receives:
//   u8 kind   bit 0: a well-formed reply to the request (its code; 1 for a write, the request's
//                    payload for a read) with the segment's bytes written over it from a u16
//                    offset; else the segment's bytes are the reply as they stand (any length)
//             bit 1: the peer closes the connection after this reply
//             bit 2: the peer stays silent after a reply shorter than a record (the check waits
//                    out its reply window); without it such a reply is followed by a close
//   [u16 offset]  u16 n  n bytes
// The peer closes the connection when the segments are used up. The close record (68) gets no
// reply, as from the gateway.

#include <algorithm>
#include <array>
#include <cstring>
#include <mutex>

#include "fuzz/fuzz_support.h"
#include "fuzz/quiet_host.h"
#include "fuzz/loopback_peer.h"
#include "web/gateway_web.h"

namespace {

using namespace rkfuzz;

constexpr int kPeerFinishMs = 20000;
constexpr int kReadMs = 5000;
constexpr size_t kRecord = GatewayWeb::SETTING_RECORD_SIZE;

// Serves the connections of one input (on the peer's thread).
class SettingPeer {
public:
    explicit SettingPeer(Reader& in) : m_in(in) {}

    void Serve(const plat::Socket& sock) {
        std::array<uint8_t, kRecord> request{};
        for (;;) {
            if (!LoopbackPeer::ReadExactly(sock, request.data(), request.size(), kReadMs)) return;
            if (request[0] == GatewayWeb::SETTING_CLOSE) continue;
            if (m_in.Empty()) break;
            const uint8_t kind = m_in.U8();
            Bytes reply;
            if (kind & 0x01) {
                const size_t offset = m_in.U16() % kRecord;
                const Bytes patch = m_in.Take(m_in.U16());
                reply.assign(kRecord, 0);
                reply[0] = request[0];
                if (request[0] == GatewayWeb::SETTING_WRITE)
                    reply[1] = 1;
                else
                    std::copy(request.begin() + 1, request.end(), reply.begin() + 1);
                const size_t n = std::min(patch.size(), kRecord - offset);
                std::copy_n(patch.begin(), n, reply.begin() + static_cast<std::ptrdiff_t>(offset));
            } else {
                reply = m_in.Take(m_in.U16());
            }
            if (!LoopbackPeer::SendAll(sock, reply.data(), reply.size())) return;
            if ((kind & 0x02) || (reply.size() < kRecord && !(kind & 0x04))) break;
        }
        sock.ShutdownSend();
        LoopbackPeer::Drain(sock, kReadMs);
    }

private:
    Reader& m_in;
};

}  // namespace

RK_FUZZ_TARGET(setting_check) {
    InputScope scope;
    Reader in(data, size);
    const uint8_t flags = in.U8();

    LoopbackPeer& peer = LoopbackPeer::Instance();
    Check(peer.Ok(), "the loopback peer listens");
    // The check's pauses and its reply window pass on virtual time: each ends once the peer has
    // answered what it was sent, or waits for the next request.
    const plat::VirtualTime time([&peer] { SettleUntil([&peer] { return peer.Activity().Quiet(); }); });
    SettingPeer script(in);
    peer.Serve([&script](const plat::Socket& sock) { script.Serve(sock); });

    plat::Endpoints endpoints;
    endpoints.gateway = "127.0.0.1";
    endpoints.settingPort = peer.Port();
    NoProcess process;
    NoUi ui;
    std::vector<std::string> statuses;
    std::vector<int> results;
    {
        DirectConnection connection;
        GatewayWeb web(endpoints, process, [&statuses](const std::string& t) { statuses.push_back(t); }, ui,
                       connection);
        results.push_back(web.CheckFacMode("127.0.0.1"));
        if (flags & 0x01) results.push_back(web.CheckFacMode("127.0.0.1"));
        if (results.back() == 0) Check(!connection.IsConnected(), "a passed check closes its connection");
    }
    Check(peer.Finish(kPeerFinishMs), "the peer served the check");
    for (const int r : results) {
        Check(r >= 0 && r <= 4, "the check's result is one of its codes");
        Check(r != 1, "the loopback peer always accepts the connection");
    }
    Check(statuses.size() == static_cast<size_t>(std::count_if(results.begin(), results.end(), [](int r) { return r != 0; })),
          "one status text per failed check, none for a passed one");
    return 0;
}

RK_FUZZ_SEEDS(setting_check) {
    std::vector<Bytes> seeds;
    auto wellFormed = [](Bytes& s, uint8_t kind) {
        s.push_back(static_cast<uint8_t>(kind | 0x01));
        plat::AppendLe16(s, 0);
        plat::AppendLe16(s, 0);
    };
    {  // passes: write acknowledged, read answers the setting
        Bytes s = {0};
        wellFormed(s, 0);
        wellFormed(s, 0);
        seeds.push_back(s);
    }
    {  // twice on one connection object
        Bytes s = {1};
        for (int i = 0; i < 4; ++i) wellFormed(s, 0);
        seeds.push_back(s);
    }
    {  // read back differs
        Bytes s = {0};
        wellFormed(s, 0);
        s.push_back(0x01);
        plat::AppendLe16(s, 129);
        plat::AppendLe16(s, 1);
        s.push_back('1');
        seeds.push_back(s);
    }
    {  // write refused (second byte 0)
        Bytes s = {0, 0x01};
        plat::AppendLe16(s, 1);
        plat::AppendLe16(s, 1);
        s.push_back(0);
        seeds.push_back(s);
    }
    {  // part of a record, then the peer closes
        Bytes s = {0, 0x02};
        plat::AppendLe16(s, 3);
        s.insert(s.end(), {232, 1, 0});
        seeds.push_back(s);
    }
    {  // a record and a half: the extra bytes are stale for the read
        Bytes s = {1, 0x00};
        Bytes reply(kRecord + 1000, 0);
        reply[0] = 232;
        reply[1] = 1;
        plat::AppendLe16(s, static_cast<uint16_t>(reply.size()));
        s.insert(s.end(), reply.begin(), reply.end());
        wellFormed(s, 0);
        wellFormed(s, 0);
        wellFormed(s, 0);
        seeds.push_back(s);
    }
    {  // the peer closes after the write's reply
        Bytes s = {0};
        wellFormed(s, 0x02);
        seeds.push_back(s);
    }
    return seeds;
}
