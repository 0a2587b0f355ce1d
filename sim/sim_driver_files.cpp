// The simulated driver's answers: stations, WPS status and hardware address come from
// plain files under DIR/sim, read afresh at every request.
#include "sim_platform.h"

#include <errno.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>

#include <algorithm>
#include <fstream>
#include <sstream>
#include <vector>

namespace {

const char kDefaultWscInfo[] = "WscStatus=0x1\nTX PER=0%\nRX PER=0%\n";

struct sim_station {
    std::string mac, rssi[3], bw, rate, connect_time, rx_packets, rx_try;
};

std::vector<sim_station> parse_stations(const std::string &text) {
    std::vector<sim_station> out;
    std::istringstream in(text);
    std::string line;
    while (std::getline(in, line)) {
        std::istringstream words(line);
        sim_station s;
        if (!(words >> s.mac) || s.mac[0] == '#') continue;
        words >> s.rssi[0] >> s.rssi[1] >> s.rssi[2] >> s.bw >> s.rate >> s.connect_time >> s.rx_packets >> s.rx_try;
        out.push_back(s);
    }
    return out;
}

void put_le32(unsigned char *p, uint32_t v) {
    for (int i = 0; i < 4; i++) p[i] = (unsigned char)(v >> (8 * i));
}

}  // namespace

std::string sim_platform::sim_file(const std::string &name, bool *ok) const {
    return read_whole(opt_.root + "/sim/" + name, ok);
}

void sim_platform::write_module_file(const std::string &module_path, const std::string &text) const {
    std::string path = module_file(module_path), tmp = path + ".sim-tmp";
    mkdir((opt_.root + "/var").c_str(), 0755);
    mkdir((opt_.root + "/var/run").c_str(), 0755);
    {
        std::ofstream out(tmp, std::ios::binary | std::ios::trunc);
        out << text;
    }
    rename(tmp.c_str(), path.c_str());
}

void sim_platform::hwaddr(unsigned char mac[6]) const {
    static const unsigned char kDefault[6] = {0x02, 0x11, 0x22, 0x33, 0x44, 0x55};
    memcpy(mac, kDefault, 6);
    bool ok = false;
    std::string text = sim_file("hwaddr", &ok);
    unsigned v[6];
    if (ok && sscanf(text.c_str(), "%2x:%2x:%2x:%2x:%2x:%2x", &v[0], &v[1], &v[2], &v[3], &v[4], &v[5]) == 6)
        for (int i = 0; i < 6; i++) mac[i] = (unsigned char)v[i];
}

int sim_platform::driver_show(const std::string &name) {
    std::ostringstream ss;
    if (name == "stat") {
        bool ok = false;
        std::string text = sim_file("wscinfo", &ok);
        write_module_file("/var/run/wscinfo", ok ? text : kDefaultWscInfo);
        return 0;
    }
    const std::vector<sim_station> st = parse_stations(sim_file("stations"));
    if (name == "stainfo") {
        for (const sim_station &s : st)
            ss << "MAC=" << s.mac << "\nRSSI0/1/2=" << s.rssi[0] << "/" << s.rssi[1] << "/" << s.rssi[2]
               << "\nBW=" << s.bw << "\nRate=" << s.rate << "\n";
        write_module_file("/var/run/stainfo", ss.str());
        return 0;
    }
    if (name == "stacountinfo") {
        for (const sim_station &s : st)
            ss << "MAC=" << s.mac << "\nRxPackets=" << s.rx_packets << "\nRxTry=" << s.rx_try << "\n";
        write_module_file("/var/run/stacountinfo", ss.str());
        return 0;
    }
    errno = EINVAL;
    return -1;
}

// The table as the driver lays it out; the count is the number of stations, even
// past the 32 entries there is room for.
void sim_platform::driver_mac_table(void *buf, size_t len) const {
    const std::vector<sim_station> st = parse_stations(sim_file("stations"));
    std::vector<unsigned char> raw(4 + 32 * 40, 0);
    put_le32(raw.data(), (uint32_t)st.size());
    for (size_t i = 0; i < st.size() && i < 32; i++) {
        unsigned char *e = raw.data() + 4 + i * 40;
        unsigned v[6] = {0};
        sscanf(st[i].mac.c_str(), "%2x:%2x:%2x:%2x:%2x:%2x", &v[0], &v[1], &v[2], &v[3], &v[4], &v[5]);
        for (int k = 0; k < 6; k++) e[1 + k] = (unsigned char)v[k];
        e[10] = (unsigned char)(signed char)atoi(st[i].rssi[0].c_str());
        uint32_t rate = (uint32_t)strtoul(st[i].rate.c_str(), nullptr, 10) & 0xFFFF;
        if (st[i].bw.find("40") != std::string::npos) rate |= 0x80;
        put_le32(e + 16, (uint32_t)strtoul(st[i].connect_time.c_str(), nullptr, 10));
        put_le32(e + 20, rate);
        put_le32(e + 24, rate);
    }
    memcpy(buf, raw.data(), std::min(len, raw.size()));
}
