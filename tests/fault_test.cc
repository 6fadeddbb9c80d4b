// Faults: a flooded helper, concurrent stores, a device stream through the helper.
#include "osusrcomm.h"
#include "tamskpaths.h"
#include "testutil.h"

#include <algorithm>
#include <chrono>
#include <cstring>
#include <gtest/gtest.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

struct Faults : testing::Test {
    pid_t helper = -1;
    void SetUp() override
    {
        helper = startHelperd({"-l", "/home/events.log"});
        mkdir("/home/tamsk/config", 0755);
        mkdir("/home/tamsk/devices", 0755); // the helper's default device directory
    }
    void TearDown() override { EXPECT_EQ(0, stopHelperd(helper)); }
};

// 1,100 clients each claim a 1 MiB ioctl, send 128 KiB and trickle more. An
// open beyond the connection limit is told the helper is busy, then, once the
// request deadline drops the hogs, answered; a query gets through, and the
// helper's memory stays bounded (only its growth under a sanitizer or emulator,
// which add 150 KiB a thread).
TEST_F(Faults, FloodOfSlowLargeRequestsLocksNobodyOut)
{
    rlimit fds = {};
    getrlimit(RLIMIT_NOFILE, &fds);
    fds.rlim_cur = 1024; // the helper starts with the common soft limit
    stopHelperd(helper);
    setrlimit(RLIMIT_NOFILE, &fds);
    helper = startHelperd();
    fds.rlim_cur = fds.rlim_max;
    setrlimit(RLIMIT_NOFILE, &fds);
    std::vector<char> part(128 << 10);
    HelperHdr claim = {1 << 20, HELPER_DEV_IOCTL, 1 << 20, 0, 27}, open = {21, HELPER_DEV_OPEN, 0, 0, 27};
    memcpy(part.data(), &claim, sizeof claim);
    auto status = [this](const char *key) {
        std::string st = readFile("/proc/" + std::to_string(helper) + "/status");
        return atol(st.c_str() + st.find(key) + strlen(key));
    };
    std::vector<int> flood;
    for (int i = 0; i < 1100; ++i)
        flood.push_back(helperSocket());
    ASSERT_EQ(0, std::count(flood.begin(), flood.end(), -1));
    for (int i = 0; i < 500 && status("Threads:") < 1026; ++i) // the limit's connections taken
        usleep(10000);
    long idleRssKiB = status("VmRSS:"), maxRssKiB = 0;
    for (int s : flood)
        send(s, part.data(), part.size(), MSG_DONTWAIT | MSG_NOSIGNAL);
    std::vector<uint32_t> answers; // to each open, HELPER_BUSY or HELPER_RESPONSE (~0: none)
    auto end = std::chrono::steady_clock::now() + std::chrono::seconds(30);
    while ((answers.empty() || answers.back() != HELPER_RESPONSE) && std::chrono::steady_clock::now() < end) {
        for (int s : flood)
            send(s, "x", 1, MSG_DONTWAIT | MSG_NOSIGNAL);
        maxRssKiB = std::max(maxRssKiB, status("VmRSS:"));
        int s = helperSocket();
        HelperHdr answer = {0, ~0u, 0, 0, 0};
        const timeval wait = {2, 0};
        setsockopt(s, SOL_SOCKET, SO_RCVTIMEO, &wait, sizeof wait);
        send(s, &open, sizeof open, MSG_NOSIGNAL);
        send(s, "", 1, MSG_NOSIGNAL);
        recv(s, &answer, sizeof answer, MSG_WAITALL);
        answers.push_back(answer.helper_req);
        close(s);
        usleep(200000);
    }
    EXPECT_EQ(HELPER_BUSY, answers.front());
    EXPECT_EQ(HELPER_RESPONSE, answers.back());
    EXPECT_EQ(0, runProgram({QUERY_BIN, "-l", "wyrafc000"}).status);
    part.resize(1 << 20); // the dropped clients gave their shares of the buffer budget back
    EXPECT_EQ(EINVAL, tamskioctl(27, part.data(), uint32_t(part.size()) - 20));
    EXPECT_LT(maxRssKiB - idleRssKiB, 64 << 10);
#ifndef __SANITIZE_ADDRESS__
    EXPECT_TRUE(EMULATOR[0] || maxRssKiB < 128 << 10) << maxRssKiB << " KiB";
#endif
    for (int s : flood)
        close(s);
}

// Operators storing at the same time lose no update.
TEST_F(Faults, ConcurrentStoresLoseNoUpdate)
{
    for (int round = 0; round < 5; ++round) {
        unlink(TAMSK_CONFIG_FILE);
        std::vector<pid_t> stores;
        for (int i = 10; i < 26; ++i)
            stores.push_back(startProgram({STORE_BIN, "-a", "C" + std::to_string(i), "-p", std::to_string(round),
                                           "-t", "1"}, "/dev/null", "/dev/null"));
        for (pid_t p : stores)
            EXPECT_EQ(0, waitProgram(p)); // each waits for the others
        std::string file = readFile(TAMSK_CONFIG_FILE);
        for (int i = 10; i < 26; ++i)
            EXPECT_EQ(1, countOf(file, "C" + std::to_string(i) + ":" + std::to_string(round) + ":1 \n")) << file;
    }
}

TEST_F(Faults, DeviceStreamRoundTripThroughTheHelper)
{
    std::string data;
    for (uint32_t i = 0; data.size() <= 1u << 20; ++i) // the last write has a single byte
        data += char((i * 2654435761u) >> 11);
    writeFile("/home/data", data);
    writeFile("/home/tamsk/devices/disk0", "");
    EXPECT_EQ(0, runProgram({TAMSKDEV_BIN, "write", "disk0"}, "/home/data").status);
    RunResult back = runProgram({TAMSKDEV_BIN, "read", "disk0"});
    EXPECT_EQ(0, back.status);
    EXPECT_TRUE(back.out == data) << back.out.size() << " bytes";
    EXPECT_EQ(6, runProgram({TAMSKDEV_BIN, "read", "no-such-device"}).status);
}
