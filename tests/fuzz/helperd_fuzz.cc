// Fuzzes the helper's handling of client packets: the bytes of the input
// arrive as the requests of one connection, served until the client's EOF.
#include "helperd.h"

#include <cstdio>
#include <cstdlib>
#include <fcntl.h>
#include <sanitizer/common_interface_defs.h>
#include <sys/socket.h>
#include <thread>
#include <unistd.h>

namespace {

constexpr size_t INPUT_MAX = 64 << 10; // goes into the socket buffer in one send
int devNull = -1;
int savedStderr = -1;
char device[64];

// Takes the answers while the helper serves, so that many small answers
// never fill the socket buffer and block it; ends at the helper's EOF.
void discardAnswers(int fd)
{
    char buf[65536];
    while (read(fd, buf, sizeof buf) > 0) {
    }
}

} // namespace

// The helper's diagnostics are expected; they go to /dev/null during a run,
// while the sanitizers still report on the real standard error.
extern "C" int LLVMFuzzerInitialize(int *, char ***)
{
    devNull = open("/dev/null", O_WRONLY | O_CLOEXEC);
    savedStderr = dup(2);
    __sanitizer_set_report_fd(reinterpret_cast<void *>(intptr_t(savedStderr)));
    // A device directory with one stream device, dev0, and one read-only, ro.
    static char dir[] = "/tmp/helperd_fuzz.XXXXXX";
    if (!mkdtemp(dir))
        abort();
    helperDeviceDir = dir;
    snprintf(device, sizeof device, "%s/dev0", dir);
    char readOnly[sizeof device];
    snprintf(readOnly, sizeof readOnly, "%s/ro", dir);
    close(open(readOnly, O_CREAT | O_WRONLY, 0444));
    return logOpen("/dev/null");
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    int fds[2];
    if (size > INPUT_MAX || socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, fds) != 0)
        return 0;
    if (size && send(fds[1], data, size, MSG_NOSIGNAL) != ssize_t(size))
        abort();
    shutdown(fds[1], SHUT_WR);
    // Each run starts from the same device content; writes append to it.
    int dev = open(device, O_CREAT | O_TRUNC | O_WRONLY | O_CLOEXEC, 0644);
    if (dev < 0 || write(dev, "stream device content\n", 22) != 22)
        abort();
    close(dev);
    std::thread answers(discardAnswers, fds[1]);
    dup2(devNull, 2);
    serveConnection(fds[0]);
    dup2(savedStderr, 2);
    shutdown(fds[0], SHUT_WR);
    answers.join();
    close(fds[0]);
    close(fds[1]);
    return 0;
}
