// Benchmark helpers: a watchdog that ends a stuck benchmark and the simulator
// it runs, latency figures, and the command-line options.
#pragma once

#include <sched.h>

#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "sim_launch.h"

#ifndef WLINK_SIM_PATH
#define WLINK_SIM_PATH "wlinkcmd-sim"
#endif
#ifndef WLINK_BUILD_TYPE
#define WLINK_BUILD_TYPE "unknown"
#endif

namespace bench {

using Clock = std::chrono::steady_clock;

inline double ms_since(Clock::time_point t0) {
    return std::chrono::duration<double, std::milli>(Clock::now() - t0).count();
}

inline std::string build_description() {
    std::string s = WLINK_BUILD_TYPE[0] ? WLINK_BUILD_TYPE : "(none)";
#ifdef NDEBUG
    s += ", NDEBUG";
#endif
#ifdef WLINK_BENCH_SANITIZE
    s += ", sanitizers ON (figures not representative)";
#endif
    return s;
}

// The simulator at sim_path on a throw-away root, in a process group of its own,
// which the watchdog and a forced stop end as a whole.
inline wlink_sim::SimProcess sim_process(const std::string &sim_path) {
    return wlink_sim::SimProcess({sim_path}, "wlink-bench", true);
}

// The exit status in a wait status; -1 when the process did not exit by itself.
// Keeps this process, its threads and the simulator it starts on one CPU: on a virtual
// machine a wake-up of a thread on another CPU costs tens of microseconds, more than
// the round trip being measured. Returns the CPU, or -1 when the mask is not changed.
inline int pin_to_one_cpu() {
    cpu_set_t set;
    if (::sched_getaffinity(0, sizeof set, &set) != 0) return -1;
    for (int cpu = 0; cpu < CPU_SETSIZE; ++cpu) {
        if (!CPU_ISSET(cpu, &set)) continue;
        CPU_ZERO(&set);
        CPU_SET(cpu, &set);
        return ::sched_setaffinity(0, sizeof set, &set) == 0 ? cpu : -1;
    }
    return -1;
}

inline int exit_status(int wait_status) { return WIFEXITED(wait_status) ? WEXITSTATUS(wait_status) : -1; }

namespace detail {
inline const wlink_sim::SimProcess *volatile g_watched = nullptr;
inline void on_alarm(int) {
    static const char msg[] = "bench: time limit reached, stopping\n";
    ssize_t w = ::write(2, msg, sizeof msg - 1);
    (void)w;
    if (g_watched && g_watched->pid > 0) ::kill(-g_watched->pid, SIGTERM);
    ::_exit(2);
}
}  // namespace detail

// Ends the process, and the simulator `sim` runs when it has one, after `seconds`.
inline void arm_watchdog(unsigned seconds, const wlink_sim::SimProcess *sim) {
    detail::g_watched = sim;
    ::signal(SIGALRM, detail::on_alarm);
    ::alarm(seconds);
}

// Latency figures over a set of samples (milliseconds).
struct Figures {
    double median = 0, p99 = 0, min = 0, max = 0;
    size_t n = 0;
};

inline Figures figures(std::vector<double> v) {
    Figures f;
    f.n = v.size();
    if (v.empty()) return f;
    std::sort(v.begin(), v.end());
    auto rank = [&](double q) {  // nearest rank
        size_t i = static_cast<size_t>(q * static_cast<double>(v.size()) + 0.999999);
        return v[std::min(v.size(), std::max<size_t>(i, 1)) - 1];
    };
    f.median = v.size() % 2 ? v[v.size() / 2] : (v[v.size() / 2 - 1] + v[v.size() / 2]) / 2;
    f.p99 = rank(0.99);
    f.min = v.front();
    f.max = v.back();
    return f;
}

// Value of "--name V" in argv, or def.
inline std::string arg(int argc, char **argv, const char *name, const std::string &def) {
    for (int i = 1; i + 1 < argc; ++i)
        if (std::strcmp(argv[i], name) == 0) return argv[i + 1];
    return def;
}

// True, after printing "usage: PROG OPTIONS", when argv asks for help (-h or --help).
inline bool help_asked(int argc, char **argv, const char *options) {
    for (int i = 1; i < argc; ++i)
        if (!std::strcmp(argv[i], "-h") || !std::strcmp(argv[i], "--help")) {
            std::printf("usage: %s %s\n", argv[0], options);
            return true;
        }
    return false;
}

}  // namespace bench
