// Topology table text forms, loading, lookup and store, with the relay
// replaced by a recorder of the trace events and messages it is handed.
#include "apcfgcommon.h"
#include "osslnxadaptconfig.h"
#include "tamskpaths.h"
#include "testutil.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <gtest/gtest.h>
#include <stdio_ext.h>
#include <string>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

namespace {

struct Sent {
    uint32_t eventId; // 0 for a message
    std::vector<uint32_t> words;
    std::string text;
};
std::vector<Sent> sent;
int32_t messageResult = 0;

const std::string BACKUP = std::string(TAMSK_CONFIG_FILE) + ".bak";

std::string traceIds()
{
    std::string s;
    for (const Sent &e : sent)
        s += e.eventId ? std::to_string(e.eventId) + " " : "";
    return s;
}

std::string messages()
{
    std::string s;
    for (const Sent &e : sent)
        s += e.eventId ? "" : e.text;
    return s;
}

const Sent *findTrace(uint32_t id)
{
    for (const Sent &e : sent)
        if (e.eventId == id)
            return &e;
    return nullptr;
}

std::string tableText()
{
    char text[TOPOLOGY_FILE_TEXT_SIZE * 10];
    topArrayToString(text, sizeof text, 0);
    return text;
}

struct Topology : testing::Test {
    void SetUp() override
    {
        mkdir("/home/tamsk", 0755);
        mkdir("/home/tamsk/config", 0755);
        unlink(TAMSK_CONFIG_FILE);
        unlink(BACKUP.c_str());
        sent.clear();
        messageResult = 0;
    }
    // Loads content as the configuration file and clears the record.
    void load(const std::string &content)
    {
        writeFile(TAMSK_CONFIG_FILE, content);
        apGetTopology(0xFFFF, 0, 1);
        sent.clear();
    }
};

} // namespace

// Every request of the library ends here instead of at the ioctl helper.
extern "C" int32_t tamskioctl(uint32_t, void *data, uint32_t len)
{
    AdapterDds block;
    memcpy(&block, data, std::min<size_t>(len, sizeof block));
    EXPECT_EQ(block.length, AP_DDS_SIZE);
    if (block.command == AP_USER_TRACE) {
        const UserTrace &t = block.trace;
        AdapterDds rest = block; // all but the event's own words is zero
        rest.length = rest.command = rest.trace.eventId = rest.trace.d1 = rest.trace.d2 = rest.trace.d3 = 0;
        rest.trace.d4 = 0;
        rest.trace.d5 = 0;
        EXPECT_EQ(std::string(reinterpret_cast<char *>(&rest), sizeof rest), std::string(sizeof rest, '\0'));
        sent.push_back({t.eventId, {t.d1, t.d2, t.d3, t.d4, uint32_t(t.d5)}, ""});
        return 0;
    }
    EXPECT_EQ(block.ate.ateFlags[0], 1);
    sent.push_back({0, {}, block.ate.message});
    return messageResult;
}

// File operations fail on demand: the failAt-th call while armed fails once.
int failAt = 0;
int calls = 0;
FILE *rewritten = nullptr;        // the file opened for writing
bool failedRewrite = false;       // its write or close was made to fail
bool failedCopy = false;          // the backup copy was made to fail
bool failNow() { return failAt > 0 && ++calls == failAt; }

