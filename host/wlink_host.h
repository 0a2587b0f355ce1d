// Host side of the wlink command links: serial frames, UDP datagrams and
// the two clients that carry "AT+" commands to the module and its replies
// back. Nothing in this library throws; failures come back as false or
// std::nullopt together with a message in *err (err may be null).
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "unique_fd.h"
#include "wifi_frame.h"

namespace wlink {

constexpr size_t kFrameSize = 16;        // one serial frame
constexpr size_t kFramePayload = 12;     // text bytes per frame
constexpr size_t kMaxCommandLen = 127;   // module command buffer is 128 with NUL
constexpr size_t kMaxReplyLen = 255;     // module reply buffer is 256 with NUL
constexpr uint16_t kDefaultUdpPort = 8888;
constexpr int kDefaultTimeoutMs = 2000;  // the module answers once per ~100 ms pass
constexpr int kDefaultPaceMs = 15;       // gap between outgoing frames
constexpr int kDefaultRetries = 2;

// Low 8 bits of the sum of n bytes.
uint8_t checksum8(const uint8_t* p, size_t n);

// ---------------------------------------------------------------------------
// Serial frames
//   [0] total length (low 8 bits)  [1] chunk length 0..12  [2] offset
//   [3..14] payload, zero padded   [15] checksum8 of bytes 0..14
using Frame = std::array<uint8_t, kFrameSize>;

// Cuts a text into frames exactly as the module does: one frame per started
// 12 bytes, an empty text as one all-zero frame. Texts longer than 255 bytes
// cannot be framed and give an empty vector.
std::vector<Frame> encode_frames(std::string_view text);

// Frames for a command: refuses an empty command or one over 127 bytes.
bool encode_command_frames(std::string_view cmd, std::vector<Frame>* out, std::string* err);

// Received bytes are cut into frames and joined into whole messages by the
// module's own stream assembler (wifi_frame.h): it falls back into step after junk
// or a lost byte and never hands on a message with a frame missing.

// ---------------------------------------------------------------------------
// UDP datagrams
//   command: 55 44 33 22 "seq" SEQ ',' L payload[L] checksum8(payload)
//   reply:   66 77 78 79 "seq" SEQ ',' n text[n]    checksum8(text)
constexpr size_t kUdpOverhead = 11;

// Refuses commands longer than 127 bytes. An empty command is representable
// (the module answers it with "+ERR").
bool encode_udp_command(uint8_t seq, std::string_view cmd, std::vector<uint8_t>* out,
                        std::string* err);

enum class ReplyCheck { Ok, BadMagic, BadSeq, BadChecksum, BadLength };
const char* to_string(ReplyCheck r);

// Checks one reply datagram of n bytes (n must be exactly 11 + length byte).
// On Ok stores the reply text in *text (if not null).
ReplyCheck decode_udp_reply(const uint8_t* p, size_t n, uint8_t expect_seq, std::string* text);

// Move-only owner of a file descriptor: the one the daemon uses.
using ::UniqueFd;

// ---------------------------------------------------------------------------
// Commands over a serial port: raw 115200 8N1, no flow control.
class SerialClient {
 public:
  bool open(const std::string& dev, std::string* err);
  void close() { fd_.reset(); }
  bool is_open() const { return fd_.valid(); }

  // Sends the command's frames paced apart (no pause after the last), then
  // collects reply frames until the reply is whole or timeout_ms passed.
  // Stale input is discarded before sending. Returns nullopt on refusal,
  // I/O error or timeout.
  std::optional<std::string> command(std::string_view cmd, int timeout_ms, std::string* err);
  std::optional<std::string> command(std::string_view cmd, std::string* err) {
    return command(cmd, kDefaultTimeoutMs, err);
  }

  void set_pace_ms(int ms) { pace_ms_ = ms < 0 ? 0 : ms; }
  int pace_ms() const { return pace_ms_; }

 private:
  bool write_all(const uint8_t* p, size_t n, int timeout_ms, std::string* err);

  UniqueFd fd_;
  int pace_ms_ = kDefaultPaceMs;
};

// ---------------------------------------------------------------------------
// Commands over UDP (IPv4).
class UdpClient {
 public:
  // host: dotted IPv4 address or a name that resolves to one.
  bool open(const std::string& host, uint16_t port, std::string* err);
  bool open(const std::string& host, std::string* err) { return open(host, kDefaultUdpPort, err); }
  void close() { fd_.reset(); }
  bool is_open() const { return fd_.valid(); }

  // Each call takes the next sequence byte. Waits up to timeout_ms for a
  // reply carrying the right magic, sequence byte and checksum (anything
  // else is ignored), and sends the same datagram again up to `retries`
  // more times. Returns nullopt on refusal, I/O error or when no reply came.
  std::optional<std::string> command(std::string_view cmd, int timeout_ms, int retries,
                                     std::string* err);
  std::optional<std::string> command(std::string_view cmd, std::string* err) {
    return command(cmd, kDefaultTimeoutMs, kDefaultRetries, err);
  }

  uint8_t last_seq() const { return seq_; }  // sequence byte of the latest command
  // The next command uses sequence byte s (open() picks a varying start).
  void set_next_seq(uint8_t s) { seq_ = static_cast<uint8_t>(s - 1); }

 private:
  UniqueFd fd_;
  std::array<uint8_t, 16> addr_{};  // struct sockaddr_in of the module
  uint8_t seq_ = 0;
};

}  // namespace wlink
