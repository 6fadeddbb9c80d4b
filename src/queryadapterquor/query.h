/* SPDX-FileCopyrightText: 2026 tamsk developers */
/* SPDX-License-Identifier: MIT */
/* Shared between the command's parts: the kernel status report. */
#ifndef QUERYADAPTERQUOR_QUERY_H
#define QUERYADAPTERQUOR_QUERY_H

#include "apcfgcommon.h"

/* Prints the kernel status report of a filled status query. */
void printKernelStatus(const char *logicalName, const char *nameCopy, const AdapterDds *answer);

#endif
