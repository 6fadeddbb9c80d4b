/* SPDX-FileCopyrightText: 2026 tamsk developers */
/* SPDX-License-Identifier: MIT */
/* queryadapterquor: asks the AP code for the status of one adapter and
   prints it; the exit status carries the outcome. */
#include "apcfgcommon.h"
#include "apfile.h"
#include "apmessage.h"
#include "osusrcomm.h"
#include "query.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <unistd.h>

namespace {

enum ExitStatus {
    EXIT_QUERIED = 0,
    EXIT_IOCTL_ERROR = 1,
    EXIT_KERNEL_ERROR = 2,
    EXIT_NOT_IMLED = 6,
    EXIT_WARMSTART = 53,
    EXIT_USAGE = 253
};

const char USAGE[] =
    "\nUsage\nqueryadapterquor -l <logical Name> [-h | -p <port Number>]\n"
    "-h and -p are mutually exclusive \n-h to call the apQueryHaPhysCfg() function, \n"
    "-p to call the apQueryHaPortPhysCfg() function ";

struct Options {
    const char *logicalName = nullptr;
    uint32_t queryType = 0;
    int32_t portNumber = 0;
    bool verbose = false;
};

// Returns the error count: parsing stops as soon as it is non-zero, and a
// second -h or -p is an error of its own without a message.
int parseOptions(int argc, char **argv, Options *opt)
{
    int errors = 0;
    int c;
    while (errors == 0 && (c = getopt(argc, argv, "hvp:l:")) != -1) {
        int chosen = opt->queryType > 0 ? 1 : 0;
        switch (c) {
        case 'l':
            if (opt->logicalName) {
                puts("ERROR: Multiple logical names specified ");
                errors = 1;
            }
            opt->logicalName = optarg;
            break;
        case 'p': {
            char portText[256];
            opt->queryType = QUERY_HA_PORT_PHYS_CFG;
            opt->portNumber = tamsk::apToInt32(optarg, 10);
            snprintf(portText, sizeof portText, "%d", opt->portNumber);
            bool accepted = strcmp(portText, optarg) == 0 && opt->portNumber >= 0 &&
                            opt->portNumber <= 3;
            errors = chosen + !accepted;
            if (!accepted)
                puts("queryadapterquor: ERROR the port number must be 0,1,2, or 3 ");
            break;
        }
        case 'h':
            errors = chosen;
            opt->queryType = QUERY_HA_PHYS_CFG;
            break;
        case 'v':
            opt->verbose = true;
            puts("queryadapterquor: Verbose mode selected ");
            break;
        default:
            ++errors;
            break;
        }
    }
    return errors;
}

void formatNow(char *text, size_t size)
{
    time_t now = time(nullptr);
    struct tm local;
    if (!localtime_r(&now, &local) || strftime(text, size, "%H:%M:%S on %a, %m/%d/%Y", &local) == 0)
        text[0] = '\0';
}

// Maps the relay result and the kernel's return code to messages and the
// exit status; the kernel's own code is tested first.
int reportOutcome(const Options &opt, const char *nameCopy, const AdapterDds &request,
                  int32_t rc, const char *timeText)
{
    int kernelRc = request.query.returnCode;
    if (kernelRc != 0) {
        printf("The kernel AP code returned an error iocData.returnCode = %d \n", kernelRc);
        return EXIT_KERNEL_ERROR;
    }
    if (rc == TAMSK_ENXIO) {
        printf("The ioctl failed, The ioctl return code indicates that the machine is not IMLed.\n"
               "ioctl rc = %d, iocData.returnCode = %d \n", rc, kernelRc);
        return EXIT_NOT_IMLED;
    }
    if (rc == 53) {
        printf("Warmstart in progress: query functon exiting, .\nThe query ioctl for >adp: %s had an error \n"
               "ioctl command line return code     : %d \nioctl data struncture return code  : %d \n",
               nameCopy, rc, kernelRc);
        return EXIT_WARMSTART;
    }
    if (rc != 0) {
        printf("ERROR: The query ioctl for >adp: %s had an error \n"
               "ioctl command line return code     : %d \nioctl data struncture return code  : %d \n"
               "Config exiting, apConfig.dat not updated!\n", nameCopy, rc, kernelRc);
        return EXIT_IOCTL_ERROR;
    }
    if (opt.verbose)
        printf("Query Adapter Status ioctl for %s successful at %s\n", opt.logicalName, timeText);
    if (opt.queryType == QUERY_HA_PHYS_CFG)
        printf("Results from calling apQueryHaPhysCfg() for %s \n%.*s\n", opt.logicalName,
               AP_RESULT_TEXT_SIZE, request.query.resultText);
    else if (opt.queryType == QUERY_HA_PORT_PHYS_CFG)
        printf("Results from calling apQueryHaPortPhysCfg() for %s \n%.*s\n", opt.logicalName,
               AP_RESULT_TEXT_SIZE, request.query.resultText);
    else
        printKernelStatus(opt.logicalName, nameCopy, &request);
    return EXIT_QUERIED;
}

} // namespace

int main(int argc, char **argv)
{
    Options opt;
    if (parseOptions(argc, argv, &opt) != 0) {
        puts("ERROR: getting params");
        puts(USAGE);
        return EXIT_USAGE;
    }
    if (opt.queryType == 0)
        opt.queryType = QUERY_KERNEL_STATUS;
    if (!opt.logicalName) {
        printf("ERROR: a logical name must be specified. \n%s\n", USAGE);
        return EXIT_USAGE;
    }
    char nameCopy[10] = {};
    snprintf(nameCopy, sizeof nameCopy, "%.9s", opt.logicalName);
    if (apAdptIsKorval(nameCopy) == 0) {
        puts("ERROR: the logical name must belong to a korval adapter ");
        return EXIT_USAGE;
    }

    char timeText[124];
    formatNow(timeText, sizeof timeText);
    if (opt.verbose)
        printf("Starting queryadapterquor at %s port name = %s\n", timeText, opt.logicalName);

    AdapterDds request;
    tamsk::apInitBlock(&request, AP_QUERY_ADAPTER_STATUS);
    memcpy(request.query.logicalName, nameCopy, sizeof request.query.logicalName);
    request.query.queryType = opt.queryType;
    request.query.portNumber = uint8_t(opt.portNumber);
    int32_t rc = tamskioctl(AP_IOCTL, &request, sizeof request);

    formatNow(timeText, sizeof timeText);
    return reportOutcome(opt, nameCopy, request, rc, timeText);
}
