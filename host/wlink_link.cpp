// Links: the serial port and the UDP peer, one command and its reply, and the
// radio and LAN settings on top.
#include <arpa/inet.h>
#include <errno.h>
#include <fcntl.h>
#include <netdb.h>
#include <netinet/in.h>
#include <poll.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <termios.h>
#include <time.h>
#include <unistd.h>

#include "wlink_int.h"

const char *wlink_status_text(wlink_status s) {
    switch (s) {
    case WLINK_OK: return "ok";
    case WLINK_ERR_REPLY: return "the module answered +ERR";
    case WLINK_NO_REPLY: return "no reply";
    case WLINK_BAD_REPLY: return "a reply that does not answer the command";
    case WLINK_LINK_ERROR: return "link error";
    case WLINK_UNREACHABLE: return "nothing listens at that port";
    case WLINK_PORT_BUSY: return "port busy";
    case WLINK_OPEN_FAILED: return "cannot open the link";
    case WLINK_BAD_ARGUMENT: return "bad argument";
    case WLINK_BAD_VALUE: return "a value the module would not take";
    case WLINK_BAD_PACKAGE: return "a package the module would refuse";
    case WLINK_UPG_CONNECT: return "cannot connect to the upgrade port";
    case WLINK_UPG_WRONG_TOKEN: return "wrong token";
    case WLINK_UPG_REFUSED: return "the module refused the package or could not write it";
    case WLINK_UPG_LOST: return "upgrade connection lost";
    case WLINK_UPG_TIMEOUT: return "the module went silent";
    case WLINK_UPG_PROTOCOL: return "unexpected upgrade message";
    }
    return "unknown status";
}

void wlink_copy(char *dst, size_t size, const char *src) {
    if (dst == nullptr || size == 0) return;
    size_t n = strnlen(src, size - 1);
    memcpy(dst, src, n);
    dst[n] = '\0';
}

void wlink_fail(wlink_link *l, const char *fmt, ...) {
    if (l == nullptr) return;
    va_list ap;
    va_start(ap, fmt);
    vsnprintf(l->error, sizeof(l->error), fmt, ap);
    va_end(ap);
}

void wlink_trace_unit(wlink_link *l, wlink_trace_kind kind, int sent, const uint8_t *b, size_t n) {
    if (l->trace != nullptr) l->trace(l->trace_ctx, kind, sent, b, n);
}

int64_t wlink_now_ms(void) {
    struct timespec t;
    clock_gettime(CLOCK_MONOTONIC, &t);
    return (int64_t)t.tv_sec * 1000 + t.tv_nsec / 1000000;
}

static int ms_left(int64_t deadline) {
    int64_t left = deadline - wlink_now_ms();
    return left <= 0 ? 0 : left > 3600000 ? 3600000 : (int)left;
}

static void sleep_ms(int ms) {
    struct timespec t = {ms / 1000, (long)(ms % 1000) * 1000000L};
    while (nanosleep(&t, &t) != 0 && errno == EINTR) {
    }
}

// 1 ready, 0 time up, -1 error or hang-up (error set).
static int wait_fd(wlink_link *l, short events, int64_t deadline) {
    for (;;) {
        struct pollfd p = {l->fd, events, 0};
        int r = poll(&p, 1, ms_left(deadline));
        if (r < 0 && errno == EINTR) continue;
        if (r < 0) {
            wlink_fail(l, "poll: %s", strerror(errno));
            return -1;
        }
        if (r == 0) return 0;
        if (p.revents & events) return 1;
        if (!l->serial && (p.revents & POLLERR)) return 1;  // the receive tells which error (a refusal)
        wlink_fail(l, "%s", p.revents & POLLHUP ? "the line hung up" : "the port reported an error");
        return -1;
    }
}

static wlink_link *new_link(int fd, int serial) {
    wlink_link *l = (wlink_link *)calloc(1, sizeof(wlink_link));
    if (l == nullptr) return nullptr;
    l->fd = fd;
    l->serial = serial;
    l->timeout_ms = WLINK_DEFAULT_TIMEOUT_MS;
    l->retries = WLINK_DEFAULT_RETRIES;
    l->pace_ms = WLINK_DEFAULT_PACE_MS;
    return l;
}

