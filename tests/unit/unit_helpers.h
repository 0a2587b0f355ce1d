// Shared helpers of the unit tests: a seeded fake root, a dispatch as the links do
// it, and readable renderings of what the fake recorded.
#pragma once

#include <net/if.h>
#include <sys/ioctl.h>

#include <cstring>
#include <string>
#include <utility>
#include <vector>

#include "platform_fake.h"
#include "wifi_apply.h"
#include "wifi_dhcp_cfg.h"
#include "wifi_frame.h"
#include "wifi_lan.h"
#include "wifi_msg_proc.h"
#include "wifi_netif.h"
#include "wifi_profile.h"
#include "wifi_radio.h"
#include "wifi_uart.h"
#include "wifi_uart_link.h"
#include "wifi_up_proc.h"
#include "wifi_udp_link.h"
#include "wifi_util.h"

using Lines = std::vector<std::string>;
using KV = std::vector<std::pair<std::string, std::string>>;

// A fake root holding the factory profile (at both its paths) and DHCP configuration.
class SeededRoot {
public:
    SeededRoot() {
        scope_->seed_factory_files();
        scope_->switch_output = "value=06\n";
        sys_upg_mark_load();  // as the daemon starts on this root
    }
    FakePlatform &operator*() { return *scope_; }
    FakePlatform *operator->() { return &*scope_; }
    std::string profile() { return scope_->read_file(WIFI_PROFILE_PATH); }
    std::string dhcp() { return scope_->read_file(WIFI_DHCP_CFG_PATH); }

private:
    FakePlatformScope scope_;
};

struct Reply {
    int ret;
    std::string text;
};

// One dispatch as a link makes it: zero-filled 256-byte reply, size 256.
inline Reply dispatch(const std::string &cmd) {
    char reply[WIFI_REPLY_BUF_SIZE] = {0};
    int ret = wifi_msg_proc_distribute(cmd.c_str(), reply, sizeof(reply));
    return {ret, reply};
}

// Replaces the first line starting with `prefix` by `line` ("" deletes it).
inline std::string replace_line(std::string text, const std::string &prefix, const std::string &line) {
    size_t pos = text.compare(0, prefix.size(), prefix) == 0 ? 0 : text.find('\n' + prefix);
    if (pos == std::string::npos) return text + "<<missing line " + prefix + ">>";
    if (pos != 0) pos++;
    size_t end = text.find('\n', pos);
    if (line.empty()) return text.erase(pos, end - pos + 1);
    return text.replace(pos, end - pos, line);
}

// The factory profile with some keys holding other values; "<none>" drops the line.
inline std::string profile_with(const KV &kv) {
    std::string t = factory_profile_text();
    for (const auto &p : kv) t = replace_line(t, p.first + "=", p.second == "<none>" ? "" : p.first + "=" + p.second);
    return t;
}

// The factory DHCP configuration with lines replaced: {line prefix, new line}.
inline std::string conf_with(const KV &lines) {
    std::string t = factory_dhcp_text();
    for (const auto &l : lines) t = replace_line(t, l.first, l.second);
    return t;
}

// "GIFFLAGS ra0", "SIFFLAGS ra0 0x1042", "SIFADDR br0 10.0.0.1", "SIFNETMASK br0 255.255.255.0".
inline Lines ioctl_log(const FakePlatform &p) {
    Lines out;
    for (const FakeIoctl &io : p.ioctls) {
        char flags[16];
        snprintf(flags, sizeof(flags), "0x%x", io.flags);
        switch (io.request) {
            case SIOCGIFFLAGS:
                out.push_back("GIFFLAGS " + io.ifname);
                break;
            case SIOCSIFFLAGS:
                out.push_back("SIFFLAGS " + io.ifname + " " + flags);
                break;
            case SIOCSIFADDR:
                out.push_back("SIFADDR " + io.ifname + " " + io.addr);
                break;
            case SIOCSIFNETMASK:
                out.push_back("SIFNETMASK " + io.ifname + " " + io.addr);
                break;
            default:
                out.push_back("other " + io.ifname);
                break;
        }
    }
    return out;
}

inline bool pending_is(uint32_t wifi, uint32_t dhcp, uint32_t lan) {
    return g_cfg_pending.wifi_changed == wifi && g_cfg_pending.dhcp_changed == dhcp &&
           g_cfg_pending.lan_ip_changed == lan;
}
