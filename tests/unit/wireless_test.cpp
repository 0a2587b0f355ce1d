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

// Each command of the list, in order, with the reply it must get.
void expect_replies(const std::vector<std::pair<std::string, std::string>> &cases) {
    for (const auto &c : cases) EXPECT_EQ(dispatch(c.first).text, c.second) << c.first;
}

std::string stainfo_block(const std::string &mac, const std::string &rate) {
    return "MAC=" + mac + "\nRSSI0/1/2=-45/-50/-60\nBW=HT40\nRate=" + rate + "\n";
}

}  // namespace

// "REQUEST IFNAME LENGTH FLAGS TEXT" of each request the driver got.
TEST(Driver, RequestsCarryExactlyWhatTheDriverExpects) {
    SeededRoot root;
    const std::pair<std::function<int()>, std::string> cases[] = {
        {[] { return iwpriv_set_cmd_execute("WscMode=2", 9); }, "8be2 ra0 10 0 WscMode=2"},
        {[] { return iwpriv_set_cmd_execute(std::string(300, 'a').c_str(), 255); },
         "8be2 ra0 255 0 " + std::string(254, 'a')},
        {[] { return iwpriv_show_wifi_info("stat", 4); }, "8bf1 ra0 255 0 stat"},
        {[] { return iwpriv_ap_start(); }, "8be4 ra0 6 0 start"},
        {[] { return iwpriv_site_survey(); }, "8be2 ra0 13 0 SiteSurvey=1"},
        {[] {
             wifi_mac_table t;
             return iwpriv_get_wifi_mac_table(&t);
         },
         "8bff ra0 1284 0 "},
        {[] {
             char c[8];
             return iwconfig_get_current_channel(c, sizeof(c));
         },
         "8b05 ra0 255 0 "},
        {[] { return iwpriv_set_cmd_execute("x=1", 256); }, "-1"},
        {[] { return iwpriv_get_wifi_mac_table(nullptr); }, "-1"},
    };
    for (const auto &c : cases) {
        root->ioctls.clear();
        std::string got = std::to_string(c.first());
        for (const FakeIoctl &io : root->ioctls) {
            char head[64];
            snprintf(head, sizeof(head), "%lx %s %d %d ", io.request, io.ifname.c_str(), io.length, io.data_flags);
            got = got == "0" ? head + io.text : got + " and more";
        }
        EXPECT_EQ(got, c.second);
    }
    root->ioctl_result[SIOCIWFIRSTPRIV + 2] = -5;
    EXPECT_EQ(iwpriv_set_cmd_execute("ResetCounter=1", 14), -5) << "the ioctl's own result";
}

TEST(Driver, AssociationTableFromLittleEndianBytes) {
    std::string raw = raw_table(40, {{0xAA, 0x01020304}});
    wifi_mac_table t;
    wifi_mac_table_decode(reinterpret_cast<const uint8_t *>(raw.data()), raw.size(), &t);
    EXPECT_EQ(t.num, 32u) << "a count above the room is clamped";
    EXPECT_EQ(t.entry[0].mac[0] + t.entry[0].mac[1], 0xAA);
    EXPECT_EQ(t.entry[0].rssi, -45);
    EXPECT_EQ(t.entry[0].connect_time, 0x01020304u);
    EXPECT_EQ(t.entry[0].tx_rate, 0x10096u);
}

TEST(Stations, OnlineCheckSequences) {
    SeededRoot root;
    // {stations (first octet, association time), reply, the read fails}: two join, stay, both associate
    // anew (reported one call each), one leaves while another joins at its place, one leaves, a failed read
    const struct {
        std::vector<std::pair<uint8_t, uint32_t>> st;
        const char *reply;
        bool fail = false;
    } steps[] = {{{}, "+OK=0"},
                 {{{1, 10}, {2, 20}}, "+OK=1"},
                 {{{1, 11}, {2, 21}}, "+OK=0"},
                 {{{1, 5}, {2, 3}}, "+OK=1"},
                 {{{1, 6}, {2, 4}}, "+OK=1"},
                 {{{1, 7}, {2, 5}}, "+OK=0"},
                 {{{1, 8}, {3, 100}}, "+OK=0"},
                 {{{1, 9}}, "+OK=1"},
                 {{}, "+OK=0", true}};
    for (const auto &s : steps) {
        root->mac_table = raw_table((uint32_t)s.st.size(), s.st);
        root->ioctl_result[SIOCIWFIRSTPRIV + 0x1F] = s.fail ? -1 : 0;
        EXPECT_EQ(dispatch("AT+STAONLINECHECK").text, s.reply) << s.st.size();
    }
}

