// Site survey and signal commands.
#pragma once

#include <stdint.h>

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

// The table of the last survey, and emptying it (as at start).
const wifi_scan_table &wifi_scan_table_get(void);
void wifi_survey_reset(void);
