#pragma once
// The modem's commands as pure functions: a builder per request (the payload before framing,
// command byte first) and a parser per reply (the decoded payload), for the DIAG commands, the
// DMSS downloader reset and the EFS2 file operations, plus the texts of the modem's answers. No
// I/O and no state: DiagClient puts builder, exchange and parser together.
//
// A parser takes the whole decoded reply and gives its fields, or nothing when the reply does not
// answer its request (another command byte or header, too short for its fields).
#include <array>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

constexpr size_t NV_ITEM_SIZE = 128;

// DIAG and DMSS download command codes.
constexpr uint8_t DIAG_ESN_F = 0x01;
constexpr uint8_t DIAG_NV_READ_F = 0x26;
constexpr uint8_t DIAG_NV_WRITE_F = 0x27;
constexpr uint8_t DIAG_CONTROL_F = 0x29;
constexpr uint8_t DIAG_SPC_F = 0x41;
constexpr uint8_t DIAG_SUBSYS_CMD_F = 0x4B;
constexpr uint8_t DIAG_SUBSYS_FS = 0x13;
constexpr uint8_t DLOAD_RESET_F = 0x0A;
constexpr uint8_t DLOAD_ACK = 0x02;
constexpr uint8_t DLOAD_NAK = 0x03;

constexpr uint16_t DIAG_MODE_OFFLINE = 1;
constexpr uint16_t DIAG_MODE_RESET = 2;

// The service programming code sent by SendSpc (six ASCII digits).
inline constexpr const char DIAG_SPC_CODE[] = "000000";
static_assert(sizeof(DIAG_SPC_CODE) == 7, "six digits");

// NV status codes of the modem; NV_RWOPFAILED_S marks a failed exchange.
constexpr int16_t NV_RWOPFAILED_S = -1;
constexpr int16_t NV_DONE_S = 0;
constexpr int16_t NV_NOTACTIVE_S = 5;
constexpr int16_t NV_READONLY_S = 7;
constexpr uint16_t NV_IMEI_ITEM = 550;

// EFS2 sub-commands of the file system subsystem.
constexpr uint16_t EFS2_DIAG_OPEN = 2;
constexpr uint16_t EFS2_DIAG_CLOSE = 3;
constexpr uint16_t EFS2_DIAG_READ = 4;
constexpr uint16_t EFS2_DIAG_WRITE = 5;
constexpr uint16_t EFS2_DIAG_FSTAT = 17;
constexpr uint32_t EFS_OPEN_READ_FLAGS = 0;       // O_RDONLY
constexpr uint32_t EFS_OPEN_READ_MODE = 0444;
constexpr uint32_t EFS_OPEN_WRITE_FLAGS = 0x241;  // O_WRONLY | O_CREAT | O_TRUNC
constexpr uint32_t EFS_OPEN_WRITE_MODE = 0666;
constexpr size_t EFS_PATH_MAX = 127;  // characters; the request carries them and a NUL
constexpr uint32_t EFS_BLOCK_SIZE = 512;
constexpr int32_t EFS_ENOENT = 2;  // the open's error number for "no such file"

// The last error of a reply that is no answer to its request.
inline constexpr const char DIAG_ERR_UNKNOWN[] = "unknow reason";

using DiagBytes = std::vector<uint8_t>;
using NvData = std::array<uint8_t, NV_ITEM_SIZE>;

// --- Texts of the modem's answers -------------------------------------------------------------
const char* DiagErrorText(uint8_t firstByte);  // DIAG error replies ("Bad command", ...)
const char* NvStatusName(int status);          // "NV_DONE_S", ..., "Unknown status!"
const char* NvStatusText(int status);          // "Request is queued", ...; "" when none
const char* DownloadNakText(int reason);       // "invalid frame check sequence", ...; ""
// The NV data dump of the status history: "All_Zero", or "%.2X " per byte up to the last
// non-zero one with "\n" after each 16 bytes when more follow.
std::string NvDataDump(std::span<const uint8_t, NV_ITEM_SIZE> data);
// The 15-digit IMEI held in the data of NV item 550.
std::string ImeiFromNvData(std::span<const uint8_t, NV_ITEM_SIZE> data);
// An IMEI that names a unit: 15 decimal digits, not all zeros, the last one the Luhn check digit
// of the other fourteen.
bool IsValidImei(const std::string& imei);

