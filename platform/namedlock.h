// Named mutexes whose existence marks ownership: an exclusive flock on a file of
// that name in $VELUNOR_RUNDIR/objects. The kernel drops it when the holder dies.
#pragma once

// Takes the name; returns a handle (>= 0) or -1 when another process holds it.
int NamedLock_acquire(const char* name);
// True when some live process holds the name (the "open existing mutex" test).
bool NamedLock_isHeld(const char* name);
void NamedLock_release(int handle);
