#include "session/link_tasks.h"

#include "model/version_source.h"
#include "model/document.h"
#include "model/line_device.h"
#include "records/counts_info.h"
#include "session/line_events.h"
#include "session/line_session.h"
#include "session/line_threads.h"
#include "session/pc_address.h"
#include "cpelink/icmp_library.h"
#include "cpelink/image_transfer.h"
#include "cpelink/line_channel.h"
#include "cpelink/uboot_image.h"
#include "platform/adapters.h"
#include "platform/firewall.h"
#include "platform/fs.h"
#include "platform/trace.h"
#include "web/gateway_web.h"
#include "web/http_client.h"

using namespace upgrade_text;

namespace {
constexpr int KEEPALIVE_TEXT_TRIES = 10;
constexpr int CLOSE_TRIES = 4;
constexpr int BAUD_RATE = 115200;
}  // namespace

CLinkTasks::CLinkTasks(Deps deps) : m_deps(std::move(deps)) {}

CLinkTasks::~CLinkTasks() { StopLinkServer(); }

void CLinkTasks::CloseChannel(int line) {
    CLineChannel& ch = m_deps.doc.Device(line).channel;
    if (ch.IsOpen()) ch.Close();
}

void CLinkTasks::StartLinkServer(int line) {
    std::lock_guard<std::mutex> lock(m_serverMutex);
    if (m_pServer) return;
    m_pServer = std::make_unique<CLinkServer>();
    LinkServerConfig config;
    config.endpoints = m_deps.lines.Session(line).Endpoints().net;
    config.onPortBusy = [this, line](const std::string& text) { ShowHint(line, text); };
    config.onAnnounceFailed = [this, line](const std::string& text) { WriteLineLog(line, text); };
    m_pServer->Start(config);
}

void CLinkTasks::StopLinkServer() {
    std::unique_ptr<CLinkServer> server;
    {
        std::lock_guard<std::mutex> lock(m_serverMutex);
        server = std::move(m_pServer);
    }
    if (server) server->Stop();
}

bool CLinkTasks::LinkServerExists() {
    std::lock_guard<std::mutex> lock(m_serverMutex);
    return m_pServer != nullptr;
}

bool CLinkTasks::OpenChannel(int line) {
    CLineChannel& ch = m_deps.doc.Device(line).channel;
    if (ch.IsOpen()) return true;
    if (!LinkServerExists()) return false;
    return ch.Attach(line) == 1;
}

void CLinkTasks::WriteLineLog(int line, const std::string& text) { m_deps.log.Write(line, text); }

void CLinkTasks::EnableDownload(int line, bool bEnable) {
    m_deps.lines.Session(line).Available(line, bEnable);
}

// ---------------------------------------------------------------------------------------------
// The link watcher

void CLinkTasks::LinkWatchThread(int line) {
    CLineSession& ev = m_deps.lines.Session(line);
    CServiceToolDoc& doc = m_deps.doc;
    CLineThreads& threads = m_deps.lines.Threads();
    auto offline = [&] {
        doc.Line(line).SetModemVersion("");
        doc.Line(line).SetCpeVersion("NULL");
        ev.Picture(line, PIC_OFFLINE);
    };

    ev.Status(line, DISCONNECT);
    offline();

    // Version-path mode: the operator chooses a package; nothing is sent to the box.
    if (ev.Gateway() == VERSION_PATH_ADDRESS) {
        ev.Status(line, CHOOSE_VERSION_PATH);
        offline();
        EnableDownload(line, false);
        return;
    }

    const std::string ip = ev.Gateway();
    for (;;) {
        // Web handshake.
        while (ev.HandshakePending()) {
            if (!threads.SafePoint(line)) return;
            ev.Picture(line, PIC_OFFLINE);
            EnableDownload(line, false);
            CLineChannel& ch = m_deps.doc.Device(line).channel;
            if (ch.IsOpen()) ch.Close();
            StopLinkServer();
            doc.Line(line).SetCpeVersion("");
            ev.Status(line, CONNECTING);
            CheckAdapters(line);
            if (!threads.SafeSleep(line, 2000)) return;
            ev.Picture(line, PIC_OFFLINE);
            if (m_deps.web.OpenFactoryMode(ip) != 0) {
                offline();
            } else {
                ev.Picture(line, PIC_OFFLINE);
                if (!threads.SafeSleep(line, 1000)) return;
                if (m_deps.web.CheckFacMode(ip, [&threads, line] { return threads.SafePoint(line); }) == 0) {
                    ev.Picture(line, PIC_OFFLINE);
                    ev.SetHandshakePending(false);
                    m_hints[static_cast<size_t>(line)].Forget(gateway_path::Hint::NoConnection);
                    StartLinkServer(line);
                    if (!threads.SafeSleep(line, 1000)) return;
                }
            }
            if (!threads.SafeSleep(line, 300)) return;
        }
        FlushArpCache(m_deps.process, ip);
        if (!threads.SafeSleep(line, 100)) return;
        if (!ev.HandshakePending()) break;
    }

    // First open of the line's channel.
    if (!threads.SafePoint(line)) return;
    if (OpenChannel(line)) {
        doc.Line(line).bChannelOpen = true;
        plat::TraceF(TRACE_PORT_OPEN, line);
    }

    for (;;) {
        if (!threads.SafePoint(line)) return;
        if (doc.Line(line).bChannelOpen.load()) {
            bool bEnd = false;
            if (!KeepAlivePass(line, bEnd) || bEnd) return;
        } else {
            ReconnectPass(line);
        }
        ev.VersionsChanged(line);
        KeepPcAddress();
        if (!threads.SafeSleep(line, 3000)) return;
    }
}

