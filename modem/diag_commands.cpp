// The DIAG and downloader commands of DiagClient, the gateway's download-mode switch, and the
// texts of NV status codes and downloader NAK reasons.
#include <algorithm>
#include <cstring>

#include "modem/diag_client.h"
#include "platform/clock.h"
#include "platform/trace.h"

namespace {

constexpr int kGatewayReplyLimitMs = 60000;  // per try of a download-mode switch
constexpr int kEnterPollMs = 1000;
constexpr int kExitPollShortMs = 20;
constexpr int kExitPollLongMs = 100;

}  // namespace

const char* NvStatusName(int status) {
    switch (status) {
        case 0: return "NV_DONE_S";
        case 1: return "NV_BUSY_S";
        case 2: return "NV_BADCMD_S";
        case 3: return "NV_FULL_S";
        case 4: return "NV_FAIL_S";
        case 5: return "NV_NOTACTIVE_S";
        case 6: return "NV_BADPARM_S";
        case 7: return "NV_READONLY_S";
        case 8: return "NV_BADTG_S";
        case 9: return "NV_NOMEM_S";
        case 10: return "NV_NOTALLOC_S";
        case -1: return "NV_RWOPFAILED_S";
        default: return "Unknown status!";
    }
}

const char* NvStatusText(int status) {
    switch (status) {
        case 1: return "Request is queued";
        case 2: return "Unrecognizable command field";
        case 3: return "The NVM is full";
        case 4: return "Command failed, reason other than NVM was full";
        case 5: return "Variable was not active";
        case 6: return "Bad parameter in command block";
        case 7: return "Parameter is write-protected and thus read only";
        case 8: return "Item not valid for Target";
        case 9: return "free memory exhausted";
        case 10: return "address is not a valid allocation ";
        default: return "";
    }
}

const char* DownloadNakText(int reason) {
    switch (reason) {
        case 1: return "invalid frame check sequence";
        case 2: return "destination address is invalid";
        case 3: return "operation length is invalid";
        case 4: return "packet was too short for this cmd";
        case 5: return "packet was too long for phone's buffer";
        case 6: return "packet command code was unknown";
        case 7: return "operation did not succeed";
        case 8: return "intelligent ID code was wrong";
        case 9: return "programming voltage out of spec";
        case 10: return "readback verify did not match";
        case 11: return "not permitted without unlock";
        case 12: return "invalid security code";
        default: return "";
    }
}

std::string NvDataDump(std::span<const uint8_t, NV_ITEM_SIZE> data) {
    int last = static_cast<int>(NV_ITEM_SIZE) - 1;
    while (last >= 0 && data[static_cast<size_t>(last)] == 0) --last;
    if (last < 0) return "All_Zero";
    std::string text;
    for (int i = 0; i <= last; ++i) {
        text += plat::Format("%.2X ", data[static_cast<size_t>(i)]);
        if ((i + 1) % 16 == 0 && i < last) text += "\n";
    }
    return text;
}

std::string ImeiFromNvData(std::span<const uint8_t, NV_ITEM_SIZE> data) {
    std::string imei;
    imei += static_cast<char>((data[1] >> 4) + 0x30);
    for (size_t i = 2; i <= 8; ++i) {
        imei += static_cast<char>((data[i] & 0x0F) + 0x30);
        imei += static_cast<char>((data[i] >> 4) + 0x30);
    }
    return imei;
}

bool IsValidImei(const std::string& imei) {
    if (imei.size() != 15) return false;
    int sum = 0;
    bool bNonZero = false;
    for (size_t i = 0; i < imei.size(); ++i) {
        if (imei[i] < '0' || imei[i] > '9') return false;
        int d = imei[i] - '0';
        if (d != 0) bNonZero = true;
        if (i == imei.size() - 1) break;
        // Every second digit of the fourteen, counted from the left starting at the second, is doubled.
        if (i % 2 == 1) {
            d *= 2;
            if (d > 9) d -= 9;
        }
        sum += d;
    }
    return bNonZero && (10 - sum % 10) % 10 == imei.back() - '0';
}

