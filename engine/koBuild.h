// What differs between the engine's two builds, in one place: the user-mode build
// linked into VelunorRoute, and the kernel build inside the driver VelunorAudio
// (compiled with VELUNOR_KERNEL_BUILD). The rest of the differences are tables: the
// driver registers its own engine commands (Msg_device_setBuildCommands) and its own
// transport (RtpAudio_setTransport).
#pragma once

#include "engine/Msg.h"

#if defined(VELUNOR_KERNEL_BUILD)
#define KO_BUILD_KERNEL 1
#define KO_REASON_SIZE 1024 // engine error text
#define KO_DATA_SIZE 16384  // command data text
#else
#define KO_BUILD_KERNEL 0
#define KO_REASON_SIZE MSG_KO_REASON_SIZE
#define KO_DATA_SIZE MSG_KO_REQ_SIZE
#endif

// The line that an unknown command's reason names in the kernel build.
#define KO_KERNEL_UNKNOWN_CMD_LINE 563
