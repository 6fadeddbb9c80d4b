// SPDX-FileCopyrightText: 2026 tamsk developers
// SPDX-License-Identifier: MIT
// ioctlhelperd: the model file, which describes the adapters of the emulated
// AP code, its reading and checking, and the built-in adapters.
#include "helperd.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <iterator>

namespace {

constexpr int32_t MODEL_LINE_MAX = 1024;

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
    if (k.kind == WWPN)
        return readWwpn(text, len, field);
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

// Parses one line into m; a bad line fills err.
void parseLine(char *line, ApModel *m, char *err, size_t errSize)
{
    constexpr char SPACE[] = " \t\r\n";
    line[strcspn(line, "#")] = '\0';
    char *save = nullptr;
    char *first = strtok_r(line, SPACE, &save);
    if (!first)
        return;
    uint8_t *target = reinterpret_cast<uint8_t *>(m);
    const ModelKey *keys = &MESSAGES_KEY;
    size_t count = 1;
    if (!strcmp(first, "traces")) {
        keys = &TRACES_KEY;
    } else if (strcmp(first, "messages")) {
        if (strchr(first, '=') || strlen(first) >= sizeof(Adapter::name) || findAdapter(*m, first) ||
            m->count == MAX_ADAPTERS) {
            snprintf(err, errSize, "bad adapter \"%s\"", first); // a new name, at most 9 characters
            return;
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
            return;
        }
    }
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

} // namespace

ApModel apModel = builtInModel();

bool readWwpn(const char *text, size_t len, uint8_t *wwpn)
{
    if (len != 16 || strspn(text, "0123456789abcdefABCDEF") < 16)
        return false;
    unsigned long long v = strtoull(text, nullptr, 16);
    for (int32_t b = 0; b < 8; ++b)
        wwpn[b] = uint8_t(v >> (56 - 8 * b));
    return true;
}

const Adapter *findAdapter(const ApModel &m, const char *name)
{
    for (int32_t i = 0; i < m.count; ++i)
        if (!strcmp(m.adapters[i].name, name))
            return &m.adapters[i];
    return nullptr;
}

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
    apModel = loaded;
    return true;
}