// One keep-alive pass. False when the thread is asked to stop; bEnd when the line was given up
// (the communication-error message was shown and the program closes).
bool CLinkTasks::KeepAlivePass(int line, bool& bEnd) {
    CLineSession& ev = m_deps.lines.Session(line);
    CServiceToolDoc& doc = m_deps.doc;
    CLineThreads& threads = m_deps.lines.Threads();
    CLineChannel& ch = m_deps.doc.Device(line).channel;

    std::string modem;
    if (ch.GetDataText(modem)) {
        doc.Line(line).SetModemVersion(modem);
        ev.ModemVersionChanged(line);
    }
    if (!threads.SafeSleep(line, 500)) return false;
    bool bAnswered = false;
    for (int i = 0; i < KEEPALIVE_TEXT_TRIES && !bAnswered; ++i) {
        std::string cpe;
        bAnswered = ch.GetText(cpe) == 1;
        if (bAnswered) doc.Line(line).SetCpeVersion(cpe);
        if (!threads.SafeSleep(line, 1000)) return false;
    }
    if (bAnswered) {
        ev.VersionsChanged(line);
        ev.Status(line, CONNECTED);
        ev.Picture(line, PIC_READY);
        EnableDownload(line, true);
        ev.Ready(line);
        return true;
    }
    EnableDownload(line, false);
    ch.Close();
    doc.Line(line).bChannelOpen = false;
    // A message box waits for the operator: a pause asked for meanwhile is taken first.
    if (!threads.SafePoint(line)) return false;
    ev.Message(COMM_ERROR);
    // Nothing of this line runs on: the front end closes the program.
    ev.Concluded(line, LineOutcome::FailedClosing);
    bEnd = true;
    return true;
}

void CLinkTasks::ReconnectPass(int line) {
    CLineSession& ev = m_deps.lines.Session(line);
    CServiceToolDoc& doc = m_deps.doc;
    if (OpenChannel(line)) {
        plat::TraceF(TRACE_PORT_OPEN, line);
        doc.Line(line).bChannelOpen = true;
        std::string cpe;
        if (m_deps.doc.Device(line).channel.GetText(cpe) == 1) {
            doc.Line(line).SetCpeVersion(cpe);
            ev.Status(line, CONNECTED);
            ev.Picture(line, PIC_READY);
        }
    } else {
        ev.Status(line, CONNECTING);
        CheckAdapters(line);
        CheckLinkConnection(line);
        doc.Line(line).SetModemVersion("");
        doc.Line(line).SetCpeVersion("NULL");
        ev.Picture(line, PIC_OFFLINE);
    }
}

void CLinkTasks::ShowHint(int line, const std::string& text) {
    m_deps.lines.Session(line).Status(line, text);
    WriteLineLog(line, text);
}

