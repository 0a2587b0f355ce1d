// The simulated driver's requests: interface flags and addresses, and the wireless
// driver's private requests, logged as events.
#include "sim_platform.h"

#include <arpa/inet.h>
#include <errno.h>
#include <net/if.h>  // before linux/wireless.h
#include <linux/sockios.h>
#include <linux/wireless.h>
#include <netinet/in.h>
#include <stdlib.h>
#include <string.h>
#include <sys/socket.h>

namespace {

std::string ip_text(const struct sockaddr *sa) {
    const auto *sin = reinterpret_cast<const struct sockaddr_in *>(sa);
    char buf[INET_ADDRSTRLEN] = "";
    inet_ntop(AF_INET, &sin->sin_addr, buf, sizeof(buf));
    return buf;
}

const char *wireless_name(unsigned long request) {
    switch (request) {
        case SIOCGIWFREQ:
            return "get_freq";
        case SIOCIWFIRSTPRIV + 0x02:
            return "set";
        case SIOCIWFIRSTPRIV + 0x04:
            return "ap_start";
        case SIOCIWFIRSTPRIV + 0x11:
            return "show";
        case SIOCIWFIRSTPRIV + 0x1F:
            return "get_mac_table";
        default:
            return nullptr;
    }
}

}  // namespace

int sim_platform::netif_socket(int type) { return socket(AF_INET, type | SOCK_CLOEXEC, 0); }

int sim_platform::wireless_request(unsigned long request, void *arg) {
    auto *wrq = static_cast<struct iwreq *>(arg);
    std::string ifname(wrq->ifr_name, strnlen(wrq->ifr_name, IFNAMSIZ));
    const char *name = wireless_name(request);
    std::string line = std::string("iwpriv ") + (name ? name : "unknown");
    if (request != SIOCGIWFREQ && request != SIOCIWFIRSTPRIV + 0x1F && wrq->u.data.pointer != nullptr) {
        const char *text = static_cast<const char *>(wrq->u.data.pointer);
        line += " " + std::string(text, strnlen(text, wrq->u.data.length));
    }
    event(line);
    std::lock_guard<std::mutex> g(mu_);
    if (ifname != "ra0" || name == nullptr) {
        errno = ENODEV;
        return -1;
    }
    if (request == SIOCGIWFREQ) {
        if (!ifs_["ra0"].up) {
            errno = ENETDOWN;
            return -1;
        }
        bool ok = false;
        std::string chan = sim_file("channel", &ok);
        memset(&wrq->u, 0, sizeof(wrq->u));
        wrq->u.freq.m = ok ? atoi(chan.c_str()) : radio_channel_;
        return 0;
    }
    if (request == SIOCIWFIRSTPRIV + 0x1F) {
        driver_mac_table(wrq->u.data.pointer, wrq->u.data.length);
        return 0;
    }
    std::string text(static_cast<const char *>(wrq->u.data.pointer),
                     strnlen(static_cast<const char *>(wrq->u.data.pointer), wrq->u.data.length));
    if (request == SIOCIWFIRSTPRIV + 0x11) return driver_show(text);
    // "set NAME=VALUE" (WPS, counters, survey) and "start" are taken as they come.
    bool good = request == SIOCIWFIRSTPRIV + 0x04 ? text == "start" : text.find('=') != std::string::npos;
    if (!good) errno = EINVAL;
    return good ? 0 : -1;
}

int sim_platform::netif_ioctl(int fd, unsigned long request, void *arg) {
    (void)fd;
    if (request >= SIOCIWFIRST && request <= SIOCIWLASTPRIV) return wireless_request(request, arg);

    auto *ifr = static_cast<struct ifreq *>(arg);
    std::string name(ifr->ifr_name, strnlen(ifr->ifr_name, IFNAMSIZ));
    std::lock_guard<std::mutex> g(mu_);
    auto it = ifs_.find(name);
    if (it == ifs_.end()) {
        errno = ENODEV;
        return -1;
    }
    netif &nif = it->second;
    switch (request) {
        case SIOCGIFFLAGS:
            ifr->ifr_flags = (short)(IFF_BROADCAST | IFF_MULTICAST | (nif.up ? IFF_UP | IFF_RUNNING : 0));
            return 0;
        case SIOCSIFFLAGS: {
            bool up = (ifr->ifr_flags & IFF_UP) != 0;
            event("ifflags " + name + (up ? " up" : " down"));
            if (up && !nif.up && name == "ra0") load_radio();
            nif.up = up;
            save_state();
            return 0;
        }
        case SIOCSIFADDR:
            nif.addr = ip_text(&ifr->ifr_addr);
            event("ifaddr " + name + " " + nif.addr + " -");
            save_state();
            return 0;
        case SIOCSIFNETMASK:
            nif.mask = ip_text(&ifr->ifr_netmask);
            event("ifaddr " + name + " - " + nif.mask);
            save_state();
            return 0;
        case SIOCGIFHWADDR:
            memset(&ifr->ifr_hwaddr, 0, sizeof(ifr->ifr_hwaddr));
            ifr->ifr_hwaddr.sa_family = 1;
            hwaddr(reinterpret_cast<unsigned char *>(ifr->ifr_hwaddr.sa_data));
            return 0;
        default:
            errno = EOPNOTSUPP;
            return -1;
    }
}
