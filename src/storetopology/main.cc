/* SPDX-FileCopyrightText: 2026 tamsk developers */
/* SPDX-License-Identifier: MIT */
/* storetopology: stores the link topology value of one adapter port in the
   controller's topology configuration, for operators. */
#include "apcfgcommon.h"
#include "apfile.h"
#include "osslnxadaptconfig.h"
#include "tamskpaths.h"
#include "tamskversion.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <getopt.h>
#include <initializer_list>
#include <pwd.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <ctime>
#include <unistd.h>

namespace {

enum { EXIT_STORED = 0, EXIT_STORE_FAILED = 1, EXIT_USAGE = 2 };

const char LOCK_NAME[] = TAMSK_CONFIG_FILE_NAME ".lock";
const char LOCK_FILE[] = TAMSK_CONFIG_FILE ".lock";

const char USAGE[] =
    "\nUsage:\n storetopology [options] -a <id> -p <port> -t <value>\n\n"
    "Store the link topology value of one adapter port.\n\n"
    "Options:\n"
    " -a, --adapter <id>       adapter id, hexadecimal (1 to FFFF)\n"
    " -l, --logical <name>     the id that the report of this logical name uses\n"
    " -p, --port <port>        port number (0 to 255)\n"
    " -t, --topology <value>   0 unknown, 1 open point-to-point, 2 FC-AL,\n"
    "                          3 FICON point-to-point, 4 open FICON point-to-point\n"
    " -v, --verbose            report every step to the controller's message log\n"
    " -w, --wait <seconds>     wait at most this long for another store to finish (default 10)\n"
    " -h, --help               display this help and exit\n"
    " -V, --version            display version and exit\n\n"
    "For more details see storetopology(1).\n";

const option LONG_OPTIONS[] = {
    {"adapter", required_argument, nullptr, 'a'}, {"logical", required_argument, nullptr, 'l'},
    {"port", required_argument, nullptr, 'p'},
    {"topology", required_argument, nullptr, 't'}, {"verbose", no_argument, nullptr, 'v'},
    {"wait", required_argument, nullptr, 'w'},
    {"help", no_argument, nullptr, 'h'},           {"version", no_argument, nullptr, 'V'},
    {}};

int usageError(const char *problem, const char *arg)
{
    if (problem)
        fprintf(stderr, "storetopology: %s%s\n", problem, arg);
    fputs("Try 'storetopology --help' for more information.\n", stderr);
    return EXIT_USAGE;
}

// Output that did not reach standard output (full disk, closed pipe) fails the command.
int finish(int status)
{
    if (fflush(stdout) == 0 && !ferror(stdout))
        return status;
    fprintf(stderr, "storetopology: write error: %s\n", strerror(errno));
    return EXIT_STORE_FAILED;
}

// Parses a whole argument as an unsigned number no larger than max.
bool parseNumber(const char *text, int base, unsigned long max, unsigned long *out)
{
    char *end = nullptr;
    errno = 0;
    unsigned long v = strtoul(text, &end, base);
    if (errno != 0 || end == text || *end != '\0' || text[0] == '-' || v > max)
        return false;
    *out = v;
    return true;
}

// Says what keeps the configuration directory from being used, if anything.
bool configDirectoryUsable()
{
    struct stat st;
    const char *problem = lstat(TAMSK_CONFIG_DIR, &st) != 0
                              ? (errno == ENOENT ? "missing; the ioctl helper makes it when it starts" : strerror(errno))
                          : S_ISLNK(st.st_mode) ? "a symbolic link, which stores do not follow"
                          : !S_ISDIR(st.st_mode) ? "not a directory"
                                                 : nullptr;
    if (problem)
        fprintf(stderr, "storetopology: configuration directory %s: %s\n", TAMSK_CONFIG_DIR, problem);
    return !problem;
}

// Opens the lock file as the store opens its files: made with the
// directory's group and mode 0660, so only those who may store can hold it.
// -1 after a message.
int openLock()
{
    int fd = tamsk::apConfigOpen(LOCK_NAME, true);
    if (fd == -1)
        fprintf(stderr, "storetopology: cannot lock %s: %s\n", LOCK_FILE,
                errno == EINVAL ? "not a regular file with a single link" : strerror(errno));
    return fd;
}

// Names each file of a directory the group stores in that the group cannot
// write: another member made it before such files took the group's mode,
// and every store but its owner's fails on it. A file of another group that
// the group cannot read, or one with other names, was put there, not made
// by a store: giving it the group's mode would open it to the group, so the
// line says to move it.
void reportUnwritable()
{
    struct stat dir, st;
    if (stat(TAMSK_CONFIG_DIR, &dir) != 0 || !(dir.st_mode & S_IWGRP))
        return;
    for (const char *path : {TAMSK_CONFIG_FILE, TAMSK_CONFIG_FILE ".bak", LOCK_FILE}) {
        if (lstat(path, &st) != 0 || !S_ISREG(st.st_mode))
            continue;
        bool ours = st.st_gid == dir.st_gid;
        if (ours && (st.st_mode & S_IWGRP) && st.st_nlink == 1)
            continue;
        const char *why = st.st_nlink == 1 && (ours || (st.st_mode & S_IROTH))
                              ? "the directory's group cannot write it"
                              : "no store made it (it has other names, or another group that cannot read "
                                "it): move it away rather than change its mode";
        const passwd *owner = getpwuid(st.st_uid);
        char uid[16];
        snprintf(uid, sizeof uid, "%u", unsigned(st.st_uid));
        fprintf(stderr, "storetopology: %s belongs to %s with mode %04o: %s\n", path,
                owner ? owner->pw_name : uid, unsigned(st.st_mode & 07777), why);
    }
}

// Holds every other operator store off until this process exits: the
// library's store reloads, changes and rewrites the file without a lock, so
// two stores at once would lose one of the updates. Waits for another store
// for at most waitSeconds.
bool lockStores(double waitSeconds)
{
    int fd = configDirectoryUsable() ? openLock() : -1;
    timespec start, now, pause = {0, 10 * 1000 * 1000};
    clock_gettime(CLOCK_MONOTONIC, &start);
    for (now = start; fd != -1; clock_gettime(CLOCK_MONOTONIC, &now)) {
        if (flock(fd, LOCK_EX | LOCK_NB) == 0)
            return true;
        double waited = double(now.tv_sec - start.tv_sec) + double(now.tv_nsec - start.tv_nsec) / 1e9;
        if (errno != EWOULDBLOCK) {
            fprintf(stderr, "storetopology: cannot lock %s: %s\n", LOCK_FILE, strerror(errno));
            return false;
        }
        if (waited >= waitSeconds) {
            fprintf(stderr, "storetopology: cannot lock %s: another store holds it (waited %g s)\n", LOCK_FILE,
                    waitSeconds);
            return false;
        }
        nanosleep(&pause, nullptr);
    }
    return false;
}

// Parses a whole argument as a number of seconds, 0 to one hour.
bool parseSeconds(const char *text, double *out)
{
    char *end = nullptr;
    double v = strtod(text, &end);
    if (end == text || *end != '\0' || !(v >= 0 && v <= 3600))
        return false;
    *out = v;
    return true;
}

} // namespace

