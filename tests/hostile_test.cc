// What a local user can try against a helper, a store and a reader run by root.
#include "testutil.h"

#include <gtest/gtest.h>
#include <dirent.h>
#include <linux/sockios.h>
#include <sys/ioctl.h>
#include <sys/file.h>
#include <poll.h>
#include <sys/prctl.h>
#include <sys/resource.h>

namespace {

const std::string STORE = STORE_BIN, DEV = TAMSKDEV_BIN, QUERY = QUERY_BIN;
// An AP open (the empty name) is HELPER_HDR_SIZE + 1 bytes of it.
const struct { HelperHdr h; char name; } OPEN_AP = {{HELPER_HDR_SIZE + 1, HELPER_DEV_OPEN, 0, 0, 27}, 0};
constexpr uid_t NOBODY = 65534, MEMBER = 5001; // MEMBER + 1 is a member too

int sendRaw(const void *data, size_t n)
{
    int s = helperSocket();
    send(s, data, n, MSG_NOSIGNAL);
    return s;
}

// The kind of answer (HELPER_RESPONSE, HELPER_BUSY); 0: closed, ~0: nothing.
uint32_t answerOf(int s)
{
    HelperHdr h = {};
    const timeval wait = {2, 0};
    setsockopt(s, SOL_SOCKET, SO_RCVTIMEO, &wait, sizeof wait);
    ssize_t n = recv(s, &h, sizeof h, MSG_WAITALL);
    return n == sizeof h ? h.helper_req : n == 0 ? 0 : ~0u;
}

// Waits until the helper has read what went out on s.
void waitRead(int s)
{
    for (int i = 0, n = 0; i < 2000 && ioctl(s, SIOCOUTQ, &n) == 0 && n > 0; ++i)
        usleep(1000);
}

uint32_t openAp()
{
    int s = sendRaw(&OPEN_AP, HELPER_HDR_SIZE + 1);
    uint32_t kind = answerOf(s);
    close(s);
    return kind;
}

// Runs body as user uid in a child that then stops, holding what it opened
// until killed; with wait, returns once body is done or has exited.
pid_t asUser(void (*body)(), uid_t uid = NOBODY, bool wait = true)
{
    pid_t pid = fork();
    if (pid == 0) {
        prctl(PR_SET_PDEATHSIG, SIGKILL);
        becomeUser(uid);
        body();
        raise(SIGSTOP), _exit(0);
    }
    siginfo_t done;
    if (wait) // an exit stays for the caller to collect
        waitid(P_PID, id_t(pid), &done, WEXITED | WSTOPPED | WNOWAIT);
    return pid;
}

} // namespace

// No link or FIFO among the devices leads elsewhere or hangs; no open leaks.
TEST(Hostile, DeviceNamesLeadNowhereElse)
{
    pid_t helper = startHelperd({"-M", "666"});
    ASSERT_EQ(0, system("umask 077 && echo secret > /home/secret && mkdir -m 1777 /home/tamsk/devices && "
                        "cd /home/tamsk/devices && ln -s /home/secret secret && ln -s /dev/zero zero && "
                        "ln /home/secret hard && mkfifo -m 666 fifo && echo plain > plain && echo x > x && chmod 644 x"));
    auto descriptors = [helper](int want) { // the count, once it is want (within a second) or at once
        int n = 0;
        for (int i = 0; i < 100 && (i == 0 || (want >= 0 && n != want)); ++i, usleep(10000)) {
            DIR *d = opendir(("/proc/" + std::to_string(helper) + "/fd").c_str());
            for (n = 0; d && readdir(d); ++n) {
            }
            closedir(d);
        }
        return n;
    };
    usleep(100000); // the start's probe connection has ended
    int before = descriptors(-1);
    EXPECT_EQ(transcribe("hostile-devices.t"), golden("hostile-devices.t"));
    EXPECT_EQ(before, descriptors(before));
    EXPECT_EQ(readFile("/home/secret"), "secret\n");
    EXPECT_EQ(6, runProgram({DEV, "read", std::string(300, 'x')}).status);
    // Another user opens only what its user could: not root's 0600 file, and root's 0644 one to read.
    EXPECT_EQ(6, runProgram({DEV, "read", "plain"}, "/dev/null", NOBODY).status);
    EXPECT_NE(0, runProgram({DEV, "write", "x"}, "/home/secret", NOBODY).status);
    EXPECT_EQ("x\n", readFile("/home/tamsk/devices/x"));
    EXPECT_EQ(0, stopHelperd(helper));
    const std::string err = readFile("/home/helperd.err");
    EXPECT_EQ(5, countOf(err, "refused: No such device\n"));
    EXPECT_EQ(1, countOf(err, "open of \"" + std::string(255, 'x') + "\" refused: File name too long\n")); // cut to fit
}

