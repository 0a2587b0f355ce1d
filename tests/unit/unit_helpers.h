// Shared helpers of the unit tests: a seeded fake root, a dispatch call with the
// links' buffer sizes, and readable renderings of what the fake recorded.
#pragma once

#include <net/if.h>
#include <sys/ioctl.h>

#include <array>
#include <cstring>
#include <string>
#include <utility>
#include <vector>

#include "fake_platform.h"
#include "wlinkcmd.h"

// A fake root holding the factory profile and DHCP configuration.
class SeededRoot {
public:
    SeededRoot() {
        scope_->write_file(WIFI_PROFILE_PATH, factory_profile_text());
        scope_->write_file(WIFI_DHCP_CFG_PATH, factory_dhcp_text());
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
    std::string text;                        // up to the first NUL
    std::array<char, WIFI_REPLY_BUF_SIZE> raw;  // the whole buffer
};

// One dispatch as a link does it: zero-filled 256-byte reply, size 256.
inline Reply dispatch(const std::string &cmd) {
    Reply r{};
    r.raw.fill(0);
    r.ret = wifi_msg_proc_distribute(cmd.c_str(), r.raw.data(), WIFI_REPLY_BUF_SIZE);
    r.text = r.raw.data();
    return r;
}

// One handler called directly the same way.
inline Reply call(wifi_msg_proc_fn fn, const std::string &cmd) {
    Reply r{};
    r.raw.fill(0);
    r.ret = fn(cmd.c_str(), r.raw.data(), WIFI_REPLY_BUF_SIZE);
    r.text = r.raw.data();
    return r;
}

// Replaces the first line that starts with `prefix` by `line`; the line must exist.
inline std::string replace_line(std::string text, const std::string &prefix, const std::string &line) {
    size_t pos = text.compare(0, prefix.size(), prefix) == 0 ? 0 : text.find('\n' + prefix);
    if (pos == std::string::npos) return text + "<<missing line " + prefix + ">>";
    if (pos != 0) pos++;
    size_t end = text.find('\n', pos);
    text.replace(pos, end - pos, line);
    return text;
}

// A key's value in the factory profile.
inline std::string factory_value(const std::string &key) {
    const std::string t = "\n" + factory_profile_text();
    size_t pos = t.find("\n" + key + "=");
    if (pos == std::string::npos) return "<<no " + key + ">>";
    pos += key.size() + 2;
    return t.substr(pos, t.find('\n', pos) - pos);
}
inline const std::string kFactorySsid = factory_value("SSID1");

// The factory profile with some keys holding other values.
inline std::string profile_with(const std::vector<std::pair<std::string, std::string>> &kv) {
    std::string t = factory_profile_text();
    for (const auto &p : kv) t = replace_line(t, p.first + "=", p.first + "=" + p.second);
    return t;
}

// The factory profile without the line of one key.
inline std::string profile_without(const std::string &key) {
    std::string t = factory_profile_text();
    size_t pos = t.find('\n' + key + "=");
    if (pos == std::string::npos) return t;
    size_t end = t.find('\n', pos + 1);
    t.erase(pos, end - pos);
    return t;
}

inline std::string hex_flags(int f) {
    char b[16];
    snprintf(b, sizeof(b), "0x%x", f);
    return b;
}

// "GIFFLAGS ra0", "SIFFLAGS ra0 0x1042", "SIFADDR br0 10.0.0.1", "SIFNETMASK br0 255.255.255.0".
inline std::vector<std::string> ioctl_log(const FakePlatform &p) {
    std::vector<std::string> out;
    for (const FakeIoctl &io : p.ioctls) {
        switch (io.request) {
        case SIOCGIFFLAGS: out.push_back("GIFFLAGS " + io.ifname); break;
        case SIOCSIFFLAGS: out.push_back("SIFFLAGS " + io.ifname + " " + hex_flags(io.flags)); break;
        case SIOCSIFADDR: out.push_back("SIFADDR " + io.ifname + " " + io.addr); break;
        case SIOCSIFNETMASK: out.push_back("SIFNETMASK " + io.ifname + " " + io.addr); break;
        default: out.push_back("other " + io.ifname); break;
        }
    }
    return out;
}

// The ioctls of a radio restart and of a radio stop, with the fake's default flags.
inline std::vector<std::string> radio_down() { return {"GIFFLAGS ra0", "SIFFLAGS ra0 0x1042"}; }
inline std::vector<std::string> radio_restart() {
    return {"GIFFLAGS ra0", "SIFFLAGS ra0 0x1042", "GIFFLAGS ra0", "SIFFLAGS ra0 0x1043"};
}

inline std::vector<std::string> concat(std::vector<std::string> a, const std::vector<std::string> &b) {
    a.insert(a.end(), b.begin(), b.end());
    return a;
}

inline bool pending_is(uint32_t wifi, uint32_t dhcp, uint32_t lan) {
    return g_cfg_pending.wifi_changed == wifi && g_cfg_pending.dhcp_changed == dhcp &&
           g_cfg_pending.lan_ip_changed == lan;
}
