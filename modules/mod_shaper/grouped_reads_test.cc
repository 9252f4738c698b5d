// The rebuild and the one-client addition read the router's clients in a few
// queries; over the same varied data they must give what the per-client reads
// gave: the same tc lines in the same order, the same log lines and, run on
// the kernel, the same traffic-control state.
#include <random>

#include "libzarn/globals.h"
#include "libzarn/sql.h"
#include "modules/mod_shaper/per_client_reference.h"
#include "modules/mod_shaper/shaper.h"
#include "modules/mod_shaper/shaper_test_rig.h"

using namespace shaper_test;
using namespace zarn_test;

namespace {

const std::vector<std::string> kDevices{"gr0", "gr1", "gr2", "gr3", "gr4", "gr5"};

// What one run left behind.
struct Outcome {
  int result = 0;
  std::vector<std::string> lines;
  std::string log;
};

// The kernel state of the devices as comparable texts.
std::vector<std::string> kernel_state() {
  std::vector<std::string> out;
  for (const std::string& d : kDevices) {
    for (const std::string& c : classes(d)) out.push_back(d + " class " + c);
    for (const std::string& q : qdiscs(d)) out.push_back(d + " qdisc " + q);
    for (const char* parent : {"1:10", "1:20"})
      for (const std::string& f : u32_filters(d, parent)) out.push_back(d + " " + parent + " filter " + f);
  }
  return out;
}

// Router 1: gr0 both marks towards the clients, gr1 metro only from the
// clients, gr2 extern only towards them, gr3 no marks, gr4 inactive, a row
// with a bad device name and one with a bad rate; router 2: gr5. 60 clients
// on router 1 with 0 to 4 addresses each, inserted in shuffled order, some
// addresses bad, some clients with two restriction rows, some without any,
// restriction rows of clients that have no settings or no client row, and
// the clients of router 2 beside them.
class GroupedReadsTest : public ShaperTest {
 protected:
  void SetUp() override {
    ShaperTest::SetUp();
    for (const std::string& d : kDevices) add_veth(d);
    db_.exec(
        "INSERT INTO routers_devices (id, rid, device, fw_metro, fw_extern, bandwidth_metro, bandwidth_extern, `in`,"
        " active) VALUES (1, 1, 'gr0', 10, 20, '100Mbit', '20Mbit', 1, 1), (2, 1, 'gr1', 11, 0, '50Mbit', '0', 0, 1),"
        " (3, 1, 'gr2', 0, 21, '30Mbit', '10Mbit', 1, 1), (4, 1, 'gr3', 0, 0, '10Mbit', '10Mbit', 1, 1),"
        " (5, 1, 'gr4', 12, 22, '10Mbit', '10Mbit', 1, 0), (6, 1, 'gr;x', 13, 0, '1Mbit', '1Mbit', 1, 1),"
        " (7, 1, 'gr4', 14, 0, '1Mbit;x', '1Mbit', 1, 1), (8, 2, 'gr5', 15, 25, '10Mbit', '10Mbit', 1, 1)");
    std::mt19937 random(17);
    std::vector<std::string> settings;
    std::string clients = "INSERT INTO internet_clients (id, remote) VALUES ";
    std::string restrictions =
        "INSERT INTO internet_restrictions (cid, in_metro_rate, in_metro_ceil, in_extern_rate,"
        " in_extern_ceil, out_metro_rate, out_metro_ceil, out_extern_rate, out_extern_ceil,"
        " metro_class, extern_class) VALUES ";
    int next_class = 1;
    auto restriction = [&](int cid, int metro, int extern_) {
      if (metro == 0) {  // the next two free numbers
        metro = next_class++;
        extern_ = next_class++;
      }
      std::string row = "(" + std::to_string(cid);
      for (int i = 0; i < 8; ++i) row += "," + std::to_string(100 + random() % 5000);
      return row + "," + std::to_string(metro) + "," + std::to_string(extern_) + "),";
    };
    for (int cid = 1; cid <= 70; ++cid) {
      const int router = cid <= 60 ? 1 : 2;
      clients += "(" + std::to_string(cid) + "," + std::to_string(router) + "),";
      const int addresses = static_cast<int>(random() % 5);
      for (int a = 0; a < addresses; ++a) {
        std::string ip = "10." + std::to_string(router) + "." + std::to_string(cid) + "." + std::to_string(a + 1);
        if (cid % 13 == 0 && a == 0) ip += ";x";
        if (cid % 17 == 0 && a == 1) ip = "10.1.1";
        settings.push_back("(" + std::to_string(cid) + "," + std::to_string(router) + ",'" + ip + "')");
      }
      if (cid % 7 == 0) continue;  // no restriction row
      const int metro = next_class;
      restrictions += restriction(cid, 0, 0);
      if (cid % 11 == 0) restrictions += restriction(cid, metro, metro + 1);  // the same classes again
      if (cid % 19 == 0) restrictions += restriction(cid, 0, 0);              // further classes
    }
    restrictions += restriction(99, 0, 0);  // a client row that does not exist
    std::shuffle(settings.begin(), settings.end(), random);
    std::string all = "INSERT INTO internet_settings (cid, rid, ip) VALUES ";
    for (const std::string& s : settings) all += s + ",";
    db_.exec(clients.substr(0, clients.size() - 1));
    db_.exec(all.substr(0, all.size() - 1));
    db_.exec(restrictions.substr(0, restrictions.size() - 1));
  }

