// Fuzzes the configuration reader and the topology store: the input is a configuration file (2-byte
// length, then its bytes) and up to 8 stores (2-byte adapter id, port, value). The load leaves the
// table packed with valid values; after each store the previous content is in the file or the backup.
#include "osslnxadaptconfig.h"
#include "testutil.h"

#include <cstdlib>

static const std::string BACKUP = std::string(TAMSK_CONFIG_FILE) + ".bak";

// Trace events and messages are swallowed; the fuzzer looks at the files.
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
    if (size < 2 || size > 8192)
        return 0;
    size_t fileSize = std::min<size_t>(size_t(data[0]) << 8 | data[1], size - 2);
    unlink(BACKUP.c_str());
    writeFile(TAMSK_CONFIG_FILE, std::string(reinterpret_cast<const char *>(data) + 2, fileSize));
    apGetTopology(0xB00, 1, 1);
    for (size_t i = 0; i < TOPOLOGY_ENTRIES; ++i) // a gap would make the next store drop entries
        if ((i && topologyAry[i].adapterId && !topologyAry[i - 1].adapterId) ||
            topologyAry[i].topology > OS_OPEN_FICON_POINT_TO_POINT)
            abort();
    for (size_t at = 2 + fileSize; at + 4 <= size && at < 2 + fileSize + 4 * 8; at += 4) {
        bool existed = access(TAMSK_CONFIG_FILE, F_OK) == 0;
        std::string before = readFile(TAMSK_CONFIG_FILE);
        apStoreTopology(uint16_t(data[at] << 8 | data[at + 1]), data[at + 2], data[at + 3], at & 1);
        if (existed && readFile(TAMSK_CONFIG_FILE) != before && readFile(BACKUP) != before)
            abort(); // the previous content is lost
    }
    return 0;
}
