#include "app/wiring.h"

#include <deque>
#include <memory>
#include <mutex>

#include "model/line_device.h"
#include "form/control_ids.h"
#include "session/upgrade_controller.h"
#include "session/diag_port_switch.h"
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

// Everything the wiring makes lives as long as the application's components.
struct Wired {
    plat::LineLog log;
    std::unique_ptr<GatewayWeb> web;
    std::unique_ptr<CUpgradeController> controller;
    std::unique_ptr<ViewNvHost> nvHost;
    std::unique_ptr<CLineDiagPortHost> atHost;
    std::unique_ptr<CDiagPortSwitches> portSwitches;
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

    wired->atHost = std::make_unique<CLineDiagPortHost>(doc, view);
    CLineDiagPortHost& atHost = *wired->atHost;
    wired->portSwitches = std::make_unique<CDiagPortSwitches>(
        view.Threads(), [&view](int line, std::function<void(int)> body) { return view.StartTask(line, std::move(body)); },
        atHost);
    CDiagPortSwitches& portSwitches = *wired->portSwitches;
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
