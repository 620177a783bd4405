// VelunorCore program: runs one command from its arguments through the library and
// prints its output (see core.cpp). The exit code is the command's.
#include <cstdio>
#include <cstring>

extern "C" int aa_main(int argc, char** argv);
extern "C" const char* aa_getBuf_recv();

int main(int argc, char** argv) {
    int rc = aa_main(argc, argv);
    const char* out = aa_getBuf_recv();
    std::fputs(out, stdout);
    size_t len = std::strlen(out);
    if (len > 0 && out[len - 1] != '\n') std::fputc('\n', stdout);
    return rc;
}
