// The shipped mipsel daemon on the virtual module (tools/vm): a real kernel, MTD flash,
// jffs2 /config, busybox init. The board boots once for the group; a power cut is a
// SIGKILL of qemu, then a boot of the same folder. The board's port 23 gives a shell.
#include <sys/wait.h>

#include <algorithm>
#include <random>

#include "sim_module.h"
#include "wlink_package.h"

namespace e2e {
namespace {

// Where the partitions lie in DIR/flash.ram (tools/vm, tools/vm-files/rcS.sh).
constexpr off_t kFlash = 128 << 20, kMtd2 = kFlash + 0x30000, kMtd5 = kFlash + 0x240000, kMtd6 = kFlash + 0x840000;
constexpr size_t kRecord = 0xFE00, kPart = 6 << 20;

class Board : public ::testing::Test {
protected:
    static inline wlink_sim::SimProcess *vm_;
    static inline uint16_t udp_port_, up_port_, sh_port_;
    static inline wlink::SerialClient serial_;
    static inline wlink::UdpClient udp_;
    static inline std::string skip_;
    static std::string dir() { return vm_->root; }

    static void SetUpTestSuite() {
        if (std::system("command -v qemu-system-mipsel >/dev/null || " WLINK_TOP "/tools/deps.sh >/dev/null 2>&1; "
                        "qemu-system-mipsel --version >/dev/null 2>&1"))
            skip_ = "qemu-system-mipsel cannot run here";
        vm_ = new wlink_sim::SimProcess({WLINK_TOP "/tools/vm"}, "wlinkboard", true);
        std::string err;
        if (!vm_->make_base(&err)) skip_ = err;
    }
    static void TearDownTestSuite() {
        if (vm_->pid > 0) {
            EXPECT_EQ(vm_->stop(), 0) << "tools/vm ends with 0 on SIGTERM";
        }
        delete vm_;
    }
    void SetUp() override {
        if (!skip_.empty()) {
            GTEST_SKIP() << skip_;
        }
        if (vm_->pid <= 0) {
            ASSERT_TRUE(boot());
        }
    }
    void TearDown() override {
        if (!HasFailure()) return;
        const std::string log = read_file(dir() + "/daemon.log");
        std::cerr << "---- tools/vm\n"
                  << vm_->errlog() << "---- console\n"
                  << read_file(dir() + "/console.log") << "---- the daemon's log, its end\n"
                  << log.substr(log.size() > 4096 ? log.size() - 4096 : 0);
    }

