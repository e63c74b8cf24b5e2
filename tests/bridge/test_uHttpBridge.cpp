#include "bridge/uHttpBridge.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <exception>
#include <filesystem>
#include <fstream>
#include <future>
#include <map>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "ci/uMyInterfacedObject.h"
#include "support/RawHttpClient.h"
#include "support/TestChannel.h"

namespace fs = std::filesystem;
using testsupport::HttpExchange;
using testsupport::THttpReply;
using testsupport::TRawHttpClient;
using testsupport::TTestChannel;
using testsupport::WithHost;
using uci_ICommunicationInterface::TChannelPtr;
using uHttpServer::THttpRequest;
using uHttpServer::THttpResponse;
using uInterfaces::TInterfacePtr;
using namespace std::chrono_literals;

namespace {

const std::string kIndex = "<html>index</html>";
const std::string kOther = "<html>other</html>";
const std::string kPage = "page in sub";
const std::string kStyle = "body { color: red; }";
const std::string kSecret = "SECRET";
constexpr std::int32_t kNextTimeout = 50;

// A device that answers every request at once: with the text set for it, else with
// "reply to " and the request.
class TDevice : public TTestChannel {
 public:
  void SetAnswer(const std::string& request, const std::string& answer) {
    std::lock_guard lock(mutex_);
    answers_[request] = answer;
  }
  std::atomic<int> writes{0};

 protected:
  void OnWritten(const std::string& data) override {
    std::string answer = "reply to " + data;
    {
      std::lock_guard lock(mutex_);
      if (const auto found = answers_.find(data); found != answers_.end()) answer = found->second;
    }
    Deliver(answer);
    ++writes;
  }

 private:
  std::mutex mutex_;
  std::map<std::string, std::string> answers_;
};

// A channel whose exchange returns the scripted answer at once and records how it was asked.
class TScriptedChannel : public TTestChannel {
 public:
  using TTestChannel::Query;
  struct TCall {
    std::string request;
    std::int32_t firstTimeout, nextTimeout, totalTimeout;
    bool clearInputFirst, clearOutputFirst, hasContinue;
    std::string prefix;
  };
  std::string answer;  // set before the first exchange

  std::vector<TCall> Calls() {
    std::lock_guard lock(mutex_);
    return calls_;
  }
  void Query(const std::string& request, std::int32_t firstTimeout, std::int32_t nextTimeout,
             std::int32_t totalTimeout, bool clearInputFirst, bool clearOutputFirst,
             const uci_ICommunicationInterface::TQueryContinue& continueQuery,
             const std::string& prefix, std::string& out) override {
    std::lock_guard lock(mutex_);
    calls_.push_back({request, firstTimeout, nextTimeout, totalTimeout, clearInputFirst,
                      clearOutputFirst, static_cast<bool>(continueQuery), prefix});
    out = answer;
  }

 private:
  std::mutex mutex_;
  std::vector<TCall> calls_;
};

// A channel whose exchange lasts until the test releases it.
class THeldChannel : public TTestChannel {
 public:
  using TTestChannel::Query;
  void Query(const std::string&, std::int32_t, std::int32_t, std::int32_t, bool, bool,
             const uci_ICommunicationInterface::TQueryContinue&, const std::string&,
             std::string& out) override {
    std::unique_lock lock(mutex_);
    entered_ = true;
    changed_.notify_all();
    changed_.wait_for(lock, 10s, [this] { return released_; });
    out = "late answer";
  }
  bool WaitEntered() {
    std::unique_lock lock(mutex_);
    return changed_.wait_for(lock, 10s, [this] { return entered_; });
  }
  void LetGo() {
    std::lock_guard lock(mutex_);
    released_ = true;
    changed_.notify_all();
  }

