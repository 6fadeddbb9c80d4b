// SPDX-FileCopyrightText: 2026 tamsk developers
// SPDX-License-Identifier: MIT
// ioctlhelperd: the status query and the inventory answered from the Fibre
// Channel hosts that Linux lists under DIR/class/fc_host, read afresh each time.
#define _FILE_OFFSET_BITS 64 // 32-bit builds: stat and readdir take any inode number

#include "helperd.h"

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <dirent.h>
#include <fcntl.h>
#include <iterator>
#include <strings.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

constexpr size_t ATTR_SIZE = 256; // room for the longest attribute, symbolic_name
constexpr uint32_t HRM_INSTALLED = 1u << 31, HRM_AVAILABLE = 1u << 29; // of cluster 0
constexpr uint32_t PORT_ONLINE_0 = 1u << 15; // port n: bit 15 - n
constexpr int32_t MAX_HOSTS = 2048;          // class/fc_host entries read in one scan, the lowest numbers
constexpr int32_t MAX_DEPTH = 32;            // directories on a path: sysfs nests far less
constexpr int32_t HOSTS_TOLD = 16;          // hosts passed over named in one scan, the rest counted
constexpr int32_t VPORTS_HELD = 8;           // virtual ports a port's answer can name
constexpr uint32_t NO_HOST = UINT32_MAX;

enum Bus { PCI, VIO, CCW }; // adapters are named in this order, then by address

// A physical host: a port of its adapter, sorted by function, then host number.
struct FcPort {
    uint32_t function, hostNo;
    int32_t vportCount;
    uint32_t vports[VPORTS_HELD]; // their host numbers, the lowest
};

// A bus device that physical hosts sit under.
struct FcAdapter {
    int32_t pin, bus;  // the index of the name pinned to it, or -1; Bus
    char location[16]; // 0000:3b:00 (a PCI device, its functions together), 30000003, 0.0.1900
    int32_t index;     // of its name: wyrafc000 is 0; MAX_ADAPTERS: none
    int32_t portCount;
    FcPort ports[AP_MAX_PORTS]; // the first four
};

// Pinned adapters first, then by bus and address; later ones are left out.
struct FcTable {
    FcAdapter adapters[MAX_ADAPTERS];
    int32_t count;
    int32_t beyond; // ports of adapters past the last one kept
};

// Why a host is passed over.
enum Why { FOUND, CLIMBS_OUT, NO_WAY, NO_DEVICE_LINK, NO_BUS };
constexpr const char *WHY[] = {"", "a link climbs out of the tree", "no way into the device tree",
                               "a directory without a device link", "under "};

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
                                       {"NPIV VPORT", OS_OPEN_POINT_TO_POINT}, // a virtual port is on a fabric
                                       {"NLPort", OS_FC_AL},
                                       {"LPort", OS_FC_AL}};

// One line to the event log, or to standard output for the inventory.
__attribute__((format(printf, 2, 3))) void say(bool toLog, const char *fmt, ...)
{
    char line[2048];
    va_list ap;
    va_start(ap, fmt);
    vsnprintf(line, sizeof line, fmt, ap);
    va_end(ap);
    if (toLog)
        logEvent("%s", line);
    else
        puts(line);
}

