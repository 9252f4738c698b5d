// Firewall starts that must never leave the router open: what the kernel
// holds while a start runs, and after starts fed with input that the build
// cannot use.
#include <fcntl.h>
#include <grp.h>
#include <gtest/gtest.h>
#include <libiptc/libiptc.h>
#include <pwd.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <functional>
#include <map>
#include <set>
#include <sstream>

#include "tests/access_fixture.h"

namespace {

using namespace zarn_test;

const std::string kRunnerLog = "/zarn/logs/gw-runner.log";
const std::string kClosed = "INPUT DROP FORWARD DROP OUTPUT DROP";

// The runner as the account zarn, in a child of this process (so that the
// test can watch the kernel while it runs, or end it).
pid_t start_runner(const std::vector<std::string>& args) {
  pid_t pid = fork();
  if (pid == 0) {
    const passwd* zarn = getpwnam("zarn");
    if (!zarn || setgroups(0, nullptr) || setgid(zarn->pw_gid) || setuid(zarn->pw_uid)) _exit(126);
    std::vector<const char*> argv{"/zarn/bin/gw-runner"};
    for (const std::string& a : args) argv.push_back(a.c_str());
    argv.push_back(nullptr);
    int null = open("/dev/null", O_WRONLY);
    dup2(null, 1);
    dup2(null, 2);
    execv(argv[0], const_cast<char* const*>(argv.data()));
    _exit(127);
  }
  return pid;
}

// The policies of filter's built-in chains as the kernel holds them this instant.
std::string filter_policies() {
  xtc_handle* h = iptc_init("filter");
  if (!h) return "unreadable";
  std::string out;
  for (const char* chain : {"INPUT", "FORWARD", "OUTPUT"}) {
    ipt_counters counters{};
    const char* policy = iptc_get_policy(chain, &counters, h);
    out += std::string(out.empty() ? "" : " ") + chain + " " + (policy ? policy : "?");
  }
  iptc_free(h);
  return out;
}

// The whole layout by part: both rule tables, and every set with its members
// ("set NAME"), as the programs of the system print them.
using Layout = std::map<std::string, std::string>;

Layout layout() {
  Layout parts{{"filter", saved_table("filter")}, {"mangle", saved_table("mangle")}};
  std::istringstream lines(run({"/usr/sbin/ipset", "save"}).output);
  for (std::string line; std::getline(lines, line);) {
    std::istringstream words(line);
    std::string verb, name, rest;
    words >> verb >> name;
    std::getline(words, rest);
    if (verb == "create") parts["set " + name] += "";
    if (verb == "add") parts["set " + name] += rest + "\n";
  }
  return parts;
}

std::string describe(const Layout& parts) {
  std::string out;
  for (const auto& [part, content] : parts) out += "[" + part + "]\n" + content;
  return out;
}

// "ADDRESS,MAC" of every member of every set, the MAC in upper case.
std::set<std::string> all_members() {
  std::set<std::string> members;
  for (const auto& [part, content] : layout()) {
    if (part.rfind("set ", 0) != 0) continue;
    std::istringstream lines(content);
    for (std::string entry; std::getline(lines, entry);) {
      entry = entry.substr(entry.find_first_not_of(' '));
      for (char& c : entry) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
      members.insert(entry);
    }
  }
  return members;
}

std::string probable_errors(const std::string& log) {
  const std::string tag = "Added all firewall rules. Probable errors: ";
  size_t at = log.rfind(tag);
  if (at == std::string::npos) return "(no end of build logged)";
  at += tag.size();
  return log.substr(at, log.find('.', at) - at);
}

// A router of 40 networks with 50 paid clients each: long enough a start
// that a watcher sees the kernel many times while it runs.
class BuildWatchTest : public testing::Test {
 protected:
  void SetUp() override {
    configure_router(db_);
    std::string nets, clients, settings;
    for (int n = 0; n < 40; ++n) {
      std::string prefix = "10.20." + std::to_string(n) + ".";
      nets += std::string(nets.empty() ? "" : ",") + "(1, '" + prefix + "0/24', INET_ATON('" + prefix +
              "1'), INET_ATON('" + prefix + "254'))";
      for (int h = 2; h < 52; ++h) {
        int id = n * 100 + h;
        char mac[24];
        std::snprintf(mac, sizeof mac, "02:00:00:00:%02X:%02X", n, h);
        clients += std::string(clients.empty() ? "" : ",") + "(" + std::to_string(id) + ",1)";
        settings += std::string(settings.empty() ? "" : ",") + "(" + std::to_string(id) + ",1,'" + prefix +
                    std::to_string(h) + "','" + mac + "',1)";
        registered_.insert(prefix + std::to_string(h) + "," + mac);
      }
    }
    db_.exec(
        "INSERT INTO internet_routers (id, rname, ip) VALUES (1, 'r1', '10.20.0.1');"
        "INSERT INTO internal_net (rid, net, host_min, host_max) VALUES " +
        nets +
        ";"
        "INSERT INTO internet_clients (id, remote) VALUES " +
        clients +
        ";"
        "INSERT INTO internet_settings (cid, rid, ip, mac, active) VALUES " +
        settings);
  }
  TestDatabase db_;
  std::set<std::string> registered_;
};

TEST_F(BuildWatchTest, WhileStartsRunTheFilterStaysClosedAndNoStrangerIsInASet) {
  ASSERT_EQ(runner({"internet", "start", "1"}).exit_status, 1) << read_file(kRunnerLog);
  ASSERT_EQ(filter_policies(), kClosed);
  // A pair that is not registered, standing in a set before the first start:
  // that start takes it out, and nothing may let it in again.
  const std::string stranger = "10.20.5.200,02:66:00:00:00:01";
  ASSERT_EQ(run({"/usr/sbin/ipset", "add", "src_10_20_5_0_24", stranger}).exit_status, 0);
  int samples = 0, open = 0, strangers = 0;
  std::string open_seen, stranger_seen;
  for (int start = 0; start < 5; ++start) {
    pid_t pid = start_runner({"internet", "start", "1"});
    for (int i = 0;; ++i) {
      int status = 0;
      bool ended = waitpid(pid, &status, WNOHANG) == pid;
      std::string policies = filter_policies();
      ++samples;
      if (policies != kClosed) ++open, open_seen = policies;
      if (i % 8 == 0 || ended) {
        for (const std::string& m : all_members())
          if (!registered_.count(m) && !(start == 0 && !ended && m == stranger)) ++strangers, stranger_seen = m;
      }
      if (ended) {
        ASSERT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 1) << read_file(kRunnerLog);
        break;
      }
    }
  }
  EXPECT_EQ(open, 0) << "of " << samples << " looks at the filter table, e.g. " << open_seen;
  EXPECT_EQ(strangers, 0) << "an unregistered pair stood in a set: " << stranger_seen;
  EXPECT_GT(samples, 25) << "too few looks to say anything";
  EXPECT_EQ(all_members(), registered_);
}

