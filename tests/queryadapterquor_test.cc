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

// storetopology and tamskdev: usage errors, help, version and outcomes,
// with the state each case needs set up before it.
TEST(OperatorCommands, CommandLinesAndOutcomes)
{
    const std::string TRY = "Try 'storetopology --help' for more information.\n";
    const std::string DEV_TRY = "Try 'tamskdev --help' for more information.\n";
    const std::string STORE = STORE_BIN, DEV = TAMSKDEV_BIN;
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
        {{STORE, "-a", "B00", "-p", "1", "-t", "2"}, 1, "", "storetopology: cannot lock " TAMSK_CONFIG_FILE
                                                           ".lock: No such file or directory\n"},
        {{STORE, "-a", "B00", "-p", "1", "-t", "2"}, 1, "", // the file is a directory
         "storetopology: storing B00 port 1 value 2 failed; the reasons are in the controller's message log "
         "(the event log of ioctlhelperd on a test rig)\n"},
        {{STORE, "--adapter=B00", "--port=1", "--topology=2"}, 0, "", ""},
    };
    for (const auto &c : cases) {
        if (&c == &cases[17]) {
            mkdir("/home/tamsk", 0755);
            mkdir("/home/tamsk/config", 0755);
            mkdir(TAMSK_CONFIG_FILE, 0755);
        }
        if (&c == &cases[18])
            rmdir(TAMSK_CONFIG_FILE);
        RunResult r = runProgram(c.argv);
        EXPECT_EQ(r.status, c.status) << testing::PrintToString(c.argv);
        // Before these lines: getopt's program name, the client's reports of a missing helper.
        EXPECT_EQ(r.err.substr(r.err.size() - std::min(r.err.size(), c.err.size())), c.err);
        if (c.status == 0 && !c.out.empty()) {
            EXPECT_EQ(r.out.substr(0, c.out.size()), c.out) << testing::PrintToString(c.argv);
        }
    }
    EXPECT_EQ(readFile(TAMSK_CONFIG_FILE), "B00:1:2 \n");
    // Output that does not reach standard output is a failed transfer.
    EXPECT_EQ(waitProgram(startProgram({DEV, "--help"}, "/dev/full", "/dev/null")), 32);
}

TEST(QueryOutcome, AnswersOfTheModel)
{
    writeFile("/home/model", "wyrafc000 ports=4 id=0xB00 loc=BAY1-SLOT3\n"
                             "wyrafc050 ioctl=53\nwyrafc060 ioctl=6\nwyrafc070 ioctl=-1\n"
                             "wyrafc080 rc=5\n");
    pid_t helper = startHelperd({"-m", "/home/model", "-l", "/home/events.log"});
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
    for (const char *port : {"0", "3"}) { // the ends of the port range
        r = query({"-l", "wyrafc000", "-p", port});
        EXPECT_EQ(r.status, 0);
        EXPECT_EQ(r.out.substr(0, 59), "Results from calling apQueryHaPortPhysCfg() for wyrafc000 \n");
        EXPECT_NE(r.out.find(std::string("wyrafc000 port ") + port + ": WWPN"), std::string::npos) << r.out;
    }
    EXPECT_EQ(stopHelperd(helper), 0);
}

