#include "zarn-auth/auth_config.h"

#include <gtest/gtest.h>

namespace {

AuthSettings parsed(const std::string& text) {
  AuthSettings s;
  parse_auth_config(text, s);
  return s;
}

TEST(AuthConfig, KeysAndLimits) {
  AuthSettings s = parsed(
      "auth_port 5555\nAUTH_LISTEN_ON 10.1.2.1\ncrypt_key routerkey\nping_client_time 5\nclient_timeout 10\n"
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

TEST(AuthConfig, ClientsPerAddress) {
  ClientsPerAddress missing = clients_per_address(parsed(""));
  EXPECT_EQ(missing.limit, 4);
  EXPECT_TRUE(missing.valid) << "a missing key is the default, not a mistake";
  for (auto [text, limit] : {std::pair{"1", 1}, {"4", 4}, {"1000", 1000}, {"0007", 7}}) {
    ClientsPerAddress c = clients_per_address(parsed(std::string("MAX_CLIENTS_PER_ADDRESS ") + text + "\n"));
    EXPECT_EQ(c.limit, limit) << text;
    EXPECT_TRUE(c.valid) << text;
  }
  for (const char* text : {"0", "1001", "99999", "-3", "4x", "x", "4 ", "4\r", "18446744073709551617"}) {
    ClientsPerAddress c = clients_per_address(parsed(std::string("max_clients_per_address ") + text + "\n"));
    EXPECT_EQ(c.limit, 4) << "'" << text << "'";
    EXPECT_FALSE(c.valid) << "'" << text << "'";
  }
}

TEST(AuthConfig, LoginTimeout) {
  LoginTimeout missing = login_timeout(parsed(""));
  EXPECT_EQ(missing.seconds, 60);
  EXPECT_TRUE(missing.valid);
  for (auto [text, seconds] : {std::pair{"10", 10}, {"60", 60}, {"600", 600}, {"0090", 90}}) {
    LoginTimeout t = login_timeout(parsed(std::string("LOGIN_TIMEOUT ") + text + "\n"));
    EXPECT_EQ(t.seconds, seconds) << text;
    EXPECT_TRUE(t.valid) << text;
  }
  for (const char* text : {"9", "601", "0", "-20", "30s", "30\r", "99999999999"}) {
    LoginTimeout t = login_timeout(parsed(std::string("login_timeout ") + text + "\n"));
    EXPECT_EQ(t.seconds, 60) << "'" << text << "'";
    EXPECT_FALSE(t.valid) << "'" << text << "'";
  }
}

}  // namespace
