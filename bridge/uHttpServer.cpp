// Asio fences the handlers an io_context runs. This one never runs: every socket operation
// here is synchronous, so the fences go (ThreadSanitizer does not support them either).
#define BOOST_ASIO_DISABLE_FENCED_BLOCK

#include "bridge/uHttpServer.h"

#include "ci/uStrUtils.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <list>
#include <mutex>
#include <string_view>
#include <system_error>
#include <thread>

#include <boost/asio/io_context.hpp>
#include <boost/asio/ip/tcp.hpp>
#include <boost/asio/ip/v6_only.hpp>
#include <boost/asio/write.hpp>
#include <boost/beast/core/flat_buffer.hpp>
#include <boost/beast/http/basic_parser.hpp>
#include <boost/beast/http/buffer_body.hpp>
#include <boost/beast/http/error.hpp>
#include <boost/beast/http/message.hpp>
#include <boost/beast/http/read.hpp>
#include <boost/beast/http/serializer.hpp>
#include <boost/beast/http/write.hpp>
#include <boost/beast/version.hpp>

namespace uHttpServer {

namespace {

namespace asio = boost::asio;
namespace beast = boost::beast;
namespace http = boost::beast::http;
using tcp = asio::ip::tcp;
using boost::system::error_code;
using Clock = std::chrono::steady_clock;

constexpr int kBacklog = 15;
// How long a connection may take to send its request header, and how long any later read or
// write may wait for the peer. Stop ends every wait at once.
constexpr std::chrono::seconds kHeaderTimeout{30};
constexpr std::chrono::seconds kIoTimeout{30};
// After the response: how long to wait for the client to close, and how much of whatever it
// still sends to read meanwhile, so that closing does not reset the connection under the
// response.
constexpr std::chrono::seconds kLingerTimeout{1};
constexpr std::size_t kLingerBytes = 64 * 1024;
constexpr std::size_t kChunkBytes = 64 * 1024;
// Attempts at finding a port free on both endpoints when the system chooses it.
constexpr int kBindAttempts = 10;

// The target up to the first '?', backslashes turned into slashes, then "%XX" escapes decoded
// (so an encoded backslash stays a backslash); an escape without two hex digits stays as it is.
std::string DecodePath(std::string_view target) {
  std::string path(target.substr(0, target.find('?')));
  std::replace(path.begin(), path.end(), '\\', '/');
  return uStrUtils::PercentDecode(path, false);
}

void SetCloseOnExec(int fd) {
  const int flags = ::fcntl(fd, F_GETFD);
  if (flags >= 0) ::fcntl(fd, F_SETFD, flags | FD_CLOEXEC);
}

// A connected socket in non-blocking mode, read and written like a blocking one, except that
// every wait for the peer is bounded: by kIoTimeout, and by the deadline when one is set.
class TTimedStream {
 public:
  explicit TTimedStream(tcp::socket& socket) : socket_(socket) {}

  void SetDeadline(std::optional<Clock::time_point> deadline) { deadline_ = deadline; }

  template <class MutableBuffers>
  std::size_t read_some(const MutableBuffers& buffers, error_code& ec) {
    for (;;) {
      const std::size_t n = socket_.read_some(buffers, ec);
      if (ec != asio::error::would_block && ec != asio::error::try_again) return n;
      if (!Wait(POLLIN, ec)) return 0;
    }
  }
  template <class MutableBuffers>
  std::size_t read_some(const MutableBuffers& buffers) {
    error_code ec;
    const std::size_t n = read_some(buffers, ec);
    if (ec) throw boost::system::system_error(ec);
    return n;
  }
  template <class ConstBuffers>
  std::size_t write_some(const ConstBuffers& buffers, error_code& ec) {
    for (;;) {
      const std::size_t n = socket_.write_some(buffers, ec);
      if (ec != asio::error::would_block && ec != asio::error::try_again) return n;
      if (!Wait(POLLOUT, ec)) return 0;
    }
  }
  template <class ConstBuffers>
  std::size_t write_some(const ConstBuffers& buffers) {
    error_code ec;
    const std::size_t n = write_some(buffers, ec);
    if (ec) throw boost::system::system_error(ec);
    return n;
  }

