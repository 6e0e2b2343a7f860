// The line channel (CLineChannel) over a real loopback connection to the link server, with a
// gateway whose answers come from the input: the hello, GetText, GetData, TakeData after
// SendData, TakeReply after PostRecord, ImagesDone, and SendImage's reply check.
//
// Input: u8 k, then k operations of 3 bytes (u8 kind, u16 argument), then the gateway's script.
// For each request message it receives (and the raw image bytes after an image header), the
// gateway takes the next step of the script:
//   u8 kind   bit 0: a record laid out as the gateway sends one: the request's type (bit 3: a u8
//                    type instead), its nSeq (bit 4: plus a u8), u32 nLength, u16 n, n data bytes;
//                    else u16 n raw bytes as they stand
//             bit 1: the gateway closes the connection after the step
//             bit 2: no answer at all
// When the script is used up the gateway closes the connection.
#include <algorithm>
#include <atomic>
#include <bitset>
#include <cstdio>
#include <memory>
#include <mutex>
#include <thread>

#include "cpelink/image_transfer.h"
#include "cpelink/line_channel.h"
#include "cpelink/link_record.h"
#include "cpelink/link_server.h"
#include "fuzz/fuzz_support.h"
#include "fuzz/loopback_peer.h"
#include "platform/socket.h"

