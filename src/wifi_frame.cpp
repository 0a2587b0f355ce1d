#include "wifi_frame.h"

#include <string.h>

uint8_t wifi_frame_sum(const uint8_t *buf, size_t len) {
    unsigned sum = 0;
    for (size_t i = 0; i < len; i++) sum += buf[i];
    return (uint8_t)(sum & 0xFF);
}

void wifi_frame_build(uint8_t out[WIFI_FRAME_SIZE], size_t total, size_t offset, const char *chunk, size_t n) {
    if (n > WIFI_FRAME_CHUNK) n = WIFI_FRAME_CHUNK;
    memset(out, 0, WIFI_FRAME_SIZE);
    out[0] = (uint8_t)total;
    out[1] = (uint8_t)n;
    out[2] = (uint8_t)offset;
    if (n > 0) memcpy(out + 3, chunk, n);
    out[15] = wifi_frame_sum(out, 15);
}

int wifi_frame_check(const uint8_t f[WIFI_FRAME_SIZE], unsigned max_total) {
    unsigned total = f[0], chunk = f[1], offset = f[2];
    if (total == 0 || total > max_total) return -1;
    if (chunk == 0 || chunk > WIFI_FRAME_CHUNK || offset + chunk > total) return -1;
    return f[15] == wifi_frame_sum(f, 15) ? 0 : -1;
}

void wifi_frame_stream_init(wifi_frame_stream *s, unsigned max_total) {
    memset(s, 0, sizeof(*s));
    s->max_total = max_total < (unsigned)WIFI_FRAME_MSG_MAX ? max_total : (unsigned)WIFI_FRAME_MSG_MAX;
}

uint8_t *wifi_frame_stream_space(wifi_frame_stream *s, size_t *room) {
    *room = sizeof(s->in) - s->in_len;
    return s->in + s->in_len;
}

void wifi_frame_stream_commit(wifi_frame_stream *s, size_t n) {
    size_t room = sizeof(s->in) - s->in_len;
    s->in_len += n < room ? n : room;
}

void wifi_frame_stream_drop_msg(wifi_frame_stream *s) {
    if (s->next != 0) s->dropped++;
    s->next = 0;
    s->msg_len = 0;
}

// Places a good frame into the message; true when the message is complete.
static bool place(wifi_frame_stream *s, const uint8_t *f) {
    unsigned total = f[0], chunk = f[1], offset = f[2];
    bool continues = s->next != 0 && total == s->msg_len && offset == s->next;
    if (!continues) {
        wifi_frame_stream_drop_msg(s);
        if (offset != 0) {  // the middle of a message whose start we do not have
            s->dropped++;
            return false;
        }
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

wifi_frame_take wifi_frame_stream_take(wifi_frame_stream *s) {
    size_t pos = 0;
    wifi_frame_take r = WIFI_FRAME_NONE;
    while (s->in_len - pos >= WIFI_FRAME_SIZE) {
        const uint8_t *f = s->in + pos;
        if (wifi_frame_check(f, s->max_total) != 0) {
            pos++;
            s->skipped++;
            continue;
        }
        pos += WIFI_FRAME_SIZE;
        s->skipped = 0;
        r = place(s, f) ? WIFI_FRAME_DONE : WIFI_FRAME_GOOD;
        break;
    }
    memmove(s->in, s->in + pos, s->in_len - pos);
    s->in_len -= pos;
    return r;
}
