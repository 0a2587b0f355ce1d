// The command table, the dispatcher and the parameter extraction.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <set>
#include <sstream>
#include <thread>

#include "unit_helpers.h"

namespace {

struct Row {
    const char *text;
    wifi_msg_proc_fn handler;
};

// The protocol's table, in its order.
const Row kRows[WIFI_MSG_CMD_ROWS] = {
    {"AT+STAONLINECHECK", wifi_msg_proc_check_mactable_rsp}, {"AT+RESTORE", wifi_msg_proc_restore_rsp},
    {"AT+REBOOT", wifi_msg_proc_reboot_rsp}, {"AT+VER", wifi_msg_proc_get_ver_rsp},
    {"AT+SSID=", wifi_msg_proc_set_ssid_rsp}, {"AT+SSID", wifi_msg_proc_get_ssid_rsp},
    {"AT+UIP=", wifi_msg_proc_set_udp_src_rsp}, {"AT+UIP", wifi_msg_proc_get_udp_src_rsp},
    {"AT+LANIP=", wifi_msg_proc_set_lan_ip_rsp}, {"AT+LANIP", wifi_msg_proc_get_lan_ip_rsp},
    {"AT+KEY=", wifi_msg_proc_set_pskey_rsp}, {"AT+KEY", wifi_msg_proc_get_pskey_rsp},
    {"AT+CHANNEL!=", wifi_msg_proc_get_current_channel_rsp}, {"AT+CHANNEL=", wifi_msg_proc_set_channel_rsp},
    {"AT+CHANNEL", wifi_msg_proc_get_channel_rsp}, {"AT+AUTH=", wifi_msg_proc_set_auth_rsp},
    {"AT+AUTH", wifi_msg_proc_get_auth_rsp}, {"AT+ENCRY=", wifi_msg_proc_set_encrypt_rsp},
    {"AT+ENCRY", wifi_msg_proc_get_encrypt_rsp}, {"AT+DHCP=OFF", wifi_msg_proc_close_dhcp_rsp},
    {"AT+DHCP=", wifi_msg_proc_set_dhcp_rsp}, {"AT+DHCP", wifi_msg_proc_get_dhcp_rsp},
    {"AT+PORT", wifi_msg_proc_get_port_rsp}, {"AT+WPS=", wifi_msg_proc_get_wps_rsp},
    {"AT+WPS", wifi_msg_proc_set_wps_rsp}, {"AT+CNUM", wifi_msg_proc_get_client_num_rsp},
    {"AT+CINFO=", wifi_msg_proc_get_client_info_rsp}, {"AT+CWIFISINALNUM", wifi_msg_proc_get_wifi_signal_num_rsp},
    {"AT+CWIFISINGALSINGLEINFO=", wifi_msg_proc_get_wifi_singal_tableinfo_byindex_rsp}, {"AT+CIP=", wifi_msg_proc_get_client_ip_rsp},
    {"AT+CMC", wifi_msg_proc_get_phy_rsp}, {"AT+WIFI=", wifi_msg_proc_set_wifi_rsp},
    {"AT+WIFI", wifi_msg_proc_get_wifi_rsp}, {"AT+HTMODE=", wifi_msg_proc_set_htmode_rsp},
    {"AT+HTMODE", wifi_msg_proc_get_htmode_rsp}, {"AT+COUNTRY=", wifi_msg_proc_set_region_rsp},
    {"AT+COUNTRY", wifi_msg_proc_get_region_rsp}, {"AT+TXPOWER=", wifi_msg_proc_set_txpower_rsp},
    {"AT+TXPOWER", wifi_msg_proc_get_txpower_rsp}, {"AT+VLAN=OFF", wifi_msg_proc_clear_vlan_rsp},
    {"AT+VLAN=", wifi_msg_proc_set_vlan_rsp}, {"AT+VLAN", wifi_msg_proc_get_vlan_rsp},
    {"AT+SCAN", wifi_msg_proc_scan_rsp}, {"AT+ENCFG", wifi_msg_proc_encfg_rsp},
    {"AT+PASSWD=", wifi_msg_proc_set_passwd_rsp}, {"AT+UPGRADE=", wifi_msg_proc_upgrade_wifi_rsp},
    {"AT+SSH=", wifi_msg_proc_close_ssh_rsp}, {"AT+SSH", wifi_msg_proc_open_ssh_rsp},
    {"AT+STANUM=", wifi_msg_proc_set_maxassoc_rsp}, {"AT+STANUM", wifi_msg_proc_get_maxassoc_rsp},
    {"AT+APSTART", wifi_msg_proc_set_ap_start}, {"AT+MAC", wifi_msg_proc_get_mac},
    {"AT+SENSITIVITY=", wifi_msg_proc_get_sensitivity}, {"AT+PER", wifi_msg_proc_get_per_rsp},
    {"AT+RESET", wifi_msg_proc_set_reset_counter}, {"AT+RETRYINFO=", wifi_msg_proc_get_client_retry_info_rsp},
    {"AT+IGMP=", wifi_msg_proc_set_igmp_rsp},
};

// Handlers not built yet (src/wifi_unbuilt.cpp). Whoever builds one moves it from
// here to kBuilt with a sample command.
const std::set<wifi_msg_proc_fn> kUnbuilt = {
    wifi_msg_proc_check_mactable_rsp, wifi_msg_proc_get_client_num_rsp,
    wifi_msg_proc_get_client_info_rsp, wifi_msg_proc_get_client_ip_rsp,
    wifi_msg_proc_get_phy_rsp, wifi_msg_proc_get_mac,
    wifi_msg_proc_get_per_rsp, wifi_msg_proc_set_reset_counter,
    wifi_msg_proc_get_client_retry_info_rsp, wifi_msg_proc_scan_rsp,
    wifi_msg_proc_get_wifi_signal_num_rsp, wifi_msg_proc_get_wifi_singal_tableinfo_byindex_rsp,
    wifi_msg_proc_get_sensitivity, wifi_msg_proc_get_wps_rsp,
    wifi_msg_proc_set_wps_rsp, wifi_msg_proc_set_ap_start,
    wifi_msg_proc_set_igmp_rsp, wifi_msg_proc_set_passwd_rsp,
    wifi_msg_proc_close_ssh_rsp, wifi_msg_proc_open_ssh_rsp,
    wifi_msg_proc_upgrade_wifi_rsp, wifi_msg_proc_get_ver_rsp,
};

// Every built row with a command that it answers on the factory root.
struct Built {
    int row;
    const char *cmd;
    std::string reply;
};
const std::vector<Built> kBuilt = {
    {2, "AT+RESTORE", "+OK"},           {3, "AT+REBOOT", "+OK"},
    {5, "AT+SSID=x", "+OK"},            {6, "AT+SSID", "+OK=" + kFactorySsid},
    {7, "AT+UIP=1.2.3.4", "+OK"},       {8, "AT+UIP", "+OK="},
    {9, "AT+LANIP=10.0.0.1", "+OK"},    {10, "AT+LANIP", "+OK=192.168.1.1"},
    {11, "AT+KEY=k", "+OK"},            {12, "AT+KEY", "+OK=12345678"},
    {13, "AT+CHANNEL!=", "+OK=6"},      {14, "AT+CHANNEL=6", "+OK"},
    {15, "AT+CHANNEL", "+OK=6"},        {16, "AT+AUTH=OPEN", "+OK"},
    {17, "AT+AUTH", "+OK=WPA2PSK"},     {18, "AT+ENCRY=AES", "+OK"},
    {19, "AT+ENCRY", "+OK=AES"},        {20, "AT+DHCP=OFF", "+OK"},
    {21, "AT+DHCP=100 50 24h", "+OK"},  {22, "AT+DHCP", "+OK="},
    {23, "AT+PORT", "+OK=1,1,0,0"},     {32, "AT+WIFI=ON", "+OK"},
    {33, "AT+WIFI", "+OK=ON"},          {34, "AT+HTMODE=HT20", "+OK"},
    {35, "AT+HTMODE", "+OK=HT40"},      {36, "AT+COUNTRY=US", "+OK"},
    {37, "AT+COUNTRY", "+OK=CN"},       {38, "AT+TXPOWER=50", "+OK"},
    {39, "AT+TXPOWER", "+OK=100"},      {40, "AT+VLAN=OFF", "+OK"},
    {41, "AT+VLAN=1 2", "+OK"},         {42, "AT+VLAN", "+OK=waiting"},
    {44, "AT+ENCFG", "+OK"},            {49, "AT+STANUM=10", "+OK"},
    {50, "AT+STANUM", "+OK=32"},
};

// The row (1-based) that the first-prefix rule picks, 0 for none.
int table_row(const std::string &cmd) {
    for (int32_t i = 0; i < g_wifi_msg_cmd_num; i++) {
        const char *t = g_wifi_msg_cmd_table[i].cmd;
        if (cmd.compare(0, strlen(t), t) == 0) return i + 1;
    }
    return 0;
}

}  // namespace

