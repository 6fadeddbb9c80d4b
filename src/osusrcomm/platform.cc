/* Real waiting and allocation; tests link replacements. */
#include "platform.h"

#include <cstdlib>
#include <unistd.h>

void quorHelperPause(unsigned seconds) { sleep(seconds); }

void *quorAllocPacket(size_t size) { return malloc(size); }
