// wlinkctl: the Wi-Fi module from the command line, on libwlink.
#include "wlinkctl.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <sys/time.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>

namespace ctl {

void complain(const std::string &msg) { std::fprintf(stderr, "wlinkctl: %s\n", msg.c_str()); }

std::string json(const std::string &s) {
    std::string out = "\"";
    for (unsigned char c : s) {
        if (c == '"' || c == '\\') {
            out += '\\';
            out += static_cast<char>(c);
        } else if (c < 0x20 || c == 0x7F) {
            char b[8];
            std::snprintf(b, sizeof b, "\\u%04x", c);
            out += b;
        } else {
            out += static_cast<char>(c);
        }
    }
    return out + "\"";
}

std::string json_number(const std::string &s) {
    const size_t digits = s.find_first_not_of("0123456789", !s.empty() && s[0] == '-' ? 1 : 0);
    const bool whole = digits == std::string::npos && s.size() > (s[0] == '-' ? 1u : 0u) && s.size() < 10;
    return whole ? std::to_string(std::strtol(s.c_str(), nullptr, 10)) : "null";
}

std::optional<long> number(const std::string &s, long lo, long hi) {
    if (s.empty() || s.size() > 9 || s.find_first_not_of("0123456789") != std::string::npos) return std::nullopt;
    const long v = std::strtol(s.c_str(), nullptr, 10);
    if (v < lo || v > hi) return std::nullopt;
    return v;
}

namespace {

// The serial port is given back however the run ends: a pseudo-terminal would keep
// it exclusive past this process.
volatile sig_atomic_t g_port_fd = -1;
void release_port(int sig) {
    if (g_port_fd >= 0) ioctl(g_port_fd, TIOCNXCL);
    signal(sig, SIG_DFL);
    raise(sig);
}

// The link whose call a signal cancels, and whether one did.
wlink_link *volatile g_cancel_link = nullptr;
volatile sig_atomic_t g_interrupted = 0;
void cancel_call(int) {
    g_interrupted = 1;
    if (g_cancel_link != nullptr) wlink_cancel(g_cancel_link);
}

void trace_line(void *, wlink_trace_kind kind, int sent, const uint8_t *b, size_t n) {
    char text[1400];
    wlink_trace_describe(kind, sent, b, n, text, sizeof text);
    timeval tv;
    gettimeofday(&tv, nullptr);
    tm t;
    localtime_r(&tv.tv_sec, &t);
    std::fprintf(stderr, "%02d:%02d:%02d.%03ld %s\n", t.tm_hour, t.tm_min, t.tm_sec, tv.tv_usec / 1000, text);
}

}  // namespace

void Link::cancel_on_signals() {
    g_cancel_link = l_;
    struct sigaction sa {};
    sa.sa_handler = cancel_call;
    sigemptyset(&sa.sa_mask);
    for (int sig : {SIGINT, SIGTERM}) sigaction(sig, &sa, nullptr);
}

bool Link::interrupted() { return g_interrupted != 0; }

int Link::open() {
    const bool serial = !opt_.serial.empty();
    const wlink_status st = serial ? wlink_open_serial(opt_.serial.c_str(), &l_)
                                   : wlink_open_udp(opt_.udp_host.c_str(), opt_.udp_port, &l_);
    if (st == WLINK_PORT_BUSY) {
        complain(std::string("port busy: ") + wlink_last_error(nullptr));
        return kFail;
    }
    if (st != WLINK_OK) {
        complain(std::string(wlink_status_text(st)) + ": " + wlink_last_error(nullptr));
        return kFail;
    }
    if (serial) {
        g_port_fd = wlink_fd(l_);
        for (int sig : {SIGINT, SIGTERM, SIGHUP, SIGQUIT, SIGPIPE}) signal(sig, release_port);
    }
    wlink_set_timeout(l_, opt_.timeout_ms > 0 ? opt_.timeout_ms : static_cast<int>(WLINK_DEFAULT_TIMEOUT_MS));
    wlink_set_retries(l_, opt_.retries);
    wlink_set_pace(l_, opt_.pace_ms);
    if (!serial && opt_.has("--key-file")) {
        std::ifstream in(opt_.get("--key-file"));
        std::string hex;
        uint8_t key[WLINK_KEY_SIZE];
        if (!std::getline(in, hex) || wlink_key_parse(hex.c_str(), key) != WLINK_OK) {
            complain(opt_.get("--key-file") + ": no key (64 hex digits on one line; wlinkctl pair makes one)");
            return kFail;
        }
        wlink_set_udp_key(l_, key);
    }
    if (opt_.trace) wlink_set_trace(l_, trace_line, nullptr);
    return kOk;
}

int Link::report(wlink_status st, const std::string &what) {
    const std::string where = opt_.udp_host + ":" + std::to_string(opt_.udp_port);
    if (st == WLINK_NO_REPLY && !wlink_is_serial(l_) && !answered_) {
        // The address this host sends from, as the module sees it.
        sockaddr_in me{};
        socklen_t len = sizeof me;
        char self[INET_ADDRSTRLEN] = "THIS_HOST";
        if (getsockname(wlink_fd(l_), reinterpret_cast<sockaddr *>(&me), &len) == 0)
            inet_ntop(AF_INET, &me.sin_addr, self, sizeof self);
        complain("no reply from " + where + " to " + what +
                 ". The module answers UDP only from the address given to it with AT+UIP= over its serial line "
                 "(wlinkctl --serial DEV AT+UIP=" +
                 self + "), or nothing listens at that port" +
                 (opt_.has("--key-file") ? ", or the module holds another key than --key-file's (pair again)."
                                         : ", or the module holds a key (AT+UKEY=): give it with --key-file."));
    } else if (st == WLINK_UNREACHABLE) {
        complain("nothing listens at " + where + " (the host refused the datagram to " + what + ")");
    } else if (st == WLINK_ERR_REPLY) {
        complain(what + ": the module answered +ERR");
        return kErrReply;
    } else if (st == WLINK_CANCELLED) {
        complain(what + ": interrupted");
        return kInterrupted;
    } else {
        complain(std::string(wlink_status_text(st)) + ": " + wlink_last_error(l_));
    }
    return kFail;
}

std::optional<std::string> Link::send(const std::string &cmd, wlink_status *st_out) {
    char reply[WLINK_REPLY_MAX + 1];
    const wlink_status st = wlink_command(l_, cmd.c_str(), reply, sizeof reply);
    if (st_out) *st_out = st;
    if (st == WLINK_OK || st == WLINK_ERR_REPLY) {
        answered_ = true;
        return std::string(reply);
    }
    report(st, cmd);
    return std::nullopt;
}

}  // namespace ctl

