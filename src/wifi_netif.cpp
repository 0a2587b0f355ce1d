// Interface control: IPv4 address and netmask, up and down.
#include <errno.h>
#include <net/if.h>
#include <netinet/in.h>
#include <stdio.h>
#include <string.h>
#include <sys/ioctl.h>
#include <sys/socket.h>

#include "unique_fd.h"
#include "wifi_platform.h"
#include "wifi_netif.h"
#include "wifi_util.h"

static void prepare(struct ifreq *ifr, const char *name) {
    memset(ifr, 0, sizeof(*ifr));
    wifi_strlcpy_zero(ifr->ifr_name, name, IFNAMSIZ);  // at most 15 characters
}

static int set_addr(int fd, const char *name, unsigned long request, const uint32_t *value, const char *what) {
    struct ifreq ifr;
    prepare(&ifr, name);
    struct sockaddr_in sin;
    memset(&sin, 0, sizeof(sin));
    sin.sin_family = AF_INET;
    sin.sin_addr.s_addr = *value;
    memcpy(&ifr.ifr_addr, &sin, sizeof(sin));
    if (wifi_plat().netif_ioctl(fd, request, &ifr) != 0) {
        fprintf(stderr, "%s%s\n", what, strerror(errno));
        return -1;
    }
    return 0;
}

int wifi_set_if_addr(const char *name, const uint32_t *addr, const uint32_t *mask) {
    if (name == nullptr) return -1;
    UniqueFd fd(wifi_plat().netif_socket(SOCK_STREAM));
    if (!fd.valid()) {
        printf("Creat socket error!\n");
        return -1;
    }
    if (addr != nullptr && set_addr(fd.get(), name, SIOCSIFADDR, addr, "set ipaddr ioctl error:") != 0) return -1;
    if (mask != nullptr && set_addr(fd.get(), name, SIOCSIFNETMASK, mask, "set net mask ioctl error:") != 0) return -1;
    return 0;
}

int wifi_set_if_flags(const char *name, const char *flag) {
    if (name == nullptr || flag == nullptr) return -1;
    UniqueFd fd(wifi_plat().netif_socket(SOCK_STREAM));
    if (!fd.valid()) {
        printf("Creat socket error!\n");
        return -1;
    }
    // Start from the interface's current flags so that only the up and running
    // bits change; a bare request would also clear multicast, broadcast and the rest.
    struct ifreq ifr;
    prepare(&ifr, name);
    if (wifi_plat().netif_ioctl(fd.get(), SIOCGIFFLAGS, &ifr) != 0) {
        fprintf(stderr, "get flags ioctl error:%s\n", strerror(errno));
        return -1;
    }
    if (strcmp(flag, "up") == 0)
        ifr.ifr_flags = (short)(ifr.ifr_flags | IFF_UP | IFF_RUNNING);
    else
        ifr.ifr_flags = (short)(ifr.ifr_flags & ~IFF_UP);
    if (wifi_plat().netif_ioctl(fd.get(), SIOCSIFFLAGS, &ifr) != 0) {
        fprintf(stderr, "set flags ioctl error:%s\n", strerror(errno));
        return -1;
    }
    return 0;
}
