// The DHCP configuration editor and the LAN, DHCP, VLAN, UDP-peer and port commands.
#include <gtest/gtest.h>

#include "unit_helpers.h"

namespace {

using Lines = std::vector<std::string>;

// The factory DHCP configuration with some setting lines replaced.
std::string conf_with(const std::vector<std::pair<std::string, std::string>> &lines) {
    std::string t = factory_dhcp_text();
    for (const auto &l : lines) t = replace_line(t, l.first, l.second);
    return t;
}

}  // namespace

TEST(DhcpEditor, ReplacesTheLinesThatSetTheKey) {
    const struct {
        const char *key, *value;
        const char *prefix, *line;
    } cases[] = {
        {"start", "192.168.1.50", "start", "start\t\t192.168.1.50"},
        {"end", "192.168.1.60", "end", "end\t\t192.168.1.60"},
        {"router", "10.0.0.1", "opt\trouter", "opt\trouter\t10.0.0.1"},
        {"lease", "3600", "option\tlease", "option\tlease\t3600"},
    };
    for (const auto &c : cases) {
        SeededRoot root;
        EXPECT_EQ(wifi_modify_dhcp_cfg(c.key, c.value), 0) << c.key;
        EXPECT_EQ(root.dhcp(), conf_with({{c.prefix, c.line}})) << c.key;  // lease_file, max_leases kept
        EXPECT_FALSE(root->exists(WIFI_DHCP_CFG_TMP_PATH));
    }
}

TEST(DhcpEditor, WhichLinesCount) {
    FakePlatformScope p;
    p->write_file(WIFI_DHCP_CFG_PATH,
                  "#opt router 1.1.1.1\n"
                  "opt router 2.2.2.2 # old\n"
                  "opt\trouter\t3.3.3.3\n"
                  "  option router 4.4.4.4\n"
                  "opt routers 5.5.5.5\n"
                  "router 6.6.6.6\n"
                  "opt dns router\n"
                  "starter 7\n"
                  "lease_file /tmp/x\n"
                  "max_leases 10\n"
                  "option\tlease\t60");
    EXPECT_EQ(wifi_modify_dhcp_cfg("router", "9.9.9.9"), 0);
    EXPECT_EQ(wifi_modify_dhcp_cfg("lease", "7200"), 0);
    EXPECT_EQ(p->read_file(WIFI_DHCP_CFG_PATH),
              "#opt router 1.1.1.1\n"
              "opt router 2.2.2.2 # old\n"
              "opt\trouter\t9.9.9.9\n"
              "opt\trouter\t9.9.9.9\n"
              "opt routers 5.5.5.5\n"
              "opt\trouter\t9.9.9.9\n"
              "opt dns router\n"
              "starter 7\n"
              "lease_file /tmp/x\n"
              "max_leases 10\n"
              "option\tlease\t7200\n");
}

TEST(DhcpEditor, KeysWithoutAClassAndAbsentKeys) {
    SeededRoot root;
    // no line sets it: rewritten unchanged
    EXPECT_EQ(wifi_modify_dhcp_cfg("nosuch", "1"), 0);
    EXPECT_EQ(root.dhcp(), factory_dhcp_text());
    // a line sets it but the key has no line format: refused, nothing left behind
    EXPECT_EQ(wifi_modify_dhcp_cfg("interface", "eth0"), -1);
    EXPECT_EQ(root.dhcp(), factory_dhcp_text());
    EXPECT_FALSE(root->exists(WIFI_DHCP_CFG_TMP_PATH));
}

TEST(DhcpEditor, RefusedValuesAndMissingFile) {
    SeededRoot root;
    for (const char *v : {"1.2.3.4\n", "1.2.3.4\rend 9.9.9.9", "\n"}) {
        EXPECT_EQ(wifi_modify_dhcp_cfg("start", v), -1);
        EXPECT_EQ(root.dhcp(), factory_dhcp_text());
        EXPECT_FALSE(root->exists(WIFI_DHCP_CFG_TMP_PATH));
    }
    EXPECT_EQ(wifi_modify_dhcp_cfg(nullptr, "1"), -1);
    EXPECT_EQ(wifi_modify_dhcp_cfg("start", nullptr), -1);

    FakePlatformScope empty;
    EXPECT_EQ(wifi_modify_dhcp_cfg("start", "1.2.3.4"), -1);
    EXPECT_FALSE(empty->exists(WIFI_DHCP_CFG_PATH));
    EXPECT_FALSE(empty->exists(WIFI_DHCP_CFG_TMP_PATH));
}

// ---------------------------------------------------------------------------

