// The engine command handler over any request text, on a prepared engine without a
// section or socket. Buffers are exactly as large as they claim (heap), so a write past
// the fragment or the reason, or a read past the request's NUL, is caught. Checks what
// the handler promises: a reply fragment that is empty or one closed object within its
// buffer, a NUL-terminated reason, and no reply members on failure.
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "engine/AudioPhy.h"
#include "engine/Msg.h"
#include "engine/kmodule_device.h"
#include "engine/testKo_ko.h"

static void check(bool ok) {
    if (!ok) std::abort();
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    static bool ready = false;
    if (!ready) {
        // bufMs=1: the stream layer is prepared, no section and no socket are made.
        char p0[] = "fuzz", b[] = "bufMs=1", rx[] = "chNumRx=8", tx[] = "chNumTx=8";
        char* argv[] = {p0, b, rx, tx};
        init_ko(4, argv);
        ready = true;
    }
    if (size > 8192) return 0;
    std::vector<char> req(data, data + size);
    req.push_back('\0');
    std::vector<char> frag(MSG_KO_REQ_SIZE);
    std::vector<char> reason(MSG_KO_REASON_SIZE);
    int rc = Msg_device_handleJson(req.data(), frag.data(), frag.size(), reason.data(), reason.size());
    check(std::memchr(frag.data(), '\0', frag.size()) != nullptr);
    check(std::memchr(reason.data(), '\0', reason.size()) != nullptr);
    size_t n = std::strlen(frag.data());
    if (rc != 0) check(n == 0);
    if (n) check(frag[0] == '{' && frag[n - 1] == '}');

    // The same request through the dispatch buffer: the envelope always fits.
    std::vector<char> buf(MSG_KO_REQ_SIZE);
    std::memcpy(buf.data(), req.data(), req.size() < buf.size() ? req.size() : buf.size());
    buf.back() = '\0';
    std::vector<char> frag2(MSG_KO_REQ_SIZE);
    std::vector<char> reason2(MSG_KO_REASON_SIZE);
    bool ok = Msg_device_handleJson(buf.data(), frag2.data(), frag2.size(), reason2.data(), reason2.size()) == 0;
    Msg_buildRespond(buf.data(), buf.size(), ok, reason2.data(), frag2.data());
    check(std::memchr(buf.data(), '\0', buf.size()) != nullptr);
    check(std::strncmp(buf.data(), "{\"result\":\"", 11) == 0);
    return 0;
}