int main(int argc, char **argv)
{
    unsigned long adapterId{}, port{}, value{}; // read only once given
    bool haveId = false, havePort = false, haveValue = false;
    const char *name = nullptr; // -l
    int verbose = 0;
    double waitSeconds = 10;
    int c;
    while ((c = getopt_long(argc, argv, "a:l:p:t:vw:hV", LONG_OPTIONS, nullptr)) != -1) {
        bool ok = true;
        switch (c) {
        case 'a': ok = haveId = parseNumber(optarg, 16, 0xFFFF, &adapterId) && adapterId != 0; break;
        case 'l': ok = strlen(name = optarg) <= 9 && apAdptIsKorval(name); break;
        case 'p': ok = havePort = parseNumber(optarg, 10, 0xFF, &port); break;
        case 't': ok = haveValue = parseNumber(optarg, 10, 4, &value); break;
        case 'v': verbose = 1; break;
        case 'w': ok = parseSeconds(optarg, &waitSeconds); break;
        case 'h': fputs(USAGE, stdout); return finish(EXIT_STORED);
        case 'V': puts("storetopology (tamsk) " TAMSK_VERSION); return finish(EXIT_STORED);
        default: return usageError(nullptr, ""); // getopt_long said what was wrong
        }
        if (!ok) {
            char problem[32];
            snprintf(problem, sizeof problem, "invalid value for -%c: ", c);
            return usageError(problem, optarg);
        }
    }
    if (optind != argc)
        return usageError("unexpected argument: ", argv[optind]);
    if (name && haveId)
        return usageError("-a and -l exclude each other", "");
    if (!(haveId || name) || !havePort || !haveValue)
        return usageError("-a or -l, -p and -t are required", "");
    if (name && (adapterId = apGetAdapterId(name)) != 0xB00)
        fprintf(stderr, "storetopology: %s shares adapter id %lX with every adapter but wyrafc000: the value "
                "stored for port %lu shows in the reports of all of them\n", name, adapterId, port);
    bool stored = lockStores(waitSeconds);
    if (stored && apStoreTopology(uint16_t(adapterId), uint8_t(port), uint8_t(value), verbose) != 0) {
        fprintf(stderr,
                "storetopology: storing %lX port %lu value %lu failed; the reasons are in the controller's "
                "message log (the event log of ioctlhelperd on a test rig)\n",
                adapterId, port, value);
        stored = false;
    }
    if (!stored)
        reportUnwritable();
    return stored ? finish(EXIT_STORED) : EXIT_STORE_FAILED;
}
