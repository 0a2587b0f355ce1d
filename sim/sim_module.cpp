// The simulated module's own state (interfaces, DHCP service, VLANs, SSH server, root
// password), written to DIR/sim/state, and the events it logs to DIR/sim/events.
#include "sim_platform.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <sstream>

#include "wifi_profile.h"

namespace {

bool starts_with(const std::string &s, const std::string &prefix) { return s.compare(0, prefix.size(), prefix) == 0; }

}  // namespace

sim_platform::sim_platform(const sim_options &opt) : opt_(opt) {
    clock_gettime(CLOCK_MONOTONIC, &start_);
    ifs_["ra0"];
    ifs_["br0"];
}

std::string sim_platform::module_file(const std::string &module_path) const { return opt_.root + module_path; }

std::string sim_platform::profile_value(const std::string &key) const {
    std::ifstream in(module_file(WIFI_PROFILE_PATH));
    std::string line;
    while (std::getline(in, line)) {
        if (starts_with(line, key + "=")) return line.substr(key.size() + 1);
    }
    return "";
}

void sim_platform::load_radio() {
    // The driver reads its settings from the profile when ra0 comes up.
    radio_ssid_ = profile_value("SSID1");
    radio_channel_ = atoi(profile_value("Channel").c_str());
    if (radio_channel_ <= 0) radio_channel_ = 6;  // automatic selection settles on 6 here
}

void sim_platform::boot() {
    storage_.power_on();
    // /tmp is RAM on the module: whatever was there is gone at every start.
    std::error_code ec;
    for (const auto &e : std::filesystem::directory_iterator(module_file("/tmp"), ec))
        std::filesystem::remove_all(e.path(), ec);
    std::lock_guard<std::mutex> g(mu_);
    netif &ra0 = ifs_["ra0"];
    ra0.up = profile_value("WifiSwitch").find("OFF") == std::string::npos;
    netif &br0 = ifs_["br0"];
    br0.up = true;
    br0.addr = profile_value("LanIpaddr");
    br0.mask = "255.255.255.0";
    dhcp_running_ = true;
    load_radio();
    save_state();
}

void sim_platform::event(const std::string &line) {
    std::string path = opt_.root + "/sim/events";
    int fd = open(path.c_str(), O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0644);
    if (fd < 0) return;
    std::string text = line + "\n";
    ssize_t n = write(fd, text.data(), text.size());
    (void)n;
    close(fd);
}

void sim_platform::save_state() {
    std::ostringstream ss;
    ss << "ra0=" << (ifs_["ra0"].up ? "up" : "down") << "\n";
    ss << "br0=" << ifs_["br0"].addr << "/" << ifs_["br0"].mask << "\n";
    ss << "br0_link=" << (ifs_["br0"].up ? "up" : "down") << "\n";
    ss << "dhcp=" << (dhcp_running_ ? "running" : "stopped") << "\n";
    ss << "vlan=" << vlan_ << "\n";
    ss << "radio_ssid=" << radio_ssid_ << "\n";
    ss << "radio_channel=" << radio_channel_ << "\n";
    ss << "ssh=" << ssh_ << "\n";
    ss << "root-password=" << root_password_ << "\n";
    std::string path = opt_.root + "/sim/state", tmp = path + ".tmp";
    {
        std::ofstream out(tmp, std::ios::trunc);
        out << ss.str();
    }
    rename(tmp.c_str(), path.c_str());
}

int sim_platform::map_path(const char *module_path, char *out, size_t out_size) {
    std::string p = module_path[0] == '/' ? opt_.root + module_path : std::string(module_path);
    if (p.size() >= out_size) return -1;
    memcpy(out, p.c_str(), p.size() + 1);
    return 0;
}

void sim_platform::bind_addr(wifi_port_id id, struct sockaddr_in *addr) {
    memset(addr, 0, sizeof(*addr));
    addr->sin_family = AF_INET;
    inet_pton(AF_INET, opt_.bind.c_str(), &addr->sin_addr);
    addr->sin_port = htons((uint16_t)(id == WIFI_PORT_UDP ? opt_.udp_port : opt_.upgrade_port));
}

void sim_platform::link_event(wifi_link_event ev) {
    std::lock_guard<std::mutex> g(mu_);
    if (ev == WIFI_LINK_SERIAL_UP) serial_up_ = true;
    if (ev == WIFI_LINK_UDP_UP) udp_up_ = true;
    if (serial_up_ && udp_up_) {
        fprintf(stderr, "wlinkcmd-sim: ready serial=%s udp=%s:%d upgrade=%s:%d\n", opt_.tty.c_str(), opt_.bind.c_str(),
                opt_.udp_port, opt_.bind.c_str(), opt_.upgrade_port);
        fflush(stderr);
    }
}
