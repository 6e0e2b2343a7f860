#pragma once
// The DIAG port switch, the form's "隐藏端口"/"恢复端口" operation: it hides the modem's DIAG
// port (AT+KDIAG=1) or shows it (AT+KDIAG=6) over the line's AT port, and reports through a
// narrow host (the line's state and events in the program, a recording fake in the tests).
// CDiagPortSwitches runs the switches the operator presses, off the GUI thread.
#include <array>
#include <atomic>
#include <cstdint>
#include <deque>
#include <functional>
#include <mutex>
#include <string>

#include "cpelink/link_slots.h"
#include "modem/at_port.h"

class CLineThreads;
class CServiceToolDoc;
class ILineEvents;

constexpr int AT_SWITCH_SETTLE_MS = 4500;  // ToggleDiagPort's pause before the first command

// Texts of the DIAG port switch.
inline constexpr const char AT_TEXT_NO_DATA_PORT[] = "Data端口不能为 0 !";
inline constexpr const char AT_TEXT_CHANNEL_CLOSED[] = "Data端口错误!";
inline constexpr const char AT_TEXT_HIDE_OK[] = "隐藏DIAG口成功!";
inline constexpr const char AT_TEXT_HIDE_FAILED[] = "隐藏DIAG口失败!";
inline constexpr const char AT_TEXT_SHOW_OK[] = "恢复DIAG口成功!";
inline constexpr const char AT_TEXT_SHOW_FAILED[] = "恢复DIAG口失败!";
inline constexpr const char AT_TEXT_NO_PHONE[] = "No Phone";


// What ToggleDiagPort needs of the line. Lines are indexes 0..7. Called on the thread that runs ToggleDiagPort, with no lock of the switch held.
class IDiagPortHost {
public:
    virtual ~IDiagPortHost() = default;
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
    // The switch has ended; the flag as it now stands (the port button's caption follows it).
    virtual void PortSwitched(int line, bool bShown) = 0;
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
//  7. Start button enabled; the switch's end with the flag as it stands.
// The channel stays open: it is the line's working channel.
AtToggleResult ToggleDiagPort(int line, IDiagPortHost& host);
// Button 1147 "恢复全部端口": ToggleDiagPort for lines 0 to 7 in turn.
void ToggleAllDiagPorts(IDiagPortHost& host);

// The host of the program: the line's record, AT port and state, and the line events.
class CLineDiagPortHost : public IDiagPortHost {
public:
    CLineDiagPortHost(CServiceToolDoc& doc, ILineEvents& events) : m_doc(doc), m_events(events) {}
    int DataPort(int line) override;
    AtPort* LineAtPort(int line) override;
    bool DiagPortShown(int line) override;
    void SetDiagPortShown(int line, bool shown) override;
    void ShowLineStatus(int line, const std::string& text) override;
    void SetLineVersionText(int line, const std::string& text) override;
    void EnableStartButton(int line, bool enable) override;
    void PortSwitched(int line, bool bShown) override;

private:
    CServiceToolDoc& m_doc;
    ILineEvents& m_events;
    std::array<std::atomic<bool>, LINE_COUNT> m_bShown{};
};

// Runs the DIAG port switches off the GUI thread, one at a time in the order pressed (a second
// press waits for the first, as it would on a blocked GUI thread), with line 0's watcher paused at
// a safe point until the last one has ended.
class CDiagPortSwitches {
public:
    // `startTask` starts a task thread of a line (false when none can start any more).
    CDiagPortSwitches(CLineThreads& threads, std::function<bool(int line, std::function<void(int)>)> startTask,
                      IDiagPortHost& host)
        : m_threads(threads), m_startTask(std::move(startTask)), m_host(host) {}

    // GUI thread: the switch of `line`, or of every line.
    void Press(int line, bool bAll);

private:
    // A watcher that does not reach a safe point within this time (real ms) is not waited for:
    // the switches pressed meanwhile are dropped.
    static constexpr int64_t kPauseLimitMs = 120000;

    struct Request {
        int line;
        bool bAll;
    };

    void Drain();

    CLineThreads& m_threads;
    std::function<bool(int line, std::function<void(int)>)> m_startTask;
    IDiagPortHost& m_host;
    std::mutex m_mutex;
    std::deque<Request> m_pending;
    bool m_bRunning = false;
};
