// "AT+ENCFG", "AT+RESTORE", "AT+REBOOT" and the interface operations under them.
#include <arpa/inet.h>
#include <dirent.h>
#include <gtest/gtest.h>

#include "unit_helpers.h"

namespace {

using Lines = std::vector<std::string>;

const Lines kDhcpRestart = {"/etc/init.d/dhcp stop", "/etc/init.d/dhcp start"};
const std::string kRestoreLine = "cp " WIFI_FACTORY_PROFILE_PATH " /config/";
const Lines kLanFactory = {"SIFADDR br0 192.168.1.1", "SIFNETMASK br0 255.255.255.0"};

size_t open_fds() {
    size_t n = 0;
    DIR *d = opendir("/proc/self/fd");
    while (readdir(d) != nullptr) n++;
    closedir(d);
    return n;
}

}  // namespace

TEST(Encfg, ActsOnEachCombinationOfPendingWords) {
    for (int bits = 0; bits < 8; bits++) {
        bool wifi = bits & 1, dhcp = bits & 2, lan = bits & 4;
        SCOPED_TRACE(bits);
        SeededRoot root;
        g_cfg_pending = {wifi, dhcp, lan};
        Reply r = dispatch("AT+ENCFG");
        EXPECT_EQ(r.ret, 0);
        EXPECT_EQ(r.text, "+OK");
        Lines io;
        if (wifi) io = concat(io, radio_restart());
        if (lan) io = concat(io, kLanFactory);
        EXPECT_EQ(ioctl_log(*root), io);
        EXPECT_EQ(root->shell_lines, dhcp ? kDhcpRestart : Lines{});
        EXPECT_TRUE(pending_is(0, 0, 0));
        EXPECT_EQ(root.profile(), factory_profile_text());
        EXPECT_EQ(root.dhcp(), factory_dhcp_text());
    }
}

TEST(Encfg, RadioSwitchDecidesStopOrRestart) {
    const std::pair<const char *, Lines> cases[] = {
        {"OFF", radio_down()}, {"xOFFy", radio_down()}, {"ON", radio_restart()},
        {"off", radio_restart()}, {"", radio_restart()},
    };
    for (const auto &c : cases) {
        SeededRoot root;
        root->write_file(WIFI_PROFILE_PATH, profile_with({{"WifiSwitch", c.first}}));
        ASSERT_EQ(dispatch("AT+SSID=x").text, "+OK");
        EXPECT_EQ(dispatch("AT+ENCFG").text, "+OK") << c.first;
        EXPECT_EQ(ioctl_log(*root), c.second) << c.first;
    }
    // a radio that is down comes up with its other flags kept
    SeededRoot root;
    root->interface_flags = 0x1002;
    g_cfg_pending.wifi_changed = 1;
    EXPECT_EQ(dispatch("AT+ENCFG").text, "+OK");
    EXPECT_EQ(ioctl_log(*root), (Lines{"GIFFLAGS ra0", "SIFFLAGS ra0 0x1002", "GIFFLAGS ra0", "SIFFLAGS ra0 0x1043"}));
}

TEST(Encfg, FailedProfileReadsKeepThePendingWords) {
    {
        SeededRoot root;
        root->write_file(WIFI_PROFILE_PATH, profile_without("WifiSwitch"));
        g_cfg_pending = {1, 1, 1};
        EXPECT_EQ(dispatch("AT+ENCFG").text, "+ERR");
        EXPECT_TRUE(root->ioctls.empty());
        EXPECT_TRUE(root->shell_lines.empty());
        EXPECT_TRUE(pending_is(1, 1, 1));
    }
    {
        SeededRoot root;
        root->write_file(WIFI_PROFILE_PATH, profile_without("LanIpaddr"));
        g_cfg_pending = {1, 1, 1};
        EXPECT_EQ(dispatch("AT+ENCFG").text, "+ERR");
        EXPECT_EQ(ioctl_log(*root), radio_restart());  // done before the LAN step failed
        EXPECT_TRUE(root->shell_lines.empty());
        EXPECT_TRUE(pending_is(1, 1, 1));
        // the next one tries again
        root->write_file(WIFI_PROFILE_PATH, factory_profile_text());
        EXPECT_EQ(dispatch("AT+ENCFG").text, "+OK");
        EXPECT_TRUE(pending_is(0, 0, 0));
    }
    {
        // without a pending word the missing keys are not read
        SeededRoot root;
        root->write_file(WIFI_PROFILE_PATH, "");
        g_cfg_pending.dhcp_changed = 1;
        EXPECT_EQ(dispatch("AT+ENCFG").text, "+OK");
        EXPECT_EQ(root->shell_lines, kDhcpRestart);
    }
}

