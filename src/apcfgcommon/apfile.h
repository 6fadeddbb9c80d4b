/* SPDX-FileCopyrightText: 2026 tamsk developers */
/* SPDX-License-Identifier: MIT */
/* Opening and reading the configuration file and its backup, and the
   conversion of the numbers in it. Internal to the libraries and the
   commands. */
#ifndef APCFGCOMMON_APFILE_H
#define APCFGCOMMON_APFILE_H

#include <cstddef>
#include <cstdint>
#include <cstdio>

namespace tamsk {

/* Opens path for reading, or for writing (created 0666 less the umask, then
   emptied), as fopen does with "rb" or "wb", but only a regular file: a
   symlink is not followed (errno ELOOP), and anything else, a FIFO or a
   device, is refused at once without blocking and untouched (errno
   EINVAL). Null on failure, with errno set. */
FILE *apOpenRegular(const char *path, bool forWriting);

/* Length of an open file, or -1; the position is back at the start. */
long apFileLength(FILE *f);

/* Reads the whole file from its start, handing each piece (NUL-terminated,
   n bytes, changeable) to take. True when the count equals the file's
   length and the stream has no error; *length is that length or -1. */
bool apReadPieces(FILE *f, long *length, void (*take)(void *ctx, char *piece, size_t n), void *ctx);

/* text as strtol converts it in base 10 or 16, saturated at the 32-bit
   limits whatever the host's long; 0 when text does not start with a
   number. */
int32_t apToInt32(const char *text, int base);

} // namespace tamsk

#endif
