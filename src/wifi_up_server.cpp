// The upgrade command and its one-shot exchange server.
#include <arpa/inet.h>
#include <errno.h>
#include <netinet/in.h>
#include <poll.h>
#include <pthread.h>
#include <sched.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/socket.h>
#include <unistd.h>

#include <utility>

#include "unique_fd.h"
#include "wifi_platform.h"
#include "wifi_up_proc.h"
#include "wifi_up_server.h"
#include "wifi_udp_link.h"
#include "wifi_util.h"

#define UP_ERR(fmt, ...) fprintf(stderr, "file:%s,line:%d, " fmt "\n", "wifi_up_server", __LINE__, ##__VA_ARGS__)

// One upgrade at a time. An upgrade is listening from its command until a host
// connects, then busy until its result is sent and its connection closed. A command
// while one listens gives that listener a new token; a command while one is busy is
// refused. s_struUpHeader holds the token of the listening or busy upgrade.
enum up_state { UP_IDLE, UP_LISTENING, UP_BUSY };
enum {
    UP_LISTEN_MS = 60000,  // a listener no host connects to closes after this
    UP_REQUEST_MS = 5000,  // a connected host has this long for its whole request
};

static pthread_mutex_t s_up_lock = PTHREAD_MUTEX_INITIALIZER;
static up_state s_up_state = UP_IDLE;
static unsigned s_up_generation;  // counts the tokens given to the listener
static struUpHeader s_struUpHeader;
// The address the upgrade's host connects from (network byte order; 0: any), and the
// refused connections' log lines, at most one a second.
static uint32_t s_up_peer;
static wifi_log_limit s_refused_log;

static void log_result(int ret) {
    switch (ret) {
        case 0:
            UP_ERR("upgrade success.");
            break;
        case 4:
            UP_ERR("UPGRADE_PROCESSING upgrade failed.");
            break;
        case 7:
            UP_ERR("UPGRADE_LANG_MIS upgrade failed.");
            break;
        case 11:
            UP_ERR("UPGRADE_FLASH_ERR upgrade failed.");
            break;
        default:
            UP_ERR("other error upgrade failed.");
            break;
    }
}

int netClientSoftUpgrade(int fd) {
    if (fd < 0) {
        UP_ERR("exist null pointer or error socket[%d]", fd);
        return -1;
    }
    printf("===========netClientSoftUpgrade  while===============\n");
    // The request whole, however TCP cuts it, within its 5 s; else closed without a word.
    uint8_t req[WIFI_UPGRADE_REQ_LEN];
    memset(req, 0, sizeof(req));
    size_t have = 0;
    const int64_t end = wifi_plat().monotonic_ms() + UP_REQUEST_MS;
    while (have < sizeof(req)) {
        const int64_t left = end - wifi_plat().monotonic_ms();
        struct pollfd p = {fd, POLLIN, 0};
        if (left <= 0 || wifi_plat().poll(&p, 1, (int)left) <= 0 || !(p.revents & POLLIN)) break;
        ssize_t got = recv(fd, req + have, sizeof(req) - have, 0);
        if (got < 0 && errno == EINTR) continue;
        if (got <= 0) break;
        have += (size_t)got;
    }
    if (have < sizeof(req)) {
        UP_ERR("request header incomplete: %u of %u bytes", (unsigned)have, (unsigned)sizeof(req));
        return -1;
    }
    uint32_t len_be;
    memcpy(&len_be, req, 4);
    const int32_t len = (int32_t)ntohl(len_be);
    printf("===========first recv len[%d]\n", len);
    if (len < 1 || len > WIFI_UPG_MAX_LEN) {
        UP_ERR("iLen error ilen[%d]", len);
        return -1;
    }

    char token[WIFI_UPGRADE_TOKEN_LEN + 1], expected[WIFI_UPGRADE_TOKEN_LEN + 1];
    memset(token, 0, sizeof(token));
    memset(expected, 0, sizeof(expected));
    memcpy(token, req + 4, WIFI_UPGRADE_TOKEN_LEN);
    pthread_mutex_lock(&s_up_lock);
    memcpy(expected, s_struUpHeader.szrandom, WIFI_UPGRADE_TOKEN_LEN);
    pthread_mutex_unlock(&s_up_lock);
    printf("netClientSoftUpgrade struUpHeader.szrandom [%s],s_struUpHeader.szrandom[%s]=\n", token, expected);

    if (strncmp(token, expected, WIFI_UPGRADE_TOKEN_LEN) != 0) {
        if (wifi_up_send_ack(fd, 0, WIFI_UPGRADE_PASSWD_ERR) == 0)
            printf("send ========WIFI_UPGRADE_PASSWD_ERR======= suc===\n");
        else
            UP_ERR("Send EXITor:");
        UP_ERR("netClientSoftUpgrade failed");
        return -1;
    }
    printf("good\n");
    if (wifi_up_send_ack(fd, 0, WIFI_UPGRADE_PASSWD_OK) != 0) {
        UP_ERR("Send EXITor:");
        UP_ERR("netClientSoftUpgrade failed");
        return -1;
    }
    printf("send return ok\n");
    printf("sysUpgParam.iFileLen start ===sysUpgParam.iFileLen[%d]\n", len);

    sysUpgParam param = {3, fd, len};
    int ret = sys_upgrade(&param);
    printf("sys_upgrade end and iUpgRet[%d]\n", ret);
    log_result(ret);
    printf("sdk upgrade retVal=%d, iUpgRet=%d\n", ret, ret);
    // The heartbeat has been stopped and joined: this is the last message.
    if (wifi_up_send_ack(fd, 0, ret) != 0) {
        UP_ERR("Send EXITor:");
        UP_ERR("netClientSoftUpgrade failed");
        return -1;
    }
    return ret == 0 ? 0 : -1;
}