void CLinkTasks::CheckAdapters(int line) {
    uint32_t gateway = 0;
    if (line < 0 || line >= LINE_COUNT || !plat::ParseIpv4(m_deps.lines.Gateway(line), gateway)) return;
    std::string queryError;
    KeepPcAddress();
    std::vector<plat::AdapterAddress> adapters = plat::ListAdapterAddresses(&queryError);
    auto now = gateway_path::AdapterHints(gateway, adapters, m_deps.doc.English(), queryError);
    std::vector<std::string> offered;
    bool bNoSubnet = false;
    for (const auto& hint : now) bNoSubnet = bNoSubnet || hint.kind == gateway_path::Hint::NoSubnet;
    if (bNoSubnet && m_deps.pcAddress) {
        CLineSession& session = m_deps.lines.Session(line);
        const auto ask = [&session](const std::string& question) { return session.AskDefaultNo(question); };
        if (m_deps.pcAddress->Offer(gateway, adapters, ask, offered)) {
            session.SetPcSide(plat::Ipv4Text(m_deps.pcAddress->Address()), m_deps.pcAddress->Adapter());
            adapters = plat::ListAdapterAddresses(&queryError);
            now = gateway_path::AdapterHints(gateway, adapters, m_deps.doc.English(), queryError);
        }
    }
    for (const auto& hint : m_hints[static_cast<size_t>(line)].Fresh(now)) ShowHint(line, hint.text);
    for (const std::string& text : offered) ShowHint(line, text);
}

void CLinkTasks::KeepPcAddress() {
    if (m_deps.pcAddress) m_deps.pcAddress->Keep();
}

void CLinkTasks::CheckLinkConnection(int line) {
    if (line < 0 || line >= LINE_COUNT || plat::IsLoopbackAddress(m_deps.lines.Gateway(line))) return;
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
    gateway_path::HintText hint = gateway_path::NoConnectionHint(announced, port, sent, m_deps.doc.English());
    if (!m_hints[static_cast<size_t>(line)].FreshOne(hint)) return;
    uint32_t local = 0;
    plat::ParseIpv4(announced, local);
    const std::string firewall = plat::FirewallState(local, port, m_deps.doc.English());
    ShowHint(line, firewall.empty() ? hint.text : hint.text + " " + firewall);
}

// ---------------------------------------------------------------------------------------------
// The CPE upgrade

void CLinkTasks::DeleteLineImages(int line, bool bThirdToo) {
    CServiceToolDoc& doc = m_deps.doc;
    std::vector<std::string> paths;
    if (bThirdToo) paths.push_back(doc.GetLinePath(line, LineField::ThirdVersionFile));
    paths.push_back(doc.GetLinePath(line, LineField::RootImage));
    paths.push_back(doc.GetLinePath(line, LineField::BootImage));
    // The paths come from the configuration file beside the program, which anyone who can write
    // that folder can edit: the tool deletes nothing outside its version and program folders.
    for (const std::string& p : paths) {
        if (p.empty() || !plat::IsRegularFile(p)) continue;
        if (plat::IsInsideFolder(p, plat::VersionFolder()) || plat::IsInsideFolder(p, doc.ProgramFolder()))
            plat::DeleteFile(p);
        else
            plat::TraceF(upgrade_text::TRACE_NOT_DELETED, p.c_str());
    }
}

void CLinkTasks::FailClosing(int line, const char* text) {
    // The session's End asks for the web handshake again.
    CLineSession& ev = m_deps.lines.Session(line);
    ev.End(line, text, LineOutcome::FailedClosing);
    ev.Picture(line, PIC_FAIL);
}

