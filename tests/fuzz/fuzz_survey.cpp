// The survey listing: the input is what the driver listed into wifi_scan.txt, and
// "AT+SCAN" stores the strong networks from it.
#include <ctype.h>

#include "fuzz_support.h"
#include "wifi_survey.h"

extern "C" int LLVMFuzzerInitialize(int *, char ***) {
    fuzz_platform();
    return 0;
}

static bool one_word(const char *w) {
    size_t n = strnlen(w, WIFI_SCAN_WORD);
    return n > 0 && n < WIFI_SCAN_WORD && std::none_of(w, w + n, [](char c) { return isspace((unsigned char)c); });
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    fuzz_begin_run();
    fuzz_platform().write_file("/" WIFI_SCAN_FILE, std::string((const char *)data, size));
    char reply[WIFI_REPLY_BUF_SIZE] = {0};
    FUZZ_CHECK(wifi_msg_proc_distribute("AT+SCAN", reply, sizeof(reply)) == 0, "scan failed: %s", reply);
    const wifi_scan_table &t = wifi_scan_table_get();
    FUZZ_CHECK(t.iNum >= 0 && t.iNum <= WIFI_SCAN_ENTRIES, "count %d", (int)t.iNum);
    for (const wifi_scan_entry &e : t.entry)  // stored ones strong, every one of words or empty
        FUZZ_CHECK(
            (&e - t.entry >= t.iNum && e.iSignal == 0) || (e.iSignal >= WIFI_SCAN_MIN_SIGNAL && one_word(e.szSsid) &&
                                                           one_word(e.szBssid) && one_word(e.szSecurity)),
            "entry %d", (int)(&e - t.entry));
    return 0;
}
