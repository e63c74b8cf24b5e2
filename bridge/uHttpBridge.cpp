#include "bridge/uHttpBridge.h"

#include <algorithm>
#include <chrono>
#include <fstream>
#include <optional>
#include <stdexcept>
#include <system_error>

namespace uHttpBridge {

namespace {

namespace fs = std::filesystem;

std::string AsciiLower(std::string text) {
  for (char& c : text)
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
  return text;
}

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

bool TDeviceTurns::Wait(const std::function<bool()>& abandoned) {
  std::unique_lock lock(mutex_);
  const std::uint64_t ticket = nextTicket_++;
  waiting_.push_back(ticket);
  for (;;) {
    if (abandoned && abandoned()) {
      waiting_.erase(std::find(waiting_.begin(), waiting_.end(), ticket));
      changed_.notify_all();  // the next one may be first now
      return false;
    }
    if (!busy_ && waiting_.front() == ticket) {
      waiting_.pop_front();
      busy_ = true;
      return true;
    }
    changed_.wait_for(lock, std::chrono::milliseconds(kPollMs));
  }
}

void TDeviceTurns::Done() {
  std::lock_guard lock(mutex_);
  busy_ = false;
  changed_.notify_all();
}

std::unique_ptr<std::string> idhtpsrvr1CreatePostStream() {
  return std::make_unique<std::string>();
}

void idhtpsrvr1CommandGet(const TBridge& bridge, uHttpServer::THttpRequest& request,
                          uHttpServer::THttpResponse& response) {
  if (request.Method != "GET" && request.Method != "POST") return;
  std::string path = AsciiLower(request.Path);
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
  // The device request is built in the body buffer itself: the body is held once.
  std::string text = request.PostStream ? std::move(*request.PostStream) : std::string();
  text.insert(0, path + "\r\n");
  std::string answer;
  if (!bridge.Turns->Wait(request.Abandoned)) return;  // nobody waits for the answer
  try {
    channel->Query(text, kFirstTimeout, kNextTimeout, kTotalTimeout, true, true, {}, "", answer);
  } catch (...) {
    bridge.Turns->Done();
    throw;
  }
  bridge.Turns->Done();
  response.ContentEncoding = "UTF-8";
  response.ContentType = MimeType(bridge, path);
  if (!answer.empty()) response.ContentText = std::move(answer);
}

}  // namespace uHttpBridge