// A link to a root file at the name the helper binds in is removed, never
// followed: nothing is changed through it.
TEST(Hostile, SocketAppearsWithItsModeAndGroup)
{
    mkdir("/home/tamsk", 0755);
    writeFile("/home/victim", "");
    ASSERT_EQ(0, symlink("/home/victim", "/home/tamsk/.ioctl.new"));
    pid_t helper = startHelperd({"-g", "100", "-M", "666"});
    struct stat st = {}, victim = {};
    EXPECT_TRUE(lstat(TAMSK_HELPER_SOCKET, &st) == 0 && S_ISSOCK(st.st_mode) && (st.st_mode & 0777) == 0666 &&
                st.st_gid == 100);
    EXPECT_TRUE(stat("/home/victim", &victim) == 0 && victim.st_mode == 0100644 && victim.st_gid == 0);
    EXPECT_EQ(0, stopHelperd(helper));
}

const HelperHdr CLAIM = {1 << 20, HELPER_DEV_IOCTL, 1 << 20, 0, 27}; // 1 MiB, of which 20 bytes come
int holdEach;
size_t holdSent; // of CLAIM, by each connection once

// Holds holdEach connections and reopens each one that the helper closes.
void hold()
{
    std::vector<pollfd> held(size_t(holdEach), pollfd{-1, POLLIN, 0});
    for (;; poll(held.data(), held.size(), 100))
        for (pollfd &p : held)
            if (p.fd < 0 || p.revents)
                close(p.fd), p.fd = sendRaw(&CLAIM, holdSent);
}

// Processes that hold and reopen connections beyond their user's share,
// and four users that fill a small descriptor limit: root's query gets in
// at once. Each case runs in a process of its own, whose limit the helper
// takes on; its status counts the failed checks.
TEST(Limits, NoProcessKeepsAnotherOut)
{
    if (geteuid() != 0)
        GTEST_SKIP() << "needs other users";
    const struct { const char *what; int processes, each; size_t sent; uid_t users[4]; } holders[] = {
        {"one root process, idle", 1, 24, 0, {0}},
        {"one root process, requests trickling", 1, 24, 20, {0}},
        {"eight root processes, idle", 8, 3, 0, {0}},
        {"one process of another user", 1, 24, 0, {NOBODY}},
        {"four users under a limit of 64 descriptors", 4, 16, 0, {NOBODY, MEMBER, MEMBER + 1, MEMBER + 2}},
        {"four users of 32 processes with one connection each", 32, 1, 0, {NOBODY, MEMBER, MEMBER + 1, MEMBER + 2}},
    };
    for (const auto &h : holders) {
        if (pid_t run = fork()) {
            EXPECT_EQ(0, waitProgram(run)) << h.what;
            continue;
        }
        const rlimit few = {64, 64};
        if (h.users[3])
            setrlimit(RLIMIT_NOFILE, &few);
        pid_t helper = startHelperd({"-M", "666", "--per-user", "16", "--per-process", "12", "--busy", "1"});
        std::vector<pid_t> kids;
        holdEach = h.each, holdSent = h.sent;
        for (int p = 0; p < h.processes; ++p)
            kids.push_back(asUser(hold, h.users[p % 4], false));
        usleep(100000); // the holders are in
        int failed = 0;
        for (int i = 0; i < 3; ++i) {
            auto start = std::chrono::steady_clock::now();
            failed += runProgram({QUERY, "-l", "wyrafc000"}).status != 0;
            failed += std::chrono::steady_clock::now() - start > std::chrono::seconds(2); // no busy pause
        }
        for (pid_t kid : kids)
            kill(kid, SIGKILL), waitProgram(kid);
        failed += stopHelperd(helper) != 0;
        failed += (h.users[3] != 0) != (readFile("/home/helperd.err").find(
                      "ioctlhelperd: 64 descriptors: serving at most 31 connections and 1 busy ones\n") == 0);
        _exit(failed);
    }
}

