#include "cpelink/link_server.h"

#include <vector>

#include "platform/adapters.h"
#include "platform/process.h"
#include "platform/trace.h"

namespace {

constexpr int WORKER_WAIT_MS = 50;        // longest poll of a worker; wake-ups cut it short
constexpr int64_t START_PAUSE_MS = 1000;
constexpr int64_t BYE_CLOSE_WAIT_MS = 500;
constexpr int LOCAL_ADDRESS_TRIES = 20;
constexpr int64_t LOCAL_ADDRESS_RETRY_MS = 100;
constexpr int SOCKET_BUFFER_BYTES = 16 * 1024 * 1024;
constexpr int KEEPALIVE_SECONDS = 10;

std::mutex g_serverLock;
CLinkServer* g_pServer = nullptr;

// A host-order address as the announcement carries it: first octet in the lowest byte.
uint32_t ArgOf(uint32_t ip) {
    return (ip >> 24) | ((ip >> 8) & 0xFF00) | ((ip << 8) & 0xFF0000) | (ip << 24);
}

bool IsUsable(uint32_t v) { return v != 0 && (v & 0xFF) != 127; }

constexpr uint32_t LOOPBACK_ARG = 0x0100007F;  // 127.0.0.1 as the announcement carries it

// The local address of a UDP socket "connected" to the gateway: the route's source address.
uint32_t RouteAddress(const plat::Endpoints& ep) {
    uint32_t gw = 0;
    if (!plat::ResolveIpv4(ep.gateway, gw)) return 0;
    plat::Socket s = plat::Socket::Udp();
    const int port = ep.webPort > 0 && ep.webPort < 65536 ? ep.webPort : 80;
    if (!s || !s.Connect({gw, port}, 0)) return 0;
    return ArgOf(s.LocalAddress().ip);
}

// The announcer's datagram socket, bound to the address it announces, so that the datagram leaves
// through the adapter that holds that address: with no default route a socket bound to no address
// cannot send to the limited broadcast at all, and with a default route through another adapter
// (WiFi) the datagram would leave there. Unbound when that address is not the PC's own (an
// --announce-address of another host).
plat::Socket AnnouncerSocket(uint32_t localArg) {
    if (IsUsable(localArg) || localArg == LOOPBACK_ARG) {
        plat::Socket bound = plat::Socket::Udp();
        if (bound && bound.SetBroadcast(true) && bound.Bind({ArgOf(localArg), 0})) return bound;
    }
    plat::Socket s = plat::Socket::Udp();
    if (s) s.SetBroadcast(true);
    return s;
}

// Sends the 9 bye bytes.
void SendBye(const plat::Socket& s) {
    LinkRecord bye;
    bye.sControl = CMD_BYE;
    LinkMessage m{};
    const size_t n = EncodeServerRecord(bye, 0, std::span<uint8_t, LINK_MESSAGE_SIZE>(m));
    s.Send(m.data(), n, plat::IoMode::NoWait);
}

// Waits up to `waitMs` for the peer to close, reading whatever it still sends.
void WaitForPeerClose(const plat::Socket& s, int64_t waitMs) {
    const int64_t end = plat::TickMs() + waitMs;
    uint8_t sink[2048];
    for (;;) {
        const int64_t left = end - plat::TickMs();
        if (left <= 0 || s.Wait(plat::SOCKET_READABLE, left) <= 0) return;
        const std::ptrdiff_t n = s.Receive(sink, sizeof sink, plat::IoMode::NoWait);
        if (n == 0 || n == plat::IO_FAILED) return;
    }
}

}  // namespace

uint32_t AddressValue(const std::string& dotted) {
    uint32_t ip = 0;
    return plat::ParseIpv4(dotted, ip) ? ArgOf(ip) : 0;
}

uint32_t LookUpLocalAddress(const plat::Endpoints& ep) {
    if (!ep.announceAddress.empty()) {
        uint32_t ip = 0;
        return plat::ResolveIpv4(ep.announceAddress, ip) ? ArgOf(ip) : 0;
    }
    if (plat::IsLoopbackAddress(ep.gateway)) return AddressValue("127.0.0.1");
    for (int i = 0; i < LOCAL_ADDRESS_TRIES; ++i) {
        uint32_t v = RouteAddress(ep);
        if (!IsUsable(v)) v = ArgOf(plat::FirstInterfaceIpv4());
        if (IsUsable(v)) return v;
        if (!plat::SleepRaw(LOCAL_ADDRESS_RETRY_MS)) break;
    }
    return 0;
}

bool IsLinkServerRunning() {
    std::lock_guard<std::mutex> lock(g_serverLock);
    return g_pServer != nullptr;
}

