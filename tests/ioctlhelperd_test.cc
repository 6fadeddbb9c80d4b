// ioctlhelperd's contract as clients meet it: bad input, model file, event log, options, stop.
#include "testutil.h"

#include "apcfgcommon/apmessage.h"

#include <glob.h>
#include <gtest/gtest.h>
#include <sys/resource.h>

namespace {

const std::string LOG = "/home/helperd.log", HELPERD = HELPERD_BIN;

void expectQuery(const char *name, uint32_t type, uint8_t port, int32_t ret, uint8_t rc, const char *text = nullptr)
{
    AdapterDds sent, d;
    tamsk::apInitBlock(&sent, AP_QUERY_ADAPTER_STATUS);
    memcpy(sent.query.logicalName, name, strnlen(name, sizeof sent.query.logicalName));
    sent.query.queryType = type, sent.query.portNumber = port, d = sent;
    EXPECT_EQ(ret, tamskioctl(AP_IOCTL, &d, sizeof d)) << name;
    EXPECT_EQ(rc, d.query.returnCode) << name;
    EXPECT_EQ(0, strncmp(name, d.query.logicalName, sizeof d.query.logicalName)) << name;
    EXPECT_STREQ(text, text ? d.query.resultText : nullptr);
    sent.query.returnCode = rc;
    EXPECT_TRUE((!rc && !ret) || !memcmp(&sent, &d, sizeof d)) << name << ": only returnCode may change";
}

} // namespace

TEST(Helperd, ModelBadRequestsAndEventLog)
{
    mkdir("/home/devices", 0755);
    mkdir("/home/devices/subdir", 0755);
    writeFile("/home/devices/disk0", "data");
    mount("/home/devices", "/home/devices", nullptr, MS_BIND, nullptr); // devices that open read-only
    mount(nullptr, "/home/devices", nullptr, MS_REMOUNT | MS_BIND | MS_RDONLY, nullptr);
    setenv("TZ", "XST-5", 1); // a local time stamp would be 5 hours off
    ASSERT_EQ(0, chdir("/home")); // the device directory is named relative to it
    pid_t pid = startHelperd({"-m", DATA_DIR "/models/helperd.model", "-d", "devices", "-l", LOG});
    expectQuery("wyrafc000", 4, 1, 0, 0, "adapter wyrafc000 port 1: WWPN 10:00:00:AA:BB:CC:DD:02, topology 4");
    expectQuery("wyrafc000", 2, 0, 0, 0, "adapter wyrafc000, id 0xB00, location TEST-LOC-1, 2 ports, "
                "status 0x00000000, fibre speed 0x0A, four-port status 0x00000000"); // keys not given are 0; 010 is decimal
    expectQuery("wyrafc000", 4, 2, 0, 4); // no port 2
    expectQuery("wyrafc200", 4, 100, 0, 4); // the record holds four ports
    expectQuery("wyrafc000", 3, 0, 0, 3); // no query type 3
    expectQuery("wyrafc053", 1, 0, 53, 0);
    expectQuery("wyrafc001", 1, 0, 0, 2); // the built-in adapters are gone
    expectQuery("a\nb", 1, 0, 0, 2);
    expectQuery("", 1, 0, 0, 2);
    for (auto [text, ret] : {std::pair<std::string, int>{"apGetTopology: \"B00\"\tport 1\\ bell\x07\x7f \xff\n", 0},
                             {std::string(512, 'x'), EINVAL}, {"note", 5}, {"note", 5}}) {
        AdapterDds m; // 512 bytes or more: no terminator
        tamsk::apInitBlock(&m, AP_ATE_PRINTF);
        memcpy(m.ate.message, text.data(), std::min(text.size(), sizeof m.ate.message));
        EXPECT_EQ(ret, tamskioctl(AP_IOCTL, &m, sizeof m)) << text;
    }
    AdapterDds t;
    tamsk::apInitBlock(&t, 150);
    EXPECT_EQ(EINVAL, tamskioctl(AP_IOCTL, &t, sizeof t)); // no such AP command
    tamsk::apInitBlock(&t, AP_USER_TRACE);
    for (uint32_t id : {20581u, 4242u}) {
        t.trace = {{}, id, 0xB00, 1, 256, 0, -1, {}};
        EXPECT_EQ(-1, tamskioctl(AP_IOCTL, &t, sizeof t));
    }
    // Packets the client library never sends, after an AP open when openFirst; then the client leaves.
    const struct { const char *what; bool openFirst; HelperHdr h; size_t len; char fill; int32_t ret; } raw[] = {
        {"pktlen 19", false, {19, HELPER_DEV_OPEN, 0, 0, 0}, 0, 0, EINVAL},
        {"negative pktlen", true, {-1132, HELPER_DEV_IOCTL, 0, 0, AP_IOCTL}, 0, 0, EINVAL},
        {"pktlen beyond the limit", true, {(1 << 20) + 1, HELPER_DEV_WRITE, 0, 0, 0}, 100, 0, EINVAL},
        {"unknown request code", false, {20, 7, 20, 0, 0}, 0, 0, EINVAL},
        {"ioctl before open", false, {1132, HELPER_DEV_IOCTL, 1132, 0, AP_IOCTL}, 1112, 0, EBADF},
        {"write before open", false, {30, HELPER_DEV_WRITE, 30, 0, 0}, 10, 0, EBADF},
        {"second open", true, {21, HELPER_DEV_OPEN, 0, 0, AP_IOCTL}, 1, 0, EINVAL},
        {"open name not terminated", false, {24, HELPER_DEV_OPEN, 0, 0, 0}, 4, 'a', EINVAL},
        {"open without a name", false, {20, HELPER_DEV_OPEN, 0, 0, 0}, 0, 0, EINVAL},
        {"read from the AP device", true, {20, HELPER_DEV_READ, 1044, 0, 0}, 0, 0, EINVAL},
        {"unknown ioctl number", true, {1132, HELPER_DEV_IOCTL, 1132, 0, 99}, 1112, 0, ENOTTY},
        {"AP block with a wrong length field", true, {1132, HELPER_DEV_IOCTL, 1132, 0, AP_IOCTL}, 1112, 0, EINVAL},
        {"largest ioctl taken", true, {1 << 20, HELPER_DEV_IOCTL, 1 << 20, 0, AP_IOCTL}, (1 << 20) - 20, 0, EINVAL},
        {"client leaves inside a packet (no answer)", true, {1132, HELPER_DEV_IOCTL, 1132, 0, AP_IOCTL}, 500, 0, -1},
    };
    for (const auto &c : raw) {
        HelperHdr open = {21, HELPER_DEV_OPEN, 0, 0, 0}, ans = {0, 0, 0, -1, 0};
        std::string pkt = c.openFirst ? std::string(reinterpret_cast<char *>(&open), 20) + '\0' : "";
        pkt += std::string(reinterpret_cast<const char *>(&c.h), 20) + std::string(c.len, c.fill);
        int s = helperSocket();
        send(s, pkt.data(), pkt.size(), MSG_NOSIGNAL);
        shutdown(s, SHUT_WR);
        if ((c.openFirst && recv(s, &ans, 20, MSG_WAITALL) != 20) || recv(s, &ans, 20, MSG_WAITALL) != 20)
            ans.ret_code = -1;
        close(s);
        EXPECT_EQ(c.ret, ans.ret_code) << c.what;
        EXPECT_TRUE(c.h.helper_req != HELPER_DEV_IOCTL || c.h.pktlen < 20 || c.ret < 0 || ans.pktlen == c.h.pktlen)
            << c.what << ": the client takes an ioctl answer of any other length as broken";
        expectQuery("wyrafc000", 1, 0, 0, 0);
    }
    char pkt[64];
    for (const char *name : {"disk0", "missing", "../devices/disk0", "a/b", ".", "..", "subdir"}) {
        int32_t s = quorHelperOpen(name, ~0u, pkt, sizeof pkt);
        EXPECT_EQ(!strcmp(name, "disk0"), s >= 0) << name;
        close(s);
    }
    EXPECT_EQ(0, stopHelperd(pid));
    EXPECT_NE(std::string::npos, readFile("/home/helperd.err").find("dropped: client left inside a packet\n"));
    EXPECT_EQ(eventLog(LOG), golden("helperd-events.txt"));
    const std::string log = readFile(LOG);
    tm stamp = {};
    strptime(log.c_str(), "%Y-%m-%dT%H:%M:%S.", &stamp);
    EXPECT_LT(std::abs(difftime(timegm(&stamp), time(nullptr))), 60) << log;
    EXPECT_EQ("Z serving", log.substr(23, 9)) << log;
}

