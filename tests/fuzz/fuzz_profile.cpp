// The wireless profile store. The input is cut at its first two NUL bytes into the
// profile's content, a key and a value; the key is written with the value and read back.
#include "fuzz_support.h"

extern "C" int LLVMFuzzerInitialize(int *, char ***) {
    fuzz_platform();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    std::vector<char> key =
        fuzz_rewrite_case(data, size, WIFI_PROFILE_PATH, WIFI_PROFILE_TMP_PATH, wifi_set_profile_value);
    // Reads stay inside buffers of every size and end in a NUL.
    for (int32_t n : {128, 5, 1}) {
        std::vector<char> out((size_t)n, '\0');
        wifi_get_profile_value(key.data(), out.data(), n);
        FUZZ_CHECK(memchr(out.data(), 0, out.size()) != nullptr, "read into %d bytes not terminated", (int)n);
    }
    return 0;
}
