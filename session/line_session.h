#pragma once
// The lines' sessions: one CLineSession per line owns what belongs to that line alone (its
// endpoints, its handshake flag, its running state, the outcome of its last task), starts its
// watcher and tasks on the lines' threads, and does what a task's outcome means for the modem, the
// link and the line. The form reaches the lines through ILineControl only; the watcher and the
// tasks report to their line's session (ILineTaskEvents), which tells the presenter.
#include <array>
#include <atomic>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>

#include "model/line_state.h"
#include "platform/endpoints.h"
#include "platform/process.h"
#include "session/line_events.h"
#include "session/line_threads.h"

class CServiceToolDoc;

constexpr const char* TEXT_LINE_FAILED_CN = "线路%d任务失败，请手动重启相应设备";
constexpr const char* TEXT_LINE_FAILED_EN = "Line%d fail，please reset the modem manually";
constexpr const char* TEXT_CLOSING = "如果再次管理wifi，请关闭工具软件和设备。按照操作说明重新进行升级操作。";

// Where a line's gateway is and how the PC reaches it.
struct LineEndpoints {
    plat::Endpoints net;    // the gateway's address (start-up dialog or --gateway) and ports
    std::string pcAddress;  // the PC's address toward the gateway; empty: the system's choice
    std::string adapter;    // the PC's adapter toward the gateway; empty: the system's choice
};

// The DIAG port buttons: one line's, every line's (button 1147), and start-up step 18's switch,
// which runs at once on the GUI thread.
enum class PortSwitch { Line, AllLines, AtStartUp };

// What the sessions run and act on: the link watcher and the task bodies, the line's modem, its
// channel and the one link server. The wiring supplies it (the upgrade controller, the NV tasks,
// the DIAG port switch); the session tests a fake.
class ILineWork {
public:
    virtual ~ILineWork() = default;
    virtual void WatchLink(int line) = 0;
    // The body of a task thread (Repair and None do nothing).
    virtual void RunTask(int line, TaskType type) = 0;
    virtual bool InDownloadMode(int line) = 0;
    // ResetDownloader when `bDownload`, else ResetPhone.
    virtual void ResetModem(int line, bool bDownload) = 0;
    // Attach of the line's channel to the link server's connection; true when open.
    virtual bool OpenChannel(int line) = 0;
    // CMD_BYE on the line's channel when it is open.
    virtual void CloseChannel(int line) = 0;
    // Stops the link server (nothing when none runs).
    virtual void StopLink() = 0;
    virtual void SwitchPort(int line, PortSwitch kind) = 0;
};

// The form's one way to the lines (GUI thread unless said otherwise).
class ILineControl {
public:
    virtual ~ILineControl() = default;
    // The start-up dialog's gateway address for every line, unless --gateway gave one; written
    // once, before any thread starts.
    virtual void ChooseGateway(const std::string& address) = 0;
    virtual std::string Gateway(int line) const = 0;
    // Starts the line's link watcher: an old one is stopped, the ARP cache flushed.
    virtual void Watch(int line) = 0;
    // Download: pauses the watcher, then (once it acknowledged, on the GUI thread) applies the
    // operation mode `mode` (0..3, else none), checks the image files and starts the line's task.
    // False when a start of the line waits already.
    virtual bool Start(int line, int mode) = 0;
    // The line counts as not running any more (its thread runs on).
    virtual void Stop(int line) = 0;
    // Release: the watcher pauses, then the channel closes; else the watcher resumes and the
    // channel opens again.
    virtual void Release(int line, bool bRelease) = 0;
    virtual void CloseChannel(int line) = 0;
    virtual void SwitchPort(int line, PortSwitch kind) = 0;
    // Any thread.
    virtual bool Running(int line) const = 0;
    // Stops and joins every line thread, then the link server. Runs once.
    virtual void Shutdown() = 0;
};

class CLineSessions;

// One line. Its ILineTaskEvents side is what its watcher and tasks report to (any thread).
class CLineSession : public ILineTaskEvents {
public:
    CLineSession(CLineSessions& lines, int line, LineEndpoints endpoints);

