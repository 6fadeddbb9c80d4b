// The commands end to end: options, outcomes and reports of queryadapterquor,
// storetopology and tamskdev, against the stand-in helper in this test's
// private /home. Long expected outputs are in tests/golden.
#include "tamskversion.h"
#include "testutil.h"

#include <gtest/gtest.h>
#include <sstream>

namespace {

const std::string USAGE =
    "\nUsage\nqueryadapterquor -l <logical Name> [-h | -p <port Number>]\n"
    "-h and -p are mutually exclusive \n-h to call the apQueryHaPhysCfg() function, \n"
    "-p to call the apQueryHaPortPhysCfg() function \n";
const std::string PARAMS = "ERROR: getting params\n" + USAGE;
const std::string PORT = "queryadapterquor: ERROR the port number must be 0,1,2, or 3 \n";
const std::string STORE = STORE_BIN, DEV = TAMSKDEV_BIN, QUERY = QUERY_BIN;

} // namespace

TEST(QueryOptions, RejectedCommandLines)
{
    const struct { std::vector<std::string> args; std::string out; } cases[] = {
        {{}, "ERROR: a logical name must be specified. \n" + USAGE},
        {{"-l", "wyrafc000", "-p", "01"}, PORT + PARAMS},
        {{"-l", "wyrafc000", "-p", "4"}, PORT + PARAMS},
        {{"-h", "-p", "1", "-l", "wyrafc000"}, PARAMS},
        {{"-h", "-h", "-v", "-l", "wyrafc000"}, PARAMS}, // -v after the conflict is not seen
        {{"-l", "a", "-l", "b", "-v"}, "ERROR: Multiple logical names specified \n" + PARAMS},
        {{"-x", "-l", "wyrafc000"}, PARAMS},
        {{"-l"}, PARAMS},
        {{"-l", "wyraf"}, "ERROR: the logical name must belong to a korval adapter \n"},
    };
    for (const auto &c : cases) {
        std::vector<std::string> argv = c.args;
        argv.insert(argv.begin(), QUERY);
        RunResult r = runProgram(argv);
        EXPECT_EQ(std::to_string(r.status) + r.out, "253" + c.out) << testing::PrintToString(c.args);
    }
}

