/* A program outside the tree that uses the installed QZQTUApi: it streams
 * FRAMES frames of 8 lines of 1024 bytes to a unit on 127.0.0.1.
 *   consumer CONTROL_PORT DATA_BASE_PORT FRAMES */
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include <QZQTUApi.h>

static int check(QZQTU_Error code, const char* what) {
    if (code != QZQTU_OK) fprintf(stderr, "%s: %s (%d)\n", what, QZQTU_ErrorToString((uint32_t)code), (int)code);
    return code == QZQTU_OK;
}

int main(int argc, char** argv) {
    enum { kLineSize = 1024, kLines = 8 };
    static unsigned char line[kLineSize];
    QZQTU_InputInterface config;
    QZQTU_StreamDataInfo info;
    int32_t handle = -1;
    uint16_t size = 0, count = 0;
    int frames, f, l;
    if (argc != 4) {
        fprintf(stderr, "usage: consumer CONTROL_PORT DATA_BASE_PORT FRAMES\n");
        return 64;
    }
    frames = atoi(argv[3]);
    memset(&config, 0, sizeof config);
    config.qtuControlIp = "127.0.0.1";
    config.qtuControlPort = (uint16_t)atoi(argv[1]);
    config.sensorDataIp = "127.0.0.1";
    config.sensorDataBasePort = (uint16_t)atoi(argv[2]);
    config.localControlIp = "127.0.0.1";
    config.maxPayloadSize = 1400;
    config.timeoutGet = 500;
    config.timeoutStream = 500;
    if (!check(QZQTU_RegisterOutputChannel(&config, 0, &handle), "register") ||
        !check(QZQTU_InitOutputChannel(handle, kLineSize, kLines), "init") ||
        !check(QZQTU_GetFrameSize(handle, &size, &count), "frame size")) {
        return 1;
    }
    if (size != kLineSize || count != kLines) {
        fprintf(stderr, "frame size %u x %u\n", size, count);
        return 1;
    }
    for (f = 0; f < frames; ++f) {
        for (l = 0; l < kLines; ++l) {
            QZQTU_Error code;
            memset(line, (f * kLines + l) & 0xFF, sizeof line);
            memset(&info, 0, sizeof info);
            info.timestamp = (uint64_t)f * 1000000u;
            info.frameCounter = (uint16_t)f;
            info.lineIndex = (uint16_t)l;
            while ((code = QZQTU_ReplayStreamData(handle, &info, line, kLineSize)) == QZQTU_TIMEOUT) {
            }
            if (!check(code, "stream")) return 1;
        }
    }
    if (!check(QZQTU_UnregisterOutputChannel(handle), "unregister")) return 1;
    printf("streamed %d frames\n", frames);
    return 0;
}
