// The command dispatcher and every handler behind it. The input is up to eight
// commands separated by NUL bytes (the first is the whole input when it holds none),
// each cut to 127 characters as the links' command buffer cuts it, run one after
// the other on a module freshly seeded with the factory profile and DHCP configuration.
#include <string>

#include "fuzz_support.h"

namespace {

constexpr int MAX_COMMANDS = 8;
constexpr size_t MAX_INPUT = 2048;

std::string g_factory_profile, g_factory_dhcp;
size_t g_profile_lines, g_dhcp_lines;

void check_files(const char *cmd) {
    std::string text;
    FUZZ_CHECK(fuzz_read_file(WIFI_PROFILE_PATH, &text), "profile gone after \"%s\"", cmd);
    FUZZ_CHECK(fuzz_count_lines(text) == g_profile_lines, "profile has %zu lines, not %zu, after \"%s\"",
               fuzz_count_lines(text), g_profile_lines, cmd);
    FUZZ_CHECK(fuzz_read_file(WIFI_DHCP_CFG_PATH, &text), "DHCP configuration gone after \"%s\"", cmd);
    FUZZ_CHECK(fuzz_count_lines(text) == g_dhcp_lines, "DHCP configuration has %zu lines, not %zu, after \"%s\"",
               fuzz_count_lines(text), g_dhcp_lines, cmd);
    FUZZ_CHECK(!fuzz_exists(WIFI_PROFILE_TMP_PATH), "temporary profile left after \"%s\"", cmd);
    FUZZ_CHECK(!fuzz_exists(WIFI_DHCP_CFG_TMP_PATH), "temporary DHCP configuration left after \"%s\"", cmd);
}

void run_command(const std::string &text) {
    FuzzCStr cmd(text.substr(0, WIFI_CMD_BUF_SIZE - 1));
    // The link's zero-filled reply buffer, on the heap at its exact size.
    auto *reply = static_cast<char *>(calloc(WIFI_REPLY_BUF_SIZE, 1));
    int ret = wifi_msg_proc_distribute(cmd.p, reply, WIFI_REPLY_BUF_SIZE);

    FUZZ_CHECK(memchr(reply, 0, WIFI_REPLY_BUF_SIZE) != nullptr, "reply to \"%s\" not terminated", cmd.p);
    if (ret == 0) {
        FUZZ_CHECK(strncmp(reply, "+OK", 3) == 0, "reply \"%s\" to \"%s\"", reply, cmd.p);
    } else {
        FUZZ_CHECK(strcmp(reply, "+ERR") == 0, "reply \"%s\" to \"%s\" that failed with %d", reply, cmd.p, ret);
        for (size_t i = 5; i < WIFI_REPLY_BUF_SIZE; i++)
            FUZZ_CHECK(reply[i] == 0, "byte %zu after \"+ERR\" not cleared (\"%s\")", i, cmd.p);
    }
    FUZZ_CHECK(g_cfg_pending.wifi_changed <= 1 && g_cfg_pending.dhcp_changed <= 1 &&
                   g_cfg_pending.lan_ip_changed <= 1,
               "pending flags out of range after \"%s\"", cmd.p);
    FUZZ_CHECK(memchr(szUdpSrcIP, 0, sizeof(szUdpSrcIP)) != nullptr, "UDP peer address not terminated");
    check_files(cmd.p);
    free(reply);
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int *, char ***) {
    FuzzPlatform &plat = fuzz_platform();
    g_factory_profile = factory_profile_text();
    g_factory_dhcp = factory_dhcp_text();
    g_profile_lines = fuzz_count_lines(g_factory_profile);
    g_dhcp_lines = fuzz_count_lines(g_factory_dhcp);
    fuzz_write_file(WIFI_FACTORY_PROFILE_PATH, g_factory_profile);
    // What the module's tools print, so that their handlers get past the first step.
    plat.fake.shell_output["switch reg read 80"] = "switch reg read 80 value=36\n";
    plat.fake.shell_output["reboot"] = "";
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    if (g_profile_lines == 0) LLVMFuzzerInitialize(nullptr, nullptr);
    if (size > MAX_INPUT) return -1;
    fuzz_platform().begin_run();
    fuzz_write_file(WIFI_PROFILE_PATH, g_factory_profile);
    fuzz_write_file(WIFI_DHCP_CFG_PATH, g_factory_dhcp);

    const char *p = reinterpret_cast<const char *>(data);
    const char *end = p + size;
    for (int n = 0; n < MAX_COMMANDS; n++) {
        const char *nul = static_cast<const char *>(memchr(p, 0, (size_t)(end - p)));
        const char *stop = nul != nullptr ? nul : end;
        run_command(std::string(p, stop));
        if (nul == nullptr) break;
        p = nul + 1;
    }
    return 0;
}
