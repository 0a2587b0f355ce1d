// wlinkcmd: shared types, process-wide state and the routines the modules share.
#pragma once

#include <stddef.h>
#include <stdint.h>
#include <stdio.h>

// ---------------------------------------------------------------------------
// Command handlers and the command table
// ---------------------------------------------------------------------------

// A handler: command text, reply buffer, reply size -> 0 on success, else non-zero.
typedef int (*wifi_msg_proc_fn)(const char *cmd, char *reply, int32_t reply_size);

struct wifi_msg_cmd_entry {
    char cmd[32];              // command prefix, NUL-terminated, zero-filled
    wifi_msg_proc_fn handler;
};

enum { WIFI_MSG_CMD_ROWS = 57 };
extern const wifi_msg_cmd_entry g_wifi_msg_cmd_table[WIFI_MSG_CMD_ROWS];
extern const int32_t g_wifi_msg_cmd_num;

// Link buffer sizes.
enum {
    WIFI_CMD_BUF_SIZE = 128,    // a received command
    WIFI_REPLY_BUF_SIZE = 256,  // a reply
    WIFI_PARA_BUF_SIZE = 128,   // a command's parameter
};

int wifi_msg_proc_distribute(const char *cmd, char *reply, int32_t reply_size);
int wifi_msg_proc_heart_rsp(const char *cmd, char *reply, int32_t reply_size);
int wifi_msg_get_cmd_para(const char *cmd, char *para, int32_t para_size);

// Shared reply/log helpers used by the handlers.
// "+OK" (bounded) and the setter's success line.
int wifi_reply_ok(const char *fn, const char *cmd, char *reply, int32_t reply_size);
// "+OK=" + value (bounded) and the query's success line with the whole reply.
int wifi_reply_val(const char *fn, const char *cmd, char *reply, int32_t reply_size, const char *val);
// The two success lines alone, for handlers whose reply is made otherwise.
void wifi_log_ok(const char *fn, const char *cmd);
void wifi_log_val(const char *fn, const char *cmd, const char *val);
// True when the three handler arguments are usable.
bool wifi_args_ok(const char *cmd, const char *reply, int32_t reply_size);
// Checks the handler arguments and takes the parameter into a zero-filled buffer of
// WIFI_PARA_BUF_SIZE bytes; 0, or -1 (bad arguments, no '=').
int wifi_take_para(const char *cmd, char *reply, int32_t reply_size, char *para);

// ---------------------------------------------------------------------------
// Process-wide state held in memory only
// ---------------------------------------------------------------------------

struct wifi_cfg_pending {
    uint32_t wifi_changed;    // stop or restart the radio
    uint32_t dhcp_changed;    // restart the DHCP service
    uint32_t lan_ip_changed;  // set the LAN address of br0
};
extern wifi_cfg_pending g_cfg_pending;
void wifi_clear_cfg_pending();

enum { WIFI_UDP_SRC_IP_SIZE = 32 };
extern char szUdpSrcIP[WIFI_UDP_SRC_IP_SIZE];
int wifi_get_udp_src_ipaddr(char *buf, int32_t size);
// The allowed peer is written and read only through these, under their own lock.
void wifi_set_udp_src_ipaddr(const char *ip);  // cut to 31 characters
void wifi_read_udp_src_ipaddr(char *buf, size_t size);

// ---------------------------------------------------------------------------
// Module files and fixed command lines
// ---------------------------------------------------------------------------

#define WIFI_PROFILE_PATH "/config/mt7628.dat"
#define WIFI_PROFILE_TMP_PATH "/config/mt7628_tmp.dat"
#define WIFI_FACTORY_PROFILE_PATH "/etc/wireless/mt7628/mt7628.dat"
#define WIFI_DHCP_CFG_PATH "/etc/udhcpd.conf"
#define WIFI_DHCP_CFG_TMP_PATH "/etc/udhcpd_tmp.conf"
#define WIFI_DHCP_LEASES_PATH "/tmp/udhcpd.leases"
#define WIFI_UART_DEV "/dev/ttyS0"
#define WIFI_UDP_PORT 8888
#define WIFI_UPGRADE_PORT 9999

// ---------------------------------------------------------------------------
// Utilities
// ---------------------------------------------------------------------------

int wifi_shell_exec(const char *cmd, char *out, int32_t out_size);
int wifi_str_tolower(char *text);
// Runs a fixed command line through the shell and waits for it; the status is returned
// for logging, callers do not act on it.
int wifi_shell_run(const char *cmdline);

