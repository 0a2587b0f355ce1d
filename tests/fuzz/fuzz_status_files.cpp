// The driver's status files. The first byte picks the reader (stainfo, the WPS status
// or the PER texts of wscinfo, stacountinfo); the rest is the file the driver wrote.
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
    switch (data[0] % 4) {
    case 0: {
        fuzz_platform().write_file(WIFI_STAINFO_PATH, file);
        wifi_client_table t;
        memset(&t, 0, sizeof(t));
        FUZZ_CHECK(wifi_refresh_client_info(&t) == 0, "stainfo not read");
        FUZZ_CHECK(t.iNum >= 0 && t.iNum <= WIFI_CLIENT_SLOTS, "count %d", (int)t.iNum);
        FUZZ_CHECK(!fuzz_platform().exists(WIFI_STAINFO_PATH), "stainfo left in place");
        for (const wifi_client_info &c : t.info) {
            FUZZ_CHECK(terminated(c.szMacStr, sizeof(c.szMacStr)), "address not terminated");
            for (const char *p = c.szMacStr; *p; p++) FUZZ_CHECK(!(*p >= 'A' && *p <= 'Z'), "upper case kept");
            FUZZ_CHECK(c.iBw40 == 0 || c.iBw40 == 1, "bandwidth flag %d", (int)c.iBw40);
        }
        break;
    }
    case 1: {
        fuzz_platform().write_file(WIFI_WSCINFO_PATH, file);
        int32_t status = -12345;
        FUZZ_CHECK(wifi_get_wsc_status(&status) == 0, "wscinfo not read");
        FUZZ_CHECK(status == -12345 || file.find("WscStatus=0x") != std::string::npos, "status %d from nothing",
                   (int)status);
        break;
    }
    case 2: {
        fuzz_platform().write_file(WIFI_WSCINFO_PATH, file);
        char per[2 * WIFI_PER_TEXT_SIZE];
        memset(per, 0, sizeof(per));
        FUZZ_CHECK(wifi_get_tx_rx_per(per) == 0, "wscinfo not read");
        FUZZ_CHECK(terminated(per, WIFI_PER_TEXT_SIZE) && terminated(per + WIFI_PER_TEXT_SIZE, WIFI_PER_TEXT_SIZE),
                   "PER text not terminated");
        break;
    }
    default: {
        fuzz_platform().write_file(WIFI_STACOUNTINFO_PATH, file);
        wifi_retry_table t;
        memset(&t, 0, sizeof(t));
        FUZZ_CHECK(wifi_get_sta_retryrate(&t) == 0, "stacountinfo not read");
        FUZZ_CHECK(t.iNum >= 0 && t.iNum <= WIFI_CLIENT_SLOTS, "count %d", (int)t.iNum);
        for (int i = 0; i < WIFI_CLIENT_SLOTS; i++) {
            FUZZ_CHECK(terminated(t.szMacStr[i], WIFI_MAC_STR_SIZE), "address %d not terminated", i);
            size_t n = strnlen(t.szRetryRate[i], WIFI_MAC_STR_SIZE);
            FUZZ_CHECK(n < WIFI_MAC_STR_SIZE && (i < t.iNum) == (n > 0 && t.szRetryRate[i][n - 1] == '%'),
                       "rate %d: %.32s", i, t.szRetryRate[i]);
        }
        break;
    }
    }
    return 0;
}
