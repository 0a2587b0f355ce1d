// A stand-in for the module's UDP link, answering on its own thread on 127.0.0.1.
// What it received is read once the exchange is over; that ends the thread.
#pragma once

#include <arpa/inet.h>
#include <fcntl.h>
#include <poll.h>
#include <stdlib.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <functional>
#include <string>
#include <thread>
#include <vector>

#include "wlink_host.h"

namespace wlinktest {

using Bytes = std::vector<uint8_t>;

// A reply datagram as the module sends it.
inline Bytes udp_reply(uint8_t seq, const std::string& text) {
  Bytes b = {0x66, 0x77, 0x78, 0x79, 's', 'e', 'q', seq, ',', static_cast<uint8_t>(text.size())};
  for (char c : text) b.push_back(static_cast<uint8_t>(c));
  b.push_back(wlink::checksum8(b.data() + 10, text.size()));
  return b;
}

// Gets the text of each command datagram, its sequence byte and the number of
// datagrams before it; returns the datagrams to send back.
class FakeUdpModule {
 public:
  using Responder = std::function<std::vector<Bytes>(const std::string& cmd, uint8_t seq, int n)>;
  explicit FakeUdpModule(Responder respond) {
    sockaddr_in sin{AF_INET, 0, {htonl(INADDR_LOOPBACK)}, {}};
    socklen_t len = sizeof sin;
    ::bind(fd_, reinterpret_cast<sockaddr*>(&sin), len);
    ::getsockname(fd_, reinterpret_cast<sockaddr*>(&sin), &len);
    port_ = ntohs(sin.sin_port);
    // Runs until stopped and nothing is left to read.
    thread_ = std::thread([this, respond] {
      uint8_t b[512];
      for (pollfd p{fd_, POLLIN, 0}; ::poll(&p, 1, 20) > 0 || !stop_;) {
        sockaddr_in from{};
        socklen_t flen = sizeof from;
        const ssize_t n = ::recvfrom(fd_, b, sizeof b, MSG_DONTWAIT, reinterpret_cast<sockaddr*>(&from), &flen);
        if (n <= 0) continue;
        raw_.emplace_back(b, b + n);
        if (n < 11 || static_cast<size_t>(n) != 11u + b[9]) continue;
        const std::string cmd(reinterpret_cast<char*>(b) + 10, b[9]);
        for (const Bytes& d : respond(cmd, b[7], static_cast<int>(raw_.size()) - 1))
          ::sendto(fd_, d.data(), d.size(), 0, reinterpret_cast<sockaddr*>(&from), flen);
      }
    });
  }
  ~FakeUdpModule() {
    raw();
    ::close(fd_);
  }
  uint16_t port() const { return port_; }
  const std::vector<Bytes>& raw() {  // every datagram received
    stop_ = true;
    if (thread_.joinable()) thread_.join();
    return raw_;
  }
  std::vector<std::string> commands() {  // their payloads
    std::vector<std::string> out;
    for (const Bytes& d : raw()) out.emplace_back(d.size() < 11 ? "<short>" : std::string(d.begin() + 10, d.end() - 1));
    return out;
  }

 private:
  int fd_ = ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
  uint16_t port_ = 0;
  std::vector<Bytes> raw_;
  std::atomic<bool> stop_{false};
  std::thread thread_;
};

}  // namespace wlinktest
