// libwlink's inside: the link record, the serial byte-stream assembler and the
// helpers its parts share. Not installed.
#pragma once

#include <stdarg.h>
#include <unistd.h>

#include "wlink.h"

// A descriptor owned by one object and closed when that object goes: every way out of
// a function that opened it closes it.
class wlink_unique_fd {
public:
    wlink_unique_fd() = default;
    explicit wlink_unique_fd(int fd) : fd_(fd) {}
    ~wlink_unique_fd() { reset(); }
    wlink_unique_fd(const wlink_unique_fd &) = delete;
    wlink_unique_fd &operator=(const wlink_unique_fd &) = delete;
    int get() const { return fd_; }
    bool valid() const { return fd_ >= 0; }
    int release() {
        int fd = fd_;
        fd_ = -1;
        return fd;
    }
    void reset(int fd = -1) {
        if (fd_ >= 0 && fd_ != fd) close(fd_);
        fd_ = fd;
    }

private:
    int fd_ = -1;
};

// Serial frame: 0 total, 1 chunk (1..12), 2 offset, 3..14 text, 15 sum8 of 0..14.
// 0 when the frame is good for a message of at most max_total bytes.
int wlink_frame_check(const uint8_t f[WLINK_FRAME_SIZE], unsigned max_total);

// The byte stream of a serial line cut into frames and joined into messages: a
// 16-byte window that is no good frame moves on by one byte; the frames of one
// message carry one total and follow each other from offset 0 with no gap, and a
// frame that breaks this drops the partial message.
enum { WLINK_STREAM_BUF = 512 };
enum wlink_take { WLINK_TAKE_NONE, WLINK_TAKE_FRAME, WLINK_TAKE_DONE };
struct wlink_stream {
    uint8_t in[WLINK_STREAM_BUF];
    size_t in_len;
    unsigned max_total;
    char msg[WLINK_REPLY_MAX + 1];
    unsigned msg_len;                 // total of the message in progress or complete
    unsigned next;                    // offset the next frame must carry; 0: none started
    uint8_t frame[WLINK_FRAME_SIZE];  // the frame taken last
    uint8_t junk[64];                 // the first bytes passed over before it
};
void wlink_stream_init(wlink_stream *s, unsigned max_total);
// Room for new bytes at *at; then wlink_stream_commit with what was written.
size_t wlink_stream_space(wlink_stream *s, uint8_t **at);
void wlink_stream_commit(wlink_stream *s, size_t n);
// The next good frame (*frame points at it until the next call), the number of
// bytes passed over before it (or before the end) in *skipped, the first of them in junk. DONE: msg holds the message,
// msg_len its length.
wlink_take wlink_stream_take(wlink_stream *s, const uint8_t **frame, size_t *skipped);

// An 8-byte upgrade message: type and value, big-endian.
void wlink_upgrade_msg(const uint8_t b[8], int32_t *type, int32_t *value);

// The reply form a command expects: 0 none known (the module answers "+ERR"),
// 1 "+OK", 2 "+OK=value", 3 "+OK=digits".
int wlink_reply_form(const char *cmd);
// How much longer than one try the module may take for cmd (ms): its documented waits.
int wlink_command_extra_ms(const char *cmd);
// WLINK_OK when the reply can answer cmd, WLINK_ERR_REPLY for "+ERR", else WLINK_BAD_REPLY.
wlink_status wlink_reply_matches(const char *cmd, const char *reply);

// What the link is doing for the command under way.
enum wlink_phase {
    WLINK_IDLE,
    WLINK_SYNC,  // serial: a fence after an unanswered command, then the command itself
    WLINK_CMD,   // the command: being sent, then its reply awaited
};

