#include "socket/uWinSock.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <system_error>

namespace uWinSock {

namespace {

// The kernel's upper limit for TCP_KEEPIDLE and TCP_KEEPINTVL (MAX_TCP_KEEPIDLE,
// MAX_TCP_KEEPINTVL in include/net/tcp.h).
constexpr int kMaxKeepAliveSeconds = 32767;

struct TLastError {
  int code = 0;
  std::string text;
};
thread_local TLastError tLastError;

std::string SystemMessage(int code) {
  return std::error_code(code, std::generic_category()).message();
}

std::string Endpoint(const std::string& ip, int port) {
  return ip + ":" + std::to_string(port);
}

// Records err for what ("connect to 1.2.3.4:5") and returns -1.
int Fail(const std::string& what, int err) {
  SockSetLastError(err, what + ": " + SystemMessage(err));
  return -1;
}

bool MakeAddress(const std::string& ip, int port, sockaddr_in& address, const std::string& what) {
  address = sockaddr_in{};
  address.sin_family = AF_INET;
  if (port < 0 || port > 65535) {
    SockSetLastError(EINVAL, what + ": port " + std::to_string(port) + " is out of range");
    return false;
  }
  address.sin_port = htons(static_cast<std::uint16_t>(port));
  if (::inet_aton(ip.c_str(), &address.sin_addr) == 0) {
    SockSetLastError(EINVAL, what + ": \"" + ip + "\" is not an IPv4 address");
    return false;
  }
  return true;
}

void ReadAddress(const sockaddr_in& address, socklen_t length, std::string& ip, int& port) {
  char text[INET_ADDRSTRLEN] = {};
  if (length < static_cast<socklen_t>(sizeof address) || address.sin_family != AF_INET ||
      ::inet_ntop(AF_INET, &address.sin_addr, text, sizeof text) == nullptr) {
    ip.clear();
    port = 0;
    return;
  }
  ip = text;
  port = ntohs(address.sin_port);
}

bool WouldBlock(int err) {
  return err == EAGAIN || err == EWOULDBLOCK || err == EINTR;
}

constexpr int kConnectSliceMs = 50;

// Waits for the end of a connect under way on a non-blocking socket and takes its result.
int FinishConnect(TSocket s, const std::atomic<bool>* abandoned) {
  for (;;) {
    if (abandoned && abandoned->load()) return ECONNABORTED;
    pollfd fd{s, POLLOUT, 0};
    const int n = ::poll(&fd, 1, kConnectSliceMs);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) return errno;
    if (n == 0) continue;
    if (abandoned && abandoned->load()) return ECONNABORTED;
    int err = 0;
    socklen_t length = sizeof err;
    if (::getsockopt(s, SOL_SOCKET, SO_ERROR, &err, &length) < 0) return errno;
    return err;
  }
}

}  // namespace

int SockGetLastError() noexcept {
  return tLastError.code;
}

std::string SockGetLastErrorText() {
  return tLastError.text;
}

void SockSetLastError(int code, std::string text) {
  tLastError.code = code;
  tLastError.text = text.empty() && code != 0 ? SystemMessage(code) : std::move(text);
}

TSocket SockCreate(TInetSocketType type) {
  TSocket s = kInvalidSocket;
  if (type == TInetSocketType::TCP)
    s = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, IPPROTO_TCP);
  else if (type == TInetSocketType::UDP)
    s = ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, IPPROTO_UDP);
  else
    errno = EINVAL;
  if (s < 0) {
    Fail("socket", errno);
    return kInvalidSocket;
  }
  return s;
}

int SockClose(TSocket s) {
  // Not retried on EINTR: Linux has released the descriptor by then (close(2)).
  if (::close(s) < 0) return Fail("close", errno);
  return 0;
}

int SockShutdown(TSocket s, int how) {
  if (::shutdown(s, how) < 0) return Fail("shutdown", errno);
  return 0;
}

