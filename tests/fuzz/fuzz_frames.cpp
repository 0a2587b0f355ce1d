// Serial link framing. The input is what the host puts on the line: the receive
// takes it as a run of 16-byte reads and reassembles commands from it, and every
// result is compared with a plain model of the reassembly. The input's text also
// goes out through the send routine and, when it fits a command, back in again.
#include <errno.h>
#include <fcntl.h>
#include <sys/ioctl.h>
#include <sys/socket.h>

#include <vector>

#include "fuzz_support.h"

namespace {

constexpr size_t FRAME = WIFI_UART_FRAME_SIZE, CHUNK = WIFI_UART_CHUNK, CMD_BUF = WIFI_CMD_BUF_SIZE, MAX_INPUT = 4096;

int g_host_fd = -1;  // the host's end of the line; the daemon's end is g_uart_fd

uint8_t sum8(const uint8_t *p, size_t n) {
    unsigned s = 0;
    for (size_t i = 0; i < n; i++) s += p[i];
    return (uint8_t)s;
}

// A frame the receive may take: a total, a checksum that matches, and everything
// inside the 128-byte command buffer with room for the terminating NUL.
bool frame_ok(const uint8_t *f) {
    unsigned total = f[0], chunk = f[1], offset = f[2];
    return total != 0 && f[15] == sum8(f, 15) && chunk <= CHUNK && total <= CMD_BUF - 1 &&
           offset + chunk <= CMD_BUF - 1;
}

// The reassembly as the link does it, over the frames of `in` from frame `*next` on;
// a read past the end of the input finds nothing (a zero frame).
int model_recv(const std::vector<uint8_t> &in, size_t *next, uint8_t buf[CMD_BUF], int32_t *len) {
    int idle = 20, peer_errors = 0;
    for (;;) {
        uint8_t f[FRAME] = {0};
        size_t at = *next * FRAME;
        if (at < in.size()) memcpy(f, in.data() + at, in.size() - at < FRAME ? in.size() - at : FRAME);
        ++*next;
        if (frame_ok(f)) {
            unsigned total = f[0], chunk = f[1], offset = f[2];
            memcpy(buf + offset, f + 3, chunk);
            if (offset + chunk < total) continue;
            buf[total] = 0;
            if (strcmp(reinterpret_cast<char *>(buf), "+err=-1") == 0) {
                memset(buf, 0, CMD_BUF);
                if (++peer_errors >= 5) return -1;
                continue;
            }
            *len = (int32_t)total;
            return 0;
        }
        if (--idle <= 0) return -1;
    }
}

size_t pending(int fd) {
    int n = 0;
    FUZZ_CHECK(ioctl(fd, FIONREAD, &n) == 0, "FIONREAD: %s", strerror(errno));
    return (size_t)n;
}

void drain(int fd) {
    uint8_t junk[512];
    while (read(fd, junk, sizeof(junk)) > 0) {
    }
}

void put_on_line(const uint8_t *data, size_t size) {
    while (size > 0) {
        ssize_t n = write(g_host_fd, data, size);
        FUZZ_CHECK(n > 0, "line write: %s", strerror(errno));
        data += n;
        size -= (size_t)n;
    }
}

std::vector<uint8_t> take_from_line() {
    std::vector<uint8_t> out(pending(g_host_fd));
    if (!out.empty()) FUZZ_CHECK(read(g_host_fd, out.data(), out.size()) == (ssize_t)out.size(), "short line read");
    return out;
}

// Receives commands until the input is used up, each one checked against the model.
void receive_all(const std::vector<uint8_t> &in) {
    put_on_line(in.data(), in.size());
    size_t frames = (in.size() + FRAME - 1) / FRAME;
    size_t next = 0;
    do {
        // A zero-filled command buffer, as the link task hands over; heap-allocated at its
        // exact size so a write past it is caught.
        auto *buf = static_cast<char *>(calloc(CMD_BUF, 1));
        int32_t len = 0;
        int ret = wifi_uart_recv_msg(buf, &len);

        uint8_t want[CMD_BUF] = {0};
        int32_t want_len = 0;
        int want_ret = model_recv(in, &next, want, &want_len);

        FUZZ_CHECK(ret == want_ret, "receive returned %d, expected %d", ret, want_ret);
        FUZZ_CHECK(memcmp(buf, want, CMD_BUF) == 0, "reassembled buffer differs from the model");
        if (ret == 0) {
            FUZZ_CHECK(len >= 1 && (size_t)len <= CMD_BUF - 1, "length %d", (int)len);
            FUZZ_CHECK(len == want_len, "length %d, expected %d", (int)len, (int)want_len);
            FUZZ_CHECK(memchr(buf, 0, CMD_BUF) != nullptr && buf[len] == '\0', "message not terminated");
        }
        free(buf);
    } while (next < frames);
    FUZZ_CHECK(pending(g_uart_fd) == 0, "%zu bytes left unread on the line", pending(g_uart_fd));
}

// The send routine cuts a text into frames of 12 bytes at most; a text that fits the
// command buffer comes back whole through the receive.
void send_and_back(const uint8_t *text, size_t n) {
    wifi_uart_send_msg(reinterpret_cast<const char *>(text), n);
    std::vector<uint8_t> out = take_from_line();
    size_t want_frames = n == 0 ? 1 : (n + CHUNK - 1) / CHUNK;
    FUZZ_CHECK(out.size() == want_frames * FRAME, "%zu bytes sent for a %zu-byte text", out.size(), n);
    for (size_t i = 0; i < want_frames; i++) {
        const uint8_t *f = out.data() + i * FRAME;
        size_t off = i * CHUNK, chunk = n - off < (size_t)CHUNK ? n - off : CHUNK;
        FUZZ_CHECK(f[0] == (uint8_t)n && f[1] == chunk && f[2] == (uint8_t)off, "frame %zu header", i);
        FUZZ_CHECK(memcmp(f + 3, text + off, chunk) == 0, "frame %zu payload", i);
        for (size_t k = 3 + chunk; k < 15; k++) FUZZ_CHECK(f[k] == 0, "frame %zu not zero-padded", i);
        FUZZ_CHECK(f[15] == sum8(f, 15), "frame %zu checksum", i);
        if (n >= 1 && n <= CMD_BUF - 1) FUZZ_CHECK(wifi_uart_frame_check(f) == 0, "own frame %zu refused", i);
    }

    bool fits = n >= 1 && n <= CMD_BUF - 1 && memchr(text, 0, n) == nullptr &&
                !(n == 7 && memcmp(text, "+err=-1", 7) == 0);
    if (!fits) return;
    put_on_line(out.data(), out.size());
    auto *buf = static_cast<char *>(calloc(CMD_BUF, 1));
    int32_t len = 0;
    FUZZ_CHECK(wifi_uart_recv_msg(buf, &len) == 0, "own %zu-byte text not received", n);
    FUZZ_CHECK(len == (int32_t)n && memcmp(buf, text, n) == 0 && buf[n] == '\0', "own text came back changed");
    free(buf);
    FUZZ_CHECK(pending(g_uart_fd) == 0, "bytes left after the round trip");
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int *, char ***) {
    fuzz_platform();
    int sv[2];
    if (socketpair(AF_UNIX, SOCK_STREAM, 0, sv) != 0) {
        perror("socketpair");
        abort();
    }
    g_uart_fd = sv[0];
    g_host_fd = sv[1];
    // The port is opened non-blocking: a read with nothing waiting finds nothing.
    fcntl(g_uart_fd, F_SETFL, fcntl(g_uart_fd, F_GETFL) | O_NONBLOCK);
    fcntl(g_host_fd, F_SETFL, fcntl(g_host_fd, F_GETFL) | O_NONBLOCK);
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    if (g_host_fd < 0) LLVMFuzzerInitialize(nullptr, nullptr);
    if (size > MAX_INPUT) return -1;
    fuzz_platform().begin_run();
    drain(g_uart_fd);
    drain(g_host_fd);

    // The frame check alone, on every whole frame of the input.
    for (size_t at = 0; at + FRAME <= size; at += FRAME) {
        int r = wifi_uart_frame_check(data + at);
        FUZZ_CHECK(r == (frame_ok(data + at) ? 0 : -1), "frame check at %zu gave %d", at, r);
    }

    std::vector<uint8_t> in(data, data + size);
    receive_all(in);
    send_and_back(data, size < WIFI_REPLY_BUF_SIZE ? size : WIFI_REPLY_BUF_SIZE - 1);
    return 0;
}
