#include "cpelink/link_server.h"

#include <arpa/inet.h>
#include <cerrno>
#include <cstring>
#include <ifaddrs.h>
#include <net/if.h>
#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <vector>

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

uint32_t ValueOf(in_addr a) {
    const auto* p = reinterpret_cast<const uint8_t*>(&a.s_addr);
    return static_cast<uint32_t>(p[0]) | static_cast<uint32_t>(p[1]) << 8 |
           static_cast<uint32_t>(p[2]) << 16 | static_cast<uint32_t>(p[3]) << 24;
}

bool IsUsable(uint32_t v) { return v != 0 && (v & 0xFF) != 127; }

void SetIntOption(int fd, int level, int name, int value) {
    setsockopt(fd, level, name, &value, sizeof value);
}

// The local address of a UDP socket "connected" to the gateway: the route's source address.
uint32_t RouteAddress(const plat::Endpoints& ep) {
    in_addr gw{};
    if (inet_pton(AF_INET, ep.gateway.c_str(), &gw) != 1) {
        addrinfo hints{};
        hints.ai_family = AF_INET;
        hints.ai_socktype = SOCK_DGRAM;
        addrinfo* res = nullptr;
        if (getaddrinfo(ep.gateway.c_str(), nullptr, &hints, &res) != 0 || !res) return 0;
        gw = reinterpret_cast<const sockaddr_in*>(res->ai_addr)->sin_addr;
        freeaddrinfo(res);
    }
    const int fd = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    if (fd < 0) return 0;
    sockaddr_in sa{};
    sa.sin_family = AF_INET;
    sa.sin_port = htons(static_cast<uint16_t>(ep.webPort > 0 && ep.webPort < 65536 ? ep.webPort : 80));
    sa.sin_addr = gw;
    uint32_t v = 0;
    if (connect(fd, reinterpret_cast<const sockaddr*>(&sa), sizeof sa) == 0) {
        sockaddr_in local{};
        socklen_t len = sizeof local;
        if (getsockname(fd, reinterpret_cast<sockaddr*>(&local), &len) == 0) v = ValueOf(local.sin_addr);
    }
    close(fd);
    return v;
}

uint32_t InterfaceAddress() {
    ifaddrs* list = nullptr;
    if (getifaddrs(&list) != 0) return 0;
    uint32_t v = 0;
    for (ifaddrs* i = list; i && v == 0; i = i->ifa_next) {
        if (!i->ifa_addr || i->ifa_addr->sa_family != AF_INET) continue;
        if ((i->ifa_flags & IFF_UP) == 0 || (i->ifa_flags & IFF_LOOPBACK) != 0) continue;
        const uint32_t a = ValueOf(reinterpret_cast<const sockaddr_in*>(i->ifa_addr)->sin_addr);
        if (IsUsable(a)) v = a;
    }
    freeifaddrs(list);
    return v;
}

// Sends the 9 bye bytes and waits up to `waitMs` for the peer to close.
void SendBye(int fd) {
    LinkRecord bye;
    bye.sControl = CMD_BYE;
    LinkMessage m{};
    const size_t n = EncodeServerRecord(bye, 0, std::span<uint8_t, LINK_MESSAGE_SIZE>(m));
    [[maybe_unused]] ssize_t r = send(fd, m.data(), n, MSG_NOSIGNAL | MSG_DONTWAIT);
}

void WaitForPeerClose(int fd, int64_t waitMs) {
    const int64_t end = plat::TickMs() + waitMs;
    uint8_t sink[2048];
    for (;;) {
        const int64_t left = end - plat::TickMs();
        if (left <= 0) return;
        pollfd p{fd, POLLIN, 0};
        const int r = poll(&p, 1, static_cast<int>(left));
        if (r < 0 && errno == EINTR) continue;
        if (r <= 0) return;
        const ssize_t n = recv(fd, sink, sizeof sink, MSG_DONTWAIT);
        if (n == 0) return;
        if (n < 0 && errno != EAGAIN && errno != EWOULDBLOCK && errno != EINTR) return;
    }
}

}  // namespace

uint32_t AddressValue(const std::string& dotted) {
    in_addr a{};
    if (inet_pton(AF_INET, dotted.c_str(), &a) != 1) return 0;
    return ValueOf(a);
}

