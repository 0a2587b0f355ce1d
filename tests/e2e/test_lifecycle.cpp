// The module's life: reboot, descriptors its children would inherit, and a sim that cannot bind its port.
#include <dirent.h>

#include "sim_module.h"

namespace e2e {
namespace {

// A reboot takes about a second of the module's time; run its clock faster.
class Reboot : public SimModule {
    int time_scale() const override { return 5; }
};
class Descriptors : public SimModule {};
class SimCommandLine : public SimModule {
    bool autostart() const override { return false; }
};

TEST_F(Reboot, ForgetsThePeerKeepsTheProfileAndComesBackReady) {
    const std::string ready = "wlinkcmd-sim: ready serial=" + path("/sim/tty") +
                              " udp=127.0.0.1:" + std::to_string(udp_port_) +
                              " upgrade=127.0.0.1:" + std::to_string(upgrade_port_);
    EXPECT_EQ(ready_lines(), Lines{ready});
    ASSERT_EQ(serial("AT+UIP=127.0.0.1"), "+OK");
    EXPECT_EQ(udp("AT+"), "+OK");
    EXPECT_EQ(serial("AT+SSID=Kept"), "+OK");
    const std::string kept = profile();

    const size_t mark = event_mark();
    EXPECT_EQ(serial("AT+REBOOT"), "+OK");
    EXPECT_EQ(events_since(mark), Lines{"op reboot"});
    ASSERT_TRUE(wait_ready(2)) << "no second ready line";
    EXPECT_EQ(ready_lines(), (Lines{ready, ready}));

    Wire s = Wire::udp(udp_port_);
    s.send("55 44 33 22 73 65 71 07 2C 03 41 54 2B C0");
    EXPECT_EQ(s.recv(1, 500), "") << "the peer is forgotten";
    EXPECT_EQ(serial("AT+UIP"), "+OK=");
    EXPECT_EQ(profile(), kept);
    EXPECT_EQ(state("radio_ssid"), "Kept") << "the radio came up with the profile";
}

// The daemon fails at once here, so the supervisor stops its other children
// right after starting them; a few runs make sure that always ends too.
TEST_F(SimCommandLine, TakenUdpPortEndsTheSimWithFailure) {
    uint16_t port = 0;
    const UniqueFd taken = loopback_socket(SOCK_DGRAM, &port);
    for (int run = 1; run <= 3; ++run) {
        spawn({"--root", root_, "--udp-port", std::to_string(port), "--upgrade-port",
               std::to_string(free_port(SOCK_STREAM))});
        const std::optional<int> st = wait_exit(5000);
        ASSERT_TRUE(st) << "run " << run << " kept running on a taken port";
        EXPECT_TRUE(WIFEXITED(*st) && WEXITSTATUS(*st) != 0) << "wait status " << *st;
        EXPECT_NE(errlog().find("===wifi_udp_comm_task error in binding phrase"), std::string::npos) << errlog();
        ASSERT_EQ(ready_lines(), Lines{});
    }
}

// A second sim on a root in use ends with status 1 and leaves the first one's log and serial line.
TEST_F(Descriptors, SecondSimOnTheSameRootIsRefused) {
    const std::string tty = std::filesystem::read_symlink(path("/sim/tty")), log_before = log();
    wlink_sim::SimProcess second(wlink_sim::command_from_env(WLINK_SIM_PATH), "wlinke2e2");
    std::string err;
    ASSERT_TRUE(
        second.spawn({"--root", root_, "--log", sim_.log_path(".out"), "--udp-port", std::to_string(udp_port_)}, &err))
        << err;
    EXPECT_EQ(second.wait_exit(5000), std::optional<int>(1 << 8)) << "exit status 1";
    EXPECT_EQ(second.errlog(),
              "wlinkcmd-sim: " + root_ + ": in use by another wlinkcmd-sim (pid " + std::to_string(pid_) + ")\n");
    EXPECT_EQ(log().substr(0, log_before.size()), log_before);
    EXPECT_EQ(std::filesystem::read_symlink(path("/sim/tty")).string(), tty);
}

// Ctrl-C signals the whole group (supervisor, relay, daemon): status 0 and no process left, every time.
TEST(SimStop, GroupSignalEndsWithStatusZeroEveryTime) {
    wlink_sim::SimProcess sim(wlink_sim::command_from_env(WLINK_SIM_PATH), "wlinke2e", true);
    for (int run = 1; run <= 14; ++run) {
        std::string err;
        ASSERT_TRUE(sim.start(1, &err)) << "run " << run << ": " << err;  // the root is free again
        const pid_t group = sim.pid;
        std::this_thread::sleep_for(std::chrono::milliseconds(7 * run));
        ASSERT_EQ(::kill(-group, run <= 10 ? SIGINT : SIGTERM), 0);
        ASSERT_EQ(sim.wait_exit(5000), std::optional<int>(0)) << "run " << run << "\n" << sim.errlog();
        EXPECT_TRUE(wait_until([&] { return ::kill(-group, 0) != 0; }, 2000)) << "run " << run << " left a process";
    }
}

// Every descriptor of the module's processes past standard input, output and error is
// close-on-exec: a server the daemon starts holds neither the serial line nor a port.
TEST_F(Descriptors, NoneIsHandedToChildren) {
    if (getenv("WLINK_SIM")) GTEST_SKIP() << "an emulator's own descriptors show in /proc";
    const std::string children =
        read_file("/proc/" + std::to_string(pid_) + "/task/" + std::to_string(pid_) + "/children");
    int seen = 0;
    std::istringstream pids(children);
    for (std::string pid; pids >> pid;) {
        const std::string dir = "/proc/" + pid + "/fdinfo";
        DIR *d = opendir(dir.c_str());
        ASSERT_NE(d, nullptr) << dir;
        for (dirent *e; (e = readdir(d)) != nullptr;) {
            if (e->d_name[0] == '.' || atoi(e->d_name) <= 2) continue;
            std::istringstream info(read_file(dir + "/" + e->d_name));
            std::string key;
            unsigned flags = 0;
            while (info >> key && key != "flags:") {}
            info >> std::oct >> flags;
            EXPECT_NE(flags & 02000000, 0u) << "process " << pid << " descriptor " << e->d_name;
            ++seen;
        }
        closedir(d);
    }
    EXPECT_GE(seen, 3) << "the serial port, the UDP socket and the relay's terminals";
}

}  // namespace
}  // namespace e2e
