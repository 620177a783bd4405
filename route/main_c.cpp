// Process entry of VelunorRoute, the route command line, and the single-threaded
// receive-and-dispatch loop of the route layer with its 10 ms periodic grid.
#include "route/main_c.h"

#include <arpa/inet.h>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <thread>

#include "engine/AudioPhy.h"
#include "engine/Msg.h"
#include "engine/VelunorTypes.h"
#include "engine/myPtp.h"
#include "engine/testKo_ko.h"
#include "platform/clock.h"
#include "platform/diag.h"
#include "platform/net.h"
#include "platform/process.h"

#define UNIT "main_c"

// Datagrams of this length or longer are skipped: the read is truncated.
#define ROUTE_MAX_DATAGRAM 1499
#define ROUTE_TICK_MS 10
#define ROUTE_SAP_GROUP 0xEFFFFFFFu     // 239.255.255.255
#define ROUTE_CTRL_GROUP_TEXT "239.0.0.188"
#define ROUTE_DEFAULT_PAYLOAD_TYPE 97
#define ROUTE_MCAST_TTL 15
#define ROUTE_MORE_AFTER_JSON "MoreChAfterJson"

RouteArgs g_routeArgs;
int g_cmdSock = -1;
int g_discSock = -1;
int g_sapSock = -1;

// One buffer for the loop: a datagram plus the reply built in place behind it.
static char s_buf[MSG_ROUTE_BUF_SIZE];

static void say(const char* text) {
    std::fputs(text, stdout);
    std::fflush(stdout);
}

void Route_setTextDefaults(RouteArgs* a, const char* bindIpText) {
    a->bindIp = bindIpText;
    a->model = "rEduVuzi";
    a->devId = "rEduVuzi-123";
    a->filePath = "C:/ProgramData/VelunorNetSndCard/_route";
}

void Route_setNumDefaults(RouteArgs* a) {
    a->mcastIp = Net_parseIp(ROUTE_CTRL_GROUP_TEXT);
    a->mcastIp2 = 0;
    a->mcastPort = ROUTE_CTRL_PORT;
    a->payloadType = ROUTE_DEFAULT_PAYLOAD_TYPE;
    a->noMcastRx = false;
    a->noMcastTx = false;
}

// The text after prefix when arg begins with it, else null.
static const char* after(const char* arg, const char* prefix) {
    size_t n = std::strlen(prefix);
    return std::strncmp(arg, prefix, n) == 0 ? arg + n : nullptr;
}

int Route_parseArgs(int argc, char** argv, RouteArgs* a) {
    for (int i = 1; i < argc; i++) {
        const char* arg = argv[i];
        if (!arg) continue;
        if (Route_isHelpWord(arg)) return -1;
        const char* v;
        if ((v = after(arg, "bindIp="))) a->bindIp = v;
        if ((v = after(arg, "model="))) a->model = v;
        if ((v = after(arg, "devId="))) a->devId = v;
        if ((v = after(arg, "filePath="))) a->filePath = v;
        if ((v = after(arg, "mcastIp="))) {
            a->mcastIp = Net_parseIp(v);
            const char* slash = std::strchr(arg, '/');
            if (slash) a->mcastIp2 = Net_parseIp(slash + 1);
        }
        // Integer conversions wrap to the field's width: only the low bits are used.
        if ((v = after(arg, "mcastPort="))) a->mcastPort = uint16_t(std::strtol(v, nullptr, 0));
        if ((v = after(arg, "payloadType="))) a->payloadType = uint8_t(std::strtol(v, nullptr, 0));
        if (after(arg, "noMcastRx")) a->noMcastRx = true;
        if (after(arg, "noMcastTx")) a->noMcastTx = true;
        if ((v = after(arg, "passwordPath="))) a->passwordPath = v;
        if ((v = after(arg, "lockPath="))) a->lockPath = v;
    }
    return 0;
}

bool Route_isHelpWord(const char* arg) {
    return arg && (!std::strcmp(arg, "help") || !std::strcmp(arg, "--help") || !std::strcmp(arg, "-h"));
}

