// The line channel (CLineChannel) over a real loopback connection to the link server, with a
// gateway whose answers come from the input: GetText, GetData, TakeData after SendData, TakeReply
// after PostRecord, SendImage's reply check, ImagesDone, the tool's Close, and a new connection
// whose hello the input answers.
//
// Every input starts on an open channel: sequence restarted, nothing queued, nothing in flight.
// The connection stays from one input to the next while an input leaves it so (else a new one is
// made and the harness answers its hello), which spares most inputs a connect, an accept and a
// close.
//
// Input: u8 k, then k operations of 3 bytes (u8 kind, u16 argument), then the gateway's script.
// Operation kinds (kind % 8): 0 GetText, 1 GetData, 2 SendData and TakeData, 3 PostRecord and
// TakeReply, 4 SendImage, 5 ImagesDone, 6 Close, 7 a new connection; 6 and 7 only with bit 7
// set (else they are 0 and 1), and 7 once an input (then 1): a new connection costs as much as a
// few requests, and a close costs the next input one.
// For each request message it receives (and the raw image bytes after an image header), the
// gateway takes the next step of the script:
//   u8 kind   bit 0: a record laid out as the gateway sends one: the request's type (bit 3: a u8
//                    type instead), its nSeq (bit 4: plus a u8), u32 nLength, u16 n, n data bytes;
//                    else u16 n raw bytes as they stand
//             bits 1 and 5: the gateway closes the connection after the step
//             bit 2: no answer at all
// When the script is used up the gateway answers nothing more.
//
// The gateway runs on the fuzzing thread, inside the settle step of virtual time: each pause of
// the channel lets it read what the link server's send thread delivered and answer at once.
#include <algorithm>
#include <bitset>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <thread>

#include "cpelink/image_transfer.h"
#include "cpelink/line_channel.h"
#include "cpelink/link_record.h"
#include "cpelink/link_server.h"
#include "fuzz/fuzz_support.h"
#include "platform/socket.h"

namespace {

using namespace rkfuzz;

constexpr int kIoMs = 3000;
constexpr int64_t kSettleMs = 3000;
constexpr int64_t kSendStallMs = 5000;
// How long one settle step may look (real time) before it gives up on calm, and how many of its
// looks are a yield apart before they become short sleeps.
constexpr int64_t kSettleBoundMs = 1000;
constexpr int kSettleYields = 64;
// New connections an input may ask for.
constexpr int kMaxReconnects = 1;

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

// Waits in real time for the harness's own conditions (an accepted connection, the count).
bool WaitFor(const std::function<bool()>& cond, int64_t ms) {
    const int64_t end = plat::RealTickMs() + ms;
    while (!cond()) {
        if (plat::RealTickMs() > end) return false;
        std::this_thread::yield();
    }
    return true;
}

// The tool's end of a connection is closed with its last holder; the link server's worker threads
// let go of it within a pass. Waits for that, so that an input leaves no socket open behind it.
bool WaitClosed(const std::weak_ptr<LinkConnection>& conn) {
    return WaitFor([&conn] { return conn.expired(); }, kSettleMs);
}

// What line 0's receive half holds: the records queued and the bytes of a message begun. While a
// settle step lasts nothing takes from the queue, so the growth of the two is what the receive
// thread took in meanwhile.
struct ReceiveState {
    size_t queued = 0;
    size_t partial = 0;
};

ReceiveState ToolReceiveState() {
    LinkSlot& slot = GetLinkSlot(0);
    std::lock_guard<std::mutex> lock(slot.recvLock);
    return {slot.queue.size(), slot.incoming.Buffered()};
}

// The tool's line 0 has no connection any more (nothing goes out or comes in).
bool ToolConnectionGone() {
    const LinkConnectionPtr conn = SlotSendConnection(0);
    return !conn || conn->IsGivenBack();
}

// The gateway's end of the connection, without a thread of its own: Serve reads whatever has
// arrived and answers each complete request (an image header together with its raw bytes) with
// the next step of the script.
class Gateway {
public:
    // A new connection to the link server; the previous one, if any, is closed first. The first
    // request on it, the hello, is answered by the harness unless ScriptAnswersHello.
    bool Connect(int port) {
        Drop();
        m_sock = plat::Socket::Tcp();
        // A short reply leaves at once, not once the one before it is acknowledged.
        if (m_sock) m_sock.SetNoDelay(true);
        if (!m_sock || !m_sock.Connect({plat::IPV4_LOOPBACK, port}, kIoMs)) {
            m_sock.Close();
            return false;
        }
        m_bHarnessHello = true;
        m_nSentBytes = 0;
        return true;
    }
    void ScriptAnswersHello() { m_bHarnessHello = false; }
    // Closes the connection; the link server sees the close.
    void Drop() {
        if (m_sock) m_sock.Shutdown();
        m_sock.Close();
        m_in.clear();
        m_nRawLeft = 0;
        m_nSentInMessage = 0;
    }
    bool Connected() const { return m_sock.Valid(); }
    // Nothing half read and nothing owed: until the tool sends again, nothing happens here.
    bool AtRest() const { return !Connected() || (m_in.empty() && m_nRawLeft == 0); }
    // The script of the current input (empty: no answers).
    void SetScript(std::span<const uint8_t> script) { m_script = Reader(script); }
    // Completes a message begun by raw bytes with zeros, so that the next input's replies are read
    // from the start of a message.
    void Align() {
        const Bytes zeros((LINK_MESSAGE_SIZE - m_nSentInMessage) % LINK_MESSAGE_SIZE, 0);
        Send(zeros);
    }
    bool Aligned() const { return m_nSentInMessage == 0; }
    // Bytes sent on this connection so far.
    uint64_t SentBytes() const { return m_nSentBytes; }
    // Request messages read so far.
    uint64_t MessagesRead() const { return m_nMessages; }
    // Reads what has arrived and answers it; true when anything was read or the connection ended.
    bool Serve();