TEST(Stations, HardwareAddress) {
    SeededRoot root;
    EXPECT_EQ(dispatch("AT+MAC").text, "+OK=02:11:22:33:44:55\n");
    memset(root->hwaddr, 0, 6);
    EXPECT_EQ(dispatch("AT+MAC").text, "+ERR");
    memset(root->hwaddr, 0xFF, 6);
    char out[32] = {0};
    EXPECT_EQ(wifi_get_mac(out), -1);
    EXPECT_STREQ(out, "FF:FF:FF:FF:FF:FF\n") << "formatted all the same";
}

TEST(Stations, StationTableFromStainfo) {
    SeededRoot root;
    EXPECT_EQ(dispatch("AT+CNUM").text, "+OK=0") << "no file: nothing";
    EXPECT_EQ(dispatch("AT+CMC=").text, "+OK=-1");
    std::string file = stainfo_block("AA:BB:CC:DD:EE:FF", "150") + "MAC=" + std::string(507, 'x') + "Rate=5\n" +
                       "MAC=11:22\nBW=20M\n" +  // a long line is one line; no Rate: overwritten
                       "\n MAC=ignored\nMAC=" + std::string(40, 'Q') + "\nRSSI0/1/2=-7/-8/-9\nBW=20M\nRate=72\n";
    root->write_file("/var/run/stainfo", file);
    EXPECT_EQ(dispatch("AT+CNUM").text, "+OK=2");
    EXPECT_FALSE(root->exists("/var/run/stainfo"));
    expect_replies({
        {"AT+CINFO=x 0", "+OK=aa:bb:cc:dd:ee:ff,1,150,1,-45,-50\n"},
        {"AT+CINFO=x  1", "+OK=" + std::string(31, 'q') + ",1,72,0,-7,-8\n"},
        {"AT+CINFO=x 15", "+OK=,1,0,0,0,0\n"},
        {"AT+CINFO=x 16", "+ERR"},
        {"AT+CINFO=x -1", "+ERR"},
        {"AT+CINFO=x", "+ERR"},
        {"AT+CINFO=x y", "+ERR"},
        {"AT+CINFO= 1", "+ERR"},
        {"AT+CINFO=x 99999999999", "+ERR"},
        {"AT+CINFO", "+ERR"},
        {"AT+CMC=cc:dd", "+OK=1"},
        {"AT+CMC=CC:DD", "+OK=-1"},
        {"AT+CMC=", "+OK=1"},
        {"AT+CMC", "+ERR"},
    });

    std::string many;
    for (int i = 0; i < 20; i++) many += stainfo_block("m" + std::to_string(i), std::to_string(i));
    root->write_file("/var/run/stainfo", many);
    EXPECT_EQ(dispatch("AT+CNUM").text, "+OK=16") << "16 slots, counted no further";
    EXPECT_EQ(dispatch("AT+CINFO=x 15").text, "+OK=m15,1,15,1,-45,-50\n");
    char text[] = "WPA2PsZ-09@[`{";  // the addresses' lower-casing: A to Z only
    EXPECT_EQ(wifi_str_tolower(text), 0);
    EXPECT_STREQ(text, "wpa2psz-09@[`{");
}

TEST(Stations, LeaseLookup) {
    SeededRoot root;
    EXPECT_EQ(dispatch("AT+CIP=aa:bb:cc:dd:ee:01").text, "+ERR") << "no lease file";
    std::string rec(24, '\0');
    rec.replace(0, 6, "\xaa\xbb\xcc\xdd\xee\x02").replace(16, 4, "\xc0\xa8\x01\x02");
    root->write_file(WIFI_LEASES_PATH, std::string(24, '\x01') + rec + std::string(23, '\x01'));  // partial at the end
    expect_replies({{"AT+CIP=aa:bb:cc:dd:ee:02", "+OK=192.168.1.2"},
                    {"AT+CIP=AA:BB:CC:DD:EE:02", "+OK="},
                    {"AT+CIP=01:01:01:01:01:01", "+OK=1.1.1.1"},
                    {"AT+CIP=01:01:01:01:01:01:01", "+OK="}});
}

