#include "console/upgrade_controller.h"

#include "console/control_ids.h"
#include "console/pictures.h"
#include "console/version_source.h"
#include "console/view.h"
#include "cpelink/icmp_library.h"
#include "cpelink/image_transfer.h"
#include "cpelink/line_channel.h"
#include "platform/adapters.h"
#include "platform/firewall.h"
#include "platform/fs.h"
#include "platform/trace.h"
#include "web/gateway_web.h"

using namespace upgrade_text;

namespace {
constexpr int KEEPALIVE_TEXT_TRIES = 10;
constexpr int CLOSE_TRIES = 4;
constexpr int BAUD_RATE = 115200;
}  // namespace

CUpgradeController::CUpgradeController(Deps deps) : m_deps(std::move(deps)) {}

CUpgradeController::~CUpgradeController() { StopLinkServer(); }

void CUpgradeController::Install() {
    ViewHooks& h = m_deps.view.hooks;
    h.linkWatchThread = [this](int line) { LinkWatchThread(line); };
    h.cpeUpgradeThread = [this](int line) { CpeUpgradeThread(line); };
    h.openChannel = [this](int line, int, int) { return OpenChannel(line); };
    h.closeChannel = [this](int line) {
        CLineChannel& ch = m_deps.channel(line);
        if (ch.IsOpen()) ch.Close();
    };
    h.stopLinkServer = [this] { StopLinkServer(); };
}

void CUpgradeController::StartLinkServer() {
    std::lock_guard<std::mutex> lock(m_serverMutex);
    if (m_pServer) return;
    m_pServer = std::make_unique<CLinkServer>();
    LinkServerConfig config;
    config.endpoints = m_deps.endpoints;
    config.onPortBusy = [this](const std::string& text) { ShowHint(0, text); };
    config.onAnnounceFailed = [this](const std::string& text) { WriteLineLog(0, text); };
    m_pServer->Start(config);
}

void CUpgradeController::StopLinkServer() {
    std::unique_ptr<CLinkServer> server;
    {
        std::lock_guard<std::mutex> lock(m_serverMutex);
        server = std::move(m_pServer);
    }
    if (server) server->Stop();
}

bool CUpgradeController::LinkServerExists() {
    std::lock_guard<std::mutex> lock(m_serverMutex);
    return m_pServer != nullptr;
}

bool CUpgradeController::OpenChannel(int line) {
    CLineChannel& ch = m_deps.channel(line);
    if (ch.IsOpen()) return true;
    if (!LinkServerExists()) return false;
    return ch.Attach(line) == 1;
}

void CUpgradeController::WriteLineLog(int line, const std::string& text) { m_deps.log.Write(line, text); }

void CUpgradeController::EnableDownload(int line, bool bEnable) {
    m_deps.view.Form().Enable(ids::DOWNLOAD_0 + line, bEnable);
}

// ---------------------------------------------------------------------------------------------
// The link watcher