 private:
  bool Wait(short events, error_code& ec) {
    Clock::time_point until = Clock::now() + kIoTimeout;
    if (deadline_) until = std::min(until, *deadline_);
    for (;;) {
      const auto left = std::chrono::ceil<std::chrono::milliseconds>(until - Clock::now()).count();
      if (left <= 0) break;
      pollfd entry{socket_.native_handle(), events, 0};
      const int ready = ::poll(&entry, 1, static_cast<int>(left));
      if (ready > 0) return true;  // readiness, hang-up or error: the next call tells which
      if (ready < 0 && errno != EINTR) {
        ec.assign(errno, boost::system::system_category());
        return false;
      }
    }
    ec = asio::error::timed_out;
    return false;
  }

  tcp::socket& socket_;
  std::optional<Clock::time_point> deadline_;
};

// Collects the request line, the header lines (at most kMaxHeaderLines) and the body; the body
// buffer comes from OnCreatePostStream when the body starts.
class TRequestParser : public http::basic_parser<true> {
 public:
  explicit TRequestParser(const TCreatePostStream& createPostStream)
      : createPostStream_(createPostStream) {}

  std::string method;
  std::string target;
  int version = 0;
  std::vector<std::pair<std::string, std::string>> headers;
  std::unique_ptr<std::string> body;

  // The buffer for a body, made before its first byte is read.
  void CreateBody() {
    if (body) return;
    if (createPostStream_) body = createPostStream_();
    if (!body) body = std::make_unique<std::string>();
  }

 private:
  void on_request_impl(http::verb, beast::string_view methodText, beast::string_view targetText,
                       int versionNo, error_code&) override {
    method.assign(methodText.data(), methodText.size());
    target.assign(targetText.data(), targetText.size());
    version = versionNo;
  }
  void on_response_impl(int, beast::string_view, int, error_code& ec) override {
    ec = http::error::bad_method;  // never called for requests
  }
  void on_field_impl(http::field, beast::string_view name, beast::string_view value,
                     error_code& ec) override {
    if (headers.size() >= static_cast<std::size_t>(THttpServer::kMaxHeaderLines)) {
      ec = http::error::header_limit;
      return;
    }
    headers.emplace_back(std::string(name.data(), name.size()),
                         std::string(value.data(), value.size()));
  }
  void on_header_impl(error_code&) override {}
  void on_body_init_impl(const boost::optional<std::uint64_t>&, error_code&) override {
    CreateBody();
  }
  std::size_t on_body_impl(beast::string_view data, error_code&) override {
    body->append(data.data(), data.size());
    return data.size();
  }
  void on_chunk_header_impl(std::uint64_t, beast::string_view, error_code&) override {}
  std::size_t on_chunk_body_impl(std::uint64_t, beast::string_view data, error_code&) override {
    body->append(data.data(), data.size());
    return data.size();
  }
  void on_finish_impl(error_code&) override {}

