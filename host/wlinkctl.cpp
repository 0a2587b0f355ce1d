// wlinkctl: send "AT+" commands to the module over its serial line or UDP.
#include "wlink_host.h"
#include "wlinkctl_wireless.h"

#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <optional>
#include <string>
#include <utility>
#include <vector>

namespace {

constexpr int kExitOk = 0;
constexpr int kExitFail = 1;   // usage or open error, or a reply never came
constexpr int kExitError = 2;  // the module answered "+ERR"

const char* const kUsage =
    R"USAGE(Usage: wlinkctl --serial DEV [options] [CMD...]
       wlinkctl --udp HOST[:PORT] [options] [CMD...]
       wlinkctl LINK [options] show
       wlinkctl LINK [options] set NAME VALUE [NAME VALUE...] [--apply]
       wlinkctl LINK [options] stations|scan|wps
       wlinkctl pack --image FILE --app FILE --version MAJOR.MINOR -o PACKAGE
            [--load ADDR] [--entry ADDR] [--compression none|gzip|bzip2|lzma|lzo] [--name NAME]
       wlinkctl inspect PACKAGE
       wlinkctl upgrade (--serial DEV | --udp HOST) [--host ADDR] [--port N]
            [--timeout MS] PACKAGE

Sends "AT+" commands to the Wi-Fi module and prints each reply on its own
line. Without CMD, commands are read from standard input, one per line
(trailing CR/LF stripped, empty lines skipped); the prompt "wlink> " is shown
when standard input is a terminal.

Link (exactly one):
  --serial DEV        serial port, set to raw 115200 8N1 without flow control
  --udp HOST[:PORT]   module address (IPv4 or host name), port 8888 by default;
                      the module only answers the host named by AT+UIP=

Options (may stand anywhere; "--" ends them):
  --timeout MS        time to wait for a reply, per try (default 2000)
  --retries N         UDP only: re-sends after a try got no reply (default 2)
  --pace MS           serial only: gap between outgoing frames (default 15)
  --apply             with set: send AT+ENCFG once every setting was accepted
  -h, --help          show this text

Commands are at most 127 bytes; quote those holding spaces. A reply that
already ends in a line feed gets no second one. After a missing reply the
remaining commands are not sent, except in an interactive session.

show
  Queries every radio and LAN setting and prints a NAME VALUE table:
  ssid key channel current-channel auth encryption wifi htmode country
  txpower stanum lanip udp-peer vlan ports. A "+ERR" reply shows as
  "(error)", a missing one as "(no reply)".

set NAME VALUE...
  Sends one setting command per pair and prints "NAME: REPLY" for each.
    ssid key channel auth encryption wifi htmode country txpower stanum
    lanip udp-peer      AT+SSID=VALUE, AT+KEY=..., AT+CHANNEL=..., AT+AUTH=,
                        AT+ENCRY=, AT+WIFI=, AT+HTMODE=, AT+COUNTRY=,
                        AT+TXPOWER=, AT+STANUM=, AT+LANIP=, AT+UIP=
    dhcp "START POOL HOURS"   AT+DHCP=START POOL HOURSh (pool on the LAN
                        subnet from host number START, POOL addresses,
                        leases of HOURS hours; a trailing h is accepted)
    dhcp off            AT+DHCP=OFF (stops the DHCP server at once)
    vlan VALUE          AT+VLAN=VALUE;  vlan off: AT+VLAN=OFF
  Everything is checked before anything is sent: an unknown name, a value
  with a line break or a command over 127 bytes sends nothing.

stations
  The number of associated stations, then a table of each one's address,
  rate, bandwidth, signal and leased address (AT+CNUM, AT+CINFO=, AT+CIP=).
scan
  Runs a site survey (AT+SCAN) and prints the stored networks, the strongest
  first, with a signal bar when standard output is a terminal.
wps
  Starts WPS (AT+WPS) and asks for its status every second until the run
  ends, with a countdown on a terminal. Exit status 0 when it ended Idle.
pack wraps raw image data in a legacy image header (MIPS, Linux, kernel) or takes
a ready legacy image whose CRCs check, and writes version header, image and
application part. inspect prints a package's headers and the module's checks
(exit status 1 when the module would refuse it). upgrade sends AT+UPGRADE= with
a fresh token, then the package to the upgrade port (9999) of --host (with --udp,
the UDP host); exit status 0 accepted, 2 "+ERR", 3 wrong token, 4 failure
result, 5 connection lost, 6 timeout, 1 other errors.

Exit status:
  0  every command was answered, none with "+ERR"
  2  every command was answered, at least one with "+ERR"
  1  a reply never came, or a usage, refusal or open error

Examples:
  wlinkctl --serial /dev/ttyUSB0 AT+UIP=192.168.1.10
  wlinkctl --udp 192.168.1.1 AT+ 'AT+DHCP=100 50 24h' AT+VER
  wlinkctl --udp 192.168.1.1:8888 --timeout 500 --retries 4 show
  wlinkctl --serial /dev/ttyUSB0 set ssid Home key 'secret pass' --apply
  wlinkctl --udp 192.168.1.1 set channel auto htmode HT40 dhcp '100 50 24'
  printf 'AT+SSID\nAT+KEY\n' | wlinkctl --udp 192.168.1.1
)USAGE";

