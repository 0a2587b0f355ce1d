// Interface control against the real kernel: wifi_set_if_addr and wifi_set_if_flags
// on a bridge br0 and a veth end named ra0 inside a fresh network namespace, first
// called directly and then through the LAN and apply commands.
//
// The calls run on a thread that has joined the namespace, so the sockets they open,
// and the ioctls issued on them, act there and nowhere else.
#include <arpa/inet.h>
#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "linux_support.h"
#include "wifi_platform.h"
#include "wlinkcmd.h"

using wlt::has_word;

namespace {

uint32_t ipv4(const char *text) {
    uint32_t v = 0;
    EXPECT_EQ(inet_pton(AF_INET, text, &v), 1) << text;
    return v;
}

std::string joined(const std::vector<std::string> &words) {
    std::string s;
    for (const auto &w : words) s += (s.empty() ? "" : ",") + w;
    return "<" + s + ">";
}

class NetifTest : public ::testing::Test {
protected:
    void SetUp() override {
        std::string why = wlt::missing_prerequisite(false);
        if (!why.empty()) GTEST_SKIP() << why;
        ns_ = std::make_unique<wlt::NetNs>("if");
        if (ns_->denied()) GTEST_SKIP() << "not allowed to create network namespaces here: " << ns_->error();
        ASSERT_TRUE(ns_->ok()) << ns_->error();
        ASSERT_TRUE(ip({"link", "add", "br0", "type", "bridge"}));
        ASSERT_TRUE(ip({"link", "add", "ra0", "type", "veth", "peer", "name", "ra0peer"}));
    }

    // "ip -n NS ..." that has to work.
    bool ip(const std::vector<std::string> &args) {
        wlt::CmdResult r = ns_->ip(args);
        EXPECT_TRUE(r.ok()) << "ip " << testing::PrintToString(args) << ": " << r.describe();
        return r.ok();
    }

    // Runs `fn` on a thread inside the test's namespace and returns what it returned.
    template <class F>
    auto in_ns(F fn) -> decltype(fn()) {
        decltype(fn()) result{};
        std::string err = wlt::run_in_netns(ns_->name(), [&] { result = fn(); });
        EXPECT_EQ(err, "");
        return result;
    }

    int set_addr(const char *name, const char *addr, const char *mask) {
        uint32_t a = addr ? ipv4(addr) : 0, m = mask ? ipv4(mask) : 0;
        return in_ns([&] { return wifi_set_if_addr(name, addr ? &a : nullptr, mask ? &m : nullptr); });
    }
    int set_flags(const char *name, const char *flag) {
        return in_ns([&] { return wifi_set_if_flags(name, flag); });
    }

    std::vector<std::string> addrs(const std::string &ifname) { return wlt::ipv4_addrs(*ns_, ifname); }
    std::vector<std::string> flags(const std::string &ifname) { return wlt::link_flags(*ns_, ifname); }

