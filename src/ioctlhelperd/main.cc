// ioctlhelperd: stand-in ioctl helper and AP code. Options, the listening
// socket, the accept loop and the clean stop on SIGTERM or SIGINT.
#include "helperd.h"

#include "tamskpaths.h"

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <poll.h>
#include <sys/signalfd.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

namespace {

constexpr int EXIT_STOPPED = 0;     // stopped by a signal, or -h
constexpr int EXIT_NOT_STARTED = 1; // socket, log or signal setup failed
constexpr int EXIT_BAD_INPUT = 2;   // bad option or model file

const char USAGE[] =
    "usage: ioctlhelperd [-m model-file] [-l log-file] [-d device-dir]\n"
    "       ioctlhelperd -h\n"
    "  -m FILE  adapter model file, replacing the built-in adapters\n"
    "  -l FILE  append the event log to FILE instead of standard output\n"
    "  -d DIR   directory of the stream devices (default /home/tamsk/devices)\n";

struct Options {
    const char *modelFile = nullptr;
    const char *logFile = nullptr;
    const char *deviceDir = "/home/tamsk/devices";
};

// Returns -1 to go on, else the exit status.
int parseOptions(int argc, char **argv, Options *o)
{
    for (int opt; (opt = getopt(argc, argv, ":m:l:d:h")) != -1;) {
        if (opt == 'm')
            o->modelFile = optarg;
        else if (opt == 'l')
            o->logFile = optarg;
        else if (opt == 'd')
            o->deviceDir = optarg;
        else if (opt == 'h') {
            fputs(USAGE, stdout);
            return EXIT_STOPPED;
        } else {
            fprintf(stderr, "ioctlhelperd: %s -%c\n%s",
                    opt == ':' ? "missing argument for" : "unknown option", optopt, USAGE);
            return EXIT_BAD_INPUT;
        }
    }
    if (optind < argc) {
        fprintf(stderr, "ioctlhelperd: unexpected argument %s\n%s", argv[optind], USAGE);
        return EXIT_BAD_INPUT;
    }
    return -1;
}

sockaddr_un helperAddress(const char *path)
{
    sockaddr_un a = {};
    a.sun_family = AF_UNIX;
    snprintf(a.sun_path, sizeof a.sun_path, "%s", path);
    return a;
}

// 0 when nothing is at the socket path or a stale socket that can be
// replaced; -1 (with a message) when it is something else or a live helper.
int32_t checkSocketPath()
{
    struct stat st;
    if (lstat(TAMSK_HELPER_SOCKET, &st) != 0)
        return 0;
    if (!S_ISSOCK(st.st_mode)) {
        fprintf(stderr, "ioctlhelperd: %s exists and is not a socket\n", TAMSK_HELPER_SOCKET);
        return -1;
    }
    int s = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_un a = helperAddress(TAMSK_HELPER_SOCKET);
    bool live = s >= 0 && connect(s, reinterpret_cast<sockaddr *>(&a), sizeof a) == 0;
    if (s >= 0)
        close(s);
    if (live)
        fprintf(stderr, "ioctlhelperd: another helper is listening on %s\n", TAMSK_HELPER_SOCKET);
    return live ? -1 : 0;
}

int listenFailed(const char *step, const char *tmp, int s)
{
    fprintf(stderr, "ioctlhelperd: cannot listen on %s: %s: %s\n", TAMSK_HELPER_SOCKET, step,
            strerror(errno));
    unlink(tmp);
    if (s >= 0)
        close(s);
    return -1;
}

// Binds under a temporary name and renames it onto the helper path, so a
// client never finds a path that refuses connections. Returns the listening
// socket with *bound describing the socket file, or -1 after a message.
int listenSocket(struct stat *bound)
{
    char dir[sizeof TAMSK_HELPER_SOCKET];
    strcpy(dir, TAMSK_HELPER_SOCKET);
    *strrchr(dir, '/') = '\0';
    if (mkdir(dir, 0755) != 0 && errno != EEXIST) {
        fprintf(stderr, "ioctlhelperd: cannot create %s: %s\n", dir, strerror(errno));
        return -1;
    }
    if (checkSocketPath() != 0)
        return -1;
    char tmp[sizeof(sockaddr_un::sun_path)];
    snprintf(tmp, sizeof tmp, "%s/.ioctl.%d", dir, int(getpid()));
    unlink(tmp);
    sockaddr_un a = helperAddress(tmp);
    int s = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
    if (s < 0)
        return listenFailed("socket", tmp, s);
    if (bind(s, reinterpret_cast<sockaddr *>(&a), sizeof a) != 0)
        return listenFailed("bind", tmp, s);
    if (listen(s, SOMAXCONN) != 0)
        return listenFailed("listen", tmp, s);
    if (rename(tmp, TAMSK_HELPER_SOCKET) != 0)
        return listenFailed("rename", tmp, s);
    if (lstat(TAMSK_HELPER_SOCKET, bound) != 0)
        return listenFailed("stat", tmp, s);
    return s;
}

// Removes the socket file only while it is still the one this helper made.
void removeSocket(const struct stat *bound)
{
    struct stat now;
    if (lstat(TAMSK_HELPER_SOCKET, &now) == 0 && now.st_ino == bound->st_ino &&
        now.st_dev == bound->st_dev)
        unlink(TAMSK_HELPER_SOCKET);
}

void acceptPending(int listenFd)
{
    for (;;) {
        int s = accept4(listenFd, nullptr, nullptr, SOCK_CLOEXEC);
        if (s >= 0) {
            startConnection(s);
            continue;
        }
        if (errno == EINTR || errno == ECONNABORTED)
            continue;
        if (errno != EAGAIN && errno != EWOULDBLOCK) {
            // Out of descriptors or memory: pause instead of spinning on poll.
            fprintf(stderr, "ioctlhelperd: accept: %s\n", strerror(errno));
            usleep(50000);
        }
        return;
    }
}

// Serves until SIGTERM or SIGINT arrives on sigFd; returns the exit status.
int acceptLoop(int listenFd, int sigFd)
{
    pollfd fds[2] = {{listenFd, POLLIN, 0}, {sigFd, POLLIN, 0}};
    for (;;) {
        if (poll(fds, 2, -1) < 0) {
            if (errno == EINTR)
                continue;
            fprintf(stderr, "ioctlhelperd: poll: %s\n", strerror(errno));
            return EXIT_NOT_STARTED;
        }
        if (fds[1].revents)
            return EXIT_STOPPED;
        if (fds[0].revents)
            acceptPending(listenFd);
    }
}

// Blocks SIGTERM and SIGINT in every thread and returns a descriptor that
// reports them, or -1.
int stopSignals()
{
    sigset_t set;
    sigemptyset(&set);
    sigaddset(&set, SIGTERM);
    sigaddset(&set, SIGINT);
    if (pthread_sigmask(SIG_BLOCK, &set, nullptr) != 0)
        return -1;
    return signalfd(-1, &set, SFD_CLOEXEC);
}

} // namespace

