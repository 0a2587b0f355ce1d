// Links: the serial port and the UDP peer, one command and its reply (blocking or
// driven by the caller's event loop), cancellation, and the radio and LAN settings
// on top.
#include <arpa/inet.h>
#include <dirent.h>
#include <errno.h>
#include <fcntl.h>
#include <netdb.h>
#include <netinet/in.h>
#include <poll.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/eventfd.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <termios.h>
#include <time.h>
#include <unistd.h>

#include "wlink_int.h"

const char *wlink_version(void) { return WLINK_VERSION; }
int wlink_version_number(void) { return WLINK_VERSION_NUMBER; }

static const struct {
    const char *name, *text;
} kStatus[] = {
    {"ok", "ok"},
    {"err-reply", "the module answered +ERR"},
    {"no-reply", "no reply"},
    {"bad-reply", "a reply that does not answer the command"},
    {"link-error", "link error"},
    {"unreachable", "nothing listens at that port"},
    {"port-busy", "port busy"},
    {"open-failed", "cannot open the link"},
    {"bad-argument", "bad argument"},
    {"bad-value", "a value the module would not take"},
    {"bad-package", "a package the module would refuse"},
    {"upgrade-connect", "cannot connect to the upgrade port"},
    {"upgrade-wrong-token", "wrong token"},
    {"upgrade-refused", "the module refused the package or could not write it"},
    {"upgrade-lost", "upgrade connection lost"},
    {"upgrade-timeout", "the module went silent"},
    {"upgrade-protocol", "unexpected upgrade message"},
    {"pending", "under way"},
    {"cancelled", "cancelled"},
    {"upgrade-cancelled-writing", "cancelled while the module may be writing flash"},
    {"upgrade-busy", "the module is busy with another upgrade"},
    {"upgrade-too-large", "a part does not fit its flash partition"},
    {"upgrade-deadline", "the upgrade's deadline passed"},
};

const char *wlink_status_text(wlink_status s) {
    return (unsigned)s < sizeof kStatus / sizeof kStatus[0] ? kStatus[s].text : "unknown status";
}
const char *wlink_status_name(wlink_status s) {
    return (unsigned)s < sizeof kStatus / sizeof kStatus[0] ? kStatus[s].name : "unknown";
}

// ---- errors, cancellation and waits

// The failure of an open, which has no link to keep it.
static __thread char t_open_error[320];
static __thread int t_open_errno;

void wlink_copy(char *dst, size_t size, const char *src) {
    if (dst == nullptr || size == 0) return;
    size_t n = strnlen(src, size - 1);
    memcpy(dst, src, n);
    dst[n] = '\0';
}

static void vfail(char *buf, size_t size, const char *fmt, va_list ap) { vsnprintf(buf, size, fmt, ap); }

void wlink_fail(wlink_link *l, const char *fmt, ...) {
    va_list ap;
    va_start(ap, fmt);
    vfail(l != nullptr ? l->error : t_open_error, l != nullptr ? sizeof l->error : sizeof t_open_error, fmt, ap);
    va_end(ap);
}

void wlink_fail_os(wlink_link *l, int err, const char *fmt, ...) {
    char *buf = l != nullptr ? l->error : t_open_error;
    size_t size = l != nullptr ? sizeof l->error : sizeof t_open_error;
    va_list ap;
    va_start(ap, fmt);
    vfail(buf, size, fmt, ap);
    va_end(ap);
    size_t n = strlen(buf);
    snprintf(buf + n, size - n, ": %s", strerror(err));
    if (l != nullptr)
        l->os_error = err;
    else
        t_open_errno = err;
}

void wlink_begin(wlink_link *l) {
    l->error[0] = '\0';
    l->os_error = 0;
}

const char *wlink_last_error(const wlink_link *l) { return l != nullptr ? l->error : t_open_error; }
int wlink_last_os_error(const wlink_link *l) { return l != nullptr ? l->os_error : t_open_errno; }

void wlink_cancel(wlink_link *l) {
    if (l == nullptr) return;
    __atomic_store_n(&l->cancel, 1, __ATOMIC_SEQ_CST);
    uint64_t one = 1;
    ssize_t w = write(l->wake_fd, &one, sizeof one);  // async-signal-safe
    (void)w;
}

int wlink_cancelled(wlink_link *l) {
    if (__atomic_exchange_n(&l->cancel, 0, __ATOMIC_SEQ_CST) == 0) return 0;
    wlink_fail(l, "cancelled");
    return 1;
}

