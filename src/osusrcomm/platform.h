/* SPDX-FileCopyrightText: 2026 tamsk developers */
/* SPDX-License-Identifier: MIT */
/* Waiting and packet allocation of the helper client. Both live alone in
   platform.cc so that a test program can link its own versions instead. */
#ifndef OSUSRCOMM_PLATFORM_H
#define OSUSRCOMM_PLATFORM_H

#include <cstddef>

namespace tamsk {

/* The pause before an open is retried after a busy or retry answer. */
void quorHelperPause(unsigned seconds);

/* The packet buffer of one relay or stream call, or null when there is no
   memory (the call then fails as its caller reports); released with free(). */
void *quorAllocPacket(size_t size);

} // namespace tamsk

#endif
