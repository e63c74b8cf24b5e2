// Asio fences the handlers an io_context runs. This one never runs: every socket operation
// here is synchronous, so the fences go (ThreadSanitizer does not support them either).
#define BOOST_ASIO_DISABLE_FENCED_BLOCK

#include "bridge/uHttpServer.h"

#include "bridge/uHttpServerOrigin.h"
#include "ci/uStrUtils.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <deque>
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
#include <boost/beast/http/error.hpp>
#include <boost/beast/http/read.hpp>
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
// How long any read or write of the answer may wait for the peer (the request has the whole
// request time limit). Stop ends every wait at once.
constexpr std::chrono::seconds kIoTimeout{30};
// While queued connections wait for a worker, how soon the accept thread looks for room again.
constexpr int kFullPollMs = 5;
// A connection is shut down to make room only after it has waited this long for its request:
// a client that sends at once but was not yet read (a busy machine) keeps its place.
constexpr std::chrono::milliseconds kEvictAfter{200};
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

// A connected socket (its descriptor, non-blocking), read and written like a blocking one,
// except that every wait for the peer is bounded: by kIoTimeout, and by the deadline when one
// is set. Plain system calls: the socket is never registered with a reactor.
class TTimedStream {
 public:
  explicit TTimedStream(int fd) : fd_(fd) {}

  void SetDeadline(std::optional<Clock::time_point> deadline) { deadline_ = deadline; }

