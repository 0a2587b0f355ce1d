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
    if (memchr(w, 0, WIFI_SCAN_WORD) == nullptr || *w == '\0') return false;
    for (; *w; w++)
        if (isspace((unsigned char)*w)) return false;
    return true;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    fuzz_begin_run();
    fuzz_platform().write_file("/" WIFI_SCAN_FILE, std::string((const char *)data, size));
    char reply[WIFI_REPLY_BUF_SIZE] = {0};
    FUZZ_CHECK(wifi_msg_proc_distribute("AT+SCAN", reply, sizeof(reply)) == 0, "scan failed: %s", reply);
    const wifi_scan_table &t = wifi_scan_table_get();
    FUZZ_CHECK(t.iNum >= 0 && t.iNum <= WIFI_SCAN_ENTRIES, "count %d", (int)t.iNum);
    for (int i = 0; i < t.iNum; i++) {
        const wifi_scan_entry &e = t.entry[i];
        FUZZ_CHECK(e.iSignal >= WIFI_SCAN_MIN_SIGNAL, "weak network %d stored", i);
        FUZZ_CHECK(one_word(e.szSsid) && one_word(e.szBssid) && one_word(e.szSecurity), "entry %d: not words", i);
    }
    return 0;
}
