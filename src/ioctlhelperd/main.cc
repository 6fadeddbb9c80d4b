// SPDX-FileCopyrightText: 2026 tamsk developers
// SPDX-License-Identifier: MIT
// ioctlhelperd: stand-in ioctl helper and AP code. Options, the limits
// fitted to the descriptors, one helper per socket, the listening socket,
// the configuration directory, and the clean stop on SIGTERM or SIGINT.
#include "helperd.h"

#include "tamskpaths.h"
#include "tamskversion.h"

#include <algorithm>
#include <cerrno>
#include <cfloat>
#include <climits>
#include <csignal>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <getopt.h>
#include <grp.h>
#include <initializer_list>
#include <sys/file.h>
#include <sys/resource.h>
#include <sys/signalfd.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

namespace {

constexpr int EXIT_STOPPED = 0;     // stopped by a signal, or -h, -V
constexpr int EXIT_NOT_STARTED = 1; // socket, log or signal setup failed, or another helper runs
const char LOCK_NAME[] = "ioctl.lock"; // in the helper directory, held while the helper runs
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
    "     --per-process <n>    connections of one process at most (default 64)\n"
    "     --deadline <s>       seconds for a whole request (default 5)\n"
    "     --idle <s>           seconds for a request to start (default 30)\n"
    "     --budget <bytes>     packet buffers of all connections (default 33554432)\n"
    " -h, --help               display this help and exit\n"
    " -V, --version            display version and exit\n\n"
    "For more details see ioctlhelperd(8).\n";

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
bool setLimit(HelperOptions *o, int opt, const char *text)
{
    double v;
    int32_t *count = opt == 'c' ? &o->connections : opt == 'b' ? &o->busy : opt == 'u' ? &o->perUser
                   : opt == 'p' ? &o->perProcess : nullptr;
    if (count)
        return number(text, opt == 'b' ? 0 : 1, 65536, &v) && (*count = int32_t(v)) == v;
    if (opt != 'B')
        return number(text, 0.001, opt == 't' ? 3600 : 86400, opt == 't' ? &o->deadline : &o->idle);
    return number(text, 0, double(SIZE_MAX / 2), &v) && double(o->budget = size_t(v)) == v;
}

// Reads the options into o. Returns -1 to go on, or the exit status after
// the help, the version or a usage error.
int readOptions(int argc, char **argv, HelperOptions *o)
{
    constexpr int ARG = required_argument;
    const option longOpts[] = {
        {"model", ARG, nullptr, 'm'}, {"log", ARG, nullptr, 'l'}, {"device-dir", ARG, nullptr, 'd'},
        {"group", ARG, nullptr, 'g'}, {"mode", ARG, nullptr, 'M'}, {"sysfs", ARG, nullptr, 's'},
        {"pin", ARG, nullptr, 'P'}, {"list", no_argument, nullptr, 'L'}, {"connections", ARG, nullptr, 'c'},
        {"busy", ARG, nullptr, 'b'}, {"per-user", ARG, nullptr, 'u'}, {"per-process", ARG, nullptr, 'p'},
        {"deadline", ARG, nullptr, 't'}, {"idle", ARG, nullptr, 'i'}, {"budget", ARG, nullptr, 'B'},
        {"help", no_argument, nullptr, 'h'}, {"version", no_argument, nullptr, 'V'}, {}};
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
        case 'd': o->deviceDir = optarg; break;
        case 's': o->sysfs.dir = optarg; break;
        case 'L': o->list = true; break;
        case 'P':
            if (!sysfsPin(&o->sysfs, optarg))
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
            if (!setLimit(o, opt, optarg))
                return usageError(what, optarg);
        }
    }
    if (o->sysfs.pinCount && !o->sysfs.dir)
        return usageError("--pin needs", "--sysfs");
    return optind < argc ? usageError("unexpected argument", argv[optind]) : -1;
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