// After poll saw the wake descriptor: empties it (the flag says whether to stop).
static void drain_wake(wlink_link *l) {
    uint64_t n;
    ssize_t r = read(l->wake_fd, &n, sizeof n);
    (void)r;
}

void wlink_trace_unit(wlink_link *l, wlink_trace_kind kind, int sent, const uint8_t *b, size_t n) {
    if (l->trace != nullptr) l->trace(l->trace_ctx, kind, sent, b, n);
}

int64_t wlink_now_ms(void) {
    struct timespec t;
    clock_gettime(CLOCK_MONOTONIC, &t);
    return (int64_t)t.tv_sec * 1000 + t.tv_nsec / 1000000;
}

static int ms_until(int64_t deadline) {
    if (deadline == 0) return -1;
    int64_t left = deadline - wlink_now_ms();
    return left <= 0 ? 0 : left > 3600000 ? 3600000 : (int)left;
}

int wlink_wait(wlink_link *l, int fd, short events, int64_t deadline, short *revents) {
    for (;;) {
        if (wlink_cancelled(l)) return -1;
        struct pollfd p[2] = {{fd, events, 0}, {l->wake_fd, POLLIN, 0}};
        int r = poll(p, 2, ms_until(deadline));
        if (r < 0 && errno == EINTR) continue;
        if (r < 0) {
            wlink_fail_os(l, errno, "poll");
            return -2;
        }
        if (p[1].revents != 0) {  // a cancel: taken at the top
            drain_wake(l);
            continue;
        }
        if (r == 0) return 0;
        if (revents != nullptr) *revents = p[0].revents;
        return 1;
    }
}

wlink_status wlink_give(wlink_link *l, const char *text, char *out, size_t size) {
    if (out == nullptr) return WLINK_OK;
    size_t n = strlen(text);
    if (n + 1 > size) {
        if (size > 0) out[0] = '\0';
        wlink_fail(l, "the reply \"%.40s%s\" needs a buffer of %zu bytes, not %zu", text, n > 40 ? "..." : "", n + 1,
                   size);
        return WLINK_BAD_ARGUMENT;
    }
    memcpy(out, text, n + 1);
    return WLINK_OK;
}

// ---- opening

// The link record around fd, which it owns from then on; null (fd still the caller's)
// without memory or a wake-up descriptor.
static wlink_link *new_link(wlink_unique_fd &fd, int serial, const char *host) {
    wlink_unique_fd wake(eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK));
    wlink_link *l = wake.valid() ? (wlink_link *)calloc(1, sizeof(wlink_link)) : nullptr;
    if (l == nullptr) return nullptr;
    l->wake_fd = wake.release();
    l->fd = fd.release();
    l->serial = serial;
    l->timeout_ms = WLINK_DEFAULT_TIMEOUT_MS;
    l->retries = WLINK_DEFAULT_RETRIES;
    l->pace_ms = WLINK_DEFAULT_PACE_MS;
    l->late_form = -1;
    wlink_stream_init(&l->stream, WLINK_REPLY_MAX);
    wlink_copy(l->host, sizeof l->host, host);
    return l;
}

// "pid N (NAME)" of the process that holds the device's lock or has it open; "" when
// that cannot be told.
static void holder_of(const char *dev, char *out, size_t size) {
    out[0] = '\0';
    struct stat st;
    if (stat(dev, &st) != 0) return;
    long pid = 0;
    if (FILE *f = fopen("/proc/locks", "re")) {
        char line[256];
        while (pid == 0 && fgets(line, sizeof line, f) != nullptr) {
            unsigned maj, min;
            unsigned long ino;
            long p;
            char kind[16];
            if (sscanf(line, "%*d: %15s %*s %*s %ld %x:%x:%lu", kind, &p, &maj, &min, &ino) == 5 &&
                strcmp(kind, "FLOCK") == 0 && maj == major(st.st_dev) && min == minor(st.st_dev) && ino == st.st_ino)
                pid = p;
        }
        fclose(f);
    }
    if (pid == 0) {  // the device held open with TIOCEXCL: whose descriptor is it
        char want[512], link[512], path[64];
        if (realpath(dev, want) == nullptr) return;
        DIR *d = opendir("/proc");
        for (struct dirent *e; pid == 0 && d != nullptr && (e = readdir(d)) != nullptr;) {
            long p = strtol(e->d_name, nullptr, 10);
            if (p <= 0 || p == getpid()) continue;
            snprintf(path, sizeof path, "/proc/%ld/fd", p);
            DIR *fds = opendir(path);
            for (struct dirent *fe; pid == 0 && fds != nullptr && (fe = readdir(fds)) != nullptr;) {
                char fdpath[128];
                snprintf(fdpath, sizeof fdpath, "/proc/%ld/fd/%.32s", p, fe->d_name);
                ssize_t n = readlink(fdpath, link, sizeof link - 1);
                if (n > 0 && (link[n] = '\0', strcmp(link, want) == 0)) pid = p;
            }
            if (fds != nullptr) closedir(fds);
        }
        if (d != nullptr) closedir(d);
    }
    if (pid == 0) return;
    char comm[64] = "", path[64];
    snprintf(path, sizeof path, "/proc/%ld/comm", pid);
    if (FILE *f = fopen(path, "re")) {
        if (fgets(comm, sizeof comm, f) != nullptr) comm[strcspn(comm, "\n")] = '\0';
        fclose(f);
    }
    snprintf(out, size, comm[0] ? "pid %ld (%s)" : "pid %ld", pid, comm);
}

