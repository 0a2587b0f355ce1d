// Signed upgrade packages: the trailer a signed package ends with, and what the module
// takes when it holds upgrade keys.
//
// The trailer (140 bytes) follows the application part:
//   0   board name, 32 bytes, NUL-padded (at most 31 characters)
//   32  flags: bit 0 allows a downgrade; the other bits are 0
//   33  format, 1
//   34  2 zero bytes
//   36  the signer's Ed25519 public key, 32 bytes
//   68  the Ed25519 signature of every byte of the package before it, 64 bytes
//   132 "WLINKSIG"
// It is never written to flash.
#pragma once

#include <stdint.h>

#define WIFI_UPGRADE_KEYS_FILE "/etc/wlinkcmd/upgrade.pub"
#define WIFI_BOARD_FILE "/etc/wlinkcmd/board"

enum {
    WIFI_SIGN_TRAILER_LEN = 140,
    WIFI_SIGN_BOARD_LEN = 32,
    WIFI_SIGN_KEY_LEN = 32,
    WIFI_SIGN_SIG_LEN = 64,
    WIFI_SIGN_FLAG_DOWNGRADE = 1,
    WIFI_SIGN_MAX_KEYS = 16,
};

// The checks of a received package's signature, before any other: with the key file,
// a package must carry a good signature by one of its keys, be for this board when
// the board file names one, and not be older than the installed record unless its
// trailer allows that. Without the key file a trailer is checked for form only. In
// both cases *body_len is the package without its trailer. 0, or -1 with a line on
// standard error saying why.
int wifi_up_sign_check(const uint8_t *pkg, uint32_t len, uint32_t *body_len);
