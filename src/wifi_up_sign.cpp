// Signed upgrade packages: the trailer's form, the module's keys and board, the
// signature and the downgrade rule.
#include <errno.h>
#include <fcntl.h>
#include <sodium.h>
#include <stdio.h>
#include <string.h>
#include <unistd.h>

#include "unique_fd.h"
#include "wifi_fw_header.h"
#include "wifi_platform.h"
#include "wifi_up_sign.h"

#define SIGN_ERR(fmt, ...) \
    fprintf(stderr, "file:%s,line:%d, package refused: " fmt "\n", "wifi_up_sign", __LINE__, ##__VA_ARGS__)

static const char kTrailerMagic[8] = {'W', 'L', 'I', 'N', 'K', 'S', 'I', 'G'};
enum {
    OFF_FLAGS = 32,
    OFF_FORMAT = 33,
    OFF_KEY = 36,
    OFF_SIG = 68,
    OFF_MAGIC = 132,
    TRAILER_FORMAT = 1,
    SMALL_FILE = 4096,
};

namespace {
struct module_keys {
    uint8_t key[WIFI_SIGN_MAX_KEYS][WIFI_SIGN_KEY_LEN];
    int count;
};
}  // namespace

// A small file of the module's: its bytes, NUL-terminated, and 1; 0 when it does not
// exist; -1 when it cannot be read or is larger than the buffer.
static int read_small_file(const char *module_path, char *buf, size_t size) {
    char path[512];
    UniqueFd fd(open(wifi_path(module_path, path, sizeof(path)), O_RDONLY | O_CLOEXEC));
    if (!fd.valid()) return errno == ENOENT ? 0 : -1;
    size_t have = 0;
    for (;;) {
        ssize_t n = read(fd.get(), buf + have, size - 1 - have);
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) return -1;
        if (n == 0) break;
        have += (size_t)n;
        if (have == size - 1) return -1;
    }
    buf[have] = '\0';
    return 1;
}

// One key per line, 64 hex digits; blank lines and lines starting with '#' are skipped.
// 1 with the keys, 0 without the file, -1 when it cannot be read or a line is not a key.
static int load_keys(module_keys *keys) {
    char text[SMALL_FILE];
    keys->count = 0;
    int r = read_small_file(WIFI_UPGRADE_KEYS_FILE, text, sizeof(text));
    if (r <= 0) {
        if (r < 0) SIGN_ERR("%s cannot be read", WIFI_UPGRADE_KEYS_FILE);
        return r;
    }
    int line_no = 0;
    for (char *line = text, *next; line != nullptr; line = next) {
        next = strchr(line, '\n');
        if (next != nullptr) *next++ = '\0';
        line_no++;
        while (*line == ' ' || *line == '\t') line++;
        size_t n = strlen(line);
        while (n > 0 && (line[n - 1] == '\r' || line[n - 1] == ' ' || line[n - 1] == '\t')) line[--n] = '\0';
        if (n == 0 || line[0] == '#') continue;
        size_t got = 0;
        const char *end = nullptr;
        if (keys->count == WIFI_SIGN_MAX_KEYS || n != 2 * WIFI_SIGN_KEY_LEN ||
            sodium_hex2bin(keys->key[keys->count], WIFI_SIGN_KEY_LEN, line, n, nullptr, &got, &end) != 0 ||
            got != WIFI_SIGN_KEY_LEN) {
            SIGN_ERR("%s line %d is not a public key (64 hex digits, at most %d keys)", WIFI_UPGRADE_KEYS_FILE, line_no,
                     WIFI_SIGN_MAX_KEYS);
            return -1;
        }
        keys->count++;
    }
    return 1;
}

// The board name in the trailer: NUL-terminated within its 32 bytes, printable, and
// only zeros after it.
static bool board_name_ok(const uint8_t *b) {
    size_t n = 0;
    while (n < WIFI_SIGN_BOARD_LEN && b[n] != 0) {
        if (b[n] < 0x21 || b[n] > 0x7E) return false;
        n++;
    }
    if (n == WIFI_SIGN_BOARD_LEN) return false;
    for (size_t i = n; i < WIFI_SIGN_BOARD_LEN; i++)
        if (b[i] != 0) return false;
    return true;
}

