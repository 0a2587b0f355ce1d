// Shell capture, lower-casing and the wireless profile store.
#include <gtest/gtest.h>

#include "unit_helpers.h"

TEST(ShellExec, CapturesWholePiecesThatFit) {
    FakePlatformScope p;
    p->shell_output["two"] = "a\nb\n";
    char out[128];
    memset(out, 0, sizeof(out));
    EXPECT_EQ(wifi_shell_exec("two", out, sizeof(out)), 0);
    EXPECT_STREQ(out, "a\nb\n");
    EXPECT_EQ(p->shell_lines, std::vector<std::string>{"two 2>&1"});

    // size 4: the second piece would bring the count to 4, which is not below 4
    char small[4];
    memset(small, 'Z', sizeof(small));
    EXPECT_EQ(wifi_shell_exec("two", small, sizeof(small)), 0);
    EXPECT_EQ(std::string(small, 4), std::string("a\n\0Z", 4));
}

TEST(ShellExec, LongLinesArriveIn255CharacterPieces) {
    FakePlatformScope p;
    p->shell_output["long"] = std::string(300, 'x');
    std::vector<char> big(512, 0);
    EXPECT_EQ(wifi_shell_exec("long", big.data(), (int32_t)big.size()), 0);
    EXPECT_EQ(std::string(big.data()), std::string(300, 'x'));
    std::vector<char> mid(256, 0);
    EXPECT_EQ(wifi_shell_exec("long", mid.data(), (int32_t)mid.size()), 0);
    EXPECT_EQ(std::string(mid.data()), std::string(255, 'x'));
}

TEST(ShellExec, QuietFailingAndRefusedCommands) {
    FakePlatformScope p;
    p->shell_output["quiet"] = "";
    char out[16] = "keep";
    EXPECT_EQ(wifi_shell_exec("quiet", out, sizeof(out)), 0);
    EXPECT_STREQ(out, "keep");

    char err[128] = {0};
    EXPECT_EQ(wifi_shell_exec("nosuchtool", err, sizeof(err)), 0);
    EXPECT_STREQ(err, "sh: nosuchtool: not found\n");

    EXPECT_EQ(wifi_shell_exec(nullptr, out, sizeof(out)), -1);
    EXPECT_EQ(wifi_shell_exec("x", nullptr, 16), -1);
    EXPECT_EQ(wifi_shell_exec("x", out, 0), -1);
    EXPECT_EQ(p->shell_lines.size(), 2u);  // the refused calls ran nothing

    p->shell_open_fails = true;
    EXPECT_EQ(wifi_shell_exec("quiet", out, sizeof(out)), -1);
}

TEST(ShellExec, CommandLineIsCutTo255Characters) {
    FakePlatformScope p;
    char out[16];
    std::string cmd(300, 'c');
    EXPECT_EQ(wifi_shell_exec(cmd.c_str(), out, sizeof(out)), 0);
    ASSERT_EQ(p->shell_lines.size(), 1u);
    EXPECT_EQ(p->shell_lines[0], std::string(255, 'c'));
    cmd = std::string(250, 'c');
    EXPECT_EQ(wifi_shell_exec(cmd.c_str(), out, sizeof(out)), 0);
    EXPECT_EQ(p->shell_lines[1], cmd + " 2>&1");
}

TEST(StrToLower, OnlyAsciiCapitals) {
    const std::pair<std::string, std::string> cases[] = {
        {"WPA2PSK", "wpa2psk"}, {"", ""}, {"AbZ-09@[`{", "abz-09@[`{"}, {"\x80\xC1Q", "\x80\xC1q"}};
    for (const auto &c : cases) {
        std::vector<char> t(c.first.begin(), c.first.end());
        t.push_back('\0');
        EXPECT_EQ(wifi_str_tolower(t.data()), 0);
        EXPECT_EQ(std::string(t.data()), c.second);
    }
    EXPECT_EQ(wifi_str_tolower(nullptr), -1);
}

