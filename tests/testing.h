// Helpers for tests on real parts: files, the private database server, the
// sandbox with the installed root, and running programs as the account zarn.
#pragma once

#include <sys/types.h>

#include <mysql.h>

#include <functional>
#include <string>
#include <vector>

namespace zarn_test {

std::string read_file(const std::string& path);
void write_file(const std::string& path, const std::string& text);
bool path_exists(const std::string& path);

// A temporary directory removed with everything in it.
class TempDir {
 public:
  TempDir();
  ~TempDir();
  TempDir(const TempDir&) = delete;
  TempDir& operator=(const TempDir&) = delete;
  const std::string& path() const { return path_; }
  std::string file(const std::string& name) const { return path_ + "/" + name; }

 private:
  std::string path_;
};

// The name of the running test, usable in file and database names.
std::string current_test_name();

// Rows of a query, every value as text ("NULL" for SQL null).
using Rows = std::vector<std::vector<std::string>>;

// A fresh database on the private server, loaded with db/schema.sql and
// dropped at the end. Statements run on a connection of its own.
class TestDatabase {
 public:
  TestDatabase();
  // The same on the server of another rig directory (see PrivateDbServer).
  explicit TestDatabase(const std::string& server_dir);
  ~TestDatabase();
  TestDatabase(const TestDatabase&) = delete;
  TestDatabase& operator=(const TestDatabase&) = delete;

  const std::string& name() const { return name_; }
  void exec(const std::string& sql);
  Rows query(const std::string& sql);
  // The database keys of a configuration file that reach this database.
  std::string config_lines() const;
  // The same for another user of the server.
  std::string config_lines_for(const std::string& user, const std::string& password) const;
  // The id of a thread connected as the test user other than this one's.
  std::vector<unsigned long> other_connection_ids();
  // Connects this object's own connection again (after a server restart).
  void reconnect();

 private:
  std::string name_;
  std::string server_dir_;
  MYSQL* admin_ = nullptr;
};

// The private server's socket, and the rig's script that manages it.
std::string db_socket();
std::string db_dir();
std::string db_script();

// Outcome of a child program.
struct RunResult {
  int exit_status = -1;  // -1 when it did not exit normally
  int signal = 0;
  std::string output;  // standard output and error
};

// Runs argv[0] with the real user and group of the account zarn (so that a
// set-user-id program sees zarn as its caller), with `env` as environment.
RunResult run_as_zarn(const std::vector<std::string>& argv, const std::vector<std::string>& env = {});
// Runs argv[0] as the current user.
RunResult run(const std::vector<std::string>& argv, const std::vector<std::string>& env = {});

// Polls `ready` every 50 ms for up to `seconds`; true once it held.
bool eventually(const std::function<bool()>& ready, int seconds);

// One process of the process table.
struct ProcessEntry {
  pid_t pid = 0;
  char state = 0;  // 'R', 'S', 'Z', ...
  pid_t parent = 0;
  pid_t group = 0;
};
// Every process /proc shows now.
std::vector<ProcessEntry> process_table();

// Waits up to `seconds` for the child `pid` to end: its exit status (and
// `pid` becomes -1), or -1 when it is still running or was killed.
int wait_for_exit(pid_t& pid, int seconds);

// Fails the test run unless it is in a network namespace of its own.
void require_private_netns();

}  // namespace zarn_test
