#include "bridge/uHttpBridge.h"

#include <algorithm>
#include <fstream>
#include <optional>
#include <stdexcept>
#include <system_error>

#include "ci/uStrUtils.h"

namespace uHttpBridge {

namespace {

namespace fs = std::filesystem;

std::string MimeType(const TBridge& bridge, const std::string& name) {
  return bridge.MimeTable ? bridge.MimeTable->LookupMimeType(name)
                          : std::string(uMimeTable::kDefaultMimeType);
}

// The regular file path names inside the device type's folder, resolved with every symlink
// and ".." in it; none when it does not exist or resolves to anywhere outside that folder.
std::optional<fs::path> FindPageFile(const TBridge& bridge, const std::string& path) {
  if (path.find('\0') != std::string::npos) return std::nullopt;  // no such name on disk
  const std::string deviceType = bridge.DeviceType ? bridge.DeviceType() : std::string();
  if (deviceType.empty()) return std::nullopt;

  std::error_code error;
  const fs::path folder = fs::canonical(bridge.ApplicationDir / "Web" / deviceType, error);
  if (error) return std::nullopt;
  fs::path candidate = folder;
  for (std::size_t start = 0; start < path.size();) {
    const std::size_t end = std::min(path.find_first_of("/\\", start), path.size());
    if (end > start) candidate /= path.substr(start, end - start);
    start = end + 1;
  }
  const fs::path resolved = fs::canonical(candidate, error);
  if (error) return std::nullopt;

  // Inside means below: the folder's components, then at least one more.
  const auto [inFolder, inResolved] =
      std::mismatch(folder.begin(), folder.end(), resolved.begin(), resolved.end());
  if (inFolder != folder.end() || inResolved == resolved.end()) return std::nullopt;
  if (!fs::is_regular_file(resolved, error)) return std::nullopt;
  return resolved;
}

}  // namespace

std::unique_ptr<std::string> idhtpsrvr1CreatePostStream() {
  return std::make_unique<std::string>();
}

void idhtpsrvr1CommandGet(const TBridge& bridge, uHttpServer::THttpRequest& request,
                          uHttpServer::THttpResponse& response) {
  if (request.Method != "GET" && request.Method != "POST") return;
  std::string path = uStrUtils::AsciiLower(request.Path);
  if (path == "/") path = "/index.html";

  if (const auto file = FindPageFile(bridge, path)) {
    auto stream = std::make_unique<std::ifstream>(*file, std::ios::binary);
    const auto size =
        stream->is_open() ? stream->seekg(0, std::ios::end).tellg() : std::ifstream::pos_type(-1);
    if (size < 0 || !stream->seekg(0)) throw std::runtime_error("Could not open file " + path);
    response.ResponseNo = 200;
    response.ResponseText = "OK";
    response.ContentEncoding = "UTF-8";
    response.ContentType = MimeType(bridge, path);
    response.ContentLength = static_cast<std::uint64_t>(size);
    response.ContentStream = std::move(stream);
    return;
  }

  const uci_ICommunicationInterface::TChannelPtr channel =
      bridge.Channel ? bridge.Channel() : nullptr;
  if (!channel || !channel->IsOpen()) return;
  const std::string body = request.PostStream ? *request.PostStream : std::string();
  std::string answer;
  channel->Query(path + "\r\n" + body, bridge.FirstTimeout, bridge.NextTimeout, bridge.TotalTimeout,
                 true, true, {}, "", answer);
  response.ContentEncoding = "UTF-8";
  response.ContentType = MimeType(bridge, path);
  if (!answer.empty()) response.ContentText = std::move(answer);
}

}  // namespace uHttpBridge
