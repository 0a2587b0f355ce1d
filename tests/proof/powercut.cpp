// Every crash point and every failure point of each writing command, in turn: the
// sim is told to cut the power (crash-at) or to fail with EIO (fail-at) at the Nth
// call that changes the outside world, for N = 1, 2, ... until the command completes,
// and the power is cut once more after it completed. After each cut the module starts
// again, once on each state the cut can leave (what was not synced kept, lost or torn,
// as the sim's storage enumerates them); after each failure the reply must own up to
// it. Either way every file is the old or the new whole file, the kept area of the
// header partition is intact, the record is the old or the new one, AT+VER agrees, and
// a new record comes with both new parts; after a command answered, all of it is there
// and the start has nothing left to finish (the header partition is not written again).
// tools/powercut runs every command; the test suite a few (POWERCUT_SHORT).
#include <filesystem>
#include <sstream>

#include "proof.h"

namespace e2e {
namespace {

namespace fs = std::filesystem;

struct Case {
    Lines setup;      // commands made first, without a fault
    std::string cmd;  // "upgrade": a whole upgrade with the second package
    bool in_short;
};

const Case kCases[] = {
    {{}, "AT+SSID=cut", true},
    {{}, "AT+KEY=secret99", false},
    {{}, "AT+CHANNEL=11", false},
    {{}, "AT+CHANNEL=auto", false},
    {{}, "AT+AUTH=WPAPSK", false},
    {{}, "AT+ENCRY=AES", false},
    {{}, "AT+HTMODE=HT20", false},
    {{}, "AT+COUNTRY=US", false},
    {{}, "AT+TXPOWER=50", false},
    {{}, "AT+STANUM=10", false},
    {{}, "AT+WIFI=OFF", false},
    {{}, "AT+LANIP=10.0.0.1", false},
    {{}, "AT+DHCP=10 5 1h", true},
    {{}, "AT+DHCP=OFF", false},
    {{"AT+SSID=mine"}, "AT+RESTORE", true},
    {{"AT+SSID=new", "AT+DHCP=10 5 1h", "AT+LANIP=10.0.0.1"}, "AT+ENCFG", false},
    {{}, "upgrade", true},
};

struct Files {
    std::string profile, dhcp, mtd2, mtd5, mtd6, state;
};

class PowerCut : public Proof {
protected:
    bool autostart() const override { return false; }

    Files files() const {
        return {profile(),
                dhcp_conf(),
                read_file(path("/dev/mtd2")),
                read_file(path("/dev/mtd5")),
                read_file(path("/dev/mtd6")),
                read_file(path("/sim/state"))};
    }
    void copy_root(const std::string &from, const std::string &to) {
        fs::remove_all(to);
        fs::copy(from, to, fs::copy_options::recursive | fs::copy_options::copy_symlinks);
    }
    // A command over the serial line, tried again (as a host would) while the daemon
    // lives; "none" when no reply came.
    std::string command(const std::string &cmd) {
        std::string err;
        for (int i = 0; i < 3; ++i) {
            if (std::optional<std::string> r = serial_.command(cmd, 1000, &err)) return *r;
            if (wait_exit(0)) break;
        }
        return "none";
    }
    bool boot() { return start() && command("AT+UIP=127.0.0.1") == "+OK"; }

    // The case on the saved module, with a fault file (or none) written before its
    // command; the reply ("+OK", or wlinkctl's exit status), or "cut" when the daemon died.
    std::string run(const Case &c, const char *fault, int n, Files *before = nullptr) {
        copy_root(saved_, root_);
        if (!boot()) return "no start";
        for (const std::string &s : c.setup) EXPECT_EQ(command(s), "+OK") << s;
        if (before) *before = files();
        if (fault) std::ofstream(path(std::string("/sim/") + fault)) << n;
        const std::string reply = c.cmd == "upgrade" ? std::to_string(upgrade(pkg_)) : command(c.cmd);
        // No reply or a lost connection: the daemon was killed, and the sim ends with it.
        const bool lost = reply == "none" || reply == "5" || reply == "1";
        answered_ = reply == "+OK" || reply == "0";
        if (wait_exit(lost ? 5000 : 20)) {
            serial_.close();
            udp_.close();
            return "cut";
        }
        return reply;
    }

