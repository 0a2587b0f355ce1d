// The wireless profile store: Key=Value lines, rewritten through a temporary file.
#include <errno.h>
#include <stdio.h>
#include <string.h>
#include <unistd.h>

#include "unique_fd.h"
#include "wifi_platform.h"
#include "wlinkcmd.h"

enum { LINE_BUF = 512, SEARCH_BUF = 64, PATH_BUF = 512 };

// Reads one line, or the next size - 1 bytes of a longer one, NUL-terminated.
// Returns the number of bytes read, stray NUL bytes included; 0 at the end.
static size_t read_piece(FILE *in, char *buf, size_t size) {
    size_t n = 0;
    int c;
    while (n + 1 < size && (c = getc(in)) != EOF) {
        buf[n++] = (char)c;
        if (c == '\n') break;
    }
    buf[n] = '\0';
    return n;
}

int wifi_copy_line(const char *line, size_t len, FILE *out) { return fwrite(line, 1, len, out) == len ? 0 : -1; }

int wifi_rewrite_file(const char *module_path, const char *module_tmp_path, wifi_line_editor &ed) {
    char path[PATH_BUF], tmp_path[PATH_BUF];
    wifi_path(module_path, path, sizeof(path));
    wifi_path(module_tmp_path, tmp_path, sizeof(tmp_path));

    UniqueFile in(fopen(path, "r+"));
    if (!in) return -1;
    UniqueFile out(fopen(tmp_path, "w+"));
    if (!out) return -1;

    char line[LINE_BUF];
    size_t len;
    int ret = 0;
    bool long_line = false;  // inside a line longer than the buffer
    while (ret == 0 && (len = read_piece(in.get(), line, sizeof(line))) > 0) {
        bool whole = line[len - 1] == '\n' || feof(in.get());
        // A line longer than the buffer is not ours to edit: it goes through as it
        // is, piece by piece, so that no piece of it becomes a line of its own.
        if (long_line || !whole)
            ret = wifi_copy_line(line, len, out.get());
        else
            ret = ed.edit(line, len, out.get());
        long_line = !whole;
    }
    if (ret == 0 && ferror(in.get())) ret = -1;
    // The new copy is complete on the storage before it takes the old one's place,
    // so a power cut leaves either the old or the new file.
    if (ret == 0 && (fflush(out.get()) != 0 || fsync(fileno(out.get())) != 0)) ret = -1;
    if (out.close() != 0) ret = -1;
    in.reset();
    if (ret == 0 && rename(tmp_path, path) != 0) ret = -1;
    if (ret != 0) unlink(tmp_path);
    return ret;
}

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
    const char *key;
    const char *value;
    char search[SEARCH_BUF];

    int edit(const char *line, size_t len, FILE *out) override {
        size_t key_len, val_len;
        const char *val;
        if (strstr(line, search) != nullptr && split_line(line, &key_len, &val, &val_len) &&
            key_len == strlen(key) && strncmp(line, key, key_len) == 0) {
            return fprintf(out, "%s=%s\n", key, value) < 0 ? -1 : 0;
        }
        return wifi_copy_line(line, len, out);
    }
};

}  // namespace

int wifi_set_profile_value(const char *key, const char *value) {
    if (key == nullptr || value == nullptr) return -1;
    printf("key:%s--val:%s\n", key, value);
    // A value with a line break would add lines to the profile.
    if (!wifi_value_is_one_line(value)) return -1;

    profile_writer w;
    w.key = key;
    w.value = value;
    if (!build_search(key, w.search, sizeof(w.search))) return -1;
    return wifi_rewrite_file(WIFI_PROFILE_PATH, WIFI_PROFILE_TMP_PATH, w);
}

int wifi_get_profile_value(const char *key, char *out, int32_t out_size) {
    if (key == nullptr || out == nullptr || out_size < 1) return -1;
    char search[SEARCH_BUF];
    if (!build_search(key, search, sizeof(search))) return -1;

    char path[PATH_BUF];
    UniqueFile fp(fopen(wifi_path(WIFI_PROFILE_PATH, path, sizeof(path)), "r+"));
    if (!fp) return -1;

    char line[LINE_BUF];
    while (fgets(line, sizeof(line), fp.get()) != nullptr) {
        size_t key_len, val_len;
        const char *val;
        if (strstr(line, search) == nullptr || !split_line(line, &key_len, &val, &val_len)) continue;
        printf("=szKeyBuf:%.*s==szValBuf:%.*s=\n", (int)key_len, line, (int)val_len, val);
        if (key_len != strlen(key) || strncmp(line, key, key_len) != 0) continue;
        if (val_len > 0) {
            size_t n = val_len < (size_t)out_size - 1 ? val_len : (size_t)out_size - 1;
            memcpy(out, val, n);
            out[n] = '\0';
        }
        return 0;
    }
    return -1;
}
