// Route queries and settings: the paged table queries, the statistics pass-through to the
// engine and the setters a controller may use.
#pragma once
#include "route/devText.h"

// One page of a table query never passes one Ethernet frame's UDP payload.
#define ROUTE_PAGE_BUDGET 1472
#define ROUTE_ITEM_RESERVE 181   // room checked before an item
#define ROUTE_STREAM_RESERVE 281 // room checked before a stream item
// The custom text is kept short enough (escaped) that "getCustomStr" answers in one frame.
#define ROUTE_CUSTOM_STR_MAX 1400

// "saveToFile": the save when something changed, else success.
void Query_saveToFile(const RouteReq& rq);
// Runs the query or setting named ops; false when ops names none of them (no reply).
bool Query_handle(const RouteReq& rq, const char* ops);
