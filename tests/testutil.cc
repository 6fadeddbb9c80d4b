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
#include <poll.h>
#include <sched.h>
#include <sstream>
#include <sys/mount.h>
#include <sys/socket.h>
#include <sys/un.h>
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

void die(const char *what)
{
    fprintf(stderr, "test setup: %s: %s\n", what, strerror(errno));
    exit(99);
}

bool helperAccepts()
{
    int s = socket(AF_UNIX, SOCK_STREAM, 0);
    sockaddr_un a = {};
    a.sun_family = AF_UNIX;
    strcpy(a.sun_path, TAMSK_HELPER_SOCKET);
    bool ok = connect(s, reinterpret_cast<sockaddr *>(&a), sizeof a) == 0;
    close(s);
    return ok;
}

int waitStatus(pid_t pid)
{
    int st = 0;
    while (waitpid(pid, &st, 0) < 0 && errno == EINTR) {
    }
    return WIFEXITED(st) ? WEXITSTATUS(st) : 128 + WTERMSIG(st);
}

// Reads both pipes to their end without letting either fill up.
void drain(int outFd, int errFd, std::string &out, std::string &err)
{
    pollfd fds[2] = {{outFd, POLLIN, 0}, {errFd, POLLIN, 0}};
    std::string *dst[2] = {&out, &err};
    int open = 2;
    while (open > 0) {
        if (poll(fds, 2, -1) < 0 && errno != EINTR)
            break;
        for (int i = 0; i < 2; ++i) {
            if (fds[i].fd < 0 || !fds[i].revents)
                continue;
            char buf[65536];
            ssize_t n = read(fds[i].fd, buf, sizeof buf);
            if (n > 0) {
                dst[i]->append(buf, size_t(n));
            } else if (n == 0 || errno != EINTR) {
                close(fds[i].fd);
                fds[i].fd = -1;
                --open;
            }
        }
    }
}

} // namespace

RunResult runProgram(const std::vector<std::string> &argv, const std::string &input)
{
    int in[2], out[2], err[2];
    if (pipe2(in, O_CLOEXEC) || pipe2(out, O_CLOEXEC) || pipe2(err, O_CLOEXEC))
        die("pipe");
    pid_t pid = fork();
    if (pid == 0) {
        dup2(in[0], 0);
        dup2(out[1], 1);
        dup2(err[1], 2);
        for (int fd : {in[0], in[1], out[0], out[1], err[0], err[1]})
            close(fd);
        execProgram(argv);
    }
    close(in[0]);
    close(out[1]);
    close(err[1]);
    // Small inputs fit the pipe; larger ones are fed by a writer child.
    pid_t feeder = -1;
    if (input.size() > 60000) {
        feeder = fork();
        if (feeder == 0) {
            close(out[0]);
            close(err[0]);
            size_t done = 0;
            while (done < input.size()) {
                ssize_t n = write(in[1], input.data() + done, input.size() - done);
                if (n <= 0)
                    break;
                done += size_t(n);
            }
            _exit(0);
        }
    } else if (!input.empty() && write(in[1], input.data(), input.size()) < 0) {
        die("write stdin");
    }
    close(in[1]);
    RunResult res;
    drain(out[0], err[0], res.out, res.err);
    res.status = waitStatus(pid);
    if (feeder > 0)
        waitStatus(feeder);
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
    for (int i = 0; i < 3000 && !helperAccepts(); ++i) {
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
    return waitStatus(pid);
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