  void connect() {
    if (!mysql_r) mysql_r = sql_connect();
    ASSERT_NE(mysql_r, nullptr);
  }

  template <typename Call>
  Outcome record(Call call) {
    connect();
    clear_log();
    TcBatch batch(TcBatch::Mode::kRecord);
    Outcome o;
    o.result = call(batch);
    o.lines = batch.recorded();
    o.log = log();
    return o;
  }

  void expect_same(const Outcome& reference, const Outcome& grouped, const std::string& what) {
    EXPECT_EQ(grouped.result, reference.result) << what;
    EXPECT_EQ(grouped.lines, reference.lines) << what;
    EXPECT_EQ(grouped.log, reference.log) << what;
  }
};

TEST_F(GroupedReadsTest, RebuildGivesThePerClientLinesAndLog) {
  for (int debug : {0, 1}) {
    debug_bandwidth = debug;
    Outcome reference = record([](TcBatch& b) { return shaper_reference::load(b, 1, 1); });
    Outcome grouped = record([](TcBatch& b) { return shaper::load(b, 1, 1); });
    debug_bandwidth = 0;
    expect_same(reference, grouped, "debug_bandwidth " + std::to_string(debug));
    EXPECT_GT(reference.lines.size(), 300u) << "the data reaches the client steps";
    EXPECT_NE(reference.log.find("bad ip: 10.1.1\n"), std::string::npos) << reference.log;
    EXPECT_EQ(mysql_r, nullptr) << "both close the host's connection";
  }
  for (int router : {2, 3}) {
    Outcome reference = record([router](TcBatch& b) { return shaper_reference::load(b, 1, router); });
    Outcome grouped = record([router](TcBatch& b) { return shaper::load(b, 1, router); });
    expect_same(reference, grouped, "router " + std::to_string(router));
  }
}

TEST_F(GroupedReadsTest, RebuildLeavesThePerClientKernelState) {
  connect();
  {
    TcBatch batch;
    shaper_reference::load(batch, 1, 1);
  }
  const std::vector<std::string> reference = kernel_state();
  connect();
  {
    TcBatch batch;
    shaper::load(batch, 1, 1);
  }
  EXPECT_EQ(kernel_state(), reference);
  EXPECT_GT(reference.size(), 200u) << "the rebuild reached the kernel";
}

TEST_F(GroupedReadsTest, OneClientAdditionGivesThePerClientLinesAndLog) {
  for (const char* cid : {"1", "5", "7", "13", "17", "19", "22", "38", "61", "99", "1000", "3'or'1'='1"}) {
    Outcome reference = record([cid](TcBatch& b) { return shaper_reference::user_add(b, cid, 1); });
    Outcome grouped = record([cid](TcBatch& b) { return shaper::user_add(b, cid, 1); });
    expect_same(reference, grouped, std::string("client ") + cid);
  }
  Outcome some = record([](TcBatch& b) { return shaper::user_add(b, "38", 1); });
  EXPECT_GT(some.lines.size(), 8u) << "client 38 gets classes and filters";
}

}  // namespace
