// The module's state as typed calls: stations, survey, WPS, its address, version and
// flash, and waiting for it after a restart.
#include <arpa/inet.h>
#include <errno.h>
#include <netinet/in.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/socket.h>

#include "wlink_int.h"

static wlink_status bad_reply(wlink_link *l, const char *cmd, const char *v) {
    wlink_fail(l, "\"%s\" is no answer to %s", v, cmd);
    return WLINK_BAD_REPLY;
}

// A whole decimal number of at most 9 digits, with an optional minus sign.
static bool whole_number(const char *s, long *out) {
    const char *p = *s == '-' ? s + 1 : s;
    if (*p == '\0' || strlen(p) > 9 || strspn(p, "0123456789") != strlen(p)) return false;
    *out = strtol(s, nullptr, 10);
    return true;
}

static wlink_status number_of(wlink_link *l, const char *cmd, long lo, long hi, long *out) {
    char v[WLINK_REPLY_MAX + 1];
    wlink_status st = wlink_command_value(l, cmd, v, sizeof v);
    if (st != WLINK_OK) return st;
    if (!whole_number(v, out) || *out < lo || *out > hi) return bad_reply(l, cmd, v);
    return WLINK_OK;
}

// Splits v at its commas into at most n fields (the last takes the rest): the count.
static int split(char *v, char **f, int n) {
    int k = 0;
    f[k++] = v;
    for (char *p = v; *p != '\0' && k < n; p++)
        if (*p == ',') *p = '\0', f[k++] = p + 1;
    return k;
}

static bool arg_ok(wlink_link *l, bool ok, const char *what) {
    if (l != nullptr) wlink_begin(l);
    if (l == nullptr || !ok) {
        if (l != nullptr) wlink_fail(l, "%s", what);
        return false;
    }
    return true;
}

wlink_status wlink_station_count(wlink_link *l, int *count) {
    if (!arg_ok(l, count != nullptr, "no place for the count")) return WLINK_BAD_ARGUMENT;
    long n;
    wlink_status st = number_of(l, "AT+CNUM", 0, 32, &n);
    *count = st == WLINK_OK ? (int)n : 0;
    return st;
}

wlink_status wlink_station_get(wlink_link *l, int index, wlink_station *st) {
    if (!arg_ok(l, st != nullptr && st->size != 0 && index >= 0 && index <= 15,
                "a station is asked for by an index of 0 to 15, into a record whose size is set"))
        return WLINK_BAD_ARGUMENT;
    char cmd[32], v[WLINK_REPLY_MAX + 1], *f[6];
    snprintf(cmd, sizeof cmd, "AT+CINFO=sta %d", index);
    wlink_status s = wlink_command_value(l, cmd, v, sizeof v);
    if (s != WLINK_OK) return s;
    char copy[sizeof v];
    memcpy(copy, v, sizeof v);
    long rate, bw, r0, r1;
    // "MAC,1,RATE,BW40,RSSI0,RSSI1"
    if (split(v, f, 6) != 6 || !whole_number(f[2], &rate) || !whole_number(f[3], &bw) || !whole_number(f[4], &r0) ||
        !whole_number(f[5], &r1) || strlen(f[0]) >= sizeof st->mac)
        return bad_reply(l, cmd, copy);
    wlink_station out;
    memset(&out, 0, sizeof out);
    out.index = index;
    wlink_copy(out.mac, sizeof out.mac, f[0]);
    out.rate = (int)rate;
    out.bandwidth = bw ? 40 : 20;
    out.rssi0 = (int)r0;
    out.rssi1 = (int)r1;
    size_t n = st->size < sizeof out ? st->size : sizeof out;
    out.size = st->size;
    memcpy(st, &out, n);
    return WLINK_OK;
}

wlink_status wlink_station_lease(wlink_link *l, const char *mac, char *ip, size_t size) {
    if (!arg_ok(l, mac != nullptr && *mac != '\0' && strlen(mac) < 64, "a station's address is 1 to 63 characters"))
        return WLINK_BAD_ARGUMENT;
    char cmd[80];
    snprintf(cmd, sizeof cmd, "AT+CIP=%s", mac);
    return wlink_command_value(l, cmd, ip, size);
}

wlink_status wlink_station_present(wlink_link *l, const char *mac, int *present) {
    if (!arg_ok(l, mac != nullptr && strlen(mac) < 64 && present != nullptr,
                "a station's address is at most 63 characters"))
        return WLINK_BAD_ARGUMENT;
    char cmd[80];
    snprintf(cmd, sizeof cmd, "AT+CMC=%s", mac);
    long n;
    wlink_status st = number_of(l, cmd, -1, 1, &n);
    if (st == WLINK_OK && n == 0) return bad_reply(l, cmd, "0");
    *present = st == WLINK_OK && n == 1;
    return st;
}

