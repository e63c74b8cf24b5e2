#pragma once
// What the HTTP server answers: a page file from the device type's folder next to the
// program, or else the device's own answer to the request, passed over the channel.

#include <filesystem>
#include <functional>
#include <memory>
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

struct TBridge {
  std::filesystem::path ApplicationDir;     // the program's directory; pages are in Web/<type>/
  std::function<std::string()> DeviceType;  // read per request; empty: no page folder
  std::function<uci_ICommunicationInterface::TChannelPtr()> Channel;  // may return null
  const uMimeTable::TMimeTable* MimeTable = nullptr;
  // The device exchange's limits in ms: the program's, unless a test shortens them.
  std::int32_t FirstTimeout = kFirstTimeout;
  std::int32_t NextTimeout = kNextTimeout;
  std::int32_t TotalTimeout = kTotalTimeout;
};

// A new empty body buffer (the server's OnCreatePostStream).
std::unique_ptr<std::string> idhtpsrvr1CreatePostStream();

// The server's OnCommandGet. GET and POST only: a file inside the device type's folder
// (lower-cased path, "/" meaning "/index.html"), else the device's answer when the channel is
// open, else the empty default response. Throws when a file exists but cannot be opened.
void idhtpsrvr1CommandGet(const TBridge& bridge, uHttpServer::THttpRequest& request,
                          uHttpServer::THttpResponse& response);

}  // namespace uHttpBridge
