// The DHCP server's configuration: pool start and end, router, lease time.
#pragma once

#include <stddef.h>

#include "wifi_rewrite.h"

#define WIFI_DHCP_CFG_PATH "/etc/udhcpd.conf"
#define WIFI_DHCP_CFG_TMP_PATH "/etc/udhcpd_tmp.conf"

int wifi_modify_dhcp_cfg(const char *key, const char *value);
// Several keys in one rewrite, as wifi_set_profile_values.
int wifi_modify_dhcp_cfg_values(const wifi_kv *kv, size_t n);
