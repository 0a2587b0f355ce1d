// The built commands: what each setter writes and its query then answers, what is
// refused, what is marked pending and what "AT+ENCFG" then does, and the interface
// operations under it.
#include <gtest/gtest.h>
#include <net/if.h>  // before linux/wireless.h
#include <linux/wireless.h>
#include <sys/inotify.h>
#include <unistd.h>

#include "unit_helpers.h"

namespace {

const std::string k127(127, 'x');
const std::string kRouter = "opt\trouter", kLease = "option\tlease";
const Lines kRestart = {"GIFFLAGS ra0", "SIFFLAGS ra0 0x1042", "GIFFLAGS ra0", "SIFFLAGS ra0 0x1043"};
const Lines kStop = {"GIFFLAGS ra0", "SIFFLAGS ra0 0x1042"};
const Lines kLan = {"SIFADDR br0 192.168.1.1", "SIFNETMASK br0 255.255.255.0"};
const FakeOps kDhcp = {{WIFI_OP_DHCP_STOP}, {WIFI_OP_DHCP_START}};

template <class T>
std::vector<T> operator+(std::vector<T> a, const std::vector<T> &b) {
    a.insert(a.end(), b.begin(), b.end());
    return a;
}
}  // namespace

TEST(Commands, SettersWriteTheirKeysAndQueriesAnswerThem) {
    auto pool = [](const std::string &start, const std::string &end, const std::string &lease) {
        return KV{{"start", "start\t\t" + start}, {"end", "end\t\t" + end}, {kLease, kLease + "\t" + lease}};
    };
    const KV router = {{kRouter, kRouter + "\t10.0.0.1"}};
    const struct {
        std::string cmd;    // answers "+OK"
        KV after;           // profile keys it changes
        std::string query;  // sent next, and its answer
        std::string answer;
        KV conf = {};    // DHCP configuration lines it changes
        KV before = {};  // profile keys differing from the factory profile at start
    } cases[] = {
        {"AT+SSID=Home", {{"SSID1", "Home"}}, "AT+SSID", "+OK=Home"},
        {"AT+SSID=" + k127 + "yyy", {{"SSID1", k127}}, "AT+SSID", "+OK=" + k127},
        {"AT+KEY=secret99", {{"WPAPSK1", "secret99"}}, "AT+KEY", "+OK=secret99"},
        {"AT+CHANNEL=auto", {{"AutoChannelSelect", "2"}, {"Channel", "0"}}, "AT+CHANNEL", "+OK=0"},
        {"AT+CHANNEL=xauto\n", {{"AutoChannelSelect", "2"}, {"Channel", "0"}}, "AT+CHANNEL", "+OK=0"},
        {"AT+CHANNEL=11",
         {{"AutoChannelSelect", "4"}, {"Channel", "11"}},
         "AT+CHANNEL",
         "+OK=11",
         {},
         {{"AutoChannelSelect", "2"}}},
        {"AT+CHANNEL=Auto", {{"AutoChannelSelect", "4"}, {"Channel", "Auto"}}, "AT+CHANNEL", "+OK=Auto"},
        {"AT+AUTH=OPEN", {{"AuthMode", "OPEN"}, {"EncrypType", "NONE"}}, "AT+AUTH", "+OK=OPEN"},
        {"AT+AUTH=WPA2PSK",
         {{"AuthMode", "WPA2PSK"}, {"EncrypType", "AES"}},
         "AT+ENCRY",
         "+OK=AES",
         {},
         {{"EncrypType", "NONE"}}},
        {"AT+AUTH=WPAPSK", {{"AuthMode", "WPAPSK"}}, "AT+ENCRY", "+OK=TKIP", {}, {{"EncrypType", "TKIP"}}},
        {"AT+AUTH=WPAPSK_WPA2PSK", {{"AuthMode", "WPAPSKWPA2PSK"}}, "AT+AUTH", "+OK=WPAPSK_WPA2PSK"},
        {"AT+AUTH=open", {{"AuthMode", "open"}}, "AT+ENCRY", "+OK=AES"},
        {"AT+ENCRY=TKIP/AES", {{"EncrypType", "TKIPAES"}}, "AT+ENCRY", "+OK=TKIP/AES"},
        {"AT+WIFI=OFF", {{"WifiSwitch", "OFF"}}, "AT+WIFI", "+OK=OFF"},
        {"AT+HTMODE=HT20", {{"HT_BW_TMP", "HT20"}, {"HT_BW", "0"}}, "AT+HTMODE", "+OK=HT20"},
        {"AT+HTMODE=AUTO", {{"HT_BW_TMP", "AUTO"}, {"HT_BW", "1"}}, "AT+HTMODE", "+OK=AUTO", {}, {{"HT_BW", "0"}}},
        {"AT+HTMODE=xHT40+",
         {{"HT_BW_TMP", "xHT40+"}, {"HT_BW", "1"}},
         "AT+HTMODE",
         "+OK=xHT40+",
         {},
         {{"HT_BW", "0"}}},
        {"AT+COUNTRY=US", {{"CountryCode", "US"}}, "AT+COUNTRY", "+OK=US"},
        {"AT+COUNTRY=US", {}, "AT+COUNTRY", "+ERR", {}, {{"CountryCode", "<none>"}}},  // absent key: no change
        {"AT+TXPOWER=50", {{"TxPower", "50"}}, "AT+TXPOWER", "+OK=50"},
        {"AT+STANUM=10", {{"MaxStaNum", "10"}}, "AT+STANUM", "+OK=10"},
        {"AT+UIP=10.1.2.3", {}, "AT+UIP", "+OK=10.1.2.3"},  // memory only
        {"AT+LANIP=10.0.0.1", {{"LanIpaddr", "10.0.0.1"}}, "AT+LANIP", "+OK=10.0.0.1", router},
        {"AT+LANIP=10.0.0.1", {}, "AT+LANIP", "+ERR", router, {{"LanIpaddr", "<none>"}}},
        {"AT+DHCP=100 50 24h", {}, "AT+DHCP", "+OK=", pool("192.168.1.100", "192.168.1.150", "86400")},
        {"AT+DHCP=254 0 1h",
         {},
         "AT+DHCP",
         "+OK=",
         pool("10.0.7.254", "10.0.7.254", "3600"),
         {{"LanIpaddr", "10.0.7.1"}}},
        {"AT+DHCP=2 10 596523", {}, "AT+DHCP", "+OK=", pool("192.168.1.2", "192.168.1.12", "2147482800")},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.cmd);
        SeededRoot root;
        root->write_file(WIFI_PROFILE_PATH, profile_with(c.before));
        EXPECT_EQ(dispatch(c.cmd).text, "+OK");
        EXPECT_EQ(root.profile(), profile_with(c.before + c.after));
        EXPECT_EQ(root.dhcp(), conf_with(c.conf));
        EXPECT_EQ(dispatch(c.query).text, c.answer);
        EXPECT_TRUE(root->ops.empty());
        EXPECT_TRUE(root->ioctls.empty());
    }
    // Without a DHCP configuration the LAN and DHCP setters fail and mark nothing.
    SeededRoot root;
    std::remove(root->path(WIFI_DHCP_CFG_PATH).c_str());
    EXPECT_EQ(dispatch("AT+LANIP=10.0.0.1").text + dispatch("AT+DHCP=100 50 24").text, "+ERR+ERR");
    EXPECT_TRUE(pending_is(0, 0, 0));
    EXPECT_FALSE(root->exists(WIFI_DHCP_CFG_PATH) || root->exists(WIFI_DHCP_CFG_TMP_PATH));
}

