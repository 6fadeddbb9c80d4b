// ioctlhelperd tests: raw protocol exchanges with the running helper: refused
// input, the AP code model and its file, the event log, device streams, stop.
#include "testutil.h"

#include "apcfgcommon.h"
#include "osusrcomm.h"
#include "tamskpaths.h"
#include "tamskversion.h"

#include <chrono>
#include <csignal>
#include <cstring>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

namespace {

using Bytes = std::vector<uint8_t>;
const std::string LOG = "/home/helperd.log";
const std::string DEVICES = "/home/devices";

sockaddr_un helperAddress()
{
    sockaddr_un a = {};
    a.sun_family = AF_UNIX;
    strcpy(a.sun_path, TAMSK_HELPER_SOCKET);
    return a;
}

int connectHelper()
{
    int s = socket(AF_UNIX, SOCK_STREAM, 0);
    sockaddr_un a = helperAddress();
    timeval limit = {10, 0}; // a silent helper fails the test instead of hanging it
    setsockopt(s, SOL_SOCKET, SO_RCVTIMEO, &limit, sizeof limit);
    EXPECT_EQ(0, connect(s, reinterpret_cast<sockaddr *>(&a), sizeof a));
    return s;
}

// Sends the header h and len bytes of payload and takes one answer; false
// when the helper ended the connection instead.
bool exchange(int s, HelperHdr h, const void *payload, size_t len, HelperHdr *ans, Bytes *body = nullptr)
{
    Bytes req(sizeof h + len);
    memcpy(req.data(), &h, sizeof h);
    if (len)
        memcpy(req.data() + sizeof h, payload, len);
    if (send(s, req.data(), req.size(), MSG_NOSIGNAL) != ssize_t(req.size()) ||
        recv(s, ans, sizeof *ans, MSG_WAITALL) != ssize_t(sizeof *ans))
        return false;
    if (ans->pktlen < 20 || ans->pktlen > (1 << 20))
        return false;
    Bytes rest(size_t(ans->pktlen - 20));
    if (!rest.empty() && recv(s, rest.data(), rest.size(), MSG_WAITALL) != ssize_t(rest.size()))
        return false;
    if (body)
        *body = rest;
    return true;
}

// A connection with name opened; *ret is the open's ret_code.
int openDevice(const std::string &name, int32_t *ret)
{
    int s = connectHelper();
    HelperHdr ans = {0, 0, 0, -99, 0};
    HelperHdr open = {int32_t(name.size()) + 21, HELPER_DEV_OPEN, 0, 0, ~0u};
    EXPECT_TRUE(exchange(s, open, name.c_str(), name.size() + 1, &ans));
    *ret = ans.ret_code;
    return s;
}

// One ioctl 27 on a connection of its own; the block is answered in place.
int32_t apRequest(AdapterDds *dds)
{
    int32_t ret = -99;
    int s = openDevice("", &ret);
    HelperHdr ans = {0, 0, 0, -99, 0};
    Bytes body;
    EXPECT_TRUE(exchange(s, {1132, HELPER_DEV_IOCTL, 1132, 0, AP_IOCTL}, dds, sizeof *dds, &ans, &body));
    EXPECT_EQ(sizeof *dds, body.size());
    if (body.size() == sizeof *dds)
        memcpy(dds, body.data(), sizeof *dds);
    close(s);
    return ans.ret_code;
}

AdapterDds block(uint32_t command, const char *text = "")
{
    AdapterDds d = {};
    d.length = AP_DDS_SIZE;
    d.command = command;
    snprintf(d.ate.message, sizeof d.ate.message, "%s", text);
    return d;
}

AdapterDds queryBlock(const char *name, uint32_t type, uint8_t port)
{
    AdapterDds d = block(AP_QUERY_ADAPTER_STATUS);
    memcpy(d.query.logicalName, name, std::min(strlen(name), sizeof d.query.logicalName));
    d.query.queryType = type;
    d.query.portNumber = port;
    return d;
}

// Queries name expecting the ioctl result ret and returnCode rc; a refused
// query must leave the rest of the block as it was sent.
void expectQuery(const char *name, uint32_t type, uint8_t port, int32_t ret, uint8_t rc)
{
    AdapterDds sent = queryBlock(name, type, port), d = sent;
    EXPECT_EQ(ret, apRequest(&d)) << name;
    EXPECT_EQ(rc, d.query.returnCode) << name;
    sent.query.returnCode = rc;
    if (rc || ret) {
        EXPECT_EQ(0, memcmp(&sent, &d, sizeof d)) << name << ": only returnCode may change";
    }
}

struct Helperd : testing::Test {
    pid_t pid = -1;
    void SetUp() override
    {
        mkdir(DEVICES.c_str(), 0755);
        unlink(LOG.c_str());
        pid = startHelperd({"-l", LOG, "-d", DEVICES});
    }
    void TearDown() override { EXPECT_EQ(0, stopHelperd(pid)); }
};

TEST_F(Helperd, MalformedRequestsAreRefusedAndServiceGoesOn)
{
    AdapterDds unknownCommand = block(150);
    const uint8_t *raw = reinterpret_cast<const uint8_t *>(&unknownCommand);
    struct Case { const char *what; bool openFirst; HelperHdr h; Bytes payload; };
    const Case cases[] = {
        {"pktlen 0", false, {0, HELPER_DEV_OPEN, 0, 0, 0}, {}},
        {"pktlen 19", false, {19, HELPER_DEV_OPEN, 0, 0, 0}, {}},
        {"negative pktlen", true, {-1132, HELPER_DEV_IOCTL, 0, 0, AP_IOCTL}, {}},
        {"huge pktlen", true, {0x7fffffff, HELPER_DEV_WRITE, 0, 0, 0}, Bytes(100)},
        {"unknown request code", false, {20, 7, 20, 0, 0}, {}},
        {"ioctl before open", false, {1132, HELPER_DEV_IOCTL, 1132, 0, AP_IOCTL}, Bytes(1112)},
        {"write before open", false, {30, HELPER_DEV_WRITE, 30, 0, 0}, Bytes(10)},
        {"second open", true, {21, HELPER_DEV_OPEN, 0, 0, AP_IOCTL}, Bytes(1)},
        {"open name not terminated", false, {24, HELPER_DEV_OPEN, 0, 0, 0}, Bytes(4, 'a')},
        {"open without a name", false, {20, HELPER_DEV_OPEN, 0, 0, 0}, {}},
        {"read from the AP device", true, {20, HELPER_DEV_READ, 1044, 0, 0}, {}},
        {"ioctl of the wrong size", true, {120, HELPER_DEV_IOCTL, 120, 0, AP_IOCTL}, Bytes(100)},
        {"largest ioctl taken", true, {1 << 20, HELPER_DEV_IOCTL, 0, 0, AP_IOCTL}, Bytes((1 << 20) - 20)},
        {"unknown ioctl number", true, {1132, HELPER_DEV_IOCTL, 1132, 0, 99}, Bytes(1112)},
        {"unknown AP command", true, {1132, HELPER_DEV_IOCTL, 1132, 0, AP_IOCTL}, Bytes(raw, raw + 1112)},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.what);
        int32_t ret = -99;
        int s = c.openFirst ? openDevice("", &ret) : connectHelper();
        HelperHdr ans = {};
        if (exchange(s, c.h, c.payload.data(), c.payload.size(), &ans)) {
            EXPECT_NE(0, ans.ret_code); // answered: refused with an error number
            if (c.h.helper_req == HELPER_DEV_IOCTL && c.h.pktlen >= 20) {
                EXPECT_EQ(c.h.pktlen, ans.pktlen); // the client counts any other length as broken
            }
        }
        close(s);
        expectQuery("wyrafc000", 1, 0, 0, 0);
    }
}

