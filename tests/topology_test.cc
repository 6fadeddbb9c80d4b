// Topology text forms, loading, lookup and store, with the relay replaced by
// a recorder of the trace events and messages it is handed, and the store's
// file operations behind wrappers that fail one call on demand.
#include "apcfgcommon.h"
#include "osslnxadaptconfig.h"
#include "tamskpaths.h"
#include "testutil.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <glob.h>
#include <gtest/gtest.h>
#include <stdio_ext.h>
#include <string>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

namespace {

// What the library handed over: "#20581 b00 1 100 0 0" for a trace event
// (its id and data words), or a message's text.
std::vector<std::string> sent;
const std::string BACKUP = std::string(TAMSK_CONFIG_FILE) + ".bak";
const std::string NOT_FOUND =
    "apGetTopology: adapterId:FFFF, Port:9 Not found in array returning:0 (OS_TOPOLOGY_UNKNOWN) \n";

// The event ids, or the messages, in the order they were sent.
std::string sentText(bool events)
{
    std::string s;
    for (const std::string &e : sent)
        if ((e[0] == '#') == events)
            s += events ? e.substr(1, 6) : e;
    return s;
}

// The data words of the first event id, "" when it was not sent.
std::string words(const char *id)
{
    for (const std::string &e : sent)
        if (e.compare(0, 7, "#" + std::string(id) + " ") == 0)
            return e.substr(7);
    return "";
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
    }
    // Loads content as the configuration file and clears the record.
    void load(const std::string &content)
    {
        writeFile(TAMSK_CONFIG_FILE, content);
        apGetTopology(0xFFFF, 0, 1);
        sent.clear();
    }
};

// File operations fail on demand: the failAt-th call while armed fails once.
int failAt = 0, calls = 0;
FILE *rewritten = nullptr; // the file opened for writing
bool failedRewrite = false, failedCopy = false;
bool rewriteDone = false, failedReadBack = false; // a read of the rewritten file failed
bool failNow() { return failAt > 0 && ++calls == failAt; }
bool failRead()
{
    bool fail = failNow();
    failedReadBack = failedReadBack || (fail && rewriteDone);
    return fail;
}

} // namespace

// Every request of the library ends here instead of at the ioctl helper.
extern "C" int32_t tamskioctl(uint32_t, void *data, uint32_t len)
{
    AdapterDds block;
    memcpy(&block, data, std::min<size_t>(len, sizeof block));
    EXPECT_EQ(block.length, AP_DDS_SIZE);
    if (block.command == AP_USER_TRACE) {
        const UserTrace &t = block.trace;
        char text[80];
        snprintf(text, sizeof text, "#%u %x %x %x %x %d", t.eventId, t.d1, t.d2, t.d3, t.d4, t.d5);
        sent.push_back(text);
        AdapterDds rest; // all but the event's own words is zero
        memset(&rest, 0, sizeof rest);
        rest.length = AP_DDS_SIZE;
        rest.command = AP_USER_TRACE;
        rest.trace = {{}, t.eventId, t.d1, t.d2, t.d3, t.d4, t.d5, {}};
        EXPECT_EQ(memcmp(&rest, &block, sizeof rest), 0) << text;
        return 0;
    }
    EXPECT_EQ(block.ate.ateFlags[0], 1);
    sent.push_back(block.ate.message);
    return 0;
}

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
    rewritten = mode[0] == 'w' ? f : rewritten;
    return f;
}
// A failing close loses what was still buffered, as on a full disk.
int __wrap_fclose(FILE *f)
{
    bool fail = failNow();
    failedRewrite = failedRewrite || (fail && f == rewritten);
    rewriteDone = rewriteDone || (!fail && f == rewritten);
    rewritten = f == rewritten ? nullptr : rewritten;
    if (fail)
        __fpurge(f);
    int r = __real_fclose(f);
    return fail ? (errno = ENOSPC, EOF) : r;
}
// A failing read loses what it read; at the end of the file that is nothing.
size_t __wrap_fread(void *p, size_t size, size_t n, FILE *f)
{
    bool fail = failNow();
    size_t got = __real_fread(p, size, n, f);
    failedReadBack = failedReadBack || (fail && rewriteDone && got > 0);
    return fail ? 0 : got;
}
size_t __wrap_fwrite(const void *p, size_t size, size_t n, FILE *f)
{
    failedRewrite = failedRewrite || (f == rewritten && failAt == calls + 1);
    return failNow() ? 0 : __real_fwrite(p, size, n, f);
}
int __wrap_fseek(FILE *f, long off, int whence) { return failRead() ? -1 : __real_fseek(f, off, whence); }
long __wrap_ftell(FILE *f) { return failRead() ? -1 : __real_ftell(f); }
int __wrap_system(const char *command)
{
    failedCopy = failNow();
    return failedCopy ? -1 : __real_system(command);
}
}

