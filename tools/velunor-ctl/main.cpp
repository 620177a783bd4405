// velunor-ctl: a controller for the JSON route protocol. It sends only to the address
// the user names, and only listens for the watch command.
#include <arpa/inet.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "engine/Msg.h"
#include "platform/net.h"
#include "tools/velunor-ctl/ctl.h"

namespace {

const int EXIT_NO_REPLY = 2;
const int MAX_PAGES = 1000; // a device has at most a few hundred entries per table
const size_t MAX_DATAGRAM = 1499; // the device drops longer command datagrams

const char* const USAGE =
    "usage:\n"
    "  velunor-ctl send <ip> '<json>' | <key=value ...>   one command to <ip>, reply printed\n"
    "  velunor-ctl <ip> <ops> [key=value ...]              {\"ops\":<ops>,\"key\":\"value\",...}\n"
    "  velunor-ctl page <ip> <getAll... ops> [key=value ...] every page of a paged query\n"
    "  velunor-ctl watch [--group 239.0.0.188] [--port 9996] [--iface <ip>] [--seconds N]\n"
    "                                                      iAm and update notices on the control group\n"
    "options:\n"
    "  --port N       command port (default 9995) or, for watch, control port (default 9996)\n"
    "  --timeout S    seconds to wait for each reply (default 1)\n"
    "  --json         print replies and notices as received\n"
    "  --help         this text\n"
    "Values are sent quoted; a value that is a whole JSON object or array is sent as it is,\n"
    "e.g. sdp='{\"srcIp\":\"10.0.0.2\",...}' srcChIdArr='[\"0\",\"1\"]'.\n"
    "Exit status: 0 \"succ\", 1 \"fail\", 2 no reply or usage error.\n";

struct Opts {
    int port = -1;
    double timeout = 1.0;
    bool json = false;
    std::string group = "239.0.0.188";
    std::string iface;
    double seconds = 0; // watch: 0 = until interrupted
    std::vector<std::string> words;
};

int usage(const char* msg) {
    if (msg) std::fprintf(stderr, "velunor-ctl: %s\n", msg);
    std::fputs(USAGE, stderr);
    return EXIT_NO_REPLY;
}

bool parseAddr(const std::string& text, uint32_t* out) {
    in_addr a{};
    if (inet_pton(AF_INET, text.c_str(), &a) != 1) return false;
    *out = ntohl(a.s_addr);
    return true;
}

bool parseNum(const char* text, double lo, double hi, double* out) {
    char* end = nullptr;
    double v = std::strtod(text, &end);
    if (!text[0] || *end || !(v >= lo && v <= hi)) return false;
    *out = v;
    return true;
}

// Options may stand anywhere; everything else is a word. 0 = fine, else an exit status.
int parseOpts(int argc, char** argv, Opts* o, bool* help) {
    for (int i = 1; i < argc; i++) {
        std::string a = argv[i];
        auto value = [&](double lo, double hi, double* out) {
            if (i + 1 >= argc || !parseNum(argv[i + 1], lo, hi, out)) return false;
            i++;
            return true;
        };
        double v = 0;
        if (a == "--help" || a == "-h") {
            *help = true;
        } else if (a == "--json") {
            o->json = true;
        } else if (a == "--port") {
            if (!value(1, 65535, &v) || v != int(v)) return usage("--port needs 1..65535");
            o->port = int(v);
        } else if (a == "--timeout") {
            if (!value(0.001, 3600, &o->timeout)) return usage("--timeout needs seconds");
        } else if (a == "--seconds") {
            if (!value(0, 1e7, &o->seconds)) return usage("--seconds needs a number");
        } else if (a == "--group" || a == "--iface") {
            if (i + 1 >= argc) return usage("missing address");
            (a == "--group" ? o->group : o->iface) = argv[++i];
        } else if (a.size() > 2 && a.compare(0, 2, "--") == 0) {
            return usage(("unknown option " + a).c_str());
        } else {
            o->words.push_back(a);
        }
    }
    return 0;
}

long long nowMs() {
    using namespace std::chrono;
    return duration_cast<milliseconds>(steady_clock::now().time_since_epoch()).count();
}

// A command destination: one device, never a group or a broadcast.
bool deviceAddr(const std::string& text, uint32_t* addr) {
    if (!parseAddr(text, addr)) return false;
    return *addr != 0 && *addr != 0xFFFFFFFFu && !Net_isMulticast(*addr);
}

// Sends text to addr:port and waits for the reply from there. False on no reply.
bool exchange(int sock, uint32_t addr, uint16_t port, const std::string& text, double timeout,
              std::string* reply) {
    if (text.size() > MAX_DATAGRAM)
        std::fprintf(stderr, "velunor-ctl: warning: %zu bytes, the device takes at most %zu\n", text.size(),
                     MAX_DATAGRAM);
    if (Net_sendTo(sock, text.data(), text.size(), addr, port) != int(text.size())) {
        std::fprintf(stderr, "velunor-ctl: send to %s failed\n", text.c_str());
        return false;
    }
    long long deadline = nowMs() + (long long)(timeout * 1000);
    static char buf[65536];
    for (;;) {
        long long left = deadline - nowMs();
        if (left <= 0 || Net_waitReadable(&sock, 1, int(left)) <= 0) return false;
        uint32_t from = 0;
        uint16_t fromPort = 0;
        int n = Net_recvFrom(sock, buf, sizeof buf - 1, &from, &fromPort);
        if (n < 0) continue;
        if (from != addr || fromPort != port) continue; // not the device's answer
        size_t len = size_t(n) < sizeof buf - 1 ? size_t(n) : sizeof buf - 1;
        reply->assign(buf, len);
        reply->resize(std::strlen(reply->c_str())); // the text ends at an embedded NUL
        return true;
    }
}

int openClient() {
    int sock = Net_udpSocketTry(0, 0);
    if (sock < 0) std::fprintf(stderr, "velunor-ctl: no socket\n");
    return sock;
}

int runSend(const Opts& o, const std::string& ip, const std::string& text) {
    uint32_t addr = 0;
    if (!deviceAddr(ip, &addr)) return usage(("not a device address: " + ip).c_str());
    int sock = openClient();
    if (sock < 0) return EXIT_NO_REPLY;
    std::string reply;
    bool got = exchange(sock, addr, uint16_t(o.port > 0 ? o.port : 9995), text, o.timeout, &reply);
    Net_close(sock);
    if (!got) {
        std::fprintf(stderr, "velunor-ctl: no reply from %s\n", ip.c_str());
        return EXIT_NO_REPLY;
    }
    if (o.json) std::printf("%s\n", reply.c_str());
    else std::fputs(Ctl_readable(reply.c_str()).c_str(), stdout);
    return Ctl_exitStatus(reply.c_str(), text.c_str());
}

int runPage(const Opts& o, const std::string& ip, const std::string& ops, const std::vector<std::string>& kv) {
    uint32_t addr = 0;
    if (!deviceAddr(ip, &addr)) return usage(("not a device address: " + ip).c_str());
    int sock = openClient();
    if (sock < 0) return EXIT_NO_REPLY;
    uint16_t port = uint16_t(o.port > 0 ? o.port : 9995);
    long long id = 0;
    int status = 0;
    std::vector<std::string> items;
    for (int page = 0;; page++) {
        std::string text, err, reply;
        if (!Ctl_pageRequest(ops, id, kv, &text, &err)) {
            status = usage(err.c_str());
            break;
        }
        if (page >= MAX_PAGES) {
            std::fprintf(stderr, "velunor-ctl: stopped after %d pages\n", MAX_PAGES);
            status = 1;
            break;
        }
        if (!exchange(sock, addr, port, text, o.timeout, &reply)) {
            std::fprintf(stderr, "velunor-ctl: no reply from %s for idStart %lld\n", ip.c_str(), id);
            status = EXIT_NO_REPLY;
            break;
        }
        if (o.json) std::printf("%s\n", reply.c_str());
        long long next = 0;
        size_t before = items.size();
        int st = Ctl_pageStep(reply.c_str(), id, &items, &next, &err);
        if (!o.json)
            for (size_t i = before; i < items.size(); i++) std::printf("%s\n", items[i].c_str());
        if (st == CTL_PAGE_FAIL) {
            std::fprintf(stderr, "velunor-ctl: %s\n", err.c_str());
            status = 1;
            break;
        }
        if (st == CTL_PAGE_DONE) break;
        id = next;
    }
    Net_close(sock);
    if (status == 0 && !o.json) std::fprintf(stderr, "%zu entries\n", items.size());
    return status;
}

// Prints what the control group carries that a controller cares about.
void printNotice(const Opts& o, const char* text, uint32_t from) {
    char ops[64];
    if (Msg_getStr(text, "ops", ops, sizeof ops) != MSG_OK) return;
    bool iAm = std::strcmp(ops, "iAmVelunor") == 0;
    if (!iAm && std::strcmp(ops, "updateActive") != 0 && std::strcmp(ops, "updateRoute") != 0) return;
    char src[16];
    Net_formatIp(from, src, sizeof src);
    if (o.json) {
        std::printf("%s %s\n", src, text);
    } else if (iAm) {
        static const char* const keys[] = {"devId", "name", "ip", "sampleRate", "chNumRx", "chNumTx", "gmClkId"};
        std::string line = std::string(src) + " iAm";
        for (const char* k : keys) {
            char v[128];
            if (Msg_getStr(text, k, v, sizeof v) == MSG_OK) line += std::string(" ") + k + "=" + v;
        }
        std::printf("%s\n", line.c_str());
    } else {
        std::printf("%s %s\n", src, ops);
    }
    std::fflush(stdout);
}

int runWatch(const Opts& o) {
    uint32_t group = 0, iface = 0;
    if (!parseAddr(o.group, &group)) return usage(("bad --group " + o.group).c_str());
    if (!o.iface.empty() && !parseAddr(o.iface, &iface)) return usage(("bad --iface " + o.iface).c_str());
    int port = o.port > 0 ? o.port : 9996;
    // Bound to the group itself, so only its datagrams arrive; a unicast --group (a
    // loopback address, say) is simply listened on.
    int sock = Net_udpSocketTry(group, port);
    if (sock < 0) {
        std::fprintf(stderr, "velunor-ctl: cannot listen on %s:%d\n", o.group.c_str(), port);
        return EXIT_NO_REPLY;
    }
    if (Net_isMulticast(group) && Net_joinGroup(sock, group, iface) != 0) {
        std::fprintf(stderr, "velunor-ctl: cannot join %s\n", o.group.c_str());
        Net_close(sock);
        return EXIT_NO_REPLY;
    }
    long long end = o.seconds > 0 ? nowMs() + (long long)(o.seconds * 1000) : 0;
    static char buf[65536];
    for (;;) {
        long long wait = 500;
        if (end) {
            wait = end - nowMs();
            if (wait <= 0) break;
            if (wait > 500) wait = 500;
        }
        if (Net_waitReadable(&sock, 1, int(wait)) <= 0) continue;
        uint32_t from = 0;
        int n = Net_recvFrom(sock, buf, sizeof buf - 1, &from, nullptr);
        if (n <= 0) continue;
        buf[size_t(n) < sizeof buf - 1 ? size_t(n) : sizeof buf - 1] = '\0';
        printNotice(o, buf, from);
    }
    Net_close(sock);
    return 0;
}

} // namespace

