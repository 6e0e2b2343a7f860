#include "session/diag_port_switch.h"

#include "model/document.h"
#include "model/line_device.h"
#include "platform/clock.h"
#include "session/line_events.h"
#include "session/line_threads.h"

AtToggleResult ToggleDiagPort(int line, IDiagPortHost& host) {
    if (host.DataPort(line) == 0) {
        host.ShowLineStatus(line, AT_TEXT_NO_DATA_PORT);
        return AtToggleResult::NoDataPort;
    }
    AtPort* port = host.LineAtPort(line);
    if (port == nullptr || !port->IsOpen()) {
        host.ShowLineStatus(line, AT_TEXT_CHANNEL_CLOSED);
        return AtToggleResult::ChannelClosed;
    }

    host.EnableStartButton(line, false);
    // The modem needs a moment before it takes AT commands.
    if (!plat::Sleep(AT_SWITCH_SETTLE_MS)) {
        host.EnableStartButton(line, true);
        return AtToggleResult::Stopped;
    }

    AtToggleResult result;
    const char* message;
    std::string version;
    bool showVersion = true;
    if (host.DiagPortShown(line)) {
        if (port->SetDiagMode(AT_DIAG_MODE_HIDDEN)) {
            result = AtToggleResult::Hidden;
            message = AT_TEXT_HIDE_OK;
            host.SetDiagPortShown(line, false);
        } else {
            result = AtToggleResult::HideFailed;
            message = AT_TEXT_HIDE_FAILED;
            showVersion = false;  // the version field keeps what it shows
        }
    } else if (port->GetDiagMode() == AT_DIAG_MODE_SHOWN || port->SetDiagMode(AT_DIAG_MODE_SHOWN)) {
        result = AtToggleResult::Shown;
        message = AT_TEXT_SHOW_OK;
        host.SetDiagPortShown(line, true);
        if (!port->ReadModemVersion(version)) version = AT_TEXT_NO_PHONE;
    } else {
        result = AtToggleResult::ShowFailed;
        message = AT_TEXT_SHOW_FAILED;
        version = AT_TEXT_NO_PHONE;
    }
    host.ShowLineStatus(line, message);
    if (showVersion) host.SetLineVersionText(line, version);

    host.EnableStartButton(line, true);
    host.PortSwitched(line, host.DiagPortShown(line));
    // The channel stays open: it is the line's working channel, and a bye would end the line.
    return result;
}

void ToggleAllDiagPorts(IDiagPortHost& host) {
    for (int line = 0; line < LINE_COUNT; ++line) ToggleDiagPort(line, host);
}

int CLineDiagPortHost::DataPort(int line) { return m_doc.GetLineInt(line, LineField::PortNumber); }
AtPort* CLineDiagPortHost::LineAtPort(int line) { return &m_doc.Device(line).at; }
bool CLineDiagPortHost::DiagPortShown(int line) { return m_bShown[static_cast<size_t>(line)].load(); }
void CLineDiagPortHost::SetDiagPortShown(int line, bool shown) { m_bShown[static_cast<size_t>(line)] = shown; }
void CLineDiagPortHost::ShowLineStatus(int line, const std::string& text) { m_events.Status(line, text); }
void CLineDiagPortHost::SetLineVersionText(int line, const std::string& text) {
    m_doc.Line(line).SetModemVersion(text);
    m_events.ModemVersionChanged(line);
}
void CLineDiagPortHost::EnableStartButton(int line, bool enable) { m_events.Available(line, enable); }
void CLineDiagPortHost::PortSwitched(int line, bool bShown) { m_events.DiagPortShown(line, bShown); }

void CDiagPortSwitches::Press(int line, bool bAll) {
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_pending.push_back({line, bAll});
        if (m_bRunning) return;
        m_bRunning = true;
    }
    if (!m_startTask(0, [this](int) { Drain(); })) {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_pending.clear();
        m_bRunning = false;
    }
}

void CDiagPortSwitches::Drain() {
    const bool bPaused = m_threads.PauseWatcherAndWait(0, kPauseLimitMs);
    for (;;) {
        Request r{};
        {
            // The watcher is resumed under the lock, so a press from now on starts a new run
            // that pauses it again, and none runs beside a resumed watcher.
            std::lock_guard<std::mutex> lock(m_mutex);
            if (m_pending.empty() || !bPaused || plat::StopRequested()) {
                m_pending.clear();
                m_threads.ResumeWatcher(0);
                m_bRunning = false;
                return;
            }
            r = m_pending.front();
            m_pending.pop_front();
        }
        if (r.bAll) ToggleAllDiagPorts(m_host);
        else ToggleDiagPort(r.line, m_host);
    }
}
