#include "macwatch/probe_rows.h"

#include "macwatch/state.h"

std::vector<ArpProbeResult> probe_rows(const std::vector<const SettingRow*>& rows) {
  std::vector<ArpProbe> probes;
  probes.reserve(rows.size());
  for (const SettingRow* row : rows) probes.push_back({row->ip, *row->device});
  return arp_ping_round(probes, kWorkerPace, [] { return exiting != 0; });
}
