#include "sim_module.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <stdlib.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <sstream>
#include <thread>

extern char** environ;

namespace fs = std::filesystem;

namespace e2e {

namespace {

constexpr int kReadyTimeoutMs = 10000;
constexpr int kStopTimeoutMs = 5000;
constexpr int kSerialTimeoutMs = 3000;
constexpr char kReadyPrefix[] = "wlinkcmd-sim: ready ";

int ms_left(Clock::time_point deadline) {
  auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
  return left <= 0 ? 0 : static_cast<int>(left);
}

std::string tail(const std::string& text, size_t lines) {
  std::vector<std::string> all = split_lines(text);
  std::string out;
  for (size_t i = all.size() > lines ? all.size() - lines : 0; i < all.size(); ++i) out += all[i] + "\n";
  return out;
}

}  // namespace

std::string read_file(const std::string& path, bool* ok) {
  std::ifstream in(path, std::ios::binary);
  if (ok) *ok = static_cast<bool>(in);
  if (!in) return "";
  std::stringstream ss;
  ss << in.rdbuf();
  return ss.str();
}

bool write_file(const std::string& path, const std::string& text) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out << text;
  return static_cast<bool>(out);
}

std::vector<std::string> split_lines(const std::string& text) {
  std::vector<std::string> lines;
  size_t pos = 0;
  while (pos < text.size()) {
    size_t nl = text.find('\n', pos);
    if (nl == std::string::npos) {
      lines.push_back(text.substr(pos));
      break;
    }
    lines.push_back(text.substr(pos, nl - pos));
    pos = nl + 1;
  }
  return lines;
}

bool wait_until(const std::function<bool()>& cond, int timeout_ms, int step_ms) {
  const auto deadline = Clock::now() + std::chrono::milliseconds(timeout_ms);
  for (;;) {
    if (cond()) return true;
    if (Clock::now() >= deadline) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(step_ms));
  }
}

uint16_t free_port(int type) {
  wlink::UniqueFd fd(::socket(AF_INET, type | SOCK_CLOEXEC, 0));
  if (!fd.valid()) return 0;
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  a.sin_port = 0;
  if (::bind(fd.get(), reinterpret_cast<sockaddr*>(&a), sizeof a) != 0) return 0;
  socklen_t len = sizeof a;
  if (::getsockname(fd.get(), reinterpret_cast<sockaddr*>(&a), &len) != 0) return 0;
  return ntohs(a.sin_port);
}

std::string hex(const Bytes& b) {
  std::string out;
  char buf[4];
  for (size_t i = 0; i < b.size(); ++i) {
    snprintf(buf, sizeof buf, "%02X", b[i]);
    if (i) out += ' ';
    out += buf;
  }
  return out;
}

std::string replace_line(const std::string& text, const std::string& prefix, const std::string& line) {
  std::vector<std::string> lines = split_lines(text);
  int hits = 0;
  for (std::string& l : lines) {
    if (l.compare(0, prefix.size(), prefix) == 0) {
      l = line;
      ++hits;
    }
  }
  if (hits != 1) return "";
  std::string out;
  for (const std::string& l : lines) out += l + "\n";
  if (!text.empty() && text.back() != '\n') out.pop_back();
  return out;
}

std::string factory_template(const std::string& name) { return read_file(std::string(WLINK_FACTORY_DIR) + "/" + name); }

std::optional<std::string> value_of(const std::string& text, const std::string& key) {
  for (const std::string& l : split_lines(text))
    if (l.compare(0, key.size() + 1, key + "=") == 0) return l.substr(key.size() + 1);
  return std::nullopt;
}

std::string factory_value(const std::string& key) {
  return value_of(factory_template("mt7628.dat"), key).value_or("");
}

// ---------------------------------------------------------------------------
// RawSerial

