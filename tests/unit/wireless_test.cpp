// The wireless driver's requests, its status files and the station, survey and
// access commands that report from them.
#include <gtest/gtest.h>
#include <net/if.h>  // before linux/wireless.h
#include <linux/wireless.h>
#include <spawn.h>
#include <sys/wait.h>

#include "unit_helpers.h"
#include "wifi_access.h"
#include "wifi_iwpriv.h"
#include "wifi_station.h"
#include "wifi_survey.h"

namespace {

// The driver's table: each station's first octet and association time; `num` as given.
std::string raw_table(uint32_t num, const std::vector<std::pair<uint8_t, uint32_t>> &st) {
    std::string raw(WIFI_MAC_TABLE_SIZE, '\0');
    auto le32 = [&](size_t at, uint32_t v) {
        for (int i = 0; i < 4; i++) raw[at + i] = (char)(v >> (8 * i));
    };
    le32(0, num);
    for (size_t i = 0; i < st.size(); i++) {
        size_t e = 4 + i * WIFI_MAC_ENTRY_SIZE;
        raw[e + 1] = (char)st[i].first;
        raw[e + 10] = (char)-45;
        le32(e + 16, st[i].second);
        le32(e + 20, 0x10096);
    }
    return raw;
}

std::string stainfo_block(const std::string &mac, const std::string &rate) {
    return "MAC=" + mac + "\nRSSI0/1/2=-45/-50/-60\nBW=HT40\nRate=" + rate + "\n";
}

}  // namespace

TEST(Driver, RequestsCarryExactlyWhatTheDriverExpects) {
    SeededRoot root;
    const unsigned long priv = SIOCIWFIRSTPRIV;
    const struct {
        std::function<int()> call;
        int ret;
        unsigned long request;
        std::string text;
        int length;
    } cases[] = {
        {[] { return iwpriv_set_cmd_execute("WscMode=2", 9); }, 0, priv + 2, "WscMode=2", 10},
        {[] { return iwpriv_set_cmd_execute(std::string(300, 'a').c_str(), 255); }, 0, priv + 2, std::string(254, 'a'), 255},
        {[] { return iwpriv_show_wifi_info("stat", 4); }, 0, priv + 0x11, "stat", 255},
        {[] { return iwpriv_ap_start(); }, 0, priv + 4, "start", 6},
        {[] { return iwpriv_site_survey(); }, 0, priv + 2, "SiteSurvey=1", 13},
        {[] { wifi_mac_table t; return iwpriv_get_wifi_mac_table(&t); }, 0, priv + 0x1F, "", WIFI_MAC_TABLE_SIZE},
        {[] { char c[8]; return iwconfig_get_current_channel(c, sizeof(c)); }, 0, SIOCGIWFREQ, "", 255},
        {[] { return iwpriv_set_cmd_execute("x=1", 256); }, -1, 0, "", 0},
        {[] { return iwpriv_show_wifi_info(nullptr, 4); }, -1, 0, "", 0},
        {[] { return iwpriv_get_wifi_mac_table(nullptr); }, -1, 0, "", 0},
    };
    for (const auto &c : cases) {
        root->ioctls.clear();
        EXPECT_EQ(c.call(), c.ret) << c.text;
        if (c.ret != 0) {
            EXPECT_TRUE(root->ioctls.empty());
            continue;
        }
        ASSERT_EQ(root->ioctls.size(), 1u);
        const FakeIoctl &io = root->ioctls[0];
        EXPECT_EQ(io.request, c.request);
        EXPECT_EQ(io.ifname, "ra0");
        EXPECT_EQ(io.text, c.text);
        EXPECT_EQ(io.length, c.length) << c.text;
        EXPECT_EQ(io.data_flags, 0);
    }
    root->ioctl_result[priv + 2] = -5;
    EXPECT_EQ(iwpriv_set_cmd_execute("ResetCounter=1", 14), -5) << "the ioctl's own result";
    root->socket_fails = true;
    EXPECT_EQ(iwpriv_ap_start(), -1);
}

