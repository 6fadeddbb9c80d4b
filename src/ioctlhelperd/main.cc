// SPDX-FileCopyrightText: 2026 tamsk developers
// SPDX-License-Identifier: MIT
// ioctlhelperd: stand-in ioctl helper and AP code. Options, the listening
// socket, the configuration directory, the accept loop and the clean stop
// on SIGTERM or SIGINT.
#include "helperd.h"

#include "tamskpaths.h"
#include "tamskversion.h"

#include <cerrno>
#include <cfloat>
#include <climits>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <getopt.h>
#include <grp.h>
#include <initializer_list>
#include <pthread.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

namespace {

constexpr int EXIT_STOPPED = 0;     // stopped by a signal, or -h, -V
constexpr int EXIT_NOT_STARTED = 1; // socket, log or signal setup failed
constexpr int EXIT_BAD_INPUT = 2;   // bad option or model file

const char USAGE[] =
    "\nUsage:\n ioctlhelperd [options]\n\n"
    "Stand-in ioctl helper and adapter AP code for the tamsk tools.\n\n"
    "Options:\n"
    " -m, --model <file>       adapter model file, replacing the built-in adapters\n"
    " -l, --log <file>         append the event log to <file>, not standard output\n"
    " -d, --device-dir <dir>   stream devices (default /home/tamsk/devices)\n"
    " -g, --group <group>      group of the socket, a name or a number\n"
    " -M, --mode <mode>        permissions of the socket, octal (for example 660)\n"
    " -s, --sysfs <dir>        answer status queries from <dir>/class/fc_host (e.g. /sys)\n"
    "     --pin <name>=<dev>   give logical name <name> to the adapter at <dev> (e.g. 0000:3b:00)\n"
    "     --list               list the adapters served and exit\n"
    "     --connections <n>    connections served at once (default 1024)\n"
    "     --busy <n>           connections beyond them answered busy (default 64)\n"
    "     --per-user <n>       connections of one user at most (default 256)\n"
    "     --deadline <s>       seconds for a whole request (default 5)\n"
    "     --idle <s>           seconds for a request to start (default 30)\n"
    "     --budget <bytes>     packet buffers of all connections (default 33554432)\n"
    " -h, --help               display this help and exit\n"
    " -V, --version            display version and exit\n\n"
    "For more details see ioctlhelperd(8).\n";

struct Options {
    const char *modelFile = nullptr, *logFile = nullptr;
    gid_t group = gid_t(-1); // -1: left as made
    long mode = -1;
    bool list = false;
};

int homeDir = -1;        // the helper directory, where the socket is
struct stat boundSocket; // the socket file this helper made

int usageError(const char *what, const char *arg)
{
    fprintf(stderr, "ioctlhelperd: %s '%s'\nTry 'ioctlhelperd --help' for more information.\n", what, arg);
    return EXIT_BAD_INPUT;
}

// A whole argument as a number from min to max.
bool number(const char *text, double min, double max, double *out)
{
    char *end = nullptr;
    *out = strtod(text, &end);
    return *text && !*end && *out >= min && *out <= max;
}

// Sets the limit of option opt from text; false when text is not a number in its range.
bool setLimit(int opt, const char *text)
{
    double v;
    switch (opt) {
    case 'c': return number(text, 1, 65536, &v) && (helperLimits.connections = int32_t(v)) == v;
    case 'b': return number(text, 0, 65536, &v) && (helperLimits.busy = int32_t(v)) == v;
    case 'u': return number(text, 1, 65536, &v) && (helperLimits.perUser = int32_t(v)) == v;
    case 't': return number(text, 0.001, 3600, &helperLimits.deadline);
    case 'i': return number(text, 0.001, 86400, &helperLimits.idle);
    default: return number(text, 0, double(SIZE_MAX / 2), &v) && double(helperLimits.budget = size_t(v)) == v;
    }
}

// Reads the options into o and helperLimits. Returns -1 to go on, or the
// exit status after the help, the version or a usage error.
int readOptions(int argc, char **argv, Options *o)
{
    const option longOpts[] = {{"model", required_argument, nullptr, 'm'}, {"log", required_argument, nullptr, 'l'},
                               {"device-dir", required_argument, nullptr, 'd'},
                               {"group", required_argument, nullptr, 'g'}, {"mode", required_argument, nullptr, 'M'},
                               {"sysfs", required_argument, nullptr, 's'}, {"pin", required_argument, nullptr, 'P'},
                               {"list", no_argument, nullptr, 'L'},
                               {"connections", required_argument, nullptr, 'c'},
                               {"busy", required_argument, nullptr, 'b'},
                               {"per-user", required_argument, nullptr, 'u'},
                               {"deadline", required_argument, nullptr, 't'},
                               {"idle", required_argument, nullptr, 'i'},
                               {"budget", required_argument, nullptr, 'B'},
                               {"help", no_argument, nullptr, 'h'}, {"version", no_argument, nullptr, 'V'},
                               {nullptr, 0, nullptr, 0}};
    int at = 0;
    for (int opt; (opt = getopt_long(argc, argv, ":m:l:d:g:M:s:hV", longOpts, &at)) != -1;) {
        char *end = nullptr, shortOpt[3] = {'-', char(optopt)};
        const group *g = opt == 'g' ? getgrnam(optarg) : nullptr;
        switch (opt) {
        case 'h':
        case 'V':
            printf(opt == 'h' ? "%s" : "ioctlhelperd (tamsk) %s\n", opt == 'h' ? USAGE : TAMSK_VERSION);
            if (fflush(stdout) == 0 && !ferror(stdout))
                return EXIT_STOPPED;
            fprintf(stderr, "ioctlhelperd: write error: %s\n", strerror(errno));
            return EXIT_NOT_STARTED;
        case 'm': o->modelFile = optarg; break;
        case 'l': o->logFile = optarg; break;
        case 'd': helperDeviceDir = optarg; break;
        case 's': helperSysfs.dir = optarg; break;
        case 'L': o->list = true; break;
        case 'P':
            if (!sysfsPin(&helperSysfs, optarg))
                return usageError("bad pin", optarg);
            break;
        case 'g':
            o->group = g ? g->gr_gid : gid_t(strtoul(optarg, &end, 10));
            if (!g && (!*optarg || *end))
                return usageError("unknown group", optarg);
            break;
        case 'M':
            o->mode = strtol(optarg, &end, 8);
            if (!*optarg || *end || o->mode < 0 || o->mode > 0777)
                return usageError("bad mode", optarg);
            break;
        case ':':
        case '?':
            return usageError(opt == ':' ? "missing argument for" : "unknown option",
                              optopt && strncmp(argv[optind - 1], "--", 2) ? shortOpt : argv[optind - 1]);
        default:
            char what[32];
            snprintf(what, sizeof what, "bad value for --%s", longOpts[at].name);
            if (!setLimit(opt, optarg))
                return usageError(what, optarg);
        }
    }
    if (helperSysfs.pinCount && !helperSysfs.dir)
        return usageError("--pin needs", "--sysfs");
    return optind < argc ? usageError("unexpected argument", argv[optind]) : -1;
}

// True when a live helper answers on the helper path; anything else found
// there, such as a stale socket, is replaced.
bool helperListening()
{
    sockaddr_un a = tamsk::socketAddress();
    int s = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    bool live = connect(s, reinterpret_cast<sockaddr *>(&a), sizeof a) == 0;
    close(s);
    return live;
}

// Makes a directory of this helper's own in the helper directory, with
// the given group and mode, and opens it. Returns its descriptor, or -1
// (errno EEXIST when the name is taken, or the directory was taken away
// before it could be opened).
int ownDirectory(const char *name, gid_t group, mode_t mode)
{
    if (mkdirat(homeDir, name, 0700) != 0)
        return -1;
    int d = openat(homeDir, name, O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
    struct stat st;
    if (d == -1 || fstat(d, &st) != 0 || st.st_uid != geteuid()) {
        if (d != -1)
            close(d);
        return errno = EEXIST, -1; // removed or replaced by another user since it was made
    }
    if ((group != gid_t(-1) && fchown(d, uid_t(-1), group) != 0) || fchmod(d, mode) != 0) {
        int err = errno;
        close(d);
        return errno = err, -1;
    }
    return d;
}

// Binds in the private directory priv, whose group is the socket's
// (set-group-id), with the umask giving the socket's mode, then renames the
// socket onto the helper path. Returns the listening socket, or -1.
int bindIn(const char *priv, const Options &o)
{
    int dir = ownDirectory(priv, o.group, o.group != gid_t(-1) ? 02700 : 0700);
    if (dir == -1)
        return -1;
    int cwd = open(".", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    int s = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_un a = tamsk::socketAddress(TAMSK_SOCKET_NAME);
    mode_t oldMask = umask(0);
    umask(o.mode >= 0 ? mode_t(~o.mode & 0777) : oldMask);
    bool ok = s != -1 && fchdir(dir) == 0 && bind(s, reinterpret_cast<sockaddr *>(&a), sizeof a) == 0;
    umask(oldMask);
    ok = ok && fstatat(dir, TAMSK_SOCKET_NAME, &boundSocket, AT_SYMLINK_NOFOLLOW) == 0;
    if (ok && o.group != gid_t(-1) && boundSocket.st_gid != o.group) // the directory's group was not passed on
        ok = (errno = EPERM, false);
    ok = ok && listen(s, SOMAXCONN) == 0 && renameat(dir, TAMSK_SOCKET_NAME, homeDir, TAMSK_SOCKET_NAME) == 0;
    int err = errno;
    if (cwd == -1 || fchdir(cwd) != 0)
        ok = ok && chdir("/") == 0;
    unlinkat(dir, TAMSK_SOCKET_NAME, 0);
    unlinkat(homeDir, priv, AT_REMOVEDIR);
    for (int fd : {cwd, dir, ok ? -1 : s})
        if (fd != -1)
            close(fd);
    errno = err;
    return ok ? s : -1;
}

// The socket appears at its path with its final group and mode, nothing is
// changed through a path that another user could redirect, and clients
// never find a path that refuses connections. Returns the listening
// socket, or -1.
int bindSocket(const Options &o)
{
    int s = -1;
    for (int i = 0; s == -1 && i < 100; ++i) { // directories another user took or took away are passed over
        char priv[32];
        snprintf(priv, sizeof priv, ".ioctl.%d.%d", int(getpid()), i);
        if ((s = bindIn(priv, o)) == -1 && errno != EEXIST && errno != ENOENT)
            break;
    }
    return s;
}

// Opens the helper directory and listens on the helper path. Returns the
// listening socket, or -1 after a message.
int listenSocket(const Options &o)
{
    mkdir(TAMSK_DIR, 0755); // may exist; if it cannot be made, the open says why
    homeDir = open(TAMSK_DIR, O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (homeDir != -1 && helperListening()) {
        fprintf(stderr, "ioctlhelperd: another helper is listening on %s\n", TAMSK_HELPER_SOCKET);
        return -1;
    }
    int s = homeDir == -1 ? -1 : bindSocket(o);
    if (s == -1)
        fprintf(stderr, "ioctlhelperd: cannot listen on %s: %s\n", TAMSK_HELPER_SOCKET, strerror(errno));
    return s;
}

// A missing configuration directory is made so that those who may use the
// socket may store: with the socket's group, set-group-id and writable by
// the group when the group may connect. One that exists is left as it is.
void makeConfigDirectory(const Options &o)
{
    bool groupStores = o.mode >= 0 && (o.mode & 020);
    int d = ownDirectory(TAMSK_CONFIG_DIR_NAME, o.group, groupStores ? 02775 : 0755);
    if (d != -1)
        close(d);
    else if (errno != EEXIST)
        fprintf(stderr, "ioctlhelperd: cannot make %s: %s\n", TAMSK_CONFIG_DIR, strerror(errno));
}

// Waits for SIGTERM or SIGINT, removes the socket file while it is still the
// one this helper made, flushes the log and exits; connections are dropped.
void *stopOnSignal(void *signals)
{
    int sig = 0;
    sigwait(static_cast<sigset_t *>(signals), &sig);
    struct stat now;
    if (fstatat(homeDir, TAMSK_SOCKET_NAME, &now, AT_SYMLINK_NOFOLLOW) == 0 && now.st_ino == boundSocket.st_ino &&
        now.st_dev == boundSocket.st_dev)
        unlinkat(homeDir, TAMSK_SOCKET_NAME, 0);
    logStop();
    _exit(EXIT_STOPPED); // without running destructors under the connection threads
}

} // namespace

int main(int argc, char **argv)
{
    Options o;
    int status = readOptions(argc, argv, &o);
    if (status >= 0)
        return status;
    if (o.modelFile && !apModelLoad(o.modelFile))
        return EXIT_BAD_INPUT;
    if (o.list) { // the inventory, then exit
        int32_t listed = listAdapters(helperSysfs, false);
        if (fflush(stdout) != 0 || ferror(stdout))
            fprintf(stderr, "ioctlhelperd: write error: %s\n", strerror(errno));
        return listed >= 0 && !ferror(stdout) ? EXIT_STOPPED : EXIT_NOT_STARTED;
    }
    if (logOpen(o.logFile) != 0)
        return EXIT_NOT_STARTED;
    signal(SIGPIPE, SIG_IGN);
    rlimit fds; // one descriptor for each connection of the limit and more
    if (getrlimit(RLIMIT_NOFILE, &fds) == 0 && fds.rlim_cur < fds.rlim_max) {
        fds.rlim_cur = fds.rlim_max;
        setrlimit(RLIMIT_NOFILE, &fds);
    }
    // Blocked in every thread: only the stop thread takes them.
    static sigset_t stops;
    sigemptyset(&stops);
    sigaddset(&stops, SIGTERM);
    sigaddset(&stops, SIGINT);
    pthread_sigmask(SIG_BLOCK, &stops, nullptr);
    int listenFd = listenSocket(o);
    if (listenFd < 0)
        return EXIT_NOT_STARTED;
    makeConfigDirectory(o);
    listAdapters(helperSysfs, true);
    pthread_t stopper;
    if ((errno = pthread_create(&stopper, nullptr, stopOnSignal, &stops)) != 0) {
        fprintf(stderr, "ioctlhelperd: cannot wait for signals: %s\n", strerror(errno));
        unlinkat(homeDir, TAMSK_SOCKET_NAME, 0);
        return EXIT_NOT_STARTED;
    }
    for (;;) {
        int s = accept4(listenFd, nullptr, nullptr, SOCK_CLOEXEC);
        if (s != -1) {
            startConnection(s);
        } else if (errno != EINTR && errno != ECONNABORTED) {
            // Out of descriptors or memory: pause instead of spinning.
            diagnose("accept: %s", strerror(errno));
            usleep(50000);
        }
    }
}
