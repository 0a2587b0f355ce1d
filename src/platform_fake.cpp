#include "platform_fake.h"

#include <arpa/inet.h>
#include <errno.h>
#include <net/if.h>  // before linux/wireless.h
#include <linux/wireless.h>
#include <netinet/in.h>
#include <stdlib.h>
#include <string.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <sstream>

#include "wifi_access.h"
#include "wifi_apply.h"
#include "wifi_dhcp_cfg.h"
#include "wifi_profile.h"
#include "wifi_station.h"
#include "wifi_survey.h"
#include "wifi_uart_link.h"
#include "wifi_udp_link.h"
#include "wifi_util.h"

namespace fs = std::filesystem;

FakePlatform::FakePlatform(const char *base) {
    std::string tmpl = std::string(base) + "/wlinktest.XXXXXX";
    root_ = mkdtemp(tmpl.data()) ? tmpl : "/nonexistent";
}

FakePlatform::~FakePlatform() {
    std::error_code ec;
    fs::remove_all(root_, ec);
}

void FakePlatform::write_file(const std::string &module_path, const std::string &content) const {
    fs::path p = path(module_path);
    fs::create_directories(p.parent_path());
    std::ofstream(p, std::ios::binary) << content;
}

std::string FakePlatform::read_file(const std::string &module_path) const {
    std::ifstream in(path(module_path), std::ios::binary);
    std::stringstream ss;
    ss << in.rdbuf();
    return ss.str();
}

void FakePlatform::seed_factory_files() const {
    write_file(WIFI_PROFILE_PATH, factory_profile_text());
    write_file(WIFI_FACTORY_PROFILE_PATH, factory_profile_text());
    write_file(WIFI_DHCP_CFG_PATH, factory_dhcp_text());
}

bool FakePlatform::exists(const std::string &module_path) const { return fs::exists(path(module_path)); }

int FakePlatform::map_path(const char *module_path, char *out, size_t out_size) {
    std::string p = module_path[0] == '/' ? root_ + module_path : root_ + "/" + module_path;
    if (p.size() >= out_size) return -1;
    memcpy(out, p.c_str(), p.size() + 1);
    return 0;
}

int FakePlatform::file_stamp(const char *module_path, wifi_file_stamp *out) {
    return wifi_stat_stamp(path(module_path).c_str(), coarse_file_times, out);
}

int FakePlatform::record(const FakeOp &op) {
    if (on_op) on_op(op);
    if (flash && op_status == 0) flash_op(op);
    std::lock_guard<std::mutex> g(mu_);
    ops.push_back(op);
    if (op.op == WIFI_OP_REBOOT || op.op == WIFI_OP_SWITCH_READ) return tools_fail ? -1 : 0;
    return op_status;
}

// The flash operations as the tools carry them out: a file written at the start of a
// partition, the record's block erased.
void FakePlatform::flash_op(const FakeOp &op) {
    std::string dev, data;
    if (op.op == WIFI_OP_FLASH_COPY) {
        dev = "/dev/mtd" + std::to_string(op.mtd), data = read_file(op.text);
    } else if (op.op == WIFI_OP_RECORD_WRITE) {
        dev = "/dev/mtd2", data = read_file("/tmp/mtd2_buf");
    } else if (op.op == WIFI_OP_RECORD_ERASE) {
        dev = "/dev/mtd2", data = std::string(0x10000, '\xFF');
    } else {
        return;
    }
    std::string part = read_file(dev);
    part.replace(0, std::min(data.size(), part.size()), data, 0, std::min(data.size(), part.size()));
    write_file(dev, part);
}

int FakePlatform::switch_reg_read(char *out, size_t size) {
    int r = record({WIFI_OP_SWITCH_READ});
    if (r != 0) return r;
    FILE *fp = tmpfile();
    if (fp == nullptr) return -1;
    fwrite(switch_output.data(), 1, switch_output.size(), fp);
    rewind(fp);
    wifi_read_output(fp, out, size);
    fclose(fp);
    return 0;
}

int FakePlatform::netif_socket(int type) {
    if (socket_fails) return -1;
    return socket(AF_INET, type, 0);
}

