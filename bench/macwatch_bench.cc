// Timing tool of the ARP monitor's benchmark (bench/macwatch-bench.sh).
//   macwatch_bench round probe|table INTERFACE ADDRESS...
//       a floor: one table read or one probe per address, one after another
//   macwatch_bench burst RATE INTERFACE ADDRESS...
//       the floor of a pass: one round of the same probes, RATE requests a
//       second (0: all sent at once)
//   macwatch_bench finder ROUTER_ID
//       the finder, started as the program starts it, until no MAC is missing
//   macwatch_bench pass ROUTER_ID
//       one pass of the pinger (its query, its probes, its writes)
//   macwatch_bench pace
//       the workers' requests a second
// Each prints the milliseconds it took and how many addresses were found;
// a pass also the rows it updated.
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "libzarn/arp.h"
#include "libzarn/arp_round.h"
#include "libzarn/config.h"
#include "libzarn/globals.h"
#include "libzarn/sql.h"
#include "macwatch/pinger.h"
#include "macwatch/probe_rows.h"
#include "macwatch/settings_rows.h"
#include "macwatch/state.h"
#include "macwatch/workers.h"

namespace {

using Clock = std::chrono::steady_clock;

double ms_since(Clock::time_point start) {
  return std::chrono::duration<double, std::milli>(Clock::now() - start).count();
}

int round(bool probe, const char* interface, int count, char** addresses) {
  int found = 0;
  auto start = Clock::now();
  for (int i = 0; i < count; ++i) {
    std::optional<std::string> mac = probe ? arp_ping(addresses[i], interface) : get_arp(addresses[i], interface);
    found += mac.has_value();
  }
  std::printf("%.1f ms, %d of %d found\n", ms_since(start), found, count);
  return 0;
}

int burst(int rate, const char* interface, int count, char** addresses) {
  std::vector<ArpProbe> probes;
  for (int i = 0; i < count; ++i) probes.push_back({addresses[i], interface});
  auto start = Clock::now();
  std::vector<ArpProbeResult> results = arp_ping_round(probes, {rate, kArpWindowMs}, [] { return false; });
  double elapsed = ms_since(start);
  int found = 0;
  for (const ArpProbeResult& result : results) found += result.mac.has_value();
  std::printf("%.1f ms, %d of %d found\n", elapsed, found, count);
  return 0;
}

long count_rows(MYSQL* connection, const char* query) {
  SqlResult result = sql_query(connection, "%s", query);
  MYSQL_ROW row = result ? mysql_fetch_row(result.get()) : nullptr;
  return row && row[0] ? std::atol(row[0]) : -1;
}

// The statements of a kind this connection has run ("Com_update").
long statements(MYSQL* connection, const char* kind) {
  SqlResult result = sql_query(connection, "SHOW SESSION STATUS LIKE '%s'", kind);
  MYSQL_ROW row = result ? mysql_fetch_row(result.get()) : nullptr;
  return row && row[1] ? std::atol(row[1]) : -1;
}

MYSQL* connect_as_worker(int router) {
  conf_file = kMacwatchConf;
  extern_error_log = kMacwatchLog;
  router_id = router;
  return sql_connect();
}

int finder(int router) {
  MYSQL* connection = connect_as_worker(router);
  if (!connection) return 2;
  const char* pending = "SELECT COUNT(*) FROM internet_settings WHERE mac = '0'";
  long total = count_rows(connection, pending);
  auto start = Clock::now();
  pid_t pid = macwatch();
  // The finder ends when nothing is missing but the silent addresses, which
  // the caller gives as the expected number of rows still missing.
  const long left = std::getenv("BENCH_LEFT") ? std::atol(std::getenv("BENCH_LEFT")) : 0;
  while (count_rows(connection, pending) > left) std::this_thread::sleep_for(std::chrono::milliseconds(5));
  double elapsed = ms_since(start);
  kill(pid, SIGQUIT);
  kill(pid, SIGQUIT);
  waitpid(pid, nullptr, 0);
  std::printf("%.1f ms, %ld of %ld found\n", elapsed,
              count_rows(connection, "SELECT COUNT(*) FROM internet_settings WHERE mac REGEXP '^02:AB:CD'"), total);
  sql_close(connection);
  return 0;
}

int pass(int router) {
  MYSQL* connection = connect_as_worker(router);
  if (!connection) return 2;
  const long updates_before = statements(connection, "Com_update");
  auto start = Clock::now();
  std::optional<std::vector<SettingRow>> rows = select_settings(connection, kPingerQuery, router);
  if (!rows || !ping_pass(connection, *rows)) return 2;
  double elapsed = ms_since(start);
  const long updates = statements(connection, "Com_update") - updates_before;
  std::printf("%.1f ms, %ld of %zu found, %ld rows updated\n", elapsed,
              count_rows(connection, "SELECT COUNT(*) FROM internet_settings WHERE hostup = 1"), rows->size(), updates);
  sql_close(connection);
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc >= 4 && std::strcmp(argv[1], "round") == 0)
    return round(std::strcmp(argv[2], "probe") == 0, argv[3], argc - 4, argv + 4);
  if (argc >= 4 && std::strcmp(argv[1], "burst") == 0) return burst(std::atoi(argv[2]), argv[3], argc - 4, argv + 4);
  if (argc == 3 && std::strcmp(argv[1], "finder") == 0) return finder(std::atoi(argv[2]));
  if (argc == 3 && std::strcmp(argv[1], "pass") == 0) return pass(std::atoi(argv[2]));
  if (argc == 2 && std::strcmp(argv[1], "pace") == 0) return std::printf("%d\n", kWorkerPace.per_second) < 0;
  std::fprintf(stderr,
               "usage: macwatch_bench round probe|table INTERFACE ADDRESS... | burst RATE INTERFACE ADDRESS... | "
               "finder ID | pass ID | pace\n");
  return 64;
}