 private:
  std::mutex mutex_;
  std::condition_variable changed_;
  bool entered_ = false;
  bool released_ = false;
};

void WriteFile(const fs::path& file, const std::string& text) {
  std::ofstream(file, std::ios::binary) << text;
}

// The response the bridge leaves when it finds no file and cannot ask the device.
void ExpectEmptyResponse(const THttpReply& reply) {
  EXPECT_TRUE(reply.closed);
  EXPECT_EQ(reply.StatusLine(), "HTTP/1.1 200 OK");
  EXPECT_EQ(reply.Header("Content-Type"), "text/html");
  EXPECT_EQ(reply.Header("Content-Encoding"), std::nullopt);
  EXPECT_EQ(reply.Header("Content-Length"), std::nullopt);
  EXPECT_EQ(reply.Body(), "");
}

// A program folder with the DovelaGSM pages (index.html, style.css, sub/page.txt, ...), two
// more device types' folders, and secret.txt files outside the page folders; the server with
// the bridge on a port of the system's choice; the device on a test channel, closed at first.
class HttpBridgeTest : public testing::Test {
 protected:
  void SetUp() override {
    static std::atomic<int> counter{0};
    for (;;) {
      app_ = fs::temp_directory_path() /
             ("dovela-bridge-" + std::to_string(::getpid()) + "-" + std::to_string(counter++));
      if (fs::create_directory(app_)) break;
    }
    const fs::path pages = app_ / "Web" / "DovelaGSM";
    fs::create_directories(pages / "sub");
    fs::create_directories(pages / "folder.html");
    fs::create_directories(app_ / "Web" / "Other");
    fs::create_directories(app_ / "Web" / "gsm");
    fs::create_directories(app_ / "Web" / "gsm2");
    WriteFile(pages / "index.html", kIndex);
    WriteFile(pages / "style.css", kStyle);
    WriteFile(pages / "sub" / "page.txt", kPage);
    WriteFile(pages / "Upper.html", kIndex);
    WriteFile(app_ / "Web" / "Other" / "index.html", kOther);
    WriteFile(app_ / "secret.txt", kSecret);
    WriteFile(app_ / "Web" / "secret.txt", kSecret);
    WriteFile(app_ / "Web" / "gsm2" / "secret.txt", kSecret);
    fs::create_symlink("sub/page.txt", pages / "inner.txt");
    fs::create_symlink(app_ / "secret.txt", pages / "link.txt");
    fs::create_directory_symlink(app_, pages / "sublink");
    ::mkfifo((pages / "fifo.html").c_str(), 0600);  // opening it for reading would block

    device_ = uMyInterfacedObject::Create<TDevice>();
    channel_ = device_;
    bridge_.ApplicationDir = app_;
    bridge_.DeviceType = [this] {
      std::lock_guard lock(mutex_);
      return deviceType_;
    };
    bridge_.Channel = [this] {
      std::lock_guard lock(mutex_);
      return channel_;
    };
    bridge_.MimeTable = &mime_;
    // Exchanges end after a short silence instead of the program's second.
    bridge_.NextTimeout = kNextTimeout;

    server_.SetDefaultPort(0);
    server_.SetOnCommandGet([this](THttpRequest& request, THttpResponse& response) {
      uHttpBridge::idhtpsrvr1CommandGet(bridge_, request, response);
      ++handlersDone_;
    });
    server_.SetOnCreatePostStream(uHttpBridge::idhtpsrvr1CreatePostStream);
    server_.Start();
    port_ = server_.BoundPort();
  }
  void TearDown() override {
    server_.Stop();
    std::error_code ignored;
    fs::remove_all(app_, ignored);
  }

  void SetDeviceType(const std::string& type) {
    std::lock_guard lock(mutex_);
    deviceType_ = type;
  }
  void SetChannel(TChannelPtr channel) {
    std::lock_guard lock(mutex_);
    channel_ = std::move(channel);
  }
  // Sends request addressed as a browser would (Host: 127.0.0.1:PORT, unless it names one).
  THttpReply Exchange(const std::string& request) {
    return HttpExchange(port_, WithHost(request, port_));
  }

