// Device streams through the stand-in helper: a 10 MiB device read out with
// tamskdevrd and written back with tamskdevwr arrives byte for byte, and so
// does a copy through the tamskdev command.
#include "osusrcomm.h"
#include "testutil.h"

#include <cstdio>
#include <gtest/gtest.h>
#include <string>
#include <sys/stat.h>
#include <unistd.h>

TEST(DeviceStreamThroughHelper, TenMebibyteRoundTrip)
{
    mkdir("/home/dev", 0755);
    std::string data(10 << 20, '\0');
    for (size_t i = 0; i < data.size(); ++i)
        data[i] = char((i * 2654435761u) >> 11);
    writeFile("/home/dev/disk0", data);
    writeFile("/home/dev/disk1", "");
    pid_t helper = startHelperd({"-d", "/home/dev", "-l", "/home/events.log"});

    fflush(stdout);
    int savedOut = dup(1);
    ASSERT_NE(freopen("/home/copy", "w", stdout), nullptr);
    int32_t readResult = tamskdevrd("disk0");
    fflush(stdout);
    dup2(savedOut, 1);
    close(savedOut);
    EXPECT_EQ(readResult, 0);

    ASSERT_NE(freopen("/home/copy", "r", stdin), nullptr);
    EXPECT_EQ(tamskdevwr("disk1"), 0);
    EXPECT_EQ(tamskdevrd("no-such-device"), 6);
    EXPECT_EQ(stopHelperd(helper), 0);
    EXPECT_TRUE(readFile("/home/dev/disk1") == data) << readFile("/home/dev/disk1").size() << " bytes";
}

TEST(DeviceStreamThroughHelper, CommandWritesAndReadsBack)
{
    mkdir("/home/dev", 0755);
    std::string data(300 << 10, '\0');
    for (size_t i = 0; i < data.size(); ++i)
        data[i] = char((i * 40503u) >> 7);
    writeFile("/home/data", data);
    writeFile("/home/dev/disk0", "");
    pid_t helper = startHelperd({"-d", "/home/dev"});

    EXPECT_EQ(runProgram({TAMSKDEV_BIN, "write", "disk0"}, "/home/data").status, 0);
    RunResult back = runProgram({TAMSKDEV_BIN, "read", "disk0"});
    EXPECT_EQ(back.status, 0);
    EXPECT_TRUE(back.out == data) << back.out.size() << " bytes";
    EXPECT_EQ(runProgram({TAMSKDEV_BIN, "read", "no-such-device"}).status, 6);
    EXPECT_EQ(stopHelperd(helper), 0);
}
