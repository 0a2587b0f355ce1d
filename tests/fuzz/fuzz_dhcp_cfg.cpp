// The DHCP configuration editor. The input is cut at its first two NUL bytes into the
// configuration's content, a key and a value, and the key is written with the value.
#include <string>
#include <vector>

#include "fuzz_support.h"

namespace {

// Lines are read in pieces of at most 511 characters; the line checks below leave
// longer lines out.
constexpr size_t LINE_MAX_CHARS = 510;

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

// The line a key's class writes, or "" for a key of no class.
std::string replacement(const std::string &key, const std::string &value) {
    if (key.find("start") != std::string::npos || key.find("end") != std::string::npos)
        return key + "\t\t" + value + "\n";
    if (key.find("router") != std::string::npos) return "opt\t" + key + "\t" + value + "\n";
    if (key.find("lease") != std::string::npos) return "option\t" + key + "\t" + value + "\n";
    return "";
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
    fuzz_write_file(WIFI_DHCP_CFG_PATH, content);

    FuzzCStr k(key), v(value);
    int ret = wifi_modify_dhcp_cfg(k.p, v.p);

    std::string after;
    FUZZ_CHECK(fuzz_read_file(WIFI_DHCP_CFG_PATH, &after), "configuration gone");
    FUZZ_CHECK(!fuzz_exists(WIFI_DHCP_CFG_TMP_PATH), "temporary configuration left behind");
    // No line is ever added or removed; a line of 511 characters or more is read in
    // pieces and goes through untouched, so the exact model below covers short lines.
    bool short_lines = fuzz_longest_line(content) <= LINE_MAX_CHARS;
    FUZZ_CHECK(fuzz_count_lines(after) == fuzz_count_lines(content), "%zu lines became %zu",
                   fuzz_count_lines(content), fuzz_count_lines(after));
    if (ret == -1) FUZZ_CHECK(after == content, "failed edit changed the configuration");
    FUZZ_CHECK(ret == 0 || ret == -1, "result %d", ret);

    bool one_line = (key + value).find_first_of("\r\n") == std::string::npos;
    if (!one_line) FUZZ_CHECK(ret == -1, "a line break was written");
    if (ret != 0 || !short_lines) return 0;

    // Line by line: a line that does not mention the key, or holds a '#', is kept; any
    // other line is kept or becomes the replacement line of the key's class.
    std::vector<std::string> before_lines = split_lines(content), after_lines = split_lines(after);
    FUZZ_CHECK(before_lines.size() == after_lines.size(), "line split differs");
    std::string repl = replacement(key, value);
    for (size_t i = 0; i < before_lines.size(); i++) {
        const std::string &b = before_lines[i], &a = after_lines[i];
        if (a == b) continue;
        FUZZ_CHECK(b.find('#') == std::string::npos, "commented line %zu changed", i + 1);
        FUZZ_CHECK(b.find(key) != std::string::npos, "line %zu changed without mentioning the key", i + 1);
        FUZZ_CHECK(!repl.empty() && a == repl, "line %zu became \"%s\"", i + 1, a.c_str());
    }
    return 0;
}
