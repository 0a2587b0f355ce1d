// Settings end to end: set commands write the module's files, AT+ENCFG applies
// them to the simulated module. Refusals are in the unit tests and the sweep.
#include <sys/stat.h>

#include "sim_module.h"

namespace e2e {
namespace {

class Settings : public SimModule {};

TEST_F(Settings, SsidIsWrittenAtOnceAndReachesTheRadioOnApply) {
    const std::string before = profile(), factory_ssid = state("radio_ssid");
    EXPECT_EQ(before, read_file(path("/etc/wireless/mt7628/mt7628.dat")));
    size_t mark = event_mark();
    EXPECT_EQ(serial("AT+SSID=Home"), "+OK");
    EXPECT_EQ(profile(), replace_line(before, "SSID1=", "SSID1=Home"));
    EXPECT_EQ(events_since(mark), Lines{});
    EXPECT_EQ(state("radio_ssid"), factory_ssid);

    EXPECT_EQ(serial("AT+ENCFG"), "+OK");
    EXPECT_EQ(events_since(mark), (Lines{"ifflags ra0 down", "ifflags ra0 up"}));
    EXPECT_EQ(state("radio_ssid"), "Home");
    mark = event_mark();
    EXPECT_EQ(serial("AT+ENCFG"), "+OK");
    EXPECT_EQ(events_since(mark), Lines{}) << "nothing is pending any more";
}

TEST_F(Settings, LanAddressAndDhcpPoolThroughApplyThenDhcpOff) {
    const std::string profile_before = profile(), dhcp_before = dhcp_conf();
    size_t mark = event_mark();
    EXPECT_EQ(serial("AT+LANIP=192.168.5.1"), "+OK");
    EXPECT_EQ(serial("AT+DHCP=100 50 24h"), "+OK");
    EXPECT_EQ(profile(), replace_line(profile_before, "LanIpaddr=", "LanIpaddr=192.168.5.1"));
    std::string dhcp = dhcp_before;
    for (const char *line :
         {"start\t\t192.168.5.100", "end\t\t192.168.5.150", "opt\trouter\t192.168.5.1", "option\tlease\t86400"})
        dhcp = replace_line(dhcp, std::string(line).substr(0, std::string(line).rfind('\t') + 1), line);
    EXPECT_EQ(dhcp_conf(), dhcp);
    EXPECT_EQ(events_since(mark), Lines{});

    EXPECT_EQ(serial("AT+ENCFG"), "+OK");
    EXPECT_EQ(events_since(mark),
              (Lines{"ifaddr br0 192.168.5.1 -", "ifaddr br0 - 255.255.255.0", "op dhcp-stop", "op dhcp-start"}));
    EXPECT_EQ(state("br0"), "192.168.5.1/255.255.255.0");
    EXPECT_EQ(state("dhcp"), "running");

    EXPECT_EQ(serial("AT+DHCP=OFF"), "+OK");
    EXPECT_EQ(serial("AT+ENCFG"), "+OK");
    EXPECT_EQ(state("dhcp"), "stopped") << "stopped, and apply does not start it again";
}

TEST_F(Settings, RestoreBringsBackTheFactoryProfileAndApplyRunsIt) {
    const std::string factory = read_file(path("/etc/wireless/mt7628/mt7628.dat")), factory_ssid = state("radio_ssid");
    EXPECT_EQ(serial("AT+SSID=Applied"), "+OK");
    EXPECT_EQ(serial("AT+ENCFG"), "+OK");
    ASSERT_EQ(state("radio_ssid"), "Applied");

    ASSERT_EQ(chmod(path("/config/mt7628.dat").c_str(), 0600), 0);
    size_t mark = event_mark();
    EXPECT_EQ(serial("AT+RESTORE"), "+OK");
    EXPECT_EQ(events_since(mark), Lines{}) << "the daemon copies the file itself, no cp";
    EXPECT_EQ(profile(), factory);
    struct stat st {};
    ASSERT_EQ(stat(path("/config/mt7628.dat").c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 07777, 0600u) << "the profile keeps its mode";
    EXPECT_EQ(serial("AT+CHANNEL=11"), "+OK");
    mark = event_mark();
    EXPECT_EQ(serial("AT+ENCFG"), "+OK");
    EXPECT_EQ(events_since(mark), (Lines{"ifflags ra0 down", "ifflags ra0 up"}));
    EXPECT_EQ(state("radio_ssid"), factory_ssid);
    EXPECT_EQ(state("radio_channel"), "11");
}

}  // namespace
}  // namespace e2e
