// The module's life: reboot, restart on the same files, and the sim's own command line.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <filesystem>

#include "sim_module.h"

namespace e2e {
namespace {

namespace fs = std::filesystem;
using Lines = std::vector<std::string>;

const Bytes kHeartbeatDgram = {0x55, 0x44, 0x33, 0x22, 0x73, 0x65, 0x71, 0x07, 0x2C, 0x03, 0x41, 0x54, 0x2B, 0xC0};
const Bytes kOkDgram = {0x66, 0x77, 0x78, 0x79, 0x73, 0x65, 0x71, 0x07, 0x2C, 0x03, 0x2B, 0x4F, 0x4B, 0xC5};

// A reboot takes about a second of the module's time; run its clock faster.
class Reboot : public SimModule {
 protected:
  int time_scale() const override { return 5; }
};

class Restart : public SimModule {};

TEST_F(Reboot, ForgetsPeerAndPendingButKeepsFiles) {
  const std::vector<std::string> first = ready_lines();
  ASSERT_EQ(first.size(), 1u);
  EXPECT_EQ(first[0], "wlinkcmd-sim: ready serial=" + path("/sim/tty") + " udp=127.0.0.1:" +
                          std::to_string(sim_.udp_port) + " upgrade=127.0.0.1:" + std::to_string(sim_.upgrade_port));

  RawUdp s;
  std::string err;
  ASSERT_TRUE(s.open(&err)) << err;
  ASSERT_EQ(serial("AT+UIP=127.0.0.1"), "+OK");
  ASSERT_TRUE(s.send_to(sim_.udp_port, kHeartbeatDgram));
  std::optional<Bytes> r = s.receive(2000);
  ASSERT_TRUE(r.has_value());
  EXPECT_EQ(hex(*r), hex(kOkDgram));

  EXPECT_EQ(serial("AT+SSID=Kept"), "+OK");
  const std::string profile_before = profile();

  const size_t mark = event_mark();
  EXPECT_EQ(serial("AT+REBOOT"), "+OK");
  EXPECT_EQ(events_since(mark), Lines{"shell reboot 2>&1"});
  ASSERT_TRUE(wait_ready(2, 10000)) << "no second ready line";
  EXPECT_NE(errlog().find("wlinkcmd-sim: module rebooting\n"), std::string::npos);
  const std::vector<std::string> lines = ready_lines();
  ASSERT_EQ(lines.size(), 2u);
  EXPECT_EQ(lines[1], lines[0]) << "same serial line and ports after the reboot";

  // The allowed peer is gone: refused again.
  ASSERT_TRUE(s.send_to(sim_.udp_port, kHeartbeatDgram));
  std::optional<Bytes> none = s.receive(500);
  EXPECT_FALSE(none.has_value()) << hex(*none);

  // The serial line is the same device, and the profile kept the change.
  EXPECT_EQ(serial("AT+SSID"), "+OK=Kept");
  EXPECT_EQ(profile(), profile_before);
  EXPECT_EQ(serial("AT+UIP"), "+OK=");
  // The radio change pending before the reboot is forgotten (the radio came up with the profile).
  EXPECT_EQ(state()["radio_ssid"], "Kept");
  const size_t after = event_mark();
  EXPECT_EQ(serial("AT+ENCFG"), "+OK");
  EXPECT_EQ(events_since(after), Lines{});

  // Once set again, UDP works again.
  ASSERT_EQ(serial("AT+UIP=127.0.0.1"), "+OK");
  ASSERT_TRUE(s.send_to(sim_.udp_port, kHeartbeatDgram));
  r = s.receive(2000);
  ASSERT_TRUE(r.has_value());
  EXPECT_EQ(hex(*r), hex(kOkDgram));
}

TEST_F(Restart, SameRootKeepsFilesAndForgetsPeer) {
  ASSERT_EQ(serial("AT+UIP=127.0.0.1"), "+OK");
  EXPECT_EQ(serial("AT+SSID=Survivor"), "+OK");
  EXPECT_EQ(serial("AT+LANIP=10.1.2.3"), "+OK");
  const std::string profile_before = profile();
  const std::string dhcp_before = dhcp_conf();

  serial_.close();
  udp_.close();
  const int st = stop();
  ASSERT_NE(st, -1) << "the sim did not end on SIGTERM";
  EXPECT_TRUE(WIFEXITED(st) && WEXITSTATUS(st) == 0) << "wait status " << st;

  ASSERT_TRUE(start());
  EXPECT_EQ(profile(), profile_before) << "existing files are kept";
  EXPECT_EQ(dhcp_conf(), dhcp_before);
  EXPECT_EQ(serial("AT+SSID"), "+OK=Survivor");
  EXPECT_EQ(serial("AT+LANIP"), "+OK=10.1.2.3");
  auto s0 = state();
  EXPECT_EQ(s0["radio_ssid"], "Survivor");
  EXPECT_EQ(s0["br0"], "10.1.2.3/255.255.255.0");

  RawUdp s;
  std::string err;
  ASSERT_TRUE(s.open(&err)) << err;
  ASSERT_TRUE(s.send_to(sim_.udp_port, kHeartbeatDgram));
  EXPECT_TRUE(log_has("===ip check fail,src ip:============="));
  std::optional<Bytes> none = s.receive(500);
  EXPECT_FALSE(none.has_value()) << hex(*none);

  ASSERT_EQ(serial("AT+UIP=127.0.0.1"), "+OK");
  ASSERT_TRUE(s.send_to(sim_.udp_port, kHeartbeatDgram));
  std::optional<Bytes> r = s.receive(2000);
  ASSERT_TRUE(r.has_value());
  EXPECT_EQ(hex(*r), hex(kOkDgram));
}

// The sim's command line, without a fixture module.
class SimCommandLine : public ::testing::Test {
 protected:
  void SetUp() override {
    std::string tmpl = (fs::temp_directory_path() / "wlinke2e.XXXXXX").string();
    ASSERT_NE(mkdtemp(tmpl.data()), nullptr);
    base_ = tmpl;
  }
  void TearDown() override {
    if (proc_.running()) {
      ::kill(proc_.pid, SIGKILL);
      proc_.wait_exit(5000);
    }
    std::error_code ec;
    fs::remove_all(base_, ec);
  }
  // Runs the sim with these arguments and waits up to timeout_ms for its end.
  std::optional<int> run(std::vector<std::string> args, int timeout_ms) {
    args.insert(args.begin(), WLINK_SIM_PATH);
    proc_ = SimProcess::spawn(args, base_ + "/out", base_ + "/err");
    if (!proc_.running()) return std::nullopt;
    return proc_.wait_exit(timeout_ms);
  }
  std::string out() const { return read_file(base_ + "/out"); }
  std::string err() const { return read_file(base_ + "/err"); }

