// ioctlhelperd: one client connection on a thread of its own: receives the
// request packets, runs them on the opened device, answers each with one packet.
#include "helperd.h"

#include "osusrcomm.h"

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <pthread.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <unistd.h>

const char *helperDeviceDir = "/home/tamsk/devices";

namespace {

constexpr int32_t PKT_LIMIT = 1 << 20;        // largest request taken
constexpr uint32_t READ_ANSWER_LIMIT = 65536; // largest read answer, header included
constexpr int32_t MAX_CONNECTIONS = 1024;
constexpr time_t IDLE_SECONDS = 30;
constexpr size_t THREAD_STACK = 256 << 10;

enum DeviceKind { DEV_NONE, DEV_AP, DEV_STREAM };

struct Connection {
    int sock;
    int32_t number; // for diagnostics
    DeviceKind kind;
    int devFd;
    off_t readOffset;
    alignas(8) uint8_t pkt[PKT_LIMIT];
};

std::atomic<int32_t> activeConnections{0};
std::atomic<int32_t> connectionsSeen{0};

void note(const Connection *c, const char *fmt, ...) __attribute__((format(printf, 2, 3)));

void note(const Connection *c, const char *fmt, ...)
{
    char text[512];
    va_list ap;
    va_start(ap, fmt);
    vsnprintf(text, sizeof text, fmt, ap);
    va_end(ap);
    fprintf(stderr, "ioctlhelperd: connection %d: %s\n", c->number, text);
}

// Returns the bytes received: len, or fewer when the peer closed (errno 0),
// the idle time ran out (EAGAIN) or the receive failed.
int32_t recvAll(int sock, uint8_t *buf, int32_t len)
{
    int32_t got = 0;
    errno = 0;
    while (got < len) {
        ssize_t n = recv(sock, buf + got, size_t(len - got), 0);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            break;
        got += int32_t(n);
    }
    return got;
}

// The whole answer goes out in one send, so a client peeking the header
// always finds it complete.
bool sendAnswer(Connection *c, int32_t pktlen, uint32_t xfercnt, int32_t ret, uint32_t cmd)
{
    HelperHdr h = {pktlen, HELPER_RESPONSE, xfercnt, ret, cmd};
    memcpy(c->pkt, &h, sizeof h);
    for (int32_t sent = 0; sent < pktlen;) {
        ssize_t n = send(c->sock, c->pkt + sent, size_t(pktlen - sent), MSG_NOSIGNAL);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0) {
            note(c, "answer not sent: %s", strerror(errno));
            return false;
        }
        sent += int32_t(n);
    }
    return true;
}

bool answerHeader(Connection *c, const HelperHdr &req, uint32_t xfercnt, int32_t ret)
{
    return sendAnswer(c, HELPER_HDR_SIZE, xfercnt, ret, req.cmd);
}

int32_t openDevice(Connection *c, const HelperHdr &req)
{
    const char *name = reinterpret_cast<const char *>(c->pkt + HELPER_HDR_SIZE);
    if (c->kind != DEV_NONE) {
        note(c, "second open refused");
        return EINVAL;
    }
    if (!memchr(name, 0, size_t(req.pktlen - HELPER_HDR_SIZE))) {
        note(c, "open refused: device name not terminated");
        return EINVAL;
    }
    if (!name[0]) {
        c->kind = DEV_AP;
        return 0;
    }
    int32_t ret = devOpen(helperDeviceDir, name, &c->devFd);
    if (ret) {
        char shown[256];
        escapeText(name, strlen(name), shown, sizeof shown);
        note(c, "open of \"%s\" refused: %s", shown, strerror(ret));
        return ret;
    }
    c->kind = DEV_STREAM;
    c->readOffset = 0;
    return 0;
}

int32_t streamError(const Connection *c)
{
    return c->kind == DEV_NONE ? EBADF : EINVAL;
}

bool readDevice(Connection *c, const HelperHdr &req)
{
    if (c->kind != DEV_STREAM)
        return answerHeader(c, req, HELPER_HDR_SIZE, streamError(c));
    if (req.xfercnt < uint32_t(HELPER_HDR_SIZE))
        return answerHeader(c, req, HELPER_HDR_SIZE, EINVAL);
    uint32_t room = std::min(req.xfercnt, READ_ANSWER_LIMIT) - HELPER_HDR_SIZE;
    uint32_t got = 0;
    int32_t ret = devRead(c->devFd, &c->readOffset, c->pkt + HELPER_HDR_SIZE, room, &got);
    int32_t len = HELPER_HDR_SIZE + int32_t(ret ? 0 : got);
    return sendAnswer(c, len, uint32_t(len), ret, req.cmd);
}

