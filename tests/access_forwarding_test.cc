// Opening and closing clients, and their redirect marks, on the real kernel.
#include <gtest/gtest.h>

#include <algorithm>

#include "tests/access_fixture.h"

namespace {

using namespace zarn_test;

using Members = std::vector<std::string>;

// The value the test host printed last (the entry point's result).
std::string result_of(const RunResult& r) {
  std::string out = r.output;
  if (!out.empty() && out.back() == '\n') out.pop_back();
  size_t nl = out.rfind('\n');
  return (nl == std::string::npos ? out : out.substr(nl + 1)) + "\n";
}

class ForwardingTest : public testing::Test {
 protected:
  void SetUp() override {
    load_router(db_);
    configure_router(db_);
    RunResult start = runner({"internet", "start", "1"});
    ASSERT_EQ(start.exit_status, 1) << read_file("/zarn/logs/gw-runner.log");
  }
  Members first_set() { return set_members("src_10_1_1_0_24"); }
  std::string unpaid_rules(const std::string& chain) {
    std::string out;
    std::string mangle = saved_table("mangle");
    std::string prefix = "-A " + chain + " ";
    size_t at = 0;
    while ((at = mangle.find(prefix, at)) != std::string::npos) {
      size_t end = mangle.find('\n', at);
      out += mangle.substr(at, end - at) + "\n";
      at = end;
    }
    return out;
  }
  TestDatabase db_;
};

TEST_F(ForwardingTest, OpenCloseAndReopenWithANewMac) {
  EXPECT_EQ(runner({"internet", "client_stop", "1"}).exit_status, 1);
  EXPECT_EQ(first_set(), (Members{"10.1.1.11,02:00:00:00:01:0B"}));
  EXPECT_NE(unpaid_rules("unpaied_10_1_1").find("-s 10.1.1.10/32"), std::string::npos) << "closing marks the client";

  EXPECT_EQ(runner({"internet", "client_stop", "1"}).exit_status, 2) << "nothing left to close";

  EXPECT_EQ(runner({"internet", "client_start", "1"}).exit_status, 1);
  EXPECT_EQ(first_set(), (Members{"10.1.1.10,02:00:00:00:01:0A", "10.1.1.11,02:00:00:00:01:0B"}));
  EXPECT_EQ(unpaid_rules("unpaied_10_1_1").find("-s 10.1.1.10/32"), std::string::npos) << "opening removes the mark";

  db_.exec("UPDATE internet_settings SET mac = '02:00:00:00:AA:AA' WHERE id = 1");
  RunResult reopen = module_host({"mod_access.so", "op_ip", "1", "1"}, {"ZARN_TEST_DEBUG=1"});
  EXPECT_EQ(result_of(reopen), "1\n");
  EXPECT_EQ(first_set(), (Members{"10.1.1.10,02:00:00:00:AA:AA", "10.1.1.11,02:00:00:00:01:0B"}));
  std::string log = read_file("/zarn/logs/module-host.log");
  EXPECT_NE(log.find("Command [-D src_10_1_1_0_24 10.1.1.10,02:00:00:00:01:0A]"), std::string::npos) << log;
  EXPECT_NE(log.find("Command [-A src_10_1_1_0_24 10.1.1.10,02:00:00:00:AA:AA]"), std::string::npos) << log;
}

TEST_F(ForwardingTest, AMacStoredInLowerCaseClosesCleanly) {
  db_.exec("UPDATE internet_settings SET mac = '02:00:00:00:01:0b' WHERE id = 2");
  EXPECT_EQ(runner({"internet", "id_stop", "2"}).exit_status, 1) << read_file("/zarn/logs/gw-runner.log");
  EXPECT_EQ(first_set(), (Members{"10.1.1.10,02:00:00:00:01:0A"}));
}

TEST_F(ForwardingTest, SettingsRowsAndGateClients) {
  // A gate client is opened by its login, not by its settings row...
  EXPECT_EQ(runner({"internet", "id_start", "4"}).exit_status, 1);
  EXPECT_EQ(set_members("src_10_1_2_0_24").size(), 1u);
  // ...which the gate's own verb does.
  EXPECT_EQ(runner({"zarn-gate", "10.1.2.13", "02:00:00:00:02:0D"}).exit_status, 1);
  EXPECT_EQ(set_members("src_10_1_2_0_24").size(), 2u);
  // A setting that is not paid is not a row for op_ip.
  EXPECT_EQ(runner({"internet", "id_start", "3"}).exit_status, 2);
  // An id that tries to widen the query opens nothing.
  EXPECT_EQ(runner({"internet", "id_start", "1' or '1'='1"}).exit_status, 2);
  EXPECT_EQ(runner({"internet", "client_start", "1' or '1'='1"}).exit_status, 2);
  EXPECT_EQ(runner({"macwatch", "1", "start"}).exit_status, 1);
}

TEST_F(ForwardingTest, LoginClientsNeedAnAccount) {
  EXPECT_EQ(runner({"ZarnAuth", "1", "stop"}).exit_status, 1) << "no account: nothing to do";
  EXPECT_EQ(first_set().size(), 2u);
  db_.exec("INSERT INTO internet_vpn (cid, user, pass) VALUES (1, 'one', 'x')");
  EXPECT_EQ(runner({"ZarnAuth", "1", "stop"}).exit_status, 1);
  EXPECT_EQ(first_set(), (Members{"10.1.1.11,02:00:00:00:01:0B"}));
  EXPECT_EQ(runner({"ZarnAuth", "1", "start"}).exit_status, 1);
  EXPECT_EQ(first_set().size(), 2u);
}

TEST_F(ForwardingTest, TheOlderEntryIsFoundInAFullSet) {
  // Client 1 moves to the end of its network, where the kernel's listing of a
  // full set comes in a later message; its address stands there with another
  // MAC, among members for every other address, one of them without a MAC.
  db_.exec("UPDATE internet_settings SET ip = '10.1.1.250' WHERE id = 1");
  std::vector<std::string> fill{"mod_access.so", "ipset_exec", "-A src_10_1_1_0_24 10.1.1.250,02:00:00:00:AA:01",
                                "-A src_10_1_1_0_24 10.1.1.21"};
  for (int host = 22; host < 250; ++host)
    fill.push_back("-A src_10_1_1_0_24 10.1.1." + std::to_string(host) +
                   ",02:00:00:00:03:" + std::to_string(host % 90 + 10));
  ASSERT_EQ(module_host(fill).exit_status, 0);
  ASSERT_EQ(first_set().size(), 2u + 1u + 1u + 228u);

  RunResult open = module_host({"mod_access.so", "op_client", "1", "1"}, {"ZARN_TEST_DEBUG=1"});
  EXPECT_EQ(result_of(open), "1\n");
  std::string log = read_file("/zarn/logs/module-host.log");
  EXPECT_NE(log.find("ip_set entrys found: 1\n"), std::string::npos) << log;
  EXPECT_NE(log.find("Command [-D src_10_1_1_0_24 10.1.1.250,02:00:00:00:AA:01]"), std::string::npos) << log;
  EXPECT_NE(log.find("Command [-A src_10_1_1_0_24 10.1.1.250,02:00:00:00:01:0A]"), std::string::npos) << log;
  Members members = first_set();
  EXPECT_EQ(members.size(), 232u);
  EXPECT_NE(std::find(members.begin(), members.end(), "10.1.1.250,02:00:00:00:01:0A"), members.end());
  EXPECT_NE(std::find(members.begin(), members.end(), "10.1.1.21"), members.end()) << "other members stay";

  // Closing with the stored MAC finds the entry the opening left.
  EXPECT_EQ(runner({"internet", "client_stop", "1"}).exit_status, 1);
  EXPECT_EQ(first_set().size(), 231u);
}

TEST_F(ForwardingTest, AnotherRoutersNetworkHasNoSetHere) {
  // The lookup of older entries finds no set and says nothing; the add is
  // refused, and the refusal ends the process with the kernel's reason.
  RunResult open = runner({"internet", "client_start", "5"});
  EXPECT_EQ(open.exit_status, 2);
  std::string log = read_file("/zarn/logs/gw-runner.log");
  size_t refused = log.find("Error from kernel: ");
  ASSERT_NE(refused, std::string::npos) << log;
  std::string reason = log.substr(refused + 19, log.find('\n', refused) - refused - 19);
  EXPECT_FALSE(reason.empty()) << "a refusal that says why:\n" << log;
  EXPECT_EQ(log.find("ExitCode", refused), std::string::npos) << "the process ends at the refusal:\n" << log;
}

TEST_F(ForwardingTest, AnAddressTwiceInOneClientGetsOneMark) {
  db_.exec("INSERT INTO internet_settings (id, cid, rid, ip, mac, active) VALUES (30, 1, 1, '10.1.1.10', '', 1)");
  EXPECT_EQ(runner({"redirect", "start", "1"}).exit_status, 1);
  std::string rules = unpaid_rules("unpaied_10_1_1");
  EXPECT_EQ(rules.find("-s 10.1.1.10/32"), rules.rfind("-s 10.1.1.10/32")) << "one mark rule:\n" << rules;
  EXPECT_EQ(runner({"redirect", "stop", "1"}).exit_status, 2) << "the second row finds nothing left to remove";
  EXPECT_EQ(unpaid_rules("unpaied_10_1_1").find("-s 10.1.1.10/32"), std::string::npos);
}

TEST_F(ForwardingTest, AnAddressOutsideEveryNetworkFails) {
  db_.exec("UPDATE internet_settings SET ip = '192.0.2.7' WHERE id = 1");
  EXPECT_EQ(runner({"internet", "client_start", "1"}).exit_status, 2);
  EXPECT_NE(read_file("/zarn/logs/gw-runner.log").find("Error_ipset:Could not aquire subnet for ip: 192.0.2.7\n"),
            std::string::npos);
}

TEST_F(ForwardingTest, RedirectMarks) {
  EXPECT_EQ(runner({"redirect", "start", "1"}).exit_status, 1);
  EXPECT_EQ(runner({"redirect", "start", "1"}).exit_status, 1) << "already marked: nothing to add";
  EXPECT_EQ(unpaid_rules("unpaied_10_1_1").find("10.1.1.10"), unpaid_rules("unpaied_10_1_1").rfind("10.1.1.10"))
      << "one rule only:\n"
      << unpaid_rules("unpaied_10_1_1");
  EXPECT_EQ(runner({"redirect", "stop", "1"}).exit_status, 1);
  EXPECT_EQ(runner({"redirect", "stop", "1"}).exit_status, 2) << "no mark to remove";

  // Client 3 was marked at start without extra ports; a removal with them finds no rule.
  EXPECT_EQ(runner({"redirect", "stop", "3", "8080"}).exit_status, 2);
  EXPECT_NE(unpaid_rules("unpaied_10_1_1").find("-s 10.1.1.12/32"), std::string::npos);

  // A rule whose port list starts with 443 is not the client's mark.
  RunResult added = module_host(
      {"mod_access.so", "firewall_exec",
       "-t mangle -A unpaied_10_1_1 -s 10.1.1.10 -m multiport -p tcp --dports 443,80 -j MARK --set-mark 80"});
  EXPECT_EQ(added.output, "1 1\n");
  EXPECT_EQ(runner({"redirect", "stop", "1"}).exit_status, 2);
  EXPECT_NE(unpaid_rules("unpaied_10_1_1").find("--dports 443,80"), std::string::npos);
}

// The same core cases with forwarding as rules in per-network chains.
class ChainModeTest : public ForwardingTest {
 protected:
  void SetUp() override {
    load_router(db_);
    configure_router(db_);
    RunResult start = module_host({"mod_access.so", "firewall_operation", "1", "1"}, env());
    ASSERT_EQ(result_of(start), "1\n") << read_file("/zarn/logs/module-host.log");
  }
  virtual std::vector<std::string> env() { return {"ZARN_TEST_USE_IPSET=0"}; }
  std::string chain(const std::string& name) {
    std::string filter = saved_table("filter"), out;
    size_t at = 0;
    while ((at = filter.find("-A " + name + " ", at)) != std::string::npos) {
      size_t end = filter.find('\n', at);
      out += filter.substr(at, end - at) + "\n";
      at = end;
    }
    return out;
  }
};

TEST_F(ChainModeTest, ClientsAreRulesInTheirNetworksChain) {
  EXPECT_EQ(chain("src_10_1_1_0_24"),
            "-A src_10_1_1_0_24 -s 10.1.1.10/32 -m mac --mac-source 02:00:00:00:01:0a -j ACCEPT\n"
            "-A src_10_1_1_0_24 -s 10.1.1.11/32 -m mac --mac-source 02:00:00:00:01:0b -j ACCEPT\n");
  EXPECT_NE(saved_table("filter").find("-A FORWARD -s 10.1.1.0/24 -j src_10_1_1_0_24\n"), std::string::npos);
  EXPECT_EQ(result_of(module_host({"mod_access.so", "op_client", "1", "0"}, env())), "1\n");
  EXPECT_EQ(result_of(module_host({"mod_access.so", "op_client", "1", "0"}, env())), "0\n") << "nothing left to close";
  db_.exec("UPDATE internet_settings SET mac = '02:00:00:00:AA:AA' WHERE id = 2");
  EXPECT_EQ(result_of(module_host({"mod_access.so", "op_ip", "2", "1"}, env())), "1\n");
  EXPECT_EQ(chain("src_10_1_1_0_24"),
            "-A src_10_1_1_0_24 -s 10.1.1.11/32 -m mac --mac-source 02:00:00:00:aa:aa -j ACCEPT\n");
}

class DestinationChainTest : public ChainModeTest {
 protected:
  std::vector<std::string> env() override { return {"ZARN_TEST_USE_IPSET=0", "ZARN_TEST_USE_DESTINATION=1"}; }
};

TEST_F(DestinationChainTest, EveryClientAlsoHasADestinationRule) {
  EXPECT_EQ(chain("dst_10_1_1_0_24"),
            "-A dst_10_1_1_0_24 -d 10.1.1.10/32 -j ACCEPT\n-A dst_10_1_1_0_24 -d 10.1.1.11/32 -j ACCEPT\n");
  EXPECT_EQ(result_of(module_host({"mod_access.so", "op_ip", "1", "1"}, env())), "1\n");
  EXPECT_EQ(chain("dst_10_1_1_0_24"),
            "-A dst_10_1_1_0_24 -d 10.1.1.11/32 -j ACCEPT\n-A dst_10_1_1_0_24 -d 10.1.1.10/32 -j ACCEPT\n")
      << "reopening replaces the rule instead of adding a second";
  EXPECT_EQ(result_of(module_host({"mod_access.so", "op_ip", "1", "0"}, env())), "1\n");
  EXPECT_EQ(chain("dst_10_1_1_0_24"), "-A dst_10_1_1_0_24 -d 10.1.1.11/32 -j ACCEPT\n");
}

}  // namespace
