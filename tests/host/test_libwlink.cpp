// libwlink through its C API against the simulated module, and against a stand-in
// upgrade port for the failures the module cannot be made to show.
#include <thread>

#include "sim_module.h"
#include "wlink.h"
#include "wlink_package.h"

namespace e2e {
namespace {

const wlink::ByteVec kPkg = wlink::build_package(wlink::wrap_image({}, wlink::ByteVec(3000, 1)), wlink::ByteVec(900, 2), 4, 2);

class Lib : public SimModule {
 protected:
  int time_scale() const override { return 100; }
  void SetUp() override {
    SimModule::SetUp();
    allow_udp();
    ASSERT_EQ(wlink_open_udp("127.0.0.1", udp_port_, &l_), WLINK_OK);
    wlink_set_timeout(l_, 500);
  }
  void TearDown() override {
    wlink_close(l_);
    SimModule::TearDown();
  }
  wlink_link* l_ = nullptr;
};

TEST_F(Lib, CommandsOnBothLinksAndTheSerialPortIsExclusive) {
  wlink_link* s = nullptr;
  EXPECT_EQ(wlink_open_serial(path("/sim/tty").c_str(), &s), WLINK_PORT_BUSY) << "the fixture holds the port";
  serial_.close();
  ASSERT_EQ(wlink_open_serial(path("/sim/tty").c_str(), &s), WLINK_OK);
  wlink_link* second = nullptr;
  EXPECT_EQ(wlink_open_serial(path("/sim/tty").c_str(), &second), WLINK_PORT_BUSY);
  wlink_set_pace(s, 0);
  char v[256];
  const struct { wlink_link* link; const char* cmd; wlink_status st; const char* reply; } cases[] = {
      {s, "AT+SSID=Serial", WLINK_OK, "+OK"}, {l_, "AT+SSID", WLINK_OK, "+OK=Serial"},
      {l_, "AT+NOPE", WLINK_ERR_REPLY, "+ERR"}, {s, "AT+CNUM", WLINK_OK, "+OK=0"},
      {s, "", WLINK_BAD_ARGUMENT, ""},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(wlink_command(c.link, c.cmd, v, sizeof v), c.st) << c.cmd;
    EXPECT_STREQ(v, c.reply) << c.cmd;
  }
  EXPECT_EQ(wlink_set(s, WLINK_KEY, "short"), WLINK_BAD_VALUE);
  EXPECT_EQ(wlink_set(l_, WLINK_WIFI, "off"), WLINK_OK);
  EXPECT_EQ(wlink_get(s, WLINK_WIFI, v, sizeof v), WLINK_OK);
  EXPECT_STREQ(v, "OFF");
  EXPECT_EQ(profile().find("WPAPSK1=short"), std::string::npos);
  wlink_close(s);
  ASSERT_EQ(wlink_open_serial(path("/sim/tty").c_str(), &s), WLINK_OK) << "free again after the close";
  wlink_close(s);
}

TEST_F(Lib, UdpWithoutAPeerOrAListener) {
  ASSERT_EQ(serial("AT+UIP=127.0.0.2"), "+OK");
  wlink_set_retries(l_, 0);
  EXPECT_EQ(wlink_command(l_, "AT+", nullptr, 0), WLINK_NO_REPLY);
  wlink_link* closed = nullptr;
  ASSERT_EQ(wlink_open_udp("127.0.0.1", free_port(SOCK_DGRAM), &closed), WLINK_OK);
  const auto t0 = std::chrono::steady_clock::now();
  EXPECT_EQ(wlink_command(closed, "AT+", nullptr, 0), WLINK_UNREACHABLE);
  EXPECT_LT(std::chrono::steady_clock::now() - t0, std::chrono::milliseconds(400)) << "reported at once";
  wlink_close(closed);
}

struct Counts {
  size_t progress = 0, sent = 0;
  int beats = 0, last_value = 0;
};

wlink_upgrade_options options(Counts* c, uint16_t port) {
  wlink_upgrade_options o{};
  o.host = "127.0.0.1";
  o.port = port;
  o.progress = [](void* ctx, size_t sent, size_t) { ++static_cast<Counts*>(ctx)->progress, static_cast<Counts*>(ctx)->sent = sent; };
  o.heartbeat = [](void* ctx, int value, int n) { static_cast<Counts*>(ctx)->beats = n, static_cast<Counts*>(ctx)->last_value = value; };
  o.ctx = c;
  return o;
}

TEST_F(Lib, UpgradeWithProgressAndHeartbeats) {
  // 2 x 250 s of module time: 40 beats 3 s apart and the last take 120 s, with room for
  // a loaded machine that stretches each beat.
  std::ofstream(path("/sim/flash-delay-ms")) << "250000";
  Counts c;
  wlink_upgrade_options o = options(&c, upgrade_port_);
  EXPECT_EQ(wlink_upgrade(l_, kPkg.data(), kPkg.size(), &o), WLINK_OK) << wlink_last_error(l_);
  EXPECT_EQ(c.sent, kPkg.size());
  EXPECT_GE(c.progress, 1u);
  EXPECT_EQ(c.beats, 41);
  EXPECT_EQ(c.last_value, 1);
  EXPECT_EQ(udp("AT+VER"), "+OK=V4.2");

  wlink::ByteVec bad = kPkg;
  bad[200] ^= 1;
  EXPECT_EQ(wlink_upgrade(l_, bad.data(), bad.size(), &o), WLINK_BAD_PACKAGE);
  EXPECT_NE(std::string(wlink_last_error(l_)).find("image data CRC: stored"), std::string::npos);
  std::ofstream(path("/sim/flash-delay-ms")) << "0";
  o.force = 1;
  EXPECT_EQ(wlink_upgrade(l_, bad.data(), bad.size(), &o), WLINK_UPG_REFUSED) << wlink_last_error(l_);
}

// A stand-in upgrade port: each connection gets the next behaviour.
using Behaviour = std::function<void(int fd)>;
void serve(uint16_t* port, std::vector<Behaviour> script, std::thread* t) {
  const int lfd = wlink_sim::bind_loopback(SOCK_STREAM, port);
  ::listen(lfd, 4);
  *t = std::thread([lfd, script] {
    for (const Behaviour& b : script) {
      pollfd p{lfd, POLLIN, 0};
      if (::poll(&p, 1, 8000) != 1) break;  // a client that gave up early
      const int fd = ::accept(lfd, nullptr, nullptr);
      b(fd);
      ::close(fd);
    }
    ::close(lfd);
  });
}

void answer(int fd, uint8_t value) {
  char head[68];
  EXPECT_EQ(::recv(fd, head, sizeof head, MSG_WAITALL), 68);
  const uint8_t msg[8] = {0, 0, 0, 0, 0, 0, 0, value};
  ::send(fd, msg, 8, MSG_NOSIGNAL);
}

TEST_F(Lib, EachUpgradeFailureHasItsStatus) {
  const auto take_package = [](int fd) {
    answer(fd, 3);
    std::vector<char> body(kPkg.size());
    ::recv(fd, body.data(), body.size(), MSG_WAITALL);
  };
  const struct { const char* what; std::vector<Behaviour> script; wlink_status want; } cases[] = {
      {"wrong token", {[](int fd) { answer(fd, 1); }}, WLINK_UPG_WRONG_TOKEN},
      {"closed before answering, then served", {[](int) {}, [&](int fd) { take_package(fd); ::send(fd, "\0\0\0\0\0\0\0\0", 8, 0); }}, WLINK_OK},
      {"lost mid-package", {[](int fd) { answer(fd, 3); ::recv(fd, std::vector<char>(100).data(), 100, MSG_WAITALL); }}, WLINK_UPG_LOST},
      {"silent after the package", {[&](int fd) { take_package(fd); std::this_thread::sleep_for(std::chrono::milliseconds(600)); }}, WLINK_UPG_TIMEOUT},
      {"unknown answer", {[](int fd) { answer(fd, 7); }}, WLINK_UPG_PROTOCOL},
  };
  for (const auto& c : cases) {
    uint16_t port = 0;
    std::thread t;
    serve(&port, c.script, &t);
    Counts n;
    wlink_upgrade_options o = options(&n, port);
    o.timeout_ms = 300;
    EXPECT_EQ(wlink_upgrade(l_, kPkg.data(), kPkg.size(), &o), c.want) << c.what << ": " << wlink_last_error(l_);
    t.join();
  }
  uint16_t none = free_port(SOCK_STREAM);
  Counts n;
  wlink_upgrade_options o = options(&n, none);
  EXPECT_EQ(wlink_upgrade(l_, kPkg.data(), kPkg.size(), &o), WLINK_UPG_CONNECT);
}

}  // namespace
}  // namespace e2e
