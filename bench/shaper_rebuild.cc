// Benchmark of the shaper's rebuild (restrict_load(1, rid)) against its
// baselines, measured in one run on veth devices of the sandbox:
//   floor        the same tc lines through one `tc -force -batch -` process
//   per-command  every line through its own shell and tc process, as the
//                original design ran them (execute), measured on a smaller
//                router and scaled by the number of lines
// and the curve of the rebuild over the number of clients.
// Run inside the sandbox with the private database server running:
//   bench/shaper-rebuild.sh            (does both)
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "libzarn/config.h"
#include "libzarn/globals.h"
#include "libzarn/process.h"
#include "libzarn/sql.h"
#include "modules/mod_shaper/shaper.h"
#include "tests/testing.h"

using namespace zarn_test;
using Clock = std::chrono::steady_clock;

namespace {

double seconds_since(Clock::time_point start) { return std::chrono::duration<double>(Clock::now() - start).count(); }

void system_or_die(const std::vector<std::string>& argv) {
  RunResult r = run(argv);
  if (r.exit_status != 0) {
    std::fprintf(stderr, "failed: %s: %s\n", argv[0].c_str(), r.output.c_str());
    std::exit(2);
  }
}

// Two devices as the issue sets them: bm0 metro mark, `in` 1; bm1 extern mark, `in` 0.
void make_devices() {
  for (const char* d : {"bm0", "bm1"}) {
    system_or_die({"/usr/sbin/ip", "link", "add", "name", d, "type", "veth", "peer", "name", std::string(d) + "p"});
    system_or_die({"/usr/sbin/ip", "link", "set", d, "up"});
  }
}

void clear_devices() {
  for (const char* d : {"bm0", "bm1"}) run({"/usr/sbin/tc", "qdisc", "del", "dev", d, "root"});
}

// Router 1 with `clients` clients, one address each.
void fill(TestDatabase& db, int clients) {
  db.exec(
      "DELETE FROM routers_devices; DELETE FROM internet_clients; DELETE FROM internet_settings;"
      " DELETE FROM internet_restrictions");
  db.exec(
      "INSERT INTO routers_devices (id, rid, device, fw_metro, fw_extern, bandwidth_metro, bandwidth_extern,"
      " `in`, active) VALUES (1, 1, 'bm0', 10, 0, '1000Mbit', '0', 1, 1),"
      " (2, 1, 'bm1', 0, 20, '1000Mbit', '1000Mbit', 0, 1)");
  const int chunk = 1000;
  for (int from = 1; from <= clients; from += chunk) {
    std::string c = "INSERT INTO internet_clients (id, remote) VALUES ";
    std::string s = "INSERT INTO internet_settings (cid, rid, ip) VALUES ";
    std::string r = "INSERT INTO internet_restrictions VALUES ";
    for (int i = from; i < from + chunk && i <= clients; ++i) {
      std::string sep = i == from ? "" : ",";
      std::string id = std::to_string(i);
      c += sep + "(" + id + ",1)";
      s += sep + "(" + id + ",1,'10." + std::to_string(i / 65536) + "." + std::to_string(i / 256 % 256) + "." +
           std::to_string(i % 256) + "')";
      r += sep + "(" + id + "," + id + ",1024,2048,512,1024,1024,2048,512,1024," + id + "," + id + ")";
    }
    db.exec(c);
    db.exec(s);
    db.exec(r);
  }
}

void connect() {
  if (!mysql_r) mysql_r = sql_connect();
  if (!mysql_r) {
    std::fprintf(stderr, "cannot connect to the test database\n");
    std::exit(2);
  }
}

// The lines of a rebuild, produced by the module without running them.
std::vector<std::string> lines_of_rebuild() {
  connect();
  TcBatch batch(TcBatch::Mode::kRecord);
  shaper::load(batch, 1, 1);
  return batch.recorded();
}

double time_module() {
  clear_devices();
  connect();
  auto start = Clock::now();
  restrict_load(1, 1);
  return seconds_since(start);
}

double time_producing_lines() {
  connect();
  auto start = Clock::now();
  TcBatch batch(TcBatch::Mode::kRecord);
  shaper::load(batch, 1, 1);
  return seconds_since(start);
}

double time_floor(const std::vector<std::string>& lines, const std::string& file) {
  std::string text;
  for (const std::string& l : lines) text += l + "\n";
  write_file(file, text);
  clear_devices();
  auto start = Clock::now();
  RunResult r = run({"/bin/sh", "-c", "exec /usr/sbin/tc -force -batch - <" + file + " >/dev/null 2>&1"});
  double t = seconds_since(start);
  (void)r;
  return t;
}

// The floor split in two: the lines without the u32 filters, then the filters
// alone on the tree those lines built.
std::pair<double, double> time_floor_parts(const std::vector<std::string>& lines, const std::string& file) {
  std::vector<std::string> tree, filters;
  for (const std::string& l : lines) (l.find(" u32 ") != std::string::npos ? filters : tree).push_back(l);
  double t = time_floor(tree, file);
  std::string text;
  for (const std::string& l : filters) text += l + "\n";
  write_file(file, text);
  auto start = Clock::now();
  run({"/bin/sh", "-c", "exec /usr/sbin/tc -force -batch - <" + file + " >/dev/null 2>&1"});
  return {t, seconds_since(start)};
}

double time_per_command(const std::vector<std::string>& lines) {
  clear_devices();
  auto start = Clock::now();
  for (const std::string& l : lines) execute(0, "tc %s >/dev/null 2>&1", l.c_str());
  return seconds_since(start);
}

size_t class_count(const char* device) {
  std::string out = run({"/usr/sbin/tc", "class", "show", "dev", device}).output;
  return static_cast<size_t>(std::count(out.begin(), out.end(), '\n'));
}

double median(std::vector<double> v) {
  std::sort(v.begin(), v.end());
  return v[v.size() / 2];
}

}  // namespace

