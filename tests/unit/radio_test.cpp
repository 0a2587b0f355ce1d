// Radio profile commands: what each setter writes, what each query answers.
#include <gtest/gtest.h>
#include <net/if.h>  // before linux/wireless.h
#include <linux/wireless.h>

#include "unit_helpers.h"

namespace {

using KV = std::vector<std::pair<std::string, std::string>>;

struct SetCase {
    KV before;           // profile keys that differ from the factory profile at start
    std::string cmd;     // the setter
    KV after;            // keys changed by it (on top of `before`)
    std::string query;   // a query sent next, and its answer
    std::string answer;
};

const std::string k127(127, 'x');

const std::vector<SetCase> kSetters = {
    {{}, "AT+SSID=Home", {{"SSID1", "Home"}}, "AT+SSID", "+OK=Home"},
    {{}, "AT+SSID=", {{"SSID1", ""}}, "AT+SSID", "+OK="},
    {{}, "AT+SSID=a b'c", {{"SSID1", "a b'c"}}, "AT+SSID", "+OK=a b"},
    {{}, "AT+KEY=secret99", {{"WPAPSK1", "secret99"}}, "AT+KEY", "+OK=secret99"},
    {{}, "AT+CHANNEL=auto", {{"AutoChannelSelect", "2"}, {"Channel", "0"}}, "AT+CHANNEL", "+OK=0"},
    {{}, "AT+CHANNEL=xautoy", {{"AutoChannelSelect", "2"}, {"Channel", "0"}}, "AT+CHANNEL", "+OK=0"},
    {{{"AutoChannelSelect", "2"}}, "AT+CHANNEL=11", {{"AutoChannelSelect", "4"}, {"Channel", "11"}}, "AT+CHANNEL",
     "+OK=11"},
    {{}, "AT+CHANNEL=Auto", {{"AutoChannelSelect", "4"}, {"Channel", "Auto"}}, "AT+CHANNEL", "+OK=Auto"},
    {{}, "AT+AUTH=OPEN", {{"AuthMode", "OPEN"}, {"EncrypType", "NONE"}}, "AT+AUTH", "+OK=OPEN"},
    {{{"EncrypType", "NONE"}}, "AT+AUTH=WPA2PSK", {{"AuthMode", "WPA2PSK"}, {"EncrypType", "AES"}}, "AT+ENCRY",
     "+OK=AES"},
    {{{"EncrypType", "TKIP"}}, "AT+AUTH=WPAPSK", {{"AuthMode", "WPAPSK"}}, "AT+ENCRY", "+OK=TKIP"},
    {{}, "AT+AUTH=WPAPSK_WPA2PSK", {{"AuthMode", "WPAPSKWPA2PSK"}}, "AT+AUTH", "+OK=WPAPSK_WPA2PSK"},
    {{}, "AT+AUTH=WPAPSK_WPA2PSKx", {{"AuthMode", "WPAPSK_WPA2PSKx"}}, "AT+AUTH", "+OK=WPAPSK_WPA2PSKx"},
    {{}, "AT+AUTH=open", {{"AuthMode", "open"}}, "AT+ENCRY", "+OK=AES"},
    {{}, "AT+ENCRY=TKIP/AES", {{"EncrypType", "TKIPAES"}}, "AT+ENCRY", "+OK=TKIP/AES"},
    {{}, "AT+ENCRY=TKIP", {{"EncrypType", "TKIP"}}, "AT+ENCRY", "+OK=TKIP"},
    {{}, "AT+ENCRY=TKIPAES", {{"EncrypType", "TKIPAES"}}, "AT+ENCRY", "+OK=TKIP/AES"},
    {{}, "AT+WIFI=OFF", {{"WifiSwitch", "OFF"}}, "AT+WIFI", "+OK=OFF"},
    {{}, "AT+HTMODE=HT20", {{"HT_BW_TMP", "HT20"}, {"HT_BW", "0"}}, "AT+HTMODE", "+OK=HT20"},
    {{{"HT_BW", "0"}}, "AT+HTMODE=HT40", {{"HT_BW_TMP", "HT40"}, {"HT_BW", "1"}}, "AT+HTMODE", "+OK=HT40"},
    {{{"HT_BW", "0"}}, "AT+HTMODE=AUTO", {{"HT_BW_TMP", "AUTO"}, {"HT_BW", "1"}}, "AT+HTMODE", "+OK=AUTO"},
    {{{"HT_BW", "0"}}, "AT+HTMODE=xHT40+", {{"HT_BW_TMP", "xHT40+"}, {"HT_BW", "1"}}, "AT+HTMODE", "+OK=xHT40+"},
    {{}, "AT+HTMODE=auto", {{"HT_BW_TMP", "auto"}, {"HT_BW", "0"}}, "AT+HTMODE", "+OK=auto"},
    {{}, "AT+COUNTRY=US", {{"CountryCode", "US"}}, "AT+COUNTRY", "+OK=US"},
    {{}, "AT+TXPOWER=50", {{"TxPower", "50"}}, "AT+TXPOWER", "+OK=50"},
    {{}, "AT+STANUM=10", {{"MaxStaNum", "10"}}, "AT+STANUM", "+OK=10"},
    {{}, "AT+STANUM=10=2", {{"MaxStaNum", "10=2"}}, "AT+STANUMX", "+OK=10=2"},
    {{}, "AT+SSID=" + k127 + "yyy", {{"SSID1", k127}}, "AT+SSID", "+OK=" + k127},
};

}  // namespace

