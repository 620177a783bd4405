// velunor-ctl's text side: building commands from the command line, reading replies
// and paging. No sockets here, so all of it can be checked without a network.
#pragma once
#include <string>
#include <vector>

// {"ops":<ops>,"k":"v",...} from key=value words, every value quoted and escaped,
// except a value that is one whole JSON object or array, which goes in raw.
// False (with a message in *err) for a word without "=" or with an empty key.
bool Ctl_buildCommand(const std::string& ops, const std::vector<std::string>& kv, std::string* out,
                      std::string* err);

// The send form: one word that starts with "{" is sent as it stands; otherwise the words
// are key=value pairs that must include ops=..., which is put first. A single word of
// pairs is split at blanks; a piece without "=" continues the value before it.
bool Ctl_buildFromArgs(const std::vector<std::string>& words, std::string* out, std::string* err);

// A value (at its first byte) as readable text: strings unquoted, objects as
// {k: v, ...}, arrays as [a, b]. Malformed text is shown as it stands.
std::string Ctl_valueText(const char* value);

// A reply object as "key: value" lines; an array of objects gets one "  - ..." line per
// element. Text that is no object is returned as it stands.
std::string Ctl_readable(const char* reply);

// Exit status for a reply: 0 for "result":"succ", 1 for "fail" or anything else, except
// that an unchanged echo of a text without "result" (the remote codes) counts as 0.
int Ctl_exitStatus(const char* reply, const char* sent);

// One page of a paged query: the request for idStart with the extra key=value words.
bool Ctl_pageRequest(const std::string& ops, long long idStart, const std::vector<std::string>& kv,
                     std::string* out, std::string* err);

enum CtlPage { CTL_PAGE_MORE = 0, CTL_PAGE_DONE = 1, CTL_PAGE_FAIL = -1 };
// Reads a page reply: appends each "arr" element (as readable text) to items and sets
// *idNext. DONE when "arr" is empty; FAIL when the reply is not "succ", lacks "arr" or
// "idNext", or idNext does not move past idStart (which would page forever).
int Ctl_pageStep(const char* reply, long long idStart, std::vector<std::string>* items, long long* idNext,
                 std::string* err);