  fs::path app_;
  std::mutex mutex_;
  std::string deviceType_ = "DovelaGSM";
  TInterfacePtr<TDevice> device_;
  TChannelPtr channel_;
  // The built-in types only, whatever this system's registry says (there .xml is text/xml).
  const uMimeTable::TMimeTable mime_{fs::path()};
  uHttpBridge::TBridge bridge_;
  std::atomic<int> handlersDone_{0};
  std::uint16_t port_ = 0;
  uHttpServer::THttpServer server_;  // last: stopped before what the bridge uses goes away
};

TEST_F(HttpBridgeTest, PageFilesAreServedWithTheirTypeAndLength) {
  struct Case {
    std::string request;
    std::string type, body;
  };
  const Case cases[] = {
      {"GET / HTTP/1.1\r\n\r\n", "text/html", kIndex},
      {"GET /index.html HTTP/1.1\r\n\r\n", "text/html", kIndex},
      {"GET /Index.HTML HTTP/1.1\r\n\r\n", "text/html", kIndex},
      {"GET /index.html?x=1 HTTP/1.1\r\n\r\n", "text/html", kIndex},
      {"GET /style.css HTTP/1.1\r\n\r\n", "text/css", kStyle},
      {"GET /sub/page.txt HTTP/1.1\r\n\r\n", "text/plain", kPage},
      {"GET \\sub\\page.txt HTTP/1.1\r\n\r\n", "text/plain", kPage},
      {"GET //sub//page.txt HTTP/1.1\r\n\r\n", "text/plain", kPage},
      {"GET /sub/%2e%2e/index.html HTTP/1.1\r\n\r\n", "text/html", kIndex},
      {"GET /inner.txt HTTP/1.1\r\n\r\n", "text/plain", kPage},  // a symlink inside
      {"POST /index.html HTTP/1.1\r\nContent-Length: 3\r\n\r\na=1", "text/html", kIndex},
  };
  device_->open = true;  // a file goes first even with the device there
  for (const Case& c : cases) {
    SCOPED_TRACE(c.request);
    const THttpReply reply = Exchange(c.request);
    EXPECT_TRUE(reply.closed);
    EXPECT_EQ(reply.StatusLine(), "HTTP/1.1 200 OK");
    EXPECT_EQ(reply.Header("Content-Type"), c.type);
    EXPECT_EQ(reply.Header("Content-Encoding"), "UTF-8");
    EXPECT_EQ(reply.Header("Content-Length"), std::to_string(c.body.size()));
    EXPECT_EQ(reply.Body(), c.body);
  }
  EXPECT_EQ(device_->writes, 0);
}

TEST_F(HttpBridgeTest, NoFileAndNoOpenChannelGiveTheEmptyResponse) {
  struct Case {
    const char* name;
    std::string path;
    std::string deviceType = "DovelaGSM";
  };
  const Case cases[] = {
      {"absent file", "/data.xml"},
      {"a folder named like a file", "/folder.html"},
      {"a folder", "/sub"},
      {"a file whose name has capitals", "/Upper.html"},
      {"up out of the folder", "/../secret.txt"},
      {"two levels up", "/../../secret.txt"},
      {"encoded dots", "/%2e%2e/secret.txt"},
      {"encoded dots and slashes", "/%2e%2e%2f%2e%2e%2fsecret.txt"},
      {"backslash", "/..\\secret.txt"},
      {"encoded backslash", "/..%5csecret.txt"},
      {"down and further up", "/sub/../../secret.txt"},
      {"a sibling folder whose name starts alike", "/../gsm2/secret.txt", "gsm"},
      {"a symlink to a file outside", "/link.txt"},
      {"a symlink to a folder outside", "/sublink/secret.txt"},
      {"an absolute path", "/" + (app_ / "secret.txt").string()},
      {"an encoded absolute path", "/%2F" + (app_ / "secret.txt").string().substr(1)},
      {"a drive letter", "/C:/secret.txt"},
      {"a NUL byte", "/index.html%00.txt"},
      {"a FIFO", "/fifo.html"},
      {"the folder itself", "//"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    SetDeviceType(c.deviceType);
    const THttpReply reply = Exchange("GET " + c.path + " HTTP/1.1\r\n\r\n");
    ExpectEmptyResponse(reply);
    EXPECT_EQ(reply.raw.find(kSecret), std::string::npos);
  }
  EXPECT_EQ(device_->writes, 0);
  EXPECT_EQ(handlersDone_, static_cast<int>(std::size(cases)));
}

TEST_F(HttpBridgeTest, HeadGetsTheDefaultsAndOtherMethodsNothing) {
  device_->open = true;
  ExpectEmptyResponse(Exchange("HEAD /index.html HTTP/1.1\r\n\r\n"));
  ExpectEmptyResponse(Exchange("HEAD /values HTTP/1.1\r\n\r\n"));
  const THttpReply reply = Exchange("PUT /index.html HTTP/1.1\r\nContent-Length: 1\r\n\r\nx");
  EXPECT_TRUE(reply.closed);
  EXPECT_EQ(reply.raw, "");
  EXPECT_EQ(device_->writes, 0);
}

TEST_F(HttpBridgeTest, TheDeviceTypeChoosesThePageFolderOnEveryRequest) {
  struct Case {
    std::string deviceType;
    std::optional<std::string> body;  // none: the empty response
  };
  const Case cases[] = {
      {"DovelaGSM", kIndex}, {"Other", kOther}, {"", std::nullopt}, {"Missing", std::nullopt}};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.deviceType);
    SetDeviceType(c.deviceType);
    const THttpReply reply = Exchange("GET / HTTP/1.1\r\n\r\n");
    if (c.body) {
      EXPECT_EQ(reply.Header("Content-Length"), std::to_string(c.body->size()));
      EXPECT_EQ(reply.Body(), *c.body);
    } else {
      ExpectEmptyResponse(reply);
    }
  }
}

