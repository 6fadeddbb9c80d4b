/* storetopology: stores the link topology value of one adapter port in the
   controller's topology configuration, for operators. */
#include "apcfgcommon.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <unistd.h>

namespace {

enum { EXIT_STORED = 0, EXIT_STORE_FAILED = 1, EXIT_USAGE = 2 };

const char USAGE[] =
    "usage: storetopology -a <adapter id, hex> -p <port> -t <topology value> [-v]\n"
    "  topology values: 0 unknown, 1 open point-to-point, 2 FC-AL,\n"
    "                   3 FICON point-to-point, 4 open FICON point-to-point\n";

// Parses a whole argument as an unsigned number no larger than max.
bool parseNumber(const char *text, int base, unsigned long max, unsigned long *out)
{
    char *end = nullptr;
    errno = 0;
    unsigned long v = strtoul(text, &end, base);
    if (errno != 0 || end == text || *end != '\0' || text[0] == '-' || v > max)
        return false;
    *out = v;
    return true;
}

} // namespace

int main(int argc, char **argv)
{
    unsigned long adapterId = 0, port = 0, value = 0;
    bool haveId = false, havePort = false, haveValue = false;
    int verbose = 0;
    int c;
    while ((c = getopt(argc, argv, "a:p:t:v")) != -1) {
        bool ok = true;
        switch (c) {
        case 'a': ok = haveId = parseNumber(optarg, 16, 0xFFFF, &adapterId) && adapterId != 0; break;
        case 'p': ok = havePort = parseNumber(optarg, 10, 0xFF, &port); break;
        case 't': ok = haveValue = parseNumber(optarg, 10, 4, &value); break;
        case 'v': verbose = 1; break;
        default: ok = false; break;
        }
        if (!ok) {
            if (c != '?')
                fprintf(stderr, "storetopology: invalid value for -%c: %s\n", c, optarg);
            fputs(USAGE, stderr);
            return EXIT_USAGE;
        }
    }
    if (!haveId || !havePort || !haveValue || optind != argc) {
        fputs(USAGE, stderr);
        return EXIT_USAGE;
    }
    if (apStoreTopology(uint16_t(adapterId), uint8_t(port), uint8_t(value), verbose) != 0) {
        fprintf(stderr, "storetopology: storing %lX port %lu value %lu failed\n", adapterId, port, value);
        return EXIT_STORE_FAILED;
    }
    return EXIT_STORED;
}
