// SPDX-FileCopyrightText: 2026 tamsk developers
// SPDX-License-Identifier: MIT
// ioctlhelperd: the event log, one time-stamped line per trace event,
// message and status query, on standard output or appended to a file.
#include "helperd.h"

#include <algorithm>
#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <fcntl.h>
#include <initializer_list>
#include <poll.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

// Room for a whole message escaped (512 bytes, 4 characters each at most)
// with the time stamp and the words around it; also PIPE_BUF, so a pipe
// takes a line whole or not at all.
constexpr size_t LOG_LINE_MAX = 4096;

// A stream that never holds up the helper: lines it cannot take at once
// are dropped and counted, and the count is written before the next line
// that goes through.
struct Sink {
    int fd;
    bool stamped;               // lines start with a time stamp
    const char *dropNote;       // format of the count's line
    unsigned long long dropped = 0; // lines lost since the last line written
    bool midLine = false;           // a short write (full disk) cut a line
    bool regular = false;           // a regular file, which never waits for a reader
};

Sink events = {STDOUT_FILENO, true, "event log: %llu lines dropped\n"};
Sink diagnostics = {STDERR_FILENO, false, "ioctlhelperd: %llu diagnostics dropped\n"};

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

// Writes the line only when the stream takes it without waiting: a reader
// that stalls or a full disk never holds up service. False when it was not
// written whole.
bool writeLine(Sink &sink, const char *line, size_t n)
{
    pollfd p = {sink.fd, POLLOUT, {}};
    if (!sink.regular && (poll(&p, 1, 0) != 1 || !(p.revents & POLLOUT)))
        return false;
    ssize_t k = write(sink.fd, line, n);
    sink.midLine = k > 0 ? size_t(k) < n : sink.midLine;
    return k == ssize_t(n);
}

// Writes how many lines were dropped, once the stream takes lines again.
bool noteDropped(Sink &sink)
{
    if (!sink.dropped)
        return true;
    char note[128] = "\n";
    size_t n = sink.midLine ? 1 : 0;
    if (sink.stamped)
        n += timeStamp(note + n, sizeof note - n);
    n += size_t(snprintf(note + n, sizeof note - n, sink.dropNote, sink.dropped));
    if (!writeLine(sink, note, n))
        return false;
    sink.dropped = 0;
    return true;
}

void put(Sink &sink, const char *line, size_t n)
{
    if (!noteDropped(sink) || !writeLine(sink, line, n))
        ++sink.dropped;
}

// Formats prefix (n characters) and the rest into line, cut to end in a newline.
size_t formatLine(char *line, size_t n, const char *fmt, va_list ap)
{
    int k = vsnprintf(line + n, LOG_LINE_MAX - n - 1, fmt, ap);
    if (k > 0)
        n += std::min(size_t(k), LOG_LINE_MAX - n - 2);
    line[n++] = '\n';
    return n;
}

} // namespace

int32_t logOpen(const char *path)
{
    if (path && (events.fd = open(path, O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0644)) == -1) {
        fprintf(stderr, "ioctlhelperd: cannot open log file %s: %s\n", path, strerror(errno));
        return -1;
    }
    struct stat st;
    for (Sink *sink : {&events, &diagnostics})
        sink->regular = fstat(sink->fd, &st) == 0 && S_ISREG(st.st_mode);
    return 0;
}

void logEvent(const char *fmt, ...)
{
    char line[LOG_LINE_MAX];
    va_list ap;
    va_start(ap, fmt);
    size_t n = formatLine(line, timeStamp(line, sizeof line), fmt, ap);
    va_end(ap);
    put(events, line, n);
}

void diagnose(const char *fmt, ...)
{
    char line[LOG_LINE_MAX] = "ioctlhelperd: ";
    va_list ap;
    va_start(ap, fmt);
    size_t n = formatLine(line, strlen(line), fmt, ap);
    va_end(ap);
    put(diagnostics, line, n);
}

void logStop()
{
    noteDropped(events);
}

size_t escapeText(const char *in, size_t len, char *out, size_t outSize)
{
    size_t n = 0;
    for (size_t i = 0; i < len; ++i) {
        unsigned char c = static_cast<unsigned char>(in[i]);
        char esc[sizeof "\\xff"] = {char(c)};
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
    out[n] = '\0';
    return n;
}