struct Options {
  std::string serial_dev;
  std::string udp_host;
  uint16_t udp_port = wlink::kDefaultUdpPort;
  bool use_serial = false;
  bool use_udp = false;
  int timeout_ms = wlink::kDefaultTimeoutMs;
  int retries = wlink::kDefaultRetries;
  int pace_ms = wlink::kDefaultPaceMs;
  bool apply = false;
  bool help = false;
  std::vector<std::string> words;
};

void complain(const std::string& msg) { std::fprintf(stderr, "wlinkctl: %s\n", msg.c_str()); }

int usage_error(const std::string& msg) {
  complain(msg);
  std::fprintf(stderr, "Try 'wlinkctl --help'.\n");
  return kExitFail;
}

std::optional<long> parse_num(const std::string& s, long lo, long hi) {
  if (s.empty() || s.size() > 9 || !std::all_of(s.begin(), s.end(), [](char c) {
        return c >= '0' && c <= '9';
      }))
    return std::nullopt;
  const long v = std::strtol(s.c_str(), nullptr, 10);
  if (v < lo || v > hi) return std::nullopt;
  return v;
}

bool parse_host_port(const std::string& arg, Options* o, std::string* err) {
  const auto colon = arg.rfind(':');
  o->udp_host = arg.substr(0, colon);
  if (colon != std::string::npos) {
    const auto port = parse_num(arg.substr(colon + 1), 1, 65535);
    if (!port) {
      *err = "bad port in '" + arg + "'";
      return false;
    }
    o->udp_port = static_cast<uint16_t>(*port);
  }
  if (o->udp_host.empty()) {
    *err = "missing host in '" + arg + "'";
    return false;
  }
  return true;
}

bool parse_args(int argc, char** argv, Options* o, std::string* err) {
  bool options_done = false;
  for (int i = 1; i < argc; ++i) {
    std::string a = argv[i];
    if (options_done || a.empty() || a[0] != '-') {
      o->words.push_back(std::move(a));
      continue;
    }
    if (a == "--") {
      options_done = true;
      continue;
    }
    if (a == "-h" || a == "--help") {
      o->help = true;
      continue;
    }
    if (a == "--apply") {
      o->apply = true;
      continue;
    }
    std::string name = a, value;
    bool has_value = false;
    if (const auto eq = a.find('='); eq != std::string::npos && a.rfind("--", 0) == 0) {
      name = a.substr(0, eq);
      value = a.substr(eq + 1);
      has_value = true;
    }
    if (name != "--serial" && name != "--udp" && name != "--timeout" && name != "--retries" &&
        name != "--pace") {
      *err = "unknown option '" + a + "'";
      return false;
    }
    if (!has_value) {
      if (i + 1 >= argc) {
        *err = "option " + name + " needs a value";
        return false;
      }
      value = argv[++i];
    }
    if (name == "--serial") {
      o->use_serial = true;
      o->serial_dev = value;
      if (value.empty()) {
        *err = "empty serial device";
        return false;
      }
    } else if (name == "--udp") {
      o->use_udp = true;
      if (!parse_host_port(value, o, err)) return false;
    } else {
      const bool is_timeout = name == "--timeout", is_retries = name == "--retries";
      const auto v = parse_num(value, is_timeout ? 1 : 0, is_timeout ? 600000 : is_retries ? 100 : 1000);
      if (!v) {
        *err = "bad value '" + value + "' for " + name;
        return false;
      }
      (is_timeout ? o->timeout_ms : is_retries ? o->retries : o->pace_ms) = static_cast<int>(*v);
    }
  }
  return true;
}

