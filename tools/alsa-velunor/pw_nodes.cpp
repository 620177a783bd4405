// velunor-pw-nodes: the card's active stereo endpoints as PipeWire sinks and sources,
// following the endpoints while PipeWire runs.
//
// PipeWire starts it (context.exec in the card's fragment) and it lives on PipeWire's
// connection: twice a second it reads the endpoint registry and makes an "adapter" node
// over the ALSA device velunor_hw_out_NN / velunor_hw_in_NN for every ACTIVE pair, and
// destroys the node of a pair that is no longer ACTIVE (disabled, the driver host gone);
// a pair whose rate changed gets a new node.
// The nodes belong to this client, so they go with it; it ends when PipeWire goes.
// A node whose creation fails (the pair is busy in another program) is tried again
// after a few seconds.
#include <pipewire/pipewire.h>
#include <signal.h>
#include <spa/utils/result.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <ctime>

#include "platform/endpoints.h"

namespace {

constexpr int kPairs = 32;
constexpr int kSlots = 2 * kPairs; // out_stereo-NN at 2 NN, in_stereo-NN at 2 NN + 1
constexpr int64_t kRetryNs = 5000000000;

struct Node {
    pw_proxy* proxy = nullptr;
    spa_hook listener{};
    bool dead = false;   // removed or refused by PipeWire: to be let go at the next look
    int64_t retryAt = 0; // after a refusal
    unsigned rate = 0;   // the rate the node was made at
};

struct Monitor {
    pw_main_loop* loop = nullptr;
    pw_core* core = nullptr;
    spa_hook coreListener{};
    Node node[kSlots];
};

EndpointRecord g_records[256];

int64_t nowNs() {
    timespec t{};
    clock_gettime(CLOCK_MONOTONIC, &t);
    return int64_t(t.tv_sec) * 1000000000 + t.tv_nsec;
}

void nodeRemoved(void* data) { static_cast<Node*>(data)->dead = true; }

void nodeError(void* data, int, int res, const char* message) {
    Node* n = static_cast<Node*>(data);
    n->dead = true;
    n->retryAt = nowNs() + kRetryNs;
    std::fprintf(stderr, "velunor-pw-nodes: a node was refused: %s (%s)\n", message, spa_strerror(res));
}

const pw_proxy_events kNodeEvents = [] {
    pw_proxy_events e{};
    e.version = PW_VERSION_PROXY_EVENTS;
    e.removed = nodeRemoved;
    e.error = nodeError;
    return e;
}();

void describe(int slot, char* name, size_t cap) {
    std::snprintf(name, cap, "Velunor Link %s %02x", slot % 2 ? "input" : "output", unsigned(slot / 2));
}

void drop(Node& n, int slot) {
    if (!n.proxy) return;
    spa_hook_remove(&n.listener);
    pw_proxy_destroy(n.proxy); // the server destroys the node it made for this client
    n.proxy = nullptr;
    n.dead = false;
    char name[64];
    describe(slot, name, sizeof name);
    std::printf("velunor-pw-nodes: removed %s\n", name);
    std::fflush(stdout);
}

void make(Monitor* m, int slot, unsigned rate) {
    const bool capture = slot % 2 == 1;
    char name[64], path[64], nodeName[64], rateText[16];
    describe(slot, name, sizeof name);
    std::snprintf(path, sizeof path, "velunor_hw_%s_%02x", capture ? "in" : "out", unsigned(slot / 2));
    std::snprintf(nodeName, sizeof nodeName, "velunor_%s_%02x", capture ? "in" : "out", unsigned(slot / 2));
    std::snprintf(rateText, sizeof rateText, "%u", rate ? rate : 48000);
    // The endpoint as it is, at the card's rate (the device offers no other). Headroom:
    // the position moves a whole engine period at a time (two when the engine catches
    // up), which a node scheduled by its own timer must keep queued beyond its quantum.
    // Suspended after 1 s idle, so other programs can take the pair meanwhile.
    pw_properties* props = pw_properties_new(
        "factory.name", capture ? "api.alsa.pcm.source" : "api.alsa.pcm.sink", "node.name", nodeName,
        "node.description", name, "media.class", capture ? "Audio/Source" : "Audio/Sink", "api.alsa.path", path,
        "audio.rate", rateText, "audio.channels", "2", "audio.position", "[ FL FR ]", "api.alsa.headroom", "144",
        "node.pause-on-idle", "true", "session.suspend-timeout-seconds", "1", "device.api", "velunor", nullptr);
    if (!props) return;
    Node& n = m->node[slot];
    n.rate = rate;
    n.proxy = static_cast<pw_proxy*>(
        pw_core_create_object(m->core, "adapter", PW_TYPE_INTERFACE_Node, PW_VERSION_NODE, &props->dict, 0));
    pw_properties_free(props);
    if (!n.proxy) {
        n.retryAt = nowNs() + kRetryNs;
        return;
    }
    n.dead = false;
    pw_proxy_add_listener(n.proxy, &n.listener, &kNodeEvents, &n);
    std::printf("velunor-pw-nodes: added %s (%s)\n", name, path);
    std::fflush(stdout);
}

// The slot of a record of the card ("out_stereo-1f (VelunorAudio)"), or -1.
int slotOf(const EndpointRecord& r) {
    if (!std::strstr(r.id, "VelunorAudio")) return -1;
    unsigned pair = 0;
    char dir[4] = "";
    int used = 0;
    if (std::sscanf(r.name, "%3[a-z]_stereo-%2x%n", dir, &pair, &used) != 2 || used != int(std::strlen(dir)) + 10)
        return -1;
    if (pair >= unsigned(kPairs)) return -1;
    if (!std::strcmp(dir, "out")) return int(2 * pair);
    if (!std::strcmp(dir, "in")) return int(2 * pair + 1);
    return -1;
}

void look(void* data, uint64_t) {
    Monitor* m = static_cast<Monitor*>(data);
    bool active[kSlots] = {};
    unsigned rate[kSlots] = {};
    const int count = Endpoint_list(g_records, 256);
    for (int i = 0; i < count && i < 256; ++i) {
        const int s = slotOf(g_records[i]);
        if (s >= 0 && !std::strcmp(g_records[i].state, "ACTIVE")) {
            active[s] = true;
            rate[s] = g_records[i].rate;
        }
    }
    const int64_t now = nowNs();
    for (int s = 0; s < kSlots; ++s) {
        Node& n = m->node[s];
        // A pair whose rate changed gets a node at the new rate.
        if (n.proxy && (n.dead || !active[s] || n.rate != rate[s])) drop(n, s);
        if (!active[s]) n.retryAt = 0;
        if (active[s] && !n.proxy && now >= n.retryAt) make(m, s, rate[s]);
    }
}

void coreError(void* data, uint32_t id, int, int res, const char* message) {
    Monitor* m = static_cast<Monitor*>(data);
    if (id == PW_ID_CORE) {
        std::fprintf(stderr, "velunor-pw-nodes: PipeWire: %s (%s)\n", message, spa_strerror(res));
        if (res == -EPIPE) pw_main_loop_quit(m->loop); // PipeWire is gone
    }
}

const pw_core_events kCoreEvents = [] {
    pw_core_events e{};
    e.version = PW_VERSION_CORE_EVENTS;
    e.error = coreError;
    return e;
}();

void quit(void* data, int) { pw_main_loop_quit(static_cast<Monitor*>(data)->loop); }

}  // namespace

