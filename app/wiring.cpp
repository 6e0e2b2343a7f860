#include "app/wiring.h"

#include <deque>
#include <memory>
#include <mutex>

#include "model/line_device.h"
#include "form/control_ids.h"
#include "session/upgrade_controller.h"
#include "modem/at_port.h"
#include "modem/nv_backup.h"
#include "platform/fs.h"
#include "platform/line_log.h"
#include "web/gateway_web.h"

namespace {

// The NV threads report through the view.
class ViewNvHost : public INvHost {
public:
    ViewNvHost(CServiceToolView& view, std::string restoreFrom) : m_view(view), m_strRestoreFrom(std::move(restoreFrom)) {}
    void ShowLineStatus(int line, const std::string& text) override { m_view.ShowLineStatus(line, text); }
    void SetLineProgress(int line, int percent) override { m_view.SetLineProgress(line, percent); }
    void SetLinePicture(int line, int kind) override { m_view.SetLinePicture(line, kind); }
    void ShowLineVersions(int line) override { m_view.ShowLineVersions(line); }
    void EndTask(int line, const std::string& text, int code) override { m_view.EndTask(line, text, static_cast<LineOutcome>(code)); }
    void MessageBox(const std::string& text) override { m_view.Ui().MessageBox(text); }
    bool AskDefaultNo(const std::string& text) override {
        return m_view.Ui().MessageBox(text, {}, plat::MsgButtons::YesNoDefaultNo, plat::MsgIcon::Question) ==
               plat::MsgResult::Yes;
    }
    void AppendHistory(int line, const std::string& text) override { m_view.AppendHistory(line, text); }
    std::string CpeVersion(int line) override { return m_view.Doc().Line(line).CpeVersion(); }
    void SetModemVersion(int line, const std::string& text) override { m_view.Doc().Line(line).SetModemVersion(text); }
    int TaskType(int line) override { return m_view.Doc().Line(line).nTaskType.load(); }
    int Mode() override { return m_view.Doc().m_nMode.load(); }
    int NvOption() override { return m_view.Doc().m_nNvOption.load(); }
    bool DumpFlag() override { return m_view.Doc().m_bDumpNv.load(); }
    bool IsEnglish() override { return m_view.English(); }
    std::string VersionFolder(int line) override {
        return m_view.Doc().GetLinePath(line, LineField::VersionFolder);
    }
    std::string RestoreFromFolder() override { return m_strRestoreFrom; }
    void ReselectModeRadio(int mode) override {
        if (mode >= 0 && mode < 4) m_view.OnModeRadio(ids::MODE_RADIOS[static_cast<size_t>(mode)]);
    }
    void FinishSuccess(int line) override {
        m_view.Doc().Line(line).bRunning = 0;
        m_view.UpdateLineControls(line, false);
        m_view.ReportTaskSuccess(line);
    }
    void SetHandshakePending() override { m_view.Doc().m_bHandshakePending = 1; }
    void ExitProcess(int code) override { m_view.Host().ExitProcessNow(code); }

private:
    CServiceToolView& m_view;
    std::string m_strRestoreFrom;  // --restore-from
};

// The DIAG port switch works on the form through the view.
class ViewAtHost : public IAtHost {
public:
    explicit ViewAtHost(CServiceToolView& view) : m_view(view) {}
    int DataPort(int line) override { return m_view.Doc().GetLineInt(line, LineField::PortNumber); }
    AtPort* LineAtPort(int line) override { return &m_view.Doc().Device(line).at; }
    bool DiagPortShown(int line) override { return m_bShown[static_cast<size_t>(line)].load(); }
    void SetDiagPortShown(int line, bool shown) override { m_bShown[static_cast<size_t>(line)] = shown; }
    void ShowLineStatus(int line, const std::string& text) override { m_view.ShowLineStatus(line, text); }
    void SetLineVersionText(int line, const std::string& text) override {
        m_view.Doc().Line(line).SetModemVersion(text);
        m_view.ShowModemVersion(line);
    }
    void EnableStartButton(int line, bool enable) override { m_view.Form().Enable(ids::DOWNLOAD_0 + line, enable); }
    void SetPortButtonCaption(int line, const std::string& caption) override {
        m_view.Form().SetText(ids::RESTORE_PORT[static_cast<size_t>(line)], caption);
    }

private:
    CServiceToolView& m_view;
    std::array<std::atomic<bool>, LINE_COUNT> m_bShown{};
};

// Runs the DIAG port switches off the GUI thread, one at a time in the order pressed (a second
// press waits for the first, as it would on a blocked GUI thread), with line 0's
// watcher paused at a safe point until the last one has ended.
class DiagPortSwitches {
public:
    DiagPortSwitches(CServiceToolView& view, ViewAtHost& host) : m_view(view), m_host(host) {}

