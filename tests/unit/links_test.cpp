// The two links: the serial byte stream (a socket pair stands in for the port) and
// UDP datagrams (parsed in memory, and served over loopback).
#include <arpa/inet.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <pty.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <filesystem>
#include <fstream>

#include <sodium.h>

#include "unit_helpers.h"
#include "wifi_udp_auth.h"

namespace {

using Bytes = std::vector<uint8_t>;

Bytes frame(unsigned total, unsigned offset, const std::string &chunk) {
    Bytes f(16);
    wifi_frame_build(f.data(), total, offset, chunk.data(), chunk.size());
    return f;
}

// The frames of one message, back to back, as the module sends them.
Bytes frames_of(const std::string &text) {
    Bytes out;
    size_t off = 0;
    do {
        Bytes f = frame(text.size(), off, text.substr(off, 12));
        out.insert(out.end(), f.begin(), f.end());
        off += 12;
    } while (off < text.size());
    return out;
}

Bytes cat(std::initializer_list<Bytes> parts) {
    Bytes out;
    for (const Bytes &p : parts) out.insert(out.end(), p.begin(), p.end());
    return out;
}

class SerialLink : public ::testing::Test {
protected:
    void SetUp() override {
        int sv[2];
        ASSERT_EQ(socketpair(AF_UNIX, SOCK_STREAM | SOCK_NONBLOCK, 0, sv), 0);
        g_uart_fd.reset(sv[0]);
        peer_ = sv[1];
    }
    void TearDown() override {
        g_uart_fd.reset();
        close(peer_);
    }
    void put(const Bytes &b) { ASSERT_EQ(write(peer_, b.data(), b.size()), (ssize_t)b.size()); }
    // Every command the receive hands on until it gives up, joined by '|'.
    std::string commands() {
        std::string out;
        for (;;) {
            char buf[WIFI_CMD_BUF_SIZE];
            memset(buf, 0, sizeof(buf));
            int32_t len = 0;
            if (wifi_uart_recv_msg(buf, &len) != 0) return out;
            EXPECT_EQ(len, (int32_t)strlen(buf));
            out += (out.empty() ? "" : "|") + std::string(buf);
        }
    }

    FakePlatformScope plat_;
    int peer_ = -1;
};

}  // namespace

TEST_F(SerialLink, RepliesArePaced15MsApart) {
    wifi_uart_send_msg("+OK=abcdefghijklmnopqrstuvwxyz", 30);  // three frames
    EXPECT_EQ(plat_->slept_ms, 30u);                           // between frames, not after the last
}

TEST_F(SerialLink, CutsWholeCommandsOutOfTheByteStream) {
    const Bytes hb = frames_of("AT+"), two = frames_of("AT+SSID=abcdefghijklmnop");
    Bytes bad = hb;
    bad[15]++;
    Bytes other = frames_of("AT+KEY=correct-horse-battery");  // three frames
    const struct {
        const char *what;
        Bytes line;
        std::string want;
    } cases[] = {
        {"after a bad frame", cat({bad, hb}), "AT+"},
        {"after stray bytes", cat({Bytes{0x41, 0x03}, hb, hb}), "AT+|AT+"},
        {"two commands in one read", cat({two, hb}), "AT+SSID=abcdefghijklmnop|AT+"},
        {"the longest command", frames_of(std::string(127, 'z')), std::string(127, 'z')},
        {"middle frame lost",
         cat({Bytes(other.begin(), other.begin() + 16), Bytes(other.begin() + 32, other.end()), hb}), "AT+"},
        {"start of one message, end of another",
         cat({Bytes(other.begin(), other.begin() + 16), Bytes(two.begin() + 16, two.end()), hb}), "AT+"},
        {"a frame repeated", cat({Bytes(two.begin(), two.begin() + 16), two}), "AT+SSID=abcdefghijklmnop"},
        {"frames beyond the command buffer", cat({frame(128, 0, "AT+"), frame(127, 120, "zzzzzzzz"), hb}), "AT+"},
        {"peer error notices", cat({frames_of("+err=-1"), frames_of("+err=-10"), hb}), "+err=-10|AT+"},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.what);
        wifi_uart_link_reset();
        put(c.line);
        EXPECT_EQ(commands(), c.want);
    }
}

