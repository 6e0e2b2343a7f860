#include "app/wiring.h"

#include <memory>

#include "model/line_device.h"
#include "session/diag_port_switch.h"
#include "session/line_session.h"
#include "session/nv_tasks.h"
#include "session/pc_address.h"
#include "session/run_log.h"
#include "session/link_tasks.h"
#include "platform/fs.h"
#include "platform/line_log.h"
#include "web/gateway_web.h"

namespace {

// Everything the wiring makes lives as long as the application's components. It is the lines'
// work: the watcher and task bodies, the modem's reset, the channel and the link server.
struct Wired final : ILineWork {
    CServiceToolDoc& doc;
    std::string restoreFrom;
    plat::LineLog log;
    std::unique_ptr<CRunRecorder> recorder;  // between the sessions and the presenter
    std::unique_ptr<CLineSessions> lines;
    std::unique_ptr<GatewayWeb> web;
    std::unique_ptr<CLinkTasks> linkTasks;
    std::unique_ptr<CLineDiagPortHost> atHost;
    std::unique_ptr<CDiagPortSwitches> portSwitches;
    std::unique_ptr<pc_address::CPcAddress> pcAddress;

    Wired(CServiceToolDoc& d, std::string restore, std::string logs)
        : doc(d), restoreFrom(std::move(restore)), log(std::move(logs)) {}
    ~Wired() override {
        // The threads go first (they use everything below), then the link server.
        if (lines) lines->Shutdown();
        if (linkTasks) linkTasks->StopLinkServer();
        // Then the address the tool set: given back at every orderly end.
        if (pcAddress) pcAddress->Release();
    }

    void WatchLink(int line) override { linkTasks->LinkWatchThread(line); }
    void RunTask(int line, TaskType type) override {
        CLineSession& events = lines->Session(line);
        switch (type) {
            case TaskType::CpeUpgrade: return linkTasks->CpeUpgradeThread(line);
            case TaskType::NvBackup: return BackupNvThread(doc, events, doc.Device(line).diag, line);
            case TaskType::NvRestore: return RestoreNvThread(doc, events, doc.Device(line).diag, line, restoreFrom);
            case TaskType::Repair:
            case TaskType::None: return;
        }
    }
    bool InDownloadMode(int line) override { return doc.Device(line).diag.Mode() == DiagClient::ModeDownload; }
    void ResetModem(int line, bool bDownload) override {
        DiagClient& diag = doc.Device(line).diag;
        if (bDownload) diag.ResetDownloader();
        else diag.ResetPhone();
    }
    bool OpenChannel(int line) override { return linkTasks->OpenChannel(line); }
    void CloseChannel(int line) override { linkTasks->CloseChannel(line); }
    void StopLink() override { linkTasks->StopLinkServer(); }
    void SwitchPort(int line, PortSwitch kind) override {
        switch (kind) {
            // Start-up step 18 runs on the GUI thread before the watcher exists: the line's channel
            // is not open yet, so the switch answers "Data端口错误!" at once.
            case PortSwitch::AtStartUp: ToggleDiagPort(line, *atHost); return;
            case PortSwitch::AllLines: return portSwitches->Press(0, true);
            case PortSwitch::Line: return portSwitches->Press(line, false);
        }
    }
};

}  // namespace

void WireApplication(CServiceToolApp& app) {
    CServiceToolView& view = app.View();
    CServiceToolDoc& doc = app.Doc();
    const plat::Endpoints& endpoints = app.Config().options.endpoints;

    auto wired = std::make_shared<Wired>(doc, app.Config().options.restoreFrom,
                                         plat::JoinPath(plat::CurrentFolder(), "Logs"));
    wired->recorder = std::make_unique<CRunRecorder>(doc, view.Presenter(), RunLogFolder());
    CRunRecorder& recorder = *wired->recorder;
    wired->lines = std::make_unique<CLineSessions>(CLineSessions::Deps{
        doc, recorder, app.Process(), [&view](std::function<void()> fn) { view.Host().PostToGui(std::move(fn)); },
        endpoints});
    CLineSessions& lines = *wired->lines;
    recorder.SetLines(&lines);
    wired->web = std::make_unique<GatewayWeb>(
        endpoints, app.Process(), [&recorder](const std::string& text) { recorder.Status(0, text, false); },
        app.Ui(), doc.Device(0).channel.Direct());
    const plat::Options& options = app.Config().options;
    pc_address::CPcAddress::Config pc;
    pc.mode = options.bSetAddress ? pc_address::Mode::Set : options.bHeadless ? pc_address::Mode::Off : pc_address::Mode::Ask;
    pc.adapter = options.adapter;
    pc.english = [&doc] { return doc.English(); };
    pc.program = plat::JoinPath(plat::ExecutableFolder(), "rk880t-tool");
    wired->pcAddress = std::make_unique<pc_address::CPcAddress>(pc, pc_address::RealOps());
    wired->linkTasks = std::make_unique<CLinkTasks>(CLinkTasks::Deps{
        doc, lines, app.Counts(), *wired->web, app.Process(), wired->log, wired->pcAddress.get()});
    wired->atHost = std::make_unique<CLineDiagPortHost>(doc, view.Presenter());
    wired->portSwitches = std::make_unique<CDiagPortSwitches>(
        lines.Threads(), [&lines](int line, std::function<void(int)> body) { return lines.StartThread(line, std::move(body)); },
        *wired->atHost);
    lines.SetWork(wired.get());
    view.AttachLines(&lines);
    app.SetLines(&lines);
    app.Own(wired);
}
