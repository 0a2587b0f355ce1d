// WPS, AP start, IGMP snooping, root password and SSH server commands.
#pragma once

#include "wifi_msg_proc.h"

WIFI_HANDLER(wifi_msg_proc_set_wps_rsp);
WIFI_HANDLER(wifi_msg_proc_get_wps_rsp);
WIFI_HANDLER(wifi_msg_proc_set_ap_start);
WIFI_HANDLER(wifi_msg_proc_set_igmp_rsp);
WIFI_HANDLER(wifi_msg_proc_set_passwd_rsp);
WIFI_HANDLER(wifi_msg_proc_close_ssh_rsp);
WIFI_HANDLER(wifi_msg_proc_open_ssh_rsp);

// Forgets the WPS run (as at start).
void wifi_access_reset(void);
