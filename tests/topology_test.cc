// Topology texts, loads, lookups and stores, with a recording relay and failing file calls.
#include "apmessage.h"
#include "osslnxadaptconfig.h"
#include "testutil.h"

#include <cerrno>
#include <glob.h>
#include <numeric>
#include <gtest/gtest.h>
#include <stdio_ext.h>

namespace {

std::vector<std::string> sent; // in order: "#20581 b00 1 100 0 0" for a trace event, or a message
int32_t traceResult = 0; // what the relay answers a trace event
const std::string BACKUP = std::string(TAMSK_CONFIG_FILE) + ".bak";

std::string tableText()
{
    char text[TOPOLOGY_FILE_TEXT_SIZE * 10];
    topArrayToString(text, sizeof text, 0);
    return text;
}

// A transcript step: its title, the table (a long one by its size and last record), then all sent,
// a message piece that does not end a line marked with a backslash.
std::string step(const std::string &title)
{
    std::string s = "== " + title + "\n", table = tableText();
    int records = countOf(table, "\n");
    size_t last = table.rfind('\n', table.size() - 2) + 1;
    s += records > 9 ? std::to_string(records) + " records, last " + table.substr(last) : table;
    for (const std::string &e : sent)
        s += "  " + e + (e.back() == '\n' ? "" : e[0] == '#' ? "\n" : "\\\n");
    sent.clear();
    return s;
}

std::string escaped(const std::string &text) // its start, unprintable bytes escaped
{
    std::string e;
    char hex[8];
    for (unsigned char c : text.substr(0, 40)) {
        snprintf(hex, sizeof hex, c == '\n' ? "\\n" : c >= ' ' && c < 127 ? "%c" : "\\x%02x", c);
        e += hex;
    }
    return e;
}

struct Topology : testing::Test { // each case writes or removes the file and backup it needs
    void SetUp() override { mkdir("/home/tamsk", 0755); mkdir("/home/tamsk/config", 0755); sent.clear(); }
};

int failAt = 0, calls = 0; // while failAt is set, the failAt-th file operation fails, and failed names it
const char *failed = nullptr;
bool failNow(const char *call) { return failAt > 0 && ++calls == failAt && (failed = call); }

} // namespace

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
        static const uint8_t zero[sizeof t.pad508] = {}; // all but the event's own words is zero
        EXPECT_TRUE(!memcmp(t.pad8, zero, sizeof t.pad8) && !memcmp(t.pad508, zero, sizeof t.pad508)) << text;
        errno = EIO;
        return traceResult;
    }
    EXPECT_EQ(block.ate.ateFlags[0], 1);
    sent.push_back(block.ate.message);
    return 0;
}

extern "C" {
FILE *__real_fdopen(int, const char *);
int __real_fclose(FILE *), __real_fseek(FILE *, long, int);
size_t __real_fread(void *, size_t, size_t, FILE *), __real_fwrite(const void *, size_t, size_t, FILE *);
long __real_ftell(FILE *);

FILE *__wrap_fdopen(int fd, const char *m) { return failNow("fdopen") ? (errno = EIO, nullptr) : __real_fdopen(fd, m); }
int __wrap_fclose(FILE *f) // a failing close loses what was still buffered, as on a full disk
{
    bool fail = failNow("fclose");
    if (fail)
        __fpurge(f);
    int r = __real_fclose(f);
    return fail ? (errno = ENOSPC, EOF) : r;
}
// A failing read loses what it read, or garbles the stored pair so that the read-back must catch it.
size_t __wrap_fread(void *p, size_t size, size_t n, FILE *f)
{
    bool fail = failNow("fread");
    size_t got = __real_fread(p, size, n, f);
    char *pair = fail ? static_cast<char *>(memmem(p, got * size, "B06:2:4", 7)) : nullptr;
    if (pair)
        pair[0] ^= 1;
    return fail && !pair ? 0 : got;
}
size_t __wrap_fwrite(const void *p, size_t s, size_t n, FILE *f) { return failNow("fwrite") ? 0 : __real_fwrite(p, s, n, f); }
int __wrap_fseek(FILE *f, long off, int whence) { return failNow("fseek") ? -1 : __real_fseek(f, off, whence); }
long __wrap_ftell(FILE *f) { return failNow("ftell") ? -1 : __real_ftell(f); }
}

// Edges beyond the report's values: above 2^31 a value shows negative.
TEST(TopologyText, ValueTextsAndTableForms)
{
    char text[200];
    EXPECT_EQ(topValToString(text, 4294967295u), 34);
    EXPECT_STREQ(text, "-1 - ERROR: Input NOT Recognized! ");
    EXPECT_EQ(topValToString(text, 2147483648u), 43);
    memset(topologyAry, 0, sizeof topologyAry);
    topologyAry[0] = {0xB00, 0, 2};
    topologyAry[1] = {0xB00, 1, 3};
    const struct { int32_t len; int32_t withIndex; std::string text; int32_t fit; } cases[] = {
        {100, 1, "0  B00:0:2 \n1  B00:1:3 \n", 1},
        {19, 0, "B00:0:2 \nB00:1:3 \n", 1}, // exactly len - 1 characters
        {18, 0, "ERROR: the input ", 0},
        {10, 7, "ERROR: th", 0},
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
    apAtePrintf(std::string(600, 'x').c_str()); // a message goes out cut to its 512 bytes
    EXPECT_EQ(sent.back(), std::string(511, 'x'));
    tamsk::apSendf("%s", std::string(9000, 'y').c_str()); // cut at 8,191 characters, sent in pieces
    EXPECT_EQ(std::accumulate(sent.end() - 17, sent.end(), std::string()), std::string(8191, 'y'));
    removeWhiteSpace(nullptr); // null is ignored, and the family check answers exactly 1 on a match
    apAtePrintf("short"); // read no further than its terminator
    EXPECT_EQ((std::vector<uint32_t>{uint32_t(apAdptIsKorval("wyrafc")), uint32_t(apAdptIsKorval(nullptr)),
                                     apGetAdapterId(nullptr)}), (std::vector<uint32_t>{1, 0, 0xB06}));
    traceResult = -1; // a refused trace event is reported on standard output
    testing::internal::CaptureStdout();
    apUsrTrace(20581, 0xB00, 1, 2, 3, -4);
    traceResult = 0;
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "apUsrTrace: WYRA dd ioctl failed to make user trace. "
              "Errno:5\nTrace Data :eid 5065, d1 b00, d2 1, d3 2, d4 3, d5 -4 \n");
}