TEST(Encfg, StoredLanAddressThatIsNotADottedQuadLeavesTheBridgeAlone) {
    for (const char *bad : {"192.168.1", "abc", "192.168.1.256", "", "192.168.1.1 "}) {
        SeededRoot root;
        root->write_file(WIFI_PROFILE_PATH, profile_with({{"LanIpaddr", bad}}));
        g_cfg_pending = {0, 1, 1};
        testing::internal::CaptureStdout();
        Reply r = dispatch("AT+ENCFG");
        std::string out = testing::internal::GetCapturedStdout();
        EXPECT_EQ(r.text, "+OK") << bad;
        EXPECT_NE(out.find("==============set lan ip fail===============\n"), std::string::npos) << bad;
        EXPECT_TRUE(root->ioctls.empty()) << bad;
        EXPECT_EQ(root->shell_lines, kDhcpRestart);
        EXPECT_TRUE(pending_is(0, 0, 0));
    }
}

TEST(Encfg, InterfaceFailuresAreReportedButAnswerOk) {
    {
        SeededRoot root;
        root->ioctl_result[SIOCSIFFLAGS] = -1;
        g_cfg_pending.wifi_changed = 1;
        testing::internal::CaptureStdout();
        EXPECT_EQ(dispatch("AT+ENCFG").text, "+OK");
        std::string out = testing::internal::GetCapturedStdout();
        EXPECT_NE(out.find("==============close wifi fail===============\n"), std::string::npos);
        EXPECT_NE(out.find("==============open wifi fail===============\n"), std::string::npos);
        EXPECT_EQ(ioctl_log(*root), radio_restart());
        EXPECT_TRUE(pending_is(0, 0, 0));
    }
    {
        SeededRoot root;
        root->ioctl_result[SIOCSIFADDR] = -1;
        g_cfg_pending = {0, 1, 1};
        testing::internal::CaptureStdout();
        EXPECT_EQ(dispatch("AT+ENCFG").text, "+OK");
        std::string out = testing::internal::GetCapturedStdout();
        EXPECT_NE(out.find("==============set lan ip fail===============\n"), std::string::npos);
        EXPECT_EQ(ioctl_log(*root), Lines{"SIFADDR br0 192.168.1.1"});
        EXPECT_EQ(root->shell_lines, kDhcpRestart);
    }
}

TEST(Encfg, CommandSequences) {
    {
        SeededRoot root;
        EXPECT_EQ(dispatch("AT+ENCFG").text, "+OK");  // nothing pending
        EXPECT_TRUE(root->ioctls.empty());
        EXPECT_TRUE(root->shell_lines.empty());
    }
    {
        SeededRoot root;
        dispatch("AT+SSID=Home");
        EXPECT_EQ(dispatch("AT+ENCFG").text, "+OK");
        EXPECT_EQ(ioctl_log(*root), radio_restart());
        root->ioctls.clear();
        EXPECT_EQ(dispatch("AT+ENCFG").text, "+OK");  // the second finds nothing
        EXPECT_TRUE(root->ioctls.empty());
    }
    {
        SeededRoot root;
        EXPECT_EQ(dispatch("AT+LANIP=10.0.0.1").text, "+OK");
        EXPECT_EQ(dispatch("AT+LANIP").text, "+OK=10.0.0.1");  // before any apply
        EXPECT_EQ(dispatch("AT+ENCFG").text, "+OK");
        EXPECT_EQ(ioctl_log(*root), (Lines{"SIFADDR br0 10.0.0.1", "SIFNETMASK br0 255.255.255.0"}));
        EXPECT_EQ(root->shell_lines, kDhcpRestart);
    }
    {
        SeededRoot root;
        EXPECT_EQ(dispatch("AT+DHCP=100 50 24h").text, "+OK");
        EXPECT_EQ(dispatch("AT+DHCP=OFF").text, "+OK");
        EXPECT_EQ(dispatch("AT+ENCFG").text, "+OK");
        EXPECT_EQ(root->shell_lines, Lines{"/etc/init.d/dhcp stop"});  // stays stopped
    }
    {
        SeededRoot root;
        EXPECT_EQ(dispatch("AT+RESTORE").text, "+OK");
        EXPECT_EQ(dispatch("AT+ENCFG").text, "+OK");
        EXPECT_TRUE(root->ioctls.empty());  // no radio restart
        EXPECT_EQ(root->shell_lines, Lines{kRestoreLine});
    }
}

TEST(Restore, CopiesTheFactoryProfileAndTouchesNothingElse) {
    SeededRoot root;
    g_cfg_pending = {1, 0, 1};
    snprintf(szUdpSrcIP, sizeof(szUdpSrcIP), "10.1.1.1");
    Reply r = dispatch("AT+RESTORE now");
    EXPECT_EQ(r.text, "+OK");
    EXPECT_EQ(root->shell_lines, Lines{kRestoreLine});
    EXPECT_TRUE(pending_is(1, 0, 1));
    EXPECT_STREQ(szUdpSrcIP, "10.1.1.1");
    EXPECT_TRUE(root->ioctls.empty());
}

