/* The bare sender: the limit the library is measured against. It sends the
 * same datagrams as QZQTU_ReplayStreamData would for the same blocks (same
 * headers, same sizes, segmented with UDP_SEGMENT into the same runs, a
 * segment per datagram) with as little code between them as possible: the
 * headers of many blocks are written in one pass, and the offload messages of
 * many blocks leave in one sendmmsg call. It keeps the library's flow
 * control, reading the unit's status messages itself: at most 16000 packets
 * ahead of the counter they report, and at least a fifth of the unit's
 * buffers free before each block, counting one less per block sent since the
 * last report. */
#ifndef QTU_BARE_SENDER_H
#define QTU_BARE_SENDER_H

#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

struct qtu_bare_stream {
    const char *ip;            /* the unit, dotted IPv4 */
    uint16_t control_port;     /* its control port */
    uint16_t data_port;        /* its data port of channel 0 */
    uint16_t max_payload;      /* data bytes per datagram, as maxPayloadSize */
    uint16_t block_bytes;      /* bytes per block */
    uint16_t line_count;       /* blocks per frame */
    double seconds;            /* sending time */
    unsigned blocks_per_call;  /* blocks whose messages leave in one call */
};

struct qtu_bare_result {
    uint64_t frames;     /* frames sent whole */
    uint64_t blocks;
    uint64_t datagrams;
    double seconds;      /* sending time */
    double cpu_seconds;  /* user + system of the sending thread */
    uint64_t waits;      /* times it waited for the unit's counter */
    char error[160];     /* empty on success */
};

/* Initialises channel 0 of the unit (geometry, enables, as the library's
 * QZQTU_InitOutputChannel does), then streams frames for `seconds`.
 * Returns 0, or -1 with result->error set. */
int qtu_bare_send(const struct qtu_bare_stream *stream, struct qtu_bare_result *result);

#ifdef __cplusplus
}
#endif

#endif