static wlink_status port_busy(const char *dev, int err) {
    char who[96];
    holder_of(dev, who, sizeof who);
    if (who[0] != '\0')
        wlink_fail(nullptr, "%s is held by %s", dev, who);
    else
        wlink_fail(nullptr, "%s is held by another program", dev);
    t_open_errno = err;
    return WLINK_PORT_BUSY;
}

static wlink_status open_failed(const char *what, const char *dev, int err) {
    wlink_fail_os(nullptr, err, "%s %s", what, dev);
    return WLINK_OPEN_FAILED;
}

// An open begins: this thread's open failure cleared and *out null. False, the reason
// said, without a place for the link or a name to open.
static bool open_begin(const char *name, wlink_link **out) {
    t_open_error[0] = '\0';
    t_open_errno = 0;
    if (out != nullptr) *out = nullptr;
    if (out != nullptr && name != nullptr && *name != '\0') return true;
    wlink_fail(nullptr, "%s", out == nullptr ? "no place for the link" : "no device or host to open");
    return false;
}

// A serial port being opened: its exclusive use is given back if the open fails.
struct serial_fd : wlink_unique_fd {
    bool exclusive = false;
    explicit serial_fd(int fd) : wlink_unique_fd(fd) {}
    ~serial_fd() {
        if (exclusive && valid()) ioctl(get(), TIOCNXCL);
    }
};

wlink_status wlink_open_serial(const char *dev, wlink_link **out) {
    if (!open_begin(dev, out)) return WLINK_BAD_ARGUMENT;
    serial_fd fd(open(dev, O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC));
    if (!fd.valid()) return errno == EBUSY ? port_busy(dev, errno) : open_failed("cannot open", dev, errno);
    // Two programs on one port would read each other's replies: the port is ours alone.
    if (flock(fd.get(), LOCK_EX | LOCK_NB) != 0)
        return errno == EWOULDBLOCK ? port_busy(dev, errno) : open_failed("cannot lock", dev, errno);
    struct termios tio;
    if (tcgetattr(fd.get(), &tio) != 0) return open_failed("not a serial port:", dev, errno);
    if (ioctl(fd.get(), TIOCEXCL) != 0) return open_failed("cannot take", dev, errno);
    fd.exclusive = true;
    cfmakeraw(&tio);
    tio.c_cflag &= ~(tcflag_t)(CSIZE | PARENB | CSTOPB | CRTSCTS);
    tio.c_cflag |= CS8 | CLOCAL | CREAD;
    tio.c_iflag &= ~(tcflag_t)(IXON | IXOFF | IXANY);
    tio.c_cc[VMIN] = 0;
    tio.c_cc[VTIME] = 0;
    if (cfsetispeed(&tio, B115200) != 0 || cfsetospeed(&tio, B115200) != 0 || tcsetattr(fd.get(), TCSANOW, &tio) != 0)
        return open_failed("cannot set 115200 8N1 raw on", dev, errno);
    tcflush(fd.get(), TCIFLUSH);
    *out = new_link(fd, 1, dev);
    return *out != nullptr ? WLINK_OK : open_failed("no memory for", dev, ENOMEM);
}

