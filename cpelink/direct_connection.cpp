#include "cpelink/direct_connection.h"

#include <arpa/inet.h>
#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <netdb.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include "platform/clock.h"

namespace {

constexpr int64_t CONNECT_TIMEOUT_MS = 5000;
// A send that makes no progress for this long fails (a peer that stopped reading).
constexpr int64_t SEND_STALL_MS = 60000;

// Waits for `events` on fd up to `ms` real milliseconds (-1: no limit); EINTR resumes the wait.
// >0 ready, 0 time-out, <0 error.
int PollFor(int fd, short events, int64_t ms) {
    const int64_t end = ms < 0 ? 0 : plat::TickMs() + ms;
    for (;;) {
        int wait = -1;
        if (ms >= 0) {
            const int64_t left = end - plat::TickMs();
            wait = left > 0 ? static_cast<int>(left) : 0;
        }
        pollfd p{fd, events, 0};
        const int r = poll(&p, 1, wait);
        if (r < 0 && errno == EINTR) continue;
        return r;
    }
}

}  // namespace

DirectConnection::~DirectConnection() {
    if (m_socket >= 0) close(m_socket);
}

int DirectConnection::DirectOpen(const std::string& host, int port) {
    if (m_bConnected) return 1;
    if (port < 0 || port > 65535) return 0;
    addrinfo hints{};
    hints.ai_family = AF_INET;
    hints.ai_socktype = SOCK_STREAM;
    addrinfo* res = nullptr;
    if (getaddrinfo(host.c_str(), nullptr, &hints, &res) != 0 || res == nullptr) return 0;
    const auto* sin = reinterpret_cast<const sockaddr_in*>(res->ai_addr);
    m_addr = sin->sin_addr.s_addr;
    freeaddrinfo(res);
    char text[INET_ADDRSTRLEN] = {};
    in_addr a{};
    a.s_addr = m_addr;
    inet_ntop(AF_INET, &a, text, sizeof text);
    m_strAddress = text;
    m_nPort = port;
    // An earlier socket that never connected is replaced, not leaked.
    if (m_socket >= 0) close(m_socket);
    m_socket = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, IPPROTO_TCP);
    return m_socket >= 0 ? 1 : 0;
}

int DirectConnection::DirectConnect() {
    if (m_bConnected) return 1;
    if (m_strAddress.empty()) return 0;
    if (m_socket < 0) {
        // The socket of an earlier failed attempt is gone; a new attempt needs a new one.
        m_socket = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, IPPROTO_TCP);
        if (m_socket < 0) return 0;
    }
    sockaddr_in sa{};
    sa.sin_family = AF_INET;
    sa.sin_port = htons(static_cast<uint16_t>(m_nPort));
    sa.sin_addr.s_addr = m_addr;

    const int flags = fcntl(m_socket, F_GETFL, 0);
    fcntl(m_socket, F_SETFL, flags | O_NONBLOCK);
    bool ok = false;
    if (connect(m_socket, reinterpret_cast<const sockaddr*>(&sa), sizeof sa) == 0) {
        ok = true;
    } else if (errno == EINPROGRESS || errno == EINTR) {
        if (PollFor(m_socket, POLLOUT, plat::Scaled(CONNECT_TIMEOUT_MS)) > 0) {
            int err = 0;
            socklen_t len = sizeof err;
            ok = getsockopt(m_socket, SOL_SOCKET, SO_ERROR, &err, &len) == 0 && err == 0;
        }
    }
    if (!ok) {
        close(m_socket);
        m_socket = -1;
        return 0;
    }
    fcntl(m_socket, F_SETFL, flags & ~O_NONBLOCK);
    m_bConnected = true;
    return 1;
}

int DirectConnection::DirectReceive(uint8_t* buffer, int size, int timeoutMs) {
    if (!m_bConnected || buffer == nullptr || size < 0) return -1;
    if (timeoutMs >= 0) {
        const int r = PollFor(m_socket, POLLIN, timeoutMs);
        if (r == 0) return -2;
        if (r < 0) return -1;
    }
    for (;;) {
        const ssize_t n = recv(m_socket, buffer, static_cast<size_t>(size), 0);
        if (n < 0 && errno == EINTR) continue;
        return n < 0 ? -1 : static_cast<int>(n);
    }
}

int DirectConnection::DirectSendAll(const uint8_t* bytes, int n) {
    if (!m_bConnected || n < 0 || (bytes == nullptr && n > 0)) return -1;
    int sent = 0;
    while (sent < n) {
        const ssize_t r = send(m_socket, bytes + sent, static_cast<size_t>(n - sent), MSG_NOSIGNAL | MSG_DONTWAIT);
        if (r > 0) {
            sent += static_cast<int>(r);
            continue;
        }
        if (r < 0 && (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR)) {
            if (PollFor(m_socket, POLLOUT, plat::Scaled(SEND_STALL_MS)) <= 0) return -1;
            continue;
        }
        return -1;
    }
    return n;
}

int DirectConnection::DirectClose() {
    if (m_socket >= 0) close(m_socket);
    m_socket = -1;
    m_bConnected = false;
    return 1;
}
