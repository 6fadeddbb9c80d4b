/* SPDX-FileCopyrightText: 2026 tamsk developers */
/* SPDX-License-Identifier: MIT */
/* apcfgcommon: the driver request block, trace events and messages to the
   AP code, the topology store and the adapter family check. Usable from C
   and C++. */
#ifndef APCFGCOMMON_H
#define APCFGCOMMON_H

#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

#define AP_IOCTL                27u  /* ioctl number of every AP request */
#define AP_QUERY_ADAPTER_STATUS 144u
#define AP_ATE_PRINTF           145u
#define AP_USER_TRACE           146u

#define QUERY_KERNEL_STATUS     1u
#define QUERY_HA_PHYS_CFG       2u
#define QUERY_HA_PORT_PHYS_CFG  4u

#define AP_DDS_SIZE             1112u
#define AP_MAX_PORTS            4
#define AP_MSG_SIZE             512
#define AP_RESULT_TEXT_SIZE     514

/* Link topology values of a Fibre Channel port. */
#define OS_TOPOLOGY_UNKNOWN          0
#define OS_OPEN_POINT_TO_POINT       1
#define OS_FC_AL                     2
#define OS_FICON_POINT_TO_POINT      3
#define OS_OPEN_FICON_POINT_TO_POINT 4

/* Command 144: adapter status query, filled in by the kernel. */
typedef struct AdapterQuery {
    char     logicalName[9];
    uint8_t  pad17[7];
    char     locationCode[16];
    uint32_t adapterId;
    uint16_t topology[AP_MAX_PORTS];
    union { uint8_t portNumber; uint8_t numOfAdapterPorts; };
    uint8_t  pad53[431];
    union { uint32_t queryType; uint32_t adapterStatus; };
    uint32_t adapterHrmStatus;
    uint32_t portHrmStatus;
    uint8_t  pad496[12];
    char     resultText[AP_RESULT_TEXT_SIZE];
    uint8_t  wwpn[AP_MAX_PORTS][8];
    uint8_t  fc_fiber_speed;
    uint8_t  returnCode;
    uint8_t  pad1056[4];
    uint32_t fourPortStatus;
    uint8_t  pad1064[48];
} AdapterQuery;

/* Command 145: a text message for the AP code. */
typedef struct AteMessage {
    uint8_t  pad8[500];
    char     message[AP_MSG_SIZE];
    uint8_t  ateFlags[2];
    uint8_t  pad1022[90];
} AteMessage;

/* Command 146: a user trace event with five data words. */
typedef struct UserTrace {
    uint8_t  pad8[476];
    uint32_t eventId;
    uint32_t d1, d2, d3, d4;
    int32_t  d5;
    uint8_t  pad508[604];
} UserTrace;

/* The 1112-byte request block passed with ioctl 27 to the AP code. */
typedef struct AdapterDds {
    uint32_t length;   /* always 1112 */
    uint32_t command;  /* 144, 145 or 146 */
    union {
        AdapterQuery query;
        AteMessage   ate;
        UserTrace    trace;
    };
} AdapterDds;

/* One stored topology value; adapterId 0 marks an empty entry. */
typedef struct TopologyEntry {
    uint16_t adapterId;
    uint8_t  portNumber;
    uint8_t  topology;
} TopologyEntry;

#define TOPOLOGY_ENTRIES 256

/* The stored topology values: what the last load read from the file (used
   entries packed from index 0, the rest zero) plus the changes of later
   stores. Defined by osslnxadaptconfig; filled by apGetTopology. */
extern TopologyEntry topologyAry[TOPOLOGY_ENTRIES];

/* The message buffer: library code formats a message into it and passes it
   to apAtePrintf. A message must fit with its terminator (511 characters). */
extern char sString[AP_MSG_SIZE];

/* Hands a numbered trace event with five data words to the driver. Nothing
   is returned; when the relay returns -1 a line with errno and the event
   goes to standard output, other relay failures only to standard error. */
void apUsrTrace(uint32_t eventId, uint32_t d1, uint32_t d2, uint32_t d3,
                uint32_t d4, int32_t d5);

/* Hands a message (at most 511 characters and the terminator are read) to
   the AP code. After the first send that fails, this and every later
   message of the process go to standard output instead; null is ignored. */
void apAtePrintf(const char *msg);

/* Stores a topology value: reloads the table, changes or appends the pair,
   and rewrites the configuration file with backup and read-back check.
   Returns 0 when stored and verified; -1 when the table is full without the
   pair, its text exceeds 513 characters (file untouched) or the update
   fails. The table keeps the change even when the file is not updated.
   Takes no lock. */
int32_t apStoreTopology(uint16_t adapterId, uint8_t portNumber,
                        uint8_t inToplogyVal, int32_t verbose);

/* Replaces the configuration file by data (at most 513 characters): copies
   an existing file to the backup, rewrites it and reads it back. Returns 0
   when the file holds exactly data afterwards; -1 when something that
   cannot be opened or is not a regular file is there, or the backup, the
   write or the read-back fails: each reported by message, and all but a
   read-back that differs from data also by trace. */
int32_t updateConfigDataFile(const char *data, int32_t verbose);

/* 1 when name starts with the adapter family prefix "wyrafc", else 0. */
int32_t apAdptIsKorval(const char *name);

#ifdef __cplusplus
}

#include <cstddef>
static_assert(sizeof(AdapterDds) == 1112, "request block size");
static_assert(offsetof(AdapterDds, query.logicalName) == 8, "logicalName");
static_assert(offsetof(AdapterDds, query.locationCode) == 24, "locationCode");
static_assert(offsetof(AdapterDds, query.adapterId) == 40, "adapterId");
static_assert(offsetof(AdapterDds, query.topology) == 44, "topology");
static_assert(offsetof(AdapterDds, query.portNumber) == 52, "portNumber");
static_assert(offsetof(AdapterDds, query.numOfAdapterPorts) == 52, "ports");
static_assert(offsetof(AdapterDds, query.queryType) == 484, "queryType");
static_assert(offsetof(AdapterDds, query.adapterStatus) == 484, "status");
static_assert(offsetof(AdapterDds, query.adapterHrmStatus) == 488, "hrm");
static_assert(offsetof(AdapterDds, query.portHrmStatus) == 492, "port hrm");
static_assert(offsetof(AdapterDds, query.resultText) == 508, "resultText");
static_assert(offsetof(AdapterDds, query.wwpn) == 1022, "wwpn");
static_assert(offsetof(AdapterDds, query.fc_fiber_speed) == 1054, "speed");
static_assert(offsetof(AdapterDds, query.returnCode) == 1055, "returnCode");
static_assert(offsetof(AdapterDds, query.fourPortStatus) == 1060, "fourPort");
static_assert(offsetof(AdapterDds, ate.message) == 508, "message");
static_assert(offsetof(AdapterDds, ate.ateFlags) == 1020, "ateFlags");
static_assert(offsetof(AdapterDds, trace.eventId) == 484, "eventId");
static_assert(offsetof(AdapterDds, trace.d1) == 488, "d1");
static_assert(offsetof(AdapterDds, trace.d5) == 504, "d5");
static_assert(sizeof(TopologyEntry) == 4, "topology entry");
#endif

#endif
