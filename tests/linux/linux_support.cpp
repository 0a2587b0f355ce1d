#include "linux_support.h"

#include <arpa/inet.h>
#include <errno.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <sched.h>
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <thread>

#include "fake_platform.h"  // factory_profile_text(), factory_dhcp_text()
#include "wlinkcmd.h"

namespace fs = std::filesystem;

namespace wlt {

namespace {

using Clock = std::chrono::steady_clock;

int ms_left(Clock::time_point deadline) {
    auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
    return left < 0 ? 0 : (int)left;
}

void sleep_for_ms(int ms) { std::this_thread::sleep_for(std::chrono::milliseconds(ms)); }

// Waits for `pid` until the deadline; true when it was reaped (status in *status).
bool wait_until(pid_t pid, int *status, Clock::time_point deadline) {
    for (;;) {
        pid_t r = waitpid(pid, status, WNOHANG);
        if (r == pid) return true;
        if (r < 0 && errno != EINTR) {
            // Not our child any more (or never was): nothing left to wait for.
            return true;
        }
        if (Clock::now() >= deadline) return false;
        sleep_for_ms(10);
    }
}

// Blocking wait that survives signals.
void wait_blocking(pid_t pid, int *status) {
    while (waitpid(pid, status, 0) < 0 && errno == EINTR) {
    }
}

struct ArgvBuf {
    std::vector<std::string> words;
    std::vector<char *> ptrs;
    explicit ArgvBuf(const std::vector<std::string> &w) : words(w) {
        for (auto &s : words) ptrs.push_back(&s[0]);
        ptrs.push_back(nullptr);
    }
};

// In the child after fork(): only async-signal-safe calls from here on.
[[noreturn]] void exec_child(const char *path, char *const argv[], int in_fd, int out_fd) {
    setpgid(0, 0);
    // Signals the parent may have blocked or ignored come back to their defaults.
    sigset_t none;
    sigemptyset(&none);
    sigprocmask(SIG_SETMASK, &none, nullptr);
    struct sigaction dfl;
    memset(&dfl, 0, sizeof(dfl));
    dfl.sa_handler = SIG_DFL;
    sigaction(SIGPIPE, &dfl, nullptr);
    sigaction(SIGTERM, &dfl, nullptr);
    sigaction(SIGINT, &dfl, nullptr);
    if (dup2(in_fd, 0) < 0 || dup2(out_fd, 1) < 0 || dup2(out_fd, 2) < 0) _exit(126);
    execv(path, argv);
    _exit(127);
}

// Kills the process group the child leads (it called setpgid(0, 0)); falls back to
// the child alone when the group is not there yet.
void kill_group(pid_t pid, int sig) {
    if (pid <= 0) return;
    if (kill(-pid, sig) != 0) kill(pid, sig);
}

std::atomic<unsigned> g_name_counter{0};

}  // namespace

// ---------------------------------------------------------------------------
// Tools and commands
// ---------------------------------------------------------------------------

std::string find_tool(const std::string &name) {
    if (name.empty()) return "";
    if (name.find('/') != std::string::npos) return access(name.c_str(), X_OK) == 0 ? name : "";
    std::string dirs;
    if (const char *p = getenv("PATH")) dirs = p;
    dirs += ":/usr/sbin:/sbin:/usr/bin:/bin:/usr/local/sbin:/usr/local/bin";
    std::stringstream ss(dirs);
    std::string dir;
    while (std::getline(ss, dir, ':')) {
        if (dir.empty()) continue;
        std::string full = dir + "/" + name;
        struct stat st;
        if (stat(full.c_str(), &st) == 0 && S_ISREG(st.st_mode) && access(full.c_str(), X_OK) == 0) return full;
    }
    return "";
}

std::string missing_prerequisite(bool need_busybox) {
    if (geteuid() != 0) return "needs root to create network namespaces";
    if (find_tool("ip").empty()) return "needs the ip tool (iproute2) to create network namespaces";
    if (!need_busybox) return "";
    if (find_tool("busybox").empty()) return "needs busybox for udhcpd and udhcpc";
    CmdResult list = run_cmd({"busybox", "--list"}, 10000);
    if (!list.ok()) return "busybox --list failed: " + list.describe();
    std::stringstream ss(list.output);
    std::string word;
    bool server = false, client = false;
    while (ss >> word) {
        if (word == "udhcpd") server = true;
        if (word == "udhcpc") client = true;
    }
    if (!server || !client) return "needs a busybox built with udhcpd and udhcpc";
    return "";
}

bool CmdResult::ok() const { return started && !timed_out && WIFEXITED(status) && WEXITSTATUS(status) == 0; }

int CmdResult::exit_code() const { return started && WIFEXITED(status) ? WEXITSTATUS(status) : -1; }

std::string CmdResult::describe() const {
    std::ostringstream os;
    if (!started)
        os << "could not start";
    else if (timed_out)
        os << "timed out";
    else if (WIFEXITED(status))
        os << "exit " << WEXITSTATUS(status);
    else if (WIFSIGNALED(status))
        os << "signal " << WTERMSIG(status);
    else
        os << "status " << status;
    os << "; output: [" << output << "]";
    return os.str();
}

CmdResult run_cmd(const std::vector<std::string> &argv, int timeout_ms, size_t max_output) {
    CmdResult res;
    if (argv.empty()) {
        res.output = "empty command";
        return res;
    }
    std::string path = find_tool(argv[0]);
    if (path.empty()) {
        res.output = argv[0] + ": not found";
        return res;
    }
    ArgvBuf args(argv);

    int devnull = open("/dev/null", O_RDONLY | O_CLOEXEC);
    if (devnull < 0) {
        res.output = std::string("open /dev/null: ") + strerror(errno);
        return res;
    }
    int fds[2];
    if (pipe2(fds, O_CLOEXEC) != 0) {
        res.output = std::string("pipe: ") + strerror(errno);
        close(devnull);
        return res;
    }

    auto deadline = Clock::now() + std::chrono::milliseconds(timeout_ms);
    pid_t pid = fork();
    if (pid < 0) {
        res.output = std::string("fork: ") + strerror(errno);
        close(devnull);
        close(fds[0]);
        close(fds[1]);
        return res;
    }
    if (pid == 0) exec_child(path.c_str(), args.ptrs.data(), devnull, fds[1]);

    setpgid(pid, pid);  // also from here, so a kill can never miss the group
    res.started = true;
    close(devnull);
    close(fds[1]);

    // Read until every writer has closed the pipe or the time is up.
    char buf[4096];
    for (;;) {
        int left = ms_left(deadline);
        if (left == 0) {
            res.timed_out = true;
            break;
        }
        struct pollfd pfd = {fds[0], POLLIN, 0};
        int pr = ::poll(&pfd, 1, left);
        if (pr < 0) {
            if (errno == EINTR) continue;
            break;
        }
        if (pr == 0) continue;  // the deadline check above ends the loop
        ssize_t n = read(fds[0], buf, sizeof(buf));
        if (n < 0) {
            if (errno == EINTR || errno == EAGAIN) continue;
            break;
        }
        if (n == 0) break;
        size_t room = res.output.size() < max_output ? max_output - res.output.size() : 0;
        res.output.append(buf, (size_t)n < room ? (size_t)n : room);
    }
    close(fds[0]);

    if (res.timed_out) {
        kill_group(pid, SIGKILL);
        wait_blocking(pid, &res.status);
        return res;
    }
    // Output is complete; give the program what is left of its time to exit.
    if (!wait_until(pid, &res.status, deadline)) {
        res.timed_out = true;
        kill_group(pid, SIGKILL);
        wait_blocking(pid, &res.status);
    }
    return res;
}

BackgroundProcess::~BackgroundProcess() { stop(); }

std::string BackgroundProcess::start(const std::vector<std::string> &argv, const std::string &log_path) {
    if (pid_ > 0) return "already started";
    if (argv.empty()) return "empty command";
    std::string path = find_tool(argv[0]);
    if (path.empty()) return argv[0] + ": not found";
    ArgvBuf args(argv);
    int devnull = open("/dev/null", O_RDONLY | O_CLOEXEC);
    if (devnull < 0) return std::string("open /dev/null: ") + strerror(errno);
    int log = open(log_path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    if (log < 0) {
        close(devnull);
        return "open " + log_path + ": " + strerror(errno);
    }
    pid_t pid = fork();
    if (pid < 0) {
        int e = errno;
        close(devnull);
        close(log);
        return std::string("fork: ") + strerror(e);
    }
    if (pid == 0) exec_child(path.c_str(), args.ptrs.data(), devnull, log);
    setpgid(pid, pid);
    close(devnull);
    close(log);
    pid_ = pid;
    reaped_ = false;
    status_ = -1;
    return "";
}

bool BackgroundProcess::running() {
    if (pid_ <= 0 || reaped_) return false;
    pid_t r = waitpid(pid_, &status_, WNOHANG);
    if (r == pid_ || (r < 0 && errno == ECHILD)) {
        reaped_ = true;
        return false;
    }
    return true;
}

int BackgroundProcess::stop(int grace_ms) {
    if (pid_ <= 0) return status_;
    if (!reaped_) {
        kill_group(pid_, SIGTERM);
        if (!wait_until(pid_, &status_, Clock::now() + std::chrono::milliseconds(grace_ms))) {
            kill_group(pid_, SIGKILL);
            wait_blocking(pid_, &status_);
        }
        reaped_ = true;
    }
    // Once reaped its id may belong to someone else: nothing more is sent.
    pid_ = -1;
    return status_;
}

// ---------------------------------------------------------------------------
// Files
// ---------------------------------------------------------------------------

TempDir::TempDir() {
    std::string tmpl = "/tmp/wlt" + std::to_string(getpid()) + ".XXXXXX";
    std::vector<char> buf(tmpl.begin(), tmpl.end());
    buf.push_back('\0');
    if (mkdtemp(buf.data()) != nullptr) path_ = buf.data();
}

TempDir::~TempDir() {
    if (path_.empty()) return;
    std::error_code ec;
    fs::remove_all(path_, ec);
}

bool write_text(const std::string &path, const std::string &text, unsigned mode) {
    std::error_code ec;
    fs::create_directories(fs::path(path).parent_path(), ec);
    {
        std::ofstream out(path, std::ios::binary | std::ios::trunc);
        if (!out) return false;
        out << text;
        if (!out.flush()) return false;
    }
    return chmod(path.c_str(), mode) == 0;
}

std::string read_text(const std::string &path) {
    std::ifstream in(path, std::ios::binary);
    std::stringstream ss;
    ss << in.rdbuf();
    return ss.str();
}

bool file_exists(const std::string &path) {
    struct stat st;
    return stat(path.c_str(), &st) == 0;
}

// ---------------------------------------------------------------------------
// Network namespaces
// ---------------------------------------------------------------------------

std::string unique_name(const std::string &tag) {
    return "wlt" + std::to_string(getpid()) + "n" + std::to_string(g_name_counter++) + tag;
}

NetNs::NetNs(const std::string &tag) : name_(unique_name(tag)) {
    CmdResult r = run_cmd({"ip", "netns", "add", name_});
    if (r.ok()) {
        created_ = true;
        // Loopback up, as on any running system; harmless for the tests.
        ip({"link", "set", "lo", "up"});
        return;
    }
    error_ = "ip netns add " + name_ + ": " + r.describe();
    denied_ = r.output.find("Operation not permitted") != std::string::npos ||
              r.output.find("Permission denied") != std::string::npos;
}

NetNs::~NetNs() {
    if (!created_) return;
    // Interfaces inside go with the namespace (a veth pair's far end with it).
    CmdResult r = run_cmd({"ip", "netns", "del", name_});
    if (!r.ok()) fprintf(stderr, "warning: could not delete namespace %s: %s\n", name_.c_str(), r.describe().c_str());
}

CmdResult NetNs::ip(const std::vector<std::string> &args, int timeout_ms) const {
    std::vector<std::string> argv = {"ip", "-n", name_};
    argv.insert(argv.end(), args.begin(), args.end());
    return run_cmd(argv, timeout_ms);
}

std::string run_in_netns(const std::string &ns_name, const std::function<void()> &fn) {
    int fd = -1;
    std::string tried;
    for (const char *dir : {"/run/netns/", "/var/run/netns/"}) {
        std::string p = dir + ns_name;
        fd = open(p.c_str(), O_RDONLY | O_CLOEXEC);
        if (fd >= 0) break;
        tried += p + ": " + strerror(errno) + "; ";
    }
    if (fd < 0) return "cannot open namespace " + ns_name + " (" + tried + ")";

    std::string err;
    std::thread t([&] {
        // setns() moves only this thread; the process's other threads stay put.
        if (setns(fd, CLONE_NEWNET) != 0) {
            err = std::string("setns(") + ns_name + "): " + strerror(errno);
            return;
        }
        fn();
    });
    t.join();
    close(fd);
    return err;
}

std::string current_netns_id() {
    char buf[128];
    ssize_t n = readlink("/proc/thread-self/ns/net", buf, sizeof(buf) - 1);
    if (n < 0) return "";
    buf[n] = '\0';
    return buf;
}

std::vector<std::string> ipv4_addrs(const NetNs &ns, const std::string &ifname) {
    std::vector<std::string> out;
    CmdResult r = ns.ip({"-o", "-4", "addr", "show", "dev", ifname});
    if (!r.ok()) return out;
    std::stringstream ss(r.output);
    std::string word;
    bool next = false;
    while (ss >> word) {
        if (next) out.push_back(word);
        next = word == "inet";
    }
    return out;
}

std::vector<std::string> link_flags(const NetNs &ns, const std::string &ifname) {
    std::vector<std::string> out;
    CmdResult r = ns.ip({"-o", "link", "show", "dev", ifname});
    if (!r.ok()) return out;
    size_t open = r.output.find('<');
    size_t close = r.output.find('>', open == std::string::npos ? 0 : open);
    if (open == std::string::npos || close == std::string::npos) return out;
    std::stringstream ss(r.output.substr(open + 1, close - open - 1));
    std::string word;
    while (std::getline(ss, word, ',')) out.push_back(word);
    return out;
}

bool has_word(const std::vector<std::string> &words, const std::string &w) {
    for (const auto &x : words)
        if (x == w) return true;
    return false;
}

int open_fd_count() {
    int n = 0;
    std::error_code ec;
    for (auto it = fs::directory_iterator("/proc/self/fd", ec); !ec && it != fs::directory_iterator();
         it.increment(ec))
        n++;
    return n;
}

int dispatch(const std::string &cmd, std::string *reply) {
    std::vector<char> buf(WIFI_REPLY_BUF_SIZE, '\0');
    int r = wifi_msg_proc_distribute(cmd.c_str(), buf.data(), WIFI_REPLY_BUF_SIZE);
    if (reply != nullptr) *reply = std::string(buf.data(), strnlen(buf.data(), buf.size()));
    return r;
}

}  // namespace wlt
