#pragma once
// The one socket layer of the program: IPv4 TCP and UDP sockets behind a handle that closes
// itself, a bounded connect, waits with a time-out over one or several sockets, the options the
// link needs, a send that never raises SIGPIPE, error texts, and a wake-up object a wait can
// include. socket.cpp holds what both systems share, socket_posix.cpp the BSD socket side and
// socket_win.cpp the Winsock side (Winsock is started by the network start-up before any socket
// is made).
//
// Addresses are IPv4 values in host order (127.0.0.1 is 0x7F000001). Every wait takes real
// milliseconds; a negative time-out waits without limit. An interrupted wait resumes.
#include <cstddef>
#include <cstdint>
#include <span>
#include <string>

#include "platform/non_copyable.h"

namespace plat {

#ifdef _WIN32
using NativeSocket = std::uintptr_t;  // SOCKET
inline constexpr NativeSocket NO_SOCKET = ~NativeSocket{0};
#else
using NativeSocket = int;
inline constexpr NativeSocket NO_SOCKET = -1;
#endif

inline constexpr uint32_t IPV4_ANY = 0;
inline constexpr uint32_t IPV4_LOOPBACK = 0x7F000001;

struct SocketAddress {
    uint32_t ip = 0;  // host order
    int port = 0;
};

// "a.b.c.d" -> host-order value; false when `text` is not a dotted IPv4 address.
bool ParseIpv4(const std::string& text, uint32_t& ip);
// The dotted text of a host-order value.
std::string Ipv4Text(uint32_t ip);
// A dotted address, else the first IPv4 address the name resolves to; false when none.
bool ResolveIpv4(const std::string& host, uint32_t& ip);
// The first IPv4 address of an interface that is up and not loopback (the host name's first
// non-loopback address where interfaces cannot be listed); 0 when none.
uint32_t FirstInterfaceIpv4();

// The calling thread's last socket error (errno, WSAGetLastError) and its text.
int LastSocketError();
std::string SocketErrorText(int error);
inline std::string LastSocketErrorText() { return SocketErrorText(LastSocketError()); }

// What a wait asks for and what it found.
enum : unsigned { SOCKET_READABLE = 1, SOCKET_WRITABLE = 2, SOCKET_BROKEN = 4 };

// Results of Send and Receive besides a byte count (Receive: 0 = the peer closed).
inline constexpr std::ptrdiff_t IO_FAILED = -1;
inline constexpr std::ptrdiff_t IO_WOULD_BLOCK = -2;

// Wait: the call blocks (a send until every byte is handed over or the send time-out ends it);
// NoWait: it returns IO_WOULD_BLOCK instead of blocking.
enum class IoMode { Wait, NoWait };

class Socket : private NonCopyable {
public:
    Socket() = default;
    explicit Socket(NativeSocket s) : m_s(s) {}
    ~Socket() { Close(); }
    Socket(Socket&& other) noexcept;
    Socket& operator=(Socket&& other) noexcept;

    // A new socket (not inherited by child processes); invalid on failure (LastSocketError).
    static Socket Tcp();
    static Socket Udp();

    bool Valid() const { return m_s != NO_SOCKET; }
    explicit operator bool() const { return Valid(); }
    NativeSocket Native() const { return m_s; }
    void Close();
    // Gives the handle up without closing it.
    NativeSocket Release() {
        const NativeSocket s = m_s;
        m_s = NO_SOCKET;
        return s;
    }

    bool Bind(SocketAddress address);
    // Listens (-1: the system's largest backlog). A listening socket never blocks in Accept.
    bool Listen(int backlog = -1);
    // The next pending connection (wait for SOCKET_READABLE first); invalid when none is pending
    // or on failure.
    Socket Accept() const;
    // Connects within `timeoutMs` (TCP; for UDP it only fixes the peer and sends nothing). On
    // failure the reason goes to `error` (when given); the socket is then of no further use.
    bool Connect(SocketAddress peer, int64_t timeoutMs, std::string* error = nullptr);