    std::unique_ptr<wlt::NetNs> ns_;
};

// ---------------------------------------------------------------------------
// Address and netmask
// ---------------------------------------------------------------------------

TEST_F(NetifTest, AddressAndNetmaskLandOnTheBridge) {
    ASSERT_EQ(addrs("br0"), std::vector<std::string>{});
    EXPECT_EQ(set_addr("br0", "10.77.0.1", "255.255.255.0"), 0);
    EXPECT_EQ(addrs("br0"), std::vector<std::string>{"10.77.0.1/24"});
}

TEST_F(NetifTest, NewAddressReplacesTheOldOne) {
    ASSERT_EQ(set_addr("br0", "10.77.0.1", "255.255.255.0"), 0);
    EXPECT_EQ(set_addr("br0", "10.77.9.5", "255.255.0.0"), 0);
    EXPECT_EQ(addrs("br0"), std::vector<std::string>{"10.77.9.5/16"});
}

TEST_F(NetifTest, AddressAloneLeavesTheMaskToTheKernelAndMaskAloneKeepsTheAddress) {
    // Without a netmask the kernel gives the address its class mask, /8 for 10.x.
    ASSERT_EQ(set_addr("br0", "10.77.0.1", nullptr), 0);
    EXPECT_EQ(addrs("br0"), std::vector<std::string>{"10.77.0.1/8"});
    ASSERT_EQ(set_addr("br0", nullptr, "255.255.255.0"), 0);
    EXPECT_EQ(addrs("br0"), std::vector<std::string>{"10.77.0.1/24"});
}

TEST_F(NetifTest, NeitherAddressNorMaskChangesNothing) {
    EXPECT_EQ(set_addr("br0", nullptr, nullptr), 0);
    EXPECT_EQ(addrs("br0"), std::vector<std::string>{});
}

TEST_F(NetifTest, AddressOnMissingInterfaceFails) {
    EXPECT_EQ(set_addr("wltnosuch0", "10.77.0.1", "255.255.255.0"), -1);
    EXPECT_EQ(set_addr("wltnosuch0", nullptr, "255.255.255.0"), -1);
    EXPECT_EQ(in_ns([] { return wifi_set_if_addr(nullptr, nullptr, nullptr); }), -1);
}

// ---------------------------------------------------------------------------
// Up and down
// ---------------------------------------------------------------------------

TEST_F(NetifTest, UpKeepsBroadcastAndMulticast) {
    auto before = flags("ra0");
    ASSERT_TRUE(has_word(before, "BROADCAST")) << joined(before);
    ASSERT_TRUE(has_word(before, "MULTICAST")) << joined(before);
    ASSERT_FALSE(has_word(before, "UP")) << joined(before);

    EXPECT_EQ(set_flags("ra0", "up"), 0);
    auto after = flags("ra0");
    EXPECT_TRUE(has_word(after, "UP")) << joined(after);
    EXPECT_TRUE(has_word(after, "BROADCAST")) << joined(after);
    EXPECT_TRUE(has_word(after, "MULTICAST")) << joined(after);
}

TEST_F(NetifTest, DownClearsUpAndKeepsTheRest) {
    ASSERT_EQ(set_flags("ra0", "up"), 0);
    ASSERT_TRUE(has_word(flags("ra0"), "UP"));
    EXPECT_EQ(set_flags("ra0", "down"), 0);
    auto after = flags("ra0");
    EXPECT_FALSE(has_word(after, "UP")) << joined(after);
    EXPECT_TRUE(has_word(after, "BROADCAST")) << joined(after);
    EXPECT_TRUE(has_word(after, "MULTICAST")) << joined(after);
}

TEST_F(NetifTest, OnlyLowerCaseUpBringsTheInterfaceUp) {
    for (const char *text : {"UP", "up ", "Up", "upp", "", "down"}) {
        SCOPED_TRACE(std::string("flag text [") + text + "]");
        ASSERT_EQ(set_flags("ra0", "up"), 0);
        ASSERT_TRUE(has_word(flags("ra0"), "UP"));
        EXPECT_EQ(set_flags("ra0", text), 0);
        auto after = flags("ra0");
        EXPECT_FALSE(has_word(after, "UP")) << joined(after);
        EXPECT_TRUE(has_word(after, "MULTICAST")) << joined(after);
    }
}

TEST_F(NetifTest, BridgeComesUpToo) {
    EXPECT_EQ(set_flags("br0", "up"), 0);
    auto after = flags("br0");
    EXPECT_TRUE(has_word(after, "UP")) << joined(after);
    EXPECT_TRUE(has_word(after, "BROADCAST")) << joined(after);
    EXPECT_TRUE(has_word(after, "MULTICAST")) << joined(after);
}

TEST_F(NetifTest, FlagsOnMissingInterfaceFail) {
    EXPECT_EQ(set_flags("wltnosuch0", "up"), -1);
    EXPECT_EQ(set_flags("wltnosuch0", "down"), -1);
    EXPECT_EQ(in_ns([] { return wifi_set_if_flags(nullptr, "up"); }), -1);
    EXPECT_EQ(in_ns([] { return wifi_set_if_flags("ra0", nullptr); }), -1);
    EXPECT_FALSE(has_word(flags("ra0"), "UP"));
}

TEST_F(NetifTest, LongNameIsCutToFifteenCharacters) {
    const std::string name15 = "wltfifteenchars";
    ASSERT_EQ(name15.size(), 15u);
    ASSERT_TRUE(ip({"link", "add", name15, "type", "veth", "peer", "name", "wltlongpeer"}));
    const std::string longer = name15 + "andmore";
    EXPECT_EQ(set_flags(longer.c_str(), "up"), 0);
    EXPECT_TRUE(has_word(flags(name15), "UP")) << joined(flags(name15));
    EXPECT_EQ(set_addr(longer.c_str(), "10.77.3.1", "255.255.255.0"), 0);
    EXPECT_EQ(addrs(name15), std::vector<std::string>{"10.77.3.1/24"});
}

// ---------------------------------------------------------------------------
// Sockets and namespaces
// ---------------------------------------------------------------------------

TEST_F(NetifTest, EveryCallClosesItsSocket) {
    // Counted on the namespace thread, which holds the namespace open while it runs.
    std::pair<int, int> counts = in_ns([] {
        int before = wlt::open_fd_count();
        uint32_t a = 0, m = 0;
        inet_pton(AF_INET, "10.77.0.1", &a);
        inet_pton(AF_INET, "255.255.255.0", &m);
        for (int i = 0; i < 20; i++) {
            wifi_set_if_addr("br0", &a, &m);           // works
            wifi_set_if_addr("wltnosuch0", &a, &m);    // fails at the address
            wifi_set_if_addr("br0", nullptr, nullptr); // nothing to set
            wifi_set_if_flags("ra0", "up");            // works
            wifi_set_if_flags("ra0", "down");
            wifi_set_if_flags("wltnosuch0", "up");     // fails
        }
        return std::make_pair(before, wlt::open_fd_count());
    });
    EXPECT_GT(counts.first, 0);
    EXPECT_EQ(counts.second, counts.first);
}

TEST_F(NetifTest, CallsActOnlyInTheThreadsNamespace) {
    std::string main_ns = wlt::current_netns_id();
    ASSERT_NE(main_ns, "");
    std::string thread_ns = in_ns([] { return wlt::current_netns_id(); });
    EXPECT_NE(thread_ns, "");
    EXPECT_NE(thread_ns, main_ns);
    EXPECT_EQ(wlt::current_netns_id(), main_ns);
    // An interface that exists only in the test namespace cannot be reached from here.
    EXPECT_EQ(wifi_set_if_flags("ra0peer", "up"), -1);
    EXPECT_FALSE(has_word(flags("ra0peer"), "UP"));
}

// ---------------------------------------------------------------------------
// Through the commands
// ---------------------------------------------------------------------------

class NetifCommandTest : public NetifTest {
protected:
    void SetUp() override {
        NetifTest::SetUp();
        if (IsSkipped() || HasFatalFailure()) return;
        scope_ = std::make_unique<FakePlatformScope>();
        plat().real_netif = true;
        plat().seed_factory_files();
    }
    void TearDown() override { scope_.reset(); }
    FakePlatform &plat() { return **scope_; }

