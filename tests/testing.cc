#include "tests/testing.h"

#include <fcntl.h>
#include <grp.h>
#include <pwd.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <stdexcept>
#include <thread>

#include <gtest/gtest.h>

namespace zarn_test {

std::string read_file(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::stringstream buffer;
  buffer << in.rdbuf();
  return buffer.str();
}

void write_file(const std::string& path, const std::string& text) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  if (!out) throw std::runtime_error("cannot write " + path);
  out << text;
}

bool path_exists(const std::string& path) {
  struct stat st;
  return ::lstat(path.c_str(), &st) == 0;
}

TempDir::TempDir() {
  std::string pattern = (std::filesystem::temp_directory_path() / "zarn-test.XXXXXX").string();
  if (!mkdtemp(pattern.data())) throw std::runtime_error("mkdtemp failed");
  path_ = pattern;
}

TempDir::~TempDir() {
  std::error_code ignored;
  std::filesystem::remove_all(path_, ignored);
}

std::string current_test_name() {
  const auto* info = testing::UnitTest::GetInstance()->current_test_info();
  std::string name = info ? std::string(info->test_suite_name()) + "_" + info->name() : "none";
  for (char& c : name)
    if (!isalnum(static_cast<unsigned char>(c))) c = '_';
  return name;
}

std::string db_dir() { return ZARN_TEST_DB_DIR; }
std::string db_socket() { return db_dir() + "/mysql.sock"; }
std::string db_script() { return std::string(ZARN_SOURCE_DIR) + "/scripts/test-db.sh"; }

namespace {

MYSQL* connect_test_user(const char* database, const std::string& socket) {
  MYSQL* handle = mysql_init(nullptr);
  if (!mysql_real_connect(handle, "localhost", "zarn_test", "zarn_test", database, 0, socket.c_str(),
                          CLIENT_MULTI_STATEMENTS)) {
    std::string error = mysql_error(handle);
    mysql_close(handle);
    throw std::runtime_error("cannot reach the test database server at " + socket + ": " + error);
  }
  return handle;
}

void drain_results(MYSQL* handle) {
  do {
    if (MYSQL_RES* r = mysql_store_result(handle)) mysql_free_result(r);
  } while (mysql_next_result(handle) == 0);
}

}  // namespace

TestDatabase::TestDatabase() : TestDatabase(db_dir()) {}

TestDatabase::TestDatabase(const std::string& server_dir) : server_dir_(server_dir) {
  name_ = "t_" + current_test_name().substr(0, 40) + "_" + std::to_string(getpid());
  RunResult created = run({db_script(), "create", server_dir_, name_});
  if (created.exit_status != 0) throw std::runtime_error("cannot create test database: " + created.output);
  admin_ = connect_test_user(name_.c_str(), server_dir_ + "/mysql.sock");
}

void TestDatabase::reconnect() {
  mysql_close(admin_);
  admin_ = nullptr;
  admin_ = connect_test_user(name_.c_str(), server_dir_ + "/mysql.sock");
}

TestDatabase::~TestDatabase() {
  if (!admin_) return;
  mysql_query(admin_, ("DROP DATABASE IF EXISTS `" + name_ + "`").c_str());
  mysql_close(admin_);
}

void TestDatabase::exec(const std::string& sql) {
  if (mysql_real_query(admin_, sql.data(), sql.size()) != 0)
    throw std::runtime_error("SQL failed: " + std::string(mysql_error(admin_)) + " in: " + sql);
  drain_results(admin_);
}

Rows TestDatabase::query(const std::string& sql) {
  if (mysql_real_query(admin_, sql.data(), sql.size()) != 0)
    throw std::runtime_error("SQL failed: " + std::string(mysql_error(admin_)) + " in: " + sql);
  Rows rows;
  MYSQL_RES* result = mysql_store_result(admin_);
  if (!result) return rows;
  unsigned fields = mysql_num_fields(result);
  while (MYSQL_ROW row = mysql_fetch_row(result)) {
    unsigned long* lengths = mysql_fetch_lengths(result);
    std::vector<std::string> values;
    for (unsigned i = 0; i < fields; ++i) values.push_back(row[i] ? std::string(row[i], lengths[i]) : "NULL");
    rows.push_back(std::move(values));
  }
  mysql_free_result(result);
  return rows;
}

std::string TestDatabase::config_lines() const { return config_lines_for("zarn_test", "zarn_test"); }

std::string TestDatabase::config_lines_for(const std::string& user, const std::string& password) const {
  return "mysql_host localhost\nmysql_user " + user + "\nmysql_passwd " + password + "\nmysql_dbname " + name_ +
         "\nmysql_sock " + server_dir_ + "/mysql.sock\n";
}