  const TCreatePostStream& createPostStream_;
};

bool HasHeader(const std::vector<std::pair<std::string, std::string>>& headers,
               std::string_view name, std::string_view value) {
  return std::any_of(headers.begin(), headers.end(), [&](const auto& h) {
    return uStrUtils::EqualsIgnoreAsciiCase(h.first, name) &&
           uStrUtils::EqualsIgnoreAsciiCase(h.second, value);
  });
}

// Reads the rest of a body that ends when the client shuts down its sending side, after the
// part already in buffer. False when it breaks off or grows beyond kMaxBodyBytes.
bool ReadBodyToEnd(TTimedStream& stream, beast::flat_buffer& buffer, std::string& body) {
  if (buffer.size() > THttpServer::kMaxBodyBytes) return false;
  const auto first = buffer.data();
  body.append(static_cast<const char*>(first.data()), first.size());
  buffer.consume(buffer.size());
  std::vector<char> chunk(kChunkBytes);
  for (;;) {
    error_code ec;
    const std::size_t n = stream.read_some(asio::buffer(chunk), ec);
    if (ec == asio::error::eof) return true;
    if (ec) return false;
    if (n > THttpServer::kMaxBodyBytes - body.size()) return false;
    body.append(chunk.data(), n);
  }
}

// The size of what is left in stream from its position, when it can seek.
std::optional<std::uint64_t> RemainingLength(std::istream& stream) {
  const auto here = stream.tellg();
  if (here < 0 || !stream.seekg(0, std::ios::end)) {
    stream.clear();
    return std::nullopt;
  }
  const auto end = stream.tellg();
  stream.seekg(here);
  if (end < here || !stream) {
    stream.clear();
    stream.seekg(here);
    return std::nullopt;
  }
  return static_cast<std::uint64_t>(end - here);
}

void SendResponse(TTimedStream& stream, bool head, THttpResponse& response, error_code& ec) {
  const bool hasText = response.ContentText && !response.ContentText->empty();
  const bool hasStream = !hasText && response.ContentStream;
  std::optional<std::uint64_t> length;
  if (hasText) {
    length = response.ContentText->size();
  } else if (hasStream) {
    length =
        response.ContentLength ? response.ContentLength : RemainingLength(*response.ContentStream);
  }

  http::response<http::buffer_body> message;
  message.version(11);
  message.result(static_cast<unsigned>(response.ResponseNo));
  message.reason(response.ResponseText);
  message.set(http::field::server, BOOST_BEAST_VERSION_STRING);
  message.set(http::field::content_type, response.ContentType);
  if (!response.ContentEncoding.empty())
    message.set(http::field::content_encoding, response.ContentEncoding);
  if (length) message.content_length(*length);
  message.set(http::field::connection, "close");
  message.body().data = nullptr;
  message.body().more = false;

  http::response_serializer<http::buffer_body> serializer(message);
  http::write_header(stream, serializer, ec);
  if (ec || head || !(hasText || hasStream)) return;

  // One piece of the body at a time; the serializer asks for the next with need_buffer.
  const auto sendPiece = [&](const char* data, std::size_t size) {
    message.body().data = const_cast<char*>(data);
    message.body().size = size;
    message.body().more = true;
    http::write(stream, serializer, ec);
    if (ec == http::error::need_buffer) ec = {};
    return !ec;
  };
  if (hasText) {
    if (!sendPiece(response.ContentText->data(), response.ContentText->size())) return;
  } else {
    std::istream& source = *response.ContentStream;
    std::uint64_t left = length.value_or(UINT64_MAX);
    std::vector<char> chunk(kChunkBytes);
    while (left > 0) {
      source.read(chunk.data(),
                  static_cast<std::streamsize>(std::min<std::uint64_t>(left, chunk.size())));
      const auto n = static_cast<std::size_t>(source.gcount());
      if (n == 0) break;
      left -= n;
      if (!sendPiece(chunk.data(), n)) return;
    }
    // A stream shorter than the length it announced: the client sees the connection end.
    if (length && left > 0) return;
  }
  message.body().data = nullptr;
  message.body().size = 0;
  message.body().more = false;
  http::write(stream, serializer, ec);
}

}  // namespace

struct THttpServer::TImpl {
  struct TConnection {
    std::thread thread;
    int fd = -1;  // while the socket is open; Stop shuts it down
    bool finished = false;
  };

  std::mutex handlerMutex;
  TCommandGet onCommandGet;
  TCreatePostStream onCreatePostStream;

  std::atomic<std::int32_t> defaultPort{0};
  std::atomic<bool> active{false};
  std::atomic<std::uint16_t> boundPort{0};

  std::mutex controlMutex;  // Start and Stop; the members below up to connectionMutex
  asio::io_context io;
  std::vector<tcp::endpoint> endpoints;  // bound by the first successful start, then kept
  std::vector<tcp::acceptor> acceptors;
  int wakeFd = -1;  // readable while Stop waits for the accept thread
  std::thread acceptThread;