    // tools/vm on DIR with fresh ports, up to its ready line; then AT+UIP= for UDP.
    static bool boot(const std::vector<std::string> &more = {}) {
        udp_port_ = free_port(SOCK_DGRAM), up_port_ = free_port(SOCK_STREAM), sh_port_ = free_port(SOCK_STREAM);
        std::string err;
        const auto p = [](uint16_t n) { return std::to_string(n); };
        std::vector<std::string> args = {dir(),       "--udp-port",   p(udp_port_), "--upgrade-port",
                                         p(up_port_), "--shell-port", p(sh_port_)};
        args.insert(args.end(), more.begin(), more.end());
        EXPECT_TRUE(vm_->spawn(args, &err)) << err;
        const bool up = wait_until([&] { return ready() != "" || vm_->wait_exit(0); }, 240000) && vm_->pid > 0;
        EXPECT_TRUE(up) << vm_->errlog();
        EXPECT_TRUE(up && serial_.open(dir() + "/tty", &err) && udp_.open("127.0.0.1", udp_port_, &err)) << err;
        return up && serial("AT+UIP=10.0.2.2") == "+OK";
    }
    static std::string ready() {
        const std::string log = vm_->errlog();
        const size_t at = log.find("wlinkcmd-vm: ready ");
        return at == std::string::npos ? "" : log.substr(at, log.find('\n', at) - at);
    }
    // SIGKILL of qemu: the board loses power; tools/vm ends with it.
    static void power_cut() {
        ASSERT_EQ(::kill(std::stoi(read_file(dir() + "/qemu.pid")), SIGKILL), 0);
        ASSERT_TRUE(vm_->wait_exit(20000)) << "tools/vm outlived qemu";
        serial_.close();
    }
    static std::string serial(const std::string &cmd, int timeout_ms = 5000) {
        std::string err;
        return serial_.command(cmd, timeout_ms, &err).value_or("<no reply: " + err + ">");
    }
    static std::string udp(const std::string &cmd) {
        std::string err;
        return udp_.command(cmd, 3000, 2, &err).value_or("<no reply: " + err + ">");
    }
    // Each command in turn over UDP; the replies, blank-separated.
    static std::string udp(std::initializer_list<const char *> cmds) {
        std::string out;
        for (const char *c : cmds) out += (out.empty() ? "" : " ") + udp(c);
        return out;
    }
    // What a connection to 127.0.0.1:port that sends `out` (then half-closes) gets until closed.
    static std::string tcp(uint16_t port, const std::string &out) {
        UniqueFd fd(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
        sockaddr_in a{AF_INET, htons(port), {htonl(INADDR_LOOPBACK)}, {}};
        if (::connect(fd.get(), reinterpret_cast<sockaddr *>(&a), sizeof a) != 0) return "";
        ::send(fd.get(), out.data(), out.size(), MSG_NOSIGNAL);
        ::shutdown(fd.get(), SHUT_WR);
        std::string got;
        char buf[4096];
        for (pollfd p{fd.get(), POLLIN, 0}; ::poll(&p, 1, 60000) == 1;) {
            const ssize_t n = ::recv(fd.get(), buf, sizeof buf, 0);
            if (n <= 0) break;
            got.append(buf, n);
        }
        return got;
    }
    // The output of `cmd` run by the board's shell.
    static std::string sh(const std::string &cmd) {
        for (int attempt = 0; attempt < 150; ++attempt, std::this_thread::sleep_for(std::chrono::milliseconds(200))) {
            const std::string out = tcp(sh_port_, cmd + "\necho @end\n");
            if (out.size() >= 5 && out.compare(out.size() - 5, 5, "@end\n") == 0) return out.substr(0, out.size() - 5);
        }
        ADD_FAILURE() << "the board's shell did not run: " << cmd;
        return "";
    }
    static std::string flash(off_t at, size_t n) {
        std::string b(n, '\0');
        UniqueFd fd(::open((dir() + "/flash.ram").c_str(), O_RDONLY | O_CLOEXEC));
        b.resize(std::max<ssize_t>(0, ::pread(fd.get(), b.data(), n, at)));
        return b;
    }
    // A 5 MiB package of this version: its record, image and application part, and the whole.
    static std::array<std::string, 4> package(int major, int minor, size_t app_len = 2642700) {
        std::mt19937 rng(major * 100 + minor);
        wlink::ByteVec data(2600000), app(app_len);
        for (auto *v : {&data, &app}) std::generate(v->begin(), v->end(), [&] { return static_cast<uint8_t>(rng()); });
        const wlink::ByteVec image = wlink::wrap_image({}, data), pkg = wlink::build_package(image, app, major, minor);
        const auto str = [](const wlink::ByteVec &v, size_t n) { return std::string(v.begin(), v.begin() + n); };
        return {str(pkg, 20), str(image, image.size()), str(app, app.size()), str(pkg, pkg.size())};
    }
    // AT+UPGRADE=, then the request and the package; the module's last message (hex).
    // A connection closed without a word reached the forward before the board listened:
    // it is made again.
    static std::string upgrade(const std::string &pkg) {
        if (udp("AT+UPGRADE=9999 boardtoken") != "+OK") return "refused";
        std::string head(68, '\0');
        for (int i = 0; i < 4; ++i) head[i] = static_cast<char>(pkg.size() >> (24 - 8 * i));
        head.replace(4, 10, "boardtoken");
        head += pkg;
        for (int attempt = 0; attempt < 100; ++attempt, std::this_thread::sleep_for(std::chrono::milliseconds(100))) {
            const std::string got = tcp(up_port_, head);
            if (got.size() >= 8) return hex(Bytes(got.end() - 8, got.end()));
        }
        return "";
    }
    static void cut_upgrade(int minor, bool in_record);
    static std::string erased(size_t n) { return std::string(n, '\xFF'); }
    // Partition contents: `part` at the start, erased after it.
    static bool holds(off_t at, const std::string &part) {
        return flash(at, kPart) == part + erased(kPart - part.size());
    }
};

// The ready line once the daemon answered on serial; UDP after AT+UIP= (sent by boot()).
TEST_F(Board, HeartbeatOnSerialThenUdpThenASettingsRoundTripAndApplyOnBr0AndUdhcpd) {
    EXPECT_EQ(ready(), "wlinkcmd-vm: ready serial=" + dir() + "/tty udp=127.0.0.1:" + std::to_string(udp_port_) +
                           " upgrade=127.0.0.1:" + std::to_string(up_port_) + " host=10.0.2.2");
    EXPECT_EQ(serial("AT+"), "+OK");
    EXPECT_EQ(udp({"AT+", "AT+UIP"}), "+OK +OK=10.0.2.2");
    EXPECT_EQ(udp({"AT+SSID=BoardNet", "AT+KEY=board-key-1", "AT+SSID", "AT+KEY"}),
              "+OK +OK +OK=BoardNet +OK=board-key-1");
    EXPECT_EQ(sh("grep -E '^(SSID1|WPAPSK1)=' /config/mt7628.dat"), "SSID1=BoardNet\nWPAPSK1=board-key-1\n");
    const std::string before = sh("pidof udhcpd");
    EXPECT_EQ(udp({"AT+LANIP=192.168.7.1", "AT+DHCP=120 30 12h", "AT+ENCFG"}), "+OK +OK +OK");
    EXPECT_EQ(sh("ip -4 -o addr show br0 | awk '{print $4}'"), "192.168.7.1/24\n");
    const std::string after = sh("pidof udhcpd");
    EXPECT_TRUE(after != before && after != "\n") << "a new udhcpd: " << before << after;
    EXPECT_EQ(sh("grep -E '^(start|end)' /etc/udhcpd.conf"), "start\t\t192.168.7.120\nend\t\t192.168.7.150\n");
    EXPECT_EQ(udp({"AT+LANIP=192.168.1.1", "AT+DHCP=100 50 24h", "AT+ENCFG"}), "+OK +OK +OK");
}

// The stand-in driver answers as the simulated one: both get the same driver files
// (DIR/sim/NAME, /proc/ra0/NAME; "" is the default: no sim file, an empty board file) and
// the same lease file, then every driver command; the replies are compared byte for
// byte, and so is the listing of each survey. "$" in AT+CIP= is the address the
// module's last AT+CINFO= gave.
TEST_F(Board, DriverCommandsAnswerAsOnTheSimulatedModule) {
    wlink_sim::SimProcess sim(wlink_sim::command_from_env(WLINK_SIM_PATH), "wlinkboard-sim");
    wlink::SerialClient sim_serial;
    wlink::UdpClient sim_udp;
    std::string err;
    ASSERT_TRUE(sim.start(1, &err) && sim_serial.open(sim.root + "/sim/tty", &err) &&
                sim_serial.command("AT+UIP=127.0.0.1", 3000, &err) == std::optional<std::string>("+OK") &&
                sim_udp.open("127.0.0.1", sim.udp_port, &err))
        << err;
    // Stations a and b, associated for t.
    const auto a = [](const char *t) {
        return std::string("AA:BB:CC:00:00:01 -45 -50 -60 HT40 150 ") + t + " 200 25\n";
    };
    const auto b = [](const char *t) {
        return std::string("aa:bb:cc:00:00:02 -70 -72 -80 HT20 65 ") + t + " 1000 130\n";
    };
    const std::string survey =
        "ra0       get_site_survey:\nCh  SSID  BSSID  Security  Signal(%)  W-Mode\n"
        "6 Home 00:11:22:33:44:55 WPA2PSK 90 11b/g/n\n1 Weak 00:11:22:33:44:56 NONE 70 11b/g/n\n"
        "11 QEL_NVR_WIFI_T1_TEST 00:11:22:33:44:57 WPA2PSK 80 11b/g/n\n";
    const auto wsc = [](const char *status, const char *tx) {
        return std::string("WscStatus=") + status + "\nTX PER=" + tx + "\nRX PER=1%\n";
    };
    struct Step {
        std::vector<std::pair<std::string, std::string>> files;
        std::vector<std::string> cmds;
    };
    const Step steps[] = {
        {{{"stations", ""}, {"survey", ""}, {"wscinfo", ""}, {"hwaddr", ""}, {"channel", ""}},
         {"AT+CNUM", "AT+STAONLINECHECK", "AT+MAC", "AT+CHANNEL!=", "AT+PER", "AT+SCAN", "AT+CWIFISINALNUM"}},
        {{{"stations", a("100") + "# a comment\n\n" + b("300")}},
         {"AT+CNUM", "AT+CINFO=x 0", "AT+CIP=$", "AT+CINFO=x 1", "AT+CIP=$", "AT+CINFO=x 2", "AT+CMC=aa:bb:cc:00:00:02",
          "AT+CMC=AA:BB:CC:00:00:01", "AT+RETRYINFO=x 0", "AT+RETRYINFO=x 1", "AT+STAONLINECHECK",
          "AT+STAONLINECHECK"}},
        {{{"stations", a("900")}}, {"AT+STAONLINECHECK", "AT+CNUM", "AT+CMC=aa:bb:cc:00:00:02"}},  // b leaves
        {{{"stations", a("1000") + b("300")}}, {"AT+STAONLINECHECK", "AT+STAONLINECHECK"}},        // b joins again
        {{{"stations", a("1100") + b("5")}}, {"AT+STAONLINECHECK", "AT+RETRYINFO=x 1"}},
        {{{"hwaddr", "AA:BB:CC:DD:EE:0F\n"}, {"channel", "11\n"}, {"wscinfo", wsc("0x3", "5%")}},
         {"AT+MAC", "AT+CHANNEL!=", "AT+PER", "AT+WPS", "AT+WPS="}},
        {{{"wscinfo", wsc("0x1", "0%")}, {"hwaddr", "00:00:00:00:00:00\n"}},
         {"AT+WPS=", "AT+MAC", "AT+APSTART", "AT+RESET"}},  // a station ended the run
        {{{"wscinfo", wsc("0x12", "2%")}, {"survey", survey}, {"hwaddr", ""}},
         {"AT+WPS=", "AT+SCAN", "AT+CWIFISINALNUM", "AT+CWIFISINGALSINGLEINFO=0", "AT+CWIFISINGALSINGLEINFO=1",
          "AT+CWIFISINGALSINGLEINFO=2", "AT+CWIFISINGALSINGLEINFO=32", "AT+SENSITIVITY=1", "AT+MAC"}},
        {{{"stations", ""}, {"survey", ""}, {"wscinfo", "TX PER=3%\n"}, {"channel", ""}},
         {"AT+WPS=", "AT+PER", "AT+CHANNEL!=", "AT+CNUM", "AT+STAONLINECHECK"}},
    };
    // The lease of station a, 192.168.1.123 (24-byte records).
    std::string lease("\xaa\xbb\xcc\0\0\x01", 6);
    lease += std::string(10, '\0') + "\xc0\xa8\x01\x7b" + std::string(4, '\0');
    const auto printf_text = [](const std::string &t) {
        std::string out;
        char oct[8];
        for (unsigned char c : t)
            out += c == '\n'                                       ? "\\n"
                   : c == '%'                                      ? "%%"
                   : (c < 32 || c > 126 || c == '\'' || c == '\\') ? (snprintf(oct, sizeof oct, "\\%03o", c), oct)
                                                                   : std::string(1, c);
        return "printf '" + out + "' ";
    };
    { std::ofstream(sim.root + "/tmp/udhcpd.leases", std::ios::binary) << lease; }
    EXPECT_EQ(sh("cp /tmp/udhcpd.leases /tmp/leases.kept; " + printf_text(lease) + ">/tmp/udhcpd.leases"), "");
    std::string mac[2];
    const auto ask = [&](int m, std::string cmd) {
        if (cmd == "AT+CIP=$") cmd = "AT+CIP=" + mac[m];
        std::optional<std::string> r =
            m == 0 ? sim_udp.command(cmd, 10000, 1, &err) : udp_.command(cmd, 10000, 1, &err);
        if (cmd.rfind("AT+CINFO=", 0) == 0 && r && r->size() >= 4) mac[m] = r->substr(4, r->find(',') - 4);
        return r.value_or("<no reply: " + err + ">");
    };
    for (const Step &step : steps) {
        std::string board;
        for (const auto &[name, text] : step.files) {
            const std::string path = sim.root + "/sim/" + name;
            if (text.empty())
                std::filesystem::remove(path);
            else
                std::ofstream(path, std::ios::binary) << text;
            board += printf_text(text) + ">/proc/ra0/" + name + "; ";
        }
        EXPECT_EQ(sh(board), "");
        for (const std::string &cmd : step.cmds) {
            const std::string want = ask(0, cmd);
            EXPECT_EQ(ask(1, cmd), want) << cmd;
            if (cmd == "AT+SCAN") {
                EXPECT_EQ(sh("cat /wifi_scan.txt"), read_file(sim.root + "/wifi_scan.txt")) << "the listing";
            }
        }
    }
    sh("mv /tmp/leases.kept /tmp/udhcpd.leases");
}

TEST_F(Board, PasswordGoesThroughChpasswdAndAFailedOneAnswersErr) {
    const std::string shadow = sh("cat /etc/shadow");
    EXPECT_EQ(udp("AT+PASSWD=it's new"), "+OK");
    const std::string changed = sh("cat /etc/shadow");
    EXPECT_TRUE(changed.rfind("root:$6$", 0) == 0 && changed != shadow) << changed;
    sh("mv /usr/sbin/chpasswd /usr/sbin/chpasswd.off");
    EXPECT_EQ(udp("AT+PASSWD=other"), "+ERR") << "no chpasswd: the password was not changed";
    sh("mv /usr/sbin/chpasswd.off /usr/sbin/chpasswd");
    EXPECT_EQ(sh("cat /etc/shadow"), changed);
}

// udhcpd (restarted by AT+ENCFG) and dropbear (AT+SSH) are the daemon's children.
TEST_F(Board, ChildrenHoldNeitherTheSerialLineNorPort8888) {
    EXPECT_EQ(udp({"AT+DHCP=100 50 24h", "AT+ENCFG", "AT+SSH"}), "+OK +OK +OK");
    const Lines out =
        split_lines(sh("awk '$2 ~ /:22B8$/ {print \"inode \" $10}' /proc/net/udp; for p in $(pidof udhcpd dropbear); "
                       "do echo \"pid $p\";"
                       " ls -l /proc/$p/fd | sed 's/.*-> //'; done"));
    ASSERT_GE(out.size(), 3u);
    const std::string port = "socket:[" + out[0].substr(6) + "]";
    EXPECT_EQ(std::count_if(out.begin(), out.end(), [](const std::string &l) { return l.rfind("pid ", 0) == 0; }), 2);
    for (const std::string &l : out) EXPECT_TRUE(l.find("ttyS0") == std::string::npos && l != port) << l;
}

TEST_F(Board, UpgradesGoThroughFlashcpAndTheRecordThenAnotherRightAfter) {
    const std::string kept = flash(kMtd2, kRecord);
    for (int minor : {2, 3}) {
        const auto [rec, image, app, pkg] = package(1, minor);
        ASSERT_EQ(upgrade(pkg), "00 00 00 00 00 00 00 00");
        EXPECT_TRUE(holds(kMtd5, image) && holds(kMtd6, app));
        EXPECT_EQ(flash(kMtd2, 0x10000), kept + rec + erased(0x10000 - kRecord - 20));
        EXPECT_EQ(udp("AT+VER"), "+OK=V1." + std::to_string(minor));
    }
}

TEST_F(Board, KilledDaemonIsStartedAgainByInit) {
    const std::string pid = sh("pidof wlinkcmd");
    const auto t0 = std::chrono::steady_clock::now();
    sh("kill -9 " + pid);
    ASSERT_TRUE(wait_until([] { return serial("AT+", 300) == "+OK"; }, 20000));
    std::cout << "board: daemon answering again "
              << std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - t0).count()
              << " ms after kill -9\n";
    EXPECT_NE(sh("pidof wlinkcmd"), pid);
    EXPECT_EQ(serial("AT+UIP=10.0.2.2"), "+OK");
    EXPECT_EQ(udp("AT+"), "+OK");
}

TEST_F(Board, RebootRestartsTheBoardAndKeepsTheProfile) {
    const std::string boot_id = sh("cat /proc/sys/kernel/random/boot_id");
    const auto boots = [] { return read_file(dir() + "/console.log").rfind("board: network"); };
    const size_t before = boots();
    EXPECT_EQ(udp("AT+SSID=KeptAcrossReboot"), "+OK");
    EXPECT_EQ(serial("AT+REBOOT"), "+OK");
    ASSERT_TRUE(wait_until([&] { return boots() > before; }, 180000)) << "no second start-up on the console";
    ASSERT_TRUE(wait_until([] { return serial("AT+", 1000) == "+OK"; }, 60000));
    EXPECT_NE(sh("cat /proc/sys/kernel/random/boot_id"), boot_id);
    EXPECT_EQ(serial("AT+UIP=10.0.2.2"), "+OK");
    EXPECT_EQ(udp("AT+SSID"), "+OK=KeptAcrossReboot");
}

TEST_F(Board, PowerCutRightAfterOkKeepsTheNewValue) {
    EXPECT_EQ(udp({"AT+SSID=AfterCut", "AT+DHCP=110 40 6h"}), "+OK +OK");
    power_cut();
    ASSERT_TRUE(boot());
    EXPECT_EQ(udp("AT+SSID"), "+OK=AfterCut");
    EXPECT_EQ(sh("grep ^start /etc/udhcpd.conf"), "start\t\t192.168.1.110\n");
    EXPECT_EQ(udp("AT+RESTORE"), "+OK");
    power_cut();
    ASSERT_TRUE(boot());
    EXPECT_EQ(sh("cmp /config/mt7628.dat /etc/wireless/mt7628/mt7628.dat && echo same"), "same\n");
}

// Keys of each line of `text` (up to '=' or blank), in order: a cut file loses some.
Lines keys(const std::string &text) {
    Lines out;
    for (const std::string &l : split_lines(text)) out.push_back(l.substr(0, l.find_first_of("=\t ")));
    return out;
}

TEST_F(Board, PowerCutDuringWritesLeavesEveryFileWhole) {
    const std::string profile_keys = sh("cat /etc/wireless/mt7628/mt7628.dat"), dhcp_keys = sh("cat /etc/udhcpd.conf");
    std::atomic<bool> go{true};
    std::thread writer([&] {
        for (int i = 0; go; ++i)
            udp(i % 3 == 0   ? "AT+SSID=Cut" + std::to_string(i)
                : i % 3 == 1 ? "AT+DHCP=1" + std::to_string(10 + i % 80) + " 20 1h"
                             : "AT+RESTORE");
    });
    std::this_thread::sleep_for(std::chrono::milliseconds(std::random_device()() % 2000 + 500));
    power_cut();
    go = false;
    writer.join();
    ASSERT_TRUE(boot());
    EXPECT_EQ(keys(sh("cat /config/mt7628.dat")), keys(profile_keys));
    EXPECT_EQ(keys(sh("cat /etc/udhcpd.conf")), keys(dhcp_keys));
}

// A cut during an upgrade (while flashcp writes mtd5, or once the block of the record was
// erased): after boot the kept area of mtd2 is whole, the record is the old or the new
// one, AT+VER agrees, and a new record comes with both new parts.
void Board::cut_upgrade(int minor, bool in_record) {
    const std::string kept = flash(kMtd2, kRecord), old_rec = flash(kMtd2 + kRecord, 20), old_mtd5 = flash(kMtd5, 4096);
    const auto [rec, image, app, pkg] = package(1, minor);
    std::thread host([&pkg = pkg] { upgrade(pkg); });
    const bool hit = wait_until(
        [&] { return in_record ? flash(kMtd2, 64) != kept.substr(0, 64) : flash(kMtd5, 4096) != old_mtd5; }, 120000);
    power_cut();
    host.join();
    EXPECT_TRUE(hit) << "the moment never came";
    ASSERT_TRUE(boot());
    const std::string now = flash(kMtd2 + kRecord, 20);
    EXPECT_EQ(flash(kMtd2, kRecord), kept) << "the kept area of mtd2";
    EXPECT_TRUE(now == old_rec || now == rec) << "record " << hex(Bytes(now.begin(), now.end()));
    EXPECT_EQ(udp("AT+VER"), "+OK=V" + std::to_string((uint8_t)now[2]) + "." + std::to_string((uint8_t)now[3]));
    if (now == rec) {
        EXPECT_TRUE(holds(kMtd5, image) && holds(kMtd6, app));
    }
}

TEST_F(Board, PowerCutWhileAnUpgradeWritesItsParts) { cut_upgrade(4, false); }

// Between the erase and the write-back, /tmp/mtd2_buf (RAM) is lost: the block comes back
// from its copy on /config.
TEST_F(Board, PowerCutBetweenTheRecordBlocksEraseAndItsWriteBack) { cut_upgrade(5, true); }

// Booted with upgrade keys and a board name, the board flashes through flashcp only a
// package signed with its key for its board; the others touch no partition.
TEST_F(Board, WithKeysOnlyASignedPackageForItsBoardIsFlashed) {
    uint8_t pub[32], secret[64];
    ASSERT_EQ(wlink_sign_keygen(pub, secret), WLINK_OK);
    std::string line;
    for (uint8_t b : pub) line += "0123456789abcdef"[b >> 4], line += "0123456789abcdef"[b & 15];
    std::ofstream(dir() + "/upgrade.pub") << line << "\n";
    power_cut();
    ASSERT_TRUE(boot({"--keys", dir() + "/upgrade.pub", "--board", "rec-7628"}));
    const auto [rec, image, app, pkg] = package(3, 1, 2642500);
    const auto sign = [&, pkg = pkg](const char *board) {
        std::string out(pkg.size() + 140, '\0');
        EXPECT_EQ(wlink_package_sign(reinterpret_cast<const uint8_t *>(pkg.data()), pkg.size(), secret, board, 0,
                                     reinterpret_cast<uint8_t *>(out.data()), out.size()),
                  WLINK_OK);
        return out;
    };
    const std::string before = flash(kMtd5, kPart) + flash(kMtd6, kPart), failed = "00 00 00 00 FF FF FF FF";
    const size_t log_mark = read_file(dir() + "/daemon.log").size();
    EXPECT_EQ(upgrade(pkg), failed);
    EXPECT_EQ(upgrade(sign("rec-7620")), failed);
    EXPECT_EQ(flash(kMtd5, kPart) + flash(kMtd6, kPart), before) << "no partition touched";
    const std::string said = read_file(dir() + "/daemon.log").substr(log_mark);
    EXPECT_NE(said.find("it is not signed"), std::string::npos) << said;
    EXPECT_NE(said.find("signed for board \"rec-7620\", this module is \"rec-7628\""), std::string::npos) << said;
    ASSERT_EQ(upgrade(sign("rec-7628")), "00 00 00 00 00 00 00 00");
    EXPECT_TRUE(holds(kMtd5, image) && holds(kMtd6, app)) << "the trailer stays off the flash";
    EXPECT_EQ(udp("AT+VER"), "+OK=V3.1");
}

}  // namespace
}  // namespace e2e
