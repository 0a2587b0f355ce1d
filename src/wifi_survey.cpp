// Site survey and signal commands: the driver lists the networks it hears into
// wifi_scan.txt through the iwpriv tool, and the listing is parsed from there.
#include <ctype.h>
#include <stdio.h>
#include <string.h>

#include "unique_fd.h"
#include "wifi_iwpriv.h"
#include "wifi_platform.h"
#include "wifi_survey.h"
#include "wifi_util.h"

enum { SCAN_LINE_BUF = 128 };
static const char kTestNetwork[] = "QEL_NVR_WIFI_T1_TEST";

static wifi_scan_table g_scan_table;

const wifi_scan_table &wifi_scan_table_get(void) { return g_scan_table; }
void wifi_survey_reset(void) { memset(&g_scan_table, 0, sizeof(g_scan_table)); }

// The next line of the listing without its line feed; false at the end. The rest of a
// line longer than the buffer is skipped: it is not a line of its own.
static bool next_line(FILE *fp, char *line, size_t size) {
    if (fgets(line, (int)size, fp) == nullptr) return false;
    size_t n = strlen(line);
    if (n > 0 && line[n - 1] == '\n') {
        line[n - 1] = '\0';
        return true;
    }
    int c;
    while ((c = fgetc(fp)) != EOF && c != '\n') {}
    return true;
}

// The next blank-separated word, cut to the field; the rest of a longer word is skipped.
static bool next_word(const char **p, char *out, size_t size) {
    const char *s = *p;
    while (isspace((unsigned char)*s)) s++;
    size_t n = 0;
    while (s[n] != '\0' && !isspace((unsigned char)s[n])) n++;
    if (n == 0) return false;
    wifi_strlcpy_zero(out, s, n < size ? n + 1 : size);
    *p = s + n;
    return true;
}

// "CHANNEL SSID BSSID SECURITY SIGNAL ...": 0, or -1 (and a zero entry) when the five
// fields are not all there.
static int parse_line(const char *line, wifi_scan_entry *e) {
    memset(e, 0, sizeof(*e));
    const char *p = line;
    int chan = 0, signal = 0;
    bool ok = wifi_parse_int(&p, INT32_MIN, INT32_MAX, &chan) == 0 && (*p == '\0' || isspace((unsigned char)*p)) &&
              next_word(&p, e->szSsid, sizeof(e->szSsid)) && next_word(&p, e->szBssid, sizeof(e->szBssid)) &&
              next_word(&p, e->szSecurity, sizeof(e->szSecurity)) &&
              wifi_parse_int(&p, INT32_MIN, INT32_MAX, &signal) == 0;
    if (!ok) {
        memset(e, 0, sizeof(*e));
        return -1;
    }
    e->iChannel = chan;
    e->iSignal = signal;
    return 0;
}

static FILE *open_listing(void) {
    char path[256];
    return fopen(wifi_path(WIFI_SCAN_FILE, path, sizeof(path)), "re");
}

// The next network of the listing that parses, its trace line written; false at the end.
static bool next_network(FILE *fp, wifi_scan_entry *e, int *lines) {
    char line[SCAN_LINE_BUF];
    while (next_line(fp, line, sizeof(line))) {
        if ((*lines)++ < 2) continue;  // the two heading lines
        if (parse_line(line, e) != 0) continue;
        printf("wifi signal %d %s %s %s %d\n", (int)e->iChannel, e->szSsid, e->szBssid, e->szSecurity, (int)e->iSignal);
        return true;
    }
    return false;
}

