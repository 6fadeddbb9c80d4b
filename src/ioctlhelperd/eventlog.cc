// ioctlhelperd: the event log, one time-stamped line per trace event,
// message and status query, on standard output or appended to a file.
#include "helperd.h"

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <fcntl.h>
#include <mutex>
#include <poll.h>
#include <unistd.h>

namespace {

// Room for a whole message escaped (512 bytes, 4 characters each at most)
// with the time stamp and the words around it; also PIPE_BUF, so a pipe
// takes a line whole or not at all.
constexpr size_t LOG_LINE_MAX = 4096;
constexpr std::chrono::milliseconds STOP_WAIT{500}; // for the log at the stop

int logFd = STDOUT_FILENO;
std::timed_mutex logLock;
unsigned long long dropped = 0; // lines lost since the last line written
bool midLine = false;           // a short write (full disk) cut a line

// UTC, ISO 8601, to the millisecond.
size_t timeStamp(char *buf, size_t size)
{
    timespec now = {};
    clock_gettime(CLOCK_REALTIME, &now);
    tm utc = {};
    gmtime_r(&now.tv_sec, &utc);
    size_t n = strftime(buf, size, "%Y-%m-%dT%H:%M:%S", &utc);
    snprintf(buf + n, size - n, ".%03ldZ ", now.tv_nsec / 1000000);
    return strnlen(buf, size);
}

// Writes the line only when the log takes it without waiting: a reader that
// stalls or a full disk never holds up service. False when it was not
// written whole.
bool writeLine(const char *line, size_t n)
{
    pollfd p = {logFd, POLLOUT, {}};
    if (poll(&p, 1, 0) != 1 || !(p.revents & POLLOUT))
        return false;
    ssize_t k = write(logFd, line, n);
    midLine = k > 0 ? size_t(k) < n : midLine;
    return k == ssize_t(n);
}

// Logs how many lines were dropped, once the log takes lines again.
bool noteDropped()
{
    if (!dropped)
        return true;
    char note[128] = "\n";
    size_t n = midLine ? 1 : 0;
    n += timeStamp(note + n, sizeof note - n);
    n += size_t(snprintf(note + n, sizeof note - n, "event log: %llu lines dropped\n", dropped));
    if (!writeLine(note, n))
        return false;
    dropped = 0;
    return true;
}

} // namespace

int32_t logOpen(const char *path)
{
    if (path && (logFd = open(path, O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0644)) < 0) {
        fprintf(stderr, "ioctlhelperd: cannot open log file %s: %s\n", path, strerror(errno));
        return -1;
    }
    return 0;
}

void logEvent(const char *fmt, ...)
{
    char line[LOG_LINE_MAX];
    size_t n = timeStamp(line, sizeof line);
    va_list ap;
    va_start(ap, fmt);
    int k = vsnprintf(line + n, sizeof line - n - 1, fmt, ap);
    va_end(ap);
    if (k > 0)
        n += std::min(size_t(k), sizeof line - n - 2);
    line[n++] = '\n';
    std::lock_guard<std::timed_mutex> hold(logLock);
    if (!noteDropped() || !writeLine(line, n))
        ++dropped;
}

void logStop()
{
    // Never released: no line starts after this one. Taken within the wait
    // or not at all, so the stop never waits on the log for long.
    if (logLock.try_lock_for(STOP_WAIT))
        noteDropped();
}

size_t escapeText(const char *in, size_t len, char *out, size_t outSize)
{
    size_t n = 0;
    for (size_t i = 0; i < len; ++i) {
        unsigned char c = static_cast<unsigned char>(in[i]);
        char esc[5] = {char(c)};
        if (c == '\n' || c == '\t' || c == '\\' || c == '"')
            snprintf(esc, sizeof esc, "\\%c", c == '\n' ? 'n' : c == '\t' ? 't' : c);
        else if (c < 0x20 || c >= 0x7f)
            snprintf(esc, sizeof esc, "\\x%02x", c);
        size_t k = strlen(esc);
        if (n + k >= outSize)
            break;
        memcpy(out + n, esc, k);
        n += k;
    }
    if (outSize > 0)
        out[n] = '\0';
    return n;
}