void CLinkTasks::CpeUpgradeThread(int line) {
    CLineSession& ev = m_deps.lines.Session(line);
    CServiceToolDoc& doc = m_deps.doc;
    CLineChannel& ch = m_deps.doc.Device(line).channel;

    // Every upgrade whose thread starts is counted; a success is counted at its end.
    m_deps.counts.AddAttempt();
    ev.CountersChanged();

    ev.Status(line, CHECKING);
    if (doc.Line(line).ModemVersion().find(VERSION_TAG) == std::string::npos) {
        ev.Message(VERSION_CHECK_FAILED);
        ev.End(line, VERSION_CHECK_FAILED, LineOutcome::FailedStopLink);
        ev.Picture(line, PIC_OFFLINE);
        return;
    }
    ev.Status(line, WORKING);

    const int mode = doc.m_nMode.load();
    if (mode == MODE_CPE_ONLY || mode == MODE_MODEM_AND_CPE) {
        TransferCallbacks cb;
        cb.progress = [&ev, line](int percent) { ev.Progress(line, percent); };
        cb.log = [this, line](const std::string& text) { WriteLineLog(line, text); };
        cb.awaiting = [&ev, line](int64_t maxMs) { ev.Waiting(line, maxMs > 0 ? WaitFor::GatewayReply : WaitFor::None, maxMs); };
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
            ev.End(line, s.failed, LineOutcome::FailedStopLink);
            ev.Picture(line, PIC_OFFLINE);
            plat::Sleep(1000);
            DeleteLineImages(line, false);
        };
        // Both files read once, as they are now on disk, and checked before the first byte of
        // either leaves: the bytes checked are the bytes sent. The version folder's own images
        // must equal what the program carries.
        std::vector<uint8_t> images[2];
        for (size_t i = 0; i < 2; ++i) {
            const std::string path = doc.GetLinePath(line, steps[i].path);
            const std::string problem =
                ReadImageFile(path, images[i])
                    ? CheckImage(path, images[i], steps[i].variant, version_source::OwnImage(path), doc.English())
                    : UbootCheckStatus(path, UbootCheck::Unreadable);
            if (!problem.empty()) {
                ev.Status(line, problem);
                return fail(steps[i]);
            }
        }
        for (size_t i = 0; i < 2; ++i) {
            ev.Status(line, steps[i].working);
            if (!SendImage(ch, steps[i].variant, images[i], cb)) {
                if (plat::StopRequested()) return;
                return fail(steps[i]);
            }
        }
    }

    ev.Progress(line, 91);
    if (!plat::Sleep(1000)) return;
    DeleteLineImages(line, true);

    ev.Progress(line, 92);
    ev.Waiting(line, WaitFor::GatewayReply, plat::Scaled(IMAGES_DONE_TIMEOUT_MS));
    const bool bDone = ch.ImagesDone();
    ev.Waiting(line, WaitFor::None, 0);
    if (!bDone) {
        if (plat::StopRequested()) return;
        FailClosing(line, LIGHT_FAILED);
        return;
    }
    ev.Progress(line, 93);
    ev.Waiting(line, WaitFor::GatewayReply, plat::Scaled(UPGRADE_END_TIMEOUT_MS));
    const bool bEnded = ch.UpgradeEnd();
    ev.Waiting(line, WaitFor::None, 0);
    if (!bEnded) {
        if (plat::StopRequested()) return;
        FailClosing(line, REBOOT_CPE_FAILED);
        return;
    }
    ev.Progress(line, 94);
    bool bClosed = false;
    ev.Waiting(line, WaitFor::GatewayClose, CLOSE_TRIES * (plat::Scaled(CLOSE_TIMEOUT_MS) + plat::Scaled(2000)));
    for (int i = 0; i < CLOSE_TRIES && !bClosed; ++i) {
        bClosed = ch.Close() == 1;
        if (!bClosed && !plat::Sleep(2000)) return;
    }
    ev.Waiting(line, WaitFor::None, 0);
    if (!bClosed) {
        FailClosing(line, CLOSE_FAILED);
        return;
    }

    ev.Progress(line, 96);
    ev.Status(line, REBOOTING);
    // The pause, two more pauses and three probes, each probe within its request's bounds.
    const int64_t probeMs = plat::Scaled(CHttpClient::CONNECT_TIMEOUT_MS) + plat::Scaled(CHttpClient::HEADER_TIMEOUT_MS) +
                            plat::Scaled(CHttpClient::BODY_TIMEOUT_MS);
    ev.Waiting(line, WaitFor::GatewayRestart, plat::Scaled(20000) + 2 * plat::Scaled(10000) + 3 * probeMs);
    if (!plat::Sleep(20000)) return;

    ev.Progress(line, 97);
    const char* waits[] = {REBOOT_WAIT_1, REBOOT_WAIT_2, REBOOT_WAIT_3};
    bool bBack = false;
    for (int i = 0; i < 3 && !bBack; ++i) {
        if (i > 0 && !plat::Sleep(10000)) return;
        // The reboot took the link down: the address the tool holds comes back with it.
        KeepPcAddress();
        ev.Status(line, waits[i]);
        bBack = m_deps.web.SetMaxWifiNum(ev.Gateway(), doc.m_strWifiMaxNum);
    }
    ev.Waiting(line, WaitFor::None, 0);
    if (!bBack) {
        FailClosing(line, REBOOT_FAILED);
        return;
    }

    ev.Progress(line, 100);
    ev.Picture(line, PIC_PASS);
    ev.Status(line, SUCCESS);
    doc.Line(line).SetModemVersion("");
    doc.Line(line).bChannelOpen = false;
    m_deps.counts.AddSuccess();
    ev.CountersChanged();
    // The line no longer runs; the handshake comes again.
    ev.Succeeded(line);
    ev.Message(SUCCESS, true);
    ev.Concluded(line, LineOutcome::PassedAsIs);
}
