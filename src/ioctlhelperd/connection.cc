// SPDX-FileCopyrightText: 2026 tamsk developers
// SPDX-License-Identifier: MIT
// ioctlhelperd: one client connection: receives the request packets, runs
// them on the opened AP or stream device and answers each with one packet.
#include "helperd.h"

#include "osusrcomm.h"

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <climits>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <mutex>
#include <poll.h>
#include <pthread.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/time.h>
#include <unistd.h>
#include <vector>

const char *helperDeviceDir = "/home/tamsk/devices";

namespace {

constexpr int32_t PKT_LIMIT = 1 << 20;         // largest request taken
constexpr int32_t READ_ANSWER_LIMIT = 65536;   // largest read answer, header included
constexpr int32_t FIRST_BUFFER = 4096;         // each connection's own
constexpr size_t THREAD_STACK = 256 << 10;

using Clock = std::chrono::steady_clock;

Clock::duration seconds(double s)
{
    return std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(s));
}

enum DeviceKind { DEV_NONE, DEV_AP, DEV_STREAM };

struct Connection {
    int sock;
    int slot;       // in the connection table, or -1
    bool busy;      // over the limit: the first request is answered HELPER_BUSY
    DeviceKind kind;
    int devFd;      // stream device: a regular file of the device directory
    off_t readOffset;
    uint8_t *pkt;   // request in, answer out
    int32_t size;
    Clock::time_point deadline; // for the request being received
};

// Every connection being served, so that the accepting thread can count
// them by user and close an idle one to make room.
struct Slot {
    bool used;
    bool busy;
    bool idle;          // waiting for a request's first byte
    bool closed;        // closed to make room; no longer counted
    uid_t user;
    int sock;
    Clock::time_point idleSince;
};
std::mutex tableLock;
std::vector<Slot> table;
int32_t activeConnections = 0, busyConnections = 0;

std::mutex budgetLock;
std::condition_variable budgetFreed;
size_t budgetUsed = 0; // of helperLimits.budget

void giveBack(size_t bytes)
{
    std::lock_guard<std::mutex> hold(budgetLock);
    budgetUsed -= bytes;
    budgetFreed.notify_all();
}

// Makes the packet buffer hold at least len bytes. Beyond the first buffer
// it draws on the budget shared by all connections, waiting for its share
// until the request's deadline.
bool reserve(Connection *c, int32_t len)
{
    if (len <= c->size)
        return true;
    size_t more = size_t(len - std::max(c->size, FIRST_BUFFER));
    {
        std::unique_lock<std::mutex> hold(budgetLock);
        if (!budgetFreed.wait_until(hold, c->deadline, [more] { return budgetUsed + more <= helperLimits.budget; }))
            return false;
        budgetUsed += more;
    }
    void *p = realloc(c->pkt, size_t(len));
    if (!p) {
        giveBack(more);
        return false;
    }
    c->pkt = static_cast<uint8_t *>(p);
    c->size = len;
    return true;
}

// Back to the first buffer after a request, so an idle client holds none of the budget.
void shrink(Connection *c)
{
    if (c->size <= FIRST_BUFFER)
        return;
    giveBack(size_t(c->size - FIRST_BUFFER));
    if (void *p = realloc(c->pkt, FIRST_BUFFER))
        c->pkt = static_cast<uint8_t *>(p);
    c->size = FIRST_BUFFER;
}

// The whole answer goes out in one send, so a client peeking the header
// always finds it complete. A blocking send ends short only when the client
// takes nothing for the idle time; the connection then ends.
bool sendAnswer(Connection *c, int32_t pktlen, uint32_t xfercnt, int32_t ret, uint32_t cmd)
{
    HelperHdr h = {pktlen, HELPER_RESPONSE, xfercnt, ret, cmd};
    memcpy(c->pkt, &h, sizeof h);
    return send(c->sock, c->pkt, size_t(pktlen), MSG_NOSIGNAL) == pktlen;
}

bool answerHeader(Connection *c, const HelperHdr &req, uint32_t xfercnt, int32_t ret)
{
    return sendAnswer(c, HELPER_HDR_SIZE, xfercnt, ret, req.cmd);
}

// A request the device cannot take: none opened yet, or the wrong kind.
int32_t wrongDevice(const Connection *c)
{
    return c->kind == DEV_NONE ? EBADF : EINVAL;
}