// One open link, serial or UDP.
class Link {
 public:
  explicit Link(const Options& o) : opt_(o) {}

  bool open(std::string* err) {
    if (opt_.use_serial) {
      serial_.set_pace_ms(opt_.pace_ms);
      return serial_.open(opt_.serial_dev, err);
    }
    return udp_.open(opt_.udp_host, opt_.udp_port, err);
  }

  // The reply, or nullopt after a complaint on stderr.
  std::optional<std::string> send(const std::string& cmd) {
    std::string err;
    auto reply = opt_.use_serial ? serial_.command(cmd, opt_.timeout_ms, &err)
                                 : udp_.command(cmd, opt_.timeout_ms, opt_.retries, &err);
    if (!reply) complain("no reply to '" + cmd + "': " + err);
    return reply;
  }

 private:
  const Options& opt_;
  wlink::SerialClient serial_;
  wlink::UdpClient udp_;
};

bool command_fits(const std::string& cmd, std::string* err) {
  if (cmd.empty()) {
    *err = "empty command";
    return false;
  }
  if (cmd.size() > wlink::kMaxCommandLen) {
    *err = "command longer than 127 bytes: '" + cmd.substr(0, 40) + "...'";
    return false;
  }
  return true;
}

void print_reply(const std::string& reply) {
  std::fwrite(reply.data(), 1, reply.size(), stdout);
  if (reply.empty() || reply.back() != '\n') std::fputc('\n', stdout);
  std::fflush(stdout);
}

int worse(int a, int b) {
  auto rank = [](int s) { return s == kExitFail ? 2 : s == kExitError ? 1 : 0; };
  return rank(a) >= rank(b) ? a : b;
}

// ---------------------------------------------------------------------------
// Plain commands, from the command line or standard input.

int run_commands(Link& link, const std::vector<std::string>& cmds) {
  int status = kExitOk;
  for (const auto& cmd : cmds) {
    const auto reply = link.send(cmd);
    if (!reply) return kExitFail;
    print_reply(*reply);
    if (*reply == "+ERR") status = kExitError;
  }
  return status;
}

// Reads one line of at most `cap` bytes; the rest of a longer line is
// skipped and *too_long set. Returns false at end of input.
bool read_line(std::FILE* in, std::string* line, bool* too_long, size_t cap) {
  line->clear();
  *too_long = false;
  int c;
  bool any = false;
  while ((c = std::getc(in)) != EOF) {
    any = true;
    if (c == '\n') return true;
    if (line->size() < cap)
      line->push_back(static_cast<char>(c));
    else
      *too_long = true;
  }
  return any;
}

int run_stdin(Link& link) {
  const bool interactive = ::isatty(STDIN_FILENO) != 0;
  int status = kExitOk;
  std::string line;
  bool too_long = false;
  for (;;) {
    if (interactive) {
      std::fputs("wlink> ", stdout);
      std::fflush(stdout);
    }
    if (!read_line(stdin, &line, &too_long, 2 * wlink::kMaxCommandLen)) break;
    while (!line.empty() && (line.back() == '\r' || line.back() == '\n')) line.pop_back();
    if (line.empty() && !too_long) continue;
    std::string err;
    if (too_long || !command_fits(line, &err)) {
      complain(too_long ? "command longer than 127 bytes" : err);
      status = kExitFail;
      continue;
    }
    const auto reply = link.send(line);
    if (!reply) {
      status = kExitFail;
      if (!interactive) break;
      continue;
    }
    print_reply(*reply);
    if (*reply == "+ERR") status = worse(status, kExitError);
  }
  if (interactive) std::fputc('\n', stdout);
  return status;
}

// ---------------------------------------------------------------------------
// show

