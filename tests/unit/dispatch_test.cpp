// The command table, the dispatcher and the parameter extraction.
#include <gtest/gtest.h>

#include "unit_helpers.h"

TEST(CommandTable, EveryRowIsReachableAndPrefixesRouteByOrder) {
    ASSERT_EQ(g_wifi_msg_cmd_num, 60);
    for (int i = 0; i < g_wifi_msg_cmd_num; i++) {  // no earlier row's text swallows a later row
        for (int j = 0; j < i; j++)
            EXPECT_NE(
                strncmp(g_wifi_msg_cmd_table[i].cmd, g_wifi_msg_cmd_table[j].cmd, strlen(g_wifi_msg_cmd_table[j].cmd)),
                0)
                << g_wifi_msg_cmd_table[j].cmd << " hides " << g_wifi_msg_cmd_table[i].cmd;
    }
    // The command that reaches each row, and its reply on the factory module.
    const std::pair<const char *, const char *> routes[] = {
        {"AT+SSIDXYZ", "+OK=QEL_NVR_AP"},
        {"AT+SSID=x", "+OK"},
        {"AT+KEY", "+OK=12345678"},
        {"AT+CHANNEL!=6", "+OK=6"},
        {"AT+CHANNEL=6", "+OK"},
        {"AT+CHANNEL", "+OK=6"},
        {"AT+DHCP=OFF1", "+OK"},
        {"AT+DHCP=100 50 24h", "+OK"},
        {"AT+DHCP", "+OK="},
        {"AT+VLAN=OFF", "+OK"},
        {"AT+VLAN=1 2", "+OK"},
        {"AT+VLAN", "+OK=waiting"},
        {"AT+UIP", "+OK="},
        {"AT+STANUM 7", "+OK=32"},
        {"AT+AUTH", "+OK=WPA2PSK"},
        {"AT+ENCRY", "+OK=AES"},
        {"AT+WIFI", "+OK=ON"},
        {"AT+HTMODE", "+OK=HT40"},
        {"AT+COUNTRY", "+OK=CN"},
        {"AT+TXPOWER", "+OK=100"},
        {"AT+LANIP", "+OK=192.168.1.1"},
        {"AT+PORT", "+OK=1,1,0,0"},
        {"AT+RESTORE", "+OK"},
        {"AT+ENCFG", "+OK"},
        {"AT+UPGSTATE", "+OK=none"},
    };
    for (const auto &r : routes) {
        SeededRoot root;
        root->write_file(WIFI_FACTORY_PROFILE_PATH, factory_profile_text());
        EXPECT_EQ(dispatch(r.first).text, r.second) << r.first;
    }
}

TEST(Dispatcher, HeartbeatAndErrReplies) {
    SeededRoot root;
    EXPECT_EQ(dispatch("AT+").text, "+OK");
    for (const char *cmd :
         {"AT+\r\n", "at+ver", "", "AT", "XAT+SSID", "AT+SS", "AT+IGMP", "AT+PASSWD", "AT+CINFO", "AT+UPGRADE=9999"}) {
        Reply r = dispatch(cmd);
        EXPECT_EQ(r.text, "+ERR") << cmd;
        EXPECT_EQ(r.ret, -1) << cmd;
    }
    char reply[8];
    memset(reply, 'Q', sizeof(reply));
    EXPECT_EQ(wifi_msg_proc_distribute("AT+", reply, 0), -1);  // no usable size: left alone
    EXPECT_EQ(std::string(reply, 8), std::string(8, 'Q'));
    EXPECT_EQ(wifi_msg_proc_distribute("bogus", reply, 3), -1);  // cut to the size
    EXPECT_STREQ(reply, "+E");

    // a failed handler leaves "+ERR" and zeros: AT+AUTH=WPA2PSK fails on the missing EncrypType
    root->write_file(WIFI_PROFILE_PATH, profile_with({{"EncrypType", "<none>"}}));
    char full[WIFI_REPLY_BUF_SIZE];
    memset(full, 'Q', sizeof(full));
    EXPECT_EQ(wifi_msg_proc_distribute("AT+AUTH=WPA2PSK", full, sizeof(full)), -1);
    EXPECT_STREQ(full, "+ERR");
    for (size_t i = 4; i < sizeof(full); i++) ASSERT_EQ(full[i], '\0') << i;
}

TEST(CmdPara, Extraction) {
    const struct {
        const char *cmd;
        int32_t size;
        const char *para;
    } cases[] = {
        {"AT+CHANNEL!=6", 128, "6"},
        {"AT+UPGRADE=9999 a1b2c3", 128, "9999 a1b2c3"},
        {"AT+SSID=", 128, ""},
        {"AT+A=b=c", 128, "b=c"},
        {"AT+SSID= x \r\n", 128, " x \r\n"},
        {"A=wxyz", 4, "wxy"},
        {"AT+DHCP", 128, nullptr},
        {"", 128, nullptr},
    };
    for (const auto &c : cases) {
        char para[WIFI_PARA_BUF_SIZE];
        memset(para, 'Q', sizeof(para));
        EXPECT_EQ(wifi_msg_get_cmd_para(c.cmd, para, c.size), c.para ? 0 : -1) << c.cmd;
        if (c.para != nullptr) {
            EXPECT_STREQ(para, c.para);
        }
    }
}
