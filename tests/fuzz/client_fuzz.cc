// Fuzzes the client's handling of helper answers, from the open (busy and
// retry included) through the ioctl relay to the report of a status query,
// and a device stream read. The input is a series of segments, each a
// 2-byte length and the bytes the helper sends on one connection.
#include "apcfgcommon.h"
#include "osusrcomm.h"
#include "query.h"
#include "tamskpaths.h"
#include "testutil.h"

#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <sanitizer/common_interface_defs.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <mutex>
#include <thread>
#include <unistd.h>

namespace {

// What is left of the input. A connection that the client abandoned may be
// served after its run ended, so the server copies under the lock.
std::mutex inputLock;
uint8_t input[100000];
size_t inputAt = 0, inputEnd = 0;
int listener = -1;
int devNull = -1;
int savedOut = -1, savedErr = -1;

// Copies the next segment to out; an empty one when the input is used up.
size_t nextSegment(uint8_t *out)
{
    std::lock_guard<std::mutex> hold(inputLock);
    if (inputEnd - inputAt < 2)
        return 0;
    size_t n = std::min<size_t>(size_t(input[inputAt]) << 8 | input[inputAt + 1], inputEnd - inputAt - 2);
    memcpy(out, input + inputAt + 2, n);
    inputAt += n + 2;
    return n;
}

// The helper: answers each connection with the next segment, then reads the
// requests until the client leaves.
void serveSegments()
{
    for (;;) {
        int c = accept(listener, nullptr, nullptr);
        if (c < 0)
            continue;
        static uint8_t bytes[65536];
        size_t n = nextSegment(bytes);
        if (n && send(c, bytes, n, MSG_NOSIGNAL) != ssize_t(n))
            abort();
        shutdown(c, SHUT_WR);
        char sink[4096];
        while (read(c, sink, sizeof sink) > 0) {
        }
        close(c);
    }
}

} // namespace

// The 10-second pause of a busy or retried open is skipped.
void quorHelperPause(unsigned) {}
void *quorAllocPacket(size_t size) { return malloc(size); }

extern "C" int LLVMFuzzerInitialize(int *, char ***)
{
    enterPrivateHome();
    mkdir("/home/tamsk", 0755);
    sockaddr_un a = {};
    a.sun_family = AF_UNIX;
    strcpy(a.sun_path, TAMSK_HELPER_SOCKET);
    listener = socket(AF_UNIX, SOCK_STREAM, 0);
    if (bind(listener, reinterpret_cast<sockaddr *>(&a), sizeof a) != 0 || listen(listener, 16) != 0)
        abort();
    std::thread(serveSegments).detach();
    devNull = open("/dev/null", O_WRONLY);
    savedOut = dup(1);
    savedErr = dup(2);
    __sanitizer_set_report_fd(reinterpret_cast<void *>(intptr_t(savedErr)));
    return 0;
}

// The report and the client's diagnostics are expected; they go to
// /dev/null during a run.
extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    if (size > sizeof input || size < 1)
        return 0;
    {
        std::lock_guard<std::mutex> hold(inputLock);
        memcpy(input, data, size);
        inputAt = 1;
        inputEnd = size;
    }
    dup2(devNull, 1);
    dup2(devNull, 2);
    if (data[0] & 1) {
        tamskdevrd("dev0");
    } else {
        AdapterDds block;
        memset(&block, 0, sizeof block);
        block.command = AP_QUERY_ADAPTER_STATUS;
        block.query.queryType = 1;
        if (tamskioctl(AP_IOCTL, &block, sizeof block) == 0)
            printKernelStatus("wyrafc000", "wyrafc000", &block);
    }
    fflush(stdout);
    dup2(savedOut, 1);
    dup2(savedErr, 2);
    return 0;
}