wlink_status wlink_station_retry(wlink_link *l, int index, char *mac, size_t mac_size, char *rate, size_t rate_size) {
    if (!arg_ok(l, index >= 0 && index <= 15, "a station is asked for by an index of 0 to 15"))
        return WLINK_BAD_ARGUMENT;
    char cmd[32], v[WLINK_REPLY_MAX + 1], *f[2];
    snprintf(cmd, sizeof cmd, "AT+RETRYINFO=sta %d", index);
    wlink_status st = wlink_command_value(l, cmd, v, sizeof v);
    if (st != WLINK_OK) return st;
    if (split(v, f, 2) != 2) return bad_reply(l, cmd, v);  // "MAC,RATE"
    st = wlink_give(l, f[0], mac, mac_size);
    return st == WLINK_OK ? wlink_give(l, f[1], rate, rate_size) : st;
}

wlink_status wlink_stations_changed(wlink_link *l, int *changed) {
    if (!arg_ok(l, changed != nullptr, "no place for the answer")) return WLINK_BAD_ARGUMENT;
    long n;
    wlink_status st = number_of(l, "AT+STAONLINECHECK", 0, 1, &n);
    *changed = st == WLINK_OK && n == 1;
    return st;
}

wlink_status wlink_error_rates(wlink_link *l, char *tx, size_t tx_size, char *rx, size_t rx_size) {
    if (!arg_ok(l, true, "")) return WLINK_BAD_ARGUMENT;
    char v[WLINK_REPLY_MAX + 1];
    wlink_status st = wlink_command_value(l, "AT+PER", v, sizeof v);
    if (st != WLINK_OK) return st;
    // "TX_PER=... RX_PER=..."
    char *t = strstr(v, "TX_PER="), *r = strstr(v, " RX_PER=");
    if (t != v || r == nullptr) return bad_reply(l, "AT+PER", v);
    *r = '\0';
    st = wlink_give(l, t + 7, tx, tx_size);
    return st == WLINK_OK ? wlink_give(l, r + 8, rx, rx_size) : st;
}

wlink_status wlink_reset_counters(wlink_link *l) { return wlink_command(l, "AT+RESET", nullptr, 0); }

wlink_status wlink_survey(wlink_link *l, int *count) {
    if (!arg_ok(l, count != nullptr, "no place for the count")) return WLINK_BAD_ARGUMENT;
    *count = 0;
    wlink_status st = wlink_command(l, "AT+SCAN", nullptr, 0);
    long n;
    if (st == WLINK_OK && (st = number_of(l, "AT+CWIFISINALNUM", 0, 32, &n)) == WLINK_OK) *count = (int)n;
    return st;
}

wlink_status wlink_survey_get(wlink_link *l, int index, wlink_network *net) {
    if (!arg_ok(l, net != nullptr && net->size != 0 && index >= 0 && index <= 31,
                "a network is asked for by an index of 0 to 31, into a record whose size is set"))
        return WLINK_BAD_ARGUMENT;
    char cmd[48], v[WLINK_REPLY_MAX + 1];
    snprintf(cmd, sizeof cmd, "AT+CWIFISINGALSINGLEINFO=%d", index);
    wlink_status st = wlink_command_value(l, cmd, v, sizeof v);
    if (st != WLINK_OK) return st;
    // "CHANNEL,BSSID,SSID,SIGNAL": the name may hold commas of its own
    char *a = strchr(v, ','), *b = a != nullptr ? strchr(a + 1, ',') : nullptr, *z = strrchr(v, ',');
    long ch, sig;
    if (b == nullptr || z <= b) return bad_reply(l, cmd, v);
    *a = *b = *z = '\0';
    wlink_network out;
    memset(&out, 0, sizeof out);
    if (!whole_number(v, &ch) || !whole_number(z + 1, &sig) || strlen(a + 1) >= sizeof out.bssid ||
        strlen(b + 1) >= sizeof out.ssid) {
        *a = *b = *z = ',';
        return bad_reply(l, cmd, v);
    }
    out.channel = (int)ch;
    out.signal = (int)sig;
    wlink_copy(out.bssid, sizeof out.bssid, a + 1);
    wlink_copy(out.ssid, sizeof out.ssid, b + 1);
    size_t n = net->size < sizeof out ? net->size : sizeof out;
    out.size = net->size;
    memcpy(net, &out, n);
    return WLINK_OK;
}

wlink_status wlink_wps_start(wlink_link *l) { return wlink_command(l, "AT+WPS", nullptr, 0); }

