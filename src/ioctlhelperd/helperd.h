// ioctlhelperd: declarations shared by the helper's parts (connections, the
// AP code model, stream devices and the event log).
#ifndef IOCTLHELPERD_HELPERD_H
#define IOCTLHELPERD_HELPERD_H

#include <cstddef>
#include <cstdint>
#include <sys/types.h>

// ---- connections (connection.cc)

/// Directory holding the stream devices; set once before the first connection.
extern const char *helperDeviceDir;

/// Serves the accepted socket on a thread of its own. Returns 0, or -1 when
/// no thread could be started (the socket is then closed).
int32_t startConnection(int sock);

// ---- AP code model (apmodel.cc)

/// Replaces the built-in adapters by those of the model file. Returns 0, or
/// -1 after naming the file, the line and the problem on standard error.
int32_t apModelLoad(const char *path);

/// Runs ioctl cmd of the AP device on data (len bytes, changed in place).
/// Returns the ioctl's outcome: 0 or an error number (-1 allowed).
int32_t apIoctl(uint32_t cmd, uint8_t *data, uint32_t len);

// ---- stream devices (devices.cc)

/// Opens the regular file name in dir for reading and appending. Returns 0
/// with *fd set, EINVAL for a name that is not a plain file name, ENODEV for
/// something other than a regular file, or the errno of the failed open.
int32_t devOpen(const char *dir, const char *name, int *fd);

/// Reads up to max bytes at *offset and advances it. Returns 0 with *got set
/// (0 at the end of the file), or the errno of the failed read.
int32_t devRead(int fd, off_t *offset, uint8_t *buf, uint32_t max, uint32_t *got);

/// Appends len bytes. Returns 0 when all were written, else an errno.
int32_t devWrite(int fd, const uint8_t *buf, uint32_t len);

// ---- event log (eventlog.cc)

/// Directs the log to the file path (appending) or, for null, standard
/// output. Returns 0, or -1 after a message on standard error.
int32_t logOpen(const char *path);

/// Writes one time-stamped line and flushes it; lines never interleave.
void logEvent(const char *fmt, ...) __attribute__((format(printf, 1, 2)));

/// Flushes the log and keeps it locked, so no line is cut by the exit
/// that follows.
void logStop();

/// Writes len bytes of in to out C-escaped (\n \t \\ \" and \xNN for other
/// non-printables), always terminated; stops before an escape that would not
/// fit. Returns the length written.
size_t escapeText(const char *in, size_t len, char *out, size_t outSize);

/// Name of a trace event the AP code knows, or null.
const char *traceName(uint32_t eventId);

#endif
