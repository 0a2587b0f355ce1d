// The driver's status files under /var/run, asked for with a show request and read
// into the tables the station and WPS commands report from.
#pragma once

#include <stdint.h>

#define WIFI_STAINFO_PATH "/var/run/stainfo"
#define WIFI_WSCINFO_PATH "/var/run/wscinfo"
#define WIFI_STACOUNTINFO_PATH "/var/run/stacountinfo"

enum { WIFI_CLIENT_SLOTS = 16, WIFI_MAC_STR_SIZE = 32, WIFI_PER_TEXT_SIZE = 16 };

struct wifi_client_info {
    char szMacStr[WIFI_MAC_STR_SIZE];  // lower case
    int32_t iRssi0;
    int32_t iRssi1;
    int32_t iBw40;
    int32_t iRate;
};

struct wifi_client_table {
    int32_t iNum;
    wifi_client_info info[WIFI_CLIENT_SLOTS];
};

struct wifi_retry_table {
    int32_t iNum;
    char szMacStr[WIFI_CLIENT_SLOTS][WIFI_MAC_STR_SIZE];
    char szRetryRate[WIFI_CLIENT_SLOTS][WIFI_MAC_STR_SIZE];
};

// Each returns 0, or -1 when the show request or the file failed. Stations past the
// 16 slots are not stored and not counted.
int wifi_refresh_client_info(wifi_client_table *table);
// The status number is written only when the file has a "WscStatus=0x<n>" line.
int wifi_get_wsc_status(int32_t *status);
// TX PER text in per[0..15], RX PER text in per[16..31]; per holds 32 bytes.
int wifi_get_tx_rx_per(char *per);
int wifi_get_sta_retryrate(wifi_retry_table *table);
