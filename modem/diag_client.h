#pragma once
// DiagClient: one line's modem service. It stages a DIAG (or DMSS download) request, frames it,
// hands it to the line's channel as CMD_DATA records, waits for the reply and parses it. On it sit
// the DIAG commands (reset, offline, ESN, IMEI, NV items, SPC, downloader reset), the gateway's
// download-mode switch and the EFS file operations with the two file copies.
//
// Every method returns 1 (or true) on success and 0 on failure and leaves the reason in
// LastError(). A client is used by one thread at a time; its pauses wake on a stop request.
#include <array>
#include <cstdint>
#include <span>
#include <string>

#include "cpelink/tunnel.h"

constexpr size_t DIAG_TX_SIZE = 4096;  // outgoing buffer: request payload, then the frame
constexpr size_t DIAG_RX_SIZE = 4098;  // reply buffer: the reply as received, then decoded
constexpr size_t DIAG_RX_MAX = 4096;   // a larger reply is refused
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

// How a copy from the modem's file system ended. NoFile: the modem answered the open with an
// error number (it has no such file); Empty: the file holds no bytes (no PC file is written);
// Failed: anything else went wrong (a failed open exchange, or a failure after the file was
// opened). The PC file exists only after Done.
enum class EfsCopyResult { Done, NoFile, Empty, Failed };

// Texts of the modem's answers.
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

class DiagClient {
public:
    static constexpr int ModeDiag = 0;
    static constexpr int ModeDownload = 1;
    static constexpr int ModePrepared = 3;

    explicit DiagClient(ILinkTunnel& tunnel);
    DiagClient(const DiagClient&) = delete;
    DiagClient& operator=(const DiagClient&) = delete;

    ILinkTunnel& Tunnel() { return m_tunnel; }

    // --- exchange ---------------------------------------------------------------------------
    // Frames the staged request once and makes up to `attempts` (0..255) send/wait/receive
    // attempts with `timeoutMs` (scaled) per reply. 1 on success; 0 with LastError() set.
    int RxTxPacket(int attempts, int timeoutMs);
    // Zeroes the outgoing and reply buffers and lengths; staging and reply fields stay.
    void ClearRequest();
    const std::string& LastError() const { return m_strLastError; }
    int Mode() const { return m_nMode; }
    void SetMode(int mode) { m_nMode = mode; }
    // Stages a whole request payload for ModePrepared (and sets that mode). False when it does
    // not fit the outgoing buffer.
    bool SetPreparedRequest(std::span<const uint8_t> payload);
    // The outgoing buffer's used part: the frame after RxTxPacket.
    std::span<const uint8_t> Outgoing() const { return {m_abOut.data(), static_cast<size_t>(m_nOutLen)}; }
    // The decoded reply payload of the last successful decode (command byte first).
    std::span<const uint8_t> ReplyPayload() const { return {m_abRx.data(), m_nPayloadLen}; }

    // Reply fields written by the parsers.
    uint8_t ResponseCode() const { return m_byRspCode; }
    uint32_t Esn() const { return m_dwRspEsn; }
    uint16_t RspNvItem() const { return m_wRspNvItem; }
    const std::array<uint8_t, NV_ITEM_SIZE>& RspNvData() const { return m_abRspNvData; }
    int16_t RspNvStatus() const { return m_sRspNvStatus; }
    uint16_t RspControlMode() const { return m_wRspMode; }

    // --- DIAG and downloader commands ---------------------------------------------------------
    int ResetPhone();                    // 0x29 mode 2, sent as record type 0xF0
    int SetOffline();                    // 0x29 mode 1
    int ReadEsn(uint32_t& esn);          // all ones on failure
    int WriteNvItem(uint16_t item, std::span<const uint8_t, NV_ITEM_SIZE> data, int16_t& status);
    // `data` is the request data in, the item's data out (zeroed on failure).
    int ReadNvItem(uint16_t item, std::span<uint8_t, NV_ITEM_SIZE> data, int16_t& status);
    int SendSpc();
    int ResetDownloader();               // DMSS 0x0A, sent as record type 0xF0
    int ReadImei(std::string& imei);     // NV item 550; empty on failure

    // --- the gateway's download mode (whole records, not DIAG) --------------------------------
    int EnterDownloadMode(int tries);
    int ExitDownloadMode(int tries);

    // --- EFS file access (descriptor 0 only) -----------------------------------------------------
    // `errorNumber` (optional) receives the open reply's error number, 0 when none came.
    int EfsOpen(const std::string& path, bool forReading, int32_t& descriptor,
                int32_t* errorNumber = nullptr);
    int EfsFstat(int32_t descriptor, uint32_t& size);
    // Asks for `count` bytes at `offset`; `data` must hold `count`. `bytesRead` is handed back
    // also when the error number is not 0. A reply that claims more than was asked or than it
    // carries, or answers another offset, fails.
    int EfsRead(int32_t descriptor, uint32_t count, uint32_t offset, uint32_t& bytesRead,
                std::span<uint8_t> data);
    // Writes `data` (at most EFS_BLOCK_SIZE bytes) at `offset` into descriptor 0.
    int EfsWrite(uint32_t offset, std::span<const uint8_t> data, uint32_t* bytesWritten = nullptr);
    int EfsClose();

    // Copies an EFS file to the PC through a temporary file renamed into place when complete.
    EfsCopyResult CopyEfsFileToPc(const std::string& pcPath, const std::string& efsPath);
    // Copies a PC file into the EFS (created or truncated); a 0-byte file gives one 0-byte write.
    bool CopyPcFileToEfs(const std::string& pcPath, const std::string& efsPath);

private:
    bool BuildRequest();
    bool ParseDiagReply();
    bool ParseDownloadReply();
    bool DecodeReply();
    void Fail(const std::string& text) { m_strLastError = text; }
    int GatewayModeCommand(uint8_t request, uint8_t success, uint8_t resend, bool enter, int tries);
    // One EFS exchange: sends `payload` in ModePrepared, checks the reply's header and length.
    // On failure LastError() = failText with the reason, mode back to ModeDiag.
    bool EfsExchange(std::span<const uint8_t> payload, size_t minReply, const char* failText);
    bool EfsFail();

    ILinkTunnel& m_tunnel;

    // request staging
    uint8_t m_byCmd = 0;
    uint8_t m_bySubCmd = 0;
    uint16_t m_wArg = 0;
    std::array<uint8_t, NV_ITEM_SIZE> m_abNvData{};
    uint16_t m_wNvStatus = 0;

    // reply fields
    uint8_t m_byRspCode = 0;
    uint32_t m_dwRspEsn = 0;
    uint16_t m_wRspNvItem = 0;
    std::array<uint8_t, NV_ITEM_SIZE> m_abRspNvData{};
    int16_t m_sRspNvStatus = 0;
    uint16_t m_wRspMode = 0;

    int m_nOutLen = 0;
    std::array<uint8_t, DIAG_TX_SIZE> m_abOut{};
    uint16_t m_wRxLen = 0;
    size_t m_nPayloadLen = 0;
    std::array<uint8_t, DIAG_RX_SIZE> m_abRx{};
    std::string m_strLastError;
    int m_nMode = ModeDiag;
};
