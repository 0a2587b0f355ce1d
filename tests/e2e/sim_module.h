// End-to-end support: the simulated module (wlinkcmd-sim) run on a fresh root
// folder, reached only through its serial line, its UDP link and its files.
#pragma once

#include <arpa/inet.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <functional>
#include <iterator>
#include <optional>
#include <sstream>
#include <thread>

#include "wlink_host.h"

extern char** environ;

namespace e2e {

using Bytes = std::vector<uint8_t>;
using Lines = std::vector<std::string>;

inline std::string read_file(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), {});
}

inline Lines split_lines(const std::string& text) {
  Lines out;
  std::istringstream in(text);
  for (std::string l; std::getline(in, l);) out.push_back(l);
  return out;
}

// The text with its one line beginning with `prefix` replaced; "" unless exactly one matches.
inline std::string replace_line(const std::string& text, const std::string& prefix, const std::string& line) {
  std::string out;
  int hits = 0;
  for (const std::string& l : split_lines(text)) {
    const bool hit = l.rfind(prefix, 0) == 0;
    hits += hit;
    out += (hit ? line : l) + "\n";
  }
  return hits == 1 ? out : "";
}

inline std::string hex(const Bytes& b) {
  std::string s;
  char t[5];
  for (uint8_t c : b) snprintf(t, sizeof t, s.empty() ? "%02X" : " %02X", c), s += t;
  return s;
}

inline Bytes unhex(const std::string& s) {
  Bytes b;
  std::istringstream in(s);
  for (unsigned v; in >> std::hex >> v;) b.push_back(static_cast<uint8_t>(v));
  return b;
}

inline bool wait_until(const std::function<bool()>& cond, int timeout_ms) {
  const auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeout_ms);
  while (!cond()) {
    if (std::chrono::steady_clock::now() >= end) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  return true;
}

// A socket on 127.0.0.1 with a port of the system's choice.
inline wlink::UniqueFd loopback_socket(int type, uint16_t* port) {
  wlink::UniqueFd fd(::socket(AF_INET, type | SOCK_CLOEXEC, 0));
  sockaddr_in a{AF_INET, 0, {htonl(INADDR_LOOPBACK)}, {}};
  socklen_t len = sizeof a;
  if (::bind(fd.get(), reinterpret_cast<sockaddr*>(&a), len) != 0 ||
      ::getsockname(fd.get(), reinterpret_cast<sockaddr*>(&a), &len) != 0)
    ADD_FAILURE() << "no loopback socket";
  *port = ntohs(a.sin_port);
  return fd;
}

inline uint16_t free_port(int type) {
  uint16_t port = 0;
  loopback_socket(type, &port);
  return port;
}

// Raw end of a link, for tests where the exact bytes are the point: the
// serial line (to == 0) or a UDP socket sending to port `to`.
struct Wire {
  wlink::UniqueFd fd;
  uint16_t to = 0, port = 0;

  static Wire serial(const std::string& tty) {
    Wire w{wlink::UniqueFd(::open(tty.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC))};
    termios t{};
    EXPECT_EQ(::tcgetattr(w.fd.get(), &t), 0) << tty;
    ::cfmakeraw(&t);
    ::tcsetattr(w.fd.get(), TCSANOW, &t);
    return w;
  }
  static Wire udp(uint16_t to) {
    Wire w;
    w.fd = loopback_socket(SOCK_DGRAM, &w.port);
    w.to = to;
    return w;
  }
  void send(const std::string& hex_bytes) {
    const Bytes b = unhex(hex_bytes);
    sockaddr_in a{AF_INET, htons(to), {htonl(INADDR_LOOPBACK)}, {}};
    const ssize_t n = to ? ::sendto(fd.get(), b.data(), b.size(), 0, reinterpret_cast<sockaddr*>(&a), sizeof a)
                         : ::write(fd.get(), b.data(), b.size());
    EXPECT_EQ(n, static_cast<ssize_t>(b.size()));
  }
  // Serial: up to n bytes within timeout_ms. UDP: one datagram, or nothing.
  std::string recv(size_t n, int timeout_ms) {
    Bytes got;
    const auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeout_ms);
    while (got.size() < n) {
      const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(end - std::chrono::steady_clock::now());
      pollfd p{fd.get(), POLLIN, 0};
      if (left.count() <= 0 || ::poll(&p, 1, static_cast<int>(left.count())) <= 0) break;
      uint8_t buf[512];
      const ssize_t r = ::read(fd.get(), buf, to ? sizeof buf : std::min(sizeof buf, n - got.size()));
      if (r > 0) got.insert(got.end(), buf, buf + r);
      if (r > 0 && to) break;
    }
    return hex(got);
  }
};

// The fixture: a temp folder holding the module root and the sim's logs, a
// running sim on it with free ports, and the host clients on both links.
class SimModule : public ::testing::Test {
 protected:
  virtual int time_scale() const { return 1; }
  virtual bool autostart() const { return true; }

  void SetUp() override {
    std::string dir = (std::filesystem::temp_directory_path() / "wlinke2e.XXXXXX").string();
    ASSERT_NE(mkdtemp(dir.data()), nullptr);
    base_ = dir;
    root_ = base_ + "/root";
    if (autostart()) {
      ASSERT_TRUE(start());
    }
  }

  void TearDown() override {
    serial_.close();
    udp_.close();
    if (pid_ > 0) {
      EXPECT_EQ(stop(), 0) << "wait status after SIGTERM";
    }
    if (HasFailure())
      std::cerr << "---- stderr\n" << errlog() << "---- log\n" << log() << "---- events\n"
                << read_file(path("/sim/events")) << "---- state\n" << read_file(path("/sim/state"));
    std::error_code ec;
    std::filesystem::remove_all(base_, ec);
  }

