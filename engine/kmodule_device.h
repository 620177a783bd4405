// The engine command handler: one JSON request in, success or failure out.
#pragma once
#include <cstddef>
#include <cstdint>

// Handles one request text. Reply members go into data (cleared by the caller, begun
// with "{"); on failure a reason may be left in reason (cleared before every command).
// Returns 0 on success, negative on failure.
int Msg_device_handleJson(const char* request, char* data, size_t dataCap, char* reason, size_t reasonCap);

// ---- commands of one build ----
// A build adds its own commands, or its own way of doing a common one, with a small
// table that is searched before the common table. Its functions read the request and
// write reply members through the helpers below.
struct KoOpCtx;
typedef int (*KoOpFn)(KoOpCtx* c);
struct KoCommand {
    const char* ops;
    KoOpFn run;
};
void Msg_device_setBuildCommands(const KoCommand* rows, int count);
const char* KoOp_request(KoOpCtx* c);
// Reads an integer member (base detection); false with "error parsing key: <key>".
bool KoOp_getInt(KoOpCtx* c, const char* key, int64_t* v);
// Reads a member as text; false with "error parsing key: <key>".
bool KoOp_getStr(KoOpCtx* c, const char* key, char* out, size_t cap);
// Appends "name":"value" to the reply.
void KoOp_put(KoOpCtx* c, const char* name, const char* value);
void KoOp_putInt(KoOpCtx* c, const char* name, long long value);
// Appends "name":<raw> (a nested object or array, written as it stands).
void KoOp_putRaw(KoOpCtx* c, const char* name, const char* raw);
// Sets the failure reason to a text made elsewhere.
void KoOp_setReason(KoOpCtx* c, const char* text);
// Writes "error at: file=%s func=%s line=%d msg=%s" and returns -1.
int KoOp_fail(KoOpCtx* c, const char* file, const char* func, int line, const char* msg);

// The maker texts reported by getVersion ("owner", "website", "website2"); a product
// build may set its own with compile definitions.
#ifndef KO_VERSION_OWNER
#define KO_VERSION_OWNER "Velunor Audio"
#endif
#ifndef KO_VERSION_WEBSITE
#define KO_VERSION_WEBSITE "https://www.velunor.example"
#endif
#ifndef KO_VERSION_WEBSITE2
#define KO_VERSION_WEBSITE2 "https://link.velunor.example"
#endif
