/* SPDX-FileCopyrightText: 2026 tamsk developers */
/* SPDX-License-Identifier: MIT */
/* Opening and reading the files of the configuration directory, and the
   conversion of the numbers in them. Internal to the libraries and the
   commands. */
#ifndef APCFGCOMMON_APFILE_H
#define APCFGCOMMON_APFILE_H

#include <cstddef>
#include <cstdint>
#include <cstdio>

namespace tamsk {

/* Opens name in the configuration directory, which is never reached
   through a symlink, for reading, or for writing (emptied; when it is
   made, it takes the directory's group and mode 0660 whatever the umask,
   so every member of the group can write it after another). Only a
   regular file with a single link: a symlink is not followed (errno
   ELOOP), and anything else, a FIFO, a device or another name of a file
   elsewhere, is refused at once without blocking and untouched (errno
   EINVAL). In a directory that others than its owner may write in, a file
   that those others could not read is refused too (errno EACCES): it may
   have been moved in from elsewhere. A descriptor, or -1 with errno set. */
int apConfigOpen(const char *name, bool forWriting);

/* apConfigOpen as a stream, opened "rb" or "wb". Null on failure, with
   errno set. */
FILE *apOpenRegular(const char *name, bool forWriting);

/* Length of an open file, or -1; the position is back at the start. */
long apFileLength(FILE *f);

/* Reads the file from its start, handing each piece (NUL-terminated, n
   bytes, changeable) to take, to its end or until take returns false: the
   rest cannot change what take found, so a file that claims to be huge
   (a sparse one) is not read for ever. True when the count equals the
   file's length, or take stopped, and the stream has no error; *length is
   that length or -1. */
bool apReadPieces(FILE *f, long *length, bool (*take)(void *ctx, char *piece, size_t n), void *ctx);

/* text as strtol converts it in base 10 or 16, saturated at the 32-bit
   limits whatever the host's long; 0 when text does not start with a
   number. */
int32_t apToInt32(const char *text, int base);

} // namespace tamsk

#endif
