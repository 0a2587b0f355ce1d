// The serial command link: commands and replies cut into 16-byte frames.
#include <poll.h>
#include <stdio.h>
#include <string.h>

#include "wifi_frame.h"
#include "wifi_msg_proc.h"
#include "wifi_platform.h"
#include "wifi_uart.h"
#include "wifi_uart_link.h"
#include "wifi_util.h"

enum {
    RECV_IDLE_BUDGET = 20,
    RECV_PEER_ERRORS = 5,
    RECV_GAP_MS = 5,
    SEND_GAP_MS = 15,
    TASK_PASS_MS = 100,
};

// The peer's own error notice; it is not a command and gets no reply.
static const char kPeerError[] = "+err=-1";

// What the line brought and was not used yet: the rest of a frame, the next
// command. Only the serial task touches it.
static wifi_frame_stream s_stream;
static bool s_stream_ready;

static wifi_frame_stream *stream() {
    if (!s_stream_ready) {
        wifi_frame_stream_init(&s_stream, WIFI_CMD_BUF_SIZE - 1);
        s_stream_ready = true;
    }
    return &s_stream;
}

void wifi_uart_link_reset() { s_stream_ready = false; }

// "tag" and the bytes as "%x " each; a short read shows as a cleared frame would.
static void trace_bytes(const char *tag, const uint8_t *bytes, size_t n) {
    char line[8 + WIFI_FRAME_STREAM_BUF * 3 + 2];
    size_t len = (size_t)snprintf(line, sizeof(line), "%s", tag);
    size_t shown = n < (size_t)WIFI_FRAME_SIZE ? (size_t)WIFI_FRAME_SIZE : n;
    for (size_t i = 0; i < shown && len < sizeof(line); i++)
        len += (size_t)snprintf(line + len, sizeof(line) - len, "%x ", i < n ? bytes[i] : 0);
    printf("%s\n", line);
}

void wifi_uart_send_msg(const char *text, size_t len) {
    uint8_t frame[WIFI_FRAME_SIZE];
    size_t off = 0, rest = len;
    for (;;) {
        size_t chunk = rest > (size_t)WIFI_FRAME_CHUNK ? (size_t)WIFI_FRAME_CHUNK : rest;
        wifi_frame_build(frame, len, off, text + off, chunk);
        wifi_uart_write(frame, sizeof(frame));
        trace_bytes("send:", frame, sizeof(frame));
        if (rest <= (size_t)WIFI_FRAME_CHUNK) break;
        rest -= WIFI_FRAME_CHUNK;
        off += WIFI_FRAME_CHUNK;
        wifi_plat().pause_ms(SEND_GAP_MS);
    }
}

// Reads what is waiting into the stream; what was read is traced.
static void read_line(wifi_frame_stream *s) {
    size_t room;
    uint8_t *at = wifi_frame_stream_space(s, &room);
    int n = wifi_uart_read(at, room);
    trace_bytes("read:", at, n > 0 ? (size_t)n : 0);
    if (n > 0) wifi_frame_stream_commit(s, (size_t)n);
}

int wifi_uart_recv_msg(char *buf, int32_t *len) {
    wifi_frame_stream *s = stream();
    int idle = RECV_IDLE_BUDGET;
    int peer_errors = 0;
    bool first = true;  // bytes left from before are looked at before any read
    for (;;) {
        if (!first) read_line(s);
        bool good = false;
        unsigned dropped = s->dropped;
        for (wifi_frame_take t; (t = wifi_frame_stream_take(s)) != WIFI_FRAME_NONE;) {
            good = true;
            if (t != WIFI_FRAME_DONE) continue;
            if (strcmp(s->msg, kPeerError) == 0) {
                printf("========uart read error:%s\n", s->msg);
                if (++peer_errors >= RECV_PEER_ERRORS) return -1;
                continue;
            }
            wifi_strlcpy_zero(buf, s->msg, WIFI_CMD_BUF_SIZE);
            *len = (int32_t)s->msg_len;
            printf("========uart read:%s\n", wifi_msg_log_text(buf));
            return 0;
        }
        if (s->dropped != dropped) printf("========uart partial message dropped\n");
        if (good) {
            printf("at_cmd not ok,recieve again\n");
            idle = RECV_IDLE_BUDGET;  // twenty reads in a row without a good frame
        } else if (first) {
            first = false;
            continue;  // nothing whole was waiting: read at once
        } else if (--idle <= 0) {
            wifi_frame_stream_drop_msg(s);  // its missing frames are not coming
            return -1;
        }
        first = false;
        wifi_plat().pause_ms(RECV_GAP_MS);
    }
}

void *wifi_uart_comm_task(void *arg) {
    (void)arg;
    char cmd[WIFI_CMD_BUF_SIZE];
    char reply[WIFI_REPLY_BUF_SIZE];
    int32_t len;

    wifi_uart_open_wait();
    wifi_plat().link_event(WIFI_LINK_SERIAL_UP);
    struct pollfd pfd;
    pfd.fd = g_uart_fd.get();
    pfd.events = POLLIN;
    for (;;) {
        printf("===========wifi_uart_comm_task  while===============\n");
        wifi_plat().sleep_ms(TASK_PASS_MS);
        len = 0;
        memset(cmd, 0, sizeof(cmd));
        memset(reply, 0, sizeof(reply));
        // A whole frame already read (the next command, sent right after the last)
        // is handled without waiting for more input.
        if (stream()->in_len < WIFI_FRAME_SIZE) {
            pfd.revents = 0;
            if (wifi_plat().poll(&pfd, 1, -1) <= 0) continue;
            if (!(pfd.revents & POLLIN) || (pfd.revents & (POLLERR | POLLHUP))) continue;
        }
        if (wifi_uart_recv_msg(cmd, &len) != 0 || len == 0) continue;
        wifi_msg_set_origin(WIFI_CMD_SERIAL, 0);
        wifi_msg_proc_distribute(cmd, reply, sizeof(reply));
        wifi_uart_send_msg(reply, strlen(reply));
    }
    return nullptr;
}