static void up_set_state(up_state st) {
    pthread_mutex_lock(&s_up_lock);
    s_up_state = st;
    pthread_mutex_unlock(&s_up_lock);
}

// Whether a connection from addr may be this upgrade's; a refused one is closed at
// once without a word and the listener waits on. Called with s_up_lock held.
static bool up_from_its_host(const struct sockaddr_in &addr) {
    if (s_up_peer == 0 || addr.sin_addr.s_addr == s_up_peer) return true;
    char from[INET_ADDRSTRLEN] = {0}, host[INET_ADDRSTRLEN] = {0};
    inet_ntop(AF_INET, &addr.sin_addr, from, sizeof(from));
    inet_ntop(AF_INET, &s_up_peer, host, sizeof(host));
    unsigned dropped;
    if (wifi_log_limit_take(&s_refused_log, wifi_plat().monotonic_ms(), &dropped))
        UP_ERR("connection from %s refused: the upgrade is for %s (%u more refused unlogged)", from, host, dropped);
    return false;
}

// Waits for the one host of this upgrade; -1 when none came in time. The wait starts
// again whenever a command gives the listener a new token; connections from another
// address neither end nor prolong it.
static UniqueFd up_accept(UniqueFd &lsn) {
    pthread_mutex_lock(&s_up_lock);
    unsigned gen = s_up_generation;
    pthread_mutex_unlock(&s_up_lock);
    int64_t end = wifi_plat().monotonic_ms() + UP_LISTEN_MS;
    for (;;) {
        struct pollfd ready = {lsn.get(), POLLIN, 0};
        const int64_t left = end - wifi_plat().monotonic_ms();
        int n = left > 0 ? wifi_plat().poll(&ready, 1, (int)left) : 0;
        if (n < 0 && errno == EINTR) continue;
        pthread_mutex_lock(&s_up_lock);
        struct sockaddr_in from;
        socklen_t from_len = sizeof(from);
        UniqueFd c(n > 0 ? accept4(lsn.get(), (struct sockaddr *)&from, &from_len, SOCK_CLOEXEC) : -1);
        if (c.valid() && !up_from_its_host(from)) {
            c.reset();
            n = 1;  // not a time-out: the listener waits on
        }
        if (c.valid() || (n <= 0 && gen == s_up_generation)) {
            // Connected: busy from now on. Or given up: the port is free for the next
            // command before it can come.
            if (!c.valid()) lsn.reset();
            s_up_state = c.valid() ? UP_BUSY : UP_IDLE;
            pthread_mutex_unlock(&s_up_lock);
            if (!c.valid()) UP_ERR("no host connected within %d s, listener closed", UP_LISTEN_MS / 1000);
            return c;
        }
        if (gen != s_up_generation) end = wifi_plat().monotonic_ms() + UP_LISTEN_MS;
        gen = s_up_generation;
        pthread_mutex_unlock(&s_up_lock);
    }
}

