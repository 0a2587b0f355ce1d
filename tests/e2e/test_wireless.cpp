// Stations, surveys, WPS, password and SSH end to end: the simulated driver is fed
// through the files under DIR/sim while the module runs.
#include <fstream>

#include "sim_module.h"

namespace e2e {
namespace {

// WPS gives up after two minutes of the module's time: run its clock faster.
class Wireless : public SimModule {
    int time_scale() const override { return 10; }

protected:
    void put(const std::string &p, const std::string &text) { std::ofstream(path(p), std::ios::binary) << text; }
};

TEST_F(Wireless, StationsCountersAndSurvey) {
    ASSERT_EQ(serial("AT+UIP=127.0.0.1"), "+OK");
    const std::string a = "AA:BB:CC:00:00:01 -45 -50 -60 HT40 150 100 200 25\n";
    const std::string b = "02:bb:cc:00:00:02 -70 -71 -72 HT20 65 50 3 1\n";
    // {stations file, "AT+STAONLINECHECK" reply}: joins, a station associating anew, a leave
    const std::pair<std::string, std::string> checks[] = {
        {"# none yet\n", "+OK=0"},
        {a + b, "+OK=1"},
        {a + b, "+OK=0"},
        {a + "02:bb:cc:00:00:02 -70 -71 -72 HT20 65 7 3 1\n", "+OK=1"},
        {a, "+OK=1"},
        {a + b, "+OK=1"}};
    for (const auto &c : checks) {
        put("/sim/stations", c.first);
        EXPECT_EQ(udp("AT+STAONLINECHECK"), c.second) << c.first;
    }
    EXPECT_EQ(serial("AT+CNUM"), "+OK=2");
    EXPECT_EQ(udp("AT+CINFO=x 0"), "+OK=aa:bb:cc:00:00:01,1,150,1,-45,-50\n");
    EXPECT_EQ(udp("AT+CMC=02:bb:cc"), "+OK=1");
    EXPECT_EQ(udp("AT+RETRYINFO=x 0"), "+OK=AA:BB:CC:00:00:01,12.5%\n") << "the address as the driver wrote it";

    std::string lease(24, '\0');
    lease.replace(0, 6, "\x02\xbb\xcc\x00\x00\x02", 6).replace(16, 4, "\x0a\x00\x00\x07", 4);
    ::mkdir(path("/tmp").c_str(), 0755);
    put("/tmp/udhcpd.leases", std::string(24, '\x11') + lease);
    EXPECT_EQ(serial("AT+CIP=02:bb:cc:00:00:02"), "+OK=10.0.0.7");
    EXPECT_EQ(serial("AT+CIP=aa:bb:cc:00:00:01"), "+OK=");

    put("/sim/wscinfo", "WscStatus=0x1\nTX PER=3%\nRX PER=4%\n");
    EXPECT_EQ(udp("AT+PER"), "+OK=TX_PER=3% RX_PER=4%\n");
    put("/sim/hwaddr", "02:0a:0b:0c:0d:0e\n");
    EXPECT_EQ(udp("AT+MAC"), "+OK=02:0A:0B:0C:0D:0E\n");
    const size_t mark = event_mark();
    EXPECT_EQ(udp("AT+RESET"), "+OK");
    EXPECT_EQ(udp("AT+APSTART"), "+OK");
    EXPECT_EQ(events_since(mark), (Lines{"iwpriv set ResetCounter=1", "iwpriv ap_start start"}));

    std::string survey = "ra0 get_site_survey:\nCh SSID BSSID Security Signal\n6 weak 00:00:00:00:00:01 WPA2 70\n";
    for (int i = 0; i < 34; i++) survey += "1 net" + std::to_string(i) + " 00:01:" + std::to_string(i) + " WPA2 90\n";
    put("/sim/survey", survey + "3 QEL_NVR_WIFI_T1_TESTx 0:1 OPEN 99\n3 QEL_NVR_WIFI_T1_TEST 0:2 OPEN 77 11b/g/n\n");
    EXPECT_EQ(serial("AT+SCAN"), "+OK");
    EXPECT_EQ(read_file(path("/wifi_scan.txt")), read_file(path("/sim/survey")));
    EXPECT_EQ(udp("AT+CWIFISINALNUM"), "+OK=32");
    EXPECT_EQ(udp("AT+CWIFISINGALSINGLEINFO=31"), "+OK=1,00:01:31,net31,90");
    EXPECT_EQ(udp("AT+SENSITIVITY="), "+OK=77");
}

TEST_F(Wireless, WpsRunPasswordAndSsh) {
    ASSERT_EQ(serial("AT+UIP=127.0.0.1"), "+OK");
    put("/sim/wscinfo", "WscStatus=0x3\n");
    EXPECT_EQ(serial("AT+WPS"), "+OK");
    EXPECT_EQ(udp("AT+WPS="), "+OK=Active");
    // 121 s of the module's time is about 12 s here.
    EXPECT_TRUE(wait_until([&] { return udp("AT+WPS=") == "+OK=Timed-out"; }, 20000));

    auto then_ssh = [&](const std::string &reply) { return reply + " " + state("ssh"); };
    EXPECT_EQ(then_ssh(udp("AT+SSH=0")), "+OK stopped");
    EXPECT_EQ(then_ssh(serial("AT+SSH")), "+OK running");
    EXPECT_EQ(udp("AT+IGMP=1"), "+OK");
    EXPECT_NE(profile().find("\nIgmpSnEnable=1\n"), std::string::npos);

    const std::string pw = "it's $(reboot) `id`;x|y&z #1";
    EXPECT_EQ(serial("AT+PASSWD=" + pw), "+OK");
    EXPECT_EQ(state("root-password"), pw);
}

}  // namespace
}  // namespace e2e
