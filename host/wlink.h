/* libwlink: the host side of the Wi-Fi module's command links and its upgrade.
 *
 * A link is a serial port (16-byte checksummed frames, 115200 8N1 raw) or a UDP
 * peer (datagrams to port 8888). Over it go "AT+" commands; each gets one reply,
 * "+OK", "+OK=" and a value, or "+ERR". The library numbers, checks, times out
 * and retries in one place and tells each outcome apart by its status.
 *
 * A reply is never another command's. Serial frames carry no number, so after a
 * command went unanswered the library keeps the link marked: before the next
 * command it sends a short query whose reply cannot be mistaken for the late one
 * and reads (and drops) everything up to that query's reply. UDP replies carry the
 * command's sequence number; others are dropped.
 *
 * C99, usable from C and C++. Nothing here allocates behind the caller's back
 * except the link itself; no function keeps a pointer it was given (other than
 * the trace callback's context).
 *
 * Threads. A link is used by one thread at a time; different links may be used
 * from different threads at once. wlink_cancel() alone may be called on a link
 * from any thread and from a signal handler. Callbacks (trace, upgrade progress
 * and heartbeat) run in the thread that made the call, inside it: they may call
 * wlink_cancel() and any function that takes no link, but no other function on
 * the link they were called for.
 *
 * Errors. Every function that takes a link sets or clears the text of
 * wlink_last_error() and the system error of wlink_last_os_error(). An open that
 * fails has no link: its reason is wlink_last_error(NULL) and
 * wlink_last_os_error(NULL), kept per thread.
 *
 *   wlink_link *l;
 *   if (wlink_open_udp("192.168.1.1", 0, &l) == WLINK_OK) {
 *       char ssid[64];
 *       if (wlink_get(l, WLINK_SSID, ssid, sizeof ssid) == WLINK_OK) puts(ssid);
 *       wlink_close(l);
 *   }
 */
#ifndef WLINK_H
#define WLINK_H

#include <stddef.h>
#include <stdint.h>
#include <string.h>