// Of two helpers started at once, one serves and the other says so and stops.
TEST(Limits, OneHelperPerSocket)
{
    for (int i = 0; i < 20; ++i) {
        const std::string errs[] = {"/home/first.err", "/home/second.err"};
        pid_t two[] = {startProgram({HELPERD_BIN}, "", errs[0], ""), startProgram({HELPERD_BIN}, "", errs[1], "")};
        int s = -1, stopped = -1;
        for (int wait = 0; wait < 5000 && stopped < 0; ++wait, usleep(1000))
            stopped = waitpid(two[0], &s, WNOHANG) == two[0] ? 0 : waitpid(two[1], &s, WNOHANG) == two[1] ? 1 : -1;
        ASSERT_NE(-1, stopped) << i;
        EXPECT_EQ(1, WEXITSTATUS(s)) << i;
        EXPECT_EQ("ioctlhelperd: another helper is running on /home/tamsk/ioctl\n", readFile(errs[stopped])) << i;
        EXPECT_EQ(0, stopHelperd(two[1 - stopped])) << i;
    }
}

// A request gets its budget share once another gives it back; when all are
// taken, an idle connection makes room, and only when none is idle is a new
// one served busy.
TEST(Limits, BusyBudgetAndDeadline)
{
    pid_t helper = startHelperd({"--connections", "2", "--busy", "1", "--budget", "8192"});
    std::vector<char> large(12288), small(8192);
    const HelperHdr claims[] = {{12288, HELPER_DEV_IOCTL, 12288, 0, 27}, {8192, HELPER_DEV_IOCTL, 8192, 0, 27}};
    memcpy(large.data(), &claims[0], sizeof claims[0]);
    memcpy(small.data(), &claims[1], sizeof claims[1]);
    int holder = sendRaw(large.data(), 4096); // takes the whole budget until the rest comes
    waitRead(holder);
    int waiter = sendRaw(small.data(), HELPER_HDR_SIZE); // then waits for its share
    waitRead(waiter);
    send(waiter, small.data() + HELPER_HDR_SIZE, small.size() - HELPER_HDR_SIZE, MSG_NOSIGNAL);
    EXPECT_EQ(HELPER_BUSY, openAp());
    int parked = helperSocket(); // the busy place taken: one more is closed at once
    EXPECT_EQ(0u, answerOf(helperSocket()));
    close(parked);
    send(holder, large.data() + 4096, large.size() - 4096, MSG_NOSIGNAL);
    EXPECT_EQ(HELPER_RESPONSE, answerOf(holder));
    EXPECT_EQ(HELPER_RESPONSE, answerOf(waiter));
    EXPECT_EQ(HELPER_RESPONSE, openAp()); // both idle now: the one idle longest makes room
    EXPECT_EQ(0u, answerOf(holder));
    EXPECT_EQ(0, stopHelperd(helper));
    helper = startHelperd({"--deadline", "0.2", "--idle", "0.2"});
    EXPECT_EQ(0u, answerOf(sendRaw(large.data(), 4096)));
    EXPECT_EQ(0u, answerOf(helperSocket())); // idle too long
    EXPECT_EQ(0, stopHelperd(helper));
    EXPECT_NE(std::string::npos, readFile("/home/helperd.err").find("dropped: request not complete within 0.2 s\n"));
    helper = startHelperd({"--budget", "0"});
    close(sendRaw(large.data(), HELPER_HDR_SIZE)); // waits for budget, then leaves: seen at once, no spinning
    usleep(100000);
    EXPECT_EQ(0, stopHelperd(helper));
    EXPECT_NE(std::string::npos, readFile("/home/helperd.err").find("dropped: client left inside a packet\n"));
}

