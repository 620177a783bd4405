// Placeholder until the engine start-up lands: keeps the process entry linkable.
#include "engine/testKo_ko.h"

#include "engine/Msg.h"

int init_ko(int, char**) { return 0; }
void thread_ko() {}
const char* Ko_bindIpText() { return "192.168.10.224"; }
int Ko_rtpSocket() { return -1; }
