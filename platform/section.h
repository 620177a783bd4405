// Named shared memory sections: a file of that name in $VELUNOR_RUNDIR/objects,
// mapped shared. The creator sizes it; openers map what is there.
#pragma once
#include <cstddef>

struct Section {
    void* base = nullptr;
    size_t size = 0;
    int fd = -1;
};

// Creates (or opens and resizes) the section and maps it zero-filled on creation.
bool Section_create(const char* name, size_t size, Section* out);
// Opens an existing section; false when nobody created it.
bool Section_open(const char* name, Section* out);
void Section_close(Section* s);
// Removes the name (mappings stay valid until closed).
void Section_unlink(const char* name);