// Opens path, relative to root, one directory at a time and following no
// symbolic link, so nothing outside root is reached; a path deeper than
// MAX_DEPTH is refused, so no tree makes a scan slow. Returns -1 on
// failure, errno telling why.
int openBeneath(int root, const char *path)
{
    char copy[PATH_MAX];
    snprintf(copy, sizeof copy, "%s", path);
    int fd = -1, depth = 0;
    char *save = nullptr;
    for (char *c = strtok_r(copy, "/", &save); c; c = strtok_r(nullptr, "/", &save)) {
        int next = ++depth > MAX_DEPTH ? (errno = ELOOP, -1)
                                       : openat(fd == -1 ? root : fd, c, O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
        int err = errno;
        if (fd != -1)
            close(fd);
        if (next == -1)
            return errno = err, -1;
        fd = next;
    }
    return fd;
}

// The path that path, relative to root, names: when its last component is
// a symbolic link, the link's text taken from the directory holding it,
// ".." removing a component; else path itself. The link is read from its
// directory, opened beneath root. False for an absolute link, one that
// climbs above root, or a path too long.
bool follow(int root, const char *path, char *out, size_t size)
{
    char link[PATH_MAX];
    if (snprintf(out, size, "%s", path) >= int(size))
        return false;
    char *slash = strrchr(out, '/'), *save = nullptr;
    size_t len = slash ? size_t(slash - out) : 0;
    out[len] = '\0';
    int dir = len ? openBeneath(root, out) : root;
    ssize_t n = dir == -1 ? -1 : readlinkat(dir, path + len + (slash ? 1 : 0), link, sizeof link - 1);
    if (len && dir != -1)
        close(dir);
    if (n <= 0) // not a link
        return snprintf(out, size, "%s", path) > 0;
    if (link[0] == '/')
        return false;
    link[n] = '\0';
    for (char *c = strtok_r(link, "/", &save); c; c = strtok_r(nullptr, "/", &save)) {
        if (!strcmp(c, "..")) {
            if (len == 0)
                return false;
            slash = strrchr(out, '/');
            out[len = slash ? size_t(slash - out) : 0] = '\0';
        } else if (strcmp(c, ".")) {
            int added = snprintf(out + len, size - len, "%s%s", len ? "/" : "", c);
            if (added < 0 || size_t(added) >= size - len)
                return false;
            len += size_t(added);
        }
    }
    return len > 0;
}

// Opens the attribute directory of host name, class/fc_host/name or where
// it links to, and finds the device path of its SCSI host (dev): where the
// directory sits, .../name/fc_host/name, or else (a directory of the older
// layout) where its device link leads, a directory in the tree. Returns the
// descriptor or -1; *why is FOUND when dev was found too.
int openHost(int root, const char *name, char *dev, size_t size, int32_t *why)
{
    char path[PATH_MAX], entry[PATH_MAX], tail[48];
    bool in = follow(root, "class/fc_host", path, sizeof path) &&
              snprintf(entry, sizeof entry, "%s/%s", path, name) < int(sizeof entry) &&
              follow(root, entry, path, sizeof path);
    int fd = in ? openBeneath(root, path) : -1;
    *why = !in ? CLIMBS_OUT : fd == -1 ? NO_WAY : FOUND;
    if (fd == -1)
        return -1;
    size_t len = strlen(path), t = size_t(snprintf(tail, sizeof tail, "/%s/fc_host/%s", name, name));
    struct stat st;
    int devFd = -1;
    if (len > t && !strcmp(path + len - t, tail))
        snprintf(dev, size, "%.*s", int(len - t + 1 + strlen(name)), path);
    else if (fstatat(fd, "device", &st, AT_SYMLINK_NOFOLLOW) != 0 || !S_ISLNK(st.st_mode))
        *why = NO_DEVICE_LINK; // a copy made following links holds a directory there
    else if (snprintf(entry, sizeof entry, "%s/device", path) >= int(sizeof entry) || !follow(root, entry, dev, size))
        *why = CLIMBS_OUT;
    else if ((devFd = openBeneath(root, dev)) == -1)
        *why = NO_WAY; // as in a copy of the class directory alone
    if (devFd != -1)
        close(devFd);
    return fd;
}

// "host" and a decimal number, as the kernel writes it.
bool hostNumber(const char *name, uint32_t *number)
{
    size_t digits = strlen(name) - 4;
    if (strncmp(name, "host", 4) || digits == 0 || digits > 9 || strspn(name + 4, "0123456789") != digits ||
        (name[4] == '0' && digits > 1))
        return false;
    *number = uint32_t(strtoul(name + 4, nullptr, 10));
    return true;
}

// wyrafc000 to wyrafc063, alone or before '=', as 0 to 63; MAX_ADAPTERS for any other name.
int32_t adapterIndex(const char *name)
{
    bool named = !strncmp(name, "wyrafc", 6) && strspn(name + 6, "0123456789") == 3 && strchr("=", name[9]);
    return named ? std::min(atoi(name + 6), MAX_ADAPTERS) : MAX_ADAPTERS;
}

// The index of the name pinned to the bus device named location, or -1.
int32_t pinOf(const SysfsOptions &o, const char *location)
{
    for (int32_t i = 0; i < o.pinCount; ++i)
        if (!strcasecmp(strchr(o.pins[i], '=') + 1, location))
            return adapterIndex(o.pins[i]);
    return -1;
}

// Sorts a host by the device path of its SCSI host: a port of the bus device
// directly above it (a, *function), or a virtual port of host *parent (a->bus
// -1). Returns FOUND, or NO_BUS with dev cut after the device above it.
int32_t classify(char *dev, const SysfsOptions &o, FcAdapter *a, uint32_t *function, uint32_t *parent)
{
    char *end = strrchr(dev, '/'), grand[16] = "";
    if (!end)
        return NO_BUS;
    *end = '\0';
    char *bus = strrchr(dev, '/');
    if (bus) {
        *bus = '\0';
        const char *g = strrchr(dev, '/');
        snprintf(grand, sizeof grand, "%.15s", g ? g + 1 : dev);
        *bus++ = '/';
    } else {
        bus = dev;
    }
    size_t len = strlen(bus);
    bool hex = len > 0 && strspn(bus, "0123456789abcdef") == len, dotted = strspn(bus, "0123456789abcdef:.") == len;
    unsigned d, b, s, f;
    int n = 0;
    if (dotted && len >= 12 && len <= 16 && bus[len - 8] == ':' &&
        sscanf(bus, "%8x:%2x:%2x.%1x%n", &d, &b, &s, &f, &n) == 4 && size_t(n) == len) {
        a->bus = PCI; // the function's address, 0000:3b:00.1
        *function = f;
        bus[len - 2] = '\0';
    } else if (hex && len <= 8 && !strcmp(grand, "vio")) {
        a->bus = VIO;
    } else if (dotted && len > 7 && bus[len - 5] == '.' && sscanf(bus, "%2x.%1x.%4x%n", &d, &b, &s, &n) == 3 &&
               size_t(n) == len) {
        a->bus = CCW; // a channel device, 0.0.1900
    } else if (!strncmp(bus, "vport-", 6) && hostNumber(grand, parent)) {
        a->bus = -1;
        return FOUND;
    } else {
        return NO_BUS;
    }
    snprintf(a->location, sizeof a->location, "%s", bus);
    a->pin = pinOf(o, a->location);
    return FOUND;
}

bool before(const FcAdapter &a, const FcAdapter &b)
{
    size_t la = strlen(a.location), lb = strlen(b.location); // same length: hex digits sort as text
    if (a.pin != b.pin)
        return uint32_t(a.pin) < uint32_t(b.pin); // -1, none, after every pin
    return a.bus != b.bus ? a.bus < b.bus : la != lb ? la < lb : strcmp(a.location, b.location) < 0;
}

// Counts port p on adapter a; the table keeps the first MAX_ADAPTERS.
void addPort(FcTable *t, const FcAdapter &a, const FcPort &p)
{
    int32_t i = 0;
    while (i < t->count && before(t->adapters[i], a))
        ++i;
    if (i == MAX_ADAPTERS) {
        ++t->beyond;
        return;
    }
    if (i == t->count || before(a, t->adapters[i])) {
        size_t moved = size_t(std::min(t->count, MAX_ADAPTERS - 1) - i);
        memmove(&t->adapters[i + 1], &t->adapters[i], moved * sizeof(FcAdapter));
        t->adapters[i] = a;
        t->count = std::min(t->count + 1, MAX_ADAPTERS);
    }
    FcAdapter &at = t->adapters[i];
    int32_t held = std::min(at.portCount, AP_MAX_PORTS), k = 0;
    while (k < held && (at.ports[k].function != p.function ? at.ports[k].function < p.function
                                                           : at.ports[k].hostNo < p.hostNo))
        ++k;
    if (k < AP_MAX_PORTS) {
        memmove(&at.ports[k + 1], &at.ports[k], size_t(std::min(held, AP_MAX_PORTS - 1) - k) * sizeof(FcPort));
        at.ports[k] = p;
    }
    ++at.portCount;
}

// Opens o.dir (*root) and reads its hosts into t in host number order,
// saying why each host that is neither a port nor a virtual port is passed
// over; names the adapters. Returns null, or (*root -1) why there is no
// class/fc_host to read.
const char *scanHosts(const SysfsOptions &o, bool toLog, FcTable *t, int *root)
{
    t->count = t->beyond = 0;
    char path[PATH_MAX];
    if ((*root = open(o.dir, O_RDONLY | O_DIRECTORY | O_CLOEXEC)) == -1)
        return strerror(errno);
    bool in = follow(*root, "class/fc_host", path, sizeof path);
    int fcDir = in ? openBeneath(*root, path) : -1;
    DIR *d = fcDir == -1 ? nullptr : fdopendir(fcDir);
    if (!d) {
        const char *why = in ? strerror(errno) : WHY[CLIMBS_OUT];
        for (int fd : {fcDir, *root})
            if (fd != -1)
                close(fd);
        *root = -1;
        return why;
    }
    struct Seen {
        uint32_t no, parent;
    } hosts[MAX_HOSTS];
    auto lower = [](const Seen &a, const Seen &b) { return a.no < b.no; };
    int32_t n = 0, more = 0;
    uint32_t no;
    for (dirent *e; (e = readdir(d));) { // a heap of the lowest numbers, whatever the directory's order
        if (!hostNumber(e->d_name, &no) || (n == MAX_HOSTS && (++more, no >= hosts[0].no)))
            continue;
        if (n == MAX_HOSTS)
            std::pop_heap(hosts, hosts + n--, lower);
        hosts[n++] = {no, NO_HOST};
        std::push_heap(hosts, hosts + n, lower);
    }
    closedir(d);
    if (more)
        say(toLog, "%d fc_host entries passed over: more than %d", more, MAX_HOSTS);
    std::sort_heap(hosts, hosts + n, lower);
    n = int32_t(std::unique(hosts, hosts + n, [](const Seen &a, const Seen &b) { return a.no == b.no; }) - hosts);
    int32_t told = 0; // hosts passed over: the first few are named, the rest counted
    for (Seen *h = hosts; h < hosts + n; ++h) {
        char name[16], shown[escapedSize(NAME_MAX)] = "";
        snprintf(name, sizeof name, "host%u", h->no);
        FcAdapter a = {};
        FcPort p = {0, h->no, 0, {}};
        int32_t why;
        int fd = openHost(*root, name, path, sizeof path, &why);
        if (fd != -1)
            close(fd);
        if (why == FOUND && (why = classify(path, o, &a, &p.function, &h->parent)) == FOUND && a.bus >= 0)
            addPort(t, a, p);
        const char *bus = strrchr(path, '/') ? strrchr(path, '/') + 1 : path;
        if (why == NO_BUS)
            escapeText(bus, strlen(bus), shown, sizeof shown);
        if (why != FOUND && told++ < HOSTS_TOLD)
            say(toLog, "fc_host %s passed over: %s%s%s", name, WHY[why], shown,
                why == NO_BUS ? ", not a PCI, VIO or ccw device" : "");
    }
    for (const Seen *h = hosts; h < hosts + n; ++h) { // each virtual port to its port
        bool found = false;
        for (int32_t i = 0; h->parent != NO_HOST && i < t->count; ++i)
            for (int32_t k = 0; k < std::min(t->adapters[i].portCount, AP_MAX_PORTS); ++k) {
                FcPort &p = t->adapters[i].ports[k];
                found = found || p.hostNo == h->parent;
                if (p.hostNo == h->parent && p.vportCount++ < VPORTS_HELD)
                    p.vports[p.vportCount - 1] = h->no;
            }
        if (h->parent != NO_HOST && !found && told++ < HOSTS_TOLD)
            say(toLog, "fc_host host%u passed over: a virtual port of host%u, which is no port", h->no, h->parent);
    }
    if (told > HOSTS_TOLD)
        say(toLog, "%d more fc_host entries passed over", told - HOSTS_TOLD);
    bool pinned[MAX_ADAPTERS + 1] = {}; // the names taken out of the ranking
    for (int32_t i = 0; i < o.pinCount; ++i)
        pinned[adapterIndex(o.pins[i])] = true;
    for (int32_t i = 0, next = 0; i < t->count; ++i) {
        while (next < MAX_ADAPTERS && pinned[next])
            ++next;
        FcAdapter &a = t->adapters[i];
        a.index = a.pin >= 0 ? a.pin : std::min(next++, MAX_ADAPTERS);
    }
    return nullptr;
}

const FcAdapter *named(const FcTable &t, int32_t index)
{
    for (int32_t i = 0; index < MAX_ADAPTERS && i < t.count; ++i)
        if (t.adapters[i].index == index)
            return &t.adapters[i];
    return nullptr;
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

// The attributes of host hostNo, found again: it may have gone.
void readHost(int root, uint32_t hostNo, HostAttrs *h)
{
    *h = {};
    char name[16], dev[PATH_MAX];
    int32_t why;
    snprintf(name, sizeof name, "host%u", hostNo);
    int dir = openHost(root, name, dev, sizeof dev, &why);
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

// The status words and ports of adapter a from its hosts.
void fillAnswer(const FcAdapter &a, const HostAttrs *hosts, AdapterQuery *q)
{
    int32_t held = std::min(a.portCount, AP_MAX_PORTS);
    q->adapterId = a.index == 0 ? 0xB00 : 0xB06;
    snprintf(q->locationCode, sizeof q->locationCode, "%s", a.location);
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
// (about the port, and its virtual ports as far as they fit). Each value is
// cut at the length of its longest kernel form, the free-text symbolic name
// at 255, so the text fits the field.
void writeText(int root, const FcAdapter &a, const char *name, uint32_t type, uint8_t port, const HostAttrs *hosts,
               AdapterQuery *q)
{
    const auto &h = hosts[type == QUERY_HA_PORT_PHYS_CFG ? port : 0].text;
    if (type == QUERY_HA_PHYS_CFG)
        snprintf(q->resultText, sizeof q->resultText,
                 "adapter %s at %s: %.255s; supported speeds %.120s; node name %.20s", name, q->locationCode,
                 shown(h[SYMBOLIC_NAME]), shown(h[SUPPORTED_SPEEDS]), shown(h[NODE_NAME]));
    if (type != QUERY_HA_PORT_PHYS_CFG)
        return;
    const FcPort &p = a.ports[port];
    size_t len = size_t(snprintf(
        q->resultText, sizeof q->resultText,
        "adapter %s port %u (host%u): port name %.20s; port id %.10s; state %.20s; type %.60s; speed %.20s; "
        "fabric name %.20s", name, port, p.hostNo, shown(h[PORT_NAME]), shown(h[PORT_ID]), shown(h[PORT_STATE]),
        shown(h[PORT_TYPE]), shown(h[SPEED]), shown(h[FABRIC_NAME])));
    if (p.vportCount)
        len += size_t(snprintf(q->resultText + len, sizeof q->resultText - len, "; virtual ports (%d):", p.vportCount));
    for (int32_t i = 0; i < p.vportCount; ++i) {
        HostAttrs v;
        char item[80] = "";
        if (i < VPORTS_HELD) {
            readHost(root, p.vports[i], &v);
            snprintf(item, sizeof item, "%s host%u %.20s %.20s", i ? "," : "", p.vports[i], shown(v.text[PORT_NAME]),
                     shown(v.text[PORT_STATE]));
        }
        if (!item[0] || len + strlen(item) + sizeof ", ..." > sizeof q->resultText) {
            snprintf(q->resultText + len, sizeof q->resultText - len, "%s ...", i ? "," : "");
            return;
        }
        len += size_t(snprintf(q->resultText + len, sizeof q->resultText - len, "%s", item));
    }
}

// The inventory line of adapter a: its name, id and location, and each
// port's host, WWPN and state, read afresh.
void listAdapter(int root, const FcAdapter &a, bool toLog)
{
    char line[1024];
    int32_t held = std::min(a.portCount, AP_MAX_PORTS);
    size_t len = size_t(snprintf(line, sizeof line, "wyrafc%03d id 0x%X at %s", a.index, a.index ? 0xB06 : 0xB00,
                                 a.location));
    for (int32_t i = 0; i < held; ++i) {
        HostAttrs h;
        readHost(root, a.ports[i].hostNo, &h);
        len += size_t(snprintf(line + len, sizeof line - len, "%s port %d host%u %.20s %.20s", i ? "," : ":", i,
                               a.ports[i].hostNo, shown(h.text[PORT_NAME]), shown(h.text[PORT_STATE])));
        if (a.ports[i].vportCount)
            len += size_t(snprintf(line + len, sizeof line - len, " (%d virtual)", a.ports[i].vportCount));
    }
    if (a.portCount > held)
        snprintf(line + len, sizeof line - len, ", %d ports more", a.portCount - held);
    say(toLog, "%s%s", toLog ? "serving " : "", line);
}

} // namespace

bool sysfsPin(SysfsOptions *o, const char *text)
{
    const char *device = strchr(text, '=');
    if (!device || device - text != 9 || adapterIndex(text) == MAX_ADAPTERS || o->pinCount == MAX_PINS)
        return false;
    size_t len = strlen(++device);
    unsigned a, b, c;
    int pci = 0, ccw = 0; // the lengths read as a PCI device (0000:3b:00) and as a ccw device (0.0.1900)
    sscanf(device, "%8x:%2x:%2x%n", &a, &b, &c, &pci);
    sscanf(device, "%2x.%1x.%4x%n", &a, &b, &c, &ccw);
    bool vio = len > 0 && len <= 8 && strspn(device, "0123456789abcdefABCDEF") == len;
    if (!vio && !(len >= 10 && size_t(pci) == len) && (len < 8 || size_t(ccw) != len))
        return false;
    for (int32_t i = 0; i < o->pinCount; ++i)
        if (!strncmp(o->pins[i], text, 10) || !strcasecmp(strchr(o->pins[i], '=') + 1, device))
            return false;
    o->pins[o->pinCount++] = text;
    return true;
}

int32_t fcHostQuery(const SysfsOptions &o, AdapterQuery *q)
{
    char name[sizeof q->logicalName + 1] = {};
    memcpy(name, q->logicalName, sizeof q->logicalName);
    uint32_t type = q->queryType;
    uint8_t port = q->portNumber;
    FcTable t;
    int root;
    if (const char *why = scanHosts(o, true, &t, &root)) {
        logEvent("%s holds no class/fc_host (%s)", o.dir, why);
        return RC_NO_ADAPTER;
    }
    const FcAdapter *a = named(t, adapterIndex(name));
    int32_t held = a ? std::min(a->portCount, AP_MAX_PORTS) : 0;
    int32_t rc = a ? queryProblem(type, port, held) : RC_NO_ADAPTER;
    HostAttrs hosts[AP_MAX_PORTS];
    for (int32_t i = 0; rc == 0 && i < held; ++i)
        readHost(root, a->ports[i].hostNo, &hosts[i]);
    if (rc == 0) {
        AdapterQuery answer = {};
        memcpy(answer.logicalName, q->logicalName, sizeof answer.logicalName);
        fillAnswer(*a, hosts, &answer);
        writeText(root, *a, name, type, port, hosts, &answer);
        *q = answer;
    }
    close(root);
    return rc;
}

int32_t listAdapters(const SysfsOptions &o, bool toLog)
{
    if (!o.dir)
        return apModelList(toLog);
    FcTable t;
    int root;
    if (const char *why = scanHosts(o, toLog, &t, &root)) {
        diagnose("warning: %s holds no class/fc_host (%s)", o.dir, why);
        return -1;
    }
    for (int32_t index = 0; index < MAX_ADAPTERS; ++index) {
        if (const FcAdapter *a = named(t, index))
            listAdapter(root, *a, toLog);
        for (int32_t i = 0; i < o.pinCount && !named(t, index); ++i)
            if (adapterIndex(o.pins[i]) == index)
                say(toLog, "wyrafc%03d pinned to %s: not found", index, strchr(o.pins[i], '=') + 1);
    }
    if (t.count == 0)
        say(toLog, "no adapter under %s", o.dir);
    if (t.beyond)
        say(toLog, "%d ports of adapters past wyrafc%03d are not served", t.beyond, MAX_ADAPTERS - 1);
    close(root);
    return t.count;
}