// Opens name in dir read-write, or read-only when it cannot be written
// (its writes then answer EBADF). A device is a regular file with a single
// link: no symlink is followed, no hard link another user made leads out of
// the directory, and the type is known before the read-write open.
int32_t openDeviceFile(int dir, const char *name, int *fd)
{
    constexpr int FLAGS = O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC; // O_NONBLOCK: a FIFO does not hang the open
    struct stat seen, opened;
    int ro = openat(dir, name, O_RDONLY | FLAGS);
    if (ro == -1)
        return errno == ELOOP ? ENODEV : errno; // ELOOP: a symlink
    if (fstat(ro, &seen) != 0 || !S_ISREG(seen.st_mode) || seen.st_nlink != 1) {
        close(ro);
        return ENODEV;
    }
    int rw = openat(dir, name, O_RDWR | O_APPEND | FLAGS);
    if (rw == -1) { // cannot be written: served read-only
        *fd = ro;
        return 0;
    }
    close(ro);
    int32_t ret = fstat(rw, &opened) != 0 || opened.st_ino != seen.st_ino || opened.st_dev != seen.st_dev
                      ? ENODEV // replaced between the two opens
                      : 0;
    if (ret)
        close(rw);
    *fd = ret ? -1 : rw;
    return ret;
}

int32_t openStream(Connection *c, const char *name)
{
    if (strchr(name, '/'))
        return EINVAL; // "." and ".." are no regular files
    int dir = open(helperDeviceDir, O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (dir == -1)
        return errno;
    int32_t ret = openDeviceFile(dir, name, &c->devFd);
    close(dir);
    c->kind = ret ? DEV_NONE : DEV_STREAM;
    return ret;
}

int32_t openDevice(Connection *c, const HelperHdr &req)
{
    const char *name = reinterpret_cast<const char *>(c->pkt + HELPER_HDR_SIZE);
    if (c->kind != DEV_NONE || !memchr(name, 0, size_t(req.pktlen - HELPER_HDR_SIZE)))
        return EINVAL; // a second open, or a name without its terminator
    if (!name[0]) {
        c->kind = DEV_AP;
        return 0;
    }
    int32_t ret = openStream(c, name);
    if (ret) {
        char shown[256];
        escapeText(name, strlen(name), shown, sizeof shown);
        diagnose("open of \"%s\" refused: %s", shown, strerror(ret));
    }
    return ret;
}

// Reads from where the last read ended; writes append, so reads keep their own offset.
bool readStream(Connection *c, const HelperHdr &req)
{
    if (c->kind != DEV_STREAM || req.xfercnt < uint32_t(HELPER_HDR_SIZE))
        return answerHeader(c, req, HELPER_HDR_SIZE, wrongDevice(c));
    int32_t len = int32_t(std::min(req.xfercnt, uint32_t(READ_ANSWER_LIMIT)));
    if (!reserve(c, len))
        return answerHeader(c, req, HELPER_HDR_SIZE, ENOMEM);
    ssize_t n = pread(c->devFd, c->pkt + HELPER_HDR_SIZE, size_t(len - HELPER_HDR_SIZE), c->readOffset);
    int32_t ret = n < 0 ? errno : 0;
    n = std::max<ssize_t>(n, 0);
    c->readOffset += n;
    return sendAnswer(c, HELPER_HDR_SIZE + int32_t(n), uint32_t(HELPER_HDR_SIZE + n), ret, req.cmd);
}

int32_t writeStream(Connection *c, const HelperHdr &req)
{
    if (c->kind != DEV_STREAM)
        return wrongDevice(c);
    for (int32_t done = HELPER_HDR_SIZE; done < req.pktlen;) {
        ssize_t n = write(c->devFd, c->pkt + done, size_t(req.pktlen - done));
        if (n <= 0)
            return n < 0 ? errno : EIO;
        done += int32_t(n);
    }
    return 0;
}

// Every ioctl answer has the request's length and carries the buffer as
// the ioctl left it, so the client's size check holds whatever the outcome.
bool ioctlDevice(Connection *c, const HelperHdr &req)
{
    int32_t ret = c->kind == DEV_NONE ? EBADF : ENOTTY;
    if (c->kind == DEV_AP)
        ret = apIoctl(req.cmd, c->pkt + HELPER_HDR_SIZE, uint32_t(req.pktlen - HELPER_HDR_SIZE));
    return sendAnswer(c, req.pktlen, uint32_t(req.pktlen), ret, req.cmd);
}

// Stops counting the connection against the limits: it is ending, and its
// client may connect again as soon as it has the last answer.
void leaveTable(int slot)
{
    if (slot < 0)
        return;
    std::lock_guard<std::mutex> hold(tableLock);
    Slot &s = table[size_t(slot)];
    if (!s.closed)
        --(s.busy ? busyConnections : activeConnections);
    s.closed = true;
}

// Runs one request; false ends the connection.
bool dispatch(Connection *c, const HelperHdr &req)
{
    switch (req.helper_req) {
    case HELPER_DEV_OPEN:
        return answerHeader(c, req, uint32_t(req.pktlen), openDevice(c, req));
    case HELPER_DEV_CLOSE:
        leaveTable(c->slot);
        answerHeader(c, req, HELPER_HDR_SIZE, 0);
        return false;
    case HELPER_DEV_READ:
        return readStream(c, req);
    case HELPER_DEV_WRITE:
        return answerHeader(c, req, uint32_t(req.pktlen), writeStream(c, req));
    case HELPER_DEV_IOCTL:
        return ioctlDevice(c, req);
    }
    return answerHeader(c, req, HELPER_HDR_SIZE, EINVAL);
}

// Marks the connection idle (waiting for a request's first byte) or at work.
void setIdle(const Connection *c, bool idle)
{
    if (c->slot < 0)
        return;
    std::lock_guard<std::mutex> hold(tableLock);
    Slot &s = table[size_t(c->slot)];
    if (idle && !s.idle)
        s.idleSince = Clock::now();
    s.idle = idle;
}

// Receives len bytes at offset of the packet buffer. The first byte of a
// request may take the socket's receive time-out; from it on, the whole
// request must arrive by its deadline. False, with a message unless the
// client left between packets, when the connection ends instead.
bool receive(Connection *c, int32_t offset, int32_t len)
{
    for (int32_t got = 0; got < len;) {
        bool first = offset + got == 0;
        ssize_t n = recv(c->sock, c->pkt + offset + got, size_t(len - got), first ? 0 : MSG_DONTWAIT);
        if (n > 0) {
            if (first) {
                c->deadline = Clock::now() + seconds(helperLimits.deadline);
                setIdle(c, false);
            }
            got += int32_t(n);
            continue;
        }
        pollfd p = {c->sock, POLLIN, {}};
        auto left = std::chrono::duration_cast<std::chrono::milliseconds>(c->deadline - Clock::now());
        if (n < 0 && (errno == EINTR || (errno == EAGAIN && !first && left.count() > 0 &&
                                         poll(&p, 1, int(left.count())) != 0)))
            continue;
        if (n == 0 && !first)
            diagnose("connection dropped: client left inside a packet");
        else if (n < 0 && errno != EAGAIN)
            diagnose("connection dropped: %s", strerror(errno));
        else if (n < 0)
            diagnose(first ? "connection dropped: idle too long"
                           : "connection dropped: request not complete within %g s", helperLimits.deadline);
        return false;
    }
    return true;
}

void serve(Connection *c)
{
    HelperHdr req;
    for (setIdle(c, true); receive(c, 0, HELPER_HDR_SIZE); setIdle(c, true)) {
        memcpy(&req, c->pkt, sizeof req);
        if (c->busy) { // the client comes back after its pause
            leaveTable(c->slot);
            HelperHdr busy = {HELPER_HDR_SIZE, HELPER_BUSY, 0, 0, req.cmd};
            send(c->sock, &busy, sizeof busy, MSG_NOSIGNAL);
            return;
        }
        if (req.pktlen < HELPER_HDR_SIZE || req.pktlen > PKT_LIMIT) {
            // The packet cannot be framed: refuse it and end the connection.
            diagnose("packet length %d refused", req.pktlen);
            leaveTable(c->slot);
            answerHeader(c, req, HELPER_HDR_SIZE, EINVAL);
            return;
        }
        if (!reserve(c, req.pktlen) || !receive(c, HELPER_HDR_SIZE, req.pktlen - HELPER_HDR_SIZE) ||
            !dispatch(c, req))
            return;
        shrink(c);
    }
}

void serveOn(Connection *c)
{
    if (reserve(c, FIRST_BUFFER))
        serve(c);
    if (c->devFd != -1)
        close(c->devFd);
    shrink(c);
    free(c->pkt);
}

void *connectionThread(void *arg)
{
    int slot = int(reinterpret_cast<intptr_t>(arg));
    Connection c = {-1, slot, false, DEV_NONE, -1, 0, nullptr, 0, {}};
    {
        std::lock_guard<std::mutex> hold(tableLock);
        c.sock = table[size_t(slot)].sock;
        c.busy = table[size_t(slot)].busy;
    }
    serveOn(&c);
    leaveTable(slot);
    std::lock_guard<std::mutex> hold(tableLock); // the socket is closed while its slot is held
    table[size_t(slot)].used = false;
    close(c.sock);
    return nullptr;
}

// Takes a slot for a new connection of user, or returns -1 with the reason.
// A user gets its share of the connections at most. When all connections
// are taken, the one idle longest is closed to make room; only when none is
// idle is the new one served busy.
int takeSlot(int sock, uid_t user, bool *busy, const char **why)
{
    std::lock_guard<std::mutex> hold(tableLock);
    int32_t usersOwn = 0;
    const size_t none = table.size();
    size_t free = none, oldest = none;
    for (size_t i = 0; i < table.size(); ++i) {
        const Slot &s = table[i];
        if (!s.used || s.closed) {
            free = !s.used && free == none ? i : free;
            continue;
        }
        usersOwn += s.user == user;
        if (s.idle && !s.busy && (oldest == none || s.idleSince < table[oldest].idleSince))
            oldest = i;
    }
    *why = "too many connections of its user";
    if (usersOwn >= helperLimits.perUser)
        return -1;
    if (activeConnections >= helperLimits.connections && oldest != none) {
        shutdown(table[oldest].sock, SHUT_RDWR); // its thread sees the client leave
        table[oldest].closed = true;
        --activeConnections;
        diagnose("idle connection closed to make room for a new one");
    }
    *busy = activeConnections >= helperLimits.connections;
    *why = "too many connections";
    if ((*busy && busyConnections >= helperLimits.busy) ||
        (free == none && table.size() >= size_t(2 * (helperLimits.connections + helperLimits.busy))))
        return -1; // the slots beyond the limits belong to connections still ending
    ++(*busy ? busyConnections : activeConnections);
    if (free == none)
        table.push_back({});
    table[free] = {true, *busy, true, false, user, sock, Clock::now()};
    return int(free);
}

void giveSlotBack(int slot)
{
    leaveTable(slot);
    std::lock_guard<std::mutex> hold(tableLock);
    table[size_t(slot)].used = false;
}

} // namespace

