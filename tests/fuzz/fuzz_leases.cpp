// The DHCP server's lease file: the input is the file. The address of the first
// record's station is the first record's address.
#include <arpa/inet.h>

#include "fuzz_support.h"
#include "wifi_station.h"

extern "C" int LLVMFuzzerInitialize(int *, char ***) {
    fuzz_platform();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    fuzz_begin_run();
    fuzz_platform().write_file(WIFI_LEASES_PATH, std::string((const char *)data, size));
    const uint8_t *d = size >= 24 ? data : (const uint8_t *)"\0\0\0\0\0\0\0\0\0\0\0\0\0\0\0\0\0\0\0";
    char mac[32], ip[32], want[32] = "";
    snprintf(mac, sizeof(mac), "%02x:%02x:%02x:%02x:%02x:%02x", d[0], d[1], d[2], d[3], d[4], d[5]);
    if (size >= 24) inet_ntop(AF_INET, data + 16, want, sizeof(want));
    FUZZ_CHECK(wifi_lease_find_ip(mac, ip, sizeof(ip)) == 0 && strcmp(ip, want) == 0, "%s: %s, not %s", mac, ip, want);
    return 0;
}