TEST(CommandTable, HoldsTheProtocolRowsInOrder) {
    ASSERT_EQ(g_wifi_msg_cmd_num, 57);
    for (int i = 0; i < WIFI_MSG_CMD_ROWS; i++) {
        SCOPED_TRACE(i + 1);
        const wifi_msg_cmd_entry &e = g_wifi_msg_cmd_table[i];
        EXPECT_STREQ(e.cmd, kRows[i].text);
        EXPECT_EQ(e.handler, kRows[i].handler);
        // zero-filled to 32 bytes
        for (size_t k = strlen(e.cmd); k < sizeof(e.cmd); k++) EXPECT_EQ(e.cmd[k], '\0');
    }
}

TEST(CommandTable, BuiltAndUnbuiltRowsAreListedExactly) {
    ASSERT_EQ(kUnbuilt.size(), 22u);
    std::set<int> built_rows;
    for (const Built &b : kBuilt) built_rows.insert(b.row);
    ASSERT_EQ(built_rows.size(), 35u);
    for (int i = 0; i < WIFI_MSG_CMD_ROWS; i++) {
        bool unbuilt = kUnbuilt.count(g_wifi_msg_cmd_table[i].handler) == 1;
        bool built = built_rows.count(i + 1) == 1;
        EXPECT_NE(unbuilt, built) << "row " << i + 1 << " " << g_wifi_msg_cmd_table[i].cmd;
    }
}

