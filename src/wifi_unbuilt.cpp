// Commands whose handlers are not built yet: each answers "+ERR".
#include <stdio.h>

#include "wifi_unbuilt.h"

#define WIFI_UNBUILT(name)                                    \
    WIFI_HANDLER(name) {                                      \
        (void)reply;                                          \
        (void)reply_size;                                     \
        if (cmd) printf("======%s======not built=====\n", #name); \
        return -1;                                            \
    }

// station commands
WIFI_UNBUILT(wifi_msg_proc_check_mactable_rsp)
WIFI_UNBUILT(wifi_msg_proc_get_client_num_rsp)
WIFI_UNBUILT(wifi_msg_proc_get_client_info_rsp)
WIFI_UNBUILT(wifi_msg_proc_get_client_ip_rsp)
WIFI_UNBUILT(wifi_msg_proc_get_phy_rsp)
WIFI_UNBUILT(wifi_msg_proc_get_mac)
WIFI_UNBUILT(wifi_msg_proc_get_per_rsp)
WIFI_UNBUILT(wifi_msg_proc_set_reset_counter)
WIFI_UNBUILT(wifi_msg_proc_get_client_retry_info_rsp)
// survey commands
WIFI_UNBUILT(wifi_msg_proc_scan_rsp)
WIFI_UNBUILT(wifi_msg_proc_get_wifi_signal_num_rsp)
WIFI_UNBUILT(wifi_msg_proc_get_wifi_singal_tableinfo_byindex_rsp)
WIFI_UNBUILT(wifi_msg_proc_get_sensitivity)
// access commands
WIFI_UNBUILT(wifi_msg_proc_get_wps_rsp)
WIFI_UNBUILT(wifi_msg_proc_set_wps_rsp)
WIFI_UNBUILT(wifi_msg_proc_set_ap_start)
WIFI_UNBUILT(wifi_msg_proc_set_igmp_rsp)
WIFI_UNBUILT(wifi_msg_proc_set_passwd_rsp)
WIFI_UNBUILT(wifi_msg_proc_close_ssh_rsp)
WIFI_UNBUILT(wifi_msg_proc_open_ssh_rsp)
