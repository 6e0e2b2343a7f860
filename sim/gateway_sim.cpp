#include "sim/gateway_sim.h"

#include <algorithm>
#include <cstring>

#include "modem/rf_nv_lists.h"
#include "platform/trace.h"
#include "sim/locked_copy.h"

namespace {

constexpr int POLL_PERIOD_MS = 20;
constexpr int CONNECT_TIMEOUT_MS = 2000;
constexpr int SEND_TIMEOUT_MS = 2000;
constexpr size_t RECV_CHUNK = 64 * 1024;

bool IsTunnelType(uint8_t type) { return type == CMD_DATA || (type >= 0xF0 && type <= 0xF2); }

// The gateway reads a request with the layout the tool encodes it with (a transfer header's
// nTotal, for one, is not in the tool's own decoding layout of 0x91).
LinkRecord DecodeRequest(const LinkMessage& message) {
    LinkRecord r = DecodeRecord(message);
    if (ChannelEncodeLayout(r.sControl) == LinkLayout::Data && DecodeLayout(r.sControl) != LinkLayout::Data) {
        std::copy_n(message.begin() + LinkOffset::Data, LINK_DATA_SIZE, r.abData.begin());
        r.nLength = plat::GetLe32(message, LinkOffset::DataLength);
        r.nBlock = plat::GetLe32(message, LinkOffset::DataBlock);
        r.nTotal = plat::GetLe32(message, LinkOffset::DataTotal);
    }
    return r;
}

std::string AddressText(uint32_t arg) { return SimAddressText(arg); }

}  // namespace

GatewaySim::GatewaySim(GatewaySimConfig config)
    : m_config(std::move(config)), m_web(std::make_unique<SimWebServer>()), m_knobs(m_config.knobs) {
    m_web->SetKnobs(m_config.webKnobs);
    if (m_config.bPresetModem) {
        const std::string key =
            m_config.terminalType.empty() ? GetTerminalTypeKey(m_config.knobs.cpeVersion) : m_config.terminalType;
        PresetModem(m_modem, key, m_config.imei);
    }
    m_modem.SetAtDiagMode(m_config.atDiagMode);
}

GatewaySim::~GatewaySim() { Stop(); }

bool GatewaySim::Start() {
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        if (m_bRunning) return true;
    }
    const uint32_t lan = m_config.lanAddress;
    plat::Socket udp = lan ? plat::BindUdp({plat::IPV4_ANY, SIM_LAN_ANNOUNCE_PORT}) : plat::BindUdp({plat::IPV4_LOOPBACK, 0});
    const int port = udp.Valid() ? udp.LocalPort() : 0;
    if (port == 0) {
        const std::string why = "announcement listener: " + plat::LastSocketErrorText();
        std::lock_guard<std::mutex> lock(m_mutex);
        m_strError = why;
        return false;
    }
    if (!(lan ? m_web->Start(lan, SIM_LAN_WEB_PORT, SIM_LAN_SETTING_PORT) : m_web->Start())) {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_strError = "web side: cannot listen on " + plat::Ipv4Text(lan ? lan : plat::IPV4_LOOPBACK);
        return false;
    }
    m_udp = std::move(udp);
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_nAnnouncePort = port;
        m_bRunning = true;
    }
    m_linkThread.Start([this] { LinkLoop(); });
    return true;
}

void GatewaySim::Stop() {
    m_linkThread.Join();  // the loop closes the link on its way out
    m_web->Stop();
    m_udp.Close();
    std::lock_guard<std::mutex> lock(m_mutex);
    m_bRunning = false;
}

bool GatewaySim::Running() const { return LockedCopy(m_mutex, m_bRunning); }

std::string GatewaySim::LastError() const { return LockedCopy(m_mutex, m_strError); }

int GatewaySim::AnnouncePort() const { return LockedCopy(m_mutex, m_nAnnouncePort); }

int GatewaySim::WebPort() const { return m_web->WebPort(); }
int GatewaySim::SettingPort() const { return m_web->SettingPort(); }

SimKnobs GatewaySim::Knobs() const { return LockedCopy(m_mutex, m_knobs); }

void GatewaySim::SetKnobs(const SimKnobs& knobs) {
    std::lock_guard<std::mutex> lock(m_mutex);
    m_knobs = knobs;
    m_nEnterAgainGiven = 0;
    m_nExitAgainGiven = 0;
}

