// Serial link framing. The input is what the host puts on the line; the receive takes
// it as a run of 16-byte frames and reassembles commands from it. The input's text
// also goes out through the send routine and, when it fits a command, back in again.
#include <fcntl.h>
#include <sys/ioctl.h>
#include <sys/socket.h>

#include "fuzz_support.h"

namespace {

constexpr size_t FRAME = WIFI_UART_FRAME_SIZE, CHUNK = WIFI_UART_CHUNK, CMD_BUF = WIFI_CMD_BUF_SIZE;

int g_host_fd = -1;  // the host's end of the line; the daemon's end is g_uart_fd

// A frame the receive may take: a total, a matching checksum, and everything inside
// the command buffer with room for the NUL.
bool frame_ok(const uint8_t *f) {
    unsigned sum = 0;
    for (size_t i = 0; i < 15; i++) sum += f[i];
    return f[0] != 0 && f[15] == (uint8_t)sum && f[1] <= CHUNK && f[0] < CMD_BUF && f[2] + f[1] < CMD_BUF;
}

size_t pending(int fd) {
    int n = 0;
    FUZZ_CHECK(ioctl(fd, FIONREAD, &n) == 0, "FIONREAD");
    return (size_t)n;
}

void put_on_line(const uint8_t *p, size_t n) {
    FUZZ_CHECK(n == 0 || write(g_host_fd, p, n) == (ssize_t)n, "line write");
}

std::vector<uint8_t> take_from_line(int fd) {
    std::vector<uint8_t> out(pending(fd));
    FUZZ_CHECK(out.empty() || read(fd, out.data(), out.size()) == (ssize_t)out.size(), "line read");
    return out;
}

// One receive into a heap buffer of exactly the command size: a command comes back
// NUL-terminated with its length, and nothing is written past the buffer.
int receive(std::vector<char> *buf) {
    buf->assign(CMD_BUF, '\0');
    int32_t len = 0;
    int ret = wifi_uart_recv_msg(buf->data(), &len);
    FUZZ_CHECK(ret == 0 || ret == -1, "receive gave %d", ret);
    if (ret == 0) FUZZ_CHECK(len >= 1 && (size_t)len < CMD_BUF && (*buf)[len] == '\0', "length %d", (int)len);
    return ret;
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int *, char ***) {
    fuzz_platform();
    int sv[2];
    FUZZ_CHECK(socketpair(AF_UNIX, SOCK_STREAM, 0, sv) == 0, "socketpair");
    g_uart_fd = sv[0];
    g_host_fd = sv[1];
    fcntl(g_uart_fd, F_SETFL, O_NONBLOCK);  // as the port is opened: an empty read finds nothing
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    if (g_host_fd < 0) LLVMFuzzerInitialize(nullptr, nullptr);
    if (size > 4096) return -1;
    fuzz_platform().begin_run();
    take_from_line(g_uart_fd), take_from_line(g_host_fd);
    for (size_t at = 0; at + FRAME <= size; at += FRAME)
        FUZZ_CHECK(wifi_uart_frame_check(data + at) == (frame_ok(data + at) ? 0 : -1), "frame check at %zu", at);

    // Every receive takes at least one frame off the line until the line is empty.
    std::vector<char> buf;
    put_on_line(data, size);
    for (size_t calls = 0; pending(g_uart_fd) > 0; calls++) {
        FUZZ_CHECK(calls <= size / FRAME, "receive stopped taking frames");
        receive(&buf);
    }

    // The send cuts a text into frames the receive accepts and puts back together.
    size_t n = std::min(size, (size_t)WIFI_REPLY_BUF_SIZE - 1);
    wifi_uart_send_msg(reinterpret_cast<const char *>(data), n);
    std::vector<uint8_t> sent = take_from_line(g_host_fd);
    FUZZ_CHECK(sent.size() == FRAME * std::max<size_t>(1, (n + CHUNK - 1) / CHUNK), "%zu bytes sent", sent.size());
    bool fits = n >= 1 && n < CMD_BUF && memchr(data, 0, n) == nullptr && !(n == 7 && memcmp(data, "+err=-1", 7) == 0);
    if (!fits) return 0;
    for (size_t at = 0; at < sent.size(); at += FRAME) FUZZ_CHECK(frame_ok(sent.data() + at), "own frame at %zu", at);
    put_on_line(sent.data(), sent.size());
    FUZZ_CHECK(receive(&buf) == 0 && memcmp(buf.data(), data, n) == 0 && buf[n] == '\0', "own text came back changed");
    FUZZ_CHECK(pending(g_uart_fd) == 0, "bytes left after the round trip");
    return 0;
}