    // What the gateway answered in the current input, for the checks of the tool's results.
    std::bitset<256> typesSent;  // types of the records laid out by the gateway
    bool bRawSent = false;       // raw bytes, which may hold records of any type

private:
    void Answer(const LinkMessage& m);
    void Send(std::span<const uint8_t> bytes) {
        if (bytes.empty()) return;
        if (!m_sock.SendAll(bytes.data(), bytes.size(), kSendStallMs)) {
            Drop();
            return;
        }
        m_nSentInMessage = (m_nSentInMessage + bytes.size()) % LINK_MESSAGE_SIZE;
        m_nSentBytes += bytes.size();
    }

    plat::Socket m_sock;
    Bytes m_in;             // read and not yet taken
    LinkMessage m_header{};  // the image header whose raw bytes are being read
    size_t m_nRawLeft = 0;
    size_t m_nSentInMessage = 0;  // bytes sent since the last message boundary
    uint64_t m_nSentBytes = 0;
    uint64_t m_nMessages = 0;
    bool m_bHarnessHello = false;
    Reader m_script{nullptr, 0};
};

bool Gateway::Serve() {
    if (!Connected()) return false;
    bool bRead = false;
    uint8_t buffer[4096];
    for (;;) {
        const std::ptrdiff_t n = m_sock.Receive(buffer, sizeof buffer, plat::IoMode::NoWait);
        if (n == plat::IO_WOULD_BLOCK) break;
        bRead = true;
        if (n <= 0) {
            // The tool closed the connection (or it broke): the gateway closes its end too.
            Drop();
            return true;
        }
        m_in.insert(m_in.end(), buffer, buffer + n);
    }
    size_t pos = 0;
    while (Connected()) {
        if (m_nRawLeft > 0) {
            const size_t k = std::min(m_nRawLeft, m_in.size() - pos);
            pos += k;
            m_nRawLeft -= k;
            if (m_nRawLeft > 0) break;
            Answer(m_header);
            continue;
        }
        if (m_in.size() - pos < LINK_MESSAGE_SIZE) break;
        LinkMessage m{};
        std::copy_n(m_in.begin() + static_cast<std::ptrdiff_t>(pos), m.size(), m.begin());
        pos += m.size();
        ++m_nMessages;
        if (m[0] == CMD_DOWN_BOOT || m[0] == CMD_DOWN_LINUX) {
            m_nRawLeft = plat::GetLe32(m, LinkOffset::DataTotal);
            m_header = m;
            if (m_nRawLeft > 0) continue;
        }
        Answer(m);
    }
    if (Connected()) m_in.erase(m_in.begin(), m_in.begin() + static_cast<std::ptrdiff_t>(pos));
    return bRead;
}

void Gateway::Answer(const LinkMessage& m) {
    const uint8_t type = m[0];
    if (m_bHarnessHello) {
        m_bHarnessHello = false;
        if (type == CMD_HELLO) {
            LinkMessage r{};
            r[0] = CMD_HELLO;
            plat::PutLe32(r, 5, plat::GetLe32(m, 5));
            plat::PutLe32(r, LinkOffset::DataLength, 1);
            Send(r);
            return;
        }
    }
    if (m_script.Empty()) return;
    Reader& in = m_script;
    const uint8_t kind = in.U8();
    if (kind & 0x04) return;
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
        if (kind & 0x01)
            typesSent.set(replyType);
        else
            bRawSent = true;
    }
    Send(reply);
    if ((kind & 0x22) == 0x22) Drop();
}

