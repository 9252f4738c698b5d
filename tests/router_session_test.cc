// Control sessions with the router control daemon: the peer check, the login
// dialogue, every command with its replies, the runner's argument lists, the
// diagnostic tool runs and the time-outs.
#include <pwd.h>
#include <signal.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <filesystem>

#include <gtest/gtest.h>

#include "libzarn/mcrypt.h"
#include "tests/router_harness.h"

namespace fs = std::filesystem;
using namespace zarn_test;

namespace {

const std::string kAccepted = "\f222 Authentication accepted.\r\n";
const std::string kRejected = "224 Authentication Rejected.\r\n";
const std::string kSuccess = "222 Success.\r\n";
const std::string kFailure = "224 Failure.\r\n";
const std::string kMissing = "224 Argument missing.\r\n";
const std::string kTooMany = "224 Too many arguments.\r\n";
const std::string kWrong = "224 Wrong argument.\r\n";
const std::string kHelp =
    "\nAvailable Commands:\r\n"
    "firewall      {start|stop|restart}\r\n"
    "client        {activate [cid]|deactivate [cid]}\r\n"
    "setting       {activate [id]|deactivate [id]}\r\n"
    "redirect      {activate [cid]|deactivate [cid]}\r\n"
    "restrict      {activate [cid]|deactivate [cid]|update [cid]}\r\n"
    "zarn-auth     (kill [pid]}\r\n"
    "system        {shutdown|reboot|arping|tcpdump|mtr}\r\n"
    "identify\r\nclear\r\nhelp\r\nquit\r\n";

// A daemon started on the common scene, ready for sessions.
class RouterSessionTest : public testing::Test {
 protected:
  void start() {
    daemon_ = std::make_unique<Daemon>();
    ASSERT_TRUE(daemon_->wait_ready()) << daemon_->output() << scene_.log();
    scene_.clear_calls();
  }
  RouterScene scene_;
  std::unique_ptr<Daemon> daemon_;
};

// Places diagnostic tools as scripts in an empty /usr/sbin for one test (the
// runner looks there first), inside this test's own mount namespace.
class FakeTools {
 public:
  FakeTools() {
    dir_ = fs::canonical("/usr/sbin").string();
    if (mount("tmpfs", dir_.c_str(), "tmpfs", 0, "mode=0755") != 0) throw std::runtime_error("mount " + dir_);
  }
  ~FakeTools() { umount2(dir_.c_str(), MNT_DETACH); }
  void place(const std::string& tool, const std::string& body) {
    std::string path = dir_ + "/" + tool;
    write_file(path, "#!/bin/sh\n" + body);
    chmod(path.c_str(), 0755);
  }

