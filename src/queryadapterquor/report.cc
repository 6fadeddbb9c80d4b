/* SPDX-FileCopyrightText: 2026 tamsk developers */
/* SPDX-License-Identifier: MIT */
/* The kernel status report: status words, port names, kernel and stored
   topology of each port, and the decoded HRM status bits. */
#include "osslnxadaptconfig.h"
#include "query.h"

#include <algorithm>
#include <cstdio>

namespace {

struct BitLine {
    int bit;
    const char *line;
};

constexpr BitLine ADAPTER_HRM_BITS[] = {
    {31, "\t\t OS_HW_INSTALLED_CLUS0 "},
    {30, "\t\t OS_HW_INSTALLED_CLUS1 "},
    {29, "\t\t OS_HW_AVAILABLE_CLUS0 "},
    {28, "\t\t OS_HW_AVAILABLE_CLUS1 "},
    {25, "\t\t OS_HW_NVS_GLOBAL_NO_MODIFIED_DATA_CLUS0 "},
    {24, "\t\t OS_HW_NVS_GLOBAL_NO_MODIFIED_DATA_CLUS1 "},
    {23, "\t\t OS_HW_FENCED "},
    {22, "\t\t OS_HW_FENCED_INT_1 "},
    {21, "\t\t OS_HW_FENCED_INT_2 "},
    {20, "\t\t OS_HW_FENCED_DUE_TO_NO_LSS_ACCESS "},
    {19, "\t\t OS_HW_SERVICE_MODE "},
    {18, "\t\t OS_HW_CONFIG_IN_PROGRESS "},
    {17, "\t\t OS_HW_NVS_INVALID_GLOBAL_STATUS_CLUS0 or OS_HW_FASTLOAD_NOT_MAIL_CAPABLE "},
    {16, "\t\t OS_HW_NVS_INVALID_GLOBAL_STATUS_CLUS1 or OS_HW_FASTLOAD_NOT_MAIL_CAPABLE "},
    {15, "\t\t OS_HW_AFFINITY               "},
    {14, "\t\t OS_HW_OWNERSHIP              "},
    {11, "\t\t OS_HW_RUN_UNCONFIG           "},
    {10, "\t\t OS_HW_RUN_CONFIG             "},
    {9, "\t\t OS_HW_NVS_FAILED             "},
    {8, "\t\t OS_HW_NVS_WITH_MODIFIED_DATA "},
    {7, "\t\t OS_HW_WS_INIT                "},
    {6, "\t\t OS_HW_WS_COMPLETE            "},
    {5, "\t\t OS_HW_WS_FAILED              "},
    {4, "\t\t OS_HW_WS_FAILED_DELAY        "},
    {3, "\t\t OS_HW_WS_SYNC                "},
    {2, "\t\t OS_HW_CLUSTER_RESET_APPLIED  "},
    {0, "\t\t OS_HW_DELAY_FENCE            "},
};

constexpr BitLine PORT_HRM_BITS[] = {
    {31, "\t\t OS_HW2_DA_AFFINITY                "},
    {29, "\t\t OS_HW2_DA_ACTIVE_CLUS0            "},
    {28, "\t\t OS_HW2_DA_ACTIVE_CLUS1            "},
    {27, "\t\t OS_HW2_FIXED_OWNERSHIP            "},
    {26, "\t\t OS_HW2_QUIESCE_PENDING            "},
    {25, "\t\t OS_HW2_RESUME_PENDING             "},
    {23, "\t\t OS_HW2_FENCED_DUE_TO_FABRIC_ERROR "},
    {15, "\t\t OS_HW2_ONLINE_0                   "},
    {14, "\t\t OS_HW2_ONLINE_1                   "},
    {13, "\t\t OS_HW2_ONLINE_2                   "},
    {12, "\t\t OS_HW2_ONLINE_3                   "},
    {11, "\t\t OS_HW2_FENCED_INT_0               "},
    {10, "\t\t OS_HW2_FENCED_INT_1               "},
    {9, "\t\t OS_HW2_FENCED_INT_2               "},
    {8, "\t\t OS_HW2_FENCED_INT_3               "},
    {3, "\t\t OS_HW2_WS_SYNC                    "},
};

template <size_t N>
void printBits(uint32_t word, const BitLine (&table)[N])
{
    for (const BitLine &b : table)
        if (word & (1u << b.bit))
            puts(b.line);
}

} // namespace

void printKernelStatus(const char *logicalName, const char *nameCopy, const AdapterDds *answer)
{
    const AdapterQuery &q = answer->query;
    uint32_t storedId = apGetAdapterId(nameCopy);
    int ports = std::min<int>(q.numOfAdapterPorts, AP_MAX_PORTS);

    printf("Kernel status for %s \n\t adapterId          :  %X \n\t numOfAdapterPorts  :  %d \n"
           "\t adapterStatus      :  %X \n\t fc_fiber_speed     :  %X \n"
           "\t fourPortStatus     :  %X \n\t Location Code      :  %.*s \n",
           logicalName, q.adapterId, q.numOfAdapterPorts, q.adapterStatus, q.fc_fiber_speed,
           q.fourPortStatus, int(sizeof q.locationCode), q.locationCode);

    puts("\t Port WWPN ");
    for (int i = 0; i < ports; ++i) {
        printf("\t\t Port %d: ", i);
        for (uint8_t byte : q.wwpn[i])
            printf("%02X", byte);
        puts(" ");
    }

    puts("\t Adapter topology ");
    puts("\t\t Port : Kernel Value                     : Stored Value ");
    for (int i = 0; i < ports; ++i) {
        char kernelText[TOPOLOGY_VALUE_TEXT_SIZE];
        char storedText[TOPOLOGY_VALUE_TEXT_SIZE];
        topValToString(kernelText, q.topology[i]);
        int32_t stored = apGetTopology(uint16_t(storedId & 0xFFFF), uint8_t(i), 0);
        topValToString(storedText, uint32_t(stored));
        printf("\t\t  %d   : %s: %s \n", i, kernelText, storedText);
    }

    printf("\n\t Adapter HRM status :  %-9.8X \n", q.adapterHrmStatus);
    printBits(q.adapterHrmStatus, ADAPTER_HRM_BITS);
    printf("\n\t Port HRM Status    :  %-9.8X \n", q.portHrmStatus);
    printBits(q.portHrmStatus, PORT_HRM_BITS);
}
