// Wire formats: serial frames and their stream assembler, UDP datagrams, upgrade
// messages, the form of a reply, and the one-line decoding of each for traces.
#include <stdio.h>
#include <string.h>

#include "wlink_int.h"

static const uint8_t kCmdMagic[4] = {0x55, 0x44, 0x33, 0x22};
static const uint8_t kReplyMagic[4] = {0x66, 0x77, 0x78, 0x79};

uint8_t wlink_sum8(const uint8_t *p, size_t n) {
    unsigned sum = 0;
    for (size_t i = 0; i < n; i++) sum += p[i];
    return (uint8_t)sum;
}

size_t wlink_frames_encode(const char *text, size_t len, uint8_t *out, size_t out_size) {
    if ((text == nullptr && len > 0) || len > WLINK_REPLY_MAX || out == nullptr) return 0;
    size_t frames = len == 0 ? 1 : (len + WLINK_FRAME_CHUNK - 1) / WLINK_FRAME_CHUNK;
    if (out_size < frames * WLINK_FRAME_SIZE) return 0;
    for (size_t i = 0; i < frames; i++) {
        uint8_t *f = out + i * WLINK_FRAME_SIZE;
        size_t off = i * WLINK_FRAME_CHUNK, n = len - off < WLINK_FRAME_CHUNK ? len - off : (size_t)WLINK_FRAME_CHUNK;
        memset(f, 0, WLINK_FRAME_SIZE);
        f[0] = (uint8_t)len;
        f[1] = (uint8_t)n;
        f[2] = (uint8_t)off;
        if (n > 0) memcpy(f + 3, text + off, n);
        f[15] = wlink_sum8(f, 15);
    }
    return frames * WLINK_FRAME_SIZE;
}

int wlink_frame_check(const uint8_t f[WLINK_FRAME_SIZE], unsigned max_total) {
    unsigned total = f[0], chunk = f[1], offset = f[2];
    if (total == 0 || total > max_total) return -1;
    if (chunk == 0 || chunk > WLINK_FRAME_CHUNK || offset + chunk > total) return -1;
    return f[15] == wlink_sum8(f, 15) ? 0 : -1;
}

void wlink_stream_init(wlink_stream *s, unsigned max_total) {
    memset(s, 0, sizeof(*s));
    s->max_total = max_total < WLINK_REPLY_MAX ? max_total : (unsigned)WLINK_REPLY_MAX;
}

size_t wlink_stream_space(wlink_stream *s, uint8_t **at) {
    *at = s->in + s->in_len;
    return sizeof(s->in) - s->in_len;
}

void wlink_stream_commit(wlink_stream *s, size_t n) {
    size_t room = sizeof(s->in) - s->in_len;
    s->in_len += n < room ? n : room;
}

// Places a good frame into the message; true when that completes it.
static bool place(wlink_stream *s, const uint8_t *f) {
    unsigned total = f[0], chunk = f[1], offset = f[2];
    if (!(s->next != 0 && total == s->msg_len && offset == s->next)) {
        s->next = 0;
        s->msg_len = 0;
        if (offset != 0) return false;  // the middle of a message whose start is lost
        memset(s->msg, 0, sizeof(s->msg));
        s->msg_len = total;
    }
    memcpy(s->msg + offset, f + 3, chunk);
    s->next = offset + chunk;
    if (s->next < total) return false;
    s->msg[total] = '\0';
    s->next = 0;
    return true;
}

wlink_take wlink_stream_take(wlink_stream *s, const uint8_t **frame, size_t *skipped) {
    size_t pos = 0;
    while (s->in_len - pos >= WLINK_FRAME_SIZE && wlink_frame_check(s->in + pos, s->max_total) != 0) pos++;
    *skipped = pos;
    memcpy(s->junk, s->in, pos < sizeof(s->junk) ? pos : sizeof(s->junk));
    wlink_take r = WLINK_TAKE_NONE;
    if (s->in_len - pos >= WLINK_FRAME_SIZE) {
        memcpy(s->frame, s->in + pos, WLINK_FRAME_SIZE);
        *frame = s->frame;
        pos += WLINK_FRAME_SIZE;
        r = place(s, s->frame) ? WLINK_TAKE_DONE : WLINK_TAKE_FRAME;
    }
    memmove(s->in, s->in + pos, s->in_len - pos);
    s->in_len -= pos;
    return r;
}

size_t wlink_datagram_encode(uint8_t seq, const char *cmd, size_t len, uint8_t *out, size_t out_size) {
    if ((cmd == nullptr && len > 0) || len > WLINK_CMD_MAX || out == nullptr || out_size < WLINK_DGRAM_OVERHEAD + len)
        return 0;
    memcpy(out, kCmdMagic, 4);
    memcpy(out + 4, "seq", 3);
    out[7] = seq;
    out[8] = ',';
    out[9] = (uint8_t)len;
    if (len > 0) memcpy(out + 10, cmd, len);
    out[10 + len] = wlink_sum8(out + 10, len);
    return WLINK_DGRAM_OVERHEAD + len;
}

