// Edits the DHCP server's configuration: pool start and end, router, lease time.
#include <stdio.h>
#include <string.h>

#include "wifi_dhcp_cfg.h"
#include "wifi_util.h"

static wifi_kept_file s_dhcp_cfg = WIFI_KEPT_FILE(WIFI_DHCP_CFG_PATH, WIFI_DHCP_CFG_TMP_PATH);

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

// The line that sets `key` to `value`; false for a key of no known class.
static bool format_line(const char *key, const char *value, char *out, size_t size) {
    const char *fmt;
    if (strstr(key, "start") != nullptr || strstr(key, "end") != nullptr)
        fmt = "%s\t\t%s\n";
    else if (strstr(key, "router") != nullptr)
        fmt = "opt\t%s\t%s\n";
    else if (strstr(key, "lease") != nullptr)
        fmt = "option\t%s\t%s\n";
    else
        return false;
    int n = snprintf(out, size, fmt, key, value);
    return n > 0 && (size_t)n < size;
}

namespace {

struct dhcp_writer final : wifi_line_editor {
    const wifi_kv *kv;
    size_t n;

    int edit(const char *line, size_t len, FILE *out) override {
        if (memchr(line, '#', len) != nullptr) return wifi_copy_line(line, len, out);
        for (size_t i = 0; i < n; i++) {
            if (!line_sets(line, kv[i].key)) continue;
            char repl[512];
            if (!format_line(kv[i].key, kv[i].value, repl, sizeof(repl))) return -1;  // cannot be written
            return fputs(repl, out) < 0 ? -1 : 0;
        }
        return wifi_copy_line(line, len, out);
    }
};

}  // namespace

int wifi_modify_dhcp_cfg_values(const wifi_kv *kv, size_t n) {
    if (kv == nullptr || n == 0) return -1;
    for (size_t i = 0; i < n; i++) {
        if (kv[i].key == nullptr || kv[i].value == nullptr) return -1;
        printf("===modify dhcp cfg :key:%s--val:%s\n", kv[i].key, kv[i].value);
        // A line break would add lines to the server's configuration.
        if (!wifi_value_is_one_line(kv[i].value) || !wifi_value_is_one_line(kv[i].key)) return -1;
    }
    dhcp_writer w;
    w.kv = kv;
    w.n = n;
    return wifi_kept_rewrite(&s_dhcp_cfg, w);
}

int wifi_modify_dhcp_cfg(const char *key, const char *value) {
    wifi_kv kv = {key, value};
    return wifi_modify_dhcp_cfg_values(&kv, 1);
}