namespace {

using namespace ctl;

struct Verb {
    const char *name;
    const char *options;  // the options it takes, blank-separated
    const char *help;
};

constexpr const char *kLinkOpts = "--serial --udp --key-file --timeout --retries --pace --trace --force ";

// "" when the module knows cmd (or force); else why not, with the closest it knows.
std::string unknown_command(const std::string &cmd, bool force) {
    if (force || wlink_command_known(cmd.c_str())) return "";
    char near[64];
    wlink_command_closest(cmd.c_str(), near, sizeof near);
    return "'" + cmd + "' is no command the module knows; did you mean '" + near + "'? (--force sends it anyway)";
}

const Verb kVerbs[] = {
    {"show", "--serial --udp --key-file --timeout --retries --pace --trace --json",
     "wlinkctl LINK show [--json]\n"
     "  Reads every radio and LAN setting: ssid key channel current-channel auth\n"
     "  encryption wifi htmode country txpower stanum lanip udp-peer vlan ports.\n"
     "  A setting the module answers with +ERR shows as (error), null in JSON.\n"
     "  --json: one object, each setting's name as its key.\n"},
    {"set", "--serial --udp --key-file --timeout --retries --pace --trace --apply --force",
     "wlinkctl LINK set NAME VALUE [NAME VALUE...] [--apply] [--force]\n"
     "  Checks every value the way the module takes it, then sends one setter per\n"
     "  pair and prints NAME: REPLY. --apply sends AT+ENCFG once all were accepted.\n"
     "    ssid 1-32 printable characters    key 8-63 printable or 64 hex digits\n"
     "    channel auto or 1-13              auth OPEN WPAPSK WPA2PSK WPAPSK_WPA2PSK\n"
     "    encryption NONE AES TKIP TKIP/AES wifi on|off      htmode HT20 HT40 AUTO\n"
     "    country two capital letters       txpower 1-100    stanum 1-32\n"
     "    lanip, udp-peer dotted IPv4       vlan VALUE|off\n"
     "    dhcp \"START POOL HOURS\"|off       (start 1-254, pool up to 254-START, hours >= 1)\n"
     "  A refused value sends nothing; --force sends the values as given.\n"},
    {"stations", "--serial --udp --key-file --timeout --retries --pace --trace --json",
     "wlinkctl LINK stations [--json]\n"
     "  AT+CNUM, then per station AT+CINFO= and AT+CIP=: address, rate, bandwidth,\n"
     "  signal and leased address (- none, ? unknown).\n"
     "  --json: {\"count\":N,\"stations\":[{\"index\",\"mac\",\"rate\",\"bandwidth\",\"rssi0\",\"rssi1\",\"ip\"}]}\n"
     "  (numbers as numbers; ip null without a lease)\n"},
    {"scan", "--serial --udp --key-file --timeout --retries --pace --trace --json",
     "wlinkctl LINK scan [--json]\n"
     "  AT+SCAN, then the stored networks, strongest first.\n"
     "  --json: [{\"signal\",\"channel\",\"bssid\",\"ssid\"}] (signal and channel numbers)\n"},
    {"wps", "--serial --udp --key-file --timeout --retries --pace --trace",
     "wlinkctl LINK wps\n"
     "  AT+WPS, then AT+WPS= every second until the run ends; exit status 0 when it\n"
     "  ended Idle after Active, 2 when it timed out or its status is unknown.\n"},
    {"upgstate", "--serial --udp --key-file --timeout --retries --pace --trace --json",
     "wlinkctl LINK upgstate [--json]\n"
     "  AT+UPGSTATE: none, busy (an upgrade runs) or interrupted (an upgrade stopped\n"
     "  while it wrote flash, which may hold a half-written image: send it again).\n"
     "  --json: {\"state\":\"none\"|\"busy\"|\"interrupted\"}\n"},
    {"pack", "--image --app --version -o --load --entry --compression --name --force --sign --board --allow-downgrade",
     "wlinkctl pack --image FILE --app FILE --version MAJOR.MINOR -o PACKAGE\n"
     "              [--load ADDR] [--entry ADDR] [--compression none|gzip|bzip2|lzma|lzo]\n"
     "              [--name NAME] [--force]\n"
     "              [--sign BASE.key [--board NAME] [--allow-downgrade]]\n"
     "  Wraps raw image data in a legacy header (MIPS, Linux, kernel), or takes a\n"
     "  ready legacy image as it is (--load, --entry, --compression and --name are\n"
     "  refused then), and writes version header, image and application part.\n"
     "  Refuses what the module refuses (architecture, magic, CRCs, empty parts,\n"
     "  more than 5242880 bytes in all) unless --force; -o never names an input.\n"
     "  --sign appends a signature trailer made with the secret key of keygen, for\n"
     "  the board NAME (any board without --board); --allow-downgrade lets the\n"
     "  package replace a newer version on a module that holds upgrade keys.\n"},
    {"inspect", "--json --key",
     "wlinkctl inspect FILE [--key BASE.pub] [--json]\n"
     "  The version header, the image header, the signature trailer and the\n"
     "  module's verdict; exit status 1 when the module would refuse the package (or\n"
     "  FILE is a bare image), or with --key when it is not signed with that key or\n"
     "  its signature does not hold.\n"
     "  --json: {\"file\",\"bytes\",\"kind\",\"accepted\",\"reason\",\"version\",\"image\":{...},\n"
     "          \"signature\":null|{\"board\",\"downgrade\",\"signer\",\"holds\",\"key_matches\"}}\n"},
    {"keygen", "",
     "wlinkctl keygen BASE\n"
     "  Makes an Ed25519 key pair for signing packages: BASE.key, the secret key (128\n"
     "  hex digits, mode 0600), and BASE.pub, the public key (64 hex digits), the\n"
     "  line a module's /etc/wlinkcmd/upgrade.pub takes. Never writes over a file.\n"},
    {"upgrade", "--serial --udp --key-file --timeout --retries --pace --trace --host --port --force --json --deadline",
     "wlinkctl upgrade (--serial DEV --host ADDR | --udp HOST[:PORT]) [--port N]\n"
     "                 [--timeout MS] [--deadline MS] [--force] [--json] PACKAGE\n"
     "  Checks PACKAGE as the module will and that each part fits its partition\n"
     "  (AT+FLASHINFO; --force sends it anyway), sends AT+UPGRADE=9999 with a fresh\n"
     "  token, then the package to the upgrade port (--port, 9999) of --host (with\n"
     "  --udp, the UDP host) with its progress, and shows each heartbeat.\n"
     "  --timeout: silence allowed while the module writes (300000 ms); --deadline:\n"
     "  the whole upgrade. Ctrl-C stops it and says whether flash may be written.\n"
     "  Exit status 0 accepted, 1 refused before sending or other errors,\n"
     "  3 wrong token, 4 refused or flash failed, 5 connection lost, 6 timeout,\n"
     "  7 cannot connect, 8 busy with another upgrade, 9 deadline, 130 interrupted.\n"
     "  --json: one object per line: started, progress, heartbeat, result\n"},
    {"reboot", "--serial --udp --key-file --timeout --retries --pace --trace --wait",
     "wlinkctl LINK reboot [--wait]\n"
     "  AT+REBOOT. --wait: then waits (up to --timeout, 60000 ms) until the module\n"
     "  answers again; with both --serial and --udp, AT+UIP= with this host's\n"
     "  address goes over the serial line first, so that UDP works again.\n"},
    {"pair", "--serial --timeout --pace --trace --key-file",
     "wlinkctl --serial DEV pair ADDR --key-file FILE\n"
     "  Makes a key from the system's random source, gives it to the module over the\n"
     "  serial line (AT+UKEY=) with ADDR as its UDP peer (AT+UIP=), and writes it to\n"
     "  FILE (64 hex digits, mode 0600). From then on the module takes over UDP only\n"
     "  datagrams made with that key: wlinkctl --udp HOST --key-file FILE ... The module\n"
     "  forgets the key when it restarts: pair again then.\n"},
    {"watch", "--log",
     "wlinkctl watch DIR [--log FILE]\n"
     "  Follows a simulated module on DIR: DIR/sim/events and the daemon's log\n"
     "  (--log, DIR.log by default), one line per event, until interrupted.\n"},
};

const char *const kUsage =
    "Usage: wlinkctl LINK [options] AT+COMMAND...\n"
    "       wlinkctl LINK [options]            (commands from standard input)\n"
    "       wlinkctl LINK [options] show|set|stations|scan|wps|reboot ...\n"
    "       wlinkctl pack|inspect|keygen|upgrade|watch ...\n"
    "       wlinkctl --serial DEV pair ADDR --key-file FILE\n"
    "       wlinkctl VERB --help\n"
    "\n"
    "LINK is --serial DEV (raw 115200 8N1; the port is taken for this program alone)\n"
    "or --udp HOST[:PORT] (port 8888; the module answers only the address given\n"
    "to it with AT+UIP= over the serial line).\n"
    "\n"
    "Options:\n"
    "  --timeout MS   time to wait for a reply, per try (2000)\n"
    "  --retries N    UDP: re-sends after a try got no reply (2)\n"
    "  --pace MS      serial: gap between the frames of a command (15)\n"
    "  --trace        every frame or datagram on stderr, timed and decoded\n"
    "  --json         show, stations, scan, inspect, upgrade: JSON on stdout\n"
    "  --key-file F   UDP: speak the authenticated form with the key in F (see pair)\n"
    "  --force        send an AT+ command wlinkctl does not know; set, upgrade: see there\n"
    "  -h, --help     this text, or a verb's\n"
    "  --version      wlinkctl's and libwlink's versions\n"
    "\n"
    "Commands are at most 127 bytes; each reply goes on its own line. Exit status\n"
    "0 every command answered, 2 one answered +ERR, 1 a reply missing or a refusal.\n"
    "\n"
    "Verbs:\n";

const Verb *find_verb(const std::string &w) {
    for (const Verb &v : kVerbs)
        if (w == v.name) return &v;
    return nullptr;
}

size_t distance(const std::string &a, const std::string &b) {
    std::vector<size_t> row(b.size() + 1);
    for (size_t j = 0; j <= b.size(); ++j) row[j] = j;
    for (size_t i = 1; i <= a.size(); ++i) {
        size_t diag = row[0];
        row[0] = i;
        for (size_t j = 1; j <= b.size(); ++j) {
            const size_t up = row[j];
            row[j] = std::min({row[j] + 1, row[j - 1] + 1, diag + (a[i - 1] == b[j - 1] ? 0 : 1)});
            diag = up;
        }
    }
    return row[b.size()];
}

std::string closest(const std::string &w, const std::vector<std::string> &names) {
    std::string best;
    size_t d = SIZE_MAX;
    for (const std::string &n : names)
        if (distance(w, n) < d) d = distance(w, n), best = n;
    return best;
}

int usage_error(const std::string &msg) {
    complain(msg);
    std::fprintf(stderr, "Try 'wlinkctl --help'.\n");
    return kFail;
}

bool parse_args(int argc, char **argv, Options *o, std::string *err) {
    static const char *const kValued[] = {
        "--serial",  "--udp", "--timeout",  "--retries",  "--pace",        "--image", "--app",
        "--version", "-o",    "--load",     "--entry",    "--compression", "--name",  "--host",
        "--port",    "--log", "--deadline", "--key-file", "--sign",        "--board", "--key"};
    bool done = false;
    for (int i = 1; i < argc; ++i) {
        std::string a = argv[i];
        if (done || a.size() < 2 || a[0] != '-') {
            o->words.push_back(a);
            continue;
        }
        if (a == "--") {
            done = true;
            continue;
        }
        std::string value;
        bool inline_value = false;
        if (const size_t eq = a.find('='); eq != std::string::npos && a.rfind("--", 0) == 0) {
            value = a.substr(eq + 1);
            a = a.substr(0, eq);
            inline_value = true;
        }
        o->given.push_back(a == "-h" ? "--help" : a);
        if (a == "-h" || a == "--help")
            o->help = true;
        else if (a == "--apply")
            o->apply = true;
        else if (a == "--force")
            o->force = true;
        else if (a == "--json")
            o->json = true;
        else if (a == "--trace")
            o->trace = true;
        else if (a == "--wait")
            o->wait = true;
        else if (a == "--allow-downgrade")
            o->named[a] = "1";
        // "--version" alone asks for the tool's; pack's --version takes MAJOR.MINOR.
        else if (a == "--version" && !inline_value && i + 1 >= argc &&
                 std::find(o->words.begin(), o->words.end(), "pack") == o->words.end())
            o->version = true;
        else if (std::find(std::begin(kValued), std::end(kValued), a) != std::end(kValued)) {
            if (!inline_value) {
                if (i + 1 >= argc) return *err = "option " + a + " needs a value", false;
                value = argv[++i];
            }
            o->named[a] = value;
        } else {
            return *err = "unknown option '" + a + "'", false;
        }
    }
    if (o->has("--serial")) {
        o->serial = o->get("--serial");
        if (o->serial.empty()) return *err = "empty serial device", false;
    }
    if (o->has("--udp")) {
        const std::string arg = o->get("--udp");
        const size_t colon = arg.rfind(':');
        o->udp_host = arg.substr(0, colon);
        if (colon != std::string::npos) {
            const auto port = number(arg.substr(colon + 1), 1, 65535);
            if (!port) return *err = "bad port in '" + arg + "'", false;
            o->udp_port = static_cast<uint16_t>(*port);
        }
        if (o->udp_host.empty()) return *err = "missing host in '" + arg + "'", false;
    }
    const struct {
        const char *name;
        long lo, hi;
        int *to;
    } nums[] = {{"--timeout", 1, 3600000, &o->timeout_ms},
                {"--retries", 0, 100, &o->retries},
                {"--pace", 0, 1000, &o->pace_ms},
                {"--deadline", 1, 3600000, &o->deadline_ms}};
    for (const auto &n : nums) {
        if (!o->has(n.name)) continue;
        const auto v = number(o->get(n.name), n.lo, n.hi);
        if (!v) return *err = "bad value '" + o->get(n.name) + "' for " + n.name, false;
        *n.to = static_cast<int>(*v);
    }
    return true;
}

void print_reply(const std::string &reply) {
    std::fwrite(reply.data(), 1, reply.size(), stdout);
    if (reply.empty() || reply.back() != '\n') std::fputc('\n', stdout);
    std::fflush(stdout);
}

int run_commands(Link &link, const std::vector<std::string> &cmds) {
    int status = kOk;
    for (const std::string &cmd : cmds) {
        const auto reply = link.send(cmd);
        if (!reply) return kFail;
        print_reply(*reply);
        if (*reply == "+ERR") status = kErrReply;
    }
    return status;
}

int run_stdin(Link &link, bool force) {
    const bool interactive = isatty(STDIN_FILENO) != 0;
    int status = kOk;
    for (std::string line;;) {
        if (interactive) std::fputs("wlink> ", stdout), std::fflush(stdout);
        line.clear();
        int c;
        bool any = false;
        while ((c = std::getc(stdin)) != EOF && c != '\n') any = true, line.push_back(static_cast<char>(c));
        if (!any && c == EOF) break;
        while (!line.empty() && line.back() == '\r') line.pop_back();
        if (line.empty()) continue;
        if (line.size() > WLINK_CMD_MAX) {
            complain("command longer than 127 bytes");
            status = kFail;
            continue;
        }
        if (const std::string why = unknown_command(line, force); !why.empty()) {
            complain(why);
            status = kFail;
            continue;
        }
        wlink_status st;
        const auto reply = link.send(line, &st);
        if (!reply) {
            status = kFail;
            if (!interactive || st == WLINK_UNREACHABLE) break;
            continue;
        }
        print_reply(*reply);
        if (*reply == "+ERR" && status == kOk) status = kErrReply;
    }
    if (interactive) std::fputc('\n', stdout);
    return status;
}

int run_show(Link &link, bool as_json) {
    int status = kOk;
    std::string out = "{";
    for (int s = 0; s < WLINK_SETTING_COUNT; ++s) {
        const auto setting = static_cast<wlink_setting>(s);
        if (!wlink_setting_readable(setting)) continue;
        char value[WLINK_REPLY_MAX + 1];
        const wlink_status st = wlink_get(link.get(), setting, value, sizeof value);
        if (st != WLINK_OK && st != WLINK_ERR_REPLY)
            return link.report(st, std::string("the query of ") + wlink_setting_name(setting));
        if (st == WLINK_ERR_REPLY) status = kErrReply;
        const std::string name = wlink_setting_name(setting);
        if (as_json) {
            // Numbers where the setting is always one; text otherwise (channel may be "auto").
            const bool numeric =
                setting == WLINK_TXPOWER || setting == WLINK_STANUM || setting == WLINK_CURRENT_CHANNEL;
            out += (out.size() > 1 ? "," : "") + json(name) + ":" +
                   (st != WLINK_OK ? "null"
                    : numeric      ? json_number(value)
                                   : json(value));
        } else {
            std::printf("%-15s  %s\n", name.c_str(), st == WLINK_OK ? value : "(error)");
            std::fflush(stdout);
        }
    }
    if (as_json) std::printf("%s}\n", out.c_str());
    return status;
}

std::vector<std::string> setting_names(bool writable) {
    std::vector<std::string> out;
    for (int s = 0; s < WLINK_SETTING_COUNT; ++s)
        if (writable ? wlink_setting_writable(static_cast<wlink_setting>(s))
                     : wlink_setting_readable(static_cast<wlink_setting>(s)))
            out.push_back(wlink_setting_name(static_cast<wlink_setting>(s)));
    return out;
}

int run_set(const Options &o, Link *link) {
    const std::vector<std::string> args(o.words.begin() + 1, o.words.end());
    if (args.empty() && !o.apply) return usage_error("set needs NAME VALUE pairs");
    if (args.size() % 2 != 0) return usage_error("set takes NAME VALUE pairs; '" + args.back() + "' has no value");
    std::vector<std::pair<std::string, std::string>> cmds;
    for (size_t i = 0; i < args.size(); i += 2) {
        const int s = wlink_setting_by_name(args[i].c_str());
        if (s < 0 || !wlink_setting_writable(static_cast<wlink_setting>(s)))
            return usage_error("unknown setting '" + args[i] + "'; did you mean '" +
                               closest(args[i], setting_names(true)) + "'?");
        char cmd[WLINK_CMD_MAX + 1], why[160];
        if (wlink_setting_command(static_cast<wlink_setting>(s), args[i + 1].c_str(), o.force, cmd, sizeof cmd, why,
                                  sizeof why) != WLINK_OK) {
            complain("set " + args[i] + " '" + args[i + 1] + "': " + why + "; nothing sent" +
                     (o.force ? "" : " (--force sends it anyway)"));
            return kFail;
        }
        cmds.push_back({args[i], cmd});
    }
    if (const int rc = link->open(); rc != kOk) return rc;
    int status = kOk;
    for (const auto &[name, cmd] : cmds) {
        const auto reply = link->send(cmd);
        if (!reply) return kFail;
        std::printf("%s: %s\n", name.c_str(), reply->c_str());
        std::fflush(stdout);
        if (*reply == "+ERR") status = kErrReply;
    }
    if (!o.apply) return status;
    if (status != kOk) {
        complain("not applying: a setting was refused");
        return status;
    }
    const auto reply = link->send("AT+ENCFG");
    if (!reply) return kFail;
    std::printf("apply: %s\n", reply->c_str());
    return *reply == "+ERR" ? kErrReply : kOk;
}

// ---- watch

volatile sig_atomic_t g_stop = 0;
void on_signal(int) { g_stop = 1; }

struct Follow {
    std::string path, label;
    off_t pos = 0;
    std::string partial;
    // Prints the complete lines added since the last call.
    void poll() {
        struct stat st;
        if (::stat(path.c_str(), &st) != 0) return;
        if (st.st_size < pos) pos = 0, partial.clear();  // the file was started again
        if (st.st_size == pos) return;
        std::ifstream in(path, std::ios::binary);
        in.seekg(pos);
        std::string chunk(static_cast<size_t>(st.st_size - pos), '\0');
        in.read(&chunk[0], static_cast<std::streamsize>(chunk.size()));
        chunk.resize(static_cast<size_t>(in.gcount()));
        pos += static_cast<off_t>(chunk.size());
        partial += chunk;
        for (size_t nl; (nl = partial.find('\n')) != std::string::npos; partial.erase(0, nl + 1)) {
            const std::string line = partial.substr(0, nl);
            if (line.find_first_not_of("= \r") == std::string::npos) continue;
            timeval tv;
            gettimeofday(&tv, nullptr);
            tm t;
            localtime_r(&tv.tv_sec, &t);
            std::printf("%02d:%02d:%02d.%03ld %-6s %s\n", t.tm_hour, t.tm_min, t.tm_sec, tv.tv_usec / 1000,
                        label.c_str(), line.c_str());
        }
        std::fflush(stdout);
    }
};

int run_watch(const Options &o) {
    if (o.words.size() != 2) return usage_error("watch takes the simulated module's folder");
    std::string dir = o.words[1];
    while (dir.size() > 1 && dir.back() == '/') dir.pop_back();
    struct stat st;
    if (::stat((dir + "/sim").c_str(), &st) != 0) {
        complain(dir + " holds no simulated module (no " + dir + "/sim)");
        return kFail;
    }
    Follow files[] = {{dir + "/sim/events", "event", 0, ""}, {o.get("--log", dir + ".log"), "log", 0, ""}};
    for (Follow &f : files)
        if (::stat(f.path.c_str(), &st) == 0) f.pos = st.st_size;  // from now on
    signal(SIGINT, on_signal);
    signal(SIGTERM, on_signal);
    while (!g_stop) {
        for (Follow &f : files) f.poll();
        usleep(100000);
    }
    return kOk;
}

// A fresh key for the module's UDP link: given over the serial line with the peer's
// address, and kept in the key file (written whole, mode 0600, only once the module took it).
int run_pair(const Options &o, Link *link) {
    if (o.words.size() != 2 || !o.has("--key-file") || o.serial.empty())
        return usage_error("pair takes the peer's address, --serial and --key-file FILE");
    uint8_t key[WLINK_KEY_SIZE];
    char cmd[WLINK_CMD_MAX + 1], why[160];
    if (wlink_setting_command(WLINK_UDP_PEER, o.words[1].c_str(), 0, cmd, sizeof cmd, why, sizeof why) != WLINK_OK)
        return usage_error(std::string("pair ") + o.words[1] + ": " + why);
    const std::string file = o.get("--key-file"), tmp = file + ".tmp";
    char hex[2 * WLINK_KEY_SIZE + 1], ukey[8 + sizeof hex];
    if (wlink_key_generate(key) != WLINK_OK || wlink_key_command(key, ukey, sizeof ukey) != WLINK_OK) {
        complain("no key from the system's random source");
        return kFail;
    }
    std::memcpy(hex, ukey + 8, sizeof hex);
    const int fd = ::open(tmp.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
    const std::string line = std::string(hex) + "\n";
    const bool written =
        fd >= 0 && ::write(fd, line.data(), line.size()) == static_cast<ssize_t>(line.size()) && ::fsync(fd) == 0;
    if (fd >= 0) ::close(fd);
    if (!written) {
        ::unlink(tmp.c_str());
        complain("cannot write " + tmp + ": " + std::strerror(errno));
        return kFail;
    }
    int rc = link->open();
    for (const char *c : {static_cast<const char *>(ukey), static_cast<const char *>(cmd)}) {
        if (rc != kOk) break;
        const auto reply = link->send(c);
        if (!reply || *reply != "+OK") {
            if (reply) complain(std::string(c).substr(0, 8) + ": the module answered " + *reply);
            rc = reply ? kErrReply : kFail;
        }
    }
    if (rc != kOk || std::rename(tmp.c_str(), file.c_str()) != 0) {
        ::unlink(tmp.c_str());
        return rc != kOk ? rc : (complain("cannot write " + file), kFail);
    }
    std::printf("paired: the module takes UDP commands from %s made with the key in %s\n", o.words[1].c_str(),
                file.c_str());
    return kOk;
}

// AT+REBOOT on the UDP link when there is one (else serial), and with --wait until
// the module answers again, AT+UIP= sent again over serial when both are given.
int run_reboot(const Options &o) {
    if (o.words.size() > 1) return usage_error("reboot takes no arguments");
    Options serial_opt = o, udp_opt = o;
    serial_opt.udp_host.clear();
    udp_opt.serial.clear();
    serial_opt.timeout_ms = udp_opt.timeout_ms = 0;
    Link serial(serial_opt), udp(udp_opt);
    const bool has_serial = !o.serial.empty(), has_udp = !o.udp_host.empty();
    if (has_serial && serial.open() != kOk) return kFail;
    if (has_udp && udp.open() != kOk) return kFail;
    Link &main_link = has_udp ? udp : serial;
    if (!o.wait) {
        const auto reply = main_link.send("AT+REBOOT");
        if (!reply) return kFail;
        std::printf("%s\n", reply->c_str());
        return *reply == "+OK" ? kOk : kErrReply;
    }
    main_link.cancel_on_signals();
    const int limit = o.timeout_ms > 0 ? o.timeout_ms : 60000;
    const auto t0 = std::chrono::steady_clock::now();
    const wlink_status st = wlink_reboot(main_link.get(), has_serial && has_udp ? serial.get() : nullptr, limit);
    if (st != WLINK_OK) return main_link.report(st, "reboot");
    const auto ms =
        std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - t0).count();
    std::printf("the module answers again after %lld ms\n", static_cast<long long>(ms));
    return kOk;
}

int help(const Options &o) {
    const Verb *v = o.words.empty() ? nullptr : find_verb(o.words[0]);
    if (v) {
        std::fputs(v->help, stdout);
        return kOk;
    }
    std::fputs(kUsage, stdout);
    for (const Verb &verb : kVerbs) std::printf("\n%s", verb.help);
    return kOk;
}

}  // namespace

