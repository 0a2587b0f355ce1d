// libwlink's byte layouts, reply forms, setting checks and package checks.
#include <gtest/gtest.h>

#include <sstream>

#include "wlink.h"
#include "wlink_int.h"
#include "wlink_package.h"

namespace {

using Bytes = std::vector<uint8_t>;

Bytes hex(const std::string &s) {
    std::istringstream in(s);
    Bytes b;
    for (unsigned v; in >> std::hex >> v;) b.push_back(static_cast<uint8_t>(v));
    return b;
}

TEST(Wire, FramesAndDatagramsByteForByte) {
    uint8_t out[64];
    const std::string text = "+OK=0123456789abcdefghijklmnop";
    ASSERT_EQ(wlink_frames_encode(text.data(), text.size(), out, sizeof out), 48u);
    EXPECT_EQ(Bytes(out, out + 48),
              hex("1e 0c 00 2b 4f 4b 3d 30 31 32 33 34 35 36 37 c8  1e 0c 0c 38 39 61 62 63 64 65 66 67 68 69 6a 9e"
                  "  1e 06 18 6b 6c 6d 6e 6f 70 00 00 00 00 00 00 cd"));
    ASSERT_EQ(wlink_frames_encode("AT+", 3, out, sizeof out), 16u);
    EXPECT_EQ(Bytes(out, out + 16), hex("03 03 00 41 54 2b 00 00 00 00 00 00 00 00 00 c6"));
    EXPECT_EQ(wlink_frames_encode("", 0, out, sizeof out), 16u);
    EXPECT_EQ(Bytes(out, out + 16), Bytes(16, 0));
    EXPECT_EQ(wlink_frames_encode(text.data(), text.size(), out, 47), 0u) << "too small";
    ASSERT_EQ(wlink_datagram_encode(7, "AT+", 3, out, sizeof out), 14u);
    EXPECT_EQ(Bytes(out, out + 14), hex("55 44 33 22 73 65 71 07 2c 03 41 54 2b c0"));
    EXPECT_EQ(wlink_datagram_encode(7, std::string(128, 'x').c_str(), 128, out, sizeof out), 0u);

    const Bytes good = hex("66 77 78 79 73 65 71 07 2c 03 2b 4f 4b c5");
    const auto with = [&](size_t i, uint8_t v) {
        Bytes d = good;
        d.resize(std::max(d.size(), i + 1));
        d[i] = v;
        return d;
    };
    const struct {
        Bytes d;
        wlink_status want;
    } cases[] = {
        {good, WLINK_OK},
        {hex("66 77 78 79 73 65 71 00 2c 00 00"), WLINK_OK},
        {with(0, 0x55), WLINK_BAD_REPLY},
        {with(5, 'E'), WLINK_BAD_REPLY},
        {with(13, 0xc6), WLINK_BAD_REPLY},
        {with(14, 0), WLINK_BAD_REPLY},
        {with(9, 4), WLINK_BAD_REPLY},
        {Bytes(good.begin(), good.end() - 1), WLINK_BAD_REPLY},
        {{}, WLINK_BAD_REPLY},
    };
    for (const auto &c : cases) {
        char text_out[256] = "old";
        uint8_t seq = 0;
        EXPECT_EQ(wlink_datagram_decode(c.d.data(), c.d.size(), &seq, text_out, sizeof text_out), c.want) << c.d.size();
        if (c.want == WLINK_OK && c.d.size() == 14) {
            EXPECT_STREQ(text_out, "+OK");
        }
    }
}

TEST(Wire, SettingsAreCheckedAsTheModuleTakesThem) {
    const std::string hex64(64, 'g'), ssid33(33, 's');  // 64 characters that are not hex digits
    const struct {
        wlink_setting s;
        const char *value;
        int force;
        const char *cmd;
    } cases[] = {
        {WLINK_KEY, "12345678", 0, "AT+KEY=12345678"},
        {WLINK_KEY, "short", 0, nullptr},
        {WLINK_KEY, "short", 1, "AT+KEY=short"},
        {WLINK_KEY, hex64.c_str(), 0, nullptr},
        {WLINK_WIFI, "on", 0, "AT+WIFI=ON"},
        {WLINK_WIFI, "maybe", 0, nullptr},
        {WLINK_CHANNEL, "auto", 0, "AT+CHANNEL=auto"},
        {WLINK_CHANNEL, "0", 0, nullptr},
        {WLINK_DHCP, "100 50 24", 0, "AT+DHCP=100 50 24h"},
        {WLINK_DHCP, "Off", 0, "AT+DHCP=OFF"},
        {WLINK_DHCP, "200 60 1h", 0, nullptr},
        {WLINK_LANIP, "10.0.0.256", 0, nullptr},
        {WLINK_SSID, "a\nb", 1, nullptr},
        {WLINK_SSID, ssid33.c_str(), 0, nullptr},
        {WLINK_VLAN, "1,2;reboot", 0, nullptr},
        {WLINK_PORTS, "x", 1, nullptr},
    };
    for (const auto &c : cases) {
        char cmd[128] = "", why[160] = "";
        const wlink_status st = wlink_setting_command(c.s, c.value, c.force, cmd, sizeof cmd, why, sizeof why);
        EXPECT_EQ(st == WLINK_OK, c.cmd != nullptr) << c.value << ": " << why;
        if (c.cmd) {
            EXPECT_STREQ(cmd, c.cmd);
        } else {
            EXPECT_NE(why[0], 0);
        }
    }
}

TEST(Wire, PackageChecksNameStoredAndComputedValues) {
    const Bytes pkg = wlink::build_package(wlink::wrap_image({}, Bytes(1000, 1)), Bytes(300, 2), 1, 2);
    wlink_package_info i;
    WLINK_INIT(i);
    ASSERT_EQ(wlink_package_check(pkg.data(), pkg.size(), &i), WLINK_OK);
    EXPECT_EQ(i.image_len * 1000 + i.app_len, 1000u * 1000 + 300u);
    Bytes bad = pkg;
    bad[20 + 4] ^= 0x01;  // the stored header CRC
    ASSERT_EQ(wlink_package_check(bad.data(), bad.size(), &i), WLINK_BAD_PACKAGE);
    char want[96];
    snprintf(want, sizeof want, "image header CRC: stored 0x%08X, computed 0x%08X", i.computed_header_crc ^ 0x01000000u,
             i.computed_header_crc);
    EXPECT_STREQ(i.reason, want);
    const Bytes image(pkg.begin() + 20, pkg.begin() + 20 + 1064);
    EXPECT_EQ(wlink_package_check(image.data(), image.size(), &i), WLINK_BAD_PACKAGE);
    EXPECT_TRUE(i.is_bare_image);
    bad = pkg;
    bad[0] ^= 0x01;  // the module stores the version header: one it cannot store is refused first
    EXPECT_EQ(wlink_package_check(bad.data(), bad.size(), &i), WLINK_BAD_PACKAGE);
    EXPECT_STREQ(i.reason, "version header magic 0x514D is not 0x514C");
    // A caller built against an older, shorter record gets no byte past it.
    struct {
        wlink_package_info head;
        unsigned char after[8];
    } old;
    memset(&old, 0xAB, sizeof old);
    old.head.size = offsetof(wlink_package_info, minor);
    EXPECT_EQ(wlink_package_check(pkg.data(), pkg.size(), &old.head), WLINK_OK);
    EXPECT_EQ(old.head.major, 1u);
    EXPECT_EQ(old.head.minor, 0xABABABABu) << "past the caller's size";
    old.head.size = 0;
    EXPECT_EQ(wlink_package_check(pkg.data(), pkg.size(), &old.head), WLINK_BAD_ARGUMENT);
    char near[32];
    wlink_command_closest("AT+SSDI", near, sizeof near);
    EXPECT_STREQ(near, "AT+SSID");
    wlink_command_closest("AT+FLASHINF", near, sizeof near);
    EXPECT_STREQ(near, "AT+FLASHINFO");
}

TEST(Wire, RepliesMustFitTheirCommand) {
    const struct {
        const char *cmd, *reply;
        wlink_status want;
    } cases[] = {
        {"AT+", "+OK", WLINK_OK},
        {"AT+CNUM", "+OK=3", WLINK_OK},
        {"AT+CNUM", "+OK=secret123", WLINK_BAD_REPLY},
        {"AT+SSID=x", "+OK=x", WLINK_BAD_REPLY},
        {"AT+SSID", "+OK", WLINK_BAD_REPLY},
        {"AT+SSIDXYZ", "+OK=a", WLINK_OK},
        {"AT+CINFO=sta 0", "+OK=a,1\n", WLINK_OK},
        {"AT+NOPE", "+OK", WLINK_BAD_REPLY},
        {"AT+NOPE", "+ERR", WLINK_ERR_REPLY},
        {"AT+VER", "hello", WLINK_BAD_REPLY},
    };
    for (const auto &c : cases) EXPECT_EQ(wlink_reply_matches(c.cmd, c.reply), c.want) << c.cmd << " " << c.reply;
    wlink_link *l = nullptr;
    EXPECT_EQ(wlink_open_serial("/dev/null", &l), WLINK_OPEN_FAILED) << "not a serial port";
}

}  // namespace
