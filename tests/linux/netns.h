// Network namespaces for the tests on real Linux parts: shell lines, and code run
// inside a namespace.
#pragma once

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sched.h>
#include <unistd.h>

#include <cstdio>
#include <functional>
#include <string>
#include <thread>

// Runs a shell line; its exit status and what it printed (standard error too).
inline std::pair<int, std::string> sh(const std::string &line) {
    std::string out;
    FILE *p = popen((line + " 2>&1").c_str(), "re");
    if (p == nullptr) return {-1, ""};
    char buf[512];
    for (size_t n; (n = fread(buf, 1, sizeof buf, p)) > 0;) out.append(buf, n);
    return {pclose(p), out};
}

// A thread that runs fn inside the namespace, so that its sockets and interface
// requests belong there.
inline std::thread netns_thread(const std::string &ns, std::function<void()> fn) {
    return std::thread([ns, fn] {
        const int fd = open(("/run/netns/" + ns).c_str(), O_RDONLY | O_CLOEXEC);
        const bool in = fd >= 0 && setns(fd, CLONE_NEWNET) == 0;
        if (fd >= 0) close(fd);
        EXPECT_TRUE(in) << "cannot enter " << ns;
        if (in) fn();
    });
}

inline void in_netns(const std::string &ns, const std::function<void()> &fn) { netns_thread(ns, fn).join(); }
