// The two links: 16-byte serial frames (a socket pair stands in for the port) and
// UDP datagrams (parsed in memory, and served over loopback).
#include <arpa/inet.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <pty.h>
#include <sys/socket.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <filesystem>

#include "unit_helpers.h"

extern struct sockaddr_in g_udp_peer_addr;

namespace {

using Bytes = std::vector<uint8_t>;

Bytes frame(unsigned total, unsigned chunk, unsigned offset, const std::string &payload) {
    Bytes f = {(uint8_t)total, (uint8_t)chunk, (uint8_t)offset};
    f.resize(16);
    for (size_t i = 0; i < payload.size() && i < 12; i++) f[3 + i] = (uint8_t)payload[i];
    for (int i = 0; i < 15; i++) f[15] += f[i];
    return f;
}

// The frames a host sends for one command, back to back.
Bytes frames_of(const std::string &text) {
    Bytes out;
    for (size_t off = 0, n; off == 0 || off < text.size(); off += n) {
        n = std::min<size_t>(12, text.size() - off);
        Bytes f = frame(text.size(), n, off, text.substr(off, n));
        out.insert(out.end(), f.begin(), f.end());
    }
    return out;
}

const Bytes kHeartbeat = {0x55, 0x44, 0x33, 0x22, 0x73, 0x65, 0x71, 0x07, 0x2C, 0x03, 0x41, 0x54, 0x2B, 0xC0};
const Bytes kOkReply = {0x66, 0x77, 0x78, 0x79, 0x73, 0x65, 0x71, 0x07, 0x2C, 0x03, 0x2B, 0x4F, 0x4B, 0xC5};

// A command datagram with a right length byte and checksum.
Bytes command(int8_t seq, const std::string &text) {
    Bytes d = {0x55, 0x44, 0x33, 0x22, 's', 'e', 'q', (uint8_t)seq, ',', (uint8_t)text.size()};
    uint8_t sum = 0;
    for (char c : text) {
        d.push_back((uint8_t)c);
        sum += (uint8_t)c;
    }
    d.push_back(sum);
    return d;
}

// Parses a datagram as received into a zero-filled 256-byte buffer: "seq:payload"
// or "seq:<-1>"; the sequence stays 99 when it is not taken.
std::string parse(const Bytes &d) {
    uint8_t buf[WIFI_UDP_BUF_SIZE] = {0};
    memcpy(buf, d.data(), std::min(d.size(), sizeof(buf)));
    char payload[WIFI_UDP_BUF_SIZE];
    memset(payload, 'Q', sizeof(payload));
    int32_t seq = 99;
    int r = wifi_udp_parse_cmd(buf, &seq, payload);
    return std::to_string(seq) + ":" + (r == 0 ? std::string(payload) : "<-1>");
}

Bytes reply(int32_t seq, const std::string &text) {
    uint8_t out[WIFI_UDP_BUF_SIZE];
    return Bytes(out, out + wifi_udp_build_reply(seq, text.c_str(), out));
}

class SerialLink : public ::testing::Test {
protected:
    void SetUp() override {
        int sv[2];
        ASSERT_EQ(socketpair(AF_UNIX, SOCK_STREAM | SOCK_NONBLOCK, 0, sv), 0);
        g_uart_fd = port_ = sv[0];
        peer_ = sv[1];
    }
    void TearDown() override {
        g_uart_fd = -1;
        for (int fd : {port_, peer_}) close(fd);
    }
    void put(const Bytes &b, int times = 1) {
        for (int i = 0; i < times; i++) ASSERT_EQ(write(peer_, b.data(), b.size()), (ssize_t)b.size());
    }
    Bytes sent() {
        Bytes out(1024);
        out.resize(std::max<ssize_t>(0, read(peer_, out.data(), out.size())));
        return out;
    }
    void drain() {
        for (uint8_t b[256]; read(port_, b, sizeof(b)) > 0;) {
        }
    }
    // One receive into a zero-filled command buffer; the text, or "<-1>" on failure
    // (the buffer and length then checked to be untouched).
    std::string recv() {
        memset(buf_, 0, sizeof(buf_));
        int32_t len = 0;
        if (wifi_uart_recv_msg(buf_, &len) != 0) {
            EXPECT_EQ(len + std::count(buf_, buf_ + sizeof(buf_), 0), (int32_t)sizeof(buf_));
            return "<-1>";
        }
        EXPECT_EQ(len, (int32_t)strlen(buf_));
        return buf_;
    }

