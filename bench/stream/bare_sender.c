#define _GNU_SOURCE
#include "bare_sender.h"

#include <arpa/inet.h>
#include <errno.h>
#include <netinet/in.h>
#include <netinet/udp.h>
#include <poll.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/uio.h>
#include <time.h>
#include <unistd.h>

#ifndef UDP_SEGMENT
#define UDP_SEGMENT 103
#endif

enum { HEADER = 24, MAX_SEGMENTS = 64, MAX_UDP = 65507, MAX_AHEAD = 16000 };

static double now_seconds(void) {
    struct timespec t;
    clock_gettime(CLOCK_MONOTONIC, &t);
    return (double)t.tv_sec + (double)t.tv_nsec / 1e9;
}

static double thread_cpu(void) {
    struct rusage u;
    getrusage(RUSAGE_THREAD, &u);
    return (double)(u.ru_utime.tv_sec + u.ru_stime.tv_sec) + (double)(u.ru_utime.tv_usec + u.ru_stime.tv_usec) / 1e6;
}

static void put16(uint8_t *p, unsigned v) {
    p[0] = (uint8_t)v;
    p[1] = (uint8_t)(v >> 8);
}

static int fail(struct qtu_bare_result *r, const char *what) {
    snprintf(r->error, sizeof r->error, "%s: %s", what, strerror(errno));
    return -1;
}

/* One control request and its reply (the unit answers from its control port);
 * the reply's bytes 16..19 go to *value when it is not null. */
static int ask(int control, uint16_t command, const uint8_t *payload, size_t payload_size, uint16_t sequence,
               uint32_t *value) {
    uint8_t request[20] = {'Q', 'T', 'U', '-', 0x43, 3, (uint8_t)(12 + payload_size), 0};
    put16(request + 8, command);
    put16(request + 10, sequence);
    if (payload_size) memcpy(request + 12, payload, payload_size);
    if (send(control, request, 12 + payload_size, 0) < 0) return -1;
    for (;;) {
        uint8_t reply[64];
        struct pollfd p = {control, POLLIN, 0};
        if (poll(&p, 1, 2000) <= 0) return -1;
        const ssize_t n = recv(control, reply, sizeof reply, 0);
        const unsigned code = n >= 12 ? (unsigned)(reply[8] | (reply[9] << 8)) : 0xFFu;
        if (code != 0xFF && (reply[10] | (reply[11] << 8)) == sequence) {
            if (value) *value = n >= 20 ? (uint32_t)(reply[16] | reply[17] << 8 | reply[18] << 16 | (uint32_t)reply[19] << 24) : 0;
            return 0;
        }
    }
}

/* The last packet counter and free buffers the unit reported, from whatever
 * status messages are waiting (waits up to timeout_ms for one). */
static void take_status(int control, uint16_t *unit_counter, uint32_t *free_buffers, int timeout_ms) {
    uint8_t m[64];
    if (timeout_ms > 0) {
        struct pollfd p = {control, POLLIN, 0};
        poll(&p, 1, timeout_ms);
    }
    for (;;) {
        const ssize_t n = recv(control, m, sizeof m, MSG_DONTWAIT);
        if (n < 0) return;
        if (n >= 28 && m[8] == 0xFF && m[9] == 0) {
            *unit_counter = (uint16_t)(m[14] | (m[15] << 8));
            *free_buffers = (uint32_t)(m[16] | m[17] << 8 | m[18] << 16 | (uint32_t)m[19] << 24);
        }
    }
}

