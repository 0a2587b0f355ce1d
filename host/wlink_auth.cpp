// Authenticated UDP datagrams on the host's side: the key, the counters and the codes.
//   command: 55 44 33 23, counter (8, big-endian), seq, length L, L bytes, code (16)
//   reply:   66 77 78 7A, counter (8, big-endian), seq, length L, L bytes, code (16)
// The code is the first 16 bytes of HMAC-SHA256 under the key over every byte before
// it; a reply's also over the counter of the command it answers (8 bytes, big-endian).
#include <sodium.h>
#include <stdio.h>
#include <string.h>
#include <sys/random.h>
#include <time.h>

#include "wlink_int.h"

enum { HEAD = 14, CODE = 16, OVERHEAD = HEAD + CODE };
static const uint8_t kCmdMagic[4] = {0x55, 0x44, 0x33, 0x23};
static const uint8_t kReplyMagic[4] = {0x66, 0x77, 0x78, 0x7A};

static uint64_t get_be64(const uint8_t *p) {
    uint64_t v = 0;
    for (int i = 0; i < 8; i++) v = v << 8 | p[i];
    return v;
}

static void put_be64(uint8_t *p, uint64_t v) {
    for (int i = 7; i >= 0; i--, v >>= 8) p[i] = (uint8_t)v;
}

static void code_of(const uint8_t *key, const uint8_t *a, size_t na, const uint8_t *b, size_t nb, uint8_t out[CODE]) {
    crypto_auth_hmacsha256_state st;
    uint8_t full[crypto_auth_hmacsha256_BYTES];
    crypto_auth_hmacsha256_init(&st, key, WLINK_KEY_SIZE);
    crypto_auth_hmacsha256_update(&st, a, na);
    if (nb > 0) crypto_auth_hmacsha256_update(&st, b, nb);
    crypto_auth_hmacsha256_final(&st, full);
    memcpy(out, full, CODE);
    sodium_memzero(&st, sizeof st);
}

wlink_status wlink_set_udp_key(wlink_link *l, const uint8_t *key) {
    if (l == nullptr) return WLINK_BAD_ARGUMENT;
    wlink_begin(l);
    if (l->serial) {
        wlink_fail(l, "a key is for a UDP link; the serial line gives it to the module (AT+UKEY=)");
        return WLINK_BAD_ARGUMENT;
    }
    l->keyed = key != nullptr;
    if (key != nullptr)
        memcpy(l->key, key, sizeof l->key);
    else
        sodium_memzero(l->key, sizeof l->key);
    l->reply_counter = 0;
    return WLINK_OK;
}

wlink_status wlink_key_generate(uint8_t key[WLINK_KEY_SIZE]) {
    if (key == nullptr) return WLINK_BAD_ARGUMENT;
    return getrandom(key, WLINK_KEY_SIZE, 0) == WLINK_KEY_SIZE ? WLINK_OK : WLINK_LINK_ERROR;
}

wlink_status wlink_hex_key(const char *hex, uint8_t *key, size_t size) {
    size_t n = strlen(hex);
    while (n > 0 && (hex[n - 1] == '\n' || hex[n - 1] == '\r')) n--;
    size_t got = 0;
    if (n != 2 * size || sodium_hex2bin(key, size, hex, n, nullptr, &got, nullptr) != 0 || got != size)
        return WLINK_BAD_VALUE;
    return WLINK_OK;
}

wlink_status wlink_key_parse(const char *hex, uint8_t key[WLINK_KEY_SIZE]) {
    if (hex == nullptr || key == nullptr) return WLINK_BAD_ARGUMENT;
    return wlink_hex_key(hex, key, WLINK_KEY_SIZE);
}

wlink_status wlink_key_command(const uint8_t key[WLINK_KEY_SIZE], char *cmd, size_t size) {
    if (key == nullptr || cmd == nullptr || size < 8 + 2 * WLINK_KEY_SIZE + 1) return WLINK_BAD_ARGUMENT;
    memcpy(cmd, "AT+UKEY=", 8);
    sodium_bin2hex(cmd + 8, size - 8, key, WLINK_KEY_SIZE);
    return WLINK_OK;
}

// Microseconds of the wall clock, and never less than one more than the last counter.
static uint64_t next_counter(wlink_link *l) {
    struct timespec t;
    clock_gettime(CLOCK_REALTIME, &t);
    uint64_t now = (uint64_t)t.tv_sec * 1000000u + (uint64_t)t.tv_nsec / 1000u;
    l->counter = now > l->counter ? now : l->counter + 1;
    return l->counter;
}

size_t wlink_auth_encode(wlink_link *l, uint8_t seq, const char *cmd, size_t len, uint64_t *counter, uint8_t *out,
                         size_t out_size) {
    if (len > WLINK_CMD_MAX || out_size < OVERHEAD + len) return 0;
    memcpy(out, kCmdMagic, 4);
    put_be64(out + 4, *counter = next_counter(l));
    out[12] = seq;
    out[13] = (uint8_t)len;
    memcpy(out + HEAD, cmd, len);
    code_of(l->key, out, HEAD + len, nullptr, 0, out + HEAD + len);
    return OVERHEAD + len;
}

wlink_status wlink_auth_decode(wlink_link *l, const uint8_t *p, size_t n, const uint64_t *counters, int ncounters,
                               uint8_t *seq, char *text, size_t size) {
    if (n < OVERHEAD || memcmp(p, kReplyMagic, 4) != 0 || n != OVERHEAD + (size_t)p[13] || size < (size_t)p[13] + 1)
        return WLINK_BAD_REPLY;
    const size_t len = p[13];
    const uint64_t counter = get_be64(p + 4);
    bool good = false;
    for (int i = 0; i < ncounters && !good; i++) {
        uint8_t answered[8], code[CODE];
        put_be64(answered, counters[i]);
        code_of(l->key, p, HEAD + len, answered, sizeof answered, code);
        good = sodium_memcmp(code, p + HEAD + len, CODE) == 0;
    }
    if (!good || counter <= l->reply_counter) return WLINK_BAD_REPLY;
    l->reply_counter = counter;
    *seq = p[12];
    memcpy(text, p + HEAD, len);
    text[len] = '\0';
    return WLINK_OK;
}