int TakePendingFromRunningServer(LinkConnectionPtr& out) {
    std::lock_guard<std::mutex> lock(g_serverLock);
    if (!g_pServer) return -1;
    return g_pServer->TakePendingConnection(out);
}

CLinkServer::CLinkServer() {
    // The slot table and the wake-ups outlive every server, also one of static storage.
    GetLinkSlot(0);
    LinkSenderWake();
}

CLinkServer::~CLinkServer() { Stop(); }

bool CLinkServer::Start(const LinkServerConfig& config) {
    if (m_bRunning) return false;
    {
        std::lock_guard<std::mutex> lock(g_serverLock);
        if (g_pServer) return false;
    }
    m_config = config;

    // Slots start empty; whatever they held is let go.
    for (int i = 0; i < LINE_COUNT; ++i) {
        if (LinkConnectionPtr held = SlotClear(i)) held->GiveBack();
    }
    std::deque<LinkConnectionPtr> stale;
    {
        std::lock_guard<std::mutex> lock(m_pendingLock);
        stale.swap(m_pending);
    }
    for (auto& c : stale) c->GiveBack();

    // Listening socket. A loopback gateway (tests, the simulator) is served on loopback only.
    const int port = m_config.endpoints.linkPort;
    m_nPort = 0;
    m_listen = plat::Socket::Tcp();
    bool bListening = false;
    if (m_listen) {
        m_listen.SetNoDelay(true);
        m_listen.SetReuseAddress(true);
        const uint32_t ip = plat::IsLoopbackAddress(m_config.endpoints.gateway) ? plat::IPV4_LOOPBACK : plat::IPV4_ANY;
        if (port >= 0 && port < 65536 && m_listen.Bind({ip, port}) && m_listen.Listen()) {
            m_nPort = m_listen.LocalPort();
            bListening = true;
        } else {
            m_listen.Close();
        }
    }
    if (!bListening) {
        const std::string text = plat::Format(LINK_PORT_BUSY_TEXT, port);
        plat::Trace(text);
        if (m_config.onPortBusy) m_config.onPortBusy(text);
    }

    m_nAnnounced = 0;
    m_nAccepted = 0;
    m_announcedIp = 0;
    m_bStop = false;
    m_bAccepting = true;
    m_bRunning = true;
    m_sendThread.Start([this] { SendLoop(); });
    m_receiveThread.Start([this] { ReceiveLoop(); });
    m_announcer.Start([this] { AnnounceLoop(); });
    {
        std::lock_guard<std::mutex> lock(g_serverLock);
        g_pServer = this;
    }
    plat::Sleep(START_PAUSE_MS);
    return bListening;
}

void CLinkServer::Stop() {
    if (!m_bRunning) return;
    {
        std::lock_guard<std::mutex> lock(g_serverLock);
        if (g_pServer == this) g_pServer = nullptr;
    }
    // No new connection enters the pending queue from here on.
    m_bAccepting = false;
    WakeLinkReceiver();
    std::deque<LinkConnectionPtr> pending;
    {
        std::lock_guard<std::mutex> lock(m_pendingLock);
        pending.swap(m_pending);
    }
    ByeAndRelease(std::move(pending), true);

    m_bStop = true;
    WakeLinkSender();
    WakeLinkReceiver();
    m_sendThread.Join();
    m_receiveThread.Join();
    std::deque<LinkConnectionPtr> late;
    {
        // A connection the receive thread accepted while the stop began.
        std::lock_guard<std::mutex> lock(m_pendingLock);
        late.swap(m_pending);
    }
    ByeAndRelease(std::move(late), false);

    m_announcer.Join();
    m_listen.Close();
    m_nPort = 0;
    m_bRunning = false;
}

void CLinkServer::ByeAndRelease(std::deque<LinkConnectionPtr> pending, bool bWaitForClose) {
    for (auto& c : pending) SendBye(c->Sock());
    for (auto& c : pending) {
        if (bWaitForClose) WaitForPeerClose(c->Sock(), BYE_CLOSE_WAIT_MS);
        c->GiveBack();
    }
}

int CLinkServer::TakePendingConnection(LinkConnectionPtr& out) {
    std::lock_guard<std::mutex> lock(m_pendingLock);
    if (m_pending.empty()) return -1;
    out = m_pending.front();
    m_pending.pop_front();
    return 0;
}

size_t CLinkServer::PendingCount() {
    std::lock_guard<std::mutex> lock(m_pendingLock);
    return m_pending.size();
}

uint32_t CLinkServer::LocalAddress() { return LookUpLocalAddress(m_config.endpoints); }

