#include "wifi_platform.h"

#include <string.h>
#include <sys/stat.h>
#include <time.h>

static wifi_platform *s_platform;

wifi_platform &wifi_plat() {
    if (!s_platform) s_platform = wifi_platform_target();
    return *s_platform;
}

void wifi_platform_set(wifi_platform *p) { s_platform = p; }

const char *wifi_path(const char *module_path, char *buf, size_t size) {
    if (size == 0) return "";
    if (wifi_plat().map_path(module_path, buf, size) != 0) buf[0] = '\0';
    return buf;
}

static int64_t ns_of(const struct timespec &t, bool whole_seconds) {
    return (int64_t)t.tv_sec * 1000000000LL + (whole_seconds ? 0 : (int64_t)t.tv_nsec);
}

int wifi_stat_stamp(const char *path, bool whole_seconds, wifi_file_stamp *out) {
    // The clock is read first: a change after this moment is stamped no earlier than
    // it, less the kernel's clock tick.
    struct timespec now;
    clock_gettime(CLOCK_REALTIME, &now);
    struct stat st;
    if (stat(path, &st) != 0) return -1;
    out->dev = (uint64_t)st.st_dev;
    out->ino = (uint64_t)st.st_ino;
    out->size = (int64_t)st.st_size;
    out->mtime_ns = ns_of(st.st_mtim, whole_seconds);
    out->ctime_ns = ns_of(st.st_ctim, whole_seconds);
    // Times with no fraction come from a file system that keeps whole seconds: a change
    // within the same second keeps them. Fine times still move only once per clock tick
    // (10 ms at HZ=100).
    bool coarse = whole_seconds || (st.st_mtim.tv_nsec == 0 && st.st_ctim.tv_nsec == 0);
    int64_t settle_ns = coarse ? 2000000000LL : 50000000LL;
    int64_t latest = out->mtime_ns > out->ctime_ns ? out->mtime_ns : out->ctime_ns;
    out->settled = latest + settle_ns <= ns_of(now, false);
    return 0;
}

const char *wifi_op_name(wifi_op op) {
    static const char *const kNames[WIFI_OP_COUNT] = {
        "dhcp-stop", "dhcp-start",    "vlan-set",    "vlan-clear",    "switch-read",
        "reboot",    "survey-start",  "survey-list", "survey-relist", "ssh-stop",
        "ssh-start", "root-password", "flash-copy",  "record-erase",  "record-write",
    };
    return op >= 0 && op < WIFI_OP_COUNT ? kNames[op] : "unknown";
}
