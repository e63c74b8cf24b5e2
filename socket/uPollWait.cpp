#include "socket/uPollWait.h"

#include <poll.h>
#include <sys/eventfd.h>
#include <unistd.h>

#include <cerrno>
#include <climits>

namespace uPollWait {

TWakeEvent::TWakeEvent() noexcept : fd_(::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK)) {}

void TWakeEvent::Signal() noexcept {
  if (!fd_) return;
  const std::uint64_t one = 1;
  // EAGAIN only when the counter is at its maximum, which is a pending signal as well.
  while (::write(fd_.Get(), &one, sizeof one) < 0 && errno == EINTR) {
  }
}

void TWakeEvent::Clear() noexcept {
  if (!fd_) return;
  std::uint64_t count = 0;
  while (::read(fd_.Get(), &count, sizeof count) < 0 && errno == EINTR) {
  }
}

TWaitResult WaitReadable(int fd, TWakeEvent& wake, std::uint32_t timeoutMs) noexcept {
  pollfd fds[2] = {{wake.Fd(), POLLIN, 0}, {fd, POLLIN, 0}};
  const int timeout = timeoutMs > INT_MAX ? INT_MAX : static_cast<int>(timeoutMs);
  // A negative descriptor is ignored by poll, so either may be missing.
  TWaitResult result;
  if (::poll(fds, 2, timeout) <= 0) return result;
  result.Woken = (fds[0].revents & POLLIN) != 0;
  if (result.Woken) wake.Clear();
  result.Readable = fd >= 0 && (fds[1].revents & (POLLIN | POLLERR | POLLHUP)) != 0;
  return result;
}

}  // namespace uPollWait
