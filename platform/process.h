// Process lifetime: a child that must not outlive the program that started it (the
// panel's kill-on-close job for the route service).
#pragma once

// The environment word through which a parent asks its child to die with it; the value
// is the parent's process id.
#define PROCESS_PARENT_ENV "VELUNOR_DIE_WITH_PARENT"

// When PROCESS_PARENT_ENV is set: SIGKILL on the parent's death, and an exit (status 1)
// when that parent is gone already. A parent's own request (PR_SET_PDEATHSIG before exec)
// does not survive the exec of a program with file capabilities, so the child asks again.
void Process_dieWithParent();