// Out of descriptors (after taking all it may), the helper says so and pauses.
TEST(Helperd, OutOfDescriptorsServesAgainLater)
{
    rlimit mine, low, its;
    getrlimit(RLIMIT_NOFILE, &mine);
    low = {64, mine.rlim_max};
    setrlimit(RLIMIT_NOFILE, &low); // inherited by the helper
    pid_t helper = startHelperd();
    setrlimit(RLIMIT_NOFILE, &mine);
    EXPECT_TRUE(prlimit(helper, RLIMIT_NOFILE, nullptr, &its) == 0 && its.rlim_cur == mine.rlim_max);
    const rlimit few = {16, 16};
    ASSERT_EQ(0, prlimit(helper, RLIMIT_NOFILE, &few, nullptr));
    std::vector<int> many;
    for (int i = 0; i < 24; ++i)
        many.push_back(helperSocket());
    usleep(200000);
    for (int s : many)
        close(s);
    expectQuery("wyrafc000", 1, 0, 0, 0);
    struct stat st = {};
    EXPECT_TRUE(stat(TAMSK_HELPER_SOCKET, &st) == 0 && st.st_gid == getegid()); // no --group: left as made
    EXPECT_EQ(0, stopHelperd(helper));
    EXPECT_NE(std::string::npos, readFile("/home/helperd.err").find("ioctlhelperd: accept: Too many open files\n"));
}

TEST(Helperd, OptionsUsageErrorsStopSignalsAndStaleSocket)
{
    for (auto [sig, mode] : {std::pair<int, unsigned>{SIGTERM, 0660}, {SIGINT, 0}}) {
        close(helperSocket(true)); // leaves a socket file nobody listens on
        char octal[8];
        snprintf(octal, sizeof octal, "%o", mode);
        pid_t pid = startHelperd({"--group", std::to_string(getegid()), "--mode", octal});
        struct stat st = {};
        ASSERT_TRUE(pid > 0 && stat(TAMSK_HELPER_SOCKET, &st) == 0);
        EXPECT_EQ(mode, st.st_mode & 07777);
        EXPECT_EQ("ioctlhelperd: another helper is running on /home/tamsk/ioctl\n", runProgram({HELPERD}).err);
        kill(pid, sig);
        EXPECT_EQ(0, waitProgram(pid)) << sig;
        EXPECT_NE(0, access(TAMSK_HELPER_SOCKET, F_OK)) << sig;
    }
    ASSERT_EQ(0, mkdir(TAMSK_HELPER_SOCKET, 0755)); // a helper that wrongly starts exits 1
    EXPECT_EQ(transcribe("helperd-options.t"), golden("helperd-options.t"));
    glob_t temporary;
    EXPECT_EQ(GLOB_NOMATCH, glob("/home/tamsk/.ioctl.*", 0, nullptr, &temporary)); // none left behind
}