void GatewaySim::UpdateKnobs(const std::function<void(SimKnobs&)>& change) {
    std::lock_guard<std::mutex> lock(m_mutex);
    change(m_knobs);
    m_nEnterAgainGiven = 0;
    m_nExitAgainGiven = 0;
}

bool GatewaySim::PresetModemFor(const std::string& terminalType, const std::string& imei) {
    return PresetModem(m_modem, terminalType, imei);
}

void GatewaySim::SetUpgradeEndHook(std::function<void()> hook) {
    std::lock_guard<std::mutex> lock(m_mutex);
    m_upgradeEndHook = std::move(hook);
}

void GatewaySim::SetEventSink(std::function<void(const std::string&)> sink) {
    std::lock_guard<std::mutex> lock(m_mutex);
    m_eventSink = std::move(sink);
}

void GatewaySim::DropLink() { m_bDropRequested = true; }

// --- Report -------------------------------------------------------------------------------------

bool GatewaySim::IsConnected() const { return LockedCopy(m_mutex, m_bConnected); }

int GatewaySim::Connections() const { return LockedCopy(m_mutex, m_nConnections); }

std::vector<SimRequest> GatewaySim::Requests() const { return LockedCopy(m_mutex, m_requests); }

std::vector<uint8_t> GatewaySim::RequestTypes() const {
    std::lock_guard<std::mutex> lock(m_mutex);
    std::vector<uint8_t> types;
    for (const SimRequest& r : m_requests) types.push_back(r.type);
    return types;
}

std::vector<uint8_t> GatewaySim::DataRecordTypes() const {
    std::lock_guard<std::mutex> lock(m_mutex);
    std::vector<uint8_t> types;
    for (const SimRequest& r : m_requests)
        if (IsTunnelType(r.type)) types.push_back(r.type);
    return types;
}

std::vector<SimReply> GatewaySim::Replies() const { return LockedCopy(m_mutex, m_replies); }

std::optional<SimImage> GatewaySim::Image(uint8_t type) const {
    std::lock_guard<std::mutex> lock(m_mutex);
    auto it = m_images.find(type);
    if (it == m_images.end()) return std::nullopt;
    return it->second;
}

std::vector<SimAnnouncement> GatewaySim::Announcements() const { return LockedCopy(m_mutex, m_announcements); }

std::vector<std::string> GatewaySim::LinkCloses() const { return LockedCopy(m_mutex, m_closes); }

int GatewaySim::UpgradeEnds() const { return LockedCopy(m_mutex, m_nUpgradeEnds); }

bool GatewaySim::InDownloadMode() const { return LockedCopy(m_mutex, m_bDownloadMode); }

void GatewaySim::ClearReport() {
    std::lock_guard<std::mutex> lock(m_mutex);
    m_requests.clear();
    m_replies.clear();
    m_images.clear();
    m_announcements.clear();
    m_closes.clear();
}

bool GatewaySim::WaitUntil(const std::function<bool()>& done, int timeoutMs) {
    const int64_t end = plat::TickMs() + timeoutMs;
    while (!done()) {
        if (plat::TickMs() >= end) return done();
        plat::SleepRaw(5);
    }
    return true;
}

// --- Link thread ----------------------------------------------------------------------------------

void GatewaySim::Event(const std::string& text) {
    std::function<void(const std::string&)> sink;
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        sink = m_eventSink;
    }
    if (sink) sink(text);
}

void GatewaySim::LinkLoop() {
    while (!plat::StopRequested()) {
        if (m_bDropRequested.exchange(false)) CloseLink("dropped");
        // A link that is not read is still watched for its loss.
        plat::WaitItem items[2] = {{m_udp.Native(), plat::SOCKET_READABLE, 0},
                                   {m_tcp.Native(), m_bReading ? plat::SOCKET_READABLE : 0u, 0}};
        const size_t count = m_tcp.Valid() ? 2 : 1;
        int timeout = POLL_PERIOD_MS;
        for (const Action& a : m_actions)
            timeout = std::clamp(static_cast<int>(a.due - plat::TickMs()), 0, timeout);
        const int ready = plat::WaitAny(std::span(items, count), timeout);
        if (ready < 0) {
            Event("link: poll failed: " + plat::LastSocketErrorText());
            plat::SleepRaw(POLL_PERIOD_MS);
        }
        if (ready > 0) {
            if (items[0].ready & plat::SOCKET_READABLE) ReadAnnouncements();
            if (count == 2 && m_tcp.Valid()) {
                if (m_bReading && items[1].ready) ReadLink();
                else if (items[1].ready & plat::SOCKET_BROKEN) CloseLink("connection lost");
            }
        }
        RunDueActions();
    }
    CloseLink("stopped");
}

