// Settings end to end: set commands write the files, AT+ENCFG applies them to
// the simulated module, refusals leave everything as it was.
#include <filesystem>

#include "sim_module.h"

namespace e2e {
namespace {

using Lines = std::vector<std::string>;

class Settings : public SimModule {};

TEST_F(Settings, FreshRootHoldsTheFactoryFiles) {
  EXPECT_EQ(profile(), factory_template("mt7628.dat"));
  EXPECT_EQ(factory_profile(), factory_template("mt7628.dat"));
  EXPECT_EQ(dhcp_conf(), factory_template("udhcpd.conf"));
  auto st = state();
  EXPECT_EQ(st["ra0"], "up");
  EXPECT_EQ(st["dhcp"], "running");
  EXPECT_EQ(st["radio_ssid"], value_of(factory_template("mt7628.dat"), "SSID1").value_or("?"));
}

TEST_F(Settings, SsidTravelsFromSerialToTheRadio) {
  const std::string before = profile();
  const size_t mark = event_mark();

  EXPECT_EQ(serial("AT+SSID=Home"), "+OK");
  const std::string after = profile();
  EXPECT_EQ(after, replace_line(before, "SSID1=", "SSID1=Home"));
  EXPECT_NE(after.find("\nSSID1=Home\n"), std::string::npos);
  EXPECT_FALSE(std::filesystem::exists(path("/config/mt7628_tmp.dat")));
  EXPECT_EQ(events_since(mark), Lines{}) << "a set command only records";
  EXPECT_EQ(state()["radio_ssid"], factory_value("SSID1")) << "the radio runs the old name until applied";
  EXPECT_EQ(serial("AT+SSID"), "+OK=Home");
  EXPECT_TRUE(log_has("======wifi_msg_proc_set_ssid_rsp======cmd AT+SSID=Home,sucess!"));

  const size_t before_apply = event_mark();
  EXPECT_EQ(serial("AT+ENCFG"), "+OK");
  EXPECT_EQ(events_since(before_apply), (Lines{"ifflags ra0 down", "ifflags ra0 up"}));
  auto st = state();
  EXPECT_EQ(st["radio_ssid"], "Home");
  EXPECT_EQ(st["ra0"], "up");
  EXPECT_EQ(profile(), after) << "applying does not write the profile";

  // Nothing pending any more.
  const size_t again = event_mark();
  EXPECT_EQ(serial("AT+ENCFG"), "+OK");
  EXPECT_EQ(events_since(again), Lines{});
}

TEST_F(Settings, RadioSwitchOffStopsTheRadioAtApply) {
  EXPECT_EQ(serial("AT+WIFI=OFF"), "+OK");
  EXPECT_EQ(serial("AT+WIFI"), "+OK=OFF");
  const size_t mark = event_mark();
  EXPECT_EQ(serial("AT+ENCFG"), "+OK");
  EXPECT_EQ(events_since(mark), Lines{"ifflags ra0 down"});
  EXPECT_EQ(state()["ra0"], "down");

  EXPECT_EQ(serial("AT+WIFI=ON"), "+OK");
  const size_t on = event_mark();
  EXPECT_EQ(serial("AT+ENCFG"), "+OK");
  EXPECT_EQ(events_since(on), (Lines{"ifflags ra0 down", "ifflags ra0 up"}));
  EXPECT_EQ(state()["ra0"], "up");
}

TEST_F(Settings, ChannelReachesTheRadioAndTheCurrentChannelQuery) {
  EXPECT_EQ(serial("AT+CHANNEL=11"), "+OK");
  EXPECT_EQ(value_of(profile(), "Channel").value_or("?"), "11");
  EXPECT_EQ(value_of(profile(), "AutoChannelSelect").value_or("?"), "4");
  EXPECT_EQ(serial("AT+CHANNEL!="), "+OK=" + factory_value("Channel")) << "the radio still runs the old channel";
  EXPECT_EQ(serial("AT+ENCFG"), "+OK");
  EXPECT_EQ(state()["radio_channel"], "11");
  EXPECT_EQ(serial("AT+CHANNEL!="), "+OK=11");
  EXPECT_EQ(serial("AT+CHANNEL"), "+OK=11");
}

TEST_F(Settings, HostWordsAndProfileWords) {
  std::string expect = profile();
  auto set = [&](const std::string& key, const std::string& value) {
    expect = replace_line(expect, key + "=", key + "=" + value);
  };

  EXPECT_EQ(serial("AT+AUTH=OPEN"), "+OK");
  set("AuthMode", "OPEN");
  set("EncrypType", "NONE");
  EXPECT_EQ(profile(), expect);
  EXPECT_EQ(serial("AT+ENCRY"), "+OK=NONE");

  EXPECT_EQ(serial("AT+AUTH=WPAPSK_WPA2PSK"), "+OK");
  set("AuthMode", "WPAPSKWPA2PSK");
  set("EncrypType", "AES");
  EXPECT_EQ(profile(), expect);
  EXPECT_EQ(serial("AT+AUTH"), "+OK=WPAPSK_WPA2PSK");

  EXPECT_EQ(serial("AT+ENCRY=TKIP/AES"), "+OK");
  set("EncrypType", "TKIPAES");
  EXPECT_EQ(serial("AT+ENCRY"), "+OK=TKIP/AES");
  EXPECT_EQ(serial("AT+AUTH=WPA2PSK"), "+OK");  // leaves a real encryption alone
  set("AuthMode", "WPA2PSK");
  EXPECT_EQ(profile(), expect);

  EXPECT_EQ(serial("AT+HTMODE=HT20"), "+OK");
  set("HT_BW_TMP", "HT20");
  set("HT_BW", "0");
  EXPECT_EQ(serial("AT+HTMODE"), "+OK=HT20");
  EXPECT_EQ(serial("AT+CHANNEL=auto"), "+OK");
  set("AutoChannelSelect", "2");
  set("Channel", "0");
  EXPECT_EQ(serial("AT+CHANNEL"), "+OK=0");
  EXPECT_EQ(serial("AT+KEY=s3cret pass"), "+OK");
  set("WPAPSK1", "s3cret pass");
  EXPECT_EQ(serial("AT+KEY"), "+OK=s3cret pass");
  EXPECT_EQ(serial("AT+COUNTRY=US"), "+OK");
  set("CountryCode", "US");
  EXPECT_EQ(serial("AT+TXPOWER=50"), "+OK");
  set("TxPower", "50");
  EXPECT_EQ(serial("AT+STANUM=8"), "+OK");
  set("MaxStaNum", "8");
  EXPECT_EQ(serial("AT+COUNTRY"), "+OK=US");
  EXPECT_EQ(serial("AT+TXPOWER"), "+OK=50");
  EXPECT_EQ(serial("AT+STANUM"), "+OK=8");
  // A stored apostrophe ends the value as read; an empty name is allowed.
  EXPECT_EQ(serial("AT+SSID=ab'cd"), "+OK");
  EXPECT_EQ(serial("AT+SSID"), "+OK=ab");
  EXPECT_EQ(serial("AT+SSID="), "+OK");
  set("SSID1", "");
  EXPECT_EQ(serial("AT+SSID"), "+OK=");
  ASSERT_FALSE(expect.empty());
  EXPECT_EQ(profile(), expect);

  // Automatic channel selection settles on channel 6 in the simulated driver.
  EXPECT_EQ(serial("AT+ENCFG"), "+OK");
  EXPECT_EQ(state()["radio_channel"], "6");
  EXPECT_EQ(state()["radio_ssid"], "");
}

TEST_F(Settings, MissingProfileAnswersErr) {
  ASSERT_TRUE(std::filesystem::remove(path("/config/mt7628.dat")));
  EXPECT_EQ(serial("AT+SSID"), "+ERR");
  EXPECT_EQ(serial("AT+SSID=x"), "+ERR");
  EXPECT_EQ(serial("AT+LANIP=10.0.0.1"), "+ERR");
  EXPECT_FALSE(std::filesystem::exists(path("/config/mt7628.dat"))) << "a failed write creates no profile";
  EXPECT_FALSE(std::filesystem::exists(path("/config/mt7628_tmp.dat")));
  const size_t mark = event_mark();
  EXPECT_EQ(serial("AT+ENCFG"), "+OK") << "nothing was marked pending";
  EXPECT_EQ(events_since(mark), Lines{});
}

TEST_F(Settings, ApplyKeepsWhatIsPendingWhenItCannotReadTheSwitch) {
  EXPECT_EQ(serial("AT+SSID=Later"), "+OK");
  const std::string with_ssid = profile();
  // Another hand takes the WifiSwitch line out of the profile.
  std::string without;
  for (const std::string& l : split_lines(with_ssid))
    if (l.compare(0, 11, "WifiSwitch=") != 0) without += l + "\n";
  ASSERT_NE(without, with_ssid);
  ASSERT_TRUE(write_file(path("/config/mt7628.dat"), without));

  size_t mark = event_mark();
  EXPECT_EQ(serial("AT+ENCFG"), "+ERR");
  EXPECT_EQ(events_since(mark), Lines{});
  EXPECT_EQ(serial("AT+WIFI"), "+ERR");
  EXPECT_EQ(serial("AT+WIFI=ON"), "+OK") << "a key that is absent is not an error";
  EXPECT_EQ(profile(), without);

  ASSERT_TRUE(write_file(path("/config/mt7628.dat"), with_ssid));
  mark = event_mark();
  EXPECT_EQ(serial("AT+ENCFG"), "+OK");
  EXPECT_EQ(events_since(mark), (Lines{"ifflags ra0 down", "ifflags ra0 up"}));
  EXPECT_EQ(state()["radio_ssid"], "Later");
}

TEST_F(Settings, PeerAddressIsKeptToThirtyOneCharacters) {
  const std::string long_text = "1234567890123456789012345678901234567890";
  EXPECT_EQ(serial("AT+UIP=" + long_text), "+OK");
  EXPECT_EQ(serial("AT+UIP"), "+OK=" + long_text.substr(0, 31));
  // Setting the peer also marks the radio for a restart.
  const size_t mark = event_mark();
  EXPECT_EQ(serial("AT+ENCFG"), "+OK");
  EXPECT_EQ(events_since(mark), (Lines{"ifflags ra0 down", "ifflags ra0 up"}));
}

TEST_F(Settings, LanAddressAndDhcpPoolThroughApply) {
  const std::string profile_before = profile();
  const std::string dhcp_before = dhcp_conf();

  EXPECT_EQ(serial("AT+LANIP=192.168.5.1"), "+OK");
  EXPECT_EQ(profile(), replace_line(profile_before, "LanIpaddr=", "LanIpaddr=192.168.5.1"));
  EXPECT_EQ(serial("AT+LANIP"), "+OK=192.168.5.1") << "answered before any apply";
  EXPECT_EQ(serial("AT+DHCP=100 50 24h"), "+OK");

  std::string expect = dhcp_before;
  expect = replace_line(expect, "start\t", "start\t\t192.168.5.100");
  expect = replace_line(expect, "end\t", "end\t\t192.168.5.150");
  expect = replace_line(expect, "opt\trouter\t", "opt\trouter\t192.168.5.1");
  expect = replace_line(expect, "option\tlease\t", "option\tlease\t86400");
  ASSERT_FALSE(expect.empty()) << "factory DHCP configuration lacks one of the four lines";
  const std::string dhcp_after = dhcp_conf();
  EXPECT_EQ(dhcp_after, expect);
  EXPECT_NE(dhcp_after.find("\nlease_file\t/tmp/udhcpd.leases\n"), std::string::npos);
  EXPECT_NE(dhcp_after.find("\nmax_leases\t101\n"), std::string::npos);
  EXPECT_FALSE(std::filesystem::exists(path("/etc/udhcpd_tmp.conf")));

  const size_t mark = event_mark();
  EXPECT_EQ(serial("AT+ENCFG"), "+OK");
  EXPECT_EQ(events_since(mark), (Lines{"ifaddr br0 192.168.5.1 -", "ifaddr br0 - 255.255.255.0",
                                       "shell /etc/init.d/dhcp stop", "shell /etc/init.d/dhcp start"}));
  auto st = state();
  EXPECT_EQ(st["br0"], "192.168.5.1/255.255.255.0");
  EXPECT_EQ(st["dhcp"], "running");
  EXPECT_EQ(st["ra0"], "up");

  // Another pool and lease on the same LAN.
  EXPECT_EQ(serial("AT+DHCP=10 20 2"), "+OK");
  std::string expect2 = replace_line(expect, "start\t", "start\t\t192.168.5.10");
  expect2 = replace_line(expect2, "end\t", "end\t\t192.168.5.30");
  expect2 = replace_line(expect2, "option\tlease\t", "option\tlease\t7200");
  EXPECT_EQ(dhcp_conf(), expect2);
}

TEST_F(Settings, DhcpOffStopsAtOnceAndApplyDoesNotStartIt) {
  size_t mark = event_mark();
  EXPECT_EQ(serial("AT+DHCP=OFF"), "+OK");
  EXPECT_EQ(events_since(mark), Lines{"shell /etc/init.d/dhcp stop"});
  EXPECT_EQ(state()["dhcp"], "stopped");
  mark = event_mark();
  EXPECT_EQ(serial("AT+ENCFG"), "+OK");
  EXPECT_EQ(events_since(mark), Lines{});
  EXPECT_EQ(state()["dhcp"], "stopped");

  // A pending pool change is dropped by AT+DHCP=OFF as well.
  EXPECT_EQ(serial("AT+DHCP=100 50 24h"), "+OK");
  mark = event_mark();
  EXPECT_EQ(serial("AT+DHCP=OFF"), "+OK");
  EXPECT_EQ(serial("AT+ENCFG"), "+OK");
  EXPECT_EQ(events_since(mark), Lines{"shell /etc/init.d/dhcp stop"});
  EXPECT_EQ(state()["dhcp"], "stopped");
}

TEST_F(Settings, RefusedValuesChangeNothing) {
  const std::string profile_before = profile();
  const std::string dhcp_before = dhcp_conf();
  const size_t mark = event_mark();

  EXPECT_EQ(serial("AT+LANIP=300.1.1.1"), "+ERR");
  EXPECT_EQ(serial("AT+LANIP=abc"), "+ERR");
  EXPECT_EQ(serial("AT+LANIP=192.168.1"), "+ERR");
  EXPECT_EQ(serial("AT+DHCP=250 10 24h"), "+ERR");
  EXPECT_EQ(serial("AT+DHCP=100 50"), "+ERR");
  EXPECT_TRUE(log_has("=======sscanf param error!!=========="));
  EXPECT_EQ(serial("AT+VLAN=1;reboot"), "+ERR");
  EXPECT_EQ(serial("AT+VLAN=$(reboot)"), "+ERR");
  EXPECT_EQ(serial("AT+VLAN=OFF1"), "+ERR");
  EXPECT_EQ(serial("AT+SSID=a\rb"), "+ERR");
  EXPECT_EQ(serial("AT+SSID=a\nb"), "+ERR");
  EXPECT_EQ(serial("AT+KEY=x\ny=z"), "+ERR");

  EXPECT_EQ(profile(), profile_before);
  EXPECT_EQ(dhcp_conf(), dhcp_before);
  EXPECT_EQ(events_since(mark), Lines{});
  EXPECT_EQ(serial("AT+LANIP"), "+OK=" + factory_value("LanIpaddr"));
  EXPECT_EQ(serial("AT+SSID"), "+OK=" + factory_value("SSID1"));

  // Nothing was marked pending either.
  EXPECT_EQ(serial("AT+ENCFG"), "+OK");
  EXPECT_EQ(events_since(mark), Lines{});
}

TEST_F(Settings, VlanCommandsRunTheVlanScript) {
  size_t mark = event_mark();
  EXPECT_EQ(serial("AT+VLAN=1 2"), "+OK");
  EXPECT_EQ(events_since(mark), Lines{"shell /etc/init.d/vlan set 1 2"});
  EXPECT_EQ(state()["vlan"], "1 2");
  EXPECT_EQ(serial("AT+VLAN"), "+OK=waiting");

  mark = event_mark();
  EXPECT_EQ(serial("AT+VLAN=OFF"), "+OK");
  EXPECT_EQ(events_since(mark), Lines{"shell /etc/init.d/vlan clear"});
  EXPECT_EQ(state()["vlan"], "none");
}

TEST_F(Settings, PortStatesFollowTheSwitchRegister) {
  size_t mark = event_mark();
  EXPECT_EQ(serial("AT+PORT"), "+OK=1,1,0,0");
  EXPECT_EQ(events_since(mark), Lines{"shell switch reg read 80 2>&1"});

  const struct {
    const char* reg;
    const char* reply;
  } cases[] = {
      {"switch reg 0x80 value=02\n", "+OK=1,0,0,0"},
      {"switch reg 0x80 value=04\n", "+OK=0,1,0,0"},
      {"switch reg 0x80 value=06\n", "+OK=1,1,0,0"},
      {"switch reg 0x80 value=00\n", "+OK=0,0,0,0"},
      {"switch reg 0x80 value=0e\n", "+OK=0,0,0,0"},  // a hex letter
      {"switch reg 0x80 value=6\n", "+OK=0,0,0,0"},   // the port digit is the second one
      {"switch reg 0x80 value=", "+OK=0,0,0,0"},      // nothing after the '='
  };
  for (const auto& c : cases) {
    ASSERT_TRUE(write_file(path("/sim/switch-reg80"), c.reg));
    EXPECT_EQ(serial("AT+PORT"), c.reply) << "register output: " << c.reg;
  }
  ASSERT_TRUE(write_file(path("/sim/switch-reg80"), "switch: no such register\n"));
  EXPECT_EQ(serial("AT+PORT"), "+ERR");
}

TEST_F(Settings, RestoreBringsBackTheFactoryProfile) {
  const std::string factory = factory_profile();
  const std::string factory_ssid = value_of(factory, "SSID1").value_or("?");
  EXPECT_EQ(serial("AT+SSID=Changed"), "+OK");
  EXPECT_EQ(serial("AT+CHANNEL=11"), "+OK");
  ASSERT_NE(profile(), factory);

  size_t mark = event_mark();
  EXPECT_EQ(serial("AT+RESTORE"), "+OK");
  EXPECT_EQ(events_since(mark), Lines{"shell cp /etc/wireless/mt7628/mt7628.dat /config/"});
  EXPECT_EQ(profile(), factory);
  EXPECT_EQ(factory_profile(), factory_template("mt7628.dat")) << "the factory copy itself is untouched";
  EXPECT_EQ(serial("AT+SSID"), "+OK=" + factory_ssid);
  EXPECT_EQ(state()["radio_ssid"], factory_ssid) << "nothing applied yet";

  // The earlier set commands left the radio pending: apply restarts it on the factory profile.
  mark = event_mark();
  EXPECT_EQ(serial("AT+ENCFG"), "+OK");
  EXPECT_EQ(events_since(mark), (Lines{"ifflags ra0 down", "ifflags ra0 up"}));
  EXPECT_EQ(state()["radio_ssid"], factory_ssid);
  EXPECT_EQ(state()["radio_channel"], value_of(factory, "Channel").value_or("?"));
}

TEST_F(Settings, RestoreAfterAppliedChangeThenApply) {
  const std::string factory_ssid = value_of(factory_profile(), "SSID1").value_or("?");
  EXPECT_EQ(serial("AT+SSID=Applied"), "+OK");
  EXPECT_EQ(serial("AT+ENCFG"), "+OK");
  ASSERT_EQ(state()["radio_ssid"], "Applied");

  EXPECT_EQ(serial("AT+RESTORE"), "+OK");
  // Restore alone marks nothing pending: apply leaves the radio alone.
  size_t mark = event_mark();
  EXPECT_EQ(serial("AT+ENCFG"), "+OK");
  EXPECT_EQ(events_since(mark), Lines{});
  EXPECT_EQ(state()["radio_ssid"], "Applied");

  // Any set command marks the radio; then it comes up with the factory name.
  EXPECT_EQ(serial("AT+STANUM=32"), "+OK");
  mark = event_mark();
  EXPECT_EQ(serial("AT+ENCFG"), "+OK");
  EXPECT_EQ(events_since(mark), (Lines{"ifflags ra0 down", "ifflags ra0 up"}));
  EXPECT_EQ(state()["radio_ssid"], factory_ssid);
}

}  // namespace
}  // namespace e2e
