// Fuzzes the client's handling of helper answers: the bytes of the input
// arrive as the helper's answers to a read, a write, an ioctl and a close.
#include "apcfgcommon.h"
#include "osusrcomm.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <sys/socket.h>
#include <unistd.h>

namespace {
int devNull = -1;
int savedStderr = -1;
}

// The client's diagnostics are expected; they go to /dev/null during a run
// while the fuzzer's own report still reaches standard error.
extern "C" int LLVMFuzzerInitialize(int *, char ***)
{
    devNull = open("/dev/null", O_WRONLY);
    savedStderr = dup(2);
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    int fds[2];
    if (size > 100000 || socketpair(AF_UNIX, SOCK_STREAM, 0, fds) != 0)
        return 0;
    // The answers are queued before the requests go out; the helper side
    // then stops sending, so every receive ends.
    if (size && send(fds[1], data, size, 0) != ssize_t(size))
        abort();
    shutdown(fds[1], SHUT_WR);
    dup2(devNull, 2);
    static char pkt[TAMSK_STREAM_PKTSZ + AP_DDS_SIZE];
    AdapterDds block;
    memset(&block, 0, sizeof block);
    quorHelperRead(fds[0], pkt, TAMSK_STREAM_PKTSZ);
    memset(pkt + 20, 'w', 100);
    quorHelperWrite(fds[0], pkt, 120);
    int32_t r = quorHelperIoctl(fds[0], AP_IOCTL, pkt, AP_DDS_SIZE + 20, &block, sizeof block);
    if (r > int32_t(AP_DDS_SIZE + 20))
        abort(); // never more than the receive limit
    quorHelperClose(fds[0], pkt, sizeof pkt);
    close(fds[1]);
    dup2(savedStderr, 2);
    return 0;
}