bool RawSerial::open(const std::string& path, std::string* err) {
  wlink::UniqueFd fd(::open(path.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC));
  if (!fd.valid()) {
    if (err) *err = "open " + path + ": " + std::strerror(errno);
    return false;
  }
  termios t{};
  if (::tcgetattr(fd.get(), &t) != 0) {
    if (err) *err = path + " is not a terminal";
    return false;
  }
  ::cfmakeraw(&t);
  t.c_cc[VMIN] = 0;
  t.c_cc[VTIME] = 0;
  ::cfsetispeed(&t, B115200);
  ::cfsetospeed(&t, B115200);
  if (::tcsetattr(fd.get(), TCSANOW, &t) != 0) {
    if (err) *err = "tcsetattr " + path + ": " + std::strerror(errno);
    return false;
  }
  ::tcflush(fd.get(), TCIFLUSH);
  fd_ = std::move(fd);
  return true;
}

bool RawSerial::write_bytes(const Bytes& b) {
  size_t done = 0;
  const auto deadline = Clock::now() + std::chrono::seconds(2);
  while (done < b.size()) {
    ssize_t w = ::write(fd_.get(), b.data() + done, b.size() - done);
    if (w > 0) {
      done += static_cast<size_t>(w);
      continue;
    }
    if (w < 0 && errno != EAGAIN && errno != EINTR) return false;
    if (Clock::now() >= deadline) return false;
    pollfd p{fd_.get(), POLLOUT, 0};
    ::poll(&p, 1, 10);
  }
  return true;
}

Bytes RawSerial::read_bytes(size_t n, int timeout_ms, std::vector<Clock::time_point>* arrivals) {
  Bytes out;
  const auto deadline = Clock::now() + std::chrono::milliseconds(timeout_ms);
  while (out.size() < n) {
    pollfd p{fd_.get(), POLLIN, 0};
    int r = ::poll(&p, 1, ms_left(deadline));
    if (r < 0 && errno == EINTR) continue;
    if (r <= 0) break;
    uint8_t buf[256];
    size_t want = std::min(sizeof buf, n - out.size());
    ssize_t got = ::read(fd_.get(), buf, want);
    if (got < 0 && (errno == EAGAIN || errno == EINTR)) continue;
    if (got <= 0) break;
    const auto now = Clock::now();
    out.insert(out.end(), buf, buf + got);
    if (arrivals) arrivals->insert(arrivals->end(), static_cast<size_t>(got), now);
  }
  return out;
}

void RawSerial::discard_input() { ::tcflush(fd_.get(), TCIFLUSH); }

// ---------------------------------------------------------------------------
// RawUdp

bool RawUdp::open(std::string* err) {
  wlink::UniqueFd fd(::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0));
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t len = sizeof a;
  if (!fd.valid() || ::bind(fd.get(), reinterpret_cast<sockaddr*>(&a), sizeof a) != 0 ||
      ::getsockname(fd.get(), reinterpret_cast<sockaddr*>(&a), &len) != 0) {
    if (err) *err = std::string("udp socket: ") + std::strerror(errno);
    return false;
  }
  local_port_ = ntohs(a.sin_port);
  fd_ = std::move(fd);
  return true;
}

bool RawUdp::send_to(uint16_t port, const Bytes& b) {
  sockaddr_in to{};
  to.sin_family = AF_INET;
  to.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  to.sin_port = htons(port);
  ssize_t s = ::sendto(fd_.get(), b.data(), b.size(), 0, reinterpret_cast<sockaddr*>(&to), sizeof to);
  return s == static_cast<ssize_t>(b.size());
}

std::optional<Bytes> RawUdp::receive(int timeout_ms) {
  const auto deadline = Clock::now() + std::chrono::milliseconds(timeout_ms);
  for (;;) {
    pollfd p{fd_.get(), POLLIN, 0};
    int r = ::poll(&p, 1, ms_left(deadline));
    if (r < 0 && errno == EINTR) continue;
    if (r <= 0) return std::nullopt;
    uint8_t buf[2048];
    ssize_t n = ::recv(fd_.get(), buf, sizeof buf, MSG_DONTWAIT);
    if (n < 0) {
      // An ICMP "port unreachable" from an earlier send is not a reply.
      if (errno == EAGAIN || errno == EINTR || errno == ECONNREFUSED) continue;
      return std::nullopt;
    }
    return Bytes(buf, buf + n);
  }
}