TEST_F(Helperd, SilentAndHalfSentClientsDoNotBlockOthers)
{
    int silent = connectHelper();
    int halfHeader = connectHelper();
    HelperHdr open = {21, HELPER_DEV_OPEN, 0, 0, 0}, ioctl = {1132, HELPER_DEV_IOCTL, 1132, 0, AP_IOCTL};
    ASSERT_EQ(10, send(halfHeader, &open, 10, 0));
    int32_t ret = -99;
    int halfPayload = openDevice("", &ret);
    ASSERT_EQ(20, send(halfPayload, &ioctl, 20, 0));
    ASSERT_EQ(500, send(halfPayload, Bytes(500).data(), 500, 0));
    expectQuery("wyrafc001", 1, 0, 0, 0); // within the 10 s receive limit
    close(halfHeader); // peers leaving inside a packet
    close(halfPayload);
    expectQuery("wyrafc001", 1, 0, 0, 0);
    close(silent);
}

TEST_F(Helperd, LogRecordsTracesAndEscapedMessages)
{
    AdapterDds t = block(AP_USER_TRACE);
    t.trace = {{}, 20581, 0xB00, 1, 256, 0, -1, {}};
    EXPECT_EQ(0, apRequest(&t));
    t.trace.eventId = 4242;
    EXPECT_EQ(0, apRequest(&t));
    AdapterDds m = block(AP_ATE_PRINTF, "apGetTopology: \"B00\"\tport 1\\ bell\x07 \xff\n");
    EXPECT_EQ(0, apRequest(&m));
    memset(m.ate.message, 'x', sizeof m.ate.message); // no terminator inside
    EXPECT_EQ(EINVAL, apRequest(&m));
    AdapterDds q = queryBlock("a\nb", 1, 0);
    EXPECT_EQ(0, apRequest(&q));
    const std::string log = readFile(LOG), wants[] = {
        " trace 20581 lookup entry d1=0xb00 d2=0x1 d3=0x100 d4=0x0 d5=-1\n",
        " trace 4242 d1=0xb00 d2=0x1 d3=0x100 d4=0x0 d5=-1\n",
        R"( message "apGetTopology: \"B00\"\tport 1\\ bell\x07 \xff\n")" "\n",
        " message \"" + std::string(512, 'x') + "\" -> ioctl 22\n",
        " query a\\nb type 1 port 0 -> ioctl 0 returnCode 2\n"};
    for (const std::string &want : wants)
        EXPECT_NE(std::string::npos, log.find(want)) << want << "\nin:\n" << log;
    EXPECT_EQ("T", log.substr(10, 1)); // 2026-12-05T17:40:01.123Z, UTC
    EXPECT_EQ("Z trace", log.substr(23, 7)) << log;
}

