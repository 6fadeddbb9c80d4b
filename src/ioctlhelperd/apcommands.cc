// SPDX-FileCopyrightText: 2026 tamsk developers
// SPDX-License-Identifier: MIT
// ioctlhelperd: the emulated AP commands behind ioctl 27: the status query,
// messages and trace events, each logged.
#include "apmessage.h"
#include "helperd.h"

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>

namespace {

constexpr int32_t REFUSED_MESSAGE = 5; // EIO, for messages past the limit

struct TraceName {
    uint32_t id;
    const char *name;
};

constexpr TraceName TRACE_NAMES[] = {
    {TRC_LOOKUP_ENTRY, "lookup entry"}, {TRC_LOOKUP_RELOAD, "lookup reload"}, {TRC_LOAD_BEGINS, "load begins"},
    {TRC_PAIR_FOUND, "pair found"}, {TRC_PAIR_NOT_FOUND, "pair not found"},
    {TRC_NO_CONFIG_FILE, "config file not opened"}, {TRC_READ_FAILED, "config read failed"},
    {TRC_TEXT_EMPTY, "config text empty"}, {TRC_VALUE_OUT_OF_RANGE, "value out of range"},
    {TRC_RECORD_LIMIT, "record limit reached"}, {TRC_END_OF_RECORDS, "end of records"},
    {TRC_STORE_ENTRY, "store entry"}, {TRC_STORE_REPLACE, "store replace"}, {TRC_STORE_APPEND, "store append"},
    {TRC_STORE_TABLE_FULL, "store table full"}, {TRC_STORE_TOO_LARGE, "store text too large"},
    {TRC_STORE_UPDATE_FAILED, "store file update failed"}, {TRC_STORED, "stored"},
    {TRC_UPDATE_ENTRY, "file update entry"}, {TRC_UPDATE_OPEN_FAILED, "file open failed"},
    {TRC_UPDATE_BACKUP_SIZE, "backup length differs"}, {TRC_UPDATE_SHORT_WRITE, "short write"},
    {TRC_UPDATE_READ_FAILED, "read-back failed"}, {TRC_UPDATE_VERIFIED, "file verified"},
};

uint32_t messagesTaken = 0;

// Fills the answer; returns the query's returnCode.
uint8_t fillQuery(AdapterQuery *q, const Adapter *a, uint32_t type, uint8_t port)
{
    if (!a)
        return RC_NO_ADAPTER;
    if (a->rc)
        return a->rc;
    if (uint8_t rc = queryProblem(type, port, a->answer.numOfAdapterPorts))
        return rc;
    *q = a->answer;
    if (type == QUERY_HA_PHYS_CFG)
        snprintf(q->resultText, sizeof q->resultText,
                 "adapter %s, id 0x%X, location %s, %u ports, status 0x%08X, fibre speed 0x%02X, "
                 "four-port status 0x%08X", a->name, q->adapterId, q->locationCode, q->numOfAdapterPorts,
                 q->adapterStatus, q->fc_fiber_speed, q->fourPortStatus);
    if (type == QUERY_HA_PORT_PHYS_CFG) {
        const uint8_t *w = q->wwpn[port];
        snprintf(q->resultText, sizeof q->resultText,
                 "adapter %s port %u: WWPN %02X:%02X:%02X:%02X:%02X:%02X:%02X:%02X, topology %u", a->name,
                 port, w[0], w[1], w[2], w[3], w[4], w[5], w[6], w[7], q->topology[port]);
    }
    return 0;
}

int32_t statusQuery(const HelperOptions &o, AdapterDds *dds)
{
    AdapterQuery *q = &dds->query;
    char name[sizeof q->logicalName + 1] = {};
    memcpy(name, q->logicalName, sizeof q->logicalName);
    uint32_t type = q->queryType;
    uint8_t port = q->portNumber;
    const Adapter *a = o.sysfs.dir ? nullptr : findAdapter(apModel, name);
    int32_t result = a ? a->ioctlResult : 0;
    if (result == 0)
        q->returnCode = uint8_t(o.sysfs.dir ? fcHostQuery(o.sysfs, q) : fillQuery(q, a, type, port));
    char shown[escapedSize(sizeof name)];
    if (!escapeText(name, strlen(name), shown, sizeof shown))
        strcpy(shown, "\"\"");
    logEvent("query %s type %u port %u -> ioctl %d returnCode %u", shown, type, port, result,
             q->returnCode);
    return result;
}

// Messages and trace events answered with a non-zero result end in
// " -> ioctl N"; "%.0d" prints nothing for 0.
int32_t ateMessage(const AdapterDds *dds)
{
    const char *msg = dds->ate.message;
    const char *end = static_cast<const char *>(memchr(msg, 0, AP_MSG_SIZE));
    int32_t result = EINVAL; // the text must end inside its 512 bytes
    if (end)
        result = messagesTaken++ >= apModel.messageLimit ? REFUSED_MESSAGE : 0;
    char shown[escapedSize(AP_MSG_SIZE)];
    escapeText(msg, end ? size_t(end - msg) : AP_MSG_SIZE, shown, sizeof shown);
    logEvent("message \"%s\"%s%.0d", shown, result ? " -> ioctl " : "", result);
    return result;
}

int32_t userTrace(const AdapterDds *dds)
{
    const UserTrace &t = dds->trace;
    const char *name = "";
    for (const TraceName &n : TRACE_NAMES)
        if (n.id == t.eventId)
            name = n.name;
    int32_t result = apModel.traceResult;
    logEvent("trace %u%s%s d1=0x%x d2=0x%x d3=0x%x d4=0x%x d5=%d%s%.0d", t.eventId, *name ? " " : "", name,
             t.d1, t.d2, t.d3, t.d4, t.d5, result ? " -> ioctl " : "", result);
    return result;
}

} // namespace

