// ioctlhelperd: stream devices, regular files of the device directory that a
// connection reads from their start and appends to.
#include "helperd.h"

#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

int32_t devOpen(const char *dir, const char *name, int *fd)
{
    if (!name[0] || strchr(name, '/') || !strcmp(name, ".") || !strcmp(name, ".."))
        return EINVAL;
    char path[PATH_MAX];
    if (snprintf(path, sizeof path, "%s/%s", dir, name) >= int(sizeof path))
        return ENAMETOOLONG;
    // O_NONBLOCK keeps a FIFO planted in the directory from hanging the open;
    // it changes nothing for a regular file.
    int f = open(path, O_RDWR | O_APPEND | O_NONBLOCK | O_CLOEXEC);
    if (f < 0 && (errno == EACCES || errno == EROFS || errno == ETXTBSY))
        f = open(path, O_RDONLY | O_NONBLOCK | O_CLOEXEC); // writes answer EBADF
    if (f < 0)
        return errno;
    struct stat st;
    if (fstat(f, &st) != 0 || !S_ISREG(st.st_mode)) {
        close(f);
        return ENODEV;
    }
    *fd = f;
    return 0;
}

int32_t devRead(int fd, off_t *offset, uint8_t *buf, uint32_t max, uint32_t *got)
{
    ssize_t n;
    do
        n = pread(fd, buf, max, *offset);
    while (n < 0 && errno == EINTR);
    if (n < 0)
        return errno;
    *offset += n;
    *got = uint32_t(n);
    return 0;
}

int32_t devWrite(int fd, const uint8_t *buf, uint32_t len)
{
    uint32_t done = 0;
    while (done < len) {
        ssize_t n = write(fd, buf + done, len - done);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            return n < 0 ? errno : EIO;
        done += uint32_t(n);
    }
    return 0;
}
