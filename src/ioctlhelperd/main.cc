// ioctlhelperd: stand-in ioctl helper and AP code. Options, the listening
// socket, the accept loop and the clean stop on SIGTERM or SIGINT.
#include "helperd.h"

#include "tamskpaths.h"
#include "tamskversion.h"

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <getopt.h>
#include <grp.h>
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
    " -h, --help               display this help and exit\n"
    " -V, --version            display version and exit\n\n"
    "For more details see ioctlhelperd(8).\n";

struct stat boundSocket;     // the socket file this helper made
gid_t socketGroup = gid_t(-1); // -1: left as made
long socketMode = -1;

int usageError(const char *what, const char *arg)
{
    fprintf(stderr, "ioctlhelperd: %s '%s'\nTry 'ioctlhelperd --help' for more information.\n", what, arg);
    return EXIT_BAD_INPUT;
}

sockaddr_un socketAddress(const char *path)
{
    sockaddr_un a = {};
    a.sun_family = AF_UNIX;
    snprintf(a.sun_path, sizeof a.sun_path, "%s", path);
    return a;
}

// True when a live helper answers on the helper path; anything else found
// there, such as a stale socket, is replaced.
bool helperListening()
{
    sockaddr_un a = socketAddress(TAMSK_HELPER_SOCKET);
    int s = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    bool live = connect(s, reinterpret_cast<sockaddr *>(&a), sizeof a) == 0;
    close(s);
    return live;
}

// Binds under a temporary name and renames it onto the helper path, so a
// client never finds a path that refuses connections. Returns the listening
// socket, or -1 after a message.
int listenSocket()
{
    char dir[sizeof TAMSK_HELPER_SOCKET];
    snprintf(dir, sizeof dir, "%s", TAMSK_HELPER_SOCKET);
    *strrchr(dir, '/') = '\0';
    mkdir(dir, 0755); // may exist; if it cannot be made, the bind says why
    if (helperListening()) {
        fprintf(stderr, "ioctlhelperd: another helper is listening on %s\n", TAMSK_HELPER_SOCKET);
        return -1;
    }
    char tmp[sizeof(sockaddr_un::sun_path)];
    snprintf(tmp, sizeof tmp, "%s/.ioctl.%d", dir, int(getpid()));
    unlink(tmp);
    sockaddr_un a = socketAddress(tmp);
    int s = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (s < 0 || bind(s, reinterpret_cast<sockaddr *>(&a), sizeof a) != 0 ||
        (socketGroup != gid_t(-1) && chown(tmp, uid_t(-1), socketGroup) != 0) ||
        (socketMode >= 0 && chmod(tmp, mode_t(socketMode)) != 0) || listen(s, SOMAXCONN) != 0 ||
        rename(tmp, TAMSK_HELPER_SOCKET) != 0 || lstat(TAMSK_HELPER_SOCKET, &boundSocket) != 0) {
        fprintf(stderr, "ioctlhelperd: cannot listen on %s: %s\n", TAMSK_HELPER_SOCKET, strerror(errno));
        unlink(tmp);
        return -1;
    }
    return s;
}

// Waits for SIGTERM or SIGINT, removes the socket file while it is still the
// one this helper made, flushes the log and exits; connections are dropped.
void *stopOnSignal(void *signals)
{
    int sig = 0;
    sigwait(static_cast<sigset_t *>(signals), &sig);
    struct stat now;
    if (lstat(TAMSK_HELPER_SOCKET, &now) == 0 && now.st_ino == boundSocket.st_ino &&
        now.st_dev == boundSocket.st_dev)
        unlink(TAMSK_HELPER_SOCKET);
    logStop();
    _exit(EXIT_STOPPED); // without running destructors under the connection threads
}

} // namespace

int main(int argc, char **argv)
{
    const char *modelFile = nullptr, *logFile = nullptr;
    const option longOpts[] = {{"model", required_argument, nullptr, 'm'}, {"log", required_argument, nullptr, 'l'},
                               {"device-dir", required_argument, nullptr, 'd'},
                               {"group", required_argument, nullptr, 'g'}, {"mode", required_argument, nullptr, 'M'},
                               {"sysfs", required_argument, nullptr, 's'},
                               {"help", no_argument, nullptr, 'h'}, {"version", no_argument, nullptr, 'V'},
                               {nullptr, 0, nullptr, 0}};
    for (int opt; (opt = getopt_long(argc, argv, ":m:l:d:g:M:s:hV", longOpts, nullptr)) != -1;) {
        char *end = nullptr, shortOpt[3] = {'-', char(optopt)};
        const group *g = opt == 'g' ? getgrnam(optarg) : nullptr;
        switch (opt) {
        case 'h':
            printf("%s", USAGE);
            return EXIT_STOPPED;
        case 'V':
            printf("ioctlhelperd (tamsk) %s\n", TAMSK_VERSION);
            return EXIT_STOPPED;
        case 'g':
            socketGroup = g ? g->gr_gid : gid_t(strtoul(optarg, &end, 10));
            if (!g && (!*optarg || *end))
                return usageError("unknown group", optarg);
            break;
        case 'M':
            socketMode = strtol(optarg, &end, 8);
            if (!*optarg || *end || socketMode < 0 || socketMode > 0777)
                return usageError("bad mode", optarg);
            break;
        case ':':
        case '?':
            return usageError(opt == ':' ? "missing argument for" : "unknown option",
                              optopt && strncmp(argv[optind - 1], "--", 2) ? shortOpt : argv[optind - 1]);
        default:
            *(opt == 'm'   ? &modelFile
              : opt == 'l' ? &logFile
              : opt == 's' ? &helperSysfsDir
                           : &helperDeviceDir) = optarg;
        }
    }
    if (optind < argc)
        return usageError("unexpected argument", argv[optind]);
    if (modelFile && !apModelLoad(modelFile))
        return EXIT_BAD_INPUT;
    if (logOpen(logFile) != 0)
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
    int listenFd = listenSocket();
    if (listenFd < 0)
        return EXIT_NOT_STARTED;
    pthread_t stopper;
    if ((errno = pthread_create(&stopper, nullptr, stopOnSignal, &stops)) != 0) {
        fprintf(stderr, "ioctlhelperd: cannot wait for signals: %s\n", strerror(errno));
        unlink(TAMSK_HELPER_SOCKET);
        return EXIT_NOT_STARTED;
    }
    for (;;) {
        int s = accept4(listenFd, nullptr, nullptr, SOCK_CLOEXEC);
        if (s != -1) {
            startConnection(s);
        } else if (errno != EINTR && errno != ECONNABORTED) {
            // Out of descriptors or memory: pause instead of spinning.
            fprintf(stderr, "ioctlhelperd: accept: %s\n", strerror(errno));
            usleep(50000);
        }
    }
}
