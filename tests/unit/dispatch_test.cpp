// The command table, the dispatcher and the parameter extraction.
#include <gtest/gtest.h>

#include <atomic>
#include <thread>

#include "unit_helpers.h"

namespace {

// The protocol's table in its order, with the parameter of a command that the first
// matching prefix routes to that row, and its reply on the factory root. The 22
// handlers not built yet answer "+ERR"; whoever builds one gives it its real reply.
struct Row {
    const char *prefix;
    wifi_msg_proc_fn handler;
    std::string para, reply;
};
const std::string kSsid = "+OK=QEL_NVR_AP", E = "+ERR";
#define H(name) wifi_msg_proc_##name
const Row kRows[WIFI_MSG_CMD_ROWS] = {
    {"AT+STAONLINECHECK", H(check_mactable_rsp), "", E}, {"AT+RESTORE", H(restore_rsp), "", "+OK"},
    {"AT+REBOOT", H(reboot_rsp), "", "+OK"}, {"AT+VER", H(get_ver_rsp), "SION", E},
    {"AT+SSID=", H(set_ssid_rsp), "x", "+OK"}, {"AT+SSID", H(get_ssid_rsp), "XYZ", kSsid},
    {"AT+UIP=", H(set_udp_src_rsp), "1.2.3.4", "+OK"}, {"AT+UIP", H(get_udp_src_rsp), "", "+OK="},
    {"AT+LANIP=", H(set_lan_ip_rsp), "10.0.0.1", "+OK"}, {"AT+LANIP", H(get_lan_ip_rsp), "", "+OK=192.168.1.1"},
    {"AT+KEY=", H(set_pskey_rsp), "k", "+OK"}, {"AT+KEY", H(get_pskey_rsp), "", "+OK=12345678"},
    {"AT+CHANNEL!=", H(get_current_channel_rsp), "6", "+OK=6"}, {"AT+CHANNEL=", H(set_channel_rsp), "6", "+OK"},
    {"AT+CHANNEL", H(get_channel_rsp), "", "+OK=6"}, {"AT+AUTH=", H(set_auth_rsp), "OPEN", "+OK"},
    {"AT+AUTH", H(get_auth_rsp), "", "+OK=WPA2PSK"}, {"AT+ENCRY=", H(set_encrypt_rsp), "AES", "+OK"},
    {"AT+ENCRY", H(get_encrypt_rsp), "", "+OK=AES"}, {"AT+DHCP=OFF", H(close_dhcp_rsp), "X", "+OK"},
    {"AT+DHCP=", H(set_dhcp_rsp), "100 50 24h", "+OK"}, {"AT+DHCP", H(get_dhcp_rsp), "", "+OK="},
    {"AT+PORT", H(get_port_rsp), "", "+OK=1,1,0,0"}, {"AT+WPS=", H(get_wps_rsp), "1", E},
    {"AT+WPS", H(set_wps_rsp), "", E}, {"AT+CNUM", H(get_client_num_rsp), "", E},
    {"AT+CINFO=", H(get_client_info_rsp), "1", E}, {"AT+CWIFISINALNUM", H(get_wifi_signal_num_rsp), "", E},
    {"AT+CWIFISINGALSINGLEINFO=", H(get_wifi_singal_tableinfo_byindex_rsp), "1", E},
    {"AT+CIP=", H(get_client_ip_rsp), "1", E}, {"AT+CMC", H(get_phy_rsp), "", E},
    {"AT+WIFI=", H(set_wifi_rsp), "ON", "+OK"}, {"AT+WIFI", H(get_wifi_rsp), "", "+OK=ON"},
    {"AT+HTMODE=", H(set_htmode_rsp), "HT20", "+OK"}, {"AT+HTMODE", H(get_htmode_rsp), "", "+OK=HT40"},
    {"AT+COUNTRY=", H(set_region_rsp), "US", "+OK"}, {"AT+COUNTRY", H(get_region_rsp), "", "+OK=CN"},
    {"AT+TXPOWER=", H(set_txpower_rsp), "50", "+OK"}, {"AT+TXPOWER", H(get_txpower_rsp), "", "+OK=100"},
    {"AT+VLAN=OFF", H(clear_vlan_rsp), "", "+OK"}, {"AT+VLAN=", H(set_vlan_rsp), "1 2", "+OK"},
    {"AT+VLAN", H(get_vlan_rsp), "X", "+OK=waiting"}, {"AT+SCAN", H(scan_rsp), "", E},
    {"AT+ENCFG", H(encfg_rsp), "", "+OK"}, {"AT+PASSWD=", H(set_passwd_rsp), "1", E},
    {"AT+UPGRADE=", H(upgrade_wifi_rsp), "9999 ab", E}, {"AT+SSH=", H(close_ssh_rsp), "0", E},
    {"AT+SSH", H(open_ssh_rsp), "", E}, {"AT+STANUM=", H(set_maxassoc_rsp), "10", "+OK"},
    {"AT+STANUM", H(get_maxassoc_rsp), " 7", "+OK=32"}, {"AT+APSTART", H(set_ap_start), "", E},
    {"AT+MAC", H(get_mac), "", E}, {"AT+SENSITIVITY=", H(get_sensitivity), "1", E}, {"AT+PER", H(get_per_rsp), "", E},
    {"AT+RESET", H(set_reset_counter), "X", E}, {"AT+RETRYINFO=", H(get_client_retry_info_rsp), "1", E},
    {"AT+IGMP=", H(set_igmp_rsp), "1", E},
};
#undef H

}  // namespace

