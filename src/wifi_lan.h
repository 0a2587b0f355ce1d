// LAN, UDP peer, DHCP, VLAN and switch-port commands.
#pragma once

#include "wifi_msg_proc.h"

WIFI_HANDLER(wifi_msg_proc_set_udp_src_rsp);
WIFI_HANDLER(wifi_msg_proc_get_udp_src_rsp);
WIFI_HANDLER(wifi_msg_proc_set_udp_key_rsp);
WIFI_HANDLER(wifi_msg_proc_set_lan_ip_rsp);
WIFI_HANDLER(wifi_msg_proc_get_lan_ip_rsp);
WIFI_HANDLER(wifi_msg_proc_close_dhcp_rsp);
WIFI_HANDLER(wifi_msg_proc_set_dhcp_rsp);
WIFI_HANDLER(wifi_msg_proc_get_dhcp_rsp);
WIFI_HANDLER(wifi_msg_proc_get_port_rsp);
WIFI_HANDLER(wifi_msg_proc_clear_vlan_rsp);
WIFI_HANDLER(wifi_msg_proc_set_vlan_rsp);
WIFI_HANDLER(wifi_msg_proc_get_vlan_rsp);