int32_t writeDevice(Connection *c, const HelperHdr &req)
{
    if (c->kind != DEV_STREAM)
        return streamError(c);
    return devWrite(c->devFd, c->pkt + HELPER_HDR_SIZE, uint32_t(req.pktlen - HELPER_HDR_SIZE));
}

// Every ioctl answer has the request's length and carries the buffer as
// the ioctl left it, so the client's size check holds whatever the outcome.
bool ioctlDevice(Connection *c, const HelperHdr &req)
{
    int32_t ret = ENOTTY;
    if (c->kind == DEV_AP)
        ret = apIoctl(req.cmd, c->pkt + HELPER_HDR_SIZE, uint32_t(req.pktlen - HELPER_HDR_SIZE));
    else if (c->kind == DEV_NONE)
        ret = EBADF;
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
        return readDevice(c, req);
    case HELPER_DEV_WRITE:
        return answerHeader(c, req, uint32_t(req.pktlen), writeDevice(c, req));
    case HELPER_DEV_IOCTL:
        return ioctlDevice(c, req);
    default:
        note(c, "unknown request code %u", req.helper_req);
        return answerHeader(c, req, HELPER_HDR_SIZE, EINVAL);
    }
}

void noteEnd(const Connection *c, int32_t got, const char *where)
{
    if (errno == EAGAIN || errno == EWOULDBLOCK)
        note(c, "idle for %d s, dropped", int(IDLE_SECONDS));
    else if (errno)
        note(c, "receive failed: %s", strerror(errno));
    else if (got > 0)
        note(c, "peer left inside a packet %s", where);
}

void serve(Connection *c)
{
    for (;;) {
        int32_t got = recvAll(c->sock, c->pkt, HELPER_HDR_SIZE);
        if (got != HELPER_HDR_SIZE) {
            noteEnd(c, got, "header");
            return;
        }
        HelperHdr req;
        memcpy(&req, c->pkt, sizeof req);
        if (req.pktlen < HELPER_HDR_SIZE || req.pktlen > PKT_LIMIT) {
            // The packet cannot be framed: refuse it and end the connection.
            note(c, "packet length %d refused", req.pktlen);
            answerHeader(c, req, HELPER_HDR_SIZE, EINVAL);
            return;
        }
        int32_t payload = req.pktlen - HELPER_HDR_SIZE;
        got = recvAll(c->sock, c->pkt + HELPER_HDR_SIZE, payload);
        if (got != payload) {
            noteEnd(c, got + HELPER_HDR_SIZE, "payload");
            return;
        }
        if (!dispatch(c, req))
            return;
    }
}

void *connectionThread(void *arg)
{
    Connection *c = static_cast<Connection *>(arg);
    serve(c);
    if (c->devFd >= 0)
        close(c->devFd);
    close(c->sock);
    free(c);
    --activeConnections;
    return nullptr;
}

} // namespace

int32_t startConnection(int sock)
{
    if (++activeConnections > MAX_CONNECTIONS) {
        --activeConnections;
        close(sock);
        fprintf(stderr, "ioctlhelperd: more than %d connections, new one closed\n", MAX_CONNECTIONS);
        return -1;
    }
    // One fixed-size record per connection, packet buffer included, on the
    // heap: threads with small stacks start much faster than with big ones.
    Connection *c = static_cast<Connection *>(malloc(sizeof(Connection)));
    if (!c) {
        --activeConnections;
        close(sock);
        fprintf(stderr, "ioctlhelperd: no memory for a connection\n");
        return -1;
    }
    c->sock = sock; // the packet buffer needs no clearing: requests fill it
    c->number = ++connectionsSeen;
    c->kind = DEV_NONE;
    c->devFd = -1;
    c->readOffset = 0;
    timeval idle = {IDLE_SECONDS, 0};
    setsockopt(sock, SOL_SOCKET, SO_RCVTIMEO, &idle, sizeof idle);
    setsockopt(sock, SOL_SOCKET, SO_SNDTIMEO, &idle, sizeof idle);
    pthread_attr_t attr;
    pthread_attr_init(&attr);
    pthread_attr_setdetachstate(&attr, PTHREAD_CREATE_DETACHED);
    pthread_attr_setstacksize(&attr, THREAD_STACK);
    pthread_t thread;
    int err = pthread_create(&thread, &attr, connectionThread, c);
    pthread_attr_destroy(&attr);
    if (err) {
        free(c);
        --activeConnections;
        close(sock);
        fprintf(stderr, "ioctlhelperd: no thread for a connection: %s\n", strerror(err));
        return -1;
    }
    return 0;
}
