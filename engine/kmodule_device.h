// The engine command handler: one JSON request in, success or failure out.
#pragma once
#include <cstddef>

// Handles one request text. Reply members go into data (cleared by the caller, begun
// with "{"); on failure a reason may be left in reason (cleared before every command).
// Returns 0 on success, negative on failure.
int Msg_device_handleJson(const char* request, char* data, size_t dataCap, char* reason, size_t reasonCap);

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