TEST(PendingFlags, WhatEachCommandMarks) {
    const struct {
        const char *cmd;
        uint32_t wifi, dhcp, lan;
    } cases[] = {
        {"AT+SSID=a", 1, 0, 0},      {"AT+KEY=a", 1, 0, 0},       {"AT+CHANNEL=1", 1, 0, 0},
        {"AT+AUTH=OPEN", 1, 0, 0},   {"AT+ENCRY=AES", 1, 0, 0},   {"AT+WIFI=ON", 1, 0, 0},
        {"AT+HTMODE=HT20", 1, 0, 0}, {"AT+COUNTRY=US", 1, 0, 0},  {"AT+TXPOWER=1", 1, 0, 0},
        {"AT+STANUM=1", 1, 0, 0},    {"AT+UIP=1.2.3.4", 1, 0, 0}, {"AT+LANIP=10.0.0.1", 0, 1, 1},
        {"AT+DHCP=100 50 24", 0, 1, 0},
        // commands that mark nothing
        {"AT+SSID", 0, 0, 0}, {"AT+KEY", 0, 0, 0}, {"AT+CHANNEL", 0, 0, 0}, {"AT+CHANNEL!=", 0, 0, 0},
        {"AT+AUTH", 0, 0, 0}, {"AT+ENCRY", 0, 0, 0}, {"AT+WIFI", 0, 0, 0}, {"AT+HTMODE", 0, 0, 0},
        {"AT+COUNTRY", 0, 0, 0}, {"AT+TXPOWER", 0, 0, 0}, {"AT+STANUM", 0, 0, 0}, {"AT+UIP", 0, 0, 0},
        {"AT+LANIP", 0, 0, 0}, {"AT+DHCP", 0, 0, 0}, {"AT+DHCP=OFF", 0, 0, 0}, {"AT+VLAN=OFF", 0, 0, 0},
        {"AT+VLAN=1", 0, 0, 0}, {"AT+VLAN", 0, 0, 0}, {"AT+PORT", 0, 0, 0}, {"AT+RESTORE", 0, 0, 0},
        {"AT+REBOOT", 0, 0, 0}, {"AT+", 0, 0, 0}, {"AT+NOPE", 0, 0, 0},
    };
    for (const auto &c : cases) {
        SeededRoot root;
        root->shell_output["switch reg read 80"] = "value=06";
        Reply r = dispatch(c.cmd);
        EXPECT_EQ(r.ret, strcmp(c.cmd, "AT+NOPE") == 0 ? -1 : 0) << c.cmd;
        EXPECT_TRUE(pending_is(c.wifi, c.dhcp, c.lan)) << c.cmd;
    }
    // "AT+DHCP=OFF" clears only its own word
    SeededRoot root;
    g_cfg_pending = {1, 1, 1};
    EXPECT_EQ(dispatch("AT+DHCP=OFFX").text, "+OK");
    EXPECT_TRUE(pending_is(1, 0, 1));
    EXPECT_EQ(root->shell_lines, Lines{"/etc/init.d/dhcp stop"});
}

TEST(UdpPeer, StoredCutTo31Characters) {
    SeededRoot root;
    EXPECT_EQ(dispatch("AT+UIP").text, "+OK=");
    EXPECT_EQ(dispatch("AT+UIP=192.168.1.10").text, "+OK");
    EXPECT_EQ(dispatch("AT+UIP").text, "+OK=192.168.1.10");
    const std::string longer(40, '7');
    EXPECT_EQ(dispatch("AT+UIP=" + longer).text, "+OK");  // not validated
    EXPECT_EQ(std::string(szUdpSrcIP), longer.substr(0, 31));
    EXPECT_EQ(dispatch("AT+UIP").text, "+OK=" + longer.substr(0, 31));
    EXPECT_EQ(root.profile(), factory_profile_text());  // memory only
}

TEST(LanIp, WritesTheProfileAndTheRouterLine) {
    SeededRoot root;
    EXPECT_EQ(dispatch("AT+LANIP=10.0.0.1").text, "+OK");
    EXPECT_EQ(root.profile(), profile_with({{"LanIpaddr", "10.0.0.1"}}));
    EXPECT_EQ(root.dhcp(), conf_with({{"opt\trouter", "opt\trouter\t10.0.0.1"}}));  // the pool stays
    EXPECT_EQ(dispatch("AT+LANIP").text, "+OK=10.0.0.1");
    EXPECT_TRUE(root->ioctls.empty());
}

