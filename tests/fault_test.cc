// Faults: a dying or flooded helper, failing or concurrent stores, a device stream through the helper.
#include "osusrcomm.h"
#include "tamskpaths.h"
#include "testutil.h"

#include <algorithm>
#include <ctime>
#include <csignal>
#include <cstring>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/mount.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

const std::string CONFIG_DIR = "/home/tamsk/config", BACKUP = std::string(TAMSK_CONFIG_FILE) + ".bak";

struct Faults : testing::Test {
    pid_t helper = -1;
    void SetUp() override
    {
        int err = dup(2);
        dup2(open("/dev/null", O_WRONLY | O_CLOEXEC), 2); // its diagnostics, one for each connection dropped
        helper = startHelperd({"-l", "/home/events.log"});
        dup2(err, 2);
        mkdir(CONFIG_DIR.c_str(), 0755);
        mkdir("/home/tamsk/devices", 0755); // the helper's default device directory
    }
    void TearDown() override { EXPECT_EQ(0, stopHelperd(helper)); }
};

TEST(HelperFault, KilledInsideTheExchange)
{
    int s = helperSocket(true);
    pid_t helper = fork();
    if (helper == 0) { // takes the open and the ioctl request, then dies before answering
        int c = accept(s, nullptr, nullptr);
        char pkt[2048];
        HelperHdr ok = {20, HELPER_RESPONSE, 21, 0, 27};
        if (recv(c, pkt, 21, MSG_WAITALL) == 21 && send(c, &ok, sizeof ok, 0) == 20)
            recv(c, pkt, 1132, MSG_WAITALL);
        raise(SIGKILL);
    }
    close(s);
    RunResult r = runProgram({QUERY_BIN, "-l", "wyrafc000"});
    waitpid(helper, nullptr, 0);
    EXPECT_EQ(1, r.status);
    EXPECT_NE(std::string::npos, r.out.find("ioctl command line return code     : 32 \n")) << r.out;
    EXPECT_NE(std::string::npos, r.err.find("ioctlquor unexpected HelperIoctl response size - 0\n")) << r.err;
    EXPECT_EQ(6, runProgram({QUERY_BIN, "-l", "wyrafc000"}).status); // nobody listens any more
}

TEST_F(Faults, SixtyFourConcurrentQueriesAllAnsweredCorrectly)
{
    writeFile(TAMSK_CONFIG_FILE, "B00:0:1 \nB00:1:2 \nB06:2:3 \n");
    const std::vector<std::string> query[] = {{QUERY_BIN, "-l", "wyrafc000"}, {QUERY_BIN, "-l", "wyrafc001"}};
    const std::string expected[] = {runProgram(query[0]).out, runProgram(query[1]).out};
    std::vector<pid_t> callers; // all 64 started from this thread, then waited for
    for (int i = 0; i < 64; ++i)
        callers.push_back(startProgram(query[i % 2], "/home/out" + std::to_string(i), "/dev/null"));
    for (int i = 0; i < 64; ++i)
        EXPECT_EQ(0, waitProgram(callers[i])) << i;
    for (int i = 0; i < 64; ++i)
        EXPECT_EQ(expected[i % 2], readFile("/home/out" + std::to_string(i))) << i;
}

// 1,100 clients each claim a 1 MiB ioctl, send 128 KiB and trickle more: a query
// still gets through (after a busy pause or two) and the helper's memory stays
// bounded (only its growth under a sanitizer or emulator, which add 150 KiB a thread).
TEST_F(Faults, FloodOfSlowLargeRequestsLocksNobodyOut)
{
    rlimit fds = {};
    getrlimit(RLIMIT_NOFILE, &fds);
    fds.rlim_cur = fds.rlim_max;
    setrlimit(RLIMIT_NOFILE, &fds);
    std::vector<char> part(128 << 10);
    HelperHdr claim = {1 << 20, HELPER_DEV_IOCTL, 1 << 20, 0, 27};
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
    pid_t query = startProgram({QUERY_BIN, "-l", "wyrafc000"}, "/home/q.out", "/home/q.err");
    int st = -1;
    for (time_t end = time(nullptr) + 60; waitpid(query, &st, WNOHANG) == 0 && time(nullptr) < end;) {
        for (int s : flood)
            send(s, "x", 1, MSG_DONTWAIT | MSG_NOSIGNAL);
        maxRssKiB = std::max(maxRssKiB, status("VmRSS:"));
        usleep(200000);
    }
    if (kill(query, SIGKILL) == 0) // still running after 60 s
        waitpid(query, &st, 0);
    EXPECT_TRUE(WIFEXITED(st) && WEXITSTATUS(st) == 0) << readFile("/home/q.err");
    EXPECT_LT(maxRssKiB - idleRssKiB, 64 << 10);
#ifndef __SANITIZE_ADDRESS__
    EXPECT_TRUE(EMULATOR[0] || maxRssKiB < 128 << 10) << maxRssKiB << " KiB";
#endif
    for (int s : flood)
        close(s);
}

// The previous content survives a failed store, and with room again the store goes through.
TEST_F(Faults, StoreIntoFullOrReadOnlyDirectoryKeepsPreviousContent)
{
    const std::string before = "B00:0:2 \nB06:1:1 \n";
    for (const char *dir : {"full", "read-only", "writable"}) {
        ASSERT_EQ(0, mount("tmpfs", CONFIG_DIR.c_str(), "tmpfs", 0, "size=8k")) << dir;
        writeFile(TAMSK_CONFIG_FILE, before);
        writeFile(CONFIG_DIR + "/filler", std::string(dir[0] == 'f' ? 8192 : 0, 'f')); // full: no room for a backup
        ASSERT_EQ(0, dir[0] == 'r' ? mount(nullptr, CONFIG_DIR.c_str(), nullptr, MS_REMOUNT | MS_RDONLY, nullptr) : 0);
        EXPECT_EQ(dir[0] == 'w' ? 0 : 1, runProgram({STORE_BIN, "-a", "B00", "-p", "0", "-t", "3"}).status) << dir;
        EXPECT_EQ(dir[0] == 'w' ? "B00:0:3 \nB06:1:1 \n" : before, readFile(TAMSK_CONFIG_FILE)) << dir;
        EXPECT_TRUE(dir[0] != 'w' || readFile(BACKUP) == before) << dir;
        umount(CONFIG_DIR.c_str());
    }
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
    for (uint32_t i = 0; data.size() < 1u << 20; ++i)
        data += char((i * 2654435761u) >> 11);
    writeFile("/home/data", data);
    writeFile("/home/tamsk/devices/disk0", "");
    EXPECT_EQ(0, runProgram({TAMSKDEV_BIN, "write", "disk0"}, "/home/data").status);
    RunResult back = runProgram({TAMSKDEV_BIN, "read", "disk0"});
    EXPECT_EQ(0, back.status);
    EXPECT_TRUE(back.out == data) << back.out.size() << " bytes";
    EXPECT_EQ(6, runProgram({TAMSKDEV_BIN, "read", "no-such-device"}).status);
}
