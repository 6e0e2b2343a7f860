// The request/reply exchange of DiagClient: building, framing, sending, waiting, decoding.
#include "modem/diag_client.h"

#include <algorithm>
#include <cstring>

#include "modem/diag_frame.h"
#include "platform/byte_order.h"
#include "platform/clock.h"
#include "platform/trace.h"

namespace {

constexpr const char* kErrSend = "Port Cannot Send desired data to the Phone";
constexpr const char* kErrReceive = "Port Cannot Receive Desired Data from the Phone";
constexpr const char* kErrTooLarge = "The Received Data from the Phone is Too Large";
constexpr const char* kErrUnknown = "unknow reason";

constexpr int kSendRetryWaits = 30;     // a refused send: 30 pauses of 5 ms
constexpr int kSendRetryPauseMs = 5;
constexpr int kReplyPollMs = 3;
constexpr int kGraceSleepMs = 10000;    // after the first silent time-out of an exchange
constexpr int kGracePollMs = 10;
constexpr int kGraceWindowMs = 3000;

}  // namespace

const char* DiagErrorText(uint8_t firstByte) {
    switch (firstByte) {
        case 0x13: return "Bad command";
        case 0x14: return "The Request packet has invalid or inconsistent parameters";
        case 0x15: return "The Request packet has an invalid length";
        case 0x18: return "the DMSS isn't in a particular mode";
        case 0x42: return "the correct SPC has not yet been entered to unlock service programming";
        case 0x47: return "the correct Security Password has not yet been entered to unlock the phone";
        default: return kErrUnknown;
    }
}

DiagClient::DiagClient(ILinkTunnel& tunnel) : m_tunnel(tunnel) {}

void DiagClient::ClearRequest() {
    m_nOutLen = 0;
    m_abOut.fill(0);
    m_wRxLen = 0;
    m_nPayloadLen = 0;
    m_abRx.fill(0);
}

bool DiagClient::SetPreparedRequest(std::span<const uint8_t> payload) {
    if (payload.size() > DIAG_TX_SIZE) return false;
    std::copy(payload.begin(), payload.end(), m_abOut.begin());
    m_nOutLen = static_cast<int>(payload.size());
    m_nMode = ModePrepared;
    return true;
}

// Writes the payload of the current mode's request into the outgoing buffer (ModePrepared
// leaves what the caller put there).
bool DiagClient::BuildRequest() {
    if (m_nMode == ModePrepared) return m_nOutLen >= 0 && static_cast<size_t>(m_nOutLen) <= DIAG_TX_SIZE;
    size_t n = 0;
    auto put8 = [&](uint8_t v) { m_abOut[n++] = v; };
    auto put16 = [&](uint16_t v) {
        plat::PutLe16(m_abOut, n, v);
        n += 2;
    };
    put8(m_byCmd);
    if (m_nMode == ModeDiag) {
        switch (m_byCmd) {
            case DIAG_NV_READ_F:
            case DIAG_NV_WRITE_F:
                put16(m_wArg);
                for (uint8_t b : m_abNvData) put8(b);
                put16(m_wNvStatus);
                break;
            case DIAG_CONTROL_F:
                put16(m_wArg);
                break;
            case DIAG_SPC_F:
                for (int i = 0; i < 6; ++i) put8(static_cast<uint8_t>(DIAG_SPC_CODE[i]));
                break;
            default:
                break;
        }
    }
    m_nOutLen = static_cast<int>(n);
    return true;
}

bool DiagClient::DecodeReply() {
    const DecodedFrame frame = DecodeFrame({m_abRx.data(), m_wRxLen}, m_nMode == ModeDownload);
    if (!frame.ok) {
        Fail(frame.error);
        return false;
    }
    // The decoded payload replaces the received bytes in the reply buffer.
    std::fill(m_abRx.begin(), m_abRx.begin() + m_wRxLen, 0);
    std::copy(frame.payload.begin(), frame.payload.end(), m_abRx.begin());
    m_nPayloadLen = frame.payload.size();
    m_byRspCode = m_nPayloadLen > 0 ? m_abRx[0] : 0;
    return true;
}