uint32_t LookUpLocalAddress(const plat::Endpoints& ep) {
    if (!ep.announceAddress.empty()) {
        if (const uint32_t v = AddressValue(ep.announceAddress)) return v;
        addrinfo hints{};
        hints.ai_family = AF_INET;
        addrinfo* res = nullptr;
        if (getaddrinfo(ep.announceAddress.c_str(), nullptr, &hints, &res) != 0 || !res) return 0;
        const uint32_t v = ValueOf(reinterpret_cast<const sockaddr_in*>(res->ai_addr)->sin_addr);
        freeaddrinfo(res);
        return v;
    }
    if (plat::IsLoopbackAddress(ep.gateway)) return AddressValue("127.0.0.1");
    for (int i = 0; i < LOCAL_ADDRESS_TRIES; ++i) {
        uint32_t v = RouteAddress(ep);
        if (!IsUsable(v)) v = InterfaceAddress();
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
    LinkSenderWakeFd();
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
    for (int i = 0; i < LINK_SLOT_COUNT; ++i) {
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
    m_listenFd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, IPPROTO_TCP);
    bool bListening = false;
    if (m_listenFd >= 0) {
        SetIntOption(m_listenFd, IPPROTO_TCP, TCP_NODELAY, 1);
        SetIntOption(m_listenFd, SOL_SOCKET, SO_REUSEADDR, 1);
        sockaddr_in sa{};
        sa.sin_family = AF_INET;
        sa.sin_port = htons(static_cast<uint16_t>(port >= 0 && port < 65536 ? port : 0));
        sa.sin_addr.s_addr = plat::IsLoopbackAddress(m_config.endpoints.gateway) ? htonl(INADDR_LOOPBACK)
                                                                                  : htonl(INADDR_ANY);
        if (port >= 0 && port < 65536 &&
            bind(m_listenFd, reinterpret_cast<const sockaddr*>(&sa), sizeof sa) == 0 &&
            listen(m_listenFd, SOMAXCONN) == 0) {
            sockaddr_in bound{};
            socklen_t len = sizeof bound;
            if (getsockname(m_listenFd, reinterpret_cast<sockaddr*>(&bound), &len) == 0) m_nPort = ntohs(bound.sin_port);
            bListening = true;
        } else {
            close(m_listenFd);
            m_listenFd = -1;
        }
    }
    if (!bListening) {
        const std::string text = plat::Format(LINK_PORT_BUSY_TEXT, port);
        plat::Trace(text);
        if (m_config.onPortBusy) m_config.onPortBusy(text);
    }

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
    if (m_listenFd >= 0) close(m_listenFd);
    m_listenFd = -1;
    m_nPort = 0;
    m_bRunning = false;
}

void CLinkServer::ByeAndRelease(std::deque<LinkConnectionPtr> pending, bool bWaitForClose) {
    for (auto& c : pending) SendBye(c->Fd());
    for (auto& c : pending) {
        if (bWaitForClose) WaitForPeerClose(c->Fd(), BYE_CLOSE_WAIT_MS);
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

void CLinkServer::LoseConnection(int index, const LinkConnectionPtr& conn) {
    if (SlotRelease(index, conn.get()))
        conn->GiveBack();
    else
        conn->Shutdown();
}

void CLinkServer::SendLoop() {
    const int wakeFd = LinkSenderWakeFd();
    while (!m_bStop && !plat::StopRequested()) {
        std::vector<pollfd> fds;
        std::vector<std::pair<int, LinkConnectionPtr>> watched;
        fds.push_back({wakeFd, POLLIN, 0});
        for (int i = 0; i < LINK_SLOT_COUNT; ++i) {
            LinkSlot& s = GetLinkSlot(i);
            std::lock_guard<std::mutex> w(s.sendLock);
            if (s.bPending.load(std::memory_order_acquire) && s.sendConn) {
                fds.push_back({s.sendConn->Fd(), POLLOUT, 0});
                watched.emplace_back(i, s.sendConn);
            }
        }
        const int r = poll(fds.data(), fds.size(), WORKER_WAIT_MS);
        if (r <= 0) continue;  // time-out, or an interrupted wait
        if (fds[0].revents) DrainWakeFd(wakeFd);
        for (size_t k = 0; k < watched.size(); ++k) {
            const short ev = fds[k + 1].revents;
            if ((ev & (POLLOUT | POLLERR | POLLHUP)) == 0) continue;
            const int index = watched[k].first;
            const LinkConnectionPtr& conn = watched[k].second;
            LinkSlot& s = GetLinkSlot(index);
            bool bFailed = false;
            {
                std::lock_guard<std::mutex> w(s.sendLock);
                if (s.sendConn != conn || !s.bPending.load(std::memory_order_acquire)) continue;
                const ssize_t n = send(conn->Fd(), s.outgoing.data() + s.sentBytes,
                                       LINK_MESSAGE_SIZE - s.sentBytes, MSG_NOSIGNAL | MSG_DONTWAIT);
                if (n > 0) {
                    s.sentBytes += static_cast<size_t>(n);
                    if (s.sentBytes == LINK_MESSAGE_SIZE) {
                        s.sentBytes = 0;
                        s.lastSentTick = plat::TickMs();
                        s.bPending.store(false, std::memory_order_release);
                    }
                } else if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR)) {
                    // not writable after all; the next pass tries again
                } else {
                    bFailed = true;
                }
            }
            if (bFailed) LoseConnection(index, conn);
        }
    }
}

void CLinkServer::AcceptOne() {
    const int fd = accept4(m_listenFd, nullptr, nullptr, SOCK_CLOEXEC);
    if (fd < 0) {
        // Out of descriptors and the like: do not spin on a listening socket that stays readable.
        if (errno != EAGAIN && errno != EWOULDBLOCK && errno != EINTR && errno != ECONNABORTED)
            plat::SleepRaw(10);
        return;
    }
    SetIntOption(fd, IPPROTO_TCP, TCP_NODELAY, 1);
    SetIntOption(fd, SOL_SOCKET, SO_SNDBUF, SOCKET_BUFFER_BYTES);
    SetIntOption(fd, SOL_SOCKET, SO_RCVBUF, SOCKET_BUFFER_BYTES);
    SetIntOption(fd, SOL_SOCKET, SO_KEEPALIVE, 1);
    SetIntOption(fd, IPPROTO_TCP, TCP_KEEPIDLE, KEEPALIVE_SECONDS);
    SetIntOption(fd, IPPROTO_TCP, TCP_KEEPINTVL, KEEPALIVE_SECONDS);
    auto conn = std::make_shared<LinkConnection>(fd);
    AddLinkConnection();
    std::lock_guard<std::mutex> lock(m_pendingLock);
    m_pending.push_back(std::move(conn));
}

void CLinkServer::ReceiveLoop() {
    const int wakeFd = LinkReceiverWakeFd();
    std::vector<uint8_t> buffer(16 * LINK_MESSAGE_SIZE);
    while (!m_bStop && !plat::StopRequested()) {
        std::vector<pollfd> fds;
        std::vector<std::pair<int, LinkConnectionPtr>> watched;
        fds.push_back({wakeFd, POLLIN, 0});
        const bool bListen = m_bAccepting && m_listenFd >= 0 && !LinkConnectionsFull();
        if (bListen) fds.push_back({m_listenFd, POLLIN, 0});
        const size_t first = fds.size();
        for (int i = 0; i < LINK_SLOT_COUNT; ++i) {
            LinkSlot& s = GetLinkSlot(i);
            std::lock_guard<std::mutex> r(s.recvLock);
            if (s.recvConn) {
                fds.push_back({s.recvConn->Fd(), POLLIN, 0});
                watched.emplace_back(i, s.recvConn);
            }
        }
        const int r = poll(fds.data(), fds.size(), WORKER_WAIT_MS);
        if (r <= 0) continue;  // time-out, or an interrupted wait
        if (fds[0].revents) DrainWakeFd(wakeFd);
        if (bListen && (fds[1].revents & POLLIN) && m_bAccepting && !LinkConnectionsFull()) AcceptOne();
        for (size_t k = 0; k < watched.size(); ++k) {
            const short ev = fds[first + k].revents;
            if ((ev & (POLLIN | POLLERR | POLLHUP)) == 0) continue;
            const int index = watched[k].first;
            const LinkConnectionPtr& conn = watched[k].second;
            const ssize_t n = recv(conn->Fd(), buffer.data(), buffer.size(), MSG_DONTWAIT);
            if (n > 0) {
                LinkSlot& s = GetLinkSlot(index);
                std::lock_guard<std::mutex> lock(s.recvLock);
                if (s.recvConn != conn) continue;  // released meanwhile: the bytes belong to nobody
                s.incoming.Feed(std::span<const uint8_t>(buffer.data(), static_cast<size_t>(n)),
                                [&s](const LinkMessage& m) { SlotAppendLocked(s, DecodeRecord(m)); });
            } else if (n == 0 || (errno != EAGAIN && errno != EWOULDBLOCK && errno != EINTR)) {
                LoseConnection(index, conn);
            }
        }
    }
}

void CLinkServer::AnnounceLoop() {
    const plat::Endpoints& ep = m_config.endpoints;
    const int fd = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    if (fd < 0) return;
    SetIntOption(fd, SOL_SOCKET, SO_BROADCAST, 1);
    while (plat::Sleep(ANNOUNCE_PERIOD_MS)) {
        // Nothing to announce while full, or when the port could not be bound (the gateway
        // would call whatever program holds it).
        if (LinkConnectionsFull() || m_nPort.load() == 0) continue;
        sockaddr_in dest{};
        dest.sin_family = AF_INET;
        dest.sin_port = htons(static_cast<uint16_t>(ep.announcePort));
        if (inet_pton(AF_INET, ep.announceHost.c_str(), &dest.sin_addr) != 1) {
            addrinfo hints{};
            hints.ai_family = AF_INET;
            hints.ai_socktype = SOCK_DGRAM;
            addrinfo* res = nullptr;
            if (getaddrinfo(ep.announceHost.c_str(), nullptr, &hints, &res) != 0 || !res) continue;
            dest.sin_addr = reinterpret_cast<const sockaddr_in*>(res->ai_addr)->sin_addr;
            freeaddrinfo(res);
        }
        LinkRecord a;
        a.sControl = CMD_ANNOUNCE;
        a.nArg1 = ANNOUNCE_ARG1;
        a.nSeq = ANNOUNCE_SEQ;
        a.nArg2 = static_cast<uint32_t>(m_nPort.load());
        const uint32_t local = LocalAddress();
        if (plat::StopRequested()) break;
        const LinkMessage m = EncodeServerRecord(a, local);
        sendto(fd, m.data(), m.size(), MSG_NOSIGNAL, reinterpret_cast<const sockaddr*>(&dest), sizeof dest);
    }
    close(fd);
}
