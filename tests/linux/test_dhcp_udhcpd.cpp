// The LAN and DHCP commands against the real kernel and a real DHCP server: the
// commands write the server's configuration and the apply puts the LAN address on br0
// in a namespace of the module; busybox udhcpd serves that file on br0 and busybox
// udhcpc, in a station namespace joined by a veth pair, must get a lease from the pool
// with the router and lease time the commands set. Needs root, iproute2 and busybox.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sched.h>
#include <signal.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <regex>
#include <thread>

#include "netns.h"
#include "platform_fake.h"
#include "wifi_dhcp_cfg.h"
#include "wifi_msg_proc.h"

namespace {

// Network namespaces and a scratch folder, all gone with the object.
struct Scratch {
    std::string tag = "wlt" + std::to_string(getpid()), mod = tag + "m", sta = tag + "s", dir;
    Scratch() {
        char tmpl[] = "/tmp/wltdhcp.XXXXXX";
        dir = mkdtemp(tmpl) ? tmpl : "/nonexistent";
    }
    ~Scratch() {
        sh("kill $(cat " + dir + "/var/run/udhcpd.pid); ip netns del " + mod + "; ip netns del " + sta);
        std::filesystem::remove_all(dir);
    }
};

TEST(DhcpServe, StationGetsALeaseFromTheConfiguredPool) {
    if (geteuid() != 0) GTEST_SKIP() << "needs root for network namespaces";
    if (sh("ip -V && busybox udhcpd --help; busybox udhcpc --help").first != 0)
        GTEST_SKIP() << "needs iproute2 and busybox with udhcpd and udhcpc";
    Scratch s;
    const std::string ip = "ip -n " + s.mod + " link ";
    auto r = sh("ip netns add " + s.mod + " && ip netns add " + s.sta + " && " + ip + "add br0 type bridge && " + ip +
                "add wltm0 type veth peer name wlts0 netns " + s.sta + " && " + ip + "set wltm0 master br0 && " + ip +
                "set wltm0 up && " + ip + "set br0 up && ip -n " + s.sta + " link set wlts0 up");
    if (r.first != 0 && r.second.find("not permitted") != std::string::npos) GTEST_SKIP() << r.second;
    ASSERT_EQ(r.first, 0) << r.second;

    std::string conf;
    {
        FakePlatformScope scope;
        scope->real_netif = true;
        scope->seed_factory_files();
        std::vector<std::string> replies;
        in_netns(s.mod, [&] {
            for (const char *c : {"AT+LANIP=10.77.0.1", "AT+DHCP=100 20 2h", "AT+ENCFG"}) {
                char reply[WIFI_REPLY_BUF_SIZE] = {0};
                wifi_msg_proc_distribute(c, reply, sizeof reply);
                replies.push_back(reply);
            }
        });
        EXPECT_EQ(replies, std::vector<std::string>(3, "+OK"));
        EXPECT_EQ(scope->ops, (FakeOps{{WIFI_OP_DHCP_STOP}, {WIFI_OP_DHCP_START}}));
        conf = scope->read_file(WIFI_DHCP_CFG_PATH);
    }
    EXPECT_NE(sh("ip -n " + s.mod + " -o -4 addr show dev br0").second.find(" 10.77.0.1/24 "), std::string::npos);

    // udhcpd serves the file as the commands left it, but for its lease and pid files,
    // which belong to the machine running the tests.
    conf = std::regex_replace(conf, std::regex("/tmp/udhcpd.leases|/var/run/udhcpd.pid"), s.dir + "/$&");
    std::filesystem::create_directories(s.dir + "/tmp");
    std::filesystem::create_directories(s.dir + "/var/run");
    std::ofstream(s.dir + "/udhcpd.conf") << conf;
    std::ofstream(s.dir + "/script") << "#!/bin/sh\n[ \"$1\" = bound ] && echo \"bound $ip $router $lease $subnet\"\n";
    ASSERT_EQ(sh("chmod 755 " + s.dir + "/script").first, 0);
    // The pid file appears once the server has read the file and bound its socket.
    ASSERT_EQ(sh("ip netns exec " + s.mod + " busybox udhcpd " + s.dir + "/udhcpd.conf && for i in $(seq 100); do " +
                 "[ -e " + s.dir + "/var/run/udhcpd.pid ] && exit 0; sleep 0.05; done; exit 1")
                  .first,
              0);
    r = sh("ip netns exec " + s.sta + " timeout 30 busybox udhcpc -f -q -n -i wlts0 -t 5 -T 1 -s " + s.dir + "/script");
    ASSERT_EQ(r.first, 0) << r.second;

    // An address from the pool .100 to .120, the router and lease time as set.
    std::smatch m;
    ASSERT_TRUE(std::regex_search(r.second, m,
                                  std::regex("bound 10\\.77\\.0\\.(\\d+) 10\\.77\\.0\\.1 7200 "
                                             "255\\.255\\.255\\.0\n")))
        << r.second;
    EXPECT_TRUE(std::stoi(m[1]) >= 100 && std::stoi(m[1]) <= 120) << m[0];
}

}  // namespace