extern "C" {
FILE *__real_fopen(const char *, const char *);
int __real_fclose(FILE *);
size_t __real_fread(void *, size_t, size_t, FILE *);
size_t __real_fwrite(const void *, size_t, size_t, FILE *);
int __real_fseek(FILE *, long, int);
long __real_ftell(FILE *);
int __real_system(const char *);

FILE *__wrap_fopen(const char *path, const char *mode)
{
    if (failNow())
        return errno = EIO, nullptr;
    FILE *f = __real_fopen(path, mode);
    if (mode[0] == 'w')
        rewritten = f;
    return f;
}
// A failing close loses what was still buffered, as on a full disk.
int __wrap_fclose(FILE *f)
{
    bool fail = failNow();
    failedRewrite = failedRewrite || (fail && f == rewritten);
    rewritten = f == rewritten ? nullptr : rewritten;
    if (!fail)
        return __real_fclose(f);
    __fpurge(f);
    __real_fclose(f);
    return errno = ENOSPC, EOF;
}
size_t __wrap_fread(void *p, size_t size, size_t n, FILE *f) { return failNow() ? 0 : __real_fread(p, size, n, f); }
size_t __wrap_fwrite(const void *p, size_t size, size_t n, FILE *f)
{
    failedRewrite = failedRewrite || (f == rewritten && failAt == calls + 1);
    return failNow() ? 0 : __real_fwrite(p, size, n, f);
}
int __wrap_fseek(FILE *f, long off, int whence) { return failNow() ? -1 : __real_fseek(f, off, whence); }
long __wrap_ftell(FILE *f) { return failNow() ? -1 : __real_ftell(f); }
int __wrap_system(const char *command)
{
    failedCopy = failNow();
    return failedCopy ? -1 : __real_system(command);
}
}

// The report's golden text covers the display texts of 0 to 4 and 7; here
// the edges: a value beyond 2^31 shows as a negative number.
TEST(TopologyText, ValueTextsOfLargeValues)
{
    char text[44];
    EXPECT_EQ(topValToString(text, 4294967295u), 34);
    EXPECT_STREQ(text, "-1 - ERROR: Input NOT Recognized! ");
    EXPECT_EQ(topValToString(text, 2147483648u), 43); // the longest text still fits
}

TEST(TopologyText, FileAndIndexedFormsFitOrRefuseWhole)
{
    memset(topologyAry, 0, sizeof topologyAry);
    topologyAry[0] = {0xB00, 0, 2};
    topologyAry[1] = {0xB00, 1, 3};
    const char *tooSmall = "ERROR: the input sting is too small to hold the string representaiton of the topology array \n";
    const struct { int32_t len; int32_t withIndex; std::string text; int32_t fit; } cases[] = {
        {100, 0, "B00:0:2 \nB00:1:3 \n", 1},
        {100, 1, "0  B00:0:2 \n1  B00:1:3 \n", 1},
        {19, 0, "B00:0:2 \nB00:1:3 \n", 1},   // exactly len - 1 characters
        {18, 0, std::string(tooSmall).substr(0, 17), 0},
        {10, 7, std::string(tooSmall).substr(0, 9), 0},
        {200, 1 + 1, "B00:0:2 \nB00:1:3 \n", 1}, // only exactly 1 selects the index
    };
    for (const auto &c : cases) {
        char text[200];
        memset(text, 'x', sizeof text);
        EXPECT_EQ(topArrayToString(text, c.len, c.withIndex), c.fit);
        EXPECT_EQ(std::string(text), c.text) << c.len;
    }
    char untouched[4] = "abc";
    topArrayToString(untouched, 0, 0);
    topArrayToString(untouched, -1, 0);
    EXPECT_STREQ(untouched, "abc");
    topologyAry[1] = {0, 0, 0}; // a gap ends the text
    topologyAry[2] = {0xB06, 0, 1};
    EXPECT_EQ(tableText(), "B00:0:2 \n");
}

TEST(TopologyText, FilterKeepsNewlinesDigitsLettersAndColons)
{
    const struct { const char *in; const char *out; } cases[] = {
        {"B00 : 0:2 \r\n", "B00:0:2\n"},
        {"\tb06 :-1 :+1;_.\n", "b06:1:1\n"},
        {"0x1F", "0x1F"},
        {"\xE9\x1F", ""},
        {"", ""},
        {"\n\n\n", "\n\n\n"},
    };
    for (const auto &c : cases) {
        char text[64];
        snprintf(text, sizeof text, "%s", c.in);
        removeWhiteSpace(text);
        EXPECT_STREQ(text, c.out);
    }
    removeWhiteSpace(nullptr);
}

