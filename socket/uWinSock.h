#pragma once
// Thin functions over the POSIX socket interface for IPv4 TCP and UDP client sockets (the
// unit keeps the name the library gave its socket layer on Windows).
//
// Addresses are dotted IPv4 text converted with inet_aton (the forms inet_addr reads, without
// its ambiguity at 255.255.255.255); no host name is ever looked up. Ports are host-order
// numbers 0..65535.
//
// Failures: a negative result, and the calling thread's last socket error (SockGetLastError,
// the counterpart of WSAGetLastError) holds the errno value with a message that names the
// operation, the address and the reason. Nothing here raises.

#include <atomic>
#include <cerrno>
#include <cstddef>
#include <cstdint>
#include <string>

namespace uWinSock {

using TSocket = int;
inline constexpr TSocket kInvalidSocket = -1;

// TCP = stream socket, protocol TCP; UDP = datagram socket, protocol UDP.
enum class TInetSocketType : int { TCP = 0, UDP = 1 };

// The error a connect with a time limit reports when the limit passed (Winsock's WSAETIMEDOUT).
inline constexpr int kErrorTimedOut = ETIMEDOUT;

// The calling thread's last socket error: 0 and empty after success of the functions that
// reset it (none does: like Winsock, a success leaves the last error as it was).
int SockGetLastError() noexcept;
std::string SockGetLastErrorText();
// Sets the calling thread's last error; an empty text becomes the system's message for code.
void SockSetLastError(int code, std::string text = {});

// Blocking, close-on-exec socket of the kind; kInvalidSocket on failure.
TSocket SockCreate(TInetSocketType type);
int SockClose(TSocket s);
// how: SHUT_RD, SHUT_WR or SHUT_RDWR.
int SockShutdown(TSocket s, int how);
int SockBind(TSocket s, const std::string& ip, int port);
// Blocks until connected or refused (the system's own limit applies), or until abandoned
// turns true (ECONNABORTED; looked at every 50 ms), whichever comes first.
int SockConnect(TSocket s, const std::string& ip, int port,
                const std::atomic<bool>* abandoned = nullptr);

// Sends all of data on a connected stream socket (every send with MSG_NOSIGNAL, so a broken
// connection is an EPIPE error and not a signal); the bytes sent, or -1. An empty data makes
// one empty send, which fails only when the connection is already known to be broken.
long SockSendString(TSocket s, const std::string& data);
// One datagram of all of data to ip:port; the bytes sent, or -1.
long SockSendStringTo(TSocket s, const std::string& data, const std::string& ip, int port);

// Results of the receive functions besides a byte count (>= 0).
inline constexpr long kReceiveFailed = -1;
// The peer closed its side of a stream in an orderly way: nothing more will arrive.
inline constexpr long kReceivePeerClosed = -2;

// Reads what is pending on a stream socket, as FIONREAD tells (at most kMaxStreamRead bytes:
// the rest stays for the next read), without blocking: the byte count (0: nothing pending,
// data empty), kReceivePeerClosed or kReceiveFailed. data keeps its capacity, so a caller
// that passes the same string again allocates nothing.
inline constexpr std::size_t kMaxStreamRead = 256 * 1024;
long SockReceiveString(TSocket s, std::string& data);
// Reads one pending datagram with its sender, without blocking: its size (0: nothing pending,
// or a zero-length datagram, which is taken off the queue so the ones behind it are read) or
// kReceiveFailed. ip and port are the sender's, empty and 0 when there is none.
long SockReceiveStringFrom(TSocket s, std::string& data, std::string& ip, int& port);

// The local address of the socket; false, empty and 0 when it cannot be had.
bool SockGetLocalName(TSocket s, std::string& ip, int& port);

// SO_KEEPALIVE := enabled; when enabled, also the idle time before the first probe
// (TCP_KEEPIDLE), the probe interval (TCP_KEEPINTVL) and kKeepAliveProbes probes
// (TCP_KEEPCNT). Times are given in ms and set in whole seconds: rounded up, at least 1,
// at most the kernel's 32767. 0 on success, -1 on failure.
inline constexpr int kKeepAliveProbes = 10;  // what Windows sends before it gives up
int SockSetKeepAlive(TSocket s, bool enabled, int timeMs, int intervalMs);
// The seconds SockSetKeepAlive sets for a time in ms.
int KeepAliveSeconds(int ms) noexcept;

}  // namespace uWinSock
