// The module's command lines, the wireless profile store and the DHCP configuration
// editor.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <set>
#include <thread>

#include "unit_helpers.h"

// Every command line the module's system runs, as the target writes it, byte for byte.
TEST(SystemOps, TheModulesCommandLinesByteForByte) {
    const struct {
        wifi_op op;
        const char *text;
        int mtd;
        const char *line;
    } cases[] = {
        {WIFI_OP_DHCP_STOP, nullptr, -1, "/etc/init.d/dhcp stop"},
        {WIFI_OP_DHCP_START, nullptr, -1, "/etc/init.d/dhcp start"},
        {WIFI_OP_VLAN_SET, "1 2,3.4:5_6-aZ", -1, "/etc/init.d/vlan set 1 2,3.4:5_6-aZ"},
        {WIFI_OP_VLAN_SET, "", -1, "/etc/init.d/vlan set "},
        {WIFI_OP_VLAN_CLEAR, nullptr, -1, "/etc/init.d/vlan clear"},
        {WIFI_OP_SWITCH_READ, nullptr, -1, "switch reg read 80 2>&1"},
        {WIFI_OP_REBOOT, nullptr, -1, "reboot 2>&1"},
        {WIFI_OP_SURVEY_LIST, nullptr, -1, "iwpriv ra0 get_site_survey >wifi_scan.txt"},
        {WIFI_OP_SURVEY_RELIST, nullptr, -1, "iwpriv ra0 get_site_survey > wifi_scan.txt"},
        {WIFI_OP_SURVEY_START, nullptr, -1, "iwpriv ra0 set SiteSurvey= "},
        {WIFI_OP_SSH_STOP, nullptr, -1, "killall dropbear"},
        {WIFI_OP_SSH_START, nullptr, -1, "[ -f /usr/sbin/dropbear ] && /usr/sbin/dropbear -R -I 1800"},
        {WIFI_OP_ROOT_PASSWORD, "it's", -1, "echo root:'it'\\''s' |chpasswd"},
        {WIFI_OP_COUNT, nullptr, -1, nullptr},
        {WIFI_OP_FLASH_COPY, "/tmp/mtd_buf", 5, "flashcp /tmp/mtd_buf  /dev/mtd5"},
        {WIFI_OP_FLASH_COPY, "/tmp/mtd_buf", 6, "flashcp /tmp/mtd_buf  /dev/mtd6"},
        {WIFI_OP_RECORD_ERASE, nullptr, -1, "mtd_debug erase /dev/mtd2 0 0x10000"},
        {WIFI_OP_RECORD_WRITE, nullptr, -1, "cat /tmp/mtd2_buf > /dev/mtdblock2"},
        {WIFI_OP_VLAN_SET, nullptr, -1, nullptr},
        {WIFI_OP_FLASH_COPY, "tmp/a b", 5, nullptr},
        {WIFI_OP_FLASH_COPY, "/tmp/mtd_buf", -1, nullptr},
    };
    std::set<int> seen;
    for (const auto &c : cases) {
        char line[WIFI_OP_LINE_SIZE];
        memset(line, 'Z', sizeof(line));
        ASSERT_EQ(wifi_op_cmdline(c.op, c.text, c.mtd, line, sizeof(line)), c.line ? 0 : -1) << c.op;
        EXPECT_STREQ(line, c.line ? c.line : "") << c.op;
        if (c.line) seen.insert(c.op);
    }
    EXPECT_EQ(seen.size(), (size_t)WIFI_OP_COUNT) << "every operation has its line";
}

