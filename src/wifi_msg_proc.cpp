// The command dispatcher and its table.
#include <pthread.h>
#include <stdio.h>
#include <string.h>

#include "wifi_access.h"
#include "wifi_apply.h"
#include "wifi_fw_header.h"
#include "wifi_lan.h"
#include "wifi_msg_proc.h"
#include "wifi_platform.h"
#include "wifi_radio.h"
#include "wifi_station.h"
#include "wifi_survey.h"
#include "wifi_up_server.h"
#include "wifi_util.h"

// Row order is part of the protocol: the first row whose text is a prefix of the
// command wins, so every "X=" row stands ahead of its bare "X" row.
const wifi_msg_cmd_entry g_wifi_msg_cmd_table[] = {
    {"AT+STAONLINECHECK", wifi_msg_proc_check_mactable_rsp},
    {"AT+RESTORE", wifi_msg_proc_restore_rsp},
    {"AT+REBOOT", wifi_msg_proc_reboot_rsp},
    {"AT+VER", wifi_msg_proc_get_ver_rsp},
    {"AT+SSID=", wifi_msg_proc_set_ssid_rsp},
    {"AT+SSID", wifi_msg_proc_get_ssid_rsp},
    {"AT+UIP=", wifi_msg_proc_set_udp_src_rsp},
    {"AT+UIP", wifi_msg_proc_get_udp_src_rsp},
    {"AT+LANIP=", wifi_msg_proc_set_lan_ip_rsp},
    {"AT+LANIP", wifi_msg_proc_get_lan_ip_rsp},
    {"AT+KEY=", wifi_msg_proc_set_pskey_rsp},
    {"AT+KEY", wifi_msg_proc_get_pskey_rsp},
    {"AT+CHANNEL!=", wifi_msg_proc_get_current_channel_rsp},
    {"AT+CHANNEL=", wifi_msg_proc_set_channel_rsp},
    {"AT+CHANNEL", wifi_msg_proc_get_channel_rsp},
    {"AT+AUTH=", wifi_msg_proc_set_auth_rsp},
    {"AT+AUTH", wifi_msg_proc_get_auth_rsp},
    {"AT+ENCRY=", wifi_msg_proc_set_encrypt_rsp},
    {"AT+ENCRY", wifi_msg_proc_get_encrypt_rsp},
    {"AT+DHCP=OFF", wifi_msg_proc_close_dhcp_rsp},
    {"AT+DHCP=", wifi_msg_proc_set_dhcp_rsp},
    {"AT+DHCP", wifi_msg_proc_get_dhcp_rsp},
    {"AT+PORT", wifi_msg_proc_get_port_rsp},
    {"AT+WPS=", wifi_msg_proc_get_wps_rsp},
    {"AT+WPS", wifi_msg_proc_set_wps_rsp},
    {"AT+CNUM", wifi_msg_proc_get_client_num_rsp},
    {"AT+CINFO=", wifi_msg_proc_get_client_info_rsp},
    {"AT+CWIFISINALNUM", wifi_msg_proc_get_wifi_signal_num_rsp},
    {"AT+CWIFISINGALSINGLEINFO=", wifi_msg_proc_get_wifi_singal_tableinfo_byindex_rsp},
    {"AT+CIP=", wifi_msg_proc_get_client_ip_rsp},
    {"AT+CMC", wifi_msg_proc_get_phy_rsp},
    {"AT+WIFI=", wifi_msg_proc_set_wifi_rsp},
    {"AT+WIFI", wifi_msg_proc_get_wifi_rsp},
    {"AT+HTMODE=", wifi_msg_proc_set_htmode_rsp},
    {"AT+HTMODE", wifi_msg_proc_get_htmode_rsp},
    {"AT+COUNTRY=", wifi_msg_proc_set_region_rsp},
    {"AT+COUNTRY", wifi_msg_proc_get_region_rsp},
    {"AT+TXPOWER=", wifi_msg_proc_set_txpower_rsp},
    {"AT+TXPOWER", wifi_msg_proc_get_txpower_rsp},
    {"AT+VLAN=OFF", wifi_msg_proc_clear_vlan_rsp},
    {"AT+VLAN=", wifi_msg_proc_set_vlan_rsp},
    {"AT+VLAN", wifi_msg_proc_get_vlan_rsp},
    {"AT+SCAN", wifi_msg_proc_scan_rsp},
    {"AT+ENCFG", wifi_msg_proc_encfg_rsp},
    {"AT+PASSWD=", wifi_msg_proc_set_passwd_rsp},
    {"AT+UPGRADE=", wifi_msg_proc_upgrade_wifi_rsp},
    {"AT+SSH=", wifi_msg_proc_close_ssh_rsp},
    {"AT+SSH", wifi_msg_proc_open_ssh_rsp},
    {"AT+STANUM=", wifi_msg_proc_set_maxassoc_rsp},
    {"AT+STANUM", wifi_msg_proc_get_maxassoc_rsp},
    {"AT+APSTART", wifi_msg_proc_set_ap_start},
    {"AT+MAC", wifi_msg_proc_get_mac},
    {"AT+SENSITIVITY=", wifi_msg_proc_get_sensitivity},
    {"AT+PER", wifi_msg_proc_get_per_rsp},
    {"AT+RESET", wifi_msg_proc_set_reset_counter},
    {"AT+RETRYINFO=", wifi_msg_proc_get_client_retry_info_rsp},
    {"AT+IGMP=", wifi_msg_proc_set_igmp_rsp},
    {"AT+FLASHINFO", wifi_msg_proc_get_flash_info_rsp},
    {"AT+UKEY=", wifi_msg_proc_set_udp_key_rsp},
    {"AT+UPGSTATE", wifi_msg_proc_get_upgrade_state_rsp},
};