TEST(Driver, AssociationTableFromLittleEndianBytes) {
    std::string raw = raw_table(40, {{0xAA, 0x01020304}});
    const uint8_t mac[6] = {0xAA, 0, 0, 0, 0, 0};
    wifi_mac_table t;
    wifi_mac_table_decode(reinterpret_cast<const uint8_t *>(raw.data()), raw.size(), &t);
    EXPECT_EQ(t.num, 32u) << "a count above the room is clamped";
    EXPECT_EQ(memcmp(t.entry[0].mac, mac, 6), 0);
    EXPECT_EQ(t.entry[0].rssi, -45);
    EXPECT_EQ(t.entry[0].connect_time, 0x01020304u);
    EXPECT_EQ(t.entry[0].tx_rate, 0x10096u);
    wifi_mac_table_decode(reinterpret_cast<const uint8_t *>(raw.data()), 4, &t);  // truncated: zeros
    EXPECT_EQ(t.entry[0].connect_time, 0u);
}

TEST(Stations, OnlineCheckSequences) {
    SeededRoot root;
    // {stations (first octet, time) or none for a failed read, expected reply}
    const struct {
        std::vector<std::pair<uint8_t, uint32_t>> st;
        const char *reply;
        bool fail = false;
    } steps[] = {
        {{}, "+OK=0"},
        {{{1, 10}, {2, 20}}, "+OK=1"},            // two joined
        {{{1, 11}, {2, 21}}, "+OK=0"},            // still there
        {{{1, 5}, {2, 3}}, "+OK=1"},              // both associated anew: the first ...
        {{{1, 6}, {2, 4}}, "+OK=1"},              // ... then the second
        {{{1, 7}, {2, 5}}, "+OK=0"},
        {{{1, 8}, {3, 100}}, "+OK=0"},            // one left, another joined at its place
        {{{1, 9}}, "+OK=1"},                      // one left
        {{}, "+OK=0", true},                      // failed read
    };
    for (const auto &s : steps) {
        root->mac_table = raw_table((uint32_t)s.st.size(), s.st);
        root->ioctl_result[SIOCIWFIRSTPRIV + 0x1F] = s.fail ? -1 : 0;
        EXPECT_EQ(dispatch("AT+STAONLINECHECK").text, s.reply) << s.st.size();
    }
}

TEST(Stations, HardwareAddress) {
    SeededRoot root;
    EXPECT_EQ(dispatch("AT+MAC").text, "+OK=02:11:22:33:44:55\n");
    for (unsigned char b : {0x00, 0xFF}) {
        memset(root->hwaddr, b, 6);
        EXPECT_EQ(dispatch("AT+MAC").text, "+ERR");
        char out[32] = {0};
        EXPECT_EQ(wifi_get_mac(out), -1);
        EXPECT_STREQ(out, b ? "FF:FF:FF:FF:FF:FF\n" : "00:00:00:00:00:00\n") << "formatted all the same";
    }
}

TEST(Stations, StationTableFromStainfo) {
    SeededRoot root;
    EXPECT_EQ(dispatch("AT+CNUM").text, "+OK=0") << "no file: nothing";
    EXPECT_EQ(dispatch("AT+CMC=").text, "+OK=-1");
    std::string file = stainfo_block("AA:BB:CC:DD:EE:FF", "150") + "MAC=11:22\nBW=20M\n" +  // no Rate: overwritten
                       "\n MAC=ignored\nMAC=" + std::string(40, 'Q') + "\nRSSI0/1/2=-7/-8/-9\nBW=20M\nRate=72\n";
    root->write_file("/var/run/stainfo", file);
    EXPECT_EQ(dispatch("AT+CNUM").text, "+OK=2");
    EXPECT_FALSE(root->exists("/var/run/stainfo"));
    const struct {
        std::string cmd, reply;
    } cases[] = {
        {"AT+CINFO=x 0", "+OK=aa:bb:cc:dd:ee:ff,1,150,1,-45,-50\n"},
        {"AT+CINFO=x  1", "+OK=" + std::string(31, 'q') + ",1,72,0,-7,-8\n"},
        {"AT+CINFO=x 15", "+OK=,1,0,0,0,0\n"},
        {"AT+CINFO=x 16", "+ERR"}, {"AT+CINFO=x -1", "+ERR"}, {"AT+CINFO=x", "+ERR"}, {"AT+CINFO=x y", "+ERR"},
        {"AT+CINFO= 1", "+ERR"},   {"AT+CINFO=x 99999999999", "+ERR"}, {"AT+CINFO", "+ERR"},
        {"AT+CMC=cc:dd", "+OK=1"}, {"AT+CMC=CC:DD", "+OK=-1"}, {"AT+CMC=", "+OK=1"}, {"AT+CMC", "+ERR"},
    };
    for (const auto &c : cases) EXPECT_EQ(dispatch(c.cmd).text, c.reply) << c.cmd;

    std::string many;
    for (int i = 0; i < 20; i++) many += stainfo_block("m" + std::to_string(i), std::to_string(i));
    root->write_file("/var/run/stainfo", many);
    EXPECT_EQ(dispatch("AT+CNUM").text, "+OK=16") << "16 slots, counted no further";
    EXPECT_EQ(dispatch("AT+CINFO=x 15").text, "+OK=m15,1,15,1,-45,-50\n");
}

