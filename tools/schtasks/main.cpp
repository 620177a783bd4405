// schtasks: the scheduled-task tool the panel uses for its start at log-on. A log-on
// task is an XDG autostart entry, $XDG_CONFIG_HOME/autostart/<task name>.desktop
// (~/.config/autostart when unset). Arguments and exit codes are the tool's own:
//   schtasks /Create /TN name /TR "program" /SC ONLOGON [/RL HIGHEST|LIMITED] [/F]
//   schtasks /Delete /TN name [/F]
//   schtasks /Query [/TN name]
// Exit 0 on success, 1 with "ERROR: ..." on standard error otherwise.
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <dirent.h>
#include <fcntl.h>
#include <string>
#include <strings.h>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

static int fail(const std::string& msg) {
    std::fprintf(stderr, "ERROR: %s\n", msg.c_str());
    return 1;
}

static std::string autostartDir() {
    const char* xdg = std::getenv("XDG_CONFIG_HOME");
    std::string base;
    if (xdg && *xdg == '/')
        base = xdg;
    else {
        const char* home = std::getenv("HOME");
        base = std::string(home && *home ? home : "/root") + "/.config";
    }
    return base + "/autostart";
}

static bool mkdirs(const std::string& dir) {
    for (size_t i = 1; i <= dir.size(); ++i) {
        if (i == dir.size() || dir[i] == '/') {
            const std::string p = dir.substr(0, i);
            if (mkdir(p.c_str(), 0755) != 0 && errno != EEXIST)
                return false;
        }
    }
    return true;
}

// A task name becomes a file name: no path separators, nothing hidden.
static bool validName(const std::string& n) {
    if (n.empty() || n.size() > 200 || n[0] == '.')
        return false;
    for (unsigned char c : n)
        if (c == '/' || c < 0x20)
            return false;
    return true;
}

// The entry replaces any earlier one whole: written beside it, flushed, renamed.
static bool writeAtomic(const std::string& path, const std::string& text) {
    const std::string tmp = path + ".tmp" + std::to_string(getpid());
    const int fd = open(tmp.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    if (fd < 0)
        return false;
    bool ok = write(fd, text.data(), text.size()) == ssize_t(text.size()) && fsync(fd) == 0;
    ok = close(fd) == 0 && ok;
    if (ok && rename(tmp.c_str(), path.c_str()) == 0)
        return true;
    unlink(tmp.c_str());
    return false;
}

static std::string readFile(const std::string& path) {
    std::string s;
    FILE* f = std::fopen(path.c_str(), "r");
    if (!f)
        return s;
    char buf[4096];
    size_t n;
    while ((n = std::fread(buf, 1, sizeof buf, f)) > 0 && s.size() < (1 << 20))
        s.append(buf, n);
    std::fclose(f);
    return s;
}

static std::string entryValue(const std::string& text, const char* key) {
    const std::string k = std::string("\n") + key + "=";
    const size_t at = ("\n" + text).find(k);
    if (at == std::string::npos)
        return "";
    const size_t from = at + k.size() - 1;
    return text.substr(from, text.find('\n', from) - from);
}

int main(int argc, char** argv) {
    std::string verb, name, run, sc, rl = "LIMITED";
    bool force = false;
    for (int i = 1; i < argc; ++i) {
        const char* a = argv[i];
        auto next = [&](std::string& out) {
            if (i + 1 >= argc)
                return false;
            out = argv[++i];
            return true;
        };
        if (!strcasecmp(a, "/Create") || !strcasecmp(a, "/Delete") || !strcasecmp(a, "/Query")) {
            verb = a + 1;
            for (char& c : verb)
                c = char(tolower(c));
        } else if (!strcasecmp(a, "/TN")) {
            if (!next(name))
                return fail("Missing value for /TN.");
        } else if (!strcasecmp(a, "/TR")) {
            if (!next(run))
                return fail("Missing value for /TR.");
        } else if (!strcasecmp(a, "/SC")) {
            if (!next(sc))
                return fail("Missing value for /SC.");
        } else if (!strcasecmp(a, "/RL")) {
            if (!next(rl))
                return fail("Missing value for /RL.");
        } else if (!strcasecmp(a, "/F")) {
            force = true;
        } else {
            return fail(std::string("Invalid argument/option - '") + a + "'.");
        }
    }
    const std::string dir = autostartDir();
    const std::string path = dir + "/" + name + ".desktop";
    if (verb == "create") {
        if (!validName(name))
            return fail("The task name is not valid.");
        if (run.empty())
            return fail("Missing value for /TR.");
        if (strcasecmp(sc.c_str(), "ONLOGON") != 0)
            return fail("Only ONLOGON tasks are supported on this system.");
        if (strcasecmp(rl.c_str(), "HIGHEST") != 0 && strcasecmp(rl.c_str(), "LIMITED") != 0)
            return fail("Invalid value for /RL.");
        struct stat st;
        if (!force && stat(path.c_str(), &st) == 0)
            return fail("Cannot create a file when that file already exists.");
        std::string text = "[Desktop Entry]\nType=Application\nName=" + name + "\nExec=" + run +
                           "\nX-Velunor-RunLevel=" + rl + "\nX-GNOME-Autostart-enabled=true\n";
        if (!mkdirs(dir) || !writeAtomic(path, text))
            return fail(std::string("Access is denied. (") + std::strerror(errno) + ")");
        std::printf("SUCCESS: The scheduled task \"%s\" has successfully been created.\n", name.c_str());
        return 0;
    }
    if (verb == "delete") {
        if (!validName(name))
            return fail("The task name is not valid.");
        if (unlink(path.c_str()) != 0)
            return fail("The system cannot find the file specified.");
        std::printf("SUCCESS: The scheduled task \"%s\" was successfully deleted.\n", name.c_str());
        return 0;
    }
    if (verb == "query") {
        std::vector<std::string> names;
        if (!name.empty()) {
            if (!validName(name) || access(path.c_str(), F_OK) != 0)
                return fail("The system cannot find the file specified.");
            names.push_back(name);
        } else if (DIR* d = opendir(dir.c_str())) {
            while (dirent* e = readdir(d)) {
                std::string n = e->d_name;
                if (n.size() > 8 && n.compare(n.size() - 8, 8, ".desktop") == 0)
                    names.push_back(n.substr(0, n.size() - 8));
            }
            closedir(d);
        }
        std::printf("%-40s %s\n", "TaskName", "Task To Run");
        for (const std::string& n : names)
            std::printf("%-40s %s\n", n.c_str(), entryValue(readFile(dir + "/" + n + ".desktop"), "Exec").c_str());
        return 0;
    }
    return fail("Invalid syntax. Type \"SCHTASKS /?\" for usage.");
}
