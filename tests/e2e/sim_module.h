// End-to-end support: the simulated module (wlinkcmd-sim) run on a fresh root
// folder, reached only through its serial line, its UDP link and its files.
#pragma once

#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <termios.h>

#include "sim_launch.h"
#include "unique_fd.h"
#include "wlink_host.h"

namespace e2e {

using Bytes = std::vector<uint8_t>;
using wlink_sim::free_port;
using wlink_sim::Lines;
using wlink_sim::read_file;
using wlink_sim::split_lines;
using wlink_sim::wait_until;

// The text with its one line beginning with `prefix` replaced; "" unless exactly one matches.
inline std::string replace_line(const std::string &text, const std::string &prefix, const std::string &line) {
    std::string out;
    int hits = 0;
    for (const std::string &l : split_lines(text)) {
        const bool hit = l.rfind(prefix, 0) == 0;
        hits += hit;
        out += (hit ? line : l) + "\n";
    }
    return hits == 1 ? out : "";
}

inline std::string hex(const Bytes &b) {
    std::string s;
    char t[5];
    for (uint8_t c : b) snprintf(t, sizeof t, s.empty() ? "%02X" : " %02X", c), s += t;
    return s;
}

inline Bytes unhex(const std::string &s) {
    Bytes b;
    std::istringstream in(s);
    for (unsigned v; in >> std::hex >> v;) b.push_back(static_cast<uint8_t>(v));
    return b;
}

// A socket on 127.0.0.1 with a port of the system's choice.
inline UniqueFd loopback_socket(int type, uint16_t *port) {
    UniqueFd fd(wlink_sim::bind_loopback(type, port));
    if (!fd.valid()) ADD_FAILURE() << "no loopback socket";
    return fd;
}

// Raw end of a link, for tests where the exact bytes are the point: the
// serial line (to == 0) or a UDP socket sending to port `to`.
struct Wire {
    UniqueFd fd;
    uint16_t to = 0, port = 0;

    static Wire serial(const std::string &tty) {
        Wire w{UniqueFd(::open(tty.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC))};
        termios t{};
        EXPECT_EQ(::tcgetattr(w.fd.get(), &t), 0) << tty;
        ::cfmakeraw(&t);
        ::tcsetattr(w.fd.get(), TCSANOW, &t);
        return w;
    }
    static Wire udp(uint16_t to) {
        Wire w;
        w.fd = loopback_socket(SOCK_DGRAM, &w.port);
        w.to = to;
        return w;
    }
    void send(const std::string &hex_bytes) {
        const Bytes b = unhex(hex_bytes);
        sockaddr_in a{AF_INET, htons(to), {htonl(INADDR_LOOPBACK)}, {}};
        const ssize_t n = to ? ::sendto(fd.get(), b.data(), b.size(), 0, reinterpret_cast<sockaddr *>(&a), sizeof a)
                             : ::write(fd.get(), b.data(), b.size());
        EXPECT_EQ(n, static_cast<ssize_t>(b.size()));
    }
    // Serial: up to n bytes within timeout_ms. UDP: one datagram, or nothing.
    std::string recv(size_t n, int timeout_ms) {
        Bytes got;
        const auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeout_ms);
        while (got.size() < n) {
            const auto left =
                std::chrono::duration_cast<std::chrono::milliseconds>(end - std::chrono::steady_clock::now());
            pollfd p{fd.get(), POLLIN, 0};
            if (left.count() <= 0 || ::poll(&p, 1, static_cast<int>(left.count())) <= 0) break;
            uint8_t buf[512];
            const ssize_t r = ::read(fd.get(), buf, to ? sizeof buf : std::min(sizeof buf, n - got.size()));
            if (r > 0) got.insert(got.end(), buf, buf + r);
            if (r > 0 && to) break;
        }
        return hex(got);
    }
};

// The fixture: a temp folder holding the module root and the sim's logs, a
// running sim on it with free ports, and the host clients on both links.
class SimModule : public ::testing::Test {
protected:
    virtual int time_scale() const { return 1; }
    virtual bool autostart() const { return true; }

    void SetUp() override {
        std::string err;
        ASSERT_TRUE(sim_.make_base(&err)) << err;
        if (autostart()) {
            ASSERT_TRUE(start());
        }
    }

