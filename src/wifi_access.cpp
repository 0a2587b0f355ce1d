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

enum { WPS_TIMEOUT_S = 121, SYS_CMD_BUF = 128 };

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

// The shell line that hands `password` to chpasswd as one word, into line (size bytes).
// -1 for an empty password, one holding a control character or a backslash, or one
// whose line does not fit.
static int passwd_cmdline(const char *password, char *line, size_t size) {
    if (password == nullptr || line == nullptr || password[0] == '\0') return -1;
    // One single-quoted word: nothing inside is special to the shell except the
    // quote itself, written as '\''. A backslash is refused, since some shells'
    // echo would expand it.
    char quoted[SYS_CMD_BUF];
    size_t n = 0;
    quoted[n++] = '\'';
    for (const char *p = password; *p != '\0'; p++) {
        unsigned char c = (unsigned char)*p;
        if (c < 0x20 || c == 0x7F || c == '\\') return -1;
        const char *piece = c == '\'' ? "'\\''" : nullptr;
        size_t len = piece != nullptr ? 4 : 1;
        if (n + len + 2 > sizeof(quoted)) return -1;
        if (piece != nullptr) {
            memcpy(quoted + n, piece, len);
        } else {
            quoted[n] = (char)c;
        }
        n += len;
    }
    quoted[n++] = '\'';
    quoted[n] = '\0';
    int w = snprintf(line, size, "echo root:%s |chpasswd", quoted);
    if (w < 0 || (size_t)w >= size) {
        if (size > 0) line[0] = '\0';
        return -1;
    }
    return 0;
}

WIFI_HANDLER(wifi_msg_proc_set_passwd_rsp) {
    char para[WIFI_PARA_BUF_SIZE];
    if (wifi_take_para(cmd, reply, reply_size, para) != 0) return -1;
    char line[SYS_CMD_BUF];
    if (passwd_cmdline(para, line, sizeof(line)) != 0) return -1;
    printf("szSysCmd [%s]\n", line);
    // The password is changed only when chpasswd says so; a missing or failing one is +ERR.
    if (wifi_shell_run(line) != 0) return -1;
    return wifi_reply_ok(__func__, cmd, reply, reply_size);
}

WIFI_HANDLER(wifi_msg_proc_close_ssh_rsp) {
    if (!wifi_args_ok(cmd, reply, reply_size)) return -1;
    wifi_shell_run("killall dropbear");
    return wifi_reply_ok(__func__, cmd, reply, reply_size);
}

WIFI_HANDLER(wifi_msg_proc_open_ssh_rsp) {
    if (!wifi_args_ok(cmd, reply, reply_size)) return -1;
    wifi_shell_run("[ -f /usr/sbin/dropbear ] && /usr/sbin/dropbear -R -I 1800");
    return wifi_reply_ok(__func__, cmd, reply, reply_size);
}