// Every word of the one argument vector: the route layer's and the engine's. A word
// ending in "=" takes a value; the others are flags and must match whole.
static const char* const kWords[] = {"bindIp=",     "model=",     "devId=",       "filePath=",  "mcastIp=",
                                     "mcastPort=",  "payloadType=", "noMcastRx",  "noMcastTx",  "passwordPath=",
                                     "lockPath=",   "sampleRate=", "chNumRx=",    "chNumTx=",   "bufMs=",
                                     "domain=",     "ptpMode=",   "poll"};

static bool knownWord(const char* arg) {
    for (const char* w : kWords) {
        const size_t n = std::strlen(w);
        if (w[n - 1] == '=' ? std::strncmp(arg, w, n) == 0 : std::strcmp(arg, w) == 0) return true;
    }
    return false;
}

RouteCmdLine Route_checkCmdLine(int argc, char** argv, const char* bindIpText, int* bad) {
    for (int i = 1; i < argc; i++) {
        if (!argv[i]) continue;
        if (Route_isHelpWord(argv[i])) return ROUTE_CMD_HELP;
        if (!knownWord(argv[i])) {
            if (bad) *bad = i;
            return ROUTE_CMD_UNKNOWN;
        }
    }
    in_addr a{};
    if (!bindIpText || inet_pton(AF_INET, bindIpText, &a) != 1) return ROUTE_CMD_BAD_BIND_IP;
    const uint32_t ip = ntohl(a.s_addr);
    if (ip == 0) return ROUTE_CMD_RUN;
    uint32_t mine[64];
    const int n = Net_localAddrs(mine, 64);
    for (int i = 0; i < n; i++)
        if (mine[i] == ip) return ROUTE_CMD_RUN;
    return ROUTE_CMD_FOREIGN_IP;
}

static const char* orEmpty(const char* s) { return s ? s : ""; }

void Route_printUsage(FILE* out, const char* prog, const RouteArgs* a) {
    std::fprintf(out,
                 "usage: %s bindIp=%s model=%s devId=%s filePath=%s mcastIp=239.0.0.188 mcastPort=9996 "
                 "noMcastRx noMcastTx passwordPath= lockPath=\n",
                 orEmpty(prog), orEmpty(a->bindIp), orEmpty(a->model), orEmpty(a->devId),
                 orEmpty(a->filePath));
    std::fprintf(out, "RTP_MAX_CH_NUM=%d PHY_MAX_CH_NUM=%d RTP_MAX_MCAST_NUM=%d\n", RTP_MAX_CH_NUM,
                 PHY_MAX_CH_NUM, RTP_MAX_MCAST_NUM);
    std::fflush(out);
}

uint64_t Route_nextGrid(uint64_t nowMs) { return (nowMs / ROUTE_TICK_MS + 1) * ROUTE_TICK_MS; }

int Route_tickStep(uint64_t nowMs, uint64_t* next) {
    if (nowMs < *next) return 0;
    *next += ROUTE_TICK_MS;
    if (nowMs >= *next) {
        *next = Route_nextGrid(nowMs);
        return 2;
    }
    return 1;
}

// Waits until a socket is readable or the period passes; a failed wait is reported
// and the loop carries on.
static void sleep_waitSockOrTimeout(const int* socks, int count, int timeoutMs) {
    if (Net_waitReadable(socks, count, timeoutMs) < 0) DIAG_ERROR_AT(UNIT, "sleep_waitSockOrTimeout");
}

// Reads one datagram into s_buf and NUL-terminates it. Returns its length, or -1 when
// nothing usable was read (nothing there, an error, or a datagram too long for the buffer).
static int readOne(int sock, uint32_t* addr, uint16_t* port) {
    int n = Net_recvFrom(sock, s_buf, ROUTE_MAX_DATAGRAM, addr, port);
    if (n < 0 || n > ROUTE_MAX_DATAGRAM) return -1;
    s_buf[n] = '\0';
    return n;
}

