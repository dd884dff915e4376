/*
 * QZQTUApi: host-side interface of a QTU Unit.
 *
 * This header is the whole public interface of the library: the records that
 * cross it, the result codes and the 17 exported functions. Anything not
 * declared here is internal and not exported.
 *
 * Every function except QZQTU_ErrorToString returns a QZQTU_Error (0 on
 * success) and never throws. All functions may be called from any thread;
 * QZQTU_ReplayStreamData must not run on two threads at once for one channel.
 */
#ifndef QZQTUAPI_H
#define QZQTUAPI_H

#include <stdint.h>

#if defined(QZQTUAPI_BUILDING) && defined(QZQTUAPI_STATIC)
#error "Define either QZQTUAPI_BUILDING or QZQTUAPI_STATIC, not both."
#endif

#if defined(_WIN32)
#  if defined(QZQTUAPI_STATIC)
#    define QZQTU_API
#  elif defined(QZQTUAPI_BUILDING)
#    define QZQTU_API __declspec(dllexport)
#  else
#    define QZQTU_API __declspec(dllimport)
#  endif
#  define QZQTU_CALL __cdecl
#else
#  if defined(QZQTUAPI_STATIC)
#    define QZQTU_API
#  else
#    define QZQTU_API __attribute__((visibility("default")))
#  endif
#  define QZQTU_CALL
#endif

#ifdef __cplusplus
extern "C" {
#endif

/* Result code of every function but QZQTU_ErrorToString. */
typedef int32_t QZQTU_Error;

enum {
    QZQTU_OK = 0,                          /* "No error" */
    QZQTU_INTERNAL_ERROR = 1,              /* "Internal error" */
    QZQTU_CONTROL_INTERFACE_NOT_AVAILABLE = 2,/* "Control interface not available" */
    QZQTU_DATA_INTERFACE_NOT_AVAILABLE = 3,   /* "Data interface not available" */
    QZQTU_CHANNEL_NOT_AVAILABLE = 4,       /* "Channel not available" */
    QZQTU_INVALID_HANDLE = 5,              /* "Invalid channel handle" */
    QZQTU_INVALID_CHANNEL_INDEX = 6,       /* "Invalid channel index" */
    QZQTU_INVALID_TIMING = 7,              /* "Invalid timing" */
    QZQTU_INVALID_POINTER = 8,             /* "Invalid pointer" */
    QZQTU_CONTROL_SOCKET_ERROR = 9,        /* "Error in control socket" */
    QZQTU_DATA_SOCKET_ERROR = 10,          /* "Error in data socket" */
    QZQTU_TIMEOUT = 11,                    /* "Timeout" */
    QZQTU_INVALID_INPUT_INTERFACE = 12,    /* "Invalid inputInterface configuration" */
    QZQTU_CHANNEL_ALREADY_REGISTERED = 13, /* "Channel already registered" */
    QZQTU_DATA_NOT_AVAILABLE = 14,         /* "Data not available" */
    QZQTU_PACKET_FRAGMENTATION = 15        /* "Packet fragmentation, maxPayloadSize too big for MTU" */
};

/* Configuration of one connection to a unit. Text fields are NUL-terminated
 * dotted IPv4 addresses; the library copies what it keeps. */
typedef struct QZQTU_InputInterface {
    const char* qtuControlIp;    /* unit control interface; required */
    uint16_t qtuControlPort;     /* unit control UDP port */
    const char* sensorDataIp;    /* unit sensor-data interface; required */
    uint16_t sensorDataBasePort; /* data port of channel 0; channel n uses base + n (16 bits) */
    const char* localControlIp;  /* local bind address; NULL means "0.0.0.0" */
    uint16_t localControlPort;   /* local bind port; 0 lets the system choose */
    uint16_t maxPayloadSize;     /* data bytes per datagram, without the 24-byte packet header */
    uint32_t timeoutGet;         /* ms to wait for the reply to one control request */
    uint32_t timeoutStream;      /* ms QZQTU_ReplayStreamData may wait for unit buffer space */
} QZQTU_InputInterface;

/* One block handed to QZQTU_ReplayStreamData; copied into every packet header of the block. */
typedef struct QZQTU_StreamDataInfo {
    uint64_t timestamp;    /* block time stamp (nanoseconds by convention) */
    uint16_t frameCounter; /* frame the block belongs to */
    uint16_t lineIndex;    /* index of the block within its frame, from 0 */
    uint8_t tag;           /* passed through unchanged */
} QZQTU_StreamDataInfo;

/* The channel's last status message, as QZQTU_GetCurrentState reports it. */
typedef struct QZQTU_ReplayState {
    uint8_t statusBit0; /* bits 0..3 of the status byte, each 0 or 1 */
    uint8_t statusBit1;
    uint8_t statusBit2;
    uint8_t statusBit3;
    uint32_t freeBuffers; /* free buffers the unit reported */
    uint64_t statusTime;  /* the unit's time value, unchanged */
} QZQTU_ReplayState;

QZQTU_API QZQTU_Error QZQTU_CALL QZQTU_IsInputInterfaceAvailable(const QZQTU_InputInterface* inputInterface);
QZQTU_API QZQTU_Error QZQTU_CALL QZQTU_RegisterOutputChannel(const QZQTU_InputInterface* inputInterface,
                                                             int32_t channelIndex, int32_t* handle);
QZQTU_API QZQTU_Error QZQTU_CALL QZQTU_UnregisterOutputChannel(int32_t handle);
QZQTU_API QZQTU_Error QZQTU_CALL QZQTU_InitOutputChannel(int32_t handle, uint16_t lineSize, uint16_t lineCount);
QZQTU_API QZQTU_Error QZQTU_CALL QZQTU_GetFrameSize(int32_t handle, uint16_t* lineSize, uint16_t* lineCount);
QZQTU_API QZQTU_Error QZQTU_CALL QZQTU_ReplayStreamData(int32_t handle, const QZQTU_StreamDataInfo* info,
                                                        const void* data, uint16_t length);
QZQTU_API QZQTU_Error QZQTU_CALL QZQTU_IsOutputChannelAvailable(int32_t handle);
QZQTU_API QZQTU_Error QZQTU_CALL QZQTU_ResetChannel(int32_t handle);
QZQTU_API QZQTU_Error QZQTU_CALL QZQTU_ClearStatusFlags(int32_t handle);
QZQTU_API QZQTU_Error QZQTU_CALL QZQTU_SetReplayStartTime(int32_t handle, uint64_t startTime, uint64_t offset,
                                                          uint64_t stopTime);
QZQTU_API QZQTU_Error QZQTU_CALL QZQTU_GetReplayStartTime(int32_t handle, uint64_t* startTime, uint64_t* offset,
                                                          uint64_t* stopTime);
QZQTU_API QZQTU_Error QZQTU_CALL QZQTU_SetReplayStopTime(int32_t handle, uint64_t stopTime);
QZQTU_API QZQTU_Error QZQTU_CALL QZQTU_GetReplayStopTime(int32_t handle, uint64_t* stopTime);
QZQTU_API QZQTU_Error QZQTU_CALL QZQTU_SetReplayOffset(int32_t handle, uint64_t offset);
QZQTU_API QZQTU_Error QZQTU_CALL QZQTU_GetReplayOffset(int32_t handle, uint64_t* offset);
QZQTU_API QZQTU_Error QZQTU_CALL QZQTU_GetCurrentState(int32_t handle, QZQTU_ReplayState* state);
/* Static text of a result code; "Invalid error code" for codes outside 0..15. */
QZQTU_API const char* QZQTU_CALL QZQTU_ErrorToString(uint32_t code);

#ifdef __cplusplus
} /* extern "C" */
#endif

