// The wireless driver's ioctls on ra0.
#include <net/if.h>  // before linux/wireless.h
#include <linux/wireless.h>
#include <stdio.h>
#include <string.h>
#include <sys/socket.h>

#include "unique_fd.h"
#include "wifi_platform.h"
#include "wifi_iwpriv.h"
#include "wifi_util.h"

enum { IW_TEXT_BUF = 255, IW_GUARD = 256 };
static const char kWifiIf[] = "ra0";

int iwconfig_get_current_channel(char *out, unsigned size) {
    if (out == nullptr || size >= IW_GUARD) {
        printf("======iwconfig ioctl  para error!===========================\n");
        return -1;
    }
    char text[IW_TEXT_BUF];
    memset(text, 0, sizeof(text));
    UniqueFd fd(wifi_plat().netif_socket(SOCK_DGRAM));
    if (!fd.valid()) {
        printf("========iwconfig ioctl  socket error!=========================\n");
        return -1;
    }
    struct iwreq wrq;
    memset(&wrq, 0, sizeof(wrq));
    wifi_strlcpy_zero(wrq.ifr_name, kWifiIf, sizeof(wrq.ifr_name));
    wrq.u.data.pointer = text;
    wrq.u.data.length = IW_TEXT_BUF;
    wrq.u.data.flags = 0;
    int ret = wifi_plat().netif_ioctl(fd.get(), SIOCGIWFREQ, &wrq);
    if (ret != 0) {
        printf("===========iwconfig_get_cmd_execute ioctl error===================\n");
        return ret;
    }
    if (size > 0) snprintf(out, size, "%d", (int)wrq.u.freq.m);
    return 0;
}
