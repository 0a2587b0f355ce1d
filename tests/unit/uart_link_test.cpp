// The serial link's 16-byte frames, on a socket pair standing in for the port.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/socket.h>
#include <unistd.h>

#include "unit_helpers.h"

namespace {

using Bytes = std::vector<uint8_t>;

Bytes frame(unsigned total, unsigned chunk, unsigned offset, const std::string &payload) {
    Bytes f(16, 0);
    f[0] = (uint8_t)total;
    f[1] = (uint8_t)chunk;
    f[2] = (uint8_t)offset;
    for (size_t i = 0; i < payload.size() && i < 12; i++) f[3 + i] = (uint8_t)payload[i];
    unsigned sum = 0;
    for (int i = 0; i < 15; i++) sum += f[i];
    f[15] = (uint8_t)sum;
    return f;
}

// The frames a host sends for one command.
std::vector<Bytes> frames_of(const std::string &text) {
    std::vector<Bytes> out;
    size_t off = 0;
    do {
        size_t n = std::min<size_t>(12, text.size() - off);
        out.push_back(frame(text.size(), n, off, text.substr(off, n)));
        off += n;
    } while (off < text.size());
    return out;
}

class SerialLink : public ::testing::Test {
protected:
    void SetUp() override {
        int sv[2];
        ASSERT_EQ(socketpair(AF_UNIX, SOCK_STREAM, 0, sv), 0);
        port_ = sv[0];
        peer_ = sv[1];
        fcntl(port_, F_SETFL, fcntl(port_, F_GETFL) | O_NONBLOCK);
        fcntl(peer_, F_SETFL, fcntl(peer_, F_GETFL) | O_NONBLOCK);
        g_uart_fd = port_;
    }
    void TearDown() override {
        g_uart_fd = -1;
        close(port_);
        close(peer_);
    }
    void put(const Bytes &f) { ASSERT_EQ(write(peer_, f.data(), f.size()), (ssize_t)f.size()); }
    void put(const std::vector<Bytes> &fs) {
        for (const Bytes &f : fs) put(f);
    }
    Bytes sent() {
        Bytes out(1024);
        ssize_t n = read(peer_, out.data(), out.size());
        out.resize(n < 0 ? 0 : (size_t)n);
        return out;
    }
    // Drops what the daemon left unread on its port.
    void drain() {
        uint8_t b[256];
        while (read(port_, b, sizeof(b)) > 0) {
        }
    }
    int recv(std::string *text, int32_t *len) {
        memset(buf_, 0, sizeof(buf_));
        *len = 0;
        int r = wifi_uart_recv_msg(buf_, len);
        *text = buf_;
        return r;
    }
    bool buf_all_zero() const {
        for (char c : buf_)
            if (c != 0) return false;
        return true;
    }

    FakePlatformScope plat_;
    int port_ = -1, peer_ = -1;
    char buf_[WIFI_CMD_BUF_SIZE];
};

}  // namespace

TEST(UartChecksum, SumOfBytesLow8Bits) {
    const uint8_t ff[16] = {0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF,
                            0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF};
    EXPECT_EQ(wifi_uart_checksum(ff, 16), 0xF0);
    EXPECT_EQ(wifi_uart_checksum((const uint8_t *)"abc", 3), 0x26);
    EXPECT_EQ(wifi_uart_checksum(ff, 0), 0);
}

TEST(UartFrameCheck, AcceptsOnlyGoodFramesInsideTheCommandBuffer) {
    struct Case {
        const char *what;
        Bytes f;
        int ret;
    } cases[] = {
        {"heartbeat", frame(3, 3, 0, "AT+"), 0},
        {"zero total", frame(0, 3, 0, "AT+"), -1},
        {"chunk 12", frame(12, 12, 0, "AT+SSID=abcd"), 0},
        {"chunk 13", frame(13, 13, 0, "AT+SSID=abcd"), -1},
        {"total 127", frame(127, 12, 115, "xxxxxxxxxxxx"), 0},
        {"total 128", frame(128, 12, 0, "xxxxxxxxxxxx"), -1},
        {"total 255", frame(255, 1, 0, "x"), -1},
        {"offset+chunk 127", frame(127, 7, 120, "xxxxxxx"), 0},
        {"offset+chunk 128", frame(127, 8, 120, "xxxxxxxx"), -1},
        {"offset 255", frame(100, 1, 255, "x"), -1},
    };
    for (Case &c : cases) EXPECT_EQ(wifi_uart_frame_check(c.f.data()), c.ret) << c.what;
    Bytes bad = frame(3, 3, 0, "AT+");
    bad[15]++;
    EXPECT_EQ(wifi_uart_frame_check(bad.data()), -1);
}

