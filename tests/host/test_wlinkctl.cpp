// wlinkctl as a user runs it: refusals before anything is sent, the messages of
// failures, and --json read back.
#include <sys/mman.h>
#include <sys/wait.h>

#include <regex>

#include "sim_module.h"
#include "wlink_package.h"

namespace e2e {
namespace {

struct Proc {
    int status = -1;
    std::string out, err;
};

std::string drain(int fd) {
    std::string s;
    char buf[4096];
    ::lseek(fd, 0, SEEK_SET);
    for (ssize_t n; (n = ::read(fd, buf, sizeof buf)) > 0;) s.append(buf, static_cast<size_t>(n));
    ::close(fd);
    return s;
}

// Runs argv with stdin from `in` (a file path); stdout and stderr captured.
Proc run(std::vector<std::string> args, const std::string &in = "/dev/null") {
    std::vector<char *> argv;
    for (auto &a : args) argv.push_back(a.data());
    argv.push_back(nullptr);
    const int out = memfd_create("out", MFD_CLOEXEC), err = memfd_create("err", MFD_CLOEXEC);
    const pid_t pid = ::fork();
    if (pid == 0) {
        const int i = ::open(in.c_str(), O_RDONLY);
        if (::dup2(i, 0) < 0 || ::dup2(out, 1) < 0 || ::dup2(err, 2) < 0) ::_exit(126);
        ::execvp(argv[0], argv.data());
        ::_exit(127);
    }
    int st = 0;
    ::waitpid(pid, &st, 0);
    return {WIFEXITED(st) ? WEXITSTATUS(st) : -1, drain(out), drain(err)};
}

Proc ctl(std::vector<std::string> args) {
    args.insert(args.begin(), WLINKCTL_PATH);
    return run(args);
}

// The value at a path of keys ("image.arch", "stations.0.mac") of a JSON text (its
// last line: upgrade streams one object per line), as Python prints it; "INVALID"
// when that is not one JSON value.
std::string json_at(const std::string &text, const std::string &keys, const std::string &dir) {
    std::ofstream(dir + "/j") << text;
    const Proc r = run({"python3", "-c",
                        "import json,sys\nd=json.loads(sys.stdin.read().strip().split('\\n')[-1])\n"
                        "for k in sys.argv[1].split('.'):\n"
                        " d=d[int(k)] if isinstance(d,list) else d[k]\nprint(json.dumps(d))",
                        keys},
                       dir + "/j");
    return r.status == 0 ? r.out.substr(0, r.out.size() - 1) : "INVALID " + r.err;
}

class Ctl : public SimModule {
protected:
    int time_scale() const override { return 100; }
    void SetUp() override {
        SimModule::SetUp();
        dir_ = root_ + "/..";
        udp_ = {"--udp", "127.0.0.1:" + std::to_string(udp_port_), "--timeout", "300", "--retries", "0"};
    }
    std::vector<std::string> link(std::vector<std::string> words) {
        words.insert(words.begin(), udp_.begin(), udp_.end());
        return words;
    }
    std::string file(const std::string &name, const wlink::ByteVec &b) {
        std::ofstream(dir_ + "/" + name, std::ios::binary).write(reinterpret_cast<const char *>(b.data()), b.size());
        return dir_ + "/" + name;
    }
    std::string dir_;
    std::vector<std::string> udp_;
};

TEST_F(Ctl, MistakesAreRefusedBeforeTheModuleSeesThem) {
    allow_udp();
    const std::string before = profile();
    const size_t mark = event_mark();
    const struct {
        std::vector<std::string> args;
        const char *err;
    } cases[] = {
        {{"sho"}, "did you mean 'show'?"},
        {link({"stationz"}), "did you mean 'stations'?"},
        {link({"at+ssid"}), "commands are upper case, as in 'AT+SSID'"},
        {link({"AT+", "sacn"}), "did you mean 'scan'?"},
        {link({"set", "key", "short", "--apply"}), "a key is 8 to 63 printable characters"},
        {link({"set", "ssid", "ok", "wifi", "maybe"}), "wifi is on or off"},
        {link({"set", "channel", "14"}), "a channel is auto or 1 to 13"},
        {link({"set", "lanip", "192.168.1"}), "a dotted IPv4 address"},
        {link({"set", "dhcp", "250 10 24"}), "POOL up to 254-START"},
        {link({"set", "colour", "blue"}), "did you mean"},
        {link({"show", "--image", "x"}), "option --image does not go with show"},
        {link({"AT+SSDI"}), "'AT+SSDI' is no command the module knows; did you mean 'AT+SSID'?"},
    };
    for (const auto &c : cases) {
        const Proc r = ctl(c.args);
        EXPECT_EQ(r.status, 1) << c.args.back();
        EXPECT_NE(r.err.find(c.err), std::string::npos) << r.err;
    }
    EXPECT_EQ(profile(), before);
    EXPECT_EQ(log().find("AT+SSID=ok"), std::string::npos) << "nothing of a refused set went out";
    EXPECT_TRUE(events_since(mark).empty());
    for (const char *verb : {"pack", "inspect", "upgrade", "show", "set", "watch"}) {
        const Proc r = ctl({verb, "--help"});
        EXPECT_EQ(r.status, 0) << verb;
        EXPECT_NE(r.out.substr(0, r.out.find('\n')).find(verb), std::string::npos) << r.out;
    }
    EXPECT_EQ(ctl(link({"set", "key", "short", "--force"})).status, 0);
    EXPECT_NE(profile().find("WPAPSK1=short"), std::string::npos) << "--force sends it";
}

TEST_F(Ctl, UdpWithoutAPeerEndsAtOnceWithTheLikelyCause) {
    Proc r = ctl(link({"show"}));
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.out, "");
    EXPECT_EQ(std::count(r.err.begin(), r.err.end(), '\n'), 1) << r.err;
    EXPECT_NE(r.err.find("only from the address given to it with AT+UIP= over its serial line"), std::string::npos);
    r = ctl({"--udp", "127.0.0.1:" + std::to_string(free_port(SOCK_DGRAM)), "AT+"});
    EXPECT_EQ(r.status, 1);
    EXPECT_NE(r.err.find("nothing listens at 127.0.0.1:"), std::string::npos) << r.err;
    serial_.close();
    wlink::SerialClient other;
    std::string err;
    ASSERT_TRUE(other.open(path("/sim/tty"), &err)) << err;
    r = ctl({"--serial", path("/sim/tty"), "AT+CNUM"});
    EXPECT_EQ(r.status, 1);
    EXPECT_NE(r.err.find("port busy"), std::string::npos) << r.err;
}

TEST_F(Ctl, PackagesTheModuleWouldRefuseAreNeitherPackedNorSent) {
    allow_udp();
    wlink::ImageHeader arm;
    arm.arch = 2;
    wlink::ByteVec good_img = wlink::wrap_image({}, wlink::ByteVec(5000, 7)), bad_img = good_img;
    bad_img[100] ^= 1;
    const std::string app = file("app", wlink::ByteVec(300, 1)), img = file("img", good_img), pkg = dir_ + "/pkg";
    const struct {
        std::vector<std::string> args;
        const char *err;
    } cases[] = {
        {{"--image", file("arm", wlink::wrap_image(arm, wlink::ByteVec(500, 1)))}, "architecture 2 is not MIPS"},
        {{"--image", file("bad", bad_img)}, "image data CRC: stored 0x"},
        {{"--image", img, "--name", "x"}, "a ready legacy image: --name cannot change it"},
        {{"--image", file("big", wlink::ByteVec(5242880, 3))}, "a package holds 1 to 5242880 bytes"},
        {{"--image", file("empty", {})}, "the image is empty"},
        {{"--image", img, "-o", app}, "pack never writes over an input"},
    };
    for (const auto &c : cases) {
        std::vector<std::string> args = {"pack", "--app", app, "--version", "1.2", "-o", pkg};
        args.insert(args.end(), c.args.begin(), c.args.end());
        const Proc r = ctl(args);
        EXPECT_EQ(r.status, 1) << c.err;
        EXPECT_NE(r.err.find(c.err), std::string::npos) << r.err;
    }
    EXPECT_FALSE(std::ifstream(pkg).good()) << "nothing written";
    EXPECT_EQ(read_file(app).size(), 300u);

    Proc r = ctl({"inspect", img});
    EXPECT_EQ(r.status, 1);
    EXPECT_NE(r.out.find("a legacy image, not an upgrade package"), std::string::npos) << r.out;
    r = ctl(link({"upgrade", "--port", std::to_string(upgrade_port_), img}));
    EXPECT_EQ(r.status, 1);
    EXPECT_NE(r.err.find("nothing sent"), std::string::npos) << r.err;
    EXPECT_EQ(log().find("AT+UPGRADE"), std::string::npos);
}

TEST_F(Ctl, JsonReadsBack) {
    allow_udp();
    std::ofstream(path("/sim/stations")) << "AA:BB:CC:00:00:01 -45 -50 -60 HT40 150 100 200 25\n";
    std::ofstream(path("/sim/survey")) << "h\nh\n6 Home 00:11:22:33:44:55 WPA2PSK 90\n";
    const std::string pkg =
        file("pkg", wlink::build_package(wlink::wrap_image({}, wlink::ByteVec(900, 1)), wlink::ByteVec(90, 2), 3, 1));
    const struct {
        std::vector<std::string> args;
        const char *key;
        const char *want;
    } cases[] = {
        {link({"show", "--json"}), "ssid", "\"QEL_NVR_AP\""},
        {link({"show", "--json"}), "udp-peer", "\"127.0.0.1\""},
        {link({"stations", "--json"}), "stations.0.mac", "\"aa:bb:cc:00:00:01\""},
        {link({"stations", "--json"}), "stations.0.rssi0", "-45"},
        {link({"show", "--json"}), "txpower", "100"},
        {link({"scan", "--json"}), "0.ssid", "\"Home\""},
        {{"inspect", "--json", pkg}, "version", "\"V3.1\""},
        {{"inspect", "--json", pkg}, "image.arch", "5"},
    };
    for (const auto &c : cases) {
        const Proc r = ctl(c.args);
        EXPECT_EQ(json_at(r.out, c.key, dir_), c.want) << c.key << ": " << r.out << r.err;
    }
    // The upgrade's lines: started, progress, then the result with the module's identity.
    const Proc up = ctl(link({"upgrade", "--json", "--port", std::to_string(upgrade_port_), pkg}));
    EXPECT_EQ(json_at(up.out.substr(0, up.out.find('\n')), "event", dir_), "\"started\"") << up.out;
    for (const auto &[key, want] : std::vector<std::pair<std::string, std::string>>{{"result", "\"accepted\""},
                                                                                    {"status", "\"ok\""},
                                                                                    {"exit", "0"},
                                                                                    {"version_before", "\"V0.0\""},
                                                                                    {"version_after", "\"V3.1\""},
                                                                                    {"mac", "\"02:11:22:33:44:55\""},
                                                                                    {"flash", "\"written\""}})
        EXPECT_EQ(json_at(up.out, key, dir_), want) << key << ": " << up.out << up.err;
    EXPECT_EQ(udp("AT+VER"), "+OK=V3.1");
    serial_.close();  // --trace: every frame timed and decoded
    const std::regex frame(
        "\\d\\d:\\d\\d:\\d\\d\\.\\d{3} < frame \\[03 03 00 2B 4F 4B( 00){9} CB\\] total 3 chunk 3 offset 0 \"\\+OK\" "
        "sum ok\n");
    EXPECT_TRUE(std::regex_search(ctl({"--serial", path("/sim/tty"), "--pace", "0", "--trace", "AT+"}).err, frame));
}

TEST_F(Ctl, UpgradeOutcomesHaveTheirExitCodesAndARebootIsWaitedFor) {
    allow_udp();
    Proc r = ctl({"--version"});
    EXPECT_EQ(r.out, "wlinkctl 2.1.0 (libwlink 2.1.0)\n");
    const std::string pkg =
        file("pkg", wlink::build_package(wlink::wrap_image({}, wlink::ByteVec(900, 1)), wlink::ByteVec(90, 2), 3, 1));
    r = ctl(link({"upgrade", "--json", "--port", std::to_string(free_port(SOCK_STREAM)), pkg}));
    EXPECT_EQ(r.status, 7) << r.out << r.err;
    EXPECT_EQ(json_at(r.out, "result", dir_), "\"cannot-connect\"");
    // Ctrl-C while the module writes: it says so, and a second upgrade meanwhile is told busy.
    std::ofstream(path("/sim/flash-delay-ms")) << "300000";
    r = run({"timeout", "--preserve-status", "-s", "INT", "1", WLINKCTL_PATH, "--udp", udp_[1], "upgrade", "--port",
             std::to_string(upgrade_port_), pkg});
    EXPECT_EQ(r.status, 130) << r.out << r.err;
    EXPECT_NE(r.err.find("may still be writing flash: do not power it off; AT+VER tells when it is done"),
              std::string::npos)
        << r.err;
    r = ctl(link({"upgrade", "--port", std::to_string(upgrade_port_), pkg}));
    EXPECT_EQ(r.status, 8) << r.out << r.err;
    EXPECT_NE(r.err.find("busy with another upgrade"), std::string::npos) << r.err;
    EXPECT_TRUE(wait_until([&] { return udp("AT+VER") == "+OK=V3.1"; }, 15000));
    // A reboot that is waited for gives UDP back: AT+UIP= is sent again over the serial line.
    serial_.close();
    r = ctl({"--serial", path("/sim/tty"), "--udp", udp_[1], "--pace", "0", "--timeout", "20000", "reboot", "--wait"});
    EXPECT_EQ(r.status, 0) << r.out << r.err;
    EXPECT_EQ(udp("AT+UIP"), "+OK=127.0.0.1");
    EXPECT_EQ(ready_lines().size(), 2u) << "the daemon started again";
}

TEST_F(Ctl, PairGivesTheModuleAKeyAndTheKeyFileSpeaksForTheHost) {
    serial_.close();
    const std::string key = dir_ + "/module.key";
    Proc r = ctl({"--serial", path("/sim/tty"), "--pace", "0", "pair", "127.0.0.1", "--key-file", key});
    ASSERT_EQ(r.status, 0) << r.err;
    struct stat st {};
    ASSERT_EQ(::stat(key.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0600u);
    EXPECT_EQ(read_file(key).size(), 65u) << "64 hex digits and a line end";
    r = ctl(link({"AT+SSID"}));
    EXPECT_EQ(r.status, 1);
    EXPECT_NE(r.err.find("or the module holds a key (AT+UKEY=): give it with --key-file"), std::string::npos) << r.err;
    r = ctl(link({"--key-file", key, "AT+SSID", "AT+UKEY=OFF"}));
    EXPECT_EQ(r.out, "+OK=QEL_NVR_AP\n+ERR\n") << r.err;
}

}  // namespace
}  // namespace e2e