static void dispatchCommand(int len, uint32_t addr, uint16_t port) {
    // A NUL inside the datagram would hide the rest of it from every text handler.
    if (std::strlen(s_buf) != size_t(len)) return;
    if (len > 0 && s_buf[0] == '{' && s_buf[len - 1] != '}') {
        // Tells the sender its object was followed by more bytes (or cut short).
        const size_t extra = sizeof ROUTE_MORE_AFTER_JSON - 1;
        std::memcpy(s_buf + len, ROUTE_MORE_AFTER_JSON, extra + 1);
        Net_sendTo(g_cmdSock, s_buf, size_t(len) + extra, addr, port);
        return;
    }
    if (Route_handleRemoteCode(g_cmdSock, s_buf, len, sizeof s_buf, addr, port)) return;
    if (Route_handlePeerStream(g_cmdSock, s_buf, len, sizeof s_buf, addr, port)) return;
    Route_handleCommand(g_cmdSock, s_buf, len, sizeof s_buf, addr, port);
}

// One pass over the three sockets, one datagram each; returns whether anything was read.
static bool receivePass() {
    bool got = false;
    uint32_t addr = 0;
    uint16_t port = 0;
    int n = readOne(g_cmdSock, &addr, &port);
    if (n >= 0) {
        got = true;
        dispatchCommand(n, addr, port);
    }
    n = readOne(g_discSock, &addr, &port);
    if (n >= 0) {
        got = true;
        if (n > 0) Disc_handle(g_discSock, s_buf, n, sizeof s_buf, addr, port);
    }
    n = readOne(g_sapSock, &addr, &port);
    if (n >= 0) {
        got = true;
        if (n > 0) Sap_handleDatagram(g_sapSock, s_buf, n, sizeof s_buf, addr, port);
    }
    return got;
}

void route_main(int argc, char** argv) {
    RouteArgs* a = &g_routeArgs;
    Route_setNumDefaults(a);
    if (Route_parseArgs(argc, argv, a) < 0) {
        Route_printUsage(stdout, argc > 0 ? argv[0] : "VelunorRoute", a);
        std::exit(-1);
    }
    std::printf("warning: bindIp=%s \n", orEmpty(a->bindIp));
    std::fflush(stdout);
    uint32_t bindAddr = Net_parseIp(a->bindIp);
    if (!a->model || !a->devId || !a->filePath) {
        say("error param\n");
        std::exit(-1);
    }

    // Bound to any address: the discovery and announcement sockets must see multicast.
    g_cmdSock = Net_udpSocket(0, ROUTE_CMD_PORT);
    g_discSock = Net_udpSocket(0, a->mcastPort);
    g_sapSock = Net_udpSocket(0, ROUTE_SAP_PORT);

    // The PTP thread's view of the route layer, before the own address lets it start.
    const PtpRouteView ptpView{g_discSock, a->mcastIp, a->mcastIp2, a->mcastPort, a->devId};
    Ptp_setRouteView(&ptpView);
    Dev_init(g_discSock, g_cmdSock, bindAddr, a->mcastIp, a->mcastIp2, a->mcastPort, a->payloadType);
    if (a->noMcastRx) Dev_setMcastNum(true, 0);
    if (a->noMcastTx) Dev_setMcastNum(false, 0);

    if (bindAddr == 0) {
        Dev_pushPhyGains();
        while ((bindAddr = Net_parseIp(a->bindIp)) == 0) {
            Clock_sleepMs(1000);
            say("waiting ip ... \n");
        }
        Dev_setOwnIp(bindAddr);
    }

    if (Net_joinGroup(g_sapSock, ROUTE_SAP_GROUP, 0) != 0) DIAG_ERROR_AT(UNIT, "route_main");
    // The control group is joined on the adapter the device is bound to.
    if (Net_isMulticast(a->mcastIp) && Net_joinGroup(g_discSock, a->mcastIp, Dev_ownIp()) != 0)
        DIAG_ERROR_AT(UNIT, "route_main");
    if (Net_setMcastIf(g_discSock, Dev_ownIp()) != 0) DIAG_ERROR_AT(UNIT, "route_main");
    if (Net_setMcastTtl(g_discSock, ROUTE_MCAST_TTL) != 0) DIAG_ERROR_AT(UNIT, "route_main");
    if (Net_setMcastLoop(g_discSock, 0) != 0) DIAG_ERROR_AT(UNIT, "route_main");

    std::srand(unsigned(std::time(nullptr)));
    uint64_t next = Route_nextGrid(Clock_tickMs());
    const int socks[3] = {g_cmdSock, g_discSock, g_sapSock};
    for (;;) {
        // While datagrams keep arriving, serve them before anything else.
        if (receivePass()) continue;
        sleep_waitSockOrTimeout(socks, 3, ROUTE_TICK_MS);
        int runs = Route_tickStep(Clock_tickMs(), &next);
        if (runs == 0) continue;
        for (int i = 0; i < runs; i++) periodWork();
        uint32_t ip = Net_parseIp(a->bindIp);
        if (ip != 0 && ip != Dev_ownIp()) Dev_onOwnIpChanged(ip);
    }
}

