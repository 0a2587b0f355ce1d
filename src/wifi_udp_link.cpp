// The UDP command link.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <pthread.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/socket.h>
#include <unistd.h>

#include <utility>

#include "unique_fd.h"
#include "wifi_platform.h"
#include "wifi_frame.h"
#include "wifi_msg_proc.h"
#include "wifi_udp_auth.h"
#include "wifi_udp_link.h"
#include "wifi_util.h"

// Used by the UDP task alone.
static UniqueFd g_udp_sockfd;
static struct sockaddr_in g_udp_peer_addr;
static socklen_t g_udp_peer_len = sizeof(struct sockaddr_in);
static int32_t g_seq;
// Whether the command came in the authenticated form, and its counter.
static bool g_udp_authenticated;
static uint64_t g_udp_counter;

// The refused datagrams' log lines, and those of datagrams dropped under a key, at
// most one a second each.
static wifi_log_limit s_refused_log, s_auth_log;

// Written by "AT+UIP=" on either link, read by the UDP task.
static char szUdpSrcIP[WIFI_UDP_SRC_IP_SIZE];

static const uint8_t kCmdMagic[4] = {0x55, 0x44, 0x33, 0x22};
static const uint8_t kReplyMagic[4] = {0x66, 0x77, 0x78, 0x79};
enum { UDP_HDR = 10, UDP_MAX_PAYLOAD = 127 };

// The same 8-bit byte sum as the serial frames'.
uint8_t wifi_udp_checksum(const uint8_t *buf, size_t len) { return wifi_frame_sum(buf, len); }

// "AT+UIP=" writes the allowed peer on whichever link it came, while the UDP link
// reads it for every datagram.
static pthread_mutex_t s_src_ip_lock = PTHREAD_MUTEX_INITIALIZER;

void wifi_read_udp_src_ipaddr(char *buf, size_t size) {
    pthread_mutex_lock(&s_src_ip_lock);
    wifi_strlcpy_zero(buf, szUdpSrcIP, size);
    pthread_mutex_unlock(&s_src_ip_lock);
}

int wifi_get_udp_src_ipaddr(char *buf, int32_t size) {
    if (buf == nullptr || size < 1) return -1;
    wifi_read_udp_src_ipaddr(buf, (size_t)size);
    printf("======wifi_get_udp_src_ipaddr szUdpSrcIP[%s]=================\n", buf);
    return 0;
}

void wifi_set_udp_src_ipaddr(const char *ip) {
    pthread_mutex_lock(&s_src_ip_lock);
    wifi_strlcpy_zero(szUdpSrcIP, ip, sizeof(szUdpSrcIP));
    pthread_mutex_unlock(&s_src_ip_lock);
}

int wifi_udp_parse_cmd(const uint8_t *dgram, size_t n, int32_t *seq, char *payload) {
    if (n < sizeof(kCmdMagic) || memcmp(dgram, kCmdMagic, sizeof(kCmdMagic)) != 0) return -1;
    // A datagram must hold the bytes its length byte announces and the checksum:
    // zeros in their place would be taken for a command that was never sent.
    if (n < UDP_HDR || n > WIFI_UDP_BUF_SIZE || n < UDP_HDR + (size_t)dgram[9] + 1) {
        printf("===udp datagram too short:%d=============\n", (int)n);
        return -1;
    }
    *seq = (int8_t)dgram[7];
    printf("seq 111============ [%d]\n", *seq);
    unsigned len = dgram[9];
    // A length of 128 or more cannot have come from a command that fits the link's
    // buffers; it is dropped like a datagram with a wrong checksum.
    if (len > UDP_MAX_PAYLOAD) {
        printf("check_sum err\r\n");
        return -1;
    }
    uint8_t expect = dgram[UDP_HDR + len];
    printf("iRecLen 111======iRecLen[%d]====== [%d]\n", (int)len, (int)(int8_t)expect);
    memset(payload, 0, WIFI_UDP_BUF_SIZE);
    memcpy(payload, dgram + UDP_HDR, len);
    if (wifi_udp_checksum(dgram + UDP_HDR, len) != expect) {
        printf("check_sum err\r\n");
        return -1;
    }
    return 0;
}