wlink_status wlink_open_serial(const char *dev, wlink_link **out) {
    if (out == nullptr) return WLINK_BAD_ARGUMENT;
    *out = nullptr;
    if (dev == nullptr || *dev == '\0') return WLINK_BAD_ARGUMENT;
    int fd = open(dev, O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) return errno == EBUSY ? WLINK_PORT_BUSY : WLINK_OPEN_FAILED;
    // Two programs on one port would read each other's replies: the port is ours alone.
    if (flock(fd, LOCK_EX | LOCK_NB) != 0) {
        close(fd);
        return errno == EWOULDBLOCK ? WLINK_PORT_BUSY : WLINK_OPEN_FAILED;
    }
    struct termios tio;
    if (tcgetattr(fd, &tio) != 0 || ioctl(fd, TIOCEXCL) != 0) {
        close(fd);
        return WLINK_OPEN_FAILED;
    }
    cfmakeraw(&tio);
    tio.c_cflag &= ~(tcflag_t)(CSIZE | PARENB | CSTOPB | CRTSCTS);
    tio.c_cflag |= CS8 | CLOCAL | CREAD;
    tio.c_iflag &= ~(tcflag_t)(IXON | IXOFF | IXANY);
    tio.c_cc[VMIN] = 0;
    tio.c_cc[VTIME] = 0;
    if (cfsetispeed(&tio, B115200) != 0 || cfsetospeed(&tio, B115200) != 0 || tcsetattr(fd, TCSANOW, &tio) != 0) {
        ioctl(fd, TIOCNXCL);
        close(fd);
        return WLINK_OPEN_FAILED;
    }
    tcflush(fd, TCIFLUSH);
    *out = new_link(fd, 1);
    if (*out == nullptr) {
        ioctl(fd, TIOCNXCL);
        close(fd);
        return WLINK_OPEN_FAILED;
    }
    wlink_copy((*out)->host, sizeof((*out)->host), dev);
    return WLINK_OK;
}

wlink_status wlink_open_udp(const char *host, uint16_t port, wlink_link **out) {
    if (out == nullptr) return WLINK_BAD_ARGUMENT;
    *out = nullptr;
    if (host == nullptr || *host == '\0') return WLINK_BAD_ARGUMENT;
    struct addrinfo hints, *res = nullptr;
    memset(&hints, 0, sizeof hints);
    hints.ai_family = AF_INET;
    hints.ai_socktype = SOCK_DGRAM;
    if (getaddrinfo(host, nullptr, &hints, &res) != 0 || res == nullptr) return WLINK_OPEN_FAILED;
    struct sockaddr_in sin;
    memcpy(&sin, res->ai_addr, sizeof sin);
    freeaddrinfo(res);
    sin.sin_port = htons(port != 0 ? port : (uint16_t)WLINK_UDP_PORT);
    // Connected: only the module's datagrams come in, and a refusal (ICMP) shows.
    int fd = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    if (fd < 0) return WLINK_OPEN_FAILED;
    if (connect(fd, (struct sockaddr *)&sin, sizeof sin) != 0) {
        close(fd);
        return WLINK_OPEN_FAILED;
    }
    *out = new_link(fd, 0);
    if (*out == nullptr) {
        close(fd);
        return WLINK_OPEN_FAILED;
    }
    wlink_copy((*out)->host, sizeof((*out)->host), host);
    struct timespec t;
    clock_gettime(CLOCK_REALTIME, &t);
    (*out)->seq = (uint8_t)(t.tv_nsec ^ (t.tv_nsec >> 8) ^ getpid());
    return WLINK_OK;
}

void wlink_close(wlink_link *l) {
    if (l == nullptr) return;
    if (l->serial) ioctl(l->fd, TIOCNXCL);
    close(l->fd);
    free(l);
}