TEST(LanIp, RefusesAnythingButADottedQuad) {
    for (const char *p : {"", "10.0.0", "10.0.0.256", "a.b.c.d", "10.0.0.1 ", " 10.0.0.1", "10.0.0.1\n",
                          "1.2.3.4.5", "10.0.0.1;reboot", "::1"}) {
        SeededRoot root;
        Reply r = dispatch(std::string("AT+LANIP=") + p);
        EXPECT_EQ(r.text, "+ERR") << p;
        EXPECT_EQ(root.profile(), factory_profile_text()) << p;
        EXPECT_EQ(root.dhcp(), factory_dhcp_text()) << p;
        EXPECT_TRUE(pending_is(0, 0, 0)) << p;
    }
}

TEST(LanIp, QueryWithoutTheKeyFails) {
    SeededRoot root;
    root->write_file(WIFI_PROFILE_PATH, profile_without("LanIpaddr"));
    EXPECT_EQ(dispatch("AT+LANIP").text, "+ERR");
    // the profile write changes nothing, yet the router line is still written
    EXPECT_EQ(dispatch("AT+LANIP=10.0.0.1").text, "+OK");
    EXPECT_EQ(root.dhcp(), conf_with({{"opt\trouter", "opt\trouter\t10.0.0.1"}}));
}

TEST(Dhcp, WritesPoolAndLease) {
    const struct {
        const char *lan, *para;
        const char *start, *end, *lease;
    } cases[] = {
        {"192.168.1.1", "100 50 24h", "192.168.1.100", "192.168.1.150", "86400"},
        {"192.168.1.1", "100 50 24", "192.168.1.100", "192.168.1.150", "86400"},
        {"10.0.7.1", "1 0 1", "10.0.7.1", "10.0.7.1", "3600"},
        {"10.0.7.1", "254 0 1h", "10.0.7.254", "10.0.7.254", "3600"},
        {"192.168.1.1", "100 154 2", "192.168.1.100", "192.168.1.254", "7200"},
        {"192.168.1.1", "2 10 596523", "192.168.1.2", "192.168.1.12", "2147482800"},
    };
    for (const auto &c : cases) {
        SeededRoot root;
        root->write_file(WIFI_PROFILE_PATH, profile_with({{"LanIpaddr", c.lan}}));
        EXPECT_EQ(dispatch(std::string("AT+DHCP=") + c.para).text, "+OK") << c.para;
        EXPECT_EQ(root.dhcp(), conf_with({{"start", std::string("start\t\t") + c.start},
                                          {"end", std::string("end\t\t") + c.end},
                                          {"option\tlease", std::string("option\tlease\t") + c.lease}}))
            << c.para;
        EXPECT_TRUE(pending_is(0, 1, 0));
    }
}

TEST(Dhcp, RefusedParameters) {
    const struct {
        const char *para;
        const char *line;  // the line printed, or nullptr
    } cases[] = {
        {"100 50", "=======sscanf param error!!==========\n"},
        {"", "=======sscanf param error!!==========\n"},
        {"a b c", "=======sscanf param error!!==========\n"},
        {"0 10 24", nullptr},    {"255 0 1", nullptr},   {"250 10 1", nullptr}, {"100 155 1", nullptr},
        {"100 -1 24", nullptr},  {"-5 10 24", nullptr},  {"100 50 0", nullptr}, {"100 50 -1", nullptr},
        {"100 50 596524", nullptr},
    };
    for (const auto &c : cases) {
        SeededRoot root;
        testing::internal::CaptureStdout();
        Reply r = dispatch(std::string("AT+DHCP=") + c.para);
        std::string out = testing::internal::GetCapturedStdout();
        EXPECT_EQ(r.text, "+ERR") << c.para;
        if (c.line != nullptr) {
            EXPECT_NE(out.find(c.line), std::string::npos) << c.para;
        }
        EXPECT_EQ(root.dhcp(), factory_dhcp_text()) << c.para;
        EXPECT_TRUE(pending_is(0, 0, 0)) << c.para;
    }
}

TEST(Dhcp, StoredLanAddressMustHoldFourNumbers) {
    for (const char *lan : {"abc", "192.168.1", "300.1.1.1"}) {
        SeededRoot root;
        root->write_file(WIFI_PROFILE_PATH, profile_with({{"LanIpaddr", lan}}));
        testing::internal::CaptureStdout();
        EXPECT_EQ(dispatch("AT+DHCP=100 50 24").text, "+ERR") << lan;
        EXPECT_NE(testing::internal::GetCapturedStdout().find("=======sscanf ipaddr error!!=========="),
                  std::string::npos);
        EXPECT_EQ(root.dhcp(), factory_dhcp_text());
        EXPECT_TRUE(pending_is(0, 0, 0));
    }
    SeededRoot root;
    root->write_file(WIFI_PROFILE_PATH, profile_without("LanIpaddr"));
    EXPECT_EQ(dispatch("AT+DHCP=100 50 24").text, "+ERR");
}

