// Placeholder until the route spine lands.
#include "route/main_c.h"

int VelunorRoute_main(int, char**) { return 0; }
