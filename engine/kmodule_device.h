// The engine command handler: one JSON request in, success or failure out.
#pragma once
#include <cstddef>

// Handles one request text. Reply members go into data (cleared by the caller, begun
// with "{"); on failure a reason may be left in reason (cleared before every command).
// Returns 0 on success, negative on failure.
int Msg_device_handleJson(const char* request, char* data, size_t dataCap, char* reason, size_t reasonCap);