 private:
  std::string dir_;
};

TEST_F(RouterSessionTest, OnlyTheMasterServerIsGreeted) {
  start();
  Peer intruder(kOtherAddress);
  ASSERT_TRUE(intruder.connected());
  EXPECT_EQ(intruder.read_to_close(), "") << "closed without a greeting";
  EXPECT_TRUE(intruder.closed());
  EXPECT_TRUE(wait_for_text(kRouterLogPath, "]Ip not matching master server: 127.0.0.1 droping connection.\n"));
  EXPECT_NE(scene_.log().find("[127.0.0.2]["), std::string::npos) << scene_.log();

  Peer master;
  EXPECT_EQ(master.read_until("\r\n"), "220 Zarn Router Server\r\n");
  EXPECT_TRUE(wait_for_text(kRouterLogPath, "[127.0.0.1]["));
  EXPECT_NE(scene_.log().find("]Client auth is in progress..\n"), std::string::npos) << scene_.log();
}

TEST_F(RouterSessionTest, AMasterServerLineWithACarriageReturnMatchesNoPeer) {
  std::string config = read_file("/zarn/conf/zarn-router.conf");
  write_file("/zarn/conf/zarn-router.conf", config + "master_server 127.0.0.1\r\n");
  start();
  Peer master;
  EXPECT_EQ(master.read_to_close(), "");
  EXPECT_TRUE(master.closed());
}

TEST_F(RouterSessionTest, LoginOnTheFirstTry) {
  start();
  Peer peer;
  EXPECT_EQ(peer.login(), kAccepted);
  EXPECT_EQ(peer.exchange("quit", "222 Good Bye.\r\n"), "222 Good Bye.\r\n");
  EXPECT_EQ(peer.read_to_close(), "");
  EXPECT_TRUE(peer.closed());
  EXPECT_TRUE(wait_for_text(kRouterLogPath, "]Connection to client ended.\n"));
  std::string log = scene_.log();
  size_t received = log.find("]Recived user and password.\n");
  size_t accepted = log.find("]Authentication accepted.\n");
  EXPECT_TRUE(received != std::string::npos && accepted != std::string::npos && received < accepted) << log;
}

TEST_F(RouterSessionTest, FourRejectionsCloseTheConnection) {
  start();
  Peer peer;
  EXPECT_EQ(peer.login(kRouterUser, "wrong"), kRejected);
  // Later attempts get no new greeting or prompt before the user name.
  for (const char* user : {"DEMO", "Demo", "demo"}) {
    peer.send(std::string(user) + "\r\n");
    EXPECT_EQ(peer.read_until("\r\n"), "221 More Authentication Required\r\n");
    peer.send(user == std::string("demo") ? "ABCDE\r\n" : "abcde\r\n");
    EXPECT_EQ(peer.read_until("\r\n"), kRejected) << user << ": the user name is compared exactly";
  }
  peer.send("demo\r\nabcde\r\n");
  EXPECT_EQ(peer.read_to_close(), "") << "a fifth attempt is never read";
  EXPECT_TRUE(peer.closed());
  std::string log = scene_.log();
  size_t failures = 0;
  for (size_t at = log.find("]Authentication failed.\n"); at != std::string::npos;
       at = log.find("]Authentication failed.\n", at + 1))
    ++failures;
  EXPECT_EQ(failures, 4u) << log;
}

TEST_F(RouterSessionTest, QuitAtEitherPromptClosesWithoutReply) {
  start();
  {
    Peer peer;
    EXPECT_EQ(peer.read_until("\r\n"), "220 Zarn Router Server\r\n");
    peer.send("quit\r\n");
    EXPECT_EQ(peer.read_to_close(), "");
    EXPECT_TRUE(peer.closed());
  }
  {
    Peer peer;
    EXPECT_EQ(peer.read_until("\r\n"), "220 Zarn Router Server\r\n");
    peer.send("demo\r\n");
    EXPECT_EQ(peer.read_until("\r\n"), "221 More Authentication Required\r\n");
    peer.send("quit\r\n");
    EXPECT_EQ(peer.read_to_close(), "");
    EXPECT_TRUE(peer.closed());
  }
}

TEST_F(RouterSessionTest, APasswordWhoseCipherTextHoldsAZeroByte) {
  // Find a password whose cipher text under the key has a zero byte inside.
  std::string password, cipher;
  for (int i = 0; i < 100000 && password.empty(); ++i) {
    std::string candidate = "pw" + std::to_string(i);
    std::optional<std::string> c = mcrypt_encrypt("tripledes", "routerkey", candidate.c_str(), "ecb", kIvRand);
    ASSERT_TRUE(c);
    size_t zero = c->find('\0');
    if (zero != std::string::npos && zero > 0 && zero < c->size() - 1) {
      password = candidate;
      cipher = *c;
    }
  }
  ASSERT_FALSE(password.empty());
  std::string hex;
  for (unsigned char byte : cipher) {
    char two[3];
    std::snprintf(two, sizeof two, "%02x", byte);
    hex += two;
  }
  scene_.db().exec("UPDATE internet_routers SET `password` = UNHEX('" + hex + "')");
  start();
  Peer peer;
  EXPECT_EQ(peer.login(kRouterUser, password), kAccepted) << "password " << password << " cipher " << hex;
}

TEST_F(RouterSessionTest, EveryCommandCountsItsWordsAndReplies) {
  start();
  Peer peer;
  ASSERT_EQ(peer.login(), kAccepted);
  const std::pair<const char*, std::string> exchanges[] = {
      {"firewall", kMissing},
      {"firewall start extra", kTooMany},
      {"firewall start ", kTooMany},
      {"firewall reload", kWrong},
      {"firewall restart", kSuccess},
      {"firewall stop", kSuccess},
      {"client", kMissing},
      {"client activate", kMissing},
      {"client activate 17 x", kTooMany},
      {"client  activate 17", kTooMany},
      {"client enable 17", kWrong},
      {"client activate 17", kSuccess},
      {"client deactivate 17", kSuccess},
      {"setting activate", kMissing},
      {"setting on 5", kWrong},
      {"setting activate 5", kSuccess},
      {"setting deactivate 5", kSuccess},
      {"redirect update 9", kWrong},
      {"redirect activate 9", kSuccess},
      {"redirect deactivate 9", kSuccess},
      {"restrict activate 17 1", kTooMany},
      {"restrict purge 17", kWrong},
      {"restrict update 17", kSuccess},
      {"system", kMissing},
      {"system halt", kWrong},
      {"system reboot", kSuccess},
      {"system shutdown now", kSuccess},
      {"zarn-auth", kMissing},
      {"zarn-auth kill", kMissing},
      {"zarn-auth stop 55", kWrong},
      {"HELP", "Unkown command\r\n"},
      {"frobnicate", "Unkown command\r\n"},
      {"Client activate 17", "Unkown command\r\n"},
      {"", ""},
      {" firewall start", ""},
      {"\t", "Unkown command\r\n"},
      {"clear", "\f"},
      {"?", kHelp},
      {"help", kHelp},
      {"quit", "222 Good Bye.\r\n"},
  };
  for (const auto& [line, expected] : exchanges) EXPECT_EQ(peer.exchange(line, expected), expected) << line;
  EXPECT_EQ(peer.read_to_close(), "");
  EXPECT_TRUE(peer.closed());
  const std::string firewall_env = "env PATH=/usr/sbin:/usr/bin:/sbin:/bin PROBE=(null)\n";
  EXPECT_EQ(scene_.calls(), "firewall_operation 1 4 (null) db=1 conf=/zarn/conf/zarn-router.conf\n" + firewall_env +
                                "restrict_load 1 4\n"
                                "firewall_operation 0 4 (null) db=1 conf=/zarn/conf/zarn-router.conf\n" +
                                firewall_env +
                                "restrict_load 0 4\n"
                                "op_client 17 1\nop_client 17 0\nop_ip 5 1\nop_ip 5 0\n"
                                "redirect_notifier 9 1 (null)\nredirect_notifier 9 0 (null)\n"
                                "server_do 1\nserver_do 2\n");
}

TEST_F(RouterSessionTest, ARunnerFailureGivesFailure) {
  start();
  Peer peer;
  ASSERT_EQ(peer.login(), kAccepted);
  scene_.stub_returns(0);  // the module fails: the runner exits with status 2
  EXPECT_EQ(peer.exchange("client activate 17", kFailure), kFailure);
  EXPECT_EQ(peer.exchange("firewall start", kFailure), kFailure);
  scene_.stub_returns(1);
  EXPECT_EQ(peer.exchange("client activate 17", kSuccess), kSuccess);
  EXPECT_EQ(scene_.calls().substr(0, 16), "op_client 17 1\nf") << scene_.calls();
}

TEST_F(RouterSessionTest, OtherPortsFromTheNotifierFileReachTheRunner) {
  scene_.write_notifier("other_ports 8080,8081\n");
  start();
  Peer peer;
  ASSERT_EQ(peer.login(), kAccepted);
  EXPECT_EQ(peer.exchange("firewall restart", kSuccess), kSuccess);
  EXPECT_EQ(peer.exchange("redirect activate 9", kSuccess), kSuccess);
  std::string calls = scene_.calls();
  EXPECT_EQ(calls.rfind("firewall_operation 1 4 8080,8081 db=1", 0), 0u) << calls;
  EXPECT_NE(calls.find("redirect_notifier 9 1 8080,8081\n"), std::string::npos) << calls;
  EXPECT_EQ(scene_.log().find("Zarn-Notifier config was not found."), std::string::npos);
}

TEST_F(RouterSessionTest, LaunchersPassTheirArgumentLists) {
  // A recording runner in place of the real one: it shows the argument lists
  // of the runs that the real runner acts on without a trace (restrict) or
  // that must not happen on this machine (reboot).
  const std::string args_log = "/zarn/logs/runner-args.log";
  fs::remove("/zarn/bin/gw-runner");
  write_file("/zarn/bin/gw-runner",
             "#!/bin/sh\necho \"$0|$*\" >> " + args_log +
                 "\nif [ -f /zarn/conf/fake-status ]; then exit $(cat /zarn/conf/fake-status); fi\nexit 1\n");
  chmod("/zarn/bin/gw-runner", 0755);
  scene_.write_notifier("other_ports 8080,8081\n");
  start();
  Peer peer;
  ASSERT_EQ(peer.login(), kAccepted);
  for (const char* line :
       {"firewall restart", "client activate 17", "client deactivate 1;id", "setting activate 5",
        "setting deactivate 5", "redirect activate 9", "redirect deactivate 9", "restrict activate 17",
        "restrict deactivate 17", "restrict update 17", "system reboot", "system shutdown"})
    EXPECT_EQ(peer.exchange(line, kSuccess), kSuccess) << line;
  EXPECT_EQ(read_file(args_log),
            "/zarn/bin/gw-runner|internet start 4 8080,8081\n"
            "/zarn/bin/gw-runner|internet restart 4 8080,8081\n"
            "/zarn/bin/gw-runner|internet client_start 17\n"
            "/zarn/bin/gw-runner|internet client_stop 1;id\n"
            "/zarn/bin/gw-runner|internet id_start 5\n"
            "/zarn/bin/gw-runner|internet id_stop 5\n"
            "/zarn/bin/gw-runner|redirect start 9 8080,8081\n"
            "/zarn/bin/gw-runner|redirect stop 9 8080,8081\n"
            "/zarn/bin/gw-runner|restrict start 17 4\n"
            "/zarn/bin/gw-runner|restrict stop 17 4\n"
            "/zarn/bin/gw-runner|restrict update 17 4\n"
            "/zarn/bin/gw-runner|server reboot\n"
            "/zarn/bin/gw-runner|server shutdown\n");

  write_file("/zarn/conf/fake-status", "2\n");
  EXPECT_EQ(peer.exchange("client activate 17", kFailure), kFailure);
  fs::remove("/zarn/bin/gw-runner");
  EXPECT_EQ(peer.exchange("system reboot", kFailure), kFailure) << "a runner that cannot be executed";
}

TEST_F(RouterSessionTest, IdentifyTellsNameIdUptimeVersionAndSystem) {
  start();
  Peer peer;
  ASSERT_EQ(peer.login(), kAccepted);
  long before = std::atol(read_file("/proc/uptime").c_str());
  peer.send("identify\r\nquit\r\n");
  std::string reply = peer.read_to_close();
  long after = std::atol(read_file("/proc/uptime").c_str());
  auto line_for = [](long s) {
    if (s <= 60) return "Uptime: " + std::to_string(s) + " seconds\r\n";
    if (s <= 3600) return "Uptime: " + std::to_string(s / 60) + " minutes\r\n";
    return "Uptime: " + std::to_string(s / 3600) + " hours\r\n";
  };
  const std::string head = "Name: test-router\r\nID: 4\r\n";
  const std::string tail = "Version: 1.2.0\r\n222 Good Bye.\r\n";  // no status line of its own
  EXPECT_TRUE(reply == head + line_for(before) + tail || reply == head + line_for(after) + tail) << reply;

  // With a release file the system is named too, its own line feed kept.
  ASSERT_EQ(mount("tmpfs", "/etc", "tmpfs", 0, "mode=0755"), 0);
  write_file("/etc/slackware-version", "Slackware 15.0\n");
  Peer again;
  ASSERT_EQ(again.login(), kAccepted);
  again.send("identify\r\nquit\r\n");
  std::string with_os = again.read_to_close();
  umount2("/etc", MNT_DETACH);
  EXPECT_NE(with_os.find("\r\nVersion: 1.2.0\r\nOs: Slackware 15.0\n\r\n222 Good Bye.\r\n"), std::string::npos)
      << with_os;
}

// Starts `/bin/sleep` with the given account; its pid.
pid_t start_sleeper(const passwd* account) {
  pid_t pid = fork();
  if (pid == 0) {
    if (account && (setgid(account->pw_gid) != 0 || setuid(account->pw_uid) != 0)) _exit(126);
    execl("/bin/sleep", "sleep", "60", static_cast<char*>(nullptr));
    _exit(127);
  }
  return pid;
}

TEST_F(RouterSessionTest, ZarnAuthKillSignalsOnlyProperProcessIds) {
  start();
  Peer peer;
  ASSERT_EQ(peer.login(), kAccepted);
  const passwd* zarn = getpwnam("zarn");
  ASSERT_NE(zarn, nullptr);
  pid_t own = start_sleeper(zarn);
  pid_t foreign = start_sleeper(nullptr);  // root's: not the daemon's to signal
  pid_t gone = start_sleeper(nullptr);
  kill(gone, SIGKILL);
  int status = 0;
  waitpid(gone, &status, 0);
  usleep(100000);

  EXPECT_EQ(peer.exchange("zarn-auth kill " + std::to_string(own), kSuccess), kSuccess);
  ASSERT_EQ(waitpid(own, &status, 0), own);
  EXPECT_TRUE(WIFSIGNALED(status) && WTERMSIG(status) == SIGQUIT) << status;
  EXPECT_EQ(peer.exchange("zarn-auth kill " + std::to_string(foreign) + " extra", kFailure), kFailure);
  EXPECT_EQ(peer.exchange("zarn-auth kill " + std::to_string(gone), kFailure), kFailure);
  // Ids that would address process groups, or are no numbers, are refused.
  for (const char* id : {"0", "-1", "1", "-", "12x", "+5", " 5", "99999999999"})
    EXPECT_EQ(peer.exchange(std::string("zarn-auth kill ") + id, kWrong), kWrong) << id;
  EXPECT_EQ(peer.exchange("identify", "Version: 1.2.0\r\n").rfind("Name: test-router", 0), 0u)
      << "the daemon must still be there";
  EXPECT_EQ(waitpid(foreign, &status, WNOHANG), 0) << "the foreign process lives on";
  kill(foreign, SIGKILL);
  waitpid(foreign, &status, 0);
  EXPECT_NE(scene_.log().find("Diconnecting zarn-auth client pid: " + std::to_string(own) + "\n"), std::string::npos);
}

TEST_F(RouterSessionTest, AnIdlePeerIsDisconnected) {
  scene_.write_config("client_timeout 2\n");
  start();
  {
    Peer logged_in;
    ASSERT_EQ(logged_in.login(), kAccepted);
    EXPECT_EQ(logged_in.read_to_close(), "");
    EXPECT_TRUE(logged_in.closed()) << "the session must end after the idle time-out";
  }
  {
    Peer at_prompt;
    EXPECT_EQ(at_prompt.read_until("\r\n"), "220 Zarn Router Server\r\n");
    EXPECT_EQ(at_prompt.read_to_close(), "");
    EXPECT_TRUE(at_prompt.closed());
  }
  EXPECT_TRUE(wait_for_text(kRouterLogPath, "]Connection to client ended.\n"));
}

TEST_F(RouterSessionTest, AnOverlongLineEndsTheSession) {
  start();
  Peer peer;
  ASSERT_EQ(peer.login(), kAccepted);
  peer.send(std::string(70 * 1024, 'a'));
  EXPECT_EQ(peer.read_to_close(), "");
  EXPECT_TRUE(peer.closed());
}

TEST_F(RouterSessionTest, AWriteToALostPeerIsNotFatal) {
  FakeTools tools;
  tools.place("arping", "/bin/sleep 1\necho done\n");
  start();
  Peer peer;
  ASSERT_EQ(peer.login(), kAccepted);
  // The peer leaves with a reset while a run is going on: the replies written
  // after it fail (the second with a broken pipe, whose signal must not end
  // the process), and the session must still end in order, with its log line.
  peer.send("system arping -c 1 10.0.0.1\r\n");
  usleep(200000);
  peer.reset();
  EXPECT_TRUE(wait_for_text(kRouterLogPath, "]Connection to client ended.\n")) << scene_.log();
}

TEST_F(RouterSessionTest, DiagnosticWordsReachTheToolLiterally) {
  FakeTools tools;
  tools.place("arping", "for a in \"$@\"; do printf '[%s]' \"$a\"; done\necho\n");
  tools.place("mtr", "echo partial\nexit 3\n");
  start();
  Peer peer;
  ASSERT_EQ(peer.login(), kAccepted);
  const std::string injected = "/zarn/logs/injected";
  std::string line = "system arping ;touch " + injected + " $(touch " + injected + ") it's a  b";
  std::string expected =
      "[;touch][" + injected + "][$(touch][" + injected + ")][it's][a][][b]\n\r\n400 Command executed\r\n";
  EXPECT_EQ(peer.exchange(line, expected), expected);
  EXPECT_FALSE(path_exists(injected)) << "a word was run as shell syntax";

  EXPECT_EQ(peer.exchange("system mtr -r 10.0.0.1", "\r\n400 Command executed\r\n"), "\r\n400 Command executed\r\n")
      << "a tool that fails gives an empty line";
  EXPECT_EQ(peer.exchange("system arping " + std::string(1000, 'x'), kTooMany), kTooMany);
  std::string quotes = "system arping " + std::string(300, '\'');
  EXPECT_EQ(peer.exchange(quotes, kTooMany), kTooMany) << "the quoted line counts";
  EXPECT_EQ(peer.exchange("system arping " + std::string(900, 'y'),
                          "[" + std::string(900, 'y') + "]\n\r\n400 Command executed\r\n"),
            "[" + std::string(900, 'y') + "]\n\r\n400 Command executed\r\n");
}

TEST_F(RouterSessionTest, ARefusedDiagnosticOptionFailsTheRunWithoutStartingTheTool) {
  FakeTools tools;
  const std::string ran = "/zarn/logs/tool-ran";
  tools.place("arping", "touch " + ran + "\necho ran\n");
  start();
  Peer peer;
  ASSERT_EQ(peer.login(), kAccepted);
  const std::string failed = "\r\n400 Command executed\r\n";
  EXPECT_EQ(peer.exchange("system arping -U -I eth0 10.0.0.1", failed), failed);
  EXPECT_EQ(peer.exchange("system arping -c 1 -s 10.0.0.9 10.0.0.1", failed), failed);
  EXPECT_FALSE(path_exists(ran)) << "the tool ran with an option that rewrites neighbours' ARP tables";
  EXPECT_EQ(peer.exchange("system arping -c 1 10.0.0.1", "ran\n" + failed), "ran\n" + failed);
}

TEST_F(RouterSessionTest, ClientActivateChangesTheKernel) {
  fs::copy_file(ZARN_ACCESS_MODULE, "/zarn/modules/mod_access.so", fs::copy_options::overwrite_existing);
  std::string rid = std::to_string(kRouterId);
  scene_.db().exec("INSERT INTO internal_net (rid, net, host_min, host_max) VALUES (" + rid +
                   ", '10.4.1.0/24', INET_ATON('10.4.1.1'), INET_ATON('10.4.1.254'));"
                   "INSERT INTO internet_clients (id, remote) VALUES (17, " +
                   rid +
                   ");"
                   "INSERT INTO internet_settings (cid, rid, ip, mac, active) VALUES (17, " +
                   rid + ", '10.4.1.17', '02:00:00:04:01:11', 0)");
  start();  // builds the firewall: client 17 has not paid, so it is marked and not forwarded
  auto members = [] { return run({"/usr/sbin/ipset", "list", "src_10_4_1_0_24"}).output; };
  auto marks = [] { return run({"/usr/sbin/iptables-legacy-save", "-t", "mangle"}).output; };
  ASSERT_EQ(members().find("10.4.1.17"), std::string::npos) << members();
  ASSERT_NE(marks().find("-A unpaied_10_4_1 -s 10.4.1.17/32"), std::string::npos) << marks();

  Peer peer;
  ASSERT_EQ(peer.login(), kAccepted);
  EXPECT_EQ(peer.exchange("client activate 17", "222 Success.\r\n"), "222 Success.\r\n");
  EXPECT_NE(members().find("10.4.1.17,02:00:00:04:01:11"), std::string::npos) << members();
  EXPECT_EQ(marks().find("-s 10.4.1.17/32"), std::string::npos) << marks();

  EXPECT_EQ(peer.exchange("client deactivate 17", "222 Success.\r\n"), "222 Success.\r\n");
  EXPECT_EQ(members().find("10.4.1.17"), std::string::npos) << members();
  EXPECT_NE(marks().find("-A unpaied_10_4_1 -s 10.4.1.17/32"), std::string::npos) << marks();
}

// The one slow case: a tool that goes on writing past the time limit. The
// limit asks the runner to kill every tcpdump; a process of that name stands
// witness. (The tool itself is not named tcpdump: other tests on the machine
// may run that kill at any time.)
TEST_F(RouterSessionTest, SlowADiagnosticRunPastItsTimeLimit) {
  FakeTools tools;
  tools.place("arping", "i=0\nwhile [ $i -lt 33 ]; do echo tick; i=$((i+1)); /bin/sleep 1; done\n");
  TempDir dir;
  std::string witness_path = dir.file("tcpdump");
  fs::copy_file("/bin/sleep", witness_path);
  start();
  Peer peer(kMasterAddress, 60);
  ASSERT_EQ(peer.login(), kAccepted);
  pid_t witness = fork();
  if (witness == 0) {
    execl(witness_path.c_str(), "tcpdump", "100", static_cast<char*>(nullptr));
    _exit(127);
  }
  peer.send("system arping -c 33 10.0.0.1\r\n");
  std::string reply = peer.read_until("400 Command executed\r\n");
  std::string ticks;
  for (int i = 0; i < 33; ++i) ticks += "tick\n";
  EXPECT_EQ(reply, "300 Command trapped by timeout: 30s.\r\n" + ticks + "\r\n400 Command executed\r\n")
      << "the time-out is told while the run goes on, and the output still comes";
  int status = 0;
  EXPECT_EQ(waitpid(witness, &status, WNOHANG), witness) << "the time-out must have the runner kill tcpdump";
  EXPECT_TRUE(WIFSIGNALED(status) && WTERMSIG(status) == SIGKILL) << status;
  kill(witness, SIGKILL);
  EXPECT_EQ(peer.exchange("client activate 17", kSuccess), kSuccess) << "the session goes on";
}

}  // namespace