// Standard output on a pipe nobody reads: lines are dropped, not waited for.
TEST(HelperdLog, StalledLogReaderHoldsUpNeitherServiceNorTheStop)
{
    int pipeFds[2], out = dup(1);
    ASSERT_EQ(0, pipe(pipeFds));
    dup2(pipeFds[1], 1);
    pid_t pid = startHelperd();
    dup2(out, 1);
    close(out);
    close(pipeFds[1]);
    AdapterDds m = block(AP_ATE_PRINTF, std::string(500, 'x').c_str()); // 64 KiB in about 120 lines
    auto twoHundredQueries = [&] {
        for (int i = 0; i < 200; ++i)
            ASSERT_EQ(0, apRequest(&m)) << i;
    };
    twoHundredQueries();
    char buf[4096];
    fcntl(pipeFds[0], F_SETFL, O_NONBLOCK);
    while (read(pipeFds[0], buf, sizeof buf) > 0) {
    }
    twoHundredQueries(); // the count of the lines dropped comes first
    std::string head(buf, size_t(std::max<ssize_t>(read(pipeFds[0], buf, sizeof buf), 0)));
    EXPECT_EQ(23u, head.find("Z event log: ")) << head;
    EXPECT_LT(head.find(" lines dropped\n"), head.find('\n') + 1) << head;
    auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(0, stopHelperd(pid));
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(2));
    close(pipeFds[0]);
}

