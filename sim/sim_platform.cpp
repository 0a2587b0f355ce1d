#include "sim_platform.h"

#include <arpa/inet.h>
#include <errno.h>
#include <fcntl.h>
#include <net/if.h>  // before linux/wireless.h
#include <linux/sockios.h>
#include <linux/wireless.h>
#include <netinet/in.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/socket.h>
#include <signal.h>
#include <sys/stat.h>
#include <thread>
#include <unistd.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <vector>

#include "wifi_apply.h"
#include "wifi_profile.h"

namespace {

const char kDefaultSwitchReg[] = "switch reg 0x80 value=06\n";

bool starts_with(const std::string &s, const std::string &prefix) { return s.compare(0, prefix.size(), prefix) == 0; }

std::string read_whole(const std::string &path, bool *ok = nullptr) {
    std::ifstream in(path, std::ios::binary);
    if (ok) *ok = static_cast<bool>(in);
    std::stringstream ss;
    ss << in.rdbuf();
    return ss.str();
}

std::string ip_text(const struct sockaddr *sa) {
    const auto *sin = reinterpret_cast<const struct sockaddr_in *>(sa);
    char buf[INET_ADDRSTRLEN] = "";
    inet_ntop(AF_INET, &sin->sin_addr, buf, sizeof(buf));
    return buf;
}

const char *wireless_name(unsigned long request) {
    switch (request) {
    case SIOCGIWFREQ: return "get_freq";
    case SIOCIWFIRSTPRIV + 0x02: return "set";
    case SIOCIWFIRSTPRIV + 0x04: return "ap_start";
    case SIOCIWFIRSTPRIV + 0x11: return "show";
    case SIOCIWFIRSTPRIV + 0x1F: return "get_mac_table";
    default: return nullptr;
    }
}

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

int sim_platform::simulate(const std::string &line, std::string *output) {
    std::unique_lock<std::mutex> g(mu_);
    if (line == "/etc/init.d/dhcp stop" || line == "/etc/init.d/dhcp start") {
        dhcp_running_ = line == "/etc/init.d/dhcp start";
        save_state();
        return 0;
    }
    if (line == "/etc/init.d/vlan clear") {
        vlan_ = "none";
        save_state();
        return 0;
    }
    if (starts_with(line, "/etc/init.d/vlan set ")) {
        vlan_ = line.substr(strlen("/etc/init.d/vlan set "));
        save_state();
        return 0;
    }
    if (line == "switch reg read 80") {
        bool ok = false;
        std::string reg = read_whole(opt_.root + "/sim/switch-reg80", &ok);
        *output = ok ? reg : kDefaultSwitchReg;
        return 0;
    }
    int access_status = 0;
    if (simulate_access(line, &access_status)) return access_status;
    if (line == "reboot") {
        // The module goes down shortly after; the supervisor starts a fresh daemon.
        unsigned delay = 1000 / (unsigned)opt_.time_scale;
        std::thread([delay] {
            usleep(delay * 1000);
            fflush(stdout);
            _exit(SIM_REBOOT_STATUS);
        }).detach();
        return 0;
    }
    // The lines from here on change no state kept here: they run, and take their time,
    // without the lock, so the driver's requests and other lines go on meanwhile.
    g.unlock();
    // Flash: the partitions are the files DIR/dev/mtd5, mtd6 and mtd2 (mtdblock2).
    if (line == "flashcp /tmp/mtd_buf  /dev/mtd5" || line == "flashcp /tmp/mtd_buf  /dev/mtd6") {
        flash_delay();
        return flash_copy("/tmp/mtd_buf", line.substr(line.size() - 9), true, output);
    }
    if (line == "mtd_debug erase /dev/mtd2 0 0x10000") return flash_erase("/dev/mtd2", 0x10000, output);
    if (line == "cat /tmp/mtd2_buf > /dev/mtdblock2") return flash_copy("/tmp/mtd2_buf", "/dev/mtdblock2", false, output);
    std::string word = line.substr(0, line.find(' '));
    *output = "sh: " + word + ": not found\n";
    return 127 << 8;
}

int sim_platform::shell_run(const char *cmdline) {
    if (fault()) return 1 << 8;
    event(std::string("shell ") + cmdline);
    std::string out;
    int status = simulate(cmdline, &out);
    // What a command prints reaches the daemon's own output; only errors are
    // simulated here, and those go to standard error as the shell's would.
    if (!out.empty()) fputs(out.c_str(), stderr);
    return status;
}

FILE *sim_platform::shell_open(const char *cmdline) {
    if (fault()) return nullptr;
    event(std::string("shell ") + cmdline);
    std::string line = cmdline;
    const std::string redir = " 2>&1";
    if (line.size() >= redir.size() && line.compare(line.size() - redir.size(), redir.size(), redir) == 0)
        line.resize(line.size() - redir.size());
    std::string out;
    simulate(line, &out);
    FILE *fp = tmpfile();
    if (fp == nullptr) return nullptr;
    fwrite(out.data(), 1, out.size(), fp);
    rewind(fp);
    return fp;
}

int sim_platform::shell_close(FILE *fp) { return fclose(fp); }

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

void sim_platform::sleep_ms(unsigned ms) {
    fflush(stdout);  // as on the module: the log is written out before every wait
    pause_ms(ms);
}

void sim_platform::pause_ms(unsigned ms) {
    unsigned long us = (unsigned long)ms * 1000UL / (unsigned long)opt_.time_scale;
    struct timespec ts;
    ts.tv_sec = (time_t)(us / 1000000UL);
    ts.tv_nsec = (long)(us % 1000000UL) * 1000L;
    while (nanosleep(&ts, &ts) != 0 && errno == EINTR) {
    }
}

time_t sim_platform::now() {
    struct timespec t;
    clock_gettime(CLOCK_MONOTONIC, &t);
    double elapsed = (double)(t.tv_sec - start_.tv_sec) + (double)(t.tv_nsec - start_.tv_nsec) / 1e9;
    static const time_t boot_wall = time(nullptr);
    return boot_wall + (time_t)(elapsed * opt_.time_scale);
}

int64_t sim_platform::monotonic_ms() {
    struct timespec t;
    clock_gettime(CLOCK_MONOTONIC, &t);
    int64_t ms = (int64_t)(t.tv_sec - start_.tv_sec) * 1000 + (t.tv_nsec - start_.tv_nsec) / 1000000;
    return ms * opt_.time_scale;
}

int sim_platform::poll(struct pollfd *fds, nfds_t nfds, int timeout_ms) {
    fflush(stdout);
    if (timeout_ms > 0) {
        timeout_ms /= opt_.time_scale;
        if (timeout_ms < 1) timeout_ms = 1;
    }
    return ::poll(fds, nfds, timeout_ms);
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

long long sim_platform::flash_size(const char *module_dev) {
    struct stat st;
    return stat(module_file(module_dev).c_str(), &st) == 0 ? (long long)st.st_size : -1;
}

// ---------------------------------------------------------------------------
// Power cuts and I/O errors on demand.

// Nothing but a flag: the fault files are read at the command's first change to the
// outside world, so that a query or a heartbeat costs the link no system call here.
void sim_platform::command_start() { check_faults_.store(true); }

void sim_platform::load_faults() {
    // The folder changes when a fault file is put there: one stat while it does not.
    struct stat st;
    std::string dir = opt_.root + "/sim";
    if (stat(dir.c_str(), &st) != 0) return;
    {
        std::lock_guard<std::mutex> g(mu_);
        if (st.st_mtim.tv_sec == fault_dir_mtime_.tv_sec && st.st_mtim.tv_nsec == fault_dir_mtime_.tv_nsec) return;
        fault_dir_mtime_ = st.st_mtim;
    }
    bool armed = false;
    const std::pair<const char *, std::atomic<long> *> files[] = {{"/crash-at", &crash_at_}, {"/fail-at", &fail_at_}};
    for (const auto &f : files) {
        bool ok = false;
        std::string text = read_whole(dir + f.first, &ok);
        if (!ok) continue;
        ::unlink((dir + f.first).c_str());
        f.second->store(atol(text.c_str()));
        armed = true;
    }
    if (armed) effects_.store(0);
}

bool sim_platform::fault(const std::function<void()> &at_cut) {
    if (check_faults_.exchange(false)) load_faults();
    const long crash = crash_at_.load(), fail = fail_at_.load();
    if (crash <= 0 && fail <= 0) return false;
    const long n = ++effects_;
    if (n == crash) {
        if (at_cut) at_cut();
        storage_.power_cut();
        fflush(stdout);
        kill(getpid(), SIGKILL);
    }
    if (n != fail) return false;
    errno = EIO;
    return true;
}

int sim_platform::file_open(const char *path, int flags, mode_t mode) {
    if ((flags & (O_CREAT | O_TRUNC)) != 0 && fault()) return -1;
    return storage_.open(path, flags, mode);
}

ssize_t sim_platform::file_write(int fd, const void *buf, size_t n) { return fault() ? -1 : storage_.write(fd, buf, n); }
int sim_platform::file_sync(int fd) { return fault() ? -1 : storage_.sync(fd); }
int sim_platform::file_rename(const char *from, const char *to) { return fault() ? -1 : storage_.rename(from, to); }
int sim_platform::file_unlink(const char *path) { return fault() ? -1 : storage_.unlink(path); }

// ---------------------------------------------------------------------------
// The simulated driver: stations, survey, WPS status and hardware address come from
// plain files under DIR/sim, read afresh at every request.

namespace {

const char kDefaultWscInfo[] = "WscStatus=0x1\nTX PER=0%\nRX PER=0%\n";
const char kDefaultSurvey[] = "ra0       get_site_survey:\nCh  SSID  BSSID  Security  Signal(%)  W-Mode\n";
const char kDropbearStart[] = "[ -f /usr/sbin/dropbear ] && /usr/sbin/dropbear -R -I 1800";

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

// One shell word as the shell reads it: single-quoted pieces, backslash escapes and
// plain characters. False for anything else (a second word, an expansion, an operator).
bool shell_word(const std::string &w, std::string *out) {
    out->clear();
    for (size_t i = 0; i < w.size(); i++) {
        char c = w[i];
        if (c == '\'') {
            size_t end = w.find('\'', i + 1);
            if (end == std::string::npos) return false;
            *out += w.substr(i + 1, end - i - 1);
            i = end;
        } else if (c == '\\' && i + 1 < w.size()) {
            *out += w[++i];
        } else if (strchr(" \t\"$`;|&<>(){}*?[]#~\\", c) != nullptr) {
            return false;
        } else {
            *out += c;
        }
    }
    return true;
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

// Called with mu_ held, from simulate().
bool sim_platform::simulate_access(const std::string &line, int *status) {
    *status = 0;
    if (line == "iwpriv ra0 set SiteSurvey= ") return true;
    if (line == "iwpriv ra0 get_site_survey >wifi_scan.txt" || line == "iwpriv ra0 get_site_survey > wifi_scan.txt") {
        bool ok = false;
        std::string text = sim_file("survey", &ok);
        std::ofstream(opt_.root + "/wifi_scan.txt", std::ios::binary | std::ios::trunc) << (ok ? text : kDefaultSurvey);
        return true;
    }
    if (line == "killall dropbear" || line == kDropbearStart) {
        ssh_ = line == kDropbearStart ? "running" : "stopped";
        save_state();
        return true;
    }
    const std::string head = "echo root:", tail = " |chpasswd";
    std::string password;
    if (starts_with(line, head) && line.size() >= head.size() + tail.size() &&
        line.compare(line.size() - tail.size(), tail.size(), tail) == 0 &&
        shell_word(line.substr(head.size(), line.size() - head.size() - tail.size()), &password)) {
        root_password_ = password;
        save_state();
        return true;
    }
    return false;
}

void sim_platform::flash_delay() {
    bool ok = false;
    std::string text = read_whole(opt_.root + "/sim/flash-delay-ms", &ok);
    int ms = ok ? atoi(text.c_str()) : 0;
    if (ms > 0) sleep_ms((unsigned)ms);
}

int sim_platform::flash_copy(const std::string &src, const std::string &dev, bool must_fit, std::string *output) {
    // Streamed: the daemon's memory holds no copy of the part.
    int in = open(module_file(src).c_str(), O_RDONLY | O_CLOEXEC);
    int out = open(module_file(dev).c_str(), O_WRONLY | O_CLOEXEC);
    struct stat si, so;
    int status = 0;
    if (in < 0 || out < 0 || fstat(in, &si) != 0 || fstat(out, &so) != 0) {
        *output = (must_fit ? "flashcp: " : "cat: ") + std::string(in < 0 ? src : dev) + ": " + strerror(errno) + "\n";
        status = 1 << 8;
    } else if (must_fit && si.st_size > so.st_size) {
        *output = src + " won't fit into " + dev + "!\n";
        status = 1 << 8;
    } else {
        char buf[65536];
        off_t off = 0;
        for (ssize_t n; (n = read(in, buf, sizeof(buf))) > 0; off += n) {
            if (off + n > so.st_size) {  // the device has no room past its end
                *output = "cat: write error: No space left on device\n";
                status = 1 << 8;
                n = so.st_size - off;
            }
            // Each block of the write is a point where the power can go, half-way through it.
            if (n > 0 && fault([&] { storage_.flash_cut(module_file(dev), off, buf, (size_t)n); })) {
                *output = "flash write error: " + std::string(strerror(errno)) + "\n";
                status = 1 << 8;
            }
            if (status == 0 && n > 0 && pwrite(out, buf, (size_t)n, off) != n) status = 1 << 8;
            if (status != 0) break;
        }
    }
    if (in >= 0) close(in);
    if (out >= 0) close(out);
    return status;
}

int sim_platform::flash_erase(const std::string &dev, size_t len, std::string *output) {
    std::string erased(len, '\xFF');
    int fd = open(module_file(dev).c_str(), O_WRONLY | O_CLOEXEC);
    bool ok = fd >= 0 && pwrite(fd, erased.data(), len, 0) == (ssize_t)len;
    if (fd >= 0) close(fd);
    if (!ok) *output = "mtd_debug: " + dev + ": " + strerror(errno) + "\n";
    return ok ? 0 : 1 << 8;
}
