#include "bridge/uHttpServer.h"
#include "bridge/uHttpServerOrigin.h"

#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <ifaddrs.h>

#include <boost/beast/version.hpp>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <filesystem>
#include <future>
#include <mutex>
#include <set>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "support/RawHttpClient.h"

using testsupport::HttpExchange;
using testsupport::THttpReply;
using testsupport::TRawHttpClient;
using testsupport::TRawListener;
using testsupport::WithHost;
using uHttpServer::EHttpServerError;
using uHttpServer::THttpRequest;
using uHttpServer::THttpResponse;
using uHttpServer::THttpServer;
using namespace std::chrono_literals;

namespace {

// A flag a handler waits on (bounded) until the test opens it.
class TGate {
 public:
  void Open() {
    std::lock_guard lock(mutex_);
    open_ = true;
    changed_.notify_all();
  }
  bool WaitFor(std::chrono::milliseconds limit) {
    std::unique_lock lock(mutex_);
    return changed_.wait_for(lock, limit, [this] { return open_; });
  }

 private:
  std::mutex mutex_;
  std::condition_variable changed_;
  bool open_ = false;
};

// A stream body that tells when the server has let go of it.
class TTrackedStream : public std::istringstream {
 public:
  TTrackedStream(std::string text, std::atomic<int>& destroyed)
      : std::istringstream(std::move(text)), destroyed_(destroyed) {}
  ~TTrackedStream() override { ++destroyed_; }

 private:
  std::atomic<int>& destroyed_;
};

// What a handler saw of one request.
struct TSeen {
  std::string method, target, path, version;
  std::vector<std::pair<std::string, std::string>> headers;
  bool hasBody = false;
  std::string body;
};

std::string Pattern(std::size_t size) {
  std::string text(size, '\0');
  for (std::size_t i = 0; i < size; ++i) text[i] = static_cast<char>('a' + (i * 7 + i / 251) % 26);
  return text;
}

// The names of the header lines, in order.
std::vector<std::string> HeaderNames(const THttpReply& reply) {
  std::vector<std::string> names;
  for (const auto& header : reply.Headers()) names.push_back(header.first);
  return names;
}

// A server on a port of the system's choice whose handler records every request and then
// runs the test's handler.
class HttpServerTest : public testing::Test {
 protected:
  using THandler = std::function<void(THttpRequest&, THttpResponse&)>;

  void SetUp() override {
    server_.SetDefaultPort(0);
    server_.SetOnCommandGet([this](THttpRequest& request, THttpResponse& response) {
      THandler handler;
      {
        std::lock_guard lock(mutex_);
        seen_.push_back({request.Method, request.Target, request.Path, request.Version,
                         request.Headers, request.PostStream != nullptr,
                         request.PostStream ? *request.PostStream : std::string()});
        handler = handler_;
      }
      if (handler) handler(request, response);
    });
    server_.SetOnCreatePostStream([this] {
      ++bodiesCreated_;
      return std::make_unique<std::string>();
    });
  }
  void TearDown() override {
    release_.Open();
    server_.Stop();
  }

  void Start() {
    server_.Start();
    port_ = server_.BoundPort();
    ASSERT_NE(port_, 0);
  }
  void SetHandler(THandler handler) {
    std::lock_guard lock(mutex_);
    handler_ = std::move(handler);
  }
  std::vector<TSeen> TakeSeen() {
    std::lock_guard lock(mutex_);
    return std::exchange(seen_, {});
  }
  // Sends request addressed as a browser would (Host: 127.0.0.1:PORT, unless it names one).
  THttpReply Exchange(std::string_view request, bool shutdownSend = false) {
    return HttpExchange(port_, WithHost(request, port_), shutdownSend);
  }
  // The server still answers a plain request.
  void ExpectStillServing() {
    SetHandler({});
    const THttpReply reply = Exchange("GET /alive HTTP/1.1\r\n\r\n");
    EXPECT_EQ(reply.StatusLine(), "HTTP/1.1 200 OK");
    TakeSeen();
  }

