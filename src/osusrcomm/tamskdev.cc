/* SPDX-FileCopyrightText: 2026 tamsk developers */
/* SPDX-License-Identifier: MIT */
/* Device stream transfer through the ioctl helper, in chunks of at most 1024 data bytes. */
#include "helperhdr.h"
#include "platform.h"

#include <cstdio>
#include <cstdlib>

namespace {

constexpr uint32_t STREAM_OPEN_ARG = 0xFFFFFFFFu;
constexpr int32_t CHUNK = TAMSK_STREAM_PKTSZ - HELPER_HDR_SIZE;

// Copies the device to standard output until a read answers no data.
int32_t readAll(int32_t sock, char *pkt)
{
    for (;;) {
        int32_t n = quorHelperRead(sock, pkt, TAMSK_STREAM_PKTSZ) - HELPER_HDR_SIZE;
        if (n == 0)
            return TAMSK_OK;
        if (n < 0) {
            fprintf(stderr, "Failed to read from ZARUD socket - %d \n", n);
            return TAMSK_EPIPE;
        }
        fwrite(pkt + HELPER_HDR_SIZE, 1, size_t(n), stdout);
    }
}

// An empty standard input counts as a complete transfer. A chunk is written
// when the helper accepts its whole packet; the first that is not ends it.
int32_t writeAll(int32_t sock, char *pkt)
{
    for (size_t n; (n = fread(pkt + HELPER_HDR_SIZE, 1, CHUNK, stdin)) > 0;) {
        int32_t w = quorHelperWrite(sock, pkt, uint32_t(n) + HELPER_HDR_SIZE);
        if (w != int32_t(n) + HELPER_HDR_SIZE) {
            fprintf(stderr, "Failed to write the last %d bytes to ZARUD socket - %d\n", int32_t(n), w);
            fprintf(stderr, "Failed to write to ZARUD socket - %d \n", w);
            return TAMSK_EPIPE;
        }
    }
    return TAMSK_OK;
}

// Allocates the packet buffer, opens the device, runs the transfer, closes
// the device and frees the buffer. Returns the transfer's result, or 12
// (no buffer) or 6 (no open).
int32_t onStream(const char *name, const char *who, int32_t (*transfer)(int32_t sock, char *pkt))
{
    char *pkt = static_cast<char *>(tamsk::quorAllocPacket(TAMSK_STREAM_PKTSZ));
    if (!pkt) {
        fprintf(stderr, "%s malloc failure\n", who);
        return TAMSK_ENOMEM;
    }
    int32_t sock = quorHelperOpen(name, STREAM_OPEN_ARG, pkt, TAMSK_STREAM_PKTSZ);
    int32_t result = TAMSK_ENXIO;
    if (sock < 0) {
        fprintf(stderr, "Failed to open/connect to ZARUD socket - %d\n", sock);
    } else {
        result = transfer(sock, pkt);
        quorHelperClose(sock, pkt, TAMSK_STREAM_PKTSZ);
    }
    free(pkt);
    return result;
}

} // namespace

int32_t tamskdevrd(const char *name)
{
    return onStream(name, "tamskdevrd", readAll);
}

int32_t tamskdevwr(const char *name)
{
    return onStream(name, "tamskdevwr", writeAll);
}