    void TearDown() override {
        serial_.close();
        udp_.close();
        if (pid_ > 0) {
            EXPECT_EQ(stop(), 0) << "wait status after SIGTERM";
        }
        if (HasFailure())
            std::cerr << "---- stderr\n"
                      << errlog() << "---- log\n"
                      << log() << "---- events\n"
                      << read_file(path("/sim/events")) << "---- state\n"
                      << read_file(path("/sim/state"));
    }

    // Starts the sim with these arguments; stdout and stderr go to files beside root_.
    void spawn(std::vector<std::string> args) {
        std::string err;
        ASSERT_TRUE(sim_.spawn(std::move(args), &err)) << err;
    }
    // The sim's wait status once it ended, or nullopt if it runs on after timeout_ms.
    std::optional<int> wait_exit(int timeout_ms) { return sim_.wait_exit(timeout_ms); }
    int stop() { return sim_.stop(); }

    // Sim on root_ with fresh ports, ready, with both clients open.
    bool start() {
        std::string err;
        if (!sim_.start(time_scale(), &err)) {
            ADD_FAILURE() << err;
            return false;
        }
        serial_.set_pace_ms(wlink::kDefaultPaceMs / time_scale());
        EXPECT_TRUE(serial_.open(path("/sim/tty"), &err) && udp_.open("127.0.0.1", udp_port_, &err)) << err;
        return err.empty();
    }

    Lines ready_lines() const { return sim_.ready_lines(); }
    bool wait_ready(size_t n) { return sim_.wait_ready(n); }

    // One command over a link; no reply fails the test.
    // The serial command is sent once more after a time-out, as a host does: a loaded
    // machine may pause the frames of a long command past the module's 100 ms.
    std::string serial(const std::string &cmd) {
        std::string err;
        std::optional<std::string> r = serial_.command(cmd, 3000, &err);
        if (!r && pid_ > 0) r = serial_.command(cmd, 3000, &err);
        EXPECT_TRUE(r) << "serial \"" << cmd << "\": " << err;
        return r.value_or("<no reply>");
    }
    // AT+UIP=127.0.0.1 over the serial line, sent again when it got no reply: at high
    // time scales a loaded machine can space two frames past the module's wait, and the
    // module drops the partial command unanswered (the host's retry is the remedy).
    void allow_udp() {
        std::string err;
        for (int i = 0; i < 3; ++i)
            if (serial_.command("AT+UIP=127.0.0.1", 3000, &err) == std::optional<std::string>("+OK")) return;
        ADD_FAILURE() << "AT+UIP=127.0.0.1: " << err;
    }
    std::string udp(const std::string &cmd) {
        std::string err;
        std::optional<std::string> r = udp_.command(cmd, 1500, 1, &err);
        EXPECT_TRUE(r) << "udp \"" << cmd << "\": " << err;
        return r.value_or("<no reply>");
    }

    std::string log() const { return sim_.log(); }
    std::string errlog() const { return sim_.errlog(); }
    bool log_has(const std::string &text) const {
        return wait_until([&] { return log().find(text) != std::string::npos; }, 2000);
    }
    std::string path(const std::string &p) const { return root_ + p; }
    std::string profile() const { return read_file(path("/config/mt7628.dat")); }
    std::string dhcp_conf() const { return read_file(path("/etc/udhcpd.conf")); }
    size_t event_mark() const { return read_file(path("/sim/events")).size(); }
    Lines events_since(size_t mark) const { return split_lines(read_file(path("/sim/events")).substr(mark)); }
    std::string state(const std::string &key) const {
        for (const std::string &l : split_lines(read_file(path("/sim/state"))))
            if (l.rfind(key + "=", 0) == 0) return l.substr(key.size() + 1);
        return "<none>";
    }

    wlink_sim::SimProcess sim_{wlink_sim::command_from_env(WLINK_SIM_PATH), "wlinke2e"};
    std::string &root_ = sim_.root;
    uint16_t &udp_port_ = sim_.udp_port, &upgrade_port_ = sim_.upgrade_port;
    const pid_t &pid_ = sim_.pid;
    wlink::SerialClient serial_;
    wlink::UdpClient udp_;
};

}  // namespace e2e
