// The wlinkctl tool, run as a process against fake modules.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <poll.h>
#include <sys/wait.h>
#include <unistd.h>

#include <csignal>
#include <map>
#include <string>
#include <vector>

#include "fake_module.h"

#ifndef WLINKCTL_PATH
#error "WLINKCTL_PATH must name the built wlinkctl"
#endif

using wlinktest::Bytes;
using wlinktest::FakeSerialModule;
using wlinktest::FakeUdpModule;
using wlinktest::frame_bytes;
using wlinktest::udp_reply;

namespace {

struct Run {
  int status = -1;
  std::string out;
  std::string err;
};

// Runs wlinkctl with the arguments, feeding `input` on standard input.
Run run_ctl(const std::vector<std::string>& args, const std::string& input = "") {
  Run r;
  std::signal(SIGPIPE, SIG_IGN);  // a child that exits early must not kill the test
  int in[2], out[2], err[2];
  if (::pipe2(in, O_CLOEXEC) || ::pipe2(out, O_CLOEXEC) || ::pipe2(err, O_CLOEXEC)) return r;
  std::vector<char*> argv;
  std::string prog = WLINKCTL_PATH;
  argv.push_back(prog.data());
  std::vector<std::string> copy = args;
  for (auto& a : copy) argv.push_back(a.data());
  argv.push_back(nullptr);
  const pid_t pid = ::fork();
  if (pid == 0) {
    ::dup2(in[0], 0);
    ::dup2(out[1], 1);
    ::dup2(err[1], 2);
    ::execv(argv[0], argv.data());
    ::_exit(127);
  }
  ::close(in[0]);
  ::close(out[1]);
  ::close(err[1]);
  // Inputs are far below the pipe's capacity, so this never blocks.
  const bool written = input.empty() || ::write(in[1], input.data(), input.size()) ==
                                            static_cast<ssize_t>(input.size());
  ::close(in[1]);
  if (!written) r.err = "could not feed standard input";
  pollfd p[2] = {{out[0], POLLIN, 0}, {err[0], POLLIN, 0}};
  std::string* dst[2] = {&r.out, &r.err};
  int open_fds = 2;
  while (open_fds > 0) {
    if (::poll(p, 2, 10000) <= 0) break;
    for (int i = 0; i < 2; ++i) {
      if (p[i].fd < 0 || !p[i].revents) continue;
      char buf[4096];
      const ssize_t n = ::read(p[i].fd, buf, sizeof buf);
      if (n > 0) {
        dst[i]->append(buf, static_cast<size_t>(n));
      } else {
        ::close(p[i].fd);
        p[i].fd = -1;
        --open_fds;
      }
    }
  }
  for (auto& q : p)
    if (q.fd >= 0) ::close(q.fd);
  int st = 0;
  ::waitpid(pid, &st, 0);
  r.status = WIFEXITED(st) ? WEXITSTATUS(st) : -1;
  return r;
}

// A module that knows a few answers and stays silent on "AT+SILENT".
class CtlTest : public ::testing::Test {
 protected:
  CtlTest()
      : module_([this](const std::string& cmd, uint8_t seq, int) {
          std::vector<Bytes> out;
          const auto it = answers_.find(cmd);
          if (cmd == "AT+SILENT" || (it != answers_.end() && it->second.empty())) return out;
          out.push_back(udp_reply(seq, it != answers_.end() ? it->second : "+OK"));
          return out;
        }) {}

  std::vector<std::string> link(std::vector<std::string> rest) {
    std::vector<std::string> a = {"--udp", "127.0.0.1:" + std::to_string(module_.port()),
                                  "--timeout", "200", "--retries", "0"};
    a.insert(a.end(), rest.begin(), rest.end());
    return a;
  }

  std::map<std::string, std::string> answers_ = {{"AT+BAD", "+ERR"}, {"AT+SSID", "+OK=Home"}};
  FakeUdpModule module_;
};

}  // namespace

TEST_F(CtlTest, AllAnsweredExitsZero) {
  const auto r = run_ctl(link({"AT+", "AT+SSID"}));
  EXPECT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(r.out, "+OK\n+OK=Home\n");
  EXPECT_EQ(r.err, "");
  EXPECT_EQ(module_.commands(), (std::vector<std::string>{"AT+", "AT+SSID"}));
}

TEST_F(CtlTest, ErrReplyExitsTwo) {
  const auto r = run_ctl(link({"AT+BAD", "AT+"}));
  EXPECT_EQ(r.status, 2) << r.err;
  EXPECT_EQ(r.out, "+ERR\n+OK\n");
}

