#include "ci/uCI_DataSpy.h"

#include <poll.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <cerrno>
#include <condition_variable>
#include <cstdlib>
#include <cstring>
#include <map>
#include <mutex>

#include "ci/uFileUtils.h"
#include "ci/uStrUtils.h"

namespace uCI_DataSpy {

namespace {
// The hook and the calls in flight, counted by the hook generation they started under, so
// that replacing the hook waits for the calls of the hooks before it. A call whose thread
// is itself inside SetOnDataSpy (a hook replacing the hook) is parked: it cannot end while
// that thread waits, so nobody waits for it.
struct TCalls {
  int running = 0;
  int parked = 0;
};
std::mutex gHookMutex;
std::condition_variable gHookIdle;
TDataSpyHook gHook;
std::uint64_t gGeneration = 0;
std::map<std::uint64_t, TCalls> gCalls;
thread_local std::vector<std::uint64_t> tOwnCalls;  // generations of the calls this thread is in

bool CallsBeforeDone(std::uint64_t generation) {
  for (const auto& [g, calls] : gCalls) {
    if (g >= generation) break;
    if (calls.running > calls.parked) return false;
  }
  return true;
}

bool SendAll(int fd, const char* data, std::size_t size) {
  while (size > 0) {
    const ssize_t n = ::send(fd, data, size, MSG_NOSIGNAL);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    data += n;
    size -= static_cast<std::size_t>(n);
  }
  return true;
}
}  // namespace

void SetOnDataSpy(const TDataSpyHook& hook) {
  std::unique_lock lock(gHookMutex);
  gHook = hook;
  const std::uint64_t generation = ++gGeneration;
  for (const std::uint64_t own : tOwnCalls) ++gCalls[own].parked;
  gHookIdle.notify_all();  // another thread may be waiting for exactly these calls
  gHookIdle.wait(lock, [generation] { return CallsBeforeDone(generation); });
  for (const std::uint64_t own : tOwnCalls) --gCalls[own].parked;
}

TDataSpyHook GetOnDataSpy() {
  std::lock_guard lock(gHookMutex);
  return gHook;
}

void CallDataSpy(uci_ICommunicationInterface::ICommunicationInterface* channel,
                 const std::string& text, std::uint8_t direction) {
  TDataSpyHook hook;
  std::uint64_t generation = 0;
  {
    std::lock_guard lock(gHookMutex);
    if (!gHook.IsAssigned()) return;
    hook = gHook;
    generation = gGeneration;
    ++gCalls[generation].running;
  }
  tOwnCalls.push_back(generation);
  try {
    hook(channel, text, direction);
  } catch (...) {
  }
  tOwnCalls.pop_back();
  {
    std::lock_guard lock(gHookMutex);
    const auto calls = gCalls.find(generation);
    if (--calls->second.running == 0) gCalls.erase(calls);
  }
  gHookIdle.notify_all();
}

std::string TerminalSocketDirectory() {
  const char* dir = std::getenv("XDG_RUNTIME_DIR");
  if (dir && dir[0] == '/') return dir;
  return std::string(kTerminalFallbackDirPrefix) + std::to_string(::geteuid());
}

std::string TerminalSocketPath() {
  std::string path = TerminalSocketDirectory();
  if (path.back() != '/') path += '/';
  return path + kTerminalWindowClass;
}

bool IsPrivateDirectory(const std::string& path) {
  struct stat st {};
  if (::lstat(path.c_str(), &st) != 0) return false;  // lstat: a symbolic link is refused
  return S_ISDIR(st.st_mode) && st.st_uid == ::geteuid() && (st.st_mode & 077) == 0;
}

void ForwardToTerminal(uci_ICommunicationInterface::ICommunicationInterface* /*channel*/,
                       const std::string& text, std::uint8_t direction) {
  if (text.empty()) return;
  // The traffic holds PINs and passwords: it goes only to a socket in a directory that no
  // other user can enter or change.
  if (!IsPrivateDirectory(TerminalSocketDirectory())) return;
  const std::string path = TerminalSocketPath();
  sockaddr_un address{};
  address.sun_family = AF_UNIX;
  if (path.size() >= sizeof(address.sun_path)) return;
  std::memcpy(address.sun_path, path.c_str(), path.size() + 1);

  uFileUtils::TFd fd(::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0));
  if (fd.Get() < 0) return;
  // The send limit also bounds a Unix-domain connect, which waits while the terminal's
  // backlog is full. No listener at all fails at once (ENOENT or ECONNREFUSED).
  timeval sendLimit{kTerminalAckTimeoutMs / 1000,
                    static_cast<suseconds_t>(kTerminalAckTimeoutMs % 1000) * 1000};
  if (::setsockopt(fd.Get(), SOL_SOCKET, SO_SNDTIMEO, &sendLimit, sizeof sendLimit) != 0) return;
  if (::connect(fd.Get(), reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0) return;

  const std::uint32_t length = static_cast<std::uint32_t>(text.size() + 1);
  std::string message;
  message.reserve(4 + length);
  for (int i = 0; i < 4; ++i) message += static_cast<char>((length >> (8 * i)) & 0xFF);
  message += static_cast<char>(direction);
  message += text;
  if (!SendAll(fd.Get(), message.data(), message.size())) return;

  pollfd p{fd.Get(), POLLIN, 0};
  if (::poll(&p, 1, kTerminalAckTimeoutMs) <= 0) return;
  char ack;
  (void)::recv(fd.Get(), &ack, 1, 0);
}

TDataSpyHook DefaultForwarder() {
  return TDataSpyHook(&ForwardToTerminal);
}

bool IsDataSpySwitch(std::string_view argument) {
  auto isTrimmed = [](char c) { return static_cast<unsigned char>(c) <= 32; };
  while (!argument.empty() && isTrimmed(argument.front())) argument.remove_prefix(1);
  while (!argument.empty() && isTrimmed(argument.back())) argument.remove_suffix(1);
  if (!argument.empty() && (argument.front() == '/' || argument.front() == '-'))
    argument.remove_prefix(1);
  return uStrUtils::EqualsIgnoreAsciiCase(argument, "DST");
}

std::vector<std::string> ProcessArguments() {
  std::string all;
  std::string ignored;  // no arguments then: the switch is simply not seen
  uFileUtils::ReadWholeFile("/proc/self/cmdline", all, ignored);
  std::vector<std::string> arguments;
  std::size_t start = 0;
  while (start < all.size()) {
    std::size_t end = all.find('\0', start);
    if (end == std::string::npos) end = all.size();
    arguments.push_back(all.substr(start, end - start));
    start = end + 1;
  }
  return arguments;
}

namespace detail {
void StartDataSpy(const std::vector<std::string>& arguments) {
  SetOnDataSpy({});
  for (const std::string& argument : arguments)
    if (IsDataSpySwitch(argument)) SetOnDataSpy(DefaultForwarder());
}

void EndDataSpy() {
  SetOnDataSpy({});
}
}  // namespace detail

void TCommunicationInterfaceDataSpy::DoDataWritten(const std::string& data) {
  SpyData(kDirectionWritten, data);
  TCommunicationInterface::DoDataWritten(data);
}

void TCommunicationInterfaceDataSpy::DoDataRead(const std::string& data) {
  SpyData(kDirectionRead, data);
  TCommunicationInterface::DoDataRead(data);
}

void TCommunicationInterfaceDataSpy::SpyData(std::uint8_t direction, const std::string& text) {
  CallDataSpy(this, text, direction);
}

}  // namespace uCI_DataSpy
