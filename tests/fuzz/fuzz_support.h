// Shared pieces of the fuzz targets: a fake module rooted in memory, file helpers
// and the check that turns a broken property into a crash libFuzzer keeps.
#pragma once

#include <fcntl.h>
#include <stddef.h>
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <string>

#include "fake_platform.h"
#include "wifi_platform.h"
#include "wlinkcmd.h"

// A broken property: report it on stderr (stdout is closed while fuzzing) and abort.
#define FUZZ_CHECK(cond, ...)                                                             \
    do {                                                                                  \
        if (!(cond)) {                                                                    \
            fprintf(stderr, "%s:%d: check failed: %s: ", __FILE__, __LINE__, #cond);       \
            fprintf(stderr, __VA_ARGS__);                                                 \
            fprintf(stderr, "\n");                                                        \
            abort();                                                                      \
        }                                                                                 \
    } while (0)

// The fake platform of the unit tests with its files moved to memory: every profile
// and DHCP rewrite syncs its temporary file, which costs a disk flush under /tmp and
// next to nothing on a tmpfs. Shell lines, ioctls and sleeps go to the FakePlatform,
// which records them and does nothing.
class FuzzPlatform final : public wifi_platform {
public:
    FuzzPlatform() {
        char tmpl[] = "/dev/shm/wlinkfuzz.XXXXXX";
        const char *dir = access("/dev/shm", W_OK) == 0 ? mkdtemp(tmpl) : nullptr;
        own_root_ = dir != nullptr;
        root_ = own_root_ ? std::string(dir) : fake.root();
        for (const char *file : {WIFI_PROFILE_PATH, WIFI_FACTORY_PROFILE_PATH, WIFI_DHCP_CFG_PATH,
                                 WIFI_DHCP_LEASES_PATH, WIFI_UART_DEV})
            std::filesystem::create_directories(std::filesystem::path(root_ + file).parent_path());
    }
    ~FuzzPlatform() {
        if (own_root_) {
            std::error_code ec;
            std::filesystem::remove_all(root_, ec);
        }
    }
    FuzzPlatform(const FuzzPlatform &) = delete;
    FuzzPlatform &operator=(const FuzzPlatform &) = delete;

    FakePlatform fake;

    std::string path(const char *module_path) const { return root_ + module_path; }

    // Forgets what the last run recorded and clears the daemon's in-memory state.
    void begin_run() {
        fake.shell_lines.clear();
        fake.ioctls.clear();
        fake.link_events.clear();
        fake.slept_ms = 0;
        wifi_clear_cfg_pending();
        memset(szUdpSrcIP, 0, sizeof(szUdpSrcIP));
        g_seq = 0;
    }

    int map_path(const char *module_path, char *out, size_t out_size) override {
        std::string p = module_path[0] == '/' ? root_ + module_path : root_ + "/" + module_path;
        if (p.size() >= out_size) return -1;
        memcpy(out, p.c_str(), p.size() + 1);
        return 0;
    }
    int shell_run(const char *cmdline) override { return fake.shell_run(cmdline); }
    FILE *shell_open(const char *cmdline) override { return fake.shell_open(cmdline); }
    int shell_close(FILE *fp) override { return fake.shell_close(fp); }
    int netif_socket(int type) override { return fake.netif_socket(type); }
    int netif_ioctl(int fd, unsigned long request, void *arg) override { return fake.netif_ioctl(fd, request, arg); }
    void sleep_ms(unsigned ms) override { fake.sleep_ms(ms); }
    time_t now() override { return fake.now(); }
    int poll(struct pollfd *fds, nfds_t nfds, int timeout_ms) override { return fake.poll(fds, nfds, timeout_ms); }
    void bind_addr(wifi_port_id id, struct sockaddr_in *addr) override { fake.bind_addr(id, addr); }
    void link_event(wifi_link_event ev) override { fake.link_event(ev); }

private:
    std::string root_;
    bool own_root_ = false;
};

// The platform of this process, installed on first use and removed at a normal exit;
// a crash leaves its folder behind for the post-mortem.
inline FuzzPlatform *&fuzz_platform_slot() {
    static FuzzPlatform *plat = nullptr;
    return plat;
}

inline FuzzPlatform &fuzz_platform() {
    FuzzPlatform *&plat = fuzz_platform_slot();
    if (plat == nullptr) {
        plat = new FuzzPlatform();
        wifi_platform_set(plat);
        atexit([] {
            wifi_platform_set(wifi_platform_target());
            delete fuzz_platform_slot();
            fuzz_platform_slot() = nullptr;
        });
    }
    return *plat;
}

// Whole-file helpers on module paths; plain POSIX calls to keep a run cheap.
inline void fuzz_write_file(const char *module_path, const void *data, size_t size) {
    std::string p = fuzz_platform().path(module_path);
    int fd = open(p.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    FUZZ_CHECK(fd >= 0, "cannot create %s", p.c_str());
    const char *c = static_cast<const char *>(data);
    while (size > 0) {
        ssize_t n = write(fd, c, size);
        FUZZ_CHECK(n > 0, "cannot write %s", p.c_str());
        c += n;
        size -= (size_t)n;
    }
    close(fd);
}

inline void fuzz_write_file(const char *module_path, const std::string &content) {
    fuzz_write_file(module_path, content.data(), content.size());
}

inline bool fuzz_read_file(const char *module_path, std::string *out) {
    out->clear();
    std::string p = fuzz_platform().path(module_path);
    int fd = open(p.c_str(), O_RDONLY);
    if (fd < 0) return false;
    char buf[4096];
    ssize_t n;
    while ((n = read(fd, buf, sizeof(buf))) > 0) out->append(buf, (size_t)n);
    close(fd);
    return n == 0;
}

inline bool fuzz_exists(const char *module_path) {
    struct stat st;
    return stat(fuzz_platform().path(module_path).c_str(), &st) == 0;
}

// Lines of a text: every line feed ends one, and a last piece without one counts too.
inline size_t fuzz_count_lines(const std::string &text) {
    size_t n = 0;
    for (char c : text)
        if (c == '\n') n++;
    if (!text.empty() && text.back() != '\n') n++;
    return n;
}

// The longest line (without its line feed) of a text.
inline size_t fuzz_longest_line(const std::string &text) {
    size_t longest = 0, cur = 0;
    for (char c : text) {
        if (c == '\n') {
            cur = 0;
        } else if (++cur > longest) {
            longest = cur;
        }
    }
    return longest;
}

// An input cut into up to three parts at its first two NUL bytes; missing parts are
// empty. The third part is a C text, so it ends at the next NUL.
struct FuzzParts {
    std::string first, second, third;
};

inline FuzzParts fuzz_split3(const uint8_t *data, size_t size) {
    FuzzParts p;
    std::string *dst[3] = {&p.first, &p.second, &p.third};
    int part = 0;
    for (size_t i = 0; i < size; i++) {
        if (data[i] == 0) {
            if (part == 2) break;
            part++;
            continue;
        }
        dst[part]->push_back((char)data[i]);
    }
    return p;
}

// A heap copy of a text of exactly its length plus the NUL, so that AddressSanitizer
// sees any read past the end.
struct FuzzCStr {
    explicit FuzzCStr(const std::string &s) : p(static_cast<char *>(malloc(s.size() + 1))) {
        memcpy(p, s.data(), s.size());
        p[s.size()] = '\0';
    }
    ~FuzzCStr() { free(p); }
    FuzzCStr(const FuzzCStr &) = delete;
    FuzzCStr &operator=(const FuzzCStr &) = delete;
    char *p;
};