wlink_status wlink_open_udp(const char *host, uint16_t port, wlink_link **out) {
    if (!open_begin(host, out)) return WLINK_BAD_ARGUMENT;
    struct addrinfo hints, *res = nullptr;
    memset(&hints, 0, sizeof hints);
    hints.ai_family = AF_INET;
    hints.ai_socktype = SOCK_DGRAM;
    int gai = getaddrinfo(host, nullptr, &hints, &res);
    if (gai != 0 || res == nullptr) {
        wlink_fail(nullptr, "cannot resolve %s: %s", host, gai_strerror(gai));
        t_open_errno = gai == EAI_SYSTEM ? errno : 0;
        return WLINK_OPEN_FAILED;
    }
    struct sockaddr_in sin;
    memcpy(&sin, res->ai_addr, sizeof sin);
    freeaddrinfo(res);
    sin.sin_port = htons(port != 0 ? port : (uint16_t)WLINK_UDP_PORT);
    // Connected: only the module's datagrams come in, and a refusal (ICMP) shows.
    wlink_unique_fd fd(socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0));
    if (!fd.valid()) return open_failed("no UDP socket for", host, errno);
    if (connect(fd.get(), (struct sockaddr *)&sin, sizeof sin) != 0) return open_failed("cannot address", host, errno);
    *out = new_link(fd, 0, host);
    if (*out == nullptr) return open_failed("no memory for", host, ENOMEM);
    struct timespec t;
    clock_gettime(CLOCK_REALTIME, &t);
    (*out)->seq = (uint8_t)(t.tv_nsec ^ (t.tv_nsec >> 8) ^ getpid());
    return WLINK_OK;
}

void wlink_close(wlink_link *l) {
    if (l == nullptr) return;
    if (l->serial) ioctl(l->fd, TIOCNXCL);
    close(l->fd);
    close(l->wake_fd);
    free(l);
}

int wlink_is_serial(const wlink_link *l) { return l != nullptr && l->serial; }
int wlink_fd(const wlink_link *l) { return l != nullptr ? l->fd : -1; }

static wlink_status set_int(wlink_link *l, int *field, int v, int lo, const char *what) {
    if (l == nullptr) return WLINK_BAD_ARGUMENT;
    wlink_begin(l);
    if (v < lo) {
        wlink_fail(l, "%s of %d: it must be %d or more", what, v, lo);
        return WLINK_BAD_ARGUMENT;
    }
    *field = v;
    return WLINK_OK;
}
wlink_status wlink_set_timeout(wlink_link *l, int ms) {
    return set_int(l, l ? &l->timeout_ms : nullptr, ms, 1, "a time limit");
}
wlink_status wlink_set_retries(wlink_link *l, int retries) {
    return set_int(l, l ? &l->retries : nullptr, retries, 0, "a retry count");
}
wlink_status wlink_set_pace(wlink_link *l, int ms) { return set_int(l, l ? &l->pace_ms : nullptr, ms, 0, "a pace"); }
void wlink_set_trace(wlink_link *l, wlink_trace_fn fn, void *ctx) {
    if (l == nullptr) return;
    l->trace = fn;
    l->trace_ctx = ctx;
}

// ---- one command
//
// Serial: the module answers every whole command once, in order. A command whose
// reply did not come in time may still be answered later, so the link remembers its
// reply form. The next command first sends a fence, a query whose reply cannot have
// that form ("AT+" answers "+OK", never "+ERR"; "AT+UIP" answers "+OK=..."), and
// drops every reply up to the fence's. A fence that goes unanswered is counted: once
// the module answers again, as many fence replies come as fences went out, unless
// the module lost some (a restart), which a quiet spell after the last one shows.

static const char *fence_for(int late_form) { return late_form == 1 ? "AT+UIP" : "AT+"; }
static bool fence_reply(int late_form, const char *msg) {
    return late_form == 1 ? strncmp(msg, "+OK=", 4) == 0 : strcmp(msg, "+OK") == 0;
}

static void op_load(wlink_link *l, const char *text) {
    wlink_op &o = l->op;
    if (l->keyed)  // each try its own counter: the module takes none twice
        o.out_len =
            wlink_auth_encode(l, o.seq, text, strlen(text), &o.counters[(o.tries - 1) % 8], o.out, sizeof o.out);
    else
        o.out_len = l->serial ? wlink_frames_encode(text, strlen(text), o.out, sizeof o.out)
                              : wlink_datagram_encode(o.seq, text, strlen(text), o.out, sizeof o.out);
    o.out_off = 0;
    o.want_out = 0;
    o.next_at = 0;
    o.deadline = 0;
}

