/* Loading the configuration file into the topology table, lookups, and the
   adapter id of a logical name. */
#include "apcfgcommon.h"
#include "apmessage.h"
#include "osslnxadaptconfig.h"
#include "tamskpaths.h"

#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>

TopologyEntry topologyAry[TOPOLOGY_ENTRIES];

namespace {

constexpr int WORK_COPY_SIZE = 256;

// A configuration number as a 32-bit long would give it: saturated at the
// 32-bit limits whatever the host's long.
int32_t toInt32(const char *text, int base)
{
    long v = strtol(text, nullptr, base);
    if (v > INT32_MAX)
        return INT32_MAX;
    if (v < INT32_MIN)
        return INT32_MIN;
    return int32_t(v);
}

// Reads the whole file into buf (size bytes, zero-filled). A read counts
// only when it delivers exactly the file's length; a file that does not fit
// is refused rather than cut, so no record is silently dropped.
bool readWholeFile(FILE *f, char *buf, size_t size, long *length)
{
    memset(buf, 0, size);
    *length = -1;
    if (fseek(f, 0, SEEK_END) != 0 || (*length = ftell(f)) < 0 || fseek(f, 0, SEEK_SET) != 0)
        return false;
    if (size_t(*length) >= size)
        return false;
    size_t n = fread(buf, 1, size_t(*length) + 1, f);
    return n == size_t(*length) && !ferror(f);
}

// Splits one record into id, port and value; a missing field counts as 0.
// Returns false for a record with no field at all.
bool splitRecord(const char *record, int32_t *id, int32_t *port, int32_t *value)
{
    char work[WORK_COPY_SIZE];
    snprintf(work, sizeof work, "%s:", record);
    int32_t *fields[] = {id, port, value};
    const int bases[] = {16, 10, 10};
    int found = 0;
    char *save = nullptr;
    for (char *f = strtok_r(work, ":", &save); f && found < 3; f = strtok_r(nullptr, ":", &save)) {
        *fields[found] = toInt32(f, bases[found]);
        ++found;
    }
    for (int k = found; k < 3; ++k)
        *fields[k] = 0;
    return found > 0;
}

} // namespace

extern "C" void parseConfigDataFile(void)
{
    char buf[TOPOLOGY_FILE_TEXT_SIZE];
    FILE *f = fopen(TAMSK_CONFIG_FILE, "rb");
    if (!f) {
        apSendf("parseConfigDataFile: Could not open config data file. Default values will be used. \n");
        apUsrTrace(TRC_NO_CONFIG_FILE, TOPOLOGY_ENTRIES, 0, 0, 0, 0);
        return;
    }
    long length;
    bool readOk = readWholeFile(f, buf, sizeof buf, &length);
    fclose(f);
    if (!readOk) {
        apSendf("parseConfigDataFile: Failed reading config file. Default values will be used. \n");
        apUsrTrace(TRC_READ_FAILED, uint32_t(length), 0, 0, 0, 0);
        return;
    }
    removeWhiteSpace(buf);
    if (buf[0] == '\0') {
        apSendf("ERROR: The input string is zero length.\n");
        apUsrTrace(TRC_TEXT_EMPTY, uint32_t(length), 0, 0, 0, 0);
        return;
    }
    // Records are walked one after another, so blank lines and records of
    // differing lengths read correctly. Records that would read as empty
    // entries (no field, id 0) or overlong ones are skipped without a gap.
    int32_t id = 0, port = 0, value = 0;
    int stored = 0;
    int handled = 0;
    char *save = nullptr;
    for (char *rec = strtok_r(buf, "\n", &save); rec; rec = strtok_r(nullptr, "\n", &save)) {
        bool fits = strlen(rec) <= WORK_COPY_SIZE - 2;
        if (fits && splitRecord(rec, &id, &port, &value)) {
            if (uint32_t(value) > 4) {
                apSendf("The config data read was NOT valid! val: %d !Defaulting to %d (OS_FC_AL) \n",
                        value, OS_FC_AL);
                apUsrTrace(TRC_VALUE_OUT_OF_RANGE, uint32_t(handled), TOPOLOGY_ENTRIES,
                           uint32_t(id), uint32_t(port), value);
                value = OS_FC_AL;
            }
            if ((id & 0xFFFF) != 0)
                topologyAry[stored++] = {uint16_t(id), uint8_t(port), uint8_t(value)};
        }
        if (++handled >= TOPOLOGY_ENTRIES) {
            apSendf("The max number of records have been read. Exiting \n");
            apUsrTrace(TRC_RECORD_LIMIT, TOPOLOGY_ENTRIES, TOPOLOGY_ENTRIES, uint32_t(id),
                       uint32_t(port), value);
            break;
        }
    }
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
    return strcmp(name, "wyrafc000") == 0 ? 0xB00 : 0xB06;
}
