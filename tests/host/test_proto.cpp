// Byte layouts: serial frames, the frame assembler and UDP datagrams.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "wlink_host.h"

using wlink::Frame;
using wlink::FrameAssembler;
using wlink::ReplyCheck;
using Feed = wlink::FrameAssembler::Feed;

namespace {

Frame frame_of(std::initializer_list<int> head) {
  Frame f{};
  size_t i = 0;
  for (int b : head) f[i++] = static_cast<uint8_t>(b);
  return f;
}

Frame with_checksum(Frame f) {
  f[15] = wlink::checksum8(f.data(), 15);
  return f;
}

std::vector<uint8_t> bytes(std::initializer_list<int> l) {
  std::vector<uint8_t> v;
  for (int b : l) v.push_back(static_cast<uint8_t>(b));
  return v;
}

}  // namespace

TEST(Checksum, SumsLowEightBits) {
  const uint8_t abc[] = {'a', 'b', 'c'};
  EXPECT_EQ(wlink::checksum8(abc, 3), 0x26);
  EXPECT_EQ(wlink::checksum8(nullptr, 0), 0);
  std::vector<uint8_t> ff(16, 0xFF);
  EXPECT_EQ(wlink::checksum8(ff.data(), ff.size()), 0xF0);
}

TEST(Frames, HeartbeatCommandFrame) {
  const auto frames = wlink::encode_frames("AT+");
  ASSERT_EQ(frames.size(), 1u);
  const Frame want = frame_of({0x03, 0x03, 0x00, 0x41, 0x54, 0x2B, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0xC6});
  EXPECT_EQ(frames[0], want);
}

TEST(Frames, OkReplyFrame) {
  const auto frames = wlink::encode_frames("+OK");
  ASSERT_EQ(frames.size(), 1u);
  const Frame want = frame_of({0x03, 0x03, 0x00, 0x2B, 0x4F, 0x4B, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0xCB});
  EXPECT_EQ(frames[0], want);
}

TEST(Frames, ThirtyByteTextInThreeFrames) {
  const std::string text = "+OK=0123456789abcdefghijklmnop";
  ASSERT_EQ(text.size(), 30u);
  const auto frames = wlink::encode_frames(text);
  ASSERT_EQ(frames.size(), 3u);
  const int chunk[] = {12, 12, 6}, off[] = {0, 12, 24};
  for (size_t i = 0; i < 3; ++i) {
    EXPECT_EQ(frames[i][0], 30);
    EXPECT_EQ(frames[i][1], chunk[i]);
    EXPECT_EQ(frames[i][2], off[i]);
    EXPECT_EQ(std::string(frames[i].begin() + 3, frames[i].begin() + 3 + chunk[i]),
              text.substr(off[i], chunk[i]));
    EXPECT_EQ(frames[i][15], wlink::checksum8(frames[i].data(), 15));
  }
  for (int i = 3 + 6; i < 15; ++i) EXPECT_EQ(frames[2][i], 0) << i;
}

TEST(Frames, OneFramePerStartedTwelveBytes) {
  EXPECT_EQ(wlink::encode_frames(std::string(12, 'x')).size(), 1u);
  EXPECT_EQ(wlink::encode_frames(std::string(13, 'x')).size(), 2u);
  EXPECT_EQ(wlink::encode_frames(std::string(24, 'x')).size(), 2u);
  EXPECT_EQ(wlink::encode_frames(std::string(25, 'x')).size(), 3u);
  EXPECT_EQ(wlink::encode_frames(std::string(255, 'x')).size(), 22u);
  EXPECT_TRUE(wlink::encode_frames(std::string(256, 'x')).empty());
}

TEST(Frames, EmptyTextIsOneZeroFrame) {
  const auto frames = wlink::encode_frames("");
  ASSERT_EQ(frames.size(), 1u);
  EXPECT_EQ(frames[0], Frame{});
}

TEST(Frames, CommandLimits) {
  std::vector<Frame> out;
  std::string err;
  EXPECT_FALSE(wlink::encode_command_frames("", &out, &err));
  EXPECT_FALSE(err.empty());
  EXPECT_FALSE(wlink::encode_command_frames(std::string(128, 'A'), &out, &err));
  ASSERT_TRUE(wlink::encode_command_frames(std::string(127, 'A'), &out, &err));
  EXPECT_EQ(out.size(), 11u);
  EXPECT_EQ(out.back()[1], 127 - 120);
  EXPECT_EQ(out.back()[2], 120);
  ASSERT_TRUE(wlink::encode_command_frames("AT+SSID=HomeNet1", &out, &err));  // 16 bytes
  EXPECT_EQ(out.size(), 2u);
}

