#pragma once
// What the HTTP server answers: a page file from the device type's folder next to the
// program, or else the device's own answer to the request, passed over the channel.

#include <condition_variable>
#include <cstdint>
#include <deque>
#include <filesystem>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>

#include "bridge/uHttpServer.h"
#include "bridge/uMimeTable.h"
#include "ci/uci_ICommunicationInterface.h"

namespace uHttpBridge {

// The device exchange: first answer within 10 s, the answer ends after 1 s of silence, the
// whole exchange takes at most 30 s.
inline constexpr std::int32_t kFirstTimeout = 10000;
inline constexpr std::int32_t kNextTimeout = 1000;
inline constexpr std::int32_t kTotalTimeout = 30000;

// Device exchanges one at a time, in the order the requests came. A request whose response
// is no longer wanted leaves the line without its exchange, so a stop or clients that have
// gone do not leave a queue of exchanges to run.
class TDeviceTurns {
 public:
  // Waits for the turn: true when it came (the caller then calls Done), false as soon as
  // abandoned (asked first and then every kPollMs) says the request is no longer wanted.
  bool Wait(const std::function<bool()>& abandoned);
  void Done();

  static constexpr int kPollMs = 20;

 private:
  std::mutex mutex_;
  std::condition_variable changed_;
  std::deque<std::uint64_t> waiting_;  // tickets, in order
  std::uint64_t nextTicket_ = 0;
  bool busy_ = false;
};

// The device types' page folders with every symlink in their path resolved, found and
// opened once and then kept, so a page request resolves only its own path below the folder.
class TPageFolders {
 public:
  struct TFolder {
    TFolder(std::filesystem::path path, int fd) : Path(std::move(path)), Fd(fd) {}
    ~TFolder();
    TFolder(const TFolder&) = delete;
    TFolder& operator=(const TFolder&) = delete;
    const std::filesystem::path Path;
    const int Fd;       // O_PATH descriptor of the folder; -1 when it could not be opened
    int OpenError = 0;  // errno of that open
  };
  // The folder applicationDir/Web/deviceType; none when it does not exist. refresh finds it
  // again (it may have been replaced).
  std::shared_ptr<const TFolder> Find(const std::filesystem::path& applicationDir,
                                      const std::string& deviceType, bool refresh);

 private:
  static constexpr std::size_t kMaxFolders = 16;
  std::mutex mutex_;
  std::map<std::filesystem::path, std::shared_ptr<const TFolder>> found_;
};

struct TBridge {
  std::filesystem::path ApplicationDir;     // the program's directory; pages are in Web/<type>/
  std::function<std::string()> DeviceType;  // read per request; empty: no page folder
  std::function<uci_ICommunicationInterface::TChannelPtr()> Channel;  // may return null
  const uMimeTable::TMimeTable* MimeTable = nullptr;
  std::shared_ptr<TDeviceTurns> Turns = std::make_shared<TDeviceTurns>();
  std::shared_ptr<TPageFolders> Folders = std::make_shared<TPageFolders>();
  // The device exchange's limits in ms: the program's, unless a test shortens them.
  std::int32_t FirstTimeout = kFirstTimeout;
  std::int32_t NextTimeout = kNextTimeout;
  std::int32_t TotalTimeout = kTotalTimeout;
};

// A new empty body buffer (the server's OnCreatePostStream).
std::unique_ptr<std::string> idhtpsrvr1CreatePostStream();

// The server's OnCommandGet. GET and POST only: a file inside the device type's folder
// (lower-cased path, "/" meaning "/index.html"), else the device's answer when the channel is
// open, else the empty default response. The device is asked in its turn, and not at all
// when the request is abandoned before. Throws when a file exists but cannot be opened.
void idhtpsrvr1CommandGet(const TBridge& bridge, uHttpServer::THttpRequest& request,
                          uHttpServer::THttpResponse& response);

}  // namespace uHttpBridge
