// A database server of one test's own, in its temporary directory, run by the
// rig's script: a test may stop or restart it without disturbing the shared
// server that every other test uses.
#pragma once

#include <string>

#include "tests/testing.h"

namespace zarn_test {

// The server; stopped with its directory removed when it goes out of scope.
class PrivateDbServer {
 public:
  PrivateDbServer();
  ~PrivateDbServer();
  PrivateDbServer(const PrivateDbServer&) = delete;
  PrivateDbServer& operator=(const PrivateDbServer&) = delete;

  // The rig directory (give it to TestDatabase); its socket.
  std::string dir() const { return home_.file("db"); }
  std::string socket() const { return dir() + "/mysql.sock"; }
  // Each fails the test when the script fails; true when it worked.
  bool stop();
  bool start();

 private:
  bool script(const std::string& command);
  TempDir home_;
};

}  // namespace zarn_test
