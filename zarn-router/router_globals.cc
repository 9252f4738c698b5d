#include "zarn-router/router_globals.h"

GLOBALS g;
int s = -1;
ClientRecord cl;
