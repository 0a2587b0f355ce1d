// WPS, AP start, IGMP snooping, root password and SSH server commands.
#include <stdint.h>
#include <stdio.h>
#include <string.h>

#include "wifi_access.h"
#include "wifi_iwpriv.h"
#include "wifi_platform.h"
#include "wifi_profile.h"
#include "wifi_status.h"
#include "wifi_util.h"

enum { WPS_TIMEOUT_S = 121 };

// The run's times are seconds of the monotonic clock: the wall clock may be set (by
// the host, by NTP) at any time after boot, and a run must neither end at once nor
// last for good because of it. Before the first run there is no start: a status 3
// then counts as timed out.
static int32_t g_wps_active;
static bool g_wps_started;
static int64_t g_wps_start_time;  // milliseconds of the monotonic clock
static int64_t g_wps_check_time;

void wifi_access_reset(void) {
    g_wps_active = 0;
    g_wps_started = false;
    g_wps_start_time = 0;
    g_wps_check_time = 0;
}

WIFI_HANDLER(wifi_msg_proc_set_wps_rsp) {
    if (!wifi_args_ok(cmd, reply, reply_size)) return -1;
    static const char kMode[] = "WscMode=2", kConf[] = "WscGetConf=1";
    if (iwpriv_set_cmd_execute(kMode, sizeof(kMode) - 1) != 0) return -1;
    if (iwpriv_set_cmd_execute(kConf, sizeof(kConf) - 1) != 0) return -1;
    g_wps_active = 0;
    g_wps_started = true;
    g_wps_start_time = wifi_plat().monotonic_ms();
    return wifi_reply_ok(__func__, cmd, reply, reply_size);
}

WIFI_HANDLER(wifi_msg_proc_get_wps_rsp) {
    if (!wifi_args_ok(cmd, reply, reply_size)) return -1;
    int32_t status = 0;
    if (wifi_get_wsc_status(&status) != 0) return -1;
    const char *text = "Unknow";
    if (status == 1) {
        text = "Idle";
    } else if (status == 2) {
        text = "Timed-out";
    } else if (status >= 3 && status <= 21) {
        text = "Active";
        g_wps_active = status == 3;
    }
    g_wps_check_time = wifi_plat().monotonic_ms();
    // A run the driver still reports after two minutes has timed out.
    if (g_wps_active != 0 && (!g_wps_started || g_wps_check_time - g_wps_start_time >= WPS_TIMEOUT_S * 1000))
        text = "Timed-out";
    return wifi_reply_val(__func__, cmd, reply, reply_size, text);
}

WIFI_HANDLER(wifi_msg_proc_set_ap_start) {
    if (!wifi_args_ok(cmd, reply, reply_size)) return -1;
    if (iwpriv_ap_start() != 0) return -1;
    return wifi_reply_ok(__func__, cmd, reply, reply_size);
}

WIFI_HANDLER(wifi_msg_proc_set_igmp_rsp) {
    char para[WIFI_PARA_BUF_SIZE];
    if (wifi_take_para(cmd, reply, reply_size, para) != 0) return -1;
    printf("=======wifi_msg_proc_set_igmp_rsp  szCmdParaStr %s=============\n", para);
    if (wifi_set_profile_value("IgmpSnEnable", para) != 0) return -1;
    return wifi_reply_ok(__func__, cmd, reply, reply_size);
}

WIFI_HANDLER(wifi_msg_proc_set_passwd_rsp) {
    char para[WIFI_PARA_BUF_SIZE];
    if (wifi_take_para(cmd, reply, reply_size, para) != 0) return -1;
    // The line hands the password to chpasswd as one word; one that it cannot carry
    // (empty, with a control character or a backslash, too long) is refused.
    char line[WIFI_OP_LINE_SIZE];
    if (wifi_op_cmdline(WIFI_OP_ROOT_PASSWORD, para, -1, line, sizeof(line)) != 0) return -1;
    printf("szSysCmd [%s]\n", line);
    // The password is changed only when chpasswd says so; a missing or failing one is +ERR.
    if (wifi_plat().root_password(para) != 0) return -1;
    return wifi_reply_ok(__func__, cmd, reply, reply_size);
}

WIFI_HANDLER(wifi_msg_proc_close_ssh_rsp) {
    if (!wifi_args_ok(cmd, reply, reply_size)) return -1;
    wifi_plat().run_op(WIFI_OP_SSH_STOP);
    return wifi_reply_ok(__func__, cmd, reply, reply_size);
}

WIFI_HANDLER(wifi_msg_proc_open_ssh_rsp) {
    if (!wifi_args_ok(cmd, reply, reply_size)) return -1;
    wifi_plat().run_op(WIFI_OP_SSH_START);
    return wifi_reply_ok(__func__, cmd, reply, reply_size);
}