  // Starts the sim with these arguments; stdout and stderr go to files in base_.
  void spawn(std::vector<std::string> args) {
    ++runs_;
    // WLINK_SIM, when set, runs the simulated module instead of the one built here,
    // e.g. "qemu-mipsel -L /usr/mipsel-linux-gnu build-mipsel/sim/wlinkcmd-sim".
    std::istringstream sim(getenv("WLINK_SIM") ? getenv("WLINK_SIM") : "");
    Lines cmd{std::istream_iterator<std::string>(sim), {}};
    if (cmd.empty()) cmd.push_back(WLINK_SIM_PATH);
    args.insert(args.begin(), cmd.begin(), cmd.end());
    std::vector<char*> argv;
    for (std::string& a : args) argv.push_back(a.data());
    argv.push_back(nullptr);
    posix_spawn_file_actions_t fa;
    posix_spawn_file_actions_init(&fa);
    posix_spawn_file_actions_addopen(&fa, 0, "/dev/null", O_RDONLY, 0);
    posix_spawn_file_actions_addopen(&fa, 1, log_path(".out").c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    posix_spawn_file_actions_addopen(&fa, 2, log_path(".err").c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    if (posix_spawnp(&pid_, argv[0], &fa, nullptr, argv.data(), environ) != 0) pid_ = -1;
    posix_spawn_file_actions_destroy(&fa);
    ASSERT_GT(pid_, 0) << "cannot start " << argv[0];
  }

  // The sim's wait status once it ended, or nullopt if it runs on after timeout_ms.
  std::optional<int> wait_exit(int timeout_ms) {
    int st = -1;
    if (!wait_until([&] { return pid_ <= 0 || ::waitpid(pid_, &st, WNOHANG) == pid_; }, timeout_ms)) return {};
    pid_ = -1;
    return st;
  }

  int stop() {
    if (pid_ <= 0) return -1;
    ::kill(pid_, SIGTERM);
    if (std::optional<int> st = wait_exit(5000)) return *st;
    ::kill(pid_, SIGKILL);
    wait_exit(5000);
    return -1;
  }

  // Sim on root_ with fresh ports, ready, with both clients open. A sim that
  // ends before its ready line lost a port race: try again with others.
  bool start() {
    for (int attempt = 0; attempt < 3; ++attempt) {
      udp_port_ = free_port(SOCK_DGRAM);
      upgrade_port_ = free_port(SOCK_STREAM);
      spawn({"--root", root_, "--bind", "127.0.0.1", "--udp-port", std::to_string(udp_port_), "--upgrade-port",
             std::to_string(upgrade_port_), "--time-scale", std::to_string(time_scale())});
      if (!wait_ready(1)) continue;
      std::string err;
      serial_.set_pace_ms(wlink::kDefaultPaceMs / time_scale());
      EXPECT_TRUE(serial_.open(path("/sim/tty"), &err) && udp_.open("127.0.0.1", udp_port_, &err)) << err;
      return err.empty();
    }
    ADD_FAILURE() << "the sim never got ready; stderr:\n" << errlog();
    return false;
  }

  Lines ready_lines() const {
    Lines out;
    for (const std::string& l : split_lines(errlog()))
      if (l.rfind("wlinkcmd-sim: ready ", 0) == 0) out.push_back(l);
    return out;
  }
  bool wait_ready(size_t n) {
    wait_until([&] { return ready_lines().size() >= n || wait_exit(0); }, 10000);
    return ready_lines().size() >= n && pid_ > 0;
  }

  // One command over a link; no reply fails the test.
  std::string serial(const std::string& cmd) {
    std::string err;
    std::optional<std::string> r = serial_.command(cmd, 3000, &err);
    EXPECT_TRUE(r) << "serial \"" << cmd << "\": " << err;
    return r.value_or("<no reply>");
  }
  std::string udp(const std::string& cmd) {
    std::string err;
    std::optional<std::string> r = udp_.command(cmd, 1500, 1, &err);
    EXPECT_TRUE(r) << "udp \"" << cmd << "\": " << err;
    return r.value_or("<no reply>");
  }

  std::string log_path(const char* ext) const { return base_ + "/sim" + std::to_string(runs_) + ext; }
  std::string log() const { return read_file(log_path(".out")); }
  std::string errlog() const { return read_file(log_path(".err")); }
  bool log_has(const std::string& text) const {
    return wait_until([&] { return log().find(text) != std::string::npos; }, 2000);
  }
  std::string path(const std::string& p) const { return root_ + p; }
  std::string profile() const { return read_file(path("/config/mt7628.dat")); }
  std::string dhcp_conf() const { return read_file(path("/etc/udhcpd.conf")); }
  size_t event_mark() const { return read_file(path("/sim/events")).size(); }
  Lines events_since(size_t mark) const { return split_lines(read_file(path("/sim/events")).substr(mark)); }
  std::string state(const std::string& key) const {
    for (const std::string& l : split_lines(read_file(path("/sim/state"))))
      if (l.rfind(key + "=", 0) == 0) return l.substr(key.size() + 1);
    return "<none>";
  }

  std::string base_, root_;
  pid_t pid_ = -1;
  int runs_ = 0;
  uint16_t udp_port_ = 0, upgrade_port_ = 0;
  wlink::SerialClient serial_;
  wlink::UdpClient udp_;
};

}  // namespace e2e
