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

#include "platform_fake.h"
#include "wifi_apply.h"
#include "wifi_dhcp_cfg.h"
#include "wifi_frame.h"
#include "wifi_msg_proc.h"
#include "wifi_profile.h"
#include "wifi_uart_link.h"
#include "wifi_udp_link.h"
#include "wifi_util.h"

// What every target defines, for libFuzzer and for the corpus replay.
extern "C" int LLVMFuzzerInitialize(int *argc, char ***argv);
extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size);

// A broken property: reported on stderr (stdout is closed while fuzzing), then abort.
#define FUZZ_CHECK(cond, ...)                                                        \
    do {                                                                             \
        if (!(cond)) {                                                               \
            fprintf(stderr, "%s:%d: check failed: %s: ", __FILE__, __LINE__, #cond); \
            fprintf(stderr, __VA_ARGS__);                                            \
            fprintf(stderr, "\n");                                                   \
            abort();                                                                 \
        }                                                                            \
    } while (0)

// The unit tests' fake platform with the module's files on /dev/shm when it is there,
// since every profile and DHCP rewrite syncs its file; installed on first use.
inline FakePlatform &fuzz_platform() {
    static FakePlatform plat(access("/dev/shm", W_OK) == 0 ? "/dev/shm" : "/tmp");  // removed at exit
    static bool ready = [] {
        for (const char *f : {WIFI_PROFILE_PATH, WIFI_FACTORY_PROFILE_PATH, WIFI_DHCP_CFG_PATH})
            std::filesystem::create_directories(std::filesystem::path(plat.path(f)).parent_path());
        wifi_platform_set(&plat);
        return true;
    }();
    (void)ready;
    return plat;
}

// Forgets what the last run recorded and clears the daemon's in-memory state.
inline void fuzz_begin_run() {
    FakePlatform &p = fuzz_platform();
    p.ops.clear();
    p.ioctls.clear();
    p.link_events.clear();
    wifi_clear_cfg_pending();
    wifi_set_udp_src_ipaddr("");
    wifi_uart_link_reset();
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
inline std::vector<char> fuzz_rewrite_case(const uint8_t *data, size_t size, const char *path, const char *tmp_path,
                                           int (*set)(const char *, const char *)) {
    fuzz_begin_run();
    std::vector<std::string> parts(1);
    for (size_t i = 0; i < size && (data[i] != 0 || parts.size() < 3); i++) {
        if (data[i] != 0)
            parts.back() += (char)data[i];
        else
            parts.emplace_back();
    }
    parts.resize(3);
    const std::string &before = parts[0];
    fuzz_platform().write_file(path, before);
    std::vector<char> key = fuzz_cstr(parts[1]), value = fuzz_cstr(parts[2]);
    int ret = set(key.data(), value.data());

    std::string after = fuzz_platform().read_file(path);
    FUZZ_CHECK(ret == 0 || ret == -1, "result %d", ret);
    FUZZ_CHECK(fuzz_platform().exists(path) && !fuzz_platform().exists(tmp_path), "%s replaced badly", path);
    FUZZ_CHECK(fuzz_lines(after) == fuzz_lines(before), "%zu lines became %zu", fuzz_lines(before), fuzz_lines(after));
    if (ret != 0) FUZZ_CHECK(after == before, "a failed rewrite changed %s", path);
    return key;
}
