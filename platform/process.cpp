#include "platform/process.h"

#include <csignal>
#include <cstdlib>
#include <sys/prctl.h>
#include <unistd.h>

void Process_dieWithParent() {
    const char* v = std::getenv(PROCESS_PARENT_ENV);
    if (!v || !*v) return;
    const long parent = std::strtol(v, nullptr, 10);
    prctl(PR_SET_PDEATHSIG, SIGKILL);
    if (parent > 0 && getppid() != pid_t(parent)) std::_Exit(1);
}