void GatewaySim::ReadAnnouncements() {
    uint8_t buffer[2048];
    for (;;) {
        const std::ptrdiff_t n = m_udp.ReceiveFrom(buffer, sizeof buffer, nullptr, plat::IoMode::NoWait);
        if (n < 0) return;
        SimAnnouncement a = ReadAnnouncement(buffer, static_cast<size_t>(n), m_config.lanAddress);
        if (a.bValid) {
            const SimKnobs knobs = Knobs();
            bool bUpgraded;
            {
                std::lock_guard<std::mutex> lock(m_mutex);
                bUpgraded = m_bUpgraded;
            }
            if (m_tcp.Valid()) a.note = "already connected";
            else if (knobs.bNeverConnect) a.note = "never connect";
            else if (bUpgraded && !knobs.bConnectAfterUpgrade) a.note = "upgraded: no new connection";
            else Connect(a, a);
        }
        Event(plat::Format("link: announcement %zu bytes type 0x%02X port %u address %s: %s", a.size,
                           a.type, a.port, AddressText(a.address).c_str(),
                           a.bValid && a.note.empty() ? "accepted" : a.note.c_str()));
        // The report shows the announcement before the connection it made.
        std::lock_guard<std::mutex> lock(m_mutex);
        m_announcements.push_back(a);
        if (a.note == "connected") {
            ++m_nConnections;
            m_bConnected = true;
        }
    }
}

void GatewaySim::Connect(const SimAnnouncement& to, SimAnnouncement& note) {
    plat::Socket s = plat::Socket::Tcp();
    std::string why;
    uint32_t ip = plat::IPV4_LOOPBACK;
    if (m_config.lanAddress) plat::ParseIpv4(SimAddressText(to.address), ip);
    if (!s) why = plat::LastSocketErrorText();
    else if (!s.Connect({ip, static_cast<int>(to.port)}, CONNECT_TIMEOUT_MS, &why)) s.Close();
    if (!s) {
        note.note = "connect failed: " + why;
        return;
    }
    s.SetNoDelay(true);
    s.SetSendTimeout(SEND_TIMEOUT_MS);

    m_tcp = std::move(s);
    m_bReading = true;
    m_stream.Reset();
    m_inbox.clear();
    ++m_nGeneration;
    note.note = "connected";
}

void GatewaySim::CloseLink(const std::string& reason) {
    if (!m_tcp.Valid()) return;
    if (m_bImageActive) FinishImage(false);
    m_tcp.Shutdown();
    m_tcp.Close();
    m_bReading = true;
    m_stream.Reset();
    m_inbox.clear();
    ++m_nGeneration;  // pending replies of this connection are dropped
    m_actions.clear();
    m_heldAnswer.reset();
    Event("link: connection closed (" + reason + ")");
    std::lock_guard<std::mutex> lock(m_mutex);
    m_closes.push_back(reason);
    m_bConnected = false;
}

void GatewaySim::ReadLink() {
    size_t want = RECV_CHUNK;
    if (m_stream.InImage()) {
        // Read no further than a "stop reading" point, so the rest stays in the tool's buffers.
        const SimKnobs knobs = Knobs();
        const int64_t cut = knobs.stopReadingAfterImageBytes;
        if (cut >= 0 && (knobs.stopReadingImageType == 0 || knobs.stopReadingImageType == m_imageType) &&
            static_cast<int64_t>(m_imageReceived) + static_cast<int64_t>(m_inbox.size()) <= cut) {
            const int64_t left = cut - static_cast<int64_t>(m_imageReceived) - static_cast<int64_t>(m_inbox.size());
            want = static_cast<size_t>(std::min<int64_t>(left, static_cast<int64_t>(RECV_CHUNK)));
        }
        if (want == 0) {
            ProcessInbox();
            return;
        }
    }
    const size_t at = m_inbox.size();
    m_inbox.resize(at + want);
    const std::ptrdiff_t n = m_tcp.Receive(m_inbox.data() + at, want, plat::IoMode::NoWait);
    if (n <= 0) {
        m_inbox.resize(at);
        if (n == plat::IO_WOULD_BLOCK) return;
        CloseLink(n == 0 ? "closed by the tool" : "receive failed: " + plat::LastSocketErrorText());
        return;
    }
    m_inbox.resize(at + static_cast<size_t>(n));
    ProcessInbox();
}

