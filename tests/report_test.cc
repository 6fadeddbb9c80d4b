// The kernel status report, byte for byte, with stored values looked up
// through a recorder that stands in for the relay.
#include "apcfgcommon.h"
#include "osslnxadaptconfig.h"
#include "query.h"
#include "tamskpaths.h"
#include "testutil.h"

#include <cstring>
#include <gtest/gtest.h>
#include <string>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

namespace {

std::vector<uint32_t> lookedUpIds; // d1 of every lookup-entry trace event

AdapterDds demoAnswer()
{
    AdapterDds b;
    memset(&b, 0, sizeof b);
    AdapterQuery &q = b.query;
    q.adapterId = 0xB00;
    q.numOfAdapterPorts = 4;
    q.adapterStatus = 0x1F;
    q.fc_fiber_speed = 8;
    q.fourPortStatus = 0xF;
    snprintf(q.locationCode, sizeof q.locationCode, "BAY1-SLOT3");
    const uint16_t topology[] = {1, 2, 7, 0};
    for (int i = 0; i < 4; ++i) {
        q.topology[i] = topology[i];
        const uint8_t wwpn[8] = {0x10, 0x00, 0x0A, 0xBC, 0xDE, 0xF0, 0x00, uint8_t(i + 1)};
        memcpy(q.wwpn[i], wwpn, 8);
    }
    q.adapterHrmStatus = 0x80000001;
    q.portHrmStatus = 0x00008008;
    return b;
}

// Runs the report with stdout captured in a file.
std::string report(const char *name, const char *nameCopy, const AdapterDds &answer)
{
    fflush(stdout);
    int saved = dup(1);
    FILE *out = freopen("/home/report.txt", "w", stdout);
    lookedUpIds.clear();
    printKernelStatus(name, nameCopy, &answer);
    fflush(stdout);
    dup2(saved, 1);
    close(saved);
    (void)out;
    return readFile("/home/report.txt");
}

int countLines(const std::string &text, const char *prefix)
{
    int n = 0;
    for (size_t p = text.find(prefix); p != std::string::npos; p = text.find(prefix, p + 1))
        ++n;
    return n;
}

} // namespace

extern "C" int32_t tamskioctl(uint32_t, void *data, uint32_t)
{
    const AdapterDds *b = static_cast<const AdapterDds *>(data);
    if (b->command == AP_USER_TRACE && b->trace.eventId == 20581)
        lookedUpIds.push_back(b->trace.d1);
    return 0;
}

TEST(Report, FullReportByteForByte)
{
    mkdir("/home/tamsk", 0755);
    mkdir("/home/tamsk/config", 0755);
    writeFile(TAMSK_CONFIG_FILE, "B00:0:2 \nB00:1:2 \nB06:2:4 \n");
    const std::string expected =
        "Kernel status for wyrafc000 \n"
        "\t adapterId          :  B00 \n"
        "\t numOfAdapterPorts  :  4 \n"
        "\t adapterStatus      :  1F \n"
        "\t fc_fiber_speed     :  8 \n"
        "\t fourPortStatus     :  F \n"
        "\t Location Code      :  BAY1-SLOT3 \n"
        "\t Port WWPN \n"
        "\t\t Port 0: 10000ABCDEF00001 \n"
        "\t\t Port 1: 10000ABCDEF00002 \n"
        "\t\t Port 2: 10000ABCDEF00003 \n"
        "\t\t Port 3: 10000ABCDEF00004 \n"
        "\t Adapter topology \n"
        "\t\t Port : Kernel Value                     : Stored Value \n"
        "\t\t  0   : 1 - OS_OPEN_POINT_TO_POINT       : 2 - OS_FC_AL                      \n"
        "\t\t  1   : 2 - OS_FC_AL                     : 2 - OS_FC_AL                      \n"
        "\t\t  2   : 7 - ERROR: Input NOT Recognized! : 0 - OS_TOPOLOGY_UNKNOWN           \n"
        "\t\t  3   : 0 - OS_TOPOLOGY_UNKNOWN          : 0 - OS_TOPOLOGY_UNKNOWN           \n"
        "\n\t Adapter HRM status :  80000001  \n"
        "\t\t OS_HW_INSTALLED_CLUS0 \n"
        "\t\t OS_HW_DELAY_FENCE            \n"
        "\n\t Port HRM Status    :  00008008  \n"
        "\t\t OS_HW2_ONLINE_0                   \n"
        "\t\t OS_HW2_WS_SYNC                    \n";
    EXPECT_EQ(report("wyrafc000", "wyrafc000", demoAnswer()), expected);
    EXPECT_EQ(lookedUpIds, (std::vector<uint32_t>{0xB00, 0xB00, 0xB00, 0xB00}));
}

TEST(Report, PortCountsAndStatusBits)
{
    const struct { uint8_t ports; uint32_t hrm, portHrm; int portLines, hrmLines; } cases[] = {
        {0, 0, 0, 0, 0},
        {1, 0xFFFFFFFF, 0, 1, 27},
        {4, 0, 0xFFFFFFFF, 4, 16},
        {200, 0xFFFFFFFF, 0xFFFFFFFF, 4, 43}, // the block holds four ports
    };
    for (const auto &c : cases) {
        AdapterDds b = demoAnswer();
        b.query.numOfAdapterPorts = c.ports;
        b.query.adapterHrmStatus = c.hrm;
        b.query.portHrmStatus = c.portHrm;
        std::string text = report("wyrafc001", "wyrafc001", b);
        EXPECT_EQ(countLines(text, "\t\t Port "), c.portLines + 1) << int(c.ports);
        EXPECT_EQ(countLines(text, "\t\t  "), c.portLines);
        EXPECT_EQ(countLines(text, "\t\t OS_HW"), c.hrmLines);
        EXPECT_NE(text.find(c.hrm ? "status :  FFFFFFFF  \n" : "status :  00000000  \n"), std::string::npos);
    }
    EXPECT_EQ(lookedUpIds, (std::vector<uint32_t>{0xB06, 0xB06, 0xB06, 0xB06}));
}

TEST(Report, AdapterIdRule)
{
    EXPECT_EQ(apGetAdapterId("wyrafc000"), 0xB00u);
    EXPECT_EQ(apGetAdapterId("wyrafc001"), 0xB06u);
    EXPECT_EQ(apGetAdapterId("wyrafc0000"), 0xB06u); // only the 9-character copy matches
}