// storetopology and tamskdev: usage errors, help, version and outcomes.
TEST(OperatorCommands, CommandLinesAndOutcomes)
{
    const std::string TRY = "Try 'storetopology --help' for more information.\n";
    const std::string DEV_TRY = "Try 'tamskdev --help' for more information.\n";
    const struct { std::vector<std::string> argv; int status; std::string out, err; } cases[] = {
        {{STORE, "-a", "B00", "-p", "1", "-t", "2", "-x"}, 2, "", "storetopology: invalid option -- 'x'\n" + TRY},
        {{STORE, "-a", "0", "-p", "1", "-t", "2"}, 2, "", "storetopology: invalid value for -a: 0\n" + TRY},
        {{STORE, "-a", "B00", "-p", "256", "-t", "2"}, 2, "", "storetopology: invalid value for -p: 256\n" + TRY},
        {{STORE, "-a", "B00", "-p", "", "-t", "2"}, 2, "", "storetopology: invalid value for -p: \n" + TRY},
        {{STORE, "-a", "B00", "-p", "1", "-t", "5"}, 2, "", "storetopology: invalid value for -t: 5\n" + TRY},
        {{STORE, "-a", "B00", "-p", "1"}, 2, "", "storetopology: -a, -p and -t are required\n" + TRY},
        {{STORE, "-a", "B00", "-p", "1", "-t", "2", "x"}, 2, "", "storetopology: unexpected argument: x\n" + TRY},
        {{STORE, "-V"}, 0, "storetopology (tamsk) " TAMSK_VERSION "\n", ""},
        {{STORE, "--help"}, 0, "Usage: storetopology -a ADAPTER-ID -p PORT -t VALUE [-v]\n", ""},
        {{DEV, "-x"}, 2, "", "tamskdev: invalid option -- 'x'\n" + DEV_TRY},
        {{DEV, "read"}, 2, "", "tamskdev: missing operand\n" + DEV_TRY},
        {{DEV, "read", "a", "b"}, 2, "", "tamskdev: too many operands\n" + DEV_TRY},
        {{DEV, "copy", "a"}, 2, "", "tamskdev: unknown command: copy\n" + DEV_TRY},
        {{DEV, "-V"}, 0, "tamskdev (tamsk) " TAMSK_VERSION "\n", ""},
        {{DEV, "--help"}, 0, "Usage:\n tamskdev read <name>\n tamskdev write <name>\n", ""},
        {{DEV, "read", "dev0"}, 6, "", "Failed to open/connect to ZARUD socket - -1\n"}, // no helper
        {{STORE, "-a", "B00", "-p", "1", "-t", "2"}, 1, "", // no configuration directory
         "storetopology: cannot lock " TAMSK_CONFIG_FILE ".lock: No such file or directory\n"},
    };
    for (const auto &c : cases) {
        RunResult r = runProgram(c.argv);
        EXPECT_EQ(r.status, c.status) << testing::PrintToString(c.argv);
        // Before these lines: getopt's program name, the client's reports of a missing helper.
        EXPECT_EQ(r.err.substr(r.err.size() - std::min(r.err.size(), c.err.size())), c.err);
        EXPECT_EQ(r.out.substr(0, c.out.size()), c.out) << testing::PrintToString(c.argv);
    }
    // Output that does not reach standard output is a failed transfer.
    EXPECT_EQ(waitProgram(startProgram({DEV, "--help"}, "/dev/full", "/home/full.err")), 32);
    EXPECT_EQ(readFile("/home/full.err"), "tamskdev: write error: No space left on device\n");
    mkdir("/home/tamsk", 0755);
    mkdir("/home/tamsk/config", 0755);
    mkdir(TAMSK_CONFIG_FILE, 0755); // a store that cannot rewrite the file
    EXPECT_NE(runProgram({STORE, "-a", "B00", "-p", "1", "-t", "2"}).err.find(
              "storetopology: storing B00 port 1 value 2 failed; the reasons are in the controller's message log "
              "(the event log of ioctlhelperd on a test rig)\n"), std::string::npos);
    rmdir(TAMSK_CONFIG_FILE);
    // A helper that refuses messages: the first failure sends them all to standard output.
    writeFile(TAMSK_CONFIG_FILE, "B00:0:2 \n");
    writeFile("/home/model", "messages refuse=0\n");
    pid_t helper = startHelperd({"-m", "/home/model", "-l", "/home/events.log"});
    RunResult r = runProgram({STORE, "--adapter=B00", "--port=0", "--topology=3", "--verbose"});
    EXPECT_EQ(stopHelperd(helper), 0);
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.out, golden("store-verbose.txt"));
    EXPECT_EQ(countOf(readFile("/home/events.log"), " message "), 1);
    EXPECT_EQ(readFile(TAMSK_CONFIG_FILE), "B00:0:3 \n");
}