// Lines a pipe cannot take are dropped and counted, the count written once.
TEST(Limits, UnreadOutputHoldsUpNothing)
{
    int log[2], err[2];
    ASSERT_TRUE(pipe(log) == 0 && pipe(err) == 0);
    fcntl(log[1], F_SETPIPE_SZ, 4096); // full after about 40 log lines
    fcntl(err[1], F_SETPIPE_SZ, 16384); // and 400 diagnostics
    char fill[512] = {}; // full at the start, which warns of a directory others may write: the start goes on
    for (fcntl(err[1], F_SETFL, O_NONBLOCK); write(err[1], fill, sizeof fill) > 0;) {
    }
    ASSERT_TRUE(mkdir("/home/tamsk", 0755) == 0 && chmod("/home/tamsk", 0775) == 0);
    pid_t helper = startHelperd({"--connections", "2", "-l", "/proc/self/fd/" + std::to_string(log[1])},
                                "/proc/self/fd/" + std::to_string(err[1]));
    close(log[1]);
    close(err[1]);
    const HelperHdr unframed = {0, HELPER_DEV_OPEN, 0, 0, 27}; // each one a diagnostic
    for (int i = 0; i < 5; ++i) {
        for (int k = 0; k < 100; ++k)
            EXPECT_EQ(HELPER_RESPONSE, answerOf(sendRaw(&unframed, sizeof unframed)));
        EXPECT_EQ(0, runProgram({QUERY, "-l", "wyrafc000"}).status); // about 1,600 bytes of log
    }
    char buf[8192];
    for (int fd : {log[0], err[0]}) // drained
        for (fcntl(fd, F_SETFL, O_NONBLOCK); read(fd, buf, sizeof buf) > 0;) {
        }
    EXPECT_EQ(HELPER_RESPONSE, answerOf(sendRaw(&unframed, sizeof unframed)));
    std::string head(buf, size_t(std::max<ssize_t>(read(err[0], buf, sizeof buf), 0)));
    EXPECT_EQ(0u, head.find("ioctlhelperd: ")) << head;
    EXPECT_LT(head.find(" diagnostics dropped\n"), head.find('\n')) << head;
    EXPECT_EQ(HELPER_RESPONSE, answerOf(sendRaw(&unframed, sizeof unframed)));
    head.assign(buf, size_t(std::max<ssize_t>(read(err[0], buf, sizeof buf), 0)));
    EXPECT_EQ("ioctlhelperd: packet length 0 refused\n", head); // the count went out once
    close(err[0]); // the reader left: the helper is not harmed
    EXPECT_EQ(HELPER_RESPONSE, answerOf(sendRaw(&unframed, sizeof unframed)));
    EXPECT_EQ(0, stopHelperd(helper)); // the log's count goes out at the stop
    head.assign(buf, size_t(std::max<ssize_t>(read(log[0], buf, sizeof buf), 0)));
    EXPECT_EQ(23u, head.find("Z event log: ")) << head;
    EXPECT_LT(head.find(" lines dropped\n"), head.find('\n')) << head;
}

// A full disk: the line cut short is ended, the lines lost counted later.
TEST(Limits, LogOnAFullDisk)
{
    mkdir("/home/small", 0755);
    ASSERT_EQ(0, mount("tmpfs", "/home/small", "tmpfs", 0, "size=4k"));
    pid_t helper = startHelperd({"-l", "/home/small/log"});
    for (int i = 0; i < 4; ++i) // about 6 KiB of log
        EXPECT_EQ(0, runProgram({QUERY, "-l", "wyrafc000"}).status);
    ASSERT_EQ(0, truncate("/home/small/log", 0));
    EXPECT_EQ(0, runProgram({QUERY, "-l", "wyrafc000"}).status);
    std::string log = readFile("/home/small/log");
    EXPECT_EQ("\n2", log.substr(0, 2)) << log;
    EXPECT_EQ(24u, log.find("Z event log: ")) << log;
    EXPECT_EQ(0, stopHelperd(helper));
}

