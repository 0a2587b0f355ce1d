// The command dispatcher and every handler behind it. The input is up to eight commands
// separated by NUL bytes, each cut to 127 characters as the links cut it, run one after
// the other on a module freshly seeded with the factory profile and DHCP configuration.
#include "fuzz_support.h"

namespace {

std::string g_profile, g_dhcp;

void run_command(const std::string &text) {
    std::vector<char> cmd = fuzz_cstr(text.substr(0, WIFI_CMD_BUF_SIZE - 1));
    std::vector<char> reply(WIFI_REPLY_BUF_SIZE, '\0');  // the link's zero-filled buffer
    const char *c = cmd.data(), *r = reply.data();
    int ret = wifi_msg_proc_distribute(c, reply.data(), WIFI_REPLY_BUF_SIZE);

    FUZZ_CHECK(memchr(r, 0, reply.size()) != nullptr, "reply to \"%s\" not terminated", c);
    if (ret == 0) {
        FUZZ_CHECK(strncmp(r, "+OK", 3) == 0, "reply \"%s\" to \"%s\"", r, c);
    } else {
        FUZZ_CHECK(strcmp(r, "+ERR") == 0 && std::all_of(reply.begin() + 4, reply.end(), [](char b) { return !b; }),
                   "reply \"%s\" to \"%s\", which failed with %d, is not \"+ERR\" and zeros", r, c, ret);
    }
    FUZZ_CHECK(fuzz_lines(fuzz_platform().read_file(WIFI_PROFILE_PATH)) == fuzz_lines(g_profile),
               "profile lines after \"%s\"", c);
    FUZZ_CHECK(fuzz_lines(fuzz_platform().read_file(WIFI_DHCP_CFG_PATH)) == fuzz_lines(g_dhcp),
               "DHCP lines after \"%s\"", c);
    FUZZ_CHECK(!fuzz_platform().exists(WIFI_PROFILE_TMP_PATH) && !fuzz_platform().exists(WIFI_DHCP_CFG_TMP_PATH),
               "temporary file left after \"%s\"", c);
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int *, char ***) {
    FakePlatform &plat = fuzz_platform();
    g_profile = factory_profile_text();
    g_dhcp = factory_dhcp_text();
    fuzz_platform().write_file(WIFI_FACTORY_PROFILE_PATH, g_profile);
    // What the module's tools print, so that their handlers get past the first step.
    plat.switch_output = "switch reg read 80 value=36\n";
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    if (size > 2048) return -1;
    fuzz_begin_run();
    fuzz_platform().write_file(WIFI_PROFILE_PATH, g_profile);
    fuzz_platform().write_file(WIFI_DHCP_CFG_PATH, g_dhcp);
    std::string in(reinterpret_cast<const char *>(data), size);
    size_t at = 0;
    for (int n = 0; n < 8; n++) {
        size_t nul = std::min(in.find('\0', at), in.size());
        run_command(in.substr(at, nul - at));
        if (nul == in.size()) break;
        at = nul + 1;
    }
    return 0;
}