// Line 0 of this process: the link server, the gateway and the channel, kept from one input to
// the next.
class Line {
public:
    bool ServerOk() const { return m_server.Ok(); }
    Gateway& Peer() { return m_gateway; }
    CLineChannel& Channel() { return *m_channel; }

    // The settle step of virtual time: the gateway answers what reached it and the tool queues
    // what the gateway sent, until every request the tool posted has reached the gateway and
    // every byte the gateway sent has been taken in by the tool. With `bAlign` the gateway first
    // completes a message begun by raw bytes.
    void Settle(bool bAlign = false);
    // The start of an input: an open channel, sequence restarted, nothing queued or in flight.
    // False when no such channel could be had (the input is skipped).
    bool Begin();
    // The end of an input: the connection is kept when it is in the start state but for the
    // sequence, else closed on both sides.
    void End();
    // The gateway goes and connects again; the channel attaches the new connection with the
    // script answering its hello.
    void Reconnect();

private:
    bool Connect(bool bScriptHello);
    // The request in the slot has not reached the gateway yet (waiting to be sent, or on its way).
    bool RequestOnItsWay() const;
    // Marks the request last sent as read by the gateway.
    static void ForgetDelivered();
    // The tool's receive half has taken in `bytes` since `before` (or the connection is gone).
    static bool TookIn(const ReceiveState& before, uint64_t bytes);
    bool Kept();
    void LetGo();

    Server m_server;
    Gateway m_gateway;
    std::optional<CLineChannel> m_channel;
    bool m_bKept = false;
    bool m_bCalm = false;  // the last settle ended calm
};

void Line::Settle(bool bAlign) {
    // Nothing moves after a calm look until the tool posts a request or sends raw image bytes
    // (the gateway then still expects some): a pause meanwhile only passes.
    if (!bAlign && m_bCalm && m_gateway.AtRest() && !RequestOnItsWay()) return;
    m_bCalm = false;
    const ReceiveState before = ToolReceiveState();
    const uint64_t sentBefore = m_gateway.SentBytes();
    if (bAlign) m_gateway.Align();
    const int64_t end = plat::RealTickMs() + kSettleBoundMs;
    for (int look = 0;; ++look) {
        const uint64_t messages = m_gateway.MessagesRead();
        const bool bRead = m_gateway.Serve();
        if (m_gateway.MessagesRead() != messages) ForgetDelivered();
        // A gateway that closed its end is calm once the tool has seen the close.
        if (!bRead && !RequestOnItsWay() && TookIn(before, m_gateway.SentBytes() - sentBefore) &&
            (m_gateway.Connected() || ToolConnectionGone())) {
            m_bCalm = true;
            return;
        }
        if (plat::RealTickMs() >= end) return;
        // The threads awaited (the link server's send and receive threads, the system's delivery
        // of loopback bytes) get the core at once when this one yields; a thread that blocks
        // instead waits longer to come back on a busy machine. Short sleeps only once the wait
        // has gone on.
        if (look < kSettleYields)
            std::this_thread::yield();
        else
            std::this_thread::sleep_for(std::chrono::microseconds(20));
    }
}