// The kernel status report byte for byte, through the command and the
// helper; stored values come from the configuration file.
TEST(QueryReport, ReportsOfModelledAdapters)
{
    mkdir("/home/tamsk", 0755);
    mkdir("/home/tamsk/config", 0755);
    writeFile(TAMSK_CONFIG_FILE, "B00:0:2 \nB00:1:2 \nB06:2:4 \n");
    // Alternating status bits: a bit read one position off changes the text.
    writeFile("/home/model", "wyrafc000 id=0xB00 ports=4 status=0x1F speed=8 fourport=0xF loc=BAY1-SLOT3 "
                             "hrm=0xAAAAAAAA porthrm=0x55555555 topo=1,2,7,0 "
                             "wwpn=10000ABCDEF00001,10000ABCDEF00002,10000ABCDEF00003,10000ABCDEF00004\n"
                             "wyrafc001 ports=0 hrm=0x55555555 porthrm=0xAAAAAAAA\n"
                             "wyrafc002 ports=1\nwyrafc003 ports=200 topo=1,1,1,3\n");
    pid_t helper = startHelperd({"-m", "/home/model", "-l", "/home/events.log"});
    const std::string head = "Kernel status for wyrafc000 \n\t adapterId          :  B00 \n"
                             "\t numOfAdapterPorts  :  4 \n\t adapterStatus      :  1F \n"
                             "\t fc_fiber_speed     :  8 \n\t fourPortStatus     :  F \n"
                             "\t Location Code      :  BAY1-SLOT3 \n\t Port WWPN \n"
                             "\t\t Port 0: 10000ABCDEF00001 \n\t\t Port 1: 10000ABCDEF00002 \n"
                             "\t\t Port 2: 10000ABCDEF00003 \n\t\t Port 3: 10000ABCDEF00004 \n"
                             "\t Adapter topology \n\t\t Port : Kernel Value                     : Stored Value \n"
                             "\t\t  0   : 1 - OS_OPEN_POINT_TO_POINT       : 2 - OS_FC_AL                      \n"
                             "\t\t  1   : 2 - OS_FC_AL                     : 2 - OS_FC_AL                      \n"
                             "\t\t  2   : 7 - ERROR: Input NOT Recognized! : 0 - OS_TOPOLOGY_UNKNOWN           \n"
                             "\t\t  3   : 0 - OS_TOPOLOGY_UNKNOWN          : 0 - OS_TOPOLOGY_UNKNOWN           \n";
    const std::string adapterOdd = "\t\t OS_HW_INSTALLED_CLUS0 \n\t\t OS_HW_AVAILABLE_CLUS0 \n"
                                   "\t\t OS_HW_NVS_GLOBAL_NO_MODIFIED_DATA_CLUS0 \n\t\t OS_HW_FENCED \n"
                                   "\t\t OS_HW_FENCED_INT_2 \n\t\t OS_HW_SERVICE_MODE \n"
                                   "\t\t OS_HW_NVS_INVALID_GLOBAL_STATUS_CLUS0 or OS_HW_FASTLOAD_NOT_MAIL_CAPABLE \n"
                                   "\t\t OS_HW_AFFINITY               \n\t\t OS_HW_RUN_UNCONFIG           \n"
                                   "\t\t OS_HW_NVS_FAILED             \n\t\t OS_HW_WS_INIT                \n"
                                   "\t\t OS_HW_WS_FAILED              \n\t\t OS_HW_WS_SYNC                \n";
    const std::string portEven = "\t\t OS_HW2_DA_ACTIVE_CLUS1            \n\t\t OS_HW2_QUIESCE_PENDING            \n"
                                 "\t\t OS_HW2_ONLINE_1                   \n\t\t OS_HW2_ONLINE_3                   \n"
                                 "\t\t OS_HW2_FENCED_INT_1               \n\t\t OS_HW2_FENCED_INT_3               \n";
    RunResult r = query({"-l", "wyrafc000"});
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.out, head + "\n\t Adapter HRM status :  AAAAAAAA  \n" + adapterOdd +
                         "\n\t Port HRM Status    :  55555555  \n" + portEven);
    EXPECT_EQ(r.err, "");
    const struct { const char *name; int portLines, hrmLines; const char *stored; } cases[] = {
        {"wyrafc001", 0, 14 + 10, ""}, // the other halves of both bit tables
        {"wyrafc002", 1, 0, ": 0 - OS_TOPOLOGY_UNKNOWN           \n"},
        {"wyrafc003", 4, 0, "  2   : 1 - OS_OPEN_POINT_TO_POINT       : 4 - OS_OPEN_FICON_POINT_TO_POINT  \n"},
    };
    for (const auto &c : cases) {
        std::string out = query({"-l", c.name}).out;
        EXPECT_EQ(countOf(out, "\t\t Port "), c.portLines + 1) << c.name;
        EXPECT_EQ(countOf(out, "\t\t  "), c.portLines) << c.name;
        EXPECT_EQ(countOf(out, "\t\t OS_HW"), c.hrmLines) << c.name;
        EXPECT_NE(out.find(c.stored), std::string::npos) << c.name;
    }
    // Stored values of wyrafc000 are looked up under id B00 (its 9-character copy), all others B06.
    EXPECT_EQ(query({"-l", "wyrafc0000"}).out.substr(0, 30), "Kernel status for wyrafc0000 \n");
    std::string log = readFile("/home/events.log");
    EXPECT_EQ(countOf(log, "trace 20581 lookup entry d1=0xb00 "), 8);
    EXPECT_EQ(countOf(log, "trace 20581 lookup entry d1=0xb06 "), 5);
    EXPECT_EQ(countOf(log, "trace 20592 "), 0); // the report never forces a reload
    EXPECT_EQ(stopHelperd(helper), 0);
}
