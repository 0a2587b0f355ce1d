// C++ conveniences over libwlink (wlink.h) for the tool, the tests and the
// benchmarks: the wire encodings as vectors, and the two links as objects whose
// command() gives the reply text or nullopt with the reason in *err.
#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "wlink.h"

namespace wlink {

constexpr size_t kFrameSize = WLINK_FRAME_SIZE;
constexpr size_t kMaxCommandLen = WLINK_CMD_MAX;
constexpr uint16_t kDefaultUdpPort = WLINK_UDP_PORT;
constexpr int kDefaultTimeoutMs = WLINK_DEFAULT_TIMEOUT_MS;
constexpr int kDefaultPaceMs = WLINK_DEFAULT_PACE_MS;
constexpr int kDefaultRetries = WLINK_DEFAULT_RETRIES;

inline uint8_t checksum8(const uint8_t *p, size_t n) { return wlink_sum8(p, n); }

using Frame = std::array<uint8_t, kFrameSize>;

// The frames of a text of at most 255 bytes (none for a longer one).
inline std::vector<Frame> encode_frames(std::string_view text) {
    std::vector<Frame> frames(text.empty() ? 1 : (text.size() + WLINK_FRAME_CHUNK - 1) / WLINK_FRAME_CHUNK);
    if (wlink_frames_encode(text.data(), text.size(), frames[0].data(), frames.size() * kFrameSize) == 0) return {};
    return frames;
}

inline bool encode_udp_command(uint8_t seq, std::string_view cmd, std::vector<uint8_t> *out, std::string *err) {
    out->resize(WLINK_DGRAM_OVERHEAD + cmd.size());
    if (wlink_datagram_encode(seq, cmd.data(), cmd.size(), out->data(), out->size()) != 0) return true;
    if (err) *err = "command longer than 127 bytes";
    return false;
}

enum class ReplyCheck { Ok, Bad };
inline ReplyCheck decode_udp_reply(const uint8_t *p, size_t n, uint8_t expect_seq, std::string *text) {
    char buf[WLINK_REPLY_MAX + 1];
    uint8_t seq = 0;
    if (wlink_datagram_decode(p, n, &seq, buf, sizeof buf) != WLINK_OK || seq != expect_seq) return ReplyCheck::Bad;
    if (text) *text = buf;
    return ReplyCheck::Ok;
}

// One link; SerialClient and UdpClient only differ in how they open.
class Client {
public:
    Client() = default;
    Client(const Client &) = delete;
    Client &operator=(const Client &) = delete;
    ~Client() { close(); }
    void close() {
        wlink_close(l_);
        l_ = nullptr;
    }
    bool is_open() const { return l_ != nullptr; }
    wlink_link *get() const { return l_; }

    // The reply ("+ERR" too), or nullopt with the reason in *err.
    std::optional<std::string> command(std::string_view cmd, int timeout_ms, int retries, std::string *err,
                                       wlink_status *status = nullptr) {
        char reply[WLINK_REPLY_MAX + 1];
        const std::string c(cmd);
        wlink_status st = WLINK_BAD_ARGUMENT;
        if (l_) {
            wlink_set_timeout(l_, timeout_ms);
            wlink_set_retries(l_, retries);
            st = wlink_command(l_, c.c_str(), reply, sizeof reply);
        }
        if (status) *status = st;
        if (st == WLINK_OK || st == WLINK_ERR_REPLY) return std::string(reply);
        if (err) *err = l_ ? wlink_last_error(l_) : "link not open";
        return std::nullopt;
    }

protected:
    bool opened(wlink_status st, wlink_link *l, const std::string &what, std::string *err) {
        close();
        l_ = l;
        if (st == WLINK_OK) return true;
        if (err) *err = what + ": " + wlink_status_text(st);
        return false;
    }
    wlink_link *l_ = nullptr;
};

class SerialClient : public Client {
public:
    bool open(const std::string &dev, std::string *err) {
        wlink_link *l = nullptr;
        const wlink_status st = wlink_open_serial(dev.c_str(), &l);
        if (l) wlink_set_pace(l, pace_ms_);
        return opened(st, l, dev, err);
    }
    void set_pace_ms(int ms) {
        pace_ms_ = ms;
        if (l_) wlink_set_pace(l_, ms);
    }
    std::optional<std::string> command(std::string_view cmd, int timeout_ms, std::string *err) {
        return Client::command(cmd, timeout_ms, 0, err);
    }
    std::optional<std::string> command(std::string_view cmd, std::string *err) {
        return command(cmd, kDefaultTimeoutMs, err);
    }

private:
    int pace_ms_ = kDefaultPaceMs;
};

class UdpClient : public Client {
public:
    bool open(const std::string &host, uint16_t port, std::string *err) {
        wlink_link *l = nullptr;
        const wlink_status st = wlink_open_udp(host.c_str(), port, &l);
        return opened(st, l, host, err);
    }
    std::optional<std::string> command(std::string_view cmd, int timeout_ms, int retries, std::string *err) {
        return Client::command(cmd, timeout_ms, retries, err);
    }
    std::optional<std::string> command(std::string_view cmd, std::string *err) {
        return command(cmd, kDefaultTimeoutMs, kDefaultRetries, err);
    }
};

}  // namespace wlink
