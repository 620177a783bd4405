#include "tools/velunor-ctl/ctl.h"

#include <cstring>
#include <vector>

#include "engine/Msg.h"

// Appends name and value to a growing object text with the system's own escaping.
static void appendMember(std::string* out, const char* name, const std::string& value, bool raw) {
    // Worst case every byte is escaped, plus quotes, colon and comma.
    std::vector<char> buf(2 * (std::strlen(name) + value.size()) + 16, '\0');
    bool ok = raw ? Msg_appendRaw(buf.data(), buf.size(), name, value.c_str())
                  : Msg_appendMember(buf.data(), buf.size(), name, value.c_str());
    if (ok) *out += buf.data();
}

// Is text exactly one JSON object or array (blanks around it allowed)?
static bool isWholeComposite(const std::string& text) {
    const char* p = text.c_str();
    while (*p == ' ' || *p == '\t' || *p == '\n' || *p == '\r') p++;
    if (*p != '{' && *p != '[') return false;
    const char* end = nullptr;
    int type = 0;
    if (Msg_valueExtent(p, &end, &type) != MSG_OK) return false;
    while (*end == ' ' || *end == '\t' || *end == '\n' || *end == '\r') end++;
    return *end == '\0';
}

static bool splitKv(const std::string& word, std::string* key, std::string* value, std::string* err) {
    size_t eq = word.find('=');
    if (eq == std::string::npos || eq == 0) {
        *err = "expected key=value, got \"" + word + "\"";
        return false;
    }
    *key = word.substr(0, eq);
    *value = word.substr(eq + 1);
    return true;
}

bool Ctl_buildCommand(const std::string& ops, const std::vector<std::string>& kv, std::string* out,
                      std::string* err) {
    if (ops.empty()) {
        *err = "empty ops";
        return false;
    }
    std::string text = "{";
    appendMember(&text, "ops", ops, false);
    for (const std::string& w : kv) {
        std::string key, value;
        if (!splitKv(w, &key, &value, err)) return false;
        appendMember(&text, key.c_str(), value, isWholeComposite(value));
    }
    if (text.back() == ',') text.back() = '}';
    else text += '}';
    *out = text;
    return true;
}

bool Ctl_buildFromArgs(const std::vector<std::string>& words, std::string* out, std::string* err) {
    if (words.empty()) {
        *err = "nothing to send";
        return false;
    }
    if (words.size() == 1 && !words[0].empty() && words[0][0] == '{') {
        *out = words[0];
        return true;
    }
    std::vector<std::string> split;
    if (words.size() == 1) {
        // One quoted word of pairs: split at blanks, and a piece without "=" belongs to
        // the value before it ("ops=setDevName name=Stage left").
        size_t i = 0;
        const std::string& w = words[0];
        while (i < w.size()) {
            while (i < w.size() && (w[i] == ' ' || w[i] == '\t')) i++;
            size_t j = i;
            while (j < w.size() && w[j] != ' ' && w[j] != '\t') j++;
            if (j > i) {
                std::string piece = w.substr(i, j - i);
                if (piece.find('=') == std::string::npos && !split.empty()) split.back() += " " + piece;
                else split.push_back(piece);
            }
            i = j;
        }
    }
    const std::vector<std::string>& list = words.size() == 1 ? split : words;
    std::string ops;
    std::vector<std::string> rest;
    for (const std::string& w : list) {
        std::string key, value;
        if (!splitKv(w, &key, &value, err)) return false;
        if (key == "ops" && ops.empty()) ops = value;
        else rest.push_back(w);
    }
    if (ops.empty()) {
        *err = "no ops=... given";
        return false;
    }
    return Ctl_buildCommand(ops, rest, out, err);
}

static const char* skipWs(const char* p) {
    while (*p == ' ' || *p == '\t' || *p == '\n' || *p == '\r') p++;
    return p;
}

// Walks the members of the object at p: fn(name, value start). False when malformed.
template <class F> static bool forEachMember(const char* p, F fn) {
    p = skipWs(p);
    if (*p != '{') return false;
    p = skipWs(p + 1);
    if (*p == '}') return true;
    for (;;) {
        const char* end = nullptr;
        int type = 0;
        if (*p != '"' || Msg_valueExtent(p, &end, &type) != MSG_OK) return false;
        std::vector<char> name(size_t(end - p) + 1);
        if (Msg_readValue(p, nullptr, name.data(), name.size(), &type) != MSG_OK) return false;
        p = skipWs(end);
        if (*p != ':') return false;
        const char* v = skipWs(p + 1);
        if (Msg_valueExtent(v, &end, &type) != MSG_OK) return false;
        fn(name.data(), v);
        p = skipWs(end);
        if (*p == '}') return true;
        if (*p != ',') return false;
        p = skipWs(p + 1);
    }
}

