// ioctlhelperd: the stand-in for the AP code behind ioctl 27 (status query,
// messages, trace events) and the model file that describes its adapters.
#include "helperd.h"

#include "apcfgcommon.h"

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace {

constexpr int32_t MAX_ADAPTERS = 64;
constexpr int32_t MODEL_LINE_MAX = 1024;
constexpr int32_t REFUSED_MESSAGE = 5; // EIO, for messages past the limit

// returnCode values of the status query.
constexpr uint8_t RC_NO_ADAPTER = 2;
constexpr uint8_t RC_BAD_QUERY_TYPE = 3;
constexpr uint8_t RC_NO_PORT = 4;

struct AdapterModel {
    char name[10];
    char loc[16];
    uint32_t id, status, fourPort, hrm, portHrm;
    uint16_t topo[AP_MAX_PORTS];
    uint8_t wwpn[AP_MAX_PORTS][8];
    uint8_t ports, speed;
    uint8_t rc;          // non-zero: the query answers only this returnCode
    int32_t ioctlResult; // non-zero: the query answers this, block unchanged
};

struct ApModel {
    AdapterModel adapters[MAX_ADAPTERS];
    int32_t count;
    int32_t messageLimit; // messages accepted before refusing; -1: no limit
    int32_t traceResult;
};

// Built-in demo adapters; every value is made up.
ApModel model = {
    {
        {"wyrafc000", "BAY1-SLOT3", 0xB00, 0x00000011, 0x0000000F, 0xA0004400, 0x2000E008,
         {OS_OPEN_POINT_TO_POINT, OS_FC_AL, OS_OPEN_POINT_TO_POINT, OS_TOPOLOGY_UNKNOWN},
         {{0x10, 0x00, 0x0A, 0xBC, 0xDE, 0xF0, 0x00, 0x01},
          {0x10, 0x00, 0x0A, 0xBC, 0xDE, 0xF0, 0x00, 0x02},
          {0x10, 0x00, 0x0A, 0xBC, 0xDE, 0xF0, 0x00, 0x03},
          {0x10, 0x00, 0x0A, 0xBC, 0xDE, 0xF0, 0x00, 0x04}},
         4, 0x08, 0, 0},
        {"wyrafc001", "BAY2-SLOT1", 0xB06, 0x00000013, 0x0000000B, 0x50004800, 0x1080C800,
         {OS_OPEN_POINT_TO_POINT, OS_OPEN_POINT_TO_POINT, OS_FICON_POINT_TO_POINT,
          OS_OPEN_FICON_POINT_TO_POINT},
         {{0x10, 0x00, 0x0A, 0xBC, 0xDE, 0xF1, 0x00, 0x01},
          {0x10, 0x00, 0x0A, 0xBC, 0xDE, 0xF1, 0x00, 0x02},
          {0x10, 0x00, 0x0A, 0xBC, 0xDE, 0xF1, 0x00, 0x03},
          {0x10, 0x00, 0x0A, 0xBC, 0xDE, 0xF1, 0x00, 0x04}},
         4, 0x10, 0, 0},
    },
    2, -1, 0};

std::atomic<int32_t> messagesTaken{0};

// ---- status query

const char *topologyText(uint16_t value)
{
    constexpr const char *names[] = {"unknown", "point-to-point", "loop",
                                     "FICON point-to-point", "open/FICON point-to-point"};
    return value < 5 ? names[value] : "not recognized";
}

void appendText(char *buf, size_t size, size_t *used, const char *fmt, ...)
    __attribute__((format(printf, 4, 5)));

void appendText(char *buf, size_t size, size_t *used, const char *fmt, ...)
{
    if (*used + 1 >= size)
        return;
    va_list ap;
    va_start(ap, fmt);
    int k = vsnprintf(buf + *used, size - *used, fmt, ap);
    va_end(ap);
    if (k > 0)
        *used = std::min(size - 1, *used + size_t(k));
}

void appendPort(char *buf, size_t size, size_t *used, const AdapterModel &a, int32_t port)
{
    const uint8_t *w = a.wwpn[port];
    bool online = a.portHrm & (0x8000u >> port);
    appendText(buf, size, used,
               "port %d: WWPN %02X:%02X:%02X:%02X:%02X:%02X:%02X:%02X, topology %u %s, %s",
               port, w[0], w[1], w[2], w[3], w[4], w[5], w[6], w[7], a.topo[port],
               topologyText(a.topo[port]), online ? "online" : "offline");
}

void adapterText(char *buf, size_t size, const AdapterModel &a)
{
    size_t used = 0;
    appendText(buf, size, &used,
               "adapter %s, id 0x%X, location %s, %u ports\n"
               "status 0x%08X, fibre speed 0x%02X, four-port status 0x%08X",
               a.name, a.id, a.loc, a.ports, a.status, a.speed, a.fourPort);
    for (int32_t p = 0; p < a.ports; ++p) {
        appendText(buf, size, &used, "\n");
        appendPort(buf, size, &used, a, p);
    }
}

void portText(char *buf, size_t size, const AdapterModel &a, int32_t port)
{
    size_t used = 0;
    appendText(buf, size, &used, "adapter %s, id 0x%X, location %s, ", a.name, a.id, a.loc);
    appendPort(buf, size, &used, a, port);
}

const AdapterModel *findAdapter(const ApModel &m, const char *name)
{
    for (int32_t i = 0; i < m.count; ++i)
        if (!strcmp(m.adapters[i].name, name))
            return &m.adapters[i];
    return nullptr;
}

// Fills the answer fields; returns the query's returnCode.
uint8_t fillQuery(AdapterQuery *q, const AdapterModel *a, uint32_t type, uint8_t port)
{
    if (!a)
        return RC_NO_ADAPTER;
    if (a->rc)
        return a->rc;
    if (type != QUERY_KERNEL_STATUS && type != QUERY_HA_PHYS_CFG && type != QUERY_HA_PORT_PHYS_CFG)
        return RC_BAD_QUERY_TYPE;
    if (type == QUERY_HA_PORT_PHYS_CFG && port >= a->ports)
        return RC_NO_PORT;
    memcpy(q->locationCode, a->loc, sizeof q->locationCode);
    q->adapterId = a->id;
    memcpy(q->topology, a->topo, sizeof q->topology);
    q->numOfAdapterPorts = a->ports; // overwrites portNumber
    q->adapterStatus = a->status;    // overwrites queryType
    q->adapterHrmStatus = a->hrm;
    q->portHrmStatus = a->portHrm;
    memcpy(q->wwpn, a->wwpn, sizeof q->wwpn);
    q->fc_fiber_speed = a->speed;
    q->fourPortStatus = a->fourPort;
    if (type == QUERY_HA_PHYS_CFG)
        adapterText(q->resultText, sizeof q->resultText, *a);
    else if (type == QUERY_HA_PORT_PHYS_CFG)
        portText(q->resultText, sizeof q->resultText, *a, port);
    return 0;
}

int32_t statusQuery(AdapterDds *dds)
{
    AdapterQuery *q = &dds->query;
    char name[sizeof q->logicalName + 1] = {};
    memcpy(name, q->logicalName, sizeof q->logicalName);
    uint32_t type = q->queryType;
    uint8_t port = q->portNumber;
    const AdapterModel *a = findAdapter(model, name);
    int32_t result = a ? a->ioctlResult : 0;
    if (result == 0)
        q->returnCode = fillQuery(q, a, type, port);
    char shown[4 * sizeof name + 3];
    if (!escapeText(name, strlen(name), shown, sizeof shown))
        strcpy(shown, "\"\"");
    logEvent("query %s type %u port %u -> ioctl %d returnCode %u", shown, type, port, result,
             q->returnCode);
    return result;
}

// ---- messages and trace events

void outcomeText(char *buf, size_t size, int32_t result)
{
    if (result)
        snprintf(buf, size, " -> ioctl %d", result);
    else
        buf[0] = '\0';
}

int32_t ateMessage(const AdapterDds *dds)
{
    const char *msg = dds->ate.message;
    const char *end = static_cast<const char *>(memchr(msg, 0, AP_MSG_SIZE));
    int32_t result = EINVAL; // the text must end inside its 512 bytes
    if (end) {
        bool refuse = model.messageLimit >= 0 && messagesTaken++ >= model.messageLimit;
        result = refuse ? REFUSED_MESSAGE : 0;
    }
    char shown[4 * AP_MSG_SIZE + 1];
    escapeText(msg, end ? size_t(end - msg) : AP_MSG_SIZE, shown, sizeof shown);
    char outcome[32];
    outcomeText(outcome, sizeof outcome, result);
    logEvent("message \"%s\"%s", shown, outcome);
    return result;
}

int32_t userTrace(const AdapterDds *dds)
{
    const UserTrace &t = dds->trace;
    const char *name = traceName(t.eventId);
    char outcome[32];
    outcomeText(outcome, sizeof outcome, model.traceResult);
    logEvent("trace %u%s%s d1=0x%x d2=0x%x d3=0x%x d4=0x%x d5=%d%s", t.eventId, name ? " " : "",
             name ? name : "", t.d1, t.d2, t.d3, t.d4, t.d5, outcome);
    return model.traceResult;
}

// ---- model file

enum KeyResult { KEY_OK, KEY_BAD_VALUE, KEY_UNKNOWN };

// Decimal, or hexadecimal after 0x; the whole text within [min, max].
bool parseNumber(const char *text, long long min, long long max, long long *out)
{
    bool hex = text[0] == '0' && (text[1] == 'x' || text[1] == 'X');
    if (!*text || (hex && !text[2]))
        return false;
    char *end = nullptr;
    errno = 0;
    long long v = strtoll(text, &end, hex ? 16 : 10);
    if (*end || errno || v < min || v > max)
        return false;
    *out = v;
    return true;
}

template <typename T>
bool parseField(const char *text, long long min, long long max, T *out)
{
    long long v = 0;
    if (!parseNumber(text, min, max, &v))
        return false;
    *out = T(v);
    return true;
}

bool copyWord(const char *text, char *out, size_t size)
{
    if (strlen(text) >= size)
        return false;
    strcpy(out, text);
    return true;
}

// Splits a comma list of one to four items into items, terminated in place.
int32_t splitList(char *text, char *items[AP_MAX_PORTS])
{
    int32_t n = 0;
    for (char *item = text;; ++n) {
        char *comma = strchr(item, ',');
        if (n == AP_MAX_PORTS || !*item)
            return -1;
        items[n] = item;
        if (!comma)
            return n + 1;
        *comma = '\0';
        item = comma + 1;
    }
}

bool parseTopology(char *text, uint16_t topo[AP_MAX_PORTS])
{
    char *items[AP_MAX_PORTS];
    int32_t n = splitList(text, items);
    for (int32_t i = 0; i < n; ++i) {
        if (!parseField(items[i], 0, 0xFFFF, &topo[i]))
            return false;
    }
    return n > 0;
}

bool parseWwpns(char *text, uint8_t wwpn[AP_MAX_PORTS][8])
{
    char *items[AP_MAX_PORTS];
    int32_t n = splitList(text, items);
    for (int32_t i = 0; i < n; ++i) {
        if (strlen(items[i]) != 16 || strspn(items[i], "0123456789abcdefABCDEF") != 16)
            return false;
        for (int32_t b = 0; b < 8; ++b) {
            char pair[3] = {items[i][2 * b], items[i][2 * b + 1], '\0'};
            wwpn[i][b] = uint8_t(strtoul(pair, nullptr, 16));
        }
    }
    return n > 0;
}

KeyResult setKey(AdapterModel *a, const char *key, char *value)
{
    bool ok = false;
    constexpr long long U32 = 0xFFFFFFFF;
    if (!strcmp(key, "id"))
        ok = parseField(value, 0, U32, &a->id);
    else if (!strcmp(key, "ports"))
        ok = parseField(value, 0, AP_MAX_PORTS, &a->ports);
    else if (!strcmp(key, "status"))
        ok = parseField(value, 0, U32, &a->status);
    else if (!strcmp(key, "speed"))
        ok = parseField(value, 0, 0xFF, &a->speed);
    else if (!strcmp(key, "fourport"))
        ok = parseField(value, 0, U32, &a->fourPort);
    else if (!strcmp(key, "hrm"))
        ok = parseField(value, 0, U32, &a->hrm);
    else if (!strcmp(key, "porthrm"))
        ok = parseField(value, 0, U32, &a->portHrm);
    else if (!strcmp(key, "loc"))
        ok = copyWord(value, a->loc, sizeof a->loc);
    else if (!strcmp(key, "topo"))
        ok = parseTopology(value, a->topo);
    else if (!strcmp(key, "wwpn"))
        ok = parseWwpns(value, a->wwpn);
    else if (!strcmp(key, "rc"))
        ok = parseField(value, 0, 0xFF, &a->rc);
    else if (!strcmp(key, "ioctl"))
        ok = parseField(value, INT32_MIN, INT32_MAX, &a->ioctlResult);
    else
        return KEY_UNKNOWN;
    return ok ? KEY_OK : KEY_BAD_VALUE;
}

constexpr char SPACE[] = " \t\r\n";

// "messages refuse=N" or "traces rc=N".
bool parseGlobal(const char *first, char **save, ApModel *m, char *err, size_t errSize)
{
    bool messages = !strcmp(first, "messages");
    const char *key = messages ? "refuse=" : "rc=";
    int32_t *target = messages ? &m->messageLimit : &m->traceResult;
    char *word = strtok_r(nullptr, SPACE, save);
    if (!word || strncmp(word, key, strlen(key)) ||
        !parseField(word + strlen(key), messages ? 0 : INT32_MIN, INT32_MAX, target) ||
        strtok_r(nullptr, SPACE, save)) {
        snprintf(err, errSize, "expected \"%s %sN\"%s", first, key,
                 messages ? " with N at least 0" : "");
        return false;
    }
    return true;
}

bool parseAdapter(char *name, char **save, ApModel *m, char *err, size_t errSize)
{
    if (strchr(name, '=')) {
        snprintf(err, errSize, "expected an adapter name first, found \"%.100s\"", name);
        return false;
    }
    if (strlen(name) >= sizeof m->adapters[0].name) {
        snprintf(err, errSize, "adapter name \"%.100s\" longer than 9 characters", name);
        return false;
    }
    if (findAdapter(*m, name)) {
        snprintf(err, errSize, "adapter %s described twice", name);
        return false;
    }
    if (m->count == MAX_ADAPTERS) {
        snprintf(err, errSize, "more than %d adapters", MAX_ADAPTERS);
        return false;
    }
    AdapterModel *a = &m->adapters[m->count++];
    strcpy(a->name, name);
    for (char *word; (word = strtok_r(nullptr, SPACE, save));) {
        char *eq = strchr(word, '=');
        if (!eq) {
            snprintf(err, errSize, "expected key=value, found \"%.100s\"", word);
            return false;
        }
        *eq = '\0';
        KeyResult r = setKey(a, word, eq + 1);
        if (r == KEY_UNKNOWN)
            snprintf(err, errSize, "unknown key \"%.100s\"", word);
        else if (r == KEY_BAD_VALUE)
            snprintf(err, errSize, "bad value for %.100s: \"%.100s\"", word, eq + 1);
        if (r != KEY_OK)
            return false;
    }
    return true;
}

bool parseLine(char *line, ApModel *m, char *err, size_t errSize)
{
    if (char *hash = strchr(line, '#'))
        *hash = '\0';
    char *save = nullptr;
    char *first = strtok_r(line, SPACE, &save);
    if (!first)
        return true;
    if (!strcmp(first, "messages") || !strcmp(first, "traces"))
        return parseGlobal(first, &save, m, err, errSize);
    return parseAdapter(first, &save, m, err, errSize);
}

} // namespace

int32_t apModelLoad(const char *path)
{
    FILE *f = fopen(path, "re");
    if (!f) {
        fprintf(stderr, "ioctlhelperd: cannot open model file %s: %s\n", path, strerror(errno));
        return -1;
    }
    ApModel loaded = {};
    loaded.messageLimit = -1;
    char line[MODEL_LINE_MAX];
    char err[MODEL_LINE_MAX + 64] = "";
    int32_t lineNo = 0;
    bool ok = true;
    while (ok && fgets(line, sizeof line, f)) {
        ++lineNo;
        ok = strchr(line, '\n') || feof(f);
        if (!ok)
            snprintf(err, sizeof err, "line longer than %d characters", MODEL_LINE_MAX - 2);
        else
            ok = parseLine(line, &loaded, err, sizeof err);
    }
    if (ok && ferror(f)) {
        snprintf(err, sizeof err, "read error: %s", strerror(errno));
        ok = false;
    }
    fclose(f);
    if (!ok) {
        fprintf(stderr, "ioctlhelperd: %s:%d: %s\n", path, lineNo, err);
        return -1;
    }
    model = loaded;
    return 0;
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
