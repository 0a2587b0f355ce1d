// UDP link datagrams. The input is a command datagram as the receive buffer holds it
// (zero-filled 256 bytes, the input cut at 256) and, as text, a reply to be built.
#include "fuzz_support.h"

namespace {

constexpr size_t BUF = WIFI_UDP_BUF_SIZE;

uint8_t sum8(const uint8_t *p, size_t n) {
    unsigned s = 0;
    for (size_t i = 0; i < n; i++) s += p[i];
    return (uint8_t)s;
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int *, char ***) {
    fuzz_platform();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    // Heap buffers of the link's sizes, so that a step past them is caught.
    std::vector<uint8_t> dgram(BUF, 0), out(BUF, 0xA5);
    std::vector<char> payload(BUF, 0x5A);
    memcpy(dgram.data(), data, std::min(size, BUF));
    const uint8_t *d = dgram.data();
    int32_t seq = 0;
    int ret = wifi_udp_parse_cmd(d, &seq, payload.data());
    // Taken only with the command magic, at most 127 bytes and a matching checksum.
    unsigned len = d[9];
    bool good = memcmp(d, "\x55\x44\x33\x22", 4) == 0 && len <= 127 && sum8(d + 10, len) == d[10 + len];
    FUZZ_CHECK(ret == (good ? 0 : -1), "parse gave %d", ret);
    if (good) FUZZ_CHECK(memcmp(payload.data(), d + 10, len) == 0 && payload[len] == 0, "payload differs");

    // The reply carries the text (up to 245 bytes) after its header, and its checksum.
    std::vector<char> text = fuzz_cstr(std::string(data, data + std::min(size, (size_t)WIFI_REPLY_BUF_SIZE - 1)));
    size_t carried = std::min(strlen(text.data()), (size_t)WIFI_UDP_MAX_REPLY);
    uint8_t seq_byte = size > 0 ? data[0] : 0;
    const uint8_t *o = out.data();
    size_t got = wifi_udp_build_reply((int8_t)seq_byte, text.data(), out.data());
    FUZZ_CHECK(got == 11 + carried && o[9] == carried, "%zu bytes for %zu of text", got, carried);
    FUZZ_CHECK(memcmp(o, "\x66\x77\x78\x79seq", 7) == 0 && o[7] == seq_byte && o[8] == ',', "reply header");
    FUZZ_CHECK(memcmp(o + 10, text.data(), carried) == 0 && o[10 + carried] == sum8(o + 10, carried), "reply text");
    return 0;
}
