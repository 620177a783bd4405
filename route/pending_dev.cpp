// Placeholders for the device model, SAP and periodic work until they land.
// Each function is removed from here when its real definition is written.
#include "route/routeApi.h"

void periodWork() {}
