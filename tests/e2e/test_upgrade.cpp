// Firmware upgrade through the simulated module: packages, the exchange's exact
// bytes, heartbeats, flash partitions and the version record.
#include <sys/wait.h>

#include <atomic>
#include <thread>

#include "sim_module.h"
#include "wlink_package.h"

namespace e2e {
namespace {

const std::string kBeat = "00 00 00 04 00 00 00 0A", kLastBeat = "00 00 00 04 00 00 00 01";
const std::string kTokenOk = "00 00 00 00 00 00 00 03", kFailed = "00 00 00 00 FF FF FF FF";

// Every wait and time limit of the module runs 100 times faster.
class Upgrade : public SimModule {
protected:
    int time_scale() const override { return 100; }
    void SetUp() override {
        SimModule::SetUp();
        ASSERT_EQ(serial("AT+UIP=127.0.0.1"), "+OK");
    }
    std::string file(const std::string &name) const { return root_ + "/../" + name; }
    void write(const std::string &name, const std::string &data) {
        std::ofstream(file(name), std::ios::binary) << data;
    }
    int run(const std::string &cmd) { return WEXITSTATUS(std::system((cmd + " >/dev/null 2>&1").c_str())); }
    std::string ctl(const std::string &args) { return std::string(WLINKCTL_PATH) + " " + args; }

