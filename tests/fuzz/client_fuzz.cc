// Fuzzes the client's handling of helper answers: the open (busy and retry included), the ioctl relay
// to the report of a status query, and a device stream read. The input is a selector byte and a series
// of segments, each a 2-byte length and what the helper sends on one connection.
#include "apmessage.h"
#include "platform.h"
#include "query.h"
#include "scriptedpeer.h"
#include "testutil.h"

#include <cstdlib>
#include <mutex>
#include <thread>

namespace {

// What is left of the input. A connection the client abandoned may be served after its run ended,
// so the helper copies under the lock.
std::mutex inputLock;
std::string input;

// The helper: answers each connection's first request with the next segment (nothing once the input
// is used up).
void serveSegments(int listener)
{
    for (;;) {
        int c = accept(listener, nullptr, nullptr);
        std::unique_lock<std::mutex> hold(inputLock);
        std::string segment;
        if (input.size() >= 2)
            segment = input.substr(2, uint8_t(input[0]) << 8 | uint8_t(input[1])); // cut at the input's end
        input.erase(0, segment.size() + 2);
        hold.unlock();
        answerConnection(c, {segment}, nullptr, 0);
    }
}

} // namespace

void tamsk::quorHelperPause(unsigned) {}
void *tamsk::quorAllocPacket(size_t size) { return malloc(size); }

extern "C" int LLVMFuzzerInitialize(int *, char ***)
{
    enterPrivateHome();
    int listener = helperSocket(true);
    if (listener < 0)
        abort();
    std::thread(serveSegments, listener).detach();
    return 0;
}

// Run with -close_fd_mask=3: the report and the client's diagnostics are not wanted.
extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    if (size > 100000 || size < 1)
        return 0;
    std::unique_lock<std::mutex> hold(inputLock);
    input.assign(reinterpret_cast<const char *>(data) + 1, size - 1);
    hold.unlock();
    AdapterDds block;
    tamsk::apInitBlock(&block, AP_QUERY_ADAPTER_STATUS);
    block.query.queryType = QUERY_KERNEL_STATUS;
    if (data[0] & 1)
        tamskdevrd("dev0");
    else if (tamskioctl(AP_IOCTL, &block, sizeof block) == 0)
        printKernelStatus("wyrafc000", "wyrafc000", &block);
    return 0;
}
