// The module's own platform: the real paths, the system's tools, the kernel's ioctls.
#include <arpa/inet.h>
#include <ctype.h>
#include <errno.h>
#include <fcntl.h>
#include <mtd/mtd-abi.h>
#include <netinet/in.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include "unique_fd.h"
#include "wifi_platform.h"
#include "wifi_util.h"

namespace {

// The command lines of the system operations, the only place they are written, one row
// per operation in the order of wifi_op. A line is `head`, then for the operations that
// take one the value and `tail` (and for the flash copy the partition's number).
// `output`: the line's output, standard error too, is read back through a pipe rather
// than left to the daemon's own.
struct op_line {
    wifi_op op;
    const char *head, *tail;
    bool output;
};
const op_line kOpLines[WIFI_OP_COUNT] = {
    {WIFI_OP_DHCP_STOP, "/etc/init.d/dhcp stop", nullptr, false},
    {WIFI_OP_DHCP_START, "/etc/init.d/dhcp start", nullptr, false},
    {WIFI_OP_VLAN_SET, "/etc/init.d/vlan set ", "", false},
    {WIFI_OP_VLAN_CLEAR, "/etc/init.d/vlan clear", nullptr, false},
    {WIFI_OP_SWITCH_READ, "switch reg read 80 2>&1", nullptr, true},
    {WIFI_OP_REBOOT, "reboot 2>&1", nullptr, true},
    {WIFI_OP_SURVEY_START, "iwpriv ra0 set SiteSurvey= ", nullptr, false},
    {WIFI_OP_SURVEY_LIST, "iwpriv ra0 get_site_survey >wifi_scan.txt", nullptr, false},
    {WIFI_OP_SURVEY_RELIST, "iwpriv ra0 get_site_survey > wifi_scan.txt", nullptr, false},
    {WIFI_OP_SSH_STOP, "killall dropbear", nullptr, false},
    {WIFI_OP_SSH_START, "[ -f /usr/sbin/dropbear ] && /usr/sbin/dropbear -R -I 1800", nullptr, false},
    {WIFI_OP_ROOT_PASSWORD, "echo root:", " |chpasswd", false},
    {WIFI_OP_FLASH_COPY, "flashcp ", "  /dev/mtd", false},
    {WIFI_OP_RECORD_ERASE, "mtd_debug erase /dev/mtd2 0 0x10000", nullptr, false},
    {WIFI_OP_RECORD_WRITE, "cat /tmp/mtd2_buf > /dev/mtdblock2", nullptr, false},
};

// Words for the VLAN script: nothing the shell would read as syntax, and no word the
// script would take as an option of its own (one starting with '-').
bool vlan_words_ok(const char *p) {
    for (char prev = ' '; *p != '\0'; prev = *p++) {
        char ch = *p;
        bool ok = (ch >= 'a' && ch <= 'z') || (ch >= 'A' && ch <= 'Z') || (ch >= '0' && ch <= '9') ||
                  strchr(" ,.:_-", ch) != nullptr;
        if (!ok || (ch == '-' && prev == ' ')) return false;
    }
    return true;
}

// The password as one single-quoted shell word, into out: nothing inside is special to
// the shell except the quote itself, written as '\''. Refused: an empty password, a
// control character, or a backslash (some shells' echo would expand it).
int quote_password(const char *password, char *out, size_t size) {
    if (password[0] == '\0') return -1;
    size_t n = 0;
    out[n++] = '\'';
    for (const char *p = password; *p != '\0'; p++) {
        unsigned char c = (unsigned char)*p;
        if (c < 0x20 || c == 0x7F || c == '\\') return -1;
        const char *piece = c == '\'' ? "'\\''" : nullptr;
        size_t len = piece != nullptr ? 4 : 1;
        if (n + len + 2 > size) return -1;
        if (piece != nullptr) {
            memcpy(out + n, piece, len);
        } else {
            out[n] = (char)c;
        }
        n += len;
    }
    out[n++] = '\'';
    out[n] = '\0';
    return 0;
}

// A file the flash tool is given: a plain absolute path.
bool plain_path(const char *p) {
    if (*p != '/') return false;
    for (; *p != '\0'; p++)
        if (!isalnum((unsigned char)*p) && strchr("/._-", *p) == nullptr) return false;
    return true;
}

}  // namespace