namespace {

using namespace rkfuzz;

constexpr int kIoMs = 3000;
constexpr int64_t kSettleMs = 3000;

// The link server of this process on 127.0.0.1; its announcements go to a UDP socket of its own
// that nobody reads.
class Server {
public:
    Server() {
        m_udp = plat::BindUdp({plat::IPV4_LOOPBACK, 0});
        LinkServerConfig c;
        c.endpoints.gateway = "127.0.0.1";
        c.endpoints.linkPort = 0;
        c.endpoints.announceHost = "127.0.0.1";
        c.endpoints.announcePort = m_udp.LocalPort();
        c.endpoints.announceAddress = "127.0.0.1";
        m_bOk = m_server.Start(c);
    }
    ~Server() { m_server.Stop(); }
    bool Ok() const { return m_bOk; }
    CLinkServer& Get() { return m_server; }

private:
    plat::Socket m_udp;
    bool m_bOk = false;
    CLinkServer m_server;
};

Server& TheServer() {
    static Server server;
    return server;
}

// Waits in real time for the harness's own conditions (an accepted connection, the count).
bool WaitFor(const std::function<bool()>& cond, int64_t ms) {
    const int64_t end = plat::RealTickMs() + ms;
    while (!cond()) {
        if (plat::RealTickMs() > end) return false;
        std::this_thread::yield();
    }
    return true;
}

// The tool's side of line 0 is calm: the request is out (or nothing can go out any more) and what
// the gateway sent has been read and queued (or the connection is gone).
bool ToolCalm() {
    const LinkConnectionPtr conn = SlotSendConnection(0);
    if (!conn || conn->IsGivenBack()) return true;
    if (!SlotIsSent(0) || conn->Sock().Wait(plat::SOCKET_READABLE, 0) != 0) return false;
    // The receive thread may have read the bytes and not yet queued them: it queues under the
    // receive lock.
    std::lock_guard<std::mutex> lock(GetLinkSlot(0).recvLock);
    return true;
}

// What the gateway answered, for the checks of the tool's results.
struct GatewayLog {
    std::mutex mutex;
    std::bitset<256> typesSent;  // types of the records laid out by the gateway
    bool bRawSent = false;       // raw bytes, which may hold records of any type
};

void RunGateway(const plat::Socket& fd, const Bytes& script, GatewayLog& log, PeerActivity& activity) {
    PeerActivity::Track(&activity);
    Reader in(script);
    for (;;) {
        LinkMessage m{};
        if (!LoopbackPeer::ReadExactly(fd, m.data(), m.size(), kIoMs)) break;
        const uint8_t type = m[0];
        if (type == CMD_DOWN_BOOT || type == CMD_DOWN_LINUX) {
            Bytes raw(plat::GetLe32(m, LinkOffset::DataTotal));
            if (!raw.empty() && !LoopbackPeer::ReadExactly(fd, raw.data(), raw.size(), kIoMs)) break;
        }
        if (in.Empty()) break;
        const uint8_t kind = in.U8();
        if (kind & 0x04) continue;
        Bytes reply;
        uint8_t replyType = 0;
        if (kind & 0x01) {
            LinkMessage r{};
            replyType = (kind & 0x08) ? in.U8() : type;
            const uint32_t seq = plat::GetLe32(m, 5) + ((kind & 0x10) ? in.U8() : 0);
            r[0] = replyType;
            plat::PutLe32(r, 5, seq);
            plat::PutLe32(r, LinkOffset::DataLength, in.U32());
            const Bytes d = in.Take(in.U16());
            std::copy_n(d.begin(), std::min(d.size(), LINK_DATA_SIZE), r.begin() + LinkOffset::Data);
            reply.assign(r.begin(), r.end());
        } else {
            reply = in.Take(in.U16());
        }
        if (!reply.empty()) {
            std::lock_guard<std::mutex> lock(log.mutex);
            if (kind & 0x01) log.typesSent.set(replyType);
            else log.bRawSent = true;
        }
        if (!reply.empty() && !LoopbackPeer::SendAll(fd, reply.data(), reply.size())) break;
        if (kind & 0x02) break;
    }
    fd.Shutdown();
    activity.MarkEnded();
    PeerActivity::Track(nullptr);
}

// Waits (100 ms of the tool's clock) for a reply to the request just posted.
void AwaitReply(CLineChannel& ch) {
    const int64_t end = plat::TickMs() + 100;
    while (ch.HasReply() != 1 && !ch.IsLost() && plat::TickMs() <= end) plat::SleepRaw(2);
}

void RunOperation(CLineChannel& ch, uint8_t kind, uint16_t arg, GatewayLog& log) {
    switch (kind % 6) {
        case 0: {
            std::string text = "unchanged";
            if (ch.GetText(text) == 1) {
                Check(text.size() <= LINK_DATA_SIZE, "a text reply fits its record");
                Check(text.find('\0') == std::string::npos, "a text reply ends at its first NUL");
            }
            break;
        }
        case 1: {
            uint8_t buffer[MODEM_TEXT_BUFFER] = {};
            ch.GetData(buffer);
            break;
        }
        case 2: {
            const Bytes bytes(arg % 64, 'A');
            if (ch.SendData(bytes.data(), static_cast<int>(bytes.size())) == 0) break;
            AwaitReply(ch);
            Bytes dest(arg % (LINK_DATA_SIZE + 50));
            const int n = ch.TakeData(dest, arg);
            Check(n >= 0 && static_cast<size_t>(n) <= dest.size(), "TakeData stays within its buffer");
            break;
        }
        case 3: {
            LinkRecord& r = ch.Record();
            r = LinkRecord{};
            r.sControl = CMD_DATA;
            if (ch.PostRecord(r, arg % (LINK_DATA_SIZE + 1)) == 0) break;
            AwaitReply(ch);
            LinkRecord out;
            const int n = ch.TakeReply(out);
            Check(n >= 0 && static_cast<size_t>(n) <= LINK_DATA_SIZE, "TakeReply reports at most a record's data");
            break;
        }
        case 4: {
            const std::string path = TempFolder() + "/image";
            {
                std::unique_ptr<std::FILE, int (*)(std::FILE*)> f(std::fopen(path.c_str(), "wb"), std::fclose);
                Check(f != nullptr, "the image file can be written");
                const Bytes image(arg % 3000, 0x5A);
                std::fwrite(image.data(), 1, image.size(), f.get());
            }
            const ImageVariant variant = (arg & 0x8000) ? ImageVariant::Boot : ImageVariant::Linux;
            const bool bSent = SendImage(ch, variant, path, TransferCallbacks{});
            if (bSent) {
                const uint8_t type = variant == ImageVariant::Boot ? CMD_DOWN_BOOT : CMD_DOWN_LINUX;
                std::lock_guard<std::mutex> lock(log.mutex);
                Check(log.bRawSent || log.typesSent.test(type), "a confirmed image was answered with its own type");
            }
            break;
        }
        default:
            ch.ImagesDone();
            break;
    }
}

}  // namespace