TEST(ProfileStore, ReadsAndRewrites) {
    const std::string nul_text = std::string("a=b\0x\n", 6) + "c=d\n" + std::string("\0\0\0", 3);
    // lines longer than the 511-byte pieces they are read in pass through whole, even
    // when a later piece starts like a line that sets the key
    const std::string long_line = "SSID1=" + std::string(600, 'x') + "\n" + std::string(511, 'y') + "SSID1=z\n";
    const struct {
        std::string text, key;
        std::string read;  // what the key reads before the write, "<-1>" for a failure
        std::string value;
        int ret;
        std::string after;
    } cases[] = {
        {"ApCliSSID1=a\nSSID1=b\nSSID10=SSID1=c\n#SSID1=old\n SSID1=old\nX=SSID1=y\n", "SSID1", "b", "new", 0,
         "ApCliSSID1=a\nSSID1=new\nSSID10=SSID1=c\n#SSID1=old\n SSID1=old\nX=SSID1=y\n"},
        {"#SSID1=old\n SSID1=old\n", "SSID1", "<-1>", "x", 0, "#SSID1=old\n SSID1=old\n"},
        {"A=1\nno newline at end", "NoSuchKey", "<-1>", "v", 0, "A=1\nno newline at end"},
        {"Channel=1\nA=b\nChannel=6\n", "Channel", "1", "11", 0, "Channel=11\nA=b\nChannel=11\n"},
        {"A=ab'cd\nB=\n", "A", "ab", "z", 0, "A=z\nB=\n"},
        {"A=1\nB=\n", "B", "keep", "2", 0, "A=1\nB=2\n"},  // an empty value leaves the buffer alone
        {"C=x=y\nD=tail", "D", "tail", "", 0, "C=x=y\nD=\n"},
        {"C=x=y\n", "C", "x=y", "a\nb", -1, "C=x=y\n"},
        {"C=x=y\n", "C", "x=y", "x\r\nWifiSwitch=OFF", -1, "C=x=y\n"},
        {"A=1\n" + long_line + "SSID1=short\n", "SSID1", std::string(127, 'x'), "new", 0,
         "A=1\n" + long_line + "SSID1=new\n"},
        {nul_text, "c", "d", "v", 0, std::string("a=b\0x\n", 6) + "c=v\n" + std::string("\0\0\0", 3)},
        {"A=1\n", std::string(63, 'k'), "<-1>", "x", -1, "A=1\n"},  // too long to search for
    };
    {
        FakePlatformScope none;  // no profile at all
        EXPECT_EQ(wifi_set_profile_value("K", "x"), -1);
        EXPECT_EQ(wifi_get_profile_value("K", std::vector<char>(16).data(), 16), -1);
        EXPECT_FALSE(none->exists(WIFI_PROFILE_PATH) || none->exists(WIFI_PROFILE_TMP_PATH));
    }
    for (const auto &c : cases) {
        SCOPED_TRACE(c.after);
        FakePlatformScope p;
        p->write_file(WIFI_PROFILE_PATH, c.text);
        char buf[128] = "keep";
        int r = wifi_get_profile_value(c.key.c_str(), buf, sizeof(buf));
        EXPECT_EQ(r == 0 ? std::string(buf) : "<-1>", c.read);
        EXPECT_EQ(wifi_set_profile_value(c.key.c_str(), c.value.c_str()), c.ret);
        EXPECT_EQ(p->read_file(WIFI_PROFILE_PATH), c.after);
        EXPECT_FALSE(p->exists(WIFI_PROFILE_TMP_PATH));
    }
}

TEST(DhcpEditor, RewritesOnlyTheLinesThatSetTheKey) {
    FakePlatformScope p;
    p->write_file(WIFI_DHCP_CFG_TMP_PATH, "stale\n");  // left by a failed rename: replaced
    const std::string long_line = "opt\trouter\t" + std::string(600, '1') + "\n";
    p->write_file(WIFI_DHCP_CFG_PATH,
                  "#opt router 1.1.1.1\nopt router 2.2.2.2 # old\nopt\trouter\t3.3.3.3\n  option router 4.4.4.4\n"
                  "opt routers 5.5.5.5\nrouter 6.6.6.6\nopt dns router\n" +
                      long_line +
                      "start 1\nstarter 7\ninterface br0\nlease_file /tmp/x\nmax_leases 10\noption\tlease\t60");
    EXPECT_EQ(wifi_modify_dhcp_cfg("router", "9.9.9.9"), 0);
    EXPECT_EQ(wifi_modify_dhcp_cfg("lease", "7200"), 0);
    EXPECT_EQ(wifi_modify_dhcp_cfg("start", "10.0.0.5"), 0);
    EXPECT_EQ(wifi_modify_dhcp_cfg("nosuch", "1"), 0);
    const std::string after =
        "#opt router 1.1.1.1\nopt router 2.2.2.2 # old\nopt\trouter\t9.9.9.9\nopt\trouter\t9.9.9.9\n"
        "opt routers 5.5.5.5\nopt\trouter\t9.9.9.9\nopt dns router\n" +
        long_line +
        "start\t\t10.0.0.5\nstarter 7\ninterface br0\nlease_file /tmp/x\nmax_leases 10\noption\tlease\t7200\n";
    EXPECT_EQ(p->read_file(WIFI_DHCP_CFG_PATH), after);
    // refused: line breaks, and a key that has no line format of its own
    for (const auto &kv : KV{{"start", "1.2.3.4\n"}, {"start", "1.2.3.4\rend 9.9.9.9"}, {"interface", "eth0"}}) {
        EXPECT_EQ(wifi_modify_dhcp_cfg(kv.first.c_str(), kv.second.c_str()), -1) << kv.second;
        EXPECT_EQ(p->read_file(WIFI_DHCP_CFG_PATH), after);
        EXPECT_FALSE(p->exists(WIFI_DHCP_CFG_TMP_PATH));
    }
    std::remove(p->path(WIFI_DHCP_CFG_PATH).c_str());
    EXPECT_EQ(wifi_modify_dhcp_cfg("start", "1.2.3.4"), -1);
    EXPECT_FALSE(p->exists(WIFI_DHCP_CFG_PATH) || p->exists(WIFI_DHCP_CFG_TMP_PATH));
}

