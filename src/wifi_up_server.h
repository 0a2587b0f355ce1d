// The upgrade command and its one-shot exchange server on the upgrade port.
#pragma once

#include <stdint.h>

#include "wifi_msg_proc.h"

enum {
    WIFI_UPGRADE_TOKEN_LEN = 64,
    WIFI_UPGRADE_REQ_LEN = 68,  // request header: length (big-endian) and token
    WIFI_UPGRADE_PASSWD_ERR = 1,
    WIFI_UPGRADE_PASSWD_OK = 3,
};

// The upgrade parameters of one command.
struct struUpHeader {
    int32_t port;                           // as given in the command; only logged
    char szrandom[WIFI_UPGRADE_TOKEN_LEN];  // the token, zero-filled, not always terminated
};

// The exchange on an accepted connection: 0 when the upgrade succeeded and the result
// was sent, -1 otherwise.
int netClientSoftUpgrade(int fd);

WIFI_HANDLER(wifi_msg_proc_upgrade_wifi_rsp);
// "AT+FLASHINFO": the sizes of the two partitions an upgrade writes, in bytes,
// "+OK=IMAGE,APPLICATION", as the upgrade's own checks measure them.
WIFI_HANDLER(wifi_msg_proc_get_flash_info_rsp);
// "AT+UPGSTATE": "+OK=busy" while an upgrade's host is connected, "+OK=interrupted"
// while the mark of an upgrade that did not end is on /config (flash may hold a
// half-written image), else "+OK=none".
WIFI_HANDLER(wifi_msg_proc_get_upgrade_state_rsp);
