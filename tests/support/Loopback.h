#pragma once
// Loopback peers for socket tests: a TCP listener (also one whose backlog is full, so that a
// connect to it gets no answer), accepted connections, a UDP peer, and a way to find the
// descriptor behind a socket object by its local port. Everything stays on 127.0.0.1.

#include <arpa/inet.h>
#include <dirent.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <functional>
#include <stdexcept>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "ci/uFileUtils.h"
#include "support/WaitUntil.h"

namespace testsupport {

inline constexpr const char* kLoopback = "127.0.0.1";

// Every byte value, twice, the second time backwards.
inline std::string AllByteValues() {
  std::string bytes;
  for (int i = 0; i < 256; ++i) bytes.push_back(static_cast<char>(i));
  for (int i = 255; i >= 0; --i) bytes.push_back(static_cast<char>(i));
  return bytes;
}

using TFd = uFileUtils::TFd;

inline sockaddr_in LoopbackAddress(int port) {
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_port = htons(static_cast<std::uint16_t>(port));
  a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  return a;
}

inline int LocalPort(int fd) {
  sockaddr_in a{};
  socklen_t length = sizeof a;
  if (::getsockname(fd, reinterpret_cast<sockaddr*>(&a), &length) != 0) return -1;
  return ntohs(a.sin_port);
}

inline int PeerPort(int fd) {
  sockaddr_in a{};
  socklen_t length = sizeof a;
  if (::getpeername(fd, reinterpret_cast<sockaddr*>(&a), &length) != 0) return -1;
  return ntohs(a.sin_port);
}

inline bool WaitReadable(int fd, int timeoutMs) {
  pollfd p{fd, POLLIN, 0};
  return ::poll(&p, 1, timeoutMs) > 0;
}

// One end of an accepted TCP connection.
class TTcpPeer {
 public:
  TTcpPeer() = default;
  explicit TTcpPeer(TFd fd) : fd_(std::move(fd)) {}
  explicit operator bool() const { return static_cast<bool>(fd_); }
  int Fd() const { return fd_.Get(); }
  int RemotePort() const { return PeerPort(fd_.Get()); }

  bool Send(const std::string& data) {
    std::size_t sent = 0;
    while (sent < data.size()) {
      const ssize_t n = ::send(fd_.Get(), data.data() + sent, data.size() - sent, MSG_NOSIGNAL);
      if (n <= 0) return false;
      sent += static_cast<std::size_t>(n);
    }
    return true;
  }
  // Reads until n bytes arrived or timeoutMs passed without any.
  std::string Read(std::size_t n, int timeoutMs = 5000) {
    std::string data;
    char buffer[65536];
    while (data.size() < n && WaitReadable(fd_.Get(), timeoutMs)) {
      const ssize_t got = ::recv(fd_.Get(), buffer, std::min(sizeof buffer, n - data.size()), 0);
      if (got <= 0) break;
      data.append(buffer, static_cast<std::size_t>(got));
    }
    return data;
  }
  // An orderly close (FIN), or with reset a close that sends RST.
  void Close(bool reset = false) {
    if (reset) {
      const linger l{1, 0};
      ::setsockopt(fd_.Get(), SOL_SOCKET, SO_LINGER, &l, sizeof l);
    }
    fd_.Reset();
  }

 private:
  TFd fd_;
};

class TTcpListener {
 public:
  explicit TTcpListener(int backlog = 16) : fd_(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0)) {
    const sockaddr_in a = LoopbackAddress(0);
    if (!fd_ || ::bind(fd_.Get(), reinterpret_cast<const sockaddr*>(&a), sizeof a) != 0 ||
        ::listen(fd_.Get(), backlog) != 0)
      throw std::runtime_error("cannot listen on the loopback interface");
    port_ = LocalPort(fd_.Get());
  }
  int Port() const { return port_; }
  int Fd() const { return fd_.Get(); }
  // An accepted connection, or an empty peer after timeoutMs.
  TTcpPeer Accept(int timeoutMs = 5000) {
    if (!WaitReadable(fd_.Get(), timeoutMs)) return TTcpPeer();
    return TTcpPeer(TFd(::accept4(fd_.Get(), nullptr, nullptr, SOCK_CLOEXEC)));
  }
  void Close() { fd_.Reset(); }

