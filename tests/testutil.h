// Test support shared by every suite: a private /home, the shipped programs
// run inside it with their output captured, the stand-in helper started and
// stopped, and a socket on the helper path.
#ifndef TESTUTIL_H
#define TESTUTIL_H

#include <string>
#include <sys/types.h>
#include <vector>

// ---- privatehome.cc, which the fuzz targets and the benchmark link alone

// Moves this process into its own mount namespace (a user namespace too when
// not root) and mounts a fresh tmpfs over /home. Exits with 99 on failure.
void enterPrivateHome();

// A stream socket connected to the helper path (-1 when nobody listens), or
// with listen set, bound and listening there in place of a helper.
int helperSocket(bool listen = false);

// ---- testutil.cc

struct RunResult {
    int status = -1; // exit status, or 128 + signal
    std::string out;
    std::string err;
};

// Runs a program with argv (argv[0] is the path; under the emulator in a
// cross build), stdin from inPath, and returns its status and what it wrote.
RunResult runProgram(const std::vector<std::string> &argv, const std::string &inPath = "/dev/null");

// Starts a program with stdin from inPath and stdout, stderr in the named
// files; waitProgram returns its exit status (or 128 + signal).
pid_t startProgram(const std::vector<std::string> &argv, const std::string &outPath,
                   const std::string &errPath, const std::string &inPath = "/dev/null");
int waitProgram(pid_t pid);

// Starts ioctlhelperd with extra arguments and waits until it accepts
// connections on the helper socket. Returns its pid, -1 when it exited.
pid_t startHelperd(const std::vector<std::string> &args = {});

// Sends SIGTERM and waits; returns the exit status (or 128 + signal).
int stopHelperd(pid_t pid);


// Whole file as a string ("" when missing) and writing one.
std::string readFile(const std::string &path);
void writeFile(const std::string &path, const std::string &text);

// How often part occurs in text.
int countOf(const std::string &text, const std::string &part);

#endif
