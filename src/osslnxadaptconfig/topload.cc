/* SPDX-FileCopyrightText: 2026 tamsk developers */
/* SPDX-License-Identifier: MIT */
/* Loading the configuration file into the topology table, lookups, and the
   adapter id of a logical name. */
#include "apcfgcommon.h"
#include "apfile.h"
#include "apmessage.h"
#include "osslnxadaptconfig.h"
#include "tamskpaths.h"

#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>

TopologyEntry topologyAry[TOPOLOGY_ENTRIES];

using tamsk::apSendf;
using tamsk::apToInt32;

namespace {

constexpr int WORK_COPY_SIZE = 256;

// Splits one record into id, port and value. A missing field counts as 0,
// so a short record is kept rather than dropped; one with no field at all
// reads as id 0.
void splitRecord(const char *record, int32_t *id, int32_t *port, int32_t *value)
{
    char work[WORK_COPY_SIZE];
    snprintf(work, sizeof work, "%s:", record);
    int32_t *fields[] = {id, port, value};
    const int bases[] = {16, 10, 10};
    int found = 0;
    char *save = nullptr;
    for (char *f = strtok_r(work, ":", &save); f && found < 3; f = strtok_r(nullptr, ":", &save)) {
        *fields[found] = apToInt32(f, bases[found]);
        ++found;
    }
    for (int k = found; k < 3; ++k)
        *fields[k] = 0;
}

struct Record {
    bool tooLong; // not split: it does not fit the work copy
    int32_t id, port, value;
};

// The records of the file as they stream past, before anything is stored:
// the file is read whole, in pieces, so a file of any length loads, and
// nothing reaches the table unless the whole read succeeded.
struct RecordReader {
    Record records[TOPOLOGY_ENTRIES];
    int32_t count;      // records handled, at most 256
    char current[WORK_COPY_SIZE - 1];
    size_t length;      // characters of the current record
    bool tooLong;       // the current record does not fit the work copy
    bool anyText;       // a character survived the filter
    bool atEnd;         // a NUL byte ended the text
};

void endRecord(RecordReader *r)
{
    if ((r->length > 0 || r->tooLong) && r->count < TOPOLOGY_ENTRIES) {
        Record &rec = r->records[r->count++];
        r->current[r->length] = '\0';
        rec.tooLong = r->tooLong;
        if (!rec.tooLong)
            splitRecord(r->current, &rec.id, &rec.port, &rec.value);
    }
    r->length = 0;
    r->tooLong = false;
}

// Feeds one piece of the file through the filter into the records; the
// text ends at the first NUL byte. False once nothing that follows can
// count: the text has ended, or the records are all taken.
bool addText(void *reader, char *piece, size_t n)
{
    RecordReader *r = static_cast<RecordReader *>(reader);
    r->atEnd = strlen(piece) < n;
    removeWhiteSpace(piece);
    r->anyText = r->anyText || piece[0] != '\0';
    for (const char *p = piece; *p; ++p) {
        if (*p == '\n')
            endRecord(r);
        else if (r->length < sizeof r->current - 1)
            r->current[r->length++] = *p;
        else
            r->tooLong = true;
    }
    return !r->atEnd && r->count < TOPOLOGY_ENTRIES;
}

// Stores the records in file order. Records that would read as empty
// entries (id 0, no field) or overlong ones are skipped without a gap, so
// the next store keeps every record behind them.
void storeRecords(const RecordReader &r)
{
    int32_t id = 0, port = 0, value = 0; // as last converted
    int stored = 0;
    for (int32_t i = 0; i < r.count; ++i) {
        const Record &rec = r.records[i];
        if (rec.tooLong)
            continue;
        id = rec.id;
        port = rec.port;
        value = rec.value;
        if (uint32_t(value) > 4) {
            apSendf("The config data read was NOT valid! val: %d !Defaulting to %d (OS_FC_AL) \n", value,
                    OS_FC_AL);
            apUsrTrace(TRC_VALUE_OUT_OF_RANGE, uint32_t(i), TOPOLOGY_ENTRIES, uint32_t(id), uint32_t(port), value);
            value = OS_FC_AL;
        }
        if ((id & 0xFFFF) != 0)
            topologyAry[stored++] = {uint16_t(id), uint8_t(port), uint8_t(value)};
    }
    if (r.count == TOPOLOGY_ENTRIES) {
        apSendf("The max number of records have been read. Exiting \n");
        apUsrTrace(TRC_RECORD_LIMIT, TOPOLOGY_ENTRIES, TOPOLOGY_ENTRIES, uint32_t(id), uint32_t(port), value);
    }
}

} // namespace

extern "C" void parseConfigDataFile(void)
{
    FILE *f = tamsk::apOpenRegular(TAMSK_CONFIG_FILE_NAME, false);
    if (!f) {
        apSendf("parseConfigDataFile: Could not open config data file. Default values will be used. \n");
        apUsrTrace(TRC_NO_CONFIG_FILE, TOPOLOGY_ENTRIES, 0, 0, 0, 0);
        return;
    }
    RecordReader reader = {};
    long length;
    bool readOk = tamsk::apReadPieces(f, &length, addText, &reader);
    endRecord(&reader);
    fclose(f);
    if (!readOk) {
        apSendf("parseConfigDataFile: Failed reading config file. Default values will be used. \n");
        apUsrTrace(TRC_READ_FAILED, uint32_t(length), 0, 0, 0, 0);
        return;
    }
    if (!reader.anyText) {
        apSendf("ERROR: The input string is zero length.\n");
        apUsrTrace(TRC_TEXT_EMPTY, uint32_t(length), 0, 0, 0, 0);
        return;
    }
    storeRecords(reader);
    apUsrTrace(TRC_END_OF_RECORDS, 0, 0, 0, 0, 0);
}

extern "C" int32_t apGetTopology(uint16_t adapterId, uint8_t portNumber, int32_t reload)
{
    static int32_t beenThroughBefore = 0; // set before the file is read: a failed load is not retried
    apUsrTrace(TRC_LOOKUP_ENTRY, adapterId, portNumber, TOPOLOGY_ENTRIES, uint32_t(reload), 0);
    if (reload == 1) {
        apUsrTrace(TRC_LOOKUP_RELOAD, adapterId, portNumber, 1, 0, 0);
        beenThroughBefore = 0;
    }
    if (beenThroughBefore == 0) {
        apUsrTrace(TRC_LOAD_BEGINS, adapterId, portNumber, 0, 0, 0);
        beenThroughBefore = 1;
        memset(topologyAry, 0, sizeof topologyAry);
        parseConfigDataFile();
    }
    for (const TopologyEntry &e : topologyAry) {
        if (e.adapterId == adapterId && e.portNumber == portNumber) {
            apUsrTrace(TRC_PAIR_FOUND, adapterId, portNumber, e.topology, 0, 0);
            return e.topology;
        }
    }
    apSendf("apGetTopology: adapterId:%X, Port:%d Not found in array returning:%d (OS_TOPOLOGY_UNKNOWN) \n",
            adapterId, portNumber, OS_TOPOLOGY_UNKNOWN);
    apUsrTrace(TRC_PAIR_NOT_FOUND, adapterId, portNumber, 0, 0, 0);
    return OS_TOPOLOGY_UNKNOWN;
}

extern "C" uint32_t apGetAdapterId(const char *name)
{
    return name && strcmp(name, "wyrafc000") == 0 ? 0xB00 : 0xB06;
}
