// Shell and text utilities.
#pragma once

#include <stddef.h>
#include <stdint.h>

int wifi_shell_exec(const char *cmd, char *out, int32_t out_size);
int wifi_str_tolower(char *text);
// Runs a fixed command line through the shell and waits for it; the status is
// returned for logging, callers do not act on it.
int wifi_shell_run(const char *cmdline);

// Bounded copy that always terminates and zero-fills the rest (size >= 1).
void wifi_strlcpy_zero(char *dst, const char *src, size_t size);

// A value that may be written as one line of a configuration file.
bool wifi_value_is_one_line(const char *value);

// Reads a decimal number at *p as "%d" would (leading blanks, an optional sign),
// refusing one outside lo..hi; on success *p is moved past it. 0, or -1.
int wifi_parse_int(const char **p, long lo, long hi, int *out);

// A dotted-quad IPv4 address, nothing before or after it.
bool wifi_is_ipv4(const char *text);

// One log line a second at most for an event that may come in floods (each line costs
// the module console time). wifi_log_limit_take: true when this event is to be logged;
// *dropped is then how many went unlogged before it.
struct wifi_log_limit {
    int64_t last_ms;
    unsigned dropped;
    bool started;
};
bool wifi_log_limit_take(wifi_log_limit *l, int64_t now_ms, unsigned *dropped);