WIFI_HANDLER(wifi_msg_proc_scan_rsp) {
    if (!wifi_args_ok(cmd, reply, reply_size)) return -1;
    printf("wifi_msg_proc_scan_rsp pCmdStr[%s]\n", cmd);
    memset(&g_scan_table, 0, sizeof(g_scan_table));
    printf("wifi_msg_proc_scan_rsp szCmdParaStr[%s ]\n", "");
    wifi_plat().run_op(WIFI_OP_SURVEY_START);
    wifi_plat().run_op(WIFI_OP_SURVEY_LIST);
    UniqueFile fp(open_listing());
    if (!fp) return -1;
    int lines = 0, n = 0;
    wifi_scan_entry e;
    while (next_network(fp.get(), &e, &lines)) {
        if (e.iSignal < WIFI_SCAN_MIN_SIGNAL) continue;
        if (n == WIFI_SCAN_ENTRIES) break;
        g_scan_table.entry[n++] = e;
        g_scan_table.iNum = n;
    }
    // "the file should hold %d entries, %d were read"
    printf(
        "\xce\xc4\xbc\xfe\xd6\xd0\xd4\xa4\xbc\xc6\xd3\xd0\xca\xfd\xbe\xdd%d\xb8\xf6\xa3\xac\xca\xb5\xbc\xca\xb6\xc1"
        "\xb5\xbd%d\xb8\xf6\n",
        lines + 2, n);
    return wifi_reply_ok(__func__, cmd, reply, reply_size);
}

WIFI_HANDLER(wifi_msg_proc_get_wifi_signal_num_rsp) {
    if (!wifi_args_ok(cmd, reply, reply_size)) return -1;
    char val[16];
    snprintf(val, sizeof(val), "%d", (int)g_scan_table.iNum);
    return wifi_reply_val(__func__, cmd, reply, reply_size, val);
}

WIFI_HANDLER(wifi_msg_proc_get_wifi_singal_tableinfo_byindex_rsp) {
    if (!wifi_args_ok(cmd, reply, reply_size)) return -1;
    printf("pCmdStr [%s]\n", cmd);
    char para[WIFI_PARA_BUF_SIZE];
    if (wifi_take_para(cmd, reply, reply_size, para) != 0) return -1;
    // Text that is no number reads as entry 0; a number too large for an int is refused.
    int index = 0;
    const char *p = para;
    if (wifi_parse_int(&p, INT32_MIN, INT32_MAX, &index) != 0) {
        const char *s = para;
        while (isspace((unsigned char)*s)) s++;
        if (*s == '+' || *s == '-') s++;
        if (isdigit((unsigned char)*s)) index = -1;
    }
    printf("=======11wifi_msg_proc_get_wifi_singal_tableinfo_byindex_rsp  szCmdParaStr %s====indx[%d]=========\n", para,
           index);
    printf("========iClientIndex[%d]\n", index);
    if (index < 0 || index >= WIFI_SCAN_ENTRIES) {
        printf("wifi_msg_proc_get_wifi_singal_tableinfo_byindex_rsp param error\n");
        return -1;
    }
    const wifi_scan_entry &e = g_scan_table.entry[index];
    char text[72];
    snprintf(text, sizeof(text), "%d,%s,%s,%d", (int)e.iChannel, e.szBssid, e.szSsid, (int)e.iSignal);
    return wifi_reply_val(__func__, cmd, reply, reply_size, text);
}

WIFI_HANDLER(wifi_msg_proc_get_sensitivity) {
    if (!wifi_args_ok(cmd, reply, reply_size)) return -1;
    printf("wifi_msg_proc_scan_rsp pCmdStr[%s]\n", cmd);
    iwpriv_site_survey();
    // The survey runs in the driver meanwhile; the listing is taken and read after it.
    wifi_msg_proc_wait_ms(2000);
    wifi_plat().run_op(WIFI_OP_SURVEY_RELIST);
    UniqueFile fp(open_listing());
    if (!fp) {
        printf("#########wifi_scan.txt fail\n");
        return -1;
    }
    int lines = 0, signal = 0;
    wifi_scan_entry e;
    while (next_network(fp.get(), &e, &lines)) {
        if (strcmp(e.szSsid, kTestNetwork) == 0) {
            signal = e.iSignal;
            printf("###############get t1 wifi signali success###############\n ");
            break;
        }
    }
    char val[16];
    snprintf(val, sizeof(val), "%d", signal);
    snprintf(reply, (size_t)reply_size, "%s%s", "+OK=", val);
    wifi_log_ok(__func__, cmd);
    return 0;
}
