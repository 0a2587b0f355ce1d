// Radio profile commands: setters write the profile and mark the radio for restart,
// queries answer what the profile holds.
#include <stdio.h>
#include <string.h>

#include "wifi_apply.h"
#include "wifi_iwpriv.h"
#include "wifi_profile.h"
#include "wifi_radio.h"

enum { PARA_BUF = WIFI_PARA_BUF_SIZE };

static void log_short(const char *fn, const char *cmd) { printf("======%s======cmd %s,sucess!====\n", fn, cmd); }

enum set_log { SET_L1, SET_L2_OK, SET_L4 };
enum get_log { GET_L2, GET_L2_BARE, GET_L3 };

// One key written with a (possibly mapped) parameter.
static int set_keys(const char *fn, const char *cmd, char *reply, int32_t reply_size, set_log lg,
                    int (*write)(const char *para)) {
    char para[PARA_BUF];
    if (wifi_take_para(cmd, reply, reply_size, para) != 0) return -1;
    if (write(para) != 0) return -1;
    g_cfg_pending.wifi_changed = 1;
    snprintf(reply, (size_t)reply_size, "%s", "+OK");
    switch (lg) {
        case SET_L1:
            wifi_log_ok(fn, cmd);
            break;
        case SET_L2_OK:
            wifi_log_val(fn, cmd, reply);
            break;
        case SET_L4:
            printf("======%s======cmd %s,sucess!=============new debug=============\n", fn, cmd);
            break;
    }
    return 0;
}

static int get_key(const char *fn, const char *cmd, char *reply, int32_t reply_size, get_log lg, const char *key,
                   const char *stored = nullptr, const char *shown = nullptr) {
    if (!wifi_args_ok(cmd, reply, reply_size)) return -1;
    char val[PARA_BUF];
    memset(val, 0, sizeof(val));
    if (wifi_get_profile_value(key, val, sizeof(val)) != 0) return -1;
    const char *out = (stored != nullptr && strcmp(val, stored) == 0) ? shown : val;
    snprintf(reply, (size_t)reply_size, "%s%s", "+OK=", out);
    switch (lg) {
        case GET_L2:
            wifi_log_val(fn, cmd, reply);
            break;
        case GET_L2_BARE:
            wifi_log_val(fn, cmd, out);
            break;
        case GET_L3:
            log_short(fn, cmd);
            break;
    }
    return 0;
}

#define WRITE_ONE(key) [](const char *p) { return wifi_set_profile_value(key, p); }

WIFI_HANDLER(wifi_msg_proc_set_ssid_rsp) {
    return set_keys(__func__, cmd, reply, reply_size, SET_L1, WRITE_ONE("SSID1"));
}
WIFI_HANDLER(wifi_msg_proc_get_ssid_rsp) { return get_key(__func__, cmd, reply, reply_size, GET_L2_BARE, "SSID1"); }
WIFI_HANDLER(wifi_msg_proc_set_pskey_rsp) {
    return set_keys(__func__, cmd, reply, reply_size, SET_L1, WRITE_ONE("WPAPSK1"));
}
WIFI_HANDLER(wifi_msg_proc_get_pskey_rsp) { return get_key(__func__, cmd, reply, reply_size, GET_L3, "WPAPSK1"); }

WIFI_HANDLER(wifi_msg_proc_set_channel_rsp) {
    return set_keys(__func__, cmd, reply, reply_size, SET_L1, [](const char *p) {
        bool automatic = strstr(p, "auto") != nullptr;
        const wifi_kv kv[] = {{"AutoChannelSelect", automatic ? "2" : "4"}, {"Channel", automatic ? "0" : p}};
        return wifi_set_profile_values(kv, 2);
    });
}
WIFI_HANDLER(wifi_msg_proc_get_channel_rsp) { return get_key(__func__, cmd, reply, reply_size, GET_L2, "Channel"); }

WIFI_HANDLER(wifi_msg_proc_get_current_channel_rsp) {
    if (!wifi_args_ok(cmd, reply, reply_size)) return -1;
    char chan[8];
    memset(chan, 0, sizeof(chan));
    if (iwconfig_get_current_channel(chan, sizeof(chan)) != 0) {
        printf("===========iwconfig_get_current_channel error=====================\n");
        return -1;
    }
    snprintf(reply, (size_t)reply_size, "%s%s", "+OK=", chan);
    wifi_log_val(__func__, cmd, reply);
    return 0;
}