// The 10 MiB round trip through the client lives with the stream tests.
TEST_F(Helperd, DeviceNamesOutsideTheDeviceDirectoryAreRefused)
{
    int32_t ret = -99;
    writeFile(DEVICES + "/disk0", "data");
    close(openDevice("disk0", &ret));
    EXPECT_EQ(0, ret);
    mkdir((DEVICES + "/subdir").c_str(), 0755);
    for (const char *name : {"missing", "../devices/disk0", "a/b", ".", "..", "subdir"}) {
        close(openDevice(name, &ret));
        EXPECT_NE(0, ret) << name;
    }
}

TEST(HelperdModel, ModelFileReplacesTheBuiltInAdapters)
{
    writeFile("/home/model", "# test adapters\nmessages refuse=1\ntraces rc=-1\n\n"
                             "wyrafc000 id=0xB00 ports=2 loc=TEST-LOC-1 topo=1,4 hrm=0x80000001 "
                             "wwpn=100000aabbccdd01,100000AABBCCDD02   # two ports\n"
                             "wyrafc053 ioctl=53\nwyrafc005 rc=5 id=0x123\n");
    pid_t pid = startHelperd({"-m", "/home/model", "-l", LOG});
    AdapterDds d = queryBlock("wyrafc000", 2, 0);
    EXPECT_EQ(0, apRequest(&d));
    EXPECT_EQ(0, d.query.returnCode);
    EXPECT_EQ(4, d.query.topology[1]);
    EXPECT_EQ(0x80000001u, d.query.adapterHrmStatus);
    EXPECT_STREQ("adapter wyrafc000, id 0xB00, location TEST-LOC-1, 2 ports, status 0x00000000, "
                 "fibre speed 0x00, four-port status 0x00000000", d.query.resultText); // keys not given are zero
    d = queryBlock("wyrafc000", 4, 1);
    EXPECT_EQ(0, apRequest(&d));
    EXPECT_STREQ("adapter wyrafc000 port 1: WWPN 10:00:00:AA:BB:CC:DD:02, topology 4", d.query.resultText);
    expectQuery("wyrafc000", 4, 2, 0, 4); // no port 2
    expectQuery("wyrafc000", 3, 0, 0, 3); // no query type 3
    expectQuery("wyrafc053", 1, 0, 53, 0);
    expectQuery("wyrafc005", 1, 0, 0, 5);
    expectQuery("wyrafc001", 1, 0, 0, 2); // the built-in adapters are gone
    for (int32_t want : {0, 5, 5}) {
        AdapterDds m = block(AP_ATE_PRINTF, "note");
        EXPECT_EQ(want, apRequest(&m));
    }
    AdapterDds t = block(AP_USER_TRACE);
    EXPECT_EQ(-1, apRequest(&t));
    EXPECT_EQ(0, stopHelperd(pid));
    EXPECT_NE(std::string::npos, readFile(LOG).find("message \"note\" -> ioctl 5\n"));
}