TEST_F(BuildWatchTest, AStartKilledAtAnyMomentLeavesEachPartOldOrNew) {
  ASSERT_EQ(runner({"internet", "start", "1"}).exit_status, 1) << read_file(kRunnerLog);
  const Layout before = layout();
  // A client changes sides, so that each part's new content differs from its old.
  db_.exec("UPDATE internet_settings SET active = 0 WHERE ip = '10.20.3.7'");
  std::vector<std::pair<int, Layout>> killed;
  for (int delay_us = 500; delay_us < 2000000; delay_us += 1500) {
    pid_t pid = start_runner({"internet", "start", "1"});
    usleep(static_cast<useconds_t>(delay_us));
    kill(pid, SIGKILL);
    int status = 0;
    waitpid(pid, &status, 0);
    if (WIFEXITED(status)) break;  // it got to its end first
    killed.emplace_back(delay_us, layout());
    db_.exec("UPDATE internet_settings SET active = 1 WHERE ip = '10.20.3.7'");
    ASSERT_EQ(runner({"internet", "start", "1"}).exit_status, 1);
    ASSERT_EQ(layout(), before) << "the old layout could not be made again";
    db_.exec("UPDATE internet_settings SET active = 0 WHERE ip = '10.20.3.7'");
  }
  ASSERT_GT(killed.size(), 5u) << "too few starts were caught";
  ASSERT_EQ(runner({"internet", "start", "1"}).exit_status, 1) << read_file(kRunnerLog);
  const Layout after = layout();
  ASSERT_NE(after, before);
  for (const auto& [delay_us, seen] : killed) {
    std::set<std::string> parts;
    for (const Layout* l : {&before, &after, &seen})
      for (const auto& [part, content] : *l)
        if (part.rfind("set new_", 0) != 0) parts.insert(part);  // a killed start's temporary sets
    std::string mixed, first;
    for (const std::string& part : parts) {
      auto held = [&](const Layout& l) {
        auto it = l.find(part);
        return it == l.end() ? std::string("(none)") : it->second;
      };
      if (held(seen) == held(before) || held(seen) == held(after)) continue;
      if (mixed.empty()) first = held(seen);
      mixed += " " + part;
    }
    EXPECT_EQ(mixed, "") << "killed after " << delay_us << " µs, neither old nor new; the first:\n" << first;
  }
  std::string text = describe(after);
  EXPECT_EQ(text.find("set new_"), std::string::npos) << "a temporary set was left:\n" << text;
  EXPECT_EQ(text.find("10.20.3.7,"), std::string::npos) << "the unpaid client is still forwarded";
  EXPECT_NE(text.find("-A unpaied_10_20_3 -s 10.20.3.7/32"), std::string::npos) << text;
}