struct Query {
  const char* name;
  const char* cmd;
};

constexpr Query kShowQueries[] = {
    {"ssid", "AT+SSID"},       {"key", "AT+KEY"},
    {"channel", "AT+CHANNEL"}, {"current-channel", "AT+CHANNEL!="},
    {"auth", "AT+AUTH"},       {"encryption", "AT+ENCRY"},
    {"wifi", "AT+WIFI"},       {"htmode", "AT+HTMODE"},
    {"country", "AT+COUNTRY"}, {"txpower", "AT+TXPOWER"},
    {"stanum", "AT+STANUM"},   {"lanip", "AT+LANIP"},
    {"udp-peer", "AT+UIP"},    {"vlan", "AT+VLAN"},
    {"ports", "AT+PORT"},
};

int run_show(Link& link) {
  size_t width = 0;
  for (const auto& q : kShowQueries) width = std::max(width, std::string(q.name).size());
  int status = kExitOk;
  for (const auto& q : kShowQueries) {
    const auto reply = link.send(q.cmd);
    std::string value;
    if (!reply) {
      value = "(no reply)";
      status = kExitFail;
    } else if (*reply == "+ERR") {
      value = "(error)";
      status = worse(status, kExitError);
    } else {
      value = reply->rfind("+OK=", 0) == 0 ? reply->substr(4) : *reply;
      while (!value.empty() && (value.back() == '\n' || value.back() == '\r')) value.pop_back();
    }
    std::printf("%-*s  %s\n", static_cast<int>(width), q.name, value.c_str());
    std::fflush(stdout);
  }
  return status;
}

// ---------------------------------------------------------------------------
// set

struct Setting {
  std::string name;
  std::string cmd;
};

constexpr Query kSetters[] = {
    {"ssid", "AT+SSID="},       {"key", "AT+KEY="},         {"channel", "AT+CHANNEL="},
    {"auth", "AT+AUTH="},       {"encryption", "AT+ENCRY="}, {"wifi", "AT+WIFI="},
    {"htmode", "AT+HTMODE="},   {"country", "AT+COUNTRY="}, {"txpower", "AT+TXPOWER="},
    {"stanum", "AT+STANUM="},   {"lanip", "AT+LANIP="},     {"udp-peer", "AT+UIP="},
    {"dhcp", "AT+DHCP="},       {"vlan", "AT+VLAN="},
};

bool is_off(const std::string& v) {
  return v.size() == 3 && (v[0] | 0x20) == 'o' && (v[1] | 0x20) == 'f' && (v[2] | 0x20) == 'f';
}

// "START POOL HOURS" or "START POOL HOURSh" -> "START POOL HOURSh".
std::optional<std::string> dhcp_value(const std::string& v) {
  std::vector<std::string> tok;
  size_t i = 0;
  while (i < v.size()) {
    while (i < v.size() && (v[i] == ' ' || v[i] == '\t')) ++i;
    const size_t start = i;
    while (i < v.size() && v[i] != ' ' && v[i] != '\t') ++i;
    if (i > start) tok.push_back(v.substr(start, i - start));
  }
  if (tok.size() != 3) return std::nullopt;
  if (tok[2].size() > 1 && tok[2].back() == 'h') tok[2].pop_back();
  for (const auto& t : tok)
    if (!parse_num(t, 0, 99999)) return std::nullopt;
  return tok[0] + " " + tok[1] + " " + tok[2] + "h";
}

