// Station commands: associated stations, their leases, retry and error figures.
#pragma once

#include <stddef.h>

#include "wifi_msg_proc.h"

#define WIFI_LEASES_PATH "/tmp/udhcpd.leases"

WIFI_HANDLER(wifi_msg_proc_get_client_num_rsp);
WIFI_HANDLER(wifi_msg_proc_get_client_info_rsp);
WIFI_HANDLER(wifi_msg_proc_get_client_ip_rsp);
WIFI_HANDLER(wifi_msg_proc_get_phy_rsp);
WIFI_HANDLER(wifi_msg_proc_check_mactable_rsp);
WIFI_HANDLER(wifi_msg_proc_get_mac);
WIFI_HANDLER(wifi_msg_proc_get_per_rsp);
WIFI_HANDLER(wifi_msg_proc_set_reset_counter);
WIFI_HANDLER(wifi_msg_proc_get_client_retry_info_rsp);

// The leased address of the station `mac` (lower-case "xx:xx:xx:xx:xx:xx") in the
// DHCP server's lease file, dotted, into ip ("" when it has no lease). 0, or -1 when
// the file cannot be read.
int wifi_lease_find_ip(const char *mac, char *ip, size_t ip_size);

// Empties the station tables (as at start).
void wifi_station_reset(void);
