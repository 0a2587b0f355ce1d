// wlinkctl's parts: the parsed command line, the open link and the output helpers.
#pragma once

#include <functional>
#include <map>
#include <optional>
#include <string>
#include <vector>

#include "wlink.h"

namespace ctl {

enum Exit { kOk = 0, kFail = 1, kErrReply = 2, kInterrupted = 130 };

struct Options {
    std::string serial, udp_host;
    uint16_t udp_port = WLINK_UDP_PORT;
    int timeout_ms = 0;  // 0: the verb's default
    int deadline_ms = 0;
    int retries = WLINK_DEFAULT_RETRIES, pace_ms = WLINK_DEFAULT_PACE_MS;
    bool apply = false, force = false, json = false, trace = false, help = false, wait = false, version = false;
    std::map<std::string, std::string> named;  // --image FILE and the like
    std::vector<std::string> given;            // every option as written
    std::vector<std::string> words;            // the verb (or commands) and its arguments
    std::string get(const std::string &name, const std::string &def = "") const {
        auto it = named.find(name);
        return it == named.end() ? def : it->second;
    }
    bool has(const std::string &name) const { return named.count(name) != 0; }
};

void complain(const std::string &msg);
// A JSON string literal.
std::string json(const std::string &s);
// Whole text a decimal number in lo..hi.
std::optional<long> number(const std::string &s, long lo, long hi);

// The open link of a run. Failures are reported on stderr as they happen; a UDP
// run whose first command goes unanswered gets one message naming the likely cause.
class Link {
public:
    explicit Link(const Options &o) : opt_(o) {}
    ~Link() { wlink_close(l_); }
    // kOk, or the exit status after a message.
    int open();
    wlink_link *get() const { return l_; }
    // The reply text of WLINK_OK and WLINK_ERR_REPLY; nullopt after a message otherwise.
    std::optional<std::string> send(const std::string &cmd, wlink_status *st = nullptr);
    // After a status other than WLINK_OK: the message, and the exit status it means.
    int report(wlink_status st, const std::string &what);
    // Ctrl-C (SIGINT, SIGTERM) cancels the library's call under way instead of ending
    // the program; true once it did.
    void cancel_on_signals();
    static bool interrupted();

private:
    const Options &opt_;
    wlink_link *l_ = nullptr;
    bool answered_ = false;
};

// A JSON number, or null when the text is none.
std::string json_number(const std::string &s);

int run_stations(Link &link, bool json);
int run_scan(Link &link, bool json);
int run_wps(Link &link, int poll_ms);
int run_pack(const Options &o);
int run_inspect(const Options &o);
int run_keygen(const Options &o);
int run_upgrade(const Options &o);
int run_upgstate(Link &link, bool json);

}  // namespace ctl