TEST(Dhcp, OffQueryAndEditorFailuresAreNotReported) {
    SeededRoot root;
    EXPECT_EQ(dispatch("AT+DHCP").text, "+OK=");
    EXPECT_EQ(dispatch("AT+DHCP=OFF").text, "+OK");
    EXPECT_EQ(root->shell_lines, Lines{"/etc/init.d/dhcp stop"});
    // without a DHCP configuration the setters still answer +OK
    FakePlatformScope p;
    p->write_file(WIFI_PROFILE_PATH, factory_profile_text());
    EXPECT_EQ(dispatch("AT+DHCP=100 50 24").text, "+OK");
    EXPECT_EQ(dispatch("AT+LANIP=10.0.0.1").text, "+OK");
    EXPECT_TRUE(pending_is(0, 1, 1));
    EXPECT_FALSE(p->exists(WIFI_DHCP_CFG_PATH));
}

TEST(Vlan, CommandLines) {
    const struct {
        std::string cmd;
        const char *reply;
        Lines shell;
    } cases[] = {
        {"AT+VLAN=OFF", "+OK", {"/etc/init.d/vlan clear"}},
        {"AT+VLAN=OFF1", "+ERR", {}},
        {"AT+VLAN=OFF ", "+ERR", {}},
        {"AT+VLAN=1 2,3.4:5_6-aZ", "+OK", {"/etc/init.d/vlan set 1 2,3.4:5_6-aZ"}},
        {"AT+VLAN=", "+OK", {"/etc/init.d/vlan set "}},
        {"AT+VLAN=off", "+OK", {"/etc/init.d/vlan set off"}},
        {"AT+VLAN=" + std::string(106, 'v'), "+OK", {"/etc/init.d/vlan set " + std::string(106, 'v')}},
        {"AT+VLAN=" + std::string(107, 'v'), "+ERR", {}},
        {"AT+VLAN", "+OK=waiting", {}},
        {"AT+VLANX", "+OK=waiting", {}},
    };
    for (const auto &c : cases) {
        SeededRoot root;
        EXPECT_EQ(dispatch(c.cmd).text, c.reply) << c.cmd;
        EXPECT_EQ(root->shell_lines, c.shell) << c.cmd;
    }
}

TEST(Vlan, ShellSyntaxIsRefused) {
    for (const char *bad : {";", "|", "&", "$", "`", "'", "\"", "/", "\\", "\n", "\r", "\t", ">", "<", "(", ")",
                            "*", "?", "=", "#", "~", "!", "{", "\xC3\xA9"}) {
        SeededRoot root;
        testing::internal::CaptureStdout();
        Reply r = dispatch(std::string("AT+VLAN=1") + bad + "reboot");
        std::string out = testing::internal::GetCapturedStdout();
        EXPECT_EQ(r.text, "+ERR") << bad;
        EXPECT_TRUE(root->shell_lines.empty()) << bad;
        EXPECT_NE(out.find("======cmd param error!=======\n"), std::string::npos);
    }
}

TEST(Port, TwoStatesFromTheSecondCharacterAfterValue) {
    const struct {
        const char *output;
        const char *reply;
    } cases[] = {
        {"value=06\n", "+OK=1,1,0,0"},
        {"value=02\n", "+OK=1,0,0,0"},
        {"value=04\n", "+OK=0,1,0,0"},
        {"value=00\n", "+OK=0,0,0,0"},
        {"value=0e\n", "+OK=0,0,0,0"},
        {"value=0x6\n", "+OK=0,0,0,0"},
        {"value=6\n", "+OK=0,0,0,0"},
        {"value=0", "+OK=0,0,0,0"},
        {"switch: reg 80\nvalue=16 more\n", "+OK=1,1,0,0"},
        {"value=07", "+OK=1,1,0,0"},
        {"value=08", "+OK=0,0,0,0"},
        {"no such register\n", "+ERR"},
        {"", "+ERR"},
    };
    for (const auto &c : cases) {
        SeededRoot root;
        root->shell_output["switch reg read 80"] = c.output;
        EXPECT_EQ(dispatch("AT+PORT").text, c.reply) << c.output;
        EXPECT_EQ(root->shell_lines, Lines{"switch reg read 80 2>&1"});
    }
    SeededRoot root;
    root->shell_open_fails = true;
    testing::internal::CaptureStdout();
    EXPECT_EQ(dispatch("AT+PORT").text, "+ERR");
    EXPECT_NE(testing::internal::GetCapturedStdout().find("===wifi_msg_proc_get_port_rsp get port error========\n"),
              std::string::npos);
}
