// velunor-kohost: runs the engine (init_ko + thread_ko) with the given engine words and
// answers engine JSON requests sent to 127.0.0.1:<port> over UDP, each through reqKo, so
// a test can configure streams without the route layer.
//
//   velunor-kohost [engine words...] [kohostPort=9990] [kohostSeconds=N]
//
// Requests come only from loopback; the socket is bound to 127.0.0.1 and datagrams from
// any other source are ignored. Two requests belong to the host itself:
//   {"ops":"kohost_join","group":"239.x.y.z","iface":"a.b.c.d"}  joins group on the RTP socket
//   {"ops":"kohost_leave",...}                                   leaves it
// Each answered with {"result":"succ"} or {"result":"fail"}. The host prints
// "kohost: ready port=%d" once it listens. kohostSeconds bounds its life (0 = until killed).
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <thread>

#include "engine/Msg.h"
#include "engine/rtp/RtpAudio.h"
#include "engine/testKo_ko.h"
#include "platform/clock.h"
#include "platform/net.h"

static bool hostRequest(char* buf, size_t cap, int rtpSock) {
    char ops[32];
    if (Msg_getStr(buf, "ops", ops, sizeof ops) != MSG_OK) return false;
    if (std::strcmp(ops, "kohost_txStats") == 0) {
        std::snprintf(buf, cap, "{\"result\":\"succ\",\"unsent\":%u}", unsigned(RtpAudio_getTxUnsent()));
        return true;
    }
    const bool join = std::strcmp(ops, "kohost_join") == 0;
    if (!join && std::strcmp(ops, "kohost_leave") != 0) return false;
    char g[32], i[32];
    bool ok = Msg_getStr(buf, "group", g, sizeof g) == MSG_OK && Msg_getStr(buf, "iface", i, sizeof i) == MSG_OK &&
              rtpSock >= 0;
    if (ok) {
        uint32_t group = Net_parseIp(g), iface = Net_parseIp(i);
        ok = (join ? Net_joinGroup(rtpSock, group, iface) : Net_leaveGroup(rtpSock, group, iface)) == 0;
    }
    std::snprintf(buf, cap, "{\"result\":\"%s\"}", ok ? "succ" : "fail");
    return true;
}

int main(int argc, char** argv) {
    int port = 9990;
    long seconds = 0;
    for (int k = 1; k < argc; ++k) {
        if (!std::strncmp(argv[k], "kohostPort=", 11)) port = std::atoi(argv[k] + 11);
        if (!std::strncmp(argv[k], "kohostSeconds=", 14)) seconds = std::atol(argv[k] + 14);
    }
    if (port <= 0 || port > 65535) {
        std::fprintf(stderr, "kohost: bad port\n");
        return 2;
    }
    Net_startup();
    if (init_ko(argc, argv) != 0) {
        std::fprintf(stderr, "kohost: init_ko failed\n");
        return 1;
    }
    const uint32_t lo = 0x7F000001u;
    int sock = Net_udpSocketTry(lo, port);
    if (sock < 0) {
        std::fprintf(stderr, "kohost: cannot bind 127.0.0.1:%d\n", port);
        return 1;
    }
    std::thread engine(thread_ko);
    engine.detach(); // runs for the life of the process
    std::printf("kohost: ready port=%d inProcess=%d\n", port, Msg_koInProcess() ? 1 : 0);
    std::fflush(stdout);

    const uint64_t end = seconds > 0 ? Clock_tickMs() + uint64_t(seconds) * 1000u : 0;
    static char buf[MSG_KO_REQ_SIZE];
    while (end == 0 || Clock_tickMs() < end) {
        if (Net_waitReadable(&sock, 1, 100) <= 0) continue;
        uint32_t src = 0;
        uint16_t sport = 0;
        int n = Net_recvFrom(sock, buf, sizeof buf - 1, &src, &sport);
        if (n < 0) continue;
        if ((src >> 24) != 127) continue; // loopback senders only
        if (size_t(n) >= sizeof buf) n = int(sizeof buf - 1); // cut to the request buffer
        buf[n] = 0;
        if (!hostRequest(buf, sizeof buf, Ko_rtpSocket()) && !reqKo(buf, sizeof buf))
            std::snprintf(buf, sizeof buf, "{\"result\":\"fail\",\"reason\":\"no engine path\"}");
        Net_sendTo(sock, buf, std::strlen(buf), src, sport);
    }
    std::fflush(stdout);
    std::_Exit(0); // the engine thread never returns
}
