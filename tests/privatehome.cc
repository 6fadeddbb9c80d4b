// A private mount namespace with a fresh tmpfs over /home, so tests and
// fuzzers use the real fixed paths without touching the host; a socket on
// the helper path inside it.
#include "testutil.h"

#include "tamskpaths.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <sched.h>
#include <string>
#include <sys/mount.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
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

int helperSocket(bool listen)
{
    mkdir("/home/tamsk", 0755);
    if (listen)
        unlink(TAMSK_HELPER_SOCKET);
    sockaddr_un a = {};
    a.sun_family = AF_UNIX;
    strcpy(a.sun_path, TAMSK_HELPER_SOCKET);
    int s = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr *addr = reinterpret_cast<sockaddr *>(&a);
    if (listen ? bind(s, addr, sizeof a) == 0 && ::listen(s, 64) == 0 : connect(s, addr, sizeof a) == 0)
        return s;
    close(s);
    return -1;
}