TEST(Hostile, OnlyRegularConfigurationFiles)
{
    pid_t helper = startHelperd({"-l", "/home/events.log"});
    writeFile("/home/secret", "secret\n");
    const char *const bak = TAMSK_CONFIG_FILE ".bak";
    const struct { const char *path, *target; } plants[] = {
        {TAMSK_CONFIG_FILE, nullptr}, {TAMSK_CONFIG_FILE, "/dev/zero"}, {TAMSK_CONFIG_FILE, "/home/secret"},
        {TAMSK_CONFIG_FILE, "/home/made"}, {bak, "/home/secret"}, {bak, nullptr},
    };
    for (const auto &p : plants) {
        unlink(TAMSK_CONFIG_FILE);
        unlink(bak);
        if (p.path == bak)
            writeFile(TAMSK_CONFIG_FILE, "B00:0:1 \n");
        ASSERT_EQ(0, p.target ? symlink(p.target, p.path) : mkfifo(p.path, 0644));
        EXPECT_EQ(0, runProgram({QUERY, "-l", "wyrafc000"}).status) << p.path;
        EXPECT_EQ(1, runProgram({STORE, "-a", "B00", "-p", "0", "-t", "2"}).status) << p.path;
        struct stat st = {};
        EXPECT_TRUE(lstat(p.path, &st) == 0 && (p.target ? S_ISLNK(st.st_mode) : S_ISFIFO(st.st_mode)));
        if (p.path == bak) { // reading the others would hang
            EXPECT_EQ("B00:0:1 \n", readFile(TAMSK_CONFIG_FILE));
        }
    }
    EXPECT_EQ(readFile("/home/secret"), "secret\n");
    EXPECT_NE(0, access("/home/made", F_OK));
    EXPECT_EQ(0, stopHelperd(helper));
    const std::string log = eventLog("/home/events.log"); // the file or the backup not opened, as a store reports it
    EXPECT_EQ(4, countOf(log, "file open failed d1=0x2 "));
    EXPECT_EQ(2, countOf(log, "file open failed d1=0x3 "));
    EXPECT_EQ(6, countOf(log, "\"ERROR: Writing the topology values to the file failed.\\n\""));
}

TEST(Hostile, StoreLockIsBoundedAndNotForOthers)
{
    pid_t helper = startHelperd({"-g", "100", "-M", "660"});
    const std::string lock = TAMSK_CONFIG_FILE ".lock";
    EXPECT_EQ(0, runProgram({STORE, "-a", "C12", "-p", "1", "-t", "2"}).status);
    EXPECT_EQ("C12:1:2 \n", readFile(TAMSK_CONFIG_FILE));
    struct stat st = {};
    EXPECT_TRUE(stat(lock.c_str(), &st) == 0 && (st.st_mode & 07777) == 0660 && st.st_gid == 100);
    int holder = open(lock.c_str(), O_RDONLY);
    ASSERT_EQ(0, flock(holder, LOCK_EX));
    RunResult r = runProgram({STORE, "-w", "0.2", "-a", "C12", "-p", "1", "-t", "3"});
    EXPECT_EQ(1, r.status);
    EXPECT_EQ("storetopology: cannot lock " + lock + ": another store holds it (waited 0.2 s)\n", r.err);
    close(holder);
    int opened = 0;
    if (geteuid() == 0)
        waitpid(asUser([] { _exit(open(TAMSK_CONFIG_FILE ".lock", O_RDONLY) == -1 ? 0 : 1); }), &opened, 0);
    EXPECT_EQ(0, opened);
    unlink(lock.c_str());
    ASSERT_EQ(0, symlink("/home/made", lock.c_str()));
    r = runProgram({STORE, "-a", "C12", "-p", "1", "-t", "3"});
    EXPECT_EQ("storetopology: cannot lock " + lock + ": Too many levels of symbolic links\n", r.err);
    EXPECT_NE(0, access("/home/made", F_OK));
    EXPECT_EQ(0, stopHelperd(helper));
}

const char *swapped; // the name a member swaps between a file and a link to a root-only file