// ---------------------------------------------------------------------------
// SimProcess

SimProcess SimProcess::spawn(const std::vector<std::string>& args, const std::string& out_path,
                             const std::string& err_path) {
  SimProcess p;
  p.out_path = out_path;
  p.err_path = err_path;
  posix_spawn_file_actions_t fa;
  posix_spawn_file_actions_init(&fa);
  posix_spawn_file_actions_addopen(&fa, 0, "/dev/null", O_RDONLY, 0);
  posix_spawn_file_actions_addopen(&fa, 1, out_path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
  posix_spawn_file_actions_addopen(&fa, 2, err_path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
  // WLINK_SIM, when set, is the command that runs the simulated module instead of the
  // one built here, e.g. "qemu-mipsel -L /usr/mipsel-linux-gnu build-mipsel/sim/wlinkcmd-sim".
  std::vector<std::string> words = args;
  const char* sim = getenv("WLINK_SIM");
  if (sim != nullptr && *sim != '\0' && !words.empty() && words[0] == WLINK_SIM_PATH) {
    std::istringstream in(sim);
    std::vector<std::string> cmd{std::istream_iterator<std::string>(in), std::istream_iterator<std::string>()};
    words.erase(words.begin());
    words.insert(words.begin(), cmd.begin(), cmd.end());
  }
  std::vector<char*> argv;
  for (const std::string& a : words) argv.push_back(const_cast<char*>(a.c_str()));
  argv.push_back(nullptr);
  pid_t pid = -1;
  if (posix_spawnp(&pid, argv[0], &fa, nullptr, argv.data(), environ) == 0) p.pid = pid;
  posix_spawn_file_actions_destroy(&fa);
  return p;
}

std::optional<int> SimProcess::wait_exit(int timeout_ms) {
  if (pid <= 0) return status;
  std::optional<int> result;
  wait_until(
      [&] {
        int st = 0;
        pid_t r = ::waitpid(pid, &st, WNOHANG);
        if (r == pid) {
          status = st;
          pid = -1;
          result = st;
          return true;
        }
        return false;
      },
      timeout_ms, 5);
  return result;
}

// ---------------------------------------------------------------------------
// SimModule

void SimModule::SetUp() {
  std::string tmpl = (fs::temp_directory_path() / "wlinke2e.XXXXXX").string();
  ASSERT_NE(mkdtemp(tmpl.data()), nullptr) << std::strerror(errno);
  base_ = tmpl;
  root_ = base_ + "/root";
  ASSERT_TRUE(start());
}

void SimModule::TearDown() {
  serial_.close();
  udp_.close();
  if (sim_.running()) {
    int st = stop();
    EXPECT_TRUE(st != -1 && WIFEXITED(st) && WEXITSTATUS(st) == 0) << "sim ended with wait status " << st;
  }
  if (HasFailure()) {
    std::cerr << "---- sim stderr (" << sim_.err_path << ")\n"
              << tail(errlog(), 20) << "---- sim log, last lines\n"
              << tail(log(), 40) << "---- events\n"
              << tail(read_file(path("/sim/events")), 20) << "---- state\n"
              << read_file(path("/sim/state"));
  }
  std::error_code ec;
  if (!base_.empty()) fs::remove_all(base_, ec);
}

bool SimModule::start() {
  for (int attempt = 0; attempt < 3; ++attempt) {
    ++runs_;
    const uint16_t udp_port = free_port(SOCK_DGRAM);
    const uint16_t upgrade_port = free_port(SOCK_STREAM);
    if (udp_port == 0 || upgrade_port == 0) {
      ADD_FAILURE() << "no free port";
      return false;
    }
    std::vector<std::string> args = {WLINK_SIM_PATH,      "--root",         root_,
                                     "--bind",            "127.0.0.1",      "--udp-port",
                                     std::to_string(udp_port), "--upgrade-port", std::to_string(upgrade_port),
                                     "--time-scale",      std::to_string(time_scale())};
    const std::string n = std::to_string(runs_);
    sim_ = SimProcess::spawn(args, base_ + "/sim" + n + ".out", base_ + "/sim" + n + ".err");
    if (!sim_.running()) {
      ADD_FAILURE() << "cannot start " << WLINK_SIM_PATH;
      return false;
    }
    sim_.udp_port = udp_port;
    sim_.upgrade_port = upgrade_port;
    if (!wait_ready(1, kReadyTimeoutMs)) {
      if (!sim_.running()) continue;  // ended early: try other ports
      ADD_FAILURE() << "no ready line within " << kReadyTimeoutMs << " ms; stderr:\n" << errlog();
      return false;
    }
    std::string err;
    if (!serial_.open(root_ + "/sim/tty", &err)) {
      ADD_FAILURE() << "serial line: " << err;
      return false;
    }
    serial_.set_pace_ms(wlink::kDefaultPaceMs / time_scale());
    if (!udp_.open("127.0.0.1", udp_port, &err)) {
      ADD_FAILURE() << "udp client: " << err;
      return false;
    }
    return true;
  }
  ADD_FAILURE() << "the sim ended before it was ready, three times; stderr:\n" << errlog();
  return false;
}

int SimModule::stop() {
  if (!sim_.running()) return sim_.status;
  ::kill(sim_.pid, SIGTERM);
  std::optional<int> st = sim_.wait_exit(kStopTimeoutMs);
  if (!st) {
    ::kill(sim_.pid, SIGKILL);
    sim_.wait_exit(kStopTimeoutMs);
    return -1;
  }
  return *st;
}

std::vector<std::string> SimModule::ready_lines() const {
  std::vector<std::string> out;
  for (const std::string& l : split_lines(errlog()))
    if (l.compare(0, sizeof kReadyPrefix - 1, kReadyPrefix) == 0) out.push_back(l);
  return out;
}

bool SimModule::wait_ready(int count, int timeout_ms) {
  return wait_until(
      [&] {
        if (static_cast<int>(ready_lines().size()) >= count) return true;
        // An ended sim will never get ready.
        return !sim_.running() || sim_.wait_exit(0).has_value();
      },
      timeout_ms) &&
         static_cast<int>(ready_lines().size()) >= count;
}

std::string SimModule::serial(const std::string& cmd) {
  std::string err;
  std::optional<std::string> r = serial_.command(cmd, kSerialTimeoutMs, &err);
  if (!r) {
    ADD_FAILURE() << "serial command \"" << cmd << "\": " << err;
    return "<no reply: " + err + ">";
  }
  return *r;
}

std::string SimModule::udp(const std::string& cmd) {
  std::string err;
  std::optional<std::string> r = udp_.command(cmd, 1500, 1, &err);
  if (!r) {
    ADD_FAILURE() << "udp command \"" << cmd << "\": " << err;
    return "<no reply: " + err + ">";
  }
  return *r;
}

std::vector<std::string> SimModule::events_since(size_t mark) const {
  std::vector<std::string> all = events();
  if (mark >= all.size()) return {};
  return std::vector<std::string>(all.begin() + static_cast<long>(mark), all.end());
}

std::map<std::string, std::string> SimModule::state() const {
  std::map<std::string, std::string> m;
  for (const std::string& l : split_lines(read_file(path("/sim/state")))) {
    size_t eq = l.find('=');
    if (eq != std::string::npos) m[l.substr(0, eq)] = l.substr(eq + 1);
  }
  return m;
}

bool SimModule::log_has(const std::string& text, int timeout_ms) const {
  return wait_until([&] { return log().find(text) != std::string::npos; }, timeout_ms);
}

}  // namespace e2e