TEST_F(Topology, LoadsFileForms)
{
    const struct { std::string file; std::string table; std::string msgs; std::string traces; } cases[] = {
        {"B00:0:2 \nB00:1:3 \n", "B00:0:2 \nB00:1:3 \n", "", "20596 "},
        {"\tb06 : 1 : 1\r\n", "B06:1:1 \n", "", "20596 "},
        {"0xB06:1:1\n", "B06:1:1 \n", "", "20596 "},
        {"123456789AB:99999999999:1\n", "FFFF:255:1 \n", "", "20596 "}, // 32-bit saturation
        {"\n\nB00:0:1\n\n10B00:256:4\nB06:12:0\n", "B00:0:1 \nB00:0:4 \nB06:12:0 \n", "", "20596 "},
        {"B00:0:7 \n", "B00:0:2 \n", "The config data read was NOT valid! val: 7 !Defaulting to 2 (OS_FC_AL) \n",
         "20611 20596 "},
        {"0:1:1\n:::\nB00\nB06:3:1\n", "B00:0:0 \nB06:3:1 \n", "", "20596 "}, // no gap behind skipped records
        {"", "", "ERROR: The input string is zero length.\n", "20594 "},
        {"   \t ", "", "ERROR: The input string is zero length.\n", "20594 "},
        {"\n \n\n", "", "", "20596 "},
        {std::string(300, '1') + "\nB00:1:1", "B00:1:1 \n", "", "20596 "}, // overlong record skipped
    };
    for (const auto &c : cases) {
        writeFile(TAMSK_CONFIG_FILE, c.file);
        sent.clear();
        apGetTopology(0xFFFF, 9, 1);
        EXPECT_EQ(tableText(), c.table) << c.file;
        EXPECT_EQ(messages(), c.msgs + "apGetTopology: adapterId:FFFF, Port:9 Not found in array returning:0 "
                                       "(OS_TOPOLOGY_UNKNOWN) \n") << c.file;
        EXPECT_EQ(traceIds(), "20581 20592 20582 " + c.traces + "20584 ") << c.file;
    }
}

TEST_F(Topology, OutOfRangeAndRecordLimitCarryTheirDataWords)
{
    writeFile(TAMSK_CONFIG_FILE, "B06:1:1\nB00:3:9\n");
    apGetTopology(0xB00, 3, 1);
    EXPECT_EQ(findTrace(20611)->words, (std::vector<uint32_t>{1, 256, 0xB00, 3, 9}));
    std::string full;
    for (int i = 0; i < 256; ++i)
        full += "1\n";
    writeFile(TAMSK_CONFIG_FILE, full);
    sent.clear();
    apGetTopology(1, 0, 1);
    EXPECT_NE(messages().find("The max number of records have been read. Exiting \n"), std::string::npos);
    EXPECT_EQ(findTrace(20591)->words, (std::vector<uint32_t>{256, 256, 1, 0, 0}));
    EXPECT_EQ(topologyAry[255].adapterId, 1);
}

TEST_F(Topology, LookupsLoadOnceUnlessReloadIsOne)
{
    load("B00:0:2 \nB00:1:3 \nB00:1:4 \n");
    EXPECT_EQ(apGetTopology(0xB00, 1, 0), 3);
    EXPECT_EQ(traceIds(), "20581 20583 ");
    EXPECT_EQ(findTrace(20583)->words, (std::vector<uint32_t>{0xB00, 1, 3, 0, 0}));
    unlink(TAMSK_CONFIG_FILE);
    sent.clear();
    EXPECT_EQ(apGetTopology(0xB00, 0, 2), 2);
    EXPECT_EQ(traceIds(), "20581 20583 ");
    sent.clear();
    EXPECT_EQ(apGetTopology(0xB00, 0, 1), 0);
    EXPECT_EQ(traceIds(), "20581 20592 20582 20597 20584 ");
    EXPECT_EQ(findTrace(20584)->words, (std::vector<uint32_t>{0xB00, 0, 0, 0, 0}));
    EXPECT_EQ(messages(),
              "parseConfigDataFile: Could not open config data file. Default values will be used. \n"
              "apGetTopology: adapterId:B00, Port:0 Not found in array returning:0 (OS_TOPOLOGY_UNKNOWN) \n");
}