  std::mutex mutex_;
  THandler handler_;
  std::vector<TSeen> seen_;
  std::atomic<int> bodiesCreated_{0};
  TGate release_;
  std::uint16_t port_ = 0;
  THttpServer server_;  // last: stopped before anything its handlers use goes away
};

TEST_F(HttpServerTest, RequestLineAndHeadersReachTheHandler) {
  struct Case {
    std::string requestLine;
    std::string method, target, path, version;
  };
  const Case cases[] = {
      {"get /index.html HTTP/1.1", "GET", "/index.html", "/index.html", "HTTP/1.1"},
      {"gEt / HTTP/1.0", "GET", "/", "/", "HTTP/1.0"},
      {"head /x HTTP/1.1", "HEAD", "/x", "/x", "HTTP/1.1"},
      {"GET /status?x=1&y=%41 HTTP/1.1", "GET", "/status?x=1&y=%41", "/status", "HTTP/1.1"},
      {"GET /a%20b.html HTTP/1.1", "GET", "/a%20b.html", "/a b.html", "HTTP/1.1"},
      {"GET \\dir\\file.txt HTTP/1.1", "GET", "\\dir\\file.txt", "/dir/file.txt", "HTTP/1.1"},
      // Escapes are decoded after the backslashes were turned, so %5C stays a backslash.
      {"GET /%2e%2E/%2Fx%5c HTTP/1.1", "GET", "/%2e%2E/%2Fx%5c", "/..//x\\", "HTTP/1.1"},
      {"GET /bad%zz%4 HTTP/1.1", "GET", "/bad%zz%4", "/bad%zz%4", "HTTP/1.1"},
      {"GET /end% HTTP/1.1", "GET", "/end%", "/end%", "HTTP/1.1"},
      {"GET /nul%00byte%FF HTTP/1.1", "GET", "/nul%00byte%FF", std::string("/nul\0byte\xff", 10),
       "HTTP/1.1"},
      {"GET /q?a=%20&b=c?d HTTP/1.1", "GET", "/q?a=%20&b=c?d", "/q", "HTTP/1.1"},
  };
  Start();
  const std::string host = "127.0.0.1:" + std::to_string(port_);
  for (const Case& c : cases) {
    SCOPED_TRACE(c.requestLine);
    const THttpReply reply =
        Exchange(c.requestLine + "\r\nX-Mixed-Case: Value 1\r\nhost: " + host + "\r\n\r\n");
    EXPECT_EQ(reply.StatusLine(), "HTTP/1.1 200 OK");
    const std::vector<TSeen> seen = TakeSeen();
    ASSERT_EQ(seen.size(), 1u);
    EXPECT_EQ(seen[0].method, c.method);
    EXPECT_EQ(seen[0].target, c.target);
    EXPECT_EQ(seen[0].path, c.path);
    EXPECT_EQ(seen[0].version, c.version);
    const std::vector<std::pair<std::string, std::string>> headers = {{"X-Mixed-Case", "Value 1"},
                                                                      {"host", host}};
    EXPECT_EQ(seen[0].headers, headers);
    EXPECT_FALSE(seen[0].hasBody);
  }
  EXPECT_EQ(bodiesCreated_, 0);
}

TEST_F(HttpServerTest, OnlyRequestsAddressedToThisServerFromItsOwnPagesAreServed) {
  Start();
  const std::string port = std::to_string(port_);
  const std::string otherPort = std::to_string(port_ == 65535 ? 1 : port_ + 1);
  const std::string own = "Host: 127.0.0.1:" + port + "\r\n";
  struct Case {
    std::string headers;  // header lines, each with its CR LF
    bool served;
  };
  const Case cases[] = {
      // The embedded browser, the pages' own requests and curl.
      {own, true},
      {"Host: localhost:" + port + "\r\n", true},
      {"Host: LocalHost:" + port + "\r\n", true},
      {"Host: [::1]:" + port + "\r\n", true},
      {"Host: [0:0:0:0:0:0:0:1]:" + port + "\r\n", true},
      {own + "Origin: http://127.0.0.1:" + port + "\r\nSec-Fetch-Site: same-origin\r\n", true},
      {own + "Origin: http://localhost:" + port + "\r\n", true},
      {own + "Origin: http://[::1]:" + port + "\r\n", true},
      {own + "Sec-Fetch-Site: none\r\n", true},
      {own + "User-Agent: curl/7.88.1\r\nAccept: */*\r\n", true},
      // Not addressed to this server: no Host, several, another name (a rebound one too),
      // another address or port.
      {"", false},
      {own + own, false},
      {"Host: \r\n", false},
      {"Host: attacker.example:" + port + "\r\n", false},
      {"Host: localhost.:" + port + "\r\n", false},
      {"Host: 127.0.0.1\r\n", false},
      {"Host: 127.0.0.1:\r\n", false},
      {"Host: 127.0.0.1:" + otherPort + "\r\n", false},
      {"Host: 127.0.0.1:0" + port + "\r\n", false},
      {"Host: 127.0.0.2:" + port + "\r\n", false},
      {"Host: 0.0.0.0:" + port + "\r\n", false},
      {"Host: 192.168.1.5:" + port + "\r\n", false},
      {"Host: [::1]\r\n", false},
      {"Host: ::1:" + port + "\r\n", false},
      {"Host: 127.0.0.1:" + port + " x\r\n", false},
      // Sent by another site's page.
      {own + "Origin: null\r\n", false},
      {own + "Origin: http://attacker.example\r\n", false},
      {own + "Origin: http://127.0.0.1:" + otherPort + "\r\n", false},
      {own + "Origin: https://127.0.0.1:" + port + "\r\n", false},
      {own + "Origin: http://127.0.0.1:" + port + "/\r\n", false},
      {own + "Origin: \r\n", false},
      {own + "Origin: http://127.0.0.1:" + port + "\r\nOrigin: null\r\n", false},
      {own + "Sec-Fetch-Site: cross-site\r\n", false},
      {own + "Sec-Fetch-Site: same-site\r\n", false},
      {own + "sec-fetch-site: Cross-Site\r\n", false},
      {own + "Origin: http://127.0.0.1:" + port + "\r\nSec-Fetch-Site: same-site\r\n", false},
  };
  for (const Case& c : cases) {
    for (const std::string method : {"GET", "POST", "HEAD"}) {
      SCOPED_TRACE(method + " with " + c.headers);
      bodiesCreated_ = 0;
      const THttpReply reply = HttpExchange(
          port_, method + " /set.json HTTP/1.1\r\n" + c.headers + "Content-Length: 3\r\n\r\na=1");
      EXPECT_TRUE(reply.closed);
      const std::vector<TSeen> seen = TakeSeen();
      if (c.served) {
        EXPECT_EQ(reply.StatusLine(), "HTTP/1.1 200 OK");
        EXPECT_EQ(seen.size(), 1u);
        continue;
      }
      EXPECT_EQ(reply.StatusLine(), "HTTP/1.1 403 Forbidden");
      EXPECT_EQ(reply.Header("Content-Type"), "text/plain");
      EXPECT_TRUE(seen.empty());
      EXPECT_EQ(bodiesCreated_, 0);  // the body was never read
      if (method == "HEAD") continue;
      const std::string body = reply.Body();
      EXPECT_EQ(body.rfind("Forbidden: ", 0), 0u) << body;
      EXPECT_EQ(body.find('\n'), body.size() - 1) << body;  // one line
    }
  }
  ExpectStillServing();
}

TEST(HttpServerOrigin, TheListenAddressAndPort80AreAcceptedHostsToo) {
  using uHttpServerOrigin::IsAcceptedHost;
  struct Case {
    std::uint16_t port;
    std::string listen, host;
    bool accepted;
  };
  const Case cases[] = {
      {80, "", "127.0.0.1", true},  // a browser leaves the default port out
      {80, "", "localhost", true},
      {80, "", "[::1]", true},
      {80, "", "127.0.0.1:80", true},
      {8080, "", "127.0.0.1", false},
      {8080, "", "localhost", false},
      {8080, "192.168.1.5", "192.168.1.5:8080", true},
      {8080, "192.168.1.5", "127.0.0.1:8080", true},
      {8080, "192.168.1.5", "192.168.1.6:8080", false},
      {8080, "192.168.1.5", "192.168.1.5:8081", false},
      {8080, "192.168.1.5", "lan-name:8080", false},
      {8080, "fd00::5", "[fd00::5]:8080", true},
      {8080, "fd00::5", "[FD00:0::5]:8080", true},
      {8080, "fd00::5", "[fd00::6]:8080", false},
      // A wildcard listens on every address: any address literal, never a name.
      {8080, "0.0.0.0", "10.1.2.3:8080", true},
      {8080, "::", "[fd00::7]:8080", true},
      {8080, "0.0.0.0", "attacker.example:8080", false},
      {8080, "0.0.0.0", "10.1.2.3:8081", false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.listen + " " + std::to_string(c.port) + " " + c.host);
    EXPECT_EQ(IsAcceptedHost(c.host, {c.port, c.listen}), c.accepted);
  }
}

TEST_F(HttpServerTest, DefaultResponseIsAnEmptyHtmlOkAndTheConnectionCloses) {
  Start();
  const THttpReply reply = Exchange("GET / HTTP/1.1\r\n\r\n");
  EXPECT_TRUE(reply.closed);
  EXPECT_EQ(reply.StatusLine(), "HTTP/1.1 200 OK");
  EXPECT_EQ(HeaderNames(reply), (std::vector<std::string>{"Server", "Content-Type", "Connection"}));
  EXPECT_EQ(reply.Header("Server"), BOOST_BEAST_VERSION_STRING);
  EXPECT_EQ(reply.Header("Content-Type"), "text/html");
  EXPECT_EQ(reply.Header("Connection"), "close");
  EXPECT_EQ(reply.raw.substr(reply.raw.size() - 4), "\r\n\r\n");  // nothing after the header
}

TEST_F(HttpServerTest, ResponseFieldsAndTextBodiesAreSentAsSet) {
  struct Case {
    const char* name;
    int code;
    std::string reason, type, encoding;
    std::optional<std::string> text;
    std::string expectedStatus;
    std::optional<std::string> expectedLength;
  };
  const Case cases[] = {
      {"text", 200, "OK", "text/plain", "UTF-8", "hello", "HTTP/1.1 200 OK", "5"},
      {"other status", 404, "Not Found", "text/html", "", "missing", "HTTP/1.1 404 Not Found", "7"},
      {"binary text", 200, "OK", "application/octet-stream", "", std::string("a\0b\r\n", 5),
       "HTTP/1.1 200 OK", "5"},
      {"empty text is no body", 200, "OK", "text/xml", "UTF-8", "", "HTTP/1.1 200 OK",
       std::nullopt},
      {"no text", 204, "No Content", "text/html", "", std::nullopt, "HTTP/1.1 204 No Content",
       std::nullopt},
  };
  Start();
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    SetHandler([&c](THttpRequest&, THttpResponse& response) {
      response.ResponseNo = c.code;
      response.ResponseText = c.reason;
      response.ContentType = c.type;
      response.ContentEncoding = c.encoding;
      response.ContentText = c.text;
    });
    const THttpReply reply = Exchange("GET /x HTTP/1.1\r\n\r\n");
    EXPECT_EQ(reply.StatusLine(), c.expectedStatus);
    EXPECT_EQ(reply.Header("Content-Type"), c.type);
    EXPECT_EQ(reply.Header("Content-Encoding"),
              c.encoding.empty() ? std::nullopt : std::optional(c.encoding));
    EXPECT_EQ(reply.Header("Content-Length"), c.expectedLength);
    EXPECT_EQ(reply.Header("Connection"), "close");
    EXPECT_EQ(reply.Body(), c.text.value_or(""));
    EXPECT_TRUE(reply.closed);
  }
}

