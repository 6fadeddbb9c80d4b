// Faults a controller meets: the helper dying inside an exchange, many
// concurrent queries, and stores into a full or read-only configuration
// directory.
#include "osusrcomm.h"
#include "tamskpaths.h"
#include "testutil.h"

#include <chrono>
#include <csignal>
#include <cstring>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <string>
#include <sys/mount.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

namespace {

#ifdef __SANITIZE_ADDRESS__
constexpr bool SANITIZED = true;
#else
constexpr bool SANITIZED = false;
#endif
const std::string CONFIG_DIR = "/home/tamsk/config";
const std::string BACKUP = std::string(TAMSK_CONFIG_FILE) + ".bak";

// A helper that accepts the open, takes the ioctl request and is then
// killed before it answers.
pid_t startDyingHelper()
{
    int s = helperSocket(true);
    if (s < 0)
        return -1;
    pid_t pid = fork();
    if (pid == 0) {
        int c = accept(s, nullptr, nullptr);
        char pkt[2048];
        recv(c, pkt, 21, MSG_WAITALL);
        HelperHdr ok = {20, HELPER_RESPONSE, 21, 0, 27};
        send(c, &ok, sizeof ok, 0);
        recv(c, pkt, 1132, MSG_WAITALL);
        raise(SIGKILL);
    }
    close(s);
    return pid;
}

std::string storeOnce(const char *value)
{
    RunResult r = runProgram({STORE_BIN, "-a", "B00", "-p", "0", "-t", value});
    return std::to_string(r.status);
}

} // namespace

TEST(Faults, HelperKilledInsideTheExchange)
{
    pid_t helper = startDyingHelper();
    ASSERT_GT(helper, 0);
    RunResult r = runProgram({QUERY_BIN, "-l", "wyrafc000"});
    waitpid(helper, nullptr, 0);
    EXPECT_EQ(r.status, 1);
    EXPECT_NE(r.out.find("ioctl command line return code     : 32 \n"), std::string::npos) << r.out;
    EXPECT_NE(r.err.find("ioctlquor unexpected HelperIoctl response size - 0\n"), std::string::npos) << r.err;
    r = runProgram({QUERY_BIN, "-l", "wyrafc000"}); // nobody listens any more
    EXPECT_EQ(r.status, 6);
}

TEST(Faults, SixtyFourConcurrentQueriesAllAnsweredCorrectly)
{
    mkdir("/home/tamsk", 0755);
    mkdir(CONFIG_DIR.c_str(), 0755);
    writeFile(TAMSK_CONFIG_FILE, "B00:0:1 \nB00:1:2 \nB06:2:3 \n");
    pid_t helper = startHelperd({"-l", "/home/events.log"});
    const char *names[] = {"wyrafc000", "wyrafc001"};
    std::string expected[2];
    for (int i = 0; i < 2; ++i)
        expected[i] = runProgram({QUERY_BIN, "-l", names[i]}).out;
    // All 64 run at once: started one after another from this thread, then
    // waited for.
    std::vector<pid_t> callers;
    for (int i = 0; i < 64; ++i) {
        std::string out = "/home/out" + std::to_string(i);
        callers.push_back(startProgram({QUERY_BIN, "-l", names[i % 2]}, out, out + ".err"));
    }
    for (int i = 0; i < 64; ++i) {
        std::string out = "/home/out" + std::to_string(i);
        EXPECT_EQ(waitProgram(callers[i]), 0) << i;
        EXPECT_EQ(readFile(out), expected[i % 2]) << i;
    }
    EXPECT_EQ(stopHelperd(helper), 0);
}

