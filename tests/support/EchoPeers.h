#pragma once
// Peers for the network providers, each on a thread of its own on 127.0.0.1: a TCP server
// that does with each piece of a request what its mode says (echo it, ignore it, close or
// reset the connection, or drip an endless answer), and a UDP peer that echoes every
// datagram to its sender. Echoed answers start with a prefix, so a test sees who answered.

#include <poll.h>

#include <atomic>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "support/Loopback.h"

namespace testsupport {

enum class TPeerMode { Echo, Silent, Close, Reset, Drip };

class TTcpEchoServer {
 public:
  explicit TTcpEchoServer(TPeerMode mode = TPeerMode::Echo, std::string prefix = {})
      : mode_(mode), prefix_(std::move(prefix)), thread_([this] { Run(); }) {}
  ~TTcpEchoServer() {
    stop_ = true;
    thread_.join();
  }
  int Port() const { return listener_.Port(); }
  int Accepted() const { return accepted_.load(); }
  // Connections that ended from the other side.
  int Ended() const { return ended_.load(); }
  std::string Received() {
    std::lock_guard lock(mutex_);
    return received_;
  }

 private:
  void Run() {
    std::vector<TTcpPeer> peers;
    int drips = 0;
    while (!stop_) {
      std::vector<pollfd> fds{{listener_.Fd(), POLLIN, 0}};
      for (const TTcpPeer& peer : peers) fds.push_back({peer.Fd(), POLLIN, 0});
      ::poll(fds.data(), fds.size(), mode_ == TPeerMode::Drip ? 20 : 10);
      if (fds[0].revents & POLLIN) {
        TTcpPeer peer = listener_.Accept(0);
        if (peer) {
          peers.push_back(std::move(peer));
          ++accepted_;
        }
      }
      for (std::size_t i = 1; i < fds.size(); ++i) {
        TTcpPeer& peer = peers[i - 1];
        if (!(fds[i].revents & (POLLIN | POLLHUP | POLLERR)) || !peer) continue;
        char buffer[65536];
        const ssize_t n = ::recv(peer.Fd(), buffer, sizeof buffer, 0);
        if (n <= 0) {
          peer.Close();
          ++ended_;
          continue;
        }
        const std::string piece(buffer, static_cast<std::size_t>(n));
        {
          std::lock_guard lock(mutex_);
          received_ += piece;
        }
        switch (mode_) {
          case TPeerMode::Echo:
            peer.Send(prefix_ + piece);
            break;
          case TPeerMode::Silent:
            break;
          case TPeerMode::Close:
            peer.Close(false);
            break;
          case TPeerMode::Reset:
            peer.Close(true);
            break;
          case TPeerMode::Drip:
            drips = 1;
            break;
        }
      }
      if (drips > 0)
        for (TTcpPeer& peer : peers)
          if (peer) peer.Send(".");
      std::erase_if(peers, [](const TTcpPeer& peer) { return !peer; });
    }
  }

  const TPeerMode mode_;
  const std::string prefix_;
  TTcpListener listener_;
  std::atomic<bool> stop_{false};
  std::atomic<int> accepted_{0};
  std::atomic<int> ended_{0};
  std::mutex mutex_;
  std::string received_;
  std::thread thread_;  // last: starts once the rest is there
};

class TUdpEchoPeer {
 public:
  explicit TUdpEchoPeer(std::string prefix = {})
      : prefix_(std::move(prefix)), thread_([this] { Run(); }) {}
  ~TUdpEchoPeer() {
    stop_ = true;
    thread_.join();
  }
  int Port() const { return peer_.Port(); }
  int Datagrams() const { return datagrams_.load(); }

 private:
  void Run() {
    while (!stop_) {
      std::string data;
      int from = 0;
      if (!peer_.Receive(data, from, 10)) continue;
      ++datagrams_;
      peer_.SendTo(from, prefix_ + data);
    }
  }

  const std::string prefix_;
  TUdpPeer peer_;
  std::atomic<bool> stop_{false};
  std::atomic<int> datagrams_{0};
  std::thread thread_;
};

}  // namespace testsupport