// ---------------------------------------------------------------------------

namespace {

class Profile : public ::testing::Test {
protected:
    void seed(const std::string &text) { p_->write_file(WIFI_PROFILE_PATH, text); }
    std::string file() { return p_->read_file(WIFI_PROFILE_PATH); }
    // Reads a key into a pre-filled buffer of `size` bytes.
    std::pair<int, std::string> get(const char *key, int32_t size = 128) {
        std::vector<char> buf((size_t)size + 1, 'Q');
        buf[(size_t)size - 1] = '\0';
        if (size > 1) buf[0] = '\0';
        int r = wifi_get_profile_value(key, buf.data(), size);
        return {r, std::string(buf.data())};
    }
    FakePlatformScope p_;
};

}  // namespace

TEST_F(Profile, WritesOnlyTheLineWhoseKeyMatchesExactly) {
    seed("ApCliSSID1=a\nSSID1=b\nSSID10=c\n#SSID1=old\n SSID1=old\nX=SSID1=y\n");
    EXPECT_EQ(wifi_set_profile_value("SSID1", "new"), 0);
    EXPECT_EQ(file(), "ApCliSSID1=a\nSSID1=new\nSSID10=c\n#SSID1=old\n SSID1=old\nX=SSID1=y\n");
    EXPECT_EQ(get("SSID1"), std::make_pair(0, std::string("new")));
    EXPECT_FALSE(p_->exists(WIFI_PROFILE_TMP_PATH));
}

TEST_F(Profile, CommentedAndIndentedLinesAreNeverRead) {
    seed("#SSID1=old\n SSID1=old\n");
    EXPECT_EQ(get("SSID1").first, -1);
    EXPECT_EQ(wifi_set_profile_value("SSID1", "x"), 0);
    EXPECT_EQ(file(), "#SSID1=old\n SSID1=old\n");
}

TEST_F(Profile, AbsentKeyLeavesTheFileByteForByte) {
    const std::string text = factory_profile_text() + "no newline at end";
    seed(text);
    EXPECT_EQ(wifi_set_profile_value("NoSuchKey", "v"), 0);
    EXPECT_EQ(file(), text);
    EXPECT_EQ(get("NoSuchKey").first, -1);
}

TEST_F(Profile, DuplicateKeysAreAllReplacedAndTheFirstIsRead) {
    seed("Channel=1\nA=b\nChannel=6\n");
    EXPECT_EQ(get("Channel"), std::make_pair(0, std::string("1")));
    EXPECT_EQ(wifi_set_profile_value("Channel", "11"), 0);
    EXPECT_EQ(file(), "Channel=11\nA=b\nChannel=11\n");
}

TEST_F(Profile, ValueShapes) {
    seed("A=ab'cd\nB=\nC=x=y\nD=tail\n");
    EXPECT_EQ(get("A"), std::make_pair(0, std::string("ab")));
    EXPECT_EQ(get("B"), std::make_pair(0, std::string("")));
    EXPECT_EQ(get("C"), std::make_pair(0, std::string("x=y")));
    EXPECT_EQ(get("D"), std::make_pair(0, std::string("tail")));  // last line without newline
    // an empty value leaves the caller's buffer as it was
    char keep[8] = "keep";
    EXPECT_EQ(wifi_get_profile_value("B", keep, sizeof(keep)), 0);
    EXPECT_STREQ(keep, "keep");
    // the replaced line drops whatever followed the old value
    EXPECT_EQ(wifi_set_profile_value("A", "z"), 0);
    EXPECT_EQ(wifi_set_profile_value("D", ""), 0);
    EXPECT_EQ(file(), "A=z\nB=\nC=x=y\nD=\n");
}

TEST_F(Profile, LongValuesAreCutToTheBuffer) {
    seed("K=0123456789\n");
    EXPECT_EQ(get("K", 5), std::make_pair(0, std::string("0123")));
    EXPECT_EQ(get("K", 11), std::make_pair(0, std::string("0123456789")));
    EXPECT_EQ(get("K", 1), std::make_pair(0, std::string("")));
}

