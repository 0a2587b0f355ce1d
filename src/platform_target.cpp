// The module's own platform: the real paths, the shell, the kernel's ioctls.
#include <arpa/inet.h>
#include <errno.h>
#include <fcntl.h>
#include <mtd/mtd-abi.h>
#include <netinet/in.h>
#include <stdlib.h>
#include <string.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include "unique_fd.h"
#include "wifi_platform.h"

namespace {

class target_platform final : public wifi_platform {
public:
    int map_path(const char *module_path, char *out, size_t out_size) override {
        size_t n = strlen(module_path);
        if (n >= out_size) return -1;
        memcpy(out, module_path, n + 1);
        return 0;
    }
    int shell_run(const char *cmdline) override { return system(cmdline); }
    // "e": the read end of the pipe is not handed on to later children.
    FILE *shell_open(const char *cmdline) override { return popen(cmdline, "re"); }
    int shell_close(FILE *fp) override { return pclose(fp); }
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
        while (nanosleep(&ts, &ts) != 0 && errno == EINTR) {
        }
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