int wlink_is_serial(const wlink_link *l) { return l != nullptr && l->serial; }
int wlink_fd(const wlink_link *l) { return l != nullptr ? l->fd : -1; }
const char *wlink_last_error(const wlink_link *l) { return l != nullptr ? l->error : "no link"; }
void wlink_set_timeout(wlink_link *l, int ms) {
    if (l) l->timeout_ms = ms > 0 ? ms : WLINK_DEFAULT_TIMEOUT_MS;
}
void wlink_set_retries(wlink_link *l, int retries) {
    if (l) l->retries = retries >= 0 ? retries : 0;
}
void wlink_set_pace(wlink_link *l, int ms) {
    if (l) l->pace_ms = ms >= 0 ? ms : 0;
}
void wlink_set_trace(wlink_link *l, wlink_trace_fn fn, void *ctx) {
    if (l == nullptr) return;
    l->trace = fn;
    l->trace_ctx = ctx;
}

static wlink_status write_all(wlink_link *l, const uint8_t *p, size_t n) {
    int64_t deadline = wlink_now_ms() + l->timeout_ms;
    while (n > 0) {
        ssize_t w = write(l->fd, p, n);
        if (w > 0) {
            p += w;
            n -= (size_t)w;
            continue;
        }
        if (w < 0 && errno != EINTR && errno != EAGAIN && errno != EWOULDBLOCK) {
            wlink_fail(l, "write: %s", strerror(errno));
            return WLINK_LINK_ERROR;
        }
        int r = wait_fd(l, POLLOUT, deadline);
        if (r <= 0) {
            if (r == 0) wlink_fail(l, "the port took no bytes for %d ms", l->timeout_ms);
            return WLINK_LINK_ERROR;
        }
    }
    return WLINK_OK;
}

// Whole messages read within the time limit until one can answer cmd.
static wlink_status serial_command(wlink_link *l, const char *cmd, size_t len, char *reply, size_t size) {
    uint8_t frames[WLINK_FRAME_SIZE * 11];
    size_t total = wlink_frames_encode(cmd, len, frames, sizeof frames);
    tcflush(l->fd, TCIFLUSH);  // what came before this command answers none of it
    for (size_t off = 0; off < total; off += WLINK_FRAME_SIZE) {
        if (off > 0 && l->pace_ms > 0) sleep_ms(l->pace_ms);
        wlink_trace_unit(l, WLINK_TRACE_FRAME, 1, frames + off, WLINK_FRAME_SIZE);
        wlink_status st = write_all(l, frames + off, WLINK_FRAME_SIZE);
        if (st != WLINK_OK) return st;
    }
    wlink_stream s;
    wlink_stream_init(&s, WLINK_REPLY_MAX);
    int64_t deadline = wlink_now_ms() + l->timeout_ms;
    bool mismatched = false;
    for (;;) {
        int r = wait_fd(l, POLLIN, deadline);
        if (r < 0) return WLINK_LINK_ERROR;
        if (r == 0) break;
        uint8_t *at;
        size_t room = wlink_stream_space(&s, &at);
        ssize_t got = read(l->fd, at, room);
        if (got < 0 && (errno == EINTR || errno == EAGAIN || errno == EWOULDBLOCK)) continue;
        if (got <= 0) {  // nothing to read though ready: the other end of the line is gone
            wlink_fail(l, got < 0 ? "read: %s" : "the line hung up", strerror(errno));
            return WLINK_LINK_ERROR;
        }
        wlink_stream_commit(&s, (size_t)got);
        const uint8_t *f = nullptr;
        size_t skipped;
        for (;;) {
            wlink_take t = wlink_stream_take(&s, &f, &skipped);
            if (skipped > 0) wlink_trace_unit(l, WLINK_TRACE_JUNK, 0, s.junk, skipped);
            if (t == WLINK_TAKE_NONE) break;
            wlink_trace_unit(l, WLINK_TRACE_FRAME, 0, f, WLINK_FRAME_SIZE);
            if (t != WLINK_TAKE_DONE) continue;
            wlink_status m = wlink_reply_matches(cmd, s.msg);
            if (m == WLINK_BAD_REPLY) {
                wlink_fail(l, "\"%s\" cannot answer %s", s.msg, cmd);
                mismatched = true;
                continue;
            }
            wlink_copy(reply, size, s.msg);
            if (m == WLINK_ERR_REPLY) wlink_fail(l, "%s answered +ERR", cmd);
            return m;
        }
    }
    if (mismatched) return WLINK_BAD_REPLY;
    wlink_fail(l, "no reply to %s within %d ms", cmd, l->timeout_ms);
    return WLINK_NO_REPLY;
}

