// LAN, UDP peer, DHCP, VLAN and switch-port commands.
#include <limits.h>
#include <stdio.h>
#include <string.h>

#include "wifi_apply.h"
#include "wifi_dhcp_cfg.h"
#include "wifi_lan.h"
#include "wifi_platform.h"
#include "wifi_profile.h"
#include "wifi_udp_auth.h"
#include "wifi_udp_link.h"
#include "wifi_util.h"

enum { PARA_BUF = WIFI_PARA_BUF_SIZE, LINE_BUF = 128 };

WIFI_HANDLER(wifi_msg_proc_set_udp_src_rsp) {
    char para[PARA_BUF];
    if (wifi_take_para(cmd, reply, reply_size, para) != 0) return -1;
    // Anything else would shut out every datagram, this host's too.
    if (!wifi_is_ipv4(para)) return -1;
    wifi_set_udp_src_ipaddr(para);
    char stored[WIFI_UDP_SRC_IP_SIZE];
    wifi_read_udp_src_ipaddr(stored, sizeof(stored));
    printf("==szCmdParaStr[%s]======szUdpSrcIP[%s]================\n", para, stored);
    g_cfg_pending.wifi_changed = 1;
    return wifi_reply_ok(__func__, cmd, reply, reply_size);
}

// "AT+UKEY=" and 64 hex digits, or OFF: the UDP link's key, from the serial line alone
// (a station on the module's network may forge any UDP datagram, but cannot reach the
// serial line). The key is never logged.
WIFI_HANDLER(wifi_msg_proc_set_udp_key_rsp) {
    if (!wifi_args_ok(cmd, reply, reply_size)) return -1;
    if (wifi_msg_origin().link != WIFI_CMD_SERIAL) {
        printf("======AT+UKEY= refused: the serial line alone sets the key==========\n");
        return -1;
    }
    const char *hex = strchr(cmd, '=') + 1;
    if (strcmp(hex, "OFF") == 0) {
        wifi_udp_auth_set_key(nullptr);
        return wifi_reply_ok(__func__, "AT+UKEY=OFF", reply, reply_size);
    }
    uint8_t key[WIFI_UDP_KEY_SIZE];
    if (strlen(hex) != 2 * sizeof(key)) return -1;
    for (size_t i = 0; i < sizeof(key); i++) {
        int v = 0;
        for (int k = 0; k < 2; k++) {
            const char c = hex[2 * i + k];
            const int d = c >= '0' && c <= '9'   ? c - '0'
                          : c >= 'a' && c <= 'f' ? c - 'a' + 10
                          : c >= 'A' && c <= 'F' ? c - 'A' + 10
                                                 : -1;
            if (d < 0) return -1;
            v = v * 16 + d;
        }
        key[i] = (uint8_t)v;
    }
    wifi_udp_auth_set_key(key);
    memset(key, 0, sizeof(key));
    return wifi_reply_ok(__func__, "AT+UKEY=(key)", reply, reply_size);
}

WIFI_HANDLER(wifi_msg_proc_get_udp_src_rsp) {
    if (!wifi_args_ok(cmd, reply, reply_size)) return -1;
    char ip[WIFI_UDP_SRC_IP_SIZE];
    wifi_read_udp_src_ipaddr(ip, sizeof(ip));
    return wifi_reply_val(__func__, cmd, reply, reply_size, ip);
}

WIFI_HANDLER(wifi_msg_proc_set_lan_ip_rsp) {
    char para[PARA_BUF];
    if (wifi_take_para(cmd, reply, reply_size, para) != 0) return -1;
    // Anything but a dotted quad would reach the DHCP router line and, at apply, the bridge.
    if (!wifi_is_ipv4(para)) return -1;
    if (wifi_set_profile_value("LanIpaddr", para) != 0) return -1;
    if (wifi_modify_dhcp_cfg("router", para) != 0) return -1;
    g_cfg_pending.dhcp_changed = 1;
    g_cfg_pending.lan_ip_changed = 1;
    return wifi_reply_ok(__func__, cmd, reply, reply_size);
}

WIFI_HANDLER(wifi_msg_proc_get_lan_ip_rsp) {
    if (!wifi_args_ok(cmd, reply, reply_size)) return -1;
    char lan[PARA_BUF];
    memset(lan, 0, sizeof(lan));
    if (wifi_get_profile_value("LanIpaddr", lan, sizeof(lan)) != 0) return -1;
    return wifi_reply_val(__func__, cmd, reply, reply_size, lan);
}