/* Layouts both sides of the interface rely on (64-bit targets). */
#if UINTPTR_MAX == 0xFFFFFFFFFFFFFFFFu
#  ifdef __cplusplus
#    include <cstddef>
#    define QZQTU_STATIC_ASSERT(cond, msg) static_assert(cond, msg)
#  else
#    include <stddef.h>
#    define QZQTU_STATIC_ASSERT(cond, msg) _Static_assert(cond, msg)
#  endif
QZQTU_STATIC_ASSERT(sizeof(QZQTU_InputInterface) == 56, "QZQTU_InputInterface size");
QZQTU_STATIC_ASSERT(offsetof(QZQTU_InputInterface, qtuControlPort) == 8, "qtuControlPort offset");
QZQTU_STATIC_ASSERT(offsetof(QZQTU_InputInterface, sensorDataIp) == 16, "sensorDataIp offset");
QZQTU_STATIC_ASSERT(offsetof(QZQTU_InputInterface, sensorDataBasePort) == 24, "sensorDataBasePort offset");
QZQTU_STATIC_ASSERT(offsetof(QZQTU_InputInterface, localControlIp) == 32, "localControlIp offset");
QZQTU_STATIC_ASSERT(offsetof(QZQTU_InputInterface, localControlPort) == 40, "localControlPort offset");
QZQTU_STATIC_ASSERT(offsetof(QZQTU_InputInterface, maxPayloadSize) == 42, "maxPayloadSize offset");
QZQTU_STATIC_ASSERT(offsetof(QZQTU_InputInterface, timeoutGet) == 44, "timeoutGet offset");
QZQTU_STATIC_ASSERT(offsetof(QZQTU_InputInterface, timeoutStream) == 48, "timeoutStream offset");
QZQTU_STATIC_ASSERT(sizeof(QZQTU_StreamDataInfo) == 16, "QZQTU_StreamDataInfo size");
QZQTU_STATIC_ASSERT(offsetof(QZQTU_StreamDataInfo, frameCounter) == 8, "frameCounter offset");
QZQTU_STATIC_ASSERT(offsetof(QZQTU_StreamDataInfo, lineIndex) == 10, "lineIndex offset");
QZQTU_STATIC_ASSERT(offsetof(QZQTU_StreamDataInfo, tag) == 12, "tag offset");
QZQTU_STATIC_ASSERT(sizeof(QZQTU_ReplayState) == 16, "QZQTU_ReplayState size");
QZQTU_STATIC_ASSERT(offsetof(QZQTU_ReplayState, statusBit3) == 3, "statusBit3 offset");
QZQTU_STATIC_ASSERT(offsetof(QZQTU_ReplayState, freeBuffers) == 4, "freeBuffers offset");
QZQTU_STATIC_ASSERT(offsetof(QZQTU_ReplayState, statusTime) == 8, "statusTime offset");
#  undef QZQTU_STATIC_ASSERT
#endif

#endif /* QZQTUAPI_H */