// Members of the socket's group store after each other; one who swaps a
// name between a file and a link to a root-only file while root stores gets
// nothing written through the link, nor read from it.
TEST(Hostile, GroupMembersStoreBesideRoot)
{
    if (geteuid() != 0)
        GTEST_SKIP() << "needs other users";
    pid_t helper = startHelperd({"-g", std::to_string(MEMBERS), "-M", "0660"});
    for (int i = 0; i < 12; ++i) // in turn, with umask 022
        EXPECT_EQ(0, runProgram({STORE, "-a", "C" + std::to_string(10 + i), "-p", "1", "-t", "1"}, "", MEMBER + i % 2).status);
    for (int i = 0; i < 12; ++i)
        EXPECT_EQ(1, countOf(readFile(TAMSK_CONFIG_FILE), "C" + std::to_string(10 + i) + ":1:1 \n"));
    for (const char *name : {TAMSK_CONFIG_FILE ".bak", TAMSK_CONFIG_FILE}) {
        writeFile("/home/secret", "secret\n");
        chmod("/home/secret", 0600);
        swapped = name;
        pid_t member = asUser([] {
            unlink(TAMSK_CONFIG_FILE ".bak"); // a backup of the member's own
            writeFile(TAMSK_CONFIG_FILE ".bak", "");
            for (const char *file = TAMSK_CONFIG_DIR "/f", *link = TAMSK_CONFIG_DIR "/l";;) {
                writeFile(file, "B00:0:1 \n");
                rename(file, swapped);
                if (symlink("/home/secret", link) == 0)
                    rename(link, swapped);
                if (readFile(TAMSK_CONFIG_FILE ".bak") == "secret\n")
                    writeFile(TAMSK_CONFIG_DIR "/leaked", "");
            }
        }, MEMBER, false);
        for (int i = 0; i < 150; ++i)
            runProgram({STORE, "-a", "B00", "-p", "0", "-t", "1"});
        kill(member, SIGKILL);
        waitProgram(member);
        EXPECT_EQ(readFile("/home/secret"), "secret\n") << name;
        EXPECT_NE(0, access(TAMSK_CONFIG_DIR "/leaked", F_OK)) << name;
    }
    // A root-only file a member renames in is not copied where members read; a sparse
    // file that claims a petabyte is not read for ever.
    ASSERT_EQ(0, system("mkdir -m 777 /home/drop && umask 077 && echo secret > /home/drop/f"));
    pid_t member = asUser([] { rename("/home/drop/f", TAMSK_CONFIG_FILE); }, MEMBER);
    kill(member, SIGKILL), waitProgram(member);
    EXPECT_EQ(1, runProgram({STORE, "-a", "B00", "-p", "0", "-t", "1"}).status);
    EXPECT_EQ(std::string::npos, readFile(TAMSK_CONFIG_FILE ".bak").find("secret"));
    unlink(TAMSK_CONFIG_FILE);
    writeFile(TAMSK_CONFIG_FILE, "B00:0:1 \n");
    ASSERT_EQ(0, truncate(TAMSK_CONFIG_FILE, 1LL << 50));
    EXPECT_EQ(0, runProgram({STORE, "-a", "B00", "-p", "0", "-t", "2"}).status);
    EXPECT_EQ(0, stopHelperd(helper));
}

// A helper directory another user owns, and a configuration directory that
// is a link, are named at the start; a store names its directory's trouble.
TEST(Hostile, DirectoriesOthersControlAreNamed)
{
    if (geteuid() != 0)
        GTEST_SKIP() << "needs other users";
    ASSERT_TRUE(mkdir(TAMSK_DIR, 0755) == 0 && chown(TAMSK_DIR, MEMBER, 0) == 0 && symlink("/home/none", TAMSK_CONFIG_DIR) == 0);
    EXPECT_EQ(0, stopHelperd(startHelperd()));
    EXPECT_EQ(readFile("/home/helperd.err"),
              "ioctlhelperd: warning: /home/tamsk has owner 5001, group 0 and mode 0755: only root and the helper's "
              "user should be able to change it, or others can stand in for the helper there\n"
              "ioctlhelperd: warning: /home/tamsk/config is a symbolic link, not a directory: stores fail until it is one\n");
    EXPECT_EQ(runProgram({STORE, "-a", "B00", "-p", "0", "-t", "1"}).err,
              "storetopology: configuration directory /home/tamsk/config: a symbolic link, which stores do not follow\n");
}
