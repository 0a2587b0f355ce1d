// The two command links end to end: serial frames and UDP datagrams, byte for byte.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>

#include <thread>

#include "sim_module.h"

namespace e2e {
namespace {

// "AT+" as one serial frame, and "+OK" as the module frames it.
const Bytes kHeartbeatFrame = {0x03, 0x03, 0x00, 0x41, 0x54, 0x2B, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0xC6};
const Bytes kOkFrame = {0x03, 0x03, 0x00, 0x2B, 0x4F, 0x4B, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0xCB};

// "AT+" with sequence byte 7 as a datagram, and the module's "+OK" reply to it.
const Bytes kHeartbeatDgram = {0x55, 0x44, 0x33, 0x22, 0x73, 0x65, 0x71, 0x07, 0x2C, 0x03, 0x41, 0x54, 0x2B, 0xC0};
const Bytes kOkDgram = {0x66, 0x77, 0x78, 0x79, 0x73, 0x65, 0x71, 0x07, 0x2C, 0x03, 0x2B, 0x4F, 0x4B, 0xC5};

const char kIpCheckFailEmpty[] = "===ip check fail,src ip:=============";

Bytes with_seq(Bytes d, uint8_t seq) {
  d[7] = seq;
  return d;
}

Bytes udp_command(uint8_t seq, const std::string& cmd) {
  std::vector<uint8_t> d;
  std::string err;
  EXPECT_TRUE(wlink::encode_udp_command(seq, cmd, &d, &err)) << err;
  return d;
}

uint8_t sum8(const Bytes& b, size_t from, size_t n) {
  unsigned s = 0;
  for (size_t i = from; i < from + n; ++i) s += b[i];
  return static_cast<uint8_t>(s);
}

class SerialLink : public SimModule {};
class UdpLink : public SimModule {};
class Links : public SimModule {};

TEST_F(SerialLink, HeartbeatFrameIsAnsweredWithOkFrame) {
  RawSerial line;
  std::string err;
  ASSERT_TRUE(line.open(path("/sim/tty"), &err)) << err;
  ASSERT_TRUE(line.write_bytes(kHeartbeatFrame));
  Bytes got = line.read_bytes(16, 3000);
  EXPECT_EQ(hex(got), hex(kOkFrame));
  // One frame and nothing after it.
  EXPECT_EQ(hex(line.read_bytes(1, 300)), "");
  EXPECT_TRUE(log_has("========uart read:AT+"));
}

TEST_F(SerialLink, ThirtyCharacterReplyComesInThreeFrames) {
  // "+OK=" and a 26-character name make a 30-character reply.
  const std::string ssid = "ABCDEFGHIJKLMNOPQRSTUVWXYZ";
  ASSERT_EQ(serial("AT+SSID=" + ssid), "+OK");
  serial_.close();

  RawSerial line;
  std::string err;
  ASSERT_TRUE(line.open(path("/sim/tty"), &err)) << err;
  std::vector<wlink::Frame> cmd = wlink::encode_frames("AT+SSID");
  ASSERT_EQ(cmd.size(), 1u);
  ASSERT_TRUE(line.write_bytes(Bytes(cmd[0].begin(), cmd[0].end())));

  std::vector<Clock::time_point> at;
  Bytes got = line.read_bytes(48, 3000, &at);
  ASSERT_EQ(got.size(), 48u) << hex(got);
  const std::string reply = "+OK=" + ssid;
  const uint8_t chunk[3] = {12, 12, 6}, offset[3] = {0, 12, 24};
  std::string text;
  for (size_t f = 0; f < 3; ++f) {
    Bytes fr(got.begin() + static_cast<long>(16 * f), got.begin() + static_cast<long>(16 * f + 16));
    SCOPED_TRACE("frame " + std::to_string(f) + ": " + hex(fr));
    EXPECT_EQ(fr[0], 30);
    EXPECT_EQ(fr[1], chunk[f]);
    EXPECT_EQ(fr[2], offset[f]);
    EXPECT_EQ(fr[15], sum8(fr, 0, 15));
    for (size_t i = 3 + chunk[f]; i < 15; ++i) EXPECT_EQ(fr[i], 0) << "padding byte " << i;
    text.append(fr.begin() + 3, fr.begin() + 3 + chunk[f]);
  }
  EXPECT_EQ(text, reply);
  // The frames are paced 15 ms apart: the last comes at least two pauses after the first.
  auto span = std::chrono::duration_cast<std::chrono::milliseconds>(at[47] - at[0]).count();
  EXPECT_GE(span, 20) << "frames not paced";
  EXPECT_EQ(hex(line.read_bytes(1, 200)), "");
}

TEST_F(SerialLink, CommandsOfTwelveAndTwentyFourBytes) {
  // 12 bytes fit one frame, 24 bytes two; both arrive whole.
  ASSERT_EQ(std::string("AT+SSID=abcd").size(), 12u);
  EXPECT_EQ(serial("AT+SSID=abcd"), "+OK");
  EXPECT_EQ(serial("AT+SSID"), "+OK=abcd");
  const std::string cmd24 = "AT+SSID=0123456789abcdef";
  ASSERT_EQ(cmd24.size(), 24u);
  EXPECT_EQ(serial(cmd24), "+OK");
  EXPECT_EQ(serial("AT+SSID"), "+OK=0123456789abcdef");
}

TEST_F(SerialLink, BadFrameBeforeGoodOneIsSkipped) {
  serial_.close();
  RawSerial line;
  std::string err;
  ASSERT_TRUE(line.open(path("/sim/tty"), &err)) << err;
  Bytes bad = kHeartbeatFrame;
  bad[15] = 0xC7;
  Bytes both = bad;
  both.insert(both.end(), kHeartbeatFrame.begin(), kHeartbeatFrame.end());
  ASSERT_TRUE(line.write_bytes(both));
  EXPECT_EQ(hex(line.read_bytes(16, 3000)), hex(kOkFrame));
  EXPECT_EQ(hex(line.read_bytes(1, 300)), "");
}

TEST_F(SerialLink, LostFirstFrameLeavesTextThatIsRefused) {
  serial_.close();
  RawSerial line;
  std::string err;
  ASSERT_TRUE(line.open(path("/sim/tty"), &err)) << err;
  // Only the second frame of "AT+SSID=abcdefgh" (16 bytes): the text starts with zero bytes.
  std::vector<wlink::Frame> frames = wlink::encode_frames("AT+SSID=abcdefgh");
  ASSERT_EQ(frames.size(), 2u);
  ASSERT_TRUE(line.write_bytes(Bytes(frames[1].begin(), frames[1].end())));
  const Bytes err_frame = {0x04, 0x04, 0x00, 0x2B, 0x45, 0x52, 0x52, 0, 0, 0, 0, 0, 0, 0, 0, 0x1C};
  EXPECT_EQ(hex(line.read_bytes(16, 3000)), hex(err_frame));
  EXPECT_EQ(hex(line.read_bytes(1, 200)), "");
  EXPECT_EQ(read_file(path("/config/mt7628.dat")).find("SSID1=abcdefgh"), std::string::npos);
}

TEST_F(SerialLink, FramesThatAreNotGoodGetNoReplyAndTheLinkGoesOn) {
  serial_.close();
  RawSerial line;
  std::string err;
  ASSERT_TRUE(line.open(path("/sim/tty"), &err)) << err;

  auto framed = [](Bytes f) {
    f.resize(16, 0);
    f[15] = sum8(f, 0, 15);
    return f;
  };
  Bytes bad_sum = kHeartbeatFrame;
  bad_sum[15] ^= 0xFF;
  const Bytes cases[] = {
      bad_sum,
      framed({0x00, 0x03, 0x00, 0x41, 0x54, 0x2B}),        // total length 0: no frame
      framed({200, 12, 0, 'A', 'T', '+', 'S', 'S', 'I', 'D', '=', 'x', 'x', 'x', 'x'}),  // total past the buffer
      framed({0x03, 13, 0x00, 0x41, 0x54, 0x2B}),          // chunk above 12
      framed({127, 12, 120, 'x', 'x', 'x', 'x', 'x', 'x', 'x', 'x', 'x', 'x', 'x', 'x'}),  // lands past the buffer
  };
  for (const Bytes& c : cases) {
    SCOPED_TRACE(hex(c));
    ASSERT_TRUE(line.write_bytes(c));
    // The receive gives up after its idle budget; nothing is answered.
    EXPECT_EQ(hex(line.read_bytes(1, 400)), "");
    ASSERT_TRUE(line.write_bytes(kHeartbeatFrame));
    EXPECT_EQ(hex(line.read_bytes(16, 3000)), hex(kOkFrame));
  }
}

TEST_F(UdpLink, RefusedUntilPeerIsSetOverSerialThenAnsweredFromAnyPort) {
  RawUdp a, b;
  std::string err;
  ASSERT_TRUE(a.open(&err)) << err;
  ASSERT_TRUE(b.open(&err)) << err;
  ASSERT_NE(a.local_port(), b.local_port());

  // No peer yet: refused, with the empty allowed address in the log.
  ASSERT_TRUE(a.send_to(sim_.udp_port, kHeartbeatDgram));
  EXPECT_TRUE(log_has(kIpCheckFailEmpty)) << "log lacks " << kIpCheckFailEmpty;
  std::optional<Bytes> none = a.receive(500);
  EXPECT_FALSE(none.has_value()) << hex(*none);

  EXPECT_EQ(serial("AT+UIP=127.0.0.1"), "+OK");

  ASSERT_TRUE(a.send_to(sim_.udp_port, kHeartbeatDgram));
  std::optional<Bytes> ra = a.receive(2000);
  ASSERT_TRUE(ra.has_value()) << "no reply to the first socket";
  EXPECT_EQ(hex(*ra), hex(kOkDgram));

  ASSERT_TRUE(b.send_to(sim_.udp_port, kHeartbeatDgram));
  std::optional<Bytes> rb = b.receive(2000);
  ASSERT_TRUE(rb.has_value()) << "no reply to the second socket";
  EXPECT_EQ(hex(*rb), hex(kOkDgram));

  // The reply went to the sender only.
  std::optional<Bytes> stray = a.receive(100);
  EXPECT_FALSE(stray.has_value()) << hex(*stray);

  EXPECT_EQ(udp("AT+UIP"), "+OK=127.0.0.1");
}

TEST_F(UdpLink, BadDatagramsAreDroppedAndTheNextGoodOneIsAnswered) {
  ASSERT_EQ(serial("AT+UIP=127.0.0.1"), "+OK");
  RawUdp s;
  std::string err;
  ASSERT_TRUE(s.open(&err)) << err;

  Bytes bad_sum = with_seq(kHeartbeatDgram, 1);
  bad_sum[13] = 0xC1;
  Bytes bad_magic = with_seq(kHeartbeatDgram, 2);
  bad_magic[0] = 0x56;
  Bytes bad_len = with_seq(kHeartbeatDgram, 3);
  bad_len[9] = 200;
  ASSERT_TRUE(s.send_to(sim_.udp_port, bad_sum));
  ASSERT_TRUE(s.send_to(sim_.udp_port, bad_magic));
  ASSERT_TRUE(s.send_to(sim_.udp_port, bad_len));
  ASSERT_TRUE(s.send_to(sim_.udp_port, with_seq(kHeartbeatDgram, 5)));

  // Datagrams are handled in order: the first reply is the one to the good datagram.
  std::optional<Bytes> r = s.receive(2000);
  ASSERT_TRUE(r.has_value()) << "no reply to the good datagram";
  EXPECT_EQ(hex(*r), hex(with_seq(kOkDgram, 5)));
  std::optional<Bytes> more = s.receive(300);
  EXPECT_FALSE(more.has_value()) << hex(*more);
  EXPECT_TRUE(log_has("check_sum err"));
}

TEST_F(UdpLink, SequenceByteZeroAndEmptyPayload) {
  ASSERT_EQ(serial("AT+UIP=127.0.0.1"), "+OK");
  RawUdp s;
  std::string err;
  ASSERT_TRUE(s.open(&err)) << err;

  ASSERT_TRUE(s.send_to(sim_.udp_port, with_seq(kHeartbeatDgram, 0)));
  std::optional<Bytes> r = s.receive(2000);
  ASSERT_TRUE(r.has_value());
  EXPECT_EQ(hex(*r), hex(with_seq(kOkDgram, 0)));

  // An empty command (length 0, checksum 0) is answered "+ERR".
  const Bytes empty = {0x55, 0x44, 0x33, 0x22, 0x73, 0x65, 0x71, 0x09, 0x2C, 0x00, 0x00};
  ASSERT_TRUE(s.send_to(sim_.udp_port, empty));
  r = s.receive(2000);
  ASSERT_TRUE(r.has_value());
  const Bytes err_reply = {0x66, 0x77, 0x78, 0x79, 0x73, 0x65, 0x71, 0x09, 0x2C, 0x04, 0x2B, 0x45, 0x52, 0x52, 0x14};
  EXPECT_EQ(hex(*r), hex(err_reply));

  // A datagram that ends early is read as if the rest were zero: here the
  // length byte and the checksum are missing, so it is the empty command.
  const Bytes cut = {0x55, 0x44, 0x33, 0x22, 0x73, 0x65, 0x71, 0x0A};
  ASSERT_TRUE(s.send_to(sim_.udp_port, cut));
  r = s.receive(2000);
  ASSERT_TRUE(r.has_value());
  Bytes err_reply_a = err_reply;
  err_reply_a[7] = 0x0A;
  EXPECT_EQ(hex(*r), hex(err_reply_a));
}

TEST_F(UdpLink, OnlyTheAllowedAddressIsServed) {
  RawUdp one;
  std::string err;
  ASSERT_TRUE(one.open(&err)) << err;
  // A second loopback address as another host.
  wlink::UniqueFd two(::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0));
  sockaddr_in a{};
  a.sin_family = AF_INET;
  ASSERT_EQ(inet_pton(AF_INET, "127.0.0.2", &a.sin_addr), 1);
  if (!two.valid() || ::bind(two.get(), reinterpret_cast<sockaddr*>(&a), sizeof a) != 0)
    GTEST_SKIP() << "127.0.0.2 not usable here";
  sockaddr_in to{};
  to.sin_family = AF_INET;
  to.sin_port = htons(sim_.udp_port);
  inet_pton(AF_INET, "127.0.0.1", &to.sin_addr);
  auto send_two = [&](const Bytes& d) {
    return ::sendto(two.get(), d.data(), d.size(), 0, reinterpret_cast<sockaddr*>(&to), sizeof to) ==
           static_cast<ssize_t>(d.size());
  };
  auto recv_two = [&](int timeout_ms) -> std::optional<Bytes> {
    pollfd p{two.get(), POLLIN, 0};
    if (::poll(&p, 1, timeout_ms) <= 0) return std::nullopt;
    uint8_t buf[512];
    ssize_t n = ::recv(two.get(), buf, sizeof buf, 0);
    if (n < 0) return std::nullopt;
    return Bytes(buf, buf + n);
  };

