// Benchmark helpers: run wlinkcmd-sim on a throw-away root with free
// loopback ports, wait for its ready line, stop it again; a watchdog that
// ends a stuck benchmark; latency figures.
#pragma once

#include <arpa/inet.h>
#include <netinet/in.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>
#include <fcntl.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#ifndef WLINK_SIM_PATH
#define WLINK_SIM_PATH "wlinkcmd-sim"
#endif
#ifndef WLINK_BUILD_TYPE
#define WLINK_BUILD_TYPE "unknown"
#endif

namespace bench {

using Clock = std::chrono::steady_clock;

inline double ms_since(Clock::time_point t0) {
  return std::chrono::duration<double, std::milli>(Clock::now() - t0).count();
}

inline std::string build_description() {
  std::string s = WLINK_BUILD_TYPE[0] ? WLINK_BUILD_TYPE : "(none)";
#ifdef NDEBUG
  s += ", NDEBUG";
#endif
#ifdef WLINK_BENCH_SANITIZE
  s += ", sanitizers ON (figures not representative)";
#endif
  return s;
}

// A loopback port nobody holds right now (type SOCK_DGRAM or SOCK_STREAM).
inline int free_port(int type) {
  int fd = ::socket(AF_INET, type | SOCK_CLOEXEC, 0);
  if (fd < 0) return -1;
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t len = sizeof a;
  int port = -1;
  if (::bind(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) == 0 &&
      ::getsockname(fd, reinterpret_cast<sockaddr*>(&a), &len) == 0)
    port = ntohs(a.sin_port);
  ::close(fd);
  return port;
}

namespace detail {
inline volatile pid_t g_watch_pgid = -1;
inline void on_alarm(int) {
  static const char msg[] = "bench: time limit reached, stopping\n";
  ssize_t w = ::write(2, msg, sizeof msg - 1);
  (void)w;
  if (g_watch_pgid > 0) ::kill(-g_watch_pgid, SIGTERM);
  ::_exit(2);
}
}  // namespace detail

// Ends the process (and the simulator it started) after `seconds`.
inline void arm_watchdog(unsigned seconds) {
  ::signal(SIGALRM, detail::on_alarm);
  ::alarm(seconds);
}

class SimProcess {
 public:
  SimProcess() = default;
  SimProcess(const SimProcess&) = delete;
  SimProcess& operator=(const SimProcess&) = delete;
  ~SimProcess() { stop(); }

  // Starts the simulator and waits up to 10 s for its ready line. Tries
  // again with other ports if the daemon ends early (a port got taken).
  bool start(const std::string& sim_path, int time_scale, std::string* err) {
    char tmpl[] = "/tmp/wlink-bench.XXXXXX";
    if (!::mkdtemp(tmpl)) {
      *err = std::string("mkdtemp: ") + std::strerror(errno);
      return false;
    }
    base_ = tmpl;
    for (int attempt = 0; attempt < 3; ++attempt) {
      udp_port = free_port(SOCK_DGRAM);
      upgrade_port = free_port(SOCK_STREAM);
      if (udp_port < 0 || upgrade_port < 0) {
        *err = "no free loopback port";
        return false;
      }
      if (spawn(sim_path, time_scale, err) && wait_ready(err)) return true;
      stop_process();
    }
    return false;
  }

  // SIGTERM, then up to 5 s for a clean exit before the whole group is killed.
  // Returns the simulator's exit status (-1 if it had to be killed).
  int stop() {
    int rc = stop_process();
    if (!base_.empty()) {
      std::error_code ec;
      std::filesystem::remove_all(base_, ec);
      base_.clear();
    }
    return rc;
  }

  std::string log_tail() const { return read_file(base_ + "/stderr.log"); }

  std::string root, tty;
  int udp_port = -1, upgrade_port = -1;

 private:
  static std::string read_file(const std::string& path) {
    std::ifstream in(path);
    std::stringstream ss;
    ss << in.rdbuf();
    return ss.str();
  }

