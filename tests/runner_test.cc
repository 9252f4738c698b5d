// The runner as its callers use it: installed set-user-id root under /zarn,
// started as the account zarn, with modules that record how they were called.
#include <signal.h>
#include <sys/mount.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <thread>

#include <gtest/gtest.h>

#include "tests/testing.h"

namespace fs = std::filesystem;
using namespace zarn_test;

namespace {

const std::string kRunner = "/zarn/bin/gw-runner";
const std::string kLog = "/zarn/logs/gw-runner.log";
const std::string kCalls = "/zarn/logs/calls.log";

class RunnerTest : public testing::Test {
 protected:
  void SetUp() override {
    for (const auto& entry : fs::directory_iterator("/zarn/logs")) fs::remove_all(entry.path());
    for (const char* f : {"/zarn/conf/stub-result", "/zarn/conf/stub-pause"}) fs::remove(f);
    write_file("/zarn/conf/zarn-router.conf", db_.config_lines());
    install_module("stub_access", "mod_access.so");
    install_module("stub_shaper", "mod_shaper.so");
    install_module("stub_hostops", "mod_hostops.so");
  }

  void install_module(const std::string& stub, const std::string& as) {
    fs::copy_file(std::string(ZARN_STUB_DIR) + "/" + stub + ".so", "/zarn/modules/" + as,
                  fs::copy_options::overwrite_existing);
  }
  void remove_module(const std::string& name) { fs::remove("/zarn/modules/" + name); }
  void stub_returns(int value) { write_file("/zarn/conf/stub-result", std::to_string(value) + "\n"); }

  RunResult runner(std::vector<std::string> args, const std::vector<std::string>& env = {}) {
    args.insert(args.begin(), kRunner);
    return run_as_zarn(args, env);
  }
  std::string log() { return read_file(kLog); }
  std::string calls() { return read_file(kCalls); }