static void key_hint(const uint8_t *key, char *out) { sodium_bin2hex(out, 17, key, 8); }

// The signed package's board and version against this module's.
static int check_board_and_version(const uint8_t *pkg, uint32_t body_len, const uint8_t *t) {
    char board[64];
    int r = read_small_file(WIFI_BOARD_FILE, board, sizeof(board));
    if (r < 0) {
        SIGN_ERR("%s cannot be read", WIFI_BOARD_FILE);
        return -1;
    }
    if (r > 0) {
        board[strcspn(board, "\r\n")] = '\0';
        if (strcmp(board, (const char *)t) != 0) {
            SIGN_ERR("signed for board \"%s\", this module is \"%s\"", (const char *)t, board);
            return -1;
        }
    }
    if (body_len < WIFI_VERSION_HEAD_SIZE || (t[OFF_FLAGS] & WIFI_SIGN_FLAG_DOWNGRADE) != 0) return 0;
    struVersionHead installed;
    memset(&installed, 0, sizeof(installed));
    if (wifi_get_firmware_header_info(&installed) != 0 || wifi_version_magic(&installed) != WIFI_VERSION_MAGIC)
        return 0;
    const unsigned now = installed.raw[2] * 256u + installed.raw[3], next = pkg[2] * 256u + pkg[3];
    if (next < now) {
        SIGN_ERR("V%u.%u is older than the installed V%u.%u, and its signature does not allow a downgrade", pkg[2],
                 pkg[3], installed.raw[2], installed.raw[3]);
        return -1;
    }
    return 0;
}

int wifi_up_sign_check(const uint8_t *pkg, uint32_t len, uint32_t *body_len) {
    *body_len = len;
    const uint8_t *t = nullptr;
    if (len >= WIFI_SIGN_TRAILER_LEN &&
        memcmp(pkg + len - sizeof(kTrailerMagic), kTrailerMagic, sizeof(kTrailerMagic)) == 0) {
        t = pkg + len - WIFI_SIGN_TRAILER_LEN;
        if (t[OFF_FORMAT] != TRAILER_FORMAT || t[34] != 0 || t[35] != 0 ||
            (t[OFF_FLAGS] & ~WIFI_SIGN_FLAG_DOWNGRADE) != 0 || !board_name_ok(t)) {
            SIGN_ERR("its signature trailer is malformed (format %u, flags 0x%02X)", t[OFF_FORMAT], t[OFF_FLAGS]);
            return -1;
        }
        *body_len = len - WIFI_SIGN_TRAILER_LEN;
    }
    module_keys keys;
    int have = load_keys(&keys);
    if (have < 0) return -1;
    if (have == 0) {
        if (t != nullptr) printf("upgrade: signature not checked, this module holds no %s\n", WIFI_UPGRADE_KEYS_FILE);
        return 0;
    }
    if (t == nullptr) {
        SIGN_ERR("it is not signed, and this module takes only packages signed with a key of %s",
                 WIFI_UPGRADE_KEYS_FILE);
        return -1;
    }
    char hint[17];
    key_hint(t + OFF_KEY, hint);
    int k = 0;
    while (k < keys.count && sodium_memcmp(keys.key[k], t + OFF_KEY, WIFI_SIGN_KEY_LEN) != 0) k++;
    if (k == keys.count) {
        SIGN_ERR("signed with key %s..., which is not in %s", hint, WIFI_UPGRADE_KEYS_FILE);
        return -1;
    }
    if (crypto_sign_ed25519_verify_detached(t + OFF_SIG, pkg, len - WIFI_SIGN_TRAILER_LEN + OFF_SIG, keys.key[k]) !=
        0) {
        SIGN_ERR("its signature by key %s... does not match its bytes", hint);
        return -1;
    }
    if (check_board_and_version(pkg, *body_len, t) != 0) return -1;
    printf("upgrade: package signed with key %s..., board \"%s\"%s\n", hint, (const char *)t,
           (t[OFF_FLAGS] & WIFI_SIGN_FLAG_DOWNGRADE) ? ", downgrade allowed" : "");
    return 0;
}
