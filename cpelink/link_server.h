#pragma once
// CLinkServer: the TCP server the gateway connects to. It listens on the link port, announces the
// tool's address and port by UDP every 5000 ms while fewer than 8 connections are counted, keeps
// accepted connections in a first-in-first-out pending queue until a line takes one, and moves
// 1440-byte messages between the eight line slots and their connections (a send thread and a
// receive-and-accept thread).
#include <atomic>
#include <cstdint>
#include <deque>
#include <functional>
#include <mutex>
#include <string>

#include "cpelink/link_slots.h"
#include "platform/clock.h"
#include "platform/endpoints.h"
#include "platform/non_copyable.h"
#include "platform/socket.h"

// The text reported when the link port cannot be bound (%d: the port).
inline constexpr const char* LINK_PORT_BUSY_TEXT = "端口%d已被占用，请关闭占用该端口的程序。";
// The line-log entry of a failed announcement send (destination, source address, error text).
inline constexpr const char* ANNOUNCE_FAILED_TEXT = "广播发送失败：%s 本机地址%s：%s";

// Values of the announcement record.
constexpr uint32_t ANNOUNCE_ARG1 = 114;
constexpr uint32_t ANNOUNCE_SEQ = 108;
constexpr int64_t ANNOUNCE_PERIOD_MS = 5000;

struct LinkServerConfig {
    plat::Endpoints endpoints;
    // Called once per Start with LINK_PORT_BUSY_TEXT filled in when the port cannot be bound.
    std::function<void(const std::string&)> onPortBusy;
    // Called with the line-log text (ANNOUNCE_FAILED_TEXT) when an announcement cannot
    // be sent, once per change of the send's error (a send that works again resets it).
    std::function<void(const std::string&)> onAnnounceFailed;
    // The subnet link connections are taken from (host order). Mask 0: the subnet of the adapter
    // that holds the announced address (its mask, /24 when it has none or is not found), or
    // 127.0.0.0/8 when the announced address is a loopback one.
    uint32_t acceptNet = 0;
    uint32_t acceptMask = 0;
};

// The trace line of a connection refused for its address (peer, subnet, prefix length).
inline constexpr const char* LINK_PEER_REFUSED_TEXT = "Link connection from %s refused: not on %s/%d";

class CLinkServer : private plat::NonCopyable {
public:
    CLinkServer();
    ~CLinkServer();  // stops

    // Clears the eight slots (their connections are given back), opens the listening socket,
    // starts the worker threads and the announcer, becomes the running server and sleeps 1000 ms
    // (scaled). True when listening. Does nothing (false) while this or another server runs.
    bool Start(const LinkServerConfig& config);
    // Bye (FF + 8 zeros) to each pending peer, oldest first, at most 500 ms per peer to close;
    // then the threads end, the pending connections are given back and the listening socket is
    // closed (a later Start binds the port again). Nothing while not running.
    void Stop();
    bool IsRunning() const { return m_bRunning; }

    // The bound port (0 when not listening).
    int Port() const { return m_nPort.load(); }
    // The oldest pending connection: 0 and `out` set, or -1 when none is pending.
    int TakePendingConnection(LinkConnectionPtr& out);
    size_t PendingCount();

    // The IPv4 address announced: first octet in the lowest byte; 0 when none was found.
    uint32_t LocalAddress();
    // Announcements sent whole since Start, the address the last one carried (dotted), and the
    // connections accepted since Start.
    int AnnouncementsSent() const { return m_nAnnounced.load(); }
    std::string LastAnnouncedAddress();
    int ConnectionsAccepted() const { return m_nAccepted.load(); }

private:
    void SendLoop();
    void ReceiveLoop();
    void AnnounceLoop();
    void AcceptOne();
    // Whether a connection from `peer` (host order) may be taken; else traced.
    bool PeerAllowed(uint32_t peer);
    void LoseConnection(int index, const LinkConnectionPtr& conn);
    void ByeAndRelease(std::deque<LinkConnectionPtr> pending, bool bWaitForClose);

    LinkServerConfig m_config;
    bool m_bRunning = false;
    std::atomic<bool> m_bStop{false};
    std::atomic<bool> m_bAccepting{false};
    plat::Socket m_listen;
    std::atomic<int> m_nPort{0};
    std::atomic<int> m_nAnnounced{0};
    std::atomic<int> m_nAccepted{0};
    std::atomic<uint32_t> m_announcedIp{0};  // host order; what the last pass announced
    std::mutex m_announcedLock;
    std::string m_strAnnounced;
    std::mutex m_pendingLock;
    std::deque<LinkConnectionPtr> m_pending;
    plat::WorkerThread m_sendThread;
    plat::WorkerThread m_receiveThread;
    plat::WorkerThread m_announcer;
};

// The running server: set by Start, cleared by Stop.
bool IsLinkServerRunning();
// TakePendingConnection of the running server; -1 when no server runs or none is pending.
int TakePendingFromRunningServer(LinkConnectionPtr& out);

// The address announced for these endpoints: the announce-address override when set; 127.0.0.1
// for a loopback gateway; else the local address a UDP socket connected to the gateway gets
// (nothing is sent); else the first non-loopback IPv4 address of the interfaces. Up to 20 tries
// 100 ms apart; 0 when none was found (or the calling thread was asked to stop).
uint32_t LookUpLocalAddress(const plat::Endpoints& endpoints);
// "a.b.c.d" -> first octet in the lowest byte; 0 when not a dotted address.
uint32_t AddressValue(const std::string& dotted);
