#pragma once
// AtPort: one line's AT command port to its modem, and the DIAG port switch built on it.
//
// AT commands travel through the line's own channel (the ILinkTunnel its DiagClient uses, with
// the same connection and sequence counter) as CMD_DATA records: the command text followed by a
// carriage return. The modem's answer comes back the same way; the gateway tells AT commands and
// DIAG frames apart by content. Only one user may talk through a line's channel at a time: the
// caller keeps the link watcher and any task off the line while an AT command runs.
//
// ToggleDiagPort is the form's "隐藏端口"/"恢复端口" operation: it hides the modem's DIAG port
// (AT+KDIAG=1) or shows it (AT+KDIAG=6) and reports through a narrow host interface that the
// view implements, so it runs (and is tested) without the form.
#include <cstddef>
#include <string>
#include <string_view>

#include "cpelink/tunnel.h"

constexpr size_t AT_ANSWER_SIZE = 256;      // answer buffer; a longer answer is cut to this
constexpr int AT_TIMEOUT_MS = 5000;         // wait for an answer per try (scaled)
constexpr int AT_TRIES = 3;                 // send attempts per command
constexpr int AT_POLL_MS = 20;              // pause before each HasReply test (real time)
constexpr int AT_SWITCH_SETTLE_MS = 4500;   // ToggleDiagPort's pause before the first command

constexpr int AT_DIAG_MODE_HIDDEN = 1;      // AT+KDIAG=1: the DIAG port is hidden
constexpr int AT_DIAG_MODE_SHOWN = 6;       // AT+KDIAG=6: the DIAG port is shown

// Texts of the DIAG port switch.
inline constexpr const char AT_TEXT_NO_DATA_PORT[] = "Data端口不能为 0 !";
inline constexpr const char AT_TEXT_CHANNEL_CLOSED[] = "Data端口错误!";
inline constexpr const char AT_TEXT_HIDE_OK[] = "隐藏DIAG口成功!";
inline constexpr const char AT_TEXT_HIDE_FAILED[] = "隐藏DIAG口失败!";
inline constexpr const char AT_TEXT_SHOW_OK[] = "恢复DIAG口成功!";
inline constexpr const char AT_TEXT_SHOW_FAILED[] = "恢复DIAG口失败!";
inline constexpr const char AT_TEXT_NO_PHONE[] = "No Phone";
// Captions of the port buttons (1140..1146, 1148) and of the all-lines button 1147.
inline constexpr const char AT_CAPTION_HIDE_PORT[] = "隐藏端口";     // the port is shown
inline constexpr const char AT_CAPTION_RESTORE_PORT[] = "恢复端口";  // the port is hidden
inline constexpr const char AT_CAPTION_RESTORE_ALL[] = "恢复全部端口";

// --- answer parsing (no I/O) ------------------------------------------------------------------

// The answer line is the text between the first CR LF pair of `answer` and the next one. False
// when there is no such pair or no second one, or when the line equals "error" (any case); the
// line is handed back in every case where both pairs were found.
bool ParseAtAnswer(std::string_view answer, std::string& line);
// The version of an "AT+GMR" answer line: the part after the first blank, cut before the next
// blank. Empty when the remainder has no further blank (and so also when the line has no blank).
std::string ModemVersionFromGmrLine(std::string_view line);
// The mode of an "AT+KDIAG?" answer line: the character after the first 8, read as a decimal
// digit; a non-digit, or a line of 8 characters or fewer, reads as 0.
int DiagModeFromKdiagLine(std::string_view line);
// The bytes `TakeData` delivered, as the stored answer text: at most AT_ANSWER_SIZE bytes and
// never more than `count` (clamped to 0..size), ending before the first NUL.
std::string AnswerText(const uint8_t* buffer, size_t size, int count);

// --- the port -----------------------------------------------------------------------------------

class AtPort {
public:
    explicit AtPort(ILinkTunnel& tunnel);
    AtPort(const AtPort&) = delete;
    AtPort& operator=(const AtPort&) = delete;

    ILinkTunnel& Tunnel() { return m_tunnel; }
    // The line's channel is open (the switch needs nothing more).
    bool IsOpen() const { return m_tunnel.IsOpen(); }

