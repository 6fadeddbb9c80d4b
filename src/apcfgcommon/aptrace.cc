/* SPDX-FileCopyrightText: 2026 tamsk developers */
/* SPDX-License-Identifier: MIT */
/* Trace events and messages handed to the AP code through the ioctl relay;
   messages fall back to standard output once a send has failed. */
#include "apcfgcommon.h"
#include "apmessage.h"
#include "osusrcomm.h"

#include <algorithm>
#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <cstring>

char sString[AP_MSG_SIZE];

void tamsk::apInitBlock(AdapterDds *block, uint32_t command)
{
    memset(block, 0, sizeof *block);
    block->length = AP_DDS_SIZE;
    block->command = command;
}

using tamsk::apInitBlock;

void apUsrTrace(uint32_t eventId, uint32_t d1, uint32_t d2, uint32_t d3,
                uint32_t d4, int32_t d5)
{
    AdapterDds block;
    apInitBlock(&block, AP_USER_TRACE);
    block.trace.eventId = eventId;
    block.trace.d1 = d1;
    block.trace.d2 = d2;
    block.trace.d3 = d3;
    block.trace.d4 = d4;
    block.trace.d5 = d5;
    // Only a helper answer carrying -1 yields -1; other failures are the
    // relay's to report.
    if (tamskioctl(AP_IOCTL, &block, sizeof block) == -1)
        printf("apUsrTrace: WYRA dd ioctl failed to make user trace. Errno:%d\n"
               "Trace Data :eid %x, d1 %x, d2 %x, d3 %x, d4 %x, d5 %d \n",
               errno, eventId, d1, d2, d3, d4, d5);
}

void apAtePrintf(const char *msg)
{
    static int32_t ioctlFailure = 0; // first failed send result, kept for good
    if (!msg)
        return;
    size_t len = strnlen(msg, AP_MSG_SIZE - 1);
    if (ioctlFailure == 0) {
        AdapterDds block;
        apInitBlock(&block, AP_ATE_PRINTF);
        memcpy(block.ate.message, msg, len);
        block.ate.ateFlags[0] = 1;
        ioctlFailure = tamskioctl(AP_IOCTL, &block, sizeof block);
    }
    if (ioctlFailure != 0)
        fwrite(msg, 1, len, stdout);
}

void tamsk::apSendf(const char *fmt, ...)
{
    char text[8192] = "";
    va_list ap;
    va_start(ap, fmt);
    vsnprintf(text, sizeof text, fmt, ap);
    va_end(ap);
    size_t len = strnlen(text, sizeof text);
    size_t off = 0;
    do {
        size_t piece = std::min(len - off, sizeof sString - 1);
        memcpy(sString, text + off, piece);
        sString[piece] = '\0';
        apAtePrintf(sString);
        off += piece;
    } while (off < len);
}
