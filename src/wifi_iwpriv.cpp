// The wireless driver's ioctls on ra0: one socket and one request per call.
#include <net/if.h>  // before linux/wireless.h
#include <linux/sockios.h>
#include <linux/wireless.h>
#include <stdio.h>
#include <string.h>
#include <sys/socket.h>

#include "unique_fd.h"
#include "wifi_iwpriv.h"
#include "wifi_platform.h"
#include "wifi_util.h"

enum { IW_TEXT_BUF = 255, IW_GUARD = 256 };
static const char kWifiIf[] = "ra0";
static const char kSetSocketErr[] = "========iwpriv ioctl set socket error!=========================";

// A request on ra0 whose data is `len` bytes at `buf`.
static void point_request(struct iwreq *wrq, void *buf, unsigned short len) {
    memset(wrq, 0, sizeof(*wrq));
    wifi_strlcpy_zero(wrq->ifr_name, kWifiIf, sizeof(wrq->ifr_name));
    wrq->u.data.pointer = buf;
    wrq->u.data.length = len;
    wrq->u.data.flags = 0;
}

// One text request: `text` (cut to 254 characters) in a zeroed 255-byte buffer,
// `length` as given, or the text's length + 1 when `length` is 0.
static int text_request(unsigned long request, const char *text, unsigned short length, const char *socket_err,
                        const char *ioctl_err_fmt) {
    char buf[IW_TEXT_BUF];
    memset(buf, 0, sizeof(buf));
    UniqueFd fd(wifi_plat().netif_socket(SOCK_DGRAM));
    if (!fd.valid()) {
        printf("%s\n", socket_err);
        return -1;
    }
    wifi_strlcpy_zero(buf, text, sizeof(buf));
    struct iwreq wrq;
    point_request(&wrq, buf, length != 0 ? length : (unsigned short)(strlen(buf) + 1));
    int ret = wifi_plat().netif_ioctl(fd.get(), request, &wrq);
    if (ret != 0 && ioctl_err_fmt != nullptr) printf(ioctl_err_fmt, text);
    return ret;
}

int iwpriv_set_cmd_execute(const char *text, unsigned size) {
    if (text == nullptr || size >= IW_GUARD) {
        printf("======iwpriv ioctl set para error!===========================\n");
        return -1;
    }
    return text_request(SIOCIWFIRSTPRIV + 0x02, text, 0, kSetSocketErr,
                        "==========IWPRIV IOCTL ERROR,cmd:%s================\n");
}

int iwpriv_show_wifi_info(const char *name, unsigned size) {
    if (name == nullptr || size >= IW_GUARD) {
        printf("======iwpriv_show_wifi_info ioctl  para error!===========================\n");
        return -1;
    }
    return text_request(SIOCIWFIRSTPRIV + 0x11, name, IW_TEXT_BUF,
                        "========iwpriv_show_wifi_info ioctl  socket error!=========================",
                        "===========iwconfig_get_cmd_execute ioctl error===================\n");
}

int iwpriv_ap_start(void) { return text_request(SIOCIWFIRSTPRIV + 0x04, "start", 6, kSetSocketErr, nullptr); }

int iwpriv_site_survey(void) {
    return text_request(SIOCIWFIRSTPRIV + 0x02, "SiteSurvey=1", 13, kSetSocketErr, nullptr);
}

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
    point_request(&wrq, text, IW_TEXT_BUF);
    int ret = wifi_plat().netif_ioctl(fd.get(), SIOCGIWFREQ, &wrq);
    if (ret != 0) {
        printf("===========iwconfig_get_cmd_execute ioctl error===================\n");
        return ret;
    }
    if (size > 0) snprintf(out, size, "%d", (int)wrq.u.freq.m);
    return 0;
}

static uint32_t le32(const uint8_t *p) {
    return (uint32_t)p[0] | (uint32_t)p[1] << 8 | (uint32_t)p[2] << 16 | (uint32_t)p[3] << 24;
}

