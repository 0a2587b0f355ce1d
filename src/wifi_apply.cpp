// Apply, restore and reboot.
#include <arpa/inet.h>
#include <stdio.h>
#include <string.h>

#include "wifi_apply.h"
#include "wifi_netif.h"
#include "wifi_platform.h"
#include "wifi_profile.h"
#include "wifi_util.h"

wifi_cfg_pending g_cfg_pending;

void wifi_clear_cfg_pending() { memset(&g_cfg_pending, 0, sizeof(g_cfg_pending)); }

static const char kWifiIf[] = "ra0";
static const char kLanIf[] = "br0";

// Applies what is pending. A step that fails stays pending, so that the host's next
// "AT+ENCFG" tries it again, and the answer is "+ERR" once the other steps are done.
WIFI_HANDLER(wifi_msg_proc_encfg_rsp) {
    if (!wifi_args_ok(cmd, reply, reply_size)) return -1;
    wifi_cfg_pending failed;
    memset(&failed, 0, sizeof(failed));

    if (g_cfg_pending.wifi_changed) {
        char sw[64];
        memset(sw, 0, sizeof(sw));
        if (wifi_get_profile_value("WifiSwitch", sw, sizeof(sw)) != 0) return -1;
        if (strstr(sw, "OFF") != nullptr) {
            printf("========close wifi========\n");
            if (wifi_set_if_flags(kWifiIf, "down") != 0) {
                printf("==============close wifi fail===============\n");
                failed.wifi_changed = 1;
            }
        } else {
            printf("========restart wifi========\n");
            if (wifi_set_if_flags(kWifiIf, "down") != 0) printf("==============close wifi fail===============\n");
            if (wifi_set_if_flags(kWifiIf, "up") != 0) {
                printf("==============open wifi fail===============\n");
                failed.wifi_changed = 1;
            }
        }
    }

    if (g_cfg_pending.lan_ip_changed) {
        char lan[32];
        memset(lan, 0, sizeof(lan));
        if (wifi_get_profile_value("LanIpaddr", lan, sizeof(lan)) != 0) return -1;
        uint32_t addr = 0, mask = 0;
        inet_pton(AF_INET, "255.255.255.0", &mask);
        // An address that does not convert would put 0.0.0.0 on the bridge.
        if (inet_pton(AF_INET, lan, &addr) != 1 || wifi_set_if_addr(kLanIf, &addr, &mask) != 0) {
            printf("==============set lan ip fail===============\n");
            failed.lan_ip_changed = 1;
        }
    }

    if (g_cfg_pending.dhcp_changed) {
        // Stopping a service that was not running may fail; only the start counts.
        wifi_plat().run_op(WIFI_OP_DHCP_STOP);
        if (wifi_plat().run_op(WIFI_OP_DHCP_START) != 0) {
            printf("==============dhcp start fail===============\n");
            failed.dhcp_changed = 1;
        }
    }

    g_cfg_pending = failed;
    if (failed.wifi_changed || failed.lan_ip_changed || failed.dhcp_changed) return -1;
    return wifi_reply_ok(__func__, cmd, reply, reply_size);
}

WIFI_HANDLER(wifi_msg_proc_restore_rsp) {
    if (!wifi_args_ok(cmd, reply, reply_size)) return -1;
    // The factory copy takes the profile's place whole, as every profile change does:
    // a copy over the live file could leave it empty or cut at a power cut.
    if (wifi_copy_file(WIFI_FACTORY_PROFILE_PATH, WIFI_PROFILE_PATH, WIFI_PROFILE_TMP_PATH) != 0) {
        printf("======restore of the factory profile failed======\n");
        return -1;
    }
    return wifi_reply_ok(__func__, cmd, reply, reply_size);
}

WIFI_HANDLER(wifi_msg_proc_reboot_rsp) {
    if (!wifi_args_ok(cmd, reply, reply_size)) return -1;
    wifi_reply_ok(__func__, cmd, reply, reply_size);
    if (wifi_plat().run_op(WIFI_OP_REBOOT) != 0) return -1;
    return 0;
}