TEST(HelperdModel, BadModelFileOrOptionStopsTheStartWithStatusTwo)
{
    // A directory on the socket path makes a helper that wrongly goes on exit 1.
    mkdir("/home/tamsk", 0755);
    mkdir(TAMSK_HELPER_SOCKET, 0755);
    const std::string BAD = "ioctlhelperd: /home/bad:3: bad ";
    struct Case { std::string model; std::vector<std::string> args; std::string err; };
    const Case cases[] = {
        {"wyrafc000 ports=256", {}, BAD + "\"ports=256\""},
        {"wyrafc000 topo=1,2,3,4,0", {}, BAD + "\"topo=1,2,3,4,0\""},
        {"wyrafc000 loc=BAY1-SLOT3-ABCDEF", {}, BAD + "\"loc=BAY1-SLOT3-ABCDEF\""},
        {"wyrafc000 ioctl=2147483648 id=1", {}, BAD + "\"ioctl=2147483648\""},
        {"wyrafc000 colour=red", {}, BAD + "\"colour=red\""},
        {"messages refuse=-1", {}, BAD + "\"refuse=-1\""},
        {"id=0xB00 ports=4", {}, BAD + "adapter \"id=0xB00\""},
        {"wyrafc000\nwyrafc000", {}, "ioctlhelperd: /home/bad:4: bad adapter \"wyrafc000\""},
        {std::string(1023, 'w'), {}, "ioctlhelperd: /home/bad:3: line longer than 1022 characters"},
        {"", {"-m", "/home/missing"}, "ioctlhelperd: cannot open model file /home/missing: No such file or directory"},
        {"", {"-x"}, "ioctlhelperd: unknown option '-x'\nTry 'ioctlhelperd --help' for more information.\n"},
        {"", {"--mode", "8"}, "ioctlhelperd: bad mode '8'\nTry"},
    };
    for (const Case &c : cases) {
        std::vector<std::string> argv{HELPERD_BIN};
        if (c.args.empty()) {
            writeFile("/home/bad", "# bad model\n\n" + c.model + "\n");
            argv.insert(argv.end(), {"-m", "/home/bad"});
        }
        argv.insert(argv.end(), c.args.begin(), c.args.end());
        RunResult r = runProgram(argv);
        EXPECT_EQ(2, r.status) << c.err;
        EXPECT_EQ(c.err, r.err.substr(0, c.err.size())) << r.err;
    }
    rmdir(TAMSK_HELPER_SOCKET);
}

TEST(HelperdOptions, SocketGroupAndModeHelpAndVersion)
{
    pid_t pid = startHelperd({"--group", std::to_string(getegid()), "-M", "0660"});
    struct stat st = {};
    EXPECT_EQ(0, stat(TAMSK_HELPER_SOCKET, &st));
    EXPECT_EQ(0660u, st.st_mode & 07777);
    EXPECT_EQ(getegid(), st.st_gid);
    EXPECT_EQ(0, stopHelperd(pid));
    RunResult r = runProgram({HELPERD_BIN, "-V"});
    EXPECT_EQ(0, r.status);
    EXPECT_EQ("ioctlhelperd (tamsk) " TAMSK_VERSION "\n", r.out);
    r = runProgram({HELPERD_BIN, "--help"});
    EXPECT_EQ(0, r.status);
    EXPECT_NE(std::string::npos, r.out.find(" -M, --mode <mode>")) << r.out;
}

TEST(HelperdStop, StopSignalsRemoveTheSocketAndAStaleSocketIsReplaced)
{
    mkdir("/home/tamsk", 0755);
    for (int sig : {SIGTERM, SIGINT}) {
        int stale = socket(AF_UNIX, SOCK_STREAM, 0);
        sockaddr_un a = helperAddress();
        ASSERT_EQ(0, bind(stale, reinterpret_cast<sockaddr *>(&a), sizeof a));
        close(stale); // leaves a socket file nobody listens on
        pid_t pid = startHelperd();
        ASSERT_GT(pid, 0);
        RunResult second = runProgram({HELPERD_BIN});
        EXPECT_EQ(1, second.status);
        EXPECT_EQ("ioctlhelperd: another helper is listening on /home/tamsk/ioctl\n", second.err);
        kill(pid, sig);
        int st = -1;
        EXPECT_EQ(pid, waitpid(pid, &st, 0));
        EXPECT_TRUE(WIFEXITED(st) && WEXITSTATUS(st) == 0) << sig;
        EXPECT_NE(0, access(TAMSK_HELPER_SOCKET, F_OK)) << sig;
    }
}

} // namespace
