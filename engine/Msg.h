// Control message envelope and in-place JSON field access.
//
// Every routine works on NUL-terminated text and never reads past the NUL nor
// writes past the capacity it is given. Reader status codes:
//   0 success, -1 a value starts with a character no JSON value starts with,
//   -2 key not found, -3 malformed or wrong type.
#pragma once
#include <cstddef>
#include <cstdint>

enum MsgJsonType {
    MSG_JSON_NONE = 0,
    MSG_JSON_STRING,
    MSG_JSON_NUMBER,
    MSG_JSON_ARRAY,
    MSG_JSON_OBJECT,
    MSG_JSON_TRUE,
    MSG_JSON_FALSE,
    MSG_JSON_NULL,
};

#define MSG_OK 0
#define MSG_ERR_START -1
#define MSG_ERR_NOT_FOUND -2
#define MSG_ERR_MALFORMED -3

#define MSG_LAST_ERROR_SIZE 128
#define MSG_KO_REQ_SIZE 3072   // engine request buffer and reply fragment
#define MSG_KO_REASON_SIZE 256 // engine reason text
#define MSG_ROUTE_BUF_SIZE 8192 // receive buffer of the route loop: a datagram plus its reply
#define MSG_MAX_DEPTH 64        // deeper nesting is malformed for every reader

// ---- writers ----
// Appends "name":"value", (or "value", for a null name) with the value escaped.
// Returns false, leaving text unchanged, when it would not fit cap (including the NUL).
bool Msg_appendMember(char* text, size_t cap, const char* name, const char* value);
// Appends "name":<raw>, without quoting or escaping raw (nested objects and arrays).
bool Msg_appendRaw(char* text, size_t cap, const char* name, const char* raw);
// Appends printf-formatted text without any escaping; false when it does not fit.
bool Msg_appendf(char* text, size_t cap, const char* fmt, ...) __attribute__((format(printf, 3, 4)));
// Writes v in decimal with its NUL into out (at least 21 bytes); returns the length.
// The replies carry hundreds of numbers, so this stays off printf.
int Msg_formatInt(long long v, char* out);
// Replaces the trailing comma with "}" (appends "}" when there is none).
bool Msg_closeObject(char* text, size_t cap);

// ---- readers ----
// Advances *p over whitespace and commas to the next value start.
int Msg_skipBlank(const char** p);
// From a value start, finds the value's end (one past its last byte) and type.
int Msg_valueExtent(const char* start, const char** end, int* type);
// Within the object or array beginning at scope, finds key at depth 0; *value = its value start.
int Msg_findKey(const char* scope, const char* key, const char** value);
// Reads a value (key, or the value at scope when key is null) into out, escapes resolved.
// A string is unquoted; bare numbers, true, false and null, objects and arrays are copied
// as they stand. *type gets the type. A value that does not fit cap is -3 with out empty.
int Msg_readValue(const char* scope, const char* key, char* out, size_t cap, int* type);
// Finds the array under key; *cursor = its first element. Returns the element count (>= 0)
// or a negative status.
int Msg_readArray(const char* scope, const char* key, const char** cursor);
// Moves *cursor past the current element to the next one: 0, or -2 at the array's end
// (*cursor then at its "]"), or -3 when malformed.
int Msg_nextElement(const char** cursor);
// Reads up to *capInOut numeric-string elements of the array under key; *capInOut = count read.
// Returns the status (0 on success); an element that is not an integer within int32
// gives -3. The array's whole element count (which may exceed cap) is Msg_readArray's.
int Msg_readIntArray(const char* scope, const char* key, int32_t* out, int* capInOut);

// Convenience: read a member as a string (status) or as an integer with base detection.
// Both take quoted and bare values; true, false, null, objects and arrays are -3.
int Msg_getStr(const char* scope, const char* key, char* out, size_t cap);
int Msg_getInt(const char* scope, const char* key, int64_t* out);
// Base-detecting conversion of a whole text ("0x" hexadecimal, leading "0" octal, optional
// sign); false, leaving *out alone, when text is empty, has any other byte (blanks
// included) or does not fit int64.
bool Msg_parseInt(const char* text, int64_t* out);

// ---- last-error text (route thread only) ----
extern char g_msgLastError[MSG_LAST_ERROR_SIZE];
void Msg_setErrorKey(const char* key); // "error key: %s"

// ---- route replies ----
// Replaces the request's closing "}" by ",", appends "result" (and "reason" on failure),
// closes and sends to addr:port on sock. Returns whether more than 0 bytes were sent.
bool Msg_routeReply(int sock, uint32_t addr, uint16_t port, char* text, size_t cap, bool succ,
                    const char* reason);
// First half of a data reply: closing "}" replaced by "," and "result":"succ", appended.
bool Msg_beginDataReply(char* text, size_t cap);
// Closes the object and sends it; returns whether more than 0 bytes were sent.
bool Msg_sendObject(int sock, uint32_t addr, uint16_t port, char* text, size_t cap);

// ---- engine requests ----
// Rewrites buf (cap bytes) as the reply envelope of an in-process engine call:
// {"result":"succ"} or {"result":"fail","reason":...}, then the members of the data fragment
// (begun with "{", closed or still open with a trailing comma). data and reason must not
// point into buf. A reply that does not fit cap becomes {"result":"fail","reason":"reply too long"}.
void Msg_buildRespond(char* buf, size_t cap, bool succ, const char* reason, const char* data);

// The engine request dispatch. buf holds a request object and receives the reply.
// In process: always returns true (the verdict is the "result" member).
// Through the driver control path: returns whether the path worked (false with no driver
// function registered); on false buf holds {"result":"fail","reason":...}.
// Requests from several threads are serialised here.
bool reqKo(char* buf, size_t cap);

// The route thread's engine request buffer.
extern char g_koReq[MSG_KO_REQ_SIZE];

// Which path reqKo takes; chosen once at start-up by the engine (in process when the
// virtual phy over shared memory is in use).
void Msg_setKoInProcess(bool inProcess);
bool Msg_koInProcess();
// The driver control path: set by the driver client; null means none is present.
typedef bool (*MsgDriverRequestFn)(char* buf, size_t cap);
void Msg_setDriverRequest(MsgDriverRequestFn fn);