// Commands that write several keys of one file do it in one rewrite, so that a power
// cut never leaves half of them written.
TEST(Commands, SeveralKeysInOneRename) {
    for (const char *cmd : {"AT+CHANNEL=auto", "AT+AUTH=OPEN", "AT+AUTH=WPA2PSK", "AT+HTMODE=HT20", "AT+DHCP=9 9 9"}) {
        SeededRoot root;
        root->write_file(WIFI_PROFILE_PATH, profile_with({{"EncrypType", "NONE"}}));
        int fd = inotify_init1(IN_NONBLOCK | IN_CLOEXEC);  // creations keep the renames apart
        inotify_add_watch(fd, root->path("/config").c_str(), IN_MOVED_TO | IN_CREATE);
        inotify_add_watch(fd, root->path("/etc").c_str(), IN_MOVED_TO | IN_CREATE);
        EXPECT_EQ(dispatch(cmd).text, "+OK");
        alignas(inotify_event) char buf[4096];
        int renames = 0;
        for (ssize_t n = read(fd, buf, sizeof(buf)), at = 0; at < n;) {
            const inotify_event *e = (const inotify_event *)(buf + at);
            renames += (e->mask & IN_MOVED_TO) != 0;
            at += (ssize_t)(sizeof(inotify_event) + e->len);
        }
        close(fd);
        EXPECT_EQ(renames, 1) << cmd;
    }
}