// The report's golden text covers the value texts of 0 to 4 and 7; here the
// edges: a value beyond 2^31 shows as a negative number, the longest fits.
TEST(TopologyText, ValueTextsAndTableForms)
{
    char text[200];
    EXPECT_EQ(topValToString(text, 4294967295u), 34);
    EXPECT_STREQ(text, "-1 - ERROR: Input NOT Recognized! ");
    EXPECT_EQ(topValToString(text, 2147483648u), 43);
    memset(topologyAry, 0, sizeof topologyAry);
    topologyAry[0] = {0xB00, 0, 2};
    topologyAry[1] = {0xB00, 1, 3};
    const std::string tooSmall =
        "ERROR: the input sting is too small to hold the string representaiton of the topology array \n";
    const struct { int32_t len; int32_t withIndex; std::string text; int32_t fit; } cases[] = {
        {100, 1, "0  B00:0:2 \n1  B00:1:3 \n", 1},
        {19, 0, "B00:0:2 \nB00:1:3 \n", 1}, // exactly len - 1 characters
        {18, 0, tooSmall.substr(0, 17), 0},
        {10, 7, tooSmall.substr(0, 9), 0},
        {200, 2, "B00:0:2 \nB00:1:3 \n", 1}, // only exactly 1 selects the index
        {0, 0, "untouched", 0},
        {-1, 0, "untouched", 0},
    };
    for (const auto &c : cases) {
        snprintf(text, sizeof text, "untouched");
        EXPECT_EQ(topArrayToString(text, c.len, c.withIndex), c.fit);
        EXPECT_EQ(std::string(text), c.text) << c.len;
    }
    topologyAry[1] = {0, 0, 0}; // a gap ends the text
    topologyAry[2] = {0xB06, 0, 1};
    EXPECT_EQ(tableText(), "B00:0:2 \n");
    removeWhiteSpace(nullptr);
    // The family check answers 1 or 0.
    EXPECT_EQ((std::vector<int32_t>{apAdptIsKorval("wyrafc"), apAdptIsKorval("wyraF0"), apAdptIsKorval(nullptr)}),
              (std::vector<int32_t>{1, 0, 0}));
}

TEST_F(Topology, LoadsFileForms)
{
    std::string limit; // 256 records: the last is read, more are not
    for (int i = 0; i < 257; ++i)
        limit += i < 255 ? "1\n" : "2:0:9\n";
    const struct { std::string file, table, msgs, traces, words; } cases[] = {
        {"B00:0:2 \nB00:1:3 \n", "B00:0:2 \nB00:1:3 \n", "", "20596 ", "0 0 0 0 0"},
        // only digits, letters, ':' and newlines count
        {"\tb06 :-1 :+1;_.\r\n", "B06:1:1 \n", "", "20596 ", "0 0 0 0 0"},
        {"\xE9 0xa06:1:1\nA00:0:1\n", "A06:1:1 \nA00:0:1 \n", "", "20596 ", "0 0 0 0 0"},
        {"123456789AB:99999999999:1\n", "FFFF:255:1 \n", "", "20596 ", "0 0 0 0 0"}, // 32-bit saturation
        {"\n\nB00:0:1\n\n10B00:256:4\nB06:12:0\n", "B00:0:1 \nB00:0:4 \nB06:12:0 \n", "", "20596 ", "0 0 0 0 0"},
        {"B06:1:1\nB00:3:9 \n", "B06:1:1 \nB00:3:2 \n",
         "The config data read was NOT valid! val: 9 !Defaulting to 2 (OS_FC_AL) \n", "20611 20596 ",
         "1 100 b00 3 9"},
        {"0:1:1\n:::\nB00\nB06:3:1\n", "B00:0:0 \nB06:3:1 \n", "", "20596 ", "0 0 0 0 0"}, // no gap behind skipped records
        {"b0g:1a:1a\n", "B0:1:1 \n", "", "20596 ", "0 0 0 0 0"}, // digits of the field's base only
        {"", "", "ERROR: The input string is zero length.\n", "20594 ", "0 0 0 0 0"},
        {"   \t ", "", "ERROR: The input string is zero length.\n", "20594 ", "5 0 0 0 0"},
        {"\n \n\n", "", "", "20596 ", "0 0 0 0 0"},
        {std::string(300, '1') + "\nB00:1:1", "B00:1:1 \n", "", "20596 ", "0 0 0 0 0"}, // overlong record skipped
        {"B00:1:1\n" + std::string(1, '\0') + "B06:1:1\n", "B00:1:1 \n", "", "20596 ", "0 0 0 0 0"}, // text ends at NUL
        {limit, "", "The config data read was NOT valid! val: 9 !Defaulting to 2 (OS_FC_AL) \n"
                    "The max number of records have been read. Exiting \n",
         "20611 20591 20596 ", "ff 100 2 0 9"},
    };
    for (const auto &c : cases) {
        writeFile(TAMSK_CONFIG_FILE, c.file);
        sent.clear();
        apGetTopology(0xFFFF, 9, 1);
        if (&c != &cases[std::size(cases) - 1]) {
            EXPECT_EQ(tableText(), c.table) << c.file;
        }
        EXPECT_EQ(sentText(false), c.msgs + NOT_FOUND) << c.file;
        EXPECT_EQ(sentText(true), "20581 20592 20582 " + c.traces + "20584 ") << c.file;
        EXPECT_EQ(words(c.traces.substr(0, 5).c_str()), c.words) << c.file;
    }
    EXPECT_EQ(words("20591"), "100 100 2 0 2");
    EXPECT_EQ(topologyAry[255].adapterId, 2);
}

