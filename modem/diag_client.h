#pragma once
// DiagClient: one line's modem service. Its exchange (RxTxPacket) frames a request, hands it to
// the line's channel as CMD_DATA records, waits for the reply with its attempts and time-outs and
// decodes it; the commands on top put a builder and a parser of diag_commands.h around one
// exchange: the DIAG commands (reset, offline, ESN, IMEI, NV items, SPC, downloader reset), the
// EFS file operations with the two file copies, and the gateway's download-mode switch.
//
// Every method returns 1 (or true) on success and 0 on failure and leaves the reason in
// LastError(). A client is used by one thread at a time; its pauses wake on a stop request.
#include <array>
#include <cstdint>
#include <deque>
#include <functional>
#include <span>
#include <string>
#include <vector>

#include "cpelink/tunnel.h"
#include "modem/diag_commands.h"
#include "platform/non_copyable.h"

constexpr size_t DIAG_TX_SIZE = 4096;  // the largest frame sent
constexpr size_t DIAG_RX_SIZE = 4098;  // reply buffer: the reply as received
constexpr size_t DIAG_RX_MAX = 4096;   // a larger reply is refused

// How an exchange frames its request and treats the reply. Diag: the reply's first byte must be
// the request's command byte, else it is a DIAG error reply; Download: DMSS framing with a
// leading flag, and a trace line per attempt; Prepared: any decoded reply goes to the caller's
// check (the EFS operations).
enum class DiagMode { Diag = 0, Download = 1, Prepared = 3 };

// How a copy from the modem's file system ended. NoFile: the modem answered the open with "no
// such file" (EFS_ENOENT; any other error number is a failure); Empty: the file holds no bytes (no PC file is written);
// Failed: anything else went wrong (a failed open exchange, or a failure after the file was
// opened). The PC file exists only after Done.
enum class EfsCopyResult { Done, NoFile, Empty, Failed };

class DiagClient : private plat::NonCopyable {
public:
    static constexpr DiagMode ModeDiag = DiagMode::Diag;
    static constexpr DiagMode ModeDownload = DiagMode::Download;
    static constexpr DiagMode ModePrepared = DiagMode::Prepared;

    // Says whether a decoded reply answers the request: nullptr when it does, else the reason
    // (the last error of a failed attempt).
    using ReplyCheck = std::function<const char*(std::span<const uint8_t> reply)>;
    // Says whether a decoded reply answers this request at all: false for the answer to another
    // one (it came late, or twice), which counts as no reply: the wait goes on.
    using ReplyFilter = std::function<bool(std::span<const uint8_t> reply)>;

    explicit DiagClient(ILinkTunnel& tunnel);

    ILinkTunnel& Tunnel() { return m_tunnel; }

    // --- exchange ---------------------------------------------------------------------------
    // Frames `request` once and makes up to `attempts` (0..255) send/wait/receive attempts with
    // `timeoutMs` (scaled) per reply; the line's queue is drained before each send. Replies that
    // `answers` (or, in ModeDiag, the first byte) shows to answer another request are set aside;
    // `check` runs on every other decoded reply. 1 once a reply passed (0 attempts: at once,
    // nothing sent); 0 with LastError() set.
    int RxTxPacket(std::span<const uint8_t> request, DiagMode mode, int attempts, int timeoutMs,
                   const ReplyCheck& check, const ReplyFilter& answers = {});
    // The longest one NV item's read or write may wait for its answers (every attempt's time-out).
    static int64_t NvReadBoundMs();
    static int64_t NvWriteBoundMs();
    // Sets aside the replies left in the line's queue, noting the NV answers among them.
    void DrainReplies();
    // NV items read since the gateway last entered download mode of which a second, different
    // answer came after the item's read had ended (the data taken may be either): each once. The
    // queue is drained first. An item whose answers differ while it is read fails that read.
    std::vector<uint16_t> TakeNvConflicts();
    const std::string& LastError() const { return m_strLastError; }
    // The mode of the last exchange (ModeDiag again after a failed EFS operation).
    DiagMode Mode() const { return m_mode; }

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
    // False when the PC file could not be read or the open, a write (a short one too) or the
    // close failed: the EFS file may then be cut short.
    bool CopyPcFileToEfs(const std::string& pcPath, const std::string& efsPath);

private:
    void Fail(const std::string& text) { m_strLastError = text; }
    // One DIAG command: `parse` turns the decoded reply into its result, or nothing when the
    // reply is no answer ("unknow reason", the attempt fails).
    template <typename Parse>
    auto Command(std::span<const uint8_t> request, int attempts, int timeoutMs, Parse parse,
                 const ReplyFilter& answers = {}) -> decltype(parse(std::span<const uint8_t>{}));
    static ReplyFilter ControlAnswers(uint16_t mode);
    // Answers to NV reads: remembered (the last kRecentNvAnswers), compared, forgotten on a write.
    void NoteNvAnswer(const NvItemReply& reply);
    void NoteLateAnswer(std::span<const uint8_t> payload);
    void ForgetNvAnswers(uint16_t item);
    int GatewayModeCommand(uint8_t request, uint8_t success, uint8_t resend, bool enter, int tries);
    // One EFS exchange: `request` in ModePrepared, `parse` on the reply. On failure LastError() =
    // failText with the reason (the exchange's, or the DIAG error text of a reply that does not
    // answer), mode back to ModeDiag.
    template <typename Parse>
    auto EfsCommand(std::span<const uint8_t> request, const char* failText, Parse parse)
        -> decltype(parse(std::span<const uint8_t>{}));
    int EfsFail();

    ILinkTunnel& m_tunnel;
    uint16_t m_wRxLen = 0;  // bytes of the last reply taken in this exchange
    std::array<uint8_t, DIAG_RX_SIZE> m_abRx{};
    std::string m_strLastError;
    DiagMode m_mode = DiagMode::Diag;

    static constexpr size_t kRecentNvAnswers = 64;
    std::deque<NvItemReply> m_recentNv;
    std::vector<uint16_t> m_nvConflicts;
    int m_nNvReading = -1;       // the item of the read under way (all-zero request), else -1
    bool m_bNvConflict = false;  // two different answers to it arrived
};
