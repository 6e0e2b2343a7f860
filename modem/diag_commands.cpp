// The pure codec of the modem's commands: request builders, reply parsers and the texts of the
// modem's answers.
#include "modem/diag_commands.h"

#include <algorithm>

#include "platform/byte_order.h"
#include "platform/trace.h"

namespace {

// Reply lengths of the EFS2 operations (header of 4 bytes, then 32-bit fields).
constexpr size_t kEfsHeader = 4;
constexpr size_t kOpenReply = 12;   // descriptor, error number
constexpr size_t kCloseReply = 8;   // error number
constexpr size_t kReadReply = 20;   // descriptor, offset, bytes read, error number, data
constexpr size_t kWriteReply = 20;  // descriptor, offset, bytes written, error number
constexpr size_t kFstatReply = 32;  // error number, mode, size, nlink, atime, mtime, ctime
constexpr size_t kNvReply = 133;    // code, item, 128 data bytes, status

DiagBytes NvRequest(uint8_t code, uint16_t item, std::span<const uint8_t, NV_ITEM_SIZE> data) {
    DiagBytes out{code};
    plat::AppendLe16(out, item);
    out.insert(out.end(), data.begin(), data.end());
    plat::AppendLe16(out, 0);
    return out;
}

std::optional<NvItemReply> NvReply(uint8_t code, std::span<const uint8_t> reply) {
    if (reply.size() < kNvReply || reply[0] != code) return std::nullopt;
    NvItemReply r;
    r.item = plat::GetLe16(reply, 1);
    std::copy_n(reply.begin() + 3, NV_ITEM_SIZE, r.data.begin());
    r.status = static_cast<int16_t>(plat::GetLe16(reply, 131));
    return r;
}

DiagBytes EfsRequest(uint16_t subCommand) {
    DiagBytes out{DIAG_SUBSYS_CMD_F, DIAG_SUBSYS_FS};
    plat::AppendLe16(out, subCommand);
    return out;
}

// The reply of `subCommand` when it carries at least `size` bytes: a reader after its header.
std::optional<plat::ByteReader> EfsReply(std::span<const uint8_t> reply, uint16_t subCommand, size_t size) {
    if (reply.size() < size || reply[0] != DIAG_SUBSYS_CMD_F || reply[1] != DIAG_SUBSYS_FS ||
        plat::GetLe16(reply, 2) != subCommand)
        return std::nullopt;
    return plat::ByteReader(reply.subspan(kEfsHeader));
}

}  // namespace

const char* DiagErrorText(uint8_t firstByte) {
    switch (firstByte) {
        case 0x13: return "Bad command";
        case 0x14: return "The Request packet has invalid or inconsistent parameters";
        case 0x15: return "The Request packet has an invalid length";
        case 0x18: return "the DMSS isn't in a particular mode";
        case 0x42: return "the correct SPC has not yet been entered to unlock service programming";
        case 0x47: return "the correct Security Password has not yet been entered to unlock the phone";
        default: return DIAG_ERR_UNKNOWN;
    }
}

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

// --- DIAG commands --------------------------------------------------------------------------------

DiagBytes BuildEsnRequest() { return {DIAG_ESN_F}; }

DiagBytes BuildControlRequest(uint16_t mode) {
    DiagBytes out{DIAG_CONTROL_F};
    plat::AppendLe16(out, mode);
    return out;
}

DiagBytes BuildNvReadRequest(uint16_t item, std::span<const uint8_t, NV_ITEM_SIZE> data) {
    return NvRequest(DIAG_NV_READ_F, item, data);
}

DiagBytes BuildNvWriteRequest(uint16_t item, std::span<const uint8_t, NV_ITEM_SIZE> data) {
    return NvRequest(DIAG_NV_WRITE_F, item, data);
}

DiagBytes BuildSpcRequest(std::string_view code) {
    DiagBytes out{DIAG_SPC_F};
    out.insert(out.end(), code.begin(), code.end());
    return out;
}

DiagBytes BuildDownloaderResetRequest() { return {DLOAD_RESET_F}; }

std::optional<uint32_t> ParseEsnReply(std::span<const uint8_t> reply) {
    if (reply.size() < 5 || reply[0] != DIAG_ESN_F) return std::nullopt;
    return plat::GetLe32(reply, 1);
}

std::optional<uint16_t> ParseControlReply(std::span<const uint8_t> reply) {
    if (reply.size() < 3 || reply[0] != DIAG_CONTROL_F) return std::nullopt;
    return plat::GetLe16(reply, 1);
}

std::optional<NvItemReply> ParseNvReadReply(std::span<const uint8_t> reply) { return NvReply(DIAG_NV_READ_F, reply); }