 private:
  TFd fd_;
  int port_ = 0;
};

// A listener that answers no further connect: its accept queue is full (backlog 0 holds one
// connection), so the kernel drops every new SYN and the connect waits, as for an address
// where nobody answers.
class TFullBacklogListener {
 public:
  TFullBacklogListener() : listener_(0) {
    for (int i = 0; i < 2; ++i) {
      TFd fd(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0));
      const sockaddr_in a = LoopbackAddress(listener_.Port());
      // Non-blocking: the connect goes on after the call; the poll below waits for it.
      static_cast<void>(::connect(fd.Get(), reinterpret_cast<const sockaddr*>(&a), sizeof a));
      fillers_.push_back(std::move(fd));
    }
    // The first filler completes; once it has, the queue is full.
    pollfd p{fillers_[0].Get(), POLLOUT, 0};
    static_cast<void>(::poll(&p, 1, 5000));
  }
  int Port() const { return listener_.Port(); }

 private:
  TTcpListener listener_;
  std::vector<TFd> fillers_;
};

class TUdpPeer {
 public:
  TUdpPeer() : fd_(::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0)) {
    const sockaddr_in a = LoopbackAddress(0);
    if (!fd_ || ::bind(fd_.Get(), reinterpret_cast<const sockaddr*>(&a), sizeof a) != 0)
      throw std::runtime_error("cannot bind on the loopback interface");
    port_ = LocalPort(fd_.Get());
  }
  int Port() const { return port_; }
  int Fd() const { return fd_.Get(); }
  bool SendTo(int port, const std::string& data) {
    const sockaddr_in a = LoopbackAddress(port);
    return ::sendto(fd_.Get(), data.data(), data.size(), 0, reinterpret_cast<const sockaddr*>(&a),
                    sizeof a) == static_cast<ssize_t>(data.size());
  }
  // The next datagram and its sender's port; false after timeoutMs without one.
  bool Receive(std::string& data, int& fromPort, int timeoutMs = 5000) {
    if (!WaitReadable(fd_.Get(), timeoutMs)) return false;
    std::string buffer(65536, '\0');
    sockaddr_in from{};
    socklen_t length = sizeof from;
    const ssize_t n = ::recvfrom(fd_.Get(), buffer.data(), buffer.size(), 0,
                                 reinterpret_cast<sockaddr*>(&from), &length);
    if (n < 0) return false;
    data.assign(buffer.data(), static_cast<std::size_t>(n));
    fromPort = ntohs(from.sin_port);
    return true;
  }

 private:
  TFd fd_;
  int port_ = 0;
};

// The descriptor of this process whose socket has the local port (and, when given, the
// peer port); -1 when there is none. Tests use it to look at, or act on, the socket inside an
// object that does not show its descriptor.
inline int FindSocketByPorts(int localPort, int peerPort = -1) {
  DIR* dir = ::opendir("/proc/self/fd");
  if (!dir) return -1;
  int found = -1;
  while (dirent* entry = ::readdir(dir)) {
    const int fd = std::atoi(entry->d_name);
    if (fd <= 2 || fd == ::dirfd(dir)) continue;
    int type = 0;
    socklen_t length = sizeof type;
    if (::getsockopt(fd, SOL_SOCKET, SO_TYPE, &type, &length) != 0) continue;
    if (LocalPort(fd) != localPort) continue;
    if (peerPort >= 0 && PeerPort(fd) != peerPort) continue;
    found = fd;
    break;
  }
  ::closedir(dir);
  return found;
}

inline int IntOption(int fd, int level, int name) {
  int value = -1;
  socklen_t length = sizeof value;
  if (::getsockopt(fd, level, name, &value, &length) != 0) return -1;
  return value;
}

}  // namespace testsupport