TEST_F(SerialLink, SendsTheHeartbeatReplyAsOneFrame) {
    wifi_uart_send_msg("+OK", 3);
    EXPECT_EQ(sent(), (Bytes{0x03, 0x03, 0x00, 0x2B, 0x4F, 0x4B, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0xCB}));
    EXPECT_EQ(plat_->slept_ms, 0u);
}

TEST_F(SerialLink, SendsAnEmptyTextAsSixteenZeros) {
    wifi_uart_send_msg("", 0);
    EXPECT_EQ(sent(), Bytes(16, 0));
}

TEST_F(SerialLink, CutsLongTextsIntoPacedFrames) {
    const std::string text = "+OK=abcdefghijklmnopqrstuvwxyz";  // 30 bytes
    ASSERT_EQ(text.size(), 30u);
    wifi_uart_send_msg(text.c_str(), text.size());
    Bytes expect;
    for (auto f : {frame(30, 12, 0, text.substr(0, 12)), frame(30, 12, 12, text.substr(12, 12)),
                   frame(30, 6, 24, text.substr(24))})
        expect.insert(expect.end(), f.begin(), f.end());
    EXPECT_EQ(sent(), expect);
    EXPECT_EQ(plat_->slept_ms, 2u * 15u);  // one 15 ms pause between frames, none after the last
}

TEST_F(SerialLink, OneFramePerStartedTwelveBytes) {
    const struct {
        size_t len;
        size_t frames;
    } cases[] = {{1, 1}, {12, 1}, {13, 2}, {24, 2}, {25, 3}, {36, 3}, {37, 4}, {255, 22}};
    for (auto c : cases) {
        plat_->slept_ms = 0;
        std::string text(c.len, 'x');
        wifi_uart_send_msg(text.c_str(), text.size());
        Bytes out = sent();
        ASSERT_EQ(out.size(), 16 * c.frames) << c.len;
        EXPECT_EQ(plat_->slept_ms, 15u * (c.frames - 1));
        size_t last = 16 * (c.frames - 1);
        EXPECT_EQ(out[last + 0], (uint8_t)c.len);
        EXPECT_EQ(out[last + 1], c.len - 12 * (c.frames - 1));
        EXPECT_EQ(out[last + 2], (uint8_t)(12 * (c.frames - 1)));
    }
}

TEST_F(SerialLink, WriteAndReadWithoutPort) {
    g_uart_fd = -1;
    uint8_t b[16] = {0};
    EXPECT_EQ(wifi_uart_write(b, sizeof(b)), -22);
    EXPECT_EQ(wifi_uart_read(b, sizeof(b)), -22);
    // nothing to read: -1 at once
    g_uart_fd = port_;
    EXPECT_EQ(wifi_uart_read(b, sizeof(b)), -1);
    EXPECT_EQ(Bytes(b, b + 16), Bytes(16, 0));
}

TEST_F(SerialLink, ReceivesTheHeartbeatFrame) {
    put(Bytes{0x03, 0x03, 0x00, 0x41, 0x54, 0x2B, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0xC6});
    std::string text;
    int32_t len;
    EXPECT_EQ(recv(&text, &len), 0);
    EXPECT_EQ(text, "AT+");
    EXPECT_EQ(len, 3);
}

TEST_F(SerialLink, ReassemblesMultiFrameCommands) {
    for (std::string cmd : {std::string("AT+SSID=abcd"), std::string("AT+SSID=abcdefghijklmnop"),
                            "AT+SSID=" + std::string(119, 'z')}) {
        put(frames_of(cmd));
        std::string text;
        int32_t len;
        EXPECT_EQ(recv(&text, &len), 0);
        EXPECT_EQ(text, cmd);
        EXPECT_EQ(len, (int32_t)cmd.size());
    }
}

