// The serial and UDP clients against fake modules.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <unistd.h>

#include <optional>
#include <string>
#include <vector>

#include "fake_module.h"
#include "wlink_host.h"

using wlinktest::Bytes;
using wlinktest::FakeSerialModule;
using wlinktest::FakeUdpModule;
using wlinktest::frame_bytes;
using wlinktest::udp_reply;

namespace {

std::vector<Bytes> one(Bytes b) { return {std::move(b)}; }

}  // namespace

// ---------------------------------------------------------------------------
// UdpClient

TEST(UdpClient, HeartbeatExactBytes) {
  FakeUdpModule m([](const std::string& cmd, uint8_t seq, int) {
    return one(udp_reply(seq, cmd == "AT+" ? "+OK" : "+ERR"));
  });
  wlink::UdpClient c;
  std::string err;
  ASSERT_TRUE(c.open("127.0.0.1", m.port(), &err)) << err;
  c.set_next_seq(7);
  const auto reply = c.command("AT+", 1000, 0, &err);
  ASSERT_TRUE(reply) << err;
  EXPECT_EQ(*reply, "+OK");
  EXPECT_EQ(c.last_seq(), 7);
  const auto raw = m.raw();
  ASSERT_EQ(raw.size(), 1u);
  EXPECT_EQ(raw[0], Bytes({0x55, 0x44, 0x33, 0x22, 0x73, 0x65, 0x71, 0x07, 0x2C, 0x03, 0x41, 0x54,
                           0x2B, 0xC0}));
}

TEST(UdpClient, IgnoresWrongSeqMagicAndChecksum) {
  FakeUdpModule m([](const std::string&, uint8_t seq, int) {
    Bytes bad_magic = udp_reply(seq, "+ERR");
    bad_magic[0] = 0x55;
    Bytes bad_sum = udp_reply(seq, "+ERR");
    bad_sum.back() ^= 0xFF;
    Bytes short_one = udp_reply(seq, "+ERR");
    short_one.pop_back();
    return std::vector<Bytes>{udp_reply(static_cast<uint8_t>(seq + 1), "+ERR"), bad_magic,
                              bad_sum, short_one, udp_reply(seq, "+OK=Home")};
  });
  wlink::UdpClient c;
  std::string err;
  ASSERT_TRUE(c.open("localhost", m.port(), &err)) << err;
  const auto reply = c.command("AT+SSID", 1000, 0, &err);
  ASSERT_TRUE(reply) << err;
  EXPECT_EQ(*reply, "+OK=Home");
  EXPECT_EQ(m.commands(), std::vector<std::string>{"AT+SSID"});
}

TEST(UdpClient, RetriesWhenFirstDatagramIsDropped) {
  FakeUdpModule m([](const std::string&, uint8_t seq, int n) {
    return n == 0 ? std::vector<Bytes>{} : one(udp_reply(seq, "+OK"));
  });
  wlink::UdpClient c;
  std::string err;
  ASSERT_TRUE(c.open("127.0.0.1", m.port(), &err)) << err;
  const auto reply = c.command("AT+ENCFG", 200, 2, &err);
  ASSERT_TRUE(reply) << err;
  EXPECT_EQ(*reply, "+OK");
  EXPECT_EQ(m.commands(), (std::vector<std::string>{"AT+ENCFG", "AT+ENCFG"}));
  const auto seqs = m.seqs();
  ASSERT_EQ(seqs.size(), 2u);
  EXPECT_EQ(seqs[0], seqs[1]);  // a re-send is the same datagram
  EXPECT_EQ(seqs[0], c.last_seq());
}

TEST(UdpClient, SilenceTimesOut) {
  FakeUdpModule m([](const std::string&, uint8_t, int) { return std::vector<Bytes>{}; });
  wlink::UdpClient c;
  std::string err;
  ASSERT_TRUE(c.open("127.0.0.1", m.port(), &err)) << err;
  const auto reply = c.command("AT+VER", 100, 1, &err);
  EXPECT_FALSE(reply);
  EXPECT_FALSE(err.empty());
  EXPECT_EQ(m.commands().size(), 2u);
}

