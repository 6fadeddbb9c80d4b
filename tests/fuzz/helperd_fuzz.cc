// Fuzzes the helper's handling of client packets: the bytes of the input
// arrive as the requests of one connection, served until the client's EOF.
#include "helperd.h"

#include <cstdio>
#include <cstdlib>
#include <fcntl.h>
#include <sys/socket.h>
#include <thread>
#include <unistd.h>

static int device = -1;
static HelperOptions options;

// Run with -close_fd_mask=3: the helper's diagnostics are not wanted.
extern "C" int LLVMFuzzerInitialize(int *, char ***)
{
    // A device directory with one stream device, dev0, and one read-only, ro.
    static char dir[] = "/tmp/helperd_fuzz.XXXXXX", path[64];
    if (!(options.deviceDir = mkdtemp(dir)))
        abort();
    snprintf(path, sizeof path, "%s/ro", dir);
    close(open(path, O_CREAT | O_WRONLY, 0444));
    snprintf(path, sizeof path, "%s/dev0", dir);
    device = open(path, O_CREAT | O_RDWR | O_CLOEXEC, 0644);
    return device < 0 ? -1 : logOpen("/dev/null"); // without the device every run aborts
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    int fds[2]; // at most 64 KiB: the input goes into the socket buffer in one send
    if (size > (64 << 10) || socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, fds) != 0)
        return 0;
    if (size && send(fds[1], data, size, MSG_NOSIGNAL) != ssize_t(size))
        abort();
    shutdown(fds[1], SHUT_WR);
    if (ftruncate(device, 0) != 0 || pwrite(device, "stream device content\n", 22, 0) != 22) // the same each run
        abort();
    std::thread answers([&fds] { // taken while the helper serves, so they never fill the socket buffer
        for (char buf[65536]; read(fds[1], buf, sizeof buf) > 0;) {}
    });
    serveConnection(options, fds[0]); // closed at the end, so the answers end
    answers.join();
    close(fds[1]);
    return 0;
}
