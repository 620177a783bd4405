// VelunorCh -veluEnable48 | -veluDisable
//
// Enabling makes every present endpoint of the card ACTIVE and sets its rate; disabling
// makes the ACTIVE ones DISABLED. The output lines are what the control panel reads:
//   Audio Device <id> | <name> | <flow> | <state>     one per endpoint of the card
//   SetVisible <id> result: 0                          (SetInvisible when disabling)
//   SetSampleRate <id> <Hz> result: 0
//   === SetSampleRate res=0
//   Change Velu Device Count <n>                       endpoints now in the wanted state
// Exit code 0 after a completed run, 1 on a usage error.
#include <cstdio>
#include <cstdlib>
#include <algorithm>
#include <cstring>
#include <strings.h>

#include "platform/endpoints.h"

namespace {

constexpr int kMax = 256;

bool ours(const EndpointRecord& r) {
    return strcasestr(r.id, "VelunorAudio") != nullptr || strcasestr(r.name, "VelunorAudio") != nullptr;
}

int usage() {
    std::printf("usage: VelunorCh -veluEnable<kHz> | -veluDisable\n"
                "  -veluEnable48  make the card's endpoints ACTIVE at 48000 Hz\n"
                "  -veluDisable   make the card's ACTIVE endpoints DISABLED\n");
    return 1;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc != 2) return usage();
    const bool disable = std::strcmp(argv[1], "-veluDisable") == 0;
    unsigned khz = 0;
    if (!disable) {
        if (std::strncmp(argv[1], "-veluEnable", 11) != 0) return usage();
        char* end = nullptr;
        khz = unsigned(std::strtoul(argv[1] + 11, &end, 10));
        if (!end || *end || khz == 0 || khz > 768) return usage();
    }
    static EndpointRecord list[kMax];
    const int n = std::min(Endpoint_list(list, kMax), kMax);
    const char* want = disable ? "DISABLED" : "ACTIVE";
    int changed = 0, rateErrors = 0;
    for (int i = 0; i < n; ++i) {
        EndpointRecord& r = list[i];
        if (!ours(r)) continue;
        std::printf("Audio Device %s | %s | %s | %s\n", r.id, r.name, r.flow, r.state);
        if (std::strcmp(r.state, "NOT_PRESENT") == 0) continue; // the driver is not there
        if (std::strcmp(r.state, disable ? "ACTIVE" : "DISABLED") == 0) {
            std::snprintf(r.state, sizeof r.state, "%s", want);
            const bool ok = Endpoint_write(r);
            std::printf("%s %s result: %d\n", disable ? "SetInvisible" : "SetVisible", r.id, ok ? 0 : 1);
        } else if (!disable) {
            std::printf("SetVisible %s result: 0\n", r.id); // already visible
        }
        if (!disable) {
            r.rate = khz * 1000;
            const bool ok = Endpoint_write(r);
            rateErrors += ok ? 0 : 1;
            std::printf("SetSampleRate %s %u result: %d\n", r.id, r.rate, ok ? 0 : 1);
        }
        if (std::strcmp(r.state, want) == 0) ++changed;
    }
    if (!disable) std::printf("=== SetSampleRate res=%d\n", rateErrors);
    std::printf("Change Velu Device Count %d\n", changed);
    return 0;
}