// 1,100 clients each claim a 1 MiB ioctl, send 128 KiB of it and trickle
// more: a query still gets through (after at most a busy pause or two) and
// the helper's memory stays bounded. A sanitizer or an emulator keeps about
// 150 KiB of its own for each thread: there only the growth over the idle
// connections counts.
TEST(Faults, FloodOfSlowLargeRequestsLocksNobodyOut)
{
    rlimit fds = {};
    getrlimit(RLIMIT_NOFILE, &fds);
    fds.rlim_cur = fds.rlim_max;
    setrlimit(RLIMIT_NOFILE, &fds);
    int err = dup(2), quiet = open("/dev/null", O_WRONLY); // a line for each connection dropped
    dup2(quiet, 2);
    pid_t helper = startHelperd({"-l", "/home/events.log"});
    dup2(err, 2);
    close(err);
    close(quiet);
    std::vector<char> part(128 << 10);
    HelperHdr claim = {1 << 20, HELPER_DEV_IOCTL, 1 << 20, 0, 27};
    memcpy(part.data(), &claim, sizeof claim);
    auto status = [helper](const char *key) {
        std::string st = readFile("/proc/" + std::to_string(helper) + "/status");
        return atol(st.c_str() + st.find(key) + strlen(key));
    };
    std::vector<int> flood;
    for (int i = 0; i < 1100; ++i) {
        flood.push_back(helperSocket());
        ASSERT_GE(flood.back(), 0) << i;
    }
    for (int i = 0; i < 500 && status("Threads:") < 1026; ++i) // the limit's connections taken
        usleep(10000);
    long idleRssKiB = status("VmRSS:"), maxRssKiB = 0;
    for (int s : flood)
        send(s, part.data(), part.size(), MSG_DONTWAIT | MSG_NOSIGNAL);
    auto start = std::chrono::steady_clock::now();
    pid_t query = startProgram({QUERY_BIN, "-l", "wyrafc000"}, "/home/q.out", "/home/q.err");
    int st = -1;
    while (waitpid(query, &st, WNOHANG) == 0 && std::chrono::steady_clock::now() - start < std::chrono::seconds(60)) {
        for (int s : flood)
            send(s, "x", 1, MSG_DONTWAIT | MSG_NOSIGNAL);
        maxRssKiB = std::max(maxRssKiB, status("VmRSS:"));
        usleep(200000);
    }
    if (kill(query, SIGKILL) == 0) // still running after 60 s
        waitpid(query, &st, 0);
    EXPECT_TRUE(WIFEXITED(st) && WEXITSTATUS(st) == 0) << readFile("/home/q.err");
    EXPECT_LT(maxRssKiB - idleRssKiB, 64 << 10);
    if (!SANITIZED && !EMULATOR[0]) {
        EXPECT_LT(maxRssKiB, 128 << 10);
    }
    for (int s : flood)
        close(s);
    EXPECT_EQ(stopHelperd(helper), 0);
}

// The previous content survives a failed store: in the file or the backup.
TEST(Faults, StoreIntoFullOrReadOnlyDirectoryKeepsPreviousContent)
{
    mkdir("/home/tamsk", 0755);
    mkdir(CONFIG_DIR.c_str(), 0755);
    pid_t helper = startHelperd({"-l", "/home/events.log"});
    const std::string before = "B00:0:2 \nB06:1:1 \n";
    const struct { const char *what; bool fill; } cases[] = {
        {"full", true},   // one page for the file, one filled: no room for the backup
        {"read-only", false},
    };
    for (const auto &c : cases) {
        ASSERT_EQ(mount("tmpfs", CONFIG_DIR.c_str(), "tmpfs", 0, "size=8k"), 0);
        writeFile(TAMSK_CONFIG_FILE, before);
        if (c.fill)
            writeFile(CONFIG_DIR + "/filler", std::string(8192, 'f'));
        else
            ASSERT_EQ(mount(nullptr, CONFIG_DIR.c_str(), nullptr, MS_REMOUNT | MS_RDONLY, nullptr), 0);
        EXPECT_EQ(storeOnce("3"), "1") << c.what;
        std::string file = readFile(TAMSK_CONFIG_FILE), backup = readFile(BACKUP);
        EXPECT_TRUE(file == before || backup == before) << c.what << ": " << file << "|" << backup;
        EXPECT_EQ(file, before) << c.what;
        umount(CONFIG_DIR.c_str());
    }
    writeFile(TAMSK_CONFIG_FILE, before);
    EXPECT_EQ(storeOnce("3"), "0"); // with room again the store goes through
    EXPECT_EQ(readFile(TAMSK_CONFIG_FILE), "B00:0:3 \nB06:1:1 \n");
    EXPECT_EQ(readFile(BACKUP), before);
    EXPECT_EQ(stopHelperd(helper), 0);
}

// Operators storing at the same time: every store that reports success is
// in the file afterwards.
TEST(Faults, ConcurrentStoresLoseNoUpdate)
{
    mkdir("/home/tamsk", 0755);
    mkdir(CONFIG_DIR.c_str(), 0755);
    pid_t helper = startHelperd({"-l", "/home/events.log"});
    for (int round = 0; round < 5; ++round) {
        unlink(TAMSK_CONFIG_FILE);
        std::vector<pid_t> stores;
        for (int i = 0; i < 16; ++i)
            stores.push_back(startProgram({STORE_BIN, "-a", "C" + std::to_string(10 + i), "-p",
                                           std::to_string(round), "-t", "1"}, "/dev/null", "/dev/null"));
        std::vector<int> status;
        for (pid_t p : stores)
            status.push_back(waitProgram(p));
        std::string file = readFile(TAMSK_CONFIG_FILE);
        for (int i = 0; i < 16; ++i) {
            std::string record = "C" + std::to_string(10 + i) + ":" + std::to_string(round) + ":1 \n";
            EXPECT_TRUE(status[i] != 0 || file.find(record) != std::string::npos) << record << file;
        }
    }
    EXPECT_EQ(stopHelperd(helper), 0);
}
