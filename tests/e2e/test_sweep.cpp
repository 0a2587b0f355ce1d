// Every command of the table on both links with a bad parameter of each kind: the
// module answers each one, stays up, asks its system for nothing but the operations
// its lines may carry, and its files keep their lines.
#include <regex>

#include "sim_module.h"
#include "wifi_msg_proc.h"
#include "wifi_platform.h"

namespace e2e {
namespace {

class Sweep : public SimModule {
    int time_scale() const override { return 10; }  // reboots and survey waits, faster
};

// The first word of every line: the keys of a profile or a DHCP configuration.
Lines keys(const std::string &text) {
    Lines out;
    for (const std::string &l : split_lines(text)) out.push_back(l.substr(0, l.find_first_of("= \t")));
    return out;
}

// An event of the interfaces or the driver, or an operation the module's system would
// run: a known one, with a value only where it takes one, and one its line may carry.
bool allowed(const std::string &e) {
    char line[WIFI_OP_LINE_SIZE];
    for (int i = 0; i < WIFI_OP_COUNT; i++) {
        const wifi_op op = static_cast<wifi_op>(i);
        const std::string head = std::string("op ") + wifi_op_name(op) + " ",
                          value = e.substr(std::min(e.size(), head.size()));
        if (e + " " == head ||
            ((op == WIFI_OP_VLAN_SET || op == WIFI_OP_ROOT_PASSWORD) && e.compare(0, head.size(), head) == 0))
            return op != WIFI_OP_FLASH_COPY && wifi_op_cmdline(op, value.c_str(), -1, line, sizeof(line)) == 0;
    }
    return std::regex_match(e, std::regex("(ifaddr|ifflags|iwpriv) .*"));
}

TEST_F(Sweep, EveryCommandWithEveryKindOfBadParameter) {
    const std::string profile_keys = profile(), dhcp_keys = dhcp_conf();
    ASSERT_EQ(serial("AT+UIP=127.0.0.1"), "+OK");
    size_t readies = 1;
    for (bool over_udp : {false, true}) {
        for (int32_t i = 0; i < g_wifi_msg_cmd_num; ++i) {
            std::string name = g_wifi_msg_cmd_table[i].cmd, with = name.back() == '=' ? name : name + "=";
            if (name.back() == '=') name.pop_back();
            for (const std::string &cmd :
                 {name, with, with + std::string(127 - with.size(), 'A'), with + "\x01\x7f\xfe\r\n",
                  with + "$(reboot);`reboot`|reboot&&reboot>x#'\"\\"}) {
                SCOPED_TRACE((over_udp ? "udp " : "serial ") + cmd);
                const size_t mark = event_mark();
                const std::string reply = over_udp ? udp(cmd) : serial(cmd);
                EXPECT_TRUE(reply == "+ERR" || reply.compare(0, 3, "+OK") == 0) << reply;
                for (const std::string &e : events_since(mark)) EXPECT_TRUE(allowed(e)) << e;
                if (name == "AT+REBOOT" && reply == "+OK") {  // the module comes back and forgets the peer
                    ASSERT_TRUE(wait_ready(++readies));
                    ASSERT_EQ(serial("AT+UIP=127.0.0.1"), "+OK");
                }
                ASSERT_TRUE(pid_ > 0 && !wait_exit(0)) << "the module went down";
            }
        }
    }
    EXPECT_EQ(keys(profile()), keys(profile_keys));
    EXPECT_EQ(keys(dhcp_conf()), keys(dhcp_keys));
    EXPECT_EQ(serial("AT+") + udp("AT+"), "+OK+OK");
}

}  // namespace
}  // namespace e2e