int main(int argc, char **argv)
{
    Options opts;
    int status = parseOptions(argc, argv, &opts);
    if (status >= 0)
        return status;
    if (opts.modelFile && apModelLoad(opts.modelFile) != 0)
        return EXIT_BAD_INPUT;
    if (logOpen(opts.logFile) != 0)
        return EXIT_NOT_STARTED;
    helperDeviceDir = opts.deviceDir;
    struct stat dirInfo;
    if (stat(helperDeviceDir, &dirInfo) != 0 || !S_ISDIR(dirInfo.st_mode))
        fprintf(stderr, "ioctlhelperd: warning: device directory %s is missing; "
                        "stream device opens will be refused\n", helperDeviceDir);
    signal(SIGPIPE, SIG_IGN);
    int sigFd = stopSignals();
    if (sigFd < 0) {
        fprintf(stderr, "ioctlhelperd: cannot set up signals: %s\n", strerror(errno));
        return EXIT_NOT_STARTED;
    }
    struct stat bound;
    int listenFd = listenSocket(&bound);
    if (listenFd < 0)
        return EXIT_NOT_STARTED;
    status = acceptLoop(listenFd, sigFd);
    close(listenFd);
    removeSocket(&bound);
    logStop();
    fflush(stderr);
    // Connection threads may still be inside a request; leave without
    // running destructors under them.
    _exit(status);
}
