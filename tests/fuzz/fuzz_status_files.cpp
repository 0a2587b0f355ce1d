// The driver's status files. The first byte picks the file (stainfo, wscinfo,
// stacountinfo); the rest is what the driver wrote, and its readers read it.
#include "fuzz_support.h"
#include "wifi_status.h"

extern "C" int LLVMFuzzerInitialize(int *, char ***) {
    fuzz_platform();
    return 0;
}

static bool terminated(const char *text, size_t size) { return memchr(text, 0, size) != nullptr; }

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    if (size == 0) return 0;
    fuzz_begin_run();
    const std::string file((const char *)data + 1, size - 1);
    const char *path[] = {WIFI_STAINFO_PATH, WIFI_WSCINFO_PATH, WIFI_STACOUNTINFO_PATH};
    fuzz_platform().write_file(path[data[0] % 3], file);
    if (data[0] % 3 == 0) {
        wifi_client_table t = {};
        FUZZ_CHECK(wifi_refresh_client_info(&t) == 0 && !fuzz_platform().exists(WIFI_STAINFO_PATH), "stainfo");
        const std::string lines = "\n" + file;  // a long line is one line: no more stations than "Rate=" lines
        int closing = 0;
        for (size_t at = 0; (at = lines.find("\nRate=", at)) != std::string::npos; at++) closing++;
        FUZZ_CHECK(t.iNum >= 0 && t.iNum <= WIFI_CLIENT_SLOTS && t.iNum <= closing, "count %d", (int)t.iNum);
        for (const wifi_client_info &c : t.info)  // addresses in lower case
            FUZZ_CHECK(terminated(c.szMacStr, sizeof(c.szMacStr)) && c.iBw40 >= 0 && c.iBw40 <= 1 &&
                           strpbrk(c.szMacStr, "ABCDEFGHIJKLMNOPQRSTUVWXYZ") == nullptr,
                       "record %.32s", c.szMacStr);
    } else if (data[0] % 3 == 1) {
        int32_t status = -12345;
        char per[2 * WIFI_PER_TEXT_SIZE] = {0};
        FUZZ_CHECK(wifi_get_wsc_status(&status) == 0 && wifi_get_tx_rx_per(per) == 0, "wscinfo not read");
        FUZZ_CHECK(
            status == -12345 || (file.find("WscStatus=") != std::string::npos && file.find("=0x") != std::string::npos),
            "status %d", (int)status);
        FUZZ_CHECK(terminated(per, WIFI_PER_TEXT_SIZE) && terminated(per + WIFI_PER_TEXT_SIZE, WIFI_PER_TEXT_SIZE),
                   "PER text not terminated");
    } else {
        wifi_retry_table t = {};
        FUZZ_CHECK(wifi_get_sta_retryrate(&t) == 0, "stacountinfo not read");
        FUZZ_CHECK(t.iNum >= 0 && t.iNum <= WIFI_CLIENT_SLOTS, "count %d", (int)t.iNum);
        for (int i = 0; i < WIFI_CLIENT_SLOTS; i++) {
            size_t n = strnlen(t.szRetryRate[i], WIFI_MAC_STR_SIZE);
            FUZZ_CHECK(terminated(t.szMacStr[i], WIFI_MAC_STR_SIZE) && n < WIFI_MAC_STR_SIZE &&
                           (i < t.iNum) == (n > 0 && t.szRetryRate[i][n - 1] == '%'),
                       "slot %d: %.32s", i, t.szRetryRate[i]);
        }
    }
    return 0;
}
