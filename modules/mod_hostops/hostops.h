// Host operations through the init system: reboot, power-off and service control.
#pragma once

#include <string>
#include <vector>

// Whether `name` is a plain unit name (letters, digits and ":-_.\@", not
// starting with "-" or "."), so that it can reach the init system as one word.
bool is_plain_unit_name(const std::string& name);

// The init system's command for a service action (0 stop, 1 start, 2 restart,
// 3 reload); empty for an unknown action or a refused name.
std::vector<std::string> service_command(const std::string& name, int action);

// The init system's command for a host action (1 reboot, 2 power off); empty otherwise.
std::vector<std::string> server_command(int action);

extern "C" {
int server_do(int action);
int service_do(const char* name, int action);
}