TEST(RadioCommands, SettersWriteTheirKeysAndMarkTheRadio) {
    for (const SetCase &c : kSetters) {
        SCOPED_TRACE(c.cmd);
        SeededRoot root;
        root->write_file(WIFI_PROFILE_PATH, profile_with(c.before));
        Reply r = dispatch(c.cmd);
        EXPECT_EQ(r.ret, 0);
        EXPECT_EQ(r.text, "+OK");
        KV all = c.before;
        all.insert(all.end(), c.after.begin(), c.after.end());
        EXPECT_EQ(root.profile(), profile_with(all));
        EXPECT_TRUE(pending_is(1, 0, 0));
        EXPECT_EQ(dispatch(c.query).text, c.answer);
        EXPECT_TRUE(pending_is(1, 0, 0));  // queries leave the flags alone
        EXPECT_EQ(root.dhcp(), factory_dhcp_text());
        EXPECT_TRUE(root->shell_lines.empty());
        EXPECT_TRUE(root->ioctls.empty());
    }
}

TEST(RadioCommands, QueriesAnswerTheFactoryProfile) {
    const std::pair<const char *, std::string> cases[] = {
        {"AT+SSID", "+OK=" + kFactorySsid}, {"AT+SSIDXYZ", "+OK=" + kFactorySsid}, {"AT+KEY", "+OK=12345678"},
        {"AT+CHANNEL", "+OK=6"},       {"AT+AUTH", "+OK=WPA2PSK"},       {"AT+ENCRY", "+OK=AES"},
        {"AT+WIFI", "+OK=ON"},         {"AT+HTMODE", "+OK=HT40"},        {"AT+COUNTRY", "+OK=CN"},
        {"AT+TXPOWER", "+OK=100"},     {"AT+STANUM", "+OK=32"},          {"AT+STANUM 7", "+OK=32"},
    };
    SeededRoot root;
    for (const auto &c : cases) {
        Reply r = dispatch(c.first);
        EXPECT_EQ(r.ret, 0) << c.first;
        EXPECT_EQ(r.text, c.second) << c.first;
    }
    EXPECT_TRUE(pending_is(0, 0, 0));
    EXPECT_EQ(root.profile(), factory_profile_text());
}

TEST(RadioCommands, RepliesAreCutToTheReplySize) {
    SeededRoot root;
    char reply[5];
    memset(reply, 'Q', sizeof(reply));
    EXPECT_EQ(wifi_msg_proc_get_ssid_rsp("AT+SSID", reply, sizeof(reply)), 0);
    EXPECT_EQ(std::string(reply, 5), std::string("+OK=\0", 5));
    char two[2];
    EXPECT_EQ(wifi_msg_proc_set_ssid_rsp("AT+SSID=a", two, sizeof(two)), 0);
    EXPECT_STREQ(two, "+");
}

TEST(RadioCommands, EveryCommandFailsWithoutAProfile) {
    FakePlatformScope p;
    p->write_file(WIFI_DHCP_CFG_PATH, factory_dhcp_text());
    for (const char *cmd : {"AT+SSID=a", "AT+SSID", "AT+KEY=a", "AT+KEY", "AT+CHANNEL=1", "AT+CHANNEL", "AT+AUTH=OPEN",
                            "AT+AUTH", "AT+ENCRY=AES", "AT+ENCRY", "AT+WIFI=ON", "AT+WIFI", "AT+HTMODE=HT20",
                            "AT+HTMODE", "AT+COUNTRY=US", "AT+COUNTRY", "AT+TXPOWER=1", "AT+TXPOWER",
                            "AT+STANUM=1", "AT+STANUM"}) {
        Reply r = dispatch(cmd);
        EXPECT_EQ(r.ret, -1) << cmd;
        EXPECT_EQ(r.text, "+ERR") << cmd;
    }
    EXPECT_TRUE(pending_is(0, 0, 0));
    EXPECT_FALSE(p->exists(WIFI_PROFILE_PATH));
    EXPECT_FALSE(p->exists(WIFI_PROFILE_TMP_PATH));
}