TEST_F(HttpServerTest, OtherMethodsAreNotAnsweredAndTheConnectionIsClosed) {
  const char* const requests[] = {
      "PUT /x HTTP/1.1\r\nContent-Length: 3\r\n\r\nabc",
      "put /x HTTP/1.1\r\n\r\n",
      "DELETE /x HTTP/1.1\r\n\r\n",
      "OPTIONS * HTTP/1.1\r\n\r\n",
      "CONNECT host:443 HTTP/1.1\r\n\r\n",
      "BREW /pot HTTP/1.1\r\n\r\n",
  };
  Start();
  for (const char* request : requests) {
    SCOPED_TRACE(request);
    const THttpReply reply = Exchange(request);
    EXPECT_TRUE(reply.closed);
    EXPECT_EQ(reply.raw, "");
  }
  EXPECT_TRUE(TakeSeen().empty());
  EXPECT_EQ(bodiesCreated_, 0);
  ExpectStillServing();
}

TEST_F(HttpServerTest, RequestsAtTheLimitsAreServedAndBeyondThemDroppedUnanswered) {
  Start();
  // The Host line and count more.
  const auto headerLines = [this](int count) {
    std::string lines = "Host: 127.0.0.1:" + std::to_string(port_) + "\r\n";
    for (int i = 1; i < count; ++i) lines += "X-" + std::to_string(i) + ": v\r\n";
    return lines;
  };
  // A request line plus header lines of exactly the given size, the empty line included.
  const auto headerOfSize = [this](std::size_t size) {
    std::string head =
        "GET / HTTP/1.1\r\nHost: 127.0.0.1:" + std::to_string(port_) + "\r\nX-Fill: ";
    head += std::string(size - head.size() - 4, 'f') + "\r\n\r\n";
    return head;
  };
  struct Case {
    const char* name;
    std::string request;
    bool shutdownSend;
    bool answered;
  };
  const std::size_t maxBody = THttpServer::kMaxBodyBytes;
  const Case cases[] = {
      {"1024 header lines", "GET / HTTP/1.1\r\n" + headerLines(1024) + "\r\n", false, true},
      {"1025 header lines", "GET / HTTP/1.1\r\n" + headerLines(1025) + "\r\n", false, false},
      {"header of the largest size", headerOfSize(THttpServer::kMaxHeaderBytes), false, true},
      {"header one byte larger", headerOfSize(THttpServer::kMaxHeaderBytes + 1), false, false},
      {"header without end beyond the limit",
       "GET / HTTP/1.1\r\nX-Fill: " + std::string(THttpServer::kMaxHeaderBytes, 'f'), false, false},
      {"body of the largest length",
       "POST / HTTP/1.1\r\nContent-Length: " + std::to_string(maxBody) + "\r\n\r\n" +
           std::string(maxBody, 'b'),
       false, true},
      {"body to the end of the largest size", "POST / HTTP/1.1\r\n\r\n" + std::string(maxBody, 'b'),
       true, true},
      {"not a request line", "hello\r\n\r\n", false, false},
      {"no target", "GET  HTTP/1.1\r\n\r\n", false, false},
      {"not an HTTP version", "GET / HTTP/x.y\r\n\r\n", false, false},
      {"header line without a colon", "GET / HTTP/1.1\r\nno colon\r\n\r\n", false, false},
      {"bad length", "POST / HTTP/1.1\r\nContent-Length: abc\r\n\r\n", false, false},
      {"two lengths", "POST / HTTP/1.1\r\nContent-Length: 1\r\nContent-Length: 2\r\n\r\nab", false,
       false},
      {"bad chunk", "POST / HTTP/1.1\r\nTransfer-Encoding: chunked\r\n\r\nzz\r\n", false, false},
      {"body shorter than its length", "POST / HTTP/1.1\r\nContent-Length: 5\r\n\r\nab", true,
       false},
      {"header broken off", "GET / HTTP/1.1\r\nHost: h", true, false},
      {"nothing at all", "", true, false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    const THttpReply reply = Exchange(c.request, c.shutdownSend);
    EXPECT_TRUE(reply.closed);
    const std::vector<TSeen> seen = TakeSeen();
    if (c.answered) {
      EXPECT_EQ(reply.StatusLine(), "HTTP/1.1 200 OK");
      EXPECT_EQ(seen.size(), 1u);
    } else {
      EXPECT_EQ(reply.raw, "");
      EXPECT_TRUE(seen.empty());
    }
  }
  ExpectStillServing();
}

TEST_F(HttpServerTest, BodiesBeyondTheLimitGet413AndReachNoHandler) {
  const std::size_t maxBody = THttpServer::kMaxBodyBytes;
  const auto chunked = [](std::size_t total) {
    std::string body;
    for (std::size_t left = total; left > 0;) {
      const std::size_t size = std::min<std::size_t>(left, 4000);
      std::ostringstream header;
      header << std::hex << size << "\r\n";
      body += header.str() + std::string(size, 'c') + "\r\n";
      left -= size;
    }
    return "POST /set HTTP/1.1\r\nTransfer-Encoding: chunked\r\n\r\n" + body + "0\r\n\r\n";
  };
  struct Case {
    const char* name;
    std::string request;
    bool shutdownSend;
    bool served;
  };
  const Case cases[] = {
      {"chunks of the largest size", chunked(maxBody), false, true},
      {"length one byte larger",
       "POST /set HTTP/1.1\r\nContent-Length: " + std::to_string(maxBody + 1) + "\r\n\r\n", false,
       false},
      {"15 MB announced", "POST /set HTTP/1.1\r\nContent-Length: 15000000\r\n\r\n", false, false},
      {"continue asked for too much",
       "POST /set HTTP/1.1\r\nExpect: 100-continue\r\nContent-Length: 15000000\r\n\r\n", false,
       false},
      {"GET with a length too large",
       "GET /x HTTP/1.1\r\nContent-Length: " + std::to_string(maxBody + 1) + "\r\n\r\n", false,
       false},
      {"to the end, one byte larger", "POST /set HTTP/1.1\r\n\r\n" + std::string(maxBody + 1, 'b'),
       true, false},
      {"chunks one byte larger", chunked(maxBody + 1), false, false},
      {"one chunk too large", "POST /set HTTP/1.1\r\nTransfer-Encoding: chunked\r\n\r\n10001\r\n",
       false, false},
  };
  Start();
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    const THttpReply reply = Exchange(c.request, c.shutdownSend);
    EXPECT_TRUE(reply.closed);
    const std::vector<TSeen> seen = TakeSeen();
    if (c.served) {
      EXPECT_EQ(reply.StatusLine(), "HTTP/1.1 200 OK");
      ASSERT_EQ(seen.size(), 1u);
      EXPECT_EQ(seen[0].body.size(), maxBody);
      continue;
    }
    EXPECT_EQ(reply.StatusLine(), "HTTP/1.1 413 Payload Too Large");
    EXPECT_EQ(reply.Header("Content-Type"), "text/plain");
    EXPECT_EQ(reply.Body(), "Payload Too Large: a request body may have at most " +
                                std::to_string(maxBody) + " bytes\n");
    EXPECT_TRUE(seen.empty());
  }
  ExpectStillServing();
}