// Binds in a private directory, whose group is the socket's (set-group-id),
// with the umask giving the socket's mode, then renames the socket onto the
// helper path: the socket appears at its path with its final group and
// mode, nothing is changed through a path that another user could redirect,
// and clients never find a path that refuses connections. What a start
// killed half-way left at the private name goes first, never followed.
// Returns the listening socket, or -1.
int bindSocket(const HelperOptions &o)
{
    const char priv[] = ".ioctl.new";
    int old = openat(homeDir, priv, O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
    if (old != -1)
        unlinkat(old, TAMSK_SOCKET_NAME, 0), close(old);
    unlinkat(homeDir, priv, old != -1 ? AT_REMOVEDIR : 0);
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

// Opens the helper directory, takes the lock that makes this the one
// helper of the socket for as long as it runs, and listens on the helper
// path. Returns the listening socket, or -1 after a message.
int listenSocket(const HelperOptions &o)
{
    mkdir(TAMSK_DIR, 0755); // may exist; if it cannot be made, the open says why
    homeDir = open(TAMSK_DIR, O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    // Mode 0600: nobody else can open the lock and so hold helpers off. A
    // FIFO another put there does not hang the open; it is refused below.
    int lock = homeDir == -1 ? -1
                             : openat(homeDir, LOCK_NAME, O_RDONLY | O_CREAT | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC, 0600);
    struct stat st;
    if (lock != -1 && (fstat(lock, &st) != 0 || !S_ISREG(st.st_mode) || st.st_uid != geteuid()))
        close(lock), lock = -1, errno = EPERM;
    if (lock != -1 && (st.st_mode & 077) && fchmod(lock, 0600) == 0) // made by hand: others may no longer open it
        diagnose("%s/%s had mode %04o; it has 0600 now", TAMSK_DIR, LOCK_NAME, unsigned(st.st_mode & 07777));
    if (lock != -1 && flock(lock, LOCK_EX | LOCK_NB) != 0) {
        diagnose("another helper is running on %s", TAMSK_HELPER_SOCKET);
        return -1;
    }
    int s = lock == -1 ? -1 : bindSocket(o);
    if (s == -1)
        diagnose("cannot listen on %s: %s", TAMSK_HELPER_SOCKET, strerror(errno)); // it holds the lock: no wait
    return s;
}

// One line at start, on standard error and in the event log; neither waits.
void startWarning(const char *fmt, ...) __attribute__((format(printf, 1, 2)));
void startWarning(const char *fmt, ...)
{
    char line[512];
    va_list ap;
    va_start(ap, fmt);
    vsnprintf(line, sizeof line, fmt, ap);
    va_end(ap);
    diagnose("%s", line);
    logEvent("%s", line);
}

// Warns when a directory the clients trust is not root's (or this helper's
// user's) alone to change, but for the socket's group where groupStores:
// its owner, or another who may write in it, can put a socket or files of
// their own in the place of the helper's.
void checkTrusted(const struct stat &st, const char *path, gid_t socketGroup, bool groupStores)
{
    if ((st.st_uid == 0 || st.st_uid == geteuid()) && !(st.st_mode & S_IWOTH) &&
        (!(st.st_mode & S_IWGRP) || (groupStores && st.st_gid == socketGroup)))
        return;
    startWarning("warning: %s has owner %u, group %u and mode %04o: only root%s should be able to change it, "
                 "or others can stand in for the helper there",
                 path, unsigned(st.st_uid), unsigned(st.st_gid), unsigned(st.st_mode & 07777),
                 groupStores ? ", the helper's user and the socket's group" : " and the helper's user");
}

// A missing configuration directory is made so that those who may use the
// socket may store: with the socket's group, set-group-id and writable by
// the group when the group may connect. One that exists is left as it is,
// but a name there that is no directory, or one others control, is told.
void makeConfigDirectory(const HelperOptions &o)
{
    bool groupStores = o.mode >= 0 && (o.mode & 020);
    int d = ownDirectory(TAMSK_CONFIG_DIR_NAME, o.group, groupStores ? 02775 : 0755);
    if (d == -1 && errno != EEXIST)
        diagnose("cannot make %s: %s", TAMSK_CONFIG_DIR, strerror(errno));
    if (d == -1)
        d = openat(homeDir, TAMSK_CONFIG_DIR_NAME, O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
    gid_t socketGroup = o.group != gid_t(-1) ? o.group : getegid();
    struct stat st;
    if (fstat(homeDir, &st) == 0)
        checkTrusted(st, TAMSK_DIR, socketGroup, false); // the socket's own directory
    // A directory this helper's user cannot open is still told by its owner and mode.
    bool seen = d != -1 ? fstat(d, &st) == 0 : fstatat(homeDir, TAMSK_CONFIG_DIR_NAME, &st, AT_SYMLINK_NOFOLLOW) == 0;
    if (seen && S_ISDIR(st.st_mode))
        checkTrusted(st, TAMSK_CONFIG_DIR, socketGroup, true);
    else if (seen)
        startWarning("warning: %s is %s, not a directory: stores fail until it is one", TAMSK_CONFIG_DIR,
                     S_ISLNK(st.st_mode) ? "a symbolic link" : "something else");
    if (d != -1)
        close(d);
}

// Removes the socket file while it is still the one this helper made.
void removeSocket()
{
    struct stat now;
    if (fstatat(homeDir, TAMSK_SOCKET_NAME, &now, AT_SYMLINK_NOFOLLOW) == 0 && now.st_ino == boundSocket.st_ino &&
        now.st_dev == boundSocket.st_dev)
        unlinkat(homeDir, TAMSK_SOCKET_NAME, 0);
}

// Raises the descriptor limit to the hard limit and lowers the connection
// limits to what fits in it beside the helper's own descriptors, saying so.
void fitLimits(HelperOptions *o)
{
    rlimit fds;
    if (getrlimit(RLIMIT_NOFILE, &fds) != 0)
        return;
    fds.rlim_cur = fds.rlim_max;
    setrlimit(RLIMIT_NOFILE, &fds);
    getrlimit(RLIMIT_NOFILE, &fds);
    o->descriptors = int32_t(std::min<rlim_t>(fds.rlim_cur, 1 << 20));
    int64_t room = int64_t(o->descriptors) - OWN_DESCRIPTORS;
    if (o->connections + o->busy <= room)
        return;
    o->busy = int32_t(std::min<int64_t>(o->busy, std::max<int64_t>(room / 16, 0)));
    o->connections = int32_t(std::max<int64_t>(room - o->busy, 1));
    diagnose("%llu descriptors: serving at most %d connections and %d busy ones", (unsigned long long)fds.rlim_cur,
             o->connections, o->busy); // a full standard error does not hold up the start
}

} // namespace

int main(int argc, char **argv)
{
    for (int fd = 0; fd < 3; ++fd) // a closed standard stream would be taken by the next descriptor opened
        if (fcntl(fd, F_GETFD) == -1 && open("/dev/null", O_RDWR) != fd)
            return EXIT_NOT_STARTED;
    HelperOptions o;
    int status = readOptions(argc, argv, &o);
    if (status >= 0)
        return status;
    if (o.modelFile && !apModelLoad(o.modelFile))
        return EXIT_BAD_INPUT;
    if (o.list) { // the inventory, then exit
        int32_t listed = listAdapters(o.sysfs, false);
        if (fflush(stdout) != 0 || ferror(stdout))
            fprintf(stderr, "ioctlhelperd: write error: %s\n", strerror(errno));
        return listed >= 0 && !ferror(stdout) ? EXIT_STOPPED : EXIT_NOT_STARTED;
    }
    if (logOpen(o.logFile) != 0)
        return EXIT_NOT_STARTED;
    signal(SIGPIPE, SIG_IGN);
    fitLimits(&o);
    sigset_t stops; // taken from the loop's signal descriptor only
    sigemptyset(&stops);
    sigaddset(&stops, SIGTERM);
    sigaddset(&stops, SIGINT);
    sigprocmask(SIG_BLOCK, &stops, nullptr);
    int signals = signalfd(-1, &stops, SFD_CLOEXEC);
    int listenFd = signals == -1 ? -1 : listenSocket(o);
    if (signals == -1)
        diagnose("cannot wait for signals: %s", strerror(errno));
    if (listenFd < 0)
        return EXIT_NOT_STARTED;
    fcntl(listenFd, F_SETFL, O_NONBLOCK);
    makeConfigDirectory(o);
    listAdapters(o.sysfs, true);
    serveLoop(o, listenFd, signals); // connections in progress are dropped
    removeSocket();
    logStop();
    return EXIT_STOPPED;
}
