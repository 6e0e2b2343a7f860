#include "session/line_session.h"

#include "cpelink/icmp_library.h"
#include "model/document.h"
#include "model/version_source.h"
#include "platform/fs.h"
#include "platform/trace.h"

// ---------------------------------------------------------------------------------------------
// One line

CLineSession::CLineSession(CLineSessions& lines, int line, LineEndpoints endpoints)
    : m_lines(lines), m_nLine(line), m_endpoints(std::move(endpoints)) {}

bool CLineSession::Running() const { return m_lines.m_deps.doc.Line(m_nLine).bRunning.load() != 0; }

void CLineSession::SetRunning(bool bRunning) { m_lines.m_deps.doc.Line(m_nLine).bRunning = bRunning ? 1 : 0; }

std::optional<LineOutcome> CLineSession::LastOutcome() const {
    const int n = m_nOutcome.load();
    if (n < 0) return std::nullopt;
    return static_cast<LineOutcome>(n);
}

void CLineSession::Outcome(std::optional<LineOutcome> outcome) { m_nOutcome = outcome ? static_cast<int>(*outcome) : -1; }

void CLineSession::Status(int line, const std::string& text, bool bStamp) { m_lines.m_deps.presenter.Status(line, text, bStamp); }
void CLineSession::History(int line, const std::string& text) { m_lines.m_deps.presenter.History(line, text); }
void CLineSession::Progress(int line, int percent) { m_lines.m_deps.presenter.Progress(line, percent); }
void CLineSession::Picture(int line, int kind) { m_lines.m_deps.presenter.Picture(line, kind); }
void CLineSession::ModemVersionChanged(int line) { m_lines.m_deps.presenter.ModemVersionChanged(line); }
void CLineSession::VersionsChanged(int line) { m_lines.m_deps.presenter.VersionsChanged(line); }
void CLineSession::Available(int line, bool bAvailable) { m_lines.m_deps.presenter.Available(line, bAvailable); }
void CLineSession::DiagPortShown(int line, bool bShown) { m_lines.m_deps.presenter.DiagPortShown(line, bShown); }
void CLineSession::Ready(int line) { m_lines.m_deps.presenter.Ready(line); }
void CLineSession::CountersChanged() { m_lines.m_deps.presenter.CountersChanged(); }
void CLineSession::Message(const std::string& text, bool bTitled) { m_lines.m_deps.presenter.Message(text, bTitled); }
bool CLineSession::AskDefaultNo(const std::string& text) { return m_lines.m_deps.presenter.AskDefaultNo(text); }
void CLineSession::ModeChanged(int mode) { m_lines.m_deps.presenter.ModeChanged(mode); }
void CLineSession::RunningChanged(int line, bool bStartAllowed) { m_lines.m_deps.presenter.RunningChanged(line, bStartAllowed); }
void CLineSession::TaskReturned(int line, std::optional<LineOutcome> outcome) {
    m_lines.m_deps.presenter.TaskReturned(line, outcome);
}
void CLineSession::Waiting(int line, WaitFor what, int64_t maxMs) {
    m_lines.m_deps.presenter.Waiting(line, what, maxMs);
}
void CLineSession::Concluded(int line, LineOutcome outcome) { m_lines.m_deps.presenter.Concluded(line, outcome); }

void CLineSession::End(int line, const std::string& text, LineOutcome outcome) {
    if (line != m_nLine) return;
    ILineEvents& ev = m_lines.m_deps.presenter;
    CServiceToolDoc& doc = m_lines.m_deps.doc;
    ILineWork* work = m_lines.m_pWork;
    Outcome(outcome);
    // A closing failure leaves the gateway in a state only a new web handshake recovers from.
    if (outcome == LineOutcome::FailedClosing) m_bHandshakePending = true;
    ev.Status(line, text, true);
    // The current mode is chosen again, as its radio would.
    const int mode = doc.m_nMode.load();
    if (mode >= 0 && mode < 4) {
        doc.ChooseMode(mode);
        ev.ModeChanged(mode);
    }
    ev.Status(line, text, true);

    const bool bDownload = work != nullptr && work->InDownloadMode(line);
    auto resetModem = [&] {
        if (work) work->ResetModem(line, bDownload);
    };
    auto stopLink = [&] {
        m_bHandshakePending = true;
        if (work) work->StopLink();
    };
    switch (outcome) {
        case LineOutcome::Passed:
            ev.Picture(line, PIC_PASS);
            resetModem();
            break;
        case LineOutcome::PassedAsIs: ev.Picture(line, PIC_PASS); break;
        case LineOutcome::FailedResetModem:
            ev.Picture(line, PIC_FAIL);
            resetModem();
            break;
        case LineOutcome::FailedStopLink:
            stopLink();
            ev.Picture(line, PIC_FAIL);
            break;
        case LineOutcome::FailedResetStopLink:
            // The reset goes out on the line's connection, which the server's stop closes: it
            // is sent first, or it would never reach the modem.
            resetModem();
            stopLink();
            ev.Picture(line, PIC_FAIL);
            break;
        case LineOutcome::FailedClosing:
            ev.Picture(line, PIC_FAIL);
            if (bDownload)
                ev.Message(plat::Format(doc.English() ? TEXT_LINE_FAILED_EN : TEXT_LINE_FAILED_CN, line + 1));
            break;
    }
    SetRunning(false);
    ev.Progress(line, 0);
    ev.Message(TEXT_CLOSING, true);
}

