#include "tests/private_db_server.h"

#include <sys/stat.h>

#include <stdexcept>

#include <gtest/gtest.h>

namespace zarn_test {

PrivateDbServer::PrivateDbServer() {
  // The daemons run as zarn and must reach the socket.
  chmod(home_.path().c_str(), 0755);
  if (!script("start")) throw std::runtime_error("cannot start a private database server in " + dir());
}

PrivateDbServer::~PrivateDbServer() { script("stop"); }

bool PrivateDbServer::stop() { return script("stop"); }

bool PrivateDbServer::start() { return script("start"); }

bool PrivateDbServer::script(const std::string& command) {
  RunResult r = run({db_script(), command, dir()});
  EXPECT_EQ(r.exit_status, 0) << "test-db.sh " << command << " " << dir() << ":\n" << r.output;
  return r.exit_status == 0;
}

}  // namespace zarn_test