int32_t apModelList(bool toLog)
{
    for (int32_t i = 0; i < apModel.count; ++i) {
        const Adapter &a = apModel.adapters[i];
        const AdapterQuery &q = a.answer;
        char line[512];
        int32_t held = std::min<int32_t>(q.numOfAdapterPorts, AP_MAX_PORTS);
        size_t len = size_t(snprintf(line, sizeof line, "%s%s id 0x%X at %s", toLog ? "serving " : "", a.name,
                                     q.adapterId, q.locationCode[0] ? q.locationCode : "-"));
        for (int32_t p = 0; p < held; ++p) {
            const uint8_t *w = q.wwpn[p];
            len += size_t(snprintf(line + len, sizeof line - len, "%s port %d %02X%02X%02X%02X%02X%02X%02X%02X %s",
                                   p ? "," : ":", p, w[0], w[1], w[2], w[3], w[4], w[5], w[6], w[7],
                                   q.portHrmStatus & (0x8000u >> p) ? "Online" : "not online"));
        }
        if (q.numOfAdapterPorts > held)
            len += size_t(snprintf(line + len, sizeof line - len, ", %d ports more", q.numOfAdapterPorts - held));
        if (a.rc || a.ioctlResult)
            snprintf(line + len, sizeof line - len, "; answers %s %d", a.rc ? "returnCode" : "ioctl",
                     a.rc ? int32_t(a.rc) : a.ioctlResult);
        if (toLog)
            logEvent("%s", line);
        else
            puts(line);
    }
    return apModel.count;
}

uint8_t queryProblem(uint32_t type, uint8_t port, int32_t ports)
{
    if (type != QUERY_KERNEL_STATUS && type != QUERY_HA_PHYS_CFG && type != QUERY_HA_PORT_PHYS_CFG)
        return RC_BAD_QUERY_TYPE;
    return type == QUERY_HA_PORT_PHYS_CFG && port >= std::min(ports, AP_MAX_PORTS) ? RC_NO_PORT : 0;
}

int32_t apIoctl(const HelperOptions &o, uint32_t cmd, uint8_t *data, uint32_t len)
{
    if (cmd != AP_IOCTL)
        return ENOTTY;
    AdapterDds dds;
    if (len != sizeof dds)
        return EINVAL;
    memcpy(&dds, data, sizeof dds);
    if (dds.length != AP_DDS_SIZE)
        return EINVAL;
    int32_t result = EINVAL;
    if (dds.command == AP_QUERY_ADAPTER_STATUS)
        result = statusQuery(o, &dds);
    else if (dds.command == AP_ATE_PRINTF)
        result = ateMessage(&dds);
    else if (dds.command == AP_USER_TRACE)
        result = userTrace(&dds);
    memcpy(data, &dds, sizeof dds);
    return result;
}