int wifi_udp_recv_msg(char *buf, int32_t size) {
    uint8_t dgram[WIFI_UDP_BUF_SIZE];
    char payload[WIFI_UDP_BUF_SIZE];
    memset(dgram, 0, sizeof(dgram));

    g_udp_peer_len = sizeof(g_udp_peer_addr);
    ssize_t n =
        recvfrom(g_udp_sockfd.get(), dgram, sizeof(dgram), 0, (struct sockaddr *)&g_udp_peer_addr, &g_udp_peer_len);
    if (n < 0) return -1;
    char from[INET_ADDRSTRLEN] = {0};
    inet_ntop(AF_INET, &g_udp_peer_addr.sin_addr, from, sizeof(from));

    char allowed[WIFI_UDP_SRC_IP_SIZE];
    memset(allowed, 0, sizeof(allowed));
    wifi_read_udp_src_ipaddr(allowed, sizeof(allowed));
    struct in_addr allowed_addr;
    if (inet_pton(AF_INET, allowed, &allowed_addr) != 1) allowed_addr.s_addr = 0;
    if (g_udp_peer_addr.sin_addr.s_addr != allowed_addr.s_addr || allowed_addr.s_addr == 0) {
        // A flood from elsewhere must not cost a log line per datagram.
        unsigned dropped;
        if (wifi_log_limit_take(&s_refused_log, wifi_plat().monotonic_ms(), &dropped)) {
            printf("===Received a string from client %s.\n", from);
            printf("======wifi_get_udp_src_ipaddr szUdpSrcIP[%s]=================\n", allowed);
            printf("===ip check fail,src ip:%s=============\n", allowed);
            if (dropped > 0) printf("===ip check fail, %u more datagrams refused unlogged=============\n", dropped);
        }
        return -1;
    }
    g_udp_authenticated = wifi_udp_auth_active();
    if (g_udp_authenticated) {
        // Under a key only authenticated datagrams count, and one that is not costs no
        // more than a log line a second: a station may forge this address.
        const wifi_udp_auth_verdict v = wifi_udp_auth_open(dgram, (size_t)n, &g_seq, &g_udp_counter, payload);
        if (v != WIFI_UDP_AUTH_OK) {
            unsigned dropped;
            if (wifi_log_limit_take(&s_auth_log, wifi_plat().monotonic_ms(), &dropped))
                printf("===udp datagram from %s dropped: %s (%u more dropped unlogged)=============\n", from,
                       wifi_udp_auth_verdict_text(v), dropped);
            return -1;
        }
        printf("===Received a string from client %s.\n", from);
    } else {
        printf("===Received a string from client %s.\n", from);
        printf("======wifi_get_udp_src_ipaddr szUdpSrcIP[%s]=================\n", allowed);
        if (wifi_udp_parse_cmd(dgram, (size_t)n, &g_seq, payload) != 0) return -1;
    }
    printf("===udp rec:%s=========\n", payload);
    wifi_strlcpy_zero(buf, payload, (size_t)size);
    return 0;
}

size_t wifi_udp_build_reply(int32_t seq, const char *text, uint8_t *out) {
    // A reply longer than the datagram can carry is cut, so the datagram stays whole.
    size_t n = strnlen(text, WIFI_UDP_MAX_REPLY);
    memset(out, 0, WIFI_UDP_BUF_SIZE);
    memcpy(out, kReplyMagic, sizeof(kReplyMagic));
    memcpy(out + 4, "seq", 3);
    out[7] = (uint8_t)seq;
    out[8] = ',';
    out[9] = (uint8_t)n;
    memcpy(out + UDP_HDR, text, n);
    out[UDP_HDR + n] = wifi_udp_checksum(out + UDP_HDR, n);
    return UDP_HDR + n + 1;
}

int qel_data_boot_send_udp(const char *text, int32_t len) {
    (void)len;
    uint8_t out[WIFI_UDP_BUF_SIZE];
    printf("qel_data_boot_send_udp g_seq [%d]\n", g_seq);
    size_t n = g_udp_authenticated ? wifi_udp_auth_reply(g_seq, g_udp_counter, text, out)
                                   : wifi_udp_build_reply(g_seq, text, out);
    if (n == 0) return -1;  // the key went while the command ran: nothing the host could trust
    printf("szSendBuf[4+5]  [%d]\n", (int)(int8_t)out[9]);
    if (sendto(g_udp_sockfd.get(), out, n, 0, (struct sockaddr *)&g_udp_peer_addr, g_udp_peer_len) < 0) {
        printf("====sendto ERROR===============\n");
        return -1;
    }
    printf("====sendto suc===============\n");
    return 0;
}

int wifi_udp_open() {
    UniqueFd fd(socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0));
    if (!fd.valid()) {
        perror("===wifi_udp_comm_task  error in generate socket\n");
        return -1;
    }
    int on = 1;
    if (setsockopt(fd.get(), SOL_SOCKET, SO_REUSEADDR, &on, sizeof(on)) != 0) return -1;
    struct sockaddr_in addr;
    wifi_plat().bind_addr(WIFI_PORT_UDP, &addr);
    if (bind(fd.get(), (struct sockaddr *)&addr, sizeof(addr)) != 0) {
        perror("===wifi_udp_comm_task error in binding phrase\n");
        return -1;
    }
    g_udp_sockfd = std::move(fd);
    return g_udp_sockfd.get();
}

void *wifi_udp_comm_task(void *arg) {
    (void)arg;
    if (wifi_udp_open() < 0) exit(1);
    wifi_plat().link_event(WIFI_LINK_UDP_UP);

    char cmd[WIFI_CMD_BUF_SIZE];
    char reply[WIFI_REPLY_BUF_SIZE];
    struct pollfd pfd;
    pfd.fd = g_udp_sockfd.get();
    pfd.events = POLLIN;
    for (;;) {
        printf("===========wifi_udp_comm_task44  while===============\n");
        memset(cmd, 0, sizeof(cmd));
        memset(reply, 0, sizeof(reply));
        pfd.revents = 0;
        if (wifi_plat().poll(&pfd, 1, -1) <= 0) continue;
        if (!(pfd.revents & POLLIN) || (pfd.revents & (POLLERR | POLLHUP))) continue;
        if (wifi_udp_recv_msg(cmd, sizeof(cmd)) != 0) continue;
        wifi_msg_set_origin(WIFI_CMD_UDP, g_udp_peer_addr.sin_addr.s_addr);
        wifi_msg_proc_distribute(cmd, reply, sizeof(reply));
        qel_data_boot_send_udp(reply, (int32_t)strlen(reply));
    }
    return nullptr;
}
