// DiagClient: the request/reply exchange (framing, sending, waiting, decoding, attempts), the DIAG
// and downloader commands on it, and the gateway's download-mode switch.
#include "modem/diag_client.h"

#include <algorithm>
#include <utility>

#include "modem/diag_frame.h"
#include "platform/clock.h"
#include "platform/trace.h"

namespace {

constexpr const char* kErrSend = "Port Cannot Send desired data to the Phone";
constexpr const char* kErrReceive = "Port Cannot Receive Desired Data from the Phone";
constexpr const char* kErrTooLarge = "The Received Data from the Phone is Too Large";
constexpr const char* kErrTwoAnswers = "The Phone Gave Two Different Answers to the Same Request";

// The DIAG commands this client sends: a reply that begins with one of the others answers an
// earlier request.
bool IsClientCommand(uint8_t code) {
    return code == DIAG_ESN_F || code == DIAG_NV_READ_F || code == DIAG_NV_WRITE_F || code == DIAG_CONTROL_F ||
           code == DIAG_SPC_F || code == DIAG_SUBSYS_CMD_F;
}

constexpr int kSendRetryWaits = 30;     // a refused send: 30 pauses of 5 ms
constexpr int kSendRetryPauseMs = 5;
constexpr int kReplyPollMs = 3;
constexpr int kGraceSleepMs = 10000;    // after the first silent time-out of an exchange
constexpr int kGracePollMs = 10;
constexpr int kGraceWindowMs = 3000;

constexpr int kGatewayReplyLimitMs = 60000;  // per try of a download-mode switch
constexpr int kEnterPollMs = 1000;
constexpr int kExitPollShortMs = 20;
constexpr int kExitPollLongMs = 100;

// Attempts and reply time-outs of the commands.
constexpr int kControlAttempts = 1, kControlTimeoutMs = 2000;
constexpr int kEsnAttempts = 10, kEsnTimeoutMs = 500;
constexpr int kNvWriteAttempts = 3, kNvWriteTimeoutMs = 500;
constexpr int kNvReadAttempts = 3, kNvReadTimeoutMs = 3000;
constexpr int kSpcAttempts = 3, kSpcTimeoutMs = 15000;
constexpr int kDloadAttempts = 3, kDloadTimeoutMs = 500;

}  // namespace

DiagClient::DiagClient(ILinkTunnel& tunnel) : m_tunnel(tunnel) {}

int64_t DiagClient::NvReadBoundMs() { return kNvReadAttempts * plat::Scaled(kNvReadTimeoutMs); }
int64_t DiagClient::NvWriteBoundMs() { return kNvWriteAttempts * plat::Scaled(kNvWriteTimeoutMs); }

