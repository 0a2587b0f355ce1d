// The upgrade client: "AT+UPGRADE=" with a fresh token, then the TCP exchange with
// the module's upgrade port: request, token answer, package, heartbeats, result.
#include <arpa/inet.h>
#include <errno.h>
#include <fcntl.h>
#include <netdb.h>
#include <netinet/in.h>
#include <poll.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/random.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

#include "wlink_int.h"

enum {
    REQUEST_SIZE = 68,
    CONNECT_WINDOW_MS = 5000,  // the listener starts as the command is answered
    ANSWER_MS = 10000,         // the module answers a request at once
    DEFAULT_SILENCE_MS = 300000,
};

static void pause_ms(int ms) {
    struct timespec t = {0, (long)ms * 1000000L};
    nanosleep(&t, nullptr);
}

// Exactly 8 bytes within ms: 1, 0 on end of connection, -1 on time-out, -2 on error.
static int read_msg(int fd, uint8_t msg[8], int ms) {
    size_t have = 0;
    int64_t deadline = wlink_now_ms() + ms;
    while (have < 8) {
        int64_t left = deadline - wlink_now_ms();
        struct pollfd p = {fd, POLLIN, 0};
        int r = left <= 0 ? 0 : poll(&p, 1, (int)left);
        if (r < 0 && errno == EINTR) continue;
        if (r == 0) return -1;
        if (r < 0) return -2;
        ssize_t n = recv(fd, msg + have, 8 - have, 0);
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) return errno == ECONNRESET ? 0 : -2;
        if (n == 0) return 0;
        have += (size_t)n;
    }
    return 1;
}

static bool send_all(int fd, const uint8_t *p, size_t n) {
    while (n > 0) {
        ssize_t w = send(fd, p, n, MSG_NOSIGNAL);
        if (w < 0 && errno == EINTR) continue;
        if (w <= 0) return false;
        p += w;
        n -= (size_t)w;
    }
    return true;
}

// Connects and sends the request until the module's first answer: a refused
// connection, and one closed before any answer (a port forward that accepts
// before the module listens), are tried again for a few seconds.
static wlink_status open_exchange(wlink_link *l, const struct sockaddr_in *a, const uint8_t *request, int *fd_out,
                                  uint8_t answer[8]) {
    int64_t end = wlink_now_ms() + CONNECT_WINDOW_MS;
    bool reached = false;
    int err = 0;
    do {
        int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        if (fd < 0) {
            wlink_fail(l, "socket: %s", strerror(errno));
            return WLINK_UPG_CONNECT;
        }
        if (connect(fd, (const struct sockaddr *)a, sizeof *a) != 0) {
            err = errno;
            close(fd);
            pause_ms(50);
            continue;
        }
        wlink_trace_unit(l, WLINK_TRACE_UPGRADE, 1, request, REQUEST_SIZE);
        int r = send_all(fd, request, REQUEST_SIZE) ? read_msg(fd, answer, ANSWER_MS) : 0;
        if (r == 1) {
            *fd_out = fd;
            return WLINK_OK;
        }
        close(fd);
        if (r == -1) {
            wlink_fail(l, "no answer to the upgrade request within %d ms", ANSWER_MS);
            return WLINK_UPG_TIMEOUT;
        }
        reached = true;
        pause_ms(50);
    } while (wlink_now_ms() < end);
    if (reached) {
        wlink_fail(l, "the upgrade connection closed before the module answered");
        return WLINK_UPG_LOST;
    }
    wlink_fail(l, "cannot connect to the upgrade port: %s", strerror(err));
    return WLINK_UPG_CONNECT;
}

static wlink_status resolve(wlink_link *l, const char *host, uint16_t port, struct sockaddr_in *a) {
    struct addrinfo hints, *res = nullptr;
    memset(&hints, 0, sizeof hints);
    hints.ai_family = AF_INET;
    hints.ai_socktype = SOCK_STREAM;
    if (getaddrinfo(host, nullptr, &hints, &res) != 0 || res == nullptr) {
        wlink_fail(l, "cannot resolve %s", host);
        return WLINK_UPG_CONNECT;
    }
    memcpy(a, res->ai_addr, sizeof *a);
    freeaddrinfo(res);
    a->sin_port = htons(port != 0 ? port : (uint16_t)WLINK_UPGRADE_PORT);
    return WLINK_OK;
}