bool Line::RequestOnItsWay() const {
    if (!m_gateway.Connected() || ToolConnectionGone()) return false;
    LinkSlot& slot = GetLinkSlot(0);
    std::lock_guard<std::mutex> lock(slot.sendLock);
    return slot.bPending.load() || slot.outgoing != LinkMessage{};
}

void Line::ForgetDelivered() {
    // The gateway has read the last request sent: the slot's copy is spent (the send thread only
    // reads it while the request is pending, and a post replaces it whole). Zeroed, a new post
    // shows however alike the request is to the last one.
    LinkSlot& slot = GetLinkSlot(0);
    std::lock_guard<std::mutex> lock(slot.sendLock);
    if (!slot.bPending.load()) slot.outgoing.fill(0);
}

bool Line::TookIn(const ReceiveState& before, uint64_t bytes) {
    if (ToolConnectionGone()) return true;
    const ReceiveState now = ToolReceiveState();
    // At the queue's limit the oldest records drop and the count tells nothing more (an input
    // cannot get there: it makes a few requests).
    if (now.queued >= LINK_QUEUE_LIMIT) return true;
    const int64_t took = static_cast<int64_t>(now.queued - before.queued) * static_cast<int64_t>(LINK_MESSAGE_SIZE) +
                         static_cast<int64_t>(now.partial) - static_cast<int64_t>(before.partial);
    return took == static_cast<int64_t>(bytes);
}

bool Line::Connect(bool bScriptHello) {
    m_bCalm = false;
    CLinkServer& server = m_server.Get();
    const size_t pendingBefore = server.PendingCount();
    if (!m_gateway.Connect(server.Port())) return false;
    if (bScriptHello) m_gateway.ScriptAnswersHello();
    return WaitFor([&] { return server.PendingCount() > pendingBefore; }, kSettleMs);
}

bool Line::Begin() {
    if (m_bKept) return true;
    m_channel.emplace();
    Check(Connect(false), "the gateway connects");
    if (m_channel->Attach(0) == 1 && m_channel->IsOpen() && m_channel->Sequence() == 1) return true;
    // The harness's hello answer was not taken in time (a machine too busy to settle within the
    // bound): the input would not start where every other does.
    LetGo();
    return false;
}

void Line::Reconnect() {
    m_bCalm = false;
    const std::weak_ptr<LinkConnection> old = SlotSendConnection(0);
    m_gateway.Drop();
    // The channel takes a new connection only once it has seen the old one go.
    if (m_channel->HasConnection() && !WaitFor([this] { return m_channel->IsLost(); }, kSettleMs)) return;
    if (Connect(true)) m_channel->Attach(0);
    Check(WaitClosed(old), "the old connection is closed");
}

bool Line::Kept() {
    if (!m_bCalm || !m_channel->IsOpen() || !m_channel->HasConnection() || m_channel->IsLost()) return false;
    if (!m_gateway.Connected() || !m_gateway.AtRest() || !SlotIsSent(0)) return false;
    LinkSlot& slot = GetLinkSlot(0);
    std::lock_guard<std::mutex> lock(slot.recvLock);
    return slot.incoming.Buffered() == 0;
}

void Line::End() {
    Settle(!m_gateway.Aligned());
    m_bKept = Kept();
    if (m_bKept) {
        m_channel->RestartSequence();
        return;
    }
    LetGo();
}

void Line::LetGo() {
    m_bKept = false;
    const std::weak_ptr<LinkConnection> old = SlotSendConnection(0);
    if (m_channel) {
        m_channel->Close();
        m_channel.reset();
    }
    m_gateway.Drop();
    Check(WaitFor([] { return LinkConnectionCount() == 0; }, kSettleMs) && WaitClosed(old), "every connection is let go");
}

