/* The module headers compile and link from C: builds a status query block
   and checks the record sizes the C way. */
#include "apcfgcommon.h"
#include "osslnxadaptconfig.h"
#include "osusrcomm.h"

#include <stddef.h>
#include <stdio.h>

_Static_assert(sizeof(AdapterDds) == 1112, "request block size");
_Static_assert(offsetof(AdapterDds, query.returnCode) == 1055, "returnCode");
_Static_assert(sizeof(HelperHdr) == 20, "helper header size");

int main(void)
{
    AdapterDds block = {0};
    char text[44];
    block.length = AP_DDS_SIZE;
    block.command = AP_QUERY_ADAPTER_STATUS;
    block.query.queryType = QUERY_KERNEL_STATUS;
    topValToString(text, OS_FC_AL);
    printf("%s|%d\n", text, apAdptIsKorval("wyrafc000"));
    return block.query.portNumber == 0 && apGetAdapterId("wyrafc000") == 0xB00 ? 0 : 1;
}
