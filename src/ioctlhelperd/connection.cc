// ioctlhelperd: one client connection: receives the request packets, runs
// them on the opened AP or stream device and answers each with one packet.
#include "helperd.h"

#include "osusrcomm.h"

#include <algorithm>
#include <atomic>
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

const char *helperDeviceDir = "/home/tamsk/devices";

namespace {

constexpr int32_t PKT_LIMIT = 1 << 20;         // largest request taken
constexpr int32_t READ_ANSWER_LIMIT = 65536;   // largest read answer, header included
constexpr int32_t FIRST_BUFFER = 4096;         // each connection's own
constexpr size_t BUFFER_BUDGET = 32 << 20;     // all buffers beyond the first 4096 bytes
constexpr int32_t MAX_CONNECTIONS = 1024;      // served at once
constexpr int32_t MAX_BUSY = 64;               // beyond them, answered HELPER_BUSY at once
constexpr time_t IDLE_SECONDS = 30;            // for a request's first byte, or an answer taken
constexpr int REQUEST_SECONDS = 5;             // for a whole request from its first byte
constexpr size_t THREAD_STACK = 256 << 10;

using Clock = std::chrono::steady_clock;

enum DeviceKind { DEV_NONE, DEV_AP, DEV_STREAM };

struct Connection {
    int sock;
    bool busy;      // over the limit: the first request is answered HELPER_BUSY
    DeviceKind kind;
    int devFd;      // stream device: a regular file of the device directory
    off_t readOffset;
    uint8_t *pkt;   // request in, answer out
    int32_t size;
    Clock::time_point deadline; // for the request being received
};

std::atomic<int32_t> activeConnections{0}, busyConnections{0};
std::mutex budgetLock;
std::condition_variable budgetFreed;
size_t budgetUsed = 0; // of BUFFER_BUDGET

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
    std::unique_lock<std::mutex> hold(budgetLock);
    if (!budgetFreed.wait_until(hold, c->deadline, [more] { return budgetUsed + more <= BUFFER_BUDGET; }))
        return false;
    budgetUsed += more;
    hold.unlock();
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

int32_t openStream(Connection *c, const char *name)
{
    if (strchr(name, '/') || !strcmp(name, ".") || !strcmp(name, ".."))
        return EINVAL;
    char path[PATH_MAX];
    if (snprintf(path, sizeof path, "%s/%s", helperDeviceDir, name) >= int(sizeof path))
        return ENAMETOOLONG;
    // O_NONBLOCK keeps a FIFO planted in the directory from hanging the open.
    int f = open(path, O_RDWR | O_APPEND | O_NONBLOCK | O_CLOEXEC);
    if (f == -1 && (errno == EACCES || errno == EROFS || errno == ETXTBSY))
        f = open(path, O_RDONLY | O_NONBLOCK | O_CLOEXEC); // its writes answer EBADF
    if (f == -1)
        return errno;
    struct stat st;
    if (fstat(f, &st) != 0 || !S_ISREG(st.st_mode)) {
        close(f);
        return ENODEV;
    }
    c->devFd = f;
    c->kind = DEV_STREAM;
    return 0;
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
        fprintf(stderr, "ioctlhelperd: open of \"%s\" refused: %s\n", shown, strerror(ret));
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

// Runs one request; false ends the connection.
bool dispatch(Connection *c, const HelperHdr &req)
{
    switch (req.helper_req) {
    case HELPER_DEV_OPEN:
        return answerHeader(c, req, uint32_t(req.pktlen), openDevice(c, req));
    case HELPER_DEV_CLOSE:
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
            if (first)
                c->deadline = Clock::now() + std::chrono::seconds(REQUEST_SECONDS);
            got += int32_t(n);
            continue;
        }
        pollfd p = {c->sock, POLLIN, {}};
        auto left = std::chrono::duration_cast<std::chrono::milliseconds>(c->deadline - Clock::now());
        if (n < 0 && (errno == EINTR || (errno == EAGAIN && !first && left.count() > 0 &&
                                         poll(&p, 1, int(left.count())) != 0)))
            continue;
        const char *why = n == 0 ? "client left inside a packet"
                          : errno != EAGAIN ? strerror(errno)
                          : first ? "idle too long" : "request not complete within 5 s";
        if (n < 0 || !first)
            fprintf(stderr, "ioctlhelperd: connection dropped: %s\n", why);
        return false;
    }
    return true;
}

void serve(Connection *c)
{
    HelperHdr req;
    while (receive(c, 0, HELPER_HDR_SIZE)) {
        memcpy(&req, c->pkt, sizeof req);
        if (c->busy) { // the client comes back after its pause
            HelperHdr busy = {HELPER_HDR_SIZE, HELPER_BUSY, 0, 0, req.cmd};
            send(c->sock, &busy, sizeof busy, MSG_NOSIGNAL);
            return;
        }
        if (req.pktlen < HELPER_HDR_SIZE || req.pktlen > PKT_LIMIT) {
            // The packet cannot be framed: refuse it and end the connection.
            fprintf(stderr, "ioctlhelperd: packet length %d refused\n", req.pktlen);
            answerHeader(c, req, HELPER_HDR_SIZE, EINVAL);
            return;
        }
        if (!reserve(c, req.pktlen) || !receive(c, HELPER_HDR_SIZE, req.pktlen - HELPER_HDR_SIZE) ||
            !dispatch(c, req))
            return;
        shrink(c);
    }
}

void *connectionThread(void *arg)
{
    intptr_t a = reinterpret_cast<intptr_t>(arg);
    serveConnection(int(a >> 1), a & 1);
    close(int(a >> 1));
    --(a & 1 ? busyConnections : activeConnections);
    return nullptr;
}

} // namespace

void serveConnection(int sock, bool busy)
{
    Connection c = {sock, busy, DEV_NONE, -1, 0, nullptr, 0, {}};
    if (reserve(&c, FIRST_BUFFER))
        serve(&c);
    if (c.devFd != -1)
        close(c.devFd);
    shrink(&c);
    free(c.pkt);
}

void startConnection(int sock)
{
    // Only this thread adds connections, so the limit read here holds.
    bool busy = activeConnections >= MAX_CONNECTIONS;
    std::atomic<int32_t> &count = busy ? busyConnections : activeConnections;
    const char *why = "too many connections";
    if (++count <= (busy ? MAX_BUSY : MAX_CONNECTIONS)) {
        timeval idle = {busy ? REQUEST_SECONDS : IDLE_SECONDS, 0};
        setsockopt(sock, SOL_SOCKET, SO_RCVTIMEO, &idle, sizeof idle);
        setsockopt(sock, SOL_SOCKET, SO_SNDTIMEO, &idle, sizeof idle);
        // Threads with small stacks start much faster than with the default.
        pthread_attr_t attr;
        pthread_attr_init(&attr);
        pthread_attr_setdetachstate(&attr, PTHREAD_CREATE_DETACHED);
        pthread_attr_setstacksize(&attr, THREAD_STACK);
        pthread_t thread;
        void *arg = reinterpret_cast<void *>(intptr_t(sock) << 1 | busy);
        int err = pthread_create(&thread, &attr, connectionThread, arg);
        pthread_attr_destroy(&attr);
        if (err == 0)
            return;
        why = strerror(err);
    }
    --count;
    close(sock);
    fprintf(stderr, "ioctlhelperd: new connection closed: %s\n", why);
}