bool build_settings(const std::vector<std::string>& args, std::vector<Setting>* out,
                    std::string* err) {
  if (args.size() % 2 != 0) {
    *err = "set takes NAME VALUE pairs; '" + args.back() + "' has no value";
    return false;
  }
  for (size_t i = 0; i < args.size(); i += 2) {
    const std::string& name = args[i];
    const std::string& value = args[i + 1];
    const Query* q = nullptr;
    for (const auto& s : kSetters)
      if (name == s.name) q = &s;
    if (!q) {
      std::string known;
      for (const auto& s : kSetters) known += std::string(known.empty() ? "" : " ") + s.name;
      *err = "unknown setting '" + name + "' (known: " + known + ")";
      return false;
    }
    if (value.find_first_of("\r\n") != std::string::npos) {
      *err = "value of " + name + " contains a line break";
      return false;
    }
    std::string cmd;
    if ((name == "dhcp" || name == "vlan") && is_off(value)) {
      cmd = std::string(q->cmd) + "OFF";
    } else if (name == "dhcp") {
      const auto v = dhcp_value(value);
      if (!v) {
        *err = "dhcp takes \"START POOL HOURS\" (numbers) or off, not '" + value + "'";
        return false;
      }
      cmd = q->cmd + *v;
    } else {
      cmd = q->cmd + value;
    }
    if (cmd.size() > wlink::kMaxCommandLen) {
      *err = "value of " + name + " makes the command longer than 127 bytes";
      return false;
    }
    out->push_back({name, cmd});
  }
  return true;
}

int run_set(Link& link, const std::vector<Setting>& settings, bool apply) {
  int status = kExitOk;
  for (const auto& s : settings) {
    const auto reply = link.send(s.cmd);
    std::printf("%s: %s\n", s.name.c_str(), reply ? reply->c_str() : "(no reply)");
    std::fflush(stdout);
    if (!reply) return kExitFail;
    if (*reply == "+ERR") status = kExitError;
  }
  if (apply) {
    if (status != kExitOk) {
      complain("not applying: a setting was refused");
      return status;
    }
    const auto reply = link.send("AT+ENCFG");
    std::printf("apply: %s\n", reply ? reply->c_str() : "(no reply)");
    std::fflush(stdout);
    if (!reply) return kExitFail;
    if (*reply == "+ERR") status = kExitError;
  }
  return status;
}

}  // namespace

bool wlinkctl_upgrade_verb(int argc, char** argv, int* rc);  // wlinkctl_upgrade.cpp

int main(int argc, char** argv) {
  if (int rc = 0; wlinkctl_upgrade_verb(argc, argv, &rc)) return rc;
  Options opt;
  std::string err;
  if (!parse_args(argc, argv, &opt, &err)) return usage_error(err);
  if (opt.help) {
    std::fputs(kUsage, stdout);
    return kExitOk;
  }
  if (opt.use_serial == opt.use_udp) return usage_error("give exactly one of --serial and --udp");

  enum class Mode { Commands, Stdin, Show, Set, Stations, Scan, Wps } mode = Mode::Commands;
  std::vector<Setting> settings;
  if (opt.words.empty()) {
    mode = Mode::Stdin;
  } else if (opt.words[0] == "show") {
    mode = Mode::Show;
    if (opt.words.size() > 1) return usage_error("show takes no arguments");
  } else if (opt.words[0] == "stations" || opt.words[0] == "scan" || opt.words[0] == "wps") {
    mode = opt.words[0] == "stations" ? Mode::Stations : opt.words[0] == "scan" ? Mode::Scan : Mode::Wps;
    if (opt.words.size() > 1) return usage_error(opt.words[0] + " takes no arguments");
  } else if (opt.words[0] == "set") {
    mode = Mode::Set;
    const std::vector<std::string> args(opt.words.begin() + 1, opt.words.end());
    if (args.empty() && !opt.apply) return usage_error("set needs NAME VALUE pairs");
    if (!build_settings(args, &settings, &err)) return usage_error(err);
  } else {
    for (const auto& cmd : opt.words)
      if (!command_fits(cmd, &err)) return usage_error(err);
  }
  if (opt.apply && mode != Mode::Set) return usage_error("--apply goes with set only");

  Link link(opt);
  if (!link.open(&err)) {
    complain(err);
    return kExitFail;
  }
  switch (mode) {
    case Mode::Commands: return run_commands(link, opt.words);
    case Mode::Stdin: return run_stdin(link);
    case Mode::Show: return run_show(link);
    case Mode::Set: return run_set(link, settings, opt.apply);
    case Mode::Stations: return wlinkctl::run_stations([&](const std::string& c) { return link.send(c); });
    case Mode::Scan: return wlinkctl::run_scan([&](const std::string& c) { return link.send(c); });
    case Mode::Wps: return wlinkctl::run_wps([&](const std::string& c) { return link.send(c); }, 1000);
  }
  return kExitFail;
}
