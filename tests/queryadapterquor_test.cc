// The command end to end: its options and every outcome, against the
// stand-in helper in this test's private /home.
#include "tamskpaths.h"
#include "tamskversion.h"
#include "testutil.h"

#include <algorithm>
#include <gtest/gtest.h>
#include <string>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

namespace {

const std::string USAGE =
    "\nUsage\nqueryadapterquor -l <logical Name> [-h | -p <port Number>]\n"
    "-h and -p are mutually exclusive \n-h to call the apQueryHaPhysCfg() function, \n"
    "-p to call the apQueryHaPortPhysCfg() function \n";
const std::string PARAMS = "ERROR: getting params\n" + USAGE;
const std::string PORT = "queryadapterquor: ERROR the port number must be 0,1,2, or 3 \n";

RunResult query(std::vector<std::string> args)
{
    args.insert(args.begin(), QUERY_BIN);
    return runProgram(args);
}

} // namespace

TEST(QueryOptions, RejectedCommandLines)
{
    const struct { std::vector<std::string> args; std::string out; } cases[] = {
        {{}, "ERROR: a logical name must be specified. \n" + USAGE},
        {{"-l", "wyrafc000", "-p", "01"}, PORT + PARAMS},
        {{"-l", "wyrafc000", "-p", "+1"}, PORT + PARAMS},
        {{"-l", "wyrafc000", "-p", "-0"}, PORT + PARAMS},
        {{"-l", "wyrafc000", "-p", " 1"}, PORT + PARAMS},
        {{"-l", "wyrafc000", "-p", "4"}, PORT + PARAMS},
        {{"-l", "wyrafc000", "-p", "4294967296"}, PORT + PARAMS},
        {{"-h", "-p", "1", "-l", "wyrafc000"}, PARAMS},
        {{"-h", "-h", "-v", "-l", "wyrafc000"}, PARAMS}, // -v after the conflict is not seen
        {{"-l", "a", "-l", "b", "-v"}, "ERROR: Multiple logical names specified \n" + PARAMS},
        {{"-x", "-l", "wyrafc000"}, PARAMS},
        {{"-l"}, PARAMS},
        {{"-l", "wyraf"}, "ERROR: the logical name must belong to a korval adapter \n"},
        {{"-l", "fcs0"}, "ERROR: the logical name must belong to a korval adapter \n"},
    };
    for (const auto &c : cases) {
        RunResult r = query(c.args);
        EXPECT_EQ(r.status, 253) << testing::PrintToString(c.args);
        EXPECT_EQ(r.out, c.out) << testing::PrintToString(c.args);
    }
}

TEST(StoreCommand, CommandLinesAndOutcomes)
{
    const std::string TRY = "Try 'storetopology --help' for more information.\n";
    const std::string FAILED = "storetopology: storing B00 port 1 value 2 failed; the reasons are in the "
                               "controller's message log (the event log of ioctlhelperd on a test rig)\n";
    const struct { std::vector<std::string> args; int status; std::string out, err; } cases[] = {
        {{"-a", "B00", "-p", "1", "-t", "2", "-x"}, 2, "", "storetopology: invalid option -- 'x'\n" + TRY},
        {{"-a", "0", "-p", "1", "-t", "2"}, 2, "", "storetopology: invalid value for -a: 0\n" + TRY},
        {{"-a", "B00", "-p", "256", "-t", "2"}, 2, "", "storetopology: invalid value for -p: 256\n" + TRY},
        {{"-a", "B00", "-p", "1", "-t", "5"}, 2, "", "storetopology: invalid value for -t: 5\n" + TRY},
        {{"-a", "B00", "-p", "1"}, 2, "", "storetopology: -a, -p and -t are required\n" + TRY},
        {{"-a", "B00", "-p", "1", "-t", "2", "x"}, 2, "", "storetopology: unexpected argument: x\n" + TRY},
        {{"-V"}, 0, "storetopology (tamsk) " TAMSK_VERSION "\n", ""},
        {{"-a", "B00", "-p", "1", "-t", "2"}, 1, "", "storetopology: cannot lock " TAMSK_CONFIG_FILE
                                                     ".lock: No such file or directory\n"},
        {{"-a", "B00", "-p", "1", "-t", "2"}, 1, "", FAILED}, // the file is a directory
        {{"--adapter=B00", "--port=1", "--topology=2"}, 0, "", ""},
    };
    for (const auto &c : cases) {
        if (&c == &cases[8]) {
            mkdir("/home/tamsk", 0755);
            mkdir("/home/tamsk/config", 0755);
            mkdir(TAMSK_CONFIG_FILE, 0755);
        }
        if (&c == &cases[9])
            rmdir(TAMSK_CONFIG_FILE);
        std::vector<std::string> argv = c.args;
        argv.insert(argv.begin(), STORE_BIN);
        RunResult r = runProgram(argv);
        EXPECT_EQ(r.status, c.status) << testing::PrintToString(c.args);
        // Before these lines: getopt's program name, the client's reports of a missing helper.
        EXPECT_EQ(r.err.substr(r.err.size() - std::min(r.err.size(), c.err.size())), c.err);
        if (c.status == 2 || !c.out.empty()) {
            EXPECT_EQ(r.out, c.out) << testing::PrintToString(c.args);
        }
    }
    EXPECT_EQ(readFile(TAMSK_CONFIG_FILE), "B00:1:2 \n");
    EXPECT_EQ(runProgram({STORE_BIN, "--help"}).out.substr(0, 21), "Usage: storetopology ");
}

