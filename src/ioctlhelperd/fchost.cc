// SPDX-FileCopyrightText: 2026 tamsk developers
// SPDX-License-Identifier: MIT
// ioctlhelperd: the status query answered from the Fibre Channel hosts that
// Linux lists under DIR/class/fc_host, read afresh for every query.
#define _FILE_OFFSET_BITS 64 // 32-bit builds: stat and readdir take any inode number

#include "helperd.h"

#include <algorithm>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <dirent.h>
#include <fcntl.h>
#include <iterator>
#include <sys/stat.h>
#include <unistd.h>

namespace {

constexpr size_t ATTR_SIZE = 256; // room for the longest attribute, symbolic_name
constexpr uint32_t HRM_INSTALLED = 1u << 31, HRM_AVAILABLE = 1u << 29; // of cluster 0
constexpr uint32_t PORT_ONLINE_0 = 1u << 15; // port n: bit 15 - n

// One port: the class/fc_host entry and where it sorts within its adapter.
struct FcPort {
    uint32_t function, hostNo;
    char name[sizeof "host4294967295"];
};

// One PCI device; key holds domain, bus and device (domain << 16 | bus << 8 | device).
struct FcAdapter {
    uint64_t key;
    int32_t portCount;
    FcPort ports[AP_MAX_PORTS]; // the first ports by function, then host number
};

// The adapters of the lowest PCI addresses, in PCI address order.
struct FcTable {
    FcAdapter adapters[MAX_ADAPTERS];
    int32_t count;
};

enum Attr { PORT_NAME, PORT_TYPE, PORT_STATE, SPEED, PORT_ID, FABRIC_NAME, NODE_NAME, SYMBOLIC_NAME, SUPPORTED_SPEEDS };
constexpr const char *ATTR_FILES[] = {"port_name", "port_type", "port_state", "speed", "port_id", "fabric_name",
                                      "node_name", "symbolic_name", "supported_speeds"};
struct HostAttrs {
    bool present;
    char text[std::size(ATTR_FILES)][ATTR_SIZE]; // "" when missing or unreadable
};

// port_state texts; adapterStatus holds each port's index here, 0 for any other text.
constexpr const char *PORT_STATES[] = {"Unknown", "Not Present", "Online", "Offline", "Blocked", "Bypassed",
                                       "Diagnostics", "Linkdown", "Error", "Loopback", "Deleted", "Marginal"};
constexpr uint32_t STATE_ONLINE = 2;

struct TopologyWord {
    const char *word; // port_type starts with it, then a blank or the end
    uint16_t topology;
};
constexpr TopologyWord TOPOLOGIES[] = {{"NPort", OS_OPEN_POINT_TO_POINT},
                                       {"Point-To-Point", OS_OPEN_POINT_TO_POINT},
                                       {"NPIV VPORT", OS_OPEN_POINT_TO_POINT},
                                       {"NLPort", OS_FC_AL},
                                       {"LPort", OS_FC_AL}};

// Opens path, relative to root, one directory at a time and following no
// symbolic link, so nothing outside root is reached. Returns -1 on failure.
int openBeneath(int root, const char *path)
{
    char copy[PATH_MAX];
    snprintf(copy, sizeof copy, "%s", path);
    int fd = -1;
    char *save = nullptr;
    for (char *c = strtok_r(copy, "/", &save); c; c = strtok_r(nullptr, "/", &save)) {
        int next = openat(fd == -1 ? root : fd, c, O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
        if (fd != -1)
            close(fd);
        if (next == -1)
            return -1;
        fd = next;
    }
    return fd;
}

// The directory that the link class/fc_host/name points to, as a path
// relative to the tree's root, ".." taken from the link text itself. False
// for an absolute link, or one that climbs above the root. A link text is
// shorter than PATH_MAX, so it always fits with its terminator.
bool resolveLink(int fcDir, const char *name, char *path, size_t size)
{
    char link[PATH_MAX];
    ssize_t n = readlinkat(fcDir, name, link, sizeof link - 1);
    if (n <= 0 || link[0] == '/')
        return false;
    link[n] = '\0';
    size_t len = size_t(snprintf(path, size, "class/fc_host"));
    char *save = nullptr;
    for (char *c = strtok_r(link, "/", &save); c; c = strtok_r(nullptr, "/", &save)) {
        if (!strcmp(c, "..")) {
            if (len == 0)
                return false;
            char *slash = strrchr(path, '/');
            len = slash ? size_t(slash - path) : 0;
            path[len] = '\0';
        } else if (strcmp(c, ".")) {
            int added = snprintf(path + len, size - len, "%s%s", len ? "/" : "", c);
            if (added < 0 || size_t(added) >= size - len)
                return false;
            len += size_t(added);
        }
    }
    return len > 0;
}

// A PCI function address, "0000:3b:00.1": the adapter key and the function.
bool parsePci(const char *c, uint64_t *key, uint32_t *function)
{
    size_t len = strlen(c);
    unsigned domain, bus, device, fn;
    int end = 0;
    if (len < 12 || len > 16 || strspn(c, "0123456789abcdef:.") != len || c[len - 8] != ':' ||
        sscanf(c, "%8x:%2x:%2x.%1x%n", &domain, &bus, &device, &fn, &end) != 4 || size_t(end) != len)
        return false;
    *key = uint64_t(domain) << 16 | bus << 8 | device;
    *function = fn;
    return true;
}

// The PCI function of a host: the last PCI address on its device path.
bool pciFunction(const char *path, uint64_t *key, uint32_t *function)
{
    char copy[PATH_MAX];
    snprintf(copy, sizeof copy, "%s", path);
    bool found = false;
    char *save = nullptr;
    for (char *c = strtok_r(copy, "/", &save); c; c = strtok_r(nullptr, "/", &save))
        found = parsePci(c, key, function) || found;
    return found;
}

bool earlier(const FcPort &a, const FcPort &b)
{
    return a.function != b.function ? a.function < b.function : a.hostNo < b.hostNo;
}

// Counts port p on its adapter; the table keeps the MAX_ADAPTERS lowest keys.
void addPort(FcTable *t, uint64_t key, const FcPort &p)
{
    int32_t i = 0;
    while (i < t->count && t->adapters[i].key < key)
        ++i;
    if (i == MAX_ADAPTERS)
        return;
    if (i == t->count || t->adapters[i].key != key) {
        size_t moved = size_t(std::min(t->count, MAX_ADAPTERS - 1) - i);
        memmove(&t->adapters[i + 1], &t->adapters[i], moved * sizeof(FcAdapter));
        t->adapters[i] = {key, 0, {}};
        t->count = std::min(t->count + 1, MAX_ADAPTERS);
    }
    FcAdapter &a = t->adapters[i];
    int32_t held = std::min(a.portCount, AP_MAX_PORTS), at = 0;
    while (at < held && earlier(a.ports[at], p))
        ++at;
    if (at < AP_MAX_PORTS) {
        memmove(&a.ports[at + 1], &a.ports[at], size_t(std::min(held, AP_MAX_PORTS - 1) - at) * sizeof(FcPort));
        a.ports[at] = p;
    }
    ++a.portCount;
}

// "host" and a decimal number.
bool hostNumber(const char *name, uint32_t *number)
{
    if (strncmp(name, "host", 4))
        return false;
    size_t digits = strlen(name + 4);
    if (digits == 0 || digits > 9 || strspn(name + 4, "0123456789") != digits)
        return false;
    *number = uint32_t(strtoul(name + 4, nullptr, 10));
    return true;
}

// Reads the hosts under root into t. Entries that are not hostN links to a
// directory that opens beneath root, with a PCI function on its path, are
// passed over.
void scanHosts(int root, FcTable *t)
{
    t->count = 0;
    int fcDir = openBeneath(root, "class/fc_host");
    DIR *d = fdopendir(fcDir); // fails on -1 too, and then the close does nothing
    if (!d) {
        close(fcDir);
        return;
    }
    char path[PATH_MAX];
    uint64_t key = 0;
    for (dirent *e; (e = readdir(d));) {
        FcPort p = {};
        if (strlen(e->d_name) < sizeof p.name && hostNumber(e->d_name, &p.hostNo) &&
            resolveLink(fcDir, e->d_name, path, sizeof path) && pciFunction(path, &key, &p.function)) {
            int dir = openBeneath(root, path);
            if (dir == -1)
                continue;
            close(dir);
            strcpy(p.name, e->d_name);
            addPort(t, key, p);
        }
    }
    closedir(d);
}

// The first line of attribute name in dir, at most size - 1 bytes, other
// non-printable bytes as '?'; "" when missing, unreadable or not a regular
// file. Device nodes and FIFOs are never opened: their open may block or act.
void readAttr(int dir, const char *name, char *out, size_t size)
{
    out[0] = '\0';
    struct stat st;
    if (fstatat(dir, name, &st, AT_SYMLINK_NOFOLLOW) != 0 || !S_ISREG(st.st_mode))
        return;
    int fd = openat(dir, name, O_RDONLY | O_NONBLOCK | O_NOFOLLOW | O_CLOEXEC);
    if (fd == -1)
        return;
    ssize_t n = fstat(fd, &st) == 0 && S_ISREG(st.st_mode) ? read(fd, out, size - 1) : 0;
    close(fd);
    out[n > 0 ? n : 0] = '\0';
    out[strcspn(out, "\n")] = '\0';
    for (char *c = out; *c; ++c)
        *c = *c < ' ' || *c > '~' ? '?' : *c;
}

// The attributes of host name, found again from its link: it may have gone.
void readHost(int root, const char *name, HostAttrs *h)
{
    *h = {};
    char path[PATH_MAX];
    int fcDir = openBeneath(root, "class/fc_host");
    int dir = fcDir != -1 && resolveLink(fcDir, name, path, sizeof path) ? openBeneath(root, path) : -1;
    if (fcDir != -1)
        close(fcDir);
    if (dir == -1)
        return;
    h->present = true;
    for (size_t i = 0; i < std::size(ATTR_FILES); ++i)
        readAttr(dir, ATTR_FILES[i], h->text[i], sizeof h->text[i]);
    close(dir);
}

// ---- the answer

uint16_t topologyOf(const char *portType)
{
    for (const TopologyWord &t : TOPOLOGIES) {
        size_t len = strlen(t.word);
        if (!strncmp(portType, t.word, len) && (portType[len] == ' ' || portType[len] == '\0'))
            return t.topology;
    }
    return OS_TOPOLOGY_UNKNOWN;
}

uint32_t stateOf(const char *portState)
{
    for (uint32_t i = 0; i < std::size(PORT_STATES); ++i)
        if (!strcmp(portState, PORT_STATES[i]))
            return i;
    return 0;
}

// "N Gbit" as N, at most 255; anything else 0.
uint32_t gbitOf(const char *speed)
{
    char *end = nullptr;
    unsigned long v = speed[0] >= '0' && speed[0] <= '9' ? strtoul(speed, &end, 10) : 0;
    return end && !strcmp(end, " Gbit") ? uint32_t(std::min(v, 255ul)) : 0;
}

const char *shown(const char *text)
{
    return text[0] ? text : "unknown";
}

// The status words and ports of adapter a, the index-th, from its hosts.
void fillAnswer(const FcAdapter &a, int32_t index, const HostAttrs *hosts, AdapterQuery *q)
{
    int32_t held = std::min(a.portCount, AP_MAX_PORTS);
    q->adapterId = index == 0 ? 0xB00 : 0xB06;
    snprintf(q->locationCode, sizeof q->locationCode, "%04x:%02x:%02x", unsigned(a.key >> 16),
             unsigned(a.key >> 8 & 0xFF), unsigned(a.key & 0xFF));
    q->numOfAdapterPorts = uint8_t(std::min(a.portCount, 255));
    q->adapterHrmStatus = HRM_INSTALLED;
    for (int32_t i = 0; i < held; ++i) {
        const HostAttrs &h = hosts[i];
        uint32_t state = stateOf(h.text[PORT_STATE]);
        if (!strncmp(h.text[PORT_NAME], "0x", 2)) // else left zero
            readWwpn(h.text[PORT_NAME] + 2, strlen(h.text[PORT_NAME]) - 2, q->wwpn[i]);
        q->topology[i] = topologyOf(h.text[PORT_TYPE]);
        q->fc_fiber_speed = uint8_t(std::max(uint32_t(q->fc_fiber_speed), gbitOf(h.text[SPEED])));
        q->adapterStatus |= state << (12 - 4 * i);
        q->fourPortStatus |= h.present ? 8u >> i : 0;
        if (state == STATE_ONLINE) {
            q->portHrmStatus |= PORT_ONLINE_0 >> i;
            q->adapterHrmStatus |= HRM_AVAILABLE;
        }
    }
}

// The text of query type 2 (about the adapter, from its first port) or 4
// (about the port). Each value is cut at the length of its longest kernel
// form, the free-text symbolic name at 255, so the text fits the field.
void writeText(const FcAdapter &a, const char *name, uint32_t type, uint8_t port, const HostAttrs *hosts,
               AdapterQuery *q)
{
    const auto &h = hosts[type == QUERY_HA_PORT_PHYS_CFG ? port : 0].text;
    if (type == QUERY_HA_PHYS_CFG)
        snprintf(q->resultText, sizeof q->resultText,
                 "adapter %s at %s: %.255s; supported speeds %.120s; node name %.20s", name, q->locationCode,
                 shown(h[SYMBOLIC_NAME]), shown(h[SUPPORTED_SPEEDS]), shown(h[NODE_NAME]));
    if (type == QUERY_HA_PORT_PHYS_CFG)
        snprintf(q->resultText, sizeof q->resultText,
                 "adapter %s port %u (%s): port name %.20s; port id %.10s; state %.20s; type %.60s; speed %.20s; "
                 "fabric name %.20s",
                 name, port, a.ports[port].name, shown(h[PORT_NAME]), shown(h[PORT_ID]), shown(h[PORT_STATE]),
                 shown(h[PORT_TYPE]), shown(h[SPEED]), shown(h[FABRIC_NAME]));
}

// wyrafc000 to wyrafc063 as 0 to 63; MAX_ADAPTERS for any other name.
int32_t adapterIndex(const char *name)
{
    bool named = strlen(name) == 9 && !strncmp(name, "wyrafc", 6) && strspn(name + 6, "0123456789") == 3;
    return named ? std::min(atoi(name + 6), MAX_ADAPTERS) : MAX_ADAPTERS;
}

} // namespace

int32_t fcHostQuery(const char *sysfsDir, AdapterQuery *q)
{
    char name[sizeof q->logicalName + 1] = {};
    memcpy(name, q->logicalName, sizeof q->logicalName);
    uint32_t type = q->queryType;
    uint8_t port = q->portNumber;
    int root = open(sysfsDir, O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (root == -1)
        return RC_NO_ADAPTER; // no tree, no adapters
    FcTable t;
    scanHosts(root, &t);
    int32_t index = adapterIndex(name);
    if (index >= t.count) {
        close(root);
        return RC_NO_ADAPTER;
    }
    int32_t held = std::min(t.adapters[index].portCount, AP_MAX_PORTS);
    int32_t rc = queryProblem(type, port, held);
    HostAttrs hosts[AP_MAX_PORTS];
    for (int32_t i = 0; rc == 0 && i < held; ++i)
        readHost(root, t.adapters[index].ports[i].name, &hosts[i]);
    close(root);
    if (rc != 0)
        return rc;
    AdapterQuery answer = {};
    memcpy(answer.logicalName, q->logicalName, sizeof answer.logicalName);
    fillAnswer(t.adapters[index], index, hosts, &answer);
    writeText(t.adapters[index], name, type, port, hosts, &answer);
    *q = answer;
    return 0;
}
