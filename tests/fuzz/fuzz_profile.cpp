// The wireless profile store. The input is cut at its first two NUL bytes into the
// profile's content, a key and a value; the key is written with the value and read
// back with buffers of several sizes.
#include <string>
#include <vector>

#include "fuzz_support.h"

namespace {

// Lines are read in pieces of at most 511 characters; longer lines are outside what
// the store handles line by line, so the line checks below leave them out.
constexpr size_t LINE_MAX_CHARS = 510, KEY_MAX = 62;

std::vector<std::string> split_lines(const std::string &text) {
    std::vector<std::string> lines;
    size_t at = 0;
    while (at < text.size()) {
        size_t nl = text.find('\n', at);
        size_t stop = nl == std::string::npos ? text.size() : nl + 1;
        lines.push_back(text.substr(at, stop - at));
        at = stop;
    }
    return lines;
}

// The profile after writing `key`: each line whose key (everything before its first
// '=') is exactly `key` becomes "key=value\n", every other line stays as it was.
std::string expected_after_write(const std::string &content, const std::string &key, const std::string &value,
                                 bool *key_present) {
    std::string out;
    *key_present = false;
    for (const std::string &line : split_lines(content)) {
        size_t eq = line.find('=');
        if (eq != std::string::npos && line.compare(0, eq, key) == 0) {
            out += key + "=" + value + "\n";
            *key_present = true;
        } else {
            out += line;
        }
    }
    return out;
}

enum read_expect { READ_ANY, READ_FOUND, READ_MISSING };

void check_read(const std::string &key, const std::string &expect, read_expect mode) {
    FuzzCStr k(key);
    for (int32_t size : {128, 64, 32, 5, 2, 1}) {
        auto *out = static_cast<char *>(calloc((size_t)size, 1));
        int ret = wifi_get_profile_value(k.p, out, size);
        FUZZ_CHECK(memchr(out, 0, (size_t)size) != nullptr, "read of \"%s\" with size %d not terminated", k.p,
                   (int)size);
        if (mode == READ_FOUND) {
            std::string want = expect.substr(0, (size_t)size - 1);
            FUZZ_CHECK(ret == 0, "read of \"%s\" with size %d failed", k.p, (int)size);
            FUZZ_CHECK(want == out, "read of \"%s\" with size %d gave \"%s\", not \"%s\"", k.p, (int)size, out,
                       want.c_str());
        } else if (mode == READ_MISSING) {
            FUZZ_CHECK(ret == -1, "read of the absent key \"%s\" succeeded", k.p);
            FUZZ_CHECK(out[0] == '\0', "read of the absent key \"%s\" wrote \"%s\"", k.p, out);
        }
        free(out);
    }
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int *, char ***) {
    fuzz_platform();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    fuzz_platform().begin_run();
    FuzzParts in = fuzz_split3(data, size);
    const std::string &content = in.first, &key = in.second, &value = in.third;
    fuzz_write_file(WIFI_PROFILE_PATH, content);

    FuzzCStr k(key), v(value);
    int ret = wifi_set_profile_value(k.p, v.p);

    std::string after;
    FUZZ_CHECK(fuzz_read_file(WIFI_PROFILE_PATH, &after), "profile gone");
    FUZZ_CHECK(!fuzz_exists(WIFI_PROFILE_TMP_PATH), "temporary profile left behind");
    // No line is ever added or removed; a line of 511 characters or more is read in
    // pieces and goes through untouched, so the exact model below covers short lines.
    bool short_lines = fuzz_longest_line(content) <= LINE_MAX_CHARS;
    FUZZ_CHECK(fuzz_count_lines(after) == fuzz_count_lines(content), "%zu lines became %zu",
                   fuzz_count_lines(content), fuzz_count_lines(after));

    bool one_line = value.find_first_of("\r\n") == std::string::npos;
    if (!one_line || key.size() > KEY_MAX) {
        FUZZ_CHECK(ret == -1, "write of an unwritable key or value succeeded");
    } else {
        FUZZ_CHECK(ret == 0, "write of \"%s\" failed", k.p);
    }
    if (ret != 0) FUZZ_CHECK(after == content, "failed write changed the profile");

    bool plain_key = key.size() <= KEY_MAX && key.find('=') == std::string::npos;
    if (!short_lines || !plain_key) {
        check_read(key, "", READ_ANY);
        return 0;
    }
    bool present = false;
    std::string expect = expected_after_write(content, key, value, &present);
    if (ret == 0) {
        FUZZ_CHECK(after == expect, "profile after the write differs from the expected content");
        // Read back: the value up to an apostrophe.
        check_read(key, value.substr(0, value.find('\'')), present ? READ_FOUND : READ_MISSING);
    } else {
        check_read(key, "", present ? READ_ANY : READ_MISSING);
    }
    return 0;
}