// The listener's descriptor travels in the thread's argument itself: nothing to
// allocate (the daemon has no C++ library to allocate with) and nothing to free.
static void *fd_arg(int fd) { return reinterpret_cast<void *>(static_cast<intptr_t>(fd)); }

static void *wifi_upgrade_proc(void *arg) {
    // The listener is this thread's from here on.
    UniqueFd lsn(static_cast<int>(reinterpret_cast<intptr_t>(arg)));
    printf("=============== wifi_upgrade_proc start==\n");
    UniqueFd conn(up_accept(lsn));
    printf("==========22 link_id[%d],sock_id[%d]\n", conn.get(), lsn.get());
    // One connection only: the listener goes now, so that a host that starts the next
    // upgrade right after this one's result never reaches a listener about to close.
    lsn.reset();
    if (!conn.valid()) return nullptr;
    printf("Accept socket suc link_id[%d]\n", conn.get());
    if (netClientSoftUpgrade(conn.get()) == 0) printf("start send heart \n");
    // The processing has ended: a host that sees the close may start the next one.
    up_set_state(UP_IDLE);
    conn.reset();
    return nullptr;
}

// The upgrade's listener, bound and listening before the command is answered, so
// that a host connecting right after "+OK" finds it; -1 when it cannot be had.
static int up_listen(const struUpHeader *blk) {
    // Non-blocking: a host gone between the wake-up and the accept must not hold the
    // accept (and the lock around it).
    UniqueFd lsn(socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0));
    if (!lsn.valid()) {
        UP_ERR("Create socket failed");
        return -1;
    }
    char shown[WIFI_UPGRADE_TOKEN_LEN + 1];
    memset(shown, 0, sizeof(shown));
    memcpy(shown, blk->szrandom, WIFI_UPGRADE_TOKEN_LEN);
    printf("============pstru_heard->port [%d],randon[%s]\n", blk->port, shown);
    // The module closes each exchange first, so the port sits in TIME_WAIT for a
    // while; a host that upgrades again at once must still find a listener.
    int on = 1;
    setsockopt(lsn.get(), SOL_SOCKET, SO_REUSEADDR, &on, sizeof(on));
    struct sockaddr_in addr;
    wifi_plat().bind_addr(WIFI_PORT_UPGRADE, &addr);
    if (bind(lsn.get(), (struct sockaddr *)&addr, sizeof(addr)) != 0) {
        UP_ERR("Bind socket failed");
        return -1;
    }
    // Room for the real host's connection while others' are being refused.
    if (listen(lsn.get(), 8) != 0) {
        UP_ERR("Listen socket failed");
        return -1;
    }
    return lsn.release();
}

// The address the host that sent this command will connect from: over UDP the
// datagram's source, over the serial line the allowed UDP peer (any without one).
static uint32_t up_host_of_command() {
    const wifi_cmd_origin o = wifi_msg_origin();
    if (o.link == WIFI_CMD_UDP) return o.addr;
    char ip[WIFI_UDP_SRC_IP_SIZE];
    wifi_read_udp_src_ipaddr(ip, sizeof(ip));
    struct in_addr a;
    return inet_pton(AF_INET, ip, &a) == 1 ? a.s_addr : 0;
}

// Puts the command's token (and port) in force, for the host that sent it; called
// with s_up_lock held.
static void up_take_token(const struUpHeader *blk) {
    s_struUpHeader = *blk;
    s_up_peer = up_host_of_command();
    s_up_generation++;
    char shown[WIFI_UPGRADE_TOKEN_LEN + 1];
    memset(shown, 0, sizeof(shown));
    memcpy(shown, blk->szrandom, WIFI_UPGRADE_TOKEN_LEN);
    printf("s_struUpHeader.szrandom [%s],serv_addr.sin_port[%d]\n", shown, blk->port);
}

