// Shared by the stress and power-cut programs: the simulated module with a package to
// upgrade it with, and the checks that its files are whole and consistent.
#pragma once

#include <sys/wait.h>

#include <fstream>
#include <map>

#include "sim_module.h"

namespace e2e {

class Proof : public SimModule {
protected:
    int time_scale() const override { return 10; }

    // A small package of version 1.minor, made by wlinkctl pack, beside the module's root.
    std::string package(int major = 1, int minor = 2, char fill = 'i') {
        const std::string dir = root_ + "/../", pkg = dir + "pkg" + fill;
        std::ofstream(dir + "image", std::ios::binary) << std::string(4096, fill);
        std::ofstream(dir + "app", std::ios::binary) << std::string(4096, fill + 1);
        EXPECT_EQ(
            std::system((std::string(WLINKCTL_PATH) + " pack --image " + dir + "image --app " + dir + "app --version " +
                         std::to_string(major) + "." + std::to_string(minor) + " -o " + pkg + " >/dev/null")
                            .c_str()),
            0);
        return pkg;
    }
    // One upgrade by wlinkctl; its exit status.
    int upgrade(const std::string &pkg) {
        const std::string cmd = std::string(WLINKCTL_PATH) + " upgrade --udp 127.0.0.1:" + std::to_string(udp_port_) +
                                " --port " + std::to_string(upgrade_port_) + " --timeout 5000 " + pkg +
                                " >/dev/null 2>&1";
        return WEXITSTATUS(std::system(cmd.c_str()));
    }
};

// "Key=Value" lines (and first words) of a file, in order.
inline std::vector<std::pair<std::string, std::string>> fields(const std::string &text) {
    std::vector<std::pair<std::string, std::string>> out;
    for (const std::string &l : split_lines(text)) {
        const size_t cut = l.find_first_of("= \t"), val = l.find_first_not_of("= \t", cut);
        out.push_back({l.substr(0, cut), val == std::string::npos ? "" : l.substr(val)});
    }
    return out;
}

// Why the profile and the DHCP configuration are not whole and consistent with the
// factory files, or "": every line of the factory file is there with its key, and
// the keys one command writes together agree.
inline std::string check_files(const std::string &profile, const std::string &factory, const std::string &dhcp,
                               const std::string &factory_dhcp) {
    const auto p = fields(profile), pf = fields(factory), d = fields(dhcp), df = fields(factory_dhcp);
    if (p.size() != pf.size() || d.size() != df.size()) return "lines lost or added";
    std::map<std::string, std::string> v;
    for (size_t i = 0; i < p.size(); ++i) {
        if (p[i].first != pf[i].first) return "profile line " + std::to_string(i) + " is " + p[i].first;
        v[p[i].first] = p[i].second;
    }
    for (size_t i = 0; i < d.size(); ++i) {
        if (d[i].first != df[i].first) return "DHCP line " + std::to_string(i) + " is " + d[i].first;
        if (d[i].first != "opt") v["dhcp " + d[i].first] = d[i].second;
    }
    if ((v["AutoChannelSelect"] == "2") != (v["Channel"] == "0"))
        return "channel " + v["AutoChannelSelect"] + "/" + v["Channel"];
    if ((v["HT_BW"] == "1") != (v["HT_BW_TMP"] != "HT20")) return "HT mode " + v["HT_BW_TMP"] + "/" + v["HT_BW"];
    const std::string pool = v["dhcp start"] + " " + v["dhcp end"] + " " + v["dhcp option"];
    for (const char *ok : {"192.168.1.100 192.168.1.200 lease\t86400", "192.168.1.10 192.168.1.15 lease\t3600",
                           "192.168.1.200 192.168.1.250 lease\t7200"})
        if (pool == ok) return "";
    return "DHCP pool " + pool;
}

}  // namespace e2e