  TestDatabase db_;
};

TEST_F(RunnerTest, OnlyTheAccountZarnMayRunIt) {
  RunResult as_root = run({kRunner, "internet", "client_start", "17"});
  EXPECT_EQ(as_root.exit_status, 3);
  EXPECT_FALSE(path_exists(kLog)) << "a refused caller must leave no log line";
  EXPECT_FALSE(path_exists(kCalls));

  EXPECT_EQ(runner({}).exit_status, 3) << "no verb";
  EXPECT_FALSE(path_exists(kLog));
}

TEST_F(RunnerTest, RestrictExitsAtOnceWithoutLogging) {
  EXPECT_EQ(runner({"restrict", "1", "2", "3"}).exit_status, 1);
  EXPECT_FALSE(path_exists(kLog));
  EXPECT_FALSE(path_exists(kCalls));
}

TEST_F(RunnerTest, FirewallVerbsCallBothModulesWithTheDatabaseOpen) {
  EXPECT_EQ(runner({"internet", "start", "7"}).exit_status, 1);
  EXPECT_EQ(runner({"internet", "restart", "7", "8080,8081"}).exit_status, 1);
  EXPECT_EQ(runner({"internet", "stop", "7"}).exit_status, 1);
  std::string c = calls();
  EXPECT_NE(c.find("firewall_operation 1 7 (null) db=1 conf=/zarn/conf/zarn-router.conf\n"), std::string::npos) << c;
  EXPECT_NE(c.find("firewall_operation 1 7 8080,8081 db=1"), std::string::npos) << c;
  EXPECT_NE(c.find("firewall_operation 0 7 (null) db=1"), std::string::npos) << c;
  EXPECT_NE(c.find("restrict_load 1 7\n"), std::string::npos) << c;
  EXPECT_NE(c.find("restrict_load 0 7\n"), std::string::npos) << c;
  EXPECT_EQ(log(), "ExitCode: 1\nExitCode: 1\nExitCode: 1\n");

  stub_returns(0);
  EXPECT_EQ(runner({"internet", "start", "7"}).exit_status, 2);
  EXPECT_NE(log().find("ExitCode: 6\n"), std::string::npos) << log();
}

TEST_F(RunnerTest, ModulesSeeACleanEnvironment) {
  runner({"internet", "start", "3"}, {"ZARN_PROBE=leak", "PATH=/tmp/evil", "LD_LIBRARY_PATH=/tmp"});
  EXPECT_NE(calls().find("env PATH=/usr/sbin:/usr/bin:/sbin:/bin PROBE=(null)\n"), std::string::npos) << calls();
}

TEST_F(RunnerTest, MissingModulesAndEntryPointsOfTheFirewallPair) {
  remove_module("mod_shaper.so");
  EXPECT_EQ(runner({"internet", "start", "7"}).exit_status, 1) << "the shaper does not decide the result";
  EXPECT_NE(log().find("Bandwidth: cannot open shared module /zarn/modules/mod_shaper.so"), std::string::npos) << log();

  remove_module("mod_access.so");
  install_module("stub_shaper", "mod_shaper.so");
  EXPECT_EQ(runner({"internet", "stop", "7"}).exit_status, 2);
  EXPECT_NE(log().find("Internet: cannot open shared module /zarn/modules/mod_access.so"), std::string::npos);
  EXPECT_NE(log().find("ExitCode: 4\n"), std::string::npos) << log();
  EXPECT_NE(calls().find("restrict_load 0 7\n"), std::string::npos) << "the shaper is called after a failed load";

  install_module("stub_empty", "mod_access.so");
  EXPECT_EQ(runner({"internet", "start", "7"}).exit_status, 2);
  EXPECT_NE(log().find("Internet: /zarn/modules/mod_access.so: undefined symbol: firewall_operation"),
            std::string::npos)
      << log();
  EXPECT_NE(log().find("ExitCode: 5\n"), std::string::npos) << log();
}

TEST_F(RunnerTest, ClientAndSettingVerbs) {
  struct Case {
    std::vector<std::string> args;
    std::string call;
    std::string ret;
  };
  const Case cases[] = {
      {{"internet", "client_start", "17"}, "op_client 17 1", "Internet RET: 1 ClientID 17 OP: 1\n"},
      {{"internet", "client_stop", "17"}, "op_client 17 0", "Internet RET: 1 ClientID 17 OP: 0\n"},
      {{"internet", "id_start", "1' or '1'='1"}, "op_ip 1' or '1'='1 1", "ClientID 1' or '1'='1 OP: 1\n"},
      {{"internet", "id_stop", "5"}, "op_ip 5 0", "Internet RET: 1 ClientID 5 OP: 0\n"},
      {{"macwatch", "12", "start"}, "op_ip 12 1", "Internet RET: 1 ClientID 12 OP: 1\n"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.call);
    fs::remove(kCalls);
    fs::remove(kLog);
    EXPECT_EQ(runner(c.args).exit_status, 1);
    EXPECT_EQ(calls(), c.call + "\n");
    EXPECT_NE(log().find(c.ret), std::string::npos) << log();
    EXPECT_NE(log().find("ExitCode: 1\n"), std::string::npos) << log();
  }
  stub_returns(-3);
  fs::remove(kLog);
  EXPECT_EQ(runner({"internet", "client_start", "4"}).exit_status, 2);
  EXPECT_EQ(log(), "Internet RET: -3 ClientID 4 OP: 1\nExitCode: 6\n");
}

TEST_F(RunnerTest, UnknownVerbsSubverbsAndMissingOperands) {
  struct Case {
    std::vector<std::string> args;
    int result;
  };
  const Case cases[] = {
      {{"internet", "reload", "7"}, 2},
      {{"internet"}, 2},
      {{"internet", "client_start"}, 2},
      {{"internet", "start"}, 2},
      {{"server", "halt"}, 0},
      {{"server"}, 0},
      {{"redirect", "pause", "5"}, 0},
      {{"redirect", "start"}, 0},
      {{"macwatch", "12", "stop"}, 2},
      {{"macwatch", "12"}, 2},
      {{"ZarnAuth", "15", "x"}, 2},
      {{"ZarnAuth"}, 2},
      {{"service", "ssh", "bounce"}, 0},
      {{"service"}, 0},
      {{"zarn-gate", "10.0.0.1"}, 0},
      {{"arping"}, 0},
      {{"nonsense", "a"}, 0},
      {{"Internet", "start", "1"}, 0},
  };
  for (const Case& c : cases) {
    std::string what;
    for (const auto& a : c.args) what += a + " ";
    SCOPED_TRACE(what);
    fs::remove(kLog);
    EXPECT_EQ(runner(c.args).exit_status, 2);
    EXPECT_EQ(log(), "ExitCode: " + std::to_string(c.result) + "\n");
  }
  EXPECT_FALSE(path_exists(kCalls)) << calls();
}

TEST_F(RunnerTest, HostOperationsPassTheirValueExceptTwo) {
  EXPECT_EQ(runner({"server", "reboot"}).exit_status, 1);
  EXPECT_EQ(runner({"server", "shutdown"}).exit_status, 1);
  for (auto [word, action] : {std::pair{"stop", 0}, {"start", 1}, {"restart", 2}, {"reload", 3}})
    EXPECT_EQ(runner({"service", "ssh", word}).exit_status, 1) << word << action;
  EXPECT_EQ(calls(),
            "server_do 1\nserver_do 2\nservice_do ssh 0\nservice_do ssh 1\nservice_do ssh 2\nservice_do ssh 3\n");

  fs::remove(kLog);
  stub_returns(2);
  EXPECT_EQ(runner({"server", "reboot"}).exit_status, 2);
  stub_returns(0);
  EXPECT_EQ(runner({"service", "ssh", "start"}).exit_status, 2);
  EXPECT_EQ(log(), "ExitCode: 6\nExitCode: 0\n");
}

TEST_F(RunnerTest, HostModuleFailuresEndTheRunWithTheirStatus) {
  remove_module("mod_hostops.so");
  EXPECT_EQ(runner({"service", "ssh", "start"}).exit_status, 4);
  EXPECT_EQ(runner({"server", "reboot"}).exit_status, 2);
  std::string l = log();
  EXPECT_NE(l.find("Service: cannot open shared module /zarn/modules/mod_hostops.so"), std::string::npos) << l;
  EXPECT_NE(l.find("System: cannot open shared module /zarn/modules/mod_hostops.so"), std::string::npos) << l;
  EXPECT_EQ(l.find("ExitCode"), std::string::npos) << "these failures end the run at once";

  install_module("stub_empty", "mod_hostops.so");
  EXPECT_EQ(runner({"service", "ssh", "start"}).exit_status, 5);
  EXPECT_NE(log().find("Service: /zarn/modules/mod_hostops.so: undefined symbol: service_do"), std::string::npos);
}

TEST_F(RunnerTest, AccessModuleFailuresEndTheRunWithStatusTwo) {
  struct Case {
    std::vector<std::string> args;
    std::string load_message;
  };
  const Case cases[] = {
      {{"internet", "client_start", "1"}, "Internet: cannot open shared module "},
      {{"redirect", "start", "1"}, "Redirect: cannot open shared module "},
      {{"ZarnAuth", "1", "start"}, "mod_access[zarn-auth]: cannot open shared module "},
      {{"zarn-gate", "10.0.0.1", "00:11:22:33:44:55"}, "session-reaper: cannot open shared module "},
  };
  remove_module("mod_access.so");
  for (const Case& c : cases) {
    SCOPED_TRACE(c.load_message);
    fs::remove(kLog);
    EXPECT_EQ(runner(c.args).exit_status, 2);
    EXPECT_EQ(log().rfind(c.load_message, 0), 0u) << log();
    EXPECT_EQ(log().find("ExitCode"), std::string::npos);
  }
  install_module("stub_empty", "mod_access.so");
  fs::remove(kLog);
  EXPECT_EQ(runner({"ZarnAuth", "1", "stop"}).exit_status, 2);
  EXPECT_NE(log().find("Zarn-Auth: /zarn/modules/mod_access.so: undefined symbol: zarn_auth"), std::string::npos);
}

TEST_F(RunnerTest, RedirectAndLoginVerbs) {
  EXPECT_EQ(runner({"redirect", "start", "5", "8080"}).exit_status, 1);
  EXPECT_EQ(runner({"redirect", "stop", "5"}).exit_status, 1);
  EXPECT_EQ(runner({"ZarnAuth", "15", "start"}).exit_status, 1);
  EXPECT_EQ(runner({"ZarnAuth", "15abc", "stop"}).exit_status, 1);
  EXPECT_EQ(calls(), "redirect_notifier 5 1 8080\nredirect_notifier 5 0 (null)\nzarn_auth 15 1\nzarn_auth 15 0\n");
}

TEST_F(RunnerTest, GateLoginKeepsTheModuleLoadedAcrossItsThreeCalls) {
  stub_returns(1);
  EXPECT_EQ(runner({"zarn-gate", "10.1.2.3", "00:11:22:33:44:55"}).exit_status, 1);
  EXPECT_EQ(calls(), "init_handlers\nforward 10.1.2.3 00:11:22:33:44:55 1 0 handlers=1\nclose_handlers handlers=1\n");
  fs::remove(kLog);
  stub_returns(0);
  EXPECT_EQ(runner({"zarn-gate", "10.1.2.3", "00:11:22:33:44:55"}).exit_status, 2);
  EXPECT_EQ(log(), "ExitCode: 0\n") << "the result is what forward returned";
}

TEST_F(RunnerTest, WithoutADatabaseTheModulesStillRun) {
  write_file("/zarn/conf/zarn-router.conf", "listenport 9000\n");
  EXPECT_EQ(runner({"internet", "start", "2"}).exit_status, 1);
  EXPECT_NE(calls().find("firewall_operation 1 2 (null) db=0"), std::string::npos) << calls();
  EXPECT_NE(log().find("Could not read config file or mysql_host((null)) is missing\n"), std::string::npos) << log();
}

TEST_F(RunnerTest, InterruptEndsTheRunWithStatusZero) {
  write_file("/zarn/conf/stub-pause", "");
  pid_t pid = fork();
  if (pid == 0) {
    RunResult r = runner({"internet", "start", "3"});
    _exit(r.exit_status == 0 ? 0 : 1);
  }
  ASSERT_GT(pid, 0);
  // The runner is a grandchild: find it by its paused stub, then signal it.
  bool paused = false;
  for (int i = 0; i < 100 && !paused; ++i) {
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    paused = calls().find("paused") != std::string::npos;
  }
  ASSERT_TRUE(paused);
  RunResult pids = run({"/usr/bin/pgrep", "-f", "^/zarn/bin/gw-runner internet start 3$"});
  ASSERT_EQ(pids.exit_status, 0) << pids.output;
  kill(std::stoi(pids.output), SIGINT);
  int status = 0;
  waitpid(pid, &status, 0);
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << "the runner must exit with status 0";
  EXPECT_NE(log().find("Term signal recived.\n"), std::string::npos) << log();
  fs::remove("/zarn/conf/stub-pause");
}

// Hides the tool directories for one test with empty file systems, inside
// this test's own mount namespace.
class HiddenToolDirs {
 public:
  HiddenToolDirs() {
    for (const char* dir : {"/usr/sbin", "/sbin", "/bin"}) {
      std::string real = fs::canonical(dir).string();
      bool seen = false;
      for (const auto& d : dirs_) seen |= d == real;
      if (seen) continue;
      if (mount("tmpfs", real.c_str(), "tmpfs", 0, "mode=0755") != 0) throw std::runtime_error("mount " + real);
      dirs_.push_back(real);
    }
  }
  ~HiddenToolDirs() {
    for (auto it = dirs_.rbegin(); it != dirs_.rend(); ++it) umount2(it->c_str(), MNT_DETACH);
  }
  void place(const std::string& dir, const std::string& tool) {
    std::string target = fs::canonical(dir).string() + "/" + tool;
    fs::copy_file(ZARN_PRINT_ARGS, target, fs::copy_options::overwrite_existing);
  }