static wlink_status udp_command(wlink_link *l, const char *cmd, size_t len, char *reply, size_t size) {
    uint8_t dgram[WLINK_DGRAM_OVERHEAD + WLINK_CMD_MAX], buf[512];
    uint8_t seq = ++l->seq;
    size_t n = wlink_datagram_encode(seq, cmd, len, dgram, sizeof dgram);
    for (int attempt = 0; attempt <= l->retries; attempt++) {
        wlink_trace_unit(l, WLINK_TRACE_DATAGRAM, 1, dgram, n);
        ssize_t s;
        do s = send(l->fd, dgram, n, 0);
        while (s < 0 && errno == EINTR);
        if (s < 0 && errno == ECONNREFUSED) {
            wlink_fail(l, "nothing listens at %s (the host refused the datagram)", l->host);
            return WLINK_UNREACHABLE;
        }
        if (s < 0) {
            wlink_fail(l, "send: %s", strerror(errno));
            return WLINK_LINK_ERROR;
        }
        int64_t deadline = wlink_now_ms() + l->timeout_ms;
        for (;;) {
            int r = wait_fd(l, POLLIN, deadline);
            if (r < 0) return WLINK_LINK_ERROR;
            if (r == 0) break;
            ssize_t got = recv(l->fd, buf, sizeof buf, MSG_DONTWAIT);
            if (got < 0 && errno == ECONNREFUSED) {
                wlink_fail(l, "nothing listens at %s (the host refused the datagram)", l->host);
                return WLINK_UNREACHABLE;
            }
            if (got < 0) continue;
            wlink_trace_unit(l, WLINK_TRACE_DATAGRAM, 0, buf, (size_t)got);
            char text[WLINK_REPLY_MAX + 1];
            uint8_t rseq;
            if (wlink_datagram_decode(buf, (size_t)got, &rseq, text, sizeof text) != WLINK_OK || rseq != seq) continue;
            wlink_status m = wlink_reply_matches(cmd, text);
            if (m == WLINK_BAD_REPLY) {
                wlink_fail(l, "\"%s\" cannot answer %s", text, cmd);
                return m;
            }
            wlink_copy(reply, size, text);
            if (m == WLINK_ERR_REPLY) wlink_fail(l, "%s answered +ERR", cmd);
            return m;
        }
    }
    wlink_fail(l, "no reply to %s from %s within %d ms after %d %s", cmd, l->host, l->timeout_ms, l->retries + 1,
               l->retries ? "tries" : "try");
    return WLINK_NO_REPLY;
}

wlink_status wlink_command(wlink_link *l, const char *cmd, char *reply, size_t reply_size) {
    if (l == nullptr || cmd == nullptr) return WLINK_BAD_ARGUMENT;
    if (reply != nullptr && reply_size > 0) reply[0] = '\0';
    l->error[0] = '\0';
    size_t len = strlen(cmd);
    if (len == 0 || len > WLINK_CMD_MAX) {
        wlink_fail(l, len == 0 ? "empty command" : "command longer than %d bytes", WLINK_CMD_MAX);
        return WLINK_BAD_ARGUMENT;
    }
    return l->serial ? serial_command(l, cmd, len, reply, reply_size) : udp_command(l, cmd, len, reply, reply_size);
}

// ---- settings

struct setting_row {
    const char *name, *get, *set;
};

static const setting_row kSettings[WLINK_SETTING_COUNT] = {
    {"ssid", "AT+SSID", "AT+SSID="},         {"key", "AT+KEY", "AT+KEY="},
    {"channel", "AT+CHANNEL", "AT+CHANNEL="}, {"current-channel", "AT+CHANNEL!=", nullptr},
    {"auth", "AT+AUTH", "AT+AUTH="},         {"encryption", "AT+ENCRY", "AT+ENCRY="},
    {"wifi", "AT+WIFI", "AT+WIFI="},         {"htmode", "AT+HTMODE", "AT+HTMODE="},
    {"country", "AT+COUNTRY", "AT+COUNTRY="}, {"txpower", "AT+TXPOWER", "AT+TXPOWER="},
    {"stanum", "AT+STANUM", "AT+STANUM="},   {"lanip", "AT+LANIP", "AT+LANIP="},
    {"udp-peer", "AT+UIP", "AT+UIP="},       {"dhcp", nullptr, "AT+DHCP="},
    {"vlan", "AT+VLAN", "AT+VLAN="},         {"ports", "AT+PORT", nullptr},
};