TEST(UdpClient, SequenceAdvancesAndWraps) {
  FakeUdpModule m([](const std::string&, uint8_t seq, int) { return one(udp_reply(seq, "+OK")); });
  wlink::UdpClient c;
  std::string err;
  ASSERT_TRUE(c.open("127.0.0.1", m.port(), &err)) << err;
  c.set_next_seq(255);
  ASSERT_TRUE(c.command("AT+", 1000, 0, &err)) << err;
  EXPECT_EQ(c.last_seq(), 255);
  ASSERT_TRUE(c.command("AT+", 1000, 0, &err)) << err;
  EXPECT_EQ(c.last_seq(), 0);
  EXPECT_EQ(m.seqs(), (std::vector<uint8_t>{255, 0}));
}

TEST(UdpClient, LateReplyToEarlierCommandIsIgnored) {
  // The first command's reply comes only with the second command.
  FakeUdpModule m([last = std::optional<uint8_t>()](const std::string& cmd, uint8_t seq,
                                                    int n) mutable {
    std::vector<Bytes> out;
    if (n == 0) {
      last = seq;
      return out;
    }
    out.push_back(udp_reply(*last, "+OK=stale"));
    out.push_back(udp_reply(seq, "+OK=" + cmd));
    return out;
  });
  wlink::UdpClient c;
  std::string err;
  ASSERT_TRUE(c.open("127.0.0.1", m.port(), &err)) << err;
  EXPECT_FALSE(c.command("AT+SSID", 100, 0, &err));
  const auto reply = c.command("AT+KEY", 1000, 0, &err);
  ASSERT_TRUE(reply) << err;
  EXPECT_EQ(*reply, "+OK=AT+KEY");
}

TEST(UdpClient, RefusesOversizeCommandAndSendsNothing) {
  FakeUdpModule m([](const std::string&, uint8_t seq, int) { return one(udp_reply(seq, "+OK")); });
  wlink::UdpClient c;
  std::string err;
  ASSERT_TRUE(c.open("127.0.0.1", m.port(), &err)) << err;
  const uint8_t before = c.last_seq();
  EXPECT_FALSE(c.command("AT+SSID=" + std::string(120, 'x'), 100, 0, &err));
  EXPECT_FALSE(err.empty());
  EXPECT_EQ(c.last_seq(), before);
  // An empty command is representable; the module answers it.
  const auto reply = c.command("", 1000, 0, &err);
  ASSERT_TRUE(reply) << err;
  EXPECT_EQ(m.raw().size(), 1u);
  EXPECT_EQ(m.raw()[0].size(), 11u);
}

TEST(UdpClient, OpenErrors) {
  wlink::UdpClient c;
  std::string err;
  EXPECT_FALSE(c.open("127.0.0.1", 0, &err));
  EXPECT_FALSE(err.empty());
  EXPECT_FALSE(c.command("AT+", 100, 0, &err));
  EXPECT_FALSE(c.is_open());
}

// ---------------------------------------------------------------------------
// SerialClient

TEST(SerialClient, HeartbeatExactBytes) {
  FakeSerialModule m([](const std::string& cmd) {
    return std::vector<std::string>{frame_bytes(cmd == "AT+" ? "+OK" : "+ERR")};
  });
  ASSERT_TRUE(m.ok());
  wlink::SerialClient c;
  std::string err;
  ASSERT_TRUE(c.open(m.slave_path(), &err)) << err;
  const auto reply = c.command("AT+", 2000, &err);
  ASSERT_TRUE(reply) << err;
  EXPECT_EQ(*reply, "+OK");
  const std::string want("\x03\x03\x00\x41\x54\x2B\0\0\0\0\0\0\0\0\0\xC6", 16);
  EXPECT_EQ(m.raw(), want);
}

