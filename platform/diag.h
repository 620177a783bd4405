// Diagnostics of the route service and the engine: one line on standard output,
// naming the source unit, the function and the line; the caller carries on.
#pragma once
#include <cstdio>

#define DIAG_ERROR_AT(unit, func)                                                                  \
    do {                                                                                           \
        std::printf("error: file=%s func=%s line=%d \n", (unit), (func), __LINE__);                \
        std::fflush(stdout);                                                                       \
    } while (0)

#define DIAG_ERROR(unit) DIAG_ERROR_AT((unit), __func__)
