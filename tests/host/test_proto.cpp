// Byte layouts the host builds and reads: command frames and UDP datagrams.
#include <gtest/gtest.h>

#include <sstream>
#include <string>
#include <vector>

#include "wlink_host.h"

using wlink::Frame;
using wlink::ReplyCheck;
using Bytes = std::vector<uint8_t>;

namespace {

Bytes hex(const std::string& s) {
  std::istringstream in(s);
  Bytes b;
  for (unsigned v; in >> std::hex >> v;) b.push_back(static_cast<uint8_t>(v));
  return b;
}

}  // namespace

// The host's commands, byte for byte.
TEST(Layout, CommandVectors) {
  Bytes built;
  for (const Frame& f : wlink::encode_frames("+OK=0123456789abcdefghijklmnop")) built.insert(built.end(), f.begin(), f.end());
  EXPECT_EQ(built, hex("1e 0c 00 2b 4f 4b 3d 30 31 32 33 34 35 36 37 c8  1e 0c 0c 38 39 61 62 63 64 65 66 67 68 69 6a 9e"
                       "  1e 06 18 6b 6c 6d 6e 6f 70 00 00 00 00 00 00 cd"));
  std::string err;
  std::vector<Frame> frames;
  EXPECT_TRUE(wlink::encode_command_frames("AT+", &frames, &err));
  EXPECT_EQ(Bytes(frames[0].begin(), frames[0].end()), hex("03 03 00 41 54 2b 00 00 00 00 00 00 00 00 00 c6"));
  EXPECT_FALSE(wlink::encode_command_frames(std::string(128, 'x'), &frames, &err));
  EXPECT_TRUE(wlink::encode_udp_command(7, "AT+", &built, &err)) << err;
  EXPECT_EQ(built, hex("55 44 33 22 73 65 71 07 2c 03 41 54 2b c0"));
}

TEST(UdpReply, Decode) {
  const Bytes good = hex("66 77 78 79 73 65 71 07 2c 03 2b 4f 4b c5");
  auto with = [&](size_t i, uint8_t v) {
    Bytes d = good;
    d.resize(std::max(d.size(), i + 1));
    d[i] = v;
    return d;
  };
  const struct { const char* what; Bytes d; uint8_t seq; ReplyCheck want; } cases[] = {
      {"empty text, seq 0", hex("66 77 78 79 73 65 71 00 2c 00 00"), 0, ReplyCheck::Ok},
      {"command magic", with(0, 0x55), 7, ReplyCheck::BadMagic},
      {"'seE'", with(5, 'E'), 7, ReplyCheck::BadMagic},
      {"other sequence", good, 8, ReplyCheck::BadSeq},
      {"checksum", with(13, 0xc6), 7, ReplyCheck::BadChecksum},
      {"one byte short", Bytes(good.begin(), good.end() - 1), 7, ReplyCheck::BadLength},
      {"one byte extra", with(14, 0), 7, ReplyCheck::BadLength},
      {"length byte too big", with(9, 4), 7, ReplyCheck::BadLength},
      {"header cut", Bytes(good.begin(), good.begin() + 5), 7, ReplyCheck::BadLength},
      {"nothing", Bytes{}, 7, ReplyCheck::BadLength},
  };
  for (const auto& c : cases) {
    std::string text = "old";
    EXPECT_EQ(wlink::decode_udp_reply(c.d.data(), c.d.size(), c.seq, &text), c.want) << c.what;
    EXPECT_EQ(text, c.want == ReplyCheck::Ok ? "" : "old") << c.what;  // untouched unless Ok
  }
}