static void begin_cmd(wlink_link *l) {
    l->op.phase = WLINK_CMD;
    l->op.mismatched = 0;
    l->op.quiet_until = 0;
    op_load(l, l->op.cmd);
}

static wlink_status finish(wlink_link *l, wlink_status st) {
    l->op.phase = WLINK_IDLE;
    return st;
}

// The command under way ends without its reply: whatever it sent may still be answered.
static void give_up(wlink_link *l) {
    wlink_op &o = l->op;
    if (l->serial && o.phase == WLINK_CMD && o.out_off > 0) {
        l->late_form = wlink_reply_form(o.cmd);
        l->late_fences = 0;
    }
    o.phase = WLINK_IDLE;
}

// Sends what is due: frames paced apart, or the datagram. Returns WLINK_PENDING.
static wlink_status pump_out(wlink_link *l) {
    wlink_op &o = l->op;
    while (o.out_off < o.out_len) {
        int64_t now = wlink_now_ms();
        if (o.next_at != 0 && now < o.next_at) return WLINK_PENDING;
        size_t frame_end = l->serial ? (o.out_off / WLINK_FRAME_SIZE + 1) * WLINK_FRAME_SIZE : o.out_len;
        if (o.out_off % WLINK_FRAME_SIZE == 0 || !l->serial)
            wlink_trace_unit(l, l->serial ? WLINK_TRACE_FRAME : WLINK_TRACE_DATAGRAM, 1, o.out + o.out_off,
                             frame_end - o.out_off);
        ssize_t w =
            l->serial ? write(l->fd, o.out + o.out_off, frame_end - o.out_off) : send(l->fd, o.out, o.out_len, 0);
        if (w < 0 && errno == EINTR) continue;
        if (w < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
            o.want_out = 1;
            return WLINK_PENDING;
        }
        if (w < 0 && errno == ECONNREFUSED) {
            wlink_fail_os(l, errno, "nothing listens at %s (the host refused the datagram)", l->host);
            return WLINK_UNREACHABLE;
        }
        if (w < 0) {
            wlink_fail_os(l, errno, l->serial ? "write" : "send");
            return WLINK_LINK_ERROR;
        }
        o.want_out = 0;
        if (o.phase == WLINK_SYNC && o.out_off == 0) l->late_fences++;  // it may be answered from now on
        o.out_off += (size_t)w;
        if (l->serial && o.out_off % WLINK_FRAME_SIZE == 0 && o.out_off < o.out_len && l->pace_ms > 0)
            o.next_at = wlink_now_ms() + l->pace_ms;
    }
    if (o.deadline == 0) o.deadline = wlink_now_ms() + (o.phase == WLINK_SYNC ? l->timeout_ms : o.limit_ms);
    return WLINK_PENDING;
}

// A whole reply text: the outcome, or WLINK_PENDING while the command waits on.
static wlink_status take_reply(wlink_link *l, const char *msg, char *reply, size_t size) {
    wlink_op &o = l->op;
    if (o.phase == WLINK_SYNC) {
        wlink_trace_unit(l, WLINK_TRACE_STALE, 0, (const uint8_t *)msg, strlen(msg));
        // The module answers again: the wait lasts while its backlog of replies comes.
        o.deadline = wlink_now_ms() + l->timeout_ms;
        if (!fence_reply(l->late_form, msg)) return WLINK_PENDING;  // the late reply, dropped
        if (--l->late_fences > 0) {
            o.quiet_until = wlink_now_ms() + l->timeout_ms;  // more to come, unless they were lost
            return WLINK_PENDING;
        }
        l->late_form = -1;
        l->late_fences = 0;
        begin_cmd(l);
        return pump_out(l);
    }
    if (o.out_off < o.out_len && l->serial) {  // nothing was asked yet: not ours
        wlink_trace_unit(l, WLINK_TRACE_STALE, 0, (const uint8_t *)msg, strlen(msg));
        return WLINK_PENDING;
    }
    wlink_status m = wlink_reply_matches(o.cmd, msg);
    if (m == WLINK_BAD_REPLY) {
        wlink_fail(l, "\"%s\" cannot answer %s", msg, o.cmd);
        o.mismatched = 1;
        return l->serial ? WLINK_PENDING : finish(l, WLINK_BAD_REPLY);
    }
    if (m == WLINK_ERR_REPLY) {
        wlink_status g = wlink_give(l, msg, reply, size);
        if (g == WLINK_OK) wlink_fail(l, "%s answered +ERR", o.cmd);
        return finish(l, g == WLINK_OK ? m : g);
    }
    l->error[0] = '\0';
    return finish(l, wlink_give(l, msg, reply, size));
}

