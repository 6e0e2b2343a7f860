#pragma once
// AtPort: one line's AT command port to its modem.
//
// AT commands travel through the line's own channel (the ILinkTunnel its DiagClient uses, with
// the same connection and sequence counter) as CMD_DATA records: the command text followed by a
// carriage return. The modem's answer comes back the same way; the gateway tells AT commands and
// DIAG frames apart by content. Only one user may talk through a line's channel at a time: the
// caller keeps the link watcher and any task off the line while an AT command runs.

#include <cstddef>
#include <string>
#include <string_view>

#include "cpelink/tunnel.h"
#include "platform/non_copyable.h"

constexpr size_t AT_ANSWER_SIZE = 256;      // answer buffer; a longer answer is cut to this
constexpr int AT_TIMEOUT_MS = 5000;         // wait for an answer per try (scaled)
constexpr int AT_TRIES = 3;                 // send attempts per command
constexpr int AT_POLL_MS = 20;              // pause before each HasReply test (real time)

constexpr int AT_DIAG_MODE_HIDDEN = 1;      // AT+KDIAG=1: the DIAG port is hidden
constexpr int AT_DIAG_MODE_SHOWN = 6;       // AT+KDIAG=6: the DIAG port is shown

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

class AtPort : private plat::NonCopyable {
public:
    explicit AtPort(ILinkTunnel& tunnel);

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
