// A hostile station on the module's own network: it can send any packet, UDP with the
// recorder's address as its source among them, and connect to any port first, but it
// cannot reach the serial line. The simulated module runs in a namespace of its own,
// bridged to a recorder's and an attacker's. The upgrade attacks must change nothing:
// no flash byte, no record. Needs root and iproute2.
#include <arpa/inet.h>
#include <netinet/ip.h>
#include <netinet/udp.h>
#include <poll.h>
#include <sys/socket.h>

#include <atomic>
#include <fstream>

#include "netns.h"
#include "sim_launch.h"
#include "unique_fd.h"
#include "wlink_package.h"

namespace {

const char *const kModule = "10.78.0.1", *const kRecorder = "10.78.0.2", *const kAttacker = "10.78.0.3";

sockaddr_in addr(const char *ip, uint16_t port) {
    sockaddr_in a{AF_INET, htons(port), {}, {}};
    inet_pton(AF_INET, ip, &a.sin_addr);
    return a;
}

// One command datagram to the module with a source address of the sender's choosing.
void forge_udp(const char *src, const std::string &cmd) {
    uint8_t pkt[28 + WLINK_DGRAM_OVERHEAD + WLINK_CMD_MAX] = {};
    const size_t n = wlink_datagram_encode(7, cmd.data(), cmd.size(), pkt + 28, sizeof pkt - 28);
    auto *ip = reinterpret_cast<iphdr *>(pkt);
    ip->version = 4, ip->ihl = 5, ip->ttl = 64, ip->protocol = IPPROTO_UDP;
    ip->tot_len = htons(static_cast<uint16_t>(28 + n));
    ip->saddr = addr(src, 0).sin_addr.s_addr, ip->daddr = addr(kModule, 0).sin_addr.s_addr;
    auto *udp = reinterpret_cast<udphdr *>(pkt + 20);
    udp->source = htons(40000), udp->dest = htons(WLINK_UDP_PORT), udp->len = htons(static_cast<uint16_t>(8 + n));
    UniqueFd fd(socket(AF_INET, SOCK_RAW | SOCK_CLOEXEC, IPPROTO_RAW));
    const sockaddr_in to = addr(kModule, 0);
    EXPECT_EQ(sendto(fd.get(), pkt, 28 + n, 0, reinterpret_cast<const sockaddr *>(&to), sizeof to),
              static_cast<ssize_t>(28 + n));
}

// Connects from this namespace to the upgrade port and sends a whole request and package:
// what the module answered before it closed ("" for nothing at all).
std::string take_upgrade(const std::string &token, const std::string &pkg) {
    UniqueFd fd(socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
    const sockaddr_in to = addr(kModule, WLINK_UPGRADE_PORT);
    if (connect(fd.get(), reinterpret_cast<const sockaddr *>(&to), sizeof to) != 0) return "refused";
    std::string req(68, '\0');
    req[2] = static_cast<char>(pkg.size() >> 8), req[3] = static_cast<char>(pkg.size());
    req.replace(4, token.size(), token);
    req += pkg;
    send(fd.get(), req.data(), req.size(), MSG_NOSIGNAL);
    std::string got;
    char buf[64];
    for (pollfd p{fd.get(), POLLIN, 0}; poll(&p, 1, 3000) == 1;) {
        const ssize_t n = recv(fd.get(), buf, sizeof buf, 0);
        if (n <= 0) break;
        got.append(buf, static_cast<size_t>(n));
    }
    return got;
}

struct Lan {
    std::string tag = "wlh" + std::to_string(getpid()), mod = tag + "m", rec = tag + "r", att = tag + "a";
    ~Lan() { sh("ip netns del " + mod + "; ip netns del " + rec + "; ip netns del " + att); }
    // The module's bridge, a veth from it to the recorder and one to the attacker.
    std::pair<int, std::string> build() {
        std::string line = "ip netns add " + mod + " && ip -n " + mod + " link add br0 type bridge && ip -n " + mod +
                           " addr add " + kModule + "/24 dev br0 && ip -n " + mod + " link set br0 up && ip -n " + mod +
                           " link set lo up";
        for (const auto &[ns, ip] : {std::pair{rec, kRecorder}, std::pair{att, kAttacker}})
            line += " && ip netns add " + ns + " && ip -n " + mod + " link add " + ns +
                    "p type veth peer name eth0 netns " + ns + " && ip -n " + mod + " link set " + ns +
                    "p master br0 up && ip -n " + ns + " addr add " + ip + "/24 dev eth0 && ip -n " + ns +
                    " link set eth0 up && ip -n " + ns + " link set lo up";
        return sh(line);
    }
};

TEST(HostileLan, ForgedOrFirstConnectionsCannotTakeOrBlockTheUpgrade) {
    if (geteuid() != 0) GTEST_SKIP() << "needs root for network namespaces";
    Lan lan;
    auto r = lan.build();
    if (r.first != 0 && r.second.find("not permitted") != std::string::npos) GTEST_SKIP() << r.second;
    ASSERT_EQ(r.first, 0) << r.second;
    wlink_sim::SimProcess sim({"ip", "netns", "exec", lan.mod, WLINK_SIM_PATH}, "wlinkhostile");
    std::string err;
    ASSERT_TRUE(sim.make_base(&err)) << err;
    ASSERT_TRUE(sim.spawn({"--root", sim.root, "--bind", kModule, "--time-scale", "10"}, &err)) << err;
    ASSERT_TRUE(sim.wait_ready(1)) << sim.errlog();
    const std::string ctl = std::string(WLINKCTL_PATH) + " ", tty = sim.root + "/sim/tty";
    ASSERT_EQ(sh(ctl + "--serial " + tty + " --pace 0 AT+UIP=" + kRecorder).second, "+OK\n");
    const std::string erased = wlink_sim::read_file(sim.root + "/dev/mtd5");
    const auto pkg_of = [](uint8_t minor) {
        const wlink::ByteVec b =
            wlink::build_package(wlink::wrap_image({}, wlink::ByteVec(3000, minor)), wlink::ByteVec(900, 2), 6, minor);
        return std::string(b.begin(), b.end());
    };

    // The attacker asks for an upgrade in the recorder's name, then brings its own package.
    std::string answer = "unset";
    in_netns(lan.att, [&] {
        forge_udp(kRecorder, "AT+UPGRADE=9999 evil");
        std::this_thread::sleep_for(std::chrono::milliseconds(200));
        answer = take_upgrade("evil", pkg_of(66));
    });
    EXPECT_EQ(answer, "") << "closed at once, without a word";
    EXPECT_TRUE(wlink_sim::read_file(sim.root + "/dev/mtd5") == erased) << "no flash byte written";
    // It keeps connecting while the recorder upgrades: the recorder's upgrade goes through.
    std::atomic<bool> done{false};
    std::atomic<int> tries{0};
    std::thread station = netns_thread(lan.att, [&] {
        for (; !done; ++tries) take_upgrade("evil", "");
    });
    std::ofstream(sim.root + "/../pkg") << pkg_of(1);
    r = sh("ip netns exec " + lan.rec + " " + ctl + "--udp " + kModule + " upgrade " + sim.root + "/../pkg");
    done = true;
    station.join();
    EXPECT_EQ(r.first, 0) << r.second;
    EXPECT_GT(tries.load(), 10);
    EXPECT_EQ(sh("ip netns exec " + lan.rec + " " + ctl + "--udp " + kModule + " AT+VER").second, "+OK=V6.1\n");
    EXPECT_EQ(wlink_sim::read_file(sim.root + "/dev/mtd5").substr(64, 8), std::string(8, '\x01'))
        << "the recorder's image";
    EXPECT_NE(sim.errlog().find("connection from 10.78.0.3 refused: the upgrade is for 10.78.0.2"), std::string::npos);

    // Paired, the recorder's key makes every forged datagram count for nothing: the allowed
    // peer, the settings, the password, SSH and the link's time all stay the recorder's.
    const std::string key = sim.root + "/../recorder.key",
                      rec = "ip netns exec " + lan.rec + " " + ctl + "--udp " + kModule + " --key-file " + key + " ";
    ASSERT_EQ(sh(ctl + "--serial " + tty + " --pace 0 pair " + kRecorder + " --key-file " + key).first, 0);
    const std::string profile = wlink_sim::read_file(sim.root + "/config/mt7628.dat"),
                      state = wlink_sim::read_file(sim.root + "/sim/state");
    in_netns(lan.att, [&] {
        for (const char *cmd : {"AT+UIP=10.78.0.3", "AT+SSID=Evil", "AT+AUTH=OPEN", "AT+PASSWD=evil", "AT+SSH=1",
                                "AT+SENSITIVITY=1", "AT+ENCFG", "AT+UKEY=OFF"})
            forge_udp(kRecorder, cmd);
    });
    const auto t0 = std::chrono::steady_clock::now();
    EXPECT_EQ(sh(rec + "AT+").second, "+OK\n") << "not held up by a forged AT+SENSITIVITY=";
    EXPECT_LT(std::chrono::steady_clock::now() - t0, std::chrono::milliseconds(1500));
    EXPECT_EQ(sh(rec + "AT+UIP AT+SSID").second, "+OK=10.78.0.2\n+OK=QEL_NVR_AP\n");
    EXPECT_TRUE(wlink_sim::read_file(sim.root + "/config/mt7628.dat") == profile) << "no setting changed";
    EXPECT_EQ(wlink_sim::read_file(sim.root + "/sim/state"), state) << "root password, SSH, radio and LAN as they were";
    EXPECT_NE(sim.log().find("dropped: not authenticated"), std::string::npos);
    EXPECT_EQ(sim.stop(), 0);
}

}  // namespace