// A query whose value is one of a few words: the matching entry's state into *state
// (`unknown` until one matches).
namespace {
struct reply_word {
    const char *text;
    int state;
};
}  // namespace
template <typename State, size_t N>
static wlink_status word_query(wlink_link *l, const char *cmd, const reply_word (&words)[N], State unknown,
                               State *state) {
    if (!arg_ok(l, state != nullptr, "no place for the state")) return WLINK_BAD_ARGUMENT;
    char v[WLINK_REPLY_MAX + 1];
    wlink_status st = wlink_command_value(l, cmd, v, sizeof v);
    *state = unknown;
    if (st != WLINK_OK) return st;
    for (const reply_word &w : words)
        if (strcmp(v, w.text) == 0) return *state = static_cast<State>(w.state), WLINK_OK;
    return bad_reply(l, cmd, v);
}

wlink_status wlink_wps_status(wlink_link *l, wlink_wps_state *state) {
    static const reply_word kStates[] = {{"Idle", WLINK_WPS_IDLE},
                                         {"Active", WLINK_WPS_ACTIVE},
                                         {"Timed-out", WLINK_WPS_TIMED_OUT},
                                         {"Unknow", WLINK_WPS_UNKNOWN}};
    return word_query(l, "AT+WPS=", kStates, WLINK_WPS_UNKNOWN, state);
}

wlink_status wlink_mac(wlink_link *l, char *mac, size_t size) { return wlink_command_value(l, "AT+MAC", mac, size); }

wlink_status wlink_firmware_version(wlink_link *l, unsigned *major, unsigned *minor) {
    if (!arg_ok(l, major != nullptr && minor != nullptr, "no place for the version")) return WLINK_BAD_ARGUMENT;
    char v[WLINK_REPLY_MAX + 1], extra;
    wlink_status st = wlink_command_value(l, "AT+VER", v, sizeof v);
    if (st != WLINK_OK) return st;
    if (sscanf(v, "V%3u.%3u%c", major, minor, &extra) != 2) return bad_reply(l, "AT+VER", v);
    return WLINK_OK;
}

wlink_status wlink_flash_info(wlink_link *l, uint64_t *image_size, uint64_t *app_size) {
    if (!arg_ok(l, image_size != nullptr && app_size != nullptr, "no place for the sizes")) return WLINK_BAD_ARGUMENT;
    char v[WLINK_REPLY_MAX + 1], *f[2];
    wlink_status st = wlink_command_value(l, "AT+FLASHINFO", v, sizeof v);
    if (st != WLINK_OK) return st;
    char copy[sizeof v];
    memcpy(copy, v, sizeof v);
    long a, b;  // at most 9 digits each: partitions below 1 GB
    if (split(v, f, 2) != 2 || !whole_number(f[0], &a) || !whole_number(f[1], &b) || a < 0 || b < 0)
        return bad_reply(l, "AT+FLASHINFO", copy);
    *image_size = (uint64_t)a;
    *app_size = (uint64_t)b;
    return WLINK_OK;
}

wlink_status wlink_upgrade_state(wlink_link *l, wlink_upg_state *state) {
    static const reply_word kStates[] = {
        {"none", WLINK_UPG_STATE_NONE}, {"busy", WLINK_UPG_STATE_BUSY}, {"interrupted", WLINK_UPG_STATE_INTERRUPTED}};
    return word_query(l, "AT+UPGSTATE", kStates, WLINK_UPG_STATE_UNKNOWN, state);
}

// ---- restarts

enum { READY_POLL_MS = 100, DOWN_WINDOW_MS = 10000 };

// One heartbeat with a short limit of its own; the link's limit is kept.
static wlink_status beat(wlink_link *l, int64_t deadline) {
    int keep = l->timeout_ms, left = (int)(deadline - wlink_now_ms());
    l->timeout_ms = left < 500 ? (left > 1 ? left : 1) : 500;
    int retries = l->retries;
    l->retries = 0;
    wlink_status st = wlink_command(l, "AT+", nullptr, 0);
    l->timeout_ms = keep;
    l->retries = retries;
    return st;
}

// Heartbeats until one is answered (want_answer) or one is not, up to deadline.
static wlink_status until_beat(wlink_link *l, bool want_answer, int64_t deadline) {
    for (;;) {
        wlink_status st = beat(l, deadline);
        if (st == WLINK_CANCELLED || st == WLINK_LINK_ERROR) return st;
        if ((st == WLINK_OK) == want_answer) return WLINK_OK;
        if (wlink_now_ms() >= deadline) return WLINK_NO_REPLY;
        if (st == WLINK_OK || st == WLINK_UNREACHABLE) {  // an answer or a refusal comes at once: pace them
            int r = wlink_wait(l, l->wake_fd, 0, wlink_now_ms() + READY_POLL_MS, nullptr);
            if (r == -1) return WLINK_CANCELLED;
        }
    }
}

