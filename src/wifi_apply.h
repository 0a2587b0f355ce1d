// Apply, restore and reboot, and the record of what is still to be applied.
#pragma once

#include <stdint.h>

#include "wifi_msg_proc.h"

#define WIFI_FACTORY_PROFILE_PATH "/etc/wireless/mt7628/mt7628.dat"

struct wifi_cfg_pending {
    uint32_t wifi_changed;    // stop or restart the radio
    uint32_t dhcp_changed;    // restart the DHCP service
    uint32_t lan_ip_changed;  // set the LAN address of br0
};
extern wifi_cfg_pending g_cfg_pending;
void wifi_clear_cfg_pending();

WIFI_HANDLER(wifi_msg_proc_encfg_rsp);
WIFI_HANDLER(wifi_msg_proc_restore_rsp);
WIFI_HANDLER(wifi_msg_proc_reboot_rsp);
