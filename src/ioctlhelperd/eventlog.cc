// ioctlhelperd: the event log, one time-stamped line per trace event,
// message and status query, on standard output or appended to a file.
#include "helperd.h"

#include <algorithm>
#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <mutex>

namespace {

// Room for a whole message escaped (512 bytes, 4 characters each at most)
// with the time stamp and the words around it.
constexpr size_t LOG_LINE_MAX = 4096;

FILE *logFile = nullptr; // null: standard output
std::mutex logLock;

size_t timeStamp(char *buf, size_t size)
{
    timespec now = {};
    clock_gettime(CLOCK_REALTIME, &now);
    tm local = {};
    localtime_r(&now.tv_sec, &local);
    size_t n = strftime(buf, size, "%Y-%m-%d %H:%M:%S", &local);
    int k = snprintf(buf + n, size - n, ".%03ld ", now.tv_nsec / 1000000);
    return k > 0 ? n + size_t(k) : n;
}

} // namespace

int32_t logOpen(const char *path)
{
    if (path && !(logFile = fopen(path, "ae"))) {
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
    FILE *out = logFile ? logFile : stdout;
    std::lock_guard<std::mutex> hold(logLock);
    fwrite(line, 1, n, out);
    fflush(out);
}

void logStop()
{
    logLock.lock(); // never released: no line starts after this one
    fflush(logFile ? logFile : stdout);
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