wlink_status wlink_datagram_decode(const uint8_t *p, size_t n, uint8_t *seq, char *text, size_t size) {
    if (p == nullptr || n < WLINK_DGRAM_OVERHEAD || memcmp(p, kReplyMagic, 4) != 0 || memcmp(p + 4, "seq", 3) != 0 ||
        p[8] != ',')
        return WLINK_BAD_REPLY;
    size_t len = p[9];
    if (n != WLINK_DGRAM_OVERHEAD + len || wlink_sum8(p + 10, len) != p[10 + len]) return WLINK_BAD_REPLY;
    if (text != nullptr && size < len + 1) return WLINK_BAD_ARGUMENT;
    if (seq != nullptr) *seq = p[7];
    if (text != nullptr) {
        memcpy(text, p + 10, len);
        text[len] = '\0';
    }
    return WLINK_OK;
}

void wlink_upgrade_msg(const uint8_t b[8], int32_t *type, int32_t *value) {
    uint32_t t = ((uint32_t)b[0] << 24) | ((uint32_t)b[1] << 16) | ((uint32_t)b[2] << 8) | b[3];
    uint32_t v = ((uint32_t)b[4] << 24) | ((uint32_t)b[5] << 16) | ((uint32_t)b[6] << 8) | b[7];
    *type = (int32_t)t;
    *value = (int32_t)v;
}

// ---- the module's command table: prefix, reply form (first prefix match wins)

struct row {
    const char *prefix;
    int form;      // 1 "+OK", 2 "+OK=value", 3 "+OK=digits"
    int extra_ms;  // how much longer than one try the module may take (its waits)
};

static const row kRows[] = {
    {"AT+STAONLINECHECK", 3, 0},
    {"AT+RESTORE", 1, 3000},
    {"AT+REBOOT", 1, 0},
    {"AT+VER", 2, 0},
    {"AT+SSID=", 1, 0},
    {"AT+SSID", 2, 0},
    {"AT+UIP=", 1, 0},
    {"AT+UIP", 2, 0},
    {"AT+LANIP=", 1, 0},
    {"AT+LANIP", 2, 0},
    {"AT+KEY=", 1, 0},
    {"AT+KEY", 2, 0},
    {"AT+CHANNEL!=", 2, 0},
    {"AT+CHANNEL=", 1, 0},
    {"AT+CHANNEL", 2, 0},
    {"AT+AUTH=", 1, 0},
    {"AT+AUTH", 2, 0},
    {"AT+ENCRY=", 1, 0},
    {"AT+ENCRY", 2, 0},
    {"AT+DHCP=OFF", 1, 0},
    {"AT+DHCP=", 1, 0},
    {"AT+DHCP", 2, 0},
    {"AT+PORT", 2, 0},
    {"AT+WPS=", 2, 0},
    {"AT+WPS", 1, 3000},
    {"AT+CNUM", 3, 0},
    {"AT+CINFO=", 2, 0},
    {"AT+CWIFISINALNUM", 3, 0},
    {"AT+CWIFISINGALSINGLEINFO=", 2, 0},
    {"AT+CIP=", 2, 0},
    {"AT+CMC", 2, 0},
    {"AT+WIFI=", 1, 0},
    {"AT+WIFI", 2, 0},
    {"AT+HTMODE=", 1, 0},
    {"AT+HTMODE", 2, 0},
    {"AT+COUNTRY=", 1, 0},
    {"AT+COUNTRY", 2, 0},
    {"AT+TXPOWER=", 1, 0},
    {"AT+TXPOWER", 2, 0},
    {"AT+VLAN=OFF", 1, 0},
    {"AT+VLAN=", 1, 0},
    {"AT+VLAN", 2, 0},
    {"AT+SCAN", 1, 5000},
    {"AT+ENCFG", 1, 8000},
    {"AT+PASSWD=", 1, 3000},
    {"AT+UPGRADE=", 1, 0},
    {"AT+SSH=", 1, 0},
    {"AT+SSH", 1, 0},
    {"AT+STANUM=", 1, 0},
    {"AT+STANUM", 2, 0},
    {"AT+APSTART", 1, 0},
    {"AT+MAC", 2, 0},
    {"AT+SENSITIVITY=", 2, 3000},
    {"AT+PER", 2, 0},
    {"AT+RESET", 1, 0},
    {"AT+RETRYINFO=", 2, 0},
    {"AT+IGMP=", 1, 0},
    {"AT+FLASHINFO", 2, 0},
    {"AT+UKEY=", 1, 0},
    {"AT+UPGSTATE", 2, 0},
};

