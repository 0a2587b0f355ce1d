// wlinkctl pack, inspect and upgrade: upgrade packages and the module's upgrade exchange.
#include <arpa/inet.h>
#include <netdb.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/random.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <iterator>
#include <map>
#include <string>
#include <thread>
#include <vector>

#include "wlink_host.h"
#include "wlink_package.h"

namespace {

using wlink::ByteVec;

enum Exit { kOk = 0, kFail = 1, kErrReply = 2, kWrongToken = 3, kRefused = 4, kLost = 5, kTimeout = 6 };

int fail(const std::string& msg, int rc = kFail) {
  std::fprintf(stderr, "wlinkctl: %s\n", msg.c_str());
  return rc;
}

bool read_file(const std::string& path, ByteVec* out) {
  std::ifstream in(path, std::ios::binary);
  if (!in) return false;
  out->assign(std::istreambuf_iterator<char>(in), {});
  return !in.bad();
}

// "--name VALUE" pairs after argv[first]; the other words in *rest. False on a name
// not in `known` or one without a value.
bool parse_opts(int argc, char** argv, int first, const std::vector<std::string>& known,
                std::map<std::string, std::string>* opts, std::vector<std::string>* rest, std::string* err) {
  for (int i = first; i < argc; ++i) {
    const std::string a = argv[i];
    if (a.size() < 2 || a[0] != '-') {
      rest->push_back(a);
      continue;
    }
    bool ok = false;
    for (const std::string& k : known) ok = ok || k == a;
    if (!ok || i + 1 >= argc) return *err = ok ? a + " needs a value" : "unknown option '" + a + "'", false;
    (*opts)[a] = argv[++i];
  }
  return true;
}

bool parse_u32(const std::string& s, uint32_t* out) {
  char* end = nullptr;
  errno = 0;
  const unsigned long long v = std::strtoull(s.c_str(), &end, 0);
  if (s.empty() || *end || errno || v > 0xFFFFFFFFull) return false;
  *out = static_cast<uint32_t>(v);
  return true;
}

int run_pack(int argc, char** argv) {
  std::map<std::string, std::string> o;
  std::vector<std::string> rest;
  std::string err;
  if (!parse_opts(argc, argv, 2,
                  {"--image", "--app", "--version", "-o", "--load", "--entry", "--compression", "--name"}, &o,
                  &rest, &err))
    return fail(err);
  if (!rest.empty() || !o.count("--image") || !o.count("--app") || !o.count("--version") || !o.count("-o"))
    return fail("usage: wlinkctl pack --image FILE --app FILE --version MAJOR.MINOR -o PACKAGE");
  unsigned major = 0, minor = 0;
  char dot = 0, extra = 0;
  if (std::sscanf(o["--version"].c_str(), "%3u%c%3u%c", &major, &dot, &minor, &extra) != 3 || dot != '.' ||
      major > 255 || minor > 255)
    return fail("bad --version '" + o["--version"] + "' (MAJOR.MINOR, each 0 to 255)");
  ByteVec image, app;
  if (!read_file(o["--image"], &image)) return fail("cannot read " + o["--image"]);
  if (!read_file(o["--app"], &app)) return fail("cannot read " + o["--app"]);
  if (app.empty()) return fail("the application part is empty; the module refuses that");
  if (image.size() >= 4 && wlink::parse_image_header(image.data()).magic == wlink::kImageMagic) {
    if (!wlink::image_is_valid(image, &err)) return fail(o["--image"] + " is a legacy image but " + err);
  } else {
    wlink::ImageHeader h;
    if (image.empty()) return fail("the image is empty; the module refuses that");
    if ((o.count("--load") && !parse_u32(o["--load"], &h.load)) ||
        (o.count("--entry") && !parse_u32(o["--entry"], &h.ep)))
      return fail("bad --load or --entry address");
    const int comp = wlink::compression_code(o.count("--compression") ? o["--compression"] : "none");
    if (comp < 0) return fail("bad --compression (none gzip bzip2 lzma lzo)");
    h.comp = static_cast<uint8_t>(comp);
    h.name = o.count("--name") ? o["--name"] : "wlink firmware";
    if (h.name.size() > 31) return fail("--name is longer than 31 characters");
    image = wlink::wrap_image(h, image);
  }
  const ByteVec pkg = wlink::build_package(image, app, static_cast<uint8_t>(major), static_cast<uint8_t>(minor));
  if (pkg.size() > wlink::kMaxPackageSize) return fail("the package is larger than 5242880 bytes");
  std::ofstream out(o["-o"], std::ios::binary | std::ios::trunc);
  out.write(reinterpret_cast<const char*>(pkg.data()), static_cast<std::streamsize>(pkg.size()));
  if (!out.flush()) return fail("cannot write " + o["-o"]);
  std::printf("%s: %zu bytes, version V%u.%u, image %zu bytes, application part %zu bytes\n", o["-o"].c_str(),
              pkg.size(), major, minor, image.size(), app.size());
  return kOk;
}

int run_inspect(int argc, char** argv) {
  if (argc != 3) return fail("usage: wlinkctl inspect PACKAGE");
  ByteVec pkg;
  if (!read_file(argv[2], &pkg)) return fail(std::string("cannot read ") + argv[2]);
  std::printf("package: %zu bytes\n", pkg.size());
  if (pkg.size() >= wlink::kPackageHeadSize) {
    const wlink::VersionHeader v = wlink::parse_version_header(pkg.data());
    std::printf("version header: magic 0x%04X  version V%u.%u  image length %u  application length %u (+7)\n",
                v.magic, v.major, v.minor, v.kernel_len, v.app_len);
    const wlink::ImageHeader h = wlink::parse_image_header(pkg.data() + wlink::kVersionHeaderSize);
    std::printf("image header: magic 0x%08X  header CRC 0x%08X  time %u  size %u\n", h.magic, h.hcrc, h.time,
                h.size);
    std::printf("  load 0x%08X  entry 0x%08X  data CRC 0x%08X  os %u  arch %u  type %u  compression %u  name \"%s\"\n",
                h.load, h.ep, h.dcrc, h.os, h.arch, h.type, h.comp, h.name.c_str());
  }
  const auto checks = wlink::check_package(pkg);
  for (const auto& c : checks) std::printf("  %-4s %s\n", c.ok ? "ok" : c.refuses ? "FAIL" : "warn", c.what.c_str());
  const bool ok = wlink::package_accepted(checks);
  std::printf("%s\n", ok ? "the module accepts this package" : "the module refuses this package");
  return ok ? kOk : kFail;
}

// ---- upgrade

struct Conn {
  wlink::UniqueFd fd;
  ByteVec pending;

