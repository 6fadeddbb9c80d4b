// SPDX-FileCopyrightText: 2026 tamsk developers
// SPDX-License-Identifier: MIT
// ioctlhelperd: declarations shared by the helper's parts (connections, the
// emulated AP code, the machine's Fibre Channel hosts and the event log).
#ifndef IOCTLHELPERD_HELPERD_H
#define IOCTLHELPERD_HELPERD_H

#include "apcfgcommon.h"

#include <cstddef>
#include <climits>
#include <cstdint>
#include <sys/types.h>

// ---- options (main.cc) and connections (connection.cc)

constexpr int32_t MAX_PINS = 16;

/// How the hosts of a sysfs tree are served (--sysfs, --pin).
struct SysfsOptions {
    const char *dir = nullptr;       // the tree whose class/fc_host answers; null: the model answers
    const char *pins[MAX_PINS] = {}; // "wyrafcNNN=DEVICE", as sysfsPin took them
    int32_t pinCount = 0;
};

/// Everything the options set, read once at start.
struct HelperOptions {
    const char *modelFile = nullptr, *logFile = nullptr;
    const char *deviceDir = "/home/tamsk/devices"; // the stream devices
    SysfsOptions sysfs;             // its dir answers status queries instead of the model
    bool list = false;              // list the adapters served and exit
    gid_t group = gid_t(-1);        // of the socket; -1: left as made
    long mode = -1;                 // of the socket; -1: left as the umask makes it
    int32_t connections = 1024;     // served at once
    int32_t busy = 64;              // beyond them, answered HELPER_BUSY, then closed
    int32_t perUser = 256;          // connections of one peer user, busy ones included
    int32_t perProcess = 64;        // connections of one peer process
    double deadline = 5;            // seconds for a whole request from its first byte
    double idle = 30;               // seconds for a request's first byte, or an answer taken
    size_t budget = 32 << 20;       // bytes of all packet buffers beyond each one's first 4096
    int32_t descriptors = INT32_MAX; // the helper may have open, connections and devices included
};

/// Descriptors beyond the connections and their devices: listener, log, lock, sysfs reads.
constexpr int32_t OWN_DESCRIPTORS = 32;

/// Serves the listening socket and every connection on the calling thread
/// until a signal arrives on signalFd (a signalfd), then returns its number;
/// -1 when poll fails. Without a listening socket (-1) it returns 0 once no
/// connection is left. A connection ends when its client closes the device
/// or leaves, its phase's time runs out, or a packet cannot be framed; one
/// admitted beyond the limits only answers its first request HELPER_BUSY.
int32_t serveLoop(const HelperOptions &o, int listenFd, int signalFd);

/// Serves the one connected socket until it ends, and closes it.
void serveConnection(const HelperOptions &o, int sock);

// ---- the emulated AP code: its adapters read from the model file
// (modelfile.cc) and its commands (apcommands.cc)

constexpr int32_t MAX_ADAPTERS = 64; // of the model, or of the machine (--sysfs)

struct Adapter {
    char name[10];
    uint8_t rc;          // non-zero: the query answers only this returnCode
    int32_t ioctlResult; // non-zero: the query answers this, block unchanged
    AdapterQuery answer; // what a status query of it answers
};

struct ApModel {
    Adapter adapters[MAX_ADAPTERS];
    int32_t count;
    uint32_t messageLimit; // messages accepted before refusing; the most: no limit
    int32_t traceResult;
};

/// The built-in adapters until apModelLoad replaces them.
extern ApModel apModel;

/// Writes one line for each adapter of the model to the event log (toLog) or
/// standard output: name, id, location, and each port's WWPN and state.
/// Returns the number of adapters.
int32_t apModelList(bool toLog);

/// The adapter of m with that name, or null.
const Adapter *findAdapter(const ApModel &m, const char *name);

/// Replaces the built-in adapters by those of the model file. Returns true,
/// or false after naming the file, the line and the problem on standard error.
bool apModelLoad(const char *path);

/// Reads 16 hex digits, the len bytes at text, into wwpn's 8 bytes in the
/// order written. False, wwpn untouched, for anything else.
bool readWwpn(const char *text, size_t len, uint8_t *wwpn);

/// Runs ioctl cmd of the AP device on data (len bytes, changed in place).
/// Returns the ioctl's outcome: 0 or an error number (-1 allowed).
int32_t apIoctl(const HelperOptions &o, uint32_t cmd, uint8_t *data, uint32_t len);

// returnCode values of the status query.
constexpr uint8_t RC_NO_ADAPTER = 2;
constexpr uint8_t RC_BAD_QUERY_TYPE = 3;
constexpr uint8_t RC_NO_PORT = 4;

/// The returnCode of a status query of type for port on an adapter with that
/// many ports, the first four of them at most: RC_BAD_QUERY_TYPE, RC_NO_PORT or 0.
uint8_t queryProblem(uint32_t type, uint8_t port, int32_t ports);

// ---- Fibre Channel hosts of the running machine (fchost.cc)


/// Adds the pin text, a logical name wyrafc000 to wyrafc063, '=' and a bus
/// device (at most 15 characters), to o. False, o unchanged, for any other
/// text, a name or device pinned already, or more than MAX_PINS pins.
bool sysfsPin(SysfsOptions *o, const char *text);

/// Answers the status query q (logical name, query type and port in, as the
/// model takes them) from the hosts under o.dir, read afresh, and nothing
/// outside it; logs why each host that counts for nothing is passed over.
/// Returns the query's returnCode: 0 with q filled, or RC_NO_ADAPTER,
/// RC_BAD_QUERY_TYPE or RC_NO_PORT with q unchanged.
int32_t fcHostQuery(const SysfsOptions &o, AdapterQuery *q);

/// Writes one line for each adapter served, of the model or of o.dir, to
/// the event log (toLog) or standard output, with the hosts passed over.
/// Returns the number of adapters, or -1 after a warning on standard error
/// when o.dir holds no class/fc_host.
int32_t listAdapters(const SysfsOptions &o, bool toLog);

// ---- event log (eventlog.cc)

/// Directs the log to the file path (appending) or, for null, standard
/// output. Returns 0, or -1 after a message on standard error.
int32_t logOpen(const char *path);

/// Writes one line, time-stamped in UTC. A line the log cannot take at once
/// (stalled reader, full disk) is dropped and counted, and the count is
/// logged once a line goes through again.
void logEvent(const char *fmt, ...) __attribute__((format(printf, 1, 2)));

/// Writes "ioctlhelperd: " and one line on standard error, on the same
/// terms as logEvent: a line that cannot go at once is dropped and counted.
void diagnose(const char *fmt, ...) __attribute__((format(printf, 1, 2)));

/// Logs the count of dropped lines if the log takes it at once.
void logStop();

/// Writes len bytes of in to out (outSize at least 1) C-escaped (\n \t \\ \"
/// and \xNN for other non-printables), always terminated; stops before an
/// escape that would not fit. Returns the length written.
size_t escapeText(const char *in, size_t len, char *out, size_t outSize);
/// Room for len bytes escaped: four characters each at most, and the terminator.
constexpr size_t escapedSize(size_t len) { return 4 * len + 1; }

#endif