TEST(CommandTable, UnbuiltRowsAnswerErr) {
    for (int i = 0; i < WIFI_MSG_CMD_ROWS; i++) {
        if (kUnbuilt.count(g_wifi_msg_cmd_table[i].handler) == 0) continue;
        SeededRoot root;
        Reply r = dispatch(std::string(g_wifi_msg_cmd_table[i].cmd) + "1");
        EXPECT_EQ(r.ret, -1) << g_wifi_msg_cmd_table[i].cmd;
        EXPECT_EQ(r.text, "+ERR");
    }
}

TEST(CommandTable, BuiltRowsAnswerTheirSampleCommand) {
    for (const Built &b : kBuilt) {
        SCOPED_TRACE(b.cmd);
        SeededRoot root;
        root->shell_output["switch reg read 80"] = "reg 80 value=06\n";
        ASSERT_EQ(table_row(b.cmd), b.row);
        Reply r = dispatch(b.cmd);
        EXPECT_EQ(r.ret, 0);
        EXPECT_EQ(r.text, b.reply);
    }
}

struct RouteCase {
    const char *cmd;
    int row;
    wifi_msg_proc_fn handler;
};

TEST(Dispatcher, FirstPrefixMatchPicksTheRow) {
    const RouteCase cases[] = {
        {"AT+VERSION", 4, wifi_msg_proc_get_ver_rsp},
        {"AT+SSIDXYZ", 6, wifi_msg_proc_get_ssid_rsp},
        {"AT+SSID=Home", 5, wifi_msg_proc_set_ssid_rsp},
        {"AT+KEY=abc", 11, wifi_msg_proc_set_pskey_rsp},
        {"AT+KEY", 12, wifi_msg_proc_get_pskey_rsp},
        {"AT+CHANNEL!=", 13, wifi_msg_proc_get_current_channel_rsp},
        {"AT+CHANNEL!=6", 13, wifi_msg_proc_get_current_channel_rsp},
        {"AT+CHANNEL=6", 14, wifi_msg_proc_set_channel_rsp},
        {"AT+CHANNEL", 15, wifi_msg_proc_get_channel_rsp},
        {"AT+DHCP=OFF", 20, wifi_msg_proc_close_dhcp_rsp},
        {"AT+DHCP=OFFX", 20, wifi_msg_proc_close_dhcp_rsp},
        {"AT+DHCP=1 2 3", 21, wifi_msg_proc_set_dhcp_rsp},
        {"AT+DHCP", 22, wifi_msg_proc_get_dhcp_rsp},
        {"AT+WPS=1", 24, wifi_msg_proc_get_wps_rsp},
        {"AT+WPS", 25, wifi_msg_proc_set_wps_rsp},
        {"AT+VLAN=OFF1", 40, wifi_msg_proc_clear_vlan_rsp},
        {"AT+VLAN=1", 41, wifi_msg_proc_set_vlan_rsp},
        {"AT+SSH=0", 47, wifi_msg_proc_close_ssh_rsp},
        {"AT+STANUM", 50, wifi_msg_proc_get_maxassoc_rsp},
        {"AT+RESETX", 55, wifi_msg_proc_set_reset_counter},
        {"AT+IGMP=1", 57, wifi_msg_proc_set_igmp_rsp},
        {"AT+IGMP", 0, nullptr},
        {"AT+SS", 0, nullptr},
        {"at+ver", 0, nullptr},
    };
    for (const RouteCase &c : cases) {
        SCOPED_TRACE(c.cmd);
        int row = table_row(c.cmd);
        ASSERT_EQ(row, c.row);
        if (row != 0) {
            EXPECT_EQ(g_wifi_msg_cmd_table[row - 1].handler, c.handler);
        }

        // The dispatcher does exactly what that handler does: same result, reply and effects.
        SeededRoot a;
        a->shell_output["switch reg read 80"] = "value=02\n";
        Reply via_dispatch = dispatch(c.cmd);
        std::string prof = a.profile(), conf = a.dhcp();
        std::vector<std::string> shell = a->shell_lines, io = ioctl_log(*a);
        wifi_cfg_pending flags = g_cfg_pending;

        SeededRoot b;
        b->shell_output["switch reg read 80"] = "value=02\n";
        Reply direct = row == 0 ? Reply{-1, "", {}} : call(c.handler, c.cmd);
        EXPECT_EQ(via_dispatch.ret, direct.ret);
        EXPECT_EQ(via_dispatch.text, direct.ret == 0 ? direct.text : "+ERR");
        EXPECT_EQ(prof, b.profile());
        EXPECT_EQ(conf, b.dhcp());
        EXPECT_EQ(shell, b->shell_lines);
        EXPECT_EQ(io, ioctl_log(*b));
        EXPECT_EQ(memcmp(&flags, &g_cfg_pending, sizeof(flags)), 0);
    }
}