  std::mutex connectionMutex;
  std::list<TConnection> connections;

  TImpl() {
    wakeFd = ::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
    if (wakeFd < 0) throw std::system_error(errno, std::system_category(), "eventfd");
  }
  ~TImpl() { ::close(wakeFd); }

  // Opens, binds and listens on endpoint into acceptors; ec tells why it failed.
  bool Listen(const tcp::endpoint& endpoint, error_code& ec) {
    tcp::acceptor acceptor(io);
    acceptor.open(endpoint.protocol(), ec);
    if (ec) return false;
    SetCloseOnExec(acceptor.native_handle());
    acceptor.set_option(asio::socket_base::reuse_address(true), ec);
    if (!ec && endpoint.address().is_v6()) acceptor.set_option(asio::ip::v6_only(true), ec);
    if (!ec) acceptor.bind(endpoint, ec);
    if (!ec) acceptor.listen(kBacklog, ec);
    if (!ec) acceptor.non_blocking(true, ec);
    if (ec) return false;
    acceptors.push_back(std::move(acceptor));
    return true;
  }

  static bool NoIpv6(const error_code& ec) {
    return ec == asio::error::address_family_not_supported ||
           ec == boost::system::errc::address_not_available ||
           ec == boost::system::errc::protocol_not_supported;
  }

  // The endpoints for the default port: 0.0.0.0 and [::] on the same port, [::] left out when
  // the system has no IPv6. Leaves them bound in acceptors.
  bool ListenFirstTime(std::vector<tcp::endpoint>& bound) {
    const std::int32_t port = defaultPort;
    if (port < 0 || port > 65535) return false;
    for (int attempt = 0; attempt < kBindAttempts; ++attempt) {
      error_code ec;
      bound.clear();
      acceptors.clear();
      if (!Listen(tcp::endpoint(tcp::v4(), static_cast<std::uint16_t>(port)), ec)) return false;
      const std::uint16_t chosen = acceptors.front().local_endpoint(ec).port();
      if (ec) return false;
      bound.emplace_back(tcp::v4(), chosen);
      const tcp::endpoint v6(tcp::v6(), chosen);
      if (Listen(v6, ec)) {
        bound.push_back(v6);
        return true;
      }
      if (NoIpv6(ec)) return true;
      // The port the system chose for IPv4 is taken on IPv6: let it choose again.
      if (port != 0 || ec != asio::error::address_in_use) return false;
    }
    return false;
  }

  void AcceptLoop() {
    std::vector<pollfd> watched;
    for (tcp::acceptor& acceptor : acceptors)
      watched.push_back({acceptor.native_handle(), POLLIN, 0});
    watched.push_back({wakeFd, POLLIN, 0});
    for (;;) {
      ReapFinished();
      for (pollfd& entry : watched) entry.revents = 0;
      if (::poll(watched.data(), watched.size(), -1) < 0) {
        if (errno == EINTR) continue;
        PauseAfterError();
        continue;
      }
      if (watched.back().revents != 0) return;
      for (std::size_t i = 0; i < acceptors.size(); ++i) {
        if (watched[i].revents == 0) continue;
        error_code ec;
        tcp::socket socket = acceptors[i].accept(ec);
        if (!ec) {
          Launch(std::move(socket));
        } else if (ec != asio::error::would_block && ec != asio::error::try_again &&
                   ec != asio::error::connection_aborted) {
          PauseAfterError();  // e.g. out of descriptors: let connections end first
        }
      }
    }
  }

  // Waits a little, or until Stop.
  void PauseAfterError() {
    pollfd entry{wakeFd, POLLIN, 0};
    ::poll(&entry, 1, 50);
  }

