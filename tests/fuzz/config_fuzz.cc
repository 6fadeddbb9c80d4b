// Fuzzes the configuration file reader and its filter: any file content
// loads without overrunning a buffer and leaves the table packed.
#include "apcfgcommon.h"
#include "osslnxadaptconfig.h"
#include "tamskpaths.h"
#include "testutil.h"

#include <cstdio>
#include <cstdlib>
#include <sys/stat.h>

// Trace events and messages are swallowed; the fuzzer looks at the table.
extern "C" int32_t tamskioctl(uint32_t, void *, uint32_t) { return 0; }

extern "C" int LLVMFuzzerInitialize(int *, char ***)
{
    enterPrivateHome();
    mkdir("/home/tamsk", 0755);
    mkdir("/home/tamsk/config", 0755);
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    FILE *f = fopen(TAMSK_CONFIG_FILE, "wb");
    fwrite(data, 1, size, f);
    fclose(f);
    apGetTopology(0xB00, 1, 1);
    bool sawEmpty = false;
    for (const TopologyEntry &e : topologyAry) {
        if (sawEmpty && e.adapterId != 0)
            abort(); // a gap would make the next store drop entries
        sawEmpty = sawEmpty || e.adapterId == 0;
        if (e.topology > OS_OPEN_FICON_POINT_TO_POINT)
            abort();
    }
    char text[TOPOLOGY_FILE_TEXT_SIZE];
    topArrayToString(text, sizeof text, 0);
    return 0;
}