    // Why the module, started again, is not in a state the command may leave; "" when it is.
    std::string check(const Files &old, const Files &neu, bool done = false) {
        serial_.close();
        udp_.close();
        if (pid_ > 0) stop();
        const auto flashed = fs::last_write_time(path("/dev/mtd2"));
        if (!boot()) return "the module does not start again";
        const Files now = files();
        std::string why;
        if (done && (now.profile != neu.profile || now.dhcp != neu.dhcp || now.mtd2 != neu.mtd2 ||
                     now.mtd5 != neu.mtd5 || now.mtd6 != neu.mtd6))
            why += " answered, but not all of it is there;";
        if (done && fs::last_write_time(path("/dev/mtd2")) != flashed) why += " the start wrote the header again;";
        if (now.profile != old.profile && now.profile != neu.profile) why += " profile torn;";
        if (now.dhcp != old.dhcp && now.dhcp != neu.dhcp) why += " DHCP configuration torn;";
        if (now.mtd2.compare(0, 0xFE00, old.mtd2, 0, 0xFE00) != 0) why += " kept area of mtd2 lost;";
        const std::string rec = now.mtd2.substr(0xFE00, 20);
        if (rec != old.mtd2.substr(0xFE00, 20) && rec != neu.mtd2.substr(0xFE00, 20)) why += " record torn;";
        if (rec != old.mtd2.substr(0xFE00, 20) && (now.mtd5 != neu.mtd5 || now.mtd6 != neu.mtd6))
            why += " new record without both new parts;";
        if (rec == old.mtd2.substr(0xFE00, 20) && (now.mtd5 != old.mtd5 || now.mtd6 != old.mtd6) &&
            command("AT+UPGSTATE") != "+OK=interrupted")
            why += " parts the record does not name, and AT+UPGSTATE does not say so;";
        const std::string ver = "+OK=V" + std::to_string((uint8_t)rec[2]) + "." + std::to_string((uint8_t)rec[3]);
        if (command("AT+VER") != ver) why += " AT+VER is not " + ver;
        stop();
        return why;
    }

    // The power cut now: the module starts once on each state the cut can leave
    // (the first one tells how many there are). Their count.
    int cut_states(const Files &old, const Files &neu, bool done) {
        copy_root(root_, cut_);
        int count = 1;
        for (int s = 0; s < count; ++s) {
            if (s > 0) copy_root(cut_, root_);
            std::ofstream(path("/sim/power-cut")) << s;
            const std::string why = check(old, neu, done);
            std::istringstream states(read_file(path("/sim/power-states")));
            std::string what;
            states >> count;
            std::getline(states >> std::ws, what);
            EXPECT_EQ(why, "") << "state " << s << " of " << count << ", " << what;
        }
        return count;
    }

    void enumerate(const Case &c) {
        SCOPED_TRACE(c.cmd);
        Files old, neu;
        const std::string done = run(c, nullptr, 0, &old);
        ASSERT_TRUE(done == "+OK" || done == "0") << done;
        neu = files();
        int states = cut_states(old, neu, true);
        int points = 0;
        for (int n = 1;; ++n) {
            SCOPED_TRACE("crash at " + std::to_string(n));
            const std::string r = run(c, "crash-at", n);
            if (r != "cut") {
                EXPECT_EQ(r, done) << "the command completed";
                stop();
                break;
            }
            points = n;
            states += cut_states(old, neu, answered_);
            ASSERT_LT(n, 100) << "no end";
        }
        EXPECT_GT(points, 0) << "no cut landed: every command here writes";
        for (int n = 1; n <= points; ++n) {
            SCOPED_TRACE("fail at " + std::to_string(n));
            const std::string r = run(c, "fail-at", n);
            const Files now = files();
            const bool made = now.profile == neu.profile && now.dhcp == neu.dhcp && now.mtd2 == neu.mtd2 &&
                              (c.cmd != "AT+ENCFG" || now.state == neu.state);
            EXPECT_TRUE(r == "+ERR" || r == "4" || (made && r == done)) << r << " for a change not fully made";
            EXPECT_EQ(check(old, neu), "");
        }
        std::printf("%-20s %3d crash points, %4d states after a cut, %3d failure points\n", c.cmd.c_str(), points,
                    states, points);
    }

    std::string saved_, cut_, pkg_;
    bool answered_ = false;
};

TEST_F(PowerCut, EveryCrashAndFailurePointOfEveryWritingCommand) {
    const bool all = getenv("POWERCUT_SHORT") == nullptr;
    const char *only = getenv("POWERCUT_ONLY");  // a part of the commands to run
    saved_ = fs::path(root_).parent_path() / "saved";
    cut_ = fs::path(root_).parent_path() / "cut";
    fs::create_directories(root_);
    const std::string first = package(1, 1, 'a');
    pkg_ = package(1, 2, 'b');
    // The module as it is found: settings of its own (so that a file lost and made
    // again from the factory copy shows), an earlier upgrade installed.
    ASSERT_TRUE(boot());
    ASSERT_EQ(serial("AT+SSID=found") + serial("AT+DHCP=200 50 2h"), "+OK+OK");
    ASSERT_EQ(upgrade(first), 0);
    ASSERT_EQ(serial("AT+VER"), "+OK=V1.1");
    stop();
    copy_root(root_, saved_);
    for (const Case &c : kCases)
        if ((all || c.in_short) && (only == nullptr || c.cmd.find(only) != std::string::npos)) enumerate(c);
}

}  // namespace
}  // namespace e2e
