// UDP link datagrams. The input is a command datagram as received (cut at 256), plain
// and in the authenticated form, and, as text, a reply to be built. A taken command
// must be exactly what the datagram's own bytes encode, and an authenticated one taken
// only when its code holds; a reply must carry its text and checksum.
#include <sodium.h>

#include "fuzz_support.h"
#include "wifi_udp_auth.h"

extern "C" int LLVMFuzzerInitialize(int *, char ***) { return 0; }

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    // Heap buffers of the link's sizes, so that a step past them is caught.
    const size_t n = std::min(size, (size_t)WIFI_UDP_BUF_SIZE);
    std::vector<uint8_t> dgram(WIFI_UDP_BUF_SIZE, 0), out(WIFI_UDP_BUF_SIZE, 0xA5);
    std::vector<char> payload(WIFI_UDP_BUF_SIZE, 0x5A);
    memcpy(dgram.data(), data, n);
    int32_t seq = 1000;
    int ret = wifi_udp_parse_cmd(dgram.data(), n, &seq, payload.data());
    FUZZ_CHECK(ret == 0 || ret == -1, "parse gave %d", ret);
    if (ret == 0) {
        // The command, built again as a host builds it, is the datagram's head.
        size_t len = data[9];
        FUZZ_CHECK(len <= 127 && payload[len] == 0 && seq == (int8_t)data[7], "length %zu, seq %d", len, (int)seq);
        std::vector<uint8_t> again(data, data + 9);
        again.push_back((uint8_t)len);
        again.insert(again.end(), payload.begin(), payload.begin() + (long)len);
        again.push_back(wifi_udp_checksum(again.data() + 10, len));
        FUZZ_CHECK(n >= again.size() && memcmp(again.data(), data, again.size()) == 0, "payload differs");
    }

    // Under a key (counters fresh): taken exactly when the form, the length and the code hold.
    static const uint8_t key[WIFI_UDP_KEY_SIZE] = {1, 2, 3};
    wifi_udp_auth_set_key(key);
    uint64_t counter = 0;
    const wifi_udp_auth_verdict v = wifi_udp_auth_open(dgram.data(), n, &seq, &counter, payload.data());
    uint8_t code[crypto_auth_hmacsha256_BYTES];
    const size_t alen = n >= 14 ? data[13] : 0;
    const bool form = n >= 30 && memcmp(data, "\x55\x44\x33\x23", 4) == 0 && alen <= 127 && n == 30 + alen;
    if (form) crypto_auth_hmacsha256(code, data, 14 + alen, key);
    uint64_t stated = 0;
    for (int i = 4; i < 12 && n >= 12; i++) stated = stated << 8 | data[i];
    const bool valid = form && memcmp(code, data + 14 + alen, 16) == 0 && stated > 0;
    FUZZ_CHECK((v == WIFI_UDP_AUTH_OK) == valid, "verdict %d", (int)v);
    if (valid)
        FUZZ_CHECK(counter == stated && memcmp(payload.data(), data + 14, alen) == 0 && payload[alen] == 0, "text");
    wifi_udp_auth_set_key(nullptr);

    // The reply carries the text (up to 245 bytes) after its header, and its checksum.
    std::vector<char> text = fuzz_cstr(std::string(data, data + std::min(size, (size_t)WIFI_REPLY_BUF_SIZE - 1)));
    size_t carried = std::min(strlen(text.data()), (size_t)WIFI_UDP_MAX_REPLY);
    const uint8_t *o = out.data();
    size_t got = wifi_udp_build_reply(-1, text.data(), out.data());
    FUZZ_CHECK(got == 11 + carried && o[9] == carried && o[7] == 0xFF, "%zu bytes for %zu of text", got, carried);
    FUZZ_CHECK(memcmp(o + 10, text.data(), carried) == 0 && o[10 + carried] == wifi_udp_checksum(o + 10, carried),
               "reply text");
    return 0;
}
