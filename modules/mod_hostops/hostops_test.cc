#include "modules/mod_hostops/hostops.h"

#include <gtest/gtest.h>

TEST(HostOps, UnitNamesThatReachTheInitSystemAsOneWord) {
  for (const char* good : {"ssh", "ssh.service", "getty@tty1.service", "zarn-router", "a_b:c"})
    EXPECT_TRUE(is_plain_unit_name(good)) << good;
  for (const char* bad : {"", "-ssh", ".hidden", "ssh;reboot", "ssh service", "$(id)", "a/b", "x\n"})
    EXPECT_FALSE(is_plain_unit_name(bad)) << bad;
  EXPECT_FALSE(is_plain_unit_name(std::string(256, 'a')));
}

TEST(HostOps, ServiceActionsMapToInitVerbs) {
  EXPECT_EQ(service_command("ssh", 0), (std::vector<std::string>{"/bin/systemctl", "stop", "--", "ssh"}));
  EXPECT_EQ(service_command("ssh", 1)[1], "start");
  EXPECT_EQ(service_command("ssh", 2)[1], "restart");
  EXPECT_EQ(service_command("ssh", 3)[1], "reload");
  EXPECT_TRUE(service_command("ssh", 4).empty());
  EXPECT_TRUE(service_command("ssh;reboot", 1).empty());
}

TEST(HostOps, RefusedNamesAndActionsGiveZeroWithoutRunningAnything) {
  EXPECT_EQ(service_do("ssh;reboot", 1), 0);
  EXPECT_EQ(service_do(nullptr, 1), 0);
  EXPECT_EQ(service_do("ssh", 9), 0);
  EXPECT_EQ(server_do(3), 0);
  EXPECT_EQ(server_command(1)[1], "reboot");
  EXPECT_EQ(server_command(2)[1], "poweroff");
}