int VelunorRoute_main(int argc, char** argv) {
    // Output is read through pipes by the control panel and the tests.
    std::setvbuf(stdout, nullptr, _IOLBF, 0);
    // Started by the panel: end with it, even after the exec of file capabilities.
    Process_dieWithParent();
    int rc = Net_startup();
    if (rc != 0) {
        std::printf("error: WSAStartup() fail, errorCode=%d\n", rc);
        std::fflush(stdout);
        std::exit(1);
    }
    // The command line is judged before the engine opens its socket or its shared memory:
    // a request for help, a mistyped word or an address this computer does not have ends
    // the process here, so nothing is sent. The route words before a help word are
    // applied so the usage shows their values; the engine's words give the bind address
    // default.
    {
        static AudioPhyWords words;
        AudioPhy_parseWords(argc, argv, &words);
        RouteArgs probe{};
        Route_setTextDefaults(&probe, words.bindIp);
        Route_setNumDefaults(&probe);
        Route_parseArgs(argc, argv, &probe);
        const char* prog = argc > 0 && argv[0] ? argv[0] : "VelunorRoute";
        int bad = 0;
        switch (Route_checkCmdLine(argc, argv, probe.bindIp, &bad)) {
        case ROUTE_CMD_RUN:
            break;
        case ROUTE_CMD_HELP:
            Route_printUsage(stdout, prog, &probe);
            std::exit(0);
        case ROUTE_CMD_UNKNOWN:
            std::fprintf(stderr, "%s: unknown argument \"%s\"\n", prog, argv[bad]);
            Route_printUsage(stderr, prog, &probe);
            std::exit(2);
        case ROUTE_CMD_BAD_BIND_IP:
            std::fprintf(stderr,
                         "%s: bindIp=%s %s: give the IPv4 address of the wired adapter to use, "
                         "or bindIp=0.0.0.0 to wait for one\n",
                         prog, orEmpty(probe.bindIp),
                         probe.bindIp && *probe.bindIp ? "is not an IPv4 address" : "is empty");
            std::exit(2);
        case ROUTE_CMD_FOREIGN_IP: {
            std::fprintf(stderr, "%s: bindIp=%s is not an address of this computer; its IPv4 addresses:", prog,
                         probe.bindIp);
            uint32_t mine[64];
            const int n = Net_localAddrs(mine, 64);
            for (int i = 0; i < n; i++) {
                char t[16];
                Net_formatIp(mine[i], t, sizeof t);
                std::fprintf(stderr, " %s", t);
            }
            std::fprintf(stderr, "%s\n", n > 0 ? "" : " none");
            std::exit(1);
        }
        }
    }
    // The engine reports its own start-up errors and carries on.
    (void)init_ko(argc, argv);
    std::thread ko(thread_ko);
    std::thread ptp(thread_ptp);
    Route_setTextDefaults(&g_routeArgs, Ko_bindIpText());
    route_main(argc, argv);
    ko.join();
    ptp.join();
    return 0;
}
