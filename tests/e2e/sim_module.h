// End-to-end test support: a simulated module (wlinkcmd-sim) started for each
// test on a fresh root folder, reached only through its serial line, its UDP
// link and its files.
#pragma once

#include <gtest/gtest.h>
#include <sys/types.h>

#include <chrono>
#include <cstdint>
#include <functional>
#include <map>
#include <optional>
#include <string>
#include <vector>

#include "wlink_host.h"

namespace e2e {

using Bytes = std::vector<uint8_t>;
using Clock = std::chrono::steady_clock;

// Whole file; "" (and *ok false) when it cannot be read.
std::string read_file(const std::string& path, bool* ok = nullptr);
bool write_file(const std::string& path, const std::string& text);
// Lines without their line feeds; a last line without one counts too.
std::vector<std::string> split_lines(const std::string& text);
// Calls cond every step_ms until it holds or timeout_ms passed; true if it held.
bool wait_until(const std::function<bool()>& cond, int timeout_ms, int step_ms = 10);
// A port on 127.0.0.1 that was free a moment ago (type SOCK_DGRAM or SOCK_STREAM).
uint16_t free_port(int type);
// "03 03 00 41" style text of some bytes, for failure messages.
std::string hex(const Bytes& b);
// The text with the one line that begins with `prefix` replaced by `line`;
// "" when not exactly one line begins with it.
std::string replace_line(const std::string& text, const std::string& prefix, const std::string& line);

// The host end of the serial line, raw bytes in and out.
class RawSerial {
 public:
  bool open(const std::string& path, std::string* err);
  void close() { fd_.reset(); }
  bool write_bytes(const Bytes& b);
  // Reads until n bytes arrived or timeout_ms passed. If arrivals is given it
  // gets, for every byte, the moment the read that brought it returned.
  Bytes read_bytes(size_t n, int timeout_ms, std::vector<Clock::time_point>* arrivals = nullptr);
  void discard_input();

 private:
  wlink::UniqueFd fd_;
};

// A UDP socket bound to 127.0.0.1 on a port of the system's choice.
class RawUdp {
 public:
  bool open(std::string* err);
  uint16_t local_port() const { return local_port_; }
  bool send_to(uint16_t port, const Bytes& b);
  // One datagram, or nullopt when none came within timeout_ms.
  std::optional<Bytes> receive(int timeout_ms);

 private:
  wlink::UniqueFd fd_;
  uint16_t local_port_ = 0;
};

// One run of wlinkcmd-sim.
struct SimProcess {
  pid_t pid = -1;
  std::string out_path, err_path;
  uint16_t udp_port = 0, upgrade_port = 0;

  // Starts the sim with these arguments, stdout and stderr to the two files.
  static SimProcess spawn(const std::vector<std::string>& args, const std::string& out_path,
                          const std::string& err_path);
  // Exit status as waitpid reports it, or nullopt if it has not ended within timeout_ms.
  std::optional<int> wait_exit(int timeout_ms);
  bool running() const { return pid > 0; }
  int status = -1;  // raw wait status once ended
};

// The fixture: a temp folder holding the module root and the sim's logs, a
// running sim on it with free ports, and a serial client on its line.
class SimModule : public ::testing::Test {
 protected:
  void SetUp() override;
  void TearDown() override;

  // How much faster the simulated module's clock runs (--time-scale).
  virtual int time_scale() const { return 1; }

  // Starts a sim on root_ with fresh ports and waits for its ready line; opens
  // the serial client. Retries a few times if the sim ends before it is ready
  // (a port picked as free was taken meanwhile).
  bool start();
  // SIGTERM and wait; returns the raw wait status, or -1 if it did not end.
  int stop();
  // Waits until the current run's stderr holds `count` ready lines.
  bool wait_ready(int count, int timeout_ms);
  std::vector<std::string> ready_lines() const;

  // One command over the serial line / over UDP; on no reply the test fails
  // and the result is "<no reply: ...>".
  std::string serial(const std::string& cmd);
  std::string udp(const std::string& cmd);

  std::string path(const std::string& module_path) const { return root_ + module_path; }
  std::string profile() const { return read_file(path("/config/mt7628.dat")); }
  std::string factory_profile() const { return read_file(path("/etc/wireless/mt7628/mt7628.dat")); }
  std::string dhcp_conf() const { return read_file(path("/etc/udhcpd.conf")); }
  std::vector<std::string> events() const { return split_lines(read_file(path("/sim/events"))); }
  size_t event_mark() const { return events().size(); }
  std::vector<std::string> events_since(size_t mark) const;
  std::map<std::string, std::string> state() const;
  std::string log() const { return read_file(sim_.out_path); }
  std::string errlog() const { return read_file(sim_.err_path); }
  // Waits (bounded) until the current run's log holds the text.
  bool log_has(const std::string& text, int timeout_ms = 2000) const;

  std::string base_;  // temp folder: root/ and the logs
  std::string root_;  // the module's file system
  SimProcess sim_;
  int runs_ = 0;
  wlink::SerialClient serial_;
  wlink::UdpClient udp_;
};

// Factory templates of the simulated module, from the source tree.
std::string factory_template(const std::string& name);
// The value of the first Key=Value line of a text with this key, or nullopt.
std::optional<std::string> value_of(const std::string& text, const std::string& key);
// The value of a key in the factory profile template ("" if absent).
std::string factory_value(const std::string& key);

}  // namespace e2e