TEST(Dispatcher, HeartbeatAndUnknownCommands) {
    SeededRoot root;
    Reply hb = dispatch("AT+");
    EXPECT_EQ(hb.ret, 0);
    EXPECT_EQ(hb.text, "+OK");
    for (const char *cmd : {"AT+\r\n", "at+ver", "", "AT", "XAT+SSID"}) {
        Reply r = dispatch(cmd);
        EXPECT_EQ(r.ret, -1) << cmd;
        EXPECT_EQ(r.text, "+ERR") << cmd;
    }
}

TEST(Dispatcher, LogLines) {
    SeededRoot root;
    root->shell_output["switch reg read 80"] = "value=06";
    const std::pair<const char *, const char *> cases[] = {
        {"AT+", "======wifi_msg_proc_heart_rsp======cmd AT+,sucess!==========================\n"},
        {"AT+\r\n",
         "======unsupport cmd:AT+\r\n=========================\n"
         "======msg proc error:AT+\r\n========iRet[-1]=================\n"},
        {"AT+SSID=x", "======wifi_msg_proc_set_ssid_rsp======cmd AT+SSID=x,sucess!==========================\n"},
        {"AT+SSID", "======wifi_msg_proc_get_ssid_rsp======cmd AT+SSID,sucess!====val:x======================\n"},
        {"AT+CHANNEL",
         "======wifi_msg_proc_get_channel_rsp======cmd AT+CHANNEL,sucess!====val:+OK=6======================\n"},
        {"AT+KEY", "======wifi_msg_proc_get_pskey_rsp======cmd AT+KEY,sucess!====\n"},
        {"AT+WIFI=ON",
         "======wifi_msg_proc_set_wifi_rsp======cmd AT+WIFI=ON,sucess!=============new debug=============\n"},
        {"AT+COUNTRY=US",
         "======wifi_msg_proc_set_region_rsp======cmd AT+COUNTRY=US,sucess!====val:+OK======================\n"},
        {"AT+PORT", "======wifi_msg_proc_get_port_rsp======cmd AT+PORT,sucess!====val:+OK=1,1,0,0======================\n"},
        {"AT+ENCFG", "======wifi_msg_proc_encfg_rsp======cmd AT+ENCFG,sucess!==========================\n"},
    };
    for (const auto &c : cases) {
        testing::internal::CaptureStdout();
        dispatch(c.first);
        std::string out = testing::internal::GetCapturedStdout();
        EXPECT_NE(out.find(c.second), std::string::npos) << out;
    }
    char reply[4];
    testing::internal::CaptureStdout();
    wifi_msg_proc_distribute("AT+", reply, 0);
    EXPECT_EQ(testing::internal::GetCapturedStdout(),
              "====wifi_msg_proc_distribute para error=========================\n");
}

