/* SPDX-FileCopyrightText: 2026 tamsk developers */
/* SPDX-License-Identifier: MIT */
/* tamskdev: copies a device to standard output, or standard input to a
   device, through the ioctl helper. */
#include "osusrcomm.h"
#include "tamskversion.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <getopt.h>

namespace {

enum { EXIT_USAGE = 2 };

const char USAGE[] =
    "\nUsage:\n"
    " tamskdev [options] read <name>\n"
    " tamskdev [options] write <name>\n\n"
    "Copy a device to standard output (read), or standard input to it (write).\n\n"
    "Options:\n"
    " -h, --help               display this help and exit\n"
    " -V, --version            display version and exit\n\n"
    "For more details see tamskdev(1).\n";

int usageError(const char *what, const char *arg)
{
    if (what)
        fprintf(stderr, "tamskdev: %s%s\n", what, arg);
    fputs("Try 'tamskdev --help' for more information.\n", stderr);
    return EXIT_USAGE;
}

// The library leaves standard output unflushed; output that did not reach
// it (full disk, closed pipe) is a failed transfer.
int finish(int32_t result)
{
    if (fflush(stdout) != 0 || ferror(stdout)) {
        fprintf(stderr, "tamskdev: write error: %s\n", strerror(errno));
        return result != 0 ? result : TAMSK_EPIPE;
    }
    return result;
}

} // namespace

int main(int argc, char **argv)
{
    static const option longOptions[] = {
        {"help", no_argument, nullptr, 'h'}, {"version", no_argument, nullptr, 'V'}, {}};
    int c;
    while ((c = getopt_long(argc, argv, "hV", longOptions, nullptr)) != -1) {
        if (c == 'h') {
            fputs(USAGE, stdout);
            return finish(0);
        }
        if (c == 'V') {
            puts("tamskdev (tamsk) " TAMSK_VERSION);
            return finish(0);
        }
        return usageError(nullptr, ""); // getopt_long has named the option
    }
    if (argc - optind != 2)
        return usageError(argc - optind < 2 ? "missing operand" : "too many operands", "");
    const char *verb = argv[optind];
    if (strcmp(verb, "read") == 0)
        return finish(tamskdevrd(argv[optind + 1]));
    if (strcmp(verb, "write") == 0)
        return finish(tamskdevwr(argv[optind + 1]));
    return usageError("unknown command: ", verb);
}
