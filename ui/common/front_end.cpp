#include "ui/common/front_end.h"

#include <cstdio>

#include "platform/terminal.h"
#include "platform/trace.h"
#include "ui/common/command_runs.h"

CFrontEnd::CFrontEnd(const plat::Options& options) : m_options(options), m_process(!options.bNoArpFlush) {}

int CFrontEnd::RunApplication(const std::string& programFolder,
                              const std::function<void(CServiceToolApp&)>& wire) {
    plat::SetTraceSink([this](const std::string& text) { Trace(text); });
    const AppConfig config = AppConfigFor(m_options, programFolder);
    int status = 0;
    {
        CServiceToolApp app(*this, *this, m_process, config);
        m_pApp = &app;
        Open(app);
        if (wire) wire(app);
        Wired(app);
        CCommandLineRun commandLine(app, m_options);
        commandLine.BeforeStart();
        const StartOutcome start = app.InitInstance();
        if (start.bRunning) commandLine.Started();
        status = start.bRunning ? Loop() : start.exitCode;
        Leave();
        app.View().Teardown();
        m_gui.Close();
        Closed();
        m_pApp = nullptr;
    }
    plat::SetTraceSink(nullptr);
    return status;
}

void CFrontEnd::Trace(const std::string& text) {
    // One trace per line: the debugger's messages ("Tools Send: ...") carry no line break.
    const std::string line = !text.empty() && text.back() == '\n' ? text : text + "\n";
    std::fputs(line.c_str(), stdout);
}

std::optional<std::string> CFrontEnd::ChooseFile(const plat::FileDialogSpec& dialogRequest) {
    if (auto answer = plat::CommandLineFileAnswer(m_options, dialogRequest)) return answer;
    return AskFile(dialogRequest);
}

void CFrontEnd::PostToGui(std::function<void()> fn) { m_gui.Post(std::move(fn)); }

bool CFrontEnd::IsGuiThread() const { return m_gui.IsGuiThread(); }

void CFrontEnd::StartTimer(int id, int64_t periodMs) {
    if (!IsGuiThread()) return PostToGui([this, id, periodMs] { SetGuiTimer(id, periodMs); });
    SetGuiTimer(id, periodMs);
}

void CFrontEnd::StopTimer(int id) {
    if (!IsGuiThread()) return PostToGui([this, id] { KillGuiTimer(id); });
    KillGuiTimer(id);
}

void CFrontEnd::ExitProcessNow(int code) { plat::ExitNow(code); }

void CFrontEnd::RequestExit(int status, bool force) {
    PostToGui([this, status, force] { EndThroughClosePath(status, force); });
}

void CFrontEnd::LineConcluded(int /*line*/, LineOutcome outcome) { RequestExit(IsPass(outcome) ? 0 : 2, false); }

void CFrontEnd::EndThroughClosePath(int status, bool force) {
    if (!m_pApp) return;
    if (force) m_pApp->View().Teardown();
    else if (!m_pApp->View().OnFrameClose()) return;
    m_nStatus = status;
    EndLoop();
}

void CFrontEnd::BeginTeardown() { m_gui.BeginTeardown(); }
