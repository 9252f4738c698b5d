#include "zarn-router/router_config.h"

#include <gtest/gtest.h>

#include "tests/testing.h"
#include "zarn-router/router_globals.h"

using namespace zarn_test;

namespace {

// Each test starts from a settings record as the program has it at start.
class RouterConfigTest : public testing::Test {
 protected:
  void SetUp() override { g = GLOBALS{}; }
  void TearDown() override { g = GLOBALS{}; }
  TempDir dir_;
};

TEST_F(RouterConfigTest, KeysAreReadWithoutRegardToCase) {
  ASSERT_EQ(parse_router_config("LISTENPORT 9000\nlistenaddr\t\t10.1.1.1\nMaster_Server 10.9.9.9\n"
                                "crypt_key routerkey\nclient_timeout 45\ncrypt_type 3\npath_iptables /sbin/x\n"
                                "path_modprobe /sbin/m\ninternal_eth lan0\nmysql_host ignored-here\n"),
            1);
  EXPECT_EQ(g.port, "9000");
  EXPECT_EQ(g.inetaddr, "10.1.1.1");
  EXPECT_EQ(g.master_server, "10.9.9.9");
  EXPECT_EQ(g.crypt_key, "routerkey");
  EXPECT_EQ(g.timeout.tv_sec, 45);
  EXPECT_EQ(g.timeout.tv_usec, 0);
  EXPECT_EQ(g.crypt_type, 3);
  EXPECT_EQ(g.iptables, "/sbin/x");
  EXPECT_EQ(g.modprobe, "/sbin/m");
  EXPECT_EQ(g.internal_eth, "lan0");
}

TEST_F(RouterConfigTest, TimeoutFallsBackToThirtySeconds) {
  for (const char* value : {"0", "soon", "-5"}) {
    g.timeout = {7, 0};
    parse_router_config(std::string("client_timeout ") + value + "\n");
    EXPECT_EQ(g.timeout.tv_sec, 30) << value;
  }
  g.crypt_type = 9;
  parse_router_config("listenport 1\n");
  EXPECT_EQ(g.timeout.tv_sec, 30);
  EXPECT_EQ(g.crypt_type, 0) << "defaults are set before the keys";
}

TEST_F(RouterConfigTest, ValuesKeepTrailingBlanksAndCarriageReturns) {
  parse_router_config("master_server 10.0.0.1\r\nlistenaddr 10.0.0.2 \nlistenaddr 10.0.0.3\n");
  EXPECT_EQ(g.master_server, "10.0.0.1\r");
  EXPECT_EQ(g.inetaddr, "10.0.0.3") << "a key given twice takes its last value";
}

TEST_F(RouterConfigTest, ALineLedByABlankEndsTheFile) {
  parse_router_config("listenport 9000\n master_server 10.0.0.1\ncrypt_key k\n");
  EXPECT_EQ(g.port, "9000");
  EXPECT_FALSE(g.master_server);
  EXPECT_FALSE(g.crypt_key);
}

TEST_F(RouterConfigTest, FilesThatGiveNothing) {
  EXPECT_EQ(read_config(dir_.file("missing").c_str()), 0);
  write_file(dir_.file("empty"), "");
  EXPECT_EQ(read_config(dir_.file("empty").c_str()), 0);
  write_file(dir_.file("router.conf"), "listenport 9000\n");
  EXPECT_EQ(read_config(dir_.file("router.conf").c_str()), 1);
  EXPECT_EQ(g.port, "9000");
}

TEST_F(RouterConfigTest, NotifierFileSetsOrClearsOtherPorts) {
  write_file(dir_.file("notifier.conf"), "listenport 1\nOTHER_PORTS 8080,8081\n");
  EXPECT_EQ(read_notifier_config(dir_.file("notifier.conf").c_str()), 1);
  EXPECT_EQ(g.other_ports, "8080,8081");
  EXPECT_FALSE(g.port) << "the notifier file sets nothing else";
  EXPECT_EQ(read_notifier_config(dir_.file("missing").c_str()), 0);
  EXPECT_FALSE(g.other_ports) << "cleared before the file is read";
}

}  // namespace
