#include "tools/control_client.h"

#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <string>
#include <vector>

#include <gtest/gtest.h>

namespace {

// A scripted router on the far end of a socket pair: a child process that
// writes `script` once the client's first `lines_before` lines came in.
class ScriptedRouter {
 public:
  explicit ScriptedRouter(const std::vector<std::pair<int, std::string>>& script) {
    int fds[2];
    if (socketpair(AF_UNIX, SOCK_STREAM, 0, fds) != 0) throw std::runtime_error("socketpair");
    child_ = fork();
    if (child_ == 0) {
      close(fds[0]);
      ClientRecord far = gen_struct(fds[1], "10.0.0.1", nullptr);
      int seen = 0;
      for (const auto& [lines_before, text] : script) {
        while (seen < lines_before && get_line(*far)) ++seen;
        send_out(far.get(), "%s", text.c_str());
      }
      while (get_line(*far)) {
      }
      _exit(0);
    }
    close(fds[1]);
    timeval wait{5, 0};
    near_ = gen_struct(fds[0], "10.0.0.2", &wait);
  }
  ~ScriptedRouter() {
    near_.reset();
    int status;
    waitpid(child_, &status, 0);
  }
  client_class& near() { return *near_; }

 private:
  pid_t child_ = -1;
  ClientRecord near_;
};

std::vector<std::string> lines;
void collect(const std::string& line) { lines.push_back(line); }

TEST(ControlLogin, AcceptedAfterTheFormFeed) {
  ScriptedRouter router({{0, "220 Zarn Router Server\r\n"},
                         {1, "221 More Authentication Required\r\n"},
                         {2, "\f222 Authentication accepted.\r\n"}});
  EXPECT_EQ(control_login(router.near(), "demo", "abcde"), LoginResult::kAccepted);
}

TEST(ControlLogin, RejectedOrCutShort) {
  ScriptedRouter rejected({{0, "220 Zarn Router Server\r\n"},
                           {1, "221 More Authentication Required\r\n"},
                           {2, "224 Authentication Rejected.\r\n"}});
  EXPECT_EQ(control_login(rejected.near(), "demo", "wrong"), LoginResult::kRejected);
  ScriptedRouter silent({});
  shutdown(silent.near().fdin, SHUT_WR);  // the far end sees us leave and leaves too
  EXPECT_EQ(control_login(silent.near(), "demo", "x"), LoginResult::kLost);
}

TEST(ControlCommand, RepliesEndAtTheirFinalLine) {
  ScriptedRouter router({{1, "222 Success.\r\n"},
                         {2, "300 Command trapped by timeout: 30s.\r\n\r\n400 Command executed\r\n"},
                         {3, "Unkown command\r\n"},
                         {4, "\nAvailable Commands:\r\nfirewall      {start|stop|restart}\r\nquit\r\n"},
                         {5, "Name: r\r\nID: 4\r\nVersion: 1.2.0\r\nOs: Linux 15\n\r\n"},
                         {6, "224 Failure.\r\n"}});
  lines.clear();
  ReplyEnd success = control_command(router.near(), "client activate 17", collect);
  EXPECT_TRUE(success.complete);
  EXPECT_EQ(reply_exit_status(success), 0);
  ReplyEnd tool = control_command(router.near(), "system tcpdump -c 1", collect);
  EXPECT_EQ(tool.code, 400);
  EXPECT_EQ(reply_exit_status(tool), 0);
  ReplyEnd unknown = control_command(router.near(), "HELP", collect);
  EXPECT_TRUE(unknown.complete);
  EXPECT_EQ(reply_exit_status(unknown), 1);
  EXPECT_EQ(reply_exit_status(control_command(router.near(), "help", collect)), 0);
  EXPECT_EQ(reply_exit_status(control_command(router.near(), "identify", collect)), 0);
  ReplyEnd failure = control_command(router.near(), "firewall start", collect);
  EXPECT_EQ(failure.code, 224);
  EXPECT_EQ(reply_exit_status(failure), 1);
  const std::vector<std::string> expected = {"222 Success.",
                                             "300 Command trapped by timeout: 30s.",
                                             "",
                                             "400 Command executed",
                                             "Unkown command",
                                             "",
                                             "Available Commands:",
                                             "firewall      {start|stop|restart}",
                                             "quit",
                                             "Name: r",
                                             "ID: 4",
                                             "Version: 1.2.0",
                                             "Os: Linux 15",
                                             "",
                                             "224 Failure."};
  EXPECT_EQ(lines, expected);
}

TEST(ControlCommand, ARouterThatLeavesEndsTheReplyIncomplete) {
  ScriptedRouter router({{1, "Name: r\r\n"}});
  std::vector<std::string> seen;
  // The router process ends after its script only when our side closes; use
  // a command whose reply never completes and shut the far end by closing ours
  // for writing after sending.
  ReplyEnd end = control_command(router.near(), "client activate 1", [&](const std::string& l) {
    seen.push_back(l);
    shutdown(router.near().fdin, SHUT_WR);
  });
  EXPECT_FALSE(end.complete);
  EXPECT_EQ(reply_exit_status(end), 1);
  EXPECT_EQ(seen, std::vector<std::string>{"Name: r"});
}

}  // namespace
