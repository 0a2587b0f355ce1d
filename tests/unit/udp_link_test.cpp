// The UDP link's datagrams: parsing, replies, and the source check on loopback.
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <unistd.h>

#include "unit_helpers.h"

extern struct sockaddr_in g_udp_peer_addr;
extern socklen_t g_udp_peer_len;

namespace {

using Bytes = std::vector<uint8_t>;

const Bytes kHeartbeat = {0x55, 0x44, 0x33, 0x22, 0x73, 0x65, 0x71, 0x07, 0x2C, 0x03, 0x41, 0x54, 0x2B, 0xC0};
const Bytes kOkReply = {0x66, 0x77, 0x78, 0x79, 0x73, 0x65, 0x71, 0x07, 0x2C, 0x03, 0x2B, 0x4F, 0x4B, 0xC5};

// A command datagram with a correct checksum.
Bytes command(int8_t seq, const std::string &text) {
    Bytes d = {0x55, 0x44, 0x33, 0x22, 's', 'e', 'q', (uint8_t)seq, ',', (uint8_t)text.size()};
    unsigned sum = 0;
    for (char c : text) {
        d.push_back((uint8_t)c);
        sum += (uint8_t)c;
    }
    d.push_back((uint8_t)sum);
    return d;
}

struct Parsed {
    int ret;
    int32_t seq;
    std::string payload;
};

// Parses a datagram as received: into a zero-filled 256-byte buffer.
Parsed parse(const Bytes &d) {
    uint8_t buf[WIFI_UDP_BUF_SIZE] = {0};
    memcpy(buf, d.data(), std::min(d.size(), sizeof(buf)));
    char payload[WIFI_UDP_BUF_SIZE];
    memset(payload, 'Q', sizeof(payload));
    Parsed p{0, 99, ""};
    p.ret = wifi_udp_parse_cmd(buf, &p.seq, payload);
    if (p.ret == 0) p.payload = payload;
    return p;
}

Bytes reply(int32_t seq, const std::string &text) {
    uint8_t out[WIFI_UDP_BUF_SIZE];
    size_t n = wifi_udp_build_reply(seq, text.c_str(), out);
    return Bytes(out, out + n);
}

}  // namespace

TEST(UdpParse, Heartbeat) {
    Parsed p = parse(kHeartbeat);
    EXPECT_EQ(p.ret, 0);
    EXPECT_EQ(p.payload, "AT+");
    EXPECT_EQ(p.seq, 7);
    EXPECT_EQ(command(7, "AT+"), kHeartbeat);
}

TEST(UdpParse, RefusedDatagrams) {
    Bytes magic = kHeartbeat;
    magic[3] = 0x23;
    Parsed p = parse(magic);
    EXPECT_EQ(p.ret, -1);
    EXPECT_EQ(p.seq, 99);  // not looked at past a wrong magic

    Bytes sum = kHeartbeat;
    sum[13] = 0xC1;
    p = parse(sum);
    EXPECT_EQ(p.ret, -1);
    EXPECT_EQ(p.seq, 7);  // already taken

    // lengths of 128 and more are dropped, even with the checksum where it belongs
    for (unsigned len : {128u, 200u, 245u, 255u}) {
        Bytes d = command(3, std::string(len, 'a'));
        d[9] = (uint8_t)len;
        testing::internal::CaptureStdout();
        p = parse(d);
        EXPECT_NE(testing::internal::GetCapturedStdout().find("check_sum err"), std::string::npos);
        EXPECT_EQ(p.ret, -1) << len;
        EXPECT_EQ(p.seq, 3);
    }
    Bytes max = command(3, std::string(127, 'a'));
    p = parse(max);
    EXPECT_EQ(p.ret, 0);
    EXPECT_EQ(p.payload, std::string(127, 'a'));
}

TEST(UdpParse, EmptyAndShortDatagrams) {
    Parsed p = parse(command(1, ""));
    EXPECT_EQ(p.ret, 0);
    EXPECT_EQ(p.payload, "");
    EXPECT_EQ(dispatch(p.payload).text, "+ERR");

    // missing bytes count as zeros: a length of 1 with nothing after it is an empty text
    p = parse(Bytes{0x55, 0x44, 0x33, 0x22, 0, 0, 0, 5, 0, 1});
    EXPECT_EQ(p.ret, 0);
    EXPECT_EQ(p.payload, "");
    // "AT" with a length of 3 and no checksum: the zero checksum does not match
    p = parse(Bytes{0x55, 0x44, 0x33, 0x22, 0, 0, 0, 5, 0, 3, 'A', 'T'});
    EXPECT_EQ(p.ret, -1);
    // sequence bytes are signed
    EXPECT_EQ(parse(command(-128, "AT+")).seq, -128);
    EXPECT_EQ(parse(command(0, "AT+")).seq, 0);
}

TEST(UdpReply, ExactBytes) {
    EXPECT_EQ(reply(7, "+OK"), kOkReply);
    Bytes zero = reply(0, "+OK");
    ASSERT_EQ(zero.size(), 14u);
    EXPECT_EQ(zero[7], 0);
    EXPECT_EQ(reply(-1, "+OK")[7], 0xFF);
    EXPECT_EQ(reply(0x1234, "+OK")[7], 0x34);
    EXPECT_EQ(reply(7, ""), (Bytes{0x66, 0x77, 0x78, 0x79, 0x73, 0x65, 0x71, 0x07, 0x2C, 0x00, 0x00}));
}

