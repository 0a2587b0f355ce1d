// Readers of the driver's status files.
#include <stdio.h>
#include <string.h>
#include <unistd.h>

#include "unique_fd.h"
#include "wifi_iwpriv.h"
#include "wifi_platform.h"
#include "wifi_status.h"
#include "wifi_util.h"

enum { LINE_BUF = 512, KV_BUF = 64 };

struct kv_text {
    char key[KV_BUF];
    char val[KV_BUF];
};

// "key=value": a key of 1 to 63 characters before the first '=', the value up to 63
// characters ending at a line feed or an apostrophe. `stop` adds one more character
// that ends the value. Returns the number of parts found (0 to 2).
static int split_kv(const char *line, kv_text *kv, char stop = '\0') {
    memset(kv, 0, sizeof(*kv));
    const char *eq = strchr(line, '=');
    size_t klen = eq != nullptr ? (size_t)(eq - line) : strlen(line);
    if (klen == 0) return 0;
    if (eq == nullptr || klen >= KV_BUF) {
        wifi_strlcpy_zero(kv->key, line, klen < KV_BUF ? klen + 1 : (size_t)KV_BUF);
        return 1;
    }
    memcpy(kv->key, line, klen);
    const char *v = eq + 1;
    size_t vlen = 0;
    while (vlen < KV_BUF - 1 && v[vlen] != '\0' && v[vlen] != '\n' && v[vlen] != '\'' && v[vlen] != stop) vlen++;
    memcpy(kv->val, v, vlen);
    return vlen > 0 ? 2 : 1;
}

// split_kv, and the trace of what it found.
static void split_traced(const char *line, kv_text *kv) {
    split_kv(line, kv);
    printf("=szKeyBuf:%s==szValBuf:%s=\n", kv->key, kv->val);
}

// A decimal number as the driver prints it; 0 when there is none.
static int number(const char *text) {
    int v = 0;
    if (wifi_parse_int(&text, INT32_MIN, INT32_MAX, &v) != 0) return 0;
    return v;
}

// The next line of a status file into line (size bytes), its line feed kept; false at
// the end. A line longer than the buffer is still one line: its rest is skipped, never
// read as a line of its own (a station's text of its own could then fake a key).
static bool next_line(FILE *fp, char *line, size_t size) {
    size_t n = 0;
    int c = EOF;
    while ((c = fgetc(fp)) != EOF) {
        if (n + 1 < size) line[n++] = (char)c;
        if (c == '\n') break;
    }
    line[n] = '\0';
    return n > 0 || c != EOF;
}

static FILE *show_and_open(const char *name, const char *module_path, const char *mode) {
    if (iwpriv_show_wifi_info(name, (unsigned)strlen(name)) != 0) return nullptr;
    char path[256];
    return fopen(wifi_path(module_path, path, sizeof(path)), mode);
}

int wifi_refresh_client_info(wifi_client_table *table) {
    if (table == nullptr) return -1;
    UniqueFile fp(show_and_open("stainfo", WIFI_STAINFO_PATH, "r+e"));
    if (!fp) return -1;
    char line[LINE_BUF];
    kv_text kv;
    int n = 0;
    while (next_line(fp.get(), line, sizeof(line))) {
        memset(&kv, 0, sizeof(kv));
        printf("======szLineBuf:%s=======================\n", line);
        // Past the table's room the fields of further stations are read and dropped.
        wifi_client_info spare;
        wifi_client_info &rec = n < WIFI_CLIENT_SLOTS ? table->info[n] : spare;
        if (strstr(line, "MAC=") != nullptr) {
            split_traced(line, &kv);
            if (strcmp(kv.key, "MAC") == 0) {
                wifi_str_tolower(kv.val);
                wifi_strlcpy_zero(rec.szMacStr, kv.val, sizeof(rec.szMacStr));
            }
        } else if (strstr(line, "RSSI0/1/2=") != nullptr) {
            split_kv(line, &kv, '/');
            if (strcmp(kv.key, "RSSI0/1/2") == 0) {
                // the second number follows the first '/' after the '='
                const char *second = strchr(strchr(line, '=') + 1, '/');
                rec.iRssi0 = number(kv.val);
                rec.iRssi1 = second != nullptr ? number(second + 1) : 0;
            }
        } else if (strstr(line, "BW=") != nullptr) {
            split_traced(line, &kv);
            if (strcmp(kv.key, "BW") == 0) rec.iBw40 = strstr(kv.val, "40") != nullptr;
        } else if (strstr(line, "Rate=") != nullptr) {
            split_traced(line, &kv);
            if (strcmp(kv.key, "Rate") == 0) {
                rec.iRate = number(kv.val);
                if (n < WIFI_CLIENT_SLOTS) n++;
            }
        } else {
            printf("=======client info  file abnormal==================\n");
        }
    }
    table->iNum = n;
    fp.close();
    char path[256];
    return wifi_plat().file_unlink(wifi_path(WIFI_STAINFO_PATH, path, sizeof(path))) == 0 ? 0 : -1;
}

