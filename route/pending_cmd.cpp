// Placeholders for the route commands and discovery until they land.
// Each function is removed from here when its real definition is written.
#include "route/routeApi.h"

bool Route_handleRemoteCode(int, char*, int, size_t, uint32_t, uint16_t) { return false; }
bool Route_handlePeerStream(int, char*, int, size_t, uint32_t, uint16_t) { return false; }
void Route_handleCommand(int, char*, int, size_t, uint32_t, uint16_t) {}
void Disc_handle(int, char*, int, size_t, uint32_t, uint16_t) {}
void Disc_sendIAm(uint32_t, uint16_t) {}
void Disc_sendIAmGroup() {}
void Disc_sendWhoIs(const char*) {}
void Disc_sendUpdateActive() {}
void Disc_sendUpdateRoute() {}
void Route_sendUcastPeerReq(int, bool) {}
