#include "ui/headless/headless_runner.h"

#include <algorithm>
#include <chrono>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <vector>

#include "form/control_ids.h"
#include "platform/terminal.h"
#include "platform/trace.h"
#include "form/startup_dialog.h"

CHeadlessRunner::CHeadlessRunner(const plat::Options& options, std::string programFolder)
    : CFrontEnd(options), m_strProgramFolder(std::move(programFolder)), m_bTerminal(plat::IsTerminal(2)) {
    m_nLastProgress.fill(-1);
    m_gui.SetWake([this] {
        {
            std::lock_guard<std::mutex> lock(m_mutex);
            ++m_nWakes;
        }
        m_cv.notify_all();
    });
}

CHeadlessRunner::~CHeadlessRunner() {
    m_gui.Close();
    m_signalThread.Join();
}

void CHeadlessRunner::BlockExitSignals() { plat::BlockExitSignals(); }

std::string CHeadlessRunner::EscapeLine(const std::string& text) {
    std::string t = text;
    while (!t.empty() && (t.back() == '\n' || t.back() == '\r')) t.pop_back();
    std::string out;
    out.reserve(t.size());
    for (char c : t) {
        if (c == '\n') out += "\\n";
        else out += c;
    }
    return out;
}

std::string CHeadlessRunner::ProgressLine(int line, int percent, const std::string& status) {
    constexpr int kBar = 20;
    const int filled = std::clamp(percent, 0, 100) * kBar / 100;
    std::string text = status.substr(0, status.find_first_of("\r\n"));
    return plat::Format("线路%d %3d%% [%s%s] %s", line + 1, percent, std::string(static_cast<size_t>(filled), '#').c_str(),
                        std::string(static_cast<size_t>(kBar - filled), '-').c_str(), text.c_str());
}

void CHeadlessRunner::WriteErr(const std::string& text) {
    std::fwrite(text.data(), 1, text.size(), stderr);
    std::fflush(stderr);
}

void CHeadlessRunner::DrawProgress() {
    if (m_nProgressLine < 0) return;
    const size_t l = static_cast<size_t>(m_nProgressLine);
    m_strProgressShown = ProgressLine(m_nProgressLine, m_nLastProgress[l], m_strStatus[l]);
    WriteErr(kClearLine + m_strProgressShown);
}

void CHeadlessRunner::PrintErr(const std::string& line) {
    std::lock_guard<std::mutex> lock(m_errMutex);
    // On a terminal the progress line stays last: the line goes above it.
    if (m_strProgressShown.empty()) return WriteErr(line + "\n");
    WriteErr(kClearLine + line + "\n" + m_strProgressShown);
}

void CHeadlessRunner::PrintOut(const std::string& text) {
    std::lock_guard<std::mutex> lock(m_outMutex);
    std::unique_lock<std::mutex> errLock(m_errMutex);
    const bool bAround = !m_strProgressShown.empty() && plat::IsTerminal(1);
    if (bAround) WriteErr(kClearLine);
    else errLock.unlock();
    std::fwrite(text.data(), 1, text.size(), stdout);
    std::fflush(stdout);
    if (bAround) WriteErr(m_strProgressShown);
}

void CHeadlessRunner::OnProgress(int line, int percent) {
    std::lock_guard<std::mutex> lock(m_errMutex);
    int& last = m_nLastProgress[static_cast<size_t>(line)];
    if (last == percent) return;
    last = percent;
    if (m_bTerminal) {
        m_nProgressLine = line;
        return DrawProgress();
    }
    WriteErr(plat::Format("PROGRESS: %d %d\n", line, percent));
}

void CHeadlessRunner::OnStatusText(int line, const std::string& text) {
    if (!m_bTerminal) return;
    std::lock_guard<std::mutex> lock(m_errMutex);
    m_strStatus[static_cast<size_t>(line)] = text;
    if (line == m_nProgressLine) DrawProgress();
}

// ---------------------------------------------------------------------------------------------

int CHeadlessRunner::Run(const std::function<void(CServiceToolApp&)>& wire) {
    plat::PrepareConsole();  // the same UTF-8 bytes on every system (no CR LF on Windows)
    m_signalThread.Start([this] {
        while (!plat::StopRequested()) {
            if (const int status = plat::WaitExitSignal(100)) RequestExit(status, true);
        }
    });
    const int status = RunApplication(m_strProgramFolder, wire);
    m_signalThread.Join();
    {
        // The shell's prompt goes below the progress line.
        std::lock_guard<std::mutex> lock(m_errMutex);
        if (!m_strProgressShown.empty()) WriteErr("\n");
        m_strProgressShown.clear();
    }
    return status;
}

void CHeadlessRunner::Trace(const std::string& text) { PrintErr("TRACE: " + EscapeLine(text)); }

