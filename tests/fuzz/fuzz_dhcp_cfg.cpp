// The DHCP configuration editor. The input is cut at its first two NUL bytes into the
// configuration's content, a key and a value, and the key is written with the value.
#include "fuzz_support.h"

extern "C" int LLVMFuzzerInitialize(int *, char ***) {
    fuzz_platform();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    fuzz_platform().begin_run();
    std::vector<std::string> in = fuzz_split3(data, size);
    const std::string &content = in[0];
    fuzz_write(WIFI_DHCP_CFG_PATH, content);
    std::vector<char> key = fuzz_cstr(in[1]), value = fuzz_cstr(in[2]);
    int ret = wifi_modify_dhcp_cfg(key.data(), value.data());

    fuzz_check_rewrite(WIFI_DHCP_CFG_PATH, WIFI_DHCP_CFG_TMP_PATH, content, ret);
    return 0;
}