// The small router of the access tests, built once as it should be, then
// again with one kind of input that the build cannot use.
class HostileBuildTest : public testing::Test {
 protected:
  void SetUp() override {
    load_router(db_);
    configure_router(db_);
    write_good_operator_files("\n");
  }
  void write_good_operator_files(const std::string& line_end) {
    write_file("/zarn/conf/router-ports", "53|all|all" + line_end + "22|tcp|eth1" + line_end);
    write_file("/zarn/conf/router-iptables", "-A FORWARD -p tcp --dport 25 -j DROP" + line_end +
                                                 "-t mangle -A POSTROUTING -o eth9 -j ACCEPT" + line_end);
  }
  // Builds clean, lets `spoil` add the input, builds again: the kernel must
  // hold what the clean build gave, the log the lines and the error count.
  void expect_skipped(const std::function<void()>& spoil, const std::vector<std::string>& lines,
                      const std::string& errors,
                      const std::vector<std::string>& start_args = {"internet", "start", "1"}) {
    ASSERT_EQ(runner({"internet", "start", "1"}).exit_status, 1) << read_file(kRunnerLog);
    const Layout clean = layout();
    ASSERT_NE(clean.at("filter").find("-A INPUT -i eth1 -p tcp -m multiport --dports 22 -j ACCEPT"), std::string::npos)
        << describe(clean);
    spoil();
    // The layout of a stopped router, so that a start that ends part-way shows.
    ASSERT_EQ(runner({"internet", "stop", "1"}).exit_status, 1);
    std::remove(kRunnerLog.c_str());
    RunResult r = runner(start_args);
    std::string log = read_file(kRunnerLog);
    EXPECT_EQ(r.signal, 0);
    EXPECT_EQ(probable_errors(log), errors) << log;
    EXPECT_EQ(filter_policies(), kClosed);
    EXPECT_EQ(layout(), clean) << "expected\n" << describe(clean) << "saw\n" << describe(layout()) << log;
    for (const std::string& line : lines) EXPECT_NE(log.find(line), std::string::npos) << line << "\nnot in\n" << log;
  }
  TestDatabase db_;
};

TEST_F(HostileBuildTest, BadDatabaseRowsAreSkippedAndTheBuildGoesOn) {
  expect_skipped(
      [&] {
        // A paid row of this router in another router's network, one with a
        // leading zero, a second row for a network, a network a set cannot hold.
        db_.exec(
            "INSERT INTO internet_clients (id, remote) VALUES (20, 1), (21, 1);"
            "INSERT INTO internet_settings (id, cid, rid, ip, mac, active) VALUES"
            " (20, 20, 1, '10.9.9.20', '02:00:00:00:09:14', 1), (21, 21, 1, '10.1.1.010', '02:00:00:00:01:15', 1);"
            "INSERT INTO internal_net (rid, net, host_min, host_max) VALUES"
            " (1, '10.1.2.0/24', INET_ATON('10.1.2.1'), INET_ATON('10.1.2.254')),"
            " (1, '10.64.0.0/10', INET_ATON('10.64.0.1'), INET_ATON('10.127.255.254'))");
      },
      {"Internet: row skipped, no set of this router holds ip: 10.9.9.20\n",
       "Internet: row skipped, bad ip: 10.1.1.010\n", "Internet: row skipped, bad net (a second row): 10.1.2.0/24\n",
       "Internet: row skipped, bad net (wider than /16): 10.64.0.0/10\n"},
      "4");
}

