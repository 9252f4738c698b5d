// Timing tool of the ARP monitor's benchmark (bench/macwatch-bench.sh).
//   macwatch_bench round probe|table INTERFACE ADDRESS...
//       the floor: one table read or one probe per address, nothing else
//   macwatch_bench finder ROUTER_ID | pinger ROUTER_ID
//       one worker of the monitor, started as the program starts it, until
//       every setting is done (finder: no MAC missing; pinger: no hostup 2 left)
// Each prints the milliseconds it took and how many addresses were found.
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

#include "libzarn/arp.h"
#include "libzarn/config.h"
#include "libzarn/globals.h"
#include "libzarn/sql.h"
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

long count_rows(MYSQL* connection, const char* query) {
  SqlResult result = sql_query(connection, "%s", query);
  MYSQL_ROW row = result ? mysql_fetch_row(result.get()) : nullptr;
  return row && row[0] ? std::atol(row[0]) : -1;
}

int worker(bool finder, int router) {
  conf_file = kMacwatchConf;
  extern_error_log = kMacwatchLog;
  router_id = router;
  MYSQL* connection = sql_connect();
  if (!connection) return 2;
  const char* pending = finder ? "SELECT COUNT(*) FROM internet_settings WHERE mac = '0'"
                               : "SELECT COUNT(*) FROM internet_settings WHERE hostup = 2";
  const char* found = finder ? "SELECT COUNT(*) FROM internet_settings WHERE mac REGEXP '^02:AB:CD'"
                             : "SELECT COUNT(*) FROM internet_settings WHERE hostup = 1";
  long total = count_rows(connection, pending);
  auto start = Clock::now();
  pid_t pid = finder ? macwatch() : arp_pinger();
  // The finder ends when nothing is missing but the silent addresses, which
  // the caller gives as the expected number of rows still missing.
  const long left = std::getenv("BENCH_LEFT") ? std::atol(std::getenv("BENCH_LEFT")) : 0;
  while (count_rows(connection, pending) > left) std::this_thread::sleep_for(std::chrono::milliseconds(5));
  double elapsed = ms_since(start);
  kill(pid, SIGQUIT);
  kill(pid, SIGQUIT);
  waitpid(pid, nullptr, 0);
  std::printf("%.1f ms, %ld of %ld found\n", elapsed, count_rows(connection, found), total);
  sql_close(connection);
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc >= 4 && std::strcmp(argv[1], "round") == 0)
    return round(std::strcmp(argv[2], "probe") == 0, argv[3], argc - 4, argv + 4);
  if (argc == 3 && (std::strcmp(argv[1], "finder") == 0 || std::strcmp(argv[1], "pinger") == 0))
    return worker(std::strcmp(argv[1], "finder") == 0, std::atoi(argv[2]));
  std::fprintf(stderr, "usage: macwatch_bench round probe|table INTERFACE ADDRESS... | finder ID | pinger ID\n");
  return 64;
}