TEST(Assembler, SingleFrame) {
  FrameAssembler a;
  EXPECT_EQ(a.feed(wlink::encode_frames("+OK")[0]), Feed::Complete);
  EXPECT_EQ(a.message(), "+OK");
}

TEST(Assembler, InOrderFrames) {
  const std::string text = "+OK=192.168.100.254/some-longer-value";
  const auto frames = wlink::encode_frames(text);
  ASSERT_EQ(frames.size(), 4u);
  FrameAssembler a;
  for (size_t i = 0; i + 1 < frames.size(); ++i) {
    EXPECT_EQ(a.feed(frames[i]), Feed::Incomplete);
    EXPECT_EQ(a.message(), "");
  }
  EXPECT_EQ(a.feed(frames.back()), Feed::Complete);
  EXPECT_EQ(a.message(), text);
}

TEST(Assembler, OutOfOrderOffsetsArePlaced) {
  const std::string text = "+OK=0123456789abcdefghijklmnop";
  const auto frames = wlink::encode_frames(text);
  FrameAssembler a;
  EXPECT_EQ(a.feed(frames[1]), Feed::Incomplete);
  EXPECT_EQ(a.feed(frames[0]), Feed::Incomplete);
  EXPECT_EQ(a.feed(frames[2]), Feed::Complete);
  EXPECT_EQ(a.message(), text);

  // The last frame first: the message waits for the bytes before it.
  a.reset();
  EXPECT_EQ(a.feed(frames[2]), Feed::Incomplete);
  EXPECT_EQ(a.feed(frames[0]), Feed::Incomplete);
  EXPECT_EQ(a.feed(frames[1]), Feed::Complete);
  EXPECT_EQ(a.message(), text);
}

TEST(Assembler, BadChecksum) {
  Frame f = wlink::encode_frames("+OK")[0];
  f[15] ^= 1;
  FrameAssembler a;
  EXPECT_EQ(a.feed(f), Feed::Bad);
  f[15] ^= 1;
  f[4] ^= 1;  // payload changed under an old checksum
  EXPECT_EQ(a.feed(f), Feed::Bad);
}

TEST(Assembler, ZeroTotalIsNoFrame) {
  FrameAssembler a;
  EXPECT_EQ(a.feed(Frame{}), Feed::Bad);
  EXPECT_EQ(a.feed(with_checksum(frame_of({0, 3, 0, 'a', 'b', 'c'}))), Feed::Bad);
}

TEST(Assembler, OversizeChunkAndOverrun) {
  FrameAssembler a;
  EXPECT_EQ(a.feed(with_checksum(frame_of({20, 13, 0, 'x'}))), Feed::Bad);   // chunk > 12
  EXPECT_EQ(a.feed(with_checksum(frame_of({20, 0, 0}))), Feed::Bad);        // empty chunk
  EXPECT_EQ(a.feed(with_checksum(frame_of({10, 3, 8, 'a', 'b', 'c'}))), Feed::Bad);  // past total
  EXPECT_EQ(a.feed(with_checksum(frame_of({255, 2, 254, 'a', 'b'}))), Feed::Bad);    // past 255
  EXPECT_EQ(a.feed(with_checksum(frame_of({3, 2, 0, 'a', 'b', 'c'}))), Feed::Bad);   // dirty padding
}

TEST(Assembler, BadFrameLeavesProgressAlone) {
  const std::string text = "+OK=0123456789abcdefghijklmnop";
  const auto frames = wlink::encode_frames(text);
  FrameAssembler a;
  EXPECT_EQ(a.feed(frames[0]), Feed::Incomplete);
  Frame broken = frames[1];
  broken[15] ^= 0x55;
  EXPECT_EQ(a.feed(broken), Feed::Bad);
  EXPECT_EQ(a.feed(frames[1]), Feed::Incomplete);
  EXPECT_EQ(a.feed(frames[2]), Feed::Complete);
  EXPECT_EQ(a.message(), text);
}

TEST(Assembler, NewTotalStartsNewMessage) {
  const auto longer = wlink::encode_frames("+OK=0123456789abcdefghijklmnop");
  FrameAssembler a;
  EXPECT_EQ(a.feed(longer[0]), Feed::Incomplete);
  EXPECT_EQ(a.feed(wlink::encode_frames("+ERR")[0]), Feed::Complete);
  EXPECT_EQ(a.message(), "+ERR");
  // After completion the next frame starts afresh.
  EXPECT_EQ(a.feed(wlink::encode_frames("+OK")[0]), Feed::Complete);
  EXPECT_EQ(a.message(), "+OK");
}