TEST(Reboot, RunsRebootThroughTheShell) {
    SeededRoot root;
    EXPECT_EQ(dispatch("AT+REBOOT").text, "+OK");
    EXPECT_EQ(root->shell_lines, Lines{"reboot 2>&1"});
    root->shell_open_fails = true;
    Reply r = dispatch("AT+REBOOT");
    EXPECT_EQ(r.ret, -1);
    EXPECT_EQ(r.text, "+ERR");
}

// ---------------------------------------------------------------------------

TEST(IfAddr, AddressThenNetmask) {
    FakePlatformScope p;
    uint32_t addr = htonl(0x0A000001), mask = htonl(0xFFFFFF00);
    EXPECT_EQ(wifi_set_if_addr("br0", &addr, &mask), 0);
    EXPECT_EQ(wifi_set_if_addr("br0", nullptr, &mask), 0);
    EXPECT_EQ(wifi_set_if_addr("br0", &addr, nullptr), 0);
    EXPECT_EQ(wifi_set_if_addr("br0", nullptr, nullptr), 0);
    EXPECT_EQ(wifi_set_if_addr("abcdefghijklmnopq", &addr, nullptr), 0);
    EXPECT_EQ(ioctl_log(*p), (Lines{"SIFADDR br0 10.0.0.1", "SIFNETMASK br0 255.255.255.0",
                                    "SIFNETMASK br0 255.255.255.0", "SIFADDR br0 10.0.0.1",
                                    "SIFADDR abcdefghijklmno 10.0.0.1"}));
}

TEST(IfAddr, Failures) {
    FakePlatformScope p;
    uint32_t addr = htonl(0x0A000001), mask = htonl(0xFFFFFF00);
    size_t fds = open_fds();
    EXPECT_EQ(wifi_set_if_addr(nullptr, &addr, &mask), -1);
    p->ioctl_result[SIOCSIFADDR] = -1;
    EXPECT_EQ(wifi_set_if_addr("br0", &addr, &mask), -1);
    EXPECT_EQ(ioctl_log(*p), Lines{"SIFADDR br0 10.0.0.1"});  // the netmask is not tried
    p->ioctl_result = {{SIOCSIFNETMASK, -1}};
    EXPECT_EQ(wifi_set_if_addr("br0", &addr, &mask), -1);
    p->ioctls.clear();
    p->socket_fails = true;
    EXPECT_EQ(wifi_set_if_addr("br0", &addr, &mask), -1);
    EXPECT_TRUE(p->ioctls.empty());
    EXPECT_EQ(open_fds(), fds);  // every socket closed
}

TEST(IfFlags, OnlyUpAndRunningChange) {
    const struct {
        const char *flag;
        int current;
        const char *sent;
    } cases[] = {
        {"up", 0x1000, "0x1041"}, {"up", 0x1043, "0x1043"}, {"up", 0x1002, "0x1043"},
        {"down", 0x1043, "0x1042"}, {"UP", 0x1043, "0x1042"}, {"up ", 0x1043, "0x1042"},
        {"", 0x1043, "0x1042"}, {"down", 0x0, "0x0"},
    };
    for (const auto &c : cases) {
        FakePlatformScope p;
        p->interface_flags = c.current;
        EXPECT_EQ(wifi_set_if_flags("ra0", c.flag), 0);
        EXPECT_EQ(ioctl_log(*p), (Lines{"GIFFLAGS ra0", std::string("SIFFLAGS ra0 ") + c.sent}))
            << "'" << c.flag << "' " << c.current;
    }
}

TEST(IfFlags, Failures) {
    FakePlatformScope p;
    size_t fds = open_fds();
    EXPECT_EQ(wifi_set_if_flags(nullptr, "up"), -1);
    EXPECT_EQ(wifi_set_if_flags("ra0", nullptr), -1);
    EXPECT_TRUE(p->ioctls.empty());
    p->ioctl_result[SIOCGIFFLAGS] = -1;
    EXPECT_EQ(wifi_set_if_flags("ra0", "up"), -1);
    EXPECT_EQ(ioctl_log(*p), Lines{"GIFFLAGS ra0"});  // nothing set from unknown flags
    p->ioctl_result = {{SIOCSIFFLAGS, -1}};
    EXPECT_EQ(wifi_set_if_flags("ra0", "down"), -1);
    p->ioctls.clear();
    p->socket_fails = true;
    EXPECT_EQ(wifi_set_if_flags("ra0", "up"), -1);
    EXPECT_TRUE(p->ioctls.empty());
    EXPECT_EQ(open_fds(), fds);
}
