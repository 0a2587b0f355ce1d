// UDP link datagrams. The input is a command datagram as the receive buffer holds it
// (zero-filled 256 bytes, the input cut at 256) and, as text, a reply to be built.
#include "fuzz_support.h"

namespace {

constexpr size_t BUF = WIFI_UDP_BUF_SIZE, HDR = 10, MAX_PAYLOAD = 127;

uint8_t sum8(const uint8_t *p, size_t n) {
    unsigned s = 0;
    for (size_t i = 0; i < n; i++) s += p[i];
    return (uint8_t)s;
}

void check_parse(const uint8_t *data, size_t size) {
    // Heap buffers of the link's exact sizes, so that a read or write past them is caught.
    auto *dgram = static_cast<uint8_t *>(calloc(BUF, 1));
    auto *payload = static_cast<char *>(malloc(BUF));
    memset(payload, 0x5A, BUF);
    memcpy(dgram, data, size < BUF ? size : BUF);

    const int32_t unset = 0x12345678;
    int32_t seq = unset;
    int ret = wifi_udp_parse_cmd(dgram, &seq, payload);

    static const uint8_t magic[4] = {0x55, 0x44, 0x33, 0x22};
    bool magic_ok = memcmp(dgram, magic, 4) == 0;
    unsigned len = dgram[9];
    bool ok = magic_ok && len <= MAX_PAYLOAD && sum8(dgram + HDR, len) == dgram[HDR + len];

    FUZZ_CHECK(ret == (ok ? 0 : -1), "parse returned %d, expected %d", ret, ok ? 0 : -1);
    if (magic_ok) {
        FUZZ_CHECK(seq == (int8_t)dgram[7], "sequence %d from byte 0x%02x", (int)seq, dgram[7]);
    } else {
        FUZZ_CHECK(seq == unset, "sequence set for a datagram with a wrong magic");
    }
    if (ok) {
        FUZZ_CHECK(memcmp(payload, dgram + HDR, len) == 0, "payload differs from the datagram");
        for (size_t i = len; i < BUF; i++) FUZZ_CHECK(payload[i] == 0, "payload byte %zu not cleared", i);
        FUZZ_CHECK(strlen(payload) <= MAX_PAYLOAD, "payload of %zu characters", strlen(payload));
    }
    free(payload);
    free(dgram);
}

void check_reply(const uint8_t *data, size_t size) {
    // The reply buffer's text: at most 255 characters and its NUL.
    size_t n = size < WIFI_REPLY_BUF_SIZE - 1 ? size : WIFI_REPLY_BUF_SIZE - 1;
    auto *text = static_cast<char *>(malloc(n + 1));
    memcpy(text, data, n);
    text[n] = '\0';
    size_t tlen = strlen(text);
    size_t carried = tlen < (size_t)WIFI_UDP_MAX_REPLY ? tlen : (size_t)WIFI_UDP_MAX_REPLY;
    int32_t seq = size > 0 ? (int8_t)data[0] : 0;

    auto *out = static_cast<uint8_t *>(malloc(BUF));
    memset(out, 0xA5, BUF);
    size_t got = wifi_udp_build_reply(seq, text, out);

    FUZZ_CHECK(got == 11 + carried, "datagram of %zu bytes for a %zu-character reply", got, tlen);
    static const uint8_t head[7] = {0x66, 0x77, 0x78, 0x79, 's', 'e', 'q'};
    FUZZ_CHECK(memcmp(out, head, sizeof(head)) == 0 && out[8] == ',', "reply header");
    FUZZ_CHECK(out[7] == (uint8_t)seq, "sequence byte 0x%02x for %d", out[7], (int)seq);
    FUZZ_CHECK(out[9] == (uint8_t)carried, "length byte %u for %zu", out[9], carried);
    FUZZ_CHECK(memcmp(out + HDR, text, carried) == 0, "reply text");
    FUZZ_CHECK(out[HDR + carried] == sum8(out + HDR, carried), "reply checksum");
    for (size_t i = got; i < BUF; i++) FUZZ_CHECK(out[i] == 0, "byte %zu after the datagram not cleared", i);
    free(out);
    free(text);
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int *, char ***) {
    fuzz_platform();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    fuzz_platform().begin_run();
    check_parse(data, size);
    check_reply(data, size);
    return 0;
}
