// Test support: running the shipped programs, the stand-in helper, the
// helper socket and files.
#include "testutil.h"

#include "tamskpaths.h"

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <fstream>
#include <gtest/gtest.h>
#include <sstream>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

namespace {

// Runs argv[0] directly, or under the emulator in a cross build.
void execProgram(const std::vector<std::string> &argv)
{
    std::vector<char *> args;
    if (EMULATOR[0])
        args.push_back(const_cast<char *>(EMULATOR));
    for (const std::string &a : argv)
        args.push_back(const_cast<char *>(a.c_str()));
    args.push_back(nullptr);
    execv(args[0], args.data());
    _exit(127);
}

// A fresh file in the private /home for one captured stream.
std::string captureFile()
{
    char name[] = "/home/captureXXXXXX";
    int fd = mkstemp(name);
    if (fd < 0) {
        perror("test setup: capture file");
        exit(99);
    }
    close(fd);
    return name;
}

} // namespace

pid_t startProgram(const std::vector<std::string> &argv, const std::string &outPath,
                   const std::string &errPath, const std::string &inPath)
{
    pid_t pid = fork();
    if (pid == 0) {
        int in = open(inPath.c_str(), O_RDONLY);
        int out = open(outPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        int err = open(errPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        dup2(in, 0);
        dup2(out, 1);
        dup2(err, 2);
        execProgram(argv);
    }
    return pid;
}

int waitProgram(pid_t pid)
{
    int st = 0;
    while (waitpid(pid, &st, 0) < 0 && errno == EINTR) {
    }
    return WIFEXITED(st) ? WEXITSTATUS(st) : 128 + WTERMSIG(st);
}

RunResult runProgram(const std::vector<std::string> &argv, const std::string &inPath)
{
    std::string outPath = captureFile(), errPath = captureFile();
    RunResult res;
    res.status = waitProgram(startProgram(argv, outPath, errPath, inPath));
    res.out = readFile(outPath);
    res.err = readFile(errPath);
    unlink(outPath.c_str());
    unlink(errPath.c_str());
    return res;
}

pid_t startHelperd(const std::vector<std::string> &args)
{
    signal(SIGPIPE, SIG_IGN);
    pid_t pid = fork();
    if (pid == 0) {
        std::vector<std::string> argv{HELPERD_BIN};
        argv.insert(argv.end(), args.begin(), args.end());
        execProgram(argv);
    }
    for (int s; (s = helperSocket()) < 0 || close(s) != 0;) {
        if (waitpid(pid, nullptr, WNOHANG) == pid) {
            ADD_FAILURE() << "ioctlhelperd exited at start";
            return -1;
        }
        usleep(2000);
    }
    return pid;
}

int stopHelperd(pid_t pid)
{
    if (pid <= 0)
        return -1;
    kill(pid, SIGTERM);
    return waitProgram(pid);
}

std::string readFile(const std::string &path)
{
    std::ifstream f(path, std::ios::binary);
    std::stringstream ss;
    ss << f.rdbuf();
    return ss.str();
}

void writeFile(const std::string &path, const std::string &text)
{
    std::ofstream(path, std::ios::binary) << text;
}

int countOf(const std::string &text, const std::string &part)
{
    int n = 0;
    for (size_t p = text.find(part); p != std::string::npos; p = text.find(part, p + 1))
        ++n;
    return n;
}
