// Station commands.
#include <arpa/inet.h>
#include <stdint.h>
#include <stdio.h>
#include <string.h>

#include "unique_fd.h"
#include "wifi_iwpriv.h"
#include "wifi_platform.h"
#include "wifi_station.h"
#include "wifi_status.h"
#include "wifi_util.h"

static wifi_client_table g_client_table;
static wifi_retry_table g_retry_table;
static wifi_mac_table g_mac_table_now;
static wifi_mac_table g_mac_table_last;

void wifi_station_reset(void) {
    memset(&g_client_table, 0, sizeof(g_client_table));
    memset(&g_retry_table, 0, sizeof(g_retry_table));
    memset(&g_mac_table_now, 0, sizeof(g_mac_table_now));
    memset(&g_mac_table_last, 0, sizeof(g_mac_table_last));
}

static int reply_num(const char *fn, const char *cmd, char *reply, int32_t reply_size, int value) {
    char val[16];
    snprintf(val, sizeof(val), "%d", value);
    return wifi_reply_val(fn, cmd, reply, reply_size, val);
}

// "WORD INDEX": a first word that is skipped, blanks, then a slot number 0 to 15.
static int slot_index(const char *para, int *index) {
    const char *p = para;
    if (*p == '\0' || *p == ' ') return -1;
    while (*p != '\0' && *p != ' ') p++;
    return wifi_parse_int(&p, 0, WIFI_CLIENT_SLOTS - 1, index);
}

WIFI_HANDLER(wifi_msg_proc_get_client_num_rsp) {
    if (!wifi_args_ok(cmd, reply, reply_size)) return -1;
    memset(&g_client_table, 0, sizeof(g_client_table));
    if (wifi_refresh_client_info(&g_client_table) != 0) printf("===wifi_refresh_client_info error========\n");
    return reply_num(__func__, cmd, reply, reply_size, g_client_table.iNum);
}

WIFI_HANDLER(wifi_msg_proc_get_client_info_rsp) {
    char para[WIFI_PARA_BUF_SIZE];
    if (wifi_take_para(cmd, reply, reply_size, para) != 0) return -1;
    printf("=======wifi_msg_proc_get_client_info_rsp  szCmdParaStr %s=============\n", para);
    int i = 0;
    if (slot_index(para, &i) != 0) return -1;
    const wifi_client_info &c = g_client_table.info[i];
    char text[64];
    snprintf(text, sizeof(text), "%s,%d,%d,%d,%d,%d\n", c.szMacStr, 1, (int)c.iRate, (int)c.iBw40, (int)c.iRssi0,
             (int)c.iRssi1);
    return wifi_reply_val(__func__, cmd, reply, reply_size, text);
}

int wifi_lease_find_ip(const char *mac, char *ip, size_t ip_size) {
    if (mac == nullptr || ip == nullptr || ip_size == 0) return -1;
    memset(ip, 0, ip_size);
    char path[256];
    UniqueFile fp(fopen(wifi_path(WIFI_LEASES_PATH, path, sizeof(path)), "re"));
    if (!fp) return -1;
    uint8_t rec[24];
    while (fread(rec, sizeof(rec), 1, fp.get()) == 1) {
        char text[32];
        snprintf(text, sizeof(text), "%02hhx:%02hhx:%02hhx:%02hhx:%02hhx:%02hhx", rec[0], rec[1], rec[2], rec[3],
                 rec[4], rec[5]);
        printf("=====szMacAddr : %s=============\n", text);
        if (strncmp(text, mac, 32) == 0) {
            char addr[32] = {0};
            inet_ntop(AF_INET, rec + 16, addr, sizeof(addr));
            printf("===mac:%s====find ip:%s=====\n", mac, addr);
            wifi_strlcpy_zero(ip, addr, ip_size);
            break;
        }
    }
    return 0;
}

WIFI_HANDLER(wifi_msg_proc_get_client_ip_rsp) {
    char para[WIFI_PARA_BUF_SIZE];
    if (wifi_take_para(cmd, reply, reply_size, para) != 0) return -1;
    printf("======mac:%s search ip=============\n", para);
    char ip[32];
    if (wifi_lease_find_ip(para, ip, sizeof(ip)) != 0) return -1;
    return wifi_reply_val(__func__, cmd, reply, reply_size, ip);
}