TEST_F(HttpServerTest, BodiesAreReadIntoTheBufferFromOnCreatePostStream) {
  struct Case {
    const char* name;
    std::string request;
    bool shutdownSend;
    bool hasBody;
    std::string body;
    std::string replyStart = "HTTP/1.1 200 OK\r\n";
  };
  const std::string large = Pattern(THttpServer::kMaxBodyBytes);
  const std::string binary("\0\r\n\xff", 4);
  const Case cases[] = {
      {"length", "POST /set HTTP/1.1\r\nContent-Length: 3\r\n\r\na=1", false, true, "a=1"},
      {"to the end of sending", "POST /set HTTP/1.1\r\n\r\na=1&b=2", true, true, "a=1&b=2"},
      {"large, to the end of sending", "POST /set HTTP/1.1\r\n\r\n" + large, true, true, large},
      {"nothing, to the end of sending", "POST /set HTTP/1.1\r\n\r\n", true, true, ""},
      {"large with length",
       "POST /set HTTP/1.1\r\nContent-Length: " + std::to_string(large.size()) + "\r\n\r\n" + large,
       false, true, large},
      {"chunked",
       "POST /set HTTP/1.1\r\nTransfer-Encoding: chunked\r\n\r\n3\r\na=1\r\n2\r\n&b\r\n0\r\n\r\n",
       false, true, "a=1&b"},
      {"binary", "POST /set HTTP/1.1\r\nContent-Length: 4\r\n\r\n" + binary, false, true, binary},
      {"zero length", "POST /set HTTP/1.1\r\nContent-Length: 0\r\n\r\n", false, false, ""},
      {"GET without body", "GET /x HTTP/1.1\r\n\r\n", false, false, ""},
      {"GET with length", "GET /x HTTP/1.1\r\nContent-Length: 2\r\n\r\nhi", false, true, "hi"},
      {"continue asked",
       "POST /set HTTP/1.1\r\nExpect: 100-continue\r\nContent-Length: 3\r\n\r\na=1", false, true,
       "a=1", "HTTP/1.1 100 Continue\r\n\r\nHTTP/1.1 200 OK\r\n"},
  };
  Start();
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    bodiesCreated_ = 0;
    const THttpReply reply = Exchange(c.request, c.shutdownSend);
    EXPECT_EQ(reply.raw.substr(0, c.replyStart.size()), c.replyStart);
    const std::vector<TSeen> seen = TakeSeen();
    ASSERT_EQ(seen.size(), 1u);
    EXPECT_EQ(seen[0].hasBody, c.hasBody);
    EXPECT_EQ(seen[0].body.size(), c.body.size());
    EXPECT_TRUE(seen[0].body == c.body);
    EXPECT_EQ(bodiesCreated_, c.hasBody ? 1 : 0);
  }
}

