/* SPDX-FileCopyrightText: 2026 tamsk developers */
/* SPDX-License-Identifier: MIT */
/* Display texts of topology values, the text forms of the topology table,
   and the character filter of the configuration file reader. */
#include "apcfgcommon.h"
#include "osslnxadaptconfig.h"

#include <cstdio>
#include <cstring>
#include <iterator>

namespace {

constexpr const char *VALUE_FORMATS[] = {
    "%d - OS_TOPOLOGY_UNKNOWN          ",
    "%d - OS_OPEN_POINT_TO_POINT       ",
    "%d - OS_FC_AL                     ",
    "%d - OS_FICON_POINT_TO_POINT      ",
    "%d - OS_OPEN_FICON_POINT_TO_POINT ",
};

const char TOO_SMALL_TEXT[] =
    "ERROR: the input sting is too small to hold the string representaiton of the topology array \n";

bool isRetained(unsigned char c)
{
    return c == '\n' || c == ':' || (c >= '0' && c <= '9') || (c >= 'A' && c <= 'Z') ||
           (c >= 'a' && c <= 'z');
}

} // namespace

int32_t topValToString(char *dst, uint32_t value)
{
    const char *fmt = value < std::size(VALUE_FORMATS) ? VALUE_FORMATS[value]
                                                      : "%d - ERROR: Input NOT Recognized! ";
    return snprintf(dst, TOPOLOGY_VALUE_TEXT_SIZE, fmt, int32_t(value));
}

// Either the whole used part of the table or the too-small text, never a
// partial listing; the result tells the caller which.
int32_t topArrayToString(char *str, int32_t len, int32_t withIndex)
{
    if (len <= 0)
        return 0;
    str[0] = '\0';
    uint32_t used = 0;
    for (int i = 0; i < TOPOLOGY_ENTRIES && topologyAry[i].adapterId != 0; ++i) {
        const TopologyEntry &e = topologyAry[i];
        char line[32];
        int n = withIndex == 1
                    ? snprintf(line, sizeof line, "%d  %X:%d:%d \n", i, e.adapterId, e.portNumber, e.topology)
                    : snprintf(line, sizeof line, "%X:%d:%d \n", e.adapterId, e.portNumber, e.topology);
        if (uint32_t(n) + used >= uint32_t(len)) {
            strncpy(str, TOO_SMALL_TEXT, size_t(len));
            str[len - 1] = '\0';
            return 0;
        }
        memcpy(str + used, line, size_t(n) + 1);
        used += uint32_t(n);
    }
    return 1;
}

void removeWhiteSpace(char *str)
{
    if (!str)
        return;
    char *out = str;
    for (const char *p = str; *p; ++p)
        if (isRetained(static_cast<unsigned char>(*p)))
            *out++ = *p;
    *out = '\0';
}
