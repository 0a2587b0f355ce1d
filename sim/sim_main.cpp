// wlinkcmd-sim: the daemon on a simulated module.
//
// The process started by the user is the module's supervisor: it lays out the
// module's files, owns the serial line (two pseudo-terminals and the bytes between
// them) and runs the daemon as a child process, started again after a reboot.
#include <arpa/inet.h>
#include <errno.h>
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/file.h>
#include <sys/prctl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "sim_platform.h"
#include "unique_fd.h"
#include "wifi_apply.h"
#include "wifi_dhcp_cfg.h"
#include "wifi_main.h"
#include "wifi_profile.h"
#include "wifi_uart.h"

std::string factory_profile_text();
std::string factory_dhcp_text();

namespace fs = std::filesystem;

namespace {

const char kUsage[] =
    "usage: wlinkcmd-sim --root DIR [--bind ADDR] [--udp-port N] [--upgrade-port N] [--time-scale N]\n"
    "                    [--log FILE]\n"
    "\n"
    "Runs the wlinkcmd daemon on a simulated module.\n"
    "\n"
    "  --root DIR        the module's file system: module path /X is DIR/X. Missing files\n"
    "                    are created from the factory template; existing ones are kept,\n"
    "                    so a second run on DIR is the same module after a restart.\n"
    "  --bind ADDR       IPv4 address the UDP link and the upgrade server bind (127.0.0.1)\n"
    "  --udp-port N      port of the UDP command link (8888)\n"
    "  --upgrade-port N  port of the upgrade server (9999)\n"
    "  --time-scale N    run the daemon's clock N times faster and divide every sleep,\n"
    "                    wait and time limit by N (1)\n"
    "  --log FILE        write the daemon's log to FILE (emptied first) instead of stdout\n"
    "  --help            this text\n"
    "\n"
    "Serial line: DIR/sim/tty links to a pseudo-terminal; open it like a USB serial adapter.\n"
    "stdout carries the daemon's log; DIR/sim/events gets one line per effect on the\n"
    "outside world (shell, ifaddr, ifflags, iwpriv); DIR/sim/state holds the simulated\n"
    "module's state. One simulated module at a time runs on DIR: it holds a lock on\n"
    "DIR/sim/lock, and another one started on DIR says so and ends with status 1\n"
    "before it changes anything. SIGINT or SIGTERM stops it with status 0.\n";

volatile sig_atomic_t g_stop;

void on_signal(int) { g_stop = 1; }

bool parse_int(const char *text, int lo, int hi, int *out) {
    char *end = nullptr;
    errno = 0;
    long v = strtol(text, &end, 10);
    if (errno != 0 || end == text || *end != '\0' || v < lo || v > hi) return false;
    *out = (int)v;
    return true;
}

int usage_error(const char *msg) {
    fprintf(stderr, "wlinkcmd-sim: %s\n%s", msg, kUsage);
    return 2;
}

bool seed_file(const fs::path &path, const std::string &content) {
    std::error_code ec;
    if (fs::exists(path, ec)) return true;
    fs::create_directories(path.parent_path(), ec);
    std::ofstream out(path, std::ios::binary);
    out << content;
    return static_cast<bool>(out);
}

// The flash partitions: mtd5 and mtd6 erased, mtd2 with a recognisable pattern ahead
// of its erased record area; mtdblock2 is mtd2 seen as a block device.
bool seed_flash(const std::string &root) {
    std::string part(6 << 20, '\xFF'), hdr(0x10000, '\xFF');
    for (size_t i = 0; i < 0xFE00; i++) hdr[i] = (char)("mtd2 boot data "[i % 15] ^ (i >> 9));
    std::error_code ec;
    if (!fs::exists(root + "/dev/mtdblock2", ec)) fs::create_symlink("mtd2", root + "/dev/mtdblock2", ec);
    return seed_file(root + "/dev/mtd5", part) && seed_file(root + "/dev/mtd6", part) &&
           seed_file(root + "/dev/mtd2", hdr) && !ec;
}

// Lays out the module's file system under the root; keeps what is there.
bool prepare_root(const std::string &root) {
    std::error_code ec;
    for (const char *d : {"/config", "/etc/wireless/mt7628", "/tmp", "/var/run", "/dev", "/sim"})
        fs::create_directories(root + d, ec);
    return seed_file(root + WIFI_PROFILE_PATH, factory_profile_text()) &&
           seed_file(root + WIFI_FACTORY_PROFILE_PATH, factory_profile_text()) &&
           seed_file(root + WIFI_DHCP_CFG_PATH, factory_dhcp_text()) && seed_flash(root);
}

// Takes DIR/sim/lock for this process and its children (they share the open file,
// so the lock lasts until the last of them ends) and writes our pid into it.
// Invalid when another simulated module holds it; its pid goes to *holder.
UniqueFd lock_root(const std::string &root, std::string *holder) {
    std::error_code ec;
    fs::create_directories(root + "/sim", ec);
    std::string path = root + "/sim/lock";
    UniqueFd fd(open(path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0644));
    if (!fd.valid()) {
        *holder = std::string("cannot open ") + path + ": " + strerror(errno);
        return fd;
    }
    if (flock(fd.get(), LOCK_EX | LOCK_NB) != 0) {
        char pid[32] = "";
        ssize_t n = pread(fd.get(), pid, sizeof(pid) - 1, 0);
        pid[n > 0 ? n : 0] = '\0';
        pid[strcspn(pid, "\n")] = '\0';
        *holder = std::string("in use by another wlinkcmd-sim (pid ") + (pid[0] ? pid : "?") + ")";
        return UniqueFd();
    }
    char pid[32];
    int n = snprintf(pid, sizeof(pid), "%d\n", (int)getpid());
    if (ftruncate(fd.get(), 0) == 0) {
        ssize_t w = pwrite(fd.get(), pid, (size_t)n, 0);  // only for the message above
        (void)w;
    }
    return fd;
}

void make_raw(int fd) {
    struct termios t;
    if (tcgetattr(fd, &t) != 0) return;
    cfmakeraw(&t);
    cfsetispeed(&t, B115200);
    cfsetospeed(&t, B115200);
    tcsetattr(fd, TCSANOW, &t);
}

// One pseudo-terminal: the master the supervisor relays through, and its slave,
// held open so that the master never sees a hang-up when the other side closes.
struct pty_end {
    UniqueFd master;
    UniqueFd slave;
    std::string path;
};

bool open_pty(pty_end *p) {
    p->master.reset(posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC));
    if (!p->master.valid() || grantpt(p->master.get()) != 0 || unlockpt(p->master.get()) != 0) return false;
    char name[128];
    if (ptsname_r(p->master.get(), name, sizeof(name)) != 0) return false;
    p->path = name;
    p->slave.reset(open(name, O_RDWR | O_NOCTTY | O_CLOEXEC));
    if (!p->slave.valid()) return false;
    make_raw(p->slave.get());
    int fl = fcntl(p->master.get(), F_GETFL);
    fcntl(p->master.get(), F_SETFL, fl | O_NONBLOCK);
    return true;
}

