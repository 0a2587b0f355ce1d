#include "linux_support.h"

#include <fcntl.h>
#include <sched.h>
#include <signal.h>
#include <string.h>
#include <sys/mman.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <sstream>
#include <thread>

#include "wlinkcmd.h"

namespace wlt {
namespace {

// Starts argv in its own process group, stdin from /dev/null, stdout and stderr to `out`.
pid_t spawn(const std::vector<std::string> &argv, int out) {
    std::vector<char *> args;
    for (const auto &a : argv) args.push_back(const_cast<char *>(a.c_str()));
    args.push_back(nullptr);
    pid_t pid = fork();
    if (pid == 0) {
        setpgid(0, 0);
        int in = open("/dev/null", O_RDONLY);
        if (in < 0 || dup2(in, 0) < 0 || dup2(out, 1) < 0 || dup2(out, 2) < 0) _exit(126);
        execvp(args[0], args.data());
        _exit(127);
    }
    if (pid > 0) setpgid(pid, pid);
    return pid;
}

// Waits up to ms for pid; kills its group and reaps it when the time runs out.
bool reap(pid_t pid, int *status, int ms) {
    for (int waited = 0; waited < ms; waited += 10) {
        if (waitpid(pid, status, WNOHANG) == pid) return true;
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    kill(-pid, SIGKILL);
    waitpid(pid, status, 0);
    return false;
}

}  // namespace

std::string missing_prerequisite(bool need_busybox) {
    if (geteuid() != 0) return "needs root to create network namespaces";
    if (!run_cmd({"ip", "-V"}).ok) return "needs the ip tool (iproute2)";
    if (!need_busybox) return "";
    std::stringstream list(run_cmd({"busybox", "--list"}).output);
    int found = 0;
    for (std::string w; list >> w;) found += w == "udhcpd" || w == "udhcpc";
    return found == 2 ? "" : "needs busybox with udhcpd and udhcpc";
}

CmdResult run_cmd(const std::vector<std::string> &argv, int timeout_ms) {
    CmdResult r;
    int out = memfd_create("wlt-out", MFD_CLOEXEC), status = -1;
    pid_t pid = out < 0 ? -1 : spawn(argv, out);
    bool in_time = pid > 0 && reap(pid, &status, timeout_ms);
    char buf[4096];
    lseek(out, 0, SEEK_SET);
    for (ssize_t n; (n = read(out, buf, sizeof buf)) > 0;) r.output.append(buf, (size_t)n);
    r.ok = in_time && WIFEXITED(status) && WEXITSTATUS(status) == 0;
    if (!in_time) r.output += pid > 0 ? "[timed out]" : "[cannot start " + argv[0] + "]";
    if (out >= 0) close(out);
    return r;
}

Background::Background(const std::vector<std::string> &argv, const std::string &log) : pid_(-1) {
    int out = open(log.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    if (out >= 0) pid_ = spawn(argv, out), close(out);
}

Background::~Background() { if (running() && kill(-pid_, SIGTERM) == 0) reap(pid_, &status_, 2000); }

bool Background::running() {
    if (pid_ > 0 && waitpid(pid_, &status_, WNOHANG) != 0) pid_ = -1;
    return pid_ > 0;
}

NetNs::NetNs(const std::string &tag) {
    static int counter = 0;
    name_ = "wlt" + std::to_string(getpid()) + "n" + std::to_string(counter++) + tag;
    CmdResult r = run_cmd({"ip", "netns", "add", name_});
    error_ = r.ok ? "" : "ip netns add " + name_ + ": " + r.output + " ";
    if (r.ok) ip({"link", "set", "lo", "up"});
}

NetNs::~NetNs() { if (ok()) run_cmd({"ip", "netns", "del", name_}); }

CmdResult NetNs::ip(const std::vector<std::string> &args) const {
    std::vector<std::string> argv = {"ip", "-n", name_};
    argv.insert(argv.end(), args.begin(), args.end());
    return run_cmd(argv);
}

std::vector<std::string> NetNs::addrs(const std::string &dev) const {
    std::stringstream ss(ip({"-o", "-4", "addr", "show", "dev", dev}).output);
    std::vector<std::string> out;
    for (std::string w, prev; ss >> w; prev = w)
        if (prev == "inet") out.push_back(w);
    return out;
}

std::vector<std::string> NetNs::flags(const std::string &dev) const {
    std::string text = ip({"-o", "link", "show", "dev", dev}).output;
    size_t open = text.find('<'), close = text.find('>');
    std::vector<std::string> out;
    std::stringstream ss(open < close && close != std::string::npos ? text.substr(open + 1, close - open - 1) : "");
    for (std::string w; std::getline(ss, w, ',');) out.push_back(w);
    return out;
}

std::string run_in_netns(const std::string &ns, const std::function<void()> &fn) {
    int fd = open(("/run/netns/" + ns).c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) return "cannot open /run/netns/" + ns + ": " + strerror(errno);
    std::string err;
    std::thread([&] {
        if (setns(fd, CLONE_NEWNET) != 0) err = std::string("setns: ") + strerror(errno);
        else fn();
    }).join();
    close(fd);
    return err;
}

std::string dispatch(const std::string &cmd) {
    char reply[WIFI_REPLY_BUF_SIZE] = {0};
    int r = wifi_msg_proc_distribute(cmd.c_str(), reply, sizeof reply);
    return r == 0 ? std::string(reply, strnlen(reply, sizeof reply)) : "+ERR";
}

}  // namespace wlt