    // Runs one command inside the namespace; returns the reply, or "+ERR" when the
    // handler failed (what the link would send).
    std::string cmd(const std::string &text) {
        return in_ns([&] {
            std::string reply;
            int r = wlt::dispatch(text, &reply);
            return r == 0 ? reply : "+ERR(" + std::to_string(r) + ")" + reply;
        });
    }

    std::unique_ptr<FakePlatformScope> scope_;
};

TEST_F(NetifCommandTest, LanAddressReachesTheBridgeAtApply) {
    ASSERT_EQ(cmd("AT+LANIP=10.77.0.1"), "+OK");
    // Recorded only; the bridge keeps its old state until the apply.
    EXPECT_EQ(addrs("br0"), std::vector<std::string>{});
    EXPECT_EQ(cmd("AT+LANIP"), "+OK=10.77.0.1");

    EXPECT_EQ(cmd("AT+ENCFG"), "+OK");
    EXPECT_EQ(addrs("br0"), std::vector<std::string>{"10.77.0.1/24"});
    // The DHCP service restarts after the address is in place; the radio is left alone.
    EXPECT_EQ(plat().shell_lines, (std::vector<std::string>{"/etc/init.d/dhcp stop", "/etc/init.d/dhcp start"}));
    EXPECT_FALSE(has_word(flags("ra0"), "UP"));
    EXPECT_EQ(g_cfg_pending.wifi_changed + g_cfg_pending.dhcp_changed + g_cfg_pending.lan_ip_changed, 0u);

    // A second apply finds nothing pending.
    EXPECT_EQ(cmd("AT+ENCFG"), "+OK");
    EXPECT_EQ(plat().shell_lines.size(), 2u);
    EXPECT_EQ(addrs("br0"), std::vector<std::string>{"10.77.0.1/24"});
}

TEST_F(NetifCommandTest, AnotherLanAddressMovesTheBridge) {
    ASSERT_EQ(cmd("AT+LANIP=10.77.0.1"), "+OK");
    ASSERT_EQ(cmd("AT+ENCFG"), "+OK");
    ASSERT_EQ(cmd("AT+LANIP=10.78.4.254"), "+OK");
    ASSERT_EQ(cmd("AT+ENCFG"), "+OK");
    EXPECT_EQ(addrs("br0"), std::vector<std::string>{"10.78.4.254/24"});
}

TEST_F(NetifCommandTest, RadioRestartsAndStopsAtApply) {
    ASSERT_FALSE(has_word(flags("ra0"), "UP"));
    ASSERT_EQ(cmd("AT+SSID=wlt-linux"), "+OK");
    EXPECT_FALSE(has_word(flags("ra0"), "UP"));
    ASSERT_EQ(cmd("AT+ENCFG"), "+OK");
    auto up = flags("ra0");
    EXPECT_TRUE(has_word(up, "UP")) << joined(up);
    EXPECT_TRUE(has_word(up, "BROADCAST")) << joined(up);
    EXPECT_TRUE(has_word(up, "MULTICAST")) << joined(up);

    ASSERT_EQ(cmd("AT+WIFI=OFF"), "+OK");
    ASSERT_EQ(cmd("AT+ENCFG"), "+OK");
    auto down = flags("ra0");
    EXPECT_FALSE(has_word(down, "UP")) << joined(down);
    EXPECT_TRUE(has_word(down, "MULTICAST")) << joined(down);

    ASSERT_EQ(cmd("AT+WIFI=ON"), "+OK");
    ASSERT_EQ(cmd("AT+ENCFG"), "+OK");
    EXPECT_TRUE(has_word(flags("ra0"), "UP"));
    // Neither the bridge nor the DHCP service was touched.
    EXPECT_EQ(addrs("br0"), std::vector<std::string>{});
    EXPECT_EQ(plat().shell_lines, std::vector<std::string>{});
}

TEST_F(NetifCommandTest, ApplyStillAnswersOkWhenTheInterfacesAreMissing) {
    ASSERT_TRUE(ip({"link", "del", "br0"}));
    ASSERT_TRUE(ip({"link", "del", "ra0"}));
    ASSERT_EQ(cmd("AT+LANIP=10.77.0.1"), "+OK");
    ASSERT_EQ(cmd("AT+SSID=wlt-linux"), "+OK");
    EXPECT_EQ(cmd("AT+ENCFG"), "+OK");
    EXPECT_EQ(g_cfg_pending.wifi_changed + g_cfg_pending.dhcp_changed + g_cfg_pending.lan_ip_changed, 0u);
    EXPECT_EQ(plat().shell_lines, (std::vector<std::string>{"/etc/init.d/dhcp stop", "/etc/init.d/dhcp start"}));
}

}  // namespace