std::string CLinkServer::LastAnnouncedAddress() {
    std::lock_guard<std::mutex> lock(m_announcedLock);
    return m_strAnnounced;
}

void CLinkServer::LoseConnection(int index, const LinkConnectionPtr& conn) {
    if (SlotRelease(index, conn.get()))
        conn->GiveBack();
    else
        conn->Shutdown();
}

void CLinkServer::SendLoop() {
    plat::WakeUp& wake = LinkSenderWake();
    while (!m_bStop && !plat::StopRequested()) {
        std::vector<plat::WaitItem> items;
        std::vector<std::pair<int, LinkConnectionPtr>> watched;
        items.push_back(wake.Item());
        for (int i = 0; i < LINE_COUNT; ++i) {
            LinkSlot& s = GetLinkSlot(i);
            std::lock_guard<std::mutex> w(s.sendLock);
            if (s.bPending.load(std::memory_order_acquire) && s.sendConn) {
                items.push_back({s.sendConn->Sock().Native(), plat::SOCKET_WRITABLE, 0});
                watched.emplace_back(i, s.sendConn);
            }
        }
        if (plat::WaitAny(items, WORKER_WAIT_MS) <= 0) continue;  // time-out, or a failed wait
        if (items[0].ready) wake.Drain();
        for (size_t k = 0; k < watched.size(); ++k) {
            if ((items[k + 1].ready & (plat::SOCKET_WRITABLE | plat::SOCKET_BROKEN)) == 0) continue;
            const int index = watched[k].first;
            const LinkConnectionPtr& conn = watched[k].second;
            LinkSlot& s = GetLinkSlot(index);
            bool bFailed = false;
            {
                std::lock_guard<std::mutex> w(s.sendLock);
                if (s.sendConn != conn || !s.bPending.load(std::memory_order_acquire)) continue;
                const std::ptrdiff_t n = conn->Sock().Send(s.outgoing.data() + s.sentBytes,
                                                           LINK_MESSAGE_SIZE - s.sentBytes, plat::IoMode::NoWait);
                if (n > 0) {
                    s.sentBytes += static_cast<size_t>(n);
                    if (s.sentBytes == LINK_MESSAGE_SIZE) {
                        s.sentBytes = 0;
                        s.lastSentTick = plat::TickMs();
                        s.bPending.store(false, std::memory_order_release);
                    }
                } else if (n != plat::IO_WOULD_BLOCK) {
                    bFailed = true;
                }  // else not writable after all; the next pass tries again
            }
            if (bFailed) LoseConnection(index, conn);
        }
    }
}

// Only the gateway on the cable may take a line's place: a host elsewhere that heard or guessed
// the port could otherwise receive the images or feed an NV backup.
bool CLinkServer::PeerAllowed(uint32_t peer) {
    uint32_t net = m_config.acceptNet, mask = m_config.acceptMask;
    if (mask == 0) {
        uint32_t local = m_announcedIp.load();
        if (local == 0) local = ArgOf(LookUpLocalAddress(m_config.endpoints));  // before the first pass
        net = local;
        if ((local >> 24) == 127) {
            mask = 0xFF000000;
        } else {
            mask = 0xFFFFFF00;
            for (const plat::AdapterAddress& a : plat::ListAdapterAddresses())
                if (a.ip == local && a.mask != 0) mask = a.mask;
        }
    }
    if (net != 0 && (peer & mask) == (net & mask)) return true;
    int prefix = 0;
    while (prefix < 32 && (mask & (0x80000000u >> prefix))) ++prefix;
    plat::TraceF(LINK_PEER_REFUSED_TEXT, plat::Ipv4Text(peer).c_str(), plat::Ipv4Text(net & mask).c_str(), prefix);
    return false;
}

void CLinkServer::AcceptOne() {
    plat::Socket s = m_listen.Accept();
    if (!s) {
        // Nothing pending after all, or out of descriptors and the like: do not spin on a
        // listening socket that stays readable.
        plat::SleepRaw(10);
        return;
    }
    if (!PeerAllowed(s.PeerAddress().ip)) return;  // closed here, never counted
    s.SetNoDelay(true);
    s.SetBufferSizes(SOCKET_BUFFER_BYTES);
    s.SetKeepAlive(KEEPALIVE_SECONDS, KEEPALIVE_SECONDS);
    auto conn = std::make_shared<LinkConnection>(std::move(s));
    AddLinkConnection();
    ++m_nAccepted;
    std::lock_guard<std::mutex> lock(m_pendingLock);
    m_pending.push_back(std::move(conn));
}

