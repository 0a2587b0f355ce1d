// The wireless profile store: Key=Value lines, rewritten through a temporary file.
#include <stdio.h>
#include <string.h>

#include "wifi_profile.h"
#include "wifi_util.h"

enum { SEARCH_BUF = 64 };

static wifi_kept_file s_profile = WIFI_KEPT_FILE(WIFI_PROFILE_PATH, WIFI_PROFILE_TMP_PATH);

// Splits a profile line at its first '='; the value ends at a line feed or an
// apostrophe. Returns false when the line holds no '='.
static bool split_line(const char *line, size_t *key_len, const char **val, size_t *val_len) {
    const char *eq = strchr(line, '=');
    if (eq == nullptr) return false;
    *key_len = (size_t)(eq - line);
    *val = eq + 1;
    *val_len = strcspn(eq + 1, "\n'");
    return true;
}

static bool build_search(const char *key, char *search, size_t size) {
    int n = snprintf(search, size, "%s=", key);
    return n > 0 && (size_t)n < size;
}

namespace {

struct profile_writer final : wifi_line_editor {
    const wifi_kv *kv;
    size_t n;
    char search[8][SEARCH_BUF];

    int edit(const char *line, size_t len, FILE *out) override {
        size_t key_len, val_len;
        const char *val;
        for (size_t i = 0; i < n; i++) {
            if (strstr(line, search[i]) != nullptr && split_line(line, &key_len, &val, &val_len) &&
                key_len == strlen(kv[i].key) && strncmp(line, kv[i].key, key_len) == 0)
                return fprintf(out, "%s=%s\n", kv[i].key, kv[i].value) < 0 ? -1 : 0;
        }
        return wifi_copy_line(line, len, out);
    }
};

}  // namespace

int wifi_set_profile_values(const wifi_kv *kv, size_t n) {
    profile_writer w;
    if (kv == nullptr || n == 0 || n > sizeof(w.search) / sizeof(w.search[0])) return -1;
    for (size_t i = 0; i < n; i++) {
        if (kv[i].key == nullptr || kv[i].value == nullptr) return -1;
        printf("key:%s--val:%s\n", kv[i].key, kv[i].value);
        // A value with a line break would add lines to the profile.
        if (!wifi_value_is_one_line(kv[i].value) || !build_search(kv[i].key, w.search[i], sizeof(w.search[i])))
            return -1;
    }
    w.kv = kv;
    w.n = n;
    return wifi_kept_rewrite(&s_profile, w);
}

int wifi_set_profile_value(const char *key, const char *value) {
    wifi_kv kv = {key, value};
    return wifi_set_profile_values(&kv, 1);
}

namespace {

// Finds the first line that sets the key and copies its value.
struct profile_reader final : wifi_line_reader {
    const char *key;
    const char *search;
    char *out;
    size_t out_size;

    int line(const char *line, size_t) override {
        size_t key_len, val_len;
        const char *val;
        if (strstr(line, search) == nullptr || !split_line(line, &key_len, &val, &val_len)) return 0;
        printf("=szKeyBuf:%.*s==szValBuf:%.*s=\n", (int)key_len, line, (int)val_len, val);
        if (key_len != strlen(key) || strncmp(line, key, key_len) != 0) return 0;
        if (val_len > 0) {
            size_t n = val_len < out_size - 1 ? val_len : out_size - 1;
            memcpy(out, val, n);
            out[n] = '\0';
        }
        return 1;
    }
};

}  // namespace

int wifi_get_profile_value(const char *key, char *out, int32_t out_size) {
    if (key == nullptr || out == nullptr || out_size < 1) return -1;
    char search[SEARCH_BUF];
    if (!build_search(key, search, sizeof(search))) return -1;
    profile_reader rd;
    rd.key = key;
    rd.search = search;
    rd.out = out;
    rd.out_size = (size_t)out_size;
    return wifi_kept_read(&s_profile, rd) == 1 ? 0 : -1;
}
