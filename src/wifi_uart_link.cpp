// The serial command link: commands and replies cut into 16-byte frames.
//   byte 0 total length, 1 chunk length (0..12), 2 offset, 3..14 payload, 15 checksum
#include <poll.h>
#include <stdio.h>
#include <string.h>

#include "wifi_platform.h"
#include "wlinkcmd.h"

enum {
    RECV_IDLE_BUDGET = 20,
    RECV_PEER_ERRORS = 5,
    RECV_GAP_MS = 5,
    SEND_GAP_MS = 15,
    TASK_PASS_MS = 100,
};

// The peer's own error notice; it is not a command and gets no reply.
static const char kPeerError[] = "+err=-1";

static void trace_frame(const char *tag, const uint8_t *frame) {
    char line[8 + WIFI_UART_FRAME_SIZE * 3 + 2];
    size_t n = (size_t)snprintf(line, sizeof(line), "%s", tag);
    for (int i = 0; i < WIFI_UART_FRAME_SIZE && n < sizeof(line); i++)
        n += (size_t)snprintf(line + n, sizeof(line) - n, "%x ", frame[i]);
    printf("%s\n", line);
}

int wifi_uart_frame_check(const uint8_t frame[WIFI_UART_FRAME_SIZE]) {
    unsigned total = frame[0], chunk = frame[1], offset = frame[2];
    if (total == 0) return -1;
    if (frame[15] != wifi_uart_checksum(frame, 15)) return -1;
    // Everything must land inside the 128-byte command buffer, NUL included.
    if (chunk > WIFI_UART_CHUNK || total > WIFI_CMD_BUF_SIZE - 1 || offset + chunk > WIFI_CMD_BUF_SIZE - 1) return -1;
    return 0;
}

void wifi_uart_send_msg(const char *text, size_t len) {
    uint8_t frame[WIFI_UART_FRAME_SIZE];
    size_t off = 0, rest = len;
    for (;;) {
        size_t chunk = rest > (size_t)WIFI_UART_CHUNK ? (size_t)WIFI_UART_CHUNK : rest;
        memset(frame, 0, sizeof(frame));
        frame[0] = (uint8_t)len;
        frame[1] = (uint8_t)chunk;
        frame[2] = (uint8_t)off;
        if (chunk > 0) memcpy(frame + 3, text + off, chunk);
        frame[15] = wifi_uart_checksum(frame, 15);
        wifi_uart_write(frame, sizeof(frame));
        trace_frame("send:", frame);
        if (rest <= (size_t)WIFI_UART_CHUNK) break;
        rest -= WIFI_UART_CHUNK;
        off += WIFI_UART_CHUNK;
        wifi_plat().sleep_ms(SEND_GAP_MS);
    }
}

int wifi_uart_recv_msg(char *buf, int32_t *len) {
    int idle = RECV_IDLE_BUDGET;
    int peer_errors = 0;
    uint8_t frame[WIFI_UART_FRAME_SIZE];
    for (;;) {
        memset(frame, 0, sizeof(frame));
        wifi_uart_read(frame, sizeof(frame));
        trace_frame("read:", frame);
        if (wifi_uart_frame_check(frame) == 0) {
            unsigned total = frame[0], chunk = frame[1], offset = frame[2];
            memcpy(buf + offset, frame + 3, chunk);
            if (offset + chunk < total) {
                printf("at_cmd not ok,recieve again\n");
                wifi_plat().sleep_ms(RECV_GAP_MS);
                continue;
            }
            buf[total] = '\0';
            if (strcmp(buf, kPeerError) == 0) {
                printf("========uart read error:%s\n", buf);
                memset(buf, 0, WIFI_CMD_BUF_SIZE);
                if (++peer_errors >= RECV_PEER_ERRORS) return -1;
                wifi_plat().sleep_ms(RECV_GAP_MS);
                continue;
            }
            *len = (int32_t)total;
            printf("========uart read:%s\n", buf);
            return 0;
        }
        if (--idle <= 0) return -1;
        wifi_plat().sleep_ms(RECV_GAP_MS);
    }
}

void *wifi_uart_comm_task(void *arg) {
    (void)arg;
    char cmd[WIFI_CMD_BUF_SIZE];
    char reply[WIFI_REPLY_BUF_SIZE];
    int32_t len;

    wifi_uart_open();
    if (g_uart_fd >= 0) wifi_plat().link_event(WIFI_LINK_SERIAL_UP);
    struct pollfd pfd;
    pfd.fd = g_uart_fd;
    pfd.events = POLLIN;
    for (;;) {
        printf("===========wifi_uart_comm_task  while===============\n");
        wifi_plat().sleep_ms(TASK_PASS_MS);
        len = 0;
        memset(cmd, 0, sizeof(cmd));
        memset(reply, 0, sizeof(reply));
        pfd.revents = 0;
        if (wifi_plat().poll(&pfd, 1, -1) <= 0) continue;
        if (!(pfd.revents & POLLIN) || (pfd.revents & (POLLERR | POLLHUP))) continue;
        if (wifi_uart_recv_msg(cmd, &len) != 0 || len == 0) continue;
        wifi_msg_proc_distribute(cmd, reply, sizeof(reply));
        wifi_uart_send_msg(reply, strlen(reply));
    }
    return nullptr;
}