TEST_F(Topology, LookupsLoadOnceUnlessReloadIsOne)
{
    load("B00:0:2 \nB00:1:3 \nB00:1:4 \n");
    EXPECT_EQ(apGetTopology(0xB00, 1, 0), 3);
    EXPECT_EQ(sentText(true), "20581 20583 ");
    EXPECT_EQ(words("20583"), "b00 1 3 0 0");
    unlink(TAMSK_CONFIG_FILE);
    sent.clear();
    EXPECT_EQ(apGetTopology(0xB00, 0, 2), 2);
    EXPECT_EQ(sentText(true), "20581 20583 ");
    sent.clear();
    EXPECT_EQ(apGetTopology(0xB00, 0, 1), 0);
    EXPECT_EQ(sentText(true), "20581 20592 20582 20597 20584 ");
    EXPECT_EQ(words("20581") + "|" + words("20592") + "|" + words("20597") + "|" + words("20584"),
              "b00 0 100 1 0|b00 0 1 0 0|100 0 0 0 0|b00 0 0 0 0");
    EXPECT_EQ(sentText(false),
              "parseConfigDataFile: Could not open config data file. Default values will be used. \n"
              "apGetTopology: adapterId:B00, Port:0 Not found in array returning:0 (OS_TOPOLOGY_UNKNOWN) \n");
}

