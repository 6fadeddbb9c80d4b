/* SPDX-FileCopyrightText: 2026 tamsk developers */
/* SPDX-License-Identifier: MIT */
/* Reading and writing the header at the start of a packet buffer, which
   need not be aligned for 32-bit words. */
#ifndef OSUSRCOMM_HELPERHDR_H
#define OSUSRCOMM_HELPERHDR_H

#include "osusrcomm.h"

#include <cstddef>
#include <cstring>

static_assert(sizeof(HelperHdr) == HELPER_HDR_SIZE, "helper header size");
static_assert(offsetof(HelperHdr, xfercnt) == 8, "xfercnt");
static_assert(offsetof(HelperHdr, ret_code) == 12, "ret_code");
static_assert(offsetof(HelperHdr, cmd) == 16, "cmd");

namespace tamsk {

inline HelperHdr getHdr(const void *pkt)
{
    HelperHdr h;
    memcpy(&h, pkt, sizeof h);
    return h;
}

inline void putHdr(void *pkt, const HelperHdr &h) { memcpy(pkt, &h, sizeof h); }

} // namespace tamsk

#endif