#ifdef __cplusplus
extern "C" {
#endif

#define WLINK_VERSION_MAJOR 2
#define WLINK_VERSION_MINOR 1
#define WLINK_VERSION_PATCH 0
#define WLINK_VERSION "2.1.0"
/* MAJOR * 10000 + MINOR * 100 + PATCH, as wlink_version_number() gives it. */
#define WLINK_VERSION_NUMBER (WLINK_VERSION_MAJOR * 10000 + WLINK_VERSION_MINOR * 100 + WLINK_VERSION_PATCH)

/* The version of the library in use ("2.1.0"), which may be newer than the
 * header the program was built with. */
const char *wlink_version(void);
int wlink_version_number(void);

enum {
    WLINK_UDP_PORT = 8888,     /* the module's command port */
    WLINK_UPGRADE_PORT = 9999, /* the module's upgrade port */
    WLINK_CMD_MAX = 127,       /* longest command text */
    WLINK_REPLY_MAX = 255,     /* longest reply text */
    WLINK_FRAME_SIZE = 16,
    WLINK_FRAME_CHUNK = 12,    /* text bytes per serial frame */
    WLINK_DGRAM_OVERHEAD = 11, /* datagram bytes besides the text */
    WLINK_PACKAGE_MAX = 5242880,
    WLINK_DEFAULT_TIMEOUT_MS = 2000,
    WLINK_DEFAULT_RETRIES = 2,
    WLINK_DEFAULT_PACE_MS = 15,
    WLINK_DEFAULT_UPGRADE_SILENCE_MS = 300000
};

typedef enum wlink_status {
    WLINK_OK = 0,          /* the command was answered ("+OK" or "+OK=value") */
    WLINK_ERR_REPLY,       /* the module answered "+ERR" */
    WLINK_NO_REPLY,        /* no reply within the time limit, after every retry */
    WLINK_BAD_REPLY,       /* a reply that cannot answer the command sent */
    WLINK_LINK_ERROR,      /* the port or socket failed (read, write, hang-up) */
    WLINK_UNREACHABLE,     /* UDP: the host said nothing listens on that port */
    WLINK_PORT_BUSY,       /* the serial port is held by another program */
    WLINK_OPEN_FAILED,     /* no such port, not a serial port, host not found */
    WLINK_BAD_ARGUMENT,    /* empty or too long command, null pointer, small buffer, bad limit */
    WLINK_BAD_VALUE,       /* a setting's value the module would not take */
    WLINK_BAD_PACKAGE,     /* an upgrade package the module would refuse */
    WLINK_UPG_CONNECT,     /* the upgrade port could not be reached */
    WLINK_UPG_WRONG_TOKEN, /* the module refused the upgrade's token */
    WLINK_UPG_REFUSED,     /* the module's result: package refused or flash failed */
    WLINK_UPG_LOST,        /* the upgrade connection ended before the result */
    WLINK_UPG_TIMEOUT,     /* the module said nothing for the upgrade's time limit */
    WLINK_UPG_PROTOCOL,    /* a message the upgrade exchange does not know */
    /* new in 2.0 */
    WLINK_PENDING,               /* event loop: the command is under way */
    WLINK_CANCELLED,             /* wlink_cancel() or a callback stopped the call; for an upgrade:
                                    before the module had the whole package, so flash is untouched */
    WLINK_UPG_CANCELLED_WRITING, /* an upgrade stopped after the module had the whole package:
                               it may still be writing flash (do not power it off; AT+VER
                               tells when it is done) */
    WLINK_UPG_BUSY,              /* the module answered +ERR to AT+UPGRADE=: another upgrade runs */
    WLINK_UPG_TOO_LARGE,         /* a part is larger than its flash partition (AT+FLASHINFO) */
    WLINK_UPG_DEADLINE           /* the upgrade's overall deadline passed */
} wlink_status;

/* A short English phrase for a status ("no reply", "port busy", ...). */
const char *wlink_status_text(wlink_status s);
/* A stable lower-case name for a status ("ok", "no-reply", "upgrade-busy", ...),
 * for logs and machine-read output. */
const char *wlink_status_name(wlink_status s);

typedef struct wlink_link wlink_link;

/* The records the library fills or reads (stations, networks, package info, image
 * parameters) begin with their size, so that a newer library never writes past an
 * older caller's record: WLINK_INIT(rec) empties one and sets its size. */
#define WLINK_INIT(rec) (memset(&(rec), 0, sizeof(rec)), (rec).size = sizeof(rec))

/* Opens a serial port for this process alone (TIOCEXCL and an exclusive flock):
 * WLINK_PORT_BUSY when another program holds it (wlink_last_error(NULL) names its
 * pid when it can be known). wlink_close gives it back. A pseudo-terminal whose
 * other end stays open keeps TIOCEXCL past a process that ended without
 * wlink_close (other users than root then get "busy"): a signal handler may call
 * ioctl(wlink_fd(l), TIOCNXCL), which is async-signal-safe. Whatever the port
 * held before the open is discarded. */
wlink_status wlink_open_serial(const char *device, wlink_link **out);
/* host: IPv4 address or name; port 0 means 8888. ICMP "port unreachable" answers
 * surface as WLINK_UNREACHABLE at the next command. */
wlink_status wlink_open_udp(const char *host, uint16_t port, wlink_link **out);
void wlink_close(wlink_link *l);
/* 1 for a serial link, 0 for UDP. */
int wlink_is_serial(const wlink_link *l);
/* The link's descriptor (the serial port or the connected UDP socket), or -1. */
int wlink_fd(const wlink_link *l);
/* What went wrong last, in words (never null; "" after success). With a null
 * link: this thread's last failed open. */
const char *wlink_last_error(const wlink_link *l);
/* The system's error (errno) behind the last failure, 0 when it had none. With a
 * null link: this thread's last failed open. */
int wlink_last_os_error(const wlink_link *l);

/* Time limit of one try (default 2000 ms), UDP re-sends after a silent try
 * (default 2), serial gap between the frames of a command (default 15 ms).
 * WLINK_BAD_ARGUMENT (nothing changed) for a limit of 0 or less, negative
 * retries or pace. Commands known to take long on the module get more than the
 * limit of one try: AT+SENSITIVITY= 3000 ms more, AT+SCAN 5000, AT+ENCFG 8000,
 * AT+RESTORE, AT+WPS and AT+PASSWD= 3000. */
wlink_status wlink_set_timeout(wlink_link *l, int ms);
wlink_status wlink_set_retries(wlink_link *l, int retries);
wlink_status wlink_set_pace(wlink_link *l, int ms);

/* Stops the call in progress on the link (a command, an upgrade, a wait): it
 * returns WLINK_CANCELLED (or WLINK_UPG_CANCELLED_WRITING) within a few
 * milliseconds. A cancel while no call runs stops the next call at once. Safe
 * from any thread and from a signal handler (it sets a flag and writes to a
 * descriptor of the link's own). */
void wlink_cancel(wlink_link *l);

/* Every frame or datagram sent or received, and the upgrade's request and
 * messages, go to the trace callback as they pass. */
typedef enum wlink_trace_kind {
    WLINK_TRACE_FRAME,    /* 16 bytes on the serial line */
    WLINK_TRACE_DATAGRAM, /* one UDP datagram */
    WLINK_TRACE_JUNK,     /* serial bytes that were no good frame: n of them, the first 64 given */
    WLINK_TRACE_UPGRADE,  /* the 68-byte upgrade request or an 8-byte message */
    WLINK_TRACE_PACKAGE,  /* package bytes sent (n only) */
    WLINK_TRACE_STALE     /* a late reply to an earlier command, dropped: its text */
} wlink_trace_kind;
typedef void (*wlink_trace_fn)(void *ctx, wlink_trace_kind kind, int sent, const uint8_t *bytes, size_t n);
void wlink_set_trace(wlink_link *l, wlink_trace_fn fn, void *ctx);
/* One line decoding a traced unit: fields, text and whether its checksum holds. */
void wlink_trace_describe(wlink_trace_kind kind, int sent, const uint8_t *bytes, size_t n, char *out, size_t size);

/* ---- commands ------------------------------------------------------------ */

/* Sends one command and waits for its reply, whose text goes to reply (may be
 * null). WLINK_OK and WLINK_ERR_REPLY carry the reply; WLINK_BAD_REPLY is a
 * reply whose form cannot answer this command (a value to a command that sets,
 * none to a query, text that is no reply at all): it is never taken as the
 * answer, and its text goes to the last error. A reply longer than reply_size - 1
 * gives WLINK_BAD_ARGUMENT, an empty reply buffer, and the size needed in the last
 * error (the module did carry the command out). */
wlink_status wlink_command(wlink_link *l, const char *cmd, char *reply, size_t reply_size);
/* The same, with the value of a "+OK=" reply without "+OK=" and its line end
 * ("" for "+OK"). */
wlink_status wlink_command_value(wlink_link *l, const char *cmd, char *value, size_t value_size);

/* 1 when the module knows the command (its table's first-prefix rule), else 0. */
int wlink_command_known(const char *cmd);
/* The known command closest to cmd (for "did you mean"), into out. */
void wlink_command_closest(const char *cmd, char *out, size_t size);

/* The event-loop interface: one command on one link without blocking, under the
 * same rules as wlink_command. wlink_command_start sends what it can at once and
 * returns WLINK_PENDING (or the outcome of a failure). Then, until the outcome:
 * poll wlink_fd(l) for wlink_poll_events(l) (POLLIN, POLLOUT or 0) for at most
 * wlink_poll_timeout(l) ms, and hand the revents (0 when the time ran out) to
 * wlink_command_process, which returns WLINK_PENDING or the command's outcome
 * with its reply. One command at a time per link; wlink_command_abort gives up
 * the one under way (its reply, if it comes, will be dropped). */
wlink_status wlink_command_start(wlink_link *l, const char *cmd);
short wlink_poll_events(const wlink_link *l);
int wlink_poll_timeout(const wlink_link *l);
wlink_status wlink_command_process(wlink_link *l, short revents, char *reply, size_t reply_size);
void wlink_command_abort(wlink_link *l);

/* ---- authenticated UDP ---------------------------------------------------- */

/* A station on the module's network can forge any UDP datagram, so a host that needs
 * more than the address check gives the module a key over the serial line
 * ("AT+UKEY=" and 64 hex digits, serial only): from then on the module takes only
 * datagrams that carry a counter above the last one it took and a message code
 * (HMAC-SHA256) over the rest, and answers in the same form. The key lives in the
 * module's memory only: a restart of the daemon forgets it. */
enum { WLINK_KEY_SIZE = 32 };

/* Makes a UDP link speak the authenticated form with this key (null: plain again).
 * Its counter follows the wall clock in microseconds, so a program that starts again
 * with the same key never sends a counter the module has taken. A reply whose code
 * does not hold, or that is older than the last one taken, is dropped. */
wlink_status wlink_set_udp_key(wlink_link *l, const uint8_t *key);
/* A fresh key from the system's random source. */
wlink_status wlink_key_generate(uint8_t key[WLINK_KEY_SIZE]);
/* 64 hex digits (upper or lower case, a line end after them allowed) into a key. */
wlink_status wlink_key_parse(const char *hex, uint8_t key[WLINK_KEY_SIZE]);
/* "AT+UKEY=" and the key's 64 hex digits: 73 bytes with the terminating NUL. */
wlink_status wlink_key_command(const uint8_t key[WLINK_KEY_SIZE], char *cmd, size_t size);

/* ---- radio and LAN settings ---------------------------------------------- */

typedef enum wlink_setting {
    WLINK_SSID,
    WLINK_KEY,
    WLINK_CHANNEL,
    WLINK_CURRENT_CHANNEL,
    WLINK_AUTH,
    WLINK_ENCRYPTION,
    WLINK_WIFI,
    WLINK_HTMODE,
    WLINK_COUNTRY,
    WLINK_TXPOWER,
    WLINK_STANUM,
    WLINK_LANIP,
    WLINK_UDP_PEER,
    WLINK_DHCP,
    WLINK_VLAN,
    WLINK_PORTS,
    WLINK_SETTING_COUNT
} wlink_setting;

/* "ssid", "key", "channel", "current-channel", "auth", "encryption", "wifi",
 * "htmode", "country", "txpower", "stanum", "lanip", "udp-peer", "dhcp", "vlan",
 * "ports"; null past the end. */
const char *wlink_setting_name(wlink_setting s);
/* The setting of that name, or -1. */
int wlink_setting_by_name(const char *name);
/* 1 when it can be read (all but dhcp), 1 when it can be set (all but
 * current-channel and ports). */
int wlink_setting_readable(wlink_setting s);
int wlink_setting_writable(wlink_setting s);

/* Reads a setting: the value without "+OK=" and line end. */
wlink_status wlink_get(wlink_link *l, wlink_setting s, char *value, size_t size);
/* Checks the value the way the module and its driver would take it, then sends
 * the setter. WLINK_BAD_VALUE (nothing sent) with the reason in the last error.
 *   ssid 1-32 printable; key 8-63 printable or 64 hex digits; channel auto or
 *   1-13; auth OPEN WPAPSK WPA2PSK WPAPSK_WPA2PSK; encryption NONE AES TKIP
 *   TKIP/AES; wifi on/off; htmode HT20 HT40 AUTO; country two letters; txpower
 *   1-100; stanum 1-32; lanip, udp-peer dotted IPv4; dhcp "START POOL HOURS"
 *   (start 1-254, pool up to 254-start, hours 1 or more) or off; vlan letters,
 *   digits and " ,.:_-", or off. */
wlink_status wlink_set(wlink_link *l, wlink_setting s, const char *value);
/* The command wlink_set would send, or WLINK_BAD_VALUE with the reason in why
 * (may be null). With force, any value that fits the command is taken as it is.
 * WLINK_BAD_ARGUMENT when cmd_size is too small (why says the size needed). */
wlink_status wlink_setting_command(wlink_setting s, const char *value, int force, char *cmd, size_t cmd_size, char *why,
                                   size_t why_size);
/* "AT+ENCFG": applies what the setters wrote. */
wlink_status wlink_apply(wlink_link *l);

/* ---- the module's state --------------------------------------------------- */

/* One associated station, as "AT+CINFO=" reports it from the table the last
 * wlink_station_count() loaded. */
typedef struct wlink_station {
    size_t size;      /* sizeof(wlink_station), set by the caller */
    int index;        /* 0 to 15 */
    char mac[32];     /* as the driver writes it; "" for a free slot */
    int rate;         /* transmit rate, Mbit/s */
    int bandwidth;    /* 20 or 40 (MHz) */
    int rssi0, rssi1; /* signal of the first two chains, dBm */
} wlink_station;

/* "AT+CNUM": refreshes the module's station table, the number of stations. */
wlink_status wlink_station_count(wlink_link *l, int *count);
/* "AT+CINFO=sta INDEX": one station (index 0 to 15). */
wlink_status wlink_station_get(wlink_link *l, int index, wlink_station *st);
/* "AT+CIP=MAC": the address leased to a station, "" when it has none. */
wlink_status wlink_station_lease(wlink_link *l, const char *mac, char *ip, size_t size);
/* "AT+CMC=MAC": 1 when a station of that address is in the table, else 0. */
wlink_status wlink_station_present(wlink_link *l, const char *mac, int *present);
/* "AT+RETRYINFO=sta INDEX": a station's address and retry rate texts. */
wlink_status wlink_station_retry(wlink_link *l, int index, char *mac, size_t mac_size, char *rate, size_t rate_size);
/* "AT+STAONLINECHECK": 1 when the stations changed since the last check, else 0. */
wlink_status wlink_stations_changed(wlink_link *l, int *changed);
/* "AT+PER": the transmit and receive packet error texts ("0%"). */
wlink_status wlink_error_rates(wlink_link *l, char *tx, size_t tx_size, char *rx, size_t rx_size);
/* "AT+RESET": resets the driver's counters. */
wlink_status wlink_reset_counters(wlink_link *l);

/* One network of the survey. */
typedef struct wlink_network {
    size_t size; /* sizeof(wlink_network), set by the caller */
    int channel;
    char bssid[32];
    char ssid[33];
    int signal; /* 0 to 100 */
} wlink_network;

/* "AT+SCAN" then "AT+CWIFISINALNUM": runs a survey, the number of strong networks kept. */
wlink_status wlink_survey(wlink_link *l, int *count);
/* "AT+CWIFISINGALSINGLEINFO=INDEX": one network of the last survey (0 to 31). */
wlink_status wlink_survey_get(wlink_link *l, int index, wlink_network *net);

typedef enum wlink_wps_state {
    WLINK_WPS_IDLE,
    WLINK_WPS_ACTIVE,
    WLINK_WPS_TIMED_OUT,
    WLINK_WPS_UNKNOWN
} wlink_wps_state;
/* "AT+WPS": starts a WPS run (the module gives it two minutes). */
wlink_status wlink_wps_start(wlink_link *l);
/* "AT+WPS=": the run's state. */
wlink_status wlink_wps_status(wlink_link *l, wlink_wps_state *state);

/* "AT+MAC": the module's hardware address ("02:11:22:33:44:55"). */
wlink_status wlink_mac(wlink_link *l, char *mac, size_t size);
/* "AT+VER": the installed firmware's version (0.0 before the first upgrade). */
wlink_status wlink_firmware_version(wlink_link *l, unsigned *major, unsigned *minor);
/* "AT+FLASHINFO": the sizes in bytes of the image partition (/dev/mtd5) and of the
 * application partition (/dev/mtd6). WLINK_ERR_REPLY from a module without it. */
wlink_status wlink_flash_info(wlink_link *l, uint64_t *image_size, uint64_t *app_size);

typedef enum wlink_upg_state {
    WLINK_UPG_STATE_NONE,        /* no upgrade runs, and none was cut short */
    WLINK_UPG_STATE_BUSY,        /* an upgrade's host is connected */
    WLINK_UPG_STATE_INTERRUPTED, /* an upgrade stopped while it wrote flash (a power cut, a
                                    failed write): the partitions may hold a half-written
                                    image while AT+VER names the old one; send the package
                                    again. Stays so until an upgrade succeeds. */
    WLINK_UPG_STATE_UNKNOWN      /* set when the call fails */
} wlink_upg_state;
/* "AT+UPGSTATE": whether an upgrade runs or was interrupted. WLINK_ERR_REPLY from a
 * module without it. */
wlink_status wlink_upgrade_state(wlink_link *l, wlink_upg_state *state);

/* Waits until the module answers on l again (after AT+REBOOT or any restart), for
 * at most timeout_ms, and restores a UDP link: the module forgets the allowed UDP
 * peer and the key when it restarts, so when l is a UDP link and serial an open
 * serial link, "AT+UKEY=" with l's key (when it has one) and "AT+UIP=" with this
 * host's address go over serial once the module answers there. Without serial, a UDP
 * link answers only once another program did that. */
wlink_status wlink_wait_ready(wlink_link *l, wlink_link *serial, int timeout_ms);
/* "AT+REBOOT" on l, then waits for the module to go away and wlink_wait_ready. */
wlink_status wlink_reboot(wlink_link *l, wlink_link *serial, int timeout_ms);

/* ---- upgrade packages ---------------------------------------------------- */

/* The module checks a package whole before it writes anything. */
typedef struct wlink_package_info {
    size_t size; /* sizeof(wlink_package_info), set by the caller: the library fills no more */
    /* version header (20 bytes, little-endian) */
    unsigned version_magic, major, minor;
    uint32_t image_len_field, app_len_field;
    /* image header (64 bytes, big-endian) */
    uint32_t magic, header_crc, time, image_size, load, entry, data_crc;
    unsigned os, arch, type, compression;
    char name[33];
    /* computed */
    uint32_t computed_header_crc, computed_data_crc;
    size_t image_len, app_len; /* the image's data bytes (its header not counted); what follows the image */
    int has_headers;           /* the package holds both headers */
    int is_bare_image;         /* the bytes are an image, not a package */
    int refused;               /* the module would refuse it */
    char reason[160];          /* the first refusal, stored and computed values named */
    /* the signature trailer (since 2.1): image_len and app_len never count it */
    int is_signed;       /* the package ends with a signature trailer */
    char board[32];      /* the board it was signed for ("" for any) */
    unsigned sign_flags; /* WLINK_SIGN_DOWNGRADE */
    uint8_t signer[32];  /* the public key the trailer names */
    int signature_holds; /* the signature holds for that key (whether the module
                            trusts the key is the module's key file's say) */
} wlink_package_info;

/* Fills info and returns WLINK_OK, or WLINK_BAD_PACKAGE when the module would
 * refuse the package (info->reason says why). WLINK_BAD_ARGUMENT when info->size
 * is 0. */
wlink_status wlink_package_check(const uint8_t *pkg, size_t len, wlink_package_info *info);

typedef struct wlink_image_params {
    size_t size;          /* sizeof(wlink_image_params), set by the caller */
    uint32_t load, entry; /* 0: 0x80000000 */
    uint32_t time;        /* 0: now */
    unsigned compression; /* 0 none, 1 gzip, 2 bzip2, 3 lzma, 4 lzo */
    const char *name;     /* at most 31 characters; null: "wlink firmware" */
} wlink_image_params;

/* A legacy image (MIPS, Linux, kernel) around data: 64 + n bytes into out. p may
 * be null (every default). */
wlink_status wlink_image_wrap(const wlink_image_params *p, const uint8_t *data, size_t n, uint8_t *out,
                              size_t out_size);
/* WLINK_OK when img is a whole legacy image whose magic, size and CRCs check. */
wlink_status wlink_image_check(const uint8_t *img, size_t n, char *why, size_t why_size);
/* Version header, image and application part: 20 + image_len + app_len bytes. */
wlink_status wlink_package_build(const uint8_t *image, size_t image_len, const uint8_t *app, size_t app_len,
                                 unsigned major, unsigned minor, uint8_t *out, size_t out_size);
uint32_t wlink_crc32(const uint8_t *p, size_t n);

/* ---- signed packages ------------------------------------------------------ */

/* A signed package is a package with a 140-byte trailer after its application part:
 *   0   board name, 32 bytes, NUL-padded (at most 31 printable characters; "" for any)
 *   32  flags: WLINK_SIGN_DOWNGRADE lets it replace a newer version; other bits 0
 *   33  format, 1
 *   34  two zero bytes
 *   36  the signer's Ed25519 public key, 32 bytes
 *   68  the Ed25519 signature of every byte of the package before it, 64 bytes
 *   132 "WLINKSIG"
 * A module with keys in /etc/wlinkcmd/upgrade.pub (one public key of 64 hex digits a
 * line) takes only packages signed with one of them, for its board when
 * /etc/wlinkcmd/board names one. The trailer is never written to flash. */
enum {
    WLINK_SIGN_TRAILER_SIZE = 140,
    WLINK_SIGN_PUBLIC_SIZE = 32,
    WLINK_SIGN_SECRET_SIZE = 64,
    WLINK_SIGN_DOWNGRADE = 1,
};
/* A fresh Ed25519 key pair from the system's random source. */
wlink_status wlink_sign_keygen(uint8_t pub[WLINK_SIGN_PUBLIC_SIZE], uint8_t secret[WLINK_SIGN_SECRET_SIZE]);
/* pkg (unsigned: a signed package is refused) and its trailer, len + 140 bytes, into
 * out. board may be null (any board); flags 0 or WLINK_SIGN_DOWNGRADE. */
wlink_status wlink_package_sign(const uint8_t *pkg, size_t len, const uint8_t secret[WLINK_SIGN_SECRET_SIZE],
                                const char *board, unsigned flags, uint8_t *out, size_t out_size);
/* WLINK_OK when pkg is signed and its signature holds for one of the n_keys public
 * keys at keys (32 bytes each); else WLINK_BAD_PACKAGE and why says what failed. */
wlink_status wlink_package_verify(const uint8_t *pkg, size_t len, const uint8_t *keys, size_t n_keys, char *why,
                                  size_t why_size);
/* 64 hex digits into a public key, 128 into a secret key (a line end after them
 * allowed): the forms of wlinkctl keygen's BASE.pub and BASE.key. */
wlink_status wlink_sign_key_parse(const char *hex, uint8_t *key, size_t key_size);

/* ---- upgrade -------------------------------------------------------------- */

typedef struct wlink_upgrade_options {
    size_t size;      /* sizeof(wlink_upgrade_options): wlink_upgrade_options_init sets it */
    const char *host; /* the module's address; null: the UDP link's host */
    uint16_t port;    /* 0: 9999 */
    int timeout_ms;   /* silence allowed after the package (300000); 0 or less is refused */
    int deadline_ms;  /* the whole upgrade, command to result; 0: none */
    int force;        /* send a package the module would refuse, skip the partition sizes */
    /* Called in the calling thread: the package's progress, and each beat while the
     * module writes flash (value 10, and 1 for the last). A non-zero return stops
     * the upgrade as wlink_cancel() does. */
    int (*progress)(void *ctx, size_t sent, size_t total);
    int (*heartbeat)(void *ctx, int value, int count);
    void *ctx;
} wlink_upgrade_options;

/* Every default: size set, timeout 300000 ms, no deadline, no callbacks. */
void wlink_upgrade_options_init(wlink_upgrade_options *o);

/* The whole upgrade: checks the package (unless force) and, when the module tells
 * them (AT+FLASHINFO), that each part fits its partition; sends
 * "AT+UPGRADE=9999 TOKEN" with a fresh random token, connects (again for a few
 * seconds while the port refuses or closes before answering), sends the request
 * and the package, reports the heartbeats and returns the result: WLINK_OK once
 * the module wrote the package, else the status of what failed. o may be null
 * (every default). */
wlink_status wlink_upgrade(wlink_link *l, const uint8_t *pkg, size_t len, const wlink_upgrade_options *o);
/* The same from a file. */
wlink_status wlink_upgrade_file(wlink_link *l, const char *path, const wlink_upgrade_options *o);
/* 1 when the last upgrade on the link ended (lost, timed out, cancelled, past its
 * deadline) after the module had the whole package but before its result: the
 * module may still be writing flash. 0 when flash was never at risk or the result
 * came. */
int wlink_upgrade_may_be_writing(const wlink_link *l);

/* ---- wire formats (for links of the caller's own) ------------------------- */

/* The frames of a text of up to 255 bytes: 16 bytes per started 12 (an empty
 * text is one frame). Returns the bytes written, 0 when out is too small. */
size_t wlink_frames_encode(const char *text, size_t len, uint8_t *out, size_t out_size);
/* A command datagram: 11 + len bytes; 0 when len > 127 or out is too small. */
size_t wlink_datagram_encode(uint8_t seq, const char *cmd, size_t len, uint8_t *out, size_t out_size);
/* A reply datagram of n bytes: WLINK_OK with its text (NUL-terminated) and
 * sequence byte, or WLINK_BAD_REPLY. */
wlink_status wlink_datagram_decode(const uint8_t *p, size_t n, uint8_t *seq, char *text, size_t size);
/* Low 8 bits of the sum of n bytes: the checksum of frames and datagrams. */
uint8_t wlink_sum8(const uint8_t *p, size_t n);

#ifdef __cplusplus
}
#endif

#endif
