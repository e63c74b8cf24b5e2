#include "bridge/uHttpBridge.h"

#include <fcntl.h>
#include <linux/openat2.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <istream>
#include <optional>
#include <stdexcept>
#include <streambuf>
#include <system_error>
#include <vector>

#include "ci/uStrUtils.h"

namespace uHttpBridge {

namespace {

namespace fs = std::filesystem;

std::string MimeType(const TBridge& bridge, const std::string& name) {
  return bridge.MimeTable ? bridge.MimeTable->LookupMimeType(name)
                          : std::string(uMimeTable::kDefaultMimeType);
}

// A page file read through its descriptor, which it closes.
class TFileStreamBuf : public std::streambuf {
 public:
  explicit TFileStreamBuf(int fd) : fd_(fd), buffer_(kBufferBytes) {}
  ~TFileStreamBuf() override { ::close(fd_); }
  TFileStreamBuf(const TFileStreamBuf&) = delete;
  TFileStreamBuf& operator=(const TFileStreamBuf&) = delete;

 protected:
  int_type underflow() override {
    ssize_t n;
    do {
      n = ::read(fd_, buffer_.data(), buffer_.size());
    } while (n < 0 && errno == EINTR);
    if (n <= 0) return traits_type::eof();
    setg(buffer_.data(), buffer_.data(), buffer_.data() + n);
    return traits_type::to_int_type(buffer_[0]);
  }

 private:
  static constexpr std::size_t kBufferBytes = 64 * 1024;
  const int fd_;
  std::vector<char> buffer_;
};

class TFileStream : public std::istream {
 public:
  explicit TFileStream(int fd) : std::istream(nullptr), buffer_(fd) { rdbuf(&buffer_); }

