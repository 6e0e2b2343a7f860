#pragma once
// The modem behind the gateway's tunnel: it takes the bytes of one CMD_DATA record and gives the
// bytes of its answer. Three kinds of input, told apart by content:
//   - an AT command: a carriage-return-terminated text beginning with "AT";
//   - a boot downloader frame: a frame with a leading 0x7E flag;
//   - a DIAG frame: everything else.
// EFS files live under "/nv/item_files/rfnv/" (RF_NV_FILE_FOLDER).
// It holds NV items with their status, EFS files, the SPC lock, offline state and the AT port's
// KDIAG mode. Thread-safe: every public member takes the modem's lock.
#include <array>
#include <cstdint>
#include <map>
#include <mutex>
#include <optional>
#include <set>
#include <span>
#include <string>
#include <vector>

#include "sim/sim_knobs.h"

constexpr size_t SIM_NV_DATA_SIZE = 128;
constexpr uint16_t SIM_NV_IMEI_ITEM = 550;

// NV status codes the modem answers with.
constexpr uint16_t SIM_NV_DONE = 0;
constexpr uint16_t SIM_NV_NOTACTIVE = 5;
constexpr uint16_t SIM_NV_READONLY = 7;

// EFS error numbers.
constexpr uint32_t SIM_ENOENT = 2;
constexpr uint32_t SIM_EIO = 5;
constexpr uint32_t SIM_EBADF = 9;
constexpr uint32_t SIM_EINVAL = 22;

struct SimNvItem {
    std::array<uint8_t, SIM_NV_DATA_SIZE> data{};
    uint16_t status = SIM_NV_DONE;  // 0 active, 5 not active, 7 read-only
    bool operator==(const SimNvItem&) const = default;
};

// What the modem saw, for reports.
struct ModemEvent {
    enum class Kind { Diag, Downloader, At, BadFrame };
    Kind kind = Kind::Diag;
    uint8_t code = 0;      // DIAG or downloader command code (first payload byte)
    std::string atText;    // AT command without its carriage return
};

class ModemSim {
public:
    ModemSim();

    // The answer to one tunnel record's data; nullopt when the modem stays silent. `late` (when
    // given) says whether the answer is one the knobs make late (SimKnobs::lateNvReads).
    std::optional<std::vector<uint8_t>> Handle(std::span<const uint8_t> request, const SimKnobs& knobs,
                                               bool* late = nullptr);

    // A carriage-return-terminated text beginning with "AT" (trailing NULs ignored).
    static bool IsAtCommand(std::span<const uint8_t> data);

    // --- NV store --------------------------------------------------------------------------------
    void SetNvItem(uint16_t item, std::span<const uint8_t> data, uint16_t status = SIM_NV_DONE);
    void SetNvStatus(uint16_t item, uint16_t status);
    std::optional<SimNvItem> NvItem(uint16_t item) const;
    std::map<uint16_t, SimNvItem> NvItems() const;
    void WipeNv();
    // Item 550 from 15 digits: byte 0 = 8, byte 1 = first digit << 4 | 0xA, bytes 2..8 the other
    // digits, low nibble first. False when the text is not 15 decimal digits.
    bool SetImei(const std::string& digits);
    // The IMEI as the tool reads it back (15 characters), empty when item 550 is missing.
    std::string Imei() const;

    // --- EFS -------------------------------------------------------------------------------------
    void SetEfsFile(const std::string& path, std::vector<uint8_t> bytes);
    std::optional<std::vector<uint8_t>> EfsFile(const std::string& path) const;
    std::map<std::string, std::vector<uint8_t>> EfsFiles() const;
    void WipeEfs();
    // Descriptors still open (0 after every well-behaved copy).
    int OpenEfsFiles() const;

    // --- State -----------------------------------------------------------------------------------
    int AtDiagMode() const;
    void SetAtDiagMode(int mode);
    bool SpcUnlocked() const;
    bool Offline() const;
    std::vector<uint16_t> ControlModes() const;  // 0x29 modes in arrival order (1 offline, 2 reset)
    int Resets() const;                          // 0x29 mode 2
    int DownloaderResets() const;                // boot downloader 0x0A
    std::vector<ModemEvent> Events() const;
    void ClearEvents();

private:
    struct OpenFile {
        std::string path;
        bool bWrite = false;
    };

    std::optional<std::vector<uint8_t>> HandleLocked(std::span<const uint8_t> request, const SimKnobs& knobs);
    std::optional<std::vector<uint8_t>> HandleAt(std::string command, const SimKnobs& knobs);
    std::optional<std::vector<uint8_t>> HandleDownloader(std::span<const uint8_t> frame,
                                                         const SimKnobs& knobs);
    std::optional<std::vector<uint8_t>> HandleDiag(std::span<const uint8_t> frame,
                                                   const SimKnobs& knobs);
    // The payload answer to a well-formed DIAG request.
    std::vector<uint8_t> Answer(const std::vector<uint8_t>& req, const SimKnobs& knobs);
    std::vector<uint8_t> AnswerNv(const std::vector<uint8_t>& req, const SimKnobs& knobs);
    std::vector<uint8_t> AnswerEfs(const std::vector<uint8_t>& req, const SimKnobs& knobs);
    // Frames a reply payload, applying the reply knobs of `code`.
    std::vector<uint8_t> Frame(const std::vector<uint8_t>& payload, int code, bool bLeadingFlag,
                               const SimKnobs& knobs) const;

    mutable std::mutex m_mutex;
    std::map<uint16_t, SimNvItem> m_nv;
    std::map<std::string, std::vector<uint8_t>> m_efs;
    std::map<uint32_t, OpenFile> m_open;  // descriptor -> file
    bool m_bSpcUnlocked = false;
    bool m_bOffline = false;
    int m_nAtMode = 6;
    std::vector<uint16_t> m_controlModes;
    int m_nResets = 0;
    int m_nDownloaderResets = 0;
    std::vector<ModemEvent> m_events;
    std::set<uint16_t> m_lateGiven;  // items whose late answer was given
    bool m_bAnswerLate = false;      // the answer being made is a late one
};