Line& TheLine() {
    static Line line;
    return line;
}

// Waits (100 ms of the tool's clock) for a reply to the request just posted.
void AwaitReply(CLineChannel& ch) {
    const int64_t end = plat::TickMs() + 100;
    while (ch.HasReply() != 1 && !ch.IsLost() && plat::TickMs() <= end) plat::SleepRaw(2);
}

void RunOperation(Line& line, uint8_t kind, uint16_t arg, int& reconnects) {
    CLineChannel& ch = line.Channel();
    int op = kind % 8;
    if (op >= 6 && !(kind & 0x80)) op -= 6;
    if (op == 7 && ++reconnects > kMaxReconnects) op = 1;
    switch (op) {
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
            const Bytes image(arg % 3000, 0x5A);
            const ImageVariant variant = (arg & 0x8000) ? ImageVariant::Boot : ImageVariant::Linux;
            const bool bSent = SendImage(ch, variant, image, TransferCallbacks{});
            if (bSent) {
                const uint8_t type = variant == ImageVariant::Boot ? CMD_DOWN_BOOT : CMD_DOWN_LINUX;
                const Gateway& gw = line.Peer();
                Check(gw.bRawSent || gw.typesSent.test(type), "a confirmed image was answered with its own type");
            }
            break;
        }
        case 5:
            ch.ImagesDone();
            break;
        case 6:
            ch.Close();
            break;
        default:
            line.Reconnect();
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

    Line& line = TheLine();
    Check(line.ServerOk(), "the link server listens");
    {
        // The channel's waits pass on virtual time; each pause lets the gateway answer and the
        // tool queue the answer first.
        const plat::VirtualTime time([&line] { line.Settle(); });
        if (line.Begin()) {
            Gateway& gw = line.Peer();
            gw.typesSent.reset();
            gw.bRawSent = false;
            gw.SetScript(script);
            int reconnects = 0;
            for (const auto& [kind, arg] : ops) RunOperation(line, kind, arg, reconnects);
            gw.SetScript({});
            line.End();
        }
    }
    Check(LinkConnectionCount() <= 1, "at most the kept connection is held");
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
    {  // the two version texts
        Bytes s{2};
        op(s, 1, 0);
        op(s, 0, 0);
        answer(s, 13, "PD_WA_RK880T");
        answer(s, 12, "RK880T_CPE_1");
        seeds.push_back(s);
    }
    {  // a Linux image of 1500 bytes, confirmed; then the images-done reply
        Bytes s{2};
        op(s, 4, 1500);
        op(s, 5, 0);
        answer(s, 0, "");
        answer(s, 1, "");
        seeds.push_back(s);
    }
    {  // a boot image answered with another type
        Bytes s{1};
        op(s, 4, 0x8000 | 100);
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
        answer(s, 5000, std::string(1350, 'D'));
        answer(s, 0xFFFFFFFF, "x");
        seeds.push_back(s);
    }
    {  // a bye instead of the text, then the gateway goes
        Bytes s{2};
        op(s, 0, 0);
        op(s, 0, 0);
        s.push_back(0x01 | 0x08 | 0x22);
        s.push_back(CMD_BYE);
        plat::AppendLe32(s, 0);
        plat::AppendLe16(s, 0);
        seeds.push_back(s);
    }
    {  // the tool closes; the gateway comes back and refuses the hello with a bye
        Bytes s{3};
        op(s, 0x86, 0);
        op(s, 0x87, 0);
        op(s, 0, 0);
        s.push_back(0x04);  // the tool's bye
        s.push_back(0x01 | 0x08);
        s.push_back(CMD_BYE);
        plat::AppendLe32(s, 0);
        plat::AppendLe16(s, 0);
        seeds.push_back(s);
    }
    {  // the gateway comes back and answers the hello, then the text
        Bytes s{2};
        op(s, 0x87, 0);
        op(s, 0, 0);
        answer(s, 1, "");
        answer(s, 12, "RK880T_CPE_1");
        seeds.push_back(s);
    }
    return seeds;
}