  // One 8-byte message within timeout_ms: 1, 0 when the connection ended, -1 on timeout.
  int next(int32_t* type, int32_t* value, int timeout_ms) {
    const auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeout_ms);
    while (pending.size() < 8) {
      const auto left =
          std::chrono::duration_cast<std::chrono::milliseconds>(end - std::chrono::steady_clock::now()).count();
      pollfd p{fd.get(), POLLIN, 0};
      if (left <= 0 || ::poll(&p, 1, static_cast<int>(left)) == 0) return -1;
      uint8_t buf[64];
      const ssize_t n = ::recv(fd.get(), buf, sizeof buf, 0);
      if (n < 0 && errno == EINTR) continue;
      if (n <= 0) return 0;
      pending.insert(pending.end(), buf, buf + n);
    }
    uint32_t t, v;
    std::memcpy(&t, pending.data(), 4);
    std::memcpy(&v, pending.data() + 4, 4);
    pending.erase(pending.begin(), pending.begin() + 8);
    *type = static_cast<int32_t>(ntohl(t));
    *value = static_cast<int32_t>(ntohl(v));
    return 1;
  }
};

bool connect_upgrade(const std::string& host, uint16_t port, Conn* c, std::string* err) {
  addrinfo hints{}, *res = nullptr;
  hints.ai_family = AF_INET;
  hints.ai_socktype = SOCK_STREAM;
  if (getaddrinfo(host.c_str(), nullptr, &hints, &res) != 0 || !res) return *err = "cannot resolve " + host, false;
  sockaddr_in a = *reinterpret_cast<sockaddr_in*>(res->ai_addr);
  freeaddrinfo(res);
  a.sin_port = htons(port);
  // The server starts as the command is answered: give it a moment to listen.
  for (int i = 0; i < 60; ++i) {
    c->fd.reset(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
    if (::connect(c->fd.get(), reinterpret_cast<sockaddr*>(&a), sizeof a) == 0) return true;
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
  }
  return *err = "cannot connect to " + host + ":" + std::to_string(port) + ": " + strerror(errno), false;
}

void progress(size_t done, size_t total, bool tty) {
  static int last = -1;
  const int pct = static_cast<int>(100 * done / total);
  if (tty) {
    const int w = pct * 40 / 100;
    std::printf("\r[%s%s] %3d%% %zu/%zu bytes", std::string(w, '#').c_str(), std::string(40 - w, ' ').c_str(), pct,
                done, total);
    if (done == total) std::printf("\n");
  } else if (pct / 10 != last / 10 || done == total) {
    std::printf("sent %zu of %zu bytes (%d%%)\n", done, total, pct);
  }
  last = pct;
  std::fflush(stdout);
}

int run_upgrade(int argc, char** argv) {
  std::map<std::string, std::string> o;
  std::vector<std::string> rest;
  std::string err;
  if (!parse_opts(argc, argv, 2, {"--serial", "--udp", "--host", "--port", "--timeout"}, &o, &rest, &err))
    return fail(err);
  if (rest.size() != 1 || o.count("--serial") == o.count("--udp"))
    return fail("usage: wlinkctl upgrade (--serial DEV | --udp HOST) [--host ADDR] [--port N] PACKAGE");
  uint32_t port = 9999, timeout_ms = 300000;
  if ((o.count("--port") && (!parse_u32(o["--port"], &port) || port < 1 || port > 65535)) ||
      (o.count("--timeout") && (!parse_u32(o["--timeout"], &timeout_ms) || timeout_ms < 1)))
    return fail("bad --port or --timeout");
  const std::string udp = o.count("--udp") ? o["--udp"] : "";
  const std::string udp_host = udp.substr(0, udp.rfind(':'));
  uint32_t udp_port = wlink::kDefaultUdpPort;
  if (udp.find(':') != std::string::npos &&
      (!parse_u32(udp.substr(udp.rfind(':') + 1), &udp_port) || udp_port < 1 || udp_port > 65535))
    return fail("bad port in --udp " + udp);
  const std::string host = o.count("--host") ? o["--host"] : udp_host;
  if (host.empty()) return fail("with --serial, give the module's address with --host ADDR");
  ByteVec pkg;
  if (!read_file(rest[0], &pkg)) return fail("cannot read " + rest[0]);
  if (pkg.empty() || pkg.size() > wlink::kMaxPackageSize) return fail("a package holds 1 to 5242880 bytes");

  uint8_t rnd[16];
  if (getrandom(rnd, sizeof rnd, 0) != static_cast<ssize_t>(sizeof rnd)) return fail("no random token");
  std::string token;
  for (uint8_t b : rnd) token += "0123456789abcdef"[b >> 4], token += "0123456789abcdef"[b & 15];
  const std::string cmd = "AT+UPGRADE=9999 " + token;
  std::optional<std::string> reply;
  if (o.count("--serial")) {
    wlink::SerialClient s;
    if (s.open(o["--serial"], &err)) reply = s.command(cmd, &err);
  } else {
    wlink::UdpClient u;
    if (u.open(udp_host, static_cast<uint16_t>(udp_port), &err)) reply = u.command(cmd, &err);
  }
  if (!reply) return fail("no reply to AT+UPGRADE=: " + err);
  if (*reply != "+OK") return fail("the module answered " + *reply + " to AT+UPGRADE=", kErrReply);

  Conn c;
  if (!connect_upgrade(host, static_cast<uint16_t>(port), &c, &err)) return fail(err, kLost);
  uint8_t head[68] = {};
  const uint32_t len_be = htonl(static_cast<uint32_t>(pkg.size()));
  std::memcpy(head, &len_be, 4);
  std::memcpy(head + 4, token.data(), token.size());
  int32_t type = 0, value = 0;
  if (::send(c.fd.get(), head, sizeof head, MSG_NOSIGNAL) != static_cast<ssize_t>(sizeof head))
    return fail("connection lost while sending the request", kLost);
  int r = c.next(&type, &value, 10000);
  if (r < 0) return fail("timeout: no answer to the request", kTimeout);
  if (r == 0) return fail("connection lost: the module closed without answering", kLost);
  if (type == 0 && value == 1) return fail("wrong token: the module refused the upgrade", kWrongToken);
  if (type != 0 || value != 3) return fail("unexpected answer " + std::to_string(type) + "/" + std::to_string(value));
  std::printf("token accepted, sending %zu bytes\n", pkg.size());

  const bool tty = isatty(STDOUT_FILENO);
  for (size_t done = 0; done < pkg.size();) {
    const size_t n = std::min<size_t>(65536, pkg.size() - done);
    const ssize_t w = ::send(c.fd.get(), pkg.data() + done, n, MSG_NOSIGNAL);
    if (w < 0 && errno == EINTR) continue;
    if (w <= 0) return fail("connection lost while sending the package", kLost);
    done += static_cast<size_t>(w);
    progress(done, pkg.size(), tty);
  }
  for (int beats = 0;;) {
    r = c.next(&type, &value, static_cast<int>(timeout_ms));
    if (r < 0) return fail("timeout: no word from the module for " + std::to_string(timeout_ms) + " ms", kTimeout);
    if (r == 0) return fail("connection lost before the result", kLost);
    if (type == 4) {
      std::printf(value == 1 ? "heartbeat: closing beat, the module goes on without beats\n"
                             : "heartbeat %d: the module is writing flash\n", ++beats);
      std::fflush(stdout);
      continue;
    }
    if (type == 0 && value == 0) {
      std::printf("upgrade accepted: the module wrote the package and stored its version\n");
      return kOk;
    }
    return fail("upgrade failed: the module answered " + std::to_string(value) +
                    " (package refused or flash write failed; see its log)", kRefused);
  }
}

}  // namespace

// The verbs of this file; false when argv names none of them.
bool wlinkctl_upgrade_verb(int argc, char** argv, int* rc) {
  if (argc < 2) return false;
  const std::string verb = argv[1];
  if (verb == "pack") *rc = run_pack(argc, argv);
  else if (verb == "inspect") *rc = run_inspect(argc, argv);
  else if (verb == "upgrade") *rc = run_upgrade(argc, argv);
  else return false;
  return true;
}