TEST_F(SerialLink, FramesInPiecesAndLeftoversOfTheLastReceive) {
    Bytes two = cat({frames_of("AT+SSID=abcdefghijklmnop"), frames_of("AT+")});
    // Byte by byte: each read finds a piece of a frame, and the receive waits for the rest.
    size_t next = 0;
    plat_->on_sleep = [&](unsigned) {
        if (next < two.size()) put(Bytes{two[next++]});
    };
    put(Bytes{two[next++]});
    EXPECT_EQ(commands(), "AT+SSID=abcdefghijklmnop|AT+");
    plat_->on_sleep = nullptr;

    // Bytes read together with a command stay for the next receive, which needs no read.
    const Bytes b = frames_of("AT+B");
    put(cat({frames_of("AT+A"), Bytes(b.begin(), b.begin() + 9)}));
    char buf[WIFI_CMD_BUF_SIZE] = {0};
    int32_t len = 0;
    ASSERT_EQ(wifi_uart_recv_msg(buf, &len), 0);
    EXPECT_STREQ(buf, "AT+A");
    put(Bytes(b.begin() + 9, b.end()));
    EXPECT_EQ(commands(), "AT+B");
}

TEST_F(SerialLink, JunkUsesTheIdleBudgetAndIsDrainedFast) {
    // Twenty reads without a good frame end the receive, however much each brought.
    int reads = 0;
    Bytes junk(300, 0x5A);
    plat_->on_sleep = [&](unsigned) {
        if (++reads < 25) put(junk);
    };
    put(junk);
    char buf[WIFI_CMD_BUF_SIZE] = {0};
    int32_t len = 0;
    EXPECT_EQ(wifi_uart_recv_msg(buf, &len), -1);
    EXPECT_EQ(reads, 19);  // 20 reads, a 5 ms pause between them
    EXPECT_EQ(plat_->slept_ms, 19u * 5u);
    plat_->on_sleep = nullptr;
    put(frames_of("AT+"));  // what was left of the junk does not hide the next command
    EXPECT_EQ(commands(), "AT+");
}

TEST(UartPort, OpenIsRetriedEverySecondUntilTheDeviceIsThere) {
    FakePlatformScope plat;
    std::filesystem::create_directories(plat->path("/dev"));
    int master, slave, sleeps = 0;
    char name[128];
    ASSERT_EQ(openpty(&master, &slave, name, nullptr, nullptr), 0);
    plat->on_sleep = [&](unsigned ms) {
        EXPECT_EQ(ms, 1000u);
        if (++sleeps == 3) std::filesystem::create_symlink(name, plat->path(WIFI_UART_DEV));
    };
    testing::internal::CaptureStdout();
    wifi_uart_open_wait();
    std::string out = testing::internal::GetCapturedStdout();
    EXPECT_EQ(sleeps, 3);
    ASSERT_TRUE(g_uart_fd.valid());
    EXPECT_EQ(fcntl(g_uart_fd.get(), F_GETFD) & FD_CLOEXEC, FD_CLOEXEC);
    termios t{};  // 115200 8N1, given before the open
    ASSERT_EQ(tcgetattr(slave, &t), 0);
    EXPECT_EQ(t.c_cflag & (CSIZE | PARENB | CSTOPB | CBAUD | CBAUDEX), (tcflag_t)(CS8 | B115200));
    EXPECT_EQ(std::count(out.begin(), out.end(), '\n'), 4) << out;  // the first failure, one retry line, success
    for (int fd : {master, slave}) close(fd);
    g_uart_fd.reset();
}

// Settings that cannot be read are never written back, and every refusal says so.
TEST(UartPort, SettersAnswerZeroOrMinusOne) {
    FakePlatformScope plat;
    std::filesystem::create_directories(plat->path("/dev"));
    std::ofstream(plat->path(WIFI_UART_DEV)) << "not a terminal";
    int master, slave;
    ASSERT_EQ(openpty(&master, &slave, nullptr, nullptr, nullptr), 0);
    testing::internal::CaptureStdout();
    EXPECT_EQ(wifi_uart_init() + wifi_uart_set_speed(slave, 12345) + wifi_uart_set_parity(slave, 9, 1, 'S'), -3);
    EXPECT_EQ(testing::internal::GetCapturedStdout(),
              "tcgetattr failed, speed not set!\n====/dev/ttyS0 line settings not applied==============\n"
              "unsupported speed 12345, speed not set!\nUnsupported data size!/n\n");
    for (int fd : {master, slave}) close(fd);
}