static const row *row_of(const char *cmd) {
    static const row kHeartbeat = {"AT+", 1, 0};
    if (cmd == nullptr) return nullptr;
    if (strcmp(cmd, "AT+") == 0) return &kHeartbeat;
    for (const row &r : kRows)
        if (strncmp(cmd, r.prefix, strlen(r.prefix)) == 0) return &r;
    return nullptr;
}

int wlink_reply_form(const char *cmd) {
    const row *r = row_of(cmd);
    return r != nullptr ? r->form : 0;
}

int wlink_command_extra_ms(const char *cmd) {
    const row *r = row_of(cmd);
    return r != nullptr ? r->extra_ms : 0;
}

int wlink_command_known(const char *cmd) { return wlink_reply_form(cmd) != 0; }

// Edit distance of two short texts (at most 63 characters of each count).
static size_t distance(const char *a, const char *b) {
    size_t n = strnlen(a, 63), m = strnlen(b, 63), row[64];
    for (size_t j = 0; j <= m; j++) row[j] = j;
    for (size_t i = 1; i <= n; i++) {
        size_t diag = row[0];
        row[0] = i;
        for (size_t j = 1; j <= m; j++) {
            size_t up = row[j], best = diag + (a[i - 1] == b[j - 1] ? 0 : 1);
            if (up + 1 < best) best = up + 1;
            if (row[j - 1] + 1 < best) best = row[j - 1] + 1;
            row[j] = best;
            diag = up;
        }
    }
    return row[m];
}

// How far a command's name is from a row's: the edit distance of the two without their
// "=", and half a step more when only one of them sets.
static size_t score(const char *name, const char *prefix) {
    char a[64], b[64];
    wlink_copy(a, sizeof a, name);
    wlink_copy(b, sizeof b, prefix);
    size_t na = strlen(a), nb = strlen(b);
    bool sa = na > 0 && a[na - 1] == '=', sb = nb > 0 && b[nb - 1] == '=';
    if (sa) a[na - 1] = '\0';
    if (sb) b[nb - 1] = '\0';
    return distance(a, b) * 2 + (sa != sb);
}

void wlink_command_closest(const char *cmd, char *out, size_t size) {
    if (out == nullptr || size == 0) return;
    out[0] = '\0';
    if (cmd == nullptr) return;
    // The command's name: up to its "=" (kept), without the parameter.
    char name[64];
    const char *eq = strchr(cmd, '=');
    size_t n = eq != nullptr ? (size_t)(eq - cmd) + 1 : strlen(cmd);
    wlink_copy(name, n + 1 < sizeof name ? n + 1 : sizeof name, cmd);
    const char *best = "AT+";
    size_t d = score(name, best);
    for (const row &r : kRows) {
        size_t e = score(name, r.prefix);
        if (e < d) d = e, best = r.prefix;
    }
    wlink_copy(out, size, best);
}

wlink_status wlink_reply_matches(const char *cmd, const char *reply) {
    if (strcmp(reply, "+ERR") == 0) return WLINK_ERR_REPLY;
    int form = wlink_reply_form(cmd);
    if (form == 1) return strcmp(reply, "+OK") == 0 ? WLINK_OK : WLINK_BAD_REPLY;
    if (form == 0 || strncmp(reply, "+OK=", 4) != 0) return WLINK_BAD_REPLY;
    if (form == 3) {
        const char *v = reply + 4;
        if (*v == '\0') return WLINK_BAD_REPLY;
        for (; *v != '\0'; v++)
            if ((*v < '0' || *v > '9') && !(*v == '\n' && v[1] == '\0')) return WLINK_BAD_REPLY;
    }
    return WLINK_OK;
}

// ---- traces

// Text with every byte outside printable ASCII as \xNN, cut to fit.
static void quote(char *out, size_t size, const uint8_t *p, size_t n) {
    size_t o = 0;
    for (size_t i = 0; i < n && o + 5 < size; i++) {
        if (p[i] >= 0x20 && p[i] < 0x7F && p[i] != '"' && p[i] != '\\')
            out[o++] = (char)p[i];
        else
            o += (size_t)snprintf(out + o, size - o, "\\x%02X", p[i]);
    }
    out[o < size ? o : size - 1] = '\0';
}

static size_t hex(char *out, size_t size, const uint8_t *p, size_t n) {
    size_t o = 0;
    for (size_t i = 0; i < n && o + 4 < size; i++) o += (size_t)snprintf(out + o, size - o, i ? " %02X" : "%02X", p[i]);
    if (size > 0) out[o < size ? o : size - 1] = '\0';
    return o;
}

