/* The public header compiled as C, linked against the shared library: the
 * records' layout checks hold in C too, and the plain names resolve. */
#include <stdio.h>
#include <string.h>

#include "QZQTUApi.h"

static int failures = 0;

static void expectCode(QZQTU_Error got, QZQTU_Error want, const char* what) {
    if (got != want) {
        fprintf(stderr, "%s: got %d, want %d\n", what, (int)got, (int)want);
        ++failures;
    }
}

int main(void) {
    QZQTU_InputInterface config;
    int32_t handle = -1;
    uint64_t value = 0;
    QZQTU_ReplayState state;

    if (strcmp(QZQTU_ErrorToString(QZQTU_PACKET_FRAGMENTATION),
               "Packet fragmentation, maxPayloadSize too big for MTU") != 0 ||
        strcmp(QZQTU_ErrorToString(16u), "Invalid error code") != 0 ||
        strcmp(QZQTU_ErrorToString(0xFFFFFFFFu), "Invalid error code") != 0 ||
        strcmp(QZQTU_ErrorToString(QZQTU_OK), "No error") != 0) {
        fprintf(stderr, "QZQTU_ErrorToString texts differ\n");
        ++failures;
    }

    memset(&config, 0, sizeof config);
    config.qtuControlIp = "127.0.0.1";
    config.sensorDataIp = "127.0.0.1";
    config.localControlIp = "abc";
    config.maxPayloadSize = 1400;
    expectCode(QZQTU_RegisterOutputChannel(NULL, 0, &handle), QZQTU_INVALID_POINTER, "register(NULL)");
    expectCode(QZQTU_RegisterOutputChannel(&config, 0, &handle), QZQTU_INVALID_INPUT_INTERFACE, "register(abc)");
    expectCode(QZQTU_IsInputInterfaceAvailable(&config), QZQTU_INVALID_INPUT_INTERFACE, "available(abc)");
    config.localControlIp = NULL;
    expectCode(QZQTU_RegisterOutputChannel(&config, -1, &handle), QZQTU_INVALID_CHANNEL_INDEX, "register(-1)");
    expectCode(QZQTU_GetReplayOffset(12345, NULL), QZQTU_INVALID_HANDLE, "offset(unknown, NULL)");
    expectCode(QZQTU_GetReplayOffset(12345, &value), QZQTU_INVALID_HANDLE, "offset(unknown)");
    expectCode(QZQTU_GetCurrentState(12345, &state), QZQTU_INVALID_HANDLE, "state(unknown)");
    expectCode(QZQTU_UnregisterOutputChannel(12345), QZQTU_INVALID_HANDLE, "unregister(unknown)");
    if (handle != -1) {
        fprintf(stderr, "a refused registration wrote the handle\n");
        ++failures;
    }
    return failures == 0 ? 0 : 1;
}
