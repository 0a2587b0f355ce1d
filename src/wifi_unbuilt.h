// Commands whose handlers are not built yet: each answers "+ERR".
#pragma once

#include "wifi_msg_proc.h"

WIFI_HANDLER(wifi_msg_proc_upgrade_wifi_rsp);
WIFI_HANDLER(wifi_msg_proc_get_ver_rsp);