int main(int argc, char** argv) {
    pw_init(&argc, &argv);
    static Monitor m;
    m.loop = pw_main_loop_new(nullptr);
    pw_loop* loop = m.loop ? pw_main_loop_get_loop(m.loop) : nullptr;
    pw_context* context = loop ? pw_context_new(loop, nullptr, 0) : nullptr;
    m.core = context ? pw_context_connect(context, nullptr, 0) : nullptr;
    if (!m.core) {
        std::fprintf(stderr, "velunor-pw-nodes: cannot connect to PipeWire: %s\n", std::strerror(errno));
        return 1;
    }
    pw_core_add_listener(m.core, &m.coreListener, &kCoreEvents, &m);
    pw_loop_add_signal(loop, SIGINT, quit, &m);
    pw_loop_add_signal(loop, SIGTERM, quit, &m);
    spa_source* timer = pw_loop_add_timer(loop, look, &m);
    timespec first{0, 1}, every{0, 500000000};
    pw_loop_update_timer(loop, timer, &first, &every, false);
    pw_main_loop_run(m.loop);
    for (int s = 0; s < kSlots; ++s) drop(m.node[s], s);
    pw_core_disconnect(m.core);
    pw_context_destroy(context);
    pw_main_loop_destroy(m.loop);
    pw_deinit();
    return 0;
}