TEST_F(Topology, StoreReplacesKnownPairAndKeepsBackup)
{
    const std::string before = "B00:0:2 \nB00:1:3 \n";
    load(before);
    EXPECT_EQ(apStoreTopology(0xB00, 1, 1, 0), 0);
    EXPECT_EQ(traceIds(), "20598 20581 20592 20582 20596 20583 20600 20605 20606 20599 ");
    EXPECT_EQ(messages(), "");
    EXPECT_EQ(readFile(TAMSK_CONFIG_FILE), "B00:0:2 \nB00:1:1 \n");
    EXPECT_EQ(readFile(BACKUP), before);
}

TEST_F(Topology, VerboseStoreReportsEveryStep)
{
    load("B00:0:2 \n");
    EXPECT_EQ(apStoreTopology(0xB00, 0, 3, 1), 0);
    EXPECT_EQ(messages(),
              "apStoreTopology:Enter Function: adapterId:B00, portNumber:0, inToplogyVal:3 \n"
              "apStoreTopology:contents of the topologyAry array BEFORE:\n0  B00:0:2 \n\n"
              "The string that will be written out to the file:\nB00:0:3 \n"
              "updateConfigDataFile: Enter function. \nupdateFile: Data to write to the file \nB00:0:3 \n \n"
              "updateFile: create a backup of the current data file name. \n"
              "updateFile: \nfileSize    = 9 \nfileSizeBak = 9 \n"
              "updateFile: New file size: 9 \n"
              "updateFile: inString = \nB00:0:3 \n \n"
              "updateFile: The string read back from the file for checking matches the string written to the "
              "file: \nString written: \nB00:0:3 \n \nString Read:\nB00:0:3 \n \n"
              "updateConfigDataFile()  Exiting with no ERROR \n"
              "apStoreTopology(): Exiting without error \n");
}

TEST_F(Topology, StoreAppendsNewPairAndCreatesMissingFile)
{
    load("B00:0:2 \nB00:1:3 \n");
    EXPECT_EQ(apStoreTopology(0xB06, 2, 4, 0), 0);
    EXPECT_EQ(findTrace(20602)->words, (std::vector<uint32_t>{0xB06, 2, 4, 2, 0}));
    EXPECT_EQ(readFile(TAMSK_CONFIG_FILE), "B00:0:2 \nB00:1:3 \nB06:2:4 \n");
    unlink(TAMSK_CONFIG_FILE);
    unlink(BACKUP.c_str());
    sent.clear();
    EXPECT_EQ(apStoreTopology(0xB00, 0, 9, 0), 0);
    EXPECT_EQ(findTrace(20607)->words, (std::vector<uint32_t>{1, 0, 0, 0, 0}));
    EXPECT_NE(messages().find("updateFile: No data file found, a new one will be created. \n"), std::string::npos);
    EXPECT_EQ(readFile(TAMSK_CONFIG_FILE), "B00:0:9 \n");
    EXPECT_EQ(access(BACKUP.c_str(), F_OK), -1);
}

// A hand-edited file longer than the file text is read whole and rewritten
// compact; no record is lost.
TEST_F(Topology, StoreKeepsEveryRecordOfALongPaddedFile)
{
    std::string padded, compact;
    for (int i = 0; i < 40; ++i) {
        std::string rec = "C" + std::to_string(10 + i) + ":" + std::to_string(i % 4) + ":1";
        padded += rec + std::string(15 - rec.size(), ' ') + "\n";
        compact += rec + " \n";
    }
    ASSERT_EQ(padded.size(), 640u);
    load(padded);
    EXPECT_EQ(apStoreTopology(0xB00, 0, 2, 0), 0);
    EXPECT_EQ(apStoreTopology(0xB06, 1, 3, 0), 0);
    EXPECT_EQ(readFile(TAMSK_CONFIG_FILE), compact + "B00:0:2 \nB06:1:3 \n");
}