struct wlink_op {
    int phase;
    char cmd[WLINK_CMD_MAX + 1];
    size_t len;
    int limit_ms;                        // the command's time limit of one try
    uint8_t out[WLINK_FRAME_SIZE * 11];  // the frames or the datagram being sent
    size_t out_len, out_off;
    int want_out;          // the port took no more bytes: wait for POLLOUT
    int64_t next_at;       // serial: when the next frame may go
    int64_t deadline;      // end of the wait for a reply; 0 while sending
    int64_t quiet_until;   // serial sync: end of the wait for further fence replies
    int tries;             // UDP: datagrams sent
    uint64_t counters[8];  // UDP under a key: each try's counter (the last 8)
    uint8_t seq;
    int mismatched;  // a reply came that cannot answer the command
};

struct wlink_link {
    int fd;
    int serial;
    int timeout_ms, retries, pace_ms;
    uint8_t seq;
    char host[256];  // UDP: the host as given; serial: the device
    wlink_trace_fn trace;
    void *trace_ctx;
    char error[320];
    int os_error;
    int wake_fd;  // written by wlink_cancel, so that a wait ends at once
    int cancel;   // set by wlink_cancel, taken by the call it stops
    // Serial: the byte stream, kept from one command to the next, and what may still
    // come: the reply form of a command that went unanswered (-1: none) and the fences
    // sent since whose replies have not come.
    wlink_stream stream;
    int late_form;
    int late_fences;
    wlink_op op;
    // The last upgrade: its package reached the module whole and no result came.
    int upgrade_may_be_writing;
    // UDP under a key: the key, the last command counter sent, the last reply counter taken.
    int keyed;
    uint8_t key[WLINK_KEY_SIZE];
    uint64_t counter, reply_counter;
};

void wlink_fail(wlink_link *l, const char *fmt, ...) __attribute__((format(printf, 2, 3)));
// wlink_fail with errno's text appended (": text") and kept as the link's system error.
void wlink_fail_os(wlink_link *l, int err, const char *fmt, ...) __attribute__((format(printf, 3, 4)));
// A call on the link begins: error text and system error cleared.
void wlink_begin(wlink_link *l);
// Takes a pending wlink_cancel: 1 when there was one (the last error says so).
int wlink_cancelled(wlink_link *l);
void wlink_trace_unit(wlink_link *l, wlink_trace_kind kind, int sent, const uint8_t *b, size_t n);
// Waits until fd is ready for events, up to deadline (wlink_now_ms() time; 0: none) or
// a cancel: 1 ready (*revents, if given, says how), 0 time up, -1 cancelled, -2 poll failed.
int wlink_wait(wlink_link *l, int fd, short events, int64_t deadline, short *revents);
// Milliseconds of a monotonic clock.
int64_t wlink_now_ms(void);
// Bounded copy that always terminates (size >= 1).
void wlink_copy(char *dst, size_t size, const char *src);
// Exactly 2 * size hex digits (a line end after them allowed) into key: WLINK_OK or
// WLINK_BAD_VALUE. The form of every key file the host side reads.
wlink_status wlink_hex_key(const char *hex, uint8_t *key, size_t size);
// The signature trailer at the end of pkg into info: 0 without one, 1 with a good
// form (signature_holds says whether it holds for the key it names), -1 when it is
// malformed (info->reason says how).
int wlink_trailer_read(const uint8_t *pkg, size_t len, wlink_package_info *info);
// The authenticated datagrams: a command under the link's key with the next counter
// (kept in *counter) into out; 0 when it does not fit. A reply: WLINK_OK with its text
// when its code holds for one of the n counters it may answer, else WLINK_BAD_REPLY.
size_t wlink_auth_encode(wlink_link *l, uint8_t seq, const char *cmd, size_t len, uint64_t *counter, uint8_t *out,
                         size_t out_size);
wlink_status wlink_auth_decode(wlink_link *l, const uint8_t *p, size_t n, const uint64_t *counters, int ncounters,
                               uint8_t *seq, char *text, size_t size);
// Copies a reply or value into the caller's buffer: WLINK_OK, or WLINK_BAD_ARGUMENT (an
// empty buffer, the size needed in the last error) when it does not fit.
wlink_status wlink_give(wlink_link *l, const char *text, char *out, size_t size);
