// Authenticated UDP: once the host gave a key over the serial line ("AT+UKEY="), the
// UDP link takes only datagrams that carry a counter above the last one taken under
// that key and a message code (HMAC-SHA256, its first 16 bytes) over every other byte,
// and answers in the same form with its own counter.
//   command: 55 44 33 23, counter (8, big-endian), seq, length L, L bytes, code (16)
//   reply:   66 77 78 7A, counter (8, big-endian), seq, length L, L bytes, code (16)
// A reply's code also covers the counter of the command it answers (8 bytes after the
// reply's own), so that no reply can stand for another command's.
#pragma once

#include <stddef.h>
#include <stdint.h>

enum {
    WIFI_UDP_KEY_SIZE = 32,
    WIFI_UDP_CODE_SIZE = 16,
    WIFI_UDP_AUTH_HEAD = 14,  // magic, counter, seq, length
    WIFI_UDP_AUTH_OVERHEAD = WIFI_UDP_AUTH_HEAD + WIFI_UDP_CODE_SIZE,
};

// Puts a key in force (null: none), and with it fresh counters.
void wifi_udp_auth_set_key(const uint8_t *key);
bool wifi_udp_auth_active();

// Why a datagram was not taken.
enum wifi_udp_auth_verdict {
    WIFI_UDP_AUTH_OK = 0,
    WIFI_UDP_AUTH_PLAIN,   // not in the authenticated form (a plain datagram, a wrong magic)
    WIFI_UDP_AUTH_BAD,     // malformed: too short, a length it does not hold, a text too long
    WIFI_UDP_AUTH_CODE,    // the message code does not hold
    WIFI_UDP_AUTH_REPLAY,  // a counter not above the last one taken
};
const char *wifi_udp_auth_verdict_text(wifi_udp_auth_verdict v);

// Checks one command datagram of n bytes against the key in force; on success copies the
// text (NUL-terminated) into payload (256 bytes), its seq and counter, and takes the
// counter (a later datagram must carry a greater one).
wifi_udp_auth_verdict wifi_udp_auth_open(const uint8_t *dgram, size_t n, int32_t *seq, uint64_t *counter,
                                         char *payload);
// Builds the reply to the command of cmd_counter into out (256 bytes); its length, 0
// when no key is in force. A text too long for the datagram is cut.
size_t wifi_udp_auth_reply(int32_t seq, uint64_t cmd_counter, const char *text, uint8_t *out);
