#include "ui/headless_runner.h"

#include <chrono>
#include <climits>
#include <cstdio>
#include <cstdlib>

#include "console/control_ids.h"
#include "platform/terminal.h"
#include "platform/trace.h"
#include "web/startup_dialog.h"

CHeadlessRunner::CHeadlessRunner(const plat::Options& options, std::string programFolder)
    : m_options(options), m_strProgramFolder(std::move(programFolder)), m_process(!options.bNoArpFlush) {
    m_nLastProgress.fill(-1);
}

CHeadlessRunner::~CHeadlessRunner() { m_signalThread.Join(); }

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

void CHeadlessRunner::PrintErr(const std::string& line) {
    std::lock_guard<std::mutex> lock(m_errMutex);
    const std::string l = line + "\n";
    std::fwrite(l.data(), 1, l.size(), stderr);
    std::fflush(stderr);
}

void CHeadlessRunner::PrintOut(const std::string& text) {
    std::lock_guard<std::mutex> lock(m_outMutex);
    std::fwrite(text.data(), 1, text.size(), stdout);
    std::fflush(stdout);
}

void CHeadlessRunner::OnProgressText(int line, const std::string& text) {
    int percent = 0;
    if (std::sscanf(text.c_str(), "%d/100", &percent) != 1) return;
    std::lock_guard<std::mutex> lock(m_errMutex);
    int& last = m_nLastProgress[static_cast<size_t>(line)];
    if (last == percent) return;
    last = percent;
    const std::string l = plat::Format("PROGRESS: %d %d\n", line, percent);
    std::fwrite(l.data(), 1, l.size(), stderr);
    std::fflush(stderr);
}

// ---------------------------------------------------------------------------------------------

int CHeadlessRunner::Run(const std::function<void(CServiceToolApp&)>& wire) {
    m_guiThread = std::this_thread::get_id();
    plat::PrepareConsole();  // the same UTF-8 bytes on every system (no CR LF on Windows)
    m_signalThread.Start([this] {
        while (!plat::StopRequested()) {
            if (const int status = plat::WaitExitSignal(100)) RequestExit(status, true);
        }
    });
    plat::SetTraceSink([this](const std::string& text) { PrintErr("TRACE: " + EscapeLine(text)); });

    const bool bCommandMode =
        !m_options.exportCsv.empty() || !m_options.exportSdi.empty() || m_options.bClearCounts;
    AppConfig config;
    config.programFolder = m_strProgramFolder;
    config.gatewayOverride = m_options.endpoints.bGatewayOverridden ? m_options.endpoints.gateway : "";
    config.bStartLinkWatch = !bCommandMode;
    config.options = m_options;

    int status = 0;
    {
        CServiceToolApp app(*this, *this, m_process, config);
        m_pApp = &app;
        CServiceToolView& view = app.View();
        view.observers.onHistoryAppended = [this](int, const std::string& entry) { PrintOut(entry); };
        view.observers.onPictureSet = [this](int line, int kind) {
            PrintErr(plat::Format("PICTURE: %d %d", line, kind));
        };
        view.observers.onLineReady = [this](int line) {
            if (line != 0 || !m_options.bPressDownload || m_bDownloadPressed.exchange(true)) return;
            PostToGui([this] {
                ApplyRadios();
                m_pApp->Frame().OnCommand(ids::DOWNLOAD_0);
            });
        };
        view.observers.onTaskThreadReturned = [this](int, TaskOutcome outcome) {
            m_bTaskEnded = true;
            if (outcome == TaskOutcome::Failed) RequestExit(1, true);
            else if (outcome == TaskOutcome::Succeeded) RequestExit(0, true);
        };
        const int token = app.Form().AddListener([this, &app](const ControlEvent& e) {
            if (e.what != ControlChange::Text || e.id < ids::PROGRESS_TEXT_0 ||
                e.id >= ids::PROGRESS_TEXT_0 + LINE_COUNT)
                return;
            OnProgressText(e.id - ids::PROGRESS_TEXT_0, app.Form().GetText(e.id));
        });
        if (wire) wire(app);

        const StartOutcome start = app.InitInstance();
        if (!start.bRunning) {
            status = start.exitCode;
        } else {
            ApplyRadios();
            if (bCommandMode) {
                PostToGui([this] {
                    bool ok = true;
                    CServiceToolView& v = m_pApp->View();
                    if (!m_options.exportCsv.empty()) ok = v.OnExportCsv() && ok;
                    if (!m_options.exportSdi.empty()) ok = v.OnExportSdi() && ok;
                    if (m_options.bClearCounts) ok = v.OnClearCounts() && ok;
                    HandleExit(ok ? 0 : 1, true);
                });
            }
            if (m_options.giveUpAfter > 0) {
                std::lock_guard<std::mutex> lock(m_mutex);
                m_giveUpAt = plat::TickMs() + static_cast<int64_t>(m_options.giveUpAfter * 1000.0);
            }
            status = Loop();
        }
        app.Form().RemoveListener(token);
        view.Teardown();
        m_pApp = nullptr;
    }
    m_signalThread.Join();
    plat::SetTraceSink(nullptr);
    return status;
}

