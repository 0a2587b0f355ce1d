/* libwlink: the host side of the Wi-Fi module's command links and its upgrade.
 *
 * A link is a serial port (16-byte checksummed frames, 115200 8N1 raw) or a UDP
 * peer (datagrams to port 8888). Over it go "AT+" commands; each gets one reply,
 * "+OK", "+OK=" and a value, or "+ERR". The library numbers, checks, times out
 * and retries in one place and tells each outcome apart by its status.
 *
 * C99, usable from C and C++. Nothing here allocates behind the caller's back
 * except the link itself; no function keeps a pointer it was given (other than
 * the trace callback's context). A link is used by one thread at a time.
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

#ifdef __cplusplus
extern "C" {
#endif

#define WLINK_VERSION "1.0.0"

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
    WLINK_DEFAULT_PACE_MS = 15
};

typedef enum wlink_status {
    WLINK_OK = 0,           /* the command was answered ("+OK" or "+OK=value") */
    WLINK_ERR_REPLY,        /* the module answered "+ERR" */
    WLINK_NO_REPLY,         /* no reply within the time limit, after every retry */
    WLINK_BAD_REPLY,        /* a reply that cannot answer the command sent */
    WLINK_LINK_ERROR,       /* the port or socket failed (read, write, hang-up) */
    WLINK_UNREACHABLE,      /* UDP: the host said nothing listens on that port */
    WLINK_PORT_BUSY,        /* the serial port is held by another program */
    WLINK_OPEN_FAILED,      /* no such port, not a serial port, host not found */
    WLINK_BAD_ARGUMENT,     /* empty or too long command, null pointer, small buffer */
    WLINK_BAD_VALUE,        /* a setting's value the module would not take */
    WLINK_BAD_PACKAGE,      /* an upgrade package the module would refuse */
    WLINK_UPG_CONNECT,      /* the upgrade port could not be reached */
    WLINK_UPG_WRONG_TOKEN,  /* the module refused the upgrade's token */
    WLINK_UPG_REFUSED,      /* the module's result: package refused or flash failed */
    WLINK_UPG_LOST,         /* the upgrade connection ended before the result */
    WLINK_UPG_TIMEOUT,      /* the module said nothing for the upgrade's time limit */
    WLINK_UPG_PROTOCOL      /* a message the upgrade exchange does not know */
} wlink_status;

/* A short English phrase for a status ("no reply", "port busy", ...). */
const char *wlink_status_text(wlink_status s);

typedef struct wlink_link wlink_link;

/* Opens a serial port for this process alone (TIOCEXCL and an exclusive flock):
 * WLINK_PORT_BUSY when another program holds it. wlink_close gives it back. A
 * pseudo-terminal whose other end stays open keeps TIOCEXCL past a process that
 * ended without wlink_close (other users than root then get "busy"): a signal
 * handler may call ioctl(wlink_fd(l), TIOCNXCL), which is async-signal-safe. */
wlink_status wlink_open_serial(const char *device, wlink_link **out);
/* host: IPv4 address or name; port 0 means 8888. ICMP "port unreachable" answers
 * surface as WLINK_UNREACHABLE at the next command. */
wlink_status wlink_open_udp(const char *host, uint16_t port, wlink_link **out);
void wlink_close(wlink_link *l);
/* 1 for a serial link, 0 for UDP. */
int wlink_is_serial(const wlink_link *l);
/* The link's descriptor (the serial port or the connected UDP socket), or -1. */
int wlink_fd(const wlink_link *l);
/* What went wrong last, in words (never null; "" after success). */
const char *wlink_last_error(const wlink_link *l);

/* Time limit of one try (default 2000 ms), UDP re-sends after a silent try
 * (default 2), serial gap between the frames of a command (default 15 ms). */
void wlink_set_timeout(wlink_link *l, int ms);
void wlink_set_retries(wlink_link *l, int retries);
void wlink_set_pace(wlink_link *l, int ms);

/* Every frame or datagram sent or received, and the upgrade's request and
 * messages, go to the trace callback as they pass. */