WIFI_HANDLER(wifi_msg_proc_set_auth_rsp) {
    return set_keys(__func__, cmd, reply, reply_size, SET_L1, [](const char *p) {
        // Open authentication goes with no encryption; leaving it turns "NONE" into
        // "AES". The mode and the encryption change in one rewrite.
        const char *mode = strcmp(p, "WPAPSK_WPA2PSK") == 0 ? "WPAPSKWPA2PSK" : p;
        wifi_kv kv[] = {{"AuthMode", mode}, {"EncrypType", "NONE"}};
        if (strcmp(mode, "OPEN") == 0) return wifi_set_profile_values(kv, 2);
        char enc[32];
        memset(enc, 0, sizeof(enc));
        if (wifi_get_profile_value("EncrypType", enc, sizeof(enc)) != 0) return -1;
        kv[1].value = "AES";
        return wifi_set_profile_values(kv, strcmp(enc, "NONE") == 0 ? 2 : 1);
    });
}
WIFI_HANDLER(wifi_msg_proc_get_auth_rsp) {
    return get_key(__func__, cmd, reply, reply_size, GET_L2, "AuthMode", "WPAPSKWPA2PSK", "WPAPSK_WPA2PSK");
}

WIFI_HANDLER(wifi_msg_proc_set_encrypt_rsp) {
    return set_keys(__func__, cmd, reply, reply_size, SET_L1, [](const char *p) {
        return wifi_set_profile_value("EncrypType", strcmp(p, "TKIP/AES") == 0 ? "TKIPAES" : p);
    });
}
WIFI_HANDLER(wifi_msg_proc_get_encrypt_rsp) {
    return get_key(__func__, cmd, reply, reply_size, GET_L2, "EncrypType", "TKIPAES", "TKIP/AES");
}

WIFI_HANDLER(wifi_msg_proc_set_wifi_rsp) {
    return set_keys(__func__, cmd, reply, reply_size, SET_L4, WRITE_ONE("WifiSwitch"));
}
WIFI_HANDLER(wifi_msg_proc_get_wifi_rsp) { return get_key(__func__, cmd, reply, reply_size, GET_L2, "WifiSwitch"); }

WIFI_HANDLER(wifi_msg_proc_set_htmode_rsp) {
    return set_keys(__func__, cmd, reply, reply_size, SET_L1, [](const char *p) {
        bool wide = strstr(p, "HT40") != nullptr || strstr(p, "AUTO") != nullptr;
        const wifi_kv kv[] = {{"HT_BW_TMP", p}, {"HT_BW", wide ? "1" : "0"}};
        return wifi_set_profile_values(kv, 2);
    });
}
WIFI_HANDLER(wifi_msg_proc_get_htmode_rsp) { return get_key(__func__, cmd, reply, reply_size, GET_L2, "HT_BW_TMP"); }

WIFI_HANDLER(wifi_msg_proc_set_region_rsp) {
    return set_keys(__func__, cmd, reply, reply_size, SET_L2_OK, WRITE_ONE("CountryCode"));
}
WIFI_HANDLER(wifi_msg_proc_get_region_rsp) { return get_key(__func__, cmd, reply, reply_size, GET_L3, "CountryCode"); }
WIFI_HANDLER(wifi_msg_proc_set_txpower_rsp) {
    return set_keys(__func__, cmd, reply, reply_size, SET_L2_OK, WRITE_ONE("TxPower"));
}
WIFI_HANDLER(wifi_msg_proc_get_txpower_rsp) { return get_key(__func__, cmd, reply, reply_size, GET_L3, "TxPower"); }
WIFI_HANDLER(wifi_msg_proc_set_maxassoc_rsp) {
    return set_keys(__func__, cmd, reply, reply_size, SET_L1, WRITE_ONE("MaxStaNum"));
}
WIFI_HANDLER(wifi_msg_proc_get_maxassoc_rsp) { return get_key(__func__, cmd, reply, reply_size, GET_L2, "MaxStaNum"); }
