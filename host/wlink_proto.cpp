// Byte layouts of the serial frames and UDP datagrams.
#include "wlink_host.h"

#include <algorithm>
#include <cstring>

namespace wlink {

namespace {

void set_err(std::string* err, std::string msg) {
  if (err) *err = std::move(msg);
}

constexpr uint8_t kCmdMagic[4] = {0x55, 0x44, 0x33, 0x22};
constexpr uint8_t kReplyMagic[4] = {0x66, 0x77, 0x78, 0x79};

}  // namespace

uint8_t checksum8(const uint8_t* p, size_t n) { return wifi_frame_sum(p, n); }

std::vector<Frame> encode_frames(std::string_view text) {
  std::vector<Frame> frames;
  if (text.size() > kMaxReplyLen) return frames;
  size_t off = 0;
  do {
    const size_t chunk = std::min(text.size() - off, kFramePayload);
    Frame f;
    wifi_frame_build(f.data(), text.size(), off, text.data() + off, chunk);
    frames.push_back(f);
    off += chunk;
  } while (off < text.size());
  return frames;
}

bool encode_command_frames(std::string_view cmd, std::vector<Frame>* out, std::string* err) {
  if (cmd.empty()) {
    set_err(err, "empty command");
    return false;
  }
  if (cmd.size() > kMaxCommandLen) {
    set_err(err, "command longer than " + std::to_string(kMaxCommandLen) + " bytes");
    return false;
  }
  if (out) *out = encode_frames(cmd);
  return true;
}

bool encode_udp_command(uint8_t seq, std::string_view cmd, std::vector<uint8_t>* out,
                        std::string* err) {
  if (cmd.size() > kMaxCommandLen) {
    set_err(err, "command longer than " + std::to_string(kMaxCommandLen) + " bytes");
    return false;
  }
  if (!out) return true;
  out->clear();
  out->reserve(kUdpOverhead + cmd.size());
  out->insert(out->end(), std::begin(kCmdMagic), std::end(kCmdMagic));
  out->insert(out->end(), {'s', 'e', 'q', seq, ',', static_cast<uint8_t>(cmd.size())});
  out->insert(out->end(), cmd.begin(), cmd.end());
  out->push_back(checksum8(reinterpret_cast<const uint8_t*>(cmd.data()), cmd.size()));
  return true;
}

const char* to_string(ReplyCheck r) {
  switch (r) {
    case ReplyCheck::Ok: return "ok";
    case ReplyCheck::BadMagic: return "bad magic";
    case ReplyCheck::BadSeq: return "bad sequence byte";
    case ReplyCheck::BadChecksum: return "bad checksum";
    case ReplyCheck::BadLength: return "bad length";
  }
  return "?";
}

ReplyCheck decode_udp_reply(const uint8_t* p, size_t n, uint8_t expect_seq, std::string* text) {
  if (!p || n < kUdpOverhead) return ReplyCheck::BadLength;
  if (std::memcmp(p, kReplyMagic, 4) != 0 || p[4] != 's' || p[5] != 'e' || p[6] != 'q' ||
      p[8] != ',')
    return ReplyCheck::BadMagic;
  const size_t len = p[9];
  if (n != kUdpOverhead + len) return ReplyCheck::BadLength;
  if (p[7] != expect_seq) return ReplyCheck::BadSeq;
  if (checksum8(p + 10, len) != p[10 + len]) return ReplyCheck::BadChecksum;
  if (text) text->assign(reinterpret_cast<const char*>(p + 10), len);
  return ReplyCheck::Ok;
}

}  // namespace wlink