void wlink_trace_describe(wlink_trace_kind kind, int sent, const uint8_t *b, size_t n, char *out, size_t size) {
    if (out == nullptr || size == 0) return;
    out[0] = '\0';
    if (b == nullptr && kind != WLINK_TRACE_PACKAGE) n = 0;
    char text[WLINK_REPLY_MAX * 4 + 8], raw[WLINK_FRAME_SIZE * 3 + 8];
    const char *dir = sent ? ">" : "<";
    switch (kind) {
        case WLINK_TRACE_FRAME:
            hex(raw, sizeof raw, b, n < WLINK_FRAME_SIZE ? n : (size_t)WLINK_FRAME_SIZE);
            if (n != WLINK_FRAME_SIZE) {
                snprintf(out, size, "%s frame [%s] cut to %zu bytes", dir, raw, n);
                break;
            }
            quote(text, sizeof text, b + 3, b[1] <= WLINK_FRAME_CHUNK ? (size_t)b[1] : (size_t)WLINK_FRAME_CHUNK);
            snprintf(out, size, "%s frame [%s] total %u chunk %u offset %u \"%s\" sum %s", dir, raw, b[0], b[1], b[2],
                     text, b[15] == wlink_sum8(b, 15) ? "ok" : "BAD");
            break;
        case WLINK_TRACE_DATAGRAM: {
            static const uint8_t kAuthCmd[4] = {0x55, 0x44, 0x33, 0x23}, kAuthReply[4] = {0x66, 0x77, 0x78, 0x7A};
            if (n >= 30 && memcmp(b, sent ? kAuthCmd : kAuthReply, 4) == 0) {  // the authenticated form
                uint64_t counter = 0;
                for (int i = 4; i < 12; i++) counter = counter << 8 | b[i];
                size_t len = b[13], have = n - 30 < len ? n - 30 : len;
                quote(text, sizeof text, b + 14, have);
                snprintf(out, size, "%s authenticated datagram %zu bytes counter %llu seq %u len %zu \"%s\"%s", dir, n,
                         (unsigned long long)counter, b[12], len, text, n != 30 + len ? " LENGTH BAD" : "");
                break;
            }
            if (n < WLINK_DGRAM_OVERHEAD) {
                hex(raw, sizeof raw, b, n);
                snprintf(out, size, "%s datagram of %zu bytes, too short [%s]", dir, n, raw);
                break;
            }
            const uint8_t *magic = sent ? kCmdMagic : kReplyMagic;
            size_t len = b[9], have = n - 10 < len ? n - 10 : len;
            quote(text, sizeof text, b + 10, have);
            bool sum_ok = n == WLINK_DGRAM_OVERHEAD + len && wlink_sum8(b + 10, len) == b[10 + len];
            snprintf(out, size, "%s datagram %zu bytes magic %s seq %u len %zu \"%s\" %s", dir, n,
                     memcmp(b, magic, 4) == 0 ? "ok" : "BAD", b[7], len, text,
                     sum_ok                            ? "sum ok"
                     : n != WLINK_DGRAM_OVERHEAD + len ? "LENGTH BAD"
                                                       : "sum BAD");
            break;
        }
        case WLINK_TRACE_JUNK:
            hex(text, sizeof text, b, n < 64 ? n : 64);
            snprintf(out, size, "%s %zu bytes that are no frame [%s%s]", dir, n, text, n > 64 ? " ..." : "");
            break;
        case WLINK_TRACE_UPGRADE:
            if (n == 68) {
                uint32_t len = ((uint32_t)b[0] << 24) | ((uint32_t)b[1] << 16) | ((uint32_t)b[2] << 8) | b[3];
                quote(text, sizeof text, b + 4, strnlen((const char *)b + 4, 64));
                snprintf(out, size, "%s upgrade request: package %u bytes, token \"%s\"", dir, len, text);
            } else if (n == 8) {
                int32_t t, v;
                wlink_upgrade_msg(b, &t, &v);
                const char *what = t == 4   ? (v == 1 ? "last heartbeat" : "heartbeat")
                                   : t != 0 ? "unknown message"
                                   : v == 0 ? "result: success"
                                   : v == 1 ? "wrong token"
                                   : v == 3 ? "token accepted"
                                            : "result: failure";
                snprintf(out, size, "%s upgrade message %d/%d: %s", dir, t, v, what);
            } else {
                hex(text, sizeof text, b, n < 64 ? n : 64);
                snprintf(out, size, "%s upgrade bytes [%s]", dir, text);
            }
            break;
        case WLINK_TRACE_PACKAGE:
            snprintf(out, size, "%s package: %zu bytes", dir, n);
            break;
        case WLINK_TRACE_STALE:
            quote(text, sizeof text, b, n);
            snprintf(out, size, "%s late reply \"%s\", dropped", dir, text);
            break;
    }
}
