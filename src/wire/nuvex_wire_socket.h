/*
 * nuvex_wire_socket.h - whole-buffer reads and writes on a stream socket, for everything
 * that speaks the device frame of the host platform: the platform's DeviceIoControl, the
 * simulated driver images, and the test drivers and clients. POSIX only.
 *
 * A short read or write is continued, EINTR is retried, and a write to a closed peer fails
 * with EPIPE instead of raising SIGPIPE. Both return 1 once every byte has moved and 0 when
 * the connection ended or failed first (errno tells which; 0 bytes read means the peer
 * closed the connection).
 */
#ifndef NUVEX_WIRE_SOCKET_H
#define NUVEX_WIRE_SOCKET_H

#include <errno.h>
#include <stddef.h>
#include <stdint.h>
#include <sys/socket.h>
#include <sys/types.h>

#include "nuvex_wire.h"

/* `flags` are added to MSG_NOSIGNAL (MSG_MORE when the input follows the head). */
static inline int NuvexWire_SendAll(int fd, const void* data, size_t length, int flags) {
    const uint8_t* p = (const uint8_t*)data;
    while (length > 0) {
        ssize_t n = send(fd, p, length, MSG_NOSIGNAL | flags);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return 0;
        p += n;
        length -= (size_t)n;
    }
    return 1;
}

static inline int NuvexWire_ReceiveAll(int fd, void* data, size_t length) {
    uint8_t* p = (uint8_t*)data;
    while (length > 0) {
        ssize_t n = recv(fd, p, length, 0);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return 0;
        p += n;
        length -= (size_t)n;
    }
    return 1;
}

/* Reads and drops `length` bytes (an input a driver will not take). */
static inline int NuvexWire_DiscardInput(int fd, uint32_t length) {
    uint8_t sink[4096];
    while (length > 0) {
        size_t chunk = length < sizeof sink ? length : sizeof sink;
        if (!NuvexWire_ReceiveAll(fd, sink, chunk)) return 0;
        length -= (uint32_t)chunk;
    }
    return 1;
}

/* Reads one request head. */
static inline int NuvexWire_ReceiveRequest(int fd, NuvexFrameRequest* request) {
    uint8_t head[NUVEX_FRAME_REQUEST_HEAD_SIZE];
    if (!NuvexWire_ReceiveAll(fd, head, sizeof head)) return 0;
    *request = NuvexFrame_DecodeRequest(head);
    return 1;
}

/* Reads one reply head (the output bytes follow it on the connection). */
static inline int NuvexWire_ReceiveReply(int fd, NuvexFrameReply* reply) {
    uint8_t head[NUVEX_FRAME_REPLY_HEAD_SIZE];
    if (!NuvexWire_ReceiveAll(fd, head, sizeof head)) return 0;
    *reply = NuvexFrame_DecodeReply(head);
    return 1;
}

/* Sends one request: head and input. */
static inline int NuvexWire_SendRequest(int fd, uint32_t code, const void* input,
                                        uint32_t inputLength, uint32_t outputLength) {
    uint8_t head[NUVEX_FRAME_REQUEST_HEAD_SIZE];
    NuvexFrameRequest request;
    request.code = code;
    request.inputLength = inputLength;
    request.outputLength = outputLength;
    NuvexFrame_EncodeRequest(head, request);
    return NuvexWire_SendAll(fd, head, sizeof head, inputLength > 0 ? MSG_MORE : 0) &&
           NuvexWire_SendAll(fd, input, inputLength, 0);
}

/* Sends one reply: head and `returned` bytes of output. */
static inline int NuvexWire_SendReply(int fd, int ok, const void* output, uint32_t returned) {
    uint8_t head[NUVEX_FRAME_REPLY_HEAD_SIZE];
    NuvexFrameReply reply;
    reply.ok = ok ? 1u : 0u;
    reply.returned = returned;
    NuvexFrame_EncodeReply(head, reply);
    return NuvexWire_SendAll(fd, head, sizeof head, returned > 0 ? MSG_MORE : 0) &&
           NuvexWire_SendAll(fd, output, returned, 0);
}

#endif
