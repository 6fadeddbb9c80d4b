/* Calls only the topology store (with an argument, so that a plain run
   leaves the configuration alone). */
#include "apcfgcommon.h"

int main(int argc, char **argv)
{
    (void)argv;
    return argc > 1 ? apStoreTopology(0xB00, 0, OS_FC_AL, 0) : 0;
}
