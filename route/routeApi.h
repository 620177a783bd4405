// The seams between the route loop (main_c) and the units it calls.
#pragma once
#include <cstddef>
#include <cstdint>

// Route-layer settings from the command line; defaults are set before parsing.
struct RouteArgs {
    const char* bindIp;       // dotted text; parsed each time it is used
    const char* model;        // "rEduVuzi"
    const char* devId;        // "rEduVuzi-123"
    const char* filePath;     // "C:/ProgramData/VelunorNetSndCard/_route"
    uint32_t mcastIp;         // control group, default 239.0.0.188
    uint32_t mcastIp2;        // second control group, 0 = none
    uint16_t mcastPort;       // control port, default 9996
    uint8_t payloadType;      // default 97
    bool noMcastRx;
    bool noMcastTx;
    const char* passwordPath; // null = none
    const char* lockPath;     // null = none
};
extern RouteArgs g_routeArgs;

// The route layer's three sockets (-1 until opened).
extern int g_cmdSock;  // 9995
extern int g_discSock; // control port
extern int g_sapSock;  // 9875

// ---- device model (routeImpl_c) ----
bool Dev_init(int discSock, int cmdSock, uint32_t bindAddr, uint32_t mcastIp, uint32_t mcastIp2,
              uint16_t mcastPort, uint8_t payloadType);
void Dev_setMcastNum(bool rx, int num);   // noMcastRx / noMcastTx after Dev_init
void Dev_pushPhyGains();                  // every phy tx gain, then every phy rx gain, to the engine
uint32_t Dev_ownIp();
void Dev_setOwnIp(uint32_t ip);
// The bind address changed: store it, clear unicast rx entries, move multicast tx sources,
// and point the discovery socket's outgoing multicast interface at it.
void Dev_onOwnIpChanged(uint32_t ip);

// ---- periodic work, every 10 ms tick ----
void periodWork();

// ---- datagram handlers; text is NUL-terminated, cap is the buffer's capacity ----
bool Route_handleRemoteCode(int sock, char* text, int len, size_t cap, uint32_t addr, uint16_t port);
bool Route_handlePeerStream(int sock, char* text, int len, size_t cap, uint32_t addr, uint16_t port);
void Route_handleCommand(int sock, char* text, int len, size_t cap, uint32_t addr, uint16_t port);
void Disc_handle(int sock, char* text, int len, size_t cap, uint32_t addr, uint16_t port);
// SAP reader plus the multicast receive refresh of an accepted announcement.
void Sap_handleDatagram(int sock, char* text, int len, size_t cap, uint32_t addr, uint16_t port);

// ---- discovery (discovery.cpp) ----
// iAm from the discovery socket to addr:port; to the control group and port it is also
// copied to the second control group when one is set.
void Disc_sendIAm(uint32_t addr, uint16_t port);
// iAm to the control group and port (the periodic announcement).
void Disc_sendIAmGroup();
// whoIs / update notices to the control group (and the second group), control port.
void Disc_sendWhoIs(const char* devId);
void Disc_sendUpdateActive();
void Disc_sendUpdateRoute();

// ---- peer stream requests (routeCmd.cpp) ----
// Sends "setUcastTx" (set) or "clrUcastTx" for unicast receive entry sdpId to the entry's
// source address, port 9995, from the command socket. Call before clearing the entry.
void Route_sendUcastPeerReq(int sdpId, bool set);