TEST(Commands, RefusedCommandsChangeNothing) {
    std::vector<std::pair<std::string, std::string>> cases;  // {stored LanIpaddr, command}
    for (std::string cmd : {"AT+SSID=a\nb",
                            "AT+KEY=k\r",
                            "AT+CHANNEL=6\r\n",
                            "AT+AUTH=OPEN\n",
                            "AT+ENCRY=AES\r",
                            "AT+WIFI=ON\nWifiSwitch=OFF",
                            "AT+HTMODE=HT20\n",
                            "AT+STANUM=1\n",
                            "AT+LANIP=",
                            "AT+LANIP=10.0.0",
                            "AT+LANIP=10.0.0.256",
                            "AT+LANIP=a.b.c.d",
                            "AT+LANIP=10.0.0.1 ",
                            "AT+LANIP= 10.0.0.1",
                            "AT+LANIP=10.0.0.1\n",
                            "AT+LANIP=1.2.3.4.5",
                            "AT+LANIP=10.0.0.1;reboot",
                            "AT+DHCP=100 50",
                            "AT+DHCP=a b c",
                            "AT+DHCP=0 10 24",
                            "AT+DHCP=255 0 1",
                            "AT+DHCP=250 10 1",
                            "AT+DHCP=100 155 1",
                            "AT+DHCP=100 -1 24",
                            "AT+DHCP=-5 10 24",
                            "AT+DHCP=100 50 0",
                            "AT+DHCP=100 50 596524",
                            "AT+VLAN=OFF1",
                            "AT+VLAN=OFF ",
                            "AT+DHCP=4294967396 50 24h",
                            "AT+DHCP=100 50 2147483648",
                            "AT+DHCP=100 - 24",
                            "AT+VLAN=--help",
                            "AT+VLAN=-1",
                            "AT+VLAN=1  -r"})
        cases.push_back({"192.168.1.1", cmd});
    for (const char *lan : {"abc", "300.1.1.1", "1.1.300.1", "<none>"}) cases.push_back({lan, "AT+DHCP=100 50 24"});
    cases.push_back({"192.168.1.1", "AT+VLAN=" + std::string(107, 'v')});
    for (const char *bad : {";", "|", "&", "$", "`", "'", "\"", "/", "\\", "\n",      "\t",
                            ">", "(", "*", "?", "=", "#", "~",  "!", "{",  "\xC3\xA9"})
        cases.push_back({"192.168.1.1", std::string("AT+VLAN=1") + bad + "reboot"});
    for (const auto &c : cases) {
        SCOPED_TRACE(c.second);
        SeededRoot root;
        const std::string before = profile_with({{"LanIpaddr", c.first}});
        root->write_file(WIFI_PROFILE_PATH, before);
        Reply r = dispatch(c.second);
        EXPECT_EQ(r.ret, -1);
        EXPECT_EQ(r.text, "+ERR");
        EXPECT_EQ(root.profile(), before);
        EXPECT_EQ(root.dhcp(), factory_dhcp_text());
        EXPECT_TRUE(root->ops.empty() && root->ioctls.empty());
        EXPECT_TRUE(pending_is(0, 0, 0));
        EXPECT_FALSE(root->exists(WIFI_PROFILE_TMP_PATH) || root->exists(WIFI_DHCP_CFG_TMP_PATH));
    }
}

