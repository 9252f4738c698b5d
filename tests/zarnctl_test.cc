// zarnctl driving the installed router control daemon end to end.
#include <sys/stat.h>

#include <gtest/gtest.h>

#include "tests/router_harness.h"

using namespace zarn_test;

namespace {

const std::string kZarnctl = "/zarn/bin/zarnctl";
const std::string kPasswordEnv = std::string("ZARNCTL_PASSWORD=") + kRouterPassword;

// A ready daemon on the common scene, and zarnctl started as an operator would.
class ZarnctlTest : public testing::Test {
 protected:
  void SetUp() override {
    daemon_ = std::make_unique<Daemon>();
    ASSERT_TRUE(daemon_->wait_ready()) << daemon_->output() << scene_.log();
    scene_.clear_calls();
  }
  RunResult zarnctl(std::vector<std::string> words, const std::vector<std::string>& env = {}) {
    std::vector<std::string> argv = {kZarnctl, "-a",       kMasterAddress, "-p", std::to_string(kRouterPort),
                                     "-u",     kRouterUser};
    argv.insert(argv.end(), words.begin(), words.end());
    return run(argv, env.empty() ? std::vector<std::string>{kPasswordEnv} : env);
  }
  RouterScene scene_;
  std::unique_ptr<Daemon> daemon_;
};

TEST_F(ZarnctlTest, OneCommandAndItsExitStatus) {
  RunResult ok = zarnctl({"client", "activate", "17"});
  EXPECT_EQ(ok.exit_status, 0) << ok.output;
  EXPECT_EQ(ok.output, "222 Success.\n");
  EXPECT_EQ(scene_.calls(), "op_client 17 1\n");

  RunResult wrong = zarnctl({"client", "enable", "17"});
  EXPECT_EQ(wrong.exit_status, 1);
  EXPECT_EQ(wrong.output, "224 Wrong argument.\n");
  scene_.stub_returns(0);
  EXPECT_EQ(zarnctl({"client", "activate", "17"}).exit_status, 1);
  RunResult unknown = zarnctl({"HELP"});
  EXPECT_EQ(unknown.exit_status, 1);
  EXPECT_EQ(unknown.output, "Unkown command\n");

  RunResult identify = zarnctl({"identify"});
  EXPECT_EQ(identify.exit_status, 0) << identify.output;
  EXPECT_EQ(identify.output.rfind("Name: test-router\nID: 4\nUptime: ", 0), 0u) << identify.output;
  EXPECT_NE(identify.output.find("Version: 1.2.0\n"), std::string::npos) << identify.output;
}

TEST_F(ZarnctlTest, PasswordFromAFileAndRefusals) {
  TempDir dir;
  write_file(dir.file("pass"), std::string(kRouterPassword) + "\n");
  RunResult from_file = zarnctl({"-f", dir.file("pass"), "firewall", "restart"}, {"X=1"});
  EXPECT_EQ(from_file.exit_status, 0) << from_file.output;
  EXPECT_EQ(from_file.output, "222 Success.\n");

  RunResult no_password = zarnctl({"identify"}, {"X=1"});
  EXPECT_EQ(no_password.exit_status, 64);
  EXPECT_NE(no_password.output.find("no password"), std::string::npos) << no_password.output;

  RunResult rejected = zarnctl({"identify"}, {"ZARNCTL_PASSWORD=wrong"});
  EXPECT_EQ(rejected.exit_status, 3);
  EXPECT_EQ(rejected.output, "zarnctl: login rejected\n");

  RunResult usage = run({kZarnctl, "-a", kMasterAddress});
  EXPECT_EQ(usage.exit_status, 64);
  EXPECT_NE(usage.output.find("SYNOPSIS"), std::string::npos);

  RunResult nobody_there =
      run({kZarnctl, "-a", kMasterAddress, "-p", "9001", "-u", "demo", "identify"}, {kPasswordEnv});
  EXPECT_EQ(nobody_there.exit_status, 2) << nobody_there.output;
}

TEST_F(ZarnctlTest, AnInteractiveSessionReadsCommandsFromInput) {
  RunResult r = run({"/bin/sh", "-c",
                     "printf 'help\\nclient activate 3\\n\\nsystem halt\\nquit\\nidentify\\n' | " + kZarnctl +
                         " -a 127.0.0.1 -p 9000 -u demo"},
                    {kPasswordEnv});
  EXPECT_EQ(r.exit_status, 0) << r.output;
  std::string expected_tail = "quit\n222 Success.\n224 Wrong argument.\n222 Good Bye.\n";
  EXPECT_EQ(r.output.rfind("\nAvailable Commands:\n", 0), 0u) << r.output;
  ASSERT_GE(r.output.size(), expected_tail.size());
  EXPECT_EQ(r.output.substr(r.output.size() - expected_tail.size()), expected_tail) << "nothing after quit";
  EXPECT_EQ(scene_.calls(), "op_client 3 1\n");
}

}  // namespace