TEST(Udp, DatagramLimits) {
    auto dgram = [](int8_t seq, const std::string &text) {
        std::string d = std::string("\x55\x44\x33\x22seq") + (char)seq + ',' + (char)text.size() + text +
                        (char)wifi_udp_checksum((const uint8_t *)text.data(), text.size());
        return Bytes(d.begin(), d.end());
    };
    const std::pair<Bytes, std::string> cases[] = {
        {dgram(3, std::string(127, 'a')), "3:" + std::string(127, 'a')},
        {dgram(3, std::string(128, 'a')), "3:<-1>"},  // 128 and more dropped, checksum or not
        {dgram(-128, ""), "-128:"},
        {Bytes{0x55, 0x44, 0x33, 0x22, 0, 0, 0, 5, 0, 0}, "99:<-1>"},  // short of its checksum
    };
    for (const auto &c : cases) {
        uint8_t buf[WIFI_UDP_BUF_SIZE] = {0};
        memcpy(buf, c.first.data(), std::min(c.first.size(), sizeof(buf)));
        char payload[WIFI_UDP_BUF_SIZE];
        int32_t seq = 99;
        int r = wifi_udp_parse_cmd(buf, c.first.size(), &seq, payload);
        EXPECT_EQ(std::to_string(seq) + ":" + (r == 0 ? std::string(payload) : "<-1>"), c.second) << c.second;
    }
    for (size_t len : {245u, 255u}) {  // a reply longer than a datagram holds is cut to 245
        uint8_t out[WIFI_UDP_BUF_SIZE];
        ASSERT_EQ(wifi_udp_build_reply(-1, std::string(len, 'A').c_str(), out), 256u) << len;
        EXPECT_EQ(out[7] + out[9] + out[255], 0xFF + 245 + (uint8_t)(245 * 'A'));
    }
}

namespace {

// An authenticated command datagram as a host makes it, its code computed here.
Bytes auth_dgram(const uint8_t *key, uint64_t counter, uint8_t seq, const std::string &text) {
    Bytes d = {0x55, 0x44, 0x33, 0x23};
    for (int i = 7; i >= 0; i--) d.push_back((uint8_t)(counter >> (8 * i)));
    d.push_back(seq);
    d.push_back((uint8_t)text.size());
    d.insert(d.end(), text.begin(), text.end());
    uint8_t code[crypto_auth_hmacsha256_BYTES];
    crypto_auth_hmacsha256(code, d.data(), d.size(), key);
    d.insert(d.end(), code, code + 16);
    return d;
}

}  // namespace

