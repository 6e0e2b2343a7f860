#pragma once
// What a line's watcher and tasks report, and how a task ended. The form's presenter implements
// ILineEvents (the front ends watch the presenter); a line's watcher and tasks report to their
// CLineSession through ILineTaskEvents, and the session keeps what belongs to the line (its
// running state, its handshake, the outcome's actions) before it tells the presenter.
// Every call may come from any thread and does its own locking; Message and AskDefaultNo block
// until the operator answers.
#include <cstdint>
#include <optional>
#include <string>

// The picture kinds a line shows.
constexpr int PIC_READY = 0;
constexpr int PIC_RUNNING = 1;
constexpr int PIC_PASS = 2;
constexpr int PIC_FAIL = 3;
constexpr int PIC_OFFLINE = 4;

// How a line's task ended, with the form's picture and what happens to the modem and the link.
enum class LineOutcome {
    Passed,               // pass picture; the modem is reset
    PassedAsIs,           // pass picture
    FailedResetModem,     // failure picture; the modem is reset
    FailedStopLink,       // the link server stops (a web handshake comes next); failure picture
    FailedResetStopLink,  // the modem is reset, then the link server stops; failure picture
    FailedClosing,        // failure picture; in download mode the line's failure box too
};

// What a task waits for during a bounded wait (the time line shows it with the time left).
enum class WaitFor {
    None,            // no bounded wait: the wait has ended
    GatewayReply,    // the gateway's answer to an image or a command on the link
    GatewayRestart,  // the gateway restarting after the upgrade, its web page probed
    GatewayClose,    // the gateway closing the link
    ModemReply,      // the modem's answer to an NV exchange
};

inline bool IsPass(LineOutcome outcome) {
    return outcome == LineOutcome::Passed || outcome == LineOutcome::PassedAsIs;
}

class ILineEvents {
public:
    virtual ~ILineEvents() = default;

    // The line's status text, with its entry in the status history (time-stamped unless not
    // `bStamp`).
    virtual void Status(int line, const std::string& text, bool bStamp = true) = 0;
    // A text appended to the status history as it stands (the NV data dumps).
    virtual void History(int line, const std::string& text) = 0;
    virtual void Progress(int line, int percent) = 0;
    // One of the picture kinds above.
    virtual void Picture(int line, int kind) = 0;
    // The line's version texts (model/line_state.h) changed: the modem's alone, or both.
    virtual void ModemVersionChanged(int line) = 0;
    virtual void VersionsChanged(int line) = 0;
    // The line can take a task now, or not (the gateway lost, a DIAG port switch under way).
    virtual void Available(int line, bool bAvailable) = 0;
    // The modem's DIAG port of the line is shown, or hidden, after a switch.
    virtual void DiagPortShown(int line, bool bShown) = 0;
    // The watcher's keep-alive pass found the gateway: Download may be pressed.
    virtual void Ready(int line) = 0;
    // The counters store changed.
    virtual void CountersChanged() = 0;
    // A message box with an OK button (and the program's title when `bTitled`).
    virtual void Message(const std::string& text, bool bTitled = false) = 0;
    // A Yes/No question whose default button is No; true for Yes.
    virtual bool AskDefaultNo(const std::string& text) = 0;
    // The document's operation mode (0..3) was set again by a line's task: the form shows it.
    virtual void ModeChanged(int mode) = 0;
    // The line's running state changed (or a start of another line passes by it): the busy locks
    // follow, and the line's Download is allowed or not.
    virtual void RunningChanged(int line, bool bStartAllowed) = 0;
    // A task thread of the line has returned, with the outcome its task reported (none when it
    // reported none).
    virtual void TaskReturned(int line, std::optional<LineOutcome> outcome) = 0;

    // A bounded wait of the line's task begins (`what`, lasting at most `maxMs` real ms) or ends
    // (WaitFor::None).
    virtual void Waiting(int /*line*/, WaitFor /*what*/, int64_t /*maxMs*/) {}

    // The line's work has come to an end nothing follows (the WiFi limit set, the gateway lost
    // after the connection), once its last message was answered: `outcome` says how.
    virtual void Concluded(int line, LineOutcome outcome) = 0;
};

// What a line's task reports beyond the events: how it ended. The line's session implements it.
class ILineTaskEvents : public ILineEvents {
public:
    // The end of a failed or closing task: its text, the picture and the modem and link actions
    // of `outcome`, the line no longer running, the closing message.
    virtual void End(int line, const std::string& text, LineOutcome outcome) = 0;
    // The end of a task that passed without End: the line no longer runs, its controls follow.
    virtual void Finished(int line) = 0;
    // The task passed (whichever way it ended); the link's handshake comes again before reuse.
    virtual void Succeeded(int line) = 0;
};
