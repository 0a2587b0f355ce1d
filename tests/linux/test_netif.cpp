// wifi_set_if_addr and wifi_set_if_flags on a bridge br0 and a veth end ra0 in a
// fresh network namespace, called directly and through the LAN and apply commands.
// The calls run on a thread inside the namespace, so their ioctls act only there.
#include <arpa/inet.h>
#include <gtest/gtest.h>

#include <memory>

#include "fake_platform.h"
#include "linux_support.h"
#include "wlinkcmd.h"

namespace {

class Netif : public ::testing::Test {
protected:
    void SetUp() override {
        std::string why = wlt::missing_prerequisite(false);
        if (!why.empty()) GTEST_SKIP() << why;
        ns_ = std::make_unique<wlt::NetNs>("if");
        if (ns_->denied()) GTEST_SKIP() << "network namespaces refused here: " << ns_->error();
        ASSERT_TRUE(ns_->ok()) << ns_->error();
        ASSERT_TRUE(ns_->ip({"link", "add", "br0", "type", "bridge"}).ok);
        ASSERT_TRUE(ns_->ip({"link", "add", "ra0", "type", "veth", "peer", "name", "ra0p"}).ok);
    }

    template <class F>
    auto in_ns(F fn) -> decltype(fn()) {
        decltype(fn()) result{};
        EXPECT_EQ(wlt::run_in_netns(ns_->name(), [&] { result = fn(); }), "");
        return result;
    }
    int set_addr(const char *dev, const char *addr, const char *mask) {
        uint32_t a = addr ? inet_addr(addr) : 0, m = mask ? inet_addr(mask) : 0;
        return in_ns([&] { return wifi_set_if_addr(dev, addr ? &a : nullptr, mask ? &m : nullptr); });
    }
    int set_flags(const char *dev, const char *flag) { return in_ns([&] { return wifi_set_if_flags(dev, flag); }); }

    std::unique_ptr<wlt::NetNs> ns_;
};

using Addrs = std::vector<std::string>;

TEST_F(Netif, AddressAndNetmaskLandOnTheBridge) {
    struct Step {
        const char *addr, *mask, *want;
    } steps[] = {
        {"10.77.0.1", "255.255.255.0", "10.77.0.1/24"},
        {"10.77.9.5", "255.255.0.0", "10.77.9.5/16"},  // the old address goes
        {nullptr, "255.255.255.0", "10.77.9.5/24"},    // a mask alone keeps the address
        {"10.77.0.1", nullptr, "10.77.0.1/8"},         // an address alone: the kernel's class mask
    };
    ASSERT_EQ(ns_->addrs("br0"), Addrs{});
    for (const Step &s : steps) {
        SCOPED_TRACE(s.want);
        EXPECT_EQ(set_addr("br0", s.addr, s.mask), 0);
        EXPECT_EQ(ns_->addrs("br0"), Addrs{s.want});
    }
}

TEST_F(Netif, OnlyLowerCaseUpBringsTheInterfaceUpAndOtherFlagsStay) {
    struct Step {
        const char *flag;
        bool up;
    } steps[] = {{"up", true}, {"down", false}, {"up", true}, {"UP", false}};
    ASSERT_FALSE(wlt::has(ns_->flags("ra0"), "UP"));
    for (const Step &s : steps) {
        SCOPED_TRACE(s.flag);
        EXPECT_EQ(set_flags("ra0", s.flag), 0);
        auto f = ns_->flags("ra0");
        EXPECT_EQ(wlt::has(f, "UP"), s.up);
        EXPECT_TRUE(wlt::has(f, "BROADCAST") && wlt::has(f, "MULTICAST")) << testing::PrintToString(f);
    }
}

TEST_F(Netif, MissingInterfaceFails) {
    EXPECT_EQ(set_flags("wltnosuch0", "up"), -1);
    EXPECT_EQ(set_addr("wltnosuch0", "10.77.0.1", "255.255.255.0"), -1);
    // ra0's peer is there, but only inside the namespace, not on this thread.
    EXPECT_EQ(wifi_set_if_flags("ra0p", "up"), -1);
    EXPECT_FALSE(wlt::has(ns_->flags("ra0p"), "UP"));
}

TEST_F(Netif, LanAddressReachesTheBridgeAtApply) {
    FakePlatformScope scope;
    scope->real_netif = true;
    scope->seed_factory_files();
    auto cmd = [&](const char *c) { return in_ns([&] { return wlt::dispatch(c); }); };
    ASSERT_EQ(cmd("AT+LANIP=10.77.0.1"), "+OK");
    EXPECT_EQ(ns_->addrs("br0"), Addrs{});  // recorded only until the apply
    EXPECT_EQ(cmd("AT+ENCFG"), "+OK");
    EXPECT_EQ(ns_->addrs("br0"), Addrs{"10.77.0.1/24"});
}

}  // namespace
