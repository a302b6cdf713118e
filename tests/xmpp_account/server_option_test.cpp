// The --server forms that the publisher and the test contact share.
#include <gtest/gtest.h>

#include <string>
#include <string_view>

#include "xmpp_account/account_options.h"

namespace {

TEST(account_options, the_server_option_takes_names_ipv4_and_bracketed_ipv6_with_or_without_a_port) {
  auto parsed = [](std::string_view text) {
    auto result = xmpp_account::parse_server(text);
    if (const auto* problem = std::get_if<std::string>(&result)) return *problem;
    const auto& server = std::get<xmpp_account::server_address>(result);
    return server.host + " " + std::to_string(server.port);
  };
  EXPECT_EQ(parsed("xmpp.example"), "xmpp.example 0");
  EXPECT_EQ(parsed("127.0.0.1:5223"), "127.0.0.1 5223");
  EXPECT_EQ(parsed("[::1]:5222"), "::1 5222");
  EXPECT_EQ(parsed("[fe80::1%eth0]"), "fe80::1%eth0 0");
  EXPECT_EQ(parsed("::1"), "::1 0") << "two colons without brackets: an address, no port";
  EXPECT_EQ(parsed("h:65535"), "h 65535");
  // Each refusal names the option; the command-line test sees the words.
  for (const char* bad : {"h:", "h:0", "h:65536", "h:5x", "h:000001", "[::1]:", "[::1", "[::1]x", ":5222", "[]"}) {
    EXPECT_TRUE(parsed(bad).starts_with("--server: ")) << bad << " gave " << parsed(bad);
  }
}

}  // namespace