TEST(Udp, UnderAKeyOnlyFreshDatagramsWithTheirCodeAreTaken) {
    uint8_t key[32], other[32];
    for (int i = 0; i < 32; i++) key[i] = (uint8_t)i, other[i] = (uint8_t)(i + 1);
    wifi_udp_auth_set_key(key);
    char payload[WIFI_UDP_BUF_SIZE];
    int32_t seq = 0;
    uint64_t counter = 0;
    auto open = [&](const Bytes &d) { return wifi_udp_auth_open(d.data(), d.size(), &seq, &counter, payload); };
    const Bytes good = auth_dgram(key, 5, 9, "AT+SSID");
    ASSERT_EQ(open(good), WIFI_UDP_AUTH_OK);
    EXPECT_EQ(std::string(payload) + " " + std::to_string(seq) + " " + std::to_string(counter), "AT+SSID 9 5");
    // Each region of a fresh datagram changed in turn, and old counters.
    const Bytes next = auth_dgram(key, 6, 9, "AT+SSID");
    const struct {
        size_t at;
        wifi_udp_auth_verdict want;
    } flips[] = {
        {0, WIFI_UDP_AUTH_PLAIN}, {4, WIFI_UDP_AUTH_CODE},  {11, WIFI_UDP_AUTH_CODE}, {12, WIFI_UDP_AUTH_CODE},
        {13, WIFI_UDP_AUTH_BAD},  {14, WIFI_UDP_AUTH_CODE}, {21, WIFI_UDP_AUTH_CODE}, {36, WIFI_UDP_AUTH_CODE},
    };
    for (const auto &f : flips) {
        Bytes d = next;
        d[f.at] ^= 0x01;
        EXPECT_EQ(open(d), f.want) << "byte " << f.at;
    }
    EXPECT_EQ(open(Bytes(next.begin(), next.end() - 1)), WIFI_UDP_AUTH_BAD);
    EXPECT_EQ(open(auth_dgram(other, 6, 9, "AT+SSID")), WIFI_UDP_AUTH_CODE);
    EXPECT_EQ(open(good), WIFI_UDP_AUTH_REPLAY);
    EXPECT_EQ(open(auth_dgram(key, 4, 9, "AT+SSID")), WIFI_UDP_AUTH_REPLAY);
    EXPECT_EQ(open(next), WIFI_UDP_AUTH_OK);
    const Bytes plain = {0x55, 0x44, 0x33, 0x22, 0x73, 0x65, 0x71, 0x07, 0x2C, 0x03, 0x41, 0x54, 0x2B, 0xC0};
    EXPECT_EQ(open(plain), WIFI_UDP_AUTH_PLAIN);
    // The reply: the module's own counter, its code also over the command's counter.
    uint8_t out[WIFI_UDP_BUF_SIZE];
    ASSERT_EQ(wifi_udp_auth_reply(9, 6, "+OK", out), 33u);
    Bytes covered(out, out + 17);
    for (int i = 7; i >= 0; i--) covered.push_back((uint8_t)(uint64_t{6} >> (8 * i)));
    uint8_t code[crypto_auth_hmacsha256_BYTES];
    crypto_auth_hmacsha256(code, covered.data(), covered.size(), key);
    EXPECT_EQ(Bytes(out + 17, out + 33), Bytes(code, code + 16));
    EXPECT_EQ(Bytes(out, out + 14), (Bytes{0x66, 0x77, 0x78, 0x7A, 0, 0, 0, 0, 0, 0, 0, 1, 9, 3}));
    // The worked example of the command reference, byte for byte.
    uint8_t doc_key[32];
    for (int i = 0; i < 32; i++) doc_key[i] = (uint8_t)i;
    wifi_udp_auth_set_key(doc_key);
    const Bytes doc_cmd = {0x55, 0x44, 0x33, 0x23, 0x00, 0x06, 0x45, 0x70, 0xA6, 0xF5, 0x20, 0x00, 0x07,
                           0x07, 0x41, 0x54, 0x2B, 0x53, 0x53, 0x49, 0x44, 0x01, 0xE6, 0x58, 0x3D, 0x80,
                           0xD6, 0x84, 0x81, 0x3D, 0x5F, 0x0B, 0x7C, 0x81, 0x51, 0xAD, 0x59};
    ASSERT_EQ(open(doc_cmd), WIFI_UDP_AUTH_OK);
    EXPECT_EQ(std::string(payload), "AT+SSID");
    ASSERT_EQ(wifi_udp_auth_reply(seq, counter, "+OK=QEL_NVR_AP", out), 44u);
    EXPECT_EQ(Bytes(out + 28, out + 44),
              (Bytes{0xFB, 0x27, 0xB3, 0x1D, 0x8B, 0xC5, 0x6E, 0x15, 0xA7, 0x7D, 0xA0, 0xB6, 0x9B, 0xE6, 0x5B, 0x78}));
    // A new key starts its counters again; none at all answers nothing in this form.
    wifi_udp_auth_set_key(other);
    EXPECT_EQ(open(auth_dgram(other, 1, 9, "AT+")), WIFI_UDP_AUTH_OK);
    wifi_udp_auth_set_key(nullptr);
    EXPECT_FALSE(wifi_udp_auth_active());
    EXPECT_EQ(wifi_udp_auth_reply(9, 6, "+OK", out), 0u);
}