TEST(SerialClient, MultiFrameCommandAndReply) {
  const std::string reply_text = "+OK=0123456789abcdefghijklmnop";
  FakeSerialModule m([&](const std::string&) {
    return std::vector<std::string>{frame_bytes(reply_text)};  // all frames in one write
  });
  ASSERT_TRUE(m.ok());
  wlink::SerialClient c;
  std::string err;
  ASSERT_TRUE(c.open(m.slave_path(), &err)) << err;
  const std::string cmd = "AT+SSID=a network name of 30b";
  ASSERT_EQ(cmd.size(), 29u);
  const auto reply = c.command(cmd, 2000, &err);
  ASSERT_TRUE(reply) << err;
  EXPECT_EQ(*reply, reply_text);
  EXPECT_EQ(m.raw(), frame_bytes(cmd));
  EXPECT_EQ(m.commands(), std::vector<std::string>{cmd});
}

TEST(SerialClient, ReplySplitAcrossWrites) {
  FakeSerialModule m([](const std::string&) {
    const std::string f = frame_bytes("+OK=6");
    return std::vector<std::string>{f.substr(0, 7), f.substr(7)};
  });
  ASSERT_TRUE(m.ok());
  wlink::SerialClient c;
  std::string err;
  ASSERT_TRUE(c.open(m.slave_path(), &err)) << err;
  const auto reply = c.command("AT+CHANNEL", 2000, &err);
  ASSERT_TRUE(reply) << err;
  EXPECT_EQ(*reply, "+OK=6");
}

TEST(SerialClient, FramesSplitAtOddPlacesWithNoise) {
  const std::string text = "+OK=aa:bb:cc:dd:ee:ff,192.168.1.100\r\n";
  FakeSerialModule m([&](const std::string&) {
    const std::string all = std::string("\x07\x01\xff\x00\x13", 5) + frame_bytes(text);
    return std::vector<std::string>{all.substr(0, 3), all.substr(3, 20), all.substr(23)};
  });
  ASSERT_TRUE(m.ok());
  wlink::SerialClient c;
  c.set_pace_ms(0);
  std::string err;
  ASSERT_TRUE(c.open(m.slave_path(), &err)) << err;
  const auto reply = c.command("AT+CINFO=0", 2000, &err);
  ASSERT_TRUE(reply) << err;
  EXPECT_EQ(*reply, text);
}

TEST(SerialClient, SilenceTimesOut) {
  FakeSerialModule m([](const std::string&) { return std::vector<std::string>{}; });
  ASSERT_TRUE(m.ok());
  wlink::SerialClient c;
  std::string err;
  ASSERT_TRUE(c.open(m.slave_path(), &err)) << err;
  EXPECT_FALSE(c.command("AT+VER", 150, &err));
  EXPECT_FALSE(err.empty());
}

TEST(SerialClient, RefusesBadCommandsAndSendsNothing) {
  FakeSerialModule m([](const std::string&) { return std::vector<std::string>{}; });
  ASSERT_TRUE(m.ok());
  wlink::SerialClient c;
  std::string err;
  EXPECT_FALSE(c.command("AT+", 100, &err));  // not open yet
  ASSERT_TRUE(c.open(m.slave_path(), &err)) << err;
  EXPECT_FALSE(c.command("", 100, &err));
  EXPECT_FALSE(c.command(std::string(128, 'A'), 100, &err));
  EXPECT_FALSE(err.empty());
  c.close();
  EXPECT_EQ(m.raw(), "");
}

TEST(SerialClient, OpenErrors) {
  wlink::SerialClient c;
  std::string err;
  EXPECT_FALSE(c.open("/nonexistent/tty", &err));
  EXPECT_NE(err.find("/nonexistent/tty"), std::string::npos);
  EXPECT_FALSE(c.open("/dev/null", &err));  // not a terminal
  EXPECT_FALSE(c.is_open());
}

TEST(UniqueFd, ClosesAndMoves) {
  int p[2];
  ASSERT_EQ(::pipe(p), 0);
  ::close(p[1]);
  {
    wlink::UniqueFd a(p[0]);
    wlink::UniqueFd b(std::move(a));
    EXPECT_FALSE(a.valid());
    EXPECT_EQ(b.get(), p[0]);
    wlink::UniqueFd c;
    c = std::move(b);
    EXPECT_EQ(c.get(), p[0]);
  }
  EXPECT_EQ(::fcntl(p[0], F_GETFD), -1);
}