TEST(CommandTable, RowsInOrderAndTheFirstMatchingPrefixAnswers) {
    ASSERT_EQ(g_wifi_msg_cmd_num, 57);
    int unbuilt = 0;
    for (int i = 0; i < WIFI_MSG_CMD_ROWS; i++) {
        const Row &row = kRows[i];
        const std::string cmd = row.prefix + row.para;
        SCOPED_TRACE(cmd);
        const wifi_msg_cmd_entry &e = g_wifi_msg_cmd_table[i];
        EXPECT_STREQ(e.cmd, row.prefix);
        EXPECT_EQ(e.handler, row.handler);
        for (size_t k = strlen(e.cmd); k < sizeof(e.cmd); k++) EXPECT_EQ(e.cmd[k], '\0');  // zero-filled
        SeededRoot root;
        Reply r = dispatch(cmd);
        EXPECT_EQ(r.text, row.reply);
        EXPECT_EQ(r.ret, row.reply == E ? -1 : 0);
        unbuilt += row.reply == E;
    }
    EXPECT_EQ(unbuilt, 22);
}

TEST(Dispatcher, HeartbeatAndErrReplies) {
    SeededRoot root;
    EXPECT_EQ(dispatch("AT+").text, "+OK");
    for (const char *cmd : {"AT+\r\n", "at+ver", "", "AT", "XAT+SSID", "AT+SS", "AT+IGMP"}) {
        Reply r = dispatch(cmd);
        EXPECT_EQ(r.text, "+ERR") << cmd;
        EXPECT_EQ(r.ret, -1) << cmd;
    }
    char reply[8];
    memset(reply, 'Q', sizeof(reply));
    for (int32_t size : {0, -5}) {  // no usable size: the buffer is left alone
        EXPECT_EQ(wifi_msg_proc_distribute("AT+", reply, size), -1);
        EXPECT_EQ(wifi_msg_proc_heart_rsp("AT+", reply, size), -1);
        EXPECT_EQ(std::string(reply, 8), std::string(8, 'Q'));
    }
    EXPECT_EQ(wifi_msg_proc_distribute("AT+", nullptr, 16), -1);
    EXPECT_EQ(wifi_msg_proc_distribute(nullptr, reply, sizeof(reply)), -1);
    EXPECT_STREQ(reply, "+ERR");
    EXPECT_EQ(wifi_msg_proc_distribute("bogus", reply, 3), -1);  // cut to the size
    EXPECT_STREQ(reply, "+E");
    memset(reply, 'Q', sizeof(reply));  // a built handler refuses unusable arguments, touching nothing
    EXPECT_EQ(wifi_msg_proc_set_ssid_rsp(nullptr, reply, sizeof(reply)), -1);
    EXPECT_EQ(wifi_msg_proc_set_ssid_rsp("AT+SSID=x", nullptr, 256), -1);
    EXPECT_EQ(wifi_msg_proc_set_ssid_rsp("AT+SSID=x", reply, 0), -1);
    EXPECT_EQ(std::string(reply, 8), std::string(8, 'Q'));
    EXPECT_EQ(root.profile(), factory_profile_text());

    // a failed handler leaves "+ERR" and zeros: AT+AUTH=WPA2PSK fails on the missing
    // EncrypType after writing into the reply
    root->write_file(WIFI_PROFILE_PATH, profile_with({{"EncrypType", "<none>"}}));
    char full[WIFI_REPLY_BUF_SIZE];
    memset(full, 'Q', sizeof(full));
    EXPECT_EQ(wifi_msg_proc_distribute("AT+AUTH=WPA2PSK", full, sizeof(full)), -1);
    EXPECT_STREQ(full, "+ERR");
    for (size_t i = 4; i < sizeof(full); i++) ASSERT_EQ(full[i], '\0') << i;
}

