// Both links at once, thousands of mixed set and get commands, with stations, a survey
// and upgrades going on; tools/stress runs it against a ThreadSanitizer build.
#include <atomic>
#include <thread>

#include "proof.h"

namespace e2e {
namespace {

TEST_F(Proof, BothLinksAndUpgradesAtOnce) {
  const int seconds = getenv("STRESS_SECONDS") ? atoi(getenv("STRESS_SECONDS")) : 30;
  const std::string factory = profile(), factory_dhcp = dhcp_conf(), pkg = package();
  ASSERT_EQ(serial("AT+UIP=127.0.0.1"), "+OK");
  std::ofstream(path("/sim/stations")) << "AA:BB:CC:00:00:01 -45 -50 -60 HT40 150 100 200 25\n";
  std::ofstream(path("/sim/survey")) << "ra0 get_site_survey:\nCh SSID BSSID Security Signal\n6 a 0:1 WPA2 90\n";
  const Lines cmds = {"AT+SSID=a",        "AT+SSID",         "AT+CHANNEL=auto", "AT+CHANNEL=11", "AT+CHANNEL",
                      "AT+HTMODE=HT20",   "AT+HTMODE=HT40",  "AT+KEY",          "AT+CNUM",       "AT+CINFO=x 0",
                      "AT+DHCP=10 5 1h",  "AT+DHCP=200 50 2h", "AT+STAONLINECHECK", "AT+SCAN",   "AT+CWIFISINALNUM",
                      "AT+PER",           "AT+RETRYINFO=x 0", "AT+VER",          "AT+ENCFG",      "AT+MAC"};
  std::atomic<bool> stop{false};
  std::atomic<int> sent{0}, bad{0}, upgrades{0};
  auto link = [&](bool over_udp) {
    for (size_t i = over_udp; !stop; i += 3, ++sent) {
      const std::string r = over_udp ? udp(cmds[i % cmds.size()]) : serial(cmds[i % cmds.size()]);
      bad += !(r == "+ERR" || r.compare(0, 3, "+OK") == 0);
    }
  };
  std::thread s(link, false), u(link, true), up([&] {
    while (!stop) upgrades += upgrade(pkg) == 0;
  });
  std::this_thread::sleep_for(std::chrono::seconds(seconds));
  stop = true;
  for (std::thread* t : {&s, &u, &up}) t->join();
  std::printf("%d commands, %d upgrades in %d s\n", sent.load(), upgrades.load(), seconds);
  EXPECT_EQ(bad, 0);
  EXPECT_GT(upgrades, 0);
  EXPECT_EQ(errlog().find("ThreadSanitizer"), std::string::npos) << errlog();
  EXPECT_EQ(check_files(profile(), factory, dhcp_conf(), factory_dhcp), "");
}

}  // namespace
}  // namespace e2e
