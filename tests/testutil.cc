// Test support: the shipped programs and the stand-in helper.
#include "testutil.h"

#include "tamskversion.h"

#include <cerrno>
#include <grp.h>
#include <gtest/gtest.h>
#include <regex>
#include <sched.h>
#include <sstream>
#include <sys/prctl.h>

void becomeUser(uid_t uid)
{
    if (setgroups(1, &MEMBERS) != 0 || setgid(uid) != 0 || setuid(uid) != 0)
        _exit(126);
    umask(022);
}

pid_t startProgram(const std::vector<std::string> &argv, const std::string &outPath,
                   const std::string &errPath, const std::string &inPath, uid_t uid)
{
    std::string program = argv[0]; // another user may not reach the build tree (in a home of mode 0700): a copy
    if (uid && access((program = "/home/" + program.substr(program.rfind('/') + 1) + ".copy").c_str(), F_OK) != 0)
        writeFile(program, readFile(argv[0])), chmod(program.c_str(), 0755);
    pid_t pid = fork();
    if (pid == 0) {
        prctl(PR_SET_PDEATHSIG, SIGKILL); // a helper dies with a test that fails or times out
        signal(SIGPIPE, SIG_DFL);         // as a shell starts it, not as this test ignores it
        const std::string *paths[] = {&inPath, &outPath, &errPath}; // "": inherited
        for (int fd = 0; fd < 3; ++fd)
            if (!paths[fd]->empty())
                dup2(open(paths[fd]->c_str(), fd ? O_WRONLY | O_CREAT | O_TRUNC : O_RDONLY, 0644), fd);
        if (uid)
            becomeUser(uid);
        std::vector<char *> args;
        if (EMULATOR[0])
            args.push_back(const_cast<char *>(EMULATOR));
        args.push_back(const_cast<char *>(program.c_str()));
        for (size_t i = 1; i < argv.size(); ++i)
            args.push_back(const_cast<char *>(argv[i].c_str()));
        args.push_back(nullptr);
        execv(args[0], args.data());
        _exit(127);
    }
    return pid;
}

int waitProgram(pid_t pid)
{
    int st = 0;
    waitpid(pid, &st, 0); // no test catches a signal while it waits
    return WIFEXITED(st) ? WEXITSTATUS(st) : 128 + WTERMSIG(st);
}

RunResult runProgram(const std::vector<std::string> &argv, const std::string &inPath, uid_t uid)
{
    int status = waitProgram(startProgram(argv, "/home/run.out", "/home/run.err", inPath, uid));
    return {status, readFile("/home/run.out"), readFile("/home/run.err")};
}

pid_t startHelperd(const std::vector<std::string> &args, const std::string &errPath)
{
    signal(SIGPIPE, SIG_IGN);
    std::vector<std::string> argv{HELPERD_BIN};
    argv.insert(argv.end(), args.begin(), args.end());
    pid_t pid = startProgram(argv, "", errPath, "");
    for (int s; (s = helperSocket()) < 0 || close(s) != 0; usleep(2000)) {
        if (waitpid(pid, nullptr, WNOHANG) == pid) {
            ADD_FAILURE() << "ioctlhelperd exited at start";
            return -1;
        }
    }
    return pid;
}

int stopHelperd(pid_t pid) { return pid > 0 && kill(pid, SIGTERM) == 0 ? waitProgram(pid) : -1; }

int countOf(const std::string &text, const std::string &part)
{
    int n = 0;
    for (size_t p = text.find(part); p != std::string::npos; p = text.find(part, p + 1))
        ++n;
    return n;
}

std::string golden(const std::string &name) { return readFile(GOLDEN_DIR "/" + name); }

std::string withoutFd(std::string text)
{
    for (std::string key : {"fd: ", "fd = ", "curSock: "})
        for (size_t at = 0; (at = text.find(key, at)) != std::string::npos;) {
            at += key.size();
            text.replace(at, strspn(text.c_str() + at, "0123456789"), "{fd}");
        }
    return text;
}

std::string transcribe(const std::string &name)
{
    const std::string programs[][2] = {{"queryadapterquor", QUERY_BIN}, {"storetopology", STORE_BIN},
                                       {"tamskdev", TAMSKDEV_BIN}, {"ioctlhelperd", HELPERD_BIN}};
    std::istringstream commands(golden(name));
    std::string transcript;
    for (std::string line; std::getline(commands, line);) {
        transcript += line.compare(0, 2, "# ") ? "" : line + "\n"; // a comment
        if (line.compare(0, 2, "$ ") != 0)
            continue;
        std::istringstream words(line.substr(2));
        std::vector<std::string> argv;
        for (std::string word; words >> word;)
            argv.push_back(word == "''" ? "" : word.compare(0, 6, "{data}") ? word : DATA_DIR + word.substr(6));
        const std::string program = argv[0];
        for (const auto &p : programs)
            argv[0] = program == p[0] ? p[1] : argv[0];
        RunResult r = runProgram(argv);
        std::string out = withoutFd(r.out + r.err);
        const std::string shown[][2] = {{DATA_DIR, "{data}"}, {argv[0], program}, {TAMSK_VERSION, "{version}"}};
        for (const auto &s : shown)
            for (size_t at = 0; (at = out.find(s[0], at)) != std::string::npos; at += s[1].size())
                out.replace(at, s[0].size(), s[1]);
        out = std::regex_replace(out, std::regex("\\d\\d:\\d\\d:\\d\\d on \\w{3}, \\d\\d/\\d\\d/\\d{4}"), "{time}");
        transcript += line + "\n" + out + "[" + std::to_string(r.status) + "]\n";
    }
    return transcript;
}

std::string eventLog(const std::string &path)
{
    std::string log = readFile(path), events;
    for (size_t at = 0, end; (end = log.find('\n', at)) != std::string::npos; at = end + 1)
        events += log.substr(at + 25, end + 1 - at - 25); // "2026-12-07T00:30:18.693Z "
    return events;
}

// Every test starts in a /home of its own, even when one program runs them all.
struct FreshHome : testing::EmptyTestEventListener {
    void OnTestStart(const testing::TestInfo &) override
    {
        if (umount2("/home", MNT_DETACH) != 0 || mount("tmpfs", "/home", "tmpfs", 0, "size=256m,mode=755") != 0)
            ADD_FAILURE() << "fresh /home: " << strerror(errno);
    }
};

int main(int argc, char **argv)
{
    enterPrivateHome();
    // The tests run as the first process of a PID namespace of their own
    // that dies with this one: every program they start ends with them,
    // even when ctest kills them at their time-out.
    pid_t tests = unshare(CLONE_NEWPID) == 0 ? fork() : -1;
    if (tests != 0) // _exit: nothing more can start in the namespace, not even a leak check's tracer
        _exit(tests < 0 ? 99 : waitProgram(tests));
    prctl(PR_SET_PDEATHSIG, SIGKILL); // its own /proc, so the waiting parent keeps its own
    if (unshare(CLONE_NEWNS) != 0 || mount("proc", "/proc", "proc", 0, nullptr) != 0)
        return 99;
    testing::InitGoogleTest(&argc, argv);
    testing::UnitTest::GetInstance()->listeners().Append(new FreshHome);
    return RUN_ALL_TESTS();
}