// One read, as poll said the port is ready (a port set to return at once, as this one
// is, reads 0 bytes when nothing waits, so 0 after POLLIN is the line's end).
static wlink_status pump_in_serial(wlink_link *l, char *reply, size_t size) {
    uint8_t *at;
    size_t room = wlink_stream_space(&l->stream, &at);
    ssize_t got;
    do got = read(l->fd, at, room);
    while (got < 0 && errno == EINTR);
    if (got < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) return WLINK_PENDING;
    if (got <= 0) {  // nothing to read though ready: the other end of the line is gone
        if (got < 0)
            wlink_fail_os(l, errno, "read");
        else
            wlink_fail(l, "the line hung up");
        give_up(l);
        return WLINK_LINK_ERROR;
    }
    wlink_stream_commit(&l->stream, (size_t)got);
    const uint8_t *f = nullptr;
    size_t skipped;
    for (;;) {
        wlink_take t = wlink_stream_take(&l->stream, &f, &skipped);
        if (skipped > 0) wlink_trace_unit(l, WLINK_TRACE_JUNK, 0, l->stream.junk, skipped);
        if (t == WLINK_TAKE_NONE) return WLINK_PENDING;
        wlink_trace_unit(l, WLINK_TRACE_FRAME, 0, f, WLINK_FRAME_SIZE);
        if (t != WLINK_TAKE_DONE) continue;
        wlink_status st = take_reply(l, l->stream.msg, reply, size);
        if (st != WLINK_PENDING) return st;
    }
}

static wlink_status pump_in_udp(wlink_link *l, char *reply, size_t size) {
    uint8_t buf[512];
    for (;;) {
        ssize_t got = recv(l->fd, buf, sizeof buf, MSG_DONTWAIT);
        if (got < 0 && errno == EINTR) continue;
        if (got < 0 && errno == ECONNREFUSED) {
            wlink_fail_os(l, errno, "nothing listens at %s (the host refused the datagram)", l->host);
            return finish(l, WLINK_UNREACHABLE);
        }
        if (got < 0) return WLINK_PENDING;
        wlink_trace_unit(l, WLINK_TRACE_DATAGRAM, 0, buf, (size_t)got);
        char text[WLINK_REPLY_MAX + 1];
        uint8_t rseq;
        const int tried = l->op.tries < 8 ? l->op.tries : 8;
        // Under a key, a reply whose code does not hold for this command is no reply of the module's.
        if ((l->keyed ? wlink_auth_decode(l, buf, (size_t)got, l->op.counters, tried, &rseq, text, sizeof text)
                      : wlink_datagram_decode(buf, (size_t)got, &rseq, text, sizeof text)) != WLINK_OK)
            continue;
        if (l->op.phase == WLINK_IDLE || rseq != l->op.seq) {  // an earlier command's, answered late
            wlink_trace_unit(l, WLINK_TRACE_STALE, 0, (const uint8_t *)text, strlen(text));
            continue;
        }
        wlink_status st = take_reply(l, text, reply, size);
        if (st != WLINK_PENDING) return st;
    }
}

// One step of the command under way, after poll said revents (0: its time ran out or
// nothing was waited for yet).
static wlink_status step(wlink_link *l, short revents, char *reply, size_t size) {
    wlink_op &o = l->op;
    if (o.phase == WLINK_IDLE) {
        wlink_fail(l, "no command under way");
        return WLINK_BAD_ARGUMENT;
    }
    if (wlink_cancelled(l)) {
        give_up(l);
        return WLINK_CANCELLED;
    }
    if (l->serial && (revents & (POLLHUP | POLLERR | POLLNVAL)) && !(revents & POLLIN)) {
        wlink_fail(l, "%s", revents & POLLHUP ? "the line hung up" : "the port reported an error");
        give_up(l);
        return WLINK_LINK_ERROR;
    }
    if (revents & (POLLIN | POLLERR | POLLHUP)) {
        wlink_status st = l->serial ? pump_in_serial(l, reply, size) : pump_in_udp(l, reply, size);
        if (st != WLINK_PENDING) return st;
    }
    wlink_status st = pump_out(l);
    if (st != WLINK_PENDING) {
        give_up(l);
        return st;
    }
    int64_t now = wlink_now_ms();
    if (o.phase == WLINK_SYNC && o.quiet_until != 0 && now >= o.quiet_until) {  // the rest were lost
        l->late_form = -1;
        l->late_fences = 0;
        begin_cmd(l);
        return pump_out(l);
    }
    if (o.deadline == 0 || now < o.deadline) return WLINK_PENDING;
    if (o.phase == WLINK_SYNC) {
        wlink_fail(l, "no reply from the module since an earlier command went unanswered (%s sent, %d ms)",
                   fence_for(l->late_form), l->timeout_ms);
        return finish(l, WLINK_NO_REPLY);
    }
    if (!l->serial && o.tries < l->retries + 1) {  // the same datagram again: a late reply to either try counts
        o.tries++;
        op_load(l, o.cmd);
        return pump_out(l);
    }
    bool mismatched = o.mismatched;
    give_up(l);
    if (mismatched) return WLINK_BAD_REPLY;
    if (l->serial)
        wlink_fail(l, "no reply to %s within %d ms", o.cmd, o.limit_ms);
    else
        wlink_fail(l, "no reply to %s from %s within %d ms after %d %s", o.cmd, l->host, o.limit_ms, o.tries,
                   o.tries > 1 ? "tries" : "try");
    return WLINK_NO_REPLY;
}

