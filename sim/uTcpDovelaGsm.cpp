#include "sim/uTcpDovelaGsm.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>

#include <cerrno>
#include <system_error>
#include <vector>

#include "ci/uThreadUtils.h"

namespace uTcpDovelaGsm {

struct TTcpDovelaGsm::TConnection {
  uFileUtils::TFd Fd;
  uSerialTty::TWakeFd Ended;  // signalled when the connection is to go
  std::unique_ptr<uSerialDovelaGsm::TSerialDovelaGsm> Unit;
};

namespace {

[[noreturn]] void Fail(const char* what) {
  throw std::system_error(errno, std::generic_category(), what);
}

}  // namespace

TTcpDovelaGsm::TTcpDovelaGsm(std::shared_ptr<uDovelaGsmModel::TDovelaGsmModel> model,
                             std::uint16_t port)
    : model_(model ? std::move(model) : std::make_shared<uDovelaGsmModel::TDovelaGsmModel>()) {
  listener_.Reset(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0));
  if (!listener_) Fail("socket");
  const int reuse = 1;
  ::setsockopt(listener_.Get(), SOL_SOCKET, SO_REUSEADDR, &reuse, sizeof reuse);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_port = htons(port);
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  if (::bind(listener_.Get(), reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0)
    Fail("bind to 127.0.0.1");
  if (::listen(listener_.Get(), kMaxConnections) != 0) Fail("listen");
  socklen_t length = sizeof address;
  if (::getsockname(listener_.Get(), reinterpret_cast<sockaddr*>(&address), &length) != 0)
    Fail("getsockname");
  port_ = ntohs(address.sin_port);
  loop_ = std::thread([this] { Loop(); });
}

TTcpDovelaGsm::~TTcpDovelaGsm() {
  stop_.Signal();
  if (loop_.joinable()) loop_.join();
  for (auto& connection : connections_) connection->Ended.Signal();
  connections_.clear();  // each unit's thread is joined as it goes
}

int TTcpDovelaGsm::Accepted() const {
  std::lock_guard lock(mutex_);
  return accepted_;
}

int TTcpDovelaGsm::Connected() const {
  std::lock_guard lock(mutex_);
  return connected_;
}

TTcpDovelaGsm::TExchangeTimes TTcpDovelaGsm::LastExchange() const {
  std::lock_guard lock(mutex_);
  return last_;
}

void TTcpDovelaGsm::Accept() {
  uFileUtils::TFd fd(::accept4(listener_.Get(), nullptr, nullptr, SOCK_CLOEXEC | SOCK_NONBLOCK));
  if (!fd) return;
  if (connections_.size() >= static_cast<std::size_t>(kMaxConnections)) return;  // closed
  auto connection = std::make_unique<TConnection>();
  connection->Fd = std::move(fd);
  TConnection& c = *connection;
  connection->Unit = std::make_unique<uSerialDovelaGsm::TSerialDovelaGsm>(
      [this, &c](const std::string& bytes) { Send(c, bytes); }, model_);
  connections_.push_back(std::move(connection));
  std::lock_guard lock(mutex_);
  ++accepted_;
  connected_ = static_cast<int>(connections_.size());
}

void TTcpDovelaGsm::Loop() {
  uThreadUtils::SetCurrentThreadName("Dovela GSM tcp");
  std::vector<pollfd> fds;
  char buffer[4096];
  for (;;) {
    fds.assign({{stop_.Fd(), POLLIN, 0}, {listener_.Get(), POLLIN, 0}});
    for (const auto& connection : connections_) fds.push_back({connection->Fd.Get(), POLLIN, 0});
    if (::poll(fds.data(), fds.size(), -1) < 0) {
      if (errno == EINTR) continue;
      return;
    }
    if (fds[0].revents != 0) return;
    if (fds[1].revents & POLLIN) Accept();
    auto it = connections_.begin();
    for (std::size_t i = 2; i < fds.size(); ++i) {
      TConnection& connection = **it;
      bool ended = false;
      if (fds[i].revents != 0) {
        const ssize_t n = ::recv(connection.Fd.Get(), buffer, sizeof buffer, 0);
        if (n > 0) {
          {
            std::lock_guard lock(mutex_);
            lastRead_ = TClock::now();
          }
          connection.Unit->Receive(std::string(buffer, static_cast<std::size_t>(n)));
        } else if (n == 0 || (errno != EAGAIN && errno != EINTR)) {
          ended = true;  // the host closed or reset it
        }
      }
      if (!ended) {
        ++it;
        continue;
      }
      connection.Ended.Signal();
      it = connections_.erase(it);  // joins the unit's thread, then closes the socket
      std::lock_guard lock(mutex_);
      connected_ = static_cast<int>(connections_.size());
    }
  }
}

void TTcpDovelaGsm::Send(TConnection& connection, const std::string& bytes) {
  std::size_t sent = 0;
  while (sent < bytes.size()) {
    const ssize_t n =
        ::send(connection.Fd.Get(), bytes.data() + sent, bytes.size() - sent, MSG_NOSIGNAL);
    if (n > 0) {
      sent += static_cast<std::size_t>(n);
      continue;
    }
    if (n < 0 && errno == EINTR) continue;
    if (n < 0 && errno != EAGAIN) return;  // the connection broke
    // The host does not read: wait for room, or for the end.
    pollfd fds[3] = {{stop_.Fd(), POLLIN, 0},
                     {connection.Ended.Fd(), POLLIN, 0},
                     {connection.Fd.Get(), POLLOUT, 0}};
    if (::poll(fds, 3, -1) < 0 && errno != EINTR) return;
    if (fds[0].revents != 0 || fds[1].revents != 0) return;
  }
  std::lock_guard lock(mutex_);
  last_ = {lastRead_, TClock::now()};
}

}  // namespace uTcpDovelaGsm
