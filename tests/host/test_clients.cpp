// The UDP client against a fake module.
#include <gtest/gtest.h>

#include <optional>

#include "fake_module.h"

using wlinktest::Bytes;
using wlinktest::udp_reply;
using Reply = std::optional<std::string>;
using Datagrams = std::vector<Bytes>;

TEST(UdpClient, RepliesRetriesAndTimeout) {
  const struct { const char* what; wlinktest::FakeUdpModule::Responder respond; int retries; Reply want; size_t sent; }
      cases[] = {
          {"wrong sequence and checksum ignored, then the right reply",
           [](const std::string&, uint8_t seq, int) {
             Datagrams d = {udp_reply(seq + 1, "+ERR"), udp_reply(seq, "+ERR"), udp_reply(seq, "+OK=Home")};
             d[1].back() ^= 0xff;
             return d;
           },
           0, "+OK=Home", 1},
          {"first try dropped, the same datagram again",
           [](const std::string&, uint8_t seq, int n) { return Datagrams(n, udp_reply(seq, "+OK")); }, 2, "+OK", 2},
          {"silence: a timeout after every try", [](const std::string&, uint8_t, int) { return Datagrams{}; }, 1,
           std::nullopt, 2},
      };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    wlinktest::FakeUdpModule m(c.respond);
    wlink::UdpClient client;
    std::string err;
    ASSERT_TRUE(client.open("127.0.0.1", m.port(), &err)) << err;
    EXPECT_EQ(client.command("AT+ENCFG", 200, c.retries, &err), c.want) << err;
    EXPECT_EQ(err.empty(), c.want.has_value());
    EXPECT_EQ(m.commands(), std::vector<std::string>(c.sent, "AT+ENCFG"));
    for (const Bytes& d : m.raw()) EXPECT_EQ(d, m.raw()[0]);
  }
}