typedef enum wlink_trace_kind {
    WLINK_TRACE_FRAME,     /* 16 bytes on the serial line */
    WLINK_TRACE_DATAGRAM,  /* one UDP datagram */
    WLINK_TRACE_JUNK,      /* serial bytes that were no good frame: n of them, the first 64 given */
    WLINK_TRACE_UPGRADE,   /* the 68-byte upgrade request or an 8-byte message */
    WLINK_TRACE_PACKAGE    /* package bytes sent (n only) */
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
 * answer, and its text goes to the last error. */
wlink_status wlink_command(wlink_link *l, const char *cmd, char *reply, size_t reply_size);

/* 1 when the module knows the command (its table's first-prefix rule), else 0. */
int wlink_command_known(const char *cmd);

/* ---- radio and LAN settings ---------------------------------------------- */

typedef enum wlink_setting {
    WLINK_SSID, WLINK_KEY, WLINK_CHANNEL, WLINK_CURRENT_CHANNEL, WLINK_AUTH,
    WLINK_ENCRYPTION, WLINK_WIFI, WLINK_HTMODE, WLINK_COUNTRY, WLINK_TXPOWER,
    WLINK_STANUM, WLINK_LANIP, WLINK_UDP_PEER, WLINK_DHCP, WLINK_VLAN, WLINK_PORTS,
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
 * (may be null). With force, any value that fits the command is taken as it is. */
wlink_status wlink_setting_command(wlink_setting s, const char *value, int force, char *cmd, size_t cmd_size,
                                   char *why, size_t why_size);
/* "AT+ENCFG": applies what the setters wrote. */
wlink_status wlink_apply(wlink_link *l);

/* ---- upgrade packages ---------------------------------------------------- */

/* The module checks a package whole before it writes anything. */
typedef struct wlink_package_info {
    /* version header (20 bytes, little-endian) */
    unsigned version_magic, major, minor;
    uint32_t image_len_field, app_len_field;
    /* image header (64 bytes, big-endian) */
    uint32_t magic, header_crc, time, size, load, entry, data_crc;
    unsigned os, arch, type, compression;
    char name[33];
    /* computed */
    uint32_t computed_header_crc, computed_data_crc;
    size_t image_len, app_len; /* app_len: what follows the image */
    int has_headers;           /* the package holds both headers */
    int is_bare_image;         /* the bytes are an image, not a package */
    int refused;               /* the module would refuse it */
    char reason[160];          /* the first refusal, stored and computed values named */
} wlink_package_info;

/* Fills info and returns WLINK_OK, or WLINK_BAD_PACKAGE when the module would
 * refuse the package (info->reason says why). */
wlink_status wlink_package_check(const uint8_t *pkg, size_t len, wlink_package_info *info);

typedef struct wlink_image_params {
    uint32_t load, entry;     /* 0: 0x80000000 */
    uint32_t time;            /* 0: now */
    unsigned compression;     /* 0 none, 1 gzip, 2 bzip2, 3 lzma, 4 lzo */
    const char *name;         /* at most 31 characters; null: "wlink firmware" */
} wlink_image_params;

/* A legacy image (MIPS, Linux, kernel) around data: 64 + n bytes into out. */
wlink_status wlink_image_wrap(const wlink_image_params *p, const uint8_t *data, size_t n, uint8_t *out,
                              size_t out_size);
/* WLINK_OK when img is a whole legacy image whose magic, size and CRCs check. */
wlink_status wlink_image_check(const uint8_t *img, size_t n, char *why, size_t why_size);
/* Version header, image and application part: 20 + image_len + app_len bytes. */
wlink_status wlink_package_build(const uint8_t *image, size_t image_len, const uint8_t *app, size_t app_len,
                                 unsigned major, unsigned minor, uint8_t *out, size_t out_size);
uint32_t wlink_crc32(const uint8_t *p, size_t n);

/* ---- upgrade -------------------------------------------------------------- */

typedef struct wlink_upgrade_options {
    const char *host;    /* the module's address; null: the UDP link's host */
    uint16_t port;       /* 0: 9999 */
    int timeout_ms;      /* silence allowed after the package; 0: 300000 */
    int force;           /* send a package the module would refuse */
    void (*progress)(void *ctx, size_t sent, size_t total);
    /* each beat while the module writes flash: value 10, and 1 for the last */
    void (*heartbeat)(void *ctx, int value, int count);
    void *ctx;
} wlink_upgrade_options;

/* The whole upgrade: checks the package (unless force), sends
 * "AT+UPGRADE=9999 TOKEN" with a fresh random token, connects (again for a few
 * seconds while the port refuses or closes before answering), sends the request
 * and the package, reports the heartbeats and returns the result: WLINK_OK once
 * the module wrote the package, else the status of what failed. */
wlink_status wlink_upgrade(wlink_link *l, const uint8_t *pkg, size_t len, const wlink_upgrade_options *o);
/* The same from a file. */
wlink_status wlink_upgrade_file(wlink_link *l, const char *path, const wlink_upgrade_options *o);

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
