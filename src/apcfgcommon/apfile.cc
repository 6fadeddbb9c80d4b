/* SPDX-FileCopyrightText: 2026 tamsk developers */
/* SPDX-License-Identifier: MIT */
/* The files of the configuration directory: regular files only, reached
   through the directory's descriptor, read whole. */
#include "apfile.h"

#include "tamskpaths.h"

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstdlib>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace tamsk {

namespace {

// Whether a file found in directory d is one that those who may write in d,
// besides its owner, could read themselves, or one of the caller's own with
// the directory's group (made there before files took mode 0660). A rename
// needs no right to the file, only to the directories, so one of them may
// have moved in a file from anywhere on the filesystem that they could not
// read: it is not read for them, copied where they can read it, nor written.
bool theirsToHandIn(const struct stat &st, const struct stat &d)
{
    if (!(d.st_mode & (S_IWGRP | S_IWOTH)))
        return true;
    return (st.st_mode & S_IROTH) || (!(d.st_mode & S_IWOTH) && st.st_gid == d.st_gid &&
                                      ((st.st_mode & S_IRGRP) || st.st_uid == geteuid()));
}

} // namespace

int apConfigOpen(const char *name, bool forWriting)
{
    constexpr int FLAGS = O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC; // O_NONBLOCK: a FIFO does not hang the open
    int dir = open(TAMSK_CONFIG_DIR, O_RDONLY | O_DIRECTORY | FLAGS);
    if (dir == -1)
        return -1;
    int fd = forWriting ? openat(dir, name, O_WRONLY | O_CREAT | O_EXCL | FLAGS, 0660) : -1;
    bool made = fd != -1;
    if (!made && (!forWriting || errno == EEXIST)) // not truncated yet: only a regular file is
        fd = openat(dir, name, (forWriting ? O_WRONLY : O_RDONLY) | FLAGS);
    struct stat st, d;
    int err = fd == -1 || fstat(fd, &st) != 0 || fstat(dir, &d) != 0 ? errno
              : !S_ISREG(st.st_mode) || st.st_nlink != 1   ? EINVAL
              : !made && !theirsToHandIn(st, d)            ? EACCES
                                                           : 0;
    if (!err && made && st.st_gid != d.st_gid && fchown(fd, uid_t(-1), d.st_gid) != 0) {
    } // without the directory's group, the file is still made, for the caller's group
    if (!err && ((made && fchmod(fd, 0660) != 0) || (forWriting && ftruncate(fd, 0) != 0)))
        err = errno;
    close(dir);
    if (err && fd != -1)
        close(fd);
    errno = err;
    return err ? -1 : fd;
}

FILE *apOpenRegular(const char *name, bool forWriting)
{
    int fd = apConfigOpen(name, forWriting);
    FILE *f = fd == -1 ? nullptr : fdopen(fd, forWriting ? "wb" : "rb");
    if (fd != -1 && !f) {
        int err = errno;
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
bool apReadPieces(FILE *f, long *length, bool (*take)(void *ctx, char *piece, size_t n), void *ctx)
{
    if ((*length = apFileLength(f)) < 0)
        return false;
    char piece[BUFSIZ + 1]; // a stdio buffer's worth
    size_t n, total = 0;
    bool more = true;
    while (more && (n = fread(piece, 1, sizeof piece - 1, f)) > 0) {
        total += n;
        piece[n] = '\0';
        more = take(ctx, piece, n);
    }
    return (!more || total == size_t(*length)) && !ferror(f);
}

} // namespace tamsk