TEST(Assembler, LongestReply) {
  std::string text(255, 'v');
  for (size_t i = 0; i < text.size(); ++i) text[i] = static_cast<char>('a' + i % 26);
  FrameAssembler a;
  Feed last = Feed::Bad;
  for (const auto& f : wlink::encode_frames(text)) last = a.feed(f);
  EXPECT_EQ(last, Feed::Complete);
  EXPECT_EQ(a.message(), text);
}

TEST(UdpCommand, HeartbeatBytes) {
  std::vector<uint8_t> out;
  std::string err;
  ASSERT_TRUE(wlink::encode_udp_command(7, "AT+", &out, &err));
  EXPECT_EQ(out, bytes({0x55, 0x44, 0x33, 0x22, 0x73, 0x65, 0x71, 0x07, 0x2C, 0x03, 0x41, 0x54,
                        0x2B, 0xC0}));
}

TEST(UdpCommand, Limits) {
  std::vector<uint8_t> out;
  std::string err;
  EXPECT_FALSE(wlink::encode_udp_command(1, std::string(128, 'A'), &out, &err));
  EXPECT_FALSE(err.empty());
  ASSERT_TRUE(wlink::encode_udp_command(1, std::string(127, 'A'), &out, &err));
  EXPECT_EQ(out.size(), 138u);
  EXPECT_EQ(out[9], 127);
  ASSERT_TRUE(wlink::encode_udp_command(0, "", &out, &err));
  EXPECT_EQ(out, bytes({0x55, 0x44, 0x33, 0x22, 's', 'e', 'q', 0, ',', 0, 0}));
}

TEST(UdpReply, HeartbeatReply) {
  const auto d = bytes({0x66, 0x77, 0x78, 0x79, 0x73, 0x65, 0x71, 0x07, 0x2C, 0x03, 0x2B, 0x4F,
                        0x4B, 0xC5});
  std::string text;
  EXPECT_EQ(wlink::decode_udp_reply(d.data(), d.size(), 7, &text), ReplyCheck::Ok);
  EXPECT_EQ(text, "+OK");
}

TEST(UdpReply, Rejections) {
  const auto good = bytes({0x66, 0x77, 0x78, 0x79, 's', 'e', 'q', 0x07, ',', 0x03, '+', 'O', 'K',
                           0xC5});
  std::string text = "untouched";
  auto d = good;
  d[0] = 0x55;
  EXPECT_EQ(wlink::decode_udp_reply(d.data(), d.size(), 7, &text), ReplyCheck::BadMagic);
  d = good;
  d[5] = 'E';
  EXPECT_EQ(wlink::decode_udp_reply(d.data(), d.size(), 7, &text), ReplyCheck::BadMagic);
  EXPECT_EQ(wlink::decode_udp_reply(good.data(), good.size(), 8, &text), ReplyCheck::BadSeq);
  d = good;
  d[13] = 0xC6;
  EXPECT_EQ(wlink::decode_udp_reply(d.data(), d.size(), 7, &text), ReplyCheck::BadChecksum);
  EXPECT_EQ(wlink::decode_udp_reply(good.data(), good.size() - 1, 7, &text), ReplyCheck::BadLength);
  d = good;
  d.push_back(0);
  EXPECT_EQ(wlink::decode_udp_reply(d.data(), d.size(), 7, &text), ReplyCheck::BadLength);
  d = good;
  d[9] = 0x04;
  EXPECT_EQ(wlink::decode_udp_reply(d.data(), d.size(), 7, &text), ReplyCheck::BadLength);
  EXPECT_EQ(wlink::decode_udp_reply(good.data(), 5, 7, &text), ReplyCheck::BadLength);
  EXPECT_EQ(wlink::decode_udp_reply(nullptr, 0, 7, &text), ReplyCheck::BadLength);
  EXPECT_EQ(text, "untouched");
}

TEST(UdpReply, ZeroSeqAndEmptyText) {
  const auto d = bytes({0x66, 0x77, 0x78, 0x79, 's', 'e', 'q', 0x00, ',', 0x00, 0x00});
  std::string text = "x";
  EXPECT_EQ(wlink::decode_udp_reply(d.data(), d.size(), 0, &text), ReplyCheck::Ok);
  EXPECT_EQ(text, "");
}
