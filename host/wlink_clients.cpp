// Serial and UDP clients.
#include "wlink_host.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netdb.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstring>
#include <thread>

namespace wlink {

namespace {

using Clock = std::chrono::steady_clock;

void set_err(std::string* err, std::string msg) {
  if (err) *err = std::move(msg);
}

std::string errno_text(const std::string& what) {
  return what + ": " + std::strerror(errno);
}

// Milliseconds left until the deadline, never negative.
int ms_left(Clock::time_point deadline) {
  const auto left =
      std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
  if (left <= 0) return 0;
  return left > 1000000 ? 1000000 : static_cast<int>(left);
}

Clock::time_point deadline_in(int ms) {
  return Clock::now() + std::chrono::milliseconds(ms < 0 ? 0 : ms);
}

// Waits until fd is ready for `events`. 1 ready, 0 time up, -1 error (err set).
int wait_fd(int fd, short events, Clock::time_point deadline, std::string* err) {
  for (;;) {
    pollfd p{fd, events, 0};
    const int r = ::poll(&p, 1, ms_left(deadline));
    if (r < 0) {
      if (errno == EINTR) continue;
      set_err(err, errno_text("poll"));
      return -1;
    }
    if (r == 0) return 0;
    if (p.revents & events) return 1;
    if (p.revents & POLLNVAL) {
      set_err(err, "descriptor not open");
      return -1;
    }
    if (p.revents & (POLLERR | POLLHUP)) {
      set_err(err, "link hung up");
      return -1;
    }
  }
}

uint8_t initial_seq() {
  const auto t = static_cast<unsigned long long>(Clock::now().time_since_epoch().count());
  return static_cast<uint8_t>((t ^ (t >> 8) ^ (t >> 16) ^ static_cast<unsigned>(::getpid())) & 0xFF);
}

}  // namespace

// ---------------------------------------------------------------------------
// SerialClient

bool SerialClient::open(const std::string& dev, std::string* err) {
  fd_.reset();
  UniqueFd fd(::open(dev.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC));
  if (!fd.valid()) {
    set_err(err, errno_text("cannot open " + dev));
    return false;
  }
  termios tio{};
  if (::tcgetattr(fd.get(), &tio) != 0) {
    set_err(err, errno_text(dev + " is not a serial port"));
    return false;
  }
  ::cfmakeraw(&tio);
  tio.c_cflag &= ~static_cast<tcflag_t>(CSIZE | PARENB | CSTOPB | CRTSCTS);
  tio.c_cflag |= CS8 | CLOCAL | CREAD;
  tio.c_iflag &= ~static_cast<tcflag_t>(IXON | IXOFF | IXANY);
  tio.c_cc[VMIN] = 0;  // reads never wait; poll does the waiting
  tio.c_cc[VTIME] = 0;
  if (::cfsetispeed(&tio, B115200) != 0 || ::cfsetospeed(&tio, B115200) != 0 ||
      ::tcsetattr(fd.get(), TCSANOW, &tio) != 0) {
    set_err(err, errno_text("cannot set up " + dev));
    return false;
  }
  ::tcflush(fd.get(), TCIFLUSH);
  fd_ = std::move(fd);
  return true;
}

bool SerialClient::write_all(const uint8_t* p, size_t n, int timeout_ms, std::string* err) {
  const auto deadline = deadline_in(timeout_ms);
  while (n > 0) {
    const ssize_t w = ::write(fd_.get(), p, n);
    if (w > 0) {
      p += w;
      n -= static_cast<size_t>(w);
      continue;
    }
    if (w < 0 && errno == EINTR) continue;
    if (w < 0 && errno != EAGAIN && errno != EWOULDBLOCK) {
      set_err(err, errno_text("write"));
      return false;
    }
    const int r = wait_fd(fd_.get(), POLLOUT, deadline, err);
    if (r < 0) return false;
    if (r == 0) {
      set_err(err, "write timed out");
      return false;
    }
  }
  return true;
}

std::optional<std::string> SerialClient::command(std::string_view cmd, int timeout_ms,
                                                 std::string* err) {
  if (!fd_.valid()) {
    set_err(err, "serial port not open");
    return std::nullopt;
  }
  std::vector<Frame> frames;
  if (!encode_command_frames(cmd, &frames, err)) return std::nullopt;

  ::tcflush(fd_.get(), TCIFLUSH);  // a late reply to an earlier command is stale now
  for (size_t i = 0; i < frames.size(); ++i) {
    if (!write_all(frames[i].data(), frames[i].size(), timeout_ms, err)) return std::nullopt;
    if (i + 1 < frames.size() && pace_ms_ > 0)
      std::this_thread::sleep_for(std::chrono::milliseconds(pace_ms_));
  }

  // Frames may arrive split over reads or several in one read, and line noise
  // may shift them: the stream keeps what was read and finds them.
  wifi_frame_stream stream;
  wifi_frame_stream_init(&stream, kMaxReplyLen);
  const auto deadline = deadline_in(timeout_ms);
  for (;;) {
    const int r = wait_fd(fd_.get(), POLLIN, deadline, err);
    if (r < 0) return std::nullopt;
    if (r == 0) {
      set_err(err, "no reply within " + std::to_string(timeout_ms) + " ms");
      return std::nullopt;
    }
    size_t room;
    uint8_t* at = wifi_frame_stream_space(&stream, &room);
    const ssize_t got = ::read(fd_.get(), at, room);
    if (got < 0) {
      if (errno == EINTR || errno == EAGAIN || errno == EWOULDBLOCK) continue;
      set_err(err, errno_text("read"));
      return std::nullopt;
    }
    if (got == 0) {  // the other end of the line is gone: no reply will come
      set_err(err, "link hung up");
      return std::nullopt;
    }
    wifi_frame_stream_commit(&stream, static_cast<size_t>(got));
    for (wifi_frame_take t; (t = wifi_frame_stream_take(&stream)) != WIFI_FRAME_NONE;)
      if (t == WIFI_FRAME_DONE) return std::string(stream.msg, stream.msg_len);
  }
}

// ---------------------------------------------------------------------------
// UdpClient

static_assert(sizeof(sockaddr_in) <= sizeof(std::array<uint8_t, 16>), "sockaddr_in size");

bool UdpClient::open(const std::string& host, uint16_t port, std::string* err) {
  fd_.reset();
  if (port == 0) {
    set_err(err, "port 0 is not valid");
    return false;
  }
  addrinfo hints{};
  hints.ai_family = AF_INET;
  hints.ai_socktype = SOCK_DGRAM;
  addrinfo* res = nullptr;
  const int rc = ::getaddrinfo(host.c_str(), nullptr, &hints, &res);
  if (rc != 0 || !res) {
    set_err(err, "cannot resolve " + host + ": " + ::gai_strerror(rc));
    return false;
  }
  sockaddr_in sin{};
  std::memcpy(&sin, res->ai_addr, sizeof sin);
  ::freeaddrinfo(res);
  sin.sin_family = AF_INET;
  sin.sin_port = htons(port);

  UniqueFd fd(::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0));
  if (!fd.valid()) {
    set_err(err, errno_text("socket"));
    return false;
  }
  std::memcpy(addr_.data(), &sin, sizeof sin);
  fd_ = std::move(fd);
  seq_ = initial_seq();
  return true;
}

