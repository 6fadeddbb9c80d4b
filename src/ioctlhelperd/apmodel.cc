// SPDX-FileCopyrightText: 2026 tamsk developers
// SPDX-License-Identifier: MIT
// ioctlhelperd: the stand-in for the AP code behind ioctl 27 (status query,
// messages, trace events) and the model file that describes its adapters.
#include "helperd.h"

#include "apcfgcommon.h"

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <iterator>

namespace {

constexpr int32_t MAX_ADAPTERS = 64;
constexpr int32_t MODEL_LINE_MAX = 1024;
constexpr int32_t REFUSED_MESSAGE = 5; // EIO, for messages past the limit

struct Adapter {
    char name[10];
    uint8_t rc;          // non-zero: the query answers only this returnCode
    int32_t ioctlResult; // non-zero: the query answers this, block unchanged
    AdapterQuery answer; // what a status query of it answers
};

struct ApModel {
    Adapter adapters[MAX_ADAPTERS];
    int32_t count;
    uint32_t messageLimit; // messages accepted before refusing; the most: no limit
    int32_t traceResult;
};

struct TraceName {
    uint32_t id;
    const char *name;
};

// The trace events of the topology code, named in the log.
constexpr TraceName TRACE_NAMES[] = {
    {20581, "lookup entry"}, {20592, "lookup reload"}, {20582, "load begins"}, {20583, "pair found"},
    {20584, "pair not found"}, {20597, "config file not opened"}, {20593, "config read failed"},
    {20594, "config text empty"}, {20611, "value out of range"}, {20591, "record limit reached"},
    {20596, "end of records"}, {20598, "store entry"}, {20600, "store replace"}, {20602, "store append"},
    {20603, "store table full"}, {20601, "store text too large"}, {20604, "store file update failed"},
    {20599, "stored"}, {20605, "file update entry"}, {20607, "file open failed"},
    {20610, "backup length differs"}, {20609, "short write"}, {20608, "read-back failed"},
    {20606, "file verified"},
};

// ---- model file

enum ValueKind { UNSIGNED, SIGNED, TEXT, WWPN };

// One key=value word of the model file: where its values go and what they
// take. Unsigned numbers take what their field holds, signed ones 32 bits; a
// list key takes one to count comma-separated values.
struct ModelKey {
    const char *name;
    ValueKind kind;
    size_t offset, width; // of the first value, in bytes
    int32_t count;
};

// Offset, width and count come from the field itself, so a key cannot
// write past it.
#define FIELD(record, field) offsetof(record, field), sizeof(record::field), 1
#define LIST(record, field) \
    offsetof(record, field), sizeof(record::field[0]), int32_t(sizeof(record::field) / sizeof(record::field[0]))
constexpr ModelKey ADAPTER_KEYS[] = {
    {"id", UNSIGNED, FIELD(Adapter, answer.adapterId)},
    {"ports", UNSIGNED, FIELD(Adapter, answer.numOfAdapterPorts)},
    {"status", UNSIGNED, FIELD(Adapter, answer.adapterStatus)},
    {"speed", UNSIGNED, FIELD(Adapter, answer.fc_fiber_speed)},
    {"fourport", UNSIGNED, FIELD(Adapter, answer.fourPortStatus)},
    {"loc", TEXT, FIELD(Adapter, answer.locationCode)},
    {"hrm", UNSIGNED, FIELD(Adapter, answer.adapterHrmStatus)},
    {"porthrm", UNSIGNED, FIELD(Adapter, answer.portHrmStatus)},
    {"topo", UNSIGNED, LIST(Adapter, answer.topology)},
    {"wwpn", WWPN, LIST(Adapter, answer.wwpn)},
    {"ioctl", SIGNED, FIELD(Adapter, ioctlResult)},
    {"rc", UNSIGNED, FIELD(Adapter, rc)},
};
// The global lines "messages refuse=N" and "traces rc=N".
constexpr ModelKey MESSAGES_KEY = {"refuse", UNSIGNED, FIELD(ApModel, messageLimit)};
constexpr ModelKey TRACES_KEY = {"rc", SIGNED, FIELD(ApModel, traceResult)};
#undef FIELD
#undef LIST

void storeNumber(uint8_t *field, size_t width, long long v)
{
    uint8_t u8 = uint8_t(v);
    uint16_t u16 = uint16_t(v);
    uint32_t u32 = uint32_t(v);
    if (width == 1)
        memcpy(field, &u8, 1);
    else if (width == 2)
        memcpy(field, &u16, 2);
    else
        memcpy(field, &u32, 4);
}

// One value of k, len bytes of text, into field. Numbers are decimal, or
// hexadecimal after 0x; a WWPN is 16 hex digits.
bool parseValue(const ModelKey &k, const char *text, size_t len, uint8_t *field)
{
    if (k.kind == TEXT) {
        if (len >= k.width)
            return false;
        memset(field, 0, k.width);
        memcpy(field, text, len);
        return true;
    }
    if (k.kind == WWPN) {
        if (len != 16 || strspn(text, "0123456789abcdefABCDEF") != 16)
            return false;
        unsigned long long v = strtoull(text, nullptr, 16);
        for (int32_t b = 0; b < 8; ++b)
            field[b] = uint8_t(v >> (56 - 8 * b));
        return true;
    }
    bool hex = text[0] == '0' && (text[1] == 'x' || text[1] == 'X');
    char *end = nullptr;
    errno = 0;
    long long v = strtoll(text, &end, hex ? 16 : 10);
    long long min = k.kind == SIGNED ? INT32_MIN : 0;
    long long max = k.kind == SIGNED ? INT32_MAX : (1LL << (8 * k.width)) - 1;
    if (len == 0 || end != text + len || errno || v < min || v > max)
        return false;
    storeNumber(field, k.width, v);
    return true;
}

// Sets the "key=value" word on the record at base; false for an unknown key
// or a bad value.
bool setWord(uint8_t *base, const ModelKey *keys, size_t count, const char *word)
{
    size_t keyLen = strcspn(word, "=");
    for (size_t i = 0; word[keyLen] && i < count; ++i) {
        const ModelKey &k = keys[i];
        if (strlen(k.name) != keyLen || strncmp(k.name, word, keyLen))
            continue;
        const char *item = word + keyLen + 1;
        for (int32_t v = 0; v < k.count; ++v) {
            size_t len = strcspn(item, ",");
            if (!parseValue(k, item, len, base + k.offset + size_t(v) * k.width))
                return false;
            if (!item[len])
                return true;
            item += len + 1;
        }
        return false; // more values than the key takes
    }
    return false;
}

const Adapter *findAdapter(const ApModel &m, const char *name)
{
    for (int32_t i = 0; i < m.count; ++i)
        if (!strcmp(m.adapters[i].name, name))
            return &m.adapters[i];
    return nullptr;
}

// Parses one line into m; on a bad line returns false with err filled.
bool parseLine(char *line, ApModel *m, char *err, size_t errSize)
{
    constexpr char SPACE[] = " \t\r\n";
    line[strcspn(line, "#")] = '\0';
    char *save = nullptr;
    char *first = strtok_r(line, SPACE, &save);
    if (!first)
        return true;
    uint8_t *target = reinterpret_cast<uint8_t *>(m);
    const ModelKey *keys = &MESSAGES_KEY;
    size_t count = 1;
    if (!strcmp(first, "traces")) {
        keys = &TRACES_KEY;
    } else if (strcmp(first, "messages")) {
        if (strchr(first, '=') || strlen(first) >= sizeof(Adapter::name) || findAdapter(*m, first) ||
            m->count == MAX_ADAPTERS) {
            snprintf(err, errSize, "bad adapter \"%s\"", first); // a new name, at most 9 characters
            return false;
        }
        Adapter *a = &m->adapters[m->count++];
        strcpy(a->name, first);
        memcpy(a->answer.logicalName, first, strlen(first));
        target = reinterpret_cast<uint8_t *>(a);
        keys = ADAPTER_KEYS;
        count = std::size(ADAPTER_KEYS);
    }
    for (char *word; (word = strtok_r(nullptr, SPACE, &save));) {
        if (!setWord(target, keys, count, word)) {
            snprintf(err, errSize, "bad \"%s\"", word);
            return false;
        }
    }
    return true;
}

// Reads the model from f (closed here) into *m; returns true, or false after
// a message naming the source, the line and the problem.
bool readModel(FILE *f, const char *source, ApModel *m)
{
    *m = {};
    m->messageLimit = UINT32_MAX;
    char line[MODEL_LINE_MAX], err[MODEL_LINE_MAX + 100] = "";
    int32_t lineNo = 0;
    while (!err[0] && fgets(line, sizeof line, f)) {
        ++lineNo;
        if (!strchr(line, '\n') && !feof(f))
            snprintf(err, sizeof err, "line longer than %d characters", MODEL_LINE_MAX - 2);
        else
            parseLine(line, m, err, sizeof err);
    }
    if (!err[0] && ferror(f))
        snprintf(err, sizeof err, "read error: %s", strerror(errno));
    fclose(f);
    if (err[0])
        fprintf(stderr, "ioctlhelperd: %s:%d: %s\n", source, lineNo, err);
    return !err[0];
}

// Built-in demo adapters, one line each; every value is made up.
const char BUILT_IN[] =
    "wyrafc000 id=0xB00 loc=BAY1-SLOT3 ports=4 status=0x11 fourport=0xF speed=0x08 hrm=0xA0004400 "
    "porthrm=0x2000E008 topo=1,2,1,0 "
    "wwpn=10000ABCDEF00001,10000ABCDEF00002,10000ABCDEF00003,10000ABCDEF00004\n"
    "wyrafc001 id=0xB06 loc=BAY2-SLOT1 ports=4 status=0x13 fourport=0xB speed=0x10 hrm=0x50004800 "
    "porthrm=0x1080C800 topo=1,1,3,4 "
    "wwpn=10000ABCDEF10001,10000ABCDEF10002,10000ABCDEF10003,10000ABCDEF10004\n";

ApModel builtInModel()
{
    ApModel m;
    readModel(fmemopen(const_cast<char *>(BUILT_IN), strlen(BUILT_IN), "r"), "built-in", &m);
    return m;
}

ApModel model = builtInModel();
std::atomic<uint32_t> messagesTaken{0};

// ---- the AP commands

// Fills the answer; returns the query's returnCode.
uint8_t fillQuery(AdapterQuery *q, const Adapter *a, uint32_t type, uint8_t port)
{
    if (!a)
        return RC_NO_ADAPTER;
    if (a->rc)
        return a->rc;
    if (type != QUERY_KERNEL_STATUS && type != QUERY_HA_PHYS_CFG && type != QUERY_HA_PORT_PHYS_CFG)
        return RC_BAD_QUERY_TYPE;
    if (type == QUERY_HA_PORT_PHYS_CFG && port >= std::min<int32_t>(a->answer.numOfAdapterPorts, AP_MAX_PORTS))
        return RC_NO_PORT; // the record holds four ports
    *q = a->answer;
    if (type == QUERY_HA_PHYS_CFG)
        snprintf(q->resultText, sizeof q->resultText,
                 "adapter %s, id 0x%X, location %s, %u ports, status 0x%08X, fibre speed 0x%02X, "
                 "four-port status 0x%08X", a->name, q->adapterId, q->locationCode, q->numOfAdapterPorts,
                 q->adapterStatus, q->fc_fiber_speed, q->fourPortStatus);
    if (type == QUERY_HA_PORT_PHYS_CFG) {
        const uint8_t *w = q->wwpn[port];
        snprintf(q->resultText, sizeof q->resultText,
                 "adapter %s port %u: WWPN %02X:%02X:%02X:%02X:%02X:%02X:%02X:%02X, topology %u", a->name,
                 port, w[0], w[1], w[2], w[3], w[4], w[5], w[6], w[7], q->topology[port]);
    }
    return 0;
}

int32_t statusQuery(AdapterDds *dds)
{
    AdapterQuery *q = &dds->query;
    char name[sizeof q->logicalName + 1] = {};
    memcpy(name, q->logicalName, sizeof q->logicalName);
    uint32_t type = q->queryType;
    uint8_t port = q->portNumber;
    const Adapter *a = helperSysfsDir ? nullptr : findAdapter(model, name);
    int32_t result = a ? a->ioctlResult : 0;
    if (result == 0)
        q->returnCode = uint8_t(helperSysfsDir ? fcHostQuery(helperSysfsDir, q) : fillQuery(q, a, type, port));
    char shown[4 * sizeof name + 3];
    if (!escapeText(name, strlen(name), shown, sizeof shown))
        strcpy(shown, "\"\"");
    logEvent("query %s type %u port %u -> ioctl %d returnCode %u", shown, type, port, result,
             q->returnCode);
    return result;
}

// Messages and trace events answered with a non-zero result end in
// " -> ioctl N"; "%.0d" prints nothing for 0.
int32_t ateMessage(const AdapterDds *dds)
{
    const char *msg = dds->ate.message;
    const char *end = static_cast<const char *>(memchr(msg, 0, AP_MSG_SIZE));
    int32_t result = EINVAL; // the text must end inside its 512 bytes
    if (end)
        result = messagesTaken++ >= model.messageLimit ? REFUSED_MESSAGE : 0;
    char shown[4 * AP_MSG_SIZE + 1];
    escapeText(msg, end ? size_t(end - msg) : AP_MSG_SIZE, shown, sizeof shown);
    logEvent("message \"%s\"%s%.0d", shown, result ? " -> ioctl " : "", result);
    return result;
}

int32_t userTrace(const AdapterDds *dds)
{
    const UserTrace &t = dds->trace;
    const char *name = "";
    for (const TraceName &n : TRACE_NAMES)
        if (n.id == t.eventId)
            name = n.name;
    int32_t result = model.traceResult;
    logEvent("trace %u%s%s d1=0x%x d2=0x%x d3=0x%x d4=0x%x d5=%d%s%.0d", t.eventId, *name ? " " : "", name,
             t.d1, t.d2, t.d3, t.d4, t.d5, result ? " -> ioctl " : "", result);
    return result;
}

} // namespace

bool apModelLoad(const char *path)
{
    FILE *f = fopen(path, "re");
    if (!f) {
        fprintf(stderr, "ioctlhelperd: cannot open model file %s: %s\n", path, strerror(errno));
        return false;
    }
    static ApModel loaded; // too big for comfort on the stack
    if (!readModel(f, path, &loaded))
        return false;
    model = loaded;
    return true;
}

int32_t apIoctl(uint32_t cmd, uint8_t *data, uint32_t len)
{
    if (cmd != AP_IOCTL)
        return ENOTTY;
    AdapterDds dds;
    if (len != sizeof dds)
        return EINVAL;
    memcpy(&dds, data, sizeof dds);
    if (dds.length != AP_DDS_SIZE)
        return EINVAL;
    int32_t result = EINVAL;
    if (dds.command == AP_QUERY_ADAPTER_STATUS)
        result = statusQuery(&dds);
    else if (dds.command == AP_ATE_PRINTF)
        result = ateMessage(&dds);
    else if (dds.command == AP_USER_TRACE)
        result = userTrace(&dds);
    memcpy(data, &dds, sizeof dds);
    return result;
}