static bool valid(wlink_setting s) { return (unsigned)s < WLINK_SETTING_COUNT; }
const char *wlink_setting_name(wlink_setting s) { return valid(s) ? kSettings[s].name : nullptr; }
int wlink_setting_readable(wlink_setting s) { return valid(s) && kSettings[s].get != nullptr; }
int wlink_setting_writable(wlink_setting s) { return valid(s) && kSettings[s].set != nullptr; }
int wlink_setting_by_name(const char *name) {
    for (int i = 0; name != nullptr && i < WLINK_SETTING_COUNT; i++)
        if (strcmp(name, kSettings[i].name) == 0) return i;
    return -1;
}

wlink_status wlink_get(wlink_link *l, wlink_setting s, char *value, size_t size) {
    if (l == nullptr || !wlink_setting_readable(s)) return WLINK_BAD_ARGUMENT;
    char reply[WLINK_REPLY_MAX + 1];
    wlink_status st = wlink_command(l, kSettings[s].get, reply, sizeof reply);
    if (st != WLINK_OK) return st;
    size_t n = strlen(reply);
    while (n > 4 && (reply[n - 1] == '\n' || reply[n - 1] == '\r')) reply[--n] = '\0';
    wlink_copy(value, size, reply + 4);
    return WLINK_OK;
}

// Whole text a decimal number within lo..hi.
static bool number(const char *v, long lo, long hi, long *out = nullptr) {
    if (*v == '\0' || strlen(v) > 9) return false;
    for (const char *p = v; *p; p++)
        if (*p < '0' || *p > '9') return false;
    long n = strtol(v, nullptr, 10);
    if (out) *out = n;
    return n >= lo && n <= hi;
}

static bool one_of(const char *v, const char *const *words) {
    for (; *words; words++)
        if (strcmp(v, *words) == 0) return true;
    return false;
}

static bool printable(const char *v) {
    for (; *v; v++)
        if ((unsigned char)*v < 0x20 || (unsigned char)*v > 0x7E) return false;
    return true;
}

static bool ipv4(const char *v) {
    struct in_addr a;
    return inet_pton(AF_INET, v, &a) == 1;
}

static bool is_off(const char *v) { return strcasecmp(v, "off") == 0; }