HelperLimits helperLimits;

void serveConnection(int sock, bool busy)
{
    Connection c = {sock, -1, busy, DEV_NONE, -1, 0, nullptr, 0, {}};
    serveOn(&c);
}

void startConnection(int sock)
{
    ucred peer = {};
    socklen_t size = sizeof peer;
    if (getsockopt(sock, SOL_SOCKET, SO_PEERCRED, &peer, &size) != 0)
        peer.uid = uid_t(-1); // unknown: one user of its own
    const char *why = nullptr;
    bool busy = false;
    int slot = takeSlot(sock, peer.uid, &busy, &why);
    if (slot >= 0) {
        double wait = busy ? helperLimits.deadline : helperLimits.idle;
        timeval idle = {time_t(wait), suseconds_t((wait - double(time_t(wait))) * 1e6)};
        setsockopt(sock, SOL_SOCKET, SO_RCVTIMEO, &idle, sizeof idle);
        setsockopt(sock, SOL_SOCKET, SO_SNDTIMEO, &idle, sizeof idle);
        // Threads with small stacks start much faster than with the default.
        pthread_attr_t attr;
        pthread_attr_init(&attr);
        pthread_attr_setdetachstate(&attr, PTHREAD_CREATE_DETACHED);
        pthread_attr_setstacksize(&attr, THREAD_STACK);
        pthread_t thread;
        int err = pthread_create(&thread, &attr, connectionThread, reinterpret_cast<void *>(intptr_t(slot)));
        pthread_attr_destroy(&attr);
        if (err == 0)
            return;
        giveSlotBack(slot);
        why = strerror(err);
    }
    close(sock);
    diagnose("new connection closed: %s", why);
}