const int32_t g_wifi_msg_cmd_num = (int32_t)(sizeof(g_wifi_msg_cmd_table) / sizeof(g_wifi_msg_cmd_table[0]));

// One command at a time: the two links share the profile, the DHCP configuration,
// the pending flags and every table, so their handlers never run at once. The
// heartbeat shares none of it and is answered without the lock, and a handler's long
// wait (wifi_msg_proc_wait_ms) gives the lock up meanwhile: a command on one link
// never leaves the other link's heartbeat unanswered.
static pthread_mutex_t s_dispatch_lock = PTHREAD_MUTEX_INITIALIZER;
// Whether this thread holds s_dispatch_lock.
static thread_local bool t_dispatching;

void wifi_msg_proc_wait_ms(unsigned ms) {
    bool held = t_dispatching;
    if (held) {
        t_dispatching = false;
        pthread_mutex_unlock(&s_dispatch_lock);
    }
    wifi_plat().sleep_ms(ms);
    if (held) {
        pthread_mutex_lock(&s_dispatch_lock);
        t_dispatching = true;
    }
}

static thread_local wifi_cmd_origin t_origin = {WIFI_CMD_SERIAL, 0};

void wifi_msg_set_origin(wifi_cmd_link link, uint32_t addr) { t_origin = {link, addr}; }
wifi_cmd_origin wifi_msg_origin() { return t_origin; }

bool wifi_args_ok(const char *cmd, const char *reply, int32_t reply_size) {
    return cmd != nullptr && reply != nullptr && reply_size >= 1;
}

void wifi_log_ok(const char *fn, const char *cmd) {
    printf("======%s======cmd %s,sucess!==========================\n", fn, cmd);
}

void wifi_log_val(const char *fn, const char *cmd, const char *val) {
    printf("======%s======cmd %s,sucess!====val:%s======================\n", fn, cmd, val);
}

int wifi_reply_ok(const char *fn, const char *cmd, char *reply, int32_t reply_size) {
    snprintf(reply, (size_t)reply_size, "%s", "+OK");
    wifi_log_ok(fn, cmd);
    return 0;
}

int wifi_reply_val(const char *fn, const char *cmd, char *reply, int32_t reply_size, const char *val) {
    snprintf(reply, (size_t)reply_size, "%s%s", "+OK=", val);
    wifi_log_val(fn, cmd, reply);
    return 0;
}

int wifi_take_para(const char *cmd, char *reply, int32_t reply_size, char *para) {
    if (!wifi_args_ok(cmd, reply, reply_size)) return -1;
    memset(para, 0, WIFI_PARA_BUF_SIZE);
    return wifi_msg_get_cmd_para(cmd, para, WIFI_PARA_BUF_SIZE);
}

int wifi_msg_proc_heart_rsp(const char *cmd, char *reply, int32_t reply_size) {
    if (!wifi_args_ok(cmd, reply, reply_size)) return -1;
    return wifi_reply_ok(__func__, cmd, reply, reply_size);
}

int wifi_msg_get_cmd_para(const char *cmd, char *para, int32_t para_size) {
    if (cmd == nullptr || para == nullptr || para_size < 1) return -1;
    const char *eq = strchr(cmd, '=');
    if (eq == nullptr) return -1;
    // Like strncpy: the rest of para is zero-filled; a parameter as long as the
    // buffer is cut one short so the result is always terminated.
    wifi_strlcpy_zero(para, eq + 1, (size_t)para_size);
    printf("=====cmd:%s  para:%s  ==================\n", cmd, para);
    return 0;
}

static void reply_err(char *reply, int32_t reply_size) {
    memset(reply, 0, (size_t)reply_size);
    snprintf(reply, (size_t)reply_size, "%s", "+ERR");
}

const char *wifi_msg_log_text(const char *cmd) {
    return strncmp(cmd, "AT+UKEY=", 8) == 0 && strcmp(cmd + 8, "OFF") != 0 ? "AT+UKEY=(key)" : cmd;
}

static int dispatch_locked(const char *cmd, char *reply, int32_t reply_size) {
    int ret = -1;
    bool found = false;
    for (int32_t i = 0; i < g_wifi_msg_cmd_num; i++) {
        const wifi_msg_cmd_entry &row = g_wifi_msg_cmd_table[i];
        if (strncmp(cmd, row.cmd, strlen(row.cmd)) == 0) {
            ret = row.handler(cmd, reply, reply_size);
            found = true;
            break;
        }
    }
    if (!found) {
        printf("======unsupport cmd:%s=========================\n", wifi_msg_log_text(cmd));
        reply_err(reply, reply_size);
    }
    if (ret != 0) {
        printf("======msg proc error:%s========iRet[%d]=================\n", wifi_msg_log_text(cmd), ret);
        reply_err(reply, reply_size);
    }
    return ret;
}

int wifi_msg_proc_distribute(const char *cmd, char *reply, int32_t reply_size) {
    if (cmd == nullptr || reply == nullptr || reply_size < 1) {
        printf("====wifi_msg_proc_distribute para error=========================\n");
        if (reply != nullptr && reply_size > 0) snprintf(reply, (size_t)reply_size, "%s", "+ERR");
        return -1;
    }
    wifi_plat().command_start();
    if (strcmp(cmd, "AT+") == 0) return wifi_msg_proc_heart_rsp(cmd, reply, reply_size);
    pthread_mutex_lock(&s_dispatch_lock);
    t_dispatching = true;
    int ret = dispatch_locked(cmd, reply, reply_size);
    t_dispatching = false;
    pthread_mutex_unlock(&s_dispatch_lock);
    return ret;
}