  std::string base_;
  SimProcess proc_;
};

TEST_F(SimCommandLine, HelpNamesEveryOption) {
  std::optional<int> st = run({"--help"}, 5000);
  ASSERT_TRUE(st.has_value()) << "--help did not end";
  EXPECT_TRUE(WIFEXITED(*st) && WEXITSTATUS(*st) == 0) << "wait status " << *st;
  for (const char* opt : {"--root", "--bind", "--udp-port", "--upgrade-port", "--time-scale", "--help"})
    EXPECT_NE(out().find(opt), std::string::npos) << "help lacks " << opt;
}

TEST_F(SimCommandLine, BadCommandLinesFail) {
  const std::vector<std::vector<std::string>> bad = {
      {},                                                   // no --root
      {"--root", base_ + "/r", "--udp-port", "0"},          // port out of range
      {"--root", base_ + "/r", "--udp-port", "x"},          // not a number
      {"--root", base_ + "/r", "--bind", "localhost"},      // not an address
      {"--root", base_ + "/r", "--time-scale", "0"},        // scale below 1
      {"--root", base_ + "/r", "--frobnicate"},             // unknown option
  };
  for (const auto& args : bad) {
    std::string shown;
    for (const std::string& a : args) shown += a + " ";
    std::optional<int> st = run(args, 5000);
    ASSERT_TRUE(st.has_value()) << "did not end: " << shown;
    EXPECT_TRUE(WIFEXITED(*st) && WEXITSTATUS(*st) != 0) << shown << ": wait status " << *st;
  }
}

// Each run ends within a few seconds with a failure status. The daemon fails at
// once here, so the supervisor stops its other children right after starting
// them; several runs make sure that this, too, always ends.
TEST_F(SimCommandLine, TakenUdpPortEndsTheSim) {
  wlink::UniqueFd taken(::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0));
  ASSERT_TRUE(taken.valid());
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  ASSERT_EQ(::bind(taken.get(), reinterpret_cast<sockaddr*>(&a), sizeof a), 0);
  socklen_t len = sizeof a;
  ASSERT_EQ(::getsockname(taken.get(), reinterpret_cast<sockaddr*>(&a), &len), 0);
  const uint16_t port = ntohs(a.sin_port);

  constexpr int kRuns = 100;
  for (int i = 0; i < kRuns; ++i) {
    SCOPED_TRACE("run " + std::to_string(i + 1) + " of " + std::to_string(kRuns));
    std::optional<int> st = run({"--root", base_ + "/r", "--udp-port", std::to_string(port), "--upgrade-port",
                                 std::to_string(free_port(SOCK_STREAM))},
                                5000);
    ASSERT_TRUE(st.has_value()) << "the sim kept running on a taken port; stderr:\n" << err();
    EXPECT_TRUE(WIFEXITED(*st) && WEXITSTATUS(*st) != 0) << "wait status " << *st;
    EXPECT_NE(err().find("===wifi_udp_comm_task error in binding phrase"), std::string::npos) << err();
    ASSERT_EQ(err().find("wlinkcmd-sim: ready"), std::string::npos) << err();
  }
}

}  // namespace
}  // namespace e2e