// Starts an upgrade for the command's parameters: "+OK" once its listener holds
// the token, "+ERR" (-1) when another upgrade is busy or no listener can be had.
static int up_start(const struUpHeader *blk, pthread_attr_t *attr) {
    pthread_mutex_lock(&s_up_lock);
    if (s_up_state == UP_BUSY) {
        pthread_mutex_unlock(&s_up_lock);
        UP_ERR("an upgrade is in progress, command refused");
        return -1;
    }
    if (s_up_state == UP_LISTENING) {
        up_take_token(blk);
        pthread_mutex_unlock(&s_up_lock);
        return 0;
    }
    UniqueFd lsn(up_listen(blk));  // the thread's once it runs
    if (!lsn.valid()) {
        pthread_mutex_unlock(&s_up_lock);
        return -1;
    }
    printf(" create wifi_upgrade_proc start===\n");
    pthread_t tid;
    if (pthread_create(&tid, attr, wifi_upgrade_proc, fd_arg(lsn.get())) != 0) {
        printf("===========pthread_create uart error!!!===========================\n");
        pthread_mutex_unlock(&s_up_lock);
        return -1;
    }
    lsn.release();
    up_take_token(blk);
    s_up_state = UP_LISTENING;
    pthread_mutex_unlock(&s_up_lock);
    return 0;
}

WIFI_HANDLER(wifi_msg_proc_upgrade_wifi_rsp) {
    if (!wifi_args_ok(cmd, reply, reply_size)) {
        printf("===============wifi_msg_proc_upgrade_wifi_rsp failed ==\n");
        return -1;
    }
    char para[WIFI_PARA_BUF_SIZE];
    memset(para, 0, sizeof(para));
    if (wifi_msg_get_cmd_para(cmd, para, sizeof(para)) != 0) {
        printf("wifi_msg_get_cmd_para error\n");
        return -1;
    }
    printf("====szCmdParaStr [%s]\n", para);
    const char *blank = strchr(para, ' ');
    if (blank == nullptr) {
        printf("-----------ptr  null error,\n");
        return -1;
    }
    const int port_len = (int)(blank - para);
    printf("-----------ptr not null,and [%s]\n", blank);
    printf("iLen [%d]===\n", port_len);

    // The port: the leading digits of at most the first four characters.
    char digits[5] = {0};
    memcpy(digits, para, port_len < 4 ? (size_t)port_len : 4);
    const char *dp = digits;
    int port = 0;
    if (wifi_parse_int(&dp, -999, 9999, &port) != 0) port = 0;

    // Without a token any request whose token starts with a zero byte would pass.
    if (blank[1] == '\0') {
        printf("-----------token empty error,\n");
        return -1;
    }
    struUpHeader blk;
    memset(&blk, 0, sizeof(blk));
    blk.port = port;
    memcpy(blk.szrandom, blank + 1, strnlen(blank + 1, WIFI_UPGRADE_TOKEN_LEN));  // at most 64, zero-filled
    char shown[WIFI_UPGRADE_TOKEN_LEN + 1] = {0};
    memcpy(shown, blk.szrandom, WIFI_UPGRADE_TOKEN_LEN);
    printf("szCmdParaStr port[%d],szrandom[%s]\n", port, shown);
    printf("call_fun\n");

    pthread_attr_t attr;
    pthread_attr_init(&attr);
    pthread_attr_setdetachstate(&attr, PTHREAD_CREATE_DETACHED);
    if (pthread_attr_setschedpolicy(&attr, SCHED_RR) != 0) {
        fprintf(stderr, "pthread_attr_setschedpolicy SCHED_RR failed.\n");
        pthread_attr_destroy(&attr);
        return 0;
    }
    int ret = up_start(&blk, &attr);
    pthread_attr_destroy(&attr);
    if (ret != 0) return -1;
    snprintf(reply, (size_t)reply_size, "%s", "+OK");
    wifi_log_ok(__func__, cmd);
    return 0;
}

WIFI_HANDLER(wifi_msg_proc_get_flash_info_rsp) {
    if (!wifi_args_ok(cmd, reply, reply_size)) return -1;
    const long long image = wifi_plat().flash_size("/dev/mtd5"), app = wifi_plat().flash_size("/dev/mtd6");
    if (image < 0 || app < 0) return -1;
    char sizes[48];
    snprintf(sizes, sizeof(sizes), "%lld,%lld", image, app);
    return wifi_reply_val(__func__, cmd, reply, reply_size, sizes);
}

WIFI_HANDLER(wifi_msg_proc_get_upgrade_state_rsp) {
    if (!wifi_args_ok(cmd, reply, reply_size)) return -1;
    pthread_mutex_lock(&s_up_lock);
    const bool busy = s_up_state == UP_BUSY;
    pthread_mutex_unlock(&s_up_lock);
    return wifi_reply_val(__func__, cmd, reply, reply_size,
                          busy                  ? "busy"
                          : sys_upg_mark_left() ? "interrupted"
                                                : "none");
}
