// Test rig of the shaper's kernel tests: veth devices in the sandbox's
// network namespace, the traffic-control state as comparable texts, and the
// module's view of a test database (conf_file, mysql_r, the log).
#pragma once

#include <set>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "tests/testing.h"

namespace shaper_test {

// Creates the veth pair NAME / NAME + "p" and sets both up.
void add_veth(const std::string& name);
// tc's output for the arguments (run without a shell).
std::string tc(const std::vector<std::string>& args);

// The device's classes as "CLASSID parent P|root [prio N] [quantum N] rate R ceil C burst B".
std::set<std::string> classes(const std::string& device);
// The device's qdiscs as "KIND HANDLE root|parent P [default D] [limit L]".
std::set<std::string> qdiscs(const std::string& device);
// The u32 filters under `parent` as "pref N flowid F match M at OFFSET".
std::multiset<std::string> u32_filters(const std::string& device, const std::string& parent);
// The filters attached to the root of the device (tc filter show, parent 1:).
std::string root_filters(const std::string& device);
// Whether this kernel has the fw classifier (probed on a scratch device).
bool kernel_has_fw();

// The module's host state on a fresh test database: conf_file reaches it,
// mysql_r is open, the log is a file of the test's own.
class ShaperTest : public testing::Test {
 protected:
  void SetUp() override;
  void TearDown() override;
  std::string log() const;
  void clear_log() const;

  zarn_test::TestDatabase db_;
  zarn_test::TempDir dir_;
  std::string conf_;
  std::string log_;
};

}  // namespace shaper_test