RK_FUZZ_TARGET(line_channel) {
    InputScope scope;
    Reader in(data, size);
    const size_t k = in.U8() % 8;
    std::vector<std::pair<uint8_t, uint16_t>> ops;
    for (size_t i = 0; i < k; ++i) {
        const uint8_t kind = in.U8();
        ops.emplace_back(kind, in.U16());
    }
    const Bytes script = in.Rest();

    Server& server = TheServer();
    Check(server.Ok(), "the link server listens");
    const size_t pendingBefore = server.Get().PendingCount();
    plat::Socket fd = plat::Socket::Tcp();
    Check(fd.Connect({plat::IPV4_LOOPBACK, server.Get().Port()}, kIoMs), "the gateway connects");
    Check(WaitFor([&] { return server.Get().PendingCount() > pendingBefore; }, kSettleMs), "the connection is pending");

    GatewayLog log;
    PeerActivity activity;
    std::thread gateway([&fd, &script, &log, &activity] { RunGateway(fd, script, log, activity); });
    {
        // The channel's waits pass on virtual time: each pause ends once the gateway has answered
        // what it was sent (or waits for more) and its answer is queued.
        // When the gateway has not woken since the last calm look it has sent nothing since: one
        // look at its socket and at the slot then does.
        uint64_t calmWakes = ~uint64_t{0};
        const plat::VirtualTime time([&activity, &calmWakes] {
            if (activity.Wakes() == calmWakes && activity.Quiet() && SlotIsSent(0)) return;
            if (SettleUntil([&activity] { return activity.Quiet() && ToolCalm(); })) calmWakes = activity.Wakes();
        });
        CLineChannel ch;
        if (ch.Attach(0) == 1) {
            for (const auto& [kind, arg] : ops) RunOperation(ch, kind, arg, log);
        }
        ch.Close();
    }
    fd.Shutdown();
    gateway.join();
    fd.Close();
    ClearTempFolder();
    Check(WaitFor([] { return LinkConnectionCount() == 0; }, kSettleMs), "every connection is let go");
    return 0;
}

RK_FUZZ_SEEDS(line_channel) {
    auto answer = [](Bytes& s, uint32_t length, std::string_view text, uint8_t extra = 0) {
        s.push_back(static_cast<uint8_t>(0x01 | extra));
        plat::AppendLe32(s, length);
        plat::AppendLe16(s, static_cast<uint16_t>(text.size()));
        PutText(s, text);
    };
    auto op = [](Bytes& s, uint8_t kind, uint16_t arg) {
        s.push_back(kind);
        plat::AppendLe16(s, arg);
    };
    std::vector<Bytes> seeds;
    {  // hello, then the two version texts
        Bytes s{2};
        op(s, 1, 0);
        op(s, 0, 0);
        answer(s, 1, "");
        answer(s, 13, "PD_WA_RK880T");
        answer(s, 12, "RK880T_CPE_1");
        seeds.push_back(s);
    }
    {  // a Linux image of 1500 bytes, confirmed; then the images-done reply
        Bytes s{2};
        op(s, 4, 1500);
        op(s, 5, 0);
        answer(s, 1, "");
        answer(s, 0, "");
        answer(s, 1, "");
        seeds.push_back(s);
    }
    {  // a boot image answered with another type
        Bytes s{1};
        op(s, 4, 0x8000 | 100);
        answer(s, 1, "");
        s.push_back(0x01 | 0x08);
        s.push_back(CMD_DOWN_LINUX);
        plat::AppendLe32(s, 0);
        plat::AppendLe16(s, 0);
        seeds.push_back(s);
    }
    {  // tunnel data and a posted record, answered with oversize lengths
        Bytes s{2};
        op(s, 2, 40);
        op(s, 3, 1350);
        answer(s, 1, "");
        answer(s, 5000, std::string(1350, 'D'));
        answer(s, 0xFFFFFFFF, "x");
        seeds.push_back(s);
    }
    {  // a bye instead of the text, then the gateway goes
        Bytes s{2};
        op(s, 0, 0);
        op(s, 0, 0);
        answer(s, 1, "");
        s.push_back(0x01 | 0x08 | 0x02);
        s.push_back(CMD_BYE);
        plat::AppendLe32(s, 0);
        plat::AppendLe16(s, 0);
        seeds.push_back(s);
    }
    return seeds;
}