TEST_F(HttpBridgeTest, APageFolderReplacedOrRemovedWhileServingIsFollowed) {
  const fs::path pages = app_ / "Web" / "DovelaGSM";
  EXPECT_EQ(Exchange("GET / HTTP/1.1\r\n\r\n").Body(), kIndex);
  // Replaced, as a build that copies the pages again may do.
  fs::remove_all(pages);
  fs::create_directories(pages);
  WriteFile(pages / "index.html", kOther);
  EXPECT_EQ(Exchange("GET / HTTP/1.1\r\n\r\n").Body(), kOther);
  fs::remove_all(pages);
  ExpectEmptyResponse(Exchange("GET / HTTP/1.1\r\n\r\n"));
  fs::create_directories(pages);
  WriteFile(pages / "index.html", kIndex);
  EXPECT_EQ(Exchange("GET / HTTP/1.1\r\n\r\n").Body(), kIndex);
}

TEST_F(HttpBridgeTest, WithoutAChannelOrWithItClosedTheDeviceIsNotAsked) {
  const TChannelPtr channels[] = {nullptr, device_};
  for (const TChannelPtr& channel : channels) {
    SCOPED_TRACE(channel ? "closed channel" : "no channel");
    SetChannel(channel);
    ExpectEmptyResponse(Exchange("GET /values HTTP/1.1\r\n\r\n"));
  }
  EXPECT_EQ(device_->writes, 0);
}

TEST_F(HttpBridgeTest, DeviceRequestsRunInParallelAndEachGetsItsOwnAnswer) {
  struct Case {
    std::string request;
    std::string written;  // what the device receives
    std::string answer;
    std::string type;
  };
  const Case cases[] = {
      {"GET /data.xml HTTP/1.1\r\n\r\n", "/data.xml\r\n", "<data>1</data>", "text/xml"},
      {"GET /Values HTTP/1.1\r\n\r\n", "/values\r\n", "v=42", "application/octet-stream"},
      {"GET /status?x=1 HTTP/1.1\r\n\r\n", "/status\r\n", "online", "application/octet-stream"},
      {"POST /set HTTP/1.1\r\nContent-Length: 3\r\n\r\na=1", "/set\r\na=1", "saved a",
       "application/octet-stream"},
      {"POST /set HTTP/1.1\r\nContent-Length: 0\r\n\r\n", "/set\r\n", "nothing to save",
       "application/octet-stream"},
  };
  for (const Case& c : cases) device_->SetAnswer(c.written, c.answer);
  device_->open = true;

  // Every exchange takes the device's silence after its answer; the channel runs them one by
  // one.
  std::vector<std::future<THttpReply>> replies;
  for (const Case& c : cases)
    replies.push_back(std::async(std::launch::async, [this, &c] { return Exchange(c.request); }));
  for (std::size_t i = 0; i < std::size(cases); ++i) {
    const Case& c = cases[i];
    SCOPED_TRACE(c.request);
    const THttpReply reply = replies[i].get();
    EXPECT_EQ(reply.StatusLine(), "HTTP/1.1 200 OK");
    EXPECT_EQ(reply.Header("Content-Type"), c.type);
    EXPECT_EQ(reply.Header("Content-Encoding"), "UTF-8");
    EXPECT_EQ(reply.Header("Content-Length"), std::to_string(c.answer.size()));
    EXPECT_EQ(reply.Body(), c.answer);
  }
  std::vector<std::string> written = device_->Written();
  std::vector<std::string> expected;
  for (const Case& c : cases) expected.push_back(c.written);
  std::sort(written.begin(), written.end());
  std::sort(expected.begin(), expected.end());
  EXPECT_EQ(written, expected);
}