TEST(Stations, LeaseLookup) {
    SeededRoot root;
    EXPECT_EQ(dispatch("AT+CIP=aa:bb:cc:dd:ee:01").text, "+ERR") << "no lease file";
    std::string leases;
    for (uint8_t last : {0x01, 0x02}) {
        std::string rec(24, '\0');
        const char mac[6] = {'\xaa', '\xbb', '\xcc', '\xdd', '\xee', (char)last};
        rec.replace(0, 6, mac, 6);
        const char ip[4] = {(char)192, (char)168, 1, (char)(100 + last)};
        rec.replace(16, 4, ip, 4);
        leases += rec;
    }
    root->write_file(WIFI_LEASES_PATH, leases + std::string(23, '\x01'));  // a partial record at the end
    EXPECT_EQ(dispatch("AT+CIP=aa:bb:cc:dd:ee:02").text, "+OK=192.168.1.102");
    EXPECT_EQ(dispatch("AT+CIP=AA:BB:CC:DD:EE:02").text, "+OK=");
    EXPECT_EQ(dispatch("AT+CIP=01:01:01:01:01:01").text, "+OK=");
}

TEST(Stations, RetryRatesAndPer) {
    SeededRoot root;
    std::string count = "MAC=A1\nRxPackets=200\nRxTry=25\nMAC=B2\nRxPackets=3\nRxTry=1\nMAC=C3\nRxPackets=0\nRxTry=9\n";
    for (int i = 0; i < 17; i++) count += "MAC=x\nRxPackets=1\nRxTry=1\n";
    root->write_file("/var/run/stacountinfo", count);
    const struct {
        std::string cmd, reply;
    } cases[] = {
        {"AT+RETRYINFO=x 0", "+OK=A1,12.5%\n"}, {"AT+RETRYINFO=x 1", "+OK=B2,33.3%\n"},
        {"AT+RETRYINFO=x 2", "+OK=C3,0.0%\n"},  {"AT+RETRYINFO=x 15", "+OK=x,100.0%\n"},
        {"AT+RETRYINFO=x 16", "+ERR"},          {"AT+RETRYINFO=", "+ERR"},
        {"AT+PER", "+ERR"},  // no wscinfo
    };
    for (const auto &c : cases) EXPECT_EQ(dispatch(c.cmd).text, c.reply) << c.cmd;
    EXPECT_TRUE(root->exists("/var/run/stacountinfo"));
    root->write_file("/var/run/stacountinfo", "");
    EXPECT_EQ(dispatch("AT+RETRYINFO=x 3").text, "+OK=,\n") << "a free slot";
    root->write_file("/var/run/wscinfo", "TX PER=1%\nRX PER=" + std::string(20, '9') + "\nTX PER=2%\n");
    EXPECT_EQ(dispatch("AT+PER").text, "+OK=TX_PER=2% RX_PER=" + std::string(15, '9') + "\n");
    EXPECT_EQ(dispatch("AT+RESET").text, "+OK");
    EXPECT_EQ(root->ioctls.back().text, "ResetCounter=1");
}