// Applies the "disconnect" and "stop reading" knobs once the image has reached their count.
// True when reading must stop now.
bool GatewaySim::ApplyImageCut(const SimKnobs& knobs) {
    if (!m_bImageActive) return false;
    const auto reached = [&](int64_t cut, uint8_t type) {
        return cut >= 0 && (type == 0 || type == m_imageType) &&
               static_cast<int64_t>(m_imageReceived) == cut;
    };
    if (reached(knobs.disconnectAfterImageBytes, knobs.disconnectImageType)) {
        CloseLink(plat::Format("disconnect after %llu image bytes",
                               static_cast<unsigned long long>(m_imageReceived)));
        return true;
    }
    if (reached(knobs.stopReadingAfterImageBytes, knobs.stopReadingImageType)) {
        if (m_bReading) Event(plat::Format("link: stopped reading after %llu image bytes",
                                           static_cast<unsigned long long>(m_imageReceived)));
        m_bReading = false;
        return true;
    }
    return false;
}

void GatewaySim::ProcessInbox() {
    size_t used = 0;
    const uint64_t generation = m_nGeneration;
    while (used < m_inbox.size() && m_nGeneration == generation && m_bReading) {
        std::span<const uint8_t> in(m_inbox.data() + used, m_inbox.size() - used);
        if (m_stream.InImage()) {
            const SimKnobs knobs = Knobs();
            if (ApplyImageCut(knobs)) break;
            // Never run past a cut point inside one piece.
            for (const auto& [cut, type] : {std::pair{knobs.disconnectAfterImageBytes, knobs.disconnectImageType},
                                            std::pair{knobs.stopReadingAfterImageBytes, knobs.stopReadingImageType}}) {
                if (cut >= 0 && (type == 0 || type == m_imageType) && cut > static_cast<int64_t>(m_imageReceived))
                    in = in.first(std::min<size_t>(in.size(), static_cast<size_t>(cut - static_cast<int64_t>(m_imageReceived))));
            }
        }
        LinkStream::Piece piece;
        used += m_stream.Next(in, piece);
        if (piece.kind == LinkStream::Kind::Message) OnMessage(*piece.message);
        else if (piece.kind == LinkStream::Kind::ImageBytes) OnImageBytes(piece.bytes, piece.bImageDone);
    }
    if (m_nGeneration != generation) return;  // the link was closed: the inbox is gone
    m_inbox.erase(m_inbox.begin(), m_inbox.begin() + static_cast<long>(used));
}