TEST_F(Profile, MissingProfile) {
    EXPECT_EQ(wifi_set_profile_value("SSID1", "x"), -1);
    EXPECT_EQ(get("SSID1").first, -1);
    EXPECT_FALSE(p_->exists(WIFI_PROFILE_PATH));
    EXPECT_FALSE(p_->exists(WIFI_PROFILE_TMP_PATH));
}

TEST_F(Profile, LineBreaksInValuesAreRefused) {
    seed(factory_profile_text());
    for (const char *v : {"a\nb", "a\r", "\n", "x\r\nWifiSwitch=OFF"}) {
        EXPECT_EQ(wifi_set_profile_value("SSID1", v), -1);
        EXPECT_EQ(file(), factory_profile_text());
        EXPECT_FALSE(p_->exists(WIFI_PROFILE_TMP_PATH));
    }
}

TEST_F(Profile, BadArguments) {
    seed("A=1\n");
    char out[8];
    EXPECT_EQ(wifi_set_profile_value(nullptr, "x"), -1);
    EXPECT_EQ(wifi_set_profile_value("A", nullptr), -1);
    EXPECT_EQ(wifi_get_profile_value(nullptr, out, 8), -1);
    EXPECT_EQ(wifi_get_profile_value("A", nullptr, 8), -1);
    EXPECT_EQ(wifi_get_profile_value("A", out, 0), -1);
    // a key too long for the 64-byte search text
    EXPECT_EQ(wifi_set_profile_value(std::string(63, 'k').c_str(), "x"), -1);
    EXPECT_EQ(file(), "A=1\n");
}

TEST_F(Profile, StaleTemporaryFileIsReplaced) {
    seed("A=1\n");
    p_->write_file(WIFI_PROFILE_TMP_PATH, "garbage\ngarbage\n");
    EXPECT_EQ(wifi_set_profile_value("A", "2"), 0);
    EXPECT_EQ(file(), "A=2\n");
    EXPECT_FALSE(p_->exists(WIFI_PROFILE_TMP_PATH));
}

TEST_F(Profile, LinesLongerThanTheBufferPassThroughWhole) {
    // 600 characters after "SSID1=": the line is read in pieces, none of which may
    // be replaced or end up as a line of its own.
    const std::string long_line = "SSID1=" + std::string(600, 'x') + "\n";
    const std::string tail_key = std::string(505, 'y') + "SSID1=z\n";  // key text inside a later piece
    seed("A=1\n" + long_line + tail_key + "SSID1=short\n");
    EXPECT_EQ(wifi_set_profile_value("SSID1", "new"), 0);
    EXPECT_EQ(file(), "A=1\n" + long_line + tail_key + "SSID1=new\n");
}

TEST(DhcpCfg, LinesLongerThanTheBufferPassThroughWhole) {
    FakePlatformScope p;
    const std::string long_line = "opt\trouter\t" + std::string(600, '1') + "\n";
    p->write_file(WIFI_DHCP_CFG_PATH, long_line + "opt\trouter\t10.0.0.1\n");
    EXPECT_EQ(wifi_modify_dhcp_cfg("router", "10.0.0.2"), 0);
    EXPECT_EQ(p->read_file(WIFI_DHCP_CFG_PATH), long_line + "opt\trouter\t10.0.0.2\n");
}

TEST_F(Profile, StrayNulBytesSurviveARewrite) {
    // A power cut can leave zero bytes in a file; they must not swallow the line end.
    const std::string text = std::string("a=b\0x\n", 6) + "c=d\n" + std::string("\0\0\0", 3);
    seed(text);
    EXPECT_EQ(wifi_set_profile_value("c", "v"), 0);
    EXPECT_EQ(file(), std::string("a=b\0x\n", 6) + "c=v\n" + std::string("\0\0\0", 3));
}
