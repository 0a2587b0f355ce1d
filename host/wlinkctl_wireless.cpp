// wlinkctl stations, scan and wps.
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <thread>
#include <vector>

#include "wlinkctl.h"

namespace ctl {
namespace {

constexpr int kWpsSeconds = 120;  // the module gives a run two minutes

}  // namespace

int run_stations(Link &link, bool as_json) {
    int n = 0;
    if (const wlink_status st = wlink_station_count(link.get(), &n); st != WLINK_OK) return link.report(st, "AT+CNUM");
    std::string out = "{\"count\":" + std::to_string(n) + ",\"stations\":[";
    if (!as_json) std::printf("stations: %d\n", n);
    if (n > 0 && !as_json)
        std::printf("%-3s %-17s %6s %3s %6s %6s  %s\n", "#", "MAC", "RATE", "BW", "RSSI0", "RSSI1", "IP");
    for (int i = 0; i < n && i < 16; ++i) {
        wlink_station s;
        WLINK_INIT(s);
        if (const wlink_status st = wlink_station_get(link.get(), i, &s); st != WLINK_OK)
            return link.report(st, "AT+CINFO=sta " + std::to_string(i));
        // +ERR here means the module has no lease file: shown as unknown, not a failure
        char ip[64] = "";
        const wlink_status lease = s.mac[0] ? wlink_station_lease(link.get(), s.mac, ip, sizeof ip) : WLINK_OK;
        if (lease != WLINK_OK && lease != WLINK_ERR_REPLY) return link.report(lease, std::string("AT+CIP=") + s.mac);
        if (as_json) {
            out += std::string(out.back() == '[' ? "" : ",") + "{\"index\":" + std::to_string(i) +
                   ",\"mac\":" + json(s.mac) + ",\"rate\":" + std::to_string(s.rate) +
                   ",\"bandwidth\":" + std::to_string(s.bandwidth) + ",\"rssi0\":" + std::to_string(s.rssi0) +
                   ",\"rssi1\":" + std::to_string(s.rssi1) +
                   ",\"ip\":" + (lease == WLINK_OK && ip[0] ? json(ip) : "null") + "}";
            continue;
        }
        std::printf("%-3d %-17s %6d %3d %6d %6d  %s\n", i, s.mac, s.rate, s.bandwidth, s.rssi0, s.rssi1,
                    lease != WLINK_OK ? "?"
                    : ip[0]           ? ip
                                      : "-");
    }
    if (as_json) std::printf("%s]}\n", out.c_str());
    std::fflush(stdout);
    return kOk;
}

int run_scan(Link &link, bool as_json) {
    int n = 0;
    if (const wlink_status st = wlink_survey(link.get(), &n); st != WLINK_OK) return link.report(st, "AT+SCAN");
    std::vector<wlink_network> nets;
    for (int i = 0; i < n; ++i) {
        wlink_network net;
        WLINK_INIT(net);
        if (const wlink_status st = wlink_survey_get(link.get(), i, &net); st != WLINK_OK)
            return link.report(st, "AT+CWIFISINGALSINGLEINFO=" + std::to_string(i));
        nets.push_back(net);
    }
    std::stable_sort(nets.begin(), nets.end(),
                     [](const wlink_network &x, const wlink_network &y) { return x.signal > y.signal; });
    if (as_json) {
        std::string out = "[";
        for (const wlink_network &net : nets)
            out += std::string(out.size() > 1 ? "," : "") + "{\"signal\":" + std::to_string(net.signal) +
                   ",\"channel\":" + std::to_string(net.channel) + ",\"bssid\":" + json(net.bssid) +
                   ",\"ssid\":" + json(net.ssid) + "}";
        std::printf("%s]\n", out.c_str());
        return kOk;
    }
    const bool tty = ::isatty(STDOUT_FILENO) != 0;
    std::printf("networks: %zu\n", nets.size());
    if (!nets.empty()) std::printf("%6s %3s  %-17s  %s\n", "SIGNAL", "CH", "BSSID", "SSID");
    for (const wlink_network &net : nets) {
        std::string bar;
        if (tty) bar = "  " + std::string(static_cast<size_t>(std::clamp(net.signal, 0, 100) / 10), '#');
        std::printf("%6d %3d  %-17s  %-*s%s\n", net.signal, net.channel, net.bssid, tty ? 32 : 0, net.ssid,
                    bar.c_str());
    }
    std::fflush(stdout);
    return kOk;
}

int run_wps(Link &link, int poll_ms) {
    if (const wlink_status st = wlink_wps_start(link.get()); st != WLINK_OK) return link.report(st, "AT+WPS");
    static const char *const kText[] = {"Idle", "Active", "Timed-out", "Unknow"};
    const bool tty = ::isatty(STDOUT_FILENO) != 0;
    const auto start = std::chrono::steady_clock::now();
    wlink_wps_state last = WLINK_WPS_UNKNOWN;
    bool seen_active = false, first = true;
    for (;;) {
        wlink_wps_state st;
        if (const wlink_status s = wlink_wps_status(link.get(), &st); s != WLINK_OK) return link.report(s, "AT+WPS=");
        const long left =
            kWpsSeconds -
            std::chrono::duration_cast<std::chrono::seconds>(std::chrono::steady_clock::now() - start).count();
        // A little past the module's own limit, in case it never reports the end.
        const bool ended = st == WLINK_WPS_TIMED_OUT || st == WLINK_WPS_UNKNOWN ||
                           (st != WLINK_WPS_ACTIVE && seen_active) || left < -10;
        if (tty && !ended) {
            std::printf("\rWPS %-9s %4ld s left ", kText[st], std::max(left, 0L));
        } else if (st != last || first || ended) {
            std::printf("%sWPS %s\n", tty ? "\r" : "", kText[st]);
        }
        std::fflush(stdout);
        if (ended) return st == WLINK_WPS_IDLE ? kOk : kErrReply;
        seen_active = seen_active || st == WLINK_WPS_ACTIVE;
        last = st;
        first = false;
        std::this_thread::sleep_for(std::chrono::milliseconds(poll_ms));
    }
}

}  // namespace ctl