  void Launch(tcp::socket socket) {
    error_code ec;
    socket.non_blocking(true, ec);
    if (ec) return;
    SetCloseOnExec(socket.native_handle());
    std::lock_guard lock(connectionMutex);
    TConnection& connection = connections.emplace_back();
    connection.fd = socket.native_handle();
    try {
      connection.thread =
          std::thread([this, &connection, s = std::move(socket)]() mutable { Run(connection, s); });
    } catch (const std::system_error&) {
      connections.pop_back();  // the socket went with the thread's function and is closed
    }
  }

  void Run(TConnection& connection, tcp::socket& socket) {
    try {
      Serve(socket);
    } catch (...) {
      // Nothing escapes a connection thread; the connection just ends.
    }
    std::lock_guard lock(connectionMutex);
    connection.fd = -1;
    error_code ignored;
    socket.close(ignored);
    connection.finished = true;
  }

  void ReapFinished() {
    std::list<TConnection> finished;
    {
      std::lock_guard lock(connectionMutex);
      for (auto it = connections.begin(); it != connections.end();) {
        const auto next = std::next(it);
        if (it->finished) finished.splice(finished.end(), connections, it);
        it = next;
      }
    }
    for (TConnection& connection : finished) connection.thread.join();
  }

  void Serve(tcp::socket& socket) {
    TCommandGet commandGet;
    TCreatePostStream createPostStream;
    {
      std::lock_guard lock(handlerMutex);
      commandGet = onCommandGet;
      createPostStream = onCreatePostStream;
    }

    TTimedStream stream(socket);
    stream.SetDeadline(Clock::now() + kHeaderTimeout);
    beast::flat_buffer buffer(kMaxHeaderBytes + kChunkBytes);
    TRequestParser parser(createPostStream);
    parser.header_limit(static_cast<std::uint32_t>(kMaxHeaderBytes));
    parser.body_limit(kMaxBodyBytes);
    error_code ec;
    // The parser limits the request line and the header lines each to kMaxHeaderBytes; the
    // bytes it used are the whole header.
    const std::size_t headerBytes = http::read_header(stream, buffer, parser, ec);
    // Malformed, too large, broken off or too slow: dropped unanswered.
    if (ec || headerBytes > kMaxHeaderBytes) return;
    stream.SetDeadline(std::nullopt);

    THttpRequest request;
    request.Method = uStrUtils::AsciiUpper(parser.method);
    const bool head = request.Method == "HEAD";
    if (request.Method != "GET" && request.Method != "POST" && !head) return;

    // A POST with neither a length nor chunks ends where the client stops sending.
    const bool bodyToEnd =
        request.Method == "POST" && !parser.content_length() && !parser.chunked();
    if ((bodyToEnd || !parser.is_done()) && HasHeader(parser.headers, "Expect", "100-continue")) {
      static constexpr std::string_view kContinue = "HTTP/1.1 100 Continue\r\n\r\n";
      asio::write(stream, asio::buffer(kContinue.data(), kContinue.size()), ec);
      if (ec) return;
    }
    if (!parser.is_done()) {
      http::read(stream, buffer, parser, ec);
      if (ec) return;
    } else if (bodyToEnd) {
      parser.CreateBody();
      if (!ReadBodyToEnd(stream, buffer, *parser.body)) return;
    }

    request.Target = parser.target;
    request.Path = DecodePath(request.Target);
    request.Version =
        "HTTP/" + std::to_string(parser.version / 10) + "." + std::to_string(parser.version % 10);
    request.Headers = std::move(parser.headers);
    request.PostStream = std::move(parser.body);

    THttpResponse response;
    try {
      if (commandGet) commandGet(request, response);
      if (response.ResponseNo < 100 || response.ResponseNo > 999)
        throw EHttpServerError("Invalid response code " + std::to_string(response.ResponseNo));
    } catch (const std::exception& error) {
      Fail(response, error.what());
    } catch (...) {
      Fail(response, "Unknown error");
    }

    SendResponse(stream, head, response, ec);
    response.ContentStream.reset();  // closed before the connection ends
    if (ec) return;

    // Lingering close: our side done, then what the client still sends, until it closes.
    socket.shutdown(tcp::socket::shutdown_send, ec);
    stream.SetDeadline(Clock::now() + kLingerTimeout);
    std::vector<char> sink(4096);
    for (std::size_t drained = 0; drained < kLingerBytes;) {
      const std::size_t n = stream.read_some(asio::buffer(sink), ec);
      if (ec) break;
      drained += n;
    }
  }

