// Byte layouts: serial frames, the frame assembler and UDP datagrams.
#include <gtest/gtest.h>

#include <sstream>
#include <string>
#include <vector>

#include "wlink_host.h"

using wlink::Frame;
using wlink::ReplyCheck;
using Feed = wlink::FrameAssembler::Feed;
using Bytes = std::vector<uint8_t>;

namespace {

Bytes hex(const std::string& s) {
  std::istringstream in(s);
  Bytes b;
  for (unsigned v; in >> std::hex >> v;) b.push_back(static_cast<uint8_t>(v));
  return b;
}

// Leading bytes, zero padding and a checksum that matches.
Frame frame(std::initializer_list<int> head) {
  Frame f{};
  std::copy(head.begin(), head.end(), f.begin());
  f[15] = wlink::checksum8(f.data(), 15);
  return f;
}

const std::string kText30 = "+OK=0123456789abcdefghijklmnop";

}  // namespace

// Each vector is built by the encoder and read back by the assembler or the decoder.
TEST(Layout, ExactVectors) {
  enum Kind { kFrames, kUdpCommand, kUdpReply };
  const struct { const char* what; Kind kind; std::string text; Bytes bytes; } vectors[] = {
      {"heartbeat frame", kFrames, "AT+", hex("03 03 00 41 54 2b 00 00 00 00 00 00 00 00 00 c6")},
      {"reply frame", kFrames, "+OK", hex("03 03 00 2b 4f 4b 00 00 00 00 00 00 00 00 00 cb")},
      {"30 bytes as (12,0) (12,12) (6,24)", kFrames, kText30,
       hex("1e 0c 00 2b 4f 4b 3d 30 31 32 33 34 35 36 37 c8  1e 0c 0c 38 39 61 62 63 64 65 66 67 68 69 6a 9e"
           "  1e 06 18 6b 6c 6d 6e 6f 70 00 00 00 00 00 00 cd")},
      {"UDP heartbeat command, seq 7", kUdpCommand, "AT+", hex("55 44 33 22 73 65 71 07 2c 03 41 54 2b c0")},
      {"UDP heartbeat reply, seq 7", kUdpReply, "+OK", hex("66 77 78 79 73 65 71 07 2c 03 2b 4f 4b c5")},
  };
  for (const auto& v : vectors) {
    SCOPED_TRACE(v.what);
    Bytes built = v.bytes;
    std::string text, err;
    if (v.kind == kFrames) {
      built.clear();
      wlink::FrameAssembler a;
      for (const Frame& f : wlink::encode_frames(v.text)) {
        built.insert(built.end(), f.begin(), f.end());
        EXPECT_EQ(a.feed(f), built.size() < v.bytes.size() ? Feed::Incomplete : Feed::Complete);
      }
      text = a.message();
    } else if (v.kind == kUdpCommand) {
      EXPECT_TRUE(wlink::encode_udp_command(7, v.text, &built, &err)) << err;
      text = v.text;
    } else {
      EXPECT_EQ(wlink::decode_udp_reply(v.bytes.data(), v.bytes.size(), 7, &text), ReplyCheck::Ok);
    }
    EXPECT_EQ(built, v.bytes);
    EXPECT_EQ(text, v.text);
  }
}

// A bad frame in the middle of a message is refused and changes nothing.
TEST(Assembler, BadFramesAreRefusedAndLeaveTheMessageAlone) {
  const auto good = wlink::encode_frames(kText30);
  Frame bad_sum = good[1], changed = good[1];
  bad_sum[15] ^= 1, changed[5] ^= 1;
  const struct { const char* what; Frame f; } cases[] = {
      {"wrong checksum", bad_sum},
      {"payload changed under its checksum", changed},
      {"all zero", Frame{}},
      {"zero total", frame({0, 3, 0, 'a', 'b', 'c'})},
      {"chunk over 12", frame({30, 13, 12, 'x'})},
      {"empty chunk", frame({30, 0, 12})},
      {"past the total", frame({30, 8, 24, 'a', 'b', 'c', 'd', 'e', 'f', 'g', 'h'})},
      {"past 255", frame({255, 2, 254, 'a', 'b'})},
      {"padding not zero", frame({30, 2, 12, 'a', 'b', 'c'})},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    wlink::FrameAssembler a;
    EXPECT_EQ(a.feed(good[0]), Feed::Incomplete);
    EXPECT_EQ(a.feed(c.f), Feed::Bad);
    EXPECT_EQ(a.feed(good[1]), Feed::Incomplete);
    EXPECT_EQ(a.feed(good[2]), Feed::Complete);
    EXPECT_EQ(a.message(), kText30);
  }
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
