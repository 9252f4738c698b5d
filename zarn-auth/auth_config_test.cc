#include "zarn-auth/auth_config.h"

#include <gtest/gtest.h>

namespace {

AuthSettings parsed(const std::string& text) {
  AuthSettings s;
  parse_auth_config(text, s);
  return s;
}

TEST(AuthConfig, KeysAndLimits) {
  AuthSettings s = parsed("auth_port 5555\nAUTH_LISTEN_ON 10.1.2.1\ncrypt_key routerkey\nping_client_time 5\nclient_timeout 10\n"
                          "connections_per_ip 3\nmysql_host localhost\n");
  EXPECT_EQ(s.auth_port, "5555");
  EXPECT_EQ(s.auth_listen_on, "10.1.2.1");
  EXPECT_EQ(s.crypt_key, "routerkey");
  EXPECT_EQ(s.connections_per_ip, 3);
  EXPECT_TRUE(client_timeout_valid(s));
  EXPECT_TRUE(ping_time_valid(s));

  for (auto [timeout, ok] : {std::pair{9, false}, {10, true}, {180, true}, {181, false}})
    EXPECT_EQ(client_timeout_valid(parsed("client_timeout " + std::to_string(timeout) + "\n")), ok) << timeout;
  EXPECT_FALSE(client_timeout_valid(parsed("")));
  EXPECT_FALSE(ping_time_valid(parsed("ping_client_time 4\n")));
  EXPECT_FALSE(ping_time_valid(parsed("")));
  EXPECT_FALSE(parsed("").auth_listen_on);
}

}  // namespace