TEST_F(CtlTest, MissingReplyExitsOneAndStops) {
  const auto r = run_ctl(link({"AT+BAD", "AT+SILENT", "AT+"}));
  EXPECT_EQ(r.status, 1);
  EXPECT_EQ(r.out, "+ERR\n");
  EXPECT_EQ(r.err.rfind("wlinkctl: ", 0), 0u) << r.err;
  EXPECT_NE(r.err.find("AT+SILENT"), std::string::npos);
  EXPECT_EQ(module_.commands(), (std::vector<std::string>{"AT+BAD", "AT+SILENT"}));
}

TEST_F(CtlTest, RetriesOption) {
  const auto r = run_ctl(link({"--retries", "2", "--timeout", "50", "AT+SILENT"}));
  EXPECT_EQ(r.status, 1);
  EXPECT_EQ(module_.commands().size(), 3u);
}

TEST_F(CtlTest, CommandsFromStandardInput) {
  const auto r = run_ctl(link({}), "AT+\r\n\nAT+BAD\nAT+SSID");
  EXPECT_EQ(r.status, 2) << r.err;
  EXPECT_EQ(r.out, "+OK\n+ERR\n+OK=Home\n");  // no prompt: stdin is no terminal
  EXPECT_EQ(module_.commands(), (std::vector<std::string>{"AT+", "AT+BAD", "AT+SSID"}));
}

TEST_F(CtlTest, OversizeCommandSendsNothing) {
  const auto r = run_ctl(link({"AT+", "AT+SSID=" + std::string(120, 'x')}));
  EXPECT_EQ(r.status, 1);
  EXPECT_EQ(r.out, "");
  EXPECT_TRUE(module_.raw().empty());
}

TEST_F(CtlTest, ShowPrintsTable) {
  answers_ = {{"AT+SSID", "+OK=Home Net"},  {"AT+KEY", "+ERR"},
              {"AT+CHANNEL", "+OK=6"},      {"AT+CHANNEL!=", "+OK=11"},
              {"AT+AUTH", "+OK=WPA2PSK"},   {"AT+ENCRY", "+OK=AES"},
              {"AT+WIFI", "+OK=1"},         {"AT+HTMODE", "+OK=HT40"},
              {"AT+COUNTRY", "+OK=DE"},     {"AT+TXPOWER", "+OK=100"},
              {"AT+STANUM", "+OK=16"},      {"AT+LANIP", "+OK=192.168.1.1"},
              {"AT+UIP", "+OK="},           {"AT+VLAN", "+OK=waiting"},
              {"AT+PORT", "+OK=1,0,0,0"}};
  const auto r = run_ctl(link({"show"}));
  EXPECT_EQ(r.status, 2) << r.err;
  EXPECT_EQ(r.out,
            "ssid             Home Net\n"
            "key              (error)\n"
            "channel          6\n"
            "current-channel  11\n"
            "auth             WPA2PSK\n"
            "encryption       AES\n"
            "wifi             1\n"
            "htmode           HT40\n"
            "country          DE\n"
            "txpower          100\n"
            "stanum           16\n"
            "lanip            192.168.1.1\n"
            "udp-peer         \n"
            "vlan             waiting\n"
            "ports            1,0,0,0\n");
}

TEST_F(CtlTest, ShowMarksMissingReply) {
  answers_ = {{"AT+COUNTRY", ""}};  // silent
  const auto r = run_ctl(link({"show"}));
  EXPECT_EQ(r.status, 1);
  EXPECT_NE(r.out.find("\ncountry          (no reply)\n"), std::string::npos) << r.out;
  EXPECT_NE(r.out.find("\nports            +OK\n"), std::string::npos) << r.out;
  EXPECT_EQ(module_.commands().size(), 15u);
}

TEST_F(CtlTest, SetSendsMappedCommandsAndApplies) {
  const auto r = run_ctl(link({"set", "ssid", "Home Net", "--apply", "dhcp", "100 50 24", "vlan",
                               "off", "encryption", "TKIP/AES", "udp-peer", "192.168.1.10"}));
  EXPECT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(r.out,
            "ssid: +OK\ndhcp: +OK\nvlan: +OK\nencryption: +OK\nudp-peer: +OK\napply: +OK\n");
  EXPECT_EQ(module_.commands(),
            (std::vector<std::string>{"AT+SSID=Home Net", "AT+DHCP=100 50 24h", "AT+VLAN=OFF",
                                      "AT+ENCRY=TKIP/AES", "AT+UIP=192.168.1.10", "AT+ENCFG"}));
}