TEST(Dispatcher, FailedHandlerLeavesOnlyErrFollowedByZeros) {
    // AT+AUTH=WPA2PSK writes AuthMode, then fails on the missing EncrypType after the
    // reply buffer had been handed over; a pre-filled buffer shows the clearing.
    SeededRoot root;
    root->write_file(WIFI_PROFILE_PATH, profile_without("EncrypType"));
    char reply[WIFI_REPLY_BUF_SIZE];
    memset(reply, 'Q', sizeof(reply));
    snprintf(reply, sizeof(reply), "+OK=%s", kFactorySsid.c_str());
    EXPECT_EQ(wifi_msg_proc_distribute("AT+AUTH=WPA2PSK", reply, sizeof(reply)), -1);
    EXPECT_STREQ(reply, "+ERR");
    for (size_t i = 4; i < sizeof(reply); i++) ASSERT_EQ(reply[i], '\0') << i;
}

TEST(Dispatcher, BadArguments) {
    char reply[8];
    memset(reply, 'Q', sizeof(reply));
    EXPECT_EQ(wifi_msg_proc_distribute("AT+", reply, 0), -1);
    EXPECT_EQ(std::string(reply, sizeof(reply)), std::string(8, 'Q'));  // untouched
    EXPECT_EQ(wifi_msg_proc_distribute("AT+", reply, -5), -1);
    EXPECT_EQ(std::string(reply, sizeof(reply)), std::string(8, 'Q'));
    EXPECT_EQ(wifi_msg_proc_distribute(nullptr, reply, sizeof(reply)), -1);
    EXPECT_STREQ(reply, "+ERR");
    EXPECT_EQ(wifi_msg_proc_distribute("AT+", nullptr, 16), -1);
    // the reply is cut to its size
    memset(reply, 'Q', sizeof(reply));
    EXPECT_EQ(wifi_msg_proc_distribute("bogus", reply, 3), -1);
    EXPECT_STREQ(reply, "+E");
    EXPECT_EQ(wifi_msg_proc_distribute("AT+", reply, 3), 0);
    EXPECT_STREQ(reply, "+O");
}

