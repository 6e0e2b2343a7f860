#include "app/wiring.h"

#include <deque>
#include <memory>
#include <mutex>

#include "model/line_device.h"
#include "form/control_ids.h"
#include "session/upgrade_controller.h"
#include "session/diag_port_switch.h"
#include "session/nv_tasks.h"
#include "platform/fs.h"
#include "platform/line_log.h"
#include "web/gateway_web.h"

namespace {

// Everything the wiring makes lives as long as the application's components.
struct Wired {
    plat::LineLog log;
    std::unique_ptr<GatewayWeb> web;
    std::unique_ptr<CUpgradeController> controller;
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

    view.hooks.nvBackupThread = [&doc, &view](int line) { BackupNvThread(doc, view, doc.Device(line).diag, line); };
    view.hooks.nvRestoreThread = [&doc, &view, restoreFrom = app.Config().options.restoreFrom](int line) {
        RestoreNvThread(doc, view, doc.Device(line).diag, line, restoreFrom);
    };
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