TEST(UdpReply, LongRepliesAreCutTo245) {
    for (size_t len : {244u, 245u, 246u, 255u}) {
        Bytes d = reply(1, std::string(len, 'A'));
        size_t n = std::min<size_t>(len, 245);
        ASSERT_EQ(d.size(), 11 + n) << len;
        EXPECT_EQ(d[9], n);
        EXPECT_EQ(d[10 + n], (uint8_t)(n * 'A'));
    }
}

TEST(UdpSrcIp, CopiedBounded) {
    FakePlatformScope plat;
    char buf[8];
    EXPECT_EQ(wifi_get_udp_src_ipaddr(nullptr, 8), -1);
    EXPECT_EQ(wifi_get_udp_src_ipaddr(buf, 0), -1);
    snprintf(szUdpSrcIP, sizeof(szUdpSrcIP), "192.168.1.10");
    memset(buf, 'Q', sizeof(buf));
    EXPECT_EQ(wifi_get_udp_src_ipaddr(buf, sizeof(buf)), 0);
    EXPECT_STREQ(buf, "192.168");
}

namespace {

class UdpLoopback : public ::testing::Test {
protected:
    void SetUp() override {
        g_udp_sockfd = open_bound();
        host_ = open_bound();
        ASSERT_GE(g_udp_sockfd, 0);
        ASSERT_GE(host_, 0);
        timeval tv{2, 0};
        setsockopt(host_, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof(tv));
        setsockopt(g_udp_sockfd, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof(tv));
    }
    void TearDown() override {
        close(g_udp_sockfd);
        close(host_);
        g_udp_sockfd = -1;
    }
    static int open_bound() {
        int fd = socket(AF_INET, SOCK_DGRAM, 0);
        sockaddr_in a{};
        a.sin_family = AF_INET;
        a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        if (bind(fd, (sockaddr *)&a, sizeof(a)) != 0) return -1;
        return fd;
    }
    static uint16_t port_of(int fd) {
        sockaddr_in a{};
        socklen_t l = sizeof(a);
        getsockname(fd, (sockaddr *)&a, &l);
        return ntohs(a.sin_port);
    }
    void host_send(const Bytes &d) {
        sockaddr_in to{};
        to.sin_family = AF_INET;
        to.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        to.sin_port = htons(port_of(g_udp_sockfd));
        ASSERT_EQ(sendto(host_, d.data(), d.size(), 0, (sockaddr *)&to, sizeof(to)), (ssize_t)d.size());
    }
    Bytes host_recv() {
        Bytes b(512);
        ssize_t n = recv(host_, b.data(), b.size(), 0);
        b.resize(n < 0 ? 0 : (size_t)n);
        return b;
    }
    int daemon_recv(std::string *cmd) {
        char buf[WIFI_CMD_BUF_SIZE];
        memset(buf, 0, sizeof(buf));
        int r = wifi_udp_recv_msg(buf, sizeof(buf));
        *cmd = buf;
        return r;
    }

    SeededRoot root_;
    int host_ = -1;
};

}  // namespace

TEST_F(UdpLoopback, OnlyTheAllowedHostIsServed) {
    std::string cmd;
    host_send(kHeartbeat);
    EXPECT_EQ(daemon_recv(&cmd), -1);  // nothing allowed before AT+UIP=
    EXPECT_EQ(cmd, "");

    ASSERT_EQ(dispatch("AT+UIP=127.0.0.2").text, "+OK");
    host_send(kHeartbeat);
    EXPECT_EQ(daemon_recv(&cmd), -1);

    ASSERT_EQ(dispatch("AT+UIP=127.0.0.1").text, "+OK");
    host_send(kHeartbeat);
    ASSERT_EQ(daemon_recv(&cmd), 0);
    EXPECT_EQ(cmd, "AT+");
    EXPECT_EQ(g_seq, 7);
    EXPECT_EQ(ntohs(g_udp_peer_addr.sin_port), port_of(host_));
    EXPECT_EQ(g_udp_peer_len, sizeof(sockaddr_in));

    Reply r = dispatch(cmd);
    EXPECT_EQ(qel_data_boot_send_udp(r.raw.data(), (int32_t)r.text.size()), 0);
    EXPECT_EQ(host_recv(), kOkReply);
}

TEST_F(UdpLoopback, BadDatagramsFromTheAllowedHostAreDropped) {
    snprintf(szUdpSrcIP, sizeof(szUdpSrcIP), "127.0.0.1");
    std::string cmd;
    Bytes bad = kHeartbeat;
    bad[13]++;
    host_send(bad);
    EXPECT_EQ(daemon_recv(&cmd), -1);
    EXPECT_EQ(g_seq, 7);

    Bytes huge = command(9, std::string(130, 'a'));
    huge[9] = 130;
    host_send(huge);
    EXPECT_EQ(daemon_recv(&cmd), -1);

    // sequence 0 still gets a whole reply
    host_send(command(0, "AT+"));
    ASSERT_EQ(daemon_recv(&cmd), 0);
    EXPECT_EQ(qel_data_boot_send_udp("+OK", 3), 0);
    Bytes got = host_recv();
    ASSERT_EQ(got.size(), 14u);
    EXPECT_EQ(got[7], 0);

    // a reply the datagram cannot hold is cut to 245 characters
    std::string longer(255, 'r');
    EXPECT_EQ(qel_data_boot_send_udp(longer.c_str(), 255), 0);
    got = host_recv();
    ASSERT_EQ(got.size(), 256u);
    EXPECT_EQ(got[9], 245);
}
