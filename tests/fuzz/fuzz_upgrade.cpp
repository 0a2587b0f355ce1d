// The upgrade exchange and the package checks. The input is what a host sends on the
// upgrade connection: the 68-byte request header, then the package. The module's
// token is empty, so a header whose token starts with a zero byte is the right one.
// The module must answer exactly as the header and the checks decide, and touch no
// partition for a package it refuses. Bit 0 of the token's second byte gives the
// module an upgrade key, so that the signature trailer is judged both ways.
#include <sys/socket.h>

#include "fuzz_support.h"
#include "wifi_up_proc.h"
#include "wifi_up_server.h"
#include "wifi_up_sign.h"

extern "C" int LLVMFuzzerInitialize(int *, char ***) {
    FakePlatform &p = fuzz_platform();
    std::filesystem::create_directories(p.path("/tmp"));
    std::filesystem::create_directories(p.path("/config"));
    p.flash = true;
    p.write_file("/dev/mtd2", std::string(0x10000, 'k'));
    p.write_file("/dev/mtd5", std::string(40000, '\xFF'));  // a part past 40000 bytes is refused
    p.write_file("/dev/mtd6", std::string(40000, '\xFF'));
    return 0;
}

static std::string msg(uint32_t type, uint32_t value) {
    uint8_t m[8] = {(uint8_t)(type >> 24),  (uint8_t)(type >> 16),  (uint8_t)(type >> 8),  (uint8_t)type,
                    (uint8_t)(value >> 24), (uint8_t)(value >> 16), (uint8_t)(value >> 8), (uint8_t)value};
    return std::string((const char *)m, 8);
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    if (size > 65536) return 0;  // all of it must fit in the socket's buffer
    fuzz_begin_run();
    const bool keyed = size > 5 && (data[5] & 1) != 0;
    if (keyed)
        fuzz_platform().write_file(WIFI_UPGRADE_KEYS_FILE, std::string(64, 'a') + "\n");
    else
        unlink(fuzz_platform().path(WIFI_UPGRADE_KEYS_FILE).c_str());
    int sv[2];
    FUZZ_CHECK(socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, sv) == 0, "socketpair");
    FUZZ_CHECK(write(sv[1], data, size) == (ssize_t)size, "write");
    shutdown(sv[1], SHUT_WR);
    int ret = netClientSoftUpgrade(sv[0]);
    close(sv[0]);
    std::string sent;
    char buf[4096];
    for (ssize_t n; (n = read(sv[1], buf, sizeof(buf))) > 0;) sent.append(buf, (size_t)n);
    close(sv[1]);

    uint8_t head[68] = {0};
    memcpy(head, data, std::min(size, sizeof(head)));
    const uint32_t len = ((uint32_t)head[0] << 24) | ((uint32_t)head[1] << 16) | ((uint32_t)head[2] << 8) | head[3];
    const size_t rest = size > 68 ? size - 68 : 0;
    uint32_t body = 0, image = 0, app = 0;
    const bool taken = len >= 1 && len <= rest && wifi_up_sign_check(data + 68, len, &body) == 0 &&
                       sys_upg_check_package(data + 68, body, &image, &app) == 0;
    FUZZ_CHECK(!taken || !keyed, "a package taken without a signature by the module's key");
    FUZZ_CHECK(ret == (taken && head[4] == 0 ? 0 : -1), "result %d", ret);
    if (size < 68 || len < 1 || len > 5242880) {  // no whole request: closed without a word
        FUZZ_CHECK(sent.empty(), "%zu bytes sent for length %u", sent.size(), len);
    } else if (head[4] != 0) {
        FUZZ_CHECK(sent == msg(0, 1), "token mismatch answered with %zu bytes", sent.size());
    } else {
        FUZZ_CHECK(sent.size() >= 16 && sent.size() % 8 == 0 && sent.compare(0, 8, msg(0, 3)) == 0 &&
                       sent.compare(sent.size() - 8, 8, msg(0, taken ? 0 : (uint32_t)-1)) == 0,
                   "answers of %zu bytes", sent.size());
        for (size_t i = 8; i + 8 < sent.size(); i += 8)
            FUZZ_CHECK(sent.compare(i, 8, msg(4, 10)) == 0, "not a beat at %zu", i);
    }
    FUZZ_CHECK(taken || fuzz_platform().ops.empty(), "a refused package reached the flash");
    return 0;
}