    int Line() const { return m_nLine; }
    const LineEndpoints& Endpoints() const { return m_endpoints; }
    const std::string& Gateway() const { return m_endpoints.net.gateway; }
    // The PC's address and adapter the tool set toward the gateway; written by the line's watcher
    // before its first web request, read by it afterwards.
    void SetPcSide(const std::string& address, const std::string& adapter) {
        m_endpoints.pcAddress = address;
        m_endpoints.adapter = adapter;
    }
    // The web handshake must come (again) before the link is used.
    bool HandshakePending() const { return m_bHandshakePending.load(); }
    void SetHandshakePending(bool bPending) { m_bHandshakePending = bPending; }
    bool Running() const;
    std::optional<LineOutcome> LastOutcome() const;

    // ILineEvents: passed to the presenter.
    void Status(int line, const std::string& text, bool bStamp = true) override;
    void History(int line, const std::string& text) override;
    void Progress(int line, int percent) override;
    void Picture(int line, int kind) override;
    void ModemVersionChanged(int line) override;
    void VersionsChanged(int line) override;
    void Available(int line, bool bAvailable) override;
    void DiagPortShown(int line, bool bShown) override;
    void Ready(int line) override;
    void CountersChanged() override;
    void Message(const std::string& text, bool bTitled = false) override;
    bool AskDefaultNo(const std::string& text) override;
    void ModeChanged(int mode) override;
    void RunningChanged(int line, bool bStartAllowed) override;
    void TaskReturned(int line, std::optional<LineOutcome> outcome) override;
    void Waiting(int line, WaitFor what, int64_t maxMs) override;
    void Concluded(int line, LineOutcome outcome) override;
    // ILineTaskEvents: kept by the session.
    void End(int line, const std::string& text, LineOutcome outcome) override;
    void Finished(int line) override;
    void Succeeded(int line) override;

private:
    friend class CLineSessions;
    // The one writer of the line's running state.
    void SetRunning(bool bRunning);
    void Outcome(std::optional<LineOutcome> outcome);

    CLineSessions& m_lines;
    const int m_nLine;
    LineEndpoints m_endpoints;
    std::atomic<bool> m_bHandshakePending{true};
    std::atomic<int> m_nOutcome{-1};  // a LineOutcome, or -1 for none
    std::atomic<bool> m_bStartPending{false};
};

// The eight sessions over the lines' threads; the form's ILineControl.
class CLineSessions : public ILineControl {
public:
    struct Deps {
        CServiceToolDoc& doc;
        ILineEvents& presenter;
        plat::IProcess& process;  // the ARP flush
        // Runs a function later on the GUI thread (the continuations of a watcher's pause).
        std::function<void(std::function<void()>)> post;
        plat::Endpoints endpoints;  // every line's to start with
    };
    explicit CLineSessions(Deps deps);
    ~CLineSessions() override;  // Shutdown when it has not run
    CLineSessions(const CLineSessions&) = delete;
    CLineSessions& operator=(const CLineSessions&) = delete;

    // Set once by the wiring before any thread starts.
    void SetWork(ILineWork* work) { m_pWork = work; }

    CLineSession& Session(int line) { return *m_sessions[static_cast<size_t>(line)]; }
    const CLineSession& Session(int line) const { return *m_sessions[static_cast<size_t>(line)]; }
    CLineThreads& Threads() { return m_threads; }
    // A task thread of the line; its outcome starts as none and TaskReturned follows its end.
    bool StartThread(int line, std::function<void(int line)> body);

    // ILineControl
    void ChooseGateway(const std::string& address) override;
    std::string Gateway(int line) const override;
    void Watch(int line) override;
    bool Start(int line, int mode) override;
    void Stop(int line) override;
    void Release(int line, bool bRelease) override;
    void CloseChannel(int line) override;
    void SwitchPort(int line, PortSwitch kind) override;
    bool Running(int line) const override;
    void Shutdown() override;

private:
    friend class CLineSession;
    void ContinueStart(int line, int mode);

    Deps m_deps;
    ILineWork* m_pWork = nullptr;
    std::array<std::unique_ptr<CLineSession>, LINE_COUNT> m_sessions;
    std::atomic<bool> m_bShutDown{false};
    CLineThreads m_threads;  // last: its threads use everything above and are joined first
};

// The task a mode's radio gives line 0.