  template <class MutableBuffers>
  std::size_t read_some(const MutableBuffers& buffers, error_code& ec) {
    TVectors vectors(buffers);
    if (vectors.count == 0) {
      ec = {};
      return 0;
    }
    for (;;) {
      msghdr message{};
      message.msg_iov = vectors.entries.data();
      message.msg_iovlen = vectors.count;
      const ssize_t n = ::recvmsg(fd_, &message, 0);
      if (n > 0) {
        ec = {};
        return static_cast<std::size_t>(n);
      }
      if (n == 0) {
        ec = asio::error::eof;
        return 0;
      }
      if (errno == EINTR) continue;
      if (errno != EAGAIN && errno != EWOULDBLOCK) {
        ec.assign(errno, boost::system::system_category());
        return 0;
      }
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
    TVectors vectors(buffers);
    if (vectors.count == 0) {
      ec = {};
      return 0;
    }
    for (;;) {
      msghdr message{};
      message.msg_iov = vectors.entries.data();
      message.msg_iovlen = vectors.count;
      const ssize_t n = ::sendmsg(fd_, &message, MSG_NOSIGNAL);
      if (n >= 0) {
        ec = {};
        return static_cast<std::size_t>(n);
      }
      if (errno == EINTR) continue;
      if (errno != EAGAIN && errno != EWOULDBLOCK) {
        ec.assign(errno, boost::system::system_category());
        return 0;
      }
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
      pollfd entry{fd_, events, 0};
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

  // The first buffers of a sequence (at most kMaxVectors, the rest waits for the next call).
  struct TVectors {
    static constexpr std::size_t kMaxVectors = 16;
    template <class Buffers>
    explicit TVectors(const Buffers& buffers) {
      for (auto it = asio::buffer_sequence_begin(buffers);
           it != asio::buffer_sequence_end(buffers) && count < kMaxVectors; ++it) {
        const auto buffer = *it;
        if (buffer.size() == 0) continue;
        entries[count++] = {const_cast<void*>(static_cast<const void*>(buffer.data())),
                            buffer.size()};
      }
    }
    std::array<iovec, kMaxVectors> entries{};
    std::size_t count = 0;
  };

  const int fd_;
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

enum class TBodyEnd { Complete, TooLarge, Broken };

// Reads the rest of a body that ends when the client shuts down its sending side, after the
// part already in buffer, at most kMaxBodyBytes.
TBodyEnd ReadBodyToEnd(TTimedStream& stream, beast::flat_buffer& buffer, std::string& body) {
  if (buffer.size() > THttpServer::kMaxBodyBytes) return TBodyEnd::TooLarge;
  const auto first = buffer.data();
  body.append(static_cast<const char*>(first.data()), first.size());
  buffer.consume(buffer.size());
  std::vector<char> chunk(kChunkBytes);
  for (;;) {
    error_code ec;
    const std::size_t n = stream.read_some(asio::buffer(chunk), ec);
    if (ec == asio::error::eof) return TBodyEnd::Complete;
    if (ec) return TBodyEnd::Broken;
    if (n > THttpServer::kMaxBodyBytes - body.size()) return TBodyEnd::TooLarge;
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

// A header value as sent: without line ends, so that no value can start another line.
std::string HeaderValue(std::string_view value) {
  std::string out(value);
  std::erase_if(out, [](char c) { return c == '\r' || c == '\n'; });
  return out;
}

// The status line and the header lines, in the order the fields are sent.
std::string FormatHeader(const THttpResponse& response, std::optional<std::uint64_t> length) {
  std::string head = "HTTP/1.1 " + std::to_string(response.ResponseNo) + " " +
                     HeaderValue(response.ResponseText) +
                     "\r\nServer: " + BOOST_BEAST_VERSION_STRING +
                     "\r\nContent-Type: " + HeaderValue(response.ContentType) + "\r\n";
  if (!response.ContentEncoding.empty())
    head += "Content-Encoding: " + HeaderValue(response.ContentEncoding) + "\r\n";
  if (length) head += "Content-Length: " + std::to_string(*length) + "\r\n";
  head += "Connection: close\r\n\r\n";
  return head;
}

// Sends the header and the body. A text body, and a stream body of at most kChunkBytes, go
// out with the header in one write; a larger stream follows in pieces.
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
  const std::string header = FormatHeader(response, length);
  if (head || !(hasText || hasStream)) {
    asio::write(stream, asio::buffer(header), ec);
    return;
  }
  if (hasText) {
    const std::array<asio::const_buffer, 2> pieces{asio::buffer(header),
                                                   asio::buffer(*response.ContentText)};
    asio::write(stream, pieces, ec);
    return;
  }

  std::istream& source = *response.ContentStream;
  std::uint64_t left = length.value_or(UINT64_MAX);
  const auto chunkBytes = static_cast<std::size_t>(std::min<std::uint64_t>(left, kChunkBytes));
  const auto chunk = std::make_unique_for_overwrite<char[]>(chunkBytes);
  bool first = true;
  while (left > 0 || first) {
    std::size_t n = 0;
    if (left > 0 && chunkBytes > 0) {
      source.read(chunk.get(),
                  static_cast<std::streamsize>(std::min<std::uint64_t>(left, chunkBytes)));
      n = static_cast<std::size_t>(source.gcount());
    }
    left -= n;
    const asio::const_buffer body = asio::buffer(chunk.get(), n);
    if (first) {
      const std::array<asio::const_buffer, 2> pieces{asio::buffer(header), body};
      asio::write(stream, pieces, ec);
      first = false;
    } else {
      asio::write(stream, body, ec);
    }
    if (ec || n == 0) return;
  }
  // A stream shorter than the length it announced: the client sees the connection end.
}

}  // namespace

struct THttpServer::TImpl {
  // One accepted connection, from the accept to its close.
  struct TConnection {
    explicit TConnection(int f) : fd(f) {}
    int fd;  // closed with connectionMutex held, so a shutdown never meets a reused number
    // From the accept, and again from when a worker takes it: the wait for its request (the
    // request time limit, the age that makes room) counts only while it is served, not while
    // it waited for a free worker.
    Clock::time_point since = Clock::now();
    enum class TState { Queued, Reading, Answering } state = TState::Queued;
    bool shut = false;  // shut down by Stop, or to make room while it was still reading
  };

  std::mutex handlerMutex;
  TCommandGet onCommandGet;
  TCreatePostStream onCreatePostStream;

  std::atomic<std::int32_t> defaultPort{0};
  std::atomic<bool> active{false};
  std::atomic<bool> stopping{false};  // from the start of Stop to the next Start
  std::atomic<std::uint16_t> boundPort{0};
  std::string listenAddress;  // set before the first start; empty: the loopback addresses

  std::mutex controlMutex;  // Start and Stop; the members below up to connectionMutex
  asio::io_context io;
  std::vector<tcp::endpoint> endpoints;  // bound by the first successful start, then kept
  std::vector<tcp::acceptor> acceptors;
  int wakeFd = -1;  // readable while Stop waits for the accept thread
  std::thread acceptThread;

  std::atomic<std::int64_t> requestTimeLimitMs{
      std::chrono::duration_cast<std::chrono::milliseconds>(kRequestTimeLimit).count()};

  // The pool: at most kMaxConnections workers, each serving one connection at a time, whole.
  std::mutex connectionMutex;
  std::condition_variable queued;      // a connection queued, or the pool ending
  std::condition_variable allEnded;    // served went down to 0
  std::list<TConnection> connections;  // queued and served
  std::deque<TConnection*> queue;      // accepted, waiting for a worker
  std::vector<std::thread> workers;
  int idleWorkers = 0;
  int served = 0;
  bool workersEnd = false;

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

  // The addresses to listen on: the listen address when one is set, else 127.0.0.1 and ::1.
  std::vector<asio::ip::address> ListenAddresses() {
    if (listenAddress.empty())
      return {asio::ip::address_v4::loopback(), asio::ip::address_v6::loopback()};
    error_code ec;
    const asio::ip::address address = asio::ip::make_address(listenAddress, ec);
    if (ec) throw EHttpServerError("Not an IP address to listen on: " + listenAddress);
    return {address};
  }

  // The endpoints for the default port, all on the same port (the first one's when the
  // system chooses it); ::1 is left out when the system has no IPv6. Leaves them bound in
  // acceptors.
  bool ListenFirstTime(std::vector<tcp::endpoint>& bound) {
    const std::int32_t port = defaultPort;
    if (port < 0 || port > 65535) return false;
    const std::vector<asio::ip::address> addresses = ListenAddresses();
    for (int attempt = 0; attempt < kBindAttempts; ++attempt) {
      error_code ec;
      bound.clear();
      acceptors.clear();
      const tcp::endpoint first(addresses.front(), static_cast<std::uint16_t>(port));
      if (!Listen(first, ec)) return false;
      const std::uint16_t chosen = acceptors.front().local_endpoint(ec).port();
      if (ec) return false;
      bound.emplace_back(addresses.front(), chosen);
      bool again = false;
      for (std::size_t i = 1; i < addresses.size() && !again; ++i) {
        const tcp::endpoint other(addresses[i], chosen);
        if (Listen(other, ec)) {
          bound.push_back(other);
        } else if (!(NoIpv6(ec) && addresses[i].is_v6())) {
          // The port the system chose for the first is taken on another: let it choose again.
          if (port != 0 || ec != asio::error::address_in_use) return false;
          again = true;
        }
      }
      if (!again) return true;
    }
    return false;
  }

  // Accepts while the queue has room; beyond that new connections wait in the backlog.
  void AcceptLoop() {
    std::vector<pollfd> watched;
    for (tcp::acceptor& acceptor : acceptors)
      watched.push_back({acceptor.native_handle(), POLLIN, 0});
    watched.push_back({wakeFd, POLLIN, 0});
    for (;;) {
      bool room, cramped;
      {
        std::lock_guard lock(connectionMutex);
        cramped = !MakeRoom();
        room = queue.size() < static_cast<std::size_t>(kMaxConnections);
      }
      for (pollfd& entry : watched) entry.revents = 0;
      // Without room only Stop is watched; while cramped, room is looked for again soon.
      const int wait = cramped ? kFullPollMs : -1;
      const int ready =
          room ? ::poll(watched.data(), watched.size(), wait) : ::poll(&watched.back(), 1, wait);
      if (ready < 0) {
        if (errno != EINTR) PauseAfterError();
        continue;
      }
      if (watched.back().revents != 0) return;
      if (!room) continue;
      for (std::size_t i = 0; i < acceptors.size(); ++i) {
        if (watched[i].revents == 0) continue;
        const int fd =
            ::accept4(acceptors[i].native_handle(), nullptr, nullptr, SOCK_NONBLOCK | SOCK_CLOEXEC);
        if (fd >= 0) {
          Launch(fd);
        } else if (errno != EAGAIN && errno != EWOULDBLOCK && errno != ECONNABORTED &&
                   errno != EINTR) {
          PauseAfterError();  // e.g. out of descriptors: let connections end first
        }
      }
    }
  }

  // For each queued connection beyond the workers that are free or may still be made, the
  // served connection that has waited longest for its request, at least kEvictAfter, is shut
  // down, so that connections that send nothing, or little, cannot keep a new client
  // waiting. False when some queued connection still has no worker to come. With
  // connectionMutex held.
  bool MakeRoom() {
    // Workers that are free, or may still be made, take queued connections anyway.
    std::size_t freeing = static_cast<std::size_t>(kMaxConnections - served);
    for (const TConnection& connection : connections)
      if (connection.shut && connection.state != TConnection::TState::Queued) ++freeing;
    const Clock::time_point waitedEnough = Clock::now() - kEvictAfter;
    while (freeing < queue.size()) {
      TConnection* oldest = nullptr;
      for (TConnection& connection : connections)
        if (connection.state == TConnection::TState::Reading && !connection.shut &&
            connection.since <= waitedEnough && (!oldest || connection.since < oldest->since))
          oldest = &connection;
      if (!oldest) return false;  // the queue waits for a worker to end or a connection to age
      ::shutdown(oldest->fd, SHUT_RDWR);
      oldest->shut = true;
      ++freeing;
    }
    return true;
  }

  // Waits a little, or until Stop.
  void PauseAfterError() {
    pollfd entry{wakeFd, POLLIN, 0};
    ::poll(&entry, 1, 50);
  }

  void Launch(int fd) {
    std::lock_guard lock(connectionMutex);
    TConnection& connection = connections.emplace_back(fd);
    queue.push_back(&connection);
    if (queue.size() > static_cast<std::size_t>(idleWorkers) &&
        workers.size() < static_cast<std::size_t>(kMaxConnections)) {
      try {
        workers.emplace_back([this] { Work(); });
      } catch (const std::system_error&) {
        // the workers there are take it in turn
      }
    }
    if (workers.empty()) {  // not even one: the connection cannot be served
      ::close(fd);
      queue.pop_back();
      connections.pop_back();
      return;
    }
    queued.notify_one();
  }

  // A worker: serves queued connections one at a time until the pool ends.
  void Work() {
    std::unique_lock lock(connectionMutex);
    for (;;) {
      ++idleWorkers;
      queued.wait(lock, [this] { return workersEnd || !queue.empty(); });
      --idleWorkers;
      if (queue.empty()) return;  // the pool ends
      TConnection& connection = *queue.front();
      queue.pop_front();
      connection.state = TConnection::TState::Reading;
      connection.since = Clock::now();
      ++served;
      lock.unlock();
      try {
        Serve(connection);
      } catch (...) {
        // Nothing escapes a connection; it just ends.
      }
      lock.lock();
      ::close(connection.fd);
      connections.remove_if([&](const TConnection& c) { return &c == &connection; });
      if (--served == 0) allEnded.notify_all();
    }
  }

  // Whether connection may still be shut down to make room; from now on it may not.
  bool StartAnswering(TConnection& connection) {
    std::lock_guard lock(connectionMutex);
    if (connection.shut) return false;
    connection.state = TConnection::TState::Answering;
    return true;
  }

  void Serve(TConnection& connection) {
    const int fd = connection.fd;
    TCommandGet commandGet;
    TCreatePostStream createPostStream;
    {
      std::lock_guard lock(handlerMutex);
      commandGet = onCommandGet;
      createPostStream = onCreatePostStream;
    }

    // Header and body together within the request time limit, counted from the accept.
    TTimedStream stream(fd);
    stream.SetDeadline(connection.since + std::chrono::milliseconds(requestTimeLimitMs.load()));
    beast::flat_buffer buffer(kMaxHeaderBytes + kChunkBytes);
    TRequestParser parser(createPostStream);
    parser.header_limit(static_cast<std::uint32_t>(kMaxHeaderBytes));
    parser.body_limit(kMaxBodyBytes);
    error_code ec;
    // The parser limits the request line and the header lines each to kMaxHeaderBytes; the
    // bytes it used are the whole header.
    const std::size_t headerBytes = http::read_header(stream, buffer, parser, ec);
    // A length beyond the limit is found once the whole header is there; it is answered.
    bool tooLarge = ec == http::error::body_limit;
    // Malformed, too large, broken off or too slow: dropped unanswered.
    if ((ec && !tooLarge) || headerBytes > kMaxHeaderBytes) return;

    THttpRequest request;
    request.Method = uStrUtils::AsciiUpper(parser.method);
    const bool head = request.Method == "HEAD";
    if (request.Method != "GET" && request.Method != "POST" && !head) return;

    // Addressed to another name or sent by another site's page: refused before the body is
    // read and before any handler sees it.
    if (const auto refusal =
            uHttpServerOrigin::RefusalReason(parser.headers, {boundPort, listenAddress})) {
      Refuse(fd, stream, head, 403, "Forbidden", *refusal);
      return;
    }
    if (tooLarge) {
      RefuseTooLarge(fd, stream, head);
      return;
    }

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
      tooLarge = ec == http::error::body_limit;  // chunks beyond the limit
      if (ec && !tooLarge) return;
    } else if (bodyToEnd) {
      parser.CreateBody();
      const TBodyEnd end = ReadBodyToEnd(stream, buffer, *parser.body);
      if (end == TBodyEnd::Broken) return;
      tooLarge = end == TBodyEnd::TooLarge;
    }
    if (tooLarge) {
      parser.body.reset();  // let go of what came before the limit was passed
      RefuseTooLarge(fd, stream, head);
      return;
    }

    stream.SetDeadline(std::nullopt);  // the answer: each wait for the client is bounded
    if (!StartAnswering(connection)) return;

    request.Target = parser.target;
    request.Path = DecodePath(request.Target);
    request.Version =
        "HTTP/" + std::to_string(parser.version / 10) + "." + std::to_string(parser.version % 10);
    request.Headers = std::move(parser.headers);
    request.PostStream = std::move(parser.body);
    request.Abandoned = [this, fd, bodyToEnd] { return stopping || ClientGone(fd, bodyToEnd); };
    if (stopping) return;

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

    Respond(fd, stream, head, response);
  }

  // Whether the client of fd has closed or reset its connection. A client that ended its
  // body by shutting its sending side down has only half-closed: it still waits for the
  // answer, so only a reset or a full close counts for it.
  static bool ClientGone(int fd, bool halfClosedOnPurpose) {
    pollfd entry{fd, POLLIN | POLLRDHUP, 0};
    if (::poll(&entry, 1, 0) <= 0) return false;
    if ((entry.revents & (POLLHUP | POLLERR | POLLNVAL)) != 0) return true;
    return !halfClosedOnPurpose && (entry.revents & POLLRDHUP) != 0;
  }

  // Answers code with text, one line, instead of handing the request on.
  static void Refuse(int fd, TTimedStream& stream, bool head, int code, const char* reason,
                     const std::string& text) {
    THttpResponse response;
    response.ResponseNo = code;
    response.ResponseText = reason;
    response.ContentType = "text/plain";
    response.ContentText = text + "\n";
    Respond(fd, stream, head, response);
  }
  static void RefuseTooLarge(int fd, TTimedStream& stream, bool head) {
    Refuse(fd, stream, head, 413, "Payload Too Large",
           "Payload Too Large: a request body may have at most " + std::to_string(kMaxBodyBytes) +
               " bytes");
  }

  // Sends the response, then closes lingering: our side done, then what the client still
  // sends is read, until it closes, so that closing does not reset the response away.
  static void Respond(int fd, TTimedStream& stream, bool head, THttpResponse& response) {
    error_code ec;
    SendResponse(stream, head, response, ec);
    response.ContentStream.reset();  // closed before the connection ends
    if (ec) return;

    ::shutdown(fd, SHUT_WR);
    // Nothing more sent so far: the request was read whole, closing resets nothing.
    char next;
    if (::recv(fd, &next, 1, MSG_PEEK | MSG_DONTWAIT) < 0 &&
        (errno == EAGAIN || errno == EWOULDBLOCK))
      return;
    stream.SetDeadline(Clock::now() + kLingerTimeout);
    std::array<char, 4096> sink;
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

void THttpServer::SetRequestTimeLimit(std::chrono::milliseconds limit) {
  impl_->requestTimeLimitMs = limit.count();
}

void THttpServer::SetListenAddress(std::string address) {
  std::lock_guard lock(impl_->controlMutex);
  if (impl_->endpoints.empty()) impl_->listenAddress = std::move(address);
}

std::string THttpServer::ListenAddress() const {
  std::lock_guard lock(impl_->controlMutex);
  return impl_->listenAddress;
}

std::string THttpServer::UrlHost() const {
  std::lock_guard lock(impl_->controlMutex);
  error_code ec;
  const asio::ip::address address = asio::ip::make_address(impl_->listenAddress, ec);
  if (ec) return "127.0.0.1";  // empty: the loopback addresses, IPv4 first
  if (address.is_v4()) return address.is_unspecified() ? "127.0.0.1" : address.to_string();
  return address.is_unspecified() ? "[::1]" : "[" + address.to_string() + "]";
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
  impl.stopping = false;

  bool listening = true;
  if (impl.endpoints.empty()) {
    const std::int32_t port = impl.defaultPort;
    if (port < kMinPort || port > kMaxPort) throw EHttpServerError(PortOutOfRangeMessage(port));
    std::vector<tcp::endpoint> bound;
    try {
      listening = impl.ListenFirstTime(bound);
    } catch (const EHttpServerError&) {
      impl.acceptors.clear();
      throw;
    }
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

  impl.stopping = true;  // no handler starts, none that asks goes on
  const std::uint64_t one = 1;
  while (::write(impl.wakeFd, &one, sizeof one) < 0 && errno == EINTR) {
  }
  impl.acceptThread.join();
  impl.acceptors.clear();

  // No connection comes in any more. Those not served yet go; wake every one that waits for
  // its client, then wait for all of them, handlers included, and end the workers.
  std::vector<std::thread> workers;
  {
    std::unique_lock connectionLock(impl.connectionMutex);
    for (TImpl::TConnection* queued : impl.queue) {
      ::close(queued->fd);
      impl.connections.remove_if([&](const TImpl::TConnection& c) { return &c == queued; });
    }
    impl.queue.clear();
    for (TImpl::TConnection& connection : impl.connections) {
      ::shutdown(connection.fd, SHUT_RDWR);
      connection.shut = true;
    }
    impl.allEnded.wait(connectionLock, [&] { return impl.served == 0; });
    impl.workersEnd = true;
    impl.queued.notify_all();
    workers.swap(impl.workers);
  }
  for (std::thread& worker : workers) worker.join();
  {
    std::lock_guard connectionLock(impl.connectionMutex);
    impl.workersEnd = false;
  }

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
