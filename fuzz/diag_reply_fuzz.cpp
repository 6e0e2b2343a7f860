// The DIAG and downloader reply parsers, fed the input directly, and DiagClient's exchange over a
// tunnel whose replies come from the input: a request of any length in each protocol mode, the
// NV read command (builder, exchange, parser and the zeroing on failure) and the gateway's
// download-mode switch. Input: up to eight operations, each a selector byte and its arguments;
// a parser takes a u16 length and that many bytes, an exchange the tunnel steps it uses
// (fuzz_tunnel.h). The switch reads only the reply record's type, with a pause before each look
// (20 ms on the way out): it is driven through ExitDownloadMode (the same code as
// EnterDownloadMode), on the last four selector values only.
#include <algorithm>
#include <array>

#include "fuzz/fuzz_support.h"
#include "fuzz/fuzz_tunnel.h"
#include "modem/diag_client.h"

namespace {

using namespace rkfuzz;

constexpr int kMaxOperations = 8;
constexpr int kOperations = 9;

// Selector byte -> operation: 0..251 the parsers and exchanges, 252..255 the exit from the
// gateway's download mode.
int OperationOf(uint8_t selector) { return selector < 252 ? selector % kOperations : kOperations; }

bool AllZero(std::span<const uint8_t> b) {
    return std::all_of(b.begin(), b.end(), [](uint8_t v) { return v == 0; });
}

void ParseOne(int which, std::span<const uint8_t> reply) {
    switch (which) {
        case 0:
            if (ParseEsnReply(reply)) Check(reply.size() >= 5 && reply[0] == DIAG_ESN_F, "ESN: an answer to 0x01");
            break;
        case 1:
            if (ParseControlReply(reply))
                Check(reply.size() >= 3 && reply[0] == DIAG_CONTROL_F, "control: an answer to 0x29");
            break;
        case 2:
        case 3: {
            const uint8_t code = which == 2 ? DIAG_NV_READ_F : DIAG_NV_WRITE_F;
            const auto r = which == 2 ? ParseNvReadReply(reply) : ParseNvWriteReply(reply);
            if (r) {
                Check(reply.size() >= 133 && reply[0] == code, "NV: an answer to its command, with all fields");
                Check(std::equal(r->data.begin(), r->data.end(), reply.begin() + 3), "NV: the data are the reply's");
            }
            break;
        }
        case 4:
            if (ParseSpcReply(reply)) Check(reply[0] == DIAG_SPC_F, "SPC: an answer to 0x41");
            break;
        case 5: {
            const DloadReply r = ParseDownloaderReply(reply);
            Check((r.kind == DloadReplyKind::Empty) == reply.empty(), "downloader: only an empty reply is none");
            Check(r.kind == DloadReplyKind::Nak ? reply[0] == DLOAD_NAK && r.nakReason <= 0xFFFF : r.nakReason == 0,
                  "downloader: a reason only with NAK");
            break;
        }
        default:
            break;
    }
}

void RunOperation(DiagClient& diag, FuzzTunnel& tunnel, Reader& in, int which) {
    if (which <= 5) {
        const Bytes reply = in.Take(in.U16() % 700);
        ParseOne(which, reply);
        return;
    }
    switch (which) {
        case 6: {
            // A request of any length in any mode; the reply check is one of the parsers.
            static constexpr DiagMode kModes[] = {DiagMode::Diag, DiagMode::Download, DiagMode::Prepared};
            const DiagMode mode = kModes[in.U8() % 3];
            const int parser = in.U8() % 6;
            const int attempts = in.U8() % 4;
            const Bytes request = in.Take(in.U16() % (DIAG_TX_SIZE + 64));
            size_t checked = 0;
            const int ok = diag.RxTxPacket(request, mode, attempts, 500, [&](std::span<const uint8_t> reply) -> const char* {
                ++checked;
                ParseOne(parser, reply);
                return reply.empty() ? DIAG_ERR_UNKNOWN : nullptr;
            });
            Check(diag.Mode() == mode, "the exchange's mode is kept");
            Check(checked <= static_cast<size_t>(attempts), "no more replies checked than attempts");
            if (!ok) Check(!diag.LastError().empty(), "a failed exchange says why");
            break;
        }
        case 7: {
            const uint16_t item = in.U16();
            std::array<uint8_t, NV_ITEM_SIZE> data{};
            data.fill(0xA5);
            int16_t status = 99;
            const int ok = diag.ReadNvItem(item, data, status);
            Check((ok != 0) == (status == NV_DONE_S), "NV read: success exactly when the status is done");
            if (!ok) Check(AllZero(data), "NV read: the data are zeroed on failure");
            break;
        }
        case 8:
            diag.ResetDownloader();
            Check(diag.Mode() == DiagClient::ModeDownload, "the downloader reset is in download mode");
            break;
        case 9: {
            const int tries = 1 + in.U8() % 2;
            const size_t posted = tunnel.Posted();
            const int ok = diag.ExitDownloadMode(tries);
            Check(tunnel.Posted() - posted <= static_cast<size_t>(tries), "no more requests than tries");
            if (ok) Check(tunnel.LastRecordType() == CMD_EXIT_DOWNLOAD || tunnel.Posted() - posted == static_cast<size_t>(tries),
                          "the switch succeeds on its own reply type (or after its last resend)");
            break;
        }
        default:
            break;
    }
}

}  // namespace

