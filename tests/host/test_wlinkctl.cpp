// wlinkctl, run as a process against a fake UDP module.
#include <gtest/gtest.h>
#include <sys/mman.h>
#include <sys/wait.h>

#include <filesystem>
#include <fstream>

#include "fake_module.h"

namespace {

std::string take(int fd) {
  std::string s;
  char buf[4096];
  lseek(fd, 0, SEEK_SET);
  for (ssize_t n; (n = ::read(fd, buf, sizeof buf)) > 0;) s.append(buf, static_cast<size_t>(n));
  ::close(fd);
  return s;
}

struct CtlRun {
  int status = -1;
  std::string out, err;
};

CtlRun run_ctl(std::vector<std::string> args) {
  args.insert(args.begin(), WLINKCTL_PATH);
  std::vector<char*> argv;
  for (auto& a : args) argv.push_back(a.data());
  argv.push_back(nullptr);
  const int out = memfd_create("out", MFD_CLOEXEC), err = memfd_create("err", MFD_CLOEXEC);
  const pid_t pid = ::fork();
  if (pid == 0) {
    const int in = ::open("/dev/null", O_RDONLY);
    if (::dup2(in, 0) < 0 || ::dup2(out, 1) < 0 || ::dup2(err, 2) < 0) ::_exit(126);
    ::execv(argv[0], argv.data());
    ::_exit(127);
  }
  int st = 0;
  ::waitpid(pid, &st, 0);
  return {WIFEXITED(st) ? WEXITSTATUS(st) : -1, take(out), take(err)};
}

}  // namespace

// 0: all answered; 2: some answered "+ERR"; 1: a reply missing (the rest not sent)
// or a refusal before anything is sent.
TEST(Wlinkctl, ExitStatusAndWhatIsSent) {
  using Strings = std::vector<std::string>;
  const struct { Strings args; int status; std::string out, err_start; Strings sent; } cases[] = {
      {{"AT+", "AT+SSID"}, 0, "+OK\n+OK=Home\n", "", {"AT+", "AT+SSID"}},
      {{"AT+BAD", "AT+"}, 2, "+ERR\n+OK\n", "", {"AT+BAD", "AT+"}},
      {{"AT+BAD", "AT+SILENT", "AT+"}, 1, "+ERR\n", "wlinkctl: ", {"AT+BAD", "AT+SILENT"}},
      {{"set", "ssid", "x", "colour", "blue"}, 1, "", "wlinkctl: unknown setting 'colour'", {}},
      {{"set", "ssid", "Home", "dhcp", "100 50 24", "vlan", "off", "--apply"}, 0,
       "ssid: +OK\ndhcp: +OK\nvlan: +OK\napply: +OK\n", "",
       {"AT+SSID=Home", "AT+DHCP=100 50 24h", "AT+VLAN=OFF", "AT+ENCFG"}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(testing::PrintToString(c.args));
    wlinktest::FakeUdpModule m([](const std::string& cmd, uint8_t seq, int) {
      if (cmd == "AT+SILENT") return std::vector<wlinktest::Bytes>{};
      return std::vector<wlinktest::Bytes>{
          wlinktest::udp_reply(seq, cmd == "AT+BAD" ? "+ERR" : cmd == "AT+SSID" ? "+OK=Home" : "+OK")};
    });
    Strings args = {"--udp", "127.0.0.1:" + std::to_string(m.port()), "--timeout", "200", "--retries", "0"};
    args.insert(args.end(), c.args.begin(), c.args.end());
    const CtlRun r = run_ctl(args);
    EXPECT_EQ(r.status, c.status) << r.err;
    EXPECT_EQ(r.out, c.out);
    EXPECT_TRUE(c.err_start.empty() ? r.err.empty() : r.err.rfind(c.err_start, 0) == 0) << r.err;
    EXPECT_EQ(m.commands(), c.sent);
  }
}

TEST(WlinkctlPackage, PackInspectAndRefusals) {
  char dir[] = "/tmp/wlinkpkg.XXXXXX";
  ASSERT_NE(::mkdtemp(dir), nullptr);
  const std::string d = dir, pkg = d + "/pkg";
  std::ofstream(d + "/raw", std::ios::binary) << std::string(5000, 'k');
  std::ofstream(d + "/app", std::ios::binary) << std::string(100, 'a');
  // a raw image is wrapped; the module takes the package
  EXPECT_EQ(run_ctl({"pack", "--image", d + "/raw", "--app", d + "/app", "--version", "3.4", "-o", pkg}).status, 0);
  CtlRun r = run_ctl({"inspect", pkg});
  EXPECT_EQ(r.status, 0);
  EXPECT_NE(r.out.find("version V3.4  image length 5064  application length 93"), std::string::npos) << r.out;
  // a ready image with a broken CRC is refused by pack, a package with one by inspect
  std::ifstream in(pkg, std::ios::binary);
  std::string bytes((std::istreambuf_iterator<char>(in)), {});
  bytes[200] ^= 1;
  std::ofstream(pkg, std::ios::binary) << bytes;
  r = run_ctl({"inspect", pkg});
  EXPECT_EQ(r.status, 1);
  EXPECT_NE(r.out.find("FAIL image data CRC"), std::string::npos) << r.out;
  std::ofstream(d + "/bad.img", std::ios::binary) << bytes.substr(20, 5064);
  r = run_ctl({"pack", "--image", d + "/bad.img", "--app", d + "/app", "--version", "1.0", "-o", pkg});
  EXPECT_EQ(r.status, 1);
  EXPECT_NE(r.err.find("is a legacy image but bad data CRC"), std::string::npos) << r.err;
  std::filesystem::remove_all(d);
}