std::vector<unsigned long> TestDatabase::other_connection_ids() {
  std::vector<unsigned long> ids;
  unsigned long own = mysql_thread_id(admin_);
  for (const auto& row : query("SELECT ID FROM information_schema.PROCESSLIST WHERE DB = '" + name_ + "'")) {
    unsigned long id = std::stoul(row[0]);
    if (id != own) ids.push_back(id);
  }
  return ids;
}

namespace {

RunResult run_child(const std::vector<std::string>& argv, const std::vector<std::string>& env, bool as_zarn) {
  int pipe_fds[2];
  if (pipe2(pipe_fds, O_CLOEXEC) != 0) throw std::runtime_error("pipe failed");
  uid_t uid = 0;
  gid_t gid = 0;
  if (as_zarn) {
    const passwd* account = getpwnam("zarn");
    if (!account) throw std::runtime_error("the account zarn is missing (scripts/ensure-zarn-user.sh)");
    uid = account->pw_uid;
    gid = account->pw_gid;
  }
  std::vector<char*> args;
  for (const auto& a : argv) args.push_back(const_cast<char*>(a.c_str()));
  args.push_back(nullptr);
  std::vector<char*> envp;
  for (const auto& e : env) envp.push_back(const_cast<char*>(e.c_str()));
  envp.push_back(nullptr);

  pid_t pid = fork();
  if (pid < 0) throw std::runtime_error("fork failed");
  if (pid == 0) {
    dup2(pipe_fds[1], 1);
    dup2(pipe_fds[1], 2);
    int devnull = open("/dev/null", O_RDONLY);
    if (devnull >= 0) dup2(devnull, 0);
    if (as_zarn && (setgroups(0, nullptr) != 0 || setgid(gid) != 0 || setuid(uid) != 0)) _exit(126);
    execve(args[0], args.data(), envp.data());
    _exit(127);
  }
  close(pipe_fds[1]);
  RunResult result;
  char buf[4096];
  ssize_t n;
  while ((n = read(pipe_fds[0], buf, sizeof buf)) > 0) result.output.append(buf, static_cast<size_t>(n));
  close(pipe_fds[0]);
  int status = 0;
  while (waitpid(pid, &status, 0) < 0 && errno == EINTR) {
  }
  if (WIFEXITED(status)) result.exit_status = WEXITSTATUS(status);
  if (WIFSIGNALED(status)) result.signal = WTERMSIG(status);
  return result;
}

}  // namespace

RunResult run_as_zarn(const std::vector<std::string>& argv, const std::vector<std::string>& env) {
  return run_child(argv, env, true);
}

RunResult run(const std::vector<std::string>& argv, const std::vector<std::string>& env) {
  std::vector<std::string> inherited = env;
  if (inherited.empty())
    for (char** e = environ; *e; ++e) inherited.emplace_back(*e);
  return run_child(argv, inherited, false);
}

bool eventually(const std::function<bool()>& ready, int seconds) {
  // A deadline, not a count of rounds: a slow check must not stretch the wait.
  auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(seconds);
  for (;;) {
    if (ready()) return true;
    if (std::chrono::steady_clock::now() >= deadline) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
  }
}

std::vector<ProcessEntry> process_table() {
  std::vector<ProcessEntry> table;
  for (const auto& entry : std::filesystem::directory_iterator("/proc")) {
    std::string name = entry.path().filename();
    if (name.find_first_not_of("0123456789") != std::string::npos) continue;
    // The command name in parentheses may hold blanks: the fields follow the last ')'.
    std::string stat = read_file(entry.path().string() + "/stat");
    size_t close_paren = stat.rfind(')');
    if (close_paren == std::string::npos) continue;
    ProcessEntry p;
    p.pid = std::stoi(name);
    if (std::sscanf(stat.c_str() + close_paren + 1, " %c %d %d", &p.state, &p.parent, &p.group) == 3)
      table.push_back(p);
  }
  return table;
}

int wait_for_exit(pid_t& pid, int seconds) {
  int status = 0;
  bool ended = eventually([&] { return waitpid(pid, &status, WNOHANG) == pid; }, seconds);
  if (!ended) return -1;
  pid = -1;
  return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

void require_private_netns() {
  // Kernel threads (kthreadd is pid 2) always live in the machine's own namespace.
  char own[64] = {}, init[64] = {};
  ssize_t a = readlink("/proc/self/ns/net", own, sizeof own - 1);
  ssize_t b = readlink("/proc/2/ns/net", init, sizeof init - 1);
  if (b <= 0) b = readlink("/proc/1/ns/net", init, sizeof init - 1);
  if (a <= 0 || b <= 0 || std::strcmp(own, init) == 0) {
    fprintf(stderr, "refusing to touch the kernel in the machine's own network namespace\n");
    std::abort();
  }
}

}  // namespace zarn_test
