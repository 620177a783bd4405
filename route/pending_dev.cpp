// Placeholders for the device model, SAP and periodic work until they land.
// Each function is removed from here when its real definition is written.
#include "route/routeApi.h"

bool Dev_init(int, int, uint32_t, uint32_t, uint32_t, uint16_t, uint8_t) { return true; }
void Dev_setMcastNum(bool, int) {}
void Dev_pushPhyGains() {}
static uint32_t s_ownIp;
uint32_t Dev_ownIp() { return s_ownIp; }
void Dev_setOwnIp(uint32_t ip) { s_ownIp = ip; }
void Dev_onOwnIpChanged(uint32_t ip) { s_ownIp = ip; }
void periodWork() {}
void Sap_handleDatagram(int, char*, int, size_t, uint32_t, uint16_t) {}
