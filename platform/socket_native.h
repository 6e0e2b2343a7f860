#pragma once
// The few system calls and constants in which BSD sockets and Winsock differ, for the socket
// layer's own files only (socket.cpp, socket_posix.cpp, socket_win.cpp): the system headers, the
// address length type, poll and its flags, close, the error value and its codes.
#ifdef _WIN32
#ifndef _WIN32_WINNT
#define _WIN32_WINNT 0x0601
#endif
#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#include <winsock2.h>
#include <ws2tcpip.h>
#include <mstcpip.h>
#include <windows.h>
#else
#include <arpa/inet.h>
#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#endif

#include <cstddef>

#include "platform/socket.h"

namespace plat::native {

#ifdef _WIN32
using AddressLength = int;
using PollFd = WSAPOLLFD;
using PollFlags = SHORT;
inline constexpr PollFlags kPollAskRead = POLLRDNORM;
inline constexpr PollFlags kPollGotRead = POLLRDNORM | POLLRDBAND;
inline constexpr PollFlags kPollWrite = POLLWRNORM;
inline constexpr int kShutdownBoth = SD_BOTH;
inline constexpr int kShutdownSend = SD_SEND;
inline constexpr int kInterrupted = WSAEINTR;

// -1 when the poll failed.
inline int Poll(PollFd* fds, std::size_t n, int ms) {
    const int r = WSAPoll(fds, static_cast<ULONG>(n), ms);
    return r == SOCKET_ERROR ? -1 : r;
}
inline void CloseSocket(NativeSocket s) { closesocket(s); }
inline void SetLastSocketError(int error) { WSASetLastError(error); }
#else
using AddressLength = socklen_t;
using PollFd = pollfd;
using PollFlags = short;
inline constexpr PollFlags kPollAskRead = POLLIN;
inline constexpr PollFlags kPollGotRead = POLLIN;
inline constexpr PollFlags kPollWrite = POLLOUT;
inline constexpr int kShutdownBoth = SHUT_RDWR;
inline constexpr int kShutdownSend = SHUT_WR;
inline constexpr int kInterrupted = EINTR;

inline int Poll(PollFd* fds, std::size_t n, int ms) { return poll(fds, static_cast<nfds_t>(n), ms); }
inline void CloseSocket(NativeSocket s) { close(s); }
inline void SetLastSocketError(int error) { errno = error; }
#endif

sockaddr_in ToSockaddr(SocketAddress a);
SocketAddress FromSockaddr(const sockaddr_in& sa);
// setsockopt with an int value.
bool SetInt(NativeSocket s, int level, int name, int value);
// Poll over `n` entries with a deadline (a negative time-out waits without limit); an interrupted
// poll resumes with the time left. -1 when the poll failed.
int PollUntil(PollFd* fds, std::size_t n, int64_t timeoutMs);
PollFlags PollEvents(unsigned events);
// The SOCKET_* bits of a poll result.
unsigned Ready(PollFlags revents);
// The end of a connect: true for `error` 0, else its text to `text` (when given), the error set
// as the thread's last one, false.
bool ConnectResult(int error, std::string* text);

}  // namespace plat::native