TEST_F(HttpBridgeTest, RequestsFromOtherSitesNeverReachTheDevice) {
  const std::string port = std::to_string(port_);
  // What a page elsewhere can make a browser send: a form POST, an image, a fetch, a name
  // rebound to this machine.
  const std::string requests[] = {
      "POST /set.json HTTP/1.1\r\nHost: 127.0.0.1:" + port +
          "\r\nOrigin: http://attacker.example\r\nSec-Fetch-Site: cross-site\r\n"
          "Content-Length: 9\r\n\r\nsimPin=12",
      "GET /restart.json HTTP/1.1\r\nHost: 127.0.0.1:" + port +
          "\r\nSec-Fetch-Site: cross-site\r\n\r\n",
      "POST /config.json HTTP/1.1\r\nHost: 127.0.0.1:" + port +
          "\r\nOrigin: null\r\nContent-Length: 0\r\n\r\n",
      "POST /config.json HTTP/1.1\r\nHost: rebound.attacker.example:" + port +
          "\r\nOrigin: http://rebound.attacker.example:" + port + "\r\nContent-Length: 0\r\n\r\n",
      "GET /index.html HTTP/1.1\r\nHost: rebound.attacker.example:" + port + "\r\n\r\n",
  };
  device_->open = true;
  for (const std::string& request : requests) {
    SCOPED_TRACE(request);
    const THttpReply reply = Exchange(request);
    EXPECT_EQ(reply.StatusLine(), "HTTP/1.1 403 Forbidden");
    EXPECT_EQ(reply.raw.find(kIndex), std::string::npos);
  }
  EXPECT_EQ(device_->writes, 0);
  EXPECT_EQ(handlersDone_, 0);
}

TEST_F(HttpBridgeTest, BodiesBeyondTheLimitNeverReachTheDevice) {
  const std::size_t maxBody = uHttpServer::THttpServer::kMaxBodyBytes;
  device_->open = true;
  const THttpReply large =
      Exchange("POST /set.json HTTP/1.1\r\nContent-Length: " + std::to_string(maxBody + 1) +
               "\r\n\r\n" + std::string(maxBody + 1, 'a'));
  EXPECT_EQ(large.StatusLine(), "HTTP/1.1 413 Payload Too Large");
  EXPECT_EQ(device_->writes, 0);
  EXPECT_EQ(handlersDone_, 0);

  // The largest body reaches the device whole, after the path.
  const std::string body(maxBody, 'b');
  const THttpReply reply = Exchange(
      "POST /set.json HTTP/1.1\r\nContent-Length: " + std::to_string(maxBody) + "\r\n\r\n" + body);
  EXPECT_EQ(reply.StatusLine(), "HTTP/1.1 200 OK");
  const std::vector<std::string> written = device_->Written();
  ASSERT_EQ(written.size(), 1u);
  EXPECT_TRUE(written[0] == "/set.json\r\n" + body);
}

TEST_F(HttpBridgeTest, StopWaitsForARunningDeviceExchange) {
  const auto held = uMyInterfacedObject::Create<THeldChannel>();
  held->open = true;
  SetChannel(held);
  TRawHttpClient client("127.0.0.1", port_);
  client.Send(WithHost("GET /values HTTP/1.1\r\n\r\n", port_));
  ASSERT_TRUE(held->WaitEntered());
  auto stop = std::async(std::launch::async, [this] { server_.Stop(); });
  EXPECT_EQ(stop.wait_for(100ms), std::future_status::timeout) << "Stop did not wait";
  EXPECT_EQ(handlersDone_, 0);
  held->LetGo();
  ASSERT_EQ(stop.wait_for(10s), std::future_status::ready);
  EXPECT_EQ(handlersDone_, 1);
  const THttpReply reply = client.ReadAll(1s);
  EXPECT_TRUE(reply.closed);
  EXPECT_EQ(reply.raw, "");  // the connection was shut before the answer came
}

