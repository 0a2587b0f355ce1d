// Text utilities.
#include <arpa/inet.h>
#include <ctype.h>
#include <errno.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include "wifi_util.h"

void wifi_strlcpy_zero(char *dst, const char *src, size_t size) {
    if (size == 0) return;
    size_t n = strnlen(src, size - 1);
    memcpy(dst, src, n);
    memset(dst + n, 0, size - n);
}

void wifi_read_output(FILE *fp, char *out, size_t size) {
    // Whole pieces only: the first piece that does not fit ends the capture.
    char piece[256];
    size_t used = 0;
    while (fgets(piece, sizeof(piece), fp) != nullptr) {
        size_t n = strlen(piece);
        if (used + n < size) {
            memcpy(out + used, piece, n + 1);
            used += n;
        } else {
            out[used] = '\0';
            break;
        }
    }
}

int wifi_str_tolower(char *text) {
    if (text == nullptr) return -1;
    for (char *p = text; *p != '\0'; p++) {
        if (*p >= 'A' && *p <= 'Z') *p = (char)(*p + 0x20);
    }
    return 0;
}

bool wifi_value_is_one_line(const char *value) { return strpbrk(value, "\r\n") == nullptr; }

int wifi_parse_int(const char **p, long lo, long hi, int *out) {
    const char *s = *p;
    while (isspace((unsigned char)*s)) s++;
    // A sign must have a digit right after it, as for "%d".
    const char *digits = (*s == '+' || *s == '-') ? s + 1 : s;
    if (!isdigit((unsigned char)*digits)) return -1;
    char *end = nullptr;
    errno = 0;
    long v = strtol(s, &end, 10);
    if (errno == ERANGE || v < lo || v > hi) return -1;
    *out = (int)v;
    *p = end;
    return 0;
}

bool wifi_is_ipv4(const char *text) {
    struct in_addr a;
    return inet_pton(AF_INET, text, &a) == 1;
}

bool wifi_log_limit_take(wifi_log_limit *l, int64_t now_ms, unsigned *dropped) {
    if (l->started && now_ms - l->last_ms < 1000) {
        l->dropped++;
        return false;
    }
    *dropped = l->dropped;
    l->dropped = 0;
    l->last_ms = now_ms;
    l->started = true;
    return true;
}