TEST_F(SerialLink, BadFramesUseTheIdleBudgetAndAreNeverCopied) {
    const struct {
        const char *what;
        Bytes f;
    } bad[] = {
        {"bad checksum", [] { Bytes f = frame(3, 3, 0, "XYZ"); f[15] ^= 1; return f; }()},
        {"zero total", frame(0, 3, 0, "XYZ")},
        {"chunk 13", frame(13, 13, 0, "XXXXXXXXXXXX")},
        {"total 128", frame(128, 12, 0, "XXXXXXXXXXXX")},
        {"offset+chunk 128", frame(127, 12, 116, "XXXXXXXXXXXX")},
    };
    for (const auto &b : bad) {
        SCOPED_TRACE(b.what);
        std::string text;
        int32_t len;
        // 19 bad frames leave one unit of the budget for the good one
        for (int i = 0; i < 19; i++) put(b.f);
        put(frame(3, 3, 0, "AT+"));
        EXPECT_EQ(recv(&text, &len), 0);
        EXPECT_EQ(text, "AT+");
        for (size_t i = 3; i < sizeof(buf_); i++) ASSERT_EQ(buf_[i], 0) << i;
        // 20 use it up: the good frame after them is not reached
        for (int i = 0; i < 20; i++) put(b.f);
        put(frame(3, 3, 0, "AT+"));
        EXPECT_EQ(recv(&text, &len), -1);
        EXPECT_EQ(len, 0);
        EXPECT_TRUE(buf_all_zero());
        drain();
    }
}

TEST_F(SerialLink, GivesUpAfterTwentyEmptyReads) {
    std::string text;
    int32_t len;
    EXPECT_EQ(recv(&text, &len), -1);
    EXPECT_EQ(len, 0);
    EXPECT_TRUE(buf_all_zero());
}

TEST_F(SerialLink, LostFirstFrameLeavesLeadingZerosAndTheDispatcherRefuses) {
    put(frames_of("AT+SSID=abcdefg")[1]);
    std::string text;
    int32_t len;
    EXPECT_EQ(recv(&text, &len), 0);
    EXPECT_EQ(len, 15);
    EXPECT_EQ(text, "");
    EXPECT_EQ(std::string(buf_ + 12, 3), "efg");
    EXPECT_EQ(dispatch(buf_).text, "+ERR");
}

TEST_F(SerialLink, PeerErrorNoticesAreNotCommands) {
    std::string text;
    int32_t len;
    // four notices (one split over two frames) and then a command
    put(frames_of("+err=-1"));
    put(frame(7, 4, 0, "+err"));
    put(frame(7, 3, 4, "=-1"));
    put(frames_of("+err=-1"));
    put(frames_of("+err=-1"));
    put(frames_of("AT+"));
    testing::internal::CaptureStdout();
    EXPECT_EQ(recv(&text, &len), 0);
    std::string out = testing::internal::GetCapturedStdout();
    EXPECT_EQ(text, "AT+");
    EXPECT_EQ(len, 3);
    size_t notices = 0;
    for (size_t pos = 0; (pos = out.find("========uart read error:+err=-1\n", pos)) != std::string::npos; pos++)
        notices++;
    EXPECT_EQ(notices, 4u);

    // the fifth notice in one receive ends it
    for (int i = 0; i < 5; i++) put(frames_of("+err=-1"));
    put(frames_of("AT+"));
    EXPECT_EQ(recv(&text, &len), -1);
    EXPECT_EQ(len, 0);
    drain();

    // only the exact text is a notice
    for (const char *t : {"+err=-10", "+err=-", "+ERR=-1"}) {
        put(frames_of(t));
        EXPECT_EQ(recv(&text, &len), 0);
        EXPECT_EQ(text, t);
    }
}

TEST_F(SerialLink, HeartbeatRoundTrip) {
    put(frames_of("AT+"));
    std::string text;
    int32_t len;
    ASSERT_EQ(recv(&text, &len), 0);
    Reply r = dispatch(text);
    wifi_uart_send_msg(r.raw.data(), strlen(r.raw.data()));
    EXPECT_EQ(sent(), frame(3, 3, 0, "+OK"));
}
