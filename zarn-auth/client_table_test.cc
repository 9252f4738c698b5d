#include "zarn-auth/client_table.h"

#include <arpa/inet.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <thread>

#include <gtest/gtest.h>

namespace {

// A real child that ends when the pipe's write end closes, or at once.
pid_t child(const int* hold = nullptr) {
  pid_t pid = fork();
  if (pid == 0) {
    char c;
    if (hold) {
      close(hold[1]);
      (void)!read(hold[0], &c, 1);
    }
    _exit(0);
  }
  return pid;
}

// Reaps until the table holds `expected` processes, for up to five seconds.
bool reaped_down_to(ClientTable& table, size_t expected) {
  for (int i = 0; i < 500; ++i) {
    table.reap();
    if (table.size() == expected) return true;
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  return false;
}

TEST(ClientTable, CountsLiveProcessesPerAddressUntilTheyAreReaped) {
  const in_addr_t a = inet_addr("10.0.0.1"), b = inet_addr("10.0.0.2");
  int hold[2];
  ASSERT_EQ(pipe(hold), 0);
  ClientTable table;
  pid_t a1 = child(hold), a2 = child(hold), b1 = child(hold);
  table.add(a1, a);
  table.add(a2, a);
  table.add(b1, b);
  table.reap();
  EXPECT_EQ(table.count(a), 2);
  EXPECT_EQ(table.count(b), 1);
  EXPECT_EQ(table.count(inet_addr("10.0.0.3")), 0);

  // A child that is no connection process is reaped and changes no count.
  pid_t other = child();
  (void)other;
  kill(a1, SIGKILL);
  ASSERT_TRUE(reaped_down_to(table, 2)) << "expected 2 live processes, the table has " << table.size();
  EXPECT_EQ(table.count(a), 1);
  EXPECT_EQ(table.count(b), 1);
  EXPECT_EQ(waitpid(-1, nullptr, WNOHANG), 0) << "every ended child was reaped";

  close(hold[1]);  // the rest end
  ASSERT_TRUE(reaped_down_to(table, 0)) << "expected 0 live processes, the table has " << table.size();
  EXPECT_EQ(table.count(a), 0);
  EXPECT_EQ(table.count(b), 0);
  close(hold[0]);
}

}  // namespace