TEST_F(HttpServerTest, HandlerFailureGivesStatus500WithTheMessage) {
  struct Case {
    const char* name;
    THandler handler;
    std::string body;
    std::string type = "text/html";
    std::optional<std::string> encoding = std::nullopt;
  };
  std::atomic<int> streamsDestroyed{0};
  const Case cases[] = {
      {"exception",
       [](THttpRequest&, THttpResponse& response) {
         response.ContentType = "text/plain";
         response.ContentEncoding = "UTF-8";
         throw std::runtime_error("device gone");
       },
       "device gone", "text/plain", "UTF-8"},
      {"body set before the failure",
       [&](THttpRequest&, THttpResponse& response) {
         response.ResponseNo = 201;
         response.ContentText = "partial";
         response.ContentStream = std::make_unique<TTrackedStream>("file", streamsDestroyed);
         response.ContentLength = 4;
         throw EHttpServerError("read failed");
       },
       "read failed"},
      {"not an exception class", [](THttpRequest&, THttpResponse&) { throw 42; }, "Unknown error"},
      {"status code out of range",
       [](THttpRequest&, THttpResponse& response) { response.ResponseNo = 1000; },
       "Invalid response code 1000"},
  };
  Start();
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    SetHandler(c.handler);
    const THttpReply reply = Exchange("GET /x HTTP/1.1\r\n\r\n");
    EXPECT_EQ(reply.StatusLine(), "HTTP/1.1 500 Internal Server Error");
    EXPECT_EQ(reply.Header("Content-Type"), c.type);
    EXPECT_EQ(reply.Header("Content-Encoding"), c.encoding);
    EXPECT_EQ(reply.Header("Content-Length"), std::to_string(c.body.size()));
    EXPECT_EQ(reply.Body(), c.body);
  }
  EXPECT_EQ(streamsDestroyed, 1);
  ExpectStillServing();
}

TEST_F(HttpServerTest, StreamBodiesAreSentWithTheirLengthAndClosed) {
  struct Case {
    const char* name;
    std::string content;
    std::optional<std::uint64_t> length;
    std::optional<std::string> text;
    std::string expectedBody;
  };
  const std::string large = Pattern(1000000);
  const Case cases[] = {
      {"length given", large, large.size(), std::nullopt, large},
      {"length from the stream", large, std::nullopt, std::nullopt, large},
      {"length shorter than the stream", "0123456789abcdefghij", 10, std::nullopt, "0123456789"},
      {"empty stream", "", 0, std::nullopt, ""},
      {"text goes first", "from the stream", std::nullopt, "from the text", "from the text"},
      {"empty text leaves the stream", "from the stream", std::nullopt, "", "from the stream"},
  };
  Start();
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    std::atomic<int> destroyed{0};
    SetHandler([&](THttpRequest&, THttpResponse& response) {
      response.ContentType = "application/octet-stream";
      response.ContentStream = std::make_unique<TTrackedStream>(c.content, destroyed);
      response.ContentLength = c.length;
      response.ContentText = c.text;
    });
    const THttpReply reply = Exchange("GET /file.bin HTTP/1.1\r\n\r\n");
    EXPECT_TRUE(reply.closed);
    EXPECT_EQ(reply.StatusLine(), "HTTP/1.1 200 OK");
    EXPECT_EQ(reply.Header("Content-Length"), std::to_string(c.expectedBody.size()));
    EXPECT_EQ(reply.Body().size(), c.expectedBody.size());
    EXPECT_TRUE(reply.Body() == c.expectedBody);
    EXPECT_EQ(destroyed, 1);  // the server closed it before it closed the connection
  }
}

TEST_F(HttpServerTest, HeadResponsesCarryTheHeaderButNoBodyBytes) {
  std::atomic<int> destroyed{0};
  const THandler handlers[] = {
      [](THttpRequest&, THttpResponse& response) { response.ContentText = "hello"; },
      [&](THttpRequest&, THttpResponse& response) {
        response.ContentStream = std::make_unique<TTrackedStream>("hello", destroyed);
      },
  };
  Start();
  for (const THandler& handler : handlers) {
    SetHandler(handler);
    const THttpReply reply = Exchange("HEAD /index.html HTTP/1.1\r\n\r\n");
    EXPECT_TRUE(reply.closed);
    EXPECT_EQ(reply.StatusLine(), "HTTP/1.1 200 OK");
    EXPECT_EQ(reply.Header("Content-Length"), "5");
    EXPECT_EQ(reply.raw.substr(reply.raw.size() - 4), "\r\n\r\n");
    EXPECT_EQ(reply.Body(), "");
  }
  EXPECT_EQ(destroyed, 1);
}

TEST_F(HttpServerTest, BrokenConnectionsLeaveTheServerServing) {
  std::atomic<int> destroyed{0};
  const std::string large(32 * 1024 * 1024, 'x');
  SetHandler([&](THttpRequest& request, THttpResponse& response) {
    if (request.Path == "/large")
      response.ContentStream = std::make_unique<TTrackedStream>(large, destroyed);
  });
  Start();
  {
    TRawHttpClient client("127.0.0.1", port_);  // connects and goes
  }
  {
    TRawHttpClient client("127.0.0.1", port_);
    client.Send("GET / HTTP/1.1\r\nHo");
    client.Reset();
  }
  {
    // Asks for more than the socket buffers hold, then resets without reading.
    TRawHttpClient client("127.0.0.1", port_);
    client.Send(WithHost("GET /large HTTP/1.1\r\n\r\n", port_));
    const auto until = std::chrono::steady_clock::now() + 10s;
    while (TakeSeen().empty() && std::chrono::steady_clock::now() < until)
      std::this_thread::sleep_for(1ms);
    client.Reset();
  }
  // The failed send still closes the stream.
  const auto until = std::chrono::steady_clock::now() + 10s;
  while (destroyed == 0 && std::chrono::steady_clock::now() < until)
    std::this_thread::sleep_for(1ms);
  EXPECT_EQ(destroyed, 1);
  ExpectStillServing();
}