int DiagClient::ResetPhone() {
    ClearRequest();
    m_nMode = ModeDiag;
    m_byCmd = DIAG_CONTROL_F;
    m_wArg = DIAG_MODE_RESET;
    m_tunnel.SetTypeOverride(1);
    const int ok = RxTxPacket(1, 2000);
    // The channel clears the override when it encodes the request; a request that was never
    // encoded must not turn a later data record into a reset.
    m_tunnel.SetTypeOverride(0);
    if (!ok) Fail(plat::Format("Cannot Reset the Phone, Since %s", m_strLastError.c_str()));
    return ok;
}

int DiagClient::SetOffline() {
    ClearRequest();
    m_nMode = ModeDiag;
    m_byCmd = DIAG_CONTROL_F;
    m_wArg = DIAG_MODE_OFFLINE;
    const int ok = RxTxPacket(1, 2000);
    if (!ok) Fail(plat::Format("Cannot Put the Phone Offline, Since %s", m_strLastError.c_str()));
    return ok;
}

int DiagClient::ReadEsn(uint32_t& esn) {
    ClearRequest();
    m_nMode = ModeDiag;
    m_byCmd = DIAG_ESN_F;
    if (!RxTxPacket(10, 500)) {
        esn = 0xFFFFFFFFu;
        Fail(plat::Format("Cannot Get the ESN Number of the Phone, Since %s", m_strLastError.c_str()));
        return 0;
    }
    esn = m_dwRspEsn;
    return 1;
}

int DiagClient::WriteNvItem(uint16_t item, std::span<const uint8_t, NV_ITEM_SIZE> data, int16_t& status) {
    status = 0;
    ClearRequest();
    m_nMode = ModeDiag;
    m_byCmd = DIAG_NV_WRITE_F;
    m_wArg = item;
    std::copy(data.begin(), data.end(), m_abNvData.begin());
    m_wNvStatus = 0;
    if (!RxTxPacket(3, 500)) {
        status = NV_RWOPFAILED_S;
        Fail(plat::Format("Cannot write #%u NVItem, Since %s", unsigned{item}, m_strLastError.c_str()));
        return 0;
    }
    if (m_sRspNvStatus == NV_DONE_S) return 1;
    status = m_sRspNvStatus;
    Fail(plat::Format("Cannot Write #%u NVItem, Since %s", unsigned{item}, NvStatusText(status)));
    return 0;
}

int DiagClient::ReadNvItem(uint16_t item, std::span<uint8_t, NV_ITEM_SIZE> data, int16_t& status) {
    ClearRequest();
    m_nMode = ModeDiag;
    m_byCmd = DIAG_NV_READ_F;
    m_wArg = item;
    std::copy(data.begin(), data.end(), m_abNvData.begin());
    m_wNvStatus = 0;
    if (!RxTxPacket(3, 3000)) {
        status = NV_RWOPFAILED_S;
        Fail(plat::Format("cannot read #%u NVItem, since %s", unsigned{item}, m_strLastError.c_str()));
        std::fill(data.begin(), data.end(), 0);
        return 0;
    }
    if (m_sRspNvStatus == NV_DONE_S) {
        std::copy(m_abRspNvData.begin(), m_abRspNvData.end(), data.begin());
        status = NV_DONE_S;
        return 1;
    }
    status = m_sRspNvStatus;
    Fail(plat::Format("cannot read #%u NV Item, since %s", unsigned{item}, NvStatusText(status)));
    std::fill(data.begin(), data.end(), 0);
    return 0;
}

int DiagClient::SendSpc() {
    ClearRequest();
    m_nMode = ModeDiag;
    m_byCmd = DIAG_SPC_F;
    return RxTxPacket(3, 15000);
}

int DiagClient::ResetDownloader() {
    ClearRequest();
    m_nMode = ModeDownload;
    m_byCmd = DLOAD_RESET_F;
    m_tunnel.SetTypeOverride(1);
    const int ok = RxTxPacket(3, 500);
    m_tunnel.SetTypeOverride(0);
    if (!ok) Fail(plat::Format("Cannot Reset the Phone, Since %s", m_strLastError.c_str()));
    return ok;
}

int DiagClient::ReadImei(std::string& imei) {
    imei.clear();
    std::array<uint8_t, NV_ITEM_SIZE> data{};
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
            if (enter) m_tunnel.RestartSequence();
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
