// Radio profile commands.
#pragma once

#include "wifi_msg_proc.h"

WIFI_HANDLER(wifi_msg_proc_set_ssid_rsp);
WIFI_HANDLER(wifi_msg_proc_get_ssid_rsp);
WIFI_HANDLER(wifi_msg_proc_set_pskey_rsp);
WIFI_HANDLER(wifi_msg_proc_get_pskey_rsp);
WIFI_HANDLER(wifi_msg_proc_get_current_channel_rsp);
WIFI_HANDLER(wifi_msg_proc_set_channel_rsp);
WIFI_HANDLER(wifi_msg_proc_get_channel_rsp);
WIFI_HANDLER(wifi_msg_proc_set_auth_rsp);
WIFI_HANDLER(wifi_msg_proc_get_auth_rsp);
WIFI_HANDLER(wifi_msg_proc_set_encrypt_rsp);
WIFI_HANDLER(wifi_msg_proc_get_encrypt_rsp);
WIFI_HANDLER(wifi_msg_proc_set_wifi_rsp);
WIFI_HANDLER(wifi_msg_proc_get_wifi_rsp);
WIFI_HANDLER(wifi_msg_proc_set_htmode_rsp);
WIFI_HANDLER(wifi_msg_proc_get_htmode_rsp);
WIFI_HANDLER(wifi_msg_proc_set_region_rsp);
WIFI_HANDLER(wifi_msg_proc_get_region_rsp);
WIFI_HANDLER(wifi_msg_proc_set_txpower_rsp);
WIFI_HANDLER(wifi_msg_proc_get_txpower_rsp);
WIFI_HANDLER(wifi_msg_proc_set_maxassoc_rsp);
WIFI_HANDLER(wifi_msg_proc_get_maxassoc_rsp);
