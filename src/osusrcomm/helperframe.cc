/* SPDX-FileCopyrightText: 2026 tamsk developers */
/* SPDX-License-Identifier: MIT */
/* Framing on a connected stream socket to the ioctl helper. */
#include "helperhdr.h"

#include <cerrno>
#include <cstdio>
#include <sys/socket.h>

using tamsk::getHdr;
using tamsk::putHdr;

namespace {

// Moves exactly length bytes; EINTR and EAGAIN are retried at once, with a
// progress mark every 2^20 retries so an endless loop is visible.
int32_t transferAll(int fd, void *buf, int32_t length, bool sending,
                    const char *mark, const char *failFmt)
{
    errno = 0;
    char *p = static_cast<char *>(buf);
    int32_t total = 0;
    uint32_t retries = 0;
    while (total < length) {
        ssize_t n = sending ? send(fd, p + total, length - total, MSG_NOSIGNAL)
                            : recv(fd, p + total, length - total, MSG_NOSIGNAL);
        if (n > 0) {
            total += static_cast<int32_t>(n);
            continue;
        }
        ++retries;
        if (errno != EINTR && errno != EAGAIN) {
            fprintf(stderr, failFmt, errno, fd);
            return static_cast<int32_t>(n);
        }
        if ((retries & 0xFFFFF) == 0)
            fputs(mark, stderr);
        errno = 0;
    }
    return total;
}

// One peek that must return exactly length bytes; 0 on failure.
int32_t peekExactly(int fd, void *buf, int32_t length, const char *failFmt)
{
    errno = 0;
    if (length <= 0)
        return 0;
    uint32_t retries = 0;
    for (;;) {
        ssize_t n = recv(fd, buf, length, MSG_PEEK | MSG_WAITALL | MSG_NOSIGNAL);
        if (n == length)
            return length;
        ++retries;
        if (errno != EINTR && errno != EAGAIN) {
            fprintf(stderr, failFmt, errno, fd);
            return 0;
        }
        if ((retries & 0xFFFFF) == 0)
            fputs("p.", stderr);
        errno = 0;
    }
}

} // namespace

int32_t sendPkt(int fd, void *buf, int32_t length)
{
    return transferAll(fd, buf, length, true, "s.", "send: errno = %d, fd = %d\n");
}

int32_t recvPkt(int fd, void *buf, int32_t length)
{
    return transferAll(fd, buf, length, false, "r.", "recv1: errno = %d, fd = %d\n");
}

int32_t peekPkt(int fd, void *buf, int32_t length)
{
    return peekExactly(fd, buf, length, "peekPkt errno = %d, fd = %d\n");
}

int32_t peekHelperPkt(int fd, void *buf, int32_t max)
{
    if (max < HELPER_HDR_SIZE)
        return max - HELPER_HDR_SIZE;
    return peekExactly(fd, buf, HELPER_HDR_SIZE, "peek errno = %d, fd = %d\n");
}

// The header is peeked first, so a packet too long for the buffer is found
// before any byte of it is taken from the socket.
int32_t recvHelperPkt(int fd, void *buf, int32_t max)
{
    int32_t r = peekHelperPkt(fd, buf, max);
    if (r <= 0)
        return r;
    int32_t len = getHdr(buf).pktlen;
    if (len > max)
        return max - len;
    if (len <= 0) // errno is still 0 from the peek
        return 0;
    return transferAll(fd, buf, len, false, "r2.", "recv2 errno = %d, fd = %d\n");
}