TEST_F(Topology, LoadsFileFormsAndLooksUp)
{
    glob_t files; // sample configuration files, each loaded into an empty table
    ASSERT_EQ(0, glob(DATA_DIR "/config/*.dat", 0, nullptr, &files));
    std::string transcript;
    for (size_t i = 0; i < files.gl_pathc; ++i) {
        const std::string file = readFile(files.gl_pathv[i]);
        writeFile(TAMSK_CONFIG_FILE, file);
        memset(topologyAry, 0, sizeof topologyAry);
        parseConfigDataFile();
        transcript += step("load \"" + escaped(file) + "\"");
    }
    globfree(&files);
    for (auto [port, reload] : {std::pair<uint8_t, int32_t>{0, 1}, {1, 0}, {0, 2}, {0, 1}}) {
        transcript += step("lookup B00 port " + std::to_string(port) + " reload " + std::to_string(reload) +
                           " -> " + std::to_string(apGetTopology(0xB00, port, reload)));
        unlink(TAMSK_CONFIG_FILE); // a lookup without reload still finds the loaded pairs
    }
    EXPECT_EQ(transcript, golden("topology-load.txt"));
}

TEST_F(Topology, StoresRewriteTheFileWithABackup)
{
    std::string padded, full, large; // a hand-edited file longer than the file text, full tables
    for (int i = 0; i < 256; ++i) {
        std::string rec = "C" + std::to_string(10 + i) + ":" + std::to_string(i % 4) + ":1";
        padded += i < 40 ? rec + std::string(15 - rec.size(), ' ') + "\n" : "";
        if (i < 57)
            large += "B0" + std::string(1, "0123456789ABCDEF"[i / 10]) + ":" + std::to_string(i % 10) + ":1 \n";
        full += rec + "\n";
    }
    const struct { std::string before; uint16_t id; uint8_t port, value; int32_t verbose; } cases[] = {
        {"B00:0:2 \nB00:1:3 \n", 0xB00, 1, 1, 0}, // replaced
        {"B00:0:2 \nB00:1:3 \n", 0xB06, 2, 4, 0}, // appended
        {padded, 0xB00, 0, 9, 0},                // rewritten in the compact form
        {"", 0xB06, 0, 1, 0},                    // no file
        {large, 0xB06, 9, 2, 1}, // too large for the file text: its listing goes out in pieces
        {full, 0xB06, 9, 2, 0},  // every entry used and the pair not among them
    };
    const int lowestFree = dup(0); // a file left open would take its number
    close(lowestFree);
    std::string transcript;
    for (const auto &c : cases) {
        unlink(BACKUP.c_str());
        if (c.before.empty())
            unlink(TAMSK_CONFIG_FILE);
        else
            writeFile(TAMSK_CONFIG_FILE, c.before);
        char title[80];
        int32_t r = apStoreTopology(c.id, c.port, c.value, c.verbose);
        snprintf(title, sizeof title, "store %X port %d value %d on \"%s\" -> %d", c.id, c.port, c.value,
                 escaped(c.before).c_str(), r);
        for (const std::string &e : sent)
            EXPECT_LT(e.size(), size_t(AP_MSG_SIZE));
        std::string file = readFile(TAMSK_CONFIG_FILE), backup = readFile(BACKUP);
        transcript += step(title) +
                      (file == c.before ? "file unchanged\n" : file == tableText() ? "file: the table\n" : "file:\n" + file) +
                      (access(BACKUP.c_str(), F_OK) ? "no backup\n"
                       : backup == c.before ? "backup: the file before\n" : "backup:\n" + backup);
    }
    EXPECT_EQ(transcript, golden("topology-store.txt"));
    EXPECT_EQ(dup(0), lowestFree);
}

TEST_F(Topology, StoreWithAnyFileOperationFailingKeepsThePreviousContent)
{
    const std::string before = "B00:0:2 \nB00:1:3 \n";
    std::string transcript;
    for (int at = 1; at == 1 || failed; ++at) {
        writeFile(TAMSK_CONFIG_FILE, before);
        writeFile(BACKUP, "B06:9:9 \n"); // older, of another length
        sent.clear();
        calls = 0, failAt = at, failed = nullptr;
        int32_t r = apStoreTopology(0xB06, 2, 4, 0);
        failAt = 0;
        std::string file = readFile(TAMSK_CONFIG_FILE);
        EXPECT_TRUE(file == before || readFile(BACKUP) == before) << at;
        EXPECT_TRUE(r == 0 ? file == tableText() : r == -1) << at;
        transcript += std::to_string(at) + " " + (failed ? failed : "none") + " -> " + std::to_string(r);
        for (const std::string &e : sent) // a message by its first word
            transcript += ", " + (e[0] == '#' ? e.substr(1) : "'" + e.substr(0, e.find(' ')) + "'");
        transcript += "\n";
    }
    EXPECT_EQ(transcript, golden("topology-faults.txt"));
}
