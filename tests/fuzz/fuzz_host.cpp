// The host library's parsers of what the module sends: the serial byte stream (the
// same messages as the module's own assembler, byte for byte, whatever the pieces),
// reply datagrams, upgrade messages, packages and trace decodings. Nothing reads
// outside its input and every text handed on is terminated and within its limits.
#include "fuzz_support.h"
#include "wlink_int.h"

extern "C" int LLVMFuzzerInitialize(int *, char ***) { return 0; }

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    if (size > 8192) return -1;
    // The stream, fed in pieces sized by the input, beside the module's assembler.
    wlink_stream host;
    wifi_frame_stream mod;
    wlink_stream_init(&host, WLINK_REPLY_MAX);
    wifi_frame_stream_init(&mod, WIFI_FRAME_MSG_MAX);
    std::vector<std::string> got, want;
    for (size_t at = 0, k = 0; at < size; k++) {
        uint8_t *h, *m;
        size_t hroom = wlink_stream_space(&host, &h), mroom;
        m = wifi_frame_stream_space(&mod, &mroom);
        size_t piece = std::min({size - at, hroom, mroom, (size_t)data[k % size] % 40 + 1});
        memcpy(h, data + at, piece), memcpy(m, data + at, piece);
        wlink_stream_commit(&host, piece), wifi_frame_stream_commit(&mod, piece);
        at += piece;
        const uint8_t *f;
        size_t skipped;
        for (wlink_take t; (t = wlink_stream_take(&host, &f, &skipped)) != WLINK_TAKE_NONE;) {
            FUZZ_CHECK(wlink_frame_check(f, WLINK_REPLY_MAX) == 0, "a bad frame taken");
            if (t == WLINK_TAKE_DONE) {
                FUZZ_CHECK(host.msg_len >= 1 && host.msg[host.msg_len] == '\0', "length %u", host.msg_len);
                got.emplace_back(host.msg, host.msg_len);
            }
        }
        for (wifi_frame_take t; (t = wifi_frame_stream_take(&mod)) != WIFI_FRAME_NONE;)
            if (t == WIFI_FRAME_DONE) want.emplace_back(mod.msg, mod.msg_len);
    }
    FUZZ_CHECK(got == want, "%zu messages, the module's assembler %zu", got.size(), want.size());

    // One reply datagram; the command it answers is the input's first line.
    char text[WLINK_REPLY_MAX + 1], line[1400];
    uint8_t seq;
    if (wlink_datagram_decode(data, size, &seq, text, sizeof text) == WLINK_OK) {
        FUZZ_CHECK(strlen(text) <= size - WLINK_DGRAM_OVERHEAD, "text past the datagram");
        std::string cmd(reinterpret_cast<const char *>(data), strnlen(reinterpret_cast<const char *>(data), size));
        wlink_reply_matches(cmd.substr(0, cmd.find('\n')).c_str(), text);
    }
    for (int kind = WLINK_TRACE_FRAME; kind <= WLINK_TRACE_UPGRADE; kind++) {
        wlink_trace_describe((wlink_trace_kind)kind, size & 1, data, size, line, sizeof line);
        FUZZ_CHECK(strlen(line) < sizeof line, "unterminated");
    }
    wlink_package_info info;
    WLINK_INIT(info);
    wlink_status st = wlink_package_check(data, size, &info);
    FUZZ_CHECK((st == WLINK_OK) == !info.refused && info.reason[sizeof info.reason - 1] == '\0', "verdict");
    FUZZ_CHECK(st != WLINK_OK || info.image_len + info.app_len + 84 == size, "parts do not add up");
    char why[160];
    wlink_image_check(data, size, why, sizeof why);
    std::string value(reinterpret_cast<const char *>(data), std::min(size, (size_t)200));
    char cmd[WLINK_CMD_MAX + 1];
    if (wlink_setting_command((wlink_setting)(size % WLINK_SETTING_COUNT), value.c_str(), size & 2, cmd, sizeof cmd,
                              why, sizeof why) == WLINK_OK)
        FUZZ_CHECK(strlen(cmd) <= WLINK_CMD_MAX && !strpbrk(cmd, "\r\n"), "a command the module cannot take");
    return 0;
}