TEST(Dispatcher, BuiltHandlersCheckTheirArguments) {
    SeededRoot root;
    for (int i = 0; i < WIFI_MSG_CMD_ROWS; i++) {
        wifi_msg_proc_fn fn = g_wifi_msg_cmd_table[i].handler;
        const char *cmd = g_wifi_msg_cmd_table[i].cmd;
        char reply[8];
        memset(reply, 'Q', sizeof(reply));
        EXPECT_EQ(fn(nullptr, reply, sizeof(reply)), -1) << cmd;
        EXPECT_EQ(fn(cmd, nullptr, 256), -1) << cmd;
        EXPECT_EQ(fn(cmd, reply, 0), -1) << cmd;
        EXPECT_EQ(std::string(reply, sizeof(reply)), std::string(8, 'Q')) << cmd;
    }
    EXPECT_EQ(root.profile(), factory_profile_text());
    EXPECT_EQ(root.dhcp(), factory_dhcp_text());
    EXPECT_TRUE(root->shell_lines.empty());
    EXPECT_TRUE(root->ioctls.empty());
    EXPECT_TRUE(pending_is(0, 0, 0));
    char reply[8];
    EXPECT_EQ(wifi_msg_proc_heart_rsp("AT+", reply, 0), -1);
}

TEST(CmdPara, Extraction) {
    struct Case {
        const char *cmd;
        int ret;
        const char *para;
    } cases[] = {
        {"AT+CHANNEL!=6", 0, "6"},
        {"AT+UPGRADE=9999 a1b2c3", 0, "9999 a1b2c3"},
        {"AT+SSID=", 0, ""},
        {"AT+A=b=c", 0, "b=c"},
        {"AT+SSID= x \r\n", 0, " x \r\n"},
        {"AT+DHCP", -1, ""},
        {"", -1, ""},
    };
    for (const Case &c : cases) {
        char para[WIFI_PARA_BUF_SIZE];
        memset(para, 'Q', sizeof(para));
        EXPECT_EQ(wifi_msg_get_cmd_para(c.cmd, para, sizeof(para)), c.ret) << c.cmd;
        if (c.ret != 0) continue;
        EXPECT_STREQ(para, c.para);
        for (size_t i = strlen(c.para); i < sizeof(para); i++) ASSERT_EQ(para[i], '\0') << c.cmd;
    }
    char para[4];
    EXPECT_EQ(wifi_msg_get_cmd_para(nullptr, para, 4), -1);
    EXPECT_EQ(wifi_msg_get_cmd_para("A=b", nullptr, 4), -1);
    EXPECT_EQ(wifi_msg_get_cmd_para("A=b", para, 0), -1);
    // a parameter as long as the buffer is cut one short and terminated
    EXPECT_EQ(wifi_msg_get_cmd_para("A=wxyz", para, 4), 0);
    EXPECT_STREQ(para, "wxy");
}

// Two links setting values at once never leave a damaged profile behind.
TEST(Dispatcher, ConcurrentSettersKeepTheProfileWhole) {
    SeededRoot root;
    std::atomic<int> bad{0};
    auto hammer = [&bad](const char *a, const char *b) {
        for (int i = 0; i < 150; i++) {
            Reply r = dispatch(i % 2 ? a : b);
            if (r.ret != 0 || r.text != "+OK") bad++;
        }
    };
    auto reader = [&bad]() {
        for (int i = 0; i < 150; i++) {
            Reply r = dispatch("AT+SSID");
            if (r.text != "+OK=" + kFactorySsid && r.text != "+OK=a1" && r.text != "+OK=a2") bad++;
        }
    };
    std::thread t1(hammer, "AT+SSID=a1", "AT+SSID=a2");
    std::thread t2(hammer, "AT+KEY=b1", "AT+KEY=b2");
    std::thread t3(reader);
    t1.join();
    t2.join();
    t3.join();
    EXPECT_EQ(bad.load(), 0);

    std::string text = root.profile();
    std::string ssid = text.find("\nSSID1=a1\n") != std::string::npos ? "a1" : "a2";
    std::string key = text.find("\nWPAPSK1=b1\n") != std::string::npos ? "b1" : "b2";
    EXPECT_EQ(text, profile_with({{"SSID1", ssid}, {"WPAPSK1", key}}));
    EXPECT_FALSE(root->exists(WIFI_PROFILE_TMP_PATH));
}
