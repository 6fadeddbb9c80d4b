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

struct TraceName {
    uint32_t id;
    const char *name;
};

constexpr TraceName TRACE_NAMES[] = {
    {20581, "lookup entry"},       {20592, "lookup reload"},
    {20582, "load begins"},        {20583, "pair found"},
    {20584, "pair not found"},     {20597, "config file not opened"},
    {20593, "config read failed"}, {20594, "config text empty"},
    {20611, "value out of range"}, {20591, "record limit reached"},
    {20596, "end of records"},     {20598, "store entry"},
    {20600, "store replace"},      {20602, "store append"},
    {20603, "store table full"},   {20601, "store text too large"},
    {20604, "store file update failed"}, {20599, "stored"},
    {20605, "file update entry"},  {20607, "file open failed"},
    {20610, "backup length differs"}, {20609, "short write"},
    {20608, "read-back failed"},   {20606, "file verified"},
};

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
    if (!path)
        return 0;
    logFile = fopen(path, "ae");
    if (!logFile) {
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
        char esc[5];
        if (c == '\n')
            strcpy(esc, "\\n");
        else if (c == '\t')
            strcpy(esc, "\\t");
        else if (c == '\\' || c == '"')
            snprintf(esc, sizeof esc, "\\%c", c);
        else if (c >= 0x20 && c < 0x7f)
            snprintf(esc, sizeof esc, "%c", c);
        else
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

const char *traceName(uint32_t eventId)
{
    for (const TraceName &t : TRACE_NAMES)
        if (t.id == eventId)
            return t.name;
    return nullptr;
}