TEST(Stations, RetryRatesAndPer) {
    SeededRoot root;
    std::string count = "MAC=" + std::string(600, 'y') + "RxTry=1\n" +  // one line, however long
                        "MAC=A1\nRxPackets=200\nRxTry=25\nMAC=B2\nRxPackets=3\nRxTry=1\nMAC=C3\nRxPackets=0\nRxTry=9\n";
    for (int i = 0; i < 17; i++) count += "MAC=x\nRxPackets=1\nRxTry=1\n";
    root->write_file("/var/run/stacountinfo", count);
    expect_replies({
        {"AT+RETRYINFO=x 0", "+OK=A1,12.5%\n"},
        {"AT+RETRYINFO=x 1", "+OK=B2,33.3%\n"},
        {"AT+RETRYINFO=x 2", "+OK=C3,0.0%\n"},
        {"AT+RETRYINFO=x 15", "+OK=x,100.0%\n"},
        {"AT+RETRYINFO=x 16", "+ERR"},
        {"AT+RETRYINFO=", "+ERR"},
        {"AT+PER", "+ERR"},  // no wscinfo
    });
    root->write_file("/var/run/stacountinfo", "");
    EXPECT_EQ(dispatch("AT+RETRYINFO=x 3").text, "+OK=,\n") << "a free slot";
    root->write_file("/var/run/wscinfo", "TX PER=1%\nRX PER=" + std::string(20, '9') + "\nTX PER=2%\n");
    EXPECT_EQ(dispatch("AT+PER").text, "+OK=TX_PER=2% RX_PER=" + std::string(15, '9') + "\n");
}

TEST(Survey, ScanStoresStrongNetworksAndSkipsBadLines) {
    SeededRoot root;
    std::string listing = "head\nhead\n6 weak aa:01 WPA2 70\n6 Strong aa:02 WPA2 71\nbad line\n1 " +
                          std::string(40, 'S') + " aa:03 OPEN 90" + std::string(100, ' ') + "5 Rest bb WPA 99\n7 x\n";
    for (int i = 0; i < 35; i++) listing += "11 N" + std::to_string(i) + " bb:" + std::to_string(i) + " WPA 80\n";
    root->write_file("/" WIFI_SCAN_FILE, listing);
    EXPECT_EQ(dispatch("AT+SCAN").text, "+OK");
    EXPECT_EQ(root->ops, (FakeOps{{WIFI_OP_SURVEY_START}, {WIFI_OP_SURVEY_LIST}}));
    expect_replies({
        {"AT+CWIFISINALNUM", "+OK=32"},
        {"AT+CWIFISINGALSINGLEINFO=0", "+OK=6,aa:02,Strong,71"},
        {"AT+CWIFISINGALSINGLEINFO=1", "+OK=1,aa:03," + std::string(31, 'S') + ",90"},
        {"AT+CWIFISINGALSINGLEINFO=2", "+OK=11,bb:0,N0,80"},
        {"AT+CWIFISINGALSINGLEINFO=31", "+OK=11,bb:29,N29,80"},
        {"AT+CWIFISINGALSINGLEINFO=x", "+OK=6,aa:02,Strong,71"},
        {"AT+CWIFISINGALSINGLEINFO=32", "+ERR"},
        {"AT+CWIFISINGALSINGLEINFO=-1", "+ERR"},
        {"AT+CWIFISINGALSINGLEINFO=4294967296", "+ERR"},
    });
    root->write_file("/" WIFI_SCAN_FILE, "head\nhead\n1 Last cc WPA 75");  // a last line without its line feed
    expect_replies({{"AT+SCAN", "+OK"}, {"AT+CWIFISINALNUM", "+OK=1"}, {"AT+CWIFISINGALSINGLEINFO=1", "+OK=0,,,0"}});
}

