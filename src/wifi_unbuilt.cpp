// Commands whose handlers are not built yet: each answers "+ERR".
#include <stdio.h>

#include "wifi_unbuilt.h"

#define WIFI_UNBUILT(name)                                    \
    WIFI_HANDLER(name) {                                      \
        (void)reply;                                          \
        (void)reply_size;                                     \
        if (cmd) printf("======%s======not built=====\n", #name); \
        return -1;                                            \
    }

// upgrade and version
WIFI_UNBUILT(wifi_msg_proc_upgrade_wifi_rsp)
WIFI_UNBUILT(wifi_msg_proc_get_ver_rsp)
