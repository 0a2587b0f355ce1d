// Runs wlinkcmd-sim for the end-to-end tests and the benchmarks: a throw-away
// folder holding the module root and the sim's output, free loopback ports, the
// wait for the ready line, and a stop that always ends the process.
#pragma once

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <signal.h>
#include <spawn.h>
#include <stdint.h>
#include <stdlib.h>
#include <string.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <functional>
#include <iterator>
#include <optional>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

extern char **environ;

namespace wlink_sim {

using Lines = std::vector<std::string>;

inline std::string read_file(const std::string &path) {
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), {});
}

inline Lines split_lines(const std::string &text) {
    Lines out;
    std::istringstream in(text);
    for (std::string l; std::getline(in, l);) out.push_back(l);
    return out;
}

// Polls cond every 10 ms; false if it is still false after timeout_ms.
inline bool wait_until(const std::function<bool()> &cond, int timeout_ms) {
    const auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeout_ms);
    while (!cond()) {
        if (std::chrono::steady_clock::now() >= end) return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    return true;
}

// A socket (SOCK_DGRAM or SOCK_STREAM) bound to 127.0.0.1 on a port of the
// system's choice, which goes to *port; -1 when there is none.
inline int bind_loopback(int type, uint16_t *port) {
    *port = 0;
    const int fd = ::socket(AF_INET, type | SOCK_CLOEXEC, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t len = sizeof a;
    if (fd >= 0 && ::bind(fd, reinterpret_cast<sockaddr *>(&a), len) == 0 &&
        ::getsockname(fd, reinterpret_cast<sockaddr *>(&a), &len) == 0) {
        *port = ntohs(a.sin_port);
        return fd;
    }
    if (fd >= 0) ::close(fd);
    return -1;
}

// A loopback port nobody holds right now; 0 when there is none.
inline uint16_t free_port(int type) {
    uint16_t port = 0;
    const int fd = bind_loopback(type, &port);
    if (fd >= 0) ::close(fd);
    return port;
}

// The command that runs the sim: the words of WLINK_SIM when it is set, e.g.
// "qemu-mipsel -L /usr/mipsel-linux-gnu build-mipsel/sim/wlinkcmd-sim", else `built`.
inline Lines command_from_env(const std::string &built) {
    std::istringstream in(getenv("WLINK_SIM") ? getenv("WLINK_SIM") : "");
    Lines cmd{std::istream_iterator<std::string>(in), {}};
    if (cmd.empty()) cmd.push_back(built);
    return cmd;
}

// One simulated module at a time on BASE/root, where BASE is a fresh folder under
// the temp directory. Run N of the sim writes its stdout and stderr to BASE/simN.out
// and BASE/simN.err. The destructor stops the sim and removes BASE.
class SimProcess {
public:
    // command: the sim and the words before its own arguments. own_group: the sim
    // gets a process group of its own, which a forced stop kills as a whole.
    SimProcess(Lines command, std::string base_name, bool own_group = false)
        : command_(std::move(command)), base_name_(std::move(base_name)), own_group_(own_group) {}
    ~SimProcess() {
        stop();
        remove_base();
    }
    SimProcess(const SimProcess &) = delete;
    SimProcess &operator=(const SimProcess &) = delete;

    // Makes BASE, once.
    bool make_base(std::string *err) {
        if (!base_.empty()) return true;
        std::string dir = (std::filesystem::temp_directory_path() / (base_name_ + ".XXXXXX")).string();
        if (!::mkdtemp(dir.data())) {
            *err = "mkdtemp " + dir + ": " + strerror(errno);
            return false;
        }
        base_ = dir;
        root = base_ + "/root";
        return true;
    }

    void remove_base() {
        if (base_.empty()) return;
        std::error_code ec;
        std::filesystem::remove_all(base_, ec);
        base_.clear();
    }

    // Starts the sim with these arguments: stdin from /dev/null, no other descriptor
    // of this process.
    bool spawn(Lines args, std::string *err) {
        if (!make_base(err)) return false;
        ++runs_;
        args.insert(args.begin(), command_.begin(), command_.end());
        std::vector<char *> argv;
        for (std::string &a : args) argv.push_back(a.data());
        argv.push_back(nullptr);
        posix_spawn_file_actions_t fa;
        posix_spawn_file_actions_init(&fa);
        posix_spawn_file_actions_addopen(&fa, 0, "/dev/null", O_RDONLY, 0);
        posix_spawn_file_actions_addopen(&fa, 1, log_path(".out").c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        posix_spawn_file_actions_addopen(&fa, 2, log_path(".err").c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        posix_spawn_file_actions_addclosefrom_np(&fa, 3);  // nothing else of ours reaches the module
        posix_spawnattr_t attr;
        posix_spawnattr_init(&attr);
        if (own_group_) {
            posix_spawnattr_setflags(&attr, POSIX_SPAWN_SETPGROUP);
            posix_spawnattr_setpgroup(&attr, 0);
        }
        const int rc = posix_spawnp(&pid, argv[0], &fa, &attr, argv.data(), environ);
        posix_spawnattr_destroy(&attr);
        posix_spawn_file_actions_destroy(&fa);
        if (rc == 0) return true;
        pid = -1;
        *err = std::string("cannot start ") + argv[0] + ": " + strerror(rc);
        return false;
    }

    // The sim on root with fresh ports, up to its first ready line. A sim that
    // ends before it is ready lost a port race: it is tried again with others.
    bool start(int time_scale, std::string *err) {
        if (!make_base(err)) return false;
        for (int attempt = 0; attempt < 3; ++attempt) {
            udp_port = free_port(SOCK_DGRAM);
            upgrade_port = free_port(SOCK_STREAM);
            if (udp_port == 0 || upgrade_port == 0) {
                *err = "no free loopback port";
                return false;
            }
            if (!spawn({"--root", root, "--bind", "127.0.0.1", "--udp-port", std::to_string(udp_port), "--upgrade-port",
                        std::to_string(upgrade_port), "--time-scale", std::to_string(time_scale)},
                       err))
                return false;
            if (wait_ready(1)) return true;
            if (pid > 0) {
                stop();
                *err = "the sim was not ready within 10 s; stderr:\n" + errlog();
                return false;
            }
        }
        *err = "the sim ended before it was ready; stderr:\n" + errlog();
        return false;
    }

    // True once the current run wrote n ready lines; false if it ended or 10 s went by first.
    bool wait_ready(size_t n) {
        wait_until([&] { return ready_lines().size() >= n || wait_exit(0); }, 10000);
        return ready_lines().size() >= n && pid > 0;
    }

    Lines ready_lines() const {
        Lines out;
        for (const std::string &l : split_lines(errlog()))
            if (l.rfind("wlinkcmd-sim: ready ", 0) == 0) out.push_back(l);
        return out;
    }

    // The serial path of the first ready line ("wlinkcmd-sim: ready serial=PATH udp=...").
    std::string serial_path() const {
        const std::string key = "wlinkcmd-sim: ready serial=";
        const Lines ready = ready_lines();
        if (ready.empty()) return "";
        return ready[0].substr(key.size(), ready[0].find(' ', key.size()) - key.size());
    }

    // The sim's wait status once it ended, or nullopt if it runs on after timeout_ms.
    std::optional<int> wait_exit(int timeout_ms) {
        int st = -1;
        if (!wait_until([&] { return pid <= 0 || ::waitpid(pid, &st, WNOHANG) == pid; }, timeout_ms)) return {};
        pid = -1;
        return st;
    }

    // SIGTERM, then SIGKILL after 5 s. The wait status; -1 when no sim was running.
    int stop() {
        if (pid <= 0) return -1;
        ::kill(pid, SIGTERM);
        if (std::optional<int> st = wait_exit(5000)) return *st;
        ::kill(own_group_ ? -pid : pid, SIGKILL);
        return wait_exit(5000).value_or(-1);
    }

    std::string log_path(const char *ext) const { return base_ + "/sim" + std::to_string(runs_) + ext; }
    std::string log() const { return read_file(log_path(".out")); }
    std::string errlog() const { return read_file(log_path(".err")); }

    std::string root;  // BASE/root
    uint16_t udp_port = 0, upgrade_port = 0;
    pid_t pid = -1;  // the running sim; -1 when none

private:
    Lines command_;
    std::string base_name_, base_;
    bool own_group_;
    int runs_ = 0;
};

}  // namespace wlink_sim
