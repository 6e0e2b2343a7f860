// DiagClient's reply parsing: every DIAG and downloader command, the prepared (raw) request in
// each protocol mode and the gateway's download-mode switch, with the modem's replies taken from
// the input. Input: up to eight commands, each a selector byte and its arguments followed by the
// tunnel steps its exchanges use (fuzz_tunnel.h). The gateway's download-mode switch reads only
// the reply record's type, with a pause before each look (20 ms on the way out, a scaled second
// on the way in): it is driven through ExitDownloadMode (the same code as EnterDownloadMode), on
// the last four selector values only.
#include <algorithm>
#include <array>

#include "fuzz/fuzz_support.h"
#include "fuzz/fuzz_tunnel.h"
#include "modem/diag_client.h"

namespace {

using namespace rkfuzz;

constexpr int kMaxCommands = 8;

// Selector byte -> command: 0..251 the ten DIAG commands and exchanges, 252..255 the exit from
// the gateway's download mode.
int CommandOf(uint8_t selector) { return selector < 252 ? selector % 10 : 10; }

bool AllZero(std::span<const uint8_t> b) {
    return std::all_of(b.begin(), b.end(), [](uint8_t v) { return v == 0; });
}

void RunCommand(DiagClient& diag, FuzzTunnel& tunnel, Reader& in, int which) {
    switch (which) {
        case 0: {
            const int ok = diag.ResetPhone();
            if (ok) Check(diag.ResponseCode() == DIAG_CONTROL_F, "reset: the reply answers 0x29");
            break;
        }
        case 1: {
            const int ok = diag.SetOffline();
            if (ok) Check(diag.ResponseCode() == DIAG_CONTROL_F, "offline: the reply answers 0x29");
            break;
        }
        case 2: {
            uint32_t esn = 0x12345678;
            const int ok = diag.ReadEsn(esn);
            Check(ok ? esn == diag.Esn() : esn == 0xFFFFFFFFu, "ESN: the reply's value, all ones on failure");
            if (ok) Check(diag.ResponseCode() == DIAG_ESN_F, "ESN: the reply answers 0x01");
            break;
        }
        case 3: {
            const uint16_t item = in.U16();
            std::array<uint8_t, NV_ITEM_SIZE> data{};
            data.fill(in.U8());
            int16_t status = 99;
            const int ok = diag.WriteNvItem(item, data, status);
            Check((ok != 0) == (status == NV_DONE_S), "NV write: success exactly when the status is done");
            if (ok) Check(diag.ResponseCode() == DIAG_NV_WRITE_F, "NV write: the reply answers 0x27");
            break;
        }
        case 4: {
            const uint16_t item = in.U16();
            std::array<uint8_t, NV_ITEM_SIZE> data{};
            data.fill(0xA5);
            int16_t status = 99;
            const int ok = diag.ReadNvItem(item, data, status);
            Check((ok != 0) == (status == NV_DONE_S), "NV read: success exactly when the status is done");
            if (ok) {
                Check(data == diag.RspNvData(), "NV read: the data are the reply's");
                Check(diag.ResponseCode() == DIAG_NV_READ_F, "NV read: the reply answers 0x26");
            } else {
                Check(AllZero(data), "NV read: the data are zeroed on failure");
            }
            break;
        }
        case 5:
            diag.SendSpc();
            break;
        case 6:
            diag.ResetDownloader();
            break;
        case 7: {
            std::string imei = "x";
            const int ok = diag.ReadImei(imei);
            Check(ok ? imei.size() == 15 : imei.empty(), "IMEI: 15 characters, empty on failure");
            break;
        }
        case 8: {
            // A prepared request of any length (a too long one is refused before it is sent).
            const Bytes payload = in.Take(in.U16() % (DIAG_TX_SIZE + 64));
            const int attempts = in.U8() % 4;
            diag.ClearRequest();
            const bool staged = diag.SetPreparedRequest(payload);
            Check(staged == (payload.size() <= DIAG_TX_SIZE), "a prepared request is staged when it fits");
            if (staged) diag.RxTxPacket(attempts, 2000);
            break;
        }
        case 9: {
            // The exchange in another protocol mode with whatever request is staged.
            static constexpr int kModes[] = {DiagClient::ModeDiag, DiagClient::ModeDownload, DiagClient::ModePrepared};
            diag.SetMode(kModes[in.U8() % 3]);
            diag.RxTxPacket(1 + in.U8() % 3, 500);
            break;
        }
        case 10: {
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
    Check(diag.ReplyPayload().size() <= DIAG_RX_SIZE, "the reply payload lies in the reply buffer");
    Check(diag.Outgoing().size() <= DIAG_TX_SIZE, "the request lies in the outgoing buffer");
}

}  // namespace

RK_FUZZ_TARGET(diag_reply) {
    InputScope scope;
    Reader in(data, size);
    FuzzTunnel tunnel(in, scope);
    DiagClient diag(tunnel);
    for (int i = 0; i < kMaxCommands && !in.Empty() && !scope.Stop().Requested(); ++i)
        RunCommand(diag, tunnel, in, CommandOf(in.U8()));
    return 0;
}

RK_FUZZ_SEEDS(diag_reply) {
    // kind 0x05: a framed payload after the request's first bytes (a well-formed echoing reply).
    std::vector<Bytes> seeds;
    auto seed = [&](std::initializer_list<uint8_t> head, const Bytes& reply, uint8_t kind = 0x05) {
        Bytes s(head);
        PutTunnelStep(s, kind, reply);
        seeds.push_back(s);
    };
    seed({0}, {});                                    // reset: 0x29 02 00 echoed
    seed({1}, {});                                    // offline
    seed({2}, {0x78, 0x56, 0x34, 0x12}, 0x01);        // ESN (payload without echo)
    {
        Bytes nv(127, 0);
        nv.push_back(0);
        nv.push_back(0);
        seed({3, 0x26, 0x02, 0x00}, nv);              // NV write of item 550, status done
        seed({4, 0x26, 0x02}, nv);                    // NV read
        nv[nv.size() - 2] = 5;
        seed({4, 0x26, 0x02}, nv);                    // NV read, not active
    }
    {
        Bytes imei(127, 0);
        imei[0] = 0x3A;  // data[1]: the first digit in the high nibble
        for (size_t i = 1; i < 8; ++i) imei[i] = 0x21;
        imei.push_back(0);
        imei.push_back(0);
        seed({7}, imei);
    }
    seed({5}, {});                                    // SPC
    seed({6}, {}, 0x07);                              // downloader reset, ACK frame with flag
    {
        Bytes nak = {DLOAD_NAK, 0x00, 0x01};
        seed({6}, nak, 0x03);
    }
    {
        Bytes s = {8, 4, 0, 0x4B, 0x13, 0x02, 0x00, 1};
        PutTunnelStep(s, 0x05, {0, 0, 0, 0, 0, 0, 0, 0});
        seeds.push_back(s);
    }
    seed({9, 1, 0}, {DLOAD_ACK}, 0x03);
    seed({252, 0}, {CMD_EXIT_DOWNLOAD}, 0x00);
    {
        Bytes s = {253, 1};
        PutTunnelStep(s, 0x00, {CMD_EXIT_DOWNLOAD_AGAIN});
        PutTunnelStep(s, 0x00, {CMD_EXIT_DOWNLOAD});
        seeds.push_back(s);
    }
    seed({0}, {0x13}, 0x00);                          // a DIAG error reply (bad command)
    seed({2}, Bytes(5000, 0x01), 0x00);               // too large
    {
        Bytes s = {2};
        PutTunnelStep(s, 0x01, {0x01, 1, 2, 3, 4}, 0x7FFFFFFFu);  // nLength beyond the buffer
        seeds.push_back(s);
    }
    return seeds;
}
