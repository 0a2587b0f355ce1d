// Authenticated UDP datagrams: the key, the counters and the message codes.
#include "wifi_udp_auth.h"

#include <errno.h>
#include <pthread.h>
#include <sodium.h>
#include <stdlib.h>
#include <string.h>
#include <sys/random.h>

#include "wifi_udp_link.h"

// libsodium's utilities (the constant-time compare, the wiping) call these two. Defined
// here, they keep the rest of its core out of the module's image: sodium_init(), which
// the daemon never needs, names every primitive the library has (some 200 KB on the
// module). A misuse ends the process, as the library's own handler does by default, and
// random bytes come from the kernel, as its default source's do.
void sodium_misuse(void) { abort(); }
void randombytes_buf(void *const buf, const size_t size) {
    for (size_t done = 0; done < size;) {
        ssize_t n = getrandom((uint8_t *)buf + done, size - done, 0);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) abort();
        done += (size_t)n;
    }
}

static const uint8_t kCmdMagic[4] = {0x55, 0x44, 0x33, 0x23};
static const uint8_t kReplyMagic[4] = {0x66, 0x77, 0x78, 0x7A};

// The key, the last command counter taken and the replies' own counter: written by
// "AT+UKEY=" on the serial link's thread, used by the UDP link's.
static pthread_mutex_t s_auth_lock = PTHREAD_MUTEX_INITIALIZER;
static bool s_key_set;
static uint8_t s_key[WIFI_UDP_KEY_SIZE];
static uint64_t s_last_counter, s_reply_counter;

static uint64_t get_be64(const uint8_t *p) {
    uint64_t v = 0;
    for (int i = 0; i < 8; i++) v = v << 8 | p[i];
    return v;
}

static void put_be64(uint8_t *p, uint64_t v) {
    for (int i = 7; i >= 0; i--, v >>= 8) p[i] = (uint8_t)v;
}

// The first 16 bytes of HMAC-SHA256 under the key over a and then b (b may be empty).
static void code_of(const uint8_t *key, const uint8_t *a, size_t na, const uint8_t *b, size_t nb,
                    uint8_t out[WIFI_UDP_CODE_SIZE]) {
    crypto_auth_hmacsha256_state st;
    uint8_t full[crypto_auth_hmacsha256_BYTES];
    crypto_auth_hmacsha256_init(&st, key, WIFI_UDP_KEY_SIZE);
    crypto_auth_hmacsha256_update(&st, a, na);
    if (nb > 0) crypto_auth_hmacsha256_update(&st, b, nb);
    crypto_auth_hmacsha256_final(&st, full);
    memcpy(out, full, WIFI_UDP_CODE_SIZE);
    sodium_memzero(&st, sizeof(st));
}

void wifi_udp_auth_set_key(const uint8_t *key) {
    pthread_mutex_lock(&s_auth_lock);
    s_key_set = key != nullptr;
    if (key != nullptr)
        memcpy(s_key, key, sizeof(s_key));
    else
        sodium_memzero(s_key, sizeof(s_key));
    s_last_counter = 0;
    s_reply_counter = 0;
    pthread_mutex_unlock(&s_auth_lock);
}

bool wifi_udp_auth_active() {
    pthread_mutex_lock(&s_auth_lock);
    bool on = s_key_set;
    pthread_mutex_unlock(&s_auth_lock);
    return on;
}

const char *wifi_udp_auth_verdict_text(wifi_udp_auth_verdict v) {
    switch (v) {
        case WIFI_UDP_AUTH_OK:
            return "taken";
        case WIFI_UDP_AUTH_PLAIN:
            return "not authenticated";
        case WIFI_UDP_AUTH_BAD:
            return "malformed";
        case WIFI_UDP_AUTH_CODE:
            return "wrong message code";
        case WIFI_UDP_AUTH_REPLAY:
            return "counter not above the last one taken";
    }
    return "?";
}

wifi_udp_auth_verdict wifi_udp_auth_open(const uint8_t *dgram, size_t n, int32_t *seq, uint64_t *counter,
                                         char *payload) {
    if (n < sizeof(kCmdMagic) || memcmp(dgram, kCmdMagic, sizeof(kCmdMagic)) != 0) return WIFI_UDP_AUTH_PLAIN;
    if (n < WIFI_UDP_AUTH_OVERHEAD || n > WIFI_UDP_BUF_SIZE) return WIFI_UDP_AUTH_BAD;
    const size_t len = dgram[13];
    if (len > 127 || n != WIFI_UDP_AUTH_OVERHEAD + len) return WIFI_UDP_AUTH_BAD;
    uint8_t code[WIFI_UDP_CODE_SIZE];
    pthread_mutex_lock(&s_auth_lock);
    wifi_udp_auth_verdict v = WIFI_UDP_AUTH_OK;
    if (!s_key_set) {
        v = WIFI_UDP_AUTH_CODE;
    } else {
        code_of(s_key, dgram, WIFI_UDP_AUTH_HEAD + len, nullptr, 0, code);
        const uint64_t c = get_be64(dgram + 4);
        if (sodium_memcmp(code, dgram + WIFI_UDP_AUTH_HEAD + len, WIFI_UDP_CODE_SIZE) != 0)
            v = WIFI_UDP_AUTH_CODE;
        else if (c <= s_last_counter)
            v = WIFI_UDP_AUTH_REPLAY;
        else
            s_last_counter = *counter = c;
    }
    pthread_mutex_unlock(&s_auth_lock);
    if (v != WIFI_UDP_AUTH_OK) return v;
    *seq = (int8_t)dgram[12];
    memset(payload, 0, WIFI_UDP_BUF_SIZE);
    memcpy(payload, dgram + WIFI_UDP_AUTH_HEAD, len);
    return WIFI_UDP_AUTH_OK;
}

size_t wifi_udp_auth_reply(int32_t seq, uint64_t cmd_counter, const char *text, uint8_t *out) {
    const size_t n = strnlen(text, WIFI_UDP_BUF_SIZE - WIFI_UDP_AUTH_OVERHEAD);
    memset(out, 0, WIFI_UDP_BUF_SIZE);
    memcpy(out, kReplyMagic, sizeof(kReplyMagic));
    out[12] = (uint8_t)seq;
    out[13] = (uint8_t)n;
    memcpy(out + WIFI_UDP_AUTH_HEAD, text, n);
    uint8_t answered[8];
    put_be64(answered, cmd_counter);
    pthread_mutex_lock(&s_auth_lock);
    const bool on = s_key_set;
    if (on) {
        put_be64(out + 4, ++s_reply_counter);
        code_of(s_key, out, WIFI_UDP_AUTH_HEAD + n, answered, sizeof(answered), out + WIFI_UDP_AUTH_HEAD + n);
    }
    pthread_mutex_unlock(&s_auth_lock);
    return on ? WIFI_UDP_AUTH_OVERHEAD + n : 0;
}