int main(int argc, char **argv) {
    Options o;
    std::string err;
    if (!parse_args(argc, argv, &o, &err)) return usage_error(err);
    if (o.help) return help(o);
    if (o.version) {
        std::printf("wlinkctl %s (libwlink %s)\n", WLINK_VERSION, wlink_version());
        return kOk;
    }

    const std::string first = o.words.empty() ? "" : o.words[0];
    const Verb *verb = find_verb(first);
    // Every word must be a verb or an "AT+" command: nothing else reaches the module.
    if (!verb) {
        for (const std::string &w : o.words) {
            if (w.rfind("AT+", 0) == 0) {
                if (w.size() > WLINK_CMD_MAX)
                    return usage_error("command longer than 127 bytes: '" + w.substr(0, 40) + "...'");
                if (const std::string why = unknown_command(w, o.force); !why.empty()) return usage_error(why);
                continue;
            }
            std::string upper = w;
            for (char &c : upper) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
            if (upper.rfind("AT+", 0) == 0)
                return usage_error("'" + w + "': commands are upper case, as in '" + upper + "'");
            std::vector<std::string> names;
            for (const Verb &v : kVerbs) names.push_back(v.name);
            return usage_error("'" + w + "' is neither a verb nor an AT+ command; did you mean '" + closest(w, names) +
                               "'?");
        }
    }
    // Options the verb does not take are refused.
    const std::string allowed = verb ? std::string(verb->options) + " " : kLinkOpts;
    for (const std::string &g : o.given)
        if (allowed.find(g + " ") == std::string::npos)
            return usage_error("option " + g + " does not go with " + (verb ? first : "commands"));

    if (verb && (first == "pack" || first == "inspect" || first == "keygen" || first == "watch")) {
        if (!o.serial.empty() || !o.udp_host.empty()) return usage_error(first + " takes no link");
        return first == "pack"      ? run_pack(o)
               : first == "inspect" ? run_inspect(o)
               : first == "keygen"  ? run_keygen(o)
                                    : run_watch(o);
    }
    if (verb && first == "reboot" && !o.serial.empty() && !o.udp_host.empty()) return run_reboot(o);
    if (o.serial.empty() == o.udp_host.empty()) return usage_error("give exactly one of --serial and --udp");
    if (verb && first == "upgrade") return run_upgrade(o);

    Link link(o);
    if (verb && first == "set") return run_set(o, &link);
    if (verb && first == "pair") return run_pair(o, &link);
    if (verb && o.words.size() > 1) return usage_error(first + " takes no arguments");
    if (verb && first == "reboot") return run_reboot(o);
    if (const int rc = link.open(); rc != kOk) return rc;
    if (!verb) return o.words.empty() ? run_stdin(link, o.force) : run_commands(link, o.words);
    if (first == "show") return run_show(link, o.json);
    if (first == "stations") return run_stations(link, o.json);
    if (first == "scan") return run_scan(link, o.json);
    if (first == "upgstate") return run_upgstate(link, o.json);
    return run_wps(link, 1000);
}
