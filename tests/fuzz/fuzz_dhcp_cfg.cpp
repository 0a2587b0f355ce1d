// The DHCP configuration editor. The input is cut at its first two NUL bytes into the
// configuration's content, a key and a value, and the key is written with the value.
#include "fuzz_support.h"

extern "C" int LLVMFuzzerInitialize(int *, char ***) {
    fuzz_platform();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    fuzz_rewrite_case(data, size, WIFI_DHCP_CFG_PATH, WIFI_DHCP_CFG_TMP_PATH, wifi_modify_dhcp_cfg);
    return 0;
}
