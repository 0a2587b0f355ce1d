// Helpers for the tests against the real kernel: commands with a time limit, a
// background process that is always ended, and network namespaces that are always
// removed. Names carry "wlt<pid>" so that runs side by side never meet.
#pragma once

#include <sys/types.h>

#include <algorithm>
#include <functional>
#include <string>
#include <vector>

namespace wlt {

// Why these tests cannot run here ("" when they can): root and `ip`, and with
// `need_busybox` busybox with udhcpd and udhcpc.
std::string missing_prerequisite(bool need_busybox);

struct CmdResult {
    bool ok = false;     // exited with status 0 within the time limit
    std::string output;  // standard output and error together
};

// Runs argv (looked up in PATH), stdin from /dev/null; its process group is killed
// at the time limit.
CmdResult run_cmd(const std::vector<std::string> &argv, int timeout_ms = 10000);

// A program running in the background with its output in `log`; the destructor ends
// its process group (SIGTERM, then SIGKILL) and reaps it.
class Background {
public:
    Background(const std::vector<std::string> &argv, const std::string &log);
    ~Background();
    bool running();

private:
    pid_t pid_;
    int status_ = 0;
};

// A network namespace with loopback up, deleted with its interfaces by the destructor.
class NetNs {
public:
    explicit NetNs(const std::string &tag);
    ~NetNs();
    const std::string &name() const { return name_; }
    bool ok() const { return error_.empty(); }
    bool denied() const { return error_.find("not permitted") != std::string::npos; }
    const std::string &error() const { return error_; }
    CmdResult ip(const std::vector<std::string> &args) const;      // "ip -n NAME args..."
    std::vector<std::string> addrs(const std::string &dev) const;  // "10.77.0.1/24", ...
    std::vector<std::string> flags(const std::string &dev) const;  // "UP", "BROADCAST", ...

private:
    std::string name_, error_;
};

// Runs `fn` on a thread that has joined the namespace (its sockets act there);
// returns "" or why the thread could not enter.
std::string run_in_netns(const std::string &ns, const std::function<void()> &fn);

inline bool has(const std::vector<std::string> &v, const std::string &w) {
    return std::find(v.begin(), v.end(), w) != v.end();
}

// One command through the dispatcher with a zeroed 256-byte reply buffer: the
// reply, or "+ERR" when the handler failed.
std::string dispatch(const std::string &cmd);

}  // namespace wlt