    // GUI thread: the switch of `line`, or of every line.
    void Press(int line, bool bAll) {
        {
            std::lock_guard<std::mutex> lock(m_mutex);
            m_pending.push_back({line, bAll});
            if (m_bRunning) return;
            m_bRunning = true;
        }
        if (!m_view.StartTask(0, [this](int) { Drain(); })) {
            std::lock_guard<std::mutex> lock(m_mutex);
            m_pending.clear();
            m_bRunning = false;
        }
    }

private:
    // A watcher that does not reach a safe point within this time (real ms) is not waited for:
    // the switches pressed meanwhile are dropped.
    static constexpr int64_t kPauseLimitMs = 120000;

    struct Request {
        int line;
        bool bAll;
    };

    void Drain() {
        const bool bPaused = m_view.Threads().PauseWatcherAndWait(0, kPauseLimitMs);
        for (;;) {
            Request r{};
            {
                // The watcher is resumed under the lock, so a press from now on starts a new run
                // that pauses it again, and none runs beside a resumed watcher.
                std::lock_guard<std::mutex> lock(m_mutex);
                if (m_pending.empty() || !bPaused || plat::StopRequested()) {
                    m_pending.clear();
                    m_view.Threads().ResumeWatcher(0);
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

    CServiceToolView& m_view;
    ViewAtHost& m_host;
    std::mutex m_mutex;
    std::deque<Request> m_pending;
    bool m_bRunning = false;
};

// Everything the wiring makes lives as long as the application's components.
struct Wired {
    plat::LineLog log;
    std::unique_ptr<GatewayWeb> web;
    std::unique_ptr<CUpgradeController> controller;
    std::unique_ptr<ViewNvHost> nvHost;
    std::unique_ptr<ViewAtHost> atHost;
    std::unique_ptr<DiagPortSwitches> portSwitches;
    explicit Wired(std::string logs) : log(std::move(logs)) {}
    ~Wired() {
        if (controller) controller->StopLinkServer();
    }
};

}  // namespace

void WireApplication(CServiceToolApp& app) {
    CServiceToolView& view = app.View();
    CServiceToolDoc& doc = app.Doc();
    const plat::Endpoints& endpoints = app.Config().options.endpoints;

    auto wired = std::make_shared<Wired>(plat::JoinPath(plat::CurrentFolder(), "Logs"));
    wired->web = std::make_unique<GatewayWeb>(
        endpoints, app.Process(), [&view](const std::string& text) { view.ShowLineStatus(0, text, false); },
        app.Ui(), doc.Device(0).channel.Direct());
    wired->controller = std::make_unique<CUpgradeController>(CUpgradeController::Deps{
        doc, view, view.Threads(), view.Counts(), *wired->web, endpoints, app.Process(), wired->log});
    CUpgradeController& controller = *wired->controller;
    view.hooks.linkWatchThread = [&controller](int line) { controller.LinkWatchThread(line); };
    view.hooks.cpeUpgradeThread = [&controller](int line) { controller.CpeUpgradeThread(line); };
    view.hooks.openChannel = [&controller](int line, int, int) { return controller.OpenChannel(line); };
    view.hooks.closeChannel = [&controller](int line) { controller.CloseChannel(line); };
    view.hooks.stopLinkServer = [&controller] { controller.StopLinkServer(); };

    wired->nvHost = std::make_unique<ViewNvHost>(view, app.Config().options.restoreFrom);
    ViewNvHost& nvHost = *wired->nvHost;
    view.hooks.nvBackupThread = [&doc, &nvHost](int line) { BackupNvThread(nvHost, doc.Device(line).diag, line); };
    view.hooks.nvRestoreThread = [&doc, &nvHost](int line) { RestoreNvThread(nvHost, doc.Device(line).diag, line); };
    view.hooks.isDownloadMode = [&doc](int line) { return doc.Device(line).diag.Mode() == DiagClient::ModeDownload; };
    view.hooks.resetModem = [&doc](int line, bool bDownload) {
        DiagClient& diag = doc.Device(line).diag;
        if (bDownload) diag.ResetDownloader();
        else diag.ResetPhone();
    };

    wired->atHost = std::make_unique<ViewAtHost>(view);
    ViewAtHost& atHost = *wired->atHost;
    wired->portSwitches = std::make_unique<DiagPortSwitches>(view, atHost);
    DiagPortSwitches& portSwitches = *wired->portSwitches;
    // Start-up step 18 runs on the GUI thread before the watcher exists: the line's channel is not
    // open yet, so the switch answers "Data端口错误!" at once.
    view.hooks.diagPortOperation = [&atHost](int line) { ToggleDiagPort(line, atHost); };
    view.hooks.modemCommand = [&portSwitches](int id) {
        if (id == ids::RESTORE_ALL_PORTS) return portSwitches.Press(0, true);
        for (int line = 0; line < LINE_COUNT; ++line)
            if (ids::RESTORE_PORT[static_cast<size_t>(line)] == id) return portSwitches.Press(line, false);
    };
    view.hooks.teardown = [&controller] { controller.StopLinkServer(); };
    app.Own(wired);
}
