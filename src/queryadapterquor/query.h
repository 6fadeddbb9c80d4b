/* SPDX-FileCopyrightText: 2026 tamsk developers */
/* SPDX-License-Identifier: MIT */
/* Shared between the command's parts: the kernel status report. */
#ifndef QUERYADAPTERQUOR_QUERY_H
#define QUERYADAPTERQUOR_QUERY_H

#include "apcfgcommon.h"

/* Prints the kernel status report of a filled status query: status words,
   then WWPN, kernel and stored topology of each port (at most four, whatever
   count the kernel gives), then the HRM status bits. The stored values come
   from apGetTopology, whose first call of the process loads the
   configuration file; the lookups send trace events and messages through
   the helper. logicalName is the name as given, printed in the heading;
   nameCopy is its first 9 characters, as sent in the query block, and
   decides the adapter id (apGetAdapterId) the stored values are found
   under. */
void printKernelStatus(const char *logicalName, const char *nameCopy, const AdapterDds *answer);

#endif
