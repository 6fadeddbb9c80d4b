// Reaches all three libraries from C++ through the topology library alone;
// a plain run only formats a value and touches no fixed path. Functions of
// its own under names the libraries use inside link beside them.
#include "apcfgcommon.h"
#include "osslnxadaptconfig.h"
#include "osusrcomm.h"

#include <cstdio>

int32_t apToInt32(const char *text, int base)
{
    return text[0] + base;
}

void apSendf(const char *fmt, ...)
{
    puts(fmt);
}

int main(int argc, char **argv)
{
    char text[44];
    topValToString(text, OS_FC_AL);
    apSendf(text);
    puts(argv[0] + apToInt32("", 0));
    return argc > 1 ? apGetTopology(0xB00, 0, 0) + tamskdevrd(argv[1]) : 0;
}
