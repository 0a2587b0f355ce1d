// wlinkctl stations, scan and wps.
#include "wlinkctl.h"

#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <thread>
#include <vector>

namespace ctl {
namespace {

constexpr int kError = kErrReply;
constexpr int kWpsSeconds = 120;  // the module gives a run two minutes

// The value of a "+OK=" reply without its line end, or nullopt after a complaint.
std::optional<std::string> value(const Send& send, const std::string& cmd, int* status, bool quiet = false) {
  const auto reply = send(cmd);
  if (!reply) {
    *status = kFail;
    return std::nullopt;
  }
  if (reply->rfind("+OK=", 0) != 0) {
    if (!quiet) std::fprintf(stderr, "wlinkctl: %s: %s\n", cmd.c_str(), reply->c_str());
    *status = kError;
    return std::nullopt;
  }
  std::string v = reply->substr(4);
  while (!v.empty() && (v.back() == '\n' || v.back() == '\r')) v.pop_back();
  return v;
}

std::vector<std::string> split(const std::string& s, char sep) {
  std::vector<std::string> out(1);
  for (char c : s) {
    if (c == sep)
      out.emplace_back();
    else
      out.back().push_back(c);
  }
  return out;
}

std::optional<int> count(const Send& send, const std::string& cmd, int* status) {
  const auto v = value(send, cmd, status);
  if (!v) return std::nullopt;
  char* end = nullptr;
  const long n = std::strtol(v->c_str(), &end, 10);
  if (v->empty() || *end != '\0' || n < 0 || n > 32) {
    std::fprintf(stderr, "wlinkctl: %s: unexpected count '%s'\n", cmd.c_str(), v->c_str());
    *status = kError;
    return std::nullopt;
  }
  return static_cast<int>(n);
}

}  // namespace

int run_stations(const Send& send, bool as_json) {
  int status = kOk;
  const auto n = count(send, "AT+CNUM", &status);
  if (!n) return status;
  std::string out = "{\"count\":" + std::to_string(*n) + ",\"stations\":[";
  if (!as_json) std::printf("stations: %d\n", *n);
  if (*n > 0 && !as_json) std::printf("%-3s %-17s %6s %3s %6s %6s  %s\n", "#", "MAC", "RATE", "BW", "RSSI0", "RSSI1", "IP");
  for (int i = 0; i < *n && status != kFail; ++i) {
    // "MAC,1,RATE,BW40,RSSI0,RSSI1"
    const auto info = value(send, "AT+CINFO=sta " + std::to_string(i), &status);
    if (!info) continue;
    std::vector<std::string> f = split(*info, ',');
    f.resize(6);
    // "+ERR" here means the module has no lease file: shown as unknown, not a failure
    int lease_status = kOk;
    const auto ip = f[0].empty() ? std::optional<std::string>("") : value(send, "AT+CIP=" + f[0], &lease_status, true);
    if (lease_status == kFail) status = kFail;
    if (as_json) {
      const auto num = [](const std::string& v) { return number(v, 0, 999999) ? v : json(v); };
      out += std::string(out.back() == '[' ? "" : ",") + "{\"index\":" + std::to_string(i) + ",\"mac\":" + json(f[0]) +
             ",\"rate\":" + num(f[2]) + ",\"bandwidth\":" + (f[3] == "1" ? "40" : "20") + ",\"rssi0\":" +
             json(f[4]) + ",\"rssi1\":" + json(f[5]) + ",\"ip\":" + (ip && !ip->empty() ? json(*ip) : "null") + "}";
      continue;
    }
    std::printf("%-3d %-17s %6s %3s %6s %6s  %s\n", i, f[0].c_str(), f[2].c_str(), f[3] == "1" ? "40" : "20",
                f[4].c_str(), f[5].c_str(), ip ? (ip->empty() ? "-" : ip->c_str()) : "?");
  }
  if (as_json && status != kFail) std::printf("%s]}\n", out.c_str());
  std::fflush(stdout);
  return status;
}

int run_scan(const Send& send, bool as_json) {
  int status = kOk;
  const auto started = send("AT+SCAN");
  if (!started) return kFail;
  if (*started != "+OK") {
    std::fprintf(stderr, "wlinkctl: AT+SCAN: %s\n", started->c_str());
    return kError;
  }
  const auto n = count(send, "AT+CWIFISINALNUM", &status);
  if (!n) return status;
  struct Net {
    int signal;
    std::string channel, bssid, ssid;
  };
  std::vector<Net> nets;
  for (int i = 0; i < *n && status != kFail; ++i) {
    // "CHANNEL,BSSID,SSID,SIGNAL"; the name may hold commas of its own
    const auto v = value(send, "AT+CWIFISINGALSINGLEINFO=" + std::to_string(i), &status);
    if (!v) continue;
    const size_t a = v->find(','), b = a == std::string::npos ? a : v->find(',', a + 1), z = v->rfind(',');
    if (b == std::string::npos || z <= b) continue;
    nets.push_back({std::atoi(v->c_str() + z + 1), v->substr(0, a), v->substr(a + 1, b - a - 1),
                    v->substr(b + 1, z - b - 1)});
  }
  std::stable_sort(nets.begin(), nets.end(), [](const Net& x, const Net& y) { return x.signal > y.signal; });
  if (as_json) {
    std::string out = "[";
    for (const Net& net : nets)
      out += std::string(out.size() > 1 ? "," : "") + "{\"signal\":" + std::to_string(net.signal) + ",\"channel\":" +
             json(net.channel) + ",\"bssid\":" + json(net.bssid) + ",\"ssid\":" + json(net.ssid) + "}";
    std::printf("%s]\n", out.c_str());
    return status;
  }
  const bool tty = ::isatty(STDOUT_FILENO) != 0;
  std::printf("networks: %zu\n", nets.size());
  if (!nets.empty()) std::printf("%6s %3s  %-17s  %s\n", "SIGNAL", "CH", "BSSID", "SSID");
  for (const Net& net : nets) {
    std::string bar;
    if (tty) bar = "  " + std::string(static_cast<size_t>(std::clamp(net.signal, 0, 100) / 10), '#');
    std::printf("%6d %3s  %-17s  %-*s%s\n", net.signal, net.channel.c_str(), net.bssid.c_str(), tty ? 32 : 0,
                net.ssid.c_str(), bar.c_str());
  }
  std::fflush(stdout);
  return status;
}

int run_wps(const Send& send, int poll_ms) {
  const auto started = send("AT+WPS");
  if (!started) return kFail;
  if (*started != "+OK") {
    std::fprintf(stderr, "wlinkctl: AT+WPS: %s\n", started->c_str());
    return kError;
  }
  const bool tty = ::isatty(STDOUT_FILENO) != 0;
  const auto start = std::chrono::steady_clock::now();
  std::string last;
  bool seen_active = false;
  // A little past the module's own limit, in case it never reports the end.
  for (;;) {
    int status = kOk;
    const auto st = value(send, "AT+WPS=", &status);
    if (!st) return status;
    const long left =
        kWpsSeconds - std::chrono::duration_cast<std::chrono::seconds>(std::chrono::steady_clock::now() - start).count();
    const bool ended = *st == "Timed-out" || *st == "Unknow" || (*st != "Active" && seen_active) || left < -10;
    if (tty && !ended) {
      std::printf("\rWPS %-9s %4ld s left ", st->c_str(), std::max(left, 0L));
    } else if (*st != last || ended) {
      std::printf("%sWPS %s\n", tty ? "\r" : "", st->c_str());
    }
    std::fflush(stdout);
    if (ended) return *st == "Idle" ? kOk : kError;
    seen_active = seen_active || *st == "Active";
    last = *st;
    std::this_thread::sleep_for(std::chrono::milliseconds(poll_ms));
  }
}

}  // namespace ctl
