// The wireless driver's requests on ra0.
#pragma once

#include <stddef.h>
#include <stdint.h>

// The driver's association table, as it lays it out (little-endian): a 32-bit count
// and 32 entries of 40 bytes.
enum {
    WIFI_MAC_TABLE_ENTRIES = 32,
    WIFI_MAC_ENTRY_SIZE = 40,
    WIFI_MAC_TABLE_SIZE = 4 + WIFI_MAC_TABLE_ENTRIES * WIFI_MAC_ENTRY_SIZE,  // 1284
};

struct wifi_mac_entry {
    uint8_t mac[6];
    int8_t rssi;
    uint32_t connect_time;
    uint32_t tx_rate;  // bit 7: 40 MHz; low 16 bits: the rate code
    uint32_t rx_rate;
};

struct wifi_mac_table {
    uint32_t num;  // valid entries, at most WIFI_MAC_TABLE_ENTRIES
    wifi_mac_entry entry[WIFI_MAC_TABLE_ENTRIES];
};

// Decodes the table from the driver's bytes (len of them; what is missing reads as 0).
// A count above the table's room is taken as a full table.
void wifi_mac_table_decode(const uint8_t *raw, size_t len, wifi_mac_table *out);

int iwpriv_set_cmd_execute(const char *text, unsigned size);
int iwconfig_get_current_channel(char *out, unsigned size);
// Makes the driver write a status file: "stainfo", "stat" or "stacountinfo".
int iwpriv_show_wifi_info(const char *name, unsigned size);
int iwpriv_get_wifi_mac_table(wifi_mac_table *table);
int iwpriv_ap_start(void);
// "XX:XX:XX:XX:XX:XX\n" into out (32 bytes); -1 for an all-zero or all-0xFF address.
int wifi_get_mac(char *out);
int iwpriv_site_survey(void);
