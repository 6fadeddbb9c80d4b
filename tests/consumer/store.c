/* Calls only the topology store (with an argument, so that a plain run
   leaves the configuration alone); the three headers compile as C, and the
   record sizes agree with C++'s. */
#include "apcfgcommon.h"
#include "osslnxadaptconfig.h"
#include "osusrcomm.h"

#include <stddef.h>

_Static_assert(sizeof(AdapterDds) == 1112, "request block size");
_Static_assert(offsetof(AdapterDds, query.returnCode) == 1055, "returnCode");
_Static_assert(sizeof(HelperHdr) == 20, "helper header size");

int main(int argc, char **argv)
{
    (void)argv;
    return argc > 1 ? apStoreTopology(0xB00, 0, OS_FC_AL, 0) : 0;
}