void GatewaySim::OnMessage(const LinkMessage& message) {
    const LinkRecord r = DecodeRequest(message);
    SimRequest req{r.sControl, r.nSeq, r.nLength, r.nTotal, {}, 0};
    const bool bTunnel = IsTunnelType(r.sControl);
    if (bTunnel) {
        const size_t n = std::min<size_t>(r.nLength, LINK_DATA_SIZE);
        req.data.assign(r.abData.begin(), r.abData.begin() + static_cast<long>(n));
    }
    SimKnobs knobs;
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        req.connection = m_nConnections;
        m_requests.push_back(req);
        knobs = m_knobs;
    }
    Event(plat::Format("link: request 0x%02X seq %u length %u total %u", r.sControl, r.nSeq, r.nLength, r.nTotal));

    switch (r.sControl) {
        case CMD_DOWN_BOOT:
        case CMD_DOWN_LINUX: {
            if (m_bImageActive) FinishImage(false);
            m_bImageActive = true;
            m_imageType = r.sControl;
            m_imageSeq = r.nSeq;
            m_imageReceived = 0;
            m_sha.Reset();
            {
                std::lock_guard<std::mutex> lock(m_mutex);
                SimImage& image = m_images[r.sControl];
                const int transfers = image.transfers + 1;
                image = SimImage{r.sControl, r.nTotal, 0, false, {}, transfers};
            }
            m_stream.ExpectImage(r.nTotal);
            if (r.nTotal == 0) {
                FinishImage(true);
                Reply(r.sControl, r.sControl, r.nSeq, {}, knobs);
            }
            return;
        }
        case CMD_HELLO:
        case CMD_IMAGES_DONE:
            Reply(r.sControl, r.sControl, r.nSeq, {}, knobs);
            return;
        case CMD_GET_TEXT: {
            std::vector<uint8_t> text(knobs.cpeVersion.begin(), knobs.cpeVersion.end());
            if (text.size() > LINK_DATA_SIZE - 1) text.resize(LINK_DATA_SIZE - 1);
            text.push_back(0);
            Reply(r.sControl, r.sControl, r.nSeq, text, knobs);
            return;
        }
        case CMD_GET_DATA: {
            std::vector<uint8_t> text(knobs.modemVersion.begin(), knobs.modemVersion.end());
            if (text.size() > LINK_DATA_SIZE) text.resize(LINK_DATA_SIZE);
            Reply(r.sControl, r.sControl, r.nSeq, text, knobs);
            return;
        }
        case CMD_ENTER_DOWNLOAD:
        case CMD_EXIT_DOWNLOAD: {
            const bool bEnter = r.sControl == CMD_ENTER_DOWNLOAD;
            uint8_t type = r.sControl;
            {
                std::lock_guard<std::mutex> lock(m_mutex);
                int& given = bEnter ? m_nEnterAgainGiven : m_nExitAgainGiven;
                if (given < (bEnter ? knobs.enterDownloadAgain : knobs.exitDownloadAgain)) {
                    ++given;
                    type = bEnter ? CMD_ENTER_DOWNLOAD_AGAIN : CMD_EXIT_DOWNLOAD_AGAIN;
                } else if (!knobs.silentTypes.count(r.sControl)) {
                    m_bDownloadMode = bEnter;
                }
            }
            Reply(r.sControl, type, r.nSeq, {}, knobs);
            return;
        }
        case CMD_UPGRADE_END: {
            std::function<void()> hook;
            {
                std::lock_guard<std::mutex> lock(m_mutex);
                ++m_nUpgradeEnds;
                m_bUpgraded = true;
                hook = m_upgradeEndHook;
            }
            m_web->BeginReboot();
            if (hook) hook();
            Action close;
            close.due = plat::TickMs() + std::max(0, knobs.upgradeEndCloseMs);
            close.bClose = true;
            close.reason = "rebooting";
            Schedule(std::move(close));
            return;
        }
        case CMD_BYE:
            CloseLink("bye from the tool");
            return;
        default:
            break;
    }
    if (bTunnel) {
        // An answer the modem put on its serial line late goes out now, under this request's
        // number; the modem, still busy with it, answers this request only at the next one.
        bool bBehind = false;
        if (m_heldAnswer) {
            Reply(r.sControl, CMD_DATA, r.nSeq, m_heldAnswer->bytes, knobs);
            bBehind = m_heldAnswer->bLate;
            m_heldAnswer.reset();
        }
        bool bLate = false;
        const auto answer = m_modem.Handle(req.data, knobs, &bLate);
        if (!answer) {
            Event("link: the modem does not answer");
            return;
        }
        std::vector<uint8_t> bytes = *answer;
        if (bytes.size() > LINK_DATA_SIZE) bytes.resize(LINK_DATA_SIZE);
        if (bLate || bBehind) {
            Event(bLate ? "link: the modem answers late" : "link: the modem's answer waits behind the late one");
            m_heldAnswer = HeldAnswer{std::move(bytes), bLate};
            return;
        }
        Reply(r.sControl, CMD_DATA, r.nSeq, bytes, knobs);
        return;
    }
    Event(plat::Format("link: no answer to type 0x%02X", r.sControl));
}