    // One exchange of `command` (a carriage return is appended) plus the answer parsing; true
    // when an answer came and its line is not "error". `answerLine` gets the parsed line (empty
    // when none was found).
    bool AtCommand(const std::string& command, std::string& answerLine);
    // "AT+GMR"; on success `version` is ModemVersionFromGmrLine of the answer line.
    bool ReadModemVersion(std::string& version);
    // "AT+KDIAG?"; the mode, 0 when the command fails.
    int GetDiagMode();
    // "AT+KDIAG=%d" with n.
    bool SetDiagMode(int n);

    // The last command as sent (with its carriage return) and its raw answer (empty when none).
    const std::string& Command() const { return m_strCommand; }
    const std::string& Answer() const { return m_strAnswer; }
    int TimeoutMs() const { return m_nTimeoutMs; }
    int Tries() const { return m_nTries; }
    void SetTimeoutMs(int ms) { m_nTimeoutMs = ms; }
    void SetTries(int tries) { m_nTries = tries; }

private:
    // Sends m_strCommand up to m_nTries times and waits for the answer; true with m_strAnswer
    // set when one came.
    bool Exchange();

    ILinkTunnel& m_tunnel;
    std::string m_strCommand;
    std::string m_strAnswer;
    int m_nTimeoutMs = AT_TIMEOUT_MS;
    int m_nTries = AT_TRIES;
};

// --- the DIAG port switch ---------------------------------------------------------------------

// What ToggleDiagPort needs from the form. Lines are indexes 0..7; the host maps them onto its
// controls. Called on the thread that runs ToggleDiagPort, with no lock of the switch held.
class IAtHost {
public:
    virtual ~IAtHost() = default;
    // The line's Data port number from its record; 0 = not configured.
    virtual int DataPort(int line) = 0;
    // The line's AT port (over the line's channel); null when the line has none.
    virtual AtPort* LineAtPort(int line) = 0;
    // The line's DIAG port flag: true = shown (the button offers "隐藏端口").
    virtual bool DiagPortShown(int line) = 0;
    virtual void SetDiagPortShown(int line, bool shown) = 0;
    // The line's status text.
    virtual void ShowLineStatus(int line, const std::string& text) = 0;
    // The form's modem version field of the line (control 1000 + line).
    virtual void SetLineVersionText(int line, const std::string& text) = 0;
    // The line's start button (1008 for line 0, 1009..1015 for lines 1..7).
    virtual void EnableStartButton(int line, bool enable) = 0;
    // The line's port button (1140..1146 for lines 0..6, 1148 for line 7).
    virtual void SetPortButtonCaption(int line, const std::string& caption) = 0;
};

enum class AtToggleResult {
    NoDataPort,     // "Data端口不能为 0 !"
    ChannelClosed,  // "Data端口错误!"
    Hidden,         // "隐藏DIAG口成功!"
    HideFailed,     // "隐藏DIAG口失败!"
    Shown,          // "恢复DIAG口成功!"
    ShowFailed,     // "恢复DIAG口失败!"
    Stopped,        // the settle pause was cut short by a stop request; nothing was switched
};

// Hides the line's DIAG port when it is shown, shows it when it is hidden:
//  1. Data port number 0: status "Data端口不能为 0 !"; end.
//  2. The line's channel not open: status "Data端口错误!"; end.
//  3. Start button disabled; pause 4500 ms (scaled).
//  4. Shown: AT+KDIAG=1; success: "隐藏DIAG口成功!", flag cleared, version text empty;
//     failure: "隐藏DIAG口失败!" (flag and version text as they were).
//  5. Hidden: success when AT+KDIAG? reads 6 or AT+KDIAG=6 succeeds: "恢复DIAG口成功!", flag
//     set, version text from AT+GMR or "No Phone"; failure: "恢复DIAG口失败!", version text
//     "No Phone".
//  6. The text becomes the line's status; the version text goes to the line's version field.
//  7. Start button enabled; port button caption "隐藏端口" when shown, else "恢复端口".
// The channel stays open: it is the line's working channel.
AtToggleResult ToggleDiagPort(int line, IAtHost& host);
// Button 1147 "恢复全部端口": ToggleDiagPort for lines 0 to 7 in turn.
void ToggleAllDiagPorts(IAtHost& host);
