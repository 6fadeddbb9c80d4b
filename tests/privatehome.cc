// A private mount namespace with a fresh tmpfs over /home, so tests and
// fuzzers use the real fixed paths without touching the host.
#include "testutil.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <sched.h>
#include <string>
#include <sys/mount.h>
#include <unistd.h>

namespace {

void fail(const char *what)
{
    fprintf(stderr, "private /home: %s: %s\n", what, strerror(errno));
    exit(99);
}

void writeProc(const char *path, const std::string &text)
{
    int fd = open(path, O_WRONLY);
    if (fd < 0 || write(fd, text.data(), text.size()) != ssize_t(text.size()))
        fail(path);
    close(fd);
}

} // namespace

void enterPrivateHome()
{
    uid_t uid = geteuid();
    gid_t gid = getegid();
    if (uid == 0) {
        if (unshare(CLONE_NEWNS) != 0)
            fail("unshare");
    } else {
        if (unshare(CLONE_NEWUSER | CLONE_NEWNS) != 0)
            fail("unshare");
        writeProc("/proc/self/setgroups", "deny");
        writeProc("/proc/self/uid_map", "0 " + std::to_string(uid) + " 1");
        writeProc("/proc/self/gid_map", "0 " + std::to_string(gid) + " 1");
    }
    if (mount("none", "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0)
        fail("private mounts");
    if (mount("tmpfs", "/home", "tmpfs", 0, "size=256m,mode=755") != 0)
        fail("tmpfs on /home");
}