void CUpgradeController::LinkWatchThread(int line) {
    CServiceToolView& view = m_deps.view;
    CServiceToolDoc& doc = view.Doc();
    auto offline = [&] {
        doc.m_nLinkState[line] = LINK_DOWN;
        view.SetModemVersion(line, "");
        view.SetCpeVersion(line, "NULL");
        view.SetLinePicture(line, PIC_OFFLINE);
    };

    view.ShowLineStatus(line, DISCONNECT);
    offline();

    // Version-path mode: the operator chooses a package; nothing is sent to the box.
    if (view.TerminalIp() == VERSION_PATH_ADDRESS) {
        view.ShowLineStatus(line, CHOOSE_VERSION_PATH);
        offline();
        EnableDownload(line, false);
        return;
    }

    const std::string ip = view.TerminalIp();
    for (;;) {
        // Web handshake.
        while (doc.m_bHandshakePending.load() != 0) {
            if (!view.SafePoint(line)) return;
            view.SetLinePicture(line, PIC_OFFLINE);
            EnableDownload(line, false);
            CLineChannel& ch = m_deps.channel(line);
            if (ch.IsOpen()) ch.Close();
            StopLinkServer();
            view.SetCpeVersion(line, "");
            view.ShowLineStatus(line, CONNECTING);
            CheckAdapters(line);
            if (!view.SafeSleep(line, 2000)) return;
            view.SetLinePicture(line, PIC_OFFLINE);
            if (m_deps.web.OpenFactoryMode(ip) != 0) {
                offline();
            } else {
                view.SetLinePicture(line, PIC_OFFLINE);
                if (!view.SafeSleep(line, 1000)) return;
                if (m_deps.web.CheckFacMode(ip, [&view, line] { return view.SafePoint(line); }) == 0) {
                    view.SetLinePicture(line, PIC_OFFLINE);
                    doc.m_bHandshakePending = 0;
                    m_hints[static_cast<size_t>(line)].Forget(gateway_path::Hint::NoConnection);
                    StartLinkServer();
                    if (!view.SafeSleep(line, 1000)) return;
                }
            }
            if (!view.SafeSleep(line, 300)) return;
        }
        FlushArpCache(m_deps.process, ip);
        if (!view.SafeSleep(line, 100)) return;
        if (doc.m_bHandshakePending.load() == 0) break;
    }

    // First open of the line's channel.
    if (!view.SafePoint(line)) return;
    if (OpenChannel(line)) {
        doc.m_bChannelOpen[line] = true;
        plat::TraceF(TRACE_PORT_OPEN, line);
    }

    for (;;) {
        if (!view.SafePoint(line)) return;
        if (doc.m_bChannelOpen[line].load()) {
            bool bEnd = false;
            if (!KeepAlivePass(line, bEnd) || bEnd) return;
        } else {
            ReconnectPass(line);
        }
        view.ShowLineVersions(line);
        if (!view.SafeSleep(line, 3000)) return;
    }
}

// One keep-alive pass. False when the thread is asked to stop; bEnd when the line was given up
// (the communication-error message was shown and the program closes).
bool CUpgradeController::KeepAlivePass(int line, bool& bEnd) {
    CServiceToolView& view = m_deps.view;
    CServiceToolDoc& doc = view.Doc();
    CLineChannel& ch = m_deps.channel(line);

    std::string modem;
    if (ch.GetDataText(modem)) {
        view.SetModemVersion(line, modem);
        view.ShowModemVersion(line);
    }
    if (!view.SafeSleep(line, 500)) return false;
    bool bAnswered = false;
    for (int i = 0; i < KEEPALIVE_TEXT_TRIES && !bAnswered; ++i) {
        std::string cpe;
        bAnswered = ch.GetText(cpe) == 1;
        if (bAnswered) view.SetCpeVersion(line, cpe);
        if (!view.SafeSleep(line, 1000)) return false;
    }
    if (bAnswered) {
        doc.m_nLinkState[line] = LINK_UP;
        view.ShowLineVersions(line);
        view.ShowLineStatus(line, CONNECTED);
        view.SetLinePicture(line, PIC_READY);
        EnableDownload(line, true);
        view.NotifyLineReady(line);
        return true;
    }
    EnableDownload(line, false);
    ch.Close();
    doc.m_bChannelOpen[line] = false;
    // A message box waits for the operator: a pause asked for meanwhile is taken first.
    if (!view.SafePoint(line)) return false;
    view.Ui().MessageBox(COMM_ERROR);
    // The program closes: nothing of this line runs on while the window goes.
    view.RequestExit(2);
    bEnd = true;
    return true;
}

