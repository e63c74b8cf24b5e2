#pragma once
// File descriptors and whole-file reads: an owned descriptor that closes itself, and reads
// and writes that retry when a signal interrupts them.

#include <cstddef>
#include <filesystem>
#include <limits>
#include <string>
#include <string_view>

namespace uFileUtils {

// An owned file descriptor, closed when the owner goes or takes another one.
class TFd {
 public:
  TFd() = default;
  explicit TFd(int fd) noexcept : fd_(fd) {}
  TFd(TFd&& other) noexcept : fd_(other.Release()) {}
  TFd& operator=(TFd&& other) noexcept;
  TFd(const TFd&) = delete;
  TFd& operator=(const TFd&) = delete;
  ~TFd() { Reset(); }
  int Get() const noexcept { return fd_; }
  explicit operator bool() const noexcept { return fd_ >= 0; }
  // Gives the descriptor up without closing it.
  int Release() noexcept;
  // Closes the descriptor held, then holds fd.
  void Reset(int fd = -1) noexcept;

 private:
  int fd_ = -1;
};

// The system's text for an errno value ("No such file or directory").
std::string ErrnoText(int err);

struct TReadOptions {
  // A longer file is an error ("... is longer than N bytes"), and no more of it is read.
  std::size_t MaxBytes = std::numeric_limits<std::size_t>::max();
  // Only a regular file is read; a directory, FIFO or device is an error. The file is opened
  // non-blocking, so a FIFO without a writer does not hold the open up.
  bool RegularOnly = false;
};

// Reads path whole into content (replacing what it held). On failure returns false with
// error set to "cannot open P: reason", "cannot read P: reason", "P is not a regular file"
// or "P is longer than N bytes"; content then holds what was read before the failure.
bool ReadWholeFile(const std::filesystem::path& path, std::string& content, std::string& error,
                   const TReadOptions& options = {});

// Reads fd until its end into content (appending). Returns 0, an errno, or EFBIG when more than
// maxBytes would be held.
int ReadToEnd(int fd, std::string& content,
              std::size_t maxBytes = std::numeric_limits<std::size_t>::max());

// Writes all of data to fd. Returns 0 or an errno (EIO when the file takes nothing).
int WriteAll(int fd, std::string_view data);

}  // namespace uFileUtils
