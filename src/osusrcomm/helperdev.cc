/* SPDX-FileCopyrightText: 2026 tamsk developers */
/* SPDX-License-Identifier: MIT */
/* Device operations on one ioctl helper connection: open, close, read,
   write and ioctl, each one request and one answer. */
#include "helperhdr.h"
#include "platform.h"
#include "tamskpaths.h"

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstdio>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

using tamsk::getHdr;
using tamsk::putHdr;

static_assert(sizeof(sockaddr_un) == 110, "connect passes the whole address");

namespace {

constexpr int MAX_BUSY_ANSWERS = 5;
constexpr unsigned RETRY_PAUSE_SECONDS = 10;

// Receive limits are signed; a packet size beyond that range is clamped.
int32_t asLimit(uint32_t size) { return int32_t(std::min<uint32_t>(size, INT32_MAX)); }

// The four-line report of a refused answer, with the header words as the
// packet buffer holds them now.
void reportRefused(const char *opLine, int32_t r, const void *pkt, int32_t sock)
{
    HelperHdr h = getHdr(pkt);
    fprintf(stderr, opLine, r);
    fprintf(stderr, "ERROR: hdr.helper_req: 0x%x, fd: %d\n", h.helper_req, sock);
    fprintf(stderr, "ERROR: hdr.xfercnt:   %d\n", int32_t(h.xfercnt));
    fprintf(stderr, "ERROR: hdr.ret_code:   %d\n", h.ret_code);
}

// An accepted answer: a response with ret_code 0 and a transfer count of at
// least xfer; with exact, a bare header with a count of exactly xfer.
bool isAccepted(int32_t r, const void *pkt, uint32_t xfer, bool exact = false)
{
    HelperHdr h = getHdr(pkt);
    return (exact ? r == HELPER_HDR_SIZE && h.xfercnt == xfer : r >= HELPER_HDR_SIZE && h.xfercnt >= xfer) &&
           h.helper_req == HELPER_RESPONSE && h.ret_code == 0;
}

// One connection attempt; returns the connected socket or -1.
int32_t connectHelper()
{
    int sock = socket(AF_UNIX, SOCK_STREAM, 0);
    if (sock < 0) {
        fprintf(stderr, "ERROR: Dev Open socket curSock: %d, errno: %d\n", sock, errno);
        return -1;
    }
    sockaddr_un addr = tamsk::socketAddress();
    int rc = connect(sock, reinterpret_cast<sockaddr *>(&addr), sizeof addr);
    if (rc != 0) {
        fprintf(stderr, "ERROR: Dev Open connect rc: %d, curSock: %d, errno: %d\n", rc, sock, errno);
        close(sock);
        return -1;
    }
    return sock;
}

} // namespace

int32_t quorHelperOpen(const char *name, uint32_t openArg, void *pkt, uint32_t pktsz)
{
    size_t nameLen = name ? strlen(name) : 0;
    int busy = 0;
    for (;;) {
        if (nameLen > pktsz || pktsz - nameLen < 21)
            return -1;
        int32_t need = int32_t(nameLen + 21);
        int32_t sock = connectHelper();
        if (sock < 0)
            return -1;
        memset(pkt, 0, pktsz);
        if (nameLen)
            memcpy(static_cast<char *>(pkt) + HELPER_HDR_SIZE, name, nameLen);
        putHdr(pkt, {need, HELPER_DEV_OPEN, 0, 0, openArg});
        int32_t sent = sendPkt(sock, pkt, need);
        if (sent != need) {
            fprintf(stderr, "Failed to send Dev Open - rc=%d\n", sent);
            close(sock);
            return -1;
        }
        int32_t r = recvHelperPkt(sock, pkt, HELPER_HDR_SIZE);
        if (isAccepted(r, pkt, uint32_t(need), true))
            return sock;
        HelperHdr h = getHdr(pkt);
        if (r == HELPER_HDR_SIZE && (h.helper_req == HELPER_BUSY || h.helper_req == HELPER_RETRY)) {
            close(sock);
            if (h.helper_req == HELPER_BUSY && ++busy > MAX_BUSY_ANSWERS)
                return -1;
            tamsk::quorHelperPause(RETRY_PAUSE_SECONDS);
            continue;
        }
        reportRefused("ERROR: Failed to recv Dev Open Response - rc = %d\n", r, pkt, sock);
        close(sock);
        return -1;
    }
}

