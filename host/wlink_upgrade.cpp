// The upgrade client: the partition sizes, "AT+UPGRADE=" with a fresh token, then
// the TCP exchange with the module's upgrade port: request, token answer, package,
// heartbeats, result. Every wait ends at its own limit, at the upgrade's deadline or
// at a cancel, whichever comes first.
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
#include <unistd.h>

#include "wlink_int.h"

enum {
    REQUEST_SIZE = 68,
    CONNECT_WINDOW_MS = 5000,  // the listener starts as the command is answered
    ANSWER_MS = 10000,         // the module answers a request at once
    BUSY_GRACE_MS = 2000,      // how long a refused AT+UPGRADE= is asked again
    IMAGE_HEAD = 64,
};

// Outcomes of one wait or transfer.
enum { IO_READY = 1, IO_EOF = 0, IO_TIMEOUT = -1, IO_CANCEL = -2, IO_DEADLINE = -3, IO_ERROR = -4 };

struct upgrade {
    wlink_link *l;
    wlink_upgrade_options o;
    int64_t deadline;  // the whole upgrade's; 0: none
    int sent_all;      // the module has the whole package: it may be writing flash
};

void wlink_upgrade_options_init(wlink_upgrade_options *o) {
    if (o == nullptr) return;
    memset(o, 0, sizeof *o);
    o->size = sizeof *o;
    o->timeout_ms = WLINK_DEFAULT_UPGRADE_SILENCE_MS;
}

int wlink_upgrade_may_be_writing(const wlink_link *l) { return l != nullptr && l->upgrade_may_be_writing; }

// Waits on fd until `until` (0: none) or the upgrade's deadline.
static int wait_io(upgrade &u, int fd, short events, int64_t until) {
    int64_t end = until;
    bool overall = u.deadline != 0 && (end == 0 || u.deadline <= end);
    if (overall) end = u.deadline;
    short rev = 0;
    int r = wlink_wait(u.l, fd, events, end, &rev);
    if (r == -1) return IO_CANCEL;
    if (r == -2) return IO_ERROR;
    if (r == 0) return overall ? IO_DEADLINE : IO_TIMEOUT;
    return IO_READY;
}

// Exactly 8 bytes within ms.
static int read_msg(upgrade &u, int fd, uint8_t msg[8], int ms) {
    size_t have = 0;
    int64_t until = wlink_now_ms() + ms;
    while (have < 8) {
        int r = wait_io(u, fd, POLLIN, until);
        if (r != IO_READY) return r;
        ssize_t n = recv(fd, msg + have, 8 - have, MSG_DONTWAIT);
        if (n < 0 && (errno == EINTR || errno == EAGAIN || errno == EWOULDBLOCK)) continue;
        if (n < 0 && errno != ECONNRESET) {
            wlink_fail_os(u.l, errno, "recv");
            return IO_ERROR;
        }
        if (n <= 0) return IO_EOF;
        have += (size_t)n;
    }
    return IO_READY;
}

static int send_all(upgrade &u, int fd, const uint8_t *p, size_t n) {
    while (n > 0) {
        ssize_t w = send(fd, p, n, MSG_NOSIGNAL | MSG_DONTWAIT);
        if (w < 0 && errno == EINTR) continue;
        if (w < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
            int r = wait_io(u, fd, POLLOUT, 0);
            if (r != IO_READY) return r;
            continue;
        }
        if (w <= 0) return IO_EOF;
        p += w;
        n -= (size_t)w;
    }
    return IO_READY;
}

// A connection: IO_READY with *fd, IO_EOF when refused (*err), or how the wait ended.
static int connect_to(upgrade &u, const struct sockaddr_in *a, wlink_unique_fd *fd, int *err) {
    fd->reset(socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0));
    if (!fd->valid()) {
        wlink_fail_os(u.l, errno, "socket");
        return IO_ERROR;
    }
    int r = IO_READY;
    if (connect(fd->get(), (const struct sockaddr *)a, sizeof *a) != 0) {
        *err = errno;
        r = *err == EINPROGRESS ? wait_io(u, fd->get(), POLLOUT, wlink_now_ms() + CONNECT_WINDOW_MS) : IO_EOF;
        socklen_t len = sizeof *err;
        if (r == IO_READY && (getsockopt(fd->get(), SOL_SOCKET, SO_ERROR, err, &len) != 0 || *err != 0)) r = IO_EOF;
        if (r == IO_TIMEOUT) *err = ETIMEDOUT, r = IO_EOF;
    }
    if (r != IO_READY) fd->reset();
    return r;
}