wlink_status wlink_command_start(wlink_link *l, const char *cmd) {
    if (l == nullptr) {
        wlink_fail(nullptr, "no link");
        return WLINK_BAD_ARGUMENT;
    }
    wlink_begin(l);
    size_t len = cmd != nullptr ? strlen(cmd) : 0;
    if (len == 0 || len > WLINK_CMD_MAX || l->op.phase != WLINK_IDLE) {
        wlink_fail(l,
                   l->op.phase != WLINK_IDLE ? "a command is under way on this link"
                   : len == 0                ? "empty command"
                                             : "command longer than %d bytes",
                   WLINK_CMD_MAX);
        return WLINK_BAD_ARGUMENT;
    }
    if (wlink_cancelled(l)) return WLINK_CANCELLED;
    wlink_op &o = l->op;
    memcpy(o.cmd, cmd, len + 1);
    o.len = len;
    o.limit_ms = l->timeout_ms + wlink_command_extra_ms(cmd);
    o.tries = 1;
    o.seq = ++l->seq;
    if (l->serial && (l->late_form >= 0 || l->late_fences > 0)) {
        o.phase = WLINK_SYNC;
        o.quiet_until = 0;
        op_load(l, fence_for(l->late_form));
    } else {
        if (l->serial) {  // what came before this command answers none of it
            tcflush(l->fd, TCIFLUSH);
            wlink_stream_init(&l->stream, WLINK_REPLY_MAX);
        }
        begin_cmd(l);
    }
    wlink_status st = pump_out(l);
    if (st != WLINK_PENDING) give_up(l);
    return st;
}

short wlink_poll_events(const wlink_link *l) {
    if (l == nullptr || l->op.phase == WLINK_IDLE) return 0;
    return (short)(POLLIN | (l->op.want_out ? POLLOUT : 0));
}

int wlink_poll_timeout(const wlink_link *l) {
    if (l == nullptr || l->op.phase == WLINK_IDLE) return -1;
    const wlink_op &o = l->op;
    int64_t at = o.deadline;
    if (o.out_off < o.out_len && !o.want_out) at = o.next_at != 0 ? o.next_at : wlink_now_ms();
    if (o.quiet_until != 0 && (at == 0 || o.quiet_until < at)) at = o.quiet_until;
    return at == 0 ? -1 : ms_until(at);
}

wlink_status wlink_command_process(wlink_link *l, short revents, char *reply, size_t reply_size) {
    if (l == nullptr) return WLINK_BAD_ARGUMENT;
    if (reply != nullptr && reply_size > 0) reply[0] = '\0';
    return step(l, revents, reply, reply_size);
}

void wlink_command_abort(wlink_link *l) {
    if (l != nullptr && l->op.phase != WLINK_IDLE) give_up(l);
}

wlink_status wlink_command(wlink_link *l, const char *cmd, char *reply, size_t reply_size) {
    if (reply != nullptr && reply_size > 0) reply[0] = '\0';
    wlink_status st = wlink_command_start(l, cmd);
    short revents = 0;
    while (st == WLINK_PENDING) {
        struct pollfd p[2] = {{l->fd, wlink_poll_events(l), 0}, {l->wake_fd, POLLIN, 0}};
        int r = poll(p, 2, wlink_poll_timeout(l));
        if (r < 0 && errno != EINTR) {
            wlink_fail_os(l, errno, "poll");
            give_up(l);
            return WLINK_LINK_ERROR;
        }
        revents = r > 0 ? p[0].revents : 0;
        if (r > 0 && p[1].revents != 0) drain_wake(l);
        st = step(l, revents, reply, reply_size);
    }
    return st;
}

