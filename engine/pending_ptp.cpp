// Placeholders for the PTP engine words until the engine start-up exposes them.
// Weak, so that the start-up's own definitions take over without a link clash;
// remove this file when they exist.
#include "engine/testKo_ko.h"

__attribute__((weak)) int Ko_ptpDomain() { return 0; }
__attribute__((weak)) uint64_t Ko_ptpMode() { return 0; }
