/* SPDX-FileCopyrightText: 2026 tamsk developers */
/* SPDX-License-Identifier: MIT */
/* The adapter family check on logical names. */
#include "apcfgcommon.h"

#include <cstring>

int32_t apAdptIsKorval(const char *name)
{
    static const char familyTemplate[] = "wyrafcxxx"; // compared over "wyrafc"
    return name && strncmp(name, familyTemplate, 6) == 0 ? 1 : 0;
}