    FakePlatformScope plat_;
    int port_ = -1, peer_ = -1;
    char buf_[WIFI_CMD_BUF_SIZE];
};

}  // namespace

TEST_F(SerialLink, SendsExactFramesPacedBy15Ms) {
    wifi_uart_send_msg("+OK", 3);
    EXPECT_EQ(sent(), (Bytes{0x03, 0x03, 0x00, 0x2B, 0x4F, 0x4B, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0xCB}));
    EXPECT_EQ(plat_->slept_ms, 0u);

    const std::string text = "+OK=abcdefghijklmnopqrstuvwxyz";
    wifi_uart_send_msg(text.c_str(), text.size());
    EXPECT_EQ(sent(), frames_of(text));  // three frames: 12 + 12 + 6 bytes
    EXPECT_EQ(plat_->slept_ms, 30u);     // between frames, not after the last

    wifi_uart_send_msg("", 0);
    EXPECT_EQ(sent(), Bytes(16, 0));
}

TEST_F(SerialLink, ReceivesWholeCommands) {
    put(Bytes{0x03, 0x03, 0x00, 0x41, 0x54, 0x2B, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0xC6});
    EXPECT_EQ(recv(), "AT+");
    for (std::string cmd : {std::string("AT+SSID=abcdefghijklmnop"), "AT+SSID=" + std::string(119, 'z')}) {
        put(frames_of(cmd));
        EXPECT_EQ(recv(), cmd);
    }
    EXPECT_EQ(recv(), "<-1>");  // twenty empty reads
    g_uart_fd = -1;
    uint8_t b[16];
    EXPECT_EQ(wifi_uart_write(b, 16) + wifi_uart_read(b, 16), -44);  // -22 each without a port
}

TEST_F(SerialLink, BadFramesUseTheIdleBudgetAndAreNeverCopied) {
    Bytes bad_sum = frame(3, 3, 0, "XYZ");
    bad_sum[15] ^= 1;
    for (const Bytes &bad : {bad_sum, frame(0, 3, 0, "XYZ"), frame(13, 13, 0, "XXXX"), frame(128, 12, 0, "XXXX"),
                             frame(127, 12, 116, "XX")}) {
        SCOPED_TRACE((int)bad[0]);
        put(bad, 19);  // leaves one unit of the budget for the good frame
        put(frames_of("AT+"));
        EXPECT_EQ(recv(), "AT+");
        for (size_t i = 3; i < sizeof(buf_); i++) ASSERT_EQ(buf_[i], 0) << i;
        put(bad, 20);  // uses it up: the good frame is not reached
        put(frames_of("AT+"));
        EXPECT_EQ(recv(), "<-1>");
        drain();
    }
}

TEST_F(SerialLink, PeerErrorNoticesAreSkippedUpToFour) {
    put(frames_of("+err=-1"));
    put(frame(7, 4, 0, "+err"));  // one notice split over two frames
    put(frame(7, 3, 4, "=-1"));
    put(frames_of("+err=-1"), 2);
    put(frames_of("AT+"));
    EXPECT_EQ(recv(), "AT+");
    put(frames_of("+err=-1"), 5);  // the fifth in one receive ends it
    put(frames_of("AT+"));
    EXPECT_EQ(recv(), "<-1>");
    drain();
    for (const char *t : {"+err=-10", "+ERR=-1"}) {  // only the exact text is a notice
        put(frames_of(t));
        EXPECT_EQ(recv(), t);
    }
}

TEST(UartPort, SettingsAppliedByInitSurviveTheReopen) {
    FakePlatformScope plat;
    int master, slave;
    char name[128];
    ASSERT_EQ(openpty(&master, &slave, name, nullptr, nullptr), 0);
    termios t{};  // a new pseudo-terminal is a cooked line at 38400
    std::filesystem::create_directories(plat->path("/dev"));
    std::filesystem::create_symlink(name, plat->path(WIFI_UART_DEV));
    EXPECT_EQ(wifi_uart_open(), 0);
    ASSERT_GE(g_uart_fd, 0);
    EXPECT_NE(fcntl(g_uart_fd, F_GETFL) & O_NONBLOCK, 0);
    tcgetattr(slave, &t);
    EXPECT_EQ(cfgetospeed(&t), (speed_t)B115200);
    EXPECT_EQ((t.c_lflag & (ICANON | ECHO)) | (t.c_iflag & (ICRNL | IXON)) | (t.c_oflag & OPOST), 0u);
    EXPECT_EQ(t.c_cflag & (CSTOPB | CLOCAL | CREAD), (tcflag_t)(CLOCAL | CREAD));
    EXPECT_EQ(t.c_cc[VMIN] + t.c_cc[VTIME], 0);
    for (int fd : {g_uart_fd, slave, master}) close(fd);
    g_uart_fd = -1;
}