TEST(CmdPara, Extraction) {
    const struct { const char *cmd; int32_t size; int ret; const char *para; } cases[] = {
        {"AT+CHANNEL!=6", 128, 0, "6"}, {"AT+UPGRADE=9999 a1b2c3", 128, 0, "9999 a1b2c3"},
        {"AT+SSID=", 128, 0, ""},       {"AT+A=b=c", 128, 0, "b=c"},
        {"AT+SSID= x \r\n", 128, 0, " x \r\n"}, {"A=wxyz", 4, 0, "wxy"},
        {"AT+DHCP", 128, -1, nullptr},  {"", 128, -1, nullptr},
        {nullptr, 128, -1, nullptr},    {"A=b", 0, -1, nullptr},
    };
    for (const auto &c : cases) {
        char para[WIFI_PARA_BUF_SIZE];
        memset(para, 'Q', sizeof(para));
        EXPECT_EQ(wifi_msg_get_cmd_para(c.cmd, para, c.size), c.ret) << c.cmd;
        if (c.para == nullptr) continue;
        EXPECT_STREQ(para, c.para);
        for (size_t i = strlen(c.para); i < (size_t)c.size; i++) ASSERT_EQ(para[i], '\0') << c.cmd;  // zero-filled
    }
    EXPECT_EQ(wifi_msg_get_cmd_para("A=b", nullptr, 4), -1);
}

// Two links setting values at once never leave a damaged profile behind.
TEST(Dispatcher, ConcurrentSettersKeepTheProfileWhole) {
    SeededRoot root;
    std::atomic<int> bad{0};
    auto hammer = [&bad](const char *a, const char *b) {
        for (int i = 0; i < 150; i++)
            if (dispatch(i % 2 ? a : b).text != "+OK") bad++;
    };
    auto reader = [&bad]() {
        for (int i = 0; i < 150; i++) {
            std::string t = dispatch("AT+SSID").text;
            if (t != kSsid && t != "+OK=a1" && t != "+OK=a2") bad++;
        }
    };
    std::thread t1(hammer, "AT+SSID=a1", "AT+SSID=a2"), t2(hammer, "AT+KEY=b1", "AT+KEY=b2"), t3(reader);
    for (std::thread *t : {&t1, &t2, &t3}) t->join();
    EXPECT_EQ(bad.load(), 0);
    std::string text = root.profile();
    std::string ssid = text.find("\nSSID1=a1\n") != std::string::npos ? "a1" : "a2";
    std::string key = text.find("\nWPAPSK1=b1\n") != std::string::npos ? "b1" : "b2";
    EXPECT_EQ(text, profile_with({{"SSID1", ssid}, {"WPAPSK1", key}}));
    EXPECT_FALSE(root->exists(WIFI_PROFILE_TMP_PATH));
}