int DiagClient::RxTxPacket(std::span<const uint8_t> request, DiagMode mode, int attempts, int timeoutMs,
                           const ReplyCheck& check, const ReplyFilter& answers) {
    m_mode = mode;
    m_wRxLen = 0;
    const int count = attempts & 0xFF;
    if (count == 0) return 1;
    const int client = m_tunnel.SlotIndex();

    const std::vector<uint8_t> frame = EncodeFrame(request, mode == DiagMode::Download);
    if (frame.size() > DIAG_TX_SIZE) {
        Fail(kErrSend);
        return 0;
    }
    const int frameLen = static_cast<int>(frame.size());

    const int64_t limit = plat::Scaled(timeoutMs);
    bool replySeen = false;
    int result = 1;
    for (int attempt = 0; attempt < count; ++attempt) {
        result = 1;
        // 1. send, after the answers that came too late for earlier requests were set aside
        DrainReplies();
        if (m_tunnel.SendData(frame.data(), frameLen) < frameLen) {
            for (int i = 0; i < kSendRetryWaits; ++i)
                if (!plat::SleepRaw(kSendRetryPauseMs)) break;
            plat::TraceF("Client %d WriteCommBytes Error!\n", client);
            Fail(kErrSend);
            result = 0;
            if (plat::StopRequested()) return 0;
            continue;
        }
        const int64_t sent = plat::TickMs();
        bool graced = false;
        // 2.-6. until this attempt has its answer or gives up; a reply that answers another
        // request counts as none, and the wait goes on within the same time-out.
        for (;;) {
            // 2. wait for the reply
            bool got = m_tunnel.HasReply() != 0;
            while (!got && plat::TickMs() - sent < limit) {
                if (!plat::SleepRaw(kReplyPollMs)) {
                    Fail(kErrReceive);
                    return 0;
                }
                got = m_tunnel.HasReply() != 0;
            }
            // 3. the first silence of an exchange gets a grace period
            if (!got && !replySeen && !graced) {
                graced = true;
                plat::TraceF("RxTxPacket Client %d: 手机无返回数据!\n", client);
                if (!plat::Sleep(kGraceSleepMs)) {
                    Fail(kErrReceive);
                    return 0;
                }
                const int64_t graceStart = plat::TickMs();
                const int64_t graceLimit = plat::Scaled(kGraceWindowMs);
                got = m_tunnel.HasReply() != 0;
                while (!got && plat::TickMs() - graceStart < graceLimit) {
                    if (!plat::SleepRaw(kGracePollMs)) {
                        Fail(kErrReceive);
                        return 0;
                    }
                    got = m_tunnel.HasReply() != 0;
                }
                if (got) plat::TraceF("RxTxPacket Client %d: 等待后手机返回数据!yeah!\n", client);
            }
            if (!got) {
                Fail(kErrReceive);
                result = 0;
                break;
            }

            // 4. take it
            const int n = m_tunnel.TakeData({m_abRx.data(), m_abRx.size()}, m_wRxLen);
            if (n <= 0) {
                replySeen = true;
                Fail(kErrReceive);
                result = 0;
                break;
            }
            if (static_cast<size_t>(n) > DIAG_RX_MAX) {
                replySeen = true;
                Fail(kErrTooLarge);
                result = 0;
                break;
            }
            m_wRxLen = static_cast<uint16_t>(n);
            const std::span<const uint8_t> received(m_abRx.data(), m_wRxLen);
            const DecodedFrame decoded = DecodeFrame(received, mode == DiagMode::Download);

            // 5. a DIAG reply must answer the command byte; the answer to another of the client's
            // commands came late, any other first byte is an error reply
            if (mode == DiagMode::Diag && (request.empty() || received[0] != request[0])) {
                if (decoded.ok && IsClientCommand(received[0])) {
                    NoteLateAnswer(decoded.payload);
                    continue;
                }
                replySeen = true;
                Fail(DiagErrorText(received[0]));
                result = 0;
                break;
            }
            // 6. decode and check
            if (decoded.ok && answers && !answers(decoded.payload)) {
                NoteLateAnswer(decoded.payload);
                continue;
            }
            replySeen = true;
            const int64_t elapsed = plat::TickMs() - sent;
            const char* why = decoded.ok ? (check ? check(decoded.payload) : nullptr) : decoded.error.c_str();
            if (why != nullptr) Fail(why);
            if (mode == DiagMode::Download)
                plat::TraceF(why ? "RxTxPacket Client %d: %d ms Fail!\n" : "RxTxPacket Client %d: %d ms Success!\n",
                             client, static_cast<int>(elapsed));
            if (why == nullptr) return 1;
            result = 0;
            break;
        }
    }
    return result;
}

void DiagClient::DrainReplies() {
    m_tunnel.DrainReplies([this](std::span<const uint8_t> bytes) {
        const DecodedFrame decoded = DecodeFrame(bytes, false);
        if (decoded.ok) NoteLateAnswer(decoded.payload);
    });
}

// Answers to NV reads with an all-zero request are remembered for a while (those of an item's
// latest read only); an answer to the same item that differs from one of them marks the item: the
// one being read fails, an earlier one is handed to the task (TakeNvConflicts).
void DiagClient::NoteNvAnswer(const NvItemReply& reply) {
    const bool differs = std::any_of(m_recentNv.begin(), m_recentNv.end(), [&reply](const NvItemReply& r) {
        return r.item == reply.item && (r.data != reply.data || r.status != reply.status);
    });
    if (differs) {
        if (reply.item == m_nNvReading) m_bNvConflict = true;
        else if (std::find(m_nvConflicts.begin(), m_nvConflicts.end(), reply.item) == m_nvConflicts.end())
            m_nvConflicts.push_back(reply.item);
    }
    m_recentNv.push_back(reply);
    while (m_recentNv.size() > kRecentNvAnswers) m_recentNv.pop_front();
}

void DiagClient::NoteLateAnswer(std::span<const uint8_t> payload) {
    if (const std::optional<NvItemReply> r = ParseNvReadReply(payload)) NoteNvAnswer(*r);
}

void DiagClient::ForgetNvAnswers(uint16_t item) {
    std::erase_if(m_recentNv, [item](const NvItemReply& r) { return r.item == item; });
}

std::vector<uint16_t> DiagClient::TakeNvConflicts() {
    DrainReplies();
    return std::exchange(m_nvConflicts, {});
}