// A pause that a cancel or the deadline ends early: IO_TIMEOUT when it ran its course.
static int pause_ms(upgrade &u, int ms) { return wait_io(u, u.l->wake_fd, 0, wlink_now_ms() + ms); }

// What a wait's end means for the upgrade, with the last error said.
static wlink_status ended(upgrade &u, int r, const char *during) {
    wlink_link *l = u.l;
    l->upgrade_may_be_writing = u.sent_all;
    const char *flash = u.sent_all ? "the module had the whole package and may still be writing flash: do not power it "
                                     "off; AT+VER tells when it is done"
                                   : "the module never had the whole package: flash is untouched";
    switch (r) {
        case IO_CANCEL:
            wlink_fail(l, "cancelled %s; %s", during, flash);
            return u.sent_all ? WLINK_UPG_CANCELLED_WRITING : WLINK_CANCELLED;
        case IO_DEADLINE:
            wlink_fail(l, "the upgrade's deadline of %d ms passed %s; %s", u.o.deadline_ms, during, flash);
            return WLINK_UPG_DEADLINE;
        case IO_TIMEOUT:
            wlink_fail(l, "no word from the module for %d ms %s; %s", u.o.timeout_ms, during, flash);
            return WLINK_UPG_TIMEOUT;
        case IO_ERROR:
            return WLINK_UPG_LOST;
        default:
            wlink_fail(l, "the connection was lost %s; %s", during, flash);
            return WLINK_UPG_LOST;
    }
}

// Connects and sends the request until the module's first answer: a refused
// connection, and one closed before any answer (a port forward that accepts
// before the module listens), are tried again for a few seconds.
static wlink_status open_exchange(upgrade &u, const struct sockaddr_in *a, const uint8_t *request, wlink_unique_fd *fd,
                                  uint8_t answer[8]) {
    int64_t end = wlink_now_ms() + CONNECT_WINDOW_MS;
    bool reached = false;
    int err = 0;
    do {
        int r = connect_to(u, a, fd, &err);
        if (r == IO_EOF && (r = pause_ms(u, 50)) == IO_TIMEOUT) continue;
        if (r != IO_READY) return ended(u, r, "while connecting");
        wlink_trace_unit(u.l, WLINK_TRACE_UPGRADE, 1, request, REQUEST_SIZE);
        r = send_all(u, fd->get(), request, REQUEST_SIZE);
        if (r == IO_READY) r = read_msg(u, fd->get(), answer, ANSWER_MS);
        if (r == IO_READY) return WLINK_OK;
        fd->reset();
        if (r == IO_TIMEOUT) {
            wlink_fail(u.l, "no answer to the upgrade request within %d ms", ANSWER_MS);
            return WLINK_UPG_TIMEOUT;
        }
        if (r != IO_EOF) return ended(u, r, "before the module answered the request");
        reached = true;
        if ((r = pause_ms(u, 50)) != IO_TIMEOUT) return ended(u, r, "while connecting");
    } while (wlink_now_ms() < end);
    if (reached) {
        wlink_fail(u.l,
                   "the upgrade connection closed before the module answered (the module takes it only from the "
                   "address that asked for the upgrade: over UDP that link's, over serial the allowed UDP peer)");
        return WLINK_UPG_LOST;
    }
    wlink_fail_os(u.l, err, "cannot connect to the upgrade port %u of %s", ntohs(a->sin_port), inet_ntoa(a->sin_addr));
    return WLINK_UPG_CONNECT;
}

static wlink_status resolve(wlink_link *l, const char *host, uint16_t port, struct sockaddr_in *a) {
    struct addrinfo hints, *res = nullptr;
    memset(&hints, 0, sizeof hints);
    hints.ai_family = AF_INET;
    hints.ai_socktype = SOCK_STREAM;
    int gai = getaddrinfo(host, nullptr, &hints, &res);
    if (gai != 0 || res == nullptr) {
        wlink_fail(l, "cannot resolve %s: %s", host, gai_strerror(gai));
        return WLINK_UPG_CONNECT;
    }
    memcpy(a, res->ai_addr, sizeof *a);
    freeaddrinfo(res);
    a->sin_port = htons(port != 0 ? port : (uint16_t)WLINK_UPGRADE_PORT);
    return WLINK_OK;
}