std::optional<NvItemReply> ParseNvWriteReply(std::span<const uint8_t> reply) { return NvReply(DIAG_NV_WRITE_F, reply); }

bool ParseSpcReply(std::span<const uint8_t> reply) { return !reply.empty() && reply[0] == DIAG_SPC_F; }

DloadReply ParseDownloaderReply(std::span<const uint8_t> reply) {
    if (reply.empty()) return {};
    if (reply[0] != DLOAD_NAK) return {DloadReplyKind::Accepted, 0};
    return {DloadReplyKind::Nak, reply.size() >= 3 ? (reply[1] << 8) | reply[2] : 0};
}

// --- EFS2 file operations -------------------------------------------------------------------------

DiagBytes BuildEfsOpenRequest(std::string_view path, bool forReading) {
    DiagBytes out = EfsRequest(EFS2_DIAG_OPEN);
    plat::AppendLe32(out, forReading ? EFS_OPEN_READ_FLAGS : EFS_OPEN_WRITE_FLAGS);
    plat::AppendLe32(out, forReading ? EFS_OPEN_READ_MODE : EFS_OPEN_WRITE_MODE);
    out.insert(out.end(), path.begin(), path.end());
    out.push_back(0);
    return out;
}

DiagBytes BuildEfsFstatRequest(int32_t descriptor) {
    DiagBytes out = EfsRequest(EFS2_DIAG_FSTAT);
    plat::AppendLe32(out, static_cast<uint32_t>(descriptor));
    return out;
}

DiagBytes BuildEfsReadRequest(int32_t descriptor, uint32_t count, uint32_t offset) {
    DiagBytes out = EfsRequest(EFS2_DIAG_READ);
    plat::AppendLe32(out, static_cast<uint32_t>(descriptor));
    plat::AppendLe32(out, count);
    plat::AppendLe32(out, offset);
    return out;
}

DiagBytes BuildEfsWriteRequest(uint32_t offset, std::span<const uint8_t> data) {
    DiagBytes out = EfsRequest(EFS2_DIAG_WRITE);
    plat::AppendLe32(out, 0);
    plat::AppendLe32(out, offset);
    out.insert(out.end(), data.begin(), data.end());
    return out;
}

DiagBytes BuildEfsCloseRequest() {
    DiagBytes out = EfsRequest(EFS2_DIAG_CLOSE);
    plat::AppendLe32(out, 0);
    return out;
}

std::optional<EfsOpenReply> ParseEfsOpenReply(std::span<const uint8_t> reply) {
    auto in = EfsReply(reply, EFS2_DIAG_OPEN, kOpenReply);
    if (!in) return std::nullopt;
    EfsOpenReply r;
    r.descriptor = static_cast<int32_t>(in->U32());
    r.error = static_cast<int32_t>(in->U32());
    return r;
}

std::optional<EfsFstatReply> ParseEfsFstatReply(std::span<const uint8_t> reply) {
    auto in = EfsReply(reply, EFS2_DIAG_FSTAT, kFstatReply);
    if (!in) return std::nullopt;
    EfsFstatReply r;
    r.error = static_cast<int32_t>(in->U32());
    in->Skip(4);  // mode
    r.size = in->U32();
    return r;
}

std::optional<EfsReadReply> ParseEfsReadReply(std::span<const uint8_t> reply, uint32_t count, uint32_t offset) {
    auto in = EfsReply(reply, EFS2_DIAG_READ, kReadReply);
    if (!in) return std::nullopt;
    EfsReadReply r;
    in->Skip(4);  // descriptor
    r.offset = in->U32();
    r.bytesRead = in->U32();
    r.error = static_cast<int32_t>(in->U32());
    // Never more than asked for, nor more than the reply carries, nor another offset.
    if (r.bytesRead > count || r.bytesRead > in->Left() || r.offset != offset) return std::nullopt;
    const auto bytes = in->Bytes(r.bytesRead);
    r.data.assign(bytes.begin(), bytes.end());
    return r;
}

std::optional<EfsWriteReply> ParseEfsWriteReply(std::span<const uint8_t> reply) {
    auto in = EfsReply(reply, EFS2_DIAG_WRITE, kWriteReply);
    if (!in) return std::nullopt;
    EfsWriteReply r;
    in->Skip(4);  // descriptor
    r.offset = in->U32();
    r.bytesWritten = in->U32();
    r.error = static_cast<int32_t>(in->U32());
    return r;
}

std::optional<int32_t> ParseEfsCloseReply(std::span<const uint8_t> reply) {
    auto in = EfsReply(reply, EFS2_DIAG_CLOSE, kCloseReply);
    if (!in) return std::nullopt;
    return static_cast<int32_t>(in->U32());
}
