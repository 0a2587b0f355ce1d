// Edits the DHCP server's configuration: pool start and end, router, lease time.
#include <stdio.h>
#include <string.h>

#include "wlinkcmd.h"

// True when the line sets `key`: its first word is the key ("start", "end"), or its
// first word is "opt" or "option" and its second word is the key ("router",
// "lease"). A mere mention is not enough: "lease_file" and "max_leases" are other
// settings and must survive a new lease time.
static bool line_sets(const char *line, const char *key) {
    size_t klen = strlen(key);
    const char *w = line + strspn(line, " \t");
    size_t wlen = strcspn(w, " \t\r\n");
    if (wlen == klen && strncmp(w, key, klen) == 0) return true;
    if (!((wlen == 3 && strncmp(w, "opt", 3) == 0) || (wlen == 6 && strncmp(w, "option", 6) == 0))) return false;
    w += wlen;
    w += strspn(w, " \t");
    wlen = strcspn(w, " \t\r\n");
    return wlen == klen && strncmp(w, key, klen) == 0;
}

namespace {

struct dhcp_writer final : wifi_line_editor {
    const char *key;
    const char *value;

    int edit(const char *line, size_t len, FILE *out) override {
        if (!line_sets(line, key) || memchr(line, '#', len) != nullptr) return wifi_copy_line(line, len, out);
        const char *fmt;
        if (strstr(key, "start") != nullptr || strstr(key, "end") != nullptr)
            fmt = "%s\t\t%s\n";
        else if (strstr(key, "router") != nullptr)
            fmt = "opt\t%s\t%s\n";
        else if (strstr(key, "lease") != nullptr)
            fmt = "option\t%s\t%s\n";
        else
            return -1;  // a key of no known class cannot be written
        char repl[512];
        int n = snprintf(repl, sizeof(repl), fmt, key, value);
        if (n < 0 || (size_t)n >= sizeof(repl)) return -1;
        return fputs(repl, out) < 0 ? -1 : 0;
    }
};

}  // namespace

int wifi_modify_dhcp_cfg(const char *key, const char *value) {
    if (key == nullptr || value == nullptr) return -1;
    printf("===modify dhcp cfg :key:%s--val:%s\n", key, value);
    // A line break in a value would add lines to the server's configuration.
    if (!wifi_value_is_one_line(value) || !wifi_value_is_one_line(key)) return -1;
    dhcp_writer w;
    w.key = key;
    w.value = value;
    return wifi_rewrite_file(WIFI_DHCP_CFG_PATH, WIFI_DHCP_CFG_TMP_PATH, w);
}
