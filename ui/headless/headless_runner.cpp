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

namespace {

// Columns a code point takes on a terminal: two for the wide East Asian ranges (the Chinese texts
// and their full-width punctuation), none for combining marks, one otherwise.
int Columns(char32_t c) {
    if ((c >= 0x0300 && c <= 0x036F) || (c >= 0x200B && c <= 0x200F) || (c >= 0xFE00 && c <= 0xFE0F)) return 0;
    if ((c >= 0x1100 && c <= 0x115F) || (c >= 0x2E80 && c <= 0x303E) || (c >= 0x3041 && c <= 0x33FF) ||
        (c >= 0x3400 && c <= 0x4DBF) || (c >= 0x4E00 && c <= 0x9FFF) || (c >= 0xA000 && c <= 0xA4CF) ||
        (c >= 0xAC00 && c <= 0xD7A3) || (c >= 0xF900 && c <= 0xFAFF) || (c >= 0xFE30 && c <= 0xFE4F) ||
        (c >= 0xFF00 && c <= 0xFF60) || (c >= 0xFFE0 && c <= 0xFFE6) || (c >= 0x20000 && c <= 0x3FFFD))
        return 2;
    return 1;
}

// The longest head of a UTF-8 text that takes at most `width` columns (whole characters only).
std::string FitColumns(const std::string& text, int width) {
    int used = 0;
    size_t i = 0;
    while (i < text.size()) {
        const unsigned char b = static_cast<unsigned char>(text[i]);
        const size_t n = b < 0x80 ? 1 : (b >> 5) == 0x6 ? 2 : (b >> 4) == 0xE ? 3 : (b >> 3) == 0x1E ? 4 : 1;
        char32_t c = n == 1 ? b : (b & (0x7F >> n));
        for (size_t k = 1; k < n && i + k < text.size(); ++k) c = (c << 6) | (static_cast<unsigned char>(text[i + k]) & 0x3F);
        const int w = Columns(c);
        if (used + w > width) break;
        used += w;
        i = std::min(text.size(), i + n);
    }
    return text.substr(0, i);
}

}  // namespace

std::string CHeadlessRunner::ProgressLine(int line, int percent, const std::string& status, int columns,
                                          const std::string& timeLine) {
    // "线路1 100% [" takes 12 columns, "] " 2; the bar gives way first, to at least 5, then the text.
    constexpr int kFixed = 14;
    const int room = columns > 0 ? columns - 1 : INT_MAX;  // the last column left free: no wrap
    const int bar = std::clamp(room - kFixed - 4, 5, 20);
    const int filled = std::clamp(percent, 0, 100) * bar / 100;
    const std::string text =
        (timeLine.empty() ? std::string() : timeLine + " | ") + status.substr(0, status.find_first_of("\r\n"));
    const std::string head =
        plat::Format("线路%d %3d%% [%s%s] ", line + 1, percent, std::string(static_cast<size_t>(filled), '#').c_str(),
                     std::string(static_cast<size_t>(bar - filled), '-').c_str());
    if (room == INT_MAX) return head + text;
    return FitColumns(head + text, room);
}

void CHeadlessRunner::WriteErr(const std::string& text) {
    std::fwrite(text.data(), 1, text.size(), stderr);
    std::fflush(stderr);
}

void CHeadlessRunner::DrawProgress() {
    if (m_nProgressLine < 0) return;
    const size_t l = static_cast<size_t>(m_nProgressLine);
    m_nColumns = plat::TerminalColumns(2);
    m_strProgressShown = ProgressLine(m_nProgressLine, m_nLastProgress[l], m_strStatus[l], m_nColumns, m_strTimeLine);
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

void CHeadlessRunner::RedrawOnResize() {
    std::lock_guard<std::mutex> lock(m_errMutex);
    if (!m_strProgressShown.empty() && plat::TerminalColumns(2) != m_nColumns) DrawProgress();
}

void CHeadlessRunner::OnStatusText(int line, const std::string& text) {
    if (!m_bTerminal) return;
    std::lock_guard<std::mutex> lock(m_errMutex);
    m_strStatus[static_cast<size_t>(line)] = text;
    if (line == m_nProgressLine) DrawProgress();
}

void CHeadlessRunner::OnTimeLine(const std::string& text) {
    if (!m_bTerminal) return;
    std::lock_guard<std::mutex> lock(m_errMutex);
    m_strTimeLine = text;
    if (!m_strProgressShown.empty()) DrawProgress();
}

// ---------------------------------------------------------------------------------------------

int CHeadlessRunner::Run(const std::function<void(CServiceToolApp&)>& wire) {
    plat::PrepareConsole();  // the same UTF-8 bytes on every system (no CR LF on Windows)
    m_signalThread.Start([this] {
        while (!plat::StopRequested()) {
            if (const int status = plat::WaitExitSignal(100)) RequestExit(status, true);
            if (m_bTerminal) RedrawOnResize();
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

std::string CHeadlessRunner::SessionHoldText() {
    std::lock_guard<std::mutex> lock(m_appMutex);
    if (!m_pOpenApp) return {};
    CServiceToolView& view = m_pOpenApp->View();
    return !view.IsTornDown() && view.Commands().LineZeroRunning() ? view.Commands().RunningText() : std::string();
}

void CHeadlessRunner::Open(CServiceToolApp& app) {
    {
        std::lock_guard<std::mutex> lock(m_appMutex);
        m_pOpenApp = &app;
    }
    CServiceToolView& view = app.View();
    view.Presenter().observers.onHistoryAppended = [this](int, const std::string& entry) { PrintOut(entry); };
    // A command run (an export, Clear, the diagnosis) prints its messages only: no line is at work.
    if (!plat::IsCommandRun(m_options)) {
        view.Presenter().observers.onPictureSet = [this](int line, int kind) {
            PrintErr(plat::Format("PICTURE: %d %d", line, kind));
        };
        view.Presenter().observers.onProgressSet = [this](int line, int percent) { OnProgress(line, percent); };
    }
    // The end of the program is the runner's decision on a task's outcome.
    view.Presenter().observers.onTaskThreadReturned = [this](int, std::optional<LineOutcome> outcome) {
        m_bTaskEnded = true;
        if (outcome) RequestExit(IsPass(*outcome) ? 0 : 1, true);
    };
    // The status texts, for the terminal's progress line.
    m_nStatusListener = app.Form().AddListener([this, &app](const ControlEvent& e) {
        if (e.what == ControlChange::Text && e.id >= ids::STATUS_0 && e.id < ids::STATUS_0 + LINE_COUNT)
            OnStatusText(e.id - ids::STATUS_0, app.Form().GetText(e.id));
        else if (e.what == ControlChange::Text && e.id == ids::TIME_LINE)
            OnTimeLine(app.Form().GetText(e.id));
    });
}

void CHeadlessRunner::Leave() {
    {
        std::lock_guard<std::mutex> lock(m_appMutex);
        m_pOpenApp = nullptr;
    }
    m_pApp->Form().RemoveListener(m_nStatusListener);
}

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