bool relink(const std::string &target, const std::string &link) {
    std::error_code ec;
    fs::remove(link, ec);
    fs::create_symlink(target, link, ec);
    return !ec;
}

// Carries bytes between the module's end and the host's end of the serial line,
// until the supervisor ends.
[[noreturn]] void relay(int module_master, int host_master) {
    struct pollfd p[2] = {{module_master, POLLIN, 0}, {host_master, POLLIN, 0}};
    char buf[4096];
    for (;;) {
        if (::poll(p, 2, -1) <= 0) continue;
        for (int i = 0; i < 2; i++) {
            if (!(p[i].revents & POLLIN)) continue;
            ssize_t n = read(p[i].fd, buf, sizeof(buf));
            if (n <= 0) continue;
            // A full line (nobody reading) drops bytes, as a real wire would.
            ssize_t w = write(p[1 - i].fd, buf, (size_t)n);
            (void)w;
        }
    }
}

// Starts a child process of the supervisor that ends with it. The supervisor has no
// threads, so the child may go on without exec: it starts from the supervisor's
// fresh memory, as a module does from its flash after a reboot.
template <typename Fn>
pid_t spawn(Fn body) {
    fflush(stdout);
    fflush(stderr);
    // The stop signals wait until the child has its own dispositions: one that
    // arrived in between would otherwise run the supervisor's handler in the child
    // and be lost, and the supervisor would wait for that child for ever.
    sigset_t stop_sigs, old;
    sigemptyset(&stop_sigs);
    sigaddset(&stop_sigs, SIGINT);
    sigaddset(&stop_sigs, SIGTERM);
    sigprocmask(SIG_BLOCK, &stop_sigs, &old);
    pid_t parent = getpid();
    pid_t pid = fork();
    if (pid != 0) {
        sigprocmask(SIG_SETMASK, &old, nullptr);
        return pid;
    }
    signal(SIGINT, SIG_DFL);
    signal(SIGTERM, SIG_DFL);
    signal(SIGPIPE, SIG_DFL);  // as on the module: the daemon itself must not raise it
    prctl(PR_SET_PDEATHSIG, SIGTERM);
    if (getppid() != parent) _exit(1);  // the supervisor is already gone
    sigprocmask(SIG_SETMASK, &old, nullptr);
    body();
    _exit(1);
}

[[noreturn]] void run_daemon(const sim_options &opt) {
    setvbuf(stdout, nullptr, _IOFBF, 16384);  // written out before every wait
    if (chdir(opt.root.c_str()) != 0) {
        perror("wlinkcmd-sim: chdir");
        _exit(1);
    }
    // Never destroyed: a link thread may end the process with exit() while the
    // other thread is still using the platform.
    sim_platform *plat = new sim_platform(opt);
    plat->boot();
    wifi_platform_set(plat);
    _exit(wifi_daemon_main() & 0xFF);
}

