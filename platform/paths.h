// Drive-letter paths ("C:/ProgramData/...") live under $VELUNOR_ROOT/C/ProgramData/...;
// run-time objects (sections, locks, device interfaces) under $VELUNOR_RUNDIR.
#pragma once
#include <cstddef>

const char* Paths_root();   // $VELUNOR_ROOT or /var/lib/velunor
const char* Paths_rundir(); // $VELUNOR_RUNDIR or /run/velunor

// Maps a path as the system writes it to the local file name. "X:/rest" or "X:\rest"
// becomes root/X/rest; any other path is used as it stands. Returns false when the
// result does not fit cap.
bool Paths_resolve(const char* path, char* out, size_t cap);

// Creates every missing folder above the file name path (mkdir -p of its parent).
bool Paths_ensureParent(const char* path);

// Creates the folder and every missing one above it.
bool Paths_ensureDir(const char* dir);