TEST(ProfileStore, RewritesKeepModeAndRestoreReplacesTheProfileWhole) {
    SeededRoot root;
    const std::string path = root->path(WIFI_PROFILE_PATH);
    ASSERT_EQ(chmod(path.c_str(), 0640), 0);
    const wifi_kv kv[] = {{"Channel", "11"}, {"SSID1", "x"}, {"NoSuchKey", "y"}};
    EXPECT_EQ(wifi_set_profile_values(kv, 3), 0);
    EXPECT_EQ(root.profile(), profile_with({{"Channel", "11"}, {"SSID1", "x"}}));
    struct stat st;
    ASSERT_EQ(stat(path.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 07777, 0640u);

    EXPECT_EQ(dispatch("AT+RESTORE").text, "+OK");
    EXPECT_EQ(root.profile(), factory_profile_text());
    ASSERT_EQ(stat(path.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 07777, 0640u);
    EXPECT_TRUE(root->ops.empty());

    // Without a factory copy the profile stays as it is.
    std::remove(root->path(WIFI_FACTORY_PROFILE_PATH).c_str());
    ASSERT_EQ(wifi_set_profile_value("SSID1", "kept"), 0);
    EXPECT_EQ(dispatch("AT+RESTORE").text, "+ERR");
    EXPECT_EQ(root.profile(), profile_with({{"SSID1", "kept"}}));
    EXPECT_FALSE(root->exists(WIFI_PROFILE_TMP_PATH));
}

// The profile is kept in memory; a change by another process, of any kind, is seen by
// the next query and the next rewrite: with fine file times once the kept copy has
// settled, and with whole-second times within the second the copy was read in.
TEST(ProfileStore, QueriesAndRewritesSeeEveryOutsideChange) {
    auto query = [] {
        char buf[128] = {0};
        return wifi_get_profile_value("SSID1", buf, sizeof(buf)) == 0 ? std::string(buf) : "<-1>";
    };
    enum Kind { RenameOver, InPlaceSameSize, CopyOnto };
    for (int c = 0; c < 12; c++) {
        SCOPED_TRACE(c);
        const bool coarse = c / 6, rewrite_first = c % 2;
        const Kind kind = Kind(c / 2 % 3);
        FakePlatformScope p;
        p->coarse_file_times = coarse;
        const std::string path = p->path(WIFI_PROFILE_PATH);
        p->write_file(WIFI_PROFILE_PATH, "A=1\nSSID1=old\n");
        if (!coarse) usleep(60 * 1000);  // past a clock tick: the copy is kept
        EXPECT_EQ(query(), "old");
        EXPECT_EQ(query(), "old");
        if (kind == RenameOver) {
            p->write_file("/config/other", "A=1\nSSID1=new\n");
            ASSERT_EQ(rename(p->path("/config/other").c_str(), path.c_str()), 0);
        } else if (kind == InPlaceSameSize) {
            FILE *f = fopen(path.c_str(), "r+");
            ASSERT_TRUE(f != nullptr);
            fseek(f, 10, SEEK_SET);
            fputs("new", f);
            fclose(f);
        } else {
            p->write_file(WIFI_PROFILE_PATH, "A=1\nSSID1=new\n");  // truncated and written, as cp does
        }
        if (!rewrite_first) {
            EXPECT_EQ(query(), "new");
        }
        ASSERT_EQ(wifi_set_profile_value("A", "2"), 0);
        EXPECT_EQ(p->read_file(WIFI_PROFILE_PATH), "A=2\nSSID1=new\n");
        EXPECT_EQ(query(), "new");
    }
}

// The kept copy has a lock of its own: queries and rewrites on two threads at once
// (outside the dispatcher's lock) read only whole values.
TEST(ProfileStore, QueriesAndRewritesOnTwoThreads) {
    SeededRoot root;
    std::thread writer([] {
        for (int i = 0; i < 100; i++) wifi_set_profile_value("SSID1", i % 2 ? "aaaaaaaaaa" : "bbbbbbbbbb");
    });
    std::set<std::string> seen;
    for (int i = 0; i < 400; i++) {
        char buf[128] = {0};
        seen.insert(wifi_get_profile_value("SSID1", buf, sizeof(buf)) == 0 ? buf : "<-1>");
    }
    writer.join();
    seen.erase("QEL_NVR_AP");
    seen.erase("aaaaaaaaaa");
    seen.erase("bbbbbbbbbb");
    EXPECT_TRUE(seen.empty()) << *seen.begin();
}