// --- DIAG commands --------------------------------------------------------------------------------
DiagBytes BuildEsnRequest();                                    // 01
DiagBytes BuildControlRequest(uint16_t mode);                   // 29, mode: offline or reset
// 26 / 27: item, 128 data bytes, status 0.
DiagBytes BuildNvReadRequest(uint16_t item, std::span<const uint8_t, NV_ITEM_SIZE> data);
DiagBytes BuildNvWriteRequest(uint16_t item, std::span<const uint8_t, NV_ITEM_SIZE> data);
DiagBytes BuildSpcRequest(std::string_view code = DIAG_SPC_CODE);  // 41, six digits
DiagBytes BuildDownloaderResetRequest();                         // DMSS 0A

std::optional<uint32_t> ParseEsnReply(std::span<const uint8_t> reply);
std::optional<uint16_t> ParseControlReply(std::span<const uint8_t> reply);  // the mode echoed

struct NvItemReply {
    uint16_t item = 0;
    NvData data{};
    int16_t status = 0;  // the modem's NV status
};
std::optional<NvItemReply> ParseNvReadReply(std::span<const uint8_t> reply);
std::optional<NvItemReply> ParseNvWriteReply(std::span<const uint8_t> reply);
bool ParseSpcReply(std::span<const uint8_t> reply);  // only the command byte counts

// A downloader reply: ACK (or any code but NAK) accepts; NAK carries its reason, most
// significant byte first (0 when the reply is too short for it); an empty reply is none.
enum class DloadReplyKind { Accepted, Nak, Empty };
struct DloadReply {
    DloadReplyKind kind = DloadReplyKind::Empty;
    int nakReason = 0;
};
DloadReply ParseDownloaderReply(std::span<const uint8_t> reply);

// --- EFS2 file operations (4B 13 sub-command, then 32-bit fields) ---------------------------------
// Write and close always name descriptor 0, the one file the client keeps open.
DiagBytes BuildEfsOpenRequest(std::string_view path, bool forReading);  // path: EFS_PATH_MAX at most
DiagBytes BuildEfsFstatRequest(int32_t descriptor);
DiagBytes BuildEfsReadRequest(int32_t descriptor, uint32_t count, uint32_t offset);
DiagBytes BuildEfsWriteRequest(uint32_t offset, std::span<const uint8_t> data);
DiagBytes BuildEfsCloseRequest();

struct EfsOpenReply {
    int32_t descriptor = -1;
    int32_t error = 0;  // the modem's error number
};
struct EfsFstatReply {
    int32_t error = 0;
    uint32_t size = 0;
};
struct EfsReadReply {
    uint32_t offset = 0;
    uint32_t bytesRead = 0;
    int32_t error = 0;
    DiagBytes data;  // bytesRead bytes
};
struct EfsWriteReply {
    uint32_t offset = 0;
    uint32_t bytesWritten = 0;
    int32_t error = 0;
};
std::optional<EfsOpenReply> ParseEfsOpenReply(std::span<const uint8_t> reply);
std::optional<EfsFstatReply> ParseEfsFstatReply(std::span<const uint8_t> reply);
// Nothing also when the reply claims more than `count`, or than it carries, or answers another
// offset than `offset`.
std::optional<EfsReadReply> ParseEfsReadReply(std::span<const uint8_t> reply, uint32_t count, uint32_t offset);
std::optional<EfsWriteReply> ParseEfsWriteReply(std::span<const uint8_t> reply);
std::optional<int32_t> ParseEfsCloseReply(std::span<const uint8_t> reply);  // the error number