void CUpgradeController::ReconnectPass(int line) {
    CServiceToolView& view = m_deps.view;
    CServiceToolDoc& doc = view.Doc();
    if (OpenChannel(line)) {
        plat::TraceF(TRACE_PORT_OPEN, line);
        doc.m_bChannelOpen[line] = true;
        std::string cpe;
        if (m_deps.channel(line).GetText(cpe) == 1) {
            view.SetCpeVersion(line, cpe);
            doc.m_nLinkState[line] = LINK_UP;
            view.ShowLineStatus(line, CONNECTED);
            view.SetLinePicture(line, PIC_READY);
        }
    } else {
        view.ShowLineStatus(line, CONNECTING);
        CheckAdapters(line);
        CheckLinkConnection(line);
        doc.m_nLinkState[line] = LINK_DOWN;
        view.SetModemVersion(line, "");
        view.SetCpeVersion(line, "NULL");
        view.SetLinePicture(line, PIC_OFFLINE);
    }
}

void CUpgradeController::ShowHint(int line, const std::string& text) {
    m_deps.view.ShowLineStatus(line, text);
    WriteLineLog(line, text);
}

void CUpgradeController::CheckAdapters(int line) {
    uint32_t gateway = 0;
    if (line < 0 || line >= LINK_SLOT_COUNT || !plat::ParseIpv4(m_deps.view.TerminalIp(), gateway)) return;
    const auto now = gateway_path::AdapterHints(gateway, plat::ListAdapterAddresses(), m_deps.view.English());
    for (const auto& hint : m_hints[static_cast<size_t>(line)].Fresh(now)) ShowHint(line, hint.text);
}

void CUpgradeController::CheckLinkConnection(int line) {
    if (line < 0 || line >= LINK_SLOT_COUNT || plat::IsLoopbackAddress(m_deps.view.TerminalIp())) return;
    int sent = 0, accepted = 0, port = 0;
    std::string announced;
    {
        std::lock_guard<std::mutex> lock(m_serverMutex);
        if (!m_pServer) return;
        sent = m_pServer->AnnouncementsSent();
        accepted = m_pServer->ConnectionsAccepted();
        port = m_pServer->Port();
        announced = m_pServer->LastAnnouncedAddress();
    }
    if (accepted > 0 || sent < gateway_path::NO_CONNECTION_ANNOUNCEMENTS) return;
    gateway_path::HintText hint = gateway_path::NoConnectionHint(announced, port, sent, m_deps.view.English());
    if (!m_hints[static_cast<size_t>(line)].FreshOne(hint)) return;
    uint32_t local = 0;
    plat::ParseIpv4(announced, local);
    const std::string firewall = plat::FirewallState(local, port, m_deps.view.English());
    ShowHint(line, firewall.empty() ? hint.text : hint.text + " " + firewall);
}

// ---------------------------------------------------------------------------------------------
// The CPE upgrade

void CUpgradeController::DeleteLineImages(int line, bool bThirdToo) {
    CServiceToolDoc& doc = m_deps.view.Doc();
    std::vector<std::string> paths;
    if (bThirdToo) paths.push_back(doc.GetLinePath(line, LineField::ThirdVersionFile));
    paths.push_back(doc.GetLinePath(line, LineField::RootImage));
    paths.push_back(doc.GetLinePath(line, LineField::BootImage));
    for (const std::string& p : paths)
        if (!p.empty() && plat::IsRegularFile(p)) plat::DeleteFile(p);
}

void CUpgradeController::FailClosing(int line, const char* text) {
    m_deps.view.Doc().m_bHandshakePending = 1;
    m_deps.view.EndTask(line, text, 5);
    m_deps.view.SetLinePicture(line, PIC_FAIL);
}

