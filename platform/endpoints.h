// The endpoint registry: the system's list of audio endpoints, kept by the driver host
// under $VELUNOR_RUNDIR/endpoints, one record per registered subdevice:
//   id=ROOT#VelunorAudio#0000#out_stereo-00
//   name=out_stereo-00 (VelunorAudio)
//   flow=render            (or capture)
//   state=ACTIVE           (or DISABLED, NOT_PRESENT)
//   rate=48000
// Records are replaced whole (temporary file and rename), so a reader never sees half.
#pragma once
#include <cstddef>

struct EndpointRecord {
    char id[160];
    char name[192];
    char flow[16];
    char state[16];
    unsigned rate;
};

bool Endpoint_write(const EndpointRecord& r);
// Reads one record by id; false when there is none.
bool Endpoint_read(const char* id, EndpointRecord* out);
// Every record, sorted by id; returns the count (at most cap are stored).
int Endpoint_list(EndpointRecord* out, int cap);