int32_t quorHelperClose(int32_t sock, void *pkt, uint32_t pktsz)
{
    if (pktsz < HELPER_HDR_SIZE) {
        close(sock);
        return -1;
    }
    memset(pkt, 0, pktsz);
    putHdr(pkt, {HELPER_HDR_SIZE, HELPER_DEV_CLOSE, 0, 0, 0});
    int32_t sent = sendPkt(sock, pkt, HELPER_HDR_SIZE);
    if (sent != HELPER_HDR_SIZE) {
        fprintf(stderr, "Failed to send Dev Close - rc=%d, fd: %d\n", sent, sock);
        close(sock);
        return -1;
    }
    int32_t r = recvHelperPkt(sock, pkt, HELPER_HDR_SIZE);
    if (!isAccepted(r, pkt, HELPER_HDR_SIZE, true))
        reportRefused("ERROR: Failed to recv Dev Close Response - rc=%d\n", r, pkt, sock);
    return close(sock);
}

int32_t quorHelperRead(int32_t sock, void *pkt, uint32_t pktsz)
{
    if (pktsz < HELPER_HDR_SIZE)
        return -1;
    memset(pkt, 0, pktsz);
    putHdr(pkt, {HELPER_HDR_SIZE, HELPER_DEV_READ, pktsz, 0, 0});
    int32_t sent = sendPkt(sock, pkt, HELPER_HDR_SIZE);
    if (sent != HELPER_HDR_SIZE) {
        fprintf(stderr, "Failed to send Dev Read - rc=%d, fd: %d\n", sent, sock);
        return -1;
    }
    int32_t r = recvHelperPkt(sock, pkt, asLimit(pktsz));
    if (isAccepted(r, pkt, HELPER_HDR_SIZE))
        return r;
    reportRefused("ERROR: Failed to recv Dev Read Response - rc=%d\n", r, pkt, sock);
    return 0;
}

// The payload is the caller's and ret_code and cmd go out as the buffer
// holds them: only length, request and count are set here.
int32_t quorHelperWrite(int32_t sock, void *pkt, uint32_t pktsz)
{
    if (pktsz < HELPER_HDR_SIZE || pktsz > INT32_MAX) {
        fprintf(stderr, "ERROR: Requested packet is too small - pktsz=%d\n", int32_t(pktsz));
        return -1;
    }
    HelperHdr h = getHdr(pkt);
    h.pktlen = int32_t(pktsz);
    h.helper_req = HELPER_DEV_WRITE;
    h.xfercnt = pktsz;
    putHdr(pkt, h);
    int32_t sent = sendPkt(sock, pkt, int32_t(pktsz));
    if (sent != int32_t(pktsz)) {
        fprintf(stderr, "Failed to send Dev Write - rc=%d, fd: %d\n", sent, sock);
        return -1;
    }
    int32_t r = recvHelperPkt(sock, pkt, int32_t(pktsz));
    if (isAccepted(r, pkt, pktsz - HELPER_HDR_SIZE))
        return int32_t(pktsz);
    reportRefused("ERROR: Failed to recv Dev Write Response - rc=%d\n", r, pkt, sock);
    return 0;
}

// The answer is copied back into data whenever it is at least a header long,
// accepted or not; a longer-than-limit answer (negative r) copies nothing.
int32_t quorHelperIoctl(int32_t sock, uint32_t cmd, void *pkt, uint32_t pktsz,
                        void *data, uint32_t ipbuffsz)
{
    memset(pkt, 0, pktsz);
    if (pktsz < HELPER_HDR_SIZE || pktsz - HELPER_HDR_SIZE < ipbuffsz || pktsz > INT32_MAX) {
        fprintf(stderr, "ERROR: Helper Pkt NOT big enough for intended IOCTL buffer - pktsz=%d ipbuffsz=%d\n",
                int32_t(pktsz), int32_t(ipbuffsz));
        return -1;
    }
    int32_t len = int32_t(ipbuffsz + HELPER_HDR_SIZE);
    putHdr(pkt, {len, HELPER_DEV_IOCTL, uint32_t(len), 0, cmd});
    char *payload = static_cast<char *>(pkt) + HELPER_HDR_SIZE;
    if (data && ipbuffsz)
        memcpy(payload, data, ipbuffsz);
    int32_t sent = sendPkt(sock, pkt, len);
    if (sent != len) {
        fprintf(stderr, "Failed to send Dev IOCTL - rc=%d, fd: %d\n", sent, sock);
        return -1;
    }
    int32_t r = recvHelperPkt(sock, pkt, len);
    if (!isAccepted(r, pkt, HELPER_HDR_SIZE))
        reportRefused("ERROR: Failed to recv Dev IOCTL Response - rc=%d\n", r, pkt, sock);
    if (r < HELPER_HDR_SIZE)
        return 0;
    if (data && ipbuffsz) {
        memset(data, 0, ipbuffsz);
        memcpy(data, payload, std::min<uint32_t>(ipbuffsz, uint32_t(r - HELPER_HDR_SIZE)));
    }
    return r;
}
