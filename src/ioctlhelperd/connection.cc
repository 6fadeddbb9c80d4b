// SPDX-FileCopyrightText: 2026 tamsk developers
// SPDX-License-Identifier: MIT
// ioctlhelperd: every client connection, served by one thread in one poll
// loop: who gets in, the requests on the opened AP or stream device, the
// answers and the deadlines.
#include "helperd.h"

#include "osusrcomm.h"

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <fcntl.h>
#include <poll.h>
#include <sys/signalfd.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>
#include <tuple>
#include <unordered_map>
#include <vector>

namespace {

constexpr int32_t PKT_LIMIT = 1 << 20;       // largest request taken
constexpr int32_t READ_ANSWER_LIMIT = 65536; // largest read answer, header included
constexpr int32_t FIRST_BUFFER = 4096;       // each connection's own
constexpr int ACCEPTS_PER_ROUND = 64;

enum DeviceKind { DEV_NONE, DEV_AP, DEV_STREAM };
enum Phase {
    IDLE,    // waiting for a request's first byte
    REQUEST, // receiving the rest of it
    BUDGET,  // waiting for the buffer its length needs
    ANSWER,  // sending the answer
};

struct Connection {
    int sock;       // -1 once closed
    uid_t user;
    pid_t process;
    bool busy;      // over the limits: its first request is answered HELPER_BUSY
    bool closing;   // ends once its answer is out
    Phase phase;
    double due;     // when the phase's time runs out
    double since;   // when the phase began
    DeviceKind kind;
    int devFd;      // stream device: a regular file of the device directory
    off_t readOffset;
    HelperHdr req;  // of the request, once its header is in
    uint8_t *pkt;   // request in, answer out
    int32_t size, have, sent, len; // buffer size; request bytes received; answer bytes sent, of len
};

const HelperOptions *opts;
std::vector<Connection> conns;
size_t budgetUsed; // of opts->budget
double pausedUntil; // accepting, after running out of descriptors
int32_t devicesOpen; // stream devices of all connections
double lastNote = -1; // of admission
long notesHeld;       // admission notes not told since the last one
constexpr double NEVER = 1e300;

double now()
{
    timespec t;
    clock_gettime(CLOCK_MONOTONIC, &t);
    return double(t.tv_sec) + double(t.tv_nsec) / 1e9;
}

void enter(Connection &c, Phase p, double limit)
{
    c.phase = p;
    c.since = now();
    c.due = c.since + limit;
}

void drop(Connection &c, const char *why)
{
    if (c.sock == -1)
        return;
    if (why)
        diagnose("%s", why);
    close(c.sock);
    if (c.devFd != -1)
        close(c.devFd), --devicesOpen;
    budgetUsed -= size_t(std::max(c.size - FIRST_BUFFER, 0));
    free(c.pkt);
    c.sock = -1;
}

// Makes the packet buffer hold at least len bytes; beyond the first buffer
// it draws on the budget shared by all connections. False when the budget
// cannot take it now, or memory is short.
bool reserve(Connection &c, int32_t len)
{
    size_t more = size_t(std::max(len - std::max(c.size, FIRST_BUFFER), 0));
    if (len <= c.size)
        return true;
    void *p = budgetUsed + more <= opts->budget ? realloc(c.pkt, size_t(len)) : nullptr;
    if (!p)
        return false;
    budgetUsed += more;
    c.pkt = static_cast<uint8_t *>(p);
    c.size = len;
    return true;
}

// Back to the first buffer after a request, so an idle client holds none of the budget.
void shrink(Connection &c)
{
    if (c.size <= FIRST_BUFFER)
        return;
    budgetUsed -= size_t(c.size - FIRST_BUFFER);
    if (void *p = realloc(c.pkt, FIRST_BUFFER))
        c.pkt = static_cast<uint8_t *>(p);
    c.size = FIRST_BUFFER;
}

// Sends what the socket takes of the answer. A unix stream socket takes the
// first piece of an answer whole, far beyond its header, so a client that
// peeks the header always finds it complete; the rest waits for POLLOUT.
void flush(Connection &c)
{
    while (c.sent < c.len) {
        ssize_t n = send(c.sock, c.pkt + c.sent, size_t(c.len - c.sent), MSG_NOSIGNAL | MSG_DONTWAIT);
        if (n < 0 && (errno == EAGAIN || errno == EINTR))
            return;
        if (n < 0)
            return drop(c, nullptr); // the client left: no news
        c.sent += int32_t(n);
    }
    if (c.closing)
        return drop(c, nullptr);
    shrink(c);
    c.have = 0;
    enter(c, IDLE, opts->idle);
}

void answer(Connection &c, int32_t pktlen, uint32_t xfercnt, int32_t ret, uint32_t cmd, uint32_t kind = HELPER_RESPONSE)
{
    HelperHdr h = {pktlen, kind, xfercnt, ret, cmd};
    memcpy(c.pkt, &h, sizeof h);
    c.len = pktlen;
    c.sent = 0;
    enter(c, ANSWER, opts->idle);
    flush(c);
}

// A request the device cannot take: none opened yet, or the wrong kind.
int32_t wrongDevice(const Connection &c)
{
    return c.kind == DEV_NONE ? EBADF : EINVAL;
}

// Whether the file's mode lets the client at sock have access (S_IROTH or
// S_IWOTH), by its user and group: the helper may open anything, so it
// opens for a client only what the client could open itself (the client's
// other groups are not known, so only its own group counts).
bool clientMay(int sock, const struct stat &st, mode_t access)
{
    ucred cred = {};
    socklen_t size = sizeof cred;
    if (getsockopt(sock, SOL_SOCKET, SO_PEERCRED, &cred, &size) != 0)
        return false;
    mode_t bits = cred.uid == st.st_uid ? access << 6 : cred.gid == st.st_gid ? access << 3 : access;
    return cred.uid == 0 || (st.st_mode & bits);
}

// Opens name in dir for the client at sock: read-write, or read-only when
// it cannot be written (its writes then answer EBADF). A device is a
// regular file with a single link: no symlink is followed, no hard link
// another user made leads out of the directory, and the type is known
// before the read-write open.
int32_t openDeviceFile(int dir, const char *name, int sock, int *fd)
{
    constexpr int FLAGS = O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC; // O_NONBLOCK: a FIFO does not hang the open
    struct stat seen, opened;
    int ro = openat(dir, name, O_RDONLY | FLAGS);
    if (ro == -1)
        return errno == ELOOP ? ENODEV : errno; // ELOOP: a symlink
    int32_t ret = fstat(ro, &seen) != 0 || !S_ISREG(seen.st_mode) || seen.st_nlink != 1 ? ENODEV
                  : !clientMay(sock, seen, S_IROTH)                                  ? EACCES
                                                                                      : 0;
    if (ret) {
        close(ro);
        return ret;
    }
    int rw = clientMay(sock, seen, S_IWOTH) ? openat(dir, name, O_RDWR | O_APPEND | FLAGS) : -1;
    if (rw == -1) { // cannot be written: served read-only
        *fd = ro;
        return 0;
    }
    close(ro);
    bool same = fstat(rw, &opened) == 0 && opened.st_ino == seen.st_ino && opened.st_dev == seen.st_dev;
    if (!same) // replaced between the two opens
        close(rw);
    *fd = same ? rw : -1;
    return same ? 0 : ENODEV;
}

int32_t openDevice(Connection &c, const HelperHdr &req)
{
    const char *name = reinterpret_cast<const char *>(c.pkt + HELPER_HDR_SIZE);
    if (c.kind != DEV_NONE || !memchr(name, 0, size_t(req.pktlen - HELPER_HDR_SIZE)))
        return EINVAL; // a second open, or a name without its terminator
    if (!name[0]) {
        c.kind = DEV_AP;
        return 0;
    }
    // Each device holds a descriptor beside its connection's: they must fit the limit together.
    bool fits = int32_t(conns.size()) + devicesOpen + OWN_DESCRIPTORS < opts->descriptors;
    int dir = strchr(name, '/') || !fits ? -1 : open(opts->deviceDir, O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    int32_t ret = strchr(name, '/') ? EINVAL : !fits ? EMFILE : dir == -1 ? errno : openDeviceFile(dir, name, c.sock, &c.devFd);
    devicesOpen += ret == 0;
    if (dir != -1) // "." and ".." are no regular files
        close(dir);
    c.kind = ret ? DEV_NONE : DEV_STREAM;
    if (ret) {
        char shown[256];
        escapeText(name, strlen(name), shown, sizeof shown);
        diagnose("open of \"%s\" refused: %s", shown, strerror(ret));
    }
    return ret;
}

// Reads from where the last read ended; writes append, so reads keep their own offset.
void readStream(Connection &c, const HelperHdr &req)
{
    if (c.kind != DEV_STREAM || req.xfercnt < uint32_t(HELPER_HDR_SIZE))
        return answer(c, HELPER_HDR_SIZE, HELPER_HDR_SIZE, wrongDevice(c), req.cmd);
    int32_t len = int32_t(std::min(req.xfercnt, uint32_t(READ_ANSWER_LIMIT)));
    if (!reserve(c, len))
        return answer(c, HELPER_HDR_SIZE, HELPER_HDR_SIZE, ENOMEM, req.cmd);
    ssize_t n = pread(c.devFd, c.pkt + HELPER_HDR_SIZE, size_t(len - HELPER_HDR_SIZE), c.readOffset);
    int32_t ret = n < 0 ? errno : 0;
    n = std::max<ssize_t>(n, 0);
    c.readOffset += n;
    answer(c, HELPER_HDR_SIZE + int32_t(n), uint32_t(HELPER_HDR_SIZE + n), ret, req.cmd);
}

int32_t writeStream(Connection &c, const HelperHdr &req)
{
    if (c.kind != DEV_STREAM)
        return wrongDevice(c);
    for (int32_t done = HELPER_HDR_SIZE; done < req.pktlen;) {
        ssize_t n = write(c.devFd, c.pkt + done, size_t(req.pktlen - done));
        if (n <= 0)
            return n < 0 ? errno : EIO;
        done += int32_t(n);
    }
    return 0;
}

// Runs one whole request and starts its answer. Every ioctl answer has the
// request's length and carries the buffer as the ioctl left it, so the
// client's size check holds whatever the outcome.
void dispatch(Connection &c)
{
    const HelperHdr req = c.req;
    uint32_t whole = uint32_t(req.pktlen);
    switch (req.helper_req) {
    case HELPER_DEV_OPEN: return answer(c, HELPER_HDR_SIZE, whole, openDevice(c, req), req.cmd);
    case HELPER_DEV_CLOSE: c.closing = true; return answer(c, HELPER_HDR_SIZE, HELPER_HDR_SIZE, 0, req.cmd);
    case HELPER_DEV_READ: return readStream(c, req);
    case HELPER_DEV_WRITE: return answer(c, HELPER_HDR_SIZE, whole, writeStream(c, req), req.cmd);
    case HELPER_DEV_IOCTL: {
        int32_t ret = c.kind == DEV_AP ? apIoctl(*opts, req.cmd, c.pkt + HELPER_HDR_SIZE, whole - HELPER_HDR_SIZE)
                                       : c.kind == DEV_NONE ? EBADF : ENOTTY;
        return answer(c, req.pktlen, whole, ret, req.cmd);
    }
    }
    answer(c, HELPER_HDR_SIZE, HELPER_HDR_SIZE, EINVAL, req.cmd);
}

// Takes the whole header: a busy connection is answered HELPER_BUSY, a
// length that cannot be framed EINVAL, and both end; the rest of the
// request then needs its buffer.
void headerIn(Connection &c)
{
    memcpy(&c.req, c.pkt, sizeof c.req);
    const HelperHdr &h = c.req;
    c.closing = c.busy || h.pktlen < HELPER_HDR_SIZE || h.pktlen > PKT_LIMIT;
    if (c.busy) // the client comes back after its pause
        return answer(c, HELPER_HDR_SIZE, 0, 0, h.cmd, HELPER_BUSY);
    if (c.closing) {
        diagnose("packet length %d refused", h.pktlen);
        return answer(c, HELPER_HDR_SIZE, HELPER_HDR_SIZE, EINVAL, h.cmd);
    }
    if (!reserve(c, h.pktlen))
        c.phase = BUDGET; // its deadline still counts
}

// Takes what the socket holds of the request and runs it once it is whole.
void receive(Connection &c)
{
    while (c.phase == IDLE || c.phase == REQUEST) {
        int32_t want = c.have < HELPER_HDR_SIZE ? HELPER_HDR_SIZE : c.req.pktlen;
        ssize_t n = recv(c.sock, c.pkt + c.have, size_t(want - c.have), MSG_DONTWAIT);
        if (n < 0 && (errno == EAGAIN || errno == EINTR))
            return;
        if (n <= 0) { // a client that leaves between packets is no news
            char why[128];
            snprintf(why, sizeof why, "connection dropped: %s", n ? strerror(errno) : "client left inside a packet");
            return drop(c, n == 0 && c.have == 0 ? nullptr : why);
        }
        if (c.have == 0)
            enter(c, REQUEST, opts->deadline);
        c.have += int32_t(n);
        if (c.have == HELPER_HDR_SIZE)
            headerIn(c);
        if (c.phase == REQUEST && c.have >= HELPER_HDR_SIZE && c.have == c.req.pktlen)
            return dispatch(c);
    }
}

// ---- who gets in

struct Peer {
    uid_t user;
    pid_t process;
};

bool addConnection(int sock, const Peer &peer, bool busy)
{
    Connection c = {};
    c.sock = sock, c.user = peer.user, c.process = peer.process, c.busy = busy, c.devFd = -1;
    if (!reserve(c, FIRST_BUFFER))
        return false;
    enter(c, IDLE, busy ? opts->deadline : opts->idle);
    conns.push_back(c);
    return true;
}

// The connection that gives way to a new one of peer: of the process with
// the most connections (among the user's own when sameUser, else of the
// user with the most), its connection idle longest, or else its connection
// at work longest. It goes only when that process, or (not sameUser) that
// user, keeps more than peer's after the swap, or when it is an idle
// connection of peer's own. Null when none may go.
Connection *giveWay(const Peer &peer, bool sameUser)
{
    std::unordered_map<pid_t, int32_t> count;
    std::unordered_map<uid_t, int32_t> ofUser; // many processes of one connection each still add up
    auto inScope = [&](const Connection &c) { return c.sock != -1 && !c.busy && (!sameUser || c.user == peer.user); };
    for (const Connection &c : conns)
        count[c.process] += inScope(c), ofUser[c.user] += inScope(c) && !sameUser;
    Connection *victim = nullptr;
    auto rank = [&](const Connection &c) {
        return std::make_tuple(ofUser[c.user], count[c.process], c.phase == IDLE, -c.since);
    };
    for (Connection &c : conns)
        if (inScope(c) && (!victim || rank(c) > rank(*victim)))
            victim = &c;
    bool own = victim && victim->process == peer.process && victim->phase == IDLE;
    return victim && (own || count[victim->process] > count[peer.process] + 1 ||
                      ofUser[victim->user] > ofUser[peer.user] + 1) ? victim : nullptr;
}

// Tells what admission did, at most once a second: a client that opens
// connections without end would otherwise flood the diagnostics.
void admissionNote(const char *line)
{
    if (now() - lastNote < 1) {
        ++notesHeld;
        return;
    }
    if (notesHeld)
        diagnose("%s (and %ld more at admission since the last)", line, notesHeld);
    else
        diagnose("%s", line);
    lastNote = now();
    notesHeld = 0;
}

// Admits the accepted socket (true), or closes it with the reason. A process over
// its share of connections is refused; when its user's or everybody's
// share is full, a connection of the process with the most connections
// makes room, idle ones first; only when none may is the new one served
// busy, up to the busy limit.
bool admit(int sock)
{
    ucred cred = {};
    socklen_t size = sizeof cred;
    if (getsockopt(sock, SOL_SOCKET, SO_PEERCRED, &cred, &size) != 0)
        cred = {0, uid_t(-1), gid_t(-1)}; // unknown: one peer of its own
    Peer peer = {cred.uid, cred.pid};
    int32_t ofProcess = 0, ofUser = 0, served = 0, busy = 0;
    for (const Connection &c : conns) {
        if (c.sock == -1)
            continue;
        ofProcess += c.process == peer.process && c.user == peer.user;
        ofUser += c.user == peer.user;
        (c.busy ? busy : served) += 1;
    }
    const char *why = ofProcess >= opts->perProcess ? "too many connections of its process" : nullptr;
    bool userFull = !why && ofUser >= opts->perUser, full = !why && !userFull && served >= opts->connections;
    if (Connection *victim = userFull || full ? giveWay(peer, userFull) : nullptr) {
        admissionNote(victim->phase == IDLE ? "idle connection closed to make room for a new one"
                                            : "connection at work closed to make room for another process's");
        drop(*victim, nullptr);
        userFull = full = false;
    }
    why = why ? why : userFull ? "too many connections of its user" : full && busy >= opts->busy ? "too many connections" : nullptr;
    char line[80];
    if (!why && addConnection(sock, peer, full))
        return true;
    close(sock);
    snprintf(line, sizeof line, "new connection closed: %s", why ? why : "out of memory");
    admissionNote(line);
    return false;
}

// Admits the waiting connections, a bounded number a round so that those
// served are not starved, and enough that a flood of connections refused at
// once does not keep the others waiting long in the queue. Out of
// descriptors, an idle connection of the process with the most makes room,
// or accepting pauses.
void acceptSome(int listenFd)
{
    for (int i = 0; i < ACCEPTS_PER_ROUND; ++i) {
        int s = accept4(listenFd, nullptr, nullptr, SOCK_CLOEXEC | SOCK_NONBLOCK);
        if (s != -1 && admit(s)) // a client sends its first request at once: it is often there already
            receive(conns.back());
        if (s != -1)
            continue;
        if (errno != EMFILE && errno != ENFILE && errno != ENOMEM && errno != ENOBUFS)
            return; // none waiting, or it left
        diagnose("accept: %s", strerror(errno));
        if (Connection *victim = giveWay({uid_t(-1), -1}, false))
            drop(*victim, "idle connection closed to make room for a new one");
        else
            pausedUntil = now() + 0.05; // until connections end
        return;
    }
}

// Ends the connections whose phase ran out; wakes those waiting for budget.
void keepTime()
{
    double t = now();
    for (Connection &c : conns) {
        if (c.sock != -1 && c.phase == BUDGET && reserve(c, c.req.pktlen))
            c.phase = REQUEST;
        char why[96], first; // a request that came while the helper was busy is read, not timed out
        if (c.sock != -1 && c.due <= t && !(c.phase == IDLE && recv(c.sock, &first, 1, MSG_PEEK | MSG_DONTWAIT) == 1)) {
            snprintf(why, sizeof why, c.phase == IDLE ? "connection dropped: idle too long"
                                      : c.phase == ANSWER ? "connection dropped: answer not taken within %g s"
                                                          : "connection dropped: request not complete within %g s",
                     c.phase == ANSWER ? opts->idle : opts->deadline);
            drop(c, why);
        }
    }
    conns.erase(std::remove_if(conns.begin(), conns.end(), [](const Connection &c) { return c.sock == -1; }),
                conns.end());
}

} // namespace

int32_t serveLoop(const HelperOptions &o, int listenFd, int signalFd)
{
    opts = &o;
    std::vector<pollfd> polled;
    for (;;) {
        keepTime();
        if (listenFd == -1 && conns.empty())
            return 0;
        double t = now(), wake = pausedUntil > t ? pausedUntil : NEVER;
        polled.assign({{signalFd, POLLIN, 0}, {pausedUntil > t ? -1 : listenFd, POLLIN, 0}});
        for (const Connection &c : conns) {
            polled.push_back({c.sock, short(c.phase == ANSWER ? POLLOUT : c.phase == BUDGET ? 0 : POLLIN), 0});
            wake = std::min(wake, c.due);
        }
        int timeout = wake == NEVER ? -1 : int(std::max(wake - t, 0.0) * 1000) + 1;
        if (poll(polled.data(), polled.size(), timeout) < 0 && errno != EINTR)
            return -1;
        if (polled[0].revents) { // the stop: connections in progress are dropped
            signalfd_siginfo si;
            for (Connection &c : conns)
                drop(c, nullptr);
            return read(signalFd, &si, sizeof si) == sizeof si ? int32_t(si.ssi_signo) : 0;
        }
        size_t before = conns.size(); // those admitted now are polled from the next round
        if (polled[1].revents)
            acceptSome(listenFd);
        for (size_t i = 0; i < before; ++i) {
            Connection &c = conns[i];
            if (c.sock == -1 || !polled[i + 2].revents)
                continue;
            if (c.phase == ANSWER)
                flush(c);
            else if (c.phase != BUDGET)
                receive(c);
            else // polled for nothing: the client hung up while its request waits for budget
                drop(c, "connection dropped: client left inside a packet");
        }
    }
}

void serveConnection(const HelperOptions &o, int sock)
{
    opts = &o;
    if (addConnection(sock, {uid_t(-1), 0}, false))
        serveLoop(o, -1, -1);
    else
        close(sock);
}
