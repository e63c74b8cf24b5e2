#pragma once
// A plain TCP client for HTTP server tests: sends exact bytes, reads every byte the server
// sends until it closes, and never waits longer than it is told.

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdint>
#include <cstring>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace testsupport {

// What came back on a connection, split at the end of the header.
struct THttpReply {
  std::string raw;
  bool closed = false;  // the server ended the connection (orderly or by reset)

  std::string StatusLine() const { return raw.substr(0, raw.find("\r\n")); }
  std::string Head() const {
    const auto end = raw.find("\r\n\r\n");
    return end == std::string::npos ? raw : raw.substr(0, end);
  }
  std::string Body() const {
    const auto end = raw.find("\r\n\r\n");
    return end == std::string::npos ? std::string() : raw.substr(end + 4);
  }
  // The header lines after the status line.
  std::vector<std::pair<std::string, std::string>> Headers() const {
    std::vector<std::pair<std::string, std::string>> headers;
    const std::string head = Head();
    std::size_t start = head.find("\r\n");
    while (start != std::string::npos) {
      start += 2;
      const std::size_t end = head.find("\r\n", start);
      const std::string line = head.substr(start, end - start);
      const std::size_t colon = line.find(':');
      if (colon != std::string::npos) {
        std::size_t value = colon + 1;
        while (value < line.size() && line[value] == ' ') ++value;
        headers.emplace_back(line.substr(0, colon), line.substr(value));
      }
      start = end;
    }
    return headers;
  }
  std::optional<std::string> Header(std::string_view name) const {
    for (const auto& [key, value] : Headers())
      if (key.size() == name.size() && ::strncasecmp(key.data(), name.data(), name.size()) == 0)
        return value;
    return std::nullopt;
  }
};

class TRawHttpClient {
 public:
  // Connects to address (IPv4 or IPv6 text) and port; Connected() tells whether it worked.
  TRawHttpClient(const std::string& address, std::uint16_t port) {
    sockaddr_storage storage{};
    socklen_t length = 0;
    if (address.find(':') == std::string::npos) {
      auto* v4 = reinterpret_cast<sockaddr_in*>(&storage);
      v4->sin_family = AF_INET;
      v4->sin_port = htons(port);
      if (::inet_pton(AF_INET, address.c_str(), &v4->sin_addr) != 1) return;
      length = sizeof *v4;
    } else {
      auto* v6 = reinterpret_cast<sockaddr_in6*>(&storage);
      v6->sin6_family = AF_INET6;
      v6->sin6_port = htons(port);
      if (::inet_pton(AF_INET6, address.c_str(), &v6->sin6_addr) != 1) return;
      length = sizeof *v6;
    }
    fd_ = ::socket(storage.ss_family, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd_ < 0) return;
    if (::connect(fd_, reinterpret_cast<sockaddr*>(&storage), length) != 0) Close();
  }
  ~TRawHttpClient() { Close(); }
  TRawHttpClient(const TRawHttpClient&) = delete;
  TRawHttpClient& operator=(const TRawHttpClient&) = delete;

  bool Connected() const { return fd_ >= 0; }

  // Sends everything, or as much as the server takes before it drops the connection.
  void Send(std::string_view bytes) {
    while (fd_ >= 0 && !bytes.empty()) {
      const ssize_t n = ::send(fd_, bytes.data(), bytes.size(), MSG_NOSIGNAL);
      if (n < 0 && errno == EINTR) continue;
      if (n <= 0) return;
      bytes.remove_prefix(static_cast<std::size_t>(n));
    }
  }
  void ShutdownSend() {
    if (fd_ >= 0) ::shutdown(fd_, SHUT_WR);
  }
  // Closes with a reset instead of an orderly end.
  void Reset() {
    if (fd_ < 0) return;
    const linger option{1, 0};
    ::setsockopt(fd_, SOL_SOCKET, SO_LINGER, &option, sizeof option);
    Close();
  }