  bool spawn(const std::string& sim_path, int time_scale, std::string* err) {
    root = base_ + "/root";
    const std::string log = base_ + "/stderr.log";
    std::vector<std::string> args = {sim_path, "--root", root, "--bind", "127.0.0.1",
                                     "--udp-port", std::to_string(udp_port),
                                     "--upgrade-port", std::to_string(upgrade_port),
                                     "--time-scale", std::to_string(time_scale)};
    std::vector<char*> argv;
    for (auto& a : args) argv.push_back(a.data());
    argv.push_back(nullptr);
    std::fflush(nullptr);
    pid_ = ::fork();
    if (pid_ < 0) {
      *err = std::string("fork: ") + std::strerror(errno);
      return false;
    }
    if (pid_ == 0) {
      ::setpgid(0, 0);
      int out = ::open("/dev/null", O_WRONLY);
      int errfd = ::open(log.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
      if (out < 0 || errfd < 0) ::_exit(127);
      ::dup2(out, 1);
      ::dup2(errfd, 2);
      ::execv(argv[0], argv.data());
      std::fprintf(stderr, "cannot run %s: %s\n", argv[0], std::strerror(errno));
      ::_exit(127);
    }
    ::setpgid(pid_, pid_);
    detail::g_watch_pgid = pid_;
    return true;
  }

  bool wait_ready(std::string* err) {
    const auto t0 = Clock::now();
    const std::string key = "wlinkcmd-sim: ready serial=";
    while (ms_since(t0) < 10000) {
      std::istringstream lines(log_tail());
      for (std::string line; std::getline(lines, line);) {
        if (line.rfind(key, 0) != 0) continue;
        tty = line.substr(key.size(), line.find(' ', key.size()) - key.size());
        return true;
      }
      int status;
      if (::waitpid(pid_, &status, WNOHANG) == pid_) {
        pid_ = -1;
        *err = "simulator ended before it was ready:\n" + log_tail();
        return false;
      }
      std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    *err = "simulator not ready within 10 s:\n" + log_tail();
    return false;
  }

  int stop_process() {
    if (pid_ <= 0) return -1;
    ::kill(pid_, SIGTERM);
    int status = 0, rc = -1;
    const auto t0 = Clock::now();
    for (;;) {
      pid_t r = ::waitpid(pid_, &status, WNOHANG);
      if (r == pid_) {
        rc = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
        break;
      }
      if (r < 0 || ms_since(t0) > 5000) {
        ::kill(-pid_, SIGKILL);
        ::waitpid(pid_, &status, 0);
        break;
      }
      std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    pid_ = -1;
    detail::g_watch_pgid = -1;
    return rc;
  }

  std::string base_;
  pid_t pid_ = -1;
};

// Latency figures over a set of samples (milliseconds).
struct Figures {
  double median = 0, p99 = 0, min = 0, max = 0;
  size_t n = 0;
};

inline Figures figures(std::vector<double> v) {
  Figures f;
  f.n = v.size();
  if (v.empty()) return f;
  std::sort(v.begin(), v.end());
  auto rank = [&](double q) {  // nearest rank
    size_t i = static_cast<size_t>(q * static_cast<double>(v.size()) + 0.999999);
    return v[std::min(v.size(), std::max<size_t>(i, 1)) - 1];
  };
  f.median = v.size() % 2 ? v[v.size() / 2] : (v[v.size() / 2 - 1] + v[v.size() / 2]) / 2;
  f.p99 = rank(0.99);
  f.min = v.front();
  f.max = v.back();
  return f;
}

// Value of "--name V" in argv, or def.
inline std::string arg(int argc, char** argv, const char* name, const std::string& def) {
  for (int i = 1; i + 1 < argc; ++i)
    if (std::strcmp(argv[i], name) == 0) return argv[i + 1];
  return def;
}

// True, after printing "usage: PROG OPTIONS", when argv asks for help (-h or --help).
inline bool help_asked(int argc, char** argv, const char* options) {
  for (int i = 1; i < argc; ++i)
    if (!std::strcmp(argv[i], "-h") || !std::strcmp(argv[i], "--help")) {
      std::printf("usage: %s %s\n", argv[0], options);
      return true;
    }
  return false;
}

}  // namespace bench
