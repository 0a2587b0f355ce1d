// Site survey and signal commands.
#pragma once

#include <stdint.h>
#include <stdio.h>

#include "wifi_msg_proc.h"

#define WIFI_SCAN_FILE "wifi_scan.txt"  // in the daemon's working folder

enum { WIFI_SCAN_ENTRIES = 32, WIFI_SCAN_WORD = 32, WIFI_SCAN_MIN_SIGNAL = 71 };

struct wifi_scan_entry {
    int32_t iChannel;
    char szSsid[WIFI_SCAN_WORD];
    char szBssid[WIFI_SCAN_WORD];
    char szSecurity[WIFI_SCAN_WORD];
    int32_t iSignal;
};

struct wifi_scan_table {
    int32_t iNum;
    wifi_scan_entry entry[WIFI_SCAN_ENTRIES];
};

WIFI_HANDLER(wifi_msg_proc_scan_rsp);
WIFI_HANDLER(wifi_msg_proc_get_wifi_signal_num_rsp);
WIFI_HANDLER(wifi_msg_proc_get_wifi_singal_tableinfo_byindex_rsp);
WIFI_HANDLER(wifi_msg_proc_get_sensitivity);

// One network line of the survey listing, "CHANNEL SSID BSSID SECURITY SIGNAL ...":
// 0, or -1 (the entry is then all zeros) when the five fields are not all there.
int wifi_survey_parse_line(const char *line, wifi_scan_entry *e);
// Reads the next line of the listing (at most 127 characters are kept, the rest of a
// longer line is skipped) without its line feed; false at the end.
bool wifi_survey_next_line(FILE *fp, char *line, size_t size);

// The table of the last survey, and emptying it (as at start).
const wifi_scan_table &wifi_scan_table_get(void);
void wifi_survey_reset(void);
