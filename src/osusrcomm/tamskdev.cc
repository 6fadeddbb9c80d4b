/* Device stream transfer through the ioctl helper, in chunks of at most
   1024 data bytes. */
#include "helperhdr.h"
#include "platform.h"

#include <cstdio>
#include <cstdlib>

namespace {

constexpr uint32_t STREAM_OPEN_ARG = 0xFFFFFFFFu;
constexpr int32_t CHUNK = TAMSK_STREAM_PKTSZ - HELPER_HDR_SIZE;

// Allocates the packet buffer and opens the device; returns the socket, or
// sets *result to 12 or 6 and returns -1 with nothing left to release.
int32_t openStream(const char *name, const char *who, char **pkt, int32_t *result)
{
    *pkt = static_cast<char *>(tamsk::quorAllocPacket(TAMSK_STREAM_PKTSZ));
    if (!*pkt) {
        fprintf(stderr, "%s malloc failure\n", who);
        *result = TAMSK_ENOMEM;
        return -1;
    }
    int32_t sock = quorHelperOpen(name, STREAM_OPEN_ARG, *pkt, TAMSK_STREAM_PKTSZ);
    if (sock < 0) {
        fprintf(stderr, "Failed to open/connect to ZARUD socket - %d\n", sock);
        free(*pkt);
        *result = TAMSK_ENXIO;
    }
    return sock;
}

} // namespace

int32_t tamskdevrd(const char *name)
{
    char *pkt;
    int32_t result;
    int32_t sock = openStream(name, "tamskdevrd", &pkt, &result);
    if (sock < 0)
        return result;
    for (;;) {
        int32_t n = quorHelperRead(sock, pkt, TAMSK_STREAM_PKTSZ) - HELPER_HDR_SIZE;
        if (n > 0) {
            fwrite(pkt + HELPER_HDR_SIZE, 1, size_t(n), stdout);
            continue;
        }
        if (n == 0) {
            result = TAMSK_OK;
        } else {
            fprintf(stderr, "Failed to read from ZARUD socket - %d \n", n);
            result = TAMSK_EPIPE;
        }
        break;
    }
    quorHelperClose(sock, pkt, TAMSK_STREAM_PKTSZ);
    free(pkt);
    return result;
}

// An empty standard input counts as a complete transfer. A chunk is written
// when the helper accepts its whole packet; the first that is not ends it.
int32_t tamskdevwr(const char *name)
{
    char *pkt;
    int32_t result;
    int32_t sock = openStream(name, "tamskdevwr", &pkt, &result);
    if (sock < 0)
        return result;
    result = TAMSK_OK;
    for (size_t n; result == TAMSK_OK && (n = fread(pkt + HELPER_HDR_SIZE, 1, CHUNK, stdin)) > 0;) {
        int32_t w = quorHelperWrite(sock, pkt, uint32_t(n) + HELPER_HDR_SIZE);
        if (w == int32_t(n) + HELPER_HDR_SIZE)
            continue;
        fprintf(stderr, "Failed to write the last %d bytes to ZARUD socket - %d\n", int32_t(n), w);
        fprintf(stderr, "Failed to write to ZARUD socket - %d \n", w);
        result = TAMSK_EPIPE;
    }
    quorHelperClose(sock, pkt, TAMSK_STREAM_PKTSZ);
    free(pkt);
    return result;
}