// Each file operation of a store, and its copy command, fails once in turn:
// the previous content is always in the file or the backup, and a failed
// rewrite or copy is reported as one.
TEST_F(Topology, StoreWithAnyFileOperationFailingKeepsThePreviousContent)
{
    const std::string before = "B00:0:2 \nB00:1:3 \n";
    int total = 0;
    for (int at = 1; at <= total + 1; ++at) {
        writeFile(TAMSK_CONFIG_FILE, before);
        writeFile(BACKUP, "B06:9:9 \n"); // older, of another length
        sent.clear();
        failedRewrite = failedCopy = false;
        calls = 0;
        failAt = at;
        int32_t r = apStoreTopology(0xB06, 2, 4, 0);
        failAt = 0;
        total = std::max(total, calls);
        std::string file = readFile(TAMSK_CONFIG_FILE);
        EXPECT_TRUE(file == before || readFile(BACKUP) == before) << at;
        EXPECT_TRUE(r != 0 || file.find("B06:2:4 \n") != std::string::npos) << at;
        EXPECT_EQ(failedRewrite, findTrace(20609) != nullptr) << at;
        EXPECT_TRUE(!failedCopy || findTrace(20610)) << at; // the older backup's length differs
    }
    EXPECT_GT(total, 10);
}

TEST_F(Topology, StoreRefusesTableTooLargeForTheFile)
{
    std::string full;
    for (int i = 0; i < 57; ++i)
        full += "B00:" + std::to_string(i % 10) + ":" + std::to_string(i % 5) + " \n";
    load(full);
    EXPECT_EQ(apStoreTopology(0xB06, 9, 2, 0), -1);
    EXPECT_NE(findTrace(20601), nullptr);
    EXPECT_NE(messages().find("ERROR: The data is too large and will overflow String buffer \n"), std::string::npos);
    EXPECT_EQ(readFile(TAMSK_CONFIG_FILE), full);
}

TEST_F(Topology, VerboseListingLongerThanMessageBufferGoesOutWhole)
{
    std::string full, listing;
    for (int i = 0; i < 57; ++i) {
        std::string rec = "B0" + std::string(1, "0123456789ABCDEF"[i / 10]) + ":" + std::to_string(i % 10) + ":1 \n";
        full += rec;
        listing += std::to_string(i) + "  " + rec;
    }
    load(full);
    apStoreTopology(0xB00, 0, 1, 1);
    std::string text = messages();
    EXPECT_NE(text.find("apStoreTopology:contents of the topologyAry array BEFORE:\n" + listing + "\n"),
              std::string::npos);
    for (const Sent &e : sent)
        EXPECT_LT(e.text.size(), size_t(AP_MSG_SIZE));
}

TEST_F(Topology, MessagesFallBackToStandardOutputAfterFirstFailure)
{
    fflush(stdout);
    pid_t child = fork();
    if (child == 0) {
        FILE *out = freopen("/home/out.txt", "w", stdout);
        messageResult = 6;
        snprintf(sString, sizeof sString, "first 100%% \n");
        apAtePrintf(sString);
        snprintf(sString, sizeof sString, "second\n");
        apAtePrintf(sString);
        apAtePrintf(nullptr);
        fclose(out);
        _exit(sent.size() == 1 ? 0 : 1);
    }
    int status = 0;
    waitpid(child, &status, 0);
    EXPECT_EQ(WEXITSTATUS(status), 0);
    EXPECT_EQ(readFile("/home/out.txt"), "first 100% \nsecond\n");
}