int SockBind(TSocket s, const std::string& ip, int port) {
  const std::string what = "bind to " + Endpoint(ip, port);
  sockaddr_in address;
  if (!MakeAddress(ip, port, address, what)) return -1;
  if (::bind(s, reinterpret_cast<const sockaddr*>(&address), sizeof address) < 0)
    return Fail(what, errno);
  return 0;
}

// The connect runs on the socket made non-blocking and is waited for in poll: a blocking
// connect(2) cannot be ended from another thread before it has reached the kernel (a
// shutdown then finds nothing to end, and the connect waits out the system's whole limit).
int SockConnect(TSocket s, const std::string& ip, int port, const std::atomic<bool>* abandoned) {
  const std::string what = "connect to " + Endpoint(ip, port);
  sockaddr_in address;
  if (!MakeAddress(ip, port, address, what)) return -1;
  const int flags = ::fcntl(s, F_GETFL);
  if (flags < 0 || ::fcntl(s, F_SETFL, flags | O_NONBLOCK) < 0) return Fail(what, errno);
  int err = 0;
  bool waited = false;
  if (::connect(s, reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0) {
    err = errno;
    waited = err == EINPROGRESS || err == EINTR;
    if (waited) err = FinishConnect(s, abandoned);
  }
  const bool wasAbandoned = err == ECONNABORTED && abandoned && abandoned->load();
  // A non-blocking connect that failed while waited for leaves the socket "connecting" until
  // connect is called again; that call only takes the failure and resets it (a blocking
  // connect does that itself), so the socket can try again, as after any refused connect.
  if (waited && err != 0 && !wasAbandoned)
    (void)::connect(s, reinterpret_cast<const sockaddr*>(&address), sizeof address);
  ::fcntl(s, F_SETFL, flags);  // blocking again, as every socket here is
  if (wasAbandoned) return Fail(what + ": the socket was closed meanwhile", err);
  return err == 0 ? 0 : Fail(what, err);
}

long SockSendString(TSocket s, const std::string& data) {
  std::size_t sent = 0;
  do {
    // A blocking send returns short only when a signal interrupts it; the rest follows.
    const ssize_t n = ::send(s, data.data() + sent, data.size() - sent, MSG_NOSIGNAL);
    if (n < 0) {
      if (errno == EINTR) continue;
      return Fail("send", errno);
    }
    sent += static_cast<std::size_t>(n);
  } while (sent < data.size());
  return static_cast<long>(sent);
}

long SockSendStringTo(TSocket s, const std::string& data, const std::string& ip, int port) {
  const std::string what = "send to " + Endpoint(ip, port);
  sockaddr_in address;
  if (!MakeAddress(ip, port, address, what)) return -1;
  for (;;) {
    const ssize_t n = ::sendto(s, data.data(), data.size(), MSG_NOSIGNAL,
                               reinterpret_cast<const sockaddr*>(&address), sizeof address);
    if (n >= 0) return static_cast<long>(n);
    if (errno != EINTR) return Fail(what, errno);
  }
}

long SockReceiveString(TSocket s, std::string& data) {
  data.clear();
  int pending = 0;
  if (::ioctl(s, FIONREAD, &pending) < 0) return Fail("FIONREAD", errno);
  if (pending <= 0) {
    // Nothing pending is also what an orderly close of the peer looks like: a peek tells
    // the two apart (0 bytes: end of stream) and brings out a reset.
    char probe = 0;
    const ssize_t n = ::recv(s, &probe, 1, MSG_PEEK | MSG_DONTWAIT);
    if (n == 0) {
      SockSetLastError(ENOTCONN, "receive: the peer closed the connection");
      return kReceivePeerClosed;
    }
    if (n < 0 && !WouldBlock(errno)) return Fail("receive", errno);
    return 0;
  }
  data.resize(std::min(static_cast<std::size_t>(pending), kMaxStreamRead));
  ssize_t n;
  do {
    n = ::recv(s, data.data(), data.size(), MSG_DONTWAIT);
  } while (n < 0 && errno == EINTR);
  if (n < 0) {
    data.clear();
    if (WouldBlock(errno)) return 0;
    return Fail("receive", errno);
  }
  data.resize(static_cast<std::size_t>(n));
  return n;
}

long SockReceiveStringFrom(TSocket s, std::string& data, std::string& ip, int& port) {
  data.clear();
  ip.clear();
  port = 0;
  int pending = 0;
  if (::ioctl(s, FIONREAD, &pending) < 0) return Fail("FIONREAD", errno);
  char probe = 0;
  if (pending <= 0) {
    // Linux reports the size of the first waiting datagram, so 0 is either no datagram or a
    // zero-length one, which would stay first for ever. A peek with MSG_TRUNC gives the real
    // size of the first datagram without taking it.
    const ssize_t n = ::recv(s, &probe, 0, MSG_PEEK | MSG_TRUNC | MSG_DONTWAIT);
    if (n < 0) return WouldBlock(errno) ? 0 : Fail("receive", errno);
    if (n == 0) {
      // Take the empty datagram off the queue; it carries nothing to report.
      ssize_t taken;
      do {
        taken = ::recv(s, &probe, 0, MSG_DONTWAIT);
      } while (taken < 0 && errno == EINTR);
      return 0;
    }
    pending = static_cast<int>(n);  // arrived since FIONREAD
  }
  data.resize(static_cast<std::size_t>(pending));
  sockaddr_in address{};
  socklen_t length = sizeof address;
  ssize_t n;
  do {
    length = sizeof address;
    n = ::recvfrom(s, data.data(), data.size(), MSG_DONTWAIT, reinterpret_cast<sockaddr*>(&address),
                   &length);
  } while (n < 0 && errno == EINTR);
  if (n < 0) {
    data.clear();
    return WouldBlock(errno) ? 0 : Fail("receive", errno);
  }
  data.resize(static_cast<std::size_t>(n));
  ReadAddress(address, length, ip, port);
  return n;
}

bool SockGetLocalName(TSocket s, std::string& ip, int& port) {
  sockaddr_in address{};
  socklen_t length = sizeof address;
  if (::getsockname(s, reinterpret_cast<sockaddr*>(&address), &length) < 0) {
    Fail("getsockname", errno);
    ip.clear();
    port = 0;
    return false;
  }
  ReadAddress(address, length, ip, port);
  return !ip.empty();
}

int KeepAliveSeconds(int ms) noexcept {
  if (ms <= 1000) return 1;
  return std::min((ms - 1) / 1000 + 1, kMaxKeepAliveSeconds);
}

int SockSetKeepAlive(TSocket s, bool enabled, int timeMs, int intervalMs) {
  const int on = enabled ? 1 : 0;
  if (::setsockopt(s, SOL_SOCKET, SO_KEEPALIVE, &on, sizeof on) < 0)
    return Fail("SO_KEEPALIVE", errno);
  if (!enabled) return 0;
  const int idle = KeepAliveSeconds(timeMs);
  const int interval = KeepAliveSeconds(intervalMs);
  const int probes = kKeepAliveProbes;
  if (::setsockopt(s, IPPROTO_TCP, TCP_KEEPIDLE, &idle, sizeof idle) < 0)
    return Fail("TCP_KEEPIDLE", errno);
  if (::setsockopt(s, IPPROTO_TCP, TCP_KEEPINTVL, &interval, sizeof interval) < 0)
    return Fail("TCP_KEEPINTVL", errno);
  if (::setsockopt(s, IPPROTO_TCP, TCP_KEEPCNT, &probes, sizeof probes) < 0)
    return Fail("TCP_KEEPCNT", errno);
  return 0;
}

}  // namespace uWinSock
