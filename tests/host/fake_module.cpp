#include "fake_module.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <stdlib.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <cstring>

#include "wlink_host.h"

namespace wlinktest {

Bytes udp_reply(uint8_t seq, std::string_view text) {
  Bytes b(11 + text.size());
  const uint8_t head[10] = {0x66, 0x77, 0x78, 0x79, 's', 'e', 'q', seq, ',',
                            static_cast<uint8_t>(text.size())};
  std::memcpy(b.data(), head, sizeof head);
  if (!text.empty()) std::memcpy(b.data() + 10, text.data(), text.size());
  b.back() = wlink::checksum8(b.data() + 10, text.size());
  return b;
}

std::string frame_bytes(std::string_view text) {
  std::string out;
  for (const auto& f : wlink::encode_frames(text)) out.append(f.begin(), f.end());
  return out;
}

// ---------------------------------------------------------------------------

FakeUdpModule::FakeUdpModule(Responder r) : responder_(std::move(r)) {
  fd_ = ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
  sockaddr_in sin{};
  sin.sin_family = AF_INET;
  sin.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t len = sizeof sin;
  if (fd_ >= 0 && ::bind(fd_, reinterpret_cast<sockaddr*>(&sin), sizeof sin) == 0 &&
      ::getsockname(fd_, reinterpret_cast<sockaddr*>(&sin), &len) == 0)
    port_ = ntohs(sin.sin_port);
  thread_ = std::thread([this] { run(); });
}

FakeUdpModule::~FakeUdpModule() {
  stop_ = true;
  thread_.join();
  if (fd_ >= 0) ::close(fd_);
}

void FakeUdpModule::run() {
  uint8_t buf[512];
  while (!stop_ && fd_ >= 0) {
    pollfd p{fd_, POLLIN, 0};
    if (::poll(&p, 1, 20) <= 0) continue;
    sockaddr_in from{};
    socklen_t flen = sizeof from;
    const ssize_t n =
        ::recvfrom(fd_, buf, sizeof buf, 0, reinterpret_cast<sockaddr*>(&from), &flen);
    if (n < 0) continue;
    const size_t len = n >= 10 ? buf[9] : 0;
    const bool valid = n >= 11 && std::memcmp(buf, "\x55\x44\x33\x22seq", 7) == 0 &&
                       buf[8] == ',' && static_cast<size_t>(n) == 11 + len &&
                       wlink::checksum8(buf + 10, len) == buf[10 + len];
    std::string cmd;
    int index = 0;
    {
      std::lock_guard<std::mutex> lock(mu_);
      raw_.emplace_back(buf, buf + n);
      if (!valid) {
        ++invalid_;
        continue;
      }
      cmd.assign(reinterpret_cast<const char*>(buf + 10), len);
      index = static_cast<int>(commands_.size());
      commands_.push_back(cmd);
      seqs_.push_back(buf[7]);
    }
    for (const auto& d : responder_(cmd, buf[7], index))
      ::sendto(fd_, d.data(), d.size(), 0, reinterpret_cast<sockaddr*>(&from), flen);
  }
}

std::vector<std::string> FakeUdpModule::commands() const {
  std::lock_guard<std::mutex> lock(mu_);
  return commands_;
}
std::vector<Bytes> FakeUdpModule::raw() const {
  std::lock_guard<std::mutex> lock(mu_);
  return raw_;
}
std::vector<uint8_t> FakeUdpModule::seqs() const {
  std::lock_guard<std::mutex> lock(mu_);
  return seqs_;
}
int FakeUdpModule::invalid() const {
  std::lock_guard<std::mutex> lock(mu_);
  return invalid_;
}

// ---------------------------------------------------------------------------

FakeSerialModule::FakeSerialModule(Responder r) : responder_(std::move(r)) {
  master_ = ::posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
  if (master_ < 0 || ::grantpt(master_) != 0 || ::unlockpt(master_) != 0) {
    if (master_ >= 0) ::close(master_);
    master_ = -1;
    return;
  }
  char name[128] = {};
  if (::ptsname_r(master_, name, sizeof name) != 0) {
    ::close(master_);
    master_ = -1;
    return;
  }
  slave_path_ = name;
  slave_ = ::open(name, O_RDWR | O_NOCTTY | O_CLOEXEC);
  thread_ = std::thread([this] { run(); });
}

FakeSerialModule::~FakeSerialModule() {
  stop_ = true;
  if (thread_.joinable()) thread_.join();
  if (slave_ >= 0) ::close(slave_);
  if (master_ >= 0) ::close(master_);
}

void FakeSerialModule::run() {
  wlink::FrameAssembler assembler;
  std::string acc;
  char buf[256];
  while (!stop_) {
    pollfd p{master_, POLLIN, 0};
    if (::poll(&p, 1, 20) <= 0 || !(p.revents & POLLIN)) continue;
    const ssize_t n = ::read(master_, buf, sizeof buf);
    if (n <= 0) continue;
    acc.append(buf, static_cast<size_t>(n));
    {
      std::lock_guard<std::mutex> lock(mu_);
      raw_.append(buf, static_cast<size_t>(n));
    }
    size_t pos = 0;
    while (acc.size() - pos >= wlink::kFrameSize) {
      wlink::Frame f;
      std::memcpy(f.data(), acc.data() + pos, f.size());
      const auto r = assembler.feed(f);
      if (r == wlink::FrameAssembler::Feed::Bad) {
        ++pos;
        continue;
      }
      pos += f.size();
      if (r != wlink::FrameAssembler::Feed::Complete) continue;
      const std::string cmd = assembler.message();
      assembler.reset();
      {
        std::lock_guard<std::mutex> lock(mu_);
        commands_.push_back(cmd);
      }
      bool first = true;
      for (const auto& piece : responder_(cmd)) {
        if (!first) std::this_thread::sleep_for(std::chrono::milliseconds(30));
        first = false;
        if (::write(master_, piece.data(), piece.size()) < 0) break;
      }
    }
    acc.erase(0, pos);
  }
}

std::vector<std::string> FakeSerialModule::commands() const {
  std::lock_guard<std::mutex> lock(mu_);
  return commands_;
}
std::string FakeSerialModule::raw() const {
  std::lock_guard<std::mutex> lock(mu_);
  return raw_;
}

}  // namespace wlinktest