// Each part against its partition, as the module will measure them.
static wlink_status check_fit(wlink_link *l, const wlink_package_info &info) {
    uint64_t image_room = 0, app_room = 0;
    wlink_status st = wlink_flash_info(l, &image_room, &app_room);
    if (st == WLINK_ERR_REPLY) {  // a module that cannot tell: it checks them itself
        l->error[0] = '\0';
        return WLINK_OK;
    }
    if (st != WLINK_OK) return st;
    const struct {
        const char *part, *dev;
        uint64_t need, room;
    } parts[] = {{"the image", "/dev/mtd5", IMAGE_HEAD + (uint64_t)info.image_len, image_room},
                 {"the application part", "/dev/mtd6", info.app_len, app_room}};
    for (const auto &p : parts) {
        if (p.need <= p.room) continue;
        wlink_fail(l, "%s is %llu bytes and the module's %s holds %llu: nothing sent (force skips this check)", p.part,
                   (unsigned long long)p.need, p.dev, (unsigned long long)p.room);
        return WLINK_UPG_TOO_LARGE;
    }
    return WLINK_OK;
}

static wlink_status take_options(wlink_link *l, const wlink_upgrade_options *given, wlink_upgrade_options *o) {
    wlink_upgrade_options_init(o);
    if (given != nullptr) {
        if (given->size == 0) {
            wlink_fail(l, "the options' size is 0 (wlink_upgrade_options_init sets it)");
            return WLINK_BAD_ARGUMENT;
        }
        memcpy(o, given, given->size < sizeof *o ? given->size : sizeof *o);
        o->size = sizeof *o;
    }
    if (o->timeout_ms <= 0 || o->deadline_ms < 0) {
        wlink_fail(l,
                   o->timeout_ms <= 0 ? "a silence limit of %d ms: it must be 1 or more"
                                      : "a deadline of %d ms: it must be 0 (none) or more",
                   o->timeout_ms <= 0 ? o->timeout_ms : o->deadline_ms);
        return WLINK_BAD_ARGUMENT;
    }
    return WLINK_OK;
}

// The exchange once the module listens for this token.
static wlink_status exchange(upgrade &u, const struct sockaddr_in *addr, const char *token, const uint8_t *pkg,
                             size_t len) {
    wlink_link *l = u.l;
    uint8_t request[REQUEST_SIZE], msg[8];
    memset(request, 0, sizeof request);
    uint32_t be = htonl((uint32_t)len);
    memcpy(request, &be, 4);
    memcpy(request + 4, token, strlen(token));
    wlink_unique_fd conn;  // closed on every way out
    wlink_status st = open_exchange(u, addr, request, &conn, msg);
    if (st != WLINK_OK) return st;
    const int fd = conn.get();
    wlink_trace_unit(l, WLINK_TRACE_UPGRADE, 0, msg, 8);
    int32_t type, value;
    wlink_upgrade_msg(msg, &type, &value);
    if (type != 0 || (value != 1 && value != 3)) {
        wlink_fail(l, "the module answered the request with %d/%d", type, value);
        return WLINK_UPG_PROTOCOL;
    }
    if (value == 1) {
        wlink_fail(l, "the module refused the token");
        return WLINK_UPG_WRONG_TOKEN;
    }
    for (size_t done = 0; done < len;) {
        size_t n = len - done < 65536 ? len - done : 65536;
        int r = send_all(u, fd, pkg + done, n);
        if (r != IO_READY) {
            char during[96];
            snprintf(during, sizeof during, "after %zu of %zu package bytes", done, len);
            return ended(u, r, during);
        }
        wlink_trace_unit(l, WLINK_TRACE_PACKAGE, 1, nullptr, n);
        done += n;
        u.sent_all = done == len;
        if (u.o.progress != nullptr && u.o.progress(u.o.ctx, done, len) != 0) wlink_cancel(l);
        if (!u.sent_all && wlink_cancelled(l)) {  // a send that never waits would not see it
            char during[96];
            snprintf(during, sizeof during, "after %zu of %zu package bytes", done, len);
            return ended(u, IO_CANCEL, during);
        }
    }
    for (int beats = 0;;) {
        int r = read_msg(u, fd, msg, u.o.timeout_ms);
        if (r != IO_READY) return ended(u, r, "before the result");
        wlink_trace_unit(l, WLINK_TRACE_UPGRADE, 0, msg, 8);
        wlink_upgrade_msg(msg, &type, &value);
        if (type == 4) {
            if (u.o.heartbeat != nullptr && u.o.heartbeat(u.o.ctx, value, ++beats) != 0) wlink_cancel(l);
            continue;
        }
        conn.reset();
        if (type == 0 && value == 0) return WLINK_OK;
        if (type == 0 && value == -1) {
            wlink_fail(l,
                       "the module refused the package or could not write it; it passed every check this library "
                       "makes, so the module's own (its log says which) or its flash writing failed");
            return WLINK_UPG_REFUSED;
        }
        wlink_fail(l, "unexpected upgrade message %d/%d", type, value);
        return WLINK_UPG_PROTOCOL;
    }
}

