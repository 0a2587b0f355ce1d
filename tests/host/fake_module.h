// Stand-ins for the module's two links, for testing the host side:
// a UDP responder on 127.0.0.1 and a serial responder on a pty pair.
#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <mutex>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

namespace wlinktest {

using Bytes = std::vector<uint8_t>;

// Builds a reply datagram as the module sends it.
Bytes udp_reply(uint8_t seq, std::string_view text);

// Concatenated serial frames of a text.
std::string frame_bytes(std::string_view text);

// Answers command datagrams on 127.0.0.1 (ephemeral port). The responder
// gets the command text, its sequence byte and the number of valid command
// datagrams received before this one, and returns the datagrams to send back
// to the sender (none to stay silent).
class FakeUdpModule {
 public:
  using Responder = std::function<std::vector<Bytes>(const std::string& cmd, uint8_t seq, int n)>;

  explicit FakeUdpModule(Responder r);
  ~FakeUdpModule();
  FakeUdpModule(const FakeUdpModule&) = delete;
  FakeUdpModule& operator=(const FakeUdpModule&) = delete;

  uint16_t port() const { return port_; }
  std::vector<std::string> commands() const;  // valid commands, in order
  std::vector<Bytes> raw() const;             // every datagram received
  std::vector<uint8_t> seqs() const;          // sequence byte of each valid command
  int invalid() const;                        // datagrams that did not parse

 private:
  void run();

  Responder responder_;
  int fd_ = -1;
  uint16_t port_ = 0;
  std::atomic<bool> stop_{false};
  mutable std::mutex mu_;
  std::vector<std::string> commands_;
  std::vector<Bytes> raw_;
  std::vector<uint8_t> seqs_;
  int invalid_ = 0;
  std::thread thread_;
};

// Plays the module on the master side of a pty; the client opens
// slave_path(). Received frames are reassembled; the responder returns the
// pieces of the reply, each written separately with a short pause between.
class FakeSerialModule {
 public:
  using Responder = std::function<std::vector<std::string>(const std::string& cmd)>;

  explicit FakeSerialModule(Responder r);
  ~FakeSerialModule();
  FakeSerialModule(const FakeSerialModule&) = delete;
  FakeSerialModule& operator=(const FakeSerialModule&) = delete;

  bool ok() const { return master_ >= 0; }
  const std::string& slave_path() const { return slave_path_; }
  std::vector<std::string> commands() const;
  std::string raw() const;  // every byte received from the client

 private:
  void run();

  Responder responder_;
  int master_ = -1;
  int slave_ = -1;  // held open so the master never sees a hang-up
  std::string slave_path_;
  std::atomic<bool> stop_{false};
  mutable std::mutex mu_;
  std::vector<std::string> commands_;
  std::string raw_;
  std::thread thread_;
};

}  // namespace wlinktest
