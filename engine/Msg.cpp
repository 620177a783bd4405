// Placeholder until the JSON field access lands.
#include "engine/Msg.h"

char g_msgLastError[MSG_LAST_ERROR_SIZE];
char g_koReq[MSG_KO_REQ_SIZE];
bool reqKo(char*, size_t) { return false; }