// Operators storing at the same time lose no update; a device stream
// written and read back through the helper is byte-exact.
TEST(OperatorCommands, ConcurrentStoresAndDeviceStreamThroughTheHelper)
{
    pid_t helper = startHelperd();
    mkdir("/home/tamsk/config", 0755);
    mkdir("/home/tamsk/devices", 0755); // the helper's default device directory
    for (int round = 0; round < 5; ++round) {
        unlink(TAMSK_CONFIG_FILE);
        std::vector<pid_t> stores;
        for (int i = 10; i < 26; ++i)
            stores.push_back(startProgram({STORE, "-a", "C" + std::to_string(i), "-p", std::to_string(round),
                                           "-t", "1"}, "/dev/null", "/dev/null"));
        for (pid_t p : stores)
            EXPECT_EQ(0, waitProgram(p)); // each waits for the others
        std::string file = readFile(TAMSK_CONFIG_FILE);
        for (int i = 10; i < 26; ++i)
            EXPECT_EQ(1, countOf(file, "C" + std::to_string(i) + ":" + std::to_string(round) + ":1 \n")) << file;
    }
    std::string data;
    for (uint32_t i = 0; data.size() <= 1u << 20; ++i) // the last write has a single byte
        data += char((i * 2654435761u) >> 11);
    writeFile("/home/data", data);
    writeFile("/home/tamsk/devices/disk0", "");
    EXPECT_EQ(0, runProgram({DEV, "write", "disk0"}, "/home/data").status);
    RunResult back = runProgram({DEV, "read", "disk0"});
    EXPECT_EQ(0, back.status);
    EXPECT_TRUE(back.out == data) << back.out.size() << " bytes";
    EXPECT_EQ(6, runProgram({DEV, "read", "no-such-device"}).status);
    EXPECT_EQ(0, stopHelperd(helper));
}

// Every outcome and report of the modelled adapters, against the transcript
// in golden/query.txt; stored values come from the configuration file.
TEST(QueryOutcome, AnswersAndReportsOfTheModel)
{
    mkdir("/home/tamsk", 0755);
    mkdir("/home/tamsk/config", 0755);
    writeFile(TAMSK_CONFIG_FILE, "B00:0:2 \nB00:1:2 \nB06:2:4 \n");
    // Alternating status bits: a bit read one position off changes the text.
    writeFile("/home/model", "wyrafc000 id=0xB00 ports=4 status=0x1F speed=8 fourport=0xF loc=BAY1-SLOT3 "
                             "hrm=0xAAAAAAAA porthrm=0x55555555 topo=1,2,7,0 "
                             "wwpn=10000ABCDEF00001,10000ABCDEF00002,10000ABCDEF00003,10000ABCDEF00004\n"
                             "wyrafc001 ports=0 hrm=0x55555555 porthrm=0xAAAAAAAA\n"
                             "wyrafc002 ports=1\nwyrafc003 ports=200 topo=1,1,1,3\n"
                             "wyrafc050 ioctl=53\nwyrafc060 ioctl=6\nwyrafc070 ioctl=-1\nwyrafc080 rc=5\n");
    pid_t helper = startHelperd({"-m", "/home/model", "-l", "/home/query.log"});
    std::string transcript;
    for (const char *args : {"-l wyrafc000", "-l wyrafc001", "-l wyrafc002", "-l wyrafc003", "-l wyrafc05099",
                             "-l wyrafc060", "-l wyrafc070", "-l wyrafc080", "-l wyrafc", "-l wyrafc000 -p 0",
                             "-l wyrafc000 -p 3", "-h -l wyrafc000"}) {
        std::vector<std::string> argv = {QUERY};
        std::istringstream words(args);
        for (std::string w; words >> w;)
            argv.push_back(w);
        RunResult r = runProgram(argv);
        transcript += std::string("$ queryadapterquor ") + args + "\n" + r.out + "[" + std::to_string(r.status) + "]\n";
    }
    EXPECT_EQ(transcript, golden("query.txt"));
    RunResult r = runProgram({QUERY, "-v", "-l", "wyrafc000", "-h"});
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.out.substr(0, 41), "queryadapterquor: Verbose mode selected \n");
    EXPECT_NE(r.out.find("\nStarting queryadapterquor at "), std::string::npos);
    EXPECT_NE(r.out.find(" port name = wyrafc000\nQuery Adapter Status ioctl for wyrafc000 successful at "),
              std::string::npos);
    // Stored values of wyrafc000 are looked up under id B00 (its 9-character copy), all others B06.
    EXPECT_EQ(runProgram({QUERY, "-l", "wyrafc0000"}).out.substr(0, 30), "Kernel status for wyrafc0000 \n");
    EXPECT_EQ(stopHelperd(helper), 0);
    EXPECT_EQ(eventLog("/home/query.log"), golden("query-events.txt")); // the report never forces a reload
}