template <class F> static bool forEachElement(const char* p, F fn) {
    const char* cur = nullptr;
    int n = Msg_readArray(p, nullptr, &cur);
    if (n < 0) return false;
    for (int i = 0; i < n; i++) {
        fn(cur);
        if (i + 1 < n && Msg_nextElement(&cur) != MSG_OK) return false;
    }
    return true;
}

static std::string rawExtent(const char* value) {
    const char* end = nullptr;
    int type = 0;
    if (Msg_valueExtent(value, &end, &type) != MSG_OK) return value;
    return std::string(value, size_t(end - value));
}

std::string Ctl_valueText(const char* value) {
    value = skipWs(value);
    const char* end = nullptr;
    int type = 0;
    if (Msg_valueExtent(value, &end, &type) != MSG_OK) return value;
    if (type == MSG_JSON_OBJECT) {
        std::string s;
        bool ok = forEachMember(value, [&](const char* name, const char* v) {
            if (!s.empty()) s += ", ";
            s += std::string(name) + ": " + Ctl_valueText(v);
        });
        return ok ? "{" + s + "}" : rawExtent(value);
    }
    if (type == MSG_JSON_ARRAY) {
        std::string s;
        bool ok = forEachElement(value, [&](const char* v) {
            if (!s.empty()) s += ", ";
            s += Ctl_valueText(v);
        });
        return ok ? "[" + s + "]" : rawExtent(value);
    }
    std::vector<char> out(size_t(end - value) + 1);
    if (Msg_readValue(value, nullptr, out.data(), out.size(), &type) != MSG_OK) return rawExtent(value);
    return out.data();
}

// An array's elements, when it is an array of objects.
static bool objectArray(const char* v, std::vector<const char*>* elems) {
    bool allObjects = true;
    bool ok = forEachElement(v, [&](const char* e) {
        if (*e != '{') allObjects = false;
        elems->push_back(e);
    });
    return ok && allObjects && !elems->empty();
}

std::string Ctl_readable(const char* reply) {
    std::string s;
    bool ok = forEachMember(reply, [&](const char* name, const char* v) {
        std::vector<const char*> elems;
        if (*v == '[' && objectArray(v, &elems)) {
            s += std::string(name) + ":\n";
            for (const char* e : elems) {
                std::string t = Ctl_valueText(e);
                s += "  - " + t.substr(1, t.size() - 2) + "\n"; // without the braces
            }
        } else {
            s += std::string(name) + ": " + Ctl_valueText(v) + "\n";
        }
    });
    if (!ok) return std::string(reply) + "\n";
    return s;
}

int Ctl_exitStatus(const char* reply, const char* sent) {
    char res[16];
    int st = Msg_getStr(reply, "result", res, sizeof res);
    if (st == MSG_OK) return std::strcmp(res, "succ") == 0 ? 0 : 1;
    return (sent && std::strcmp(reply, sent) == 0) ? 0 : 1;
}

bool Ctl_pageRequest(const std::string& ops, long long idStart, const std::vector<std::string>& kv,
                     std::string* out, std::string* err) {
    std::vector<std::string> words;
    words.push_back("idStart=" + std::to_string(idStart));
    for (const std::string& w : kv)
        if (w.compare(0, 8, "idStart=") != 0) words.push_back(w);
    return Ctl_buildCommand(ops, words, out, err);
}

int Ctl_pageStep(const char* reply, long long idStart, std::vector<std::string>* items, long long* idNext,
                 std::string* err) {
    char res[16];
    if (Msg_getStr(reply, "result", res, sizeof res) != MSG_OK || std::strcmp(res, "succ") != 0) {
        char reason[256] = "";
        Msg_getStr(reply, "reason", reason, sizeof reason);
        *err = std::string("query failed") + (reason[0] ? ": " : "") + reason;
        return CTL_PAGE_FAIL;
    }
    const char* arr = nullptr;
    int64_t next = 0;
    if (Msg_findKey(reply, "arr", &arr) != MSG_OK || *arr != '[' || Msg_getInt(reply, "idNext", &next) != MSG_OK) {
        *err = "reply without \"arr\" or \"idNext\"";
        return CTL_PAGE_FAIL;
    }
    size_t before = items->size();
    if (!forEachElement(arr, [&](const char* e) {
            std::string t = Ctl_valueText(e);
            if (*skipWs(e) == '{') t = t.substr(1, t.size() - 2);
            items->push_back(t);
        })) {
        *err = "malformed \"arr\"";
        return CTL_PAGE_FAIL;
    }
    *idNext = next;
    if (items->size() == before) return CTL_PAGE_DONE;
    if (next <= idStart) {
        *err = "\"idNext\" " + std::to_string(next) + " does not move past " + std::to_string(idStart);
        return CTL_PAGE_FAIL;
    }
    return CTL_PAGE_MORE;
}