wlink_status wlink_upgrade(wlink_link *l, const uint8_t *pkg, size_t len, const wlink_upgrade_options *given) {
    if (l == nullptr) return WLINK_BAD_ARGUMENT;
    wlink_begin(l);
    l->upgrade_may_be_writing = 0;
    upgrade u = {l, {}, 0, 0};
    wlink_status st = take_options(l, given, &u.o);
    if (st != WLINK_OK) return st;
    if (pkg == nullptr || len < 1 || len > WLINK_PACKAGE_MAX) {
        wlink_fail(l, "a package holds 1 to %d bytes, not %zu", WLINK_PACKAGE_MAX, pkg == nullptr ? 0 : len);
        return pkg == nullptr ? WLINK_BAD_ARGUMENT : WLINK_BAD_PACKAGE;
    }
    wlink_package_info info;
    WLINK_INIT(info);
    if (wlink_package_check(pkg, len, &info) != WLINK_OK && !u.o.force) {
        wlink_fail(l, "the module would refuse this package: %s", info.reason);
        return WLINK_BAD_PACKAGE;
    }
    const char *host = u.o.host != nullptr ? u.o.host : l->serial ? nullptr : l->host;
    if (host == nullptr) {
        wlink_fail(l, "over a serial link the module's network address must be given");
        return WLINK_BAD_ARGUMENT;
    }
    struct sockaddr_in addr;
    st = resolve(l, host, u.o.port, &addr);
    if (st != WLINK_OK) return st;
    if (u.o.deadline_ms > 0) u.deadline = wlink_now_ms() + u.o.deadline_ms;
    if (!u.o.force && info.has_headers && (st = check_fit(l, info)) != WLINK_OK) return st;

    uint8_t rnd[16];
    if (getrandom(rnd, sizeof rnd, 0) != (ssize_t)sizeof rnd) {
        wlink_fail_os(l, errno, "no random token");
        return WLINK_LINK_ERROR;
    }
    char token[33], cmd[64];
    for (int i = 0; i < 16; i++) snprintf(token + 2 * i, 3, "%02x", rnd[i]);
    snprintf(cmd, sizeof cmd, "AT+UPGRADE=%d %s", WLINK_UPGRADE_PORT, token);
    // The module stays busy a moment after it sent an upgrade's result, until that
    // upgrade's processing has ended: only a refusal that lasts means another upgrade.
    int64_t busy_until = wlink_now_ms() + BUSY_GRACE_MS;
    while ((st = wlink_command(l, cmd, nullptr, 0)) == WLINK_ERR_REPLY && wlink_now_ms() < busy_until) {
        int r = pause_ms(u, 100);
        if (r != IO_TIMEOUT) return ended(u, r, "while the module was busy");
    }
    if (st == WLINK_ERR_REPLY) {
        wlink_fail(l,
                   "the module answered +ERR to AT+UPGRADE=: it is busy with another upgrade (or cannot open its "
                   "upgrade port); AT+VER tells when that one is done");
        return WLINK_UPG_BUSY;
    }
    if (st != WLINK_OK) return st;
    return exchange(u, &addr, token, pkg, len);
}

wlink_status wlink_upgrade_file(wlink_link *l, const char *path, const wlink_upgrade_options *o) {
    if (l == nullptr || path == nullptr) return WLINK_BAD_ARGUMENT;
    wlink_begin(l);
    wlink_unique_fd fd(open(path, O_RDONLY | O_CLOEXEC));
    struct stat st;
    if (!fd.valid() || fstat(fd.get(), &st) != 0) {
        wlink_fail_os(l, errno, "cannot read %s", path);
        return WLINK_BAD_ARGUMENT;
    }
    if (st.st_size < 1 || st.st_size > WLINK_PACKAGE_MAX) {
        wlink_fail(l, "%s: a package holds 1 to %d bytes, not %lld", path, WLINK_PACKAGE_MAX, (long long)st.st_size);
        return WLINK_BAD_PACKAGE;
    }
    size_t len = (size_t)st.st_size, have = 0;
    uint8_t *pkg = (uint8_t *)malloc(len);
    int err = pkg == nullptr ? ENOMEM : 0;
    while (pkg != nullptr && have < len) {
        ssize_t n = read(fd.get(), pkg + have, len - have);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) {
            err = n < 0 ? errno : EIO;
            break;
        }
        have += (size_t)n;
    }
    fd.reset();
    wlink_status r = WLINK_BAD_ARGUMENT;
    if (pkg != nullptr && have == len)
        r = wlink_upgrade(l, pkg, len, o);
    else
        wlink_fail_os(l, err, "cannot read %s", path);
    free(pkg);
    return r;
}