  // Everything until the server closes, or what came within limit.
  THttpReply ReadAll(std::chrono::milliseconds limit = std::chrono::seconds(10)) {
    THttpReply reply;
    const auto until = std::chrono::steady_clock::now() + limit;
    char buffer[65536];
    while (fd_ >= 0) {
      const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
                            until - std::chrono::steady_clock::now())
                            .count();
      if (left <= 0) break;
      pollfd entry{fd_, POLLIN, 0};
      const int ready = ::poll(&entry, 1, static_cast<int>(left));
      if (ready < 0 && errno == EINTR) continue;
      if (ready <= 0) break;
      const ssize_t n = ::recv(fd_, buffer, sizeof buffer, 0);
      if (n < 0 && errno == EINTR) continue;
      if (n <= 0) {
        reply.closed = true;
        break;
      }
      reply.raw.append(buffer, static_cast<std::size_t>(n));
    }
    return reply;
  }

 private:
  void Close() {
    if (fd_ >= 0) ::close(fd_);
    fd_ = -1;
  }

  int fd_ = -1;
};

// request with "Host: 127.0.0.1:PORT" after its first line, as a browser addresses the local
// server, unless it has a Host line already (or no line end at all).
inline std::string WithHost(std::string_view request, std::uint16_t port) {
  const std::size_t first = request.find("\r\n");
  if (first == std::string_view::npos) return std::string(request);
  const std::size_t headEnd = std::min(request.find("\r\n\r\n"), request.size());
  for (std::size_t line = first; line < headEnd; line = request.find("\r\n", line + 2)) {
    if (request.size() - line >= 7 && ::strncasecmp(request.data() + line + 2, "host:", 5) == 0)
      return std::string(request);
  }
  std::string out(request.substr(0, first + 2));
  out += "Host: 127.0.0.1:" + std::to_string(port) + "\r\n";
  out += request.substr(first + 2);
  return out;
}

// One exchange: connect, send request (then shut the sending side down when asked), read
// until the server closes.
inline THttpReply HttpExchange(std::uint16_t port, std::string_view request,
                               bool shutdownSend = false,
                               const std::string& address = "127.0.0.1") {
  TRawHttpClient client(address, port);
  if (!client.Connected()) return {};
  client.Send(request);
  if (shutdownSend) client.ShutdownSend();
  return client.ReadAll();
}

// A listening TCP socket on the loopback address of family and port (0: the system chooses).
// With reuseAddress, connections of earlier listeners still waiting out their close on that
// port do not stand in the way; a listening socket does.
class TRawListener {
 public:
  TRawListener(int family, std::uint16_t port, bool reuseAddress = false) {
    fd_ = ::socket(family, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd_ < 0) return;
    const int reuse = reuseAddress ? 1 : 0;
    ::setsockopt(fd_, SOL_SOCKET, SO_REUSEADDR, &reuse, sizeof reuse);
    sockaddr_storage storage{};
    socklen_t length;
    if (family == AF_INET) {
      auto* v4 = reinterpret_cast<sockaddr_in*>(&storage);
      v4->sin_family = AF_INET;
      v4->sin_port = htons(port);
      v4->sin_addr.s_addr = htonl(INADDR_LOOPBACK);
      length = sizeof *v4;
    } else {
      const int only = 1;
      ::setsockopt(fd_, IPPROTO_IPV6, IPV6_V6ONLY, &only, sizeof only);
      auto* v6 = reinterpret_cast<sockaddr_in6*>(&storage);
      v6->sin6_family = AF_INET6;
      v6->sin6_port = htons(port);
      v6->sin6_addr = in6addr_loopback;
      length = sizeof *v6;
    }
    if (::bind(fd_, reinterpret_cast<sockaddr*>(&storage), length) != 0 || ::listen(fd_, 4) != 0 ||
        ::getsockname(fd_, reinterpret_cast<sockaddr*>(&storage), &length) != 0) {
      ::close(fd_);
      fd_ = -1;
      return;
    }
    port_ = ntohs(family == AF_INET ? reinterpret_cast<sockaddr_in*>(&storage)->sin_port
                                    : reinterpret_cast<sockaddr_in6*>(&storage)->sin6_port);
  }
  ~TRawListener() {
    if (fd_ >= 0) ::close(fd_);
  }
  TRawListener(const TRawListener&) = delete;
  TRawListener& operator=(const TRawListener&) = delete;

  bool Listening() const { return fd_ >= 0; }
  std::uint16_t Port() const { return port_; }

 private:
  int fd_ = -1;
  std::uint16_t port_ = 0;
};

// Whether this system can listen and connect on the IPv6 loopback address.
inline bool Ipv6LoopbackAvailable() {
  TRawListener listener(AF_INET6, 0);
  if (!listener.Listening()) return false;
  TRawHttpClient client("::1", listener.Port());
  return client.Connected();
}

}  // namespace testsupport