// Waits (bounded) until done() holds.
bool WaitUntil(const std::function<bool()>& done, std::chrono::milliseconds limit = 10s) {
  const auto until = std::chrono::steady_clock::now() + limit;
  while (!done()) {
    if (std::chrono::steady_clock::now() >= until) return false;
    std::this_thread::sleep_for(1ms);
  }
  return true;
}

TEST_F(HttpBridgeTest, ARequestWhoseClientWentBeforeItsTurnSkipsTheExchange) {
  device_->open = true;
  bridge_.NextTimeout = uHttpBridge::TBridge().NextTimeout;
  // The first exchange holds the device for its second of silence; two more wait behind it.
  TRawHttpClient first("127.0.0.1", port_);
  first.Send(WithHost("GET /first HTTP/1.1\r\n\r\n", port_));
  ASSERT_TRUE(WaitUntil([&] { return device_->writes == 1; }));
  auto gone = std::make_unique<TRawHttpClient>("127.0.0.1", port_);
  gone->Send(WithHost("POST /set.json HTTP/1.1\r\nContent-Length: 3\r\n\r\na=1", port_));
  TRawHttpClient third("127.0.0.1", port_);
  third.Send(WithHost("GET /third HTTP/1.1\r\n\r\n", port_));
  std::this_thread::sleep_for(100ms);  // both are read and waiting
  gone.reset();  // the user saw an error and left: its setting must not be made

  EXPECT_EQ(first.ReadAll().Body(), "reply to /first\r\n");
  EXPECT_EQ(third.ReadAll().Body(), "reply to /third\r\n");
  ASSERT_TRUE(WaitUntil([&] { return handlersDone_ == 3; }));
  EXPECT_EQ(device_->Written(), (std::vector<std::string>{"/first\r\n", "/third\r\n"}));
}

TEST_F(HttpBridgeTest, OnceStoppingNoWaitingRequestStartsItsExchange) {
  device_->open = true;
  bridge_.NextTimeout = uHttpBridge::TBridge().NextTimeout;  // the first exchange outlasts Stop
  std::vector<std::unique_ptr<TRawHttpClient>> clients;
  for (int i = 0; i < 5; ++i) {
    clients.push_back(std::make_unique<TRawHttpClient>("127.0.0.1", port_));
    clients.back()->Send(WithHost("GET /q" + std::to_string(i) + " HTTP/1.1\r\n\r\n", port_));
    if (i == 0) {
      ASSERT_TRUE(WaitUntil([&] { return device_->writes == 1; }));
    }
  }
  std::this_thread::sleep_for(100ms);  // all read and waiting for their turn
  server_.Stop();                      // waits for the exchange in progress only
  EXPECT_EQ(handlersDone_, 5);
  EXPECT_EQ(device_->Written(), std::vector<std::string>{"/q0\r\n"});
}

// ---- the bridge called directly

class HttpBridgeCallTest : public HttpBridgeTest {
 protected:
  void SetUp() override {
    HttpBridgeTest::SetUp();
    scripted_ = uMyInterfacedObject::Create<TScriptedChannel>();
    scripted_->open = true;
    SetChannel(scripted_);
    const uHttpBridge::TBridge program;  // the program's limits
    bridge_.FirstTimeout = program.FirstTimeout;
    bridge_.NextTimeout = program.NextTimeout;
    bridge_.TotalTimeout = program.TotalTimeout;
  }
  static THttpRequest Request(const std::string& method, const std::string& path) {
    THttpRequest request;
    request.Method = method;
    request.Target = path;
    request.Path = path;
    request.Version = "HTTP/1.1";
    return request;
  }

  TInterfacePtr<TScriptedChannel> scripted_;
};

TEST_F(HttpBridgeCallTest, OnlyGetAndPostAreAnswered) {
  const char* const methods[] = {"HEAD", "PUT", "OPTIONS", "get", ""};
  for (const char* method : methods) {
    SCOPED_TRACE(method);
    THttpRequest request = Request(method, "/index.html");
    THttpResponse response;
    uHttpBridge::idhtpsrvr1CommandGet(bridge_, request, response);
    EXPECT_EQ(response.ResponseNo, 200);
    EXPECT_EQ(response.ResponseText, "OK");
    EXPECT_EQ(response.ContentType, "text/html");
    EXPECT_EQ(response.ContentEncoding, "");
    EXPECT_FALSE(response.ContentText);
    EXPECT_FALSE(response.ContentStream);
    EXPECT_FALSE(response.ContentLength);
  }
  EXPECT_TRUE(scripted_->Calls().empty());
}

