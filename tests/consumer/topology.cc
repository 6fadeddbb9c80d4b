// Reaches all three libraries from C++ through the topology library alone;
// a plain run only formats a value and touches no fixed path.
#include "apcfgcommon.h"
#include "osslnxadaptconfig.h"
#include "osusrcomm.h"

#include <cstdio>

int main(int argc, char **argv)
{
    char text[44];
    topValToString(text, OS_FC_AL);
    puts(text);
    return argc > 1 ? apGetTopology(0xB00, 0, 0) + tamskdevrd(argv[1]) : 0;
}