TEST(QueryOutcome, HelperNotReachable)
{
    RunResult r = query({"-l", "wyrafc000"});
    EXPECT_EQ(r.status, 6);
    EXPECT_EQ(r.out, "The ioctl failed, The ioctl return code indicates that the machine is not IMLed.\n"
                     "ioctl rc = 6, iocData.returnCode = 0 \n");
    EXPECT_EQ(r.err.substr(0, 40), "ERROR: Dev Open connect rc: -1, curSock:");
    EXPECT_NE(r.err.find("\nFailed to open/connect to ZARUD socket - -1\n"), std::string::npos);
}

TEST(QueryOutcome, AnswersOfTheModel)
{
    writeFile("/home/model", "wyrafc000 ports=4 id=0xB00 loc=BAY1-SLOT3\n"
                             "wyrafc050 ioctl=53\nwyrafc060 ioctl=6\nwyrafc070 ioctl=-1\n"
                             "wyrafc080 rc=5\nwyrafc090 ioctl=22\n");
    pid_t helper = startHelperd({"-m", "/home/model", "-l", "/home/events.log"});
    const std::string adp = "ioctl command line return code     : %d \nioctl data struncture return code  : 0 \n";
    const struct { std::string name; int status; std::string out; } cases[] = {
        {"wyrafc05099", 53, "Warmstart in progress: query functon exiting, .\nThe query ioctl for >adp: wyrafc050 "
                            "had an error \nioctl command line return code     : 53 \n"
                            "ioctl data struncture return code  : 0 \n"},
        {"wyrafc060", 6, "The ioctl failed, The ioctl return code indicates that the machine is not IMLed.\n"
                         "ioctl rc = 6, iocData.returnCode = 0 \n"},
        {"wyrafc070", 1, "ERROR: The query ioctl for >adp: wyrafc070 had an error \nioctl command line return code"
                         "     : -1 \nioctl data struncture return code  : 0 \nConfig exiting, apConfig.dat not updated!\n"},
        {"wyrafc080", 2, "The kernel AP code returned an error iocData.returnCode = 5 \n"},
        {"wyrafc", 2, "The kernel AP code returned an error iocData.returnCode = 2 \n"},
    };
    for (const auto &c : cases) {
        RunResult r = query({"-l", c.name});
        EXPECT_EQ(r.status, c.status) << c.name;
        EXPECT_EQ(r.out, c.out) << c.name;
    }
    RunResult r = query({"-v", "-l", "wyrafc000", "-h"});
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.out.substr(0, 41), "queryadapterquor: Verbose mode selected \n");
    EXPECT_NE(r.out.find("\nStarting queryadapterquor at "), std::string::npos);
    EXPECT_NE(r.out.find(" port name = wyrafc000\nQuery Adapter Status ioctl for wyrafc000 successful at "),
              std::string::npos);
    EXPECT_NE(r.out.find("\nResults from calling apQueryHaPhysCfg() for wyrafc000 \n"), std::string::npos);
    r = query({"-l", "wyrafc000", "-p", "3"});
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.out.substr(0, 59), "Results from calling apQueryHaPortPhysCfg() for wyrafc000 \n");
    EXPECT_EQ(stopHelperd(helper), 0);
}

TEST(QueryOutcome, DefaultReportOfDemoAdapter)
{
    pid_t helper = startHelperd({"-l", "/home/events.log"});
    RunResult r = query({"-l", "wyrafc000"});
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.out.substr(0, 29), "Kernel status for wyrafc000 \n");
    EXPECT_NE(r.out.find("\t\t Port : Kernel Value                     : Stored Value \n"), std::string::npos);
    EXPECT_EQ(r.err, "");
    EXPECT_EQ(stopHelperd(helper), 0);
}
