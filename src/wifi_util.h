// Text utilities.
#pragma once

#include <stddef.h>
#include <stdint.h>
#include <stdio.h>

// What a command printed, read from fp into out (size >= 1) in pieces of up to 255
// bytes, each one kept whole while it fits with a NUL after it; the first that does
// not fit ends the reading. Nothing read leaves out as it was.
void wifi_read_output(FILE *fp, char *out, size_t size);
int wifi_str_tolower(char *text);

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