TEST(Udp, ParseAndBuildExactBytes) {
    Bytes magic = kHeartbeat, sum = kHeartbeat;
    magic[3] = 0x23;
    sum[13]++;
    const std::pair<Bytes, std::string> cases[] = {
        {kHeartbeat, "7:AT+"},
        {magic, "99:<-1>"},  // not looked at past a wrong magic
        {sum, "7:<-1>"},
        {command(3, std::string(127, 'a')), "3:" + std::string(127, 'a')},
        {command(3, std::string(128, 'a')), "3:<-1>"},  // 128 and more dropped, checksum or not
        {command(3, std::string(255, 'a')), "3:<-1>"},
        {command(-128, ""), "-128:"},
        {Bytes{0x55, 0x44, 0x33, 0x22, 0, 0, 0, 5, 0, 3, 'A', 'T'}, "5:<-1>"},  // missing bytes count as zeros
    };
    for (const auto &c : cases) EXPECT_EQ(parse(c.first), c.second) << c.second;
    EXPECT_EQ(command(7, "AT+"), kHeartbeat);

    EXPECT_EQ(reply(7, "+OK"), kOkReply);
    EXPECT_EQ(reply(0x1234, ""), (Bytes{0x66, 0x77, 0x78, 0x79, 0x73, 0x65, 0x71, 0x34, 0x2C, 0x00, 0x00}));
    for (size_t len : {245u, 246u, 255u}) {  // cut to 245
        Bytes d = reply(-1, std::string(len, 'A'));
        ASSERT_EQ(d.size(), 256u) << len;
        EXPECT_EQ(d[7], 0xFF);
        EXPECT_EQ(d[9], 245);
        EXPECT_EQ(d[255], (uint8_t)(245 * 'A'));
    }
}

TEST(Udp, OnlyTheAllowedHostIsServedOverLoopback) {
    SeededRoot root;
    auto bound = [] {
        int fd = socket(AF_INET, SOCK_DGRAM, 0);
        sockaddr_in a{AF_INET, 0, {htonl(INADDR_LOOPBACK)}, {}};
        EXPECT_EQ(bind(fd, (sockaddr *)&a, sizeof(a)), 0);
        struct timeval tv = {2, 0};
        setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof(tv));
        return fd;
    };
    g_udp_sockfd = bound();
    int host = bound();
    sockaddr_in to{}, from{};
    socklen_t l = sizeof(to);
    getsockname(g_udp_sockfd, (sockaddr *)&to, &l);
    getsockname(host, (sockaddr *)&from, &l);
    auto exchange = [&](const Bytes &d) {
        EXPECT_EQ(sendto(host, d.data(), d.size(), 0, (sockaddr *)&to, sizeof(to)), (ssize_t)d.size());
        char buf[WIFI_CMD_BUF_SIZE] = {0};
        return wifi_udp_recv_msg(buf, sizeof(buf)) == 0 ? std::string(buf) : "<-1>";
    };

    EXPECT_EQ(exchange(kHeartbeat), "<-1>");  // nothing allowed before AT+UIP=
    ASSERT_EQ(dispatch("AT+UIP=127.0.0.2").text, "+OK");
    EXPECT_EQ(exchange(kHeartbeat), "<-1>");
    ASSERT_EQ(dispatch("AT+UIP=127.0.0.1").text, "+OK");
    EXPECT_EQ(exchange(command(9, std::string(130, 'a'))), "<-1>");
    EXPECT_EQ(exchange(kHeartbeat), "AT+");
    EXPECT_EQ(g_seq, 7);
    EXPECT_EQ(g_udp_peer_addr.sin_port, from.sin_port);

    EXPECT_EQ(qel_data_boot_send_udp("+OK", 3), 0);
    Bytes got(512);
    got.resize(std::max<ssize_t>(0, recv(host, got.data(), got.size(), 0)));
    EXPECT_EQ(got, kOkReply);
    for (int fd : {g_udp_sockfd, host}) close(fd);
    g_udp_sockfd = -1;
}
