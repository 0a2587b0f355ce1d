// Shared pieces of the fuzz targets: the unit tests' fake platform with the module's
// files moved to a tmpfs, whole-file helpers, and the check that turns a broken
// property into a crash libFuzzer keeps.
#pragma once

#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <unistd.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "fake_platform.h"
#include "wifi_platform.h"
#include "wlinkcmd.h"

// A broken property: reported on stderr (stdout is closed while fuzzing), then abort.
#define FUZZ_CHECK(cond, ...)                                                       \
    do {                                                                            \
        if (!(cond)) {                                                              \
            fprintf(stderr, "%s:%d: check failed: %s: ", __FILE__, __LINE__, #cond); \
            fprintf(stderr, __VA_ARGS__);                                           \
            fprintf(stderr, "\n");                                                  \
            abort();                                                                \
        }                                                                           \
    } while (0)

// The FakePlatform records shell lines, ioctls and sleeps; only the files move, to
// /dev/shm when it is there, since every profile and DHCP rewrite syncs its file.
class FuzzPlatform final : public wifi_platform {
public:
    FakePlatform fake;
    std::string root = fake.root();

    FuzzPlatform() {
        char tmpl[] = "/dev/shm/wlinkfuzz.XXXXXX";
        if (access("/dev/shm", W_OK) == 0 && mkdtemp(tmpl) != nullptr) root = tmpl;
        for (const char *f : {WIFI_PROFILE_PATH, WIFI_FACTORY_PROFILE_PATH, WIFI_DHCP_CFG_PATH, WIFI_DHCP_LEASES_PATH})
            std::filesystem::create_directories(std::filesystem::path(root + f).parent_path());
        wifi_platform_set(this);
    }
    ~FuzzPlatform() {  // at a normal exit; a crash leaves the folder for a look
        wifi_platform_set(wifi_platform_target());
        if (root != fake.root()) std::filesystem::remove_all(root);
    }
    // Forgets what the last run recorded and clears the daemon's in-memory state.
    void begin_run() {
        fake.shell_lines.clear();
        fake.ioctls.clear();
        fake.link_events.clear();
        wifi_clear_cfg_pending();
        memset(szUdpSrcIP, 0, sizeof(szUdpSrcIP));
        g_seq = 0;
    }

    int map_path(const char *module_path, char *out, size_t out_size) override {
        std::string p = root + (module_path[0] == '/' ? "" : "/") + module_path;
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
};

inline FuzzPlatform &fuzz_platform() {
    static FuzzPlatform plat;  // installed on first use
    return plat;
}

inline std::string fuzz_path(const char *module_path) { return fuzz_platform().root + module_path; }
inline bool fuzz_exists(const char *module_path) { return access(fuzz_path(module_path).c_str(), F_OK) == 0; }
inline void fuzz_write(const char *module_path, const std::string &s) {
    std::ofstream(fuzz_path(module_path), std::ios::binary) << s;
}
inline std::string fuzz_read(const char *module_path) {
    std::ifstream in(fuzz_path(module_path), std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

// Every line feed ends a line, and a last piece without one counts too.
inline size_t fuzz_lines(const std::string &t) {
    return (size_t)std::count(t.begin(), t.end(), '\n') + (!t.empty() && t.back() != '\n');
}

// A text in a heap block of exactly its length plus the NUL, so that AddressSanitizer
// sees a read past the end.
inline std::vector<char> fuzz_cstr(const std::string &s) {
    std::vector<char> v(s.size() + 1, '\0');
    std::copy(s.begin(), s.end(), v.begin());
    return v;
}

// One rewrite of a file through its temporary file. The input is cut at its first two
// NUL bytes into the file's content, a key and a value (missing ones empty; the value
// ends at the next NUL); the content is laid down and `set` writes the key with the
// value. Then every rewrite must keep: a result of 0 or -1, the file in place and no
// temporary file, no line added or lost, and on failure the old content byte for byte.
// Returns the key, for further checks.
inline std::vector<char> fuzz_rewrite_case(const uint8_t *data, size_t size, const char *path,
                                           const char *tmp_path, int (*set)(const char *, const char *)) {
    fuzz_platform().begin_run();
    std::vector<std::string> parts(1);
    for (size_t i = 0; i < size && (data[i] != 0 || parts.size() < 3); i++) {
        if (data[i] != 0) parts.back() += (char)data[i];
        else parts.emplace_back();
    }
    parts.resize(3);
    const std::string &before = parts[0];
    fuzz_write(path, before);
    std::vector<char> key = fuzz_cstr(parts[1]), value = fuzz_cstr(parts[2]);
    int ret = set(key.data(), value.data());

    std::string after = fuzz_read(path);
    FUZZ_CHECK(ret == 0 || ret == -1, "result %d", ret);
    FUZZ_CHECK(fuzz_exists(path) && !fuzz_exists(tmp_path), "%s replaced badly", path);
    FUZZ_CHECK(fuzz_lines(after) == fuzz_lines(before), "%zu lines became %zu", fuzz_lines(before), fuzz_lines(after));
    if (ret != 0) FUZZ_CHECK(after == before, "a failed rewrite changed %s", path);
    return key;
}
