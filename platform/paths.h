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

// Creates the folder and every missing one above it. A folder made inside a shared
// folder (one with the set-group-ID bit, as the package makes /run/velunor and
// /var/lib/velunor: group audio, mode 2770) is shared the same way: it inherits the
// group and the bit, and gets rwx for owner and group, nothing for others.
bool Paths_ensureDir(const char* dir);

// The run-time objects under $VELUNOR_RUNDIR (sockets, sections, locks, endpoint records)
// are read and written by every user of the folder's group: rw for owner and group,
// nothing for others, whatever the creator's umask. Failures (a file of another owner)
// are ignored: its owner made it shared already.
void Paths_shareFd(int fd);
void Paths_sharePath(const char* path);

// Whether this user may use the card's run-time folder. True when the folder is usable
// or does not exist (no host has made it); otherwise false, with a sentence in why that
// names the folder, its group and what to do.
bool Paths_canUseRundir(char* why, size_t cap);