void CUpgradeController::CpeUpgradeThread(int line) {
    CServiceToolView& view = m_deps.view;
    CServiceToolDoc& doc = view.Doc();
    CLineChannel& ch = m_deps.channel(line);

    // Every upgrade whose thread starts is counted; a success is counted at its end.
    view.Counts().AddAttempt();
    view.RefreshCounters();

    view.ShowLineStatus(line, CHECKING);
    if (view.GetModemVersion(line).find(VERSION_TAG) == std::string::npos) {
        view.Ui().MessageBox(VERSION_CHECK_FAILED);
        view.EndTask(line, VERSION_CHECK_FAILED, 3);
        view.SetLinePicture(line, PIC_OFFLINE);
        return;
    }
    view.ShowLineStatus(line, WORKING);

    const int mode = doc.m_nMode.load();
    if (mode == MODE_CPE_ONLY || mode == MODE_MODEM_AND_CPE) {
        TransferCallbacks cb;
        cb.progress = [&view, line](int percent) { view.SetLineProgress(line, percent); };
        cb.log = [this, line](const std::string& text) { WriteLineLog(line, text); };
        struct Step {
            ImageVariant variant;
            const char* working;
            const char* failed;
            TextField path;
        };
        const Step steps[] = {
            {ImageVariant::Boot, BOOT_WORKING, BOOT_FAILED, LineField::BootImage},
            {ImageVariant::Linux, CPE_WORKING, CPE_FAILED, LineField::RootImage},
        };
        auto fail = [&](const Step& s) {
            view.EndTask(line, s.failed, 3);
            view.SetLinePicture(line, PIC_OFFLINE);
            plat::Sleep(1000);
            DeleteLineImages(line, false);
        };
        // Both files, as they are now on disk, before the first byte of either leaves.
        for (const Step& s : steps) {
            const std::string problem = CheckImageFile(doc.GetLinePath(line, s.path), s.variant);
            if (!problem.empty()) {
                view.ShowLineStatus(line, problem);
                return fail(s);
            }
        }
        for (const Step& s : steps) {
            view.ShowLineStatus(line, s.working);
            if (!SendImage(ch, s.variant, doc.GetLinePath(line, s.path), cb)) {
                if (plat::StopRequested()) return;
                return fail(s);
            }
        }
    }

    view.SetLineProgress(line, 91);
    if (!plat::Sleep(1000)) return;
    DeleteLineImages(line, true);

    view.SetLineProgress(line, 92);
    if (!ch.ImagesDone()) {
        if (plat::StopRequested()) return;
        FailClosing(line, LIGHT_FAILED);
        return;
    }
    view.SetLineProgress(line, 93);
    if (!ch.UpgradeEnd()) {
        if (plat::StopRequested()) return;
        FailClosing(line, REBOOT_CPE_FAILED);
        return;
    }
    view.SetLineProgress(line, 94);
    bool bClosed = false;
    for (int i = 0; i < CLOSE_TRIES && !bClosed; ++i) {
        bClosed = ch.Close() == 1;
        if (!bClosed && !plat::Sleep(2000)) return;
    }
    if (!bClosed) {
        FailClosing(line, CLOSE_FAILED);
        return;
    }

    view.SetLineProgress(line, 96);
    view.ShowLineStatus(line, REBOOTING);
    if (!plat::Sleep(20000)) return;

    view.SetLineProgress(line, 97);
    const char* waits[] = {REBOOT_WAIT_1, REBOOT_WAIT_2, REBOOT_WAIT_3};
    bool bBack = false;
    for (int i = 0; i < 3 && !bBack; ++i) {
        if (i > 0 && !plat::Sleep(10000)) return;
        view.ShowLineStatus(line, waits[i]);
        bBack = m_deps.web.SetMaxWifiNum(view.TerminalIp(), view.WifiMaxNum());
    }
    if (!bBack) {
        FailClosing(line, REBOOT_FAILED);
        return;
    }

    view.SetLineProgress(line, 100);
    view.SetLinePicture(line, PIC_PASS);
    view.ShowLineStatus(line, SUCCESS);
    doc.m_bRunning[line] = 0;
    view.SetModemVersion(line, "");
    doc.m_bChannelOpen[line] = false;
    doc.m_bHandshakePending = 1;
    view.Counts().AddSuccess();
    view.RefreshCounters();
    view.ReportTaskSuccess(line);
    view.Ui().MessageBox(SUCCESS, PRODUCT_TITLE);
    view.RequestExit(0);
}