void CLinkServer::ReceiveLoop() {
    plat::WakeUp& wake = LinkReceiverWake();
    std::vector<uint8_t> buffer(16 * LINK_MESSAGE_SIZE);
    while (!m_bStop && !plat::StopRequested()) {
        std::vector<plat::WaitItem> items;
        std::vector<std::pair<int, LinkConnectionPtr>> watched;
        items.push_back(wake.Item());
        const bool bListen = m_bAccepting && m_listen.Valid() && !LinkConnectionsFull();
        if (bListen) items.push_back({m_listen.Native(), plat::SOCKET_READABLE, 0});
        const size_t first = items.size();
        for (int i = 0; i < LINE_COUNT; ++i) {
            LinkSlot& s = GetLinkSlot(i);
            std::lock_guard<std::mutex> r(s.recvLock);
            if (s.recvConn) {
                items.push_back({s.recvConn->Sock().Native(), plat::SOCKET_READABLE, 0});
                watched.emplace_back(i, s.recvConn);
            }
        }
        if (plat::WaitAny(items, WORKER_WAIT_MS) <= 0) continue;  // time-out, or a failed wait
        if (items[0].ready) wake.Drain();
        if (bListen && (items[1].ready & plat::SOCKET_READABLE) && m_bAccepting && !LinkConnectionsFull()) AcceptOne();
        for (size_t k = 0; k < watched.size(); ++k) {
            if ((items[first + k].ready & (plat::SOCKET_READABLE | plat::SOCKET_BROKEN)) == 0) continue;
            const int index = watched[k].first;
            const LinkConnectionPtr& conn = watched[k].second;
            const std::ptrdiff_t n = conn->Sock().Receive(buffer.data(), buffer.size(), plat::IoMode::NoWait);
            if (n > 0) {
                LinkSlot& s = GetLinkSlot(index);
                std::lock_guard<std::mutex> lock(s.recvLock);
                if (s.recvConn != conn) continue;  // released meanwhile: the bytes belong to nobody
                s.incoming.Feed(std::span<const uint8_t>(buffer.data(), static_cast<size_t>(n)),
                                [&s](const LinkMessage& m) { SlotAppendLocked(s, DecodeRecord(m)); });
            } else if (n != plat::IO_WOULD_BLOCK) {
                LoseConnection(index, conn);
            }
        }
    }
}

void CLinkServer::AnnounceLoop() {
    const plat::Endpoints& ep = m_config.endpoints;
    plat::Socket udp;
    uint32_t boundFor = 0;
    bool bMade = false;
    int lastError = 0;
    while (plat::Sleep(ANNOUNCE_PERIOD_MS)) {
        // Nothing to announce while full, or when the port could not be bound (the gateway
        // would call whatever program holds it).
        if (LinkConnectionsFull() || m_nPort.load() == 0) continue;
        uint32_t dest = 0;
        if (!plat::ResolveIpv4(ep.announceHost, dest)) continue;
        LinkRecord a;
        a.sControl = CMD_ANNOUNCE;
        a.nArg1 = ANNOUNCE_ARG1;
        a.nSeq = ANNOUNCE_SEQ;
        a.nArg2 = static_cast<uint32_t>(m_nPort.load());
        const uint32_t local = LocalAddress();
        if (plat::StopRequested()) break;
        m_announcedIp = ArgOf(local);
        // The address may change between passes (a cable plugged in, an address set): the socket
        // follows it.
        if (!bMade || local != boundFor) {
            udp = AnnouncerSocket(local);
            boundFor = local;
            bMade = true;
        }
        if (!udp) continue;
        const LinkMessage m = EncodeServerRecord(a, local);
        const std::ptrdiff_t n = udp.SendTo(m.data(), m.size(), {dest, ep.announcePort});
        if (n == static_cast<std::ptrdiff_t>(m.size())) {
            {
                std::lock_guard<std::mutex> lock(m_announcedLock);
                m_strAnnounced = plat::Ipv4Text(ArgOf(local));
            }
            ++m_nAnnounced;
            lastError = 0;
            continue;
        }
        const int error = n < 0 ? plat::LastSocketError() : -1;
        if (error == lastError) continue;
        lastError = error;
        const std::string why = error == -1 ? plat::Format("%d of %d bytes sent", static_cast<int>(n), static_cast<int>(m.size()))
                                            : plat::SocketErrorText(error);
        const std::string text = plat::Format(ANNOUNCE_FAILED_TEXT,
                                              (ep.announceHost + ":" + std::to_string(ep.announcePort)).c_str(),
                                              plat::Ipv4Text(ArgOf(local)).c_str(), why.c_str());
        plat::Trace(text);
        if (m_config.onAnnounceFailed) m_config.onAnnounceFailed(text);
    }
}