void GatewaySim::OnImageBytes(std::span<const uint8_t> bytes, bool bDone) {
    if (!m_bImageActive) return;
    m_sha.Update(bytes.data(), bytes.size());
    m_imageReceived += bytes.size();
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_images[m_imageType].received = m_imageReceived;
    }
    const SimKnobs knobs = Knobs();
    if (ApplyImageCut(knobs)) return;  // a cut at the last byte leaves the image unanswered
    if (bDone) {
        const uint8_t type = m_imageType;
        const uint32_t seq = m_imageSeq;
        FinishImage(true);
        Reply(type, type, seq, {}, knobs);
    }
}

void GatewaySim::FinishImage(bool bComplete) {
    const std::string digest = m_sha.HexDigest();
    m_bImageActive = false;
    Event(plat::Format("link: image 0x%02X %s, %llu bytes", m_imageType, bComplete ? "complete" : "cut short",
                       static_cast<unsigned long long>(m_imageReceived)));
    std::lock_guard<std::mutex> lock(m_mutex);
    SimImage& image = m_images[m_imageType];
    image.received = m_imageReceived;
    image.bComplete = m_imageReceived == image.announced;
    image.sha256 = digest;
}

void GatewaySim::Reply(uint8_t requestType, uint8_t replyType, uint32_t nSeq,
                       std::span<const uint8_t> data, const SimKnobs& knobs) {
    if (knobs.silentTypes.count(requestType)) {
        Event(plat::Format("link: silent to 0x%02X seq %u", requestType, nSeq));
        return;
    }
    LinkRecord out;
    if (knobs.byeInsteadTypes.count(requestType)) {
        out.sControl = CMD_BYE;
        out.nSeq = nSeq;
    } else {
        out.sControl = replyType;
        out.nArg1 = static_cast<uint32_t>(LINK_RECORD_SIZE);
        out.nSeq = nSeq;
        std::copy_n(data.begin(), std::min(data.size(), LINK_DATA_SIZE), out.abData.begin());
        out.nLength = static_cast<uint32_t>(data.size());
        if (auto it = knobs.wrongReplyType.find(requestType); it != knobs.wrongReplyType.end())
            out.sControl = it->second;
        if (auto it = knobs.seqOffset.find(requestType); it != knobs.seqOffset.end())
            out.nSeq = nSeq + it->second;
        if (auto it = knobs.replyLength.find(requestType); it != knobs.replyLength.end())
            out.nLength = it->second;
    }
    Action action;
    // The layout the tool decodes the reply type with.
    EncodeLayout(out, DecodeLayout(out.sControl), std::span<uint8_t, LINK_MESSAGE_SIZE>(action.message));
    action.bSend = true;
    action.reply = SimReply{out.sControl, out.nSeq, out.nLength, requestType};
    action.bClose = knobs.hangUpAfterTypes.count(requestType) != 0;
    action.reason = plat::Format("hang-up after the reply to 0x%02X", requestType);
    const auto delay = knobs.replyDelayMs.find(requestType);
    action.due = plat::TickMs() + (delay == knobs.replyDelayMs.end() ? 0 : std::max(0, delay->second));
    Schedule(std::move(action));
    RunDueActions();
}

void GatewaySim::Schedule(Action action) {
    action.generation = m_nGeneration;
    action.order = ++m_nOrder;
    m_actions.push_back(std::move(action));
}

void GatewaySim::RunDueActions() {
    while (!m_actions.empty()) {
        const int64_t now = plat::TickMs();
        auto next = std::min_element(m_actions.begin(), m_actions.end(), [](const Action& a, const Action& b) {
            return a.due != b.due ? a.due < b.due : a.order < b.order;
        });
        if (next->due > now) return;
        Action action = std::move(*next);
        m_actions.erase(next);
        if (action.generation != m_nGeneration || !m_tcp.Valid()) continue;
        if (action.bSend) {
            if (!SendMessage(action.message)) {
                CloseLink("send failed: " + plat::LastSocketErrorText());
                continue;
            }
            Event(plat::Format("link: reply 0x%02X seq %u length %u", action.reply.type, action.reply.nSeq,
                               action.reply.nLength));
            std::lock_guard<std::mutex> lock(m_mutex);
            m_replies.push_back(action.reply);
        }
        if (action.bClose) CloseLink(action.reason);
    }
}

bool GatewaySim::SendMessage(const LinkMessage& message) { return m_tcp.SendAll(message.data(), message.size()); }
