#include "ci/uFileUtils.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <system_error>

namespace uFileUtils {

TFd& TFd::operator=(TFd&& other) noexcept {
  if (this != &other) Reset(other.Release());
  return *this;
}

int TFd::Release() noexcept {
  const int fd = fd_;
  fd_ = -1;
  return fd;
}

void TFd::Reset(int fd) noexcept {
  // Not retried on EINTR: Linux has released the descriptor by then (close(2)).
  if (fd_ >= 0) ::close(fd_);
  fd_ = fd;
}

std::string ErrnoText(int err) {
  return std::error_code(err, std::generic_category()).message();
}

int ReadToEnd(int fd, std::string& content, std::size_t maxBytes) {
  char chunk[4096];
  for (;;) {
    const ssize_t n = ::read(fd, chunk, sizeof chunk);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) return errno;
    if (n == 0) return 0;
    const auto size = static_cast<std::size_t>(n);
    const std::size_t room = maxBytes - std::min(maxBytes, content.size());
    if (size > room) {
      content.append(chunk, room);
      return EFBIG;
    }
    content.append(chunk, size);
  }
}

bool ReadWholeFile(const std::filesystem::path& path, std::string& content, std::string& error,
                   const TReadOptions& options) {
  content.clear();
  const int flags = O_RDONLY | O_CLOEXEC | (options.RegularOnly ? O_NONBLOCK : 0);
  const TFd fd(::open(path.c_str(), flags));
  if (!fd) {
    error = "cannot open " + path.string() + ": " + ErrnoText(errno);
    return false;
  }
  if (options.RegularOnly) {
    struct stat info {};
    if (::fstat(fd.Get(), &info) != 0) {
      error = "cannot read " + path.string() + ": " + ErrnoText(errno);
      return false;
    }
    if (!S_ISREG(info.st_mode)) {
      error = path.string() + " is not a regular file";
      return false;
    }
  }
  const int err = ReadToEnd(fd.Get(), content, options.MaxBytes);
  if (err == EFBIG) {
    error = path.string() + " is longer than " + std::to_string(options.MaxBytes) + " bytes";
    return false;
  }
  if (err != 0) {
    error = "cannot read " + path.string() + ": " + ErrnoText(err);
    return false;
  }
  return true;
}

int WriteAll(int fd, std::string_view data) {
  while (!data.empty()) {
    const ssize_t n = ::write(fd, data.data(), data.size());
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) return errno;
    if (n == 0) return EIO;
    data.remove_prefix(static_cast<std::size_t>(n));
  }
  return 0;
}

}  // namespace uFileUtils
