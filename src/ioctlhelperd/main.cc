// ioctlhelperd: stand-in ioctl helper and AP code. Options, the listening
// socket, the accept loop and the clean stop on SIGTERM or SIGINT.
#include "helperd.h"

#include "tamskpaths.h"

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <pthread.h>
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

struct stat boundSocket; // the socket file this helper made

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
    if (s < 0 || bind(s, reinterpret_cast<sockaddr *>(&a), sizeof a) != 0 || listen(s, SOMAXCONN) != 0 ||
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
    for (int opt; (opt = getopt(argc, argv, ":m:l:d:h")) != -1;) {
        if (opt == 'h') {
            fputs(USAGE, stdout);
            return EXIT_STOPPED;
        }
        if (opt == ':' || opt == '?') {
            fprintf(stderr, "ioctlhelperd: %s -%c\n%s",
                    opt == ':' ? "missing argument for" : "unknown option", optopt, USAGE);
            return EXIT_BAD_INPUT;
        }
        *(opt == 'm' ? &modelFile : opt == 'l' ? &logFile : &helperDeviceDir) = optarg;
    }
    if (optind < argc) {
        fprintf(stderr, "ioctlhelperd: unexpected argument %s\n%s", argv[optind], USAGE);
        return EXIT_BAD_INPUT;
    }
    if (modelFile && apModelLoad(modelFile) != 0)
        return EXIT_BAD_INPUT;
    if (logOpen(logFile) != 0)
        return EXIT_NOT_STARTED;
    signal(SIGPIPE, SIG_IGN);
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
        if (s >= 0) {
            startConnection(s);
        } else if (errno != EINTR && errno != ECONNABORTED) {
            // Out of descriptors or memory: pause instead of spinning.
            fprintf(stderr, "ioctlhelperd: accept: %s\n", strerror(errno));
            usleep(50000);
        }
    }
}