TEST_F(HttpServerTest, PortInUseFailsWithTheBindMessageAndHoldsNothing) {
  TRawListener taken(AF_INET, 0);
  ASSERT_TRUE(taken.Listening());
  server_.SetDefaultPort(taken.Port());
  try {
    server_.Start();
    FAIL() << "Start succeeded on a port in use";
  } catch (const EHttpServerError& error) {
    EXPECT_STREQ(error.what(), uHttpServer::kBindFailedMessage);
  }
  EXPECT_FALSE(server_.Active());
  EXPECT_EQ(server_.BoundPort(), 0);
  server_.Stop();  // nothing to stop
}

// A port setting no TCP port can have is refused with the range, not taken for a port in use.
TEST_F(HttpServerTest, PortOutsideTheRangeFailsWithTheAllowedRange) {
  for (const std::int32_t port : {-1, 65536, INT32_MIN, INT32_MAX}) {
    SCOPED_TRACE(port);
    server_.SetDefaultPort(port);
    try {
      server_.Start();
      FAIL() << "Start succeeded with port " << port;
    } catch (const EHttpServerError& error) {
      const std::string text = error.what();
      EXPECT_EQ(text, uHttpServer::PortOutOfRangeMessage(port));
      EXPECT_NE(text.find(" " + std::to_string(port) + " "), std::string::npos) << text;
      EXPECT_NE(text.find("range 0 to 65535"), std::string::npos) << text;
    }
    EXPECT_FALSE(server_.Active());
    EXPECT_EQ(server_.BoundPort(), 0);
  }
  // The setting put right, the same server starts.
  server_.SetDefaultPort(0);
  server_.Start();
  EXPECT_TRUE(server_.Active());
  EXPECT_GT(server_.BoundPort(), 0);
}

TEST_F(HttpServerTest, IPv6PortInUseReleasesTheIPv4EndpointBoundBefore) {
  if (!testsupport::Ipv6LoopbackAvailable()) GTEST_SKIP() << "no IPv6 on this system";
  TRawListener taken(AF_INET6, 0);
  ASSERT_TRUE(taken.Listening());
  server_.SetDefaultPort(taken.Port());
  EXPECT_THROW(server_.Start(), EHttpServerError);
  EXPECT_FALSE(server_.Active());
  // The IPv4 side was bound first and let go again.
  TRawListener v4(AF_INET, taken.Port(), true);
  EXPECT_TRUE(v4.Listening());
}

TEST_F(HttpServerTest, TheFirstBoundPortIsKeptAcrossStopAndStart) {
  Start();
  EXPECT_TRUE(server_.Active());
  server_.Start();  // already listening: nothing changes
  EXPECT_EQ(server_.BoundPort(), port_);
  ExpectStillServing();

  server_.Stop();
  EXPECT_FALSE(server_.Active());
  EXPECT_FALSE(TRawHttpClient("127.0.0.1", port_).Connected());
  server_.Stop();

  TRawListener other(AF_INET, 0);  // a port known to be valid; it takes effect in the next run
  server_.SetDefaultPort(other.Port());
  EXPECT_EQ(server_.GetDefaultPort(), other.Port());
  server_.Start();
  EXPECT_TRUE(server_.Active());
  EXPECT_EQ(server_.BoundPort(), port_);
  ExpectStillServing();
}

TEST(HttpServerLifetime, AServerNeverStartedStopsAndGoesQuietly) {
  THttpServer server;
  EXPECT_FALSE(server.Active());
  EXPECT_EQ(server.BoundPort(), 0);
  server.Stop();
  EXPECT_FALSE(server.Active());
}

TEST_F(HttpServerTest, IPv6EndpointAnswersOnTheSamePort) {
  if (!testsupport::Ipv6LoopbackAvailable()) GTEST_SKIP() << "no IPv6 on this system";
  Start();
  const THttpReply reply = HttpExchange(
      port_, "GET /v6 HTTP/1.1\r\nHost: [::1]:" + std::to_string(port_) + "\r\n\r\n", false, "::1");
  EXPECT_EQ(reply.StatusLine(), "HTTP/1.1 200 OK");
  const std::vector<TSeen> seen = TakeSeen();
  ASSERT_EQ(seen.size(), 1u);
  EXPECT_EQ(seen[0].path, "/v6");
}

// The IPv4 addresses of this machine's interfaces other than loopback.
std::vector<std::string> OtherLocalAddresses() {
  std::vector<std::string> addresses;
  ifaddrs* list = nullptr;
  if (::getifaddrs(&list) != 0) return addresses;
  for (const ifaddrs* entry = list; entry; entry = entry->ifa_next) {
    if (!entry->ifa_addr || entry->ifa_addr->sa_family != AF_INET) continue;
    char text[INET_ADDRSTRLEN];
    const auto* v4 = reinterpret_cast<const sockaddr_in*>(entry->ifa_addr);
    if (ntohl(v4->sin_addr.s_addr) >> 24 == 127) continue;
    if (::inet_ntop(AF_INET, &v4->sin_addr, text, sizeof text)) addresses.push_back(text);
  }
  ::freeifaddrs(list);
  return addresses;
}

TEST_F(HttpServerTest, ByDefaultOnlyTheLoopbackAddressesAreListenedOn) {
  Start();
  EXPECT_EQ(server_.UrlHost(), "127.0.0.1");
  EXPECT_TRUE(TRawHttpClient("127.0.0.1", port_).Connected());
  // The rest of 127/8 and every other interface reach a server listening on 0.0.0.0.
  std::vector<std::string> elsewhere = OtherLocalAddresses();
  elsewhere.push_back("127.0.0.2");
  for (const std::string& address : elsewhere) {
    SCOPED_TRACE(address);
    EXPECT_FALSE(TRawHttpClient(address, port_).Connected());
  }
  ExpectStillServing();
}