 private:
  std::vector<std::string> dirs_;
};

TEST_F(RunnerTest, ToolsAreFoundInTheirSearchOrderAndRunWithoutEnvironment) {
  RunResult found;
  {
    HiddenToolDirs hidden;
    hidden.place("/bin", "mtr");
    found = runner({"mtr", "-r", "-c", "1", "10.0.0.1"}, {"SECRET=1"});
    RunResult none = runner({"arping", "-c", "1", "10.0.0.1"});
    EXPECT_EQ(none.exit_status, 2);
    hidden.place("/usr/sbin", "tcpdump");
    RunResult first = runner({"tcpdump", "-n"});
    EXPECT_EQ(first.output, "argc=2 [tcpdump] [-n]\nenv:\n");
  }
  EXPECT_EQ(found.exit_status, 7) << "the tool's own status";
  EXPECT_EQ(found.output, "argc=5 [mtr] [-r] [-c] [1] [10.0.0.1]\nenv:\n");
  EXPECT_EQ(log(), "Error: connot find arping\nExitCode: 0\n");
}

TEST_F(RunnerTest, KillStopsRunningCapturesWithoutLogging) {
  // A process named tcpdump that the verb must end.
  TempDir dir;
  std::string fake = dir.file("tcpdump");
  fs::copy_file("/bin/sleep", fake);
  pid_t pid = fork();
  if (pid == 0) {
    execl(fake.c_str(), "tcpdump", "30", static_cast<char*>(nullptr));
    _exit(127);
  }
  std::this_thread::sleep_for(std::chrono::milliseconds(100));
  EXPECT_EQ(runner({"kill", "whatever"}).exit_status, 2);
  int status = 0;
  waitpid(pid, &status, 0);
  EXPECT_TRUE(WIFSIGNALED(status) && WTERMSIG(status) == SIGKILL);
  EXPECT_FALSE(path_exists(kLog));
}

}  // namespace