wlink_status wlink_wait_ready(wlink_link *l, wlink_link *serial, int timeout_ms) {
    if (l == nullptr || timeout_ms <= 0 || (serial != nullptr && (!serial->serial || serial == l))) {
        if (l != nullptr) wlink_fail(l, "a time limit of 1 ms or more, and a serial link other than this one");
        return WLINK_BAD_ARGUMENT;
    }
    wlink_begin(l);
    int64_t deadline = wlink_now_ms() + timeout_ms;
    if (!l->serial && serial != nullptr) {
        wlink_status st = until_beat(serial, true, deadline);
        if (st != WLINK_OK) {
            wlink_fail(l, "the module did not answer on its serial line within %d ms", timeout_ms);
            return st;
        }
        // The address this host sends from, as the module sees it.
        struct sockaddr_in me;
        socklen_t len = sizeof me;
        char cmd[48] = "AT+UIP=";
        if (getsockname(l->fd, (struct sockaddr *)&me, &len) != 0 ||
            inet_ntop(AF_INET, &me.sin_addr, cmd + 7, sizeof cmd - 7) == nullptr) {
            wlink_fail_os(l, errno, "getsockname");
            return WLINK_LINK_ERROR;
        }
        // The module forgot the key too: this link's goes first, then the peer.
        char ukey[8 + 2 * WLINK_KEY_SIZE + 1];
        if (l->keyed && wlink_key_command(l->key, ukey, sizeof ukey) == WLINK_OK &&
            (st = wlink_command(serial, ukey, nullptr, 0)) != WLINK_OK) {
            wlink_fail(l, "AT+UKEY= over the serial line: %s", wlink_last_error(serial));
            return st;
        }
        if ((st = wlink_command(serial, cmd, nullptr, 0)) != WLINK_OK) {
            wlink_fail(l, "%s over the serial line: %s", cmd, wlink_last_error(serial));
            return st;
        }
    }
    wlink_status st = until_beat(l, true, deadline);
    if (st == WLINK_NO_REPLY)
        wlink_fail(l, "the module did not answer within %d ms%s", timeout_ms,
                   !l->serial && serial == nullptr ? " (over UDP it answers only once AT+UIP= is sent again over its "
                                                     "serial line)"
                                                   : "");
    return st;
}

wlink_status wlink_reboot(wlink_link *l, wlink_link *serial, int timeout_ms) {
    if (l == nullptr || timeout_ms <= 0) return WLINK_BAD_ARGUMENT;
    wlink_begin(l);
    int64_t start = wlink_now_ms();
    // Over UDP the module answers nothing once it restarted, whatever it does next;
    // over serial it is silent while it restarts (a restart quicker than a heartbeat
    // cannot be seen, and the wait goes on after the window).
    char peer[WLINK_REPLY_MAX + 1] = "";
    wlink_link *probe = serial != nullptr ? serial : l;
    wlink_status st = wlink_command_value(probe, "AT+UIP", peer, sizeof peer);
    if (st == WLINK_OK) st = wlink_command(l, "AT+REBOOT", nullptr, 0);
    if (st != WLINK_OK) {
        if (probe != l) wlink_fail(l, "%s", wlink_last_error(probe));
        return st;
    }
    int64_t down_by = start + (timeout_ms < DOWN_WINDOW_MS ? timeout_ms : DOWN_WINDOW_MS);
    for (;;) {
        if (!l->serial) {
            st = until_beat(l, false, down_by);
        } else {  // silent, or answering with the peer it forgot
            char now[WLINK_REPLY_MAX + 1] = "";
            wlink_status q = wlink_command_value(l, "AT+UIP", now, sizeof now);
            st = q == WLINK_CANCELLED || q == WLINK_LINK_ERROR ? q
                 : q != WLINK_OK || strcmp(now, peer) != 0     ? WLINK_OK
                                                               : WLINK_NO_REPLY;
        }
        if (st != WLINK_NO_REPLY || wlink_now_ms() >= down_by) break;
        if (wlink_wait(l, l->wake_fd, 0, wlink_now_ms() + READY_POLL_MS, nullptr) == -1) return WLINK_CANCELLED;
    }
    if (st == WLINK_CANCELLED || st == WLINK_LINK_ERROR) return st;
    int left = (int)(start + timeout_ms - wlink_now_ms());
    return wlink_wait_ready(l, serial, left > 1 ? left : 1);
}