int qtu_bare_send(const struct qtu_bare_stream *s, struct qtu_bare_result *r) {
    memset(r, 0, sizeof *r);
    struct sockaddr_in unit = {0};
    unit.sin_family = AF_INET;
    if (inet_pton(AF_INET, s->ip, &unit.sin_addr) != 1) return fail(r, "address");

    const int control = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    const int data = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    if (control < 0 || data < 0) return fail(r, "socket");
    unit.sin_port = htons(s->control_port);
    if (connect(control, (struct sockaddr *)&unit, sizeof unit) != 0) return fail(r, "connect control");
    unit.sin_port = htons(s->data_port);
    if (connect(data, (struct sockaddr *)&unit, sizeof unit) != 0) return fail(r, "connect data");
    const int dont_fragment = IP_PMTUDISC_DO;
    setsockopt(data, IPPROTO_IP, IP_MTU_DISCOVER, &dont_fragment, sizeof dont_fragment);
    int buffer = 1 << 30;
    setsockopt(data, SOL_SOCKET, SO_SNDBUF, &buffer, sizeof buffer);

    uint8_t geometry[4];
    put16(geometry, s->block_bytes);
    put16(geometry + 2, s->line_count);
    uint32_t capacity = 0;
    if (ask(control, 0x30, geometry, 4, 1, NULL) || ask(control, 0x01, NULL, 0, 2, NULL) ||
        ask(control, 0x11, NULL, 0, 3, NULL) || ask(control, 0x03, NULL, 0, 4, &capacity) || capacity == 0) {
        snprintf(r->error, sizeof r->error, "the unit did not answer the channel's initialisation");
        close(control);
        close(data);
        return -1;
    }

    /* The cut of every block: datagrams of `stride` bytes but the last. */
    const size_t stride = s->max_payload & ~(size_t)7;
    const size_t length = s->block_bytes;
    const size_t full = length > s->max_payload ? (length - s->max_payload + stride - 1) / stride : 0;
    const size_t per_block = full + 1;
    const size_t last = length - full * stride;
    const size_t segment = HEADER + stride;
    size_t per_message = MAX_UDP / segment;
    if (per_message > MAX_SEGMENTS) per_message = MAX_SEGMENTS;
    if (per_message < 1) per_message = 1;
    /* Messages per block: runs of per_message datagrams; the short last one
     * joins the final run when it fits. */
    size_t messages_per_block = 0;
    for (size_t i = 0; i < per_block;) {
        size_t n = per_block - i < per_message ? per_block - i : per_message;
        if (i + n == per_block && last > stride) --n;
        if (n == 0) n = 1;
        ++messages_per_block;
        i += n;
    }
    const unsigned batch = s->blocks_per_call ? s->blocks_per_call : 1;
    const size_t datagrams = batch * per_block;
    const size_t messages = batch * messages_per_block;

    uint8_t *frame = malloc(length * s->line_count);
    uint8_t *headers = calloc(datagrams, HEADER);
    struct iovec *iov = calloc(2 * datagrams, sizeof *iov);
    struct mmsghdr *msgs = calloc(messages, sizeof *msgs);
    char (*controls)[CMSG_SPACE(sizeof(uint16_t))] = calloc(messages, sizeof *controls);
    if (!frame || !headers || !iov || !msgs || !controls) return fail(r, "memory");
    for (size_t i = 0; i < length * s->line_count; ++i) frame[i] = (uint8_t)(i * 7);

    uint16_t counter = 0;
    uint16_t unit_counter = 0;
    uint32_t free_buffers = 0;
    uint64_t sent = 0;
    unsigned line = 0;
    uint16_t frame_counter = 0;
    const double cpu0 = thread_cpu();
    const double t0 = now_seconds();
    const double end = t0 + s->seconds;
    while (now_seconds() < end) {
        /* The library's credit for every block of the batch: never more than
         * 16000 packets ahead of the unit, and a fifth of its buffers free
         * (the host counting one less for each block sent since it last
         * heard). */
        for (;;) {
            take_status(control, &unit_counter, &free_buffers, 0);
            uint64_t ahead = (uint16_t)(counter - unit_counter);
            if (ahead > sent) ahead = sent;
            const int room = free_buffers >= batch && (double)(free_buffers - batch + 1) / capacity >= 0.2;
            if (ahead + datagrams <= MAX_AHEAD && room) break;
            ++r->waits;
            take_status(control, &unit_counter, &free_buffers, 5);
        }
        const double timestamp = now_seconds() - t0;
        size_t d = 0;
        size_t m = 0;
        for (unsigned b = 0; b < batch; ++b) {
            const uint8_t *block = frame + (size_t)line * length;
            const int end_of_frame = line + 1 == s->line_count;
            size_t first = d;
            for (size_t i = 0; i < per_block; ++i, ++d) {
                uint8_t *h = headers + d * HEADER;
                const int is_last = i + 1 == per_block;
                const size_t size = is_last ? last : stride;
                put16(h, frame_counter);
                put16(h + 2, line);
                put16(h + 4, (unsigned)size);
                h[6] = 3;
                h[7] = is_last ? (end_of_frame ? 0xC0 : 0x40) : 0;
                put16(h + 8, counter++);
                const uint64_t ns = (uint64_t)(timestamp * 1e9);
                memcpy(h + 16, &ns, 8);
                iov[2 * d].iov_base = h;
                iov[2 * d].iov_len = HEADER;
                iov[2 * d + 1].iov_base = (void *)(block + i * stride);
                iov[2 * d + 1].iov_len = size;
            }
            for (size_t i = 0; i < per_block;) {
                size_t n = per_block - i < per_message ? per_block - i : per_message;
                if (i + n == per_block && last > stride) --n;
                if (n == 0) n = 1;
                struct msghdr *h = &msgs[m].msg_hdr;
                memset(h, 0, sizeof *h);
                h->msg_iov = &iov[2 * (first + i)];
                h->msg_iovlen = 2 * n;
                if (n > 1) {
                    h->msg_control = controls[m];
                    h->msg_controllen = sizeof controls[m];
                    struct cmsghdr *c = CMSG_FIRSTHDR(h);
                    c->cmsg_level = SOL_UDP;
                    c->cmsg_type = UDP_SEGMENT;
                    c->cmsg_len = CMSG_LEN(sizeof(uint16_t));
                    const uint16_t size = (uint16_t)segment;
                    memcpy(CMSG_DATA(c), &size, sizeof size);
                }
                ++m;
                i += n;
            }
            if (++line == s->line_count) {
                line = 0;
                ++frame_counter;
                ++r->frames;
            }
        }
        for (size_t done = 0; done < m;) {
            const int n = sendmmsg(data, msgs + done, (unsigned)(m - done), 0);
            if (n < 0) {
                if (errno == EINTR || errno == ECONNREFUSED) continue;
                fail(r, "sendmmsg");
                goto out;
            }
            done += (size_t)n;
        }
        sent += d;
        free_buffers -= batch;
        r->blocks += batch;
        r->datagrams += d;
    }
out:
    r->seconds = now_seconds() - t0;
    r->cpu_seconds = thread_cpu() - cpu0;
    free(frame);
    free(headers);
    free(iov);
    free(msgs);
    free(controls);
    close(control);
    close(data);
    return r->error[0] ? -1 : 0;
}