void wifi_mac_table_decode(const uint8_t *raw, size_t len, wifi_mac_table *out) {
    uint8_t buf[WIFI_MAC_TABLE_SIZE];
    memset(buf, 0, sizeof(buf));
    memcpy(buf, raw, len < sizeof(buf) ? len : sizeof(buf));
    memset(out, 0, sizeof(*out));
    out->num = le32(buf);
    if (out->num > WIFI_MAC_TABLE_ENTRIES) out->num = WIFI_MAC_TABLE_ENTRIES;
    for (int i = 0; i < WIFI_MAC_TABLE_ENTRIES; i++) {
        const uint8_t *e = buf + 4 + i * WIFI_MAC_ENTRY_SIZE;
        wifi_mac_entry &d = out->entry[i];
        memcpy(d.mac, e + 1, sizeof(d.mac));
        d.rssi = (int8_t)e[10];
        d.connect_time = le32(e + 16);
        d.tx_rate = le32(e + 20);
        d.rx_rate = le32(e + 24);
    }
}

int iwpriv_get_wifi_mac_table(wifi_mac_table *table) {
    if (table == nullptr) {
        printf("======iwpriv_get_wifi_mac_table para error!===========================\n");
        return -1;
    }
    uint8_t raw[WIFI_MAC_TABLE_SIZE];
    memset(raw, 0, sizeof(raw));
    int sock = wifi_plat().netif_socket(SOCK_DGRAM);
    UniqueFd fd(sock);
    if (!fd.valid()) {
        printf("create socket error.[%d]\n", sock);
        return -1;
    }
    struct iwreq wrq;
    point_request(&wrq, raw, WIFI_MAC_TABLE_SIZE);
    int ret = wifi_plat().netif_ioctl(fd.get(), SIOCIWFIRSTPRIV + 0x1F, &wrq);
    if (ret != 0) {
        printf("ioctl RTPRIV_IOCTL_GET_MAC_TABLE_STRUCT error.\n");
        return ret;
    }
    wifi_mac_table_decode(raw, sizeof(raw), table);
    for (uint32_t i = 0; i < table->num; i++) {
        const wifi_mac_entry &e = table->entry[i];
        printf("mac:%02x:%02x:%02x:%02x:%02x:%02x,connect time:%d,rssi[%d],bw[%d],rx[%d],tx[%d]\n", e.mac[0], e.mac[1],
               e.mac[2], e.mac[3], e.mac[4], e.mac[5], (int)e.connect_time, (int)e.rssi, (int)((e.tx_rate >> 7) & 1),
               (int)e.rx_rate, (int)(e.tx_rate & 0xFFFF));
    }
    return 0;
}

int wifi_get_mac(char *out) {
    if (out == nullptr) return -1;
    UniqueFd fd(wifi_plat().netif_socket(SOCK_DGRAM));
    if (!fd.valid()) {
        printf("========iwpriv ioctl set socket error!==============\n");
        return -1;
    }
    struct ifreq ifr;
    memset(&ifr, 0, sizeof(ifr));
    wifi_strlcpy_zero(ifr.ifr_name, kWifiIf, sizeof(ifr.ifr_name));
    int ret = wifi_plat().netif_ioctl(fd.get(), SIOCGIFHWADDR, &ifr);
    if (ret != 0) return ret;
    const uint8_t *m = (const uint8_t *)ifr.ifr_hwaddr.sa_data;
    snprintf(out, 32, "%02X:%02X:%02X:%02X:%02X:%02X\n", m[0], m[1], m[2], m[3], m[4], m[5]);
    printf("=========wifi mac pMac ==%s================\n", out);
    int ff = 0, zero = 0;
    for (int i = 0; i < 6; i++) {
        ff += m[i] == 0xFF;
        zero += m[i] == 0x00;
    }
    if (ff == 6 || zero == 6) {
        printf("wifi_get_mac_error\n");
        return -1;
    }
    return 0;
}
