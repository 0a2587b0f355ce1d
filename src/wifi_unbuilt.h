// Commands whose handlers are not built yet: each answers "+ERR".
#pragma once

#include "wifi_msg_proc.h"

WIFI_HANDLER(wifi_msg_proc_check_mactable_rsp);
WIFI_HANDLER(wifi_msg_proc_get_client_num_rsp);
WIFI_HANDLER(wifi_msg_proc_get_client_info_rsp);
WIFI_HANDLER(wifi_msg_proc_get_client_ip_rsp);
WIFI_HANDLER(wifi_msg_proc_get_phy_rsp);
WIFI_HANDLER(wifi_msg_proc_get_mac);
WIFI_HANDLER(wifi_msg_proc_get_per_rsp);
WIFI_HANDLER(wifi_msg_proc_set_reset_counter);
WIFI_HANDLER(wifi_msg_proc_get_client_retry_info_rsp);
WIFI_HANDLER(wifi_msg_proc_scan_rsp);
WIFI_HANDLER(wifi_msg_proc_get_wifi_signal_num_rsp);
WIFI_HANDLER(wifi_msg_proc_get_wifi_singal_tableinfo_byindex_rsp);
WIFI_HANDLER(wifi_msg_proc_get_sensitivity);
WIFI_HANDLER(wifi_msg_proc_get_wps_rsp);
WIFI_HANDLER(wifi_msg_proc_set_wps_rsp);
WIFI_HANDLER(wifi_msg_proc_set_ap_start);
WIFI_HANDLER(wifi_msg_proc_set_igmp_rsp);
WIFI_HANDLER(wifi_msg_proc_set_passwd_rsp);
WIFI_HANDLER(wifi_msg_proc_close_ssh_rsp);
WIFI_HANDLER(wifi_msg_proc_open_ssh_rsp);