// The value of a "+OK=" reply without "+OK=" and line end, in place.
static const char *value_of(char *reply) {
    size_t n = strlen(reply);
    while (n > 0 && (reply[n - 1] == '\n' || reply[n - 1] == '\r')) reply[--n] = '\0';
    return strncmp(reply, "+OK=", 4) == 0 ? reply + 4 : reply + (n >= 3 ? 3 : n);
}

wlink_status wlink_command_value(wlink_link *l, const char *cmd, char *value, size_t value_size) {
    if (value != nullptr && value_size > 0) value[0] = '\0';
    char reply[WLINK_REPLY_MAX + 1];
    wlink_status st = wlink_command(l, cmd, reply, sizeof reply);
    if (st != WLINK_OK) return st;
    return wlink_give(l, value_of(reply), value, value_size);
}

// ---- settings

struct setting_row {
    const char *name, *get, *set;
};

static const setting_row kSettings[WLINK_SETTING_COUNT] = {
    {"ssid", "AT+SSID", "AT+SSID="},          {"key", "AT+KEY", "AT+KEY="},
    {"channel", "AT+CHANNEL", "AT+CHANNEL="}, {"current-channel", "AT+CHANNEL!=", nullptr},
    {"auth", "AT+AUTH", "AT+AUTH="},          {"encryption", "AT+ENCRY", "AT+ENCRY="},
    {"wifi", "AT+WIFI", "AT+WIFI="},          {"htmode", "AT+HTMODE", "AT+HTMODE="},
    {"country", "AT+COUNTRY", "AT+COUNTRY="}, {"txpower", "AT+TXPOWER", "AT+TXPOWER="},
    {"stanum", "AT+STANUM", "AT+STANUM="},    {"lanip", "AT+LANIP", "AT+LANIP="},
    {"udp-peer", "AT+UIP", "AT+UIP="},        {"dhcp", nullptr, "AT+DHCP="},
    {"vlan", "AT+VLAN", "AT+VLAN="},          {"ports", "AT+PORT", nullptr},
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
    if (l == nullptr) return WLINK_BAD_ARGUMENT;
    if (!wlink_setting_readable(s)) {
        wlink_begin(l);
        if (value != nullptr && size > 0) value[0] = '\0';
        wlink_fail(l, "%s cannot be read", valid(s) ? kSettings[s].name : "no such setting");
        return WLINK_BAD_ARGUMENT;
    }
    return wlink_command_value(l, kSettings[s].get, value, size);
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

wlink_status wlink_setting_command(wlink_setting s, const char *value, int force, char *cmd, size_t cmd_size, char *why,
                                   size_t why_size) {
    if (why != nullptr && why_size > 0) why[0] = '\0';
    if (cmd != nullptr && cmd_size > 0) cmd[0] = '\0';
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
    size_t n = strlen(kSettings[s].set) + strlen(v);
    if (n > WLINK_CMD_MAX) {
        wlink_copy(why, why_size, "the value makes the command longer than 127 bytes");
        return WLINK_BAD_VALUE;
    }
    if (n >= cmd_size) {
        if (why != nullptr)
            snprintf(why, why_size, "the command needs a buffer of %zu bytes, not %zu", n + 1, cmd_size);
        return WLINK_BAD_ARGUMENT;
    }
    snprintf(cmd, cmd_size, "%s%s", kSettings[s].set, v);
    return WLINK_OK;
}

wlink_status wlink_set(wlink_link *l, wlink_setting s, const char *value) {
    if (l == nullptr) return WLINK_BAD_ARGUMENT;
    wlink_begin(l);
    char cmd[WLINK_CMD_MAX + 1], why[160];
    wlink_status st = wlink_setting_command(s, value, 0, cmd, sizeof cmd, why, sizeof why);
    if (st != WLINK_OK) {
        wlink_fail(l, "%s: %s", wlink_setting_name(s) ? wlink_setting_name(s) : "?", why);
        return st;
    }
    return wlink_command(l, cmd, nullptr, 0);
}

wlink_status wlink_apply(wlink_link *l) { return wlink_command(l, "AT+ENCFG", nullptr, 0); }