WIFI_HANDLER(wifi_msg_proc_set_dhcp_rsp) {
    char para[PARA_BUF];
    if (wifi_take_para(cmd, reply, reply_size, para) != 0) return -1;
    // "%d %d %dh": start host number, pool size, lease hours (the h may be left out).
    int start = 0, pool = 0, hours = 0;
    const char *p = para;
    if (wifi_parse_int(&p, INT_MIN, INT_MAX, &start) != 0 || wifi_parse_int(&p, INT_MIN, INT_MAX, &pool) != 0 ||
        wifi_parse_int(&p, INT_MIN, INT_MAX, &hours) != 0) {
        printf("=======sscanf param error!!==========\n");
        return -1;
    }
    printf("======get dhcp set val,start ip:%d,dhcpool:%d,leasetime:%d===================\n", start, pool, hours);
    // The pool must stay inside the LAN's host numbers and the lease must be at least
    // an hour and fit in seconds; the server rejects anything else.
    if (start < 1 || start > 254 || pool < 0 || pool > 254 - start || hours < 1 || hours > INT_MAX / 3600) {
        printf("=======dhcp param out of range!!==========\n");
        return -1;
    }

    char lan[32];
    memset(lan, 0, sizeof(lan));
    if (wifi_get_profile_value("LanIpaddr", lan, sizeof(lan)) != 0) return -1;
    printf("=====szLanIP:%s===================\n", lan);
    int net[3], d;
    const char *q = lan;
    bool ok = true;
    for (int i = 0; i < 3 && ok; i++) ok = wifi_parse_int(&q, 0, 255, &net[i]) == 0 && *q++ == '.';
    if (!ok || wifi_parse_int(&q, INT_MIN, INT_MAX, &d) != 0) {
        printf("=======sscanf ipaddr error!!==========\n");
        return -1;
    }

    char first[32], last[32], lease[16];
    snprintf(first, sizeof(first), "%d.%d.%d.%d", net[0], net[1], net[2], start);
    snprintf(last, sizeof(last), "%d.%d.%d.%d", net[0], net[1], net[2], start + pool);
    snprintf(lease, sizeof(lease), "%d", hours * 3600);
    const wifi_kv kv[] = {{"start", first}, {"end", last}, {"lease", lease}};
    if (wifi_modify_dhcp_cfg_values(kv, 3) != 0) return -1;
    g_cfg_pending.dhcp_changed = 1;
    return wifi_reply_ok(__func__, cmd, reply, reply_size);
}

WIFI_HANDLER(wifi_msg_proc_close_dhcp_rsp) {
    if (!wifi_args_ok(cmd, reply, reply_size)) return -1;
    wifi_plat().run_op(WIFI_OP_DHCP_STOP);
    g_cfg_pending.dhcp_changed = 0;
    return wifi_reply_ok(__func__, cmd, reply, reply_size);
}

WIFI_HANDLER(wifi_msg_proc_get_dhcp_rsp) {
    if (!wifi_args_ok(cmd, reply, reply_size)) return -1;
    return wifi_reply_val(__func__, cmd, reply, reply_size, "");
}

WIFI_HANDLER(wifi_msg_proc_set_vlan_rsp) {
    char para[PARA_BUF];
    if (wifi_take_para(cmd, reply, reply_size, para) != 0) return -1;
    // Only words the module's line may carry, and a line that fits, are passed on.
    char line[WIFI_OP_LINE_SIZE];
    if (wifi_op_cmdline(WIFI_OP_VLAN_SET, para, -1, line, sizeof(line)) != 0) {
        printf("======cmd param error!=======\n");
        return -1;
    }
    wifi_plat().vlan_set(para);
    return wifi_reply_ok(__func__, cmd, reply, reply_size);
}

WIFI_HANDLER(wifi_msg_proc_clear_vlan_rsp) {
    char para[PARA_BUF];
    if (wifi_take_para(cmd, reply, reply_size, para) != 0) return -1;
    if (strcmp(para, "OFF") != 0) {
        printf("======cmd param error!=======\n");
        return -1;
    }
    wifi_plat().run_op(WIFI_OP_VLAN_CLEAR);
    return wifi_reply_ok(__func__, cmd, reply, reply_size);
}

WIFI_HANDLER(wifi_msg_proc_get_vlan_rsp) {
    if (!wifi_args_ok(cmd, reply, reply_size)) return -1;
    return wifi_reply_val(__func__, cmd, reply, reply_size, "waiting");
}

WIFI_HANDLER(wifi_msg_proc_get_port_rsp) {
    if (!wifi_args_ok(cmd, reply, reply_size)) return -1;
    char out[LINE_BUF];
    memset(out, 0, sizeof(out));
    if (wifi_plat().switch_reg_read(out, sizeof(out)) != 0) {
        printf("===wifi_msg_proc_get_port_rsp get port error========\n");
        return -1;
    }
    printf("====get reg value:%s=======\n", out);
    const char *v = strstr(out, "value=");
    if (v == nullptr) return -1;
    // The second character after the '=' holds the port bits.
    int bits = 0;
    if (strlen(v) > 7 && v[7] >= '0' && v[7] <= '9') bits = v[7] - '0';
    char ports[16];
    snprintf(ports, sizeof(ports), "%d,%d,0,0", (bits >> 1) & 1, (bits >> 2) & 1);
    return wifi_reply_val(__func__, cmd, reply, reply_size, ports);
}
