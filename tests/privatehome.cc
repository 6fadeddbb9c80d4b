// A private /home for tests and fuzzers; the helper socket; whole files.
#include "testutil.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <sched.h>
#include <sstream>
#include <sys/un.h>

void enterPrivateHome()
{
    std::string uid = std::to_string(geteuid()), gid = std::to_string(getegid());
    bool ok = unshare(CLONE_NEWNS | (uid == "0" ? 0 : CLONE_NEWUSER)) == 0;
    if (ok && uid != "0") { // map ourselves to root of the new user namespace
        writeFile("/proc/self/setgroups", "deny");
        writeFile("/proc/self/uid_map", "0 " + uid + " 1");
        writeFile("/proc/self/gid_map", "0 " + gid + " 1");
    }
    if (!ok || mount("none", "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0 ||
        mount("tmpfs", "/home", "tmpfs", 0, "size=256m,mode=755") != 0) {
        fprintf(stderr, "private /home: %s\n", strerror(errno));
        exit(99);
    }
}

int helperSocket(bool listen)
{
    mkdir("/home/tamsk", 0755);
    if (listen)
        unlink(TAMSK_HELPER_SOCKET);
    sockaddr_un a = tamsk::socketAddress();
    int s = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr *addr = reinterpret_cast<sockaddr *>(&a);
    if (listen ? bind(s, addr, sizeof a) == 0 && ::listen(s, 64) == 0 : connect(s, addr, sizeof a) == 0)
        return s;
    close(s);
    return -1;
}

std::string readFile(const std::string &path)
{
    std::stringstream text;
    text << std::ifstream(path, std::ios::binary).rdbuf();
    return text.str();
}

void writeFile(const std::string &path, const std::string &text)
{
    std::ofstream(path, std::ios::binary) << text;
}