RK_FUZZ_TARGET(diag_reply) {
    InputScope scope;
    // The client's pauses and reply polls pass on virtual time: the tunnel answers at once.
    const plat::VirtualTime time;
    Reader in(data, size);
    FuzzTunnel tunnel(in, scope);
    DiagClient diag(tunnel);
    for (int i = 0; i < kMaxOperations && !in.Empty() && !scope.Stop().Requested(); ++i)
        RunOperation(diag, tunnel, in, OperationOf(in.U8()));
    return 0;
}

RK_FUZZ_SEEDS(diag_reply) {
    std::vector<Bytes> seeds;
    // A parser's input: selector, u16 length, the reply.
    auto parse = [&](uint8_t which, const Bytes& reply) {
        Bytes s{which};
        plat::AppendLe16(s, static_cast<uint16_t>(reply.size()));
        s.insert(s.end(), reply.begin(), reply.end());
        seeds.push_back(s);
    };
    parse(0, {DIAG_ESN_F, 0x78, 0x56, 0x34, 0x12});
    parse(1, {DIAG_CONTROL_F, 0x02, 0x00});
    {
        Bytes nv{DIAG_NV_READ_F, 0x26, 0x02};
        nv.resize(133, 0);
        parse(2, nv);
        nv[0] = DIAG_NV_WRITE_F;
        nv[131] = 5;
        parse(3, nv);
    }
    parse(4, {DIAG_SPC_F, 0x01});
    parse(5, {DLOAD_NAK, 0x00, 0x09});
    parse(5, {DLOAD_ACK});
    // Exchanges: kind 0x05 is a framed payload after the request's first bytes (an echo).
    {
        Bytes s = {6, 2, 2, 1};  // prepared mode, the NV read parser, one attempt
        plat::AppendLe16(s, 4);
        s.insert(s.end(), {0x4B, 0x13, 0x02, 0x00});
        PutTunnelStep(s, 0x05, {0, 0, 0, 0, 0, 0, 0, 0});
        seeds.push_back(s);
    }
    {
        Bytes s = {6, 0, 1, 3};  // DIAG mode, control parser, three attempts: an error reply, then a good one
        plat::AppendLe16(s, 3);
        s.insert(s.end(), {0x29, 0x01, 0x00});
        PutTunnelStep(s, 0x01, {0x13, 0x29, 0x01, 0x00});
        PutTunnelStep(s, 0x05, {});
        seeds.push_back(s);
    }
    {
        Bytes s = {7, 0x26, 0x02};  // NV read of item 550, status done
        Bytes nv(127, 0);
        nv.push_back(0);
        nv.push_back(0);
        PutTunnelStep(s, 0x05, nv);
        seeds.push_back(s);
    }
    {
        Bytes s = {8};  // downloader reset, ACK frame with flag
        PutTunnelStep(s, 0x07, {});
        seeds.push_back(s);
    }
    {
        Bytes s = {252, 0};
        PutTunnelStep(s, 0x00, {CMD_EXIT_DOWNLOAD});
        seeds.push_back(s);
    }
    {
        Bytes s = {253, 1};
        PutTunnelStep(s, 0x00, {CMD_EXIT_DOWNLOAD_AGAIN});
        PutTunnelStep(s, 0x00, {CMD_EXIT_DOWNLOAD});
        seeds.push_back(s);
    }
    {
        Bytes s = {7, 0, 0};  // too large, then nLength beyond the buffer
        PutTunnelStep(s, 0x00, Bytes(5000, 0x26));
        PutTunnelStep(s, 0x01, {0x26, 1, 2, 3, 4}, 0x7FFFFFFFu);
        seeds.push_back(s);
    }
    return seeds;
}