TEST(Survey, ScanStoresStrongNetworksAndSkipsBadLines) {
    SeededRoot root;
    EXPECT_EQ(dispatch("AT+CWIFISINGALSINGLEINFO=0").text, "+OK=0,,,0") << "before any scan";
    std::string listing = "head\nhead\n6 weak aa:01 WPA2 70\n6 Strong aa:02 WPA2 71\nbad line\n1 " +
                          std::string(40, 'S') + " aa:03 OPEN 90 11b/g/n\n7 x\n";
    for (int i = 0; i < 35; i++) listing += "11 N" + std::to_string(i) + " bb:" + std::to_string(i) + " WPA 80\n";
    root->write_file("/" WIFI_SCAN_FILE, listing);
    EXPECT_EQ(dispatch("AT+SCAN").text, "+OK");
    EXPECT_EQ(root->shell_lines, (Lines{"iwpriv ra0 set SiteSurvey= ", "iwpriv ra0 get_site_survey >wifi_scan.txt"}));
    const struct {
        std::string cmd, reply;
    } cases[] = {
        {"AT+CWIFISINALNUM", "+OK=32"},
        {"AT+CWIFISINGALSINGLEINFO=0", "+OK=6,aa:02,Strong,71"},
        {"AT+CWIFISINGALSINGLEINFO=1", "+OK=1,aa:03," + std::string(31, 'S') + ",90"},
        {"AT+CWIFISINGALSINGLEINFO=2", "+OK=11,bb:0,N0,80"},
        {"AT+CWIFISINGALSINGLEINFO=31", "+OK=11,bb:29,N29,80"},
        {"AT+CWIFISINGALSINGLEINFO=x", "+OK=6,aa:02,Strong,71"},
        {"AT+CWIFISINGALSINGLEINFO=32", "+ERR"}, {"AT+CWIFISINGALSINGLEINFO=-1", "+ERR"},
        {"AT+CWIFISINGALSINGLEINFO=4294967296", "+ERR"},
    };
    for (const auto &c : cases) EXPECT_EQ(dispatch(c.cmd).text, c.reply) << c.cmd;
    root->write_file("/" WIFI_SCAN_FILE, "head\nhead\n");
    EXPECT_EQ(dispatch("AT+SCAN").text, "+OK");
    EXPECT_EQ(dispatch("AT+CWIFISINALNUM").text, "+OK=0");
}

TEST(Survey, SensitivityOfTheTestNetwork) {
    SeededRoot root;
    EXPECT_EQ(dispatch("AT+SENSITIVITY=").text, "+ERR") << "no listing";
    const struct {
        std::string listing, reply;
    } cases[] = {
        {"h\nh\n1 QEL_NVR_WIFI_T1_TESTx aa WPA 90\n3 QEL_NVR_WIFI_T1_TEST bb WPA 55\n4 QEL_NVR_WIFI_T1_TEST c d 66\n",
         "+OK=55"},
        {"h\nh\n1 other aa WPA 90\n", "+OK=0"},
    };
    for (const auto &c : cases) {
        root->write_file("/" WIFI_SCAN_FILE, c.listing);
        root->ioctls.clear();
        root->shell_lines.clear();
        root->slept_ms = 0;
        EXPECT_EQ(dispatch("AT+SENSITIVITY=").text, c.reply);
        EXPECT_EQ(root->ioctls.size(), 1u);
        EXPECT_EQ(root->slept_ms, 2000u);
        EXPECT_EQ(root->shell_lines, Lines{"iwpriv ra0 get_site_survey > wifi_scan.txt"});
    }
}