TEST(RadioCommands, AbsentKeySetsNothingAndCannotBeRead) {
    SeededRoot root;
    const std::string text = profile_without("CountryCode");
    root->write_file(WIFI_PROFILE_PATH, text);
    EXPECT_EQ(dispatch("AT+COUNTRY=US").text, "+OK");
    EXPECT_EQ(root.profile(), text);
    EXPECT_TRUE(pending_is(1, 0, 0));  // set even though nothing changed
    EXPECT_EQ(dispatch("AT+COUNTRY").text, "+ERR");
}

TEST(RadioCommands, AuthWithoutEncryptionTypeKeepsTheModeButFails) {
    SeededRoot root;
    root->write_file(WIFI_PROFILE_PATH, profile_without("EncrypType"));
    EXPECT_EQ(dispatch("AT+AUTH=WPA2PSK").text, "+ERR");
    EXPECT_EQ(root.profile(), replace_line(profile_without("EncrypType"), "AuthMode=", "AuthMode=WPA2PSK"));
    EXPECT_TRUE(pending_is(0, 0, 0));
}

TEST(RadioCommands, LineBreaksInParametersAreRefused) {
    for (const char *cmd : {"AT+SSID=a\nb", "AT+KEY=k\r", "AT+CHANNEL=6\r\n", "AT+HTMODE=HT20\n", "AT+AUTH=OPEN\n",
                            "AT+ENCRY=AES\r", "AT+WIFI=ON\nWifiSwitch=OFF", "AT+STANUM=1\n"}) {
        SeededRoot root;
        Reply r = dispatch(cmd);
        EXPECT_EQ(r.text, "+ERR") << cmd;
        EXPECT_EQ(root.profile(), factory_profile_text()) << cmd;
        EXPECT_FALSE(root->exists(WIFI_PROFILE_TMP_PATH));
        EXPECT_TRUE(pending_is(0, 0, 0));
    }
    // "AT+CHANNEL=" writes AutoChannelSelect first, and that write stays
    SeededRoot root;
    root->write_file(WIFI_PROFILE_PATH, profile_with({{"AutoChannelSelect", "2"}}));
    EXPECT_EQ(dispatch("AT+CHANNEL=6\n").text, "+ERR");
    EXPECT_EQ(root.profile(), factory_profile_text());
    EXPECT_TRUE(pending_is(0, 0, 0));
    // automatic selection writes "0", never the parameter
    EXPECT_EQ(dispatch("AT+CHANNEL=auto\n").text, "+OK");
    EXPECT_EQ(root.profile(), profile_with({{"AutoChannelSelect", "2"}, {"Channel", "0"}}));
}

TEST(RadioCommands, SettersNeedAnEqualsSign) {
    SeededRoot root;
    char reply[16] = {0};
    for (wifi_msg_proc_fn fn : {wifi_msg_proc_set_ssid_rsp, wifi_msg_proc_set_pskey_rsp, wifi_msg_proc_set_channel_rsp,
                                wifi_msg_proc_set_auth_rsp, wifi_msg_proc_set_encrypt_rsp, wifi_msg_proc_set_wifi_rsp,
                                wifi_msg_proc_set_htmode_rsp, wifi_msg_proc_set_region_rsp,
                                wifi_msg_proc_set_txpower_rsp, wifi_msg_proc_set_maxassoc_rsp}) {
        EXPECT_EQ(fn("AT+SSID", reply, sizeof(reply)), -1);
    }
    EXPECT_EQ(root.profile(), factory_profile_text());
    EXPECT_TRUE(pending_is(0, 0, 0));
}

TEST(RadioCommands, CurrentChannelComesFromTheDriver) {
    SeededRoot root;
    root->channel = 11;
    Reply r = dispatch("AT+CHANNEL!=");
    EXPECT_EQ(r.text, "+OK=11");
    ASSERT_EQ(root->ioctls.size(), 1u);
    EXPECT_EQ(root->ioctls[0].request, (unsigned long)SIOCGIWFREQ);
    EXPECT_EQ(root->ioctls[0].ifname, "ra0");
    EXPECT_EQ(dispatch("AT+CHANNEL!=6").text, "+OK=11");  // a parameter is ignored

    root->ioctl_result[SIOCGIWFREQ] = -1;
    EXPECT_EQ(dispatch("AT+CHANNEL!=").text, "+ERR");
    root->ioctl_result.clear();
    root->socket_fails = true;
    EXPECT_EQ(dispatch("AT+CHANNEL!=").text, "+ERR");
    EXPECT_TRUE(pending_is(0, 0, 0));
}