WIFI_HANDLER(wifi_msg_proc_get_phy_rsp) {
    char para[WIFI_PARA_BUF_SIZE];
    if (wifi_take_para(cmd, reply, reply_size, para) != 0) return -1;
    printf("=====mac addr:%s============\n", para);
    int found = -1;
    for (int i = 0; i < g_client_table.iNum && i < WIFI_CLIENT_SLOTS; i++) {
        const char *mac = g_client_table.info[i].szMacStr;
        printf("=========phy:szCmdParaStr[%s]=====szMacStr [%s]===================\n", para, mac);
        if (strstr(mac, para) != nullptr) {
            found = 1;
            break;
        }
    }
    return reply_num(__func__, cmd, reply, reply_size, found);
}

WIFI_HANDLER(wifi_msg_proc_check_mactable_rsp) {
    if (!wifi_args_ok(cmd, reply, reply_size)) return -1;
    memset(&g_mac_table_now, 0, sizeof(g_mac_table_now));
    int changed = 0;
    if (iwpriv_get_wifi_mac_table(&g_mac_table_now) != 0) {
        printf("=====wifi_msg_proc_check_mactable_rsp error!==============\n");
    } else if (g_mac_table_now.num != g_mac_table_last.num) {
        g_mac_table_last = g_mac_table_now;
        changed = 1;
    } else {
        // Entries are compared by position; a shorter association time means the
        // station at that position associated anew.
        for (uint32_t i = 0; i < g_mac_table_now.num; i++) {
            uint32_t last = g_mac_table_last.entry[i].connect_time, now = g_mac_table_now.entry[i].connect_time;
            g_mac_table_last.entry[i] = g_mac_table_now.entry[i];
            if (now < last) {
                printf("=i[%d]==time1[%d]==time2[%d]=\n", (int)i, (int)last, (int)now);
                changed = 1;
                break;
            }
        }
    }
    return reply_num(__func__, cmd, reply, reply_size, changed);
}

WIFI_HANDLER(wifi_msg_proc_get_mac) {
    if (!wifi_args_ok(cmd, reply, reply_size)) return -1;
    char mac[32];
    memset(mac, 0, sizeof(mac));
    if (wifi_get_mac(mac) != 0) return -1;
    snprintf(reply, (size_t)reply_size, "%s%s", "+OK=", mac);
    printf("======%s======cmd %s,sucess!====\n", __func__, cmd);
    return 0;
}

WIFI_HANDLER(wifi_msg_proc_get_per_rsp) {
    if (!wifi_args_ok(cmd, reply, reply_size)) return -1;
    char per[2 * WIFI_PER_TEXT_SIZE];
    memset(per, 0, sizeof(per));
    if (wifi_get_tx_rx_per(per) != 0) return -1;
    snprintf(reply, (size_t)reply_size, "%sTX_PER=%s RX_PER=%s\n", "+OK=", per, per + WIFI_PER_TEXT_SIZE);
    return 0;
}

WIFI_HANDLER(wifi_msg_proc_set_reset_counter) {
    if (!wifi_args_ok(cmd, reply, reply_size)) return -1;
    static const char kReset[] = "ResetCounter=1";
    if (iwpriv_set_cmd_execute(kReset, sizeof(kReset) - 1) != 0) return -1;
    return wifi_reply_ok(__func__, cmd, reply, reply_size);
}

WIFI_HANDLER(wifi_msg_proc_get_client_retry_info_rsp) {
    if (!wifi_args_ok(cmd, reply, reply_size)) return -1;
    memset(&g_retry_table, 0, sizeof(g_retry_table));
    if (wifi_get_sta_retryrate(&g_retry_table) != 0) printf("===wifi_get_sta_retryrate error========\n");
    char para[WIFI_PARA_BUF_SIZE];
    if (wifi_take_para(cmd, reply, reply_size, para) != 0) return -1;
    printf("=======wifi_msg_proc_get_client_retry_info_rsp  szCmdParaStr %s=============\n", para);
    int i = 0;
    if (slot_index(para, &i) != 0) return -1;
    char text[72];  // both fields whole, and the line end
    snprintf(text, sizeof(text), "%s,%s\n", g_retry_table.szMacStr[i], g_retry_table.szRetryRate[i]);
    return wifi_reply_val(__func__, cmd, reply, reply_size, text);
}
