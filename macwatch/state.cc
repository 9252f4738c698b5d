#include "macwatch/state.h"

MacwatchSettings macwatch_settings;
std::string router_name;
int router_id = 0;
int debug_arp = 0;
volatile sig_atomic_t exiting = 0;
volatile sig_atomic_t child_int_id = 0;