// Bounded copy that always terminates and zero-fills the rest (size >= 1).
void wifi_strlcpy_zero(char *dst, const char *src, size_t size);

// ---------------------------------------------------------------------------
// Profile store
// ---------------------------------------------------------------------------

int wifi_set_profile_value(const char *key, const char *value);
int wifi_get_profile_value(const char *key, char *out, int32_t out_size);

// A file rewritten through a temporary file in the same folder: every line read
// from `path` goes through `edit`, which writes the line (changed or not) to `out`.
// The temporary file is flushed and synced before it is renamed over `path`.
// Returns 0, or -1 when a file could not be opened, `edit` failed, or the write or
// rename failed; on failure `path` keeps its old content and the temporary file
// is removed.
struct wifi_line_editor {
    // `line` holds `len` bytes (a stray NUL byte among them is kept) and a terminator.
    // Returns 0, or -1 to abandon the rewrite.
    virtual int edit(const char *line, size_t len, FILE *out) = 0;
  protected:
    ~wifi_line_editor() = default;
};
int wifi_rewrite_file(const char *module_path, const char *module_tmp_path, wifi_line_editor &ed);
// Writes a line unchanged; 0 or -1.
int wifi_copy_line(const char *line, size_t len, FILE *out);

// A value that may be written as one line of a configuration file.
bool wifi_value_is_one_line(const char *value);

// ---------------------------------------------------------------------------
// Links and start-up
// ---------------------------------------------------------------------------

int wifi_daemon_main();  // banner, link threads, sleeps for ever

void *wifi_uart_comm_task(void *arg);
void *wifi_udp_comm_task(void *arg);

// Serial port.
extern int g_uart_fd;
int wifi_uart_open();
int wifi_uart_init();
int wifi_uart_set_speed(int fd, int rate);
int wifi_uart_set_parity(int fd, int databits, int stopbits, int parity);
int wifi_uart_write(const uint8_t *buf, size_t len);
int wifi_uart_read(uint8_t *buf, size_t len);
uint8_t wifi_uart_checksum(const uint8_t *buf, size_t len);

// Serial link.
enum { WIFI_UART_FRAME_SIZE = 16, WIFI_UART_CHUNK = 12 };
int wifi_uart_recv_msg(char *buf, int32_t *len);
void wifi_uart_send_msg(const char *text, size_t len);
// Checks a received frame: 0 when it is good and within the command buffer, else -1.
int wifi_uart_frame_check(const uint8_t frame[WIFI_UART_FRAME_SIZE]);

// UDP link.
extern int g_udp_sockfd;
extern int32_t g_seq;
int wifi_udp_recv_msg(char *buf, int32_t size);
int qel_data_boot_send_udp(const char *text, int32_t len);
uint8_t wifi_udp_checksum(const uint8_t *buf, size_t len);
// Parses one command datagram as received into a 256-byte buffer. On success copies
// the payload (NUL-terminated) into `payload` (256 bytes) and returns 0; returns -1
// for a wrong magic or checksum or a length the buffer cannot hold. *seq is set as
// soon as the magic is good.
enum { WIFI_UDP_BUF_SIZE = 256, WIFI_UDP_MAX_REPLY = WIFI_UDP_BUF_SIZE - 11 };
int wifi_udp_parse_cmd(const uint8_t *dgram, int32_t *seq, char *payload);
// Builds a reply datagram into `out` (256 bytes); returns its length.
size_t wifi_udp_build_reply(int32_t seq, const char *text, uint8_t *out);

// ---------------------------------------------------------------------------
// Handlers (the command table's rows)
// ---------------------------------------------------------------------------