template <typename Parse>
auto DiagClient::Command(std::span<const uint8_t> request, int attempts, int timeoutMs, Parse parse,
                         const ReplyFilter& answers) -> decltype(parse(std::span<const uint8_t>{})) {
    decltype(parse(std::span<const uint8_t>{})) result;
    const int ok = RxTxPacket(
        request, DiagMode::Diag, attempts, timeoutMs,
        [&](std::span<const uint8_t> reply) {
            result = parse(reply);
            return result ? nullptr : DIAG_ERR_UNKNOWN;
        },
        answers);
    if (!ok) result = {};
    return result;
}

// A control reply echoes the mode asked for.
DiagClient::ReplyFilter DiagClient::ControlAnswers(uint16_t mode) {
    return [mode](std::span<const uint8_t> reply) {
        const std::optional<uint16_t> echoed = ParseControlReply(reply);
        return !echoed || *echoed == mode;
    };
}

int DiagClient::ResetPhone() {
    m_tunnel.SetTypeOverride(1);
    const bool ok = Command(BuildControlRequest(DIAG_MODE_RESET), kControlAttempts, kControlTimeoutMs,
                            ParseControlReply, ControlAnswers(DIAG_MODE_RESET)).has_value();
    // The channel clears the override when it encodes the request; a request that was never
    // encoded must not turn a later data record into a reset.
    m_tunnel.SetTypeOverride(0);
    if (!ok) Fail(plat::Format("Cannot Reset the Phone, Since %s", m_strLastError.c_str()));
    return ok ? 1 : 0;
}

int DiagClient::SetOffline() {
    const bool ok = Command(BuildControlRequest(DIAG_MODE_OFFLINE), kControlAttempts, kControlTimeoutMs,
                            ParseControlReply, ControlAnswers(DIAG_MODE_OFFLINE)).has_value();
    if (!ok) Fail(plat::Format("Cannot Put the Phone Offline, Since %s", m_strLastError.c_str()));
    return ok ? 1 : 0;
}

int DiagClient::ReadEsn(uint32_t& esn) {
    const std::optional<uint32_t> reply = Command(BuildEsnRequest(), kEsnAttempts, kEsnTimeoutMs, ParseEsnReply);
    if (!reply) {
        esn = 0xFFFFFFFFu;
        Fail(plat::Format("Cannot Get the ESN Number of the Phone, Since %s", m_strLastError.c_str()));
        return 0;
    }
    esn = *reply;
    return 1;
}

int DiagClient::WriteNvItem(uint16_t item, std::span<const uint8_t, NV_ITEM_SIZE> data, int16_t& status) {
    status = 0;
    // The item changes: what it read before is no measure of what it reads from now on.
    ForgetNvAnswers(item);
    // The reply echoes the item and, when it reports success, the data written; another one
    // answers an earlier write. (A refusal need not echo the data: it is taken as refused.)
    const auto answers = [item, data](std::span<const uint8_t> payload) {
        const std::optional<NvItemReply> r = ParseNvWriteReply(payload);
        return !r || (r->item == item &&
                      (r->status != NV_DONE_S || std::equal(data.begin(), data.end(), r->data.begin())));
    };
    const std::optional<NvItemReply> reply =
        Command(BuildNvWriteRequest(item, data), kNvWriteAttempts, kNvWriteTimeoutMs, ParseNvWriteReply, answers);
    if (!reply) {
        status = NV_RWOPFAILED_S;
        Fail(plat::Format("Cannot write #%u NVItem, Since %s", unsigned{item}, m_strLastError.c_str()));
        return 0;
    }
    if (reply->status == NV_DONE_S) return 1;
    status = reply->status;
    Fail(plat::Format("Cannot Write #%u NVItem, Since %s", unsigned{item}, NvStatusText(status)));
    return 0;
}