TEST_F(HttpServerTest, AListenAddressReplacesTheLoopbackAddresses) {
  server_.SetListenAddress("127.0.0.2");
  Start();
  EXPECT_EQ(server_.UrlHost(), "127.0.0.2");
  EXPECT_FALSE(TRawHttpClient("127.0.0.1", port_).Connected());
  const std::string host = "127.0.0.2:" + std::to_string(port_);
  const THttpReply reply =
      HttpExchange(port_, "GET /there HTTP/1.1\r\nHost: " + host + "\r\n\r\n", false, "127.0.0.2");
  EXPECT_EQ(reply.StatusLine(), "HTTP/1.1 200 OK");
  const THttpReply foreign = HttpExchange(
      port_, "GET /there HTTP/1.1\r\nHost: 127.0.0.3:" + std::to_string(port_) + "\r\n\r\n", false,
      "127.0.0.2");
  EXPECT_EQ(foreign.StatusLine(), "HTTP/1.1 403 Forbidden");
  EXPECT_EQ(TakeSeen().size(), 1u);
  server_.SetListenAddress("127.0.0.3");  // bound already: kept for the whole run
  EXPECT_EQ(server_.ListenAddress(), "127.0.0.2");
}

TEST(HttpServerListen, AnAddressThatIsNoIpAddressFailsTheStartAndNamesIt) {
  for (const std::string address : {"localhost", "192.168.1", "::1::", "0x7f000001"}) {
    SCOPED_TRACE(address);
    THttpServer server;
    server.SetListenAddress(address);
    try {
      server.Start();
      ADD_FAILURE() << "started";
    } catch (const EHttpServerError& error) {
      EXPECT_EQ(std::string(error.what()), "Not an IP address to listen on: " + address);
    }
    EXPECT_FALSE(server.Active());
    EXPECT_EQ(server.BoundPort(), 0);
  }
}

TEST(HttpServerListen, TheUrlHostFollowsTheListenAddress) {
  struct Case {
    std::string listen, host;
  };
  const Case cases[] = {{"", "127.0.0.1"},
                        {"0.0.0.0", "127.0.0.1"},
                        {"::", "[::1]"},
                        {"192.168.1.10", "192.168.1.10"},
                        {"fd00::0:5", "[fd00::5]"},
                        {"::1", "[::1]"}};
  for (const Case& c : cases) {
    THttpServer server;
    server.SetListenAddress(c.listen);
    EXPECT_EQ(server.UrlHost(), c.host) << c.listen;
  }
}

TEST_F(HttpServerTest, StopClosesConnectionsAndWaitsForARunningHandler) {
  std::promise<void> entered;
  std::atomic<bool> handlerReturned{false};
  SetHandler([&](THttpRequest&, THttpResponse& response) {
    entered.set_value();
    release_.WaitFor(10s);
    response.ContentText = "late";
    handlerReturned = true;
  });
  Start();
  TRawHttpClient client("127.0.0.1", port_);
  client.Send(WithHost("GET /slow HTTP/1.1\r\n\r\n", port_));
  ASSERT_EQ(entered.get_future().wait_for(10s), std::future_status::ready);

  std::atomic<bool> stopped{false};
  std::thread stopper([&] {
    server_.Stop();
    stopped = true;
  });
  // The connection is closed at once, while the handler still runs and Stop waits for it.
  const THttpReply reply = client.ReadAll();
  EXPECT_TRUE(reply.closed);
  EXPECT_EQ(reply.raw, "");
  EXPECT_FALSE(stopped);
  EXPECT_FALSE(handlerReturned);

  release_.Open();
  stopper.join();
  EXPECT_TRUE(handlerReturned);
  EXPECT_FALSE(server_.Active());
}

TEST_F(HttpServerTest, AHandlerLearnsWhenItsRequestIsAbandoned) {
  enum class TEnd { ClientWaits, ClientCloses, ClientResets, ServerStops, HalfClosedBody };
  const TEnd ends[] = {TEnd::ClientWaits, TEnd::ClientCloses, TEnd::ClientResets, TEnd::ServerStops,
                       TEnd::HalfClosedBody};
  for (const TEnd end : ends) {
    SCOPED_TRACE(static_cast<int>(end));
    Start();
    std::promise<std::function<bool()>> entered;
    TGate answered;
    SetHandler([&](THttpRequest& request, THttpResponse& response) {
      entered.set_value(request.Abandoned);
      answered.WaitFor(10s);
      response.ContentText = "late";
    });
    auto client = std::make_unique<TRawHttpClient>("127.0.0.1", port_);
    if (end == TEnd::HalfClosedBody) {
      client->Send(WithHost("POST /x HTTP/1.1\r\n\r\nbody", port_));
      client->ShutdownSend();  // the end of the body: it still waits for the answer
    } else {
      client->Send(WithHost("GET /x HTTP/1.1\r\n\r\n", port_));
    }
    auto future = entered.get_future();
    ASSERT_EQ(future.wait_for(10s), std::future_status::ready);
    const std::function<bool()> abandoned = future.get();
    ASSERT_TRUE(abandoned);
    EXPECT_FALSE(abandoned());
    std::thread stopper;
    if (end == TEnd::ClientCloses) client.reset();
    if (end == TEnd::ClientResets) client->Reset();
    if (end == TEnd::ServerStops) stopper = std::thread([this] { server_.Stop(); });
    const bool gone = end != TEnd::ClientWaits && end != TEnd::HalfClosedBody;
    const auto until = std::chrono::steady_clock::now() + 10s;
    while (gone && !abandoned() && std::chrono::steady_clock::now() < until)
      std::this_thread::sleep_for(1ms);
    EXPECT_EQ(abandoned(), gone);
    answered.Open();
    if (stopper.joinable()) stopper.join();
    if (!gone) {
      EXPECT_EQ(client->ReadAll().Body(), "late");
    }
    server_.Stop();
    TakeSeen();
  }
}

TEST_F(HttpServerTest, StopEndsConnectionsThatSendNothingAtOnce) {
  Start();
  TRawHttpClient silent("127.0.0.1", port_);
  TRawHttpClient partial("127.0.0.1", port_);
  partial.Send("GET /x HTTP/1.1\r\nHost:");
  ASSERT_TRUE(silent.Connected() && partial.Connected());
  std::this_thread::sleep_for(20ms);  // both accepted and waiting for their header

  const auto begin = std::chrono::steady_clock::now();
  server_.Stop();
  EXPECT_LT(std::chrono::steady_clock::now() - begin, 5s);  // far below the header timeout
  EXPECT_TRUE(silent.ReadAll(1s).closed);
  EXPECT_TRUE(partial.ReadAll(1s).closed);
  EXPECT_TRUE(TakeSeen().empty());
}