int main(int argc, char** argv) {
  if (!std::getenv("ZARN_SANDBOXED")) {
    std::fprintf(stderr, "run inside the sandbox: bench/shaper-rebuild.sh\n");
    return 2;
  }
  require_private_netns();
  const int reps = argc > 1 ? std::atoi(argv[1]) : 3;
  TempDir dir;
  TestDatabase db;
  write_file(dir.file("zarn-router.conf"), db.config_lines());
  const std::string conf = dir.file("zarn-router.conf"), log = dir.file("shaper.log");
  conf_file = conf.c_str();
  extern_error_log = log.c_str();
  make_devices();

  // Per-command way on 500 clients, scaled by lines.
  fill(db, 500);
  std::vector<std::string> lines500 = lines_of_rebuild();
  double per_command_500 = time_per_command(lines500);

  std::printf("Rebuild of a router: restrict_load(1, rid), two devices, one address per client\n");
  std::printf("(median of %d runs; seconds)\n\n", reps);
  std::printf("%8s %7s %9s %9s %7s %9s %9s %9s %9s\n", "clients", "lines", "module", "floor", "m/floor", "classes",
              "fl.tree", "fl.u32", "db+lines");
  double module_2000 = 0, floor_2000 = 0;
  size_t lines_2000 = 0;
  for (int clients : {500, 1000, 2000, 5000}) {
    fill(db, clients);
    std::vector<std::string> lines = lines_of_rebuild();
    std::vector<double> module, floor, produce, tree, filters;
    for (int i = 0; i < reps; ++i) {
      module.push_back(time_module());
      floor.push_back(time_floor(lines, dir.file("lines")));
      produce.push_back(time_producing_lines());
      auto [t, u] = time_floor_parts(lines, dir.file("lines"));
      tree.push_back(t);
      filters.push_back(u);
    }
    time_module();
    size_t classes = class_count("bm0") + class_count("bm1");
    double m = median(module), f = median(floor), p = median(produce);
    std::printf("%8d %7zu %9.3f %9.3f %7.2f %9zu %9.3f %9.3f %9.3f\n", clients, lines.size(), m, f, m / f, classes,
                median(tree), median(filters), p);
    if (clients == 2000) {
      module_2000 = m;
      floor_2000 = f;
      lines_2000 = lines.size();
    }
  }
  double per_command_2000 = per_command_500 * static_cast<double>(lines_2000) / static_cast<double>(lines500.size());
  std::printf("\nPer-command way (own shell and tc per line): %zu lines of 500 clients in %.3f s,\n", lines500.size(),
              per_command_500);
  std::printf("scaled to the %zu lines of 2000 clients: %.3f s\n\n", lines_2000, per_command_2000);
  std::printf("2000 clients: module %.3f s, floor %.3f s: %.2fx the floor (target <= 1.3x)\n", module_2000, floor_2000,
              module_2000 / floor_2000);
  std::printf("2000 clients: per-command / module = %.1fx faster (target >= 15x)\n", per_command_2000 / module_2000);
  clear_devices();
  return 0;
}
