// Test rig for the route command, query and discovery tests: a device record set up by
// hand, real loopback sockets, the handlers called the way the route loop calls them, and
// a small stand-in engine behind the driver control path.
#pragma once
#include "engine/Msg.h"
#include "platform/net.h"
#include "route/routeApi.h"
#include "route/routeCmd.h"
#include "route/routeImpl_c.h"

#include <cstdio>
#include <cstring>
#include <gtest/gtest.h>
#include <map>
#include <net/if.h>
#include <sched.h>
#include <string>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <unistd.h>
#include <vector>

namespace rig {

constexpr uint32_t LO = 0x7F000001u;        // 127.0.0.1: this device
constexpr uint32_t LO_GROUP2 = 0x7F000002u; // stands in for the second control group

// A private network namespace with only lo up keeps every datagram of these tests,
// multicast included, off the machine's own networks. Without the privilege the tests
// run on 127.0.0.1 only; the one that sends multicast (SAP) skips itself.
inline bool isolateNet() {
    static int done = -1;
    if (done >= 0)
        return done == 1;
    done = 0;
    if (unshare(CLONE_NEWNET) != 0)
        return false;
    int s = socket(AF_INET, SOCK_DGRAM, 0);
    struct ifreq ifr {};
    std::strcpy(ifr.ifr_name, "lo");
    if (s >= 0 && ioctl(s, SIOCGIFFLAGS, &ifr) == 0) {
        ifr.ifr_flags |= IFF_UP;
        if (ioctl(s, SIOCSIFFLAGS, &ifr) == 0)
            done = 1;
    }
    if (s >= 0)
        close(s);
    return done == 1;
}

// ---- the stand-in engine ----
struct FakeKo {
    bool down = false; // the control path fails
    bool refuseLinkOffset = false;
    std::map<std::string, int> calls;
    std::map<std::string, std::string> last; // ops -> the request text
};
inline FakeKo& ko() {
    static FakeKo k;
    return k;
}

inline bool fakeKo(char* buf, size_t cap) {
    FakeKo& k = ko();
    if (k.down)
        return false;
    char ops[64] = "";
    Msg_getStr(buf, "ops", ops, sizeof ops);
    k.calls[ops]++;
    k.last[ops] = buf;
    std::string r;
    std::string o = ops;
    if (o == "setLinkOffset")
        r = k.refuseLinkOffset ? "{\"result\":\"fail\",\"reason\":\"x\"}" : "{\"result\":\"succ\"}";
    else if (o == "setDscp" || o == "clrUcastStats" || o == "clrMcastStats" || o == "setAllChTx" ||
             o == "setAllChRx")
        r = "{\"result\":\"succ\"}";
    else if (o == "getUcastStats" || o == "getMcastStats")
        r = "{\"result\":\"succ\",\"total\":\"7\",\"in125\":\"7\",\"maxUs\":\"125\"}";
    else if (o == "getAllChTx" || o == "getAllChRx") {
        int n = o == "getAllChTx" ? g_dev.chNumTx : g_dev.chNumRx;
        r = "{\"result\":\"succ\",\"rtpChIdArr\":[";
        for (int i = 0; i < n; i++)
            r += std::string(i ? "," : "") + "\"-1\"";
        r += "]}";
    } else
        r = "{\"result\":\"fail\",\"reason\":\"not in the stand-in\"}";
    if (r.size() + 1 > cap)
        return false;
    std::memcpy(buf, r.c_str(), r.size() + 1);
    return true;
}

// ---- sockets ----
struct Socks {
    int dev = -1;    // the device's command socket
    int disc = -1;   // the device's discovery socket
    int client = -1; // a controller
    int group = -1;  // listens where the control group would be
    int group2 = -1; // listens where the second control group would be
    uint16_t devPort = 0, clientPort = 0, groupPort = 0;
};
inline Socks& socks() {
    static Socks s;
    return s;
}

inline uint16_t portBase() {
    return isolateNet() ? 20000 : uint16_t(20000 + (getpid() % 2000) * 8);
}

inline void openSocks() {
    Socks& s = socks();
    if (s.dev >= 0)
        return;
    uint16_t b = portBase();
    s.devPort = b;
    s.clientPort = uint16_t(b + 1);
    s.groupPort = uint16_t(b + 2);
    s.dev = Net_udpSocketTry(LO, s.devPort);
    s.client = Net_udpSocketTry(LO, s.clientPort);
    s.group = Net_udpSocketTry(LO, s.groupPort);
    s.group2 = Net_udpSocketTry(LO_GROUP2, s.groupPort);
    s.disc = Net_udpSocketTry(LO, uint16_t(b + 3));
    Net_setMcastIf(s.disc, LO);
    Net_setMcastTtl(s.disc, 0);
    Net_setMcastLoop(s.disc, 0);
}

// Receives one datagram on sock within ms; "" when none.
inline std::string recvText(int sock, int ms, uint32_t* from = nullptr, uint16_t* fromPort = nullptr) {
    int w[1] = {sock};
    if (Net_waitReadable(w, 1, ms) <= 0)
        return "";
    char buf[MSG_ROUTE_BUF_SIZE];
    uint32_t a = 0;
    uint16_t p = 0;
    int n = Net_recvFrom(sock, buf, sizeof buf - 1, &a, &p);
    if (n < 0)
        return "";
    if (n > int(sizeof buf) - 1)
        n = int(sizeof buf) - 1;
    if (from)
        *from = a;
    if (fromPort)
        *fromPort = p;
    return std::string(buf, size_t(n));
}

inline void drain(int sock) {
    while (!recvText(sock, 0).empty()) {
    }
}

// ---- the record ----
inline void resetDev(int chNum = 64) {
    openSocks();
    Socks& s = socks();
    std::memset(&g_dev, 0, sizeof g_dev);
    std::strcpy(g_dev.devId, "devB");
    std::strcpy(g_dev.name, "devB");
    std::strcpy(g_dev.model, "rEduVuzi");
    std::strcpy(g_dev.myClkId, "00-00-00-00-00-00-00-00");
    std::strcpy(g_dev.gmClkId, "00-00-00-00-00-00-00-00");
    g_dev.ownIp = LO;
    g_dev.ctrlPort = 9995;
    g_dev.chNumRx = g_dev.chNumTx = chNum;
    g_dev.phyChNumRx = g_dev.phyChNumTx = chNum;
    g_dev.ucastNumRx = g_dev.ucastNumTx = 128;
    g_dev.mcastNumRx = g_dev.mcastNumTx = 16;
    g_dev.sampleRate = 48000;
    g_dev.sampleByteNum = 3;
    g_dev.pFrameNum = 48;
    g_dev.delayUs = 5000;
    g_dev.dscp = 34;
    for (int i = 0; i < RTP_MAX_CH_NUM; i++) {
        g_dev.rtpChId[i] = -1;
        g_dev.srcChId[i] = -1;
    }
    for (auto& e : g_dev.ucastArrRx)
        Dev_clearSdpRx(&e);
    for (auto& e : g_dev.mcastArrRx)
        Dev_clearSdpRx(&e);
    for (auto& e : g_dev.ucastArrTx)
        Dev_clearSdpTx(&e);
    for (auto& e : g_dev.mcastArrTx)
        Dev_clearSdpTx(&e);
    g_dev.discoverySock = s.disc;
    g_dev.commandSock = s.dev;
    g_dev.ctrlGroup = LO;
    g_dev.ctrlGroup2 = 0;
    g_dev.ctrlPortMcast = s.groupPort;
    Msg_setKoInProcess(false);
    Msg_setDriverRequest(fakeKo);
    ko() = FakeKo{};
    drain(s.dev);
    drain(s.client);
    drain(s.group);
    drain(s.group2);
}

// Hands a received command datagram to the handlers in the loop's order.
inline void dispatch(int sock, char* buf, int n, uint32_t from, uint16_t port) {
    if (Route_handleRemoteCode(sock, buf, n, MSG_ROUTE_BUF_SIZE, from, port))
        return;
    if (Route_handlePeerStream(sock, buf, n, MSG_ROUTE_BUF_SIZE, from, port))
        return;
    Route_handleCommand(sock, buf, n, MSG_ROUTE_BUF_SIZE, from, port);
}

// The controller sends req to the device; the device reads and handles it; returns the
// reply the controller got ("" when none came).
inline std::string cmd(const std::string& req, int waitMs = 300) {
    Socks& s = socks();
    Net_sendTo(s.client, req.data(), req.size(), LO, s.devPort);
    int w[1] = {s.dev};
    if (Net_waitReadable(w, 1, 1000) <= 0)
        return "<lost>";
    static char buf[MSG_ROUTE_BUF_SIZE];
    uint32_t from = 0;
    uint16_t port = 0;
    int n = Net_recvFrom(s.dev, buf, 1499, &from, &port);
    if (n < 0 || n > 1499)
        return "<dropped>";
    buf[n] = '\0';
    dispatch(s.dev, buf, n, from, port);
    return recvText(s.client, waitMs);
}

// A member of a reply as text ("<none>" when missing).
inline std::string member(const std::string& json, const char* key) {
    char out[2048];
    if (Msg_getStr(json.c_str(), key, out, sizeof out) != MSG_OK)
        return "<none>";
    return out;
}

inline std::string sdpJson(const char* src, const char* dst, int port, int ch, int sbn, unsigned ts = 0) {
    char b[256];
    std::snprintf(b, sizeof b,
                  "\"sdp\":{\"srcIp\":\"%s\",\"dstIp\":\"%s\",\"dstPort\":\"%d\",\"chNum\":\"%d\","
                  "\"sampleByteNum\":\"%d\",\"rtpTsOffset\":\"%u\"}",
                  src, dst, port, ch, sbn, ts);
    return b;
}

inline std::string arr(const std::vector<int>& v) {
    std::string s = "[";
    for (size_t i = 0; i < v.size(); i++)
        s += (i ? ",\"" : "\"") + std::to_string(v[i]) + "\"";
    return s + "]";
}

} // namespace rig