int wifi_op_cmdline(wifi_op op, const char *text, int mtd, char *out, size_t size) {
    if (out == nullptr || size == 0) return -1;
    out[0] = '\0';
    if (op < 0 || op >= WIFI_OP_COUNT) return -1;
    if (size > WIFI_OP_LINE_SIZE) size = WIFI_OP_LINE_SIZE;
    const op_line &l = kOpLines[op];
    if (l.op != op || l.head == nullptr) return -1;  // a row out of place, or missing
    char value[WIFI_OP_LINE_SIZE] = "";
    char number[16] = "";
    if (l.tail != nullptr) {
        if (text == nullptr) return -1;
        if (op == WIFI_OP_VLAN_SET && !vlan_words_ok(text)) return -1;
        if (op == WIFI_OP_ROOT_PASSWORD && quote_password(text, value, sizeof(value)) != 0) return -1;
        if (op == WIFI_OP_FLASH_COPY && (!plain_path(text) || mtd < 0 || mtd > 99)) return -1;
        if (op == WIFI_OP_FLASH_COPY) snprintf(number, sizeof(number), "%d", mtd);
        if (op != WIFI_OP_ROOT_PASSWORD && strlen(text) >= sizeof(value)) return -1;
        if (op != WIFI_OP_ROOT_PASSWORD) memcpy(value, text, strlen(text) + 1);
    }
    int n = snprintf(out, size, "%s%s%s%s", l.head, value, l.tail != nullptr ? l.tail : "", number);
    if (n < 0 || (size_t)n >= size) {
        out[0] = '\0';
        return -1;
    }
    return 0;
}

namespace {

// Runs the line of an operation: system()'s status, or for a line whose output is read
// back 0 once it ran (-1 when it could not be started), the output going to out.
int run_line(wifi_op op, const char *text, int mtd, char *out, size_t out_size) {
    char line[WIFI_OP_LINE_SIZE];
    if (wifi_op_cmdline(op, text, mtd, line, sizeof(line)) != 0) return -1;
    if (!kOpLines[op].output) return system(line);
    // "e": the read end of the pipe is not handed on to later children.
    FILE *fp = popen(line, "re");
    if (fp == nullptr) return -1;
    wifi_read_output(fp, out, out_size);
    pclose(fp);
    return 0;
}

class target_platform final : public wifi_platform {
public:
    int map_path(const char *module_path, char *out, size_t out_size) override {
        size_t n = strlen(module_path);
        if (n >= out_size) return -1;
        memcpy(out, module_path, n + 1);
        return 0;
    }
    int run_op(wifi_op op) override {
        if (op < 0 || op >= WIFI_OP_COUNT || kOpLines[op].tail != nullptr) return -1;
        char out[128];  // what the reboot prints is read and dropped
        memset(out, 0, sizeof(out));
        return run_line(op, "", -1, out, sizeof(out));
    }
    int vlan_set(const char *words) override { return run_line(WIFI_OP_VLAN_SET, words, -1, nullptr, 0); }
    int root_password(const char *password) override {
        return run_line(WIFI_OP_ROOT_PASSWORD, password, -1, nullptr, 0);
    }
    int flash_copy(const char *module_file, int mtd) override {
        return run_line(WIFI_OP_FLASH_COPY, module_file, mtd, nullptr, 0);
    }
    int switch_reg_read(char *out, size_t size) override {
        if (size < 1) return -1;
        return run_line(WIFI_OP_SWITCH_READ, nullptr, -1, out, size);
    }
    int netif_socket(int type) override { return socket(AF_INET, type | SOCK_CLOEXEC, 0); }
    int netif_ioctl(int fd, unsigned long request, void *arg) override { return ioctl(fd, request, arg); }
    // The log is written out whole lines at a time, once per wait rather than once per
    // line: nothing the daemon printed stays unwritten while it waits.
    void sleep_ms(unsigned ms) override {
        fflush(stdout);
        pause_ms(ms);
    }
    void pause_ms(unsigned ms) override {
        struct timespec ts;
        ts.tv_sec = ms / 1000;
        ts.tv_nsec = (long)(ms % 1000) * 1000000L;
        while (nanosleep(&ts, &ts) != 0 && errno == EINTR) {}
    }
    time_t now() override { return time(nullptr); }
    int64_t monotonic_ms() override {
        struct timespec t;
        clock_gettime(CLOCK_MONOTONIC, &t);
        return (int64_t)t.tv_sec * 1000 + t.tv_nsec / 1000000;
    }
    int poll(struct pollfd *fds, nfds_t nfds, int timeout_ms) override {
        fflush(stdout);
        return ::poll(fds, nfds, timeout_ms);
    }
    void bind_addr(wifi_port_id id, struct sockaddr_in *addr) override {
        memset(addr, 0, sizeof(*addr));
        addr->sin_family = AF_INET;
        addr->sin_addr.s_addr = htonl(INADDR_ANY);
        addr->sin_port = htons(id == WIFI_PORT_UDP ? WIFI_UDP_PORT : WIFI_UPGRADE_PORT);
    }
    void link_event(wifi_link_event) override {}
    // The MTD driver tells the partition's size; a plain file stands for itself.
    long long flash_size(const char *module_dev) override {
        UniqueFd fd(open(module_dev, O_RDONLY | O_CLOEXEC));
        if (!fd.valid()) return -1;
        struct mtd_info_user info;
        if (ioctl(fd.get(), MEMGETINFO, &info) == 0) return (long long)info.size;
        struct stat st;
        return fstat(fd.get(), &st) == 0 && S_ISREG(st.st_mode) ? (long long)st.st_size : -1;
    }
};

target_platform g_target_platform;

}  // namespace

wifi_platform *wifi_platform_target() { return &g_target_platform; }