TEST(Commands, PendingWordsAndWhatEncfgDoesWithThem) {
    // pending words before and after the command (which answers "+OK..."), and the
    // ioctls and system operations of the command and a following AT+ENCFG together
    struct Case {
        uint32_t pre[3];
        std::string cmd;
        uint32_t post[3];
        Lines ioctls;
        FakeOps ops;
    };
    std::vector<Case> cases = {
        // every combination of words, the command being AT+ENCFG itself
        {{0, 0, 0}, "AT+ENCFG", {0, 0, 0}, {}, {}},
        {{1, 0, 0}, "AT+ENCFG", {0, 0, 0}, kRestart, {}},
        {{0, 1, 0}, "AT+ENCFG", {0, 0, 0}, {}, kDhcp},
        {{1, 1, 0}, "AT+ENCFG", {0, 0, 0}, kRestart, kDhcp},
        {{0, 0, 1}, "AT+ENCFG", {0, 0, 0}, kLan, {}},
        {{1, 0, 1}, "AT+ENCFG", {0, 0, 0}, kRestart + kLan, {}},
        {{0, 1, 1}, "AT+ENCFG", {0, 0, 0}, kLan, kDhcp},
        {{1, 1, 1}, "AT+ENCFG", {0, 0, 0}, kRestart + kLan, kDhcp},
        // what each command marks
        {{0, 0, 0}, "AT+WIFI=OFF", {1, 0, 0}, kStop, {}},
        {{0, 0, 0}, "AT+WIFI=xOFFy", {1, 0, 0}, kStop, {}},
        {{0, 0, 0}, "AT+WIFI=off", {1, 0, 0}, kRestart, {}},
        {{0, 0, 0}, "AT+LANIP=10.0.0.1", {0, 1, 1}, {"SIFADDR br0 10.0.0.1", "SIFNETMASK br0 255.255.255.0"}, kDhcp},
        {{0, 0, 0}, "AT+DHCP=100 50 24", {0, 1, 0}, {}, kDhcp},
        {{1, 1, 1}, "AT+DHCP=OFFX", {1, 0, 1}, kRestart + kLan, {{WIFI_OP_DHCP_STOP}}},
        {{1, 1, 1}, "AT+SSID", {1, 1, 1}, kRestart + kLan, kDhcp},
        {{1, 1, 1}, "AT+PORT", {1, 1, 1}, kRestart + kLan, FakeOps{{WIFI_OP_SWITCH_READ}} + kDhcp},
        {{1, 0, 1}, "AT+RESTORE now", {1, 0, 1}, kRestart + kLan, {}},
        {{0, 0, 0}, "AT+REBOOT", {0, 0, 0}, {}, {{WIFI_OP_REBOOT}}},
        {{0, 0, 0}, "AT+VLAN=OFF", {0, 0, 0}, {}, {{WIFI_OP_VLAN_CLEAR}}},
    };
    for (std::string para : {std::string("1 2,3.4:5_6-aZ"), std::string(), std::string("off"), std::string(106, 'v')})
        cases.push_back({{0, 0, 0}, "AT+VLAN=" + para, {0, 0, 0}, {}, {{WIFI_OP_VLAN_SET, para}}});
    for (const char *cmd : {"AT+SSID=a", "AT+KEY=a", "AT+CHANNEL=1", "AT+AUTH=OPEN", "AT+ENCRY=AES", "AT+HTMODE=HT20",
                            "AT+COUNTRY=US", "AT+TXPOWER=1", "AT+STANUM=1", "AT+UIP=1.2.3.4", "AT+WIFI=ON"})
        cases.push_back({{0, 0, 0}, cmd, {1, 0, 0}, kRestart, {}});
    for (const auto &c : cases) {
        SCOPED_TRACE(c.cmd);
        SeededRoot root;
        g_cfg_pending = {c.pre[0], c.pre[1], c.pre[2]};
        EXPECT_EQ(dispatch(c.cmd).text.substr(0, 3), "+OK");
        EXPECT_TRUE(pending_is(c.post[0], c.post[1], c.post[2]));
        EXPECT_EQ(dispatch("AT+ENCFG").text, "+OK");
        EXPECT_TRUE(pending_is(0, 0, 0));
        EXPECT_EQ(ioctl_log(*root), c.ioctls);
        EXPECT_EQ(root->ops, c.ops);
    }
}