TEST(Access, WpsStatusAndItsTwoMinuteRule) {
    SeededRoot root;
    auto status = [&](const std::string &s, int64_t t) {  // t: monotonic seconds; the wall clock jumps meanwhile
        root->write_file("/var/run/wscinfo", s.empty() ? "TX PER=0%\n" : "WscStatus=" + s + "\n");
        root->mono_ms = t * 1000 + 500, root->clock = t % 2 ? 1 << 30 : 0;
        return dispatch("AT+WPS=").text;
    };
    EXPECT_EQ(status("0x3", 30), "+OK=Timed-out") << "no run started, however soon after boot";
    root->ioctls.clear();
    EXPECT_EQ(dispatch("AT+WPS").text, "+OK");
    EXPECT_EQ(root->ioctls.at(0).text + " " + root->ioctls.at(1).text, "WscMode=2 WscGetConf=1");
    const std::tuple<std::string, int64_t, std::string> steps[] = {
        {"0x1", 30, "+OK=Idle"},       {"0x3", 91, "+OK=Active"},     {"0x3", 150, "+OK=Active"},
        {"0x22", 150, "+OK=Unknow"},   {"0x3", 151, "+OK=Timed-out"}, {"0x1", 230, "+OK=Timed-out"},
        {"3", 230, "+OK=Timed-out"},   {"", 230, "+OK=Timed-out"},    {"0x5", 330, "+OK=Active"},
        {"0x2", 330, "+OK=Timed-out"}, {"0x1", 330, "+OK=Idle"},      {"0x0", 330, "+OK=Unknow"},
    };
    for (const auto &[st, at, reply] : steps) EXPECT_EQ(status(st, at), reply) << st << " at " << at;
    root->ioctl_result[SIOCIWFIRSTPRIV + 2] = -1;
    root->ioctls.clear();
    EXPECT_EQ(dispatch("AT+WPS").text, "+ERR");
    EXPECT_EQ(root->ioctls.size(), 1u) << "the second text is not sent";
}

// The password reaches the platform as it came, and the module's line for it, run by the
// real /bin/sh with a chpasswd first on PATH that records its input, hands it on whole.
TEST(Access, PasswordReachesChpasswdAsOneWord) {
    SeededRoot root;
    const std::string rec = root->root() + "/rec", env_path = "PATH=" + root->root() + "/bin:/usr/bin:/bin";
    const std::string env_rec = "REC=" + rec;
    root->write_file("/bin/chpasswd", "#!/bin/sh\ncat > \"$REC\"\n");
    chmod((root->root() + "/bin/chpasswd").c_str(), 0755);
    for (const std::string &pw :
         std::vector<std::string>{"plain", "two words", "it's", "\"q\"", "$(touch " + rec + "x)", "`id`", "a;b", "a|b",
                                  "a&b", "#x", "'", "$HOME*?~", std::string(105, 'p')}) {
        root->ops.clear();
        ASSERT_EQ(dispatch("AT+PASSWD=" + pw).text, "+OK") << pw;
        ASSERT_EQ(root->ops, (FakeOps{{WIFI_OP_ROOT_PASSWORD, pw}}));
        char line[WIFI_OP_LINE_SIZE];
        ASSERT_EQ(wifi_op_cmdline(WIFI_OP_ROOT_PASSWORD, pw.c_str(), -1, line, sizeof(line)), 0);
        const char *argv[] = {"sh", "-c", line, nullptr};
        const char *envp[] = {env_path.c_str(), env_rec.c_str(), nullptr};
        pid_t pid = 0;
        ASSERT_EQ(posix_spawn(&pid, "/bin/sh", nullptr, nullptr, (char **)argv, (char **)envp), 0);
        waitpid(pid, nullptr, 0);
        EXPECT_EQ(root->read_file("/rec"), "root:" + pw + "\n") << line;
    }
    EXPECT_FALSE(root->exists("/recx"));
    root->ops.clear();
    expect_replies({{"AT+PASSWD=", "+ERR"},
                    {"AT+PASSWD=a\\nb", "+ERR"},
                    {"AT+PASSWD=tab\there", "+ERR"},
                    {"AT+PASSWD=bell\a", "+ERR"},
                    {"AT+PASSWD=" + std::string(106, 'p'), "+ERR"},
                    {"AT+PASSWD", "+ERR"}});
    EXPECT_EQ(root->ops, FakeOps{}) << "nothing run";
}
