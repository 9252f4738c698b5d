// The module's command interpreters on the real kernel: results of good and
// malformed lines, the commit at a table switch, and the fatal refusals.
#include <gtest/gtest.h>

#include "tests/access_fixture.h"

namespace {

using namespace zarn_test;

class InterpreterTest : public testing::Test {
 protected:
  void SetUp() override { configure_router(db_); }
  // Results of each line, as the test host prints them ("1 0 ").
  RunResult exec(const std::vector<std::string>& lines, const char* entry = "firewall_exec") {
    std::vector<std::string> args{"mod_access.so", entry};
    args.insert(args.end(), lines.begin(), lines.end());
    return module_host(args);
  }
  TestDatabase db_;
};

TEST_F(InterpreterTest, GoodAndMalformedLines) {
  std::string long_chain(29, 'c');
  RunResult r = exec({
      "-N " + std::string(28, 'c'),                                      // 1: the longest chain name the kernel keeps
      "-N " + long_chain,                                                // 0: one character too long
      "-A FORWARD  -j DROP",                                             // 0: two blanks make an empty argument
      "-A FORWARD -j DROP extra",                                        // 0: a word left over
      "-s 10.0.0.1",                                                     // 0: no command
      "-A INPUT -o eth0 -j ACCEPT",                                      // 0: no output device on INPUT
      "-t mangle -A PREROUTING -o eth0 -j ACCEPT",                       // 0
      "-A OUTPUT -i eth0 -j ACCEPT",                                     // 0: no input device on OUTPUT
      "-t nosuchtable -F",                                               // 0: the table cannot be opened
      "-D FORWARD -s 10.9.9.9 -j ACCEPT",                                // 0: no such rule
      "-A FORWARD -s 10.0.0.1 -d 10.0.0.2 -p udp --dport 53 -j ACCEPT",  // 1: protocol match loaded by itself
      "-I FORWARD 1 ! -s 10.0.0.3 -j DROP",                              // 1: inverted, inserted first
      "-R FORWARD 2 -s 10.0.0.4 -j ACCEPT",                              // 1: replaces the udp rule
      "-D FORWARD 1",                                                    // 1: by number
      "-P FORWARD DROP",                                                 // 1
      "-E " + std::string(28, 'c') + " renamed",                         // 1
  });
  EXPECT_EQ(r.output, "1 0 0 0 0 0 0 0 0 0 1 1 1 1 1 1 1\n") << read_file("/zarn/logs/module-host.log");
  EXPECT_EQ(saved_table("filter"),
            "*filter\n:INPUT ACCEPT\n:FORWARD DROP\n:OUTPUT ACCEPT\n:renamed -\n"
            "-A FORWARD -s 10.0.0.4/32 -j ACCEPT\nCOMMIT\n");
}

TEST_F(InterpreterTest, ChangesReachTheKernelAtATableSwitch) {
  // The third line ends the process: what was pending then is lost, what
  // was committed at the switch to the filter table stays.
  RunResult r = exec({"-t mangle -N committed_at_switch", "-N pending_chain", "-A FORWARD -m nosuchmatch -j ACCEPT"});
  EXPECT_EQ(r.exit_status, 2);
  EXPECT_NE(r.output.find("iptables v1.3.5: Couldn't load match `nosuchmatch'"), std::string::npos) << r.output;
  EXPECT_NE(read_file("/zarn/logs/module-host.log").find("Couldn't load match `nosuchmatch'"), std::string::npos);
  EXPECT_NE(saved_table("mangle").find(":committed_at_switch"), std::string::npos);
  EXPECT_EQ(saved_table("filter").find("pending_chain"), std::string::npos);
}

TEST_F(InterpreterTest, FatalRefusalsEndTheProcessWithStatusTwo) {
  RunResult illegal = exec({"-N chain -s 10.0.0.1"});
  EXPECT_EQ(illegal.exit_status, 2);
  EXPECT_NE(illegal.output.find("iptables v1.3.5: Illegal option `-s' with this command"), std::string::npos)
      << illegal.output;
  RunResult target = exec({"-A FORWARD -j NOSUCHTARGET"});
  EXPECT_EQ(target.exit_status, 2);
  EXPECT_NE(target.output.find("iptables v1.3.5: Couldn't load target `NOSUCHTARGET'"), std::string::npos)
      << target.output;

  EXPECT_EQ(exec({"-N src_10_1_1_0_24 macipmap --network 10.1.1.0/24", "-A src_10_1_1_0_24 10.1.1.10,02:00:00:00:01:0A",
                  "-T src_10_1_1_0_24 10.1.1.10,02:00:00:00:01:0A", "-T src_10_1_1_0_24 10.1.1.11,02:00:00:00:01:0A"},
                 "ipset_exec")
                .output,
            "1 1 1 0 1\n");
  RunResult twice = exec({"-A src_10_1_1_0_24 10.1.1.10,02:00:00:00:01:0A"}, "ipset_exec");
  EXPECT_EQ(twice.exit_status, 2);
  EXPECT_EQ(twice.output, "zarn-ipset v2.3.0: 10.1.1.10,02:00:00:00:01:0A is already in set src_10_1_1_0_24.\n");
  RunResult missing = exec({"-D src_10_1_1_0_24 10.1.1.20,02:00:00:00:01:0A"}, "ipset_exec");
  EXPECT_EQ(missing.exit_status, 2);
  EXPECT_EQ(missing.output, "zarn-ipset v2.3.0: 10.1.1.20,02:00:00:00:01:0A is not in set src_10_1_1_0_24.\n");
  RunResult unknown = exec({"-A no_such_set 10.1.1.20,02:00:00:00:01:0A"}, "ipset_exec");
  EXPECT_EQ(unknown.exit_status, 2);
  EXPECT_EQ(unknown.output.rfind("zarn-ipset v2.3.0: Error from kernel: ", 0), 0u) << unknown.output;
  RunResult long_name = exec({"-N " + std::string(32, 's') + " macipmap --network 10.1.1.0/24"}, "ipset_exec");
  EXPECT_EQ(long_name.exit_status, 2);
  EXPECT_NE(long_name.output.find("too long, max 31 characters."), std::string::npos) << long_name.output;
}

TEST_F(InterpreterTest, NetworkLookupStopsAtAMalformedNetwork) {
  db_.exec(
      "INSERT INTO internal_net (rid, net, host_min, host_max) VALUES"
      " (1, '10.1.1.0/24', INET_ATON('10.1.1.1'), INET_ATON('10.1.1.254')),"
      " (1, '10.7.0.0/24', INET_ATON('10.7.0.1'), INET_ATON('10.7.0.1')),"
      " (1, '10.1.2.0/24', INET_ATON('10.1.2.1'), INET_ATON('10.1.2.254'))");
  exec({"-N src_10_1_1_0_24 macipmap --network 10.1.1.0/24", "-N src_10_1_2_0_24 macipmap --network 10.1.2.0/24"},
       "ipset_exec");
  EXPECT_EQ(module_host({"mod_access.so", "forward", "10.1.1.254", "02:00:00:00:01:FE", "1", "0"}).output, "1\n")
      << "the last host address belongs to its network";
  EXPECT_EQ(module_host({"mod_access.so", "forward", "10.1.2.5", "02:00:00:00:02:05", "1", "0"}).output, "0\n");
  EXPECT_EQ(module_host({"mod_access.so", "forward", "10.1.1.255", "02:00:00:00:01:FF", "1", "0"}).output, "0\n");
  std::string log = read_file("/zarn/logs/module-host.log");
  EXPECT_NE(
      log.find("zarn-ipset: class error first ip is equal with last. [168230913][168230913][10.7.0.0/24][10.1.2.5]\n"),
      std::string::npos)
      << log;
  EXPECT_NE(log.find("Error_ipset:Could not aquire subnet for ip: 10.1.2.5\n"), std::string::npos) << log;
  EXPECT_EQ(set_members("src_10_1_1_0_24"), (std::vector<std::string>{"10.1.1.254,02:00:00:00:01:FE"}));
}

TEST_F(InterpreterTest, WithoutNetworksEveryLookupFails) {
  EXPECT_EQ(module_host({"mod_access.so", "forward", "10.1.1.5", "02:00:00:00:01:05", "1", "0"}).output, "0\n");
  EXPECT_NE(read_file("/zarn/logs/module-host.log").find("Could not aquire class for ip: 10.1.1.5\n"),
            std::string::npos);
}

}  // namespace
