// The DHCP configuration end to end: the LAN and DHCP commands write the server's
// configuration and the apply puts the LAN address on br0; busybox udhcpd serves that
// file on br0 and busybox udhcpc, in a station namespace joined by a veth pair, must
// get a lease from the pool with the router and lease time the commands set.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <memory>
#include <regex>
#include <thread>

#include "fake_platform.h"
#include "linux_support.h"
#include "wlinkcmd.h"

namespace {

TEST(DhcpServe, StationGetsALeaseFromTheConfiguredPool) {
    std::string why = wlt::missing_prerequisite(true);
    if (!why.empty()) GTEST_SKIP() << why;
    wlt::NetNs module("mod"), station("sta");  // outlive every process started in them
    if (module.denied()) GTEST_SKIP() << "network namespaces refused here: " << module.error();
    ASSERT_TRUE(module.ok() && station.ok()) << module.error() << station.error();
    for (const std::vector<std::string> &args : std::vector<std::vector<std::string>>{
             {"link", "add", "br0", "type", "bridge"},
             {"link", "add", "wltmod0", "type", "veth", "peer", "name", "wltsta0", "netns", station.name()},
             {"link", "set", "wltmod0", "master", "br0"},
             {"link", "set", "wltmod0", "up"},
             {"link", "set", "br0", "up"}})
        ASSERT_TRUE(module.ip(args).ok) << testing::PrintToString(args);
    ASSERT_TRUE(station.ip({"link", "set", "wltsta0", "up"}).ok);

    // The commands run inside the module's namespace, so that the apply reaches its br0.
    std::string conf;
    {
        FakePlatformScope scope;
        scope->real_netif = true;
        scope->seed_factory_files();
        std::vector<std::string> replies;
        ASSERT_EQ(wlt::run_in_netns(module.name(), [&] {
                      for (const char *c : {"AT+LANIP=10.77.0.1", "AT+DHCP=100 20 2h", "AT+ENCFG"})
                          replies.push_back(wlt::dispatch(c));
                  }),
                  "");
        EXPECT_EQ(replies, std::vector<std::string>(3, "+OK"));
        EXPECT_EQ(scope->shell_lines, (std::vector<std::string>{"/etc/init.d/dhcp stop", "/etc/init.d/dhcp start"}));
        conf = scope->read_file(WIFI_DHCP_CFG_PATH);
    }
    ASSERT_EQ(module.addrs("br0"), std::vector<std::string>{"10.77.0.1/24"});

    // udhcpd serves the file as the commands left it, except that its lease and pid
    // files, which belong to the machine running the tests, move into a folder of ours.
    char tmpl[] = "/tmp/wltdhcp.XXXXXX";
    ASSERT_NE(mkdtemp(tmpl), nullptr);
    std::unique_ptr<char, void (*)(char *)> cleanup(tmpl, [](char *d) { std::filesystem::remove_all(d); });
    const std::string dir = tmpl, pidfile = dir + "/udhcpd.pid", log = dir + "/udhcpd.log";
    using Line = std::pair<std::string, std::string>;
    for (const auto &[from, to] : {Line{"lease_file\t/tmp/udhcpd.leases", "lease_file\t" + dir + "/leases"},
                                   Line{"pidfile\t/var/run/udhcpd.pid", "pidfile\t" + pidfile}}) {
        size_t at = conf.find(from + "\n");
        ASSERT_NE(at, std::string::npos) << "no line " << from << " in\n" << conf;
        conf.replace(at, from.size(), to);
    }
    std::ofstream(dir + "/udhcpd.conf") << conf;
    std::ofstream(dir + "/script") << "#!/bin/sh\n[ \"$1\" = bound ] && echo \"bound $ip $router $lease $subnet\"\n";
    chmod((dir + "/script").c_str(), 0755);

    wlt::Background server({"ip", "netns", "exec", module.name(), "busybox", "udhcpd", "-f", dir + "/udhcpd.conf"},
                           log);
    // The pid file appears once the server has read the file and bound its socket.
    for (int i = 0; i < 500 && server.running() && access(pidfile.c_str(), F_OK) != 0; i++)
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    ASSERT_EQ(access(pidfile.c_str(), F_OK), 0) << "udhcpd: " << wlt::run_cmd({"cat", log}).output;
    wlt::CmdResult client = wlt::run_cmd({"ip", "netns", "exec", station.name(), "busybox", "udhcpc", "-f", "-q", "-n",
                                          "-i", "wltsta0", "-t", "5", "-T", "1", "-s", dir + "/script"},
                                         30000);
    ASSERT_TRUE(client.ok) << client.output << "\nudhcpd: " << wlt::run_cmd({"cat", log}).output;
    EXPECT_TRUE(server.running());

    // An address from the pool .100 to .120, the router and lease time as set.
    std::smatch m;
    std::regex want("bound 10\\.77\\.0\\.(\\d+) 10\\.77\\.0\\.1 7200 255\\.255\\.255\\.0\n");
    ASSERT_TRUE(std::regex_search(client.output, m, want)) << client.output;
    EXPECT_TRUE(std::stoi(m[1]) >= 100 && std::stoi(m[1]) <= 120) << m[0];
}

}  // namespace