bool DiagClient::ParseDiagReply() {
    const std::span<const uint8_t> p(m_abRx.data(), m_nPayloadLen);
    const size_t n = p.size();
    size_t need = 1;
    switch (m_byCmd) {
        case DIAG_ESN_F: need = 5; break;
        case DIAG_NV_READ_F:
        case DIAG_NV_WRITE_F: need = 133; break;
        case DIAG_CONTROL_F: need = 3; break;
        default: break;
    }
    if (n < need) {  // a reply too short for its fields is no answer
        Fail(kErrUnknown);
        return false;
    }
    switch (m_byCmd) {
        case DIAG_ESN_F:
            m_dwRspEsn = plat::GetLe32(p, 1);
            break;
        case DIAG_NV_READ_F:
        case DIAG_NV_WRITE_F:
            m_wRspNvItem = plat::GetLe16(p, 1);
            std::copy_n(p.begin() + 3, NV_ITEM_SIZE, m_abRspNvData.begin());
            m_sRspNvStatus = static_cast<int16_t>(plat::GetLe16(p, 131));
            break;
        case DIAG_CONTROL_F:
            m_wRspMode = plat::GetLe16(p, 1);
            break;
        default:
            break;
    }
    return true;
}

bool DiagClient::ParseDownloadReply() {
    if (m_nPayloadLen == 0) {
        Fail(kErrUnknown);
        return false;
    }
    if (m_abRx[0] != DLOAD_NAK) return true;  // ACK, and any other code, is success
    const int reason = m_nPayloadLen >= 3 ? (m_abRx[1] << 8) | m_abRx[2] : 0;
    Fail(DownloadNakText(reason));
    return false;
}

int DiagClient::RxTxPacket(int attempts, int timeoutMs) {
    const int count = attempts & 0xFF;
    if (count == 0) return 1;
    const int client = m_tunnel.SlotIndex();

    if (!BuildRequest()) {
        Fail(kErrSend);
        return 0;
    }
    const std::vector<uint8_t> frame =
        EncodeFrame({m_abOut.data(), static_cast<size_t>(m_nOutLen)}, m_nMode == ModeDownload);
    if (frame.size() > DIAG_TX_SIZE) {
        Fail(kErrSend);
        return 0;
    }
    std::copy(frame.begin(), frame.end(), m_abOut.begin());
    m_nOutLen = static_cast<int>(frame.size());

    const int64_t limit = plat::Scaled(timeoutMs);
    bool replySeen = false;
    int result = 1;
    for (int attempt = 0; attempt < count; ++attempt) {
        result = 1;
        // 1. send
        if (m_tunnel.SendData(m_abOut.data(), m_nOutLen) < m_nOutLen) {
            for (int i = 0; i < kSendRetryWaits; ++i)
                if (!plat::SleepRaw(kSendRetryPauseMs)) break;
            plat::TraceF("Client %d WriteCommBytes Error!\n", client);
            Fail(kErrSend);
            result = 0;
            if (plat::StopRequested()) return 0;
            continue;
        }
        // 2. wait for the reply
        const int64_t sent = plat::TickMs();
        bool got = m_tunnel.HasReply() != 0;
        while (!got && plat::TickMs() - sent < limit) {
            if (!plat::SleepRaw(kReplyPollMs)) {
                Fail(kErrReceive);
                return 0;
            }
            got = m_tunnel.HasReply() != 0;
        }
        // 3. the first silence of an exchange gets a grace period
        if (!got && !replySeen) {
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
            if (!got) {
                Fail(kErrReceive);
                result = 0;
                continue;
            }
            plat::TraceF("RxTxPacket Client %d: 等待后手机返回数据!yeah!\n", client);
        }
        if (got) replySeen = true;

        // 4. take it
        const int n = m_tunnel.TakeData({m_abRx.data(), m_abRx.size()}, m_wRxLen);
        if (n <= 0) {
            Fail(kErrReceive);
            result = 0;
            continue;
        }
        if (static_cast<size_t>(n) > DIAG_RX_MAX) {
            Fail(kErrTooLarge);
            result = 0;
            continue;
        }
        m_wRxLen = static_cast<uint16_t>(n);
        m_nPayloadLen = 0;

        // 5.-7. by mode
        if (m_nMode == ModeDiag) {
            if (m_abRx[0] != m_byCmd) {
                m_byRspCode = m_abRx[0];
                Fail(DiagErrorText(m_abRx[0]));
                result = 0;
                continue;
            }
            if (DecodeReply() && ParseDiagReply()) return 1;
            result = 0;
        } else if (m_nMode == ModeDownload) {
            const int64_t elapsed = plat::TickMs() - sent;
            if (DecodeReply() && ParseDownloadReply()) {
                plat::TraceF("RxTxPacket Client %d: %d ms Success!\n", client, static_cast<int>(elapsed));
                return 1;
            }
            plat::TraceF("RxTxPacket Client %d: %d ms Fail!\n", client, static_cast<int>(elapsed));
            result = 0;
        } else {
            if (DecodeReply()) return 1;
            result = 0;
        }
    }
    return result;
}
