/* SPDX-FileCopyrightText: 2026 tamsk developers */
/* SPDX-License-Identifier: MIT */
/* The configuration file and its backup: regular files only, read whole. */
#include "apfile.h"

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstdlib>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace tamsk {

FILE *apOpenRegular(const char *path, bool forWriting)
{
    // Not truncated by the open: what is found there is left as it is
    // unless it is a regular file.
    int flags = (forWriting ? O_WRONLY | O_CREAT : O_RDONLY) | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC;
    int fd = open(path, flags, 0666);
    if (fd == -1)
        return nullptr;
    struct stat st;
    int err = fstat(fd, &st) != 0 ? errno : !S_ISREG(st.st_mode) ? EINVAL : 0;
    if (!err && forWriting && ftruncate(fd, 0) != 0)
        err = errno;
    FILE *f = err ? nullptr : fdopen(fd, forWriting ? "wb" : "rb");
    if (!f) {
        err = err ? err : errno;
        close(fd);
        errno = err;
    }
    return f;
}

int32_t apToInt32(const char *text, int base)
{
    return int32_t(std::clamp<long>(strtol(text, nullptr, base), INT32_MIN, INT32_MAX));
}

long apFileLength(FILE *f)
{
    if (fseek(f, 0, SEEK_END) != 0)
        return -1;
    long n = ftell(f);
    return fseek(f, 0, SEEK_SET) == 0 ? n : -1;
}

// Reads in pieces, so a file of any length is read with a fixed buffer.
bool apReadPieces(FILE *f, long *length, void (*take)(void *ctx, char *piece, size_t n), void *ctx)
{
    if ((*length = apFileLength(f)) < 0)
        return false;
    char piece[BUFSIZ + 1]; // a stdio buffer's worth
    size_t n, total = 0;
    while ((n = fread(piece, 1, sizeof piece - 1, f)) > 0) {
        total += n;
        piece[n] = '\0';
        take(ctx, piece, n);
    }
    return total == size_t(*length) && !ferror(f);
}

} // namespace tamsk