 private:
  TFileStreamBuf buffer_;
};

// Errors that mean "no such page" rather than "the page cannot be opened".
bool NoSuchFile(int error) {
  return error == ENOENT || error == ENOTDIR || error == EXDEV || error == ELOOP ||
         error == ENAMETOOLONG || error == EISDIR || error == ENXIO;
}

[[noreturn]] void CannotOpen(const std::string& path) {
  throw std::runtime_error("Could not open file " + path);
}

// The path's components below the folder, joined by '/'; separators of either kind, doubled
// or leading, count once.
std::string RelativePath(const std::string& path) {
  std::string relative;
  for (std::size_t start = 0; start < path.size();) {
    const std::size_t end = std::min(path.find_first_of("/\\", start), path.size());
    if (end > start) {
      if (!relative.empty()) relative += '/';
      relative.append(path, start, end - start);
    }
    start = end + 1;
  }
  return relative;
}

// Opens relative below folder (a descriptor of it): every symlink and ".." in it is followed
// only while it stays inside the folder. -1 with errno when it cannot.
int OpenBeneath(int folder, const std::string& relative) {
  open_how how{};
  how.flags = O_RDONLY | O_CLOEXEC | O_NOCTTY | O_NONBLOCK;  // a FIFO must not block here
  how.resolve = RESOLVE_BENEATH | RESOLVE_NO_MAGICLINKS;
  return static_cast<int>(::syscall(SYS_openat2, folder, relative.c_str(), &how, sizeof how));
}

// Without openat2: the path resolved with every symlink and "..", then checked to be below
// the folder, then opened.
int OpenResolved(const fs::path& folder, const std::string& relative) {
  std::error_code error;
  const fs::path resolved = fs::canonical(folder / relative, error);
  if (error) {
    errno = error.value();
    return -1;
  }
  const auto [inFolder, inResolved] =
      std::mismatch(folder.begin(), folder.end(), resolved.begin(), resolved.end());
  if (inFolder != folder.end() || inResolved == resolved.end()) {
    errno = EXDEV;
    return -1;
  }
  return ::open(resolved.c_str(), O_RDONLY | O_CLOEXEC | O_NOCTTY | O_NONBLOCK);
}

// The descriptor of the regular file path names inside the device type's folder, with its
// size; -1 when there is none there (also when it would lead out of the folder). Throws when
// it exists but cannot be opened.
int OpenPageFile(const TBridge& bridge, const std::string& path, std::uint64_t& size) {
  if (path.find('\0') != std::string::npos) return -1;  // no such name on disk
  const std::string deviceType = bridge.DeviceType ? bridge.DeviceType() : std::string();
  if (deviceType.empty()) return -1;
  const std::string relative = RelativePath(path);
  if (relative.empty()) return -1;  // the folder itself

  for (const bool refresh : {false, true}) {
    const auto folder = bridge.Folders->Find(bridge.ApplicationDir, deviceType, refresh);
    if (!folder) return -1;
    static std::atomic<bool> noOpenat2{false};
    int fd = -1;
    if (folder->Fd < 0) {
      if (NoSuchFile(folder->OpenError)) return -1;
      CannotOpen(path);
    }
    if (!noOpenat2) {
      fd = OpenBeneath(folder->Fd, relative);
      if (fd < 0 && (errno == ENOSYS || errno == EPERM)) noOpenat2 = true;  // kernel or filter
    }
    if (noOpenat2) fd = OpenResolved(folder->Path, relative);
    if (fd < 0) {
      const int error = errno;
      // A folder deleted since it was opened (replaced by a new one): find it again.
      struct stat folderInfo {};
      if (!refresh && NoSuchFile(error) && ::fstat(folder->Fd, &folderInfo) == 0 &&
          folderInfo.st_nlink == 0)
        continue;
      if (NoSuchFile(error)) return -1;
      CannotOpen(path);
    }
    struct stat info {};
    if (::fstat(fd, &info) != 0 || !S_ISREG(info.st_mode)) {
      ::close(fd);
      return -1;
    }
    size = static_cast<std::uint64_t>(info.st_size);
    return fd;
  }
  return -1;
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

TPageFolders::TFolder::~TFolder() {
  if (Fd >= 0) ::close(Fd);
}

std::shared_ptr<const TPageFolders::TFolder> TPageFolders::Find(
    const std::filesystem::path& applicationDir, const std::string& deviceType, bool refresh) {
  const std::filesystem::path folder = applicationDir / "Web" / deviceType;
  std::lock_guard lock(mutex_);
  if (!refresh) {
    if (const auto found = found_.find(folder); found != found_.end() && found->second->Fd >= 0)
      return found->second;
  }
  found_.erase(folder);
  std::error_code error;
  const std::filesystem::path canonical = std::filesystem::canonical(folder, error);
  if (error) return nullptr;
  const int fd = ::open(canonical.c_str(), O_PATH | O_DIRECTORY | O_CLOEXEC);
  auto entry = std::make_shared<TFolder>(canonical, fd);
  entry->OpenError = fd < 0 ? errno : 0;
  if (fd < 0) return entry;  // not kept: the next request tries again
  if (found_.size() >= kMaxFolders) found_.clear();
  found_[folder] = entry;
  return entry;
}

std::unique_ptr<std::string> idhtpsrvr1CreatePostStream() {
  return std::make_unique<std::string>();
}

void idhtpsrvr1CommandGet(const TBridge& bridge, uHttpServer::THttpRequest& request,
                          uHttpServer::THttpResponse& response) {
  if (request.Method != "GET" && request.Method != "POST") return;
  std::string path = uStrUtils::AsciiLower(request.Path);
  if (path == "/") path = "/index.html";

  std::uint64_t size = 0;
  if (const int fd = OpenPageFile(bridge, path, size); fd >= 0) {
    auto stream = std::make_unique<TFileStream>(fd);  // closes fd
    response.ResponseNo = 200;
    response.ResponseText = "OK";
    response.ContentEncoding = "UTF-8";
    response.ContentType = MimeType(bridge, path);
    response.ContentLength = size;
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
    channel->Query(text, bridge.FirstTimeout, bridge.NextTimeout, bridge.TotalTimeout, true, true,
                   {}, "", answer);
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