void CLineSession::Finished(int line) {
    if (line != m_nLine) return;
    SetRunning(false);
    m_lines.m_deps.presenter.RunningChanged(line, false);
}

void CLineSession::Succeeded(int line) {
    if (line != m_nLine) return;
    SetRunning(false);
    m_bHandshakePending = true;
    Outcome(LineOutcome::PassedAsIs);
}

// ---------------------------------------------------------------------------------------------
// The eight lines

CLineSessions::CLineSessions(Deps deps) : m_deps(std::move(deps)), m_threads(m_deps.post) {
    for (int line = 0; line < LINE_COUNT; ++line)
        m_sessions[static_cast<size_t>(line)] = std::make_unique<CLineSession>(*this, line, LineEndpoints{m_deps.endpoints, {}, {}});
    m_threads.onResume = [this](int line) { Session(line).m_bStartPending = false; };
}

CLineSessions::~CLineSessions() { Shutdown(); }

bool CLineSessions::StartThread(int line, std::function<void(int line)> body) {
    if (!ValidLine(line) || !body) return false;
    CLineSession& session = Session(line);
    session.Outcome(std::nullopt);
    return m_threads.StartTask(line, [&session, body = std::move(body)](int l) {
        body(l);
        session.TaskReturned(l, session.LastOutcome());
    });
}

void CLineSessions::ChooseGateway(const std::string& address) {
    for (auto& session : m_sessions)
        if (!session->m_endpoints.net.bGatewayOverridden) session->m_endpoints.net.gateway = address;
}

std::string CLineSessions::Gateway(int line) const { return ValidLine(line) ? Session(line).Gateway() : std::string(); }

void CLineSessions::Watch(int line) {
    if (!ValidLine(line) || !m_pWork || m_bShutDown) return;
    FlushArpCache(m_deps.process, Session(line).Gateway());
    m_threads.StartWatcher(line, [this](int l) { m_pWork->WatchLink(l); });
}

bool CLineSessions::Start(int line, int mode) {
    if (!ValidLine(line) || m_bShutDown) return false;
    // A start that waits for its watcher's pause takes no second press.
    if (Session(line).m_bStartPending.exchange(true)) return false;
    m_threads.PauseWatcher(line, [this, line, mode] {
        Session(line).m_bStartPending = false;
        ContinueStart(line, mode);
    });
    return true;
}

void CLineSessions::ContinueStart(int line, int mode) {
    CServiceToolDoc& doc = m_deps.doc;
    ILineEvents& ev = m_deps.presenter;
    CLineSession& session = Session(line);
    // The mode table, then the mode back to 0.
    if (mode >= 0 && mode < 4) doc.ChooseMode(mode);
    doc.m_nMode = 0;
    // An upgrade sends only the images the program carries: refused when one was not written.
    if (doc.Line(line).nTaskType.load() == TaskType::CpeUpgrade) {
        const std::string refusal = version_source::DownloadRefusal(doc, line);
        if (!refusal.empty()) {
            ev.Message(refusal);
            return;
        }
    }
    // Both image files must be there.
    if (!plat::PathExists(doc.GetLinePath(line, LineField::RootImage)) ||
        !plat::PathExists(doc.GetLinePath(line, LineField::BootImage))) {
        ev.Message(version_source::TEXT_VERSION_PATH_ERROR);
        return;
    }
    if (!Running(0)) ev.RunningChanged(0, false);
    session.SetRunning(true);
    ev.RunningChanged(line, false);
    ev.Picture(line, PIC_RUNNING);
    ev.Progress(line, 0);
    // The task thread of the line's task type (Repair's ends at once).
    const TaskType type = doc.Line(line).nTaskType.load();
    if (type != TaskType::None && m_pWork) {
        ILineWork* work = m_pWork;
        StartThread(line, [work, type](int l) { work->RunTask(l, type); });
    }
    // Line 0's Download comes back for the start of another line; for line 0 itself it would
    // come back on a task that failed within these 100 ms.
    if (line != 0) {
        plat::Sleep(100);
        if (!Running(0)) ev.RunningChanged(0, true);
    }
}

void CLineSessions::Stop(int line) {
    if (ValidLine(line)) Session(line).SetRunning(false);
}

void CLineSessions::Release(int line, bool bRelease) {
    if (!ValidLine(line)) return;
    if (!bRelease) {
        m_threads.ResumeWatcher(line);
        if (m_pWork) m_pWork->OpenChannel(line);
        return;
    }
    // The channel is closed once the watcher stands at a safe point.
    m_threads.PauseWatcher(line, [this, line] {
        if (m_pWork) m_pWork->CloseChannel(line);
    });
}

void CLineSessions::CloseChannel(int line) {
    if (ValidLine(line) && m_pWork) m_pWork->CloseChannel(line);
}

void CLineSessions::SwitchPort(int line, PortSwitch kind) {
    if (ValidLine(line) && m_pWork) m_pWork->SwitchPort(line, kind);
}

bool CLineSessions::Running(int line) const { return ValidLine(line) && Session(line).Running(); }

void CLineSessions::Shutdown() {
    if (m_bShutDown.exchange(true)) return;
    m_threads.Shutdown();
    if (m_pWork) m_pWork->StopLink();
}