  ASSERT_EQ(serial("AT+UIP=127.0.0.1"), "+OK");
  // Handing the link to the other host over UDP: the answer still goes to the sender.
  ASSERT_TRUE(one.send_to(sim_.udp_port, udp_command(0x21, "AT+UIP=127.0.0.2")));
  std::optional<Bytes> r = one.receive(2000);
  ASSERT_TRUE(r.has_value());
  const Bytes ok21 = {0x66, 0x77, 0x78, 0x79, 0x73, 0x65, 0x71, 0x21, 0x2C, 0x03, 0x2B, 0x4F, 0x4B, 0xC5};
  EXPECT_EQ(hex(*r), hex(ok21));

  // From the next datagram on, only 127.0.0.2 is served.
  ASSERT_TRUE(one.send_to(sim_.udp_port, kHeartbeatDgram));
  EXPECT_TRUE(log_has("===ip check fail,src ip:127.0.0.2============="));
  ASSERT_TRUE(send_two(kHeartbeatDgram));
  r = recv_two(2000);
  ASSERT_TRUE(r.has_value()) << "no reply to the allowed host";
  EXPECT_EQ(hex(*r), hex(kOkDgram));
  std::optional<Bytes> none = one.receive(200);
  EXPECT_FALSE(none.has_value()) << hex(*none);
}

TEST_F(Links, UnknownCommandsAnswerErrOnBothLinks) {
  EXPECT_EQ(serial("AT+NOPE"), "+ERR");
  EXPECT_EQ(serial("at+ver"), "+ERR");
  EXPECT_EQ(serial("AT+\r\n"), "+ERR");
  EXPECT_TRUE(log_has("======unsupport cmd:AT+NOPE========================="));
  EXPECT_TRUE(log_has("======msg proc error:at+ver========iRet[-1]================="));

  ASSERT_EQ(serial("AT+UIP=127.0.0.1"), "+OK");
  EXPECT_EQ(udp("AT+NOPE"), "+ERR");
  EXPECT_EQ(udp("at+ver"), "+ERR");
  EXPECT_EQ(udp("AT+"), "+OK");
  // A known command still works on both.
  EXPECT_EQ(udp("AT+VLAN"), "+OK=waiting");
  EXPECT_EQ(serial("AT+VLAN"), "+OK=waiting");
}

TEST_F(Links, FirstMatchingRowAnswers) {
  EXPECT_EQ(serial("AT+SSIDXYZ"), "+OK=" + factory_value("SSID1"));  // the name query
  EXPECT_EQ(serial("AT+DHCP"), "+OK=");
  EXPECT_EQ(serial("AT+UIP"), "+OK=");
  EXPECT_EQ(serial("AT+CHANNEL!="), "+OK=" + factory_value("Channel"));
  size_t mark = event_mark();
  EXPECT_EQ(serial("AT+DHCP=OFFX"), "+OK");  // closes the service; the rest is ignored
  EXPECT_EQ(events_since(mark), std::vector<std::string>{"shell /etc/init.d/dhcp stop"});
  EXPECT_EQ(serial("AT+LANIPX"), "+OK=" + factory_value("LanIpaddr"));
}

TEST_F(Links, ThirtyCharacterReplyOverUdp) {
  const std::string ssid = "ABCDEFGHIJKLMNOPQRSTUVWXYZ";
  ASSERT_EQ(serial("AT+UIP=127.0.0.1"), "+OK");
  EXPECT_EQ(udp("AT+SSID=" + ssid), "+OK");
  RawUdp s;
  std::string err;
  ASSERT_TRUE(s.open(&err)) << err;
  ASSERT_TRUE(s.send_to(sim_.udp_port, udp_command(0x42, "AT+SSID")));
  std::optional<Bytes> r = s.receive(2000);
  ASSERT_TRUE(r.has_value());
  ASSERT_EQ(r->size(), 11u + 30u) << hex(*r);
  const std::string reply = "+OK=" + ssid;
  Bytes expect = {0x66, 0x77, 0x78, 0x79, 's', 'e', 'q', 0x42, ',', 30};
  for (char c : reply) expect.push_back(static_cast<uint8_t>(c));
  expect.push_back(sum8(expect, 10, 30));
  EXPECT_EQ(hex(*r), hex(expect));
}

TEST_F(Links, BothLinksAtOnceKeepTheProfileWhole) {
  ASSERT_EQ(serial("AT+UIP=127.0.0.1"), "+OK");
  const std::string before = profile();
  constexpr int kRounds = 8;
  std::thread over_udp([&] {
    for (int i = 0; i < kRounds; ++i) EXPECT_EQ(udp("AT+KEY=udpkey" + std::to_string(i)), "+OK");
  });
  for (int i = 0; i < kRounds; ++i) EXPECT_EQ(serial("AT+SSID=serial" + std::to_string(i)), "+OK");
  over_udp.join();

  std::string expect = replace_line(before, "SSID1=", "SSID1=serial" + std::to_string(kRounds - 1));
  expect = replace_line(expect, "WPAPSK1=", "WPAPSK1=udpkey" + std::to_string(kRounds - 1));
  EXPECT_EQ(profile(), expect);
  EXPECT_EQ(serial("AT+KEY"), "+OK=udpkey" + std::to_string(kRounds - 1));
  EXPECT_EQ(udp("AT+SSID"), "+OK=serial" + std::to_string(kRounds - 1));
}

}  // namespace
}  // namespace e2e