wlink_status wlink_upgrade(wlink_link *l, const uint8_t *pkg, size_t len, const wlink_upgrade_options *o) {
    if (l == nullptr || pkg == nullptr) return WLINK_BAD_ARGUMENT;
    wlink_upgrade_options none;
    memset(&none, 0, sizeof none);
    if (o == nullptr) o = &none;
    l->error[0] = '\0';
    if (len < 1 || len > WLINK_PACKAGE_MAX) {
        wlink_fail(l, "a package holds 1 to %d bytes, not %zu", WLINK_PACKAGE_MAX, len);
        return WLINK_BAD_PACKAGE;
    }
    wlink_package_info info;
    if (!o->force && wlink_package_check(pkg, len, &info) != WLINK_OK) {
        wlink_fail(l, "the module would refuse this package: %s", info.reason);
        return WLINK_BAD_PACKAGE;
    }
    const char *host = o->host != nullptr ? o->host : l->serial ? nullptr : l->host;
    if (host == nullptr) {
        wlink_fail(l, "over a serial link the module's network address must be given");
        return WLINK_BAD_ARGUMENT;
    }
    struct sockaddr_in addr;
    wlink_status st = resolve(l, host, o->port, &addr);
    if (st != WLINK_OK) return st;

    uint8_t rnd[16];
    if (getrandom(rnd, sizeof rnd, 0) != (ssize_t)sizeof rnd) {
        wlink_fail(l, "no random token: %s", strerror(errno));
        return WLINK_LINK_ERROR;
    }
    char token[33], cmd[64];
    for (int i = 0; i < 16; i++) snprintf(token + 2 * i, 3, "%02x", rnd[i]);
    snprintf(cmd, sizeof cmd, "AT+UPGRADE=%d %s", WLINK_UPGRADE_PORT, token);
    st = wlink_command(l, cmd, nullptr, 0);
    if (st != WLINK_OK) return st;

    uint8_t request[REQUEST_SIZE], msg[8];
    memset(request, 0, sizeof request);
    uint32_t be = htonl((uint32_t)len);
    memcpy(request, &be, 4);
    memcpy(request + 4, token, strlen(token));
    int fd = -1;
    st = open_exchange(l, &addr, request, &fd, msg);
    if (st != WLINK_OK) return st;
    wlink_trace_unit(l, WLINK_TRACE_UPGRADE, 0, msg, 8);
    int32_t type, value;
    wlink_upgrade_msg(msg, &type, &value);
    if (type != 0 || (value != 1 && value != 3)) {
        close(fd);
        wlink_fail(l, "the module answered the request with %d/%d", type, value);
        return WLINK_UPG_PROTOCOL;
    }
    if (value == 1) {
        close(fd);
        wlink_fail(l, "the module refused the token");
        return WLINK_UPG_WRONG_TOKEN;
    }
    for (size_t done = 0; done < len;) {
        size_t n = len - done < 65536 ? len - done : 65536;
        if (!send_all(fd, pkg + done, n)) {
            close(fd);
            wlink_fail(l, "the connection was lost after %zu of %zu package bytes", done, len);
            return WLINK_UPG_LOST;
        }
        wlink_trace_unit(l, WLINK_TRACE_PACKAGE, 1, nullptr, n);
        done += n;
        if (o->progress != nullptr) o->progress(o->ctx, done, len);
    }
    int silence = o->timeout_ms > 0 ? o->timeout_ms : DEFAULT_SILENCE_MS;
    for (int beats = 0;;) {
        int r = read_msg(fd, msg, silence);
        if (r != 1) {
            close(fd);
            if (r == -1) {
                wlink_fail(l, "no word from the module for %d ms", silence);
                return WLINK_UPG_TIMEOUT;
            }
            wlink_fail(l, "the connection was lost before the result");
            return WLINK_UPG_LOST;
        }
        wlink_trace_unit(l, WLINK_TRACE_UPGRADE, 0, msg, 8);
        wlink_upgrade_msg(msg, &type, &value);
        if (type == 4) {
            if (o->heartbeat != nullptr) o->heartbeat(o->ctx, value, ++beats);
            continue;
        }
        close(fd);
        if (type == 0 && value == 0) return WLINK_OK;
        if (type == 0 && value == -1) {
            wlink_fail(l, "the module refused the package or could not write it (its log says which)");
            return WLINK_UPG_REFUSED;
        }
        wlink_fail(l, "unexpected upgrade message %d/%d", type, value);
        return WLINK_UPG_PROTOCOL;
    }
}

wlink_status wlink_upgrade_file(wlink_link *l, const char *path, const wlink_upgrade_options *o) {
    if (l == nullptr || path == nullptr) return WLINK_BAD_ARGUMENT;
    int fd = open(path, O_RDONLY | O_CLOEXEC);
    struct stat st;
    if (fd < 0 || fstat(fd, &st) != 0 || st.st_size < 1 || st.st_size > WLINK_PACKAGE_MAX) {
        wlink_fail(l, fd < 0 ? "cannot read %s" : "%s: a package holds 1 to 5242880 bytes", path);
        if (fd >= 0) close(fd);
        return fd < 0 ? WLINK_BAD_ARGUMENT : WLINK_BAD_PACKAGE;
    }
    size_t len = (size_t)st.st_size, have = 0;
    uint8_t *pkg = (uint8_t *)malloc(len);
    while (pkg != nullptr && have < len) {
        ssize_t n = read(fd, pkg + have, len - have);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) break;
        have += (size_t)n;
    }
    close(fd);
    wlink_status r = WLINK_BAD_ARGUMENT;
    if (pkg != nullptr && have == len)
        r = wlink_upgrade(l, pkg, len, o);
    else
        wlink_fail(l, "cannot read %s", path);
    free(pkg);
    return r;
}