// The module's value for v, or null with *why set.
static const char *check_value(wlink_setting s, const char *v, char *norm, size_t norm_size, const char **why) {
    static const char *const kAuth[] = {"OPEN", "WPAPSK", "WPA2PSK", "WPAPSK_WPA2PSK", nullptr};
    static const char *const kEnc[] = {"NONE", "AES", "TKIP", "TKIP/AES", nullptr};
    static const char *const kHt[] = {"HT20", "HT40", "AUTO", nullptr};
    size_t len = strlen(v);
    switch (s) {
    case WLINK_SSID:
        if (len < 1 || len > 32 || !printable(v)) return *why = "an SSID is 1 to 32 printable characters", nullptr;
        return v;
    case WLINK_KEY: {
        bool hex64 = len == 64 && strspn(v, "0123456789abcdefABCDEF") == 64;
        if (!hex64 && (len < 8 || len > 63 || !printable(v)))
            return *why = "a key is 8 to 63 printable characters or 64 hex digits", nullptr;
        return v;
    }
    case WLINK_CHANNEL:
        if (strcmp(v, "auto") != 0 && !number(v, 1, 13)) return *why = "a channel is auto or 1 to 13", nullptr;
        return v;
    case WLINK_AUTH:
        if (!one_of(v, kAuth)) return *why = "auth is OPEN, WPAPSK, WPA2PSK or WPAPSK_WPA2PSK", nullptr;
        return v;
    case WLINK_ENCRYPTION:
        if (!one_of(v, kEnc)) return *why = "encryption is NONE, AES, TKIP or TKIP/AES", nullptr;
        return v;
    case WLINK_WIFI:
        if (strcasecmp(v, "on") == 0) return "ON";
        if (is_off(v)) return "OFF";
        return *why = "wifi is on or off", nullptr;
    case WLINK_HTMODE:
        if (!one_of(v, kHt)) return *why = "htmode is HT20, HT40 or AUTO", nullptr;
        return v;
    case WLINK_COUNTRY:
        if (len != 2 || v[0] < 'A' || v[0] > 'Z' || v[1] < 'A' || v[1] > 'Z')
            return *why = "a country is two capital letters (CN, US, ...)", nullptr;
        return v;
    case WLINK_TXPOWER:
        if (!number(v, 1, 100)) return *why = "txpower is 1 to 100 (percent)", nullptr;
        return v;
    case WLINK_STANUM:
        if (!number(v, 1, 32)) return *why = "stanum is 1 to 32 stations", nullptr;
        return v;
    case WLINK_LANIP:
    case WLINK_UDP_PEER:
        if (!ipv4(v)) return *why = "an address is a dotted IPv4 address (192.168.1.1)", nullptr;
        return v;
    case WLINK_DHCP: {
        if (is_off(v)) return "OFF";
        char w[3][16];
        char extra[2];
        long start, pool, hours;
        if (sscanf(v, "%15s %15s %15s %1s", w[0], w[1], w[2], extra) != 3) {
            return *why = "dhcp is \"START POOL HOURS\" or off", nullptr;
        }
        size_t hl = strlen(w[2]);
        if (hl > 1 && w[2][hl - 1] == 'h') w[2][hl - 1] = '\0';
        if (!number(w[0], 1, 254, &start) || !number(w[1], 0, 253, &pool) || pool > 254 - start ||
            !number(w[2], 1, 596523, &hours))
            return *why = "dhcp is START 1-254, POOL up to 254-START addresses, HOURS 1 or more", nullptr;
        snprintf(norm, norm_size, "%ld %ld %ldh", start, pool, hours);
        return norm;
    }
    case WLINK_VLAN:
        if (is_off(v)) return "OFF";
        if (len == 0 || strspn(v, "abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ0123456789 ,.:_-") != len)
            return *why = "vlan takes letters, digits, blanks and , . : _ - only, or off", nullptr;
        return v;
    default:
        return *why = "not a setting that can be set", nullptr;
    }
}

wlink_status wlink_setting_command(wlink_setting s, const char *value, int force, char *cmd, size_t cmd_size,
                                   char *why, size_t why_size) {
    if (why != nullptr && why_size > 0) why[0] = '\0';
    if (!wlink_setting_writable(s) || value == nullptr || cmd == nullptr) {
        wlink_copy(why, why_size, "not a setting that can be set");
        return WLINK_BAD_ARGUMENT;
    }
    if (strpbrk(value, "\r\n") != nullptr) {
        wlink_copy(why, why_size, "a value holds no line break");
        return WLINK_BAD_VALUE;
    }
    char norm[64];
    const char *reason = nullptr;
    const char *v = check_value(s, value, norm, sizeof norm, &reason);
    if (v == nullptr && !force) {
        wlink_copy(why, why_size, reason);
        return WLINK_BAD_VALUE;
    }
    if (v == nullptr) v = value;
    int n = snprintf(cmd, cmd_size, "%s%s", kSettings[s].set, v);
    if (n < 0 || (size_t)n >= cmd_size || n > WLINK_CMD_MAX) {
        wlink_copy(why, why_size, "the value makes the command longer than 127 bytes");
        return WLINK_BAD_VALUE;
    }
    return WLINK_OK;
}

wlink_status wlink_set(wlink_link *l, wlink_setting s, const char *value) {
    if (l == nullptr) return WLINK_BAD_ARGUMENT;
    char cmd[WLINK_CMD_MAX + 1], why[160];
    wlink_status st = wlink_setting_command(s, value, 0, cmd, sizeof cmd, why, sizeof why);
    if (st != WLINK_OK) {
        wlink_fail(l, "%s: %s", wlink_setting_name(s) ? wlink_setting_name(s) : "?", why);
        return st;
    }
    return wlink_command(l, cmd, nullptr, 0);
}

wlink_status wlink_apply(wlink_link *l) { return wlink_command(l, "AT+ENCFG", nullptr, 0); }