void stop(pid_t pid) {
    if (pid <= 0) return;
    kill(pid, SIGTERM);
    int status;
    while (waitpid(pid, &status, 0) < 0 && errno == EINTR) {}
}

}  // namespace

int main(int argc, char **argv) {
    // A stop signal that comes while the module is being set up ends it as well,
    // right after the setup, with status 0.
    struct sigaction sa;
    memset(&sa, 0, sizeof(sa));
    sa.sa_handler = on_signal;
    sigaction(SIGINT, &sa, nullptr);
    sigaction(SIGTERM, &sa, nullptr);
    signal(SIGPIPE, SIG_IGN);

    sim_options opt;
    std::string log_path;
    for (int i = 1; i < argc; i++) {
        std::string a = argv[i];
        bool has_val = i + 1 < argc;
        if (a == "--help" || a == "-h") {
            fputs(kUsage, stdout);
            return 0;
        } else if (a == "--root" && has_val) {
            opt.root = argv[++i];
        } else if (a == "--bind" && has_val) {
            opt.bind = argv[++i];
        } else if (a == "--udp-port" && has_val) {
            if (!parse_int(argv[++i], 1, 65535, &opt.udp_port)) return usage_error("bad --udp-port");
        } else if (a == "--upgrade-port" && has_val) {
            if (!parse_int(argv[++i], 1, 65535, &opt.upgrade_port)) return usage_error("bad --upgrade-port");
        } else if (a == "--log" && has_val) {
            log_path = argv[++i];
        } else if (a == "--time-scale" && has_val) {
            if (!parse_int(argv[++i], 1, 1000000, &opt.time_scale)) return usage_error("bad --time-scale");
        } else {
            return usage_error(("unknown or incomplete option: " + a).c_str());
        }
    }
    if (opt.root.empty()) return usage_error("--root DIR is required");
    struct in_addr probe;
    if (inet_pton(AF_INET, opt.bind.c_str(), &probe) != 1) return usage_error("bad --bind address");

    std::error_code ec;
    opt.root = fs::absolute(opt.root, ec).lexically_normal().string();
    if (!opt.root.empty() && opt.root.size() > 1 && opt.root.back() == '/') opt.root.pop_back();
    // Nothing under DIR, the log or the ports is touched before the lock is ours.
    std::string why;
    UniqueFd root_lock = lock_root(opt.root, &why);
    if (!root_lock.valid()) {
        fprintf(stderr, "wlinkcmd-sim: %s: %s\n", opt.root.c_str(), why.c_str());
        return 1;
    }
    if (!log_path.empty()) {
        UniqueFd log(open(log_path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644));
        if (!log.valid() || dup2(log.get(), STDOUT_FILENO) < 0) {
            fprintf(stderr, "wlinkcmd-sim: cannot write %s: %s\n", log_path.c_str(), strerror(errno));
            return 1;
        }
    }
    if (!prepare_root(opt.root)) {
        fprintf(stderr, "wlinkcmd-sim: cannot lay out the module's files under %s\n", opt.root.c_str());
        return 1;
    }

    pty_end module_end, host_end;
    if (!open_pty(&module_end) || !open_pty(&host_end)) {
        perror("wlinkcmd-sim: pseudo-terminal");
        return 1;
    }
    opt.tty = opt.root + "/sim/tty";
    if (!relink(module_end.path, opt.root + WIFI_UART_DEV) || !relink(host_end.path, opt.tty)) {
        fprintf(stderr, "wlinkcmd-sim: cannot link the serial line under %s\n", opt.root.c_str());
        return 1;
    }

    if (g_stop) return 0;
    pid_t wire = spawn([&] { relay(module_end.master.get(), host_end.master.get()); });
    // The daemon sees the serial line only through its device path.
    auto daemon = [&] {
        module_end.master.reset();
        module_end.slave.reset();
        host_end.master.reset();
        host_end.slave.reset();
        run_daemon(opt);
    };

    int rc = 0;
    pid_t child = spawn(daemon);
    while (!g_stop) {
        int status = 0;
        pid_t r = waitpid(child, &status, 0);
        if (r < 0) {
            if (errno == EINTR) continue;
            rc = 1;
            break;
        }
        // A stop signal sent to the whole process group (Ctrl-C in a terminal) ends
        // the daemon too, and its end may be seen before our own signal: that is
        // the stop asked for, not a failure of the daemon. The signal is pending
        // here already, so its handler has run by the time waitpid returns.
        if (g_stop) {
            child = -1;
            break;
        }
        if (WIFEXITED(status) && WEXITSTATUS(status) == SIM_REBOOT_STATUS) {
            fprintf(stderr, "wlinkcmd-sim: module rebooting\n");
            child = spawn(daemon);
            continue;
        }
        // The daemon ended on its own (for instance its UDP port was taken).
        rc = WIFEXITED(status) ? WEXITSTATUS(status) : 1;
        fprintf(stderr, "wlinkcmd-sim: daemon ended with status %d\n", rc);
        child = -1;
        break;
    }
    if (child > 0) {
        stop(child);
        rc = 0;
    }
    stop(wire);
    return rc;
}
