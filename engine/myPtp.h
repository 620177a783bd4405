// PTP slave of VelunorRoute.
#pragma once

// Body of the PTP thread (runs for the life of the process).
void thread_ptp();