int main(int argc, char** argv) {
    Opts o;
    bool help = false;
    if (int st = parseOpts(argc, argv, &o, &help)) return st;
    if (help || o.words.empty() || o.words[0] == "help") {
        std::fputs(USAGE, help ? stdout : stderr);
        return help ? 0 : EXIT_NO_REPLY;
    }
    const std::vector<std::string>& w = o.words;
    std::string err, text;
    if (w[0] == "send") {
        if (w.size() < 3) return usage("send needs <ip> and a command");
        if (!Ctl_buildFromArgs(std::vector<std::string>(w.begin() + 2, w.end()), &text, &err))
            return usage(err.c_str());
        return runSend(o, w[1], text);
    }
    if (w[0] == "page") {
        if (w.size() < 3) return usage("page needs <ip> and an ops");
        return runPage(o, w[1], w[2], std::vector<std::string>(w.begin() + 3, w.end()));
    }
    if (w[0] == "watch") {
        if (w.size() > 1) return usage("watch takes only options");
        return runWatch(o);
    }
    uint32_t addr = 0;
    if (!parseAddr(w[0], &addr)) return usage(("unknown command " + w[0]).c_str());
    if (w.size() < 2) return usage("missing ops");
    if (!Ctl_buildCommand(w[1], std::vector<std::string>(w.begin() + 2, w.end()), &text, &err))
        return usage(err.c_str());
    return runSend(o, w[0], text);
}
