// Signed upgrade packages: the key pair, the trailer, signing and checking.
#include <sodium.h>
#include <stdio.h>
#include <string.h>
#include <sys/random.h>

#include "wlink_int.h"

static const uint8_t kMagic[8] = {'W', 'L', 'I', 'N', 'K', 'S', 'I', 'G'};
enum { BOARD = 32, OFF_FLAGS = 32, OFF_FORMAT = 33, OFF_KEY = 36, OFF_SIG = 68, FORMAT = 1 };

int wlink_trailer_read(const uint8_t *pkg, size_t len, wlink_package_info *info) {
    if (len < WLINK_SIGN_TRAILER_SIZE || memcmp(pkg + len - sizeof kMagic, kMagic, sizeof kMagic) != 0) return 0;
    const uint8_t *t = pkg + len - WLINK_SIGN_TRAILER_SIZE;
    info->is_signed = 1;
    size_t n = 0;
    while (n < BOARD && t[n] >= 0x21 && t[n] <= 0x7E) n++;
    bool zeros = n < BOARD;
    for (size_t i = n; i < BOARD; i++) zeros = zeros && t[i] == 0;
    memcpy(info->board, t, n < BOARD ? n : BOARD - 1);
    info->sign_flags = t[OFF_FLAGS];
    memcpy(info->signer, t + OFF_KEY, WLINK_SIGN_PUBLIC_SIZE);
    if (!zeros || t[OFF_FORMAT] != FORMAT || t[34] != 0 || t[35] != 0 || (t[OFF_FLAGS] & ~WLINK_SIGN_DOWNGRADE) != 0) {
        snprintf(info->reason, sizeof info->reason,
                 "its signature trailer is malformed (format %u, flags 0x%02X, board name %s)", t[OFF_FORMAT],
                 t[OFF_FLAGS], zeros ? "good" : "not NUL-padded printable text");
        return -1;
    }
    info->signature_holds = crypto_sign_ed25519_verify_detached(
                                t + OFF_SIG, pkg, len - WLINK_SIGN_TRAILER_SIZE + OFF_SIG, t + OFF_KEY) == 0;
    return 1;
}

wlink_status wlink_sign_keygen(uint8_t pub[WLINK_SIGN_PUBLIC_SIZE], uint8_t secret[WLINK_SIGN_SECRET_SIZE]) {
    if (pub == nullptr || secret == nullptr) return WLINK_BAD_ARGUMENT;
    uint8_t seed[crypto_sign_ed25519_SEEDBYTES];
    if (getrandom(seed, sizeof seed, 0) != (ssize_t)sizeof seed) return WLINK_LINK_ERROR;
    int r = crypto_sign_ed25519_seed_keypair(pub, secret, seed);
    sodium_memzero(seed, sizeof seed);
    return r == 0 ? WLINK_OK : WLINK_LINK_ERROR;
}

wlink_status wlink_package_sign(const uint8_t *pkg, size_t len, const uint8_t secret[WLINK_SIGN_SECRET_SIZE],
                                const char *board, unsigned flags, uint8_t *out, size_t out_size) {
    wlink_package_info info;
    memset(&info, 0, sizeof info);
    if (pkg == nullptr || secret == nullptr || out == nullptr || out_size < len + WLINK_SIGN_TRAILER_SIZE ||
        len + WLINK_SIGN_TRAILER_SIZE > WLINK_PACKAGE_MAX || (flags & ~(unsigned)WLINK_SIGN_DOWNGRADE) != 0 ||
        wlink_trailer_read(pkg, len, &info) != 0)
        return WLINK_BAD_ARGUMENT;
    const size_t bn = board != nullptr ? strlen(board) : 0;
    if (bn >= BOARD) return WLINK_BAD_ARGUMENT;
    for (size_t i = 0; i < bn; i++)
        if (board[i] < 0x21 || board[i] > 0x7E) return WLINK_BAD_ARGUMENT;
    memmove(out, pkg, len);
    uint8_t *t = out + len;
    memset(t, 0, WLINK_SIGN_TRAILER_SIZE);
    if (bn > 0) memcpy(t, board, bn);
    t[OFF_FLAGS] = (uint8_t)flags;
    t[OFF_FORMAT] = FORMAT;
    // The secret key of libsodium holds the public key in its second half.
    memcpy(t + OFF_KEY, secret + 32, WLINK_SIGN_PUBLIC_SIZE);
    memcpy(t + WLINK_SIGN_TRAILER_SIZE - sizeof kMagic, kMagic, sizeof kMagic);
    if (crypto_sign_ed25519_detached(t + OFF_SIG, nullptr, out, len + OFF_SIG, secret) != 0) return WLINK_BAD_ARGUMENT;
    return WLINK_OK;
}

wlink_status wlink_package_verify(const uint8_t *pkg, size_t len, const uint8_t *keys, size_t n_keys, char *why,
                                  size_t why_size) {
    wlink_package_info info;
    memset(&info, 0, sizeof info);
    char text[160] = "";
    wlink_status st = WLINK_BAD_PACKAGE;
    if (pkg == nullptr || (keys == nullptr && n_keys > 0)) return WLINK_BAD_ARGUMENT;
    const int r = wlink_trailer_read(pkg, len, &info);
    size_t k = 0;
    while (r > 0 && k < n_keys &&
           sodium_memcmp(keys + k * WLINK_SIGN_PUBLIC_SIZE, info.signer, WLINK_SIGN_PUBLIC_SIZE) != 0)
        k++;
    char hint[17];
    sodium_bin2hex(hint, sizeof hint, info.signer, 8);
    if (r < 0)
        wlink_copy(text, sizeof text, info.reason);
    else if (r == 0)
        snprintf(text, sizeof text, "it is not signed");
    else if (k == n_keys)
        snprintf(text, sizeof text, "it is signed with key %s..., which is none of the keys given", hint);
    else if (!info.signature_holds)
        snprintf(text, sizeof text, "its signature by key %s... does not match its bytes", hint);
    else
        st = WLINK_OK;
    if (why != nullptr) wlink_copy(why, why_size, text);
    return st;
}

wlink_status wlink_sign_key_parse(const char *hex, uint8_t *key, size_t key_size) {
    if (hex == nullptr || key == nullptr || (key_size != WLINK_SIGN_PUBLIC_SIZE && key_size != WLINK_SIGN_SECRET_SIZE))
        return WLINK_BAD_ARGUMENT;
    if (wlink_hex_key(hex, key, key_size) != WLINK_OK) return WLINK_BAD_VALUE;
    // A secret key ends with its own public key: a file cut or mixed up shows here.
    if (key_size == WLINK_SIGN_SECRET_SIZE) {
        uint8_t pub[WLINK_SIGN_PUBLIC_SIZE], again[WLINK_SIGN_SECRET_SIZE];
        const bool same =
            crypto_sign_ed25519_seed_keypair(pub, again, key) == 0 && memcmp(pub, key + 32, sizeof pub) == 0;
        sodium_memzero(again, sizeof again);
        if (!same) return WLINK_BAD_VALUE;
    }
    return WLINK_OK;
}