    // Ends both directions, or only the sending one; the handle stays valid for its holders.
    void Shutdown() const;
    void ShutdownSend() const;

    // Options (false when the system refused).
    bool SetNoDelay(bool on);
    // Binding again at once over connections of an earlier listener (a no-op on Windows, which
    // allows that anyway and whose SO_REUSEADDR would let two listeners share a port).
    bool SetReuseAddress(bool on);
    bool SetBroadcast(bool on);
    bool SetBufferSizes(int bytes);  // send and receive buffers
    // Keep-alive probes after `idleSeconds` of silence, then every `intervalSeconds`.
    bool SetKeepAlive(int idleSeconds, int intervalSeconds);
    // A close that resets the connection (on, 0 s) or waits up to `seconds` for unsent data.
    bool SetLinger(bool on, int seconds);
    // A blocking send that makes no progress for `ms` fails.
    bool SetSendTimeout(int ms);

    // >0 bytes handed over; IO_FAILED or IO_WOULD_BLOCK. Never raises SIGPIPE.
    std::ptrdiff_t Send(const void* data, std::size_t n, IoMode mode = IoMode::Wait) const;
    // Sends every byte; `stallMs` >= 0 fails when no progress is made for that long.
    bool SendAll(const void* data, std::size_t n, int64_t stallMs = -1) const;
    // >0 bytes, 0 when the peer closed, IO_FAILED or IO_WOULD_BLOCK.
    std::ptrdiff_t Receive(void* data, std::size_t n, IoMode mode = IoMode::Wait) const;
    // UDP.
    std::ptrdiff_t SendTo(const void* data, std::size_t n, SocketAddress to) const;
    std::ptrdiff_t ReceiveFrom(void* data, std::size_t n, SocketAddress* from = nullptr,
                               IoMode mode = IoMode::Wait) const;

    // Waits for SOCKET_READABLE and/or SOCKET_WRITABLE: the events found (SOCKET_BROKEN for an error or hang-up
    // on the socket), 0 on time-out, -1 when the wait itself failed.
    int Wait(unsigned events, int64_t timeoutMs) const;

    // Addresses of a bound or connected socket (a zero address when unknown).
    SocketAddress LocalAddress() const;
    SocketAddress PeerAddress() const;
    int LocalPort() const { return LocalAddress().port; }

private:
    NativeSocket m_s = NO_SOCKET;
#ifdef _WIN32
    // Winsock sockets are kept non-blocking; a blocking call waits with WSAPoll for this long.
    int m_nSendTimeoutMs = -1;
#endif
};

// A TCP listener on `address` (port 0: one the system picks) with SO_REUSEADDR; invalid on failure.
Socket ListenTcp(SocketAddress address, int backlog = -1);
// A UDP socket bound to `address`; invalid on failure.
Socket BindUdp(SocketAddress address);

// One entry of a wait over several sockets.
struct WaitItem {
    NativeSocket socket = NO_SOCKET;
    unsigned events = 0;  // SOCKET_READABLE / SOCKET_WRITABLE
    unsigned ready = 0;   // set by WaitAny: SOCKET_READABLE / SOCKET_WRITABLE / SOCKET_BROKEN
};
// Waits until one of `items` is ready: the number of ready items, 0 on time-out, -1 when the
// wait failed.
int WaitAny(std::span<WaitItem> items, int64_t timeoutMs);

// Wakes a thread out of WaitAny: its Item() is in the wait's list, Signal() (from any thread)
// makes it readable, Drain() clears it. A pipe on POSIX, a loopback UDP pair on Windows.
class WakeUp : private NonCopyable {
public:
    WakeUp();
    ~WakeUp();

    bool Valid() const { return m_read != NO_SOCKET; }
    void Signal();
    void Drain();
    WaitItem Item() const { return WaitItem{m_read, SOCKET_READABLE, 0}; }

private:
    NativeSocket m_read = NO_SOCKET;
    NativeSocket m_write = NO_SOCKET;
};

}  // namespace plat
