// Both links at once with exact replies, stations and a survey, and two upgraders
// that overlap on purpose; tools/stress runs it against a ThreadSanitizer build.
// Only one upgrade may write at a time: each round, the flash must hold exactly the
// package of the last upgrade that reported success, and the record must name it.
#include <atomic>
#include <map>
#include <memory>
#include <mutex>
#include <set>
#include <thread>

#include "proof.h"

namespace e2e {
namespace {

// Exit statuses of wlinkctl upgrade (0 accepted, 3 wrong token, 5 connection lost, 7 cannot
// connect, 8 busy) a correct module can give two upgraders started together: its listener
// takes one connection, which succeeds or lost its token to the other command, whose own
// connection then finds no listener or is dropped; or one runs, and the other is refused.
bool allowed(int a, int b) {
    static const std::set<std::pair<int, int>> ok = {{0, 0} /* in turn */, {0, 5}, {0, 7}, {0, 8}, {3, 5}, {3, 7}};
    return ok.count({std::min(a, b), std::max(a, b)}) == 1;
}

TEST_F(Proof, BothLinksAndOverlappingUpgrades) {
    const int seconds = getenv("STRESS_SECONDS") ? atoi(getenv("STRESS_SECONDS")) : 30;
    const std::string factory = profile(), factory_dhcp = dhcp_conf();
    const std::string pkgs[2] = {package(1, 1, 'a'), package(1, 2, 'c')};
    ASSERT_EQ(serial("AT+UIP=127.0.0.1") + serial("AT+SSID=a") + serial("AT+CHANNEL=11") + serial("AT+HTMODE=HT20"),
              "+OK+OK+OK+OK");
    std::ofstream(path("/sim/stations")) << "AA:BB:CC:00:00:01 -45 -50 -60 HT40 150 100 200 25\n";
    std::ofstream(path("/sim/flash-delay-ms")) << "5000";
    const std::string key = udp("AT+KEY");
    const std::map<std::string, Lines> expect = {
        {"AT+SSID=a", {"+OK"}},
        {"AT+SSID", {"+OK=a"}},
        {"AT+CHANNEL=11", {"+OK"}},
        {"AT+CHANNEL", {"+OK=11"}},
        {"AT+HTMODE=HT20", {"+OK"}},
        {"AT+HTMODE", {"+OK=HT20"}},
        {"AT+KEY", {key}},
        {"AT+CNUM", {"+OK=1"}},
        {"AT+DHCP=10 5 1h", {"+OK"}},
        {"AT+ENCFG", {"+OK"}},
        {"AT+", {"+OK"}},
        // between the erase and the write-back the block holds no record
        {"AT+VER", {"+OK=V0.0", "+OK=V1.1", "+OK=V1.2"}},
    };
    std::atomic<bool> stop{false};
    std::atomic<int> sent{0};
    std::mutex mu;
    std::vector<std::string> wrong;
    auto link = [&](bool over_udp) {
        for (auto it = expect.begin(); !stop; ++sent) {
            if (++it == expect.end()) it = expect.begin();
            const std::string r = over_udp ? udp(it->first) : serial(it->first);
            if (std::find(it->second.begin(), it->second.end(), r) == it->second.end()) {
                std::lock_guard<std::mutex> g(mu);
                wrong.push_back(it->first + " -> " + r);
            }
        }
    };
    std::thread s(link, false), u(link, true);
    // A failed check returns from here: the links stop first.
    const auto join = [&](std::atomic<bool> *flag) { *flag = true, s.join(), u.join(); };
    std::unique_ptr<std::atomic<bool>, decltype(join)> joined(&stop, join);
    // Rounds of two upgraders started together.
    std::map<int, int> outcomes;
    int rounds = 0;
    auto flash = [&] {
        return read_file(path("/dev/mtd2")) + read_file(path("/dev/mtd5")) + read_file(path("/dev/mtd6"));
    };
    std::string kept = flash();
    for (const auto end = std::chrono::steady_clock::now() + std::chrono::seconds(seconds);
         std::chrono::steady_clock::now() < end; ++rounds) {
        int rc[2];
        std::thread a([&] { rc[0] = upgrade(pkgs[0]); }), b([&] { rc[1] = upgrade(pkgs[1]); });
        a.join();
        b.join();
        for (int r : rc) outcomes[r]++;
        const std::string mtd2 = read_file(path("/dev/mtd2"));
        const int won = mtd2[0xFE03] == 1 ? 0 : 1;  // the minor version names the package
        SCOPED_TRACE("round " + std::to_string(rounds) + ": " + std::to_string(rc[0]) + "/" + std::to_string(rc[1]));
        ASSERT_TRUE(allowed(rc[0], rc[1]));
        if (rc[0] != 0 && rc[1] != 0) {
            ASSERT_TRUE(flash() == kept) << "flash changed, but no upgrade succeeded";
            continue;
        }
        kept = flash();
        ASSERT_EQ(rc[won], 0) << "the record names a package that did not succeed";
        const std::string pkg = read_file(pkgs[won]);
        ASSERT_EQ(mtd2.substr(0xFE00, 20), pkg.substr(0, 20));
        ASSERT_EQ(read_file(path("/dev/mtd5")).substr(0, 4160), pkg.substr(20, 4160));
        ASSERT_EQ(read_file(path("/dev/mtd6")).substr(0, 4096), pkg.substr(20 + 4160, 4096));
    }
    joined.reset();
    std::printf(
        "%d commands, %d rounds of two upgrades: %d accepted, %d refused busy, %d lost their token, %d their "
        "connection, %d found no listener\n",
        sent.load(), rounds, outcomes[0], outcomes[8], outcomes[3], outcomes[5], outcomes[7]);
    EXPECT_EQ(wrong, Lines{});
    EXPECT_GT(outcomes[0], 0);
    EXPECT_EQ(errlog().find("ThreadSanitizer"), std::string::npos) << errlog();
    EXPECT_EQ(check_files(profile(), factory, dhcp_conf(), factory_dhcp), "");
}

}  // namespace
}  // namespace e2e
