// main() for tests that touch the kernel or the installed layout: outside the
// sandbox the binary runs itself again inside it (private mount and network
// namespaces, the installed root over /zarn). Listing tests needs no sandbox.
#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "tests/testing.h"

int main(int argc, char** argv) {
  bool listing = false;
  for (int i = 1; i < argc; ++i) listing |= std::strcmp(argv[i], "--gtest_list_tests") == 0;
  if (!listing && !std::getenv("ZARN_SANDBOXED")) {
    std::string script = std::string(ZARN_SOURCE_DIR) + "/scripts/sandbox.sh";
    std::string self = "/proc/self/exe";
    char path[4096] = {};
    if (readlink(self.c_str(), path, sizeof path - 1) > 0) self = path;
    std::vector<char*> args{const_cast<char*>(script.c_str()), const_cast<char*>(ZARN_TEST_ROOT),
                            const_cast<char*>(self.c_str())};
    for (int i = 1; i < argc; ++i) args.push_back(argv[i]);
    args.push_back(nullptr);
    execv(script.c_str(), args.data());
    perror("cannot start the sandbox");
    return 2;
  }
  if (!listing) zarn_test::require_private_netns();
  testing::InitGoogleTest(&argc, argv);
  return RUN_ALL_TESTS();
}