void CHeadlessRunner::ApplyRadios() {
    CServiceToolApp& app = *m_pApp;
    int mode = -1;
    switch (m_options.mode) {
        case plat::RunMode::CpeOnly: mode = 0; break;
        case plat::RunMode::ModemAndCpe: mode = 1; break;
        case plat::RunMode::BackupNv: mode = 2; break;
        case plat::RunMode::RestoreNv: mode = 3; break;
        case plat::RunMode::Default: break;
    }
    if (mode >= 0) app.View().OnModeRadio(ids::MODE_RADIOS[static_cast<size_t>(mode)]);
    if (m_options.nvOption >= 0 && m_options.nvOption < 4) {
        app.Form().CheckRadio(ids::NV_OPTION_RADIOS[static_cast<size_t>(m_options.nvOption)]);
        app.Doc().m_nNvOption = m_options.nvOption;
    }
}

int CHeadlessRunner::Loop() {
    for (;;) {
        std::function<void()> task;
        std::vector<int> due;
        bool bGiveUp = false;
        {
            std::unique_lock<std::mutex> lock(m_mutex);
            for (;;) {
                if (m_bQuit) return m_nStatus;
                if (!m_queue.empty()) {
                    task = std::move(m_queue.front());
                    m_queue.pop_front();
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
        if (task) task();
        for (int id : due) m_pApp->View().OnTimer(id);
        if (bGiveUp && !m_bTaskEnded) HandleExit(3, true);
    }
}

void CHeadlessRunner::HandleExit(int status, bool force) {
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        if (m_bQuit) return;
    }
    if (force) m_pApp->View().Teardown();
    else if (!m_pApp->Frame().OnClose()) return;
    std::lock_guard<std::mutex> lock(m_mutex);
    m_bQuit = true;
    m_nStatus = status;
    m_queue.clear();
}

// ---------------------------------------------------------------------------------------------
// plat::IUiPort

plat::MsgResult CHeadlessRunner::MessageBox(const std::string& text, const std::string&, plat::MsgButtons buttons,
                                            plat::MsgIcon) {
    PrintErr("MESSAGE: " + EscapeLine(text));
    if (buttons == plat::MsgButtons::YesNo) return m_options.bAnswerYes ? plat::MsgResult::Yes : plat::MsgResult::No;
    return plat::MsgResult::Ok;
}

std::optional<std::string> CHeadlessRunner::ChooseFile(const plat::FileDialogSpec& dialogRequest) {
    // Only the export commands of the command line choose a file: their save dialogs get the
    // path; anything else is cancelled.
    if (dialogRequest.bOpen) return std::nullopt;
    if (!m_options.exportCsv.empty() && dialogRequest.filter.find("csv") != std::string::npos) return m_options.exportCsv;
    if (!m_options.exportSdi.empty() && dialogRequest.filter.find("sdi") != std::string::npos) return m_options.exportSdi;
    return std::nullopt;
}

std::optional<std::string> CHeadlessRunner::ChooseFolder(const std::string&) { return std::nullopt; }

void CHeadlessRunner::PostClose() {
    PostToGui([this] { HandleExit(0, false); });
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

void CHeadlessRunner::PostToGui(std::function<void()> fn) {
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        if (m_bQuit) return;
        m_queue.push_back(std::move(fn));
    }
    m_cv.notify_all();
}

bool CHeadlessRunner::IsGuiThread() const { return std::this_thread::get_id() == m_guiThread; }

void CHeadlessRunner::StartTimer(int id, int64_t periodMs) {
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        const int64_t period = std::max<int64_t>(periodMs, 1);
        m_timers[id] = Timer{period, plat::TickMs() + period};
    }
    m_cv.notify_all();
}

void CHeadlessRunner::StopTimer(int id) {
    std::lock_guard<std::mutex> lock(m_mutex);
    m_timers.erase(id);
}

void CHeadlessRunner::SetTitle(const std::string&) {}

void CHeadlessRunner::ExitProcessNow(int code) {
    std::fflush(nullptr);
    std::_Exit(code);
}

void CHeadlessRunner::RequestExit(int status, bool force) {
    PostToGui([this, status, force] { HandleExit(status, force); });
}
