/* SPDX-FileCopyrightText: 2026 tamsk developers */
/* SPDX-License-Identifier: MIT */
/* Internal to the libraries, the query command and the helper: trace event
   numbers, formatted messages and request blocks. */
#ifndef APCFGCOMMON_APMESSAGE_H
#define APCFGCOMMON_APMESSAGE_H

#include "apcfgcommon.h"

#include <cstddef>
#include <cstdint>

enum TopologyTrace : uint32_t {
    TRC_LOOKUP_ENTRY = 20581,
    TRC_LOAD_BEGINS = 20582,
    TRC_PAIR_FOUND = 20583,
    TRC_PAIR_NOT_FOUND = 20584,
    TRC_RECORD_LIMIT = 20591,
    TRC_LOOKUP_RELOAD = 20592,
    TRC_READ_FAILED = 20593,
    TRC_TEXT_EMPTY = 20594,
    TRC_END_OF_RECORDS = 20596,
    TRC_NO_CONFIG_FILE = 20597,
    TRC_STORE_ENTRY = 20598,
    TRC_STORED = 20599,
    TRC_STORE_REPLACE = 20600,
    TRC_STORE_TOO_LARGE = 20601,
    TRC_STORE_APPEND = 20602,
    TRC_STORE_TABLE_FULL = 20603,
    TRC_STORE_UPDATE_FAILED = 20604,
    TRC_UPDATE_ENTRY = 20605,
    TRC_UPDATE_VERIFIED = 20606,
    TRC_UPDATE_OPEN_FAILED = 20607,
    TRC_UPDATE_READ_FAILED = 20608,
    TRC_UPDATE_SHORT_WRITE = 20609,
    TRC_UPDATE_BACKUP_SIZE = 20610,
    TRC_VALUE_OUT_OF_RANGE = 20611
};

namespace tamsk {

/* Formats a message into sString and hands it to apAtePrintf; a text longer
   than sString goes out in consecutive pieces. The formatted text is cut at
   8,191 characters; the longest message, with the listing of a full table,
   has about 4,950. */
void apSendf(const char *fmt, ...) __attribute__((format(printf, 1, 2)));

/* Clears block and sets its length and command. */
void apInitBlock(AdapterDds *block, uint32_t command);

} // namespace tamsk

#endif
