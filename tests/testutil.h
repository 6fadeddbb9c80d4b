// Test support: a private /home, the programs and the helper run in it.
#ifndef TESTUTIL_H
#define TESTUTIL_H

#include "apcfgcommon.h"
#include "osusrcomm.h"
#include "tamskpaths.h"

#include <algorithm>
#include <chrono>
#include <csignal>
#include <cstring>
#include <fcntl.h>
#include <string>
#include <sys/mount.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

// privatehome.cc (linked alone by the fuzz targets and the benchmark).
void enterPrivateHome(); // a fresh tmpfs over /home in new namespaces; exits 99 on failure
int helperSocket(bool listen = false); // connected to the helper path (-1: nobody), or listening there
std::string readFile(const std::string &path); // "" when missing
void writeFile(const std::string &path, const std::string &text);

// testutil.cc. Programs run under the emulator of a cross build, stdin from
// inPath ("": inherited), as user uid when not 0 (in group MEMBERS, umask 022);
// statuses are exit statuses, or 128 + signal.
constexpr gid_t MEMBERS = 4242; // the socket's group of the tests that need one
struct RunResult { int status; std::string out, err; };
RunResult runProgram(const std::vector<std::string> &argv, const std::string &inPath = "/dev/null", uid_t uid = 0);
pid_t startProgram(const std::vector<std::string> &argv, const std::string &out, const std::string &err,
                   const std::string &inPath = "/dev/null", uid_t uid = 0);
void becomeUser(uid_t uid); // in group MEMBERS, umask 022
int waitProgram(pid_t pid);
// ioctlhelperd once it accepts connections (-1: it exited); stop: SIGTERM and wait.
pid_t startHelperd(const std::vector<std::string> &args = {}, const std::string &errPath = "/home/helperd.err");
int stopHelperd(pid_t pid);
int countOf(const std::string &text, const std::string &part);
std::string golden(const std::string &name); // tests/golden/name
std::string withoutFd(std::string text); // socket numbers in reports ("fd: 5") as "{fd}"
// Runs the "$ program args" lines of golden/name ('' is an empty argument, {data} the data directory)
// into a transcript: "# " comments, each command, its output (the data directory, its path, version,
// socket numbers and times shown by name), then "[status]".
std::string transcribe(const std::string &name);
std::string eventLog(const std::string &path); // the helper's log without its time stamps

#endif
