// The serial byte stream. The input is what arrives on the line, handed to the stream
// in pieces of varying size; every message it hands on fits and is terminated, and the
// line falls back into step after it. The input's text, sent as frames, comes back.
#include "fuzz_support.h"

namespace {

// Feeds `bytes` to the stream in pieces whose sizes come from `sizes`; collects messages.
std::vector<std::string> feed(wifi_frame_stream *s, const uint8_t *bytes, size_t n, const uint8_t *sizes,
                              size_t nsizes) {
    std::vector<std::string> got;
    for (size_t at = 0, k = 0; at < n; k++) {
        size_t room;
        uint8_t *space = wifi_frame_stream_space(s, &room);
        FUZZ_CHECK(room >= WIFI_FRAME_SIZE, "only %zu bytes of room", room);
        size_t piece = std::min({n - at, room, nsizes ? (size_t)sizes[k % nsizes] % 64 + 1 : n});
        memcpy(space, bytes + at, piece);
        wifi_frame_stream_commit(s, piece);
        at += piece;
        for (wifi_frame_take t; (t = wifi_frame_stream_take(s)) != WIFI_FRAME_NONE;) {
            if (t != WIFI_FRAME_DONE) continue;
            FUZZ_CHECK(s->msg_len >= 1 && s->msg_len <= s->max_total && s->msg[s->msg_len] == '\0', "length %u",
                       s->msg_len);
            got.emplace_back(s->msg, s->msg_len);
        }
    }
    return got;
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int *, char ***) { return 0; }

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    if (size > 4096) return -1;
    wifi_frame_stream s;
    wifi_frame_stream_init(&s, 127);
    std::string input(reinterpret_cast<const char *>(data), size);
    feed(&s, data, size, data, size);
    // After whatever the input left behind, the line falls back into step: of two
    // heartbeats at least the second comes through.
    uint8_t hb[2 * WIFI_FRAME_SIZE];
    wifi_frame_build(hb, 3, 0, "AT+", 3);
    memcpy(hb + WIFI_FRAME_SIZE, hb, WIFI_FRAME_SIZE);
    std::vector<std::string> got = feed(&s, hb, sizeof(hb), data, size);
    FUZZ_CHECK(!got.empty() && got.back() == "AT+", "no heartbeat after the input");

    // The input's first 127 bytes, sent on a fresh line, come back whole.
    std::string text = input.substr(0, 127);
    if (text.empty()) return 0;
    std::vector<uint8_t> line;
    for (size_t off = 0; off < text.size(); off += WIFI_FRAME_CHUNK) {
        uint8_t f[WIFI_FRAME_SIZE];
        wifi_frame_build(f, text.size(), off, text.data() + off, std::min(text.size() - off, (size_t)WIFI_FRAME_CHUNK));
        line.insert(line.end(), f, f + WIFI_FRAME_SIZE);
    }
    wifi_frame_stream_init(&s, 127);
    got = feed(&s, line.data(), line.size(), data, size);
    FUZZ_CHECK(got.size() == 1 && got[0] == text, "own text did not come back");
    return 0;
}
