// The DHCP server configuration end to end: the LAN and DHCP commands write
// /etc/udhcpd.conf and the apply puts the LAN address on br0; busybox udhcpd then
// serves that very file on br0 in the module's namespace, and busybox udhcpc in a
// station's namespace, joined to the bridge by a veth pair, must get a lease from
// the pool with the router and lease time the commands set.
#include <gtest/gtest.h>

#include <chrono>
#include <map>
#include <memory>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "linux_support.h"
#include "wifi_platform.h"
#include "wlinkcmd.h"

namespace {

std::vector<std::string> lines_of(const std::string &text) {
    std::vector<std::string> out;
    std::stringstream ss(text);
    std::string line;
    while (std::getline(ss, line)) out.push_back(line);
    return out;
}

std::string first_word(const std::string &line) {
    std::stringstream ss(line);
    std::string w;
    ss >> w;
    return w;
}

int count_lines(const std::string &text, const std::string &line) {
    int n = 0;
    for (const auto &l : lines_of(text)) n += l == line;
    return n;
}

// Replaces the value of the one line whose first word is `key` (key, tab, new value).
// Returns false when there is not exactly one such line.
bool set_path_line(std::string *text, const std::string &key, const std::string &value) {
    std::vector<std::string> lines = lines_of(*text);
    int found = 0;
    for (auto &l : lines) {
        if (first_word(l) != key) continue;
        l = key + "\t" + value;
        found++;
    }
    if (found != 1) return false;
    std::string out;
    for (const auto &l : lines) out += l + "\n";
    *text = out;
    return true;
}

// "ip=10.77.0.100" lines printed by the udhcpc script after its marker.
std::map<std::string, std::string> bound_values(const std::string &output) {
    static const std::string kMarker = "wlt-bound ";
    std::map<std::string, std::string> kv;
    for (const auto &l : lines_of(output)) {
        if (l.compare(0, kMarker.size(), kMarker) != 0) continue;
        std::string rest = l.substr(kMarker.size());
        size_t eq = rest.find('=');
        if (eq != std::string::npos) kv[rest.substr(0, eq)] = rest.substr(eq + 1);
    }
    return kv;
}

// The last number of a dotted address inside 10.77.0.0/24, else -1.
int host_in_lan(const std::string &ip) {
    const std::string net = "10.77.0.";
    if (ip.compare(0, net.size(), net) != 0) return -1;
    std::string host = ip.substr(net.size());
    if (host.empty() || host.size() > 3 || host.find_first_not_of("0123456789") != std::string::npos) return -1;
    return std::stoi(host);
}

TEST(DhcpServe, StationGetsALeaseFromTheConfiguredPool) {
    std::string why = wlt::missing_prerequisite(true);
    if (!why.empty()) GTEST_SKIP() << why;

    // Declared first, destroyed last: the namespaces outlive every process in them.
    wlt::NetNs module("mod");
    if (module.denied()) GTEST_SKIP() << "not allowed to create network namespaces here: " << module.error();
    ASSERT_TRUE(module.ok()) << module.error();
    wlt::NetNs station("sta");
    ASSERT_TRUE(station.ok()) << station.error();
    wlt::TempDir work;
    ASSERT_TRUE(work.ok());

    // The module: bridge br0 with the veth's module end as its port. The station
    // holds the other end.
    const std::string mod_end = "wltmod0", sta_end = "wltsta0";
    auto must = [](const wlt::CmdResult &r, const char *what) {
        EXPECT_TRUE(r.ok()) << what << ": " << r.describe();
        return r.ok();
    };
    ASSERT_TRUE(must(module.ip({"link", "add", "br0", "type", "bridge"}), "add br0"));
    ASSERT_TRUE(must(module.ip({"link", "add", mod_end, "type", "veth", "peer", "name", sta_end, "netns",
                                station.name()}),
                     "add veth"));
    ASSERT_TRUE(must(module.ip({"link", "set", mod_end, "master", "br0"}), "enslave"));
    ASSERT_TRUE(must(module.ip({"link", "set", mod_end, "up"}), "module end up"));
    ASSERT_TRUE(must(module.ip({"link", "set", "br0", "up"}), "br0 up"));
    ASSERT_TRUE(must(station.ip({"link", "set", sta_end, "up"}), "station end up"));

    // The module's files under a temporary root; the commands run inside the module's
    // namespace so that the apply's ioctls reach its br0. Shell lines are recorded.
    std::string conf_text;
    std::vector<std::string> shell_lines;
    {
        FakePlatformScope scope;
        FakePlatform &plat = *scope;
        plat.real_netif = true;
        plat.seed_factory_files();
        std::vector<std::pair<std::string, std::string>> replies;
        std::string err = wlt::run_in_netns(module.name(), [&] {
            for (const char *c : {"AT+LANIP=10.77.0.1", "AT+DHCP=100 20 2h", "AT+ENCFG"}) {
                std::string reply;
                int r = wlt::dispatch(c, &reply);
                replies.emplace_back(c, r == 0 ? reply : "+ERR");
            }
        });
        ASSERT_EQ(err, "");
        for (const auto &r : replies) EXPECT_EQ(r.second, "+OK") << r.first;
        conf_text = plat.read_file(WIFI_DHCP_CFG_PATH);
        shell_lines = plat.shell_lines;
    }
    EXPECT_EQ(shell_lines, (std::vector<std::string>{"/etc/init.d/dhcp stop", "/etc/init.d/dhcp start"}));
    ASSERT_EQ(wlt::ipv4_addrs(module, "br0"), std::vector<std::string>{"10.77.0.1/24"});

    // What the commands wrote, line by line.
    EXPECT_EQ(count_lines(conf_text, "start\t\t10.77.0.100"), 1) << conf_text;
    EXPECT_EQ(count_lines(conf_text, "end\t\t10.77.0.120"), 1) << conf_text;
    EXPECT_EQ(count_lines(conf_text, "opt\trouter\t10.77.0.1"), 1) << conf_text;
    EXPECT_EQ(count_lines(conf_text, "option\tlease\t7200"), 1) << conf_text;
    EXPECT_EQ(count_lines(conf_text, "interface\tbr0"), 1) << conf_text;
    // Setting the lease time must not have swallowed the server's file settings.
    ASSERT_EQ(count_lines(conf_text, "lease_file\t/tmp/udhcpd.leases"), 1) << conf_text;
    ASSERT_EQ(count_lines(conf_text, "pidfile\t/var/run/udhcpd.pid"), 1) << conf_text;

    // The server is run on the configuration exactly as the commands left it, except
    // for its two file locations: /tmp/udhcpd.leases and /var/run/udhcpd.pid belong
    // to the machine running the tests, so the lease_file and pidfile lines point
    // into the test's own folder instead. Nothing else is changed.
    const std::string leases = work.path() + "/udhcpd.leases";
    const std::string pidfile = work.path() + "/udhcpd.pid";
    std::string served = conf_text;
    ASSERT_TRUE(set_path_line(&served, "lease_file", leases));
    ASSERT_TRUE(set_path_line(&served, "pidfile", pidfile));
    const std::string conf = work.path() + "/udhcpd.conf";
    ASSERT_TRUE(wlt::write_text(conf, served));

    wlt::BackgroundProcess server;
    const std::string server_log = work.path() + "/udhcpd.log";
    ASSERT_EQ(server.start({"ip", "netns", "exec", module.name(), "busybox", "udhcpd", "-f", conf}, server_log), "");

    // The server writes its pid file once it has read the configuration and bound
    // its socket; wait for that (or for it to give up).
    auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    while (!wlt::file_exists(pidfile) && server.running() && std::chrono::steady_clock::now() < deadline)
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    ASSERT_TRUE(server.running()) << "udhcpd ended early; its log:\n" << wlt::read_text(server_log);
    ASSERT_TRUE(wlt::file_exists(pidfile)) << "udhcpd did not start in time; its log:\n"
                                           << wlt::read_text(server_log);

    const std::string script = work.path() + "/udhcpc.script";
    ASSERT_TRUE(wlt::write_text(script,
                                "#!/bin/sh\n"
                                "# Prints what the server offered once the lease is bound.\n"
                                "if [ \"$1\" = bound ]; then\n"
                                "  echo \"wlt-bound ip=$ip\"\n"
                                "  echo \"wlt-bound router=$router\"\n"
                                "  echo \"wlt-bound lease=$lease\"\n"
                                "  echo \"wlt-bound subnet=$subnet\"\n"
                                "fi\n"
                                "exit 0\n",
                                0755));

    wlt::CmdResult client = wlt::run_cmd({"ip", "netns", "exec", station.name(), "busybox", "udhcpc", "-f", "-q", "-n",
                                          "-i", sta_end, "-t", "5", "-T", "1", "-s", script},
                                         30000);
    std::string server_said = wlt::read_text(server_log);
    ASSERT_TRUE(client.ok()) << "udhcpc: " << client.describe() << "\nudhcpd log:\n" << server_said;

    auto got = bound_values(client.output);
    ASSERT_EQ(got.count("ip"), 1u) << client.output;
    int host = host_in_lan(got["ip"]);
    EXPECT_GE(host, 100) << got["ip"];
    EXPECT_LE(host, 120) << got["ip"];
    EXPECT_EQ(got["router"], "10.77.0.1");
    EXPECT_EQ(got["lease"], "7200");
    EXPECT_EQ(got["subnet"], "255.255.255.0");

    EXPECT_TRUE(server.running()) << server_said;
    server.stop();
}

}  // namespace
