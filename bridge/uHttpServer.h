#pragma once
// The local HTTP server the embedded browser talks to: one request per connection, each
// connection served whole on one thread of a bounded pool, every GET, POST and HEAD addressed to
// the server by one of its own names (and not sent by another site's page) handed to OnCommandGet.

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <istream>
#include <memory>
#include <optional>
#include <stdexcept>
#include <string>
#include <utility>
#include <vector>

namespace uHttpServer {

inline constexpr const char* kBindFailedMessage =
    "Could not bind socket. Address and port are already in use.";

// The port setting a server can listen on: every TCP port, 0 letting the system choose.
inline constexpr std::int32_t kMinPort = 0;
inline constexpr std::int32_t kMaxPort = 65535;
// Why a port setting outside kMinPort..kMaxPort cannot be used, and what fixes it.
std::string PortOutOfRangeMessage(std::int32_t port);

class EHttpServerError : public std::runtime_error {
 public:
  using runtime_error::runtime_error;
};

struct THttpRequest {
  std::string Method;   // upper-cased first word of the request line
  std::string Target;   // as received
  std::string Path;     // Target up to the first '?', backslashes -> '/', percent-escapes decoded
  std::string Version;  // text after the last space of the request line
  std::vector<std::pair<std::string, std::string>> Headers;  // in the order received
  std::unique_ptr<std::string> PostStream;  // the body buffer from OnCreatePostStream (may be null)
  // True once the response is no longer wanted: the server is stopping, or the client has
  // gone (closed or reset its connection). Cheap; a handler asks it before long work.
  std::function<bool()> Abandoned;
};

struct THttpResponse {
  int ResponseNo = 200;
  std::string ResponseText = "OK";
  std::string ContentType = "text/html";
  std::string ContentEncoding;  // sent as Content-Encoding when not empty
  // The body: ContentText when not empty, else ContentStream when set, else none.
  std::optional<std::string> ContentText;
  std::unique_ptr<std::istream> ContentStream;  // sent from its position, then destroyed
  // For ContentStream: the bytes to send; when unset, what is left up to the stream's end.
  std::optional<std::uint64_t> ContentLength;
};

using TCommandGet = std::function<void(THttpRequest&, THttpResponse&)>;
using TCreatePostStream = std::function<std::unique_ptr<std::string>()>;

class THttpServer {
 public:
  static constexpr int kMaxHeaderLines = 1024;
  static constexpr std::size_t kMaxHeaderBytes = 64 * 1024;
  // A larger body, announced, chunked or read to the end, gets 413 and reaches no handler.
  static constexpr std::size_t kMaxBodyBytes = 64 * 1024;
  // Connections served at once, each whole on one thread of a pool. As many more wait
  // accepted; to make room for them, the served connections that have waited longest for
  // their request (at least 200 ms) are shut down. Beyond that, new connections wait in the
  // backlog.
  static constexpr int kMaxConnections = 32;
  // The request header and body together must arrive within this time from the accept.
  static constexpr std::chrono::milliseconds kRequestTimeLimit{30000};

  THttpServer();
  ~THttpServer();  // stops
  THttpServer(const THttpServer&) = delete;
  THttpServer& operator=(const THttpServer&) = delete;

  // Used by the first successful Start; every later Start binds that same port again.
  void SetDefaultPort(std::int32_t port);
  std::int32_t GetDefaultPort() const;

  // Where to listen from the first successful Start on: an IPv4 or IPv6 address literal, or
  // empty (the default) for 127.0.0.1 and, where there is IPv6, ::1. Requests are served
  // only when addressed to those names, or to this address. Ignored once bound.
  void SetListenAddress(std::string address);
  std::string ListenAddress() const;
  // The host part of the address to open the pages at: "127.0.0.1" by default and for the
  // IPv4 wildcard, "[::1]" for the IPv6 one, else the listen address ("[...]" for IPv6).
  std::string UrlHost() const;

  // Replaces kRequestTimeLimit for requests read from now on.
  void SetRequestTimeLimit(std::chrono::milliseconds limit);

  // The handlers are taken at the start of each connection; set them before Start.
  void SetOnCommandGet(TCommandGet handler);
  void SetOnCreatePostStream(TCreatePostStream handler);

  // Listens on the listen address, or on 127.0.0.1 and, where there is IPv6, on ::1. No-op
  // while listening. Throws EHttpServerError(PortOutOfRangeMessage) for a port setting
  // outside 0..65535, EHttpServerError(kBindFailedMessage) when an endpoint cannot be bound,
  // or one naming the listen address when it is none; nothing stays bound.
  void Start();
  // Stops accepting, closes the connections not served yet, tells every handler its request
  // is abandoned, shuts every open connection down, waits until each has ended, however long
  // its handler takes, and ends the pool's threads. No-op when not listening. Not to be
  // called from a handler.
  void Stop();
  bool Active() const;
  // The port of the first endpoint (127.0.0.1 by default); 0 before the first successful
  // start.
  std::uint16_t BoundPort() const;

 private:
  struct TImpl;
  std::unique_ptr<TImpl> impl_;
};

}  // namespace uHttpServer
