#include "sim/uPtyDovelaGsm.h"

#include <fcntl.h>
#include <poll.h>
#include <pty.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>
#include <system_error>

#include "ci/uThreadUtils.h"

namespace uPtyDovelaGsm {

namespace {

void MakeRaw(int fd) {
  termios t{};
  if (::tcgetattr(fd, &t) != 0)
    throw std::system_error(errno, std::generic_category(), "tcgetattr");
  ::cfmakeraw(&t);
  if (::tcsetattr(fd, TCSANOW, &t) != 0)
    throw std::system_error(errno, std::generic_category(), "tcsetattr");
}

}  // namespace

TPtyDovelaGsm::TPtyDovelaGsm(std::shared_ptr<uDovelaGsmModel::TDovelaGsmModel> model) {
  int master = -1;
  int slave = -1;
  char name[128] = {};
  if (::openpty(&master, &slave, name, nullptr, nullptr) != 0)
    throw std::system_error(errno, std::generic_category(), "openpty");
  master_.Reset(master);
  keeper_.Reset(slave);
  portPath_ = name;
  // A pseudo-terminal pair is raw only when both ends are.
  MakeRaw(master);
  MakeRaw(slave);
  ::fcntl(master, F_SETFL, ::fcntl(master, F_GETFL) | O_NONBLOCK);
  ::fcntl(master, F_SETFD, FD_CLOEXEC);
  ::fcntl(slave, F_SETFD, FD_CLOEXEC);
  unit_ = std::make_unique<uSerialDovelaGsm::TSerialDovelaGsm>(
      [this](const std::string& bytes) { Send(bytes); }, std::move(model));
  reader_ = std::thread([this] { ReadLoop(); });
}

TPtyDovelaGsm::~TPtyDovelaGsm() {
  stop_.Signal();
  if (reader_.joinable()) reader_.join();
  unit_.reset();  // a Send in progress sees the stop signal too
  if (!link_.empty()) {
    std::error_code ec;
    std::filesystem::remove(link_, ec);
  }
}

void TPtyDovelaGsm::LinkAs(const std::filesystem::path& folder, std::uint16_t number) {
  std::filesystem::create_directories(folder);
  const auto link = folder / ("com" + std::to_string(number));
  std::error_code ec;
  std::filesystem::remove(link, ec);
  std::filesystem::create_symlink(portPath_, link);
  link_ = link;
}

void TPtyDovelaGsm::ReadLoop() {
  uThreadUtils::SetCurrentThreadName("Dovela GSM pty");
  char buffer[4096];
  pollfd fds[2] = {{stop_.Fd(), POLLIN, 0}, {master_.Get(), POLLIN, 0}};
  for (;;) {
    if (::poll(fds, 2, -1) < 0) {
      if (errno == EINTR) continue;
      return;
    }
    if (fds[0].revents != 0) return;
    if ((fds[1].revents & POLLNVAL) != 0) return;
    const ssize_t n = ::read(master_.Get(), buffer, sizeof buffer);
    if (n > 0) unit_->Receive(std::string(buffer, static_cast<std::size_t>(n)));
  }
}

void TPtyDovelaGsm::Send(const std::string& bytes) {
  std::size_t sent = 0;
  while (sent < bytes.size()) {
    const ssize_t n = ::write(master_.Get(), bytes.data() + sent, bytes.size() - sent);
    if (n > 0) {
      sent += static_cast<std::size_t>(n);
      continue;
    }
    if (n < 0 && errno == EINTR) continue;
    if (n < 0 && errno != EAGAIN) return;
    // The host does not read: wait for room, or for the end.
    pollfd fds[2] = {{stop_.Fd(), POLLIN, 0}, {master_.Get(), POLLOUT, 0}};
    if (::poll(fds, 2, -1) < 0 && errno != EINTR) return;
    if (fds[0].revents != 0) return;
  }
}

}  // namespace uPtyDovelaGsm
