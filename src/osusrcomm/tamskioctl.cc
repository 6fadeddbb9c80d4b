/* SPDX-FileCopyrightText: 2026 tamsk developers */
/* SPDX-License-Identifier: MIT */
/* The ioctl relay: one helper connection per call (open, ioctl, close). */
#include "helperhdr.h"
#include "platform.h"

#include <climits>
#include <cstdio>
#include <cstdlib>

using tamsk::getHdr;
using tamsk::putHdr;

int32_t tamskioctl(uint32_t cmd, void *data, uint32_t len)
{
    // A length whose packet would not fit a signed 32-bit size is treated
    // like a buffer that cannot be allocated.
    uint32_t pktsz = len + HELPER_HDR_SIZE;
    void *pkt = len <= INT32_MAX - HELPER_HDR_SIZE ? tamsk::quorAllocPacket(pktsz) : nullptr;
    if (!pkt) {
        fputs("ioctlquor malloc failure\n", stderr);
        return TAMSK_ENOMEM;
    }
    int32_t sock = quorHelperOpen(nullptr, cmd, pkt, pktsz);
    if (sock < 0) {
        fprintf(stderr, "Failed to open/connect to ZARUD socket - %d\n", sock);
        free(pkt);
        return TAMSK_ENXIO;
    }
    int32_t r = quorHelperIoctl(sock, cmd, pkt, pktsz, data, len);
    if (r != int32_t(pktsz)) {
        fprintf(stderr, "ioctlquor unexpected HelperIoctl response size - %d\n", r);
        HelperHdr h = getHdr(pkt);
        h.ret_code = TAMSK_EPIPE;
        putHdr(pkt, h);
    }
    int32_t result = getHdr(pkt).ret_code;
    quorHelperClose(sock, pkt, pktsz);
    free(pkt);
    return result;
}