    // "AT+UPGRADE=9999 tok", then a connection that sends `head` (68 bytes: the length
    // and `token`, or nothing when len < 0) and `body`; returns the messages the module
    // sent until it closed, or until the host leaves after `max_msgs` of them.
    std::string exchange(int64_t len, const std::string &token, const std::string &body, size_t max_msgs = 1000) {
        EXPECT_EQ(udp("AT+UPGRADE=9999 tok"), "+OK");
        UniqueFd fd(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
        sockaddr_in a{AF_INET, htons(upgrade_port_), {htonl(INADDR_LOOPBACK)}, {}};
        EXPECT_TRUE(
            wait_until([&] { return ::connect(fd.get(), reinterpret_cast<sockaddr *>(&a), sizeof a) == 0; }, 2000));
        std::string head(68, '\0');
        for (int i = 0; i < 4; ++i) head[i] = static_cast<char>(len >> (24 - 8 * i));
        head.replace(4, token.size(), token);
        if (len >= 0) head += body;
        EXPECT_EQ(::send(fd.get(), head.data(), len >= 0 ? head.size() : 0, MSG_NOSIGNAL),
                  len >= 0 ? (ssize_t)head.size() : 0);
        Bytes got;
        uint8_t buf[512];
        for (pollfd p{fd.get(), POLLIN, 0}; got.size() < 8 * max_msgs;) {
            if (::poll(&p, 1, 5000) != 1) return hex(got) + " (not closed)";
            const ssize_t n = ::recv(fd.get(), buf, std::min(sizeof buf, 8 * max_msgs - got.size()), 0);
            if (n <= 0) break;
            got.insert(got.end(), buf, buf + n);
        }
        return hex(got);
    }
};

std::string repeat(const std::string &s, int n) {
    std::string out;
    for (int i = 0; i < n; ++i) out += " " + s;
    return out;
}

TEST_F(Upgrade, MkimageAndPackPackagesBackToBackWriteTheirPartsAndVersion) {
    EXPECT_EQ(udp("AT+VER"), "+OK=V0.0");
    const std::string mtd2 = read_file(path("/dev/mtd2")), erased(6 << 20, '\xFF');
    write("kern", std::string(70001, 'K') + "end");
    write("app", std::string(150000, 'A') + "end");
    ASSERT_EQ(run("mkimage -A mips -O linux -T kernel -C none -a 0x80000000 -e 0x80000000 -n e2e -d " + file("kern") +
                  " " + file("kern.img")),
              0);
    const struct {
        const char *image, *version, *ver;
    } cases[] = {{"kern.img", "1.2", "+OK=V1.2"}, {"kern", "250.7", "+OK=V250.7"}};
    for (const auto &c : cases) {
        ASSERT_EQ(run(ctl("pack --image " + file(c.image) + " --app " + file("app") + " --version " + c.version +
                          " -o " + file("pkg"))),
                  0);
        const std::string pkg = read_file(file("pkg")), image = pkg.substr(20, 64 + 70004),
                          app = pkg.substr(20 + 64 + 70004);
        write("part.img", image);
        EXPECT_EQ(run("mkimage -l " + file("part.img")), 0) << "the legacy header mkimage reads";
        EXPECT_EQ(run(ctl("upgrade --udp 127.0.0.1:" + std::to_string(udp_port_) + " --port " +
                          std::to_string(upgrade_port_) + " " + file("pkg"))),
                  0);
        EXPECT_EQ(read_file(path("/dev/mtd5")), image + erased.substr(image.size())) << c.image;
        EXPECT_EQ(read_file(path("/dev/mtd6")), app + erased.substr(app.size())) << c.image;
        EXPECT_EQ(read_file(path("/dev/mtd2")), mtd2.substr(0, 65024) + pkg.substr(0, 20) + std::string(492, '\xFF'));
        EXPECT_EQ(udp("AT+VER"), c.ver);
    }
}

std::string package(size_t image, size_t app, int major = 1, int minor = 0) {
    wlink::ImageHeader h;
    const wlink::ByteVec p =
        wlink::build_package(wlink::wrap_image(h, wlink::ByteVec(image, 1)), wlink::ByteVec(app, 2), major, minor);
    return std::string(p.begin(), p.end());
}

TEST_F(Upgrade, ExchangeAnswersAndRefusals) {
    write("root/dev/mtd6", std::string(89, '\xFF'));
    const std::string flash = read_file(path("/dev/mtd5")) + read_file(path("/dev/mtd6"));
    std::string bad = package(5000, 89);
    bad[100] ^= 1;  // image data CRC
    const struct {
        const char *what;
        int64_t len;
        std::string token, body, sent;
    } cases[] = {
        {"wrong token", 100, "toc", "", "00 00 00 00 00 00 00 01"},
        {"length 0", 0, "tok", "", ""},
        {"length 5242881", 5242881, "tok", "", ""},
        {"silent host", -1, "", "", ""},
        {"length 5242880, too little sent", 5242880, "tok", std::string(1000, 'x'), kTokenOk + " " + kFailed},
        {"corrupt CRC", (int64_t)bad.size(), "tok", bad, kTokenOk + " " + kFailed},
        {"application part past mtd6", 5000 + 84 + 90, "tok", package(5000, 90), kTokenOk + " " + kFailed},
    };
    for (const auto &c : cases) EXPECT_EQ(exchange(c.len, c.token, c.body), c.sent) << c.what;
    EXPECT_EQ(read_file(path("/dev/mtd5")) + read_file(path("/dev/mtd6")), flash) << "no partition touched";
    EXPECT_EQ(udp("AT+VER"), "+OK=V0.0");
    EXPECT_EQ(udp("AT+UPGRADE=9999 "), "+ERR") << "no token";

    // A host trickling its package a byte at a time (never 10 s silent) is cut off.
    EXPECT_EQ(udp("AT+UPGRADE=9999 tok"), "+OK");
    UniqueFd fd(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
    sockaddr_in a{AF_INET, htons(upgrade_port_), {htonl(INADDR_LOOPBACK)}, {}};
    ASSERT_EQ(::connect(fd.get(), reinterpret_cast<sockaddr *>(&a), sizeof a), 0);
    std::string head = std::string("\0\0\x10\0tok", 7) + std::string(61, '\0');
    ::send(fd.get(), head.data(), head.size(), MSG_NOSIGNAL);
    std::string got;
    for (int i = 0; i < 200 && got.size() < 16; ++i) {
        ::send(fd.get(), "x", 1, MSG_NOSIGNAL);
        std::this_thread::sleep_for(std::chrono::milliseconds(20));  // 2 s of module time
        char b[16];
        const ssize_t n = ::recv(fd.get(), b, sizeof b, MSG_DONTWAIT);
        if (n > 0) got.append(b, (size_t)n);
    }
    EXPECT_EQ(hex(Bytes(got.begin(), got.end())), kTokenOk + " " + kFailed);

    // A listener no host connects to closes after 60 s.
    EXPECT_EQ(udp("AT+UPGRADE=9999 late"), "+OK");
    std::this_thread::sleep_for(std::chrono::milliseconds(800));
    UniqueFd late(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
    EXPECT_NE(::connect(late.get(), reinterpret_cast<sockaddr *>(&a), sizeof a), 0);
}

// A second upgrade while one writes flash is refused and changes nothing: the first
// one's beats go on, its result is success and the flash holds its package. While
// one only listens, a new command gives it a new token.
TEST_F(Upgrade, OneUpgradeAtATime) {
    write("root/sim/flash-delay-ms", "20000");
    const std::string first = package(3000, 900, 3, 4);
    std::string sent;
    std::thread host([&] { sent = exchange((int64_t)first.size(), "tok", first); });
    ASSERT_TRUE(
        wait_until([&] { return read_file(path("/sim/events")).find("op flash-copy") != std::string::npos; }, 3000));
    EXPECT_EQ(udp("AT+UPGRADE=9999 second"), "+ERR");
    EXPECT_EQ(udp("AT+UPGSTATE"), "+OK=busy");
    host.join();
    const size_t beats = (sent.size() - kTokenOk.size() - 24) / 24;
    EXPECT_EQ(sent, kTokenOk + repeat(kBeat, (int)beats) + " 00 00 00 00 00 00 00 00");
    EXPECT_GE(beats, 10u) << "2 x 20 s of flash writes, a beat every 3 s";
    EXPECT_EQ(read_file(path("/dev/mtd5")).substr(0, 3064), first.substr(20, 3064));
    EXPECT_EQ(udp("AT+VER"), "+OK=V3.4");

    write("root/sim/flash-delay-ms", "0");
    EXPECT_EQ(udp("AT+UPGRADE=9999 stale"), "+OK");
    sent = exchange((int64_t)first.size(), "tok", first);  // the token of the second command
    EXPECT_EQ(sent.substr(0, kTokenOk.size()) + sent.substr(sent.size() - 24), kTokenOk + " 00 00 00 00 00 00 00 00");
}

// A module killed while it writes the application part, the image already new: after
// the restart the record and AT+VER still name the old package, and AT+UPGSTATE (and
// wlinkctl) say the flash may be half-written until an upgrade succeeds.
TEST_F(Upgrade, ACutMidUpgradeIsKnownAfterTheRestartUntilAGoodUpgrade) {
    const std::string pkg = package(3000, 900, 7, 2), mark = path("/config/upgrade_mark");
    write("pkg", pkg);
    const auto up = [&](const std::string &more) {
        return run(ctl("upgrade --udp 127.0.0.1:" + std::to_string(udp_port_) + " --port " +
                       std::to_string(upgrade_port_) + " " + file("pkg") + more));
    };
    EXPECT_EQ(udp("AT+UPGSTATE"), "+OK=none");
    write("root/sim/flash-delay-ms", "300000");  // 3 s before each part
    std::thread host([&] { up(""); });
    EXPECT_TRUE(wait_until(
        [&] {
            std::string head(3064, '\0');
            std::ifstream(path("/dev/mtd5"), std::ios::binary).read(&head[0], 3064);
            return head == pkg.substr(20, 3064);
        },
        10000));
    ::kill(pid_, SIGKILL);
    EXPECT_TRUE(wait_exit(5000));
    host.join();
    EXPECT_EQ(read_file(path("/dev/mtd6")).substr(0, 900) + read_file(mark), std::string(900, '\xFF') + "V7.2\n");
    ASSERT_TRUE(start());
    allow_udp();
    EXPECT_EQ(udp("AT+VER") + udp("AT+UPGSTATE"), "+OK=V0.0+OK=interrupted");
    EXPECT_EQ(run(ctl("--udp 127.0.0.1:" + std::to_string(udp_port_) + " upgstate | grep -x interrupted")), 0);
    write("root/sim/flash-delay-ms", "0");
    EXPECT_EQ(up(" --json | grep '\"version_before\":\"V0.0\",\"state_before\":\"interrupted\"}'"), 0);
    EXPECT_EQ(udp("AT+VER") + udp("AT+UPGSTATE"), "+OK=V7.2+OK=none");
    EXPECT_FALSE(std::ifstream(mark).good()) << "the mark is gone";
}

TEST_F(Upgrade, HeartbeatsDuringSlowFlashWritesAndAHostThatLeaves) {
    write("root/sim/flash-delay-ms", "125000");  // 2 x 125 s: past the 40th beat
    const std::string pkg = package(3000, 900, 2, 1);
    EXPECT_EQ(exchange((int64_t)pkg.size(), "tok", pkg),
              kTokenOk + repeat(kBeat, 40) + " " + kLastBeat + " 00 00 00 00 00 00 00 00");
    EXPECT_EQ(udp("AT+VER"), "+OK=V2.1");

    // The host goes after the second beat: the beats fail, the daemon answers on.
    EXPECT_EQ(exchange((int64_t)pkg.size(), "tok", pkg, 3), kTokenOk + repeat(kBeat, 2));
    EXPECT_TRUE(log_has("Send error heart:"));
    for (int i = 0; i < 3; ++i) EXPECT_EQ(udp("AT+"), "+OK");
    EXPECT_TRUE(wait_until([&] { return errlog().find("Send EXITor:") != std::string::npos; }, 5000));
    EXPECT_EQ(udp("AT+VER"), "+OK=V2.1");
    EXPECT_FALSE(wait_exit(0)) << "the daemon is still running";
}

// A socket of another host on this machine's loopback network (127.0.0.2), connected
// to the upgrade port; invalid when the connection was refused.
UniqueFd station_connect(uint16_t port) {
    UniqueFd fd(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
    sockaddr_in me{AF_INET, 0, {htonl(0x7F000002)}, {}}, to{AF_INET, htons(port), {htonl(INADDR_LOOPBACK)}, {}};
    if (::bind(fd.get(), reinterpret_cast<sockaddr *>(&me), sizeof me) != 0 ||
        ::connect(fd.get(), reinterpret_cast<sockaddr *>(&to), sizeof to) != 0)
        fd.reset();
    return fd;
}

// Ten times faster only: the station's connections fill the listener's backlog, so the
// host's first SYN may be dropped and sent again a second later, which must fall
// inside the listener's 60 s (0.6 s at the other tests' pace).
class UpgradeTenfold : public Upgrade {
protected:
    int time_scale() const override { return 10; }
};

TEST_F(UpgradeTenfold, AnotherStationCanNeitherTakeNorBlockTheUpgrade) {
    const std::string pkg = package(3000, 900, 6, 1);
    EXPECT_EQ(udp("AT+UPGRADE=9999 tok"), "+OK");  // asked from 127.0.0.1
    // A station that connects first, and keeps connecting: closed at once, without a word.
    UniqueFd first = station_connect(upgrade_port_);
    ASSERT_TRUE(first.valid());
    char b;
    pollfd p{first.get(), POLLIN, 0};
    ASSERT_EQ(::poll(&p, 1, 2000), 1);
    EXPECT_EQ(::recv(first.get(), &b, 1, 0), 0) << "closed without a word";
    std::atomic<bool> done{false};
    std::thread station([&] {
        while (!done) station_connect(upgrade_port_);
    });
    struct Stop {
        std::atomic<bool> &done;
        std::thread &t;
        ~Stop() {
            done = true;
            if (t.joinable()) t.join();
        }
    } stop{done, station};  // also when an assertion below ends the test early
    // The host's request comes in two pieces, cut inside the token.
    UniqueFd fd(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
    sockaddr_in a{AF_INET, htons(upgrade_port_), {htonl(INADDR_LOOPBACK)}, {}};
    ASSERT_EQ(::connect(fd.get(), reinterpret_cast<sockaddr *>(&a), sizeof a), 0);
    std::string head(68, '\0');
    head[2] = static_cast<char>(pkg.size() >> 8), head[3] = static_cast<char>(pkg.size());
    head.replace(4, 3, "tok");
    ::send(fd.get(), head.data(), 5, MSG_NOSIGNAL);
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
    ::send(fd.get(), head.data() + 5, 63, MSG_NOSIGNAL);
    uint8_t answer[8];
    EXPECT_EQ(::recv(fd.get(), answer, 8, MSG_WAITALL), 8);
    EXPECT_EQ(hex(Bytes(answer, answer + 8)), kTokenOk);
    ::send(fd.get(), pkg.data(), pkg.size(), MSG_NOSIGNAL);
    while (::recv(fd.get(), answer, 8, MSG_WAITALL) == 8 && answer[3] == 4) {}  // heartbeats, then the result
    done = true;
    station.join();
    EXPECT_EQ(hex(Bytes(answer, answer + 8)), "00 00 00 00 00 00 00 00") << "the result";
    EXPECT_EQ(udp("AT+VER"), "+OK=V6.1");
    const std::string err = errlog();
    size_t refusals = 0;
    for (size_t at = 0;
         (at = err.find("connection from 127.0.0.2 refused: the upgrade is for 127.0.0.1", at)) != std::string::npos;
         ++at)
        ++refusals;
    EXPECT_GE(refusals, 1u) << err;
    EXPECT_LE(refusals, 20u) << "at most one line per second of the module's clock";
    // Datagrams from elsewhere: refused, with one log line per second, not one each.
    sockaddr_in two{AF_INET, 0, {htonl(0x7F000002)}, {}};
    UniqueFd flood(::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0));
    ASSERT_EQ(::bind(flood.get(), reinterpret_cast<sockaddr *>(&two), sizeof two), 0);
    const Bytes dgram = unhex("55 44 33 22 73 65 71 07 2C 03 41 54 2B C0");
    sockaddr_in to{AF_INET, htons(udp_port_), {htonl(INADDR_LOOPBACK)}, {}};
    const size_t before = log().size();
    for (int i = 0; i < 300; ++i)
        ::sendto(flood.get(), dgram.data(), dgram.size(), 0, reinterpret_cast<sockaddr *>(&to), sizeof to);
    EXPECT_EQ(udp("AT+"), "+OK") << "the allowed peer is answered";
    const std::string flood_log = log().substr(before);
    size_t lines = 0;
    for (size_t at = 0; (at = flood_log.find("===ip check fail,src ip:127.0.0.1====", at)) != std::string::npos; ++at)
        ++lines;
    EXPECT_GE(lines, 1u);
    EXPECT_LE(lines, 30u) << "300 datagrams";
}

// A module with upgrade keys and a board name takes a package only when it is signed
// with one of its keys, for its board, and not older unless it says so. The trailer
// never reaches flash.
TEST_F(Upgrade, SignedPackagesOnAModuleWithKeys) {
    for (const char *k : {"ours", "theirs"}) ASSERT_EQ(run(ctl(std::string("keygen ") + file(k))), 0);
    ASSERT_EQ(std::system(("mkdir -p " + path("/etc/wlinkcmd") + " && cp " + file("ours.pub") + " " +
                           path("/etc/wlinkcmd/upgrade.pub") + " && echo rec-7628 >" + path("/etc/wlinkcmd/board"))
                              .c_str()),
              0);
    write("kern", std::string(3000, 'K'));
    write("app", std::string(900, 'A'));
    const std::string upgrade = "upgrade --udp 127.0.0.1:" + std::to_string(udp_port_) + " --port " +
                                std::to_string(upgrade_port_) + " " + file("pkg");
    const struct {
        const char *what, *version, *sign;
        int rc;
        const char *ver, *says;
    } cases[] = {
        {"unsigned", "2.0", "", 4, "+OK=V0.0", "it is not signed"},
        {"another key", "2.0", "--sign theirs.key --board rec-7628", 4, "+OK=V0.0", "which is not in"},
        {"another board", "2.0", "--sign ours.key --board rec-7620", 4, "+OK=V0.0", "signed for board \"rec-7620\""},
        {"the right key", "2.0", "--sign ours.key --board rec-7628", 0, "+OK=V2.0", "package signed with key"},
        {"a downgrade", "1.9", "--sign ours.key --board rec-7628", 4, "+OK=V2.0", "older than the installed V2.0"},
        {"a downgrade it allows", "1.9", "--sign ours.key --board rec-7628 --allow-downgrade", 0, "+OK=V1.9", ""},
    };
    for (const auto &c : cases) {
        std::string sign = c.sign;
        for (size_t at; (at = sign.find(" theirs.key")) != std::string::npos ||
                        (at = sign.find(" ours.key")) != std::string::npos;)
            sign.replace(at, 1, " " + file(""));
        ASSERT_EQ(run(ctl("pack --image " + file("kern") + " --app " + file("app") + " --version " + c.version +
                          " -o " + file("pkg") + " " + sign)),
                  0)
            << c.what;
        const std::string mtd6 = read_file(path("/dev/mtd6"));
        const size_t err_mark = errlog().size(), log_mark = log().size();
        EXPECT_EQ(run(ctl(upgrade)), c.rc) << c.what;
        EXPECT_EQ(udp("AT+VER"), c.ver) << c.what;
        EXPECT_TRUE((errlog().substr(err_mark) + log().substr(log_mark)).find(c.says) != std::string::npos) << c.what;
        const std::string pkg = read_file(file("pkg")), app = pkg.substr(20 + 64 + 3000, 900);
        EXPECT_EQ(read_file(path("/dev/mtd6")).substr(0, 901), c.rc == 0 ? app + "\xFF" : mtd6.substr(0, 901))
            << c.what;
    }
    EXPECT_EQ(run(ctl("inspect " + file("pkg") + " --key " + file("ours.pub"))), 0);
    EXPECT_EQ(run(ctl("inspect " + file("pkg") + " --key " + file("theirs.pub"))), 1);
    EXPECT_EQ(run(ctl("keygen " + file("ours"))), 1) << "never over a key";
}

}  // namespace
}  // namespace e2e