TEST(Commands, EncfgWithBadStoredValuesAndFailingInterfaces) {
    // profile changes, an ioctl that fails, the flash tool's status, pending words
    // before, the reply, ioctls and system operations, and the pending words after: a step
    // that failed stays pending for the next try
    struct Case {
        KV before;
        unsigned long failing;
        int status;
        uint32_t pre[3];
        const char *reply;
        Lines io;
        FakeOps ops;
        uint32_t post[3];
    };
    std::vector<Case> cases = {
        {{}, SIOCSIFADDR, 0, {0, 1, 1}, "+ERR", {"SIFADDR br0 192.168.1.1"}, kDhcp, {0, 0, 1}},
        {{}, SIOCSIFFLAGS, 0, {1, 0, 0}, "+ERR", kRestart, {}, {1, 0, 0}},
        {{}, 0, 256, {0, 1, 0}, "+ERR", {}, kDhcp, {0, 1, 0}},
        {{{"WifiSwitch", "<none>"}}, 0, 0, {1, 1, 1}, "+ERR", {}, {}, {1, 1, 1}},
    };
    for (const char *bad : {"192.168.1", "192.168.1.256", "", "192.168.1.1 "})
        cases.push_back({{{"LanIpaddr", bad}}, 0, 0, {0, 1, 1}, "+ERR", {}, kDhcp, {0, 0, 1}});
    for (const auto &c : cases) {
        SeededRoot root;
        root->write_file(WIFI_PROFILE_PATH, profile_with(c.before));
        root->ioctl_result[c.failing] = -1;
        root->op_status = c.status;
        g_cfg_pending = {c.pre[0], c.pre[1], c.pre[2]};
        EXPECT_EQ(dispatch("AT+ENCFG").text, c.reply);
        EXPECT_EQ(ioctl_log(*root), c.io);
        EXPECT_EQ(root->ops, c.ops);
        EXPECT_TRUE(pending_is(c.post[0], c.post[1], c.post[2]));
    }
}

TEST(Commands, PortStatesAndDriverChannel) {
    // what the tool prints is kept in whole pieces of up to 255 bytes while they fit in
    // 128 bytes with their NUL: the first that does not ends it
    const std::pair<std::string, const char *> cases[] = {
        {"value=06\n", "+OK=1,1,0,0"},
        {"value=02\n", "+OK=1,0,0,0"},
        {"value=04\n", "+OK=0,1,0,0"},
        {"value=0e\n", "+OK=0,0,0,0"},
        {"value=6\n", "+OK=0,0,0,0"},
        {"reg 80\nvalue=16 more\n", "+OK=1,1,0,0"},
        {"value=07", "+OK=1,1,0,0"},
        {"no such register\n", "+ERR"},
        {"", "+ERR"},
        {std::string(117, 'x') + "\nvalue=06\n", "+OK=1,1,0,0"},
        {std::string(118, 'x') + "\nvalue=06\n", "+ERR"},
        {std::string(300, 'x') + "value=06\n", "+ERR"},
    };
    for (const auto &c : cases) {
        SeededRoot root;
        root->switch_output = c.first;
        EXPECT_EQ(dispatch("AT+PORT").text, c.second) << c.first;
        EXPECT_EQ(root->ops, FakeOps{{WIFI_OP_SWITCH_READ}});
    }
    SeededRoot root;
    root->tools_fail = true;
    EXPECT_EQ(dispatch("AT+PORT").text, "+ERR");
    EXPECT_EQ(dispatch("AT+REBOOT").text, "+ERR");

    root->channel = 11;
    EXPECT_EQ(dispatch("AT+CHANNEL!=6").text, "+OK=11");
    ASSERT_EQ(root->ioctls.size(), 1u);
    EXPECT_EQ(root->ioctls[0].request, (unsigned long)SIOCGIWFREQ);
    EXPECT_EQ(root->ioctls[0].ifname, "ra0");
    root->ioctl_result[SIOCGIWFREQ] = -1;
    EXPECT_EQ(dispatch("AT+CHANNEL!=").text, "+ERR");
}

TEST(Netif, FlagsChangeOnlyUpAndRunning) {
    const struct {
        const char *flag;
        int current;
        const char *sent;
    } cases[] = {
        {"up", 0x1000, "0x1041"},
        {"up", 0x1043, "0x1043"},
        {"down", 0x1043, "0x1042"},
        {"UP", 0x1043, "0x1042"},
    };
    for (const auto &c : cases) {
        FakePlatformScope p;
        p->interface_flags = c.current;
        EXPECT_EQ(wifi_set_if_flags("ra0", c.flag), 0);
        EXPECT_EQ(ioctl_log(*p), (Lines{"GIFFLAGS ra0", std::string("SIFFLAGS ra0 ") + c.sent})) << c.flag;
    }
}
