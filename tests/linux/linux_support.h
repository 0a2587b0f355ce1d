// Support for the tests that run the daemon's code against the real kernel:
// commands run with a time limit, background processes, network namespaces
// removed on every path, code run on a thread inside a namespace, and a platform
// that keeps module files under a temporary root but issues real interface ioctls.
//
// Everything these tests create carries the run's own prefix "wlt<pid>", so two
// runs side by side never touch each other's namespaces or files.
#pragma once

#include <sys/types.h>

#include <functional>
#include <mutex>
#include <string>
#include <vector>

#include "fake_platform.h"
#include "wifi_platform.h"

namespace wlt {

// ---------------------------------------------------------------------------
// Tools and commands
// ---------------------------------------------------------------------------

// Full path of a program found in PATH or the usual system folders; "" when missing.
std::string find_tool(const std::string &name);

// Why the kernel-facing tests cannot run here, or "" when they can: they need root
// and the `ip` tool; `need_busybox` also asks for busybox with udhcpd and udhcpc.
std::string missing_prerequisite(bool need_busybox);

struct CmdResult {
    bool started = false;    // the program could be started at all
    bool timed_out = false;  // killed at the time limit
    int status = -1;         // wait status
    std::string output;      // standard output and standard error together, bounded

    bool ok() const;
    int exit_code() const;  // -1 unless the program exited normally
    std::string describe() const;  // for failure messages
};

// Runs argv[0] (looked up with find_tool) with the other words as its arguments,
// standard input from /dev/null, standard output and error captured together. The
// program runs in its own process group; at the time limit that group is killed.
// At most `max_output` bytes of output are kept; the rest is read and dropped so the
// program never blocks on a full pipe.
CmdResult run_cmd(const std::vector<std::string> &argv, int timeout_ms = 10000, size_t max_output = 1 << 20);

// A program started in the background with its output going to a log file. It runs
// in its own process group, which stop() (and the destructor) ends: SIGTERM, then
// SIGKILL after a grace time, then waited for.
class BackgroundProcess {
public:
    BackgroundProcess() = default;
    ~BackgroundProcess();
    BackgroundProcess(const BackgroundProcess &) = delete;
    BackgroundProcess &operator=(const BackgroundProcess &) = delete;

    // Returns "" on success, else why it could not be started.
    std::string start(const std::vector<std::string> &argv, const std::string &log_path);
    bool running();  // still alive (reaps it when it has ended)
    int wait_status() const { return status_; }
    // Ends the process group and waits for the process; returns its wait status.
    int stop(int grace_ms = 2000);
    pid_t pid() const { return pid_; }

private:
    pid_t pid_ = -1;
    bool reaped_ = false;
    int status_ = -1;
};

// ---------------------------------------------------------------------------
// Files
// ---------------------------------------------------------------------------

// A fresh folder under /tmp, removed with everything in it by the destructor.
class TempDir {
public:
    TempDir();
    ~TempDir();
    TempDir(const TempDir &) = delete;
    TempDir &operator=(const TempDir &) = delete;
    const std::string &path() const { return path_; }
    bool ok() const { return !path_.empty(); }

private:
    std::string path_;
};

bool write_text(const std::string &path, const std::string &text, unsigned mode = 0644);
std::string read_text(const std::string &path);
bool file_exists(const std::string &path);

// ---------------------------------------------------------------------------
// Network namespaces
// ---------------------------------------------------------------------------

// A unique name for this run: "wlt<pid>" followed by a running number and a tag.
std::string unique_name(const std::string &tag);

// A named network namespace ("ip netns add"), deleted by the destructor together
// with every interface still in it. Processes started inside it must be ended
// before it goes away; destroy them first.
class NetNs {
public:
    explicit NetNs(const std::string &tag);
    ~NetNs();
    NetNs(const NetNs &) = delete;
    NetNs &operator=(const NetNs &) = delete;

    const std::string &name() const { return name_; }
    bool ok() const { return created_; }
    // Why creation failed ("" when it worked); `denied` when the kernel refused it.
    const std::string &error() const { return error_; }
    bool denied() const { return denied_; }

    // Runs "ip -n NAME <args...>".
    CmdResult ip(const std::vector<std::string> &args, int timeout_ms = 10000) const;

private:
    std::string name_;
    bool created_ = false;
    bool denied_ = false;
    std::string error_;
};

// Runs `fn` on a new thread that has first joined the namespace with setns(); the
// calling thread (and so the rest of the process) stays where it is. Sockets that
// `fn` opens live in the namespace, so interface ioctls on them act there. Returns
// "" when `fn` ran, else why the thread could not enter the namespace.
std::string run_in_netns(const std::string &ns_name, const std::function<void()> &fn);

// The namespace the calling thread is in, as the kernel names it ("net:[4026...]").
std::string current_netns_id();

// Interface state as `ip` shows it inside a namespace.
// IPv4 addresses with prefix ("10.77.0.1/24") of an interface.
std::vector<std::string> ipv4_addrs(const NetNs &ns, const std::string &ifname);
// The flag words between "<" and ">" of "ip link show" ("BROADCAST", "UP", ...).
// Empty when the interface is missing.
std::vector<std::string> link_flags(const NetNs &ns, const std::string &ifname);
bool has_word(const std::vector<std::string> &words, const std::string &w);

// Open descriptors of this process.
int open_fd_count();

// ---------------------------------------------------------------------------
// The module's platform for these tests
// ---------------------------------------------------------------------------

// One command through the dispatcher as a link does it: a zero-filled 256-byte reply
// buffer and the size 256. Returns the handler's result; the reply text goes to *reply.
int dispatch(const std::string &cmd, std::string *reply);

}  // namespace wlt