int DiagClient::ReadNvItem(uint16_t item, std::span<uint8_t, NV_ITEM_SIZE> data, int16_t& status) {
    // Only answers to an all-zero request are compared with each other: a table item's entries
    // (selected by byte 0) differ by nature.
    const bool bPlain = std::all_of(data.begin(), data.end(), [](uint8_t b) { return b == 0; });
    // A new request may be answered otherwise than an earlier one (a status that cleared): only
    // answers to this one are compared from here on.
    ForgetNvAnswers(item);
    m_nNvReading = bPlain ? item : -1;
    m_bNvConflict = false;
    const auto answers = [item](std::span<const uint8_t> payload) {
        const std::optional<NvItemReply> r = ParseNvReadReply(payload);
        return !r || r->item == item;
    };
    std::optional<NvItemReply> reply =
        Command(BuildNvReadRequest(item, data), kNvReadAttempts, kNvReadTimeoutMs, ParseNvReadReply, answers);
    if (reply && bPlain) NoteNvAnswer(*reply);
    m_nNvReading = -1;
    if (reply && m_bNvConflict) {
        // Two different answers to this item: neither is taken. A new read starts afresh.
        ForgetNvAnswers(item);
        reply.reset();
        Fail(kErrTwoAnswers);
    }
    if (!reply) {
        status = NV_RWOPFAILED_S;
        Fail(plat::Format("cannot read #%u NVItem, since %s", unsigned{item}, m_strLastError.c_str()));
        std::fill(data.begin(), data.end(), 0);
        return 0;
    }
    if (reply->status == NV_DONE_S) {
        std::copy(reply->data.begin(), reply->data.end(), data.begin());
        status = NV_DONE_S;
        return 1;
    }
    status = reply->status;
    Fail(plat::Format("cannot read #%u NV Item, since %s", unsigned{item}, NvStatusText(status)));
    std::fill(data.begin(), data.end(), 0);
    return 0;
}

int DiagClient::SendSpc() {
    const auto parse = [](std::span<const uint8_t> reply) { return ParseSpcReply(reply) ? std::optional(true) : std::nullopt; };
    return Command(BuildSpcRequest(), kSpcAttempts, kSpcTimeoutMs, parse) ? 1 : 0;
}

int DiagClient::ResetDownloader() {
    m_tunnel.SetTypeOverride(1);
    const int ok = RxTxPacket(BuildDownloaderResetRequest(), DiagMode::Download, kDloadAttempts, kDloadTimeoutMs,
                              [](std::span<const uint8_t> reply) -> const char* {
                                  const DloadReply r = ParseDownloaderReply(reply);
                                  switch (r.kind) {
                                      case DloadReplyKind::Accepted: return nullptr;
                                      case DloadReplyKind::Nak: return DownloadNakText(r.nakReason);
                                      case DloadReplyKind::Empty: break;
                                  }
                                  return DIAG_ERR_UNKNOWN;
                              });
    m_tunnel.SetTypeOverride(0);
    if (!ok) Fail(plat::Format("Cannot Reset the Phone, Since %s", m_strLastError.c_str()));
    return ok;
}

int DiagClient::ReadImei(std::string& imei) {
    imei.clear();
    NvData data{};
    int16_t status = 0;
    if (!ReadNvItem(NV_IMEI_ITEM, data, status)) return 0;
    imei = ImeiFromNvData(data);
    return 1;
}

// Posts the gateway command record `tries` times at most and waits for its reply record: the
// success type ends with success, the resend type starts the next try, any other fails; a try
// without a reply within the limit marks the channel closed and fails.
int DiagClient::GatewayModeCommand(uint8_t request, uint8_t success, uint8_t resend, bool enter, int tries) {
    if (!m_tunnel.IsOpen()) return 0;
    for (int t = 0; t < tries; ++t) {
        LinkRecord record{};
        record.sControl = request;
        m_tunnel.PostRecord(record, 1);

        const int64_t start = plat::TickMs();
        const int64_t limit = plat::Scaled(kGatewayReplyLimitMs);
        bool shortPause = true;
        for (;;) {
            const bool awake = enter ? plat::Sleep(kEnterPollMs)
                                     : plat::SleepRaw(shortPause ? kExitPollShortMs : kExitPollLongMs);
            shortPause = !shortPause;
            if (!awake) return 0;
            if (m_tunnel.HasReply()) break;
            if (plat::TickMs() - start > limit) {
                m_tunnel.MarkClosed();
                return 0;
            }
        }
        LinkRecord reply{};
        m_tunnel.TakeReplyLocked(reply);
        if (reply.sControl == success) {
            if (enter) {
                // A new session with the modem: nothing it answered before is compared any more.
                m_tunnel.RestartSequence();
                m_recentNv.clear();
                m_nvConflicts.clear();
            }
            return 1;
        }
        if (reply.sControl != resend) return 0;
    }
    return 1;
}

int DiagClient::EnterDownloadMode(int tries) {
    return GatewayModeCommand(CMD_ENTER_DOWNLOAD, CMD_ENTER_DOWNLOAD, CMD_ENTER_DOWNLOAD_AGAIN, true, tries);
}

int DiagClient::ExitDownloadMode(int tries) {
    return GatewayModeCommand(CMD_EXIT_DOWNLOAD, CMD_EXIT_DOWNLOAD, CMD_EXIT_DOWNLOAD_AGAIN, false, tries);
}