TEST_F(HttpServerTest, ConnectionsAreServedConcurrently) {
  constexpr int kClients = 3;
  std::mutex mutex;
  std::condition_variable changed;
  int inFlight = 0;
  int mostInFlight = 0;
  SetHandler([&](THttpRequest&, THttpResponse& response) {
    std::unique_lock lock(mutex);
    mostInFlight = std::max(mostInFlight, ++inFlight);
    changed.notify_all();
    // Every handler waits (bounded) until all of them are in flight together.
    changed.wait_for(lock, 10s, [&] { return mostInFlight == kClients; });
    --inFlight;
    response.ContentText = "done";
  });
  Start();
  std::vector<std::future<THttpReply>> replies;
  for (int i = 0; i < kClients; ++i)
    replies.push_back(std::async(std::launch::async,
                                 [this] { return Exchange("GET /parallel HTTP/1.1\r\n\r\n"); }));
  for (auto& reply : replies) EXPECT_EQ(reply.get().Body(), "done");
  EXPECT_EQ(mostInFlight, kClients);
}

// The threads of this process.
int ThreadCount() {
  int count = 0;
  for ([[maybe_unused]] const auto& entry : std::filesystem::directory_iterator("/proc/self/task"))
    ++count;
  return count;
}

TEST_F(HttpServerTest, HundredsOfIdleOrSlowConnectionsHoldNoThreadsAndKeepNoClientWaiting) {
  SetHandler([](THttpRequest&, THttpResponse& response) { response.ContentText = "ok"; });
  Start();
  const int threadsBefore = ThreadCount();
  std::vector<std::unique_ptr<TRawHttpClient>> idle;
  for (int i = 0; i < 300; ++i) {
    // A few at a time, so that the backlog of 15 does not overflow (the system would then
    // let a connect wait a second for its retry).
    if (i % 8 == 0) std::this_thread::sleep_for(10ms);
    idle.push_back(std::make_unique<TRawHttpClient>("127.0.0.1", port_));
    ASSERT_TRUE(idle.back()->Connected()) << i;
    if (i % 2 == 1) idle.back()->Send("GET / HTTP/1.1\r\nHost: 127.0.0.1:");  // slow
  }
  for (int round = 0; round < 3; ++round) {
    SCOPED_TRACE(round);
    TRawHttpClient client("127.0.0.1", port_);
    client.Send(WithHost("GET /normal HTTP/1.1\r\n\r\n", port_));
    const THttpReply reply = client.ReadAll(1s);
    EXPECT_TRUE(reply.closed);
    EXPECT_EQ(reply.Body(), "ok");
  }
  EXPECT_LE(ThreadCount(), threadsBefore + THttpServer::kMaxConnections);
  const std::vector<TSeen> seen = TakeSeen();
  ASSERT_EQ(seen.size(), 3u);
  EXPECT_EQ(seen[0].path, "/normal");
}

TEST_F(HttpServerTest, BeyondTheCapConnectionsWaitTheirTurnAndAnsweringOnesAreNotCut) {
  constexpr int kClients = THttpServer::kMaxConnections + 5;
  std::mutex mutex;
  std::condition_variable changed;
  int inFlight = 0;
  int mostInFlight = 0;
  SetHandler([&](THttpRequest&, THttpResponse& response) {
    {
      std::lock_guard lock(mutex);
      mostInFlight = std::max(mostInFlight, ++inFlight);
      changed.notify_all();
    }
    release_.WaitFor(10s);
    std::lock_guard lock(mutex);
    --inFlight;
    response.ContentText = "done";
  });
  Start();
  std::vector<std::unique_ptr<TRawHttpClient>> clients;
  for (int i = 0; i < kClients; ++i) {
    clients.push_back(std::make_unique<TRawHttpClient>("127.0.0.1", port_));
    clients.back()->Send(WithHost("GET /held HTTP/1.1\r\n\r\n", port_));
  }
  {
    std::unique_lock lock(mutex);
    ASSERT_TRUE(
        changed.wait_for(lock, 10s, [&] { return inFlight == THttpServer::kMaxConnections; }));
  }
  std::this_thread::sleep_for(100ms);  // the others are accepted and wait
  release_.Open();
  for (auto& client : clients) EXPECT_EQ(client->ReadAll().Body(), "done");
  EXPECT_EQ(mostInFlight, THttpServer::kMaxConnections);
}

TEST_F(HttpServerTest, HeaderAndBodyMustArriveWithinTheRequestTimeLimit) {
  struct Case {
    const char* name;
    std::string start;  // then one byte every 20 ms
  };
  const Case cases[] = {
      {"header", "GET / HTTP/1.1\r\nX-Slow: "},
      {"body", "POST /set HTTP/1.1\r\nContent-Length: 1000\r\n\r\n"},
      {"body to the end", "POST /set HTTP/1.1\r\n\r\n"},
  };
  server_.SetRequestTimeLimit(300ms);
  Start();
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    TRawHttpClient client("127.0.0.1", port_);
    client.Send(WithHost(c.start, port_));
    THttpReply reply;
    // Each byte comes long before any single wait would end; the whole takes too long.
    const auto until = std::chrono::steady_clock::now() + 10s;
    while (!reply.closed && std::chrono::steady_clock::now() < until) {
      client.Send("x");
      reply = client.ReadAll(20ms);
      EXPECT_EQ(reply.raw, "");
    }
    EXPECT_TRUE(reply.closed);
  }
  EXPECT_TRUE(TakeSeen().empty());
  ExpectStillServing();
}

TEST_F(HttpServerTest, StartAndStopFromSeveralThreadsWhileClientsConnect) {
  SetHandler([](THttpRequest&, THttpResponse& response) { response.ContentText = "ok"; });
  Start();
  std::atomic<bool> done{false};
  std::thread client([&] {
    while (!done) {
      const THttpReply reply = Exchange("GET / HTTP/1.1\r\n\r\n");
      // Served, refused, or closed by a stop, perhaps in the middle of the response.
      const std::string_view status = "HTTP/1.1 200 OK";
      EXPECT_EQ(reply.raw.substr(0, status.size()), status.substr(0, reply.raw.size()));
    }
  });
  const auto toggle = [this] {
    for (int i = 0; i < 20; ++i) {
      server_.Start();
      std::this_thread::sleep_for(1ms);
      server_.Stop();
    }
  };
  std::thread other(toggle);
  toggle();
  other.join();
  done = true;
  client.join();
  server_.Start();
  EXPECT_EQ(server_.BoundPort(), port_);
  ExpectStillServing();
}

}  // namespace