#define WIFI_HANDLER(name) int name(const char *cmd, char *reply, int32_t reply_size)
WIFI_HANDLER(wifi_msg_proc_check_mactable_rsp);
WIFI_HANDLER(wifi_msg_proc_restore_rsp);
WIFI_HANDLER(wifi_msg_proc_reboot_rsp);
WIFI_HANDLER(wifi_msg_proc_get_ver_rsp);
WIFI_HANDLER(wifi_msg_proc_set_ssid_rsp);
WIFI_HANDLER(wifi_msg_proc_get_ssid_rsp);
WIFI_HANDLER(wifi_msg_proc_set_udp_src_rsp);
WIFI_HANDLER(wifi_msg_proc_get_udp_src_rsp);
WIFI_HANDLER(wifi_msg_proc_set_lan_ip_rsp);
WIFI_HANDLER(wifi_msg_proc_get_lan_ip_rsp);
WIFI_HANDLER(wifi_msg_proc_set_pskey_rsp);
WIFI_HANDLER(wifi_msg_proc_get_pskey_rsp);
WIFI_HANDLER(wifi_msg_proc_get_current_channel_rsp);
WIFI_HANDLER(wifi_msg_proc_set_channel_rsp);
WIFI_HANDLER(wifi_msg_proc_get_channel_rsp);
WIFI_HANDLER(wifi_msg_proc_set_auth_rsp);
WIFI_HANDLER(wifi_msg_proc_get_auth_rsp);
WIFI_HANDLER(wifi_msg_proc_set_encrypt_rsp);
WIFI_HANDLER(wifi_msg_proc_get_encrypt_rsp);
WIFI_HANDLER(wifi_msg_proc_close_dhcp_rsp);
WIFI_HANDLER(wifi_msg_proc_set_dhcp_rsp);
WIFI_HANDLER(wifi_msg_proc_get_dhcp_rsp);
WIFI_HANDLER(wifi_msg_proc_get_port_rsp);
WIFI_HANDLER(wifi_msg_proc_get_wps_rsp);
WIFI_HANDLER(wifi_msg_proc_set_wps_rsp);
WIFI_HANDLER(wifi_msg_proc_get_client_num_rsp);
WIFI_HANDLER(wifi_msg_proc_get_client_info_rsp);
WIFI_HANDLER(wifi_msg_proc_get_wifi_signal_num_rsp);
WIFI_HANDLER(wifi_msg_proc_get_wifi_singal_tableinfo_byindex_rsp);
WIFI_HANDLER(wifi_msg_proc_get_client_ip_rsp);
WIFI_HANDLER(wifi_msg_proc_get_phy_rsp);
WIFI_HANDLER(wifi_msg_proc_set_wifi_rsp);
WIFI_HANDLER(wifi_msg_proc_get_wifi_rsp);
WIFI_HANDLER(wifi_msg_proc_set_htmode_rsp);
WIFI_HANDLER(wifi_msg_proc_get_htmode_rsp);
WIFI_HANDLER(wifi_msg_proc_set_region_rsp);
WIFI_HANDLER(wifi_msg_proc_get_region_rsp);
WIFI_HANDLER(wifi_msg_proc_set_txpower_rsp);
WIFI_HANDLER(wifi_msg_proc_get_txpower_rsp);
WIFI_HANDLER(wifi_msg_proc_clear_vlan_rsp);
WIFI_HANDLER(wifi_msg_proc_set_vlan_rsp);
WIFI_HANDLER(wifi_msg_proc_get_vlan_rsp);
WIFI_HANDLER(wifi_msg_proc_scan_rsp);
WIFI_HANDLER(wifi_msg_proc_encfg_rsp);
WIFI_HANDLER(wifi_msg_proc_set_passwd_rsp);
WIFI_HANDLER(wifi_msg_proc_upgrade_wifi_rsp);
WIFI_HANDLER(wifi_msg_proc_close_ssh_rsp);
WIFI_HANDLER(wifi_msg_proc_open_ssh_rsp);
WIFI_HANDLER(wifi_msg_proc_set_maxassoc_rsp);
WIFI_HANDLER(wifi_msg_proc_get_maxassoc_rsp);
WIFI_HANDLER(wifi_msg_proc_set_ap_start);
WIFI_HANDLER(wifi_msg_proc_get_mac);
WIFI_HANDLER(wifi_msg_proc_get_sensitivity);
WIFI_HANDLER(wifi_msg_proc_get_per_rsp);
WIFI_HANDLER(wifi_msg_proc_set_reset_counter);
WIFI_HANDLER(wifi_msg_proc_get_client_retry_info_rsp);
WIFI_HANDLER(wifi_msg_proc_set_igmp_rsp);

// ---------------------------------------------------------------------------
// Interfaces, DHCP configuration, wireless driver
// ---------------------------------------------------------------------------

int wifi_set_if_addr(const char *name, const uint32_t *addr, const uint32_t *mask);
int wifi_set_if_flags(const char *name, const char *flag);
int wifi_modify_dhcp_cfg(const char *key, const char *value);
int iwconfig_get_current_channel(char *out, unsigned size);