TEST(Access, WpsStatusAndItsTwoMinuteRule) {
    SeededRoot root;
    root->clock = 5000;
    auto status = [&](const std::string &s, time_t t) {
        root->write_file("/var/run/wscinfo", s.empty() ? "TX PER=0%\n" : "WscStatus=" + s + "\n");
        root->clock = t;
        return dispatch("AT+WPS=").text;
    };
    EXPECT_EQ(status("0x3", 5000), "+OK=Timed-out") << "no run started: the start time is 0";
    root->ioctls.clear();
    EXPECT_EQ(dispatch("AT+WPS").text, "+OK");
    EXPECT_EQ(root->ioctls[0].text, "WscMode=2");
    EXPECT_EQ(root->ioctls[1].text, "WscGetConf=1");
    const struct {
        std::string status;
        time_t at;
        std::string reply;
    } steps[] = {
        {"0x1", 5000, "+OK=Idle"},      {"0x3", 5120, "+OK=Active"},   {"0x22", 5120, "+OK=Unknow"},
        {"0x3", 5121, "+OK=Timed-out"}, {"0x1", 5200, "+OK=Timed-out"}, {"3", 5200, "+OK=Timed-out"},
        {"", 5200, "+OK=Timed-out"},    {"0x5", 5300, "+OK=Active"},   {"0x2", 5300, "+OK=Timed-out"},
        {"0x1", 5300, "+OK=Idle"},      {"0x0", 5300, "+OK=Unknow"},
    };
    for (const auto &s : steps) EXPECT_EQ(status(s.status, s.at), s.reply) << s.status << " at " << s.at;
    root->ioctl_result[SIOCIWFIRSTPRIV + 2] = -1;
    root->ioctls.clear();
    EXPECT_EQ(dispatch("AT+WPS").text, "+ERR");
    EXPECT_EQ(root->ioctls.size(), 1u) << "the second text is not sent";
}

TEST(Access, ApStartIgmpAndSsh) {
    SeededRoot root;
    EXPECT_EQ(dispatch("AT+APSTART").text, "+OK");
    EXPECT_EQ(dispatch("AT+IGMP=1").text, "+OK");
    EXPECT_EQ(root.profile(), profile_with({{"IgmpSnEnable", "1"}}));
    EXPECT_TRUE(pending_is(0, 0, 0));
    EXPECT_EQ(dispatch("AT+IGMP=a\nb").text, "+ERR");
    for (const char *c : {"AT+SSH=", "AT+SSH=1", "AT+SSH"}) EXPECT_EQ(dispatch(c).text, "+OK");
    EXPECT_EQ(root->shell_lines, (Lines{"killall dropbear", "killall dropbear",
                                        "[ -f /usr/sbin/dropbear ] && /usr/sbin/dropbear -R -I 1800"}));
    root->ioctl_result[SIOCIWFIRSTPRIV + 4] = -1;
    EXPECT_EQ(dispatch("AT+APSTART").text, "+ERR");
}

// The line the handler builds, run by the real /bin/sh with a chpasswd first on PATH
// that records its input.
TEST(Access, PasswordReachesChpasswdAsOneWord) {
    SeededRoot root;
    const std::string bin = root->root() + "/bin", rec = root->root() + "/rec";
    root->write_file("/bin/chpasswd", "#!/bin/sh\ncat > \"$REC\"\n");
    chmod((bin + "/chpasswd").c_str(), 0755);
    for (const std::string &pw : std::vector<std::string>{"plain", "two words", "it's", "\"q\"", "$(touch " + rec + "x)", "`id`", "a;b", "a|b", "a&b",
                                 "#x", "'", "$HOME*?~", std::string(105, 'p')}) {
        root->shell_lines.clear();
        ASSERT_EQ(dispatch("AT+PASSWD=" + pw).text, "+OK") << pw;
        ASSERT_EQ(root->shell_lines.size(), 1u);
        std::string env_path = "PATH=" + bin + ":/usr/bin:/bin", env_rec = "REC=" + rec;
        const char *argv[] = {"sh", "-c", root->shell_lines[0].c_str(), nullptr};
        const char *envp[] = {env_path.c_str(), env_rec.c_str(), nullptr};
        pid_t pid = 0;
        ASSERT_EQ(posix_spawn(&pid, "/bin/sh", nullptr, nullptr, const_cast<char **>(argv), const_cast<char **>(envp)), 0);
        int st = 0;
        waitpid(pid, &st, 0);
        EXPECT_EQ(root->read_file("/rec"), "root:" + pw + "\n") << root->shell_lines[0];
    }
    EXPECT_FALSE(root->exists("/recx"));
    for (const std::string &pw : std::vector<std::string>{"", "a\\nb", "tab\there", "bell\a", std::string(106, 'p')}) {
        root->shell_lines.clear();
        EXPECT_EQ(dispatch("AT+PASSWD=" + pw).text, "+ERR") << pw;
        EXPECT_TRUE(root->shell_lines.empty()) << pw;
    }
    EXPECT_EQ(dispatch("AT+PASSWD").text, "+ERR");
}
