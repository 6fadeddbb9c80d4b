// Test support shared by every suite: a private /home, the shipped programs
// run inside it with their output captured, the stand-in helper started and
// stopped, and a socket on the helper path.
#ifndef TESTUTIL_H
#define TESTUTIL_H

// The headers every test uses come with it.
#include "tamskpaths.h"

#include <cstring>
#include <fcntl.h>
#include <string>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/types.h>
#include <unistd.h>
#include <vector>

// privatehome.cc, which the fuzz targets and the benchmark link alone.
// enterPrivateHome moves this process into its own mount namespace (and user
// namespace when not root) with a fresh tmpfs over /home; exits 99 on failure.
void enterPrivateHome();
// A socket connected to the helper path (-1 when nobody listens), or with
// listen set, listening there in place of a helper.
int helperSocket(bool listen = false);
std::string readFile(const std::string &path); // "" when missing
void writeFile(const std::string &path, const std::string &text);

// testutil.cc. Programs run with argv (under the emulator in a cross build)
// and stdin from inPath (a path "" is inherited); statuses are exit
// statuses, or 128 + signal.
struct RunResult { int status; std::string out, err; };
RunResult runProgram(const std::vector<std::string> &argv, const std::string &inPath = "/dev/null");
pid_t startProgram(const std::vector<std::string> &argv, const std::string &outPath,
                   const std::string &errPath, const std::string &inPath = "/dev/null");
int waitProgram(pid_t pid);
// ioctlhelperd with args, once it accepts connections (-1 when it exited),
// its diagnostics in errPath. stopHelperd sends SIGTERM and waits.
pid_t startHelperd(const std::vector<std::string> &args = {}, const std::string &errPath = "/home/helperd.err");
int stopHelperd(pid_t pid);
int countOf(const std::string &text, const std::string &part);
std::string golden(const std::string &name); // tests/golden/name
// Socket numbers in the client's reports ("fd: 5") shown as "{fd}".
std::string withoutFd(std::string text);
// Runs the "$ program args" lines of golden/name ('' is an empty argument)
// and returns the transcript they make: "# " comments, each command, then
// what the program wrote on standard output and error (its path as its name,
// the version as {version}, socket numbers as {fd}), then "[status]".
std::string transcribe(const std::string &name);
std::string eventLog(const std::string &path); // the helper's log without its time stamps

#endif
