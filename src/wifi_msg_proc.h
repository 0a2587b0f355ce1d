// The command table, the dispatcher and what every handler shares.
#pragma once

#include <stdint.h>

// A handler: command text, reply buffer, reply size -> 0 on success, else non-zero.
typedef int (*wifi_msg_proc_fn)(const char *cmd, char *reply, int32_t reply_size);
#define WIFI_HANDLER(name) int name(const char *cmd, char *reply, int32_t reply_size)

struct wifi_msg_cmd_entry {
    char cmd[32];  // command prefix, NUL-terminated, zero-filled
    wifi_msg_proc_fn handler;
};

// The table, and its number of rows.
extern const wifi_msg_cmd_entry g_wifi_msg_cmd_table[];
extern const int32_t g_wifi_msg_cmd_num;

// Link buffer sizes.
enum {
    WIFI_CMD_BUF_SIZE = 128,    // a received command
    WIFI_REPLY_BUF_SIZE = 256,  // a reply
    WIFI_PARA_BUF_SIZE = 128,   // a command's parameter
};

// Where the command being handled came from: its link and, for UDP, the sender's
// IPv4 address (network byte order). Each link's thread sets it before it dispatches;
// a thread that never did counts as the serial line.
enum wifi_cmd_link { WIFI_CMD_SERIAL = 0, WIFI_CMD_UDP = 1 };
struct wifi_cmd_origin {
    wifi_cmd_link link;
    uint32_t addr;
};
void wifi_msg_set_origin(wifi_cmd_link link, uint32_t addr);
// The command as the log shows it: a key stays out of it.
const char *wifi_msg_log_text(const char *cmd);
wifi_cmd_origin wifi_msg_origin();

// Runs one command; one command at a time, whichever link it came on (the heartbeat
// excepted: it is answered at once).
int wifi_msg_proc_distribute(const char *cmd, char *reply, int32_t reply_size);
// A handler's wait of `ms` during which the other link's commands are served: the
// handler must not rely on shared state (tables, files) staying as it was across it.
void wifi_msg_proc_wait_ms(unsigned ms);
int wifi_msg_proc_heart_rsp(const char *cmd, char *reply, int32_t reply_size);
int wifi_msg_get_cmd_para(const char *cmd, char *para, int32_t para_size);

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