int FakePlatform::netif_ioctl(int fd, unsigned long request, void *arg) {
    std::lock_guard<std::mutex> g(mu_);
    if (real_netif) {
        FakeIoctl rec{request, std::string(static_cast<struct ifreq *>(arg)->ifr_name), "", 0, ""};
        ioctls.push_back(rec);
        return ioctl(fd, request, arg);
    }
    FakeIoctl rec{request, "", "", 0, ""};
    if (request == SIOCSIFADDR || request == SIOCSIFNETMASK || request == SIOCSIFFLAGS || request == SIOCGIFFLAGS) {
        auto *ifr = static_cast<struct ifreq *>(arg);
        rec.ifname = std::string(ifr->ifr_name, strnlen(ifr->ifr_name, IFNAMSIZ));
        if (request == SIOCGIFFLAGS) ifr->ifr_flags = (short)interface_flags;
        if (request == SIOCSIFFLAGS) rec.flags = (unsigned short)ifr->ifr_flags;
        if (request == SIOCSIFADDR || request == SIOCSIFNETMASK) {
            auto *sin = reinterpret_cast<struct sockaddr_in *>(&ifr->ifr_addr);
            char buf[INET_ADDRSTRLEN];
            inet_ntop(AF_INET, &sin->sin_addr, buf, sizeof(buf));
            rec.addr = buf;
        }
    } else if (request == SIOCGIFHWADDR) {
        auto *ifr = static_cast<struct ifreq *>(arg);
        rec.ifname = std::string(ifr->ifr_name, strnlen(ifr->ifr_name, IFNAMSIZ));
        memcpy(ifr->ifr_hwaddr.sa_data, hwaddr, sizeof(hwaddr));
    } else {
        auto *wrq = static_cast<struct iwreq *>(arg);
        rec.ifname = std::string(wrq->ifr_name, strnlen(wrq->ifr_name, IFNAMSIZ));
        rec.length = wrq->u.data.length;
        rec.data_flags = wrq->u.data.flags;
        if (request == SIOCGIWFREQ) {
            wrq->u.freq.m = channel;
        } else if (request == SIOCIWFIRSTPRIV + 0x1F) {
            memcpy(wrq->u.data.pointer, mac_table.data(), std::min<size_t>(mac_table.size(), wrq->u.data.length));
        } else if (wrq->u.data.pointer != nullptr && wrq->u.data.length > 0) {
            const char *t = static_cast<const char *>(wrq->u.data.pointer);
            rec.text = std::string(t, strnlen(t, wrq->u.data.length));
        }
    }
    ioctls.push_back(rec);
    auto it = ioctl_result.find(request);
    int r = it == ioctl_result.end() ? 0 : it->second;
    if (r != 0) errno = EIO;
    return r;
}

void FakePlatform::sleep_ms(unsigned ms) {
    {
        std::lock_guard<std::mutex> g(mu_);
        slept_ms += ms;
    }
    if (on_sleep) on_sleep(ms);
}

int FakePlatform::poll(struct pollfd *fds, nfds_t nfds, int timeout_ms) { return ::poll(fds, nfds, timeout_ms); }

void FakePlatform::bind_addr(wifi_port_id, struct sockaddr_in *addr) {
    memset(addr, 0, sizeof(*addr));
    addr->sin_family = AF_INET;
    addr->sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    addr->sin_port = 0;
}

void FakePlatform::link_event(wifi_link_event ev) {
    std::lock_guard<std::mutex> g(mu_);
    link_events.push_back(ev);
}

static void reset_daemon_state() {
    wifi_clear_cfg_pending();
    wifi_set_udp_src_ipaddr("");
    wifi_uart_link_reset();
    wifi_station_reset();
    wifi_survey_reset();
    wifi_access_reset();
}

FakePlatformScope::FakePlatformScope() {
    reset_daemon_state();
    wifi_platform_set(&plat_);
}

FakePlatformScope::~FakePlatformScope() {
    wifi_platform_set(wifi_platform_target());
    reset_daemon_state();
}

long long FakePlatform::flash_size(const char *module_dev) {
    std::error_code ec;
    uintmax_t n = fs::file_size(path(module_dev), ec);
    return ec ? -1 : (long long)n;
}