TEST_F(HttpBridgeCallTest, TheDeviceIsAskedWithTheExchangeLimitsAndAnEmptyAnswerIsNoBody) {
  THttpRequest request = Request("POST", "/Set");
  request.PostStream = uHttpBridge::idhtpsrvr1CreatePostStream();
  ASSERT_TRUE(request.PostStream);
  EXPECT_EQ(*request.PostStream, "");
  *request.PostStream = "a=1&b=2";
  THttpResponse response;
  uHttpBridge::idhtpsrvr1CommandGet(bridge_, request, response);

  const std::vector<TScriptedChannel::TCall> calls = scripted_->Calls();
  ASSERT_EQ(calls.size(), 1u);
  const TScriptedChannel::TCall& call = calls[0];
  EXPECT_EQ(call.request, "/set\r\na=1&b=2");
  EXPECT_EQ(call.firstTimeout, 10000);
  EXPECT_EQ(call.nextTimeout, 1000);
  EXPECT_EQ(call.totalTimeout, 30000);
  EXPECT_TRUE(call.clearInputFirst);
  EXPECT_TRUE(call.clearOutputFirst);
  EXPECT_FALSE(call.hasContinue);
  EXPECT_EQ(call.prefix, "");
  EXPECT_EQ(response.ResponseNo, 200);
  EXPECT_EQ(response.ContentEncoding, "UTF-8");
  EXPECT_EQ(response.ContentType, "application/octet-stream");
  EXPECT_FALSE(response.ContentText);  // the device said nothing
  EXPECT_FALSE(response.ContentStream);

  // Over the server: no body and no length, the type still by the extension.
  const THttpReply reply = Exchange("GET /silent.xml HTTP/1.1\r\n\r\n");
  EXPECT_EQ(reply.StatusLine(), "HTTP/1.1 200 OK");
  EXPECT_EQ(reply.Header("Content-Type"), "text/xml");
  EXPECT_EQ(reply.Header("Content-Encoding"), "UTF-8");
  EXPECT_EQ(reply.Header("Content-Length"), std::nullopt);
  EXPECT_EQ(reply.Body(), "");
}

TEST_F(HttpBridgeCallTest, AFileThatCannotBeOpenedThrows) {
#if defined(__SANITIZE_ADDRESS__)
  // The sanitizers check memory through a pipe of their own, which fails without free
  // descriptors and is then reported as a fault of the code under test.
  GTEST_SKIP() << "needs descriptors that the sanitizers take for their own checks";
#endif
  server_.Stop();  // no other thread takes descriptors meanwhile
  // Every descriptor from the lowest free one up is refused, so opening the file fails.
  const int lowestFree = ::open("/dev/null", O_RDONLY | O_CLOEXEC);
  ASSERT_GE(lowestFree, 0);
  ::close(lowestFree);
  rlimit saved{};
  ASSERT_EQ(::getrlimit(RLIMIT_NOFILE, &saved), 0);
  rlimit lowered = saved;
  lowered.rlim_cur = static_cast<rlim_t>(lowestFree);
  ASSERT_EQ(::setrlimit(RLIMIT_NOFILE, &lowered), 0);
  // The failure is looked at only once descriptors are back: the sanitizers need some.
  std::exception_ptr failure;
  try {
    THttpRequest request = Request("GET", "/index.html");
    THttpResponse response;
    uHttpBridge::idhtpsrvr1CommandGet(bridge_, request, response);
  } catch (...) {
    failure = std::current_exception();
  }
  ASSERT_EQ(::setrlimit(RLIMIT_NOFILE, &saved), 0);
  ASSERT_TRUE(failure);
  std::string message;
  try {
    std::rethrow_exception(failure);
  } catch (const std::exception& error) {
    message = error.what();
  }
  EXPECT_EQ(message, "Could not open file /index.html");
  EXPECT_TRUE(scripted_->Calls().empty());
}

}  // namespace
