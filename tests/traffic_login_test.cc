// The ways a subscriber's forwarding opens and closes besides the control
// protocol, shown with real traffic: a login through zarn-auth and its end, a
// gate login and its expiry by session-reaper, a MAC address learned by
// macwatch. Each test prints how long after the event the traffic passed or stopped.
#include <signal.h>
#include <sys/wait.h>

#include <cstdio>
#include <filesystem>
#include <thread>

#include "tests/auth_harness.h"
#include "tests/macwatch_workers.h"
#include "tests/reaper_daemon.h"
#include "tests/traffic_fixture.h"

namespace zarn_test {
namespace {

void pause_ms(int ms) { std::this_thread::sleep_for(std::chrono::milliseconds(ms)); }

TEST_F(TrafficTest, ASubscriberLoginOpensTrafficAndItsEndClosesIt) {
  write_file("/zarn/conf/router-ports", "7000|tcp|all\n");
  start_firewall();
  // A login account is forwarded by its login, not by the firewall build.
  ASSERT_EQ(runner({"ZarnAuth", "2", "stop"}).exit_status, 1);
  db_.exec("UPDATE internet_routers SET `user` = 'zarn_test'");  // the login service finds its router by its account
  write_file("/zarn/conf/zarn-auth.conf", std::string("auth_port 7000\nauth_listen_on ") + kLanGateway +
                                              "\ncrypt_key routerkey\n" + db_.config_lines() +
                                              "ping_client_time 5\nclient_timeout 10\n");
  rig_.add_host(kHostBob);
  ASSERT_EQ(rig_.pings_answered(kHostBob.name, 3), 0) << "bob passed before his login";
  AuthDaemon auth;
  ASSERT_TRUE(auth.ready()) << auth.output();

  PingStream stream(kHostBob.name, 10, 16);
  pause_ms(700);
  const std::string out = "/tmp/traffic-login-" + std::to_string(getpid());
  const double login = wall_clock();
  pid_t client = start_background({"/usr/sbin/ip", "netns", "exec", kHostBob.name, "/zarn/bin/zarn-login", "-a",
                                   kLanGateway, "-p", "7000", "-u", "bob", "-g", kLanGateway},
                                  out, {"ZARN_LOGIN_PASSWORD=abcdefgh"});
  pause_ms(4000);
  const double logout = wall_clock();
  kill(client, SIGINT);
  int status = wait_for_exit(client, 10);
  stream.finish();
  const double opened = stream.first_reply_after(login);
  const double closed = stream.last_reply_after(logout, logout + 30);
  std::printf(
      "[ figures  ] login: first reply %.1f ms after zarn-login started; end of the login: last reply %.1f ms "
      "after zarn-login was interrupted; %zu replies of %d pings\n",
      opened * 1000, closed * 1000, stream.replies().size(), stream.sent());
  EXPECT_EQ(status, 0) << read_file(out) << read_file(kAuthLog);
  EXPECT_GE(opened, 0) << "no traffic after the login: " << read_file(out) << read_file(kAuthLog);
  EXPECT_LT(opened, 3) << "the login opens at once, before the session's messages";
  EXPECT_GT(stream.replies_after(logout - 1), 0) << "bob passed until he left";
  EXPECT_LT(closed, 7) << "the end of a login closes the forwarding by the next probe (5 s apart)"
                       << read_file(kAuthLog);
  std::filesystem::remove(out);
}

TEST_F(TrafficTest, AGateLoginOpensTrafficAndItsExpiryBySessionReaperClosesIt) {
  start_firewall();
  rig_.add_host(kHostFrank);
  ASSERT_EQ(rig_.pings_answered(kHostFrank.name, 3), 0) << "a gate client passes only after his gate login";
  write_file("/zarn/conf/zarn-auth.conf",
             db_.config_lines() + "session_dir " + kSessions + "\nexpiration_time 61\nverify_interval 11\n");

  PingStream stream(kHostFrank.name, 10, 8);
  pause_ms(700);
  const double login = wall_clock();
  RunResult gate = runner({"zarn-gate", kHostFrank.address, kHostFrank.mac});
  const double logged_in = wall_clock();
  ASSERT_EQ(gate.exit_status, 1) << read_file("/zarn/logs/gw-runner.log");
  db_.exec(std::string("INSERT INTO internet_gate_log (cid, session, remote_addr) VALUES (6, 'sid', '") +
           kHostFrank.address + "')");
  write_file(kSessions + "/" + kHostFrank.address, std::string("sid;6;") + kHostFrank.mac);
  pause_ms(1500);
  // The reaper's clock past the session's expiry.
  const double expiry = wall_clock();
  Reaper reaper(75);
  ASSERT_TRUE(reaper_log_shows("disconnect result")) << read_file(kReaperLog);
  const double expired = wall_clock();
  stream.finish();
  const double opened = stream.first_reply_after(login);
  const double closed = stream.last_reply_after(expiry, expired + 5);
  std::printf(
      "[ figures  ] gate login: command %.1f ms, first reply %.1f ms after it began; expiry: the reaper "
      "logged it %.1f ms after its start, last reply %.1f ms after its start\n",
      (logged_in - login) * 1000, opened * 1000, (expired - expiry) * 1000, closed * 1000);
  EXPECT_EQ(stream.replies_after(0) - stream.replies_after(login), 0);
  EXPECT_GE(opened, 0) << "no traffic after the gate login";
  EXPECT_LE(opened, logged_in - login + 0.1);
  EXPECT_GT(stream.replies_after(logged_in) - stream.replies_after(expiry), 50) << "frank passed while logged in";
  EXPECT_LE(closed, expired - expiry + 0.1) << "frank passed after his session expired";
  EXPECT_EQ(stream.replies_after(expired + 0.1), 0);
  EXPECT_EQ(db_.query("SELECT COUNT(*) FROM internet_gate_log WHERE logout_date = '0000-00-00 00:00:00'")[0][0], "0");
}

TEST_F(TrafficTest, AMacLearnedByMacwatchOpensTraffic) {
  start_firewall();
  write_router_config("path_iptables /usr/sbin/iptables\npath_modprobe /usr/sbin/modprobe\ninternal_eth lan1\n");
  rig_.add_host(kHostErin);
  ASSERT_EQ(rig_.pings_answered(kHostErin.name, 3), 0) << "erin's MAC is not known yet";

  PingStream stream(kHostErin.name, 10, 8);
  pause_ms(500);
  const double launch = wall_clock();
  MacwatchWorkers macwatch;
  ASSERT_EQ(macwatch.pids().size(), 3u) << macwatch.output();
  const bool learned = eventually(
      [&] { return db_.query("SELECT UPPER(mac) FROM internet_settings WHERE id = 5")[0][0] == kHostErin.mac; }, 10);
  const double stored = wall_clock();
  stream.finish();
  const double opened = stream.first_reply_after(launch);
  std::printf("[ figures  ] macwatch: the MAC stored %.1f ms after the launch, first reply %.1f ms after it\n",
              (stored - launch) * 1000, opened * 1000);
  EXPECT_TRUE(learned) << read_file("/zarn/logs/macwatch.log");
  EXPECT_GE(opened, 0) << "no traffic after the MAC was learned: " << read_file("/zarn/logs/macwatch.log")
                       << read_file("/zarn/logs/gw-runner.log");
  EXPECT_GT(stream.replies_after(launch + opened), 100) << "erin keeps passing";
}

}  // namespace
}  // namespace zarn_test