TEST_F(CtlTest, SetDhcpFormsAndVlanValue) {
  const auto r = run_ctl(link({"set", "dhcp", "10 20 12h", "dhcp", "OFF", "vlan", "2 10"}));
  EXPECT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(module_.commands(),
            (std::vector<std::string>{"AT+DHCP=10 20 12h", "AT+DHCP=OFF", "AT+VLAN=2 10"}));
}

TEST_F(CtlTest, SetWithRefusedSettingDoesNotApply) {
  answers_ = {{"AT+CHANNEL=99", "+ERR"}};
  const auto r = run_ctl(link({"set", "channel", "99", "ssid", "x", "--apply"}));
  EXPECT_EQ(r.status, 2);
  EXPECT_EQ(r.out, "channel: +ERR\nssid: +OK\n");
  EXPECT_EQ(module_.commands(), (std::vector<std::string>{"AT+CHANNEL=99", "AT+SSID=x"}));
}

TEST_F(CtlTest, SetRefusesUnknownNameAndSendsNothing) {
  const auto r = run_ctl(link({"set", "ssid", "x", "colour", "blue"}));
  EXPECT_EQ(r.status, 1);
  EXPECT_EQ(r.out, "");
  EXPECT_EQ(r.err.rfind("wlinkctl: unknown setting 'colour'", 0), 0u) << r.err;
  EXPECT_TRUE(module_.raw().empty());
}

TEST_F(CtlTest, SetRefusesBadValuesAndSendsNothing) {
  for (const auto& args : std::vector<std::vector<std::string>>{
           {"set", "ssid", "a\nb"},
           {"set", "key", "x\r"},
           {"set", "ssid", std::string(120, 'x')},
           {"set", "dhcp", "100 50"},
           {"set", "dhcp", "a b c"},
           {"set", "ssid"},
           {"set"}}) {
    const auto r = run_ctl(link(args));
    EXPECT_EQ(r.status, 1) << args.size();
    EXPECT_EQ(r.out, "");
    EXPECT_EQ(r.err.rfind("wlinkctl: ", 0), 0u) << r.err;
  }
  EXPECT_TRUE(module_.raw().empty());
}

TEST(Ctl, UsageErrors) {
  auto r = run_ctl({"AT+"});
  EXPECT_EQ(r.status, 1);
  EXPECT_EQ(r.err.rfind("wlinkctl: ", 0), 0u);
  r = run_ctl({"--udp", "127.0.0.1", "--serial", "/dev/null", "AT+"});
  EXPECT_EQ(r.status, 1);
  r = run_ctl({"--udp", "127.0.0.1", "--timeout", "soon", "AT+"});
  EXPECT_EQ(r.status, 1);
  r = run_ctl({"--udp", "127.0.0.1:0", "AT+"});
  EXPECT_EQ(r.status, 1);
  r = run_ctl({"--udp", "127.0.0.1", "--apply", "AT+"});
  EXPECT_EQ(r.status, 1);
  r = run_ctl({"--udp", "127.0.0.1", "--bogus", "AT+"});
  EXPECT_EQ(r.status, 1);
  r = run_ctl({"--serial", "/nonexistent/tty", "AT+"});
  EXPECT_EQ(r.status, 1);
  EXPECT_EQ(r.err.rfind("wlinkctl: cannot open /nonexistent/tty", 0), 0u) << r.err;
}

TEST(Ctl, Help) {
  for (const char* h : {"--help", "-h"}) {
    const auto r = run_ctl({h});
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.out.rfind("Usage: wlinkctl", 0), 0u);
    EXPECT_NE(r.out.find("--timeout MS"), std::string::npos);
    EXPECT_NE(r.out.find("Examples:"), std::string::npos);
  }
}

TEST(Ctl, OverSerial) {
  FakeSerialModule m([](const std::string& cmd) {
    return std::vector<std::string>{frame_bytes(cmd == "AT+" ? "+OK" : "+ERR")};
  });
  ASSERT_TRUE(m.ok());
  auto r = run_ctl({"--serial", m.slave_path(), "--pace", "5", "AT+", "AT+SSID=a longer name"});
  EXPECT_EQ(r.status, 2) << r.err;
  EXPECT_EQ(r.out, "+OK\n+ERR\n");
  EXPECT_EQ(m.commands(), (std::vector<std::string>{"AT+", "AT+SSID=a longer name"}));
}