void CHeadlessRunner::Open(CServiceToolApp& app) {
    CServiceToolView& view = app.View();
    view.observers.onHistoryAppended = [this](int, const std::string& entry) { PrintOut(entry); };
    view.observers.onPictureSet = [this](int line, int kind) {
        PrintErr(plat::Format("PICTURE: %d %d", line, kind));
    };
    view.observers.onProgressSet = [this](int line, int percent) { OnProgress(line, percent); };
    // The end of the program is the runner's decision on a task's outcome.
    view.observers.onTaskThreadReturned = [this](int, std::optional<LineOutcome> outcome) {
        m_bTaskEnded = true;
        if (outcome) RequestExit(IsPass(*outcome) ? 0 : 1, true);
    };
    // The status texts, for the terminal's progress line.
    m_nStatusListener = app.Form().AddListener([this, &app](const ControlEvent& e) {
        if (e.what == ControlChange::Text && e.id >= ids::STATUS_0 && e.id < ids::STATUS_0 + LINE_COUNT)
            OnStatusText(e.id - ids::STATUS_0, app.Form().GetText(e.id));
    });
}

void CHeadlessRunner::Leave() { m_pApp->Form().RemoveListener(m_nStatusListener); }

int CHeadlessRunner::Loop() {
    if (m_options.giveUpAfter > 0) {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_giveUpAt = plat::TickMs() + static_cast<int64_t>(m_options.giveUpAfter * 1000.0);
    }
    for (;;) {
        bool bWoken = false;
        std::vector<int> due;
        bool bGiveUp = false;
        {
            std::unique_lock<std::mutex> lock(m_mutex);
            for (;;) {
                if (m_bQuit) return ExitStatus();
                // Posted work first, then the timers.
                if (m_nWakes > 0) {
                    --m_nWakes;
                    bWoken = true;
                    break;
                }
                const int64_t now = plat::TickMs();
                int64_t next = INT64_MAX;
                for (auto& [id, t] : m_timers) {
                    if (t.nextAt <= now) {
                        due.push_back(id);
                        t.nextAt = now + t.periodMs;
                    } else {
                        next = std::min(next, t.nextAt);
                    }
                }
                if (m_giveUpAt >= 0) {
                    if (m_giveUpAt <= now) {
                        bGiveUp = true;
                        m_giveUpAt = -1;
                    } else {
                        next = std::min(next, m_giveUpAt);
                    }
                }
                if (!due.empty() || bGiveUp) break;
                if (next == INT64_MAX) m_cv.wait(lock);
                else m_cv.wait_for(lock, std::chrono::milliseconds(next - now));
            }
        }
        if (bWoken) {
            if (auto fn = m_gui.TakeNext()) fn();
        }
        for (int id : due) m_pApp->View().OnTimer(id);
        if (bGiveUp && !m_bTaskEnded) EndThroughClosePath(3, true);
    }
}

void CHeadlessRunner::EndLoop() {
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_bQuit = true;
    }
    m_gui.Close();
}

// ---------------------------------------------------------------------------------------------
// plat::IUiPort

plat::MsgResult CHeadlessRunner::MessageBox(const std::string& text, const std::string&, plat::MsgButtons buttons,
                                            plat::MsgIcon) {
    PrintErr("MESSAGE: " + EscapeLine(text));
    if (buttons == plat::MsgButtons::YesNo) return m_options.bAnswerYes ? plat::MsgResult::Yes : plat::MsgResult::No;
    // A question whose default is No takes Yes only from an explicit --answer yes.
    if (buttons == plat::MsgButtons::YesNoDefaultNo)
        return m_options.bAnswerGiven && m_options.bAnswerYes ? plat::MsgResult::Yes : plat::MsgResult::No;
    return plat::MsgResult::Ok;
}

std::optional<std::string> CHeadlessRunner::ChooseFolder(const std::string&) { return std::nullopt; }

void CHeadlessRunner::PostClose() {
    PostToGui([this] { EndThroughClosePath(0, false); });
}

// ---------------------------------------------------------------------------------------------
// IViewHost

DialogEnd CHeadlessRunner::RunTerminalIpDialog(TerminalIpResult& out) {
    const startup_dialog::DialogResult r = startup_dialog::PressOk(m_options.wifiMax);
    if (r.check != startup_dialog::LimitCheck::Ok) {
        PrintErr("MESSAGE: " + EscapeLine(r.message));
        return DialogEnd::Invalid;
    }
    out.strIp = r.address;
    out.strWifiMaxNum = r.limitText;
    return DialogEnd::Ok;
}

void CHeadlessRunner::SetGuiTimer(int id, int64_t periodMs) {
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        const int64_t period = std::max<int64_t>(periodMs, 1);
        m_timers[id] = Timer{period, plat::TickMs() + period};
    }
    m_cv.notify_all();
}

void CHeadlessRunner::KillGuiTimer(int id) {
    std::lock_guard<std::mutex> lock(m_mutex);
    m_timers.erase(id);
}

void CHeadlessRunner::SetTitle(const std::string&) {}