TEST_F(HostileBuildTest, BadExtraPortsAreLeftOutOfTheMarks) {
  for (const std::string& ports :
       {std::string("8080\r"), std::string("http"), std::string("1,2,3,4,5,6,7,8,9,10,11,12,13,14,15")}) {
    SCOPED_TRACE(ports);
    expect_skipped([] {}, {"Internet: row skipped, bad other_ports: "}, "2", {"internet", "start", "1", ports});
  }
  // The redirect verb refuses them too, instead of ending in the middle.
  std::remove(kRunnerLog.c_str());
  RunResult r = runner({"redirect", "start", "3", "8080\r"});
  EXPECT_NE(r.exit_status, 1);
  EXPECT_NE(read_file(kRunnerLog).find("Internet: row skipped, bad other_ports: 8080?\n"), std::string::npos)
      << read_file(kRunnerLog);
}

TEST_F(HostileBuildTest, BadOperatorLinesAreSkippedAndTheBuildGoesOn) {
  expect_skipped(
      [&] {
        write_file("/zarn/conf/router-ports",
                   "53|all|all\nnosuchservice|tcp|all\n22|nosuchproto|all\n"
                   "22 -j DROP|tcp|all\n22|tcp|eth1\n");
        write_file("/zarn/conf/router-iptables",
                   "-A FORWARD -p tcp --dport 25 -j DROP\n-A FORWARD -m nosuchmatch -j ACCEPT\n"
                   "-A INPUT -p tcp --dport 99999 -j ACCEPT\n-A FORWARD -j NOSUCHTARGET\n"
                   "-t mangle -A POSTROUTING -o eth9 -j ACCEPT\n");
      },
      {"Internet: row skipped, bad router-ports line: nosuchservice|tcp|all\n",
       "Internet: row skipped, bad router-ports line: 22|nosuchproto|all\n",
       "Internet: row skipped, bad router-ports line: 22 -j DROP|tcp|all\n",
       "Internet: parameters are wrong or this rule is bad '-A FORWARD -m nosuchmatch -j ACCEPT'\n",
       "Internet: parameters are wrong or this rule is bad '-A INPUT -p tcp --dport 99999 -j ACCEPT'\n",
       "Internet: parameters are wrong or this rule is bad '-A FORWARD -j NOSUCHTARGET'\n"},
      "4");
}

TEST_F(HostileBuildTest, OperatorFilesWithCrLfLineEndsReadAsWithLineFeeds) {
  expect_skipped([&] { write_good_operator_files("\r\n"); }, {}, "1");
}

TEST(BuildSetsTest, ANetworkGoneLosesItsSetAndANewOneGainsOne) {
  TestDatabase db;
  load_router(db);
  configure_router(db);
  ASSERT_EQ(runner({"internet", "start", "1"}).exit_status, 1) << read_file(kRunnerLog);
  db.exec(
      "DELETE FROM internal_net WHERE net = '10.1.2.0/24';"
      "INSERT INTO internal_net (rid, net, host_min, host_max) VALUES"
      " (1, '10.1.3.0/24', INET_ATON('10.1.3.1'), INET_ATON('10.1.3.254'));"
      "INSERT INTO internet_clients (id, remote) VALUES (30, 1);"
      "INSERT INTO internet_settings (id, cid, rid, ip, mac, active) VALUES (30, 30, 1, '10.1.3.30', "
      "'02:00:00:00:03:1E', 1)");
  ASSERT_EQ(runner({"internet", "start", "1"}).exit_status, 1) << read_file(kRunnerLog);
  EXPECT_FALSE(set_exists("src_10_1_2_0_24"));
  EXPECT_EQ(set_members("src_10_1_3_0_24"), std::vector<std::string>{"10.1.3.30,02:00:00:00:03:1E"});
  EXPECT_EQ(set_members("src_10_1_1_0_24"),
            (std::vector<std::string>{"10.1.1.10,02:00:00:00:01:0A", "10.1.1.11,02:00:00:00:01:0B"}));
  std::string sets = run({"/usr/sbin/ipset", "list", "-n"}).output;
  EXPECT_EQ(sets.find("new_"), std::string::npos) << sets;
}

}  // namespace