int wifi_get_wsc_status(int32_t *status) {
    if (status == nullptr) return -1;
    UniqueFile fp(show_and_open("stat", WIFI_WSCINFO_PATH, "re"));
    if (!fp) return -1;
    char line[LINE_BUF];
    while (next_line(fp.get(), line, sizeof(line))) {
        if (strstr(line, "WscStatus=") == nullptr) continue;
        kv_text kv;
        split_traced(line, &kv);
        const char *digits = kv.val + 2;
        int v = 0;
        if (strncmp(kv.val, "0x", 2) == 0 && wifi_parse_int(&digits, INT32_MIN, INT32_MAX, &v) == 0) *status = v;
        printf("====wsc status :%d=\n", (int)*status);
        break;
    }
    return 0;
}

int wifi_get_tx_rx_per(char *per) {
    if (per == nullptr) return -1;
    UniqueFile fp(show_and_open("stat", WIFI_WSCINFO_PATH, "re"));
    if (!fp) return -1;
    char line[LINE_BUF];
    kv_text kv;
    while (next_line(fp.get(), line, sizeof(line))) {
        if (strstr(line, "TX PER") != nullptr) {
            split_kv(line, &kv);
            wifi_strlcpy_zero(per, kv.val, WIFI_PER_TEXT_SIZE);
        }
        if (strstr(line, "RX PER") != nullptr) {
            split_kv(line, &kv);
            wifi_strlcpy_zero(per + WIFI_PER_TEXT_SIZE, kv.val, WIFI_PER_TEXT_SIZE);
        }
    }
    return 0;
}

int wifi_get_sta_retryrate(wifi_retry_table *table) {
    if (table == nullptr) return -1;
    UniqueFile fp(show_and_open("stacountinfo", WIFI_STACOUNTINFO_PATH, "re"));
    if (!fp) return -1;
    char line[LINE_BUF];
    char packets[KV_BUF] = {0};
    kv_text kv;
    int n = 0;
    while (next_line(fp.get(), line, sizeof(line))) {
        if (strstr(line, "MAC") != nullptr) {
            split_kv(line, &kv);
            if (n < WIFI_CLIENT_SLOTS) wifi_strlcpy_zero(table->szMacStr[n], kv.val, WIFI_MAC_STR_SIZE);
        }
        if (strstr(line, "RxPackets") != nullptr) {
            split_kv(line, &kv);
            memcpy(packets, kv.val, sizeof(packets));
        }
        if (strstr(line, "RxTry") != nullptr && n < WIFI_CLIENT_SLOTS) {
            split_kv(line, &kv);
            int pk = number(packets), tries = number(kv.val);
            double rate = pk != 0 ? tries * 100.0 / pk : 0.0;
            snprintf(table->szRetryRate[n], WIFI_MAC_STR_SIZE, "%.1f%%", rate);
            n++;
        }
    }
    table->iNum = n;
    return 0;
}
