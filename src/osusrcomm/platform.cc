/* SPDX-FileCopyrightText: 2026 tamsk developers */
/* SPDX-License-Identifier: MIT */
/* Real waiting and allocation; tests link replacements. */
#include "platform.h"

#include <cstdlib>
#include <unistd.h>

void tamsk::quorHelperPause(unsigned seconds) { sleep(seconds); }

void *tamsk::quorAllocPacket(size_t size) { return malloc(size); }