  static void Fail(THttpResponse& response, const std::string& message) {
    response.ResponseNo = 500;
    response.ResponseText = "Internal Server Error";
    response.ContentStream.reset();
    response.ContentLength.reset();
    response.ContentText = message;
  }
};

THttpServer::THttpServer() : impl_(std::make_unique<TImpl>()) {}

THttpServer::~THttpServer() {
  Stop();
}

void THttpServer::SetDefaultPort(std::int32_t port) {
  impl_->defaultPort = port;
}

std::int32_t THttpServer::GetDefaultPort() const {
  return impl_->defaultPort;
}

void THttpServer::SetOnCommandGet(TCommandGet handler) {
  std::lock_guard lock(impl_->handlerMutex);
  impl_->onCommandGet = std::move(handler);
}

void THttpServer::SetOnCreatePostStream(TCreatePostStream handler) {
  std::lock_guard lock(impl_->handlerMutex);
  impl_->onCreatePostStream = std::move(handler);
}

std::string PortOutOfRangeMessage(std::int32_t port) {
  return "The web port " + std::to_string(port) + " is outside the allowed range " +
         std::to_string(kMinPort) + " to " + std::to_string(kMaxPort) +
         ". Set a port in that range (0 lets the system choose one) in \"Nastavení\" or as "
         "WebPort in config.xml.";
}

void THttpServer::Start() {
  TImpl& impl = *impl_;
  std::lock_guard lock(impl.controlMutex);
  if (impl.active) return;

  bool listening = true;
  if (impl.endpoints.empty()) {
    const std::int32_t port = impl.defaultPort;
    if (port < kMinPort || port > kMaxPort) throw EHttpServerError(PortOutOfRangeMessage(port));
    std::vector<tcp::endpoint> bound;
    listening = impl.ListenFirstTime(bound);
    if (listening) {
      impl.endpoints = std::move(bound);
      impl.boundPort = impl.endpoints.front().port();
    }
  } else {
    for (const tcp::endpoint& endpoint : impl.endpoints) {
      error_code ec;
      if (!impl.Listen(endpoint, ec)) {
        listening = false;
        break;
      }
    }
  }
  if (listening) {
    try {
      impl.acceptThread = std::thread([&impl] { impl.AcceptLoop(); });
    } catch (const std::system_error&) {
      listening = false;
    }
  }
  if (!listening) {
    impl.acceptors.clear();  // closes what was bound so far
    throw EHttpServerError(kBindFailedMessage);
  }
  impl.active = true;
}

void THttpServer::Stop() {
  TImpl& impl = *impl_;
  std::lock_guard lock(impl.controlMutex);
  if (!impl.active) return;

  const std::uint64_t one = 1;
  while (::write(impl.wakeFd, &one, sizeof one) < 0 && errno == EINTR) {
  }
  impl.acceptThread.join();
  impl.acceptors.clear();

  // No connection comes in any more. Wake every one that waits for its client, then wait for
  // all of them, handlers included.
  std::list<TImpl::TConnection> running;
  {
    std::lock_guard connectionLock(impl.connectionMutex);
    for (const TImpl::TConnection& connection : impl.connections)
      if (connection.fd >= 0) ::shutdown(connection.fd, SHUT_RDWR);
    running.splice(running.end(), impl.connections);
  }
  for (TImpl::TConnection& connection : running) connection.thread.join();

  std::uint64_t count = 0;
  while (::read(impl.wakeFd, &count, sizeof count) < 0 && errno == EINTR) {
  }
  impl.active = false;
}

bool THttpServer::Active() const {
  return impl_->active;
}

std::uint16_t THttpServer::BoundPort() const {
  return impl_->boundPort;
}

}  // namespace uHttpServer