std::optional<std::string> UdpClient::command(std::string_view cmd, int timeout_ms, int retries,
                                              std::string* err) {
  if (!fd_.valid()) {
    set_err(err, "UDP socket not open");
    return std::nullopt;
  }
  const auto seq = static_cast<uint8_t>(seq_ + 1);
  std::vector<uint8_t> dgram;
  if (!encode_udp_command(seq, cmd, &dgram, err)) return std::nullopt;
  seq_ = seq;

  sockaddr_in to{};
  std::memcpy(&to, addr_.data(), sizeof to);
  uint8_t buf[512];
  const int attempts = 1 + (retries < 0 ? 0 : retries);
  for (int a = 0; a < attempts; ++a) {
    ssize_t s;
    do {
      s = ::sendto(fd_.get(), dgram.data(), dgram.size(), 0, reinterpret_cast<sockaddr*>(&to),
                   sizeof to);
    } while (s < 0 && errno == EINTR);
    if (s < 0) {
      set_err(err, errno_text("sendto"));
      return std::nullopt;
    }
    const auto deadline = deadline_in(timeout_ms);
    for (;;) {
      const int r = wait_fd(fd_.get(), POLLIN, deadline, err);
      if (r < 0) return std::nullopt;
      if (r == 0) break;
      const ssize_t n = ::recv(fd_.get(), buf, sizeof buf, MSG_TRUNC | MSG_DONTWAIT);
      if (n < 0) {
        if (errno == EINTR || errno == EAGAIN || errno == EWOULDBLOCK || errno == ECONNREFUSED)
          continue;
        set_err(err, errno_text("recv"));
        return std::nullopt;
      }
      if (static_cast<size_t>(n) > sizeof buf) continue;  // oversized: not a reply
      std::string text;
      if (decode_udp_reply(buf, static_cast<size_t>(n), seq, &text) == ReplyCheck::Ok)
        return text;
    }
  }
  set_err(err, "no reply within " + std::to_string(timeout_ms) + " ms after " +
                   std::to_string(attempts) + (attempts == 1 ? " try" : " tries"));
  return std::nullopt;
}

}  // namespace wlink
