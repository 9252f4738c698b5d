// The workers' probes: the addresses of many settings asked in one round.
#pragma once

#include <vector>

#include "libzarn/arp_round.h"
#include "macwatch/settings_rows.h"

// How fast the workers send their requests. Every request is a broadcast that
// every host of the LAN receives; 2,000 a second is about 1.3 Mbit/s of
// minimum-size frames, and a pass over 10,000 hosts takes about six seconds.
inline constexpr ArpRoundPace kWorkerPace{2000, kArpWindowMs};

// Probes the address of every row (each has an interface) in one round; the
// first termination signal stops the sending. Result i belongs to rows[i].
std::vector<ArpProbeResult> probe_rows(const std::vector<const SettingRow*>& rows);