// Stores that succeed: the file afterwards, the backup, every trace event.
TEST_F(Topology, StoresRewriteTheFileWithABackup)
{
    std::string padded, compact; // a hand-edited file longer than the file text
    for (int i = 0; i < 40; ++i) {
        std::string rec = "C" + std::to_string(10 + i) + ":" + std::to_string(i % 4) + ":1";
        padded += rec + std::string(15 - rec.size(), ' ') + "\n";
        compact += rec + " \n";
    }
    const std::string two = "B00:0:2 \nB00:1:3 \n", loaded = "20598 20581 20592 20582 20596 ";
    const struct { std::string before; uint16_t id; uint8_t port, value; std::string after, traces, words; } cases[] = {
        {two, 0xB00, 1, 1, "B00:0:2 \nB00:1:1 \n", loaded + "20583 20600 20605 20606 20599 ", "b00 1 1 1 0"},
        {two, 0xB06, 2, 4, two + "B06:2:4 \n", loaded + "20584 20602 20605 20606 20599 ", "b06 2 4 2 0"},
        {padded, 0xB00, 0, 9, compact + "B00:0:9 \n", loaded + "20584 20602 20605 20606 20599 ", "b00 0 9 28 0"},
        {"", 0xB06, 0, 1, "B06:0:1 \n", "20598 20581 20592 20582 20597 20584 20602 20605 20607 20606 20599 ",
         "b06 0 1 0 0"},
    };
    auto openFiles = [] { // every file a store opens is closed again
        glob_t fds;
        glob("/proc/self/fd/*", 0, nullptr, &fds);
        size_t n = fds.gl_pathc;
        globfree(&fds);
        return n;
    };
    const size_t openBefore = openFiles();
    for (const auto &c : cases) {
        unlink(BACKUP.c_str());
        if (c.before.empty())
            unlink(TAMSK_CONFIG_FILE);
        else
            writeFile(TAMSK_CONFIG_FILE, c.before);
        sent.clear();
        EXPECT_EQ(apStoreTopology(c.id, c.port, c.value, 0), 0);
        EXPECT_EQ(readFile(TAMSK_CONFIG_FILE), c.after);
        EXPECT_EQ(readFile(BACKUP), c.before);
        EXPECT_EQ(sentText(true), c.traces);
        EXPECT_EQ(words(c.traces.substr(36, 5).c_str()), c.words);
        char notFound[120];
        snprintf(notFound, sizeof notFound, "apGetTopology: adapterId:%X, Port:%d Not found in array "
                 "returning:0 (OS_TOPOLOGY_UNKNOWN) \n", c.id, c.port);
        bool known = c.traces.find("20583") != std::string::npos, noFile = c.before.empty();
        EXPECT_EQ(sentText(false),
                  (noFile ? "parseConfigDataFile: Could not open config data file. Default values will be used. \n"
                          : "") + std::string(known ? "" : notFound) +
                      (noFile ? "updateFile: No data file found, a new one will be created. \n" : ""));
    }
    EXPECT_EQ(openFiles(), openBefore);
    EXPECT_EQ(access(BACKUP.c_str(), F_OK), -1); // no file, no backup
    EXPECT_EQ(words("20607"), "1 0 0 0 0");
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
        failedRewrite = failedCopy = rewriteDone = failedReadBack = false;
        calls = 0;
        failAt = at;
        int32_t r = apStoreTopology(0xB06, 2, 4, 0);
        failAt = 0;
        total = std::max(total, calls);
        std::string file = readFile(TAMSK_CONFIG_FILE);
        EXPECT_TRUE(file == before || readFile(BACKUP) == before) << at;
        EXPECT_TRUE(r != 0 || file.find("B06:2:4 \n") != std::string::npos) << at;
        EXPECT_EQ(failedRewrite, words("20609") == "1 0 0 0 0") << at;
        EXPECT_TRUE(!failedCopy || words("20610") != "") << at; // the older backup's length differs
        EXPECT_EQ(failedReadBack, words("20608") == "1 0 0 0 0") << at;
        EXPECT_EQ(sentText(false).find("parseConfigDataFile: Failed reading") != std::string::npos,
                  words("20593") != "") << at;
        EXPECT_TRUE(r == 0 || words("20604") == "b06 2 4 ffffffff 0") << at;
        EXPECT_TRUE(words("20593") == "" || words("20593") == "ffffffff 0 0 0 0" || words("20593") == "12 0 0 0 0")
            << at << words("20593");
    }
    EXPECT_GT(total, 10);
}

// 57 records of 9 characters do not fit the file text; their indexed
// listing goes out whole, in pieces that each fit the message buffer.
TEST_F(Topology, StoreRefusesTableTooLargeForTheFile)
{
    std::string full, listing;
    for (int i = 0; i < 57; ++i) {
        std::string rec = "B0" + std::string(1, "0123456789ABCDEF"[i / 10]) + ":" + std::to_string(i % 10) + ":1 \n";
        full += rec;
        listing += std::to_string(i) + "  " + rec;
    }
    load(full);
    EXPECT_EQ(apStoreTopology(0xB06, 9, 2, 1), -1);
    EXPECT_EQ(words("20601"), "b06 9 2 39 0");
    std::string text = sentText(false);
    EXPECT_NE(text.find("apStoreTopology:contents of the topologyAry array BEFORE:\n" + listing + "\n"),
              std::string::npos);
    EXPECT_NE(text.find("ERROR: The data is too large and will overflow String buffer \n"), std::string::npos);
    for (const std::string &e : sent)
        EXPECT_LT(e.size(), size_t(AP_MSG_SIZE));
    EXPECT_EQ(readFile(TAMSK_CONFIG_FILE), full);
    full.clear(); // every entry used and the pair not among them
    for (int i = 0; i < 256; ++i)
        full += "C" + std::to_string(i / 10) + ":" + std::to_string(i % 10) + ":1\n";
    load(full);
    EXPECT_EQ(apStoreTopology(0xB06, 9, 2, 0), -1);
    EXPECT_EQ(words("20602") + "|" + words("20603"), "b06 9 2 100 0|b06 9 2 100 0");
    const std::string banner = "wmwmwmwmwmwmwmwmwmwmwmwmwmwmwmwmwmwmwmwmwmwmwmwmwmwmwmwm \n";
    const std::string end = "for was not found, the data is corrupt somewhere         \n" + banner +
                            "ERROR: the input sting is too small to hold the string representaiton of the topology array \n";
    text = sentText(false);
    EXPECT_EQ(text.substr(text.size() - std::min(text.size(), end.size())), end);
    EXPECT_EQ(readFile(TAMSK_CONFIG_FILE), full);
}
