// SPDX-FileCopyrightText: 2026 tamsk developers
// SPDX-License-Identifier: MIT
// Benchmark: the query command against the protocol's floor, and relay
// calls per second through ioctlhelperd against two servers that do no
// work, one connection at a time or a thread per connection, on a quiet
// machine and beside CPU-bound processes. Runs in a private /home; prints
// one report.
#include "apcfgcommon.h"
#include "apmessage.h"
#include "osusrcomm.h"
#include "tamskpaths.h"
#include "testutil.h"

#include <algorithm>
#include <atomic>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <string>
#include <sys/prctl.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>
#include <vector>

namespace {

using Clock = std::chrono::steady_clock;

const char LOG[] = "/home/events.log";

struct Run {
    double micros;
    long maxRssKb;
};

[[noreturn]] void execArgs(const std::vector<std::string> &argv)
{
    std::vector<char *> args;
    for (const std::string &a : argv)
        args.push_back(const_cast<char *>(a.c_str()));
    args.push_back(nullptr);
    execv(args[0], args.data());
    _exit(127);
}

Run runQuiet(const std::vector<std::string> &argv)
{
    auto start = Clock::now();
    pid_t pid = fork();
    if (pid == 0) {
        int null = open("/dev/null", O_WRONLY);
        dup2(null, 1);
        dup2(null, 2);
        execArgs(argv);
    }
    int status;
    rusage usage;
    wait4(pid, &status, 0, &usage);
    double us = std::chrono::duration<double, std::micro>(Clock::now() - start).count();
    if (!WIFEXITED(status) || WEXITSTATUS(status) != 0) {
        fprintf(stderr, "bench: %s failed\n", argv[0].c_str());
        exit(1);
    }
    return {us, usage.ru_maxrss};
}

// Forks a child that is killed when the bench ends, so that no server or
// CPU-bound process outlives a run that stopped half-way.
pid_t forkChild()
{
    fflush(stdout); // or the child may print it again
    pid_t pid = fork();
    if (pid < 0) {
        perror("bench: fork");
        exit(1);
    }
    if (pid == 0)
        prctl(PR_SET_PDEATHSIG, SIGKILL);
    return pid;
}

int countLogLines()
{
    std::string text = readFile(LOG);
    return int(std::count(text.begin(), text.end(), '\n'));
}

struct Stats {
    double median, p10, p90;
};

Stats summarize(std::vector<double> v)
{
    std::sort(v.begin(), v.end());
    return {v[v.size() / 2], v[v.size() / 10], v[v.size() * 9 / 10]};
}

// Relay calls per second from `clients` threads, each sending trace events
// for `seconds`. Any failed call ends the benchmark.
double relayRate(int clients, double seconds)
{
    std::atomic<long> calls{0}, failures{0};
    auto deadline = Clock::now() + std::chrono::duration<double>(seconds);
    std::vector<std::thread> threads;
    for (int c = 0; c < clients; ++c)
        threads.emplace_back([&] {
            AdapterDds block;
            tamsk::apInitBlock(&block, AP_USER_TRACE);
            block.trace.eventId = 1;
            while (Clock::now() < deadline) {
                if (tamskioctl(AP_IOCTL, &block, sizeof block) == 0)
                    ++calls;
                else
                    ++failures;
            }
        });
    for (std::thread &t : threads)
        t.join();
    if (failures) {
        fprintf(stderr, "bench: %ld failed relay calls with %d clients\n", failures.load(), clients);
        exit(1);
    }
    return double(calls) / seconds;
}

// A server that answers every request of the protocol with no work: the
// open and close with a bare header, the ioctl with its own packet.
void serveTrivially(int conn)
{
    char pkt[64 * 1024];
    for (;;) {
        HelperHdr h;
        if (recv(conn, &h, 20, MSG_WAITALL) != 20 || h.pktlen < 20 || h.pktlen > int32_t(sizeof pkt))
            break;
        memcpy(pkt, &h, 20);
        if (h.pktlen > 20 && recv(conn, pkt + 20, h.pktlen - 20, MSG_WAITALL) != h.pktlen - 20)
            break;
        HelperHdr answer = {20, HELPER_RESPONSE, uint32_t(h.pktlen), 0, h.cmd};
        int32_t len = 20;
        if (h.helper_req == HELPER_DEV_IOCTL)
            len = h.pktlen;
        else if (h.helper_req == HELPER_DEV_CLOSE)
            answer.xfercnt = 20;
        memcpy(pkt, &answer, 20);
        memcpy(pkt, &len, 4);
        if (send(conn, pkt, len, MSG_NOSIGNAL) != len || h.helper_req == HELPER_DEV_CLOSE)
            break;
    }
    close(conn);
}

// Serves connections to their end, each in a thread of its own, or one at
// a time in this thread.
[[noreturn]] void runTrivialServer(bool threaded)
{
    int s = socket(AF_UNIX, SOCK_STREAM, 0);
    sockaddr_un addr = tamsk::socketAddress("/home/tamsk/trivial");
    unlink("/home/tamsk/trivial");
    if (bind(s, reinterpret_cast<sockaddr *>(&addr), sizeof addr) != 0 || listen(s, 128) != 0 ||
        rename("/home/tamsk/trivial", TAMSK_HELPER_SOCKET) != 0)
        _exit(1);
    for (;;) {
        int conn = accept(s, nullptr, nullptr);
        if (conn >= 0 && threaded)
            std::thread(serveTrivially, conn).detach();
        else if (conn >= 0)
            serveTrivially(conn);
    }
}

enum Server { HELPER, SEQUENTIAL, THREADED };
const char *const SERVER_NAMES[] = {"ioctlhelperd", "sequential", "threaded"};

// Starts a server on the helper socket, the helper with its event log in
// log; returns once the socket is there.
pid_t startServer(Server server, const char *log = LOG)
{
    unlink(TAMSK_HELPER_SOCKET);
    pid_t pid = forkChild();
    if (pid == 0 && server == HELPER)
        execArgs({HELPERD_BIN, "-l", log});
    if (pid == 0)
        runTrivialServer(server == THREADED);
    struct stat st;
    while (stat(TAMSK_HELPER_SOCKET, &st) != 0) {
        if (waitpid(pid, nullptr, WNOHANG) != 0) {
            fprintf(stderr, "bench: %s did not start\n", SERVER_NAMES[server]);
            exit(1);
        }
        usleep(1000);
    }
    return pid;
}

// Stops a server and waits for its end, so that the next one meets neither
// its lock nor its socket (a trivial server leaves its socket behind).
void stopServer(pid_t pid)
{
    kill(pid, SIGTERM);
    waitpid(pid, nullptr, 0);
    unlink(TAMSK_HELPER_SOCKET);
}

// Relay calls per second of the helper and of both trivial servers at 1,
// 16 and 64 clients, in rounds that each measure every server at every
// level for `seconds`, so that drift hits all alike, the servers' order
// turning from one measurement to the next. Prints the medians over the
// rounds and the helper's rate over the faster trivial server's of the
// same round (median, lowest and highest), against the bar of each level
// (none where it is 0).
void relayTable(const char *condition, int rounds, double seconds, const double bars[3])
{
    const int levels[] = {1, 16, 64};
    std::vector<double> rates[3][3], ratios[3]; // [level][server], [level]
    for (int r = 0; r < rounds; ++r)
        for (int l = 0; l < 3; ++l) {
            double rate[3];
            for (int i = 0; i < 3; ++i) {
                Server server = Server((i + r + l) % 3);
                pid_t pid = startServer(server, "/dev/null"); // as the trivial servers, it keeps no log
                rates[l][server].push_back(rate[server] = relayRate(levels[l], seconds));
                stopServer(pid);
            }
            ratios[l].push_back(rate[HELPER] / std::max(rate[SEQUENTIAL], rate[THREADED]));
        }
    printf("relay calls per second, %s (median of %d rounds of %g s, no failed call)\n", condition, rounds, seconds);
    printf("  %7s %13s %11s %11s %14s %12s  %s\n", "clients", SERVER_NAMES[HELPER], SERVER_NAMES[SEQUENTIAL],
           SERVER_NAMES[THREADED], "helper/faster", "(low-high)", "bar");
    for (int l = 0; l < 3; ++l) {
        double ratio = summarize(ratios[l]).median;
        printf("  %7d %13.0f %11.0f %11.0f %14.2f  (%.2f-%.2f)", levels[l], summarize(rates[l][HELPER]).median,
               summarize(rates[l][SEQUENTIAL]).median, summarize(rates[l][THREADED]).median, ratio,
               *std::min_element(ratios[l].begin(), ratios[l].end()),
               *std::max_element(ratios[l].begin(), ratios[l].end()));
        if (bars[l] > 0)
            printf("  >= %.2f %s", bars[l], ratio >= bars[l] ? "met" : "NOT MET");
        printf("\n");
    }
    printf("\n");
}

// CPU-bound processes beside the servers: each spins until killed.
std::vector<pid_t> startBusy(int count)
{
    std::vector<pid_t> pids;
    for (int i = 0; i < count; ++i) {
        pid_t pid = forkChild();
        if (pid == 0)
            for (volatile unsigned spin = 0;; spin = spin + 1) {
            }
        pids.push_back(pid);
    }
    return pids;
}

long callgrindInstructions(const std::vector<std::string> &cmd)
{
    std::string line = "valgrind --tool=callgrind --callgrind-out-file=/home/cg.out";
    for (const std::string &a : cmd)
        line += " " + a;
    line += " >/dev/null 2>&1";
    if (system(line.c_str()) != 0)
        return -1;
    std::string out = readFile("/home/cg.out");
    size_t p = out.find("\nsummary: ");
    if (p == std::string::npos)
        p = out.find("\ntotals: ");
    return p == std::string::npos ? -1 : atol(out.c_str() + out.find(' ', p) + 1);
}

} // namespace

int main(int argc, char **argv)
{
    int runs = argc > 1 ? atoi(argv[1]) : 200, rounds = argc > 2 ? atoi(argv[2]) : 7;
    double seconds = argc > 3 ? atof(argv[3]) : 0.5;
    if (runs < 1 || rounds < 1 || !(seconds > 0)) {
        fprintf(stderr, "usage: bench [QUERY_RUNS [ROUNDS [SECONDS_PER_MEASUREMENT]]]\n");
        return 2;
    }
    enterPrivateHome();
    signal(SIGPIPE, SIG_IGN);
    mkdir("/home/tamsk", 0755);
    mkdir("/home/tamsk/config", 0755);
    writeFile(TAMSK_CONFIG_FILE, "B00:0:1 \nB00:1:2 \nB00:2:2 \nB00:3:4 \n");
    const std::vector<std::string> query = {QUERY_BIN, "-l", "wyrafc000"};

    pid_t helper = startServer(HELPER);
    int before = countLogLines();
    Run once = runQuiet(query);
    int exchanges = countLogLines() - before; // one log line per relay call
    std::vector<double> queryTimes, floorTimes;
    for (int i = 0; i < runs; ++i) { // interleaved, so drift hits both alike
        queryTimes.push_back(runQuiet(query).micros);
        floorTimes.push_back(runQuiet({FLOOR_BIN, std::to_string(exchanges)}).micros);
    }
    Stats q = summarize(queryTimes), f = summarize(floorTimes);
    printf("query cost (%d runs; one query = %d relay calls by the helper's event log)\n", runs, exchanges);
    printf("  %-34s median %8.1f us  p10 %8.1f  p90 %8.1f\n", "queryadapterquor -l wyrafc000", q.median, q.p10, q.p90);
    printf("  %-34s median %8.1f us  p10 %8.1f  p90 %8.1f\n", "floor: static client, same calls", f.median, f.p10, f.p90);
    printf("  ratio query / floor: %.2f, bar <= 1.30 %s\n", q.median / f.median,
           q.median / f.median <= 1.3 ? "met" : "NOT MET");
    long instructions = callgrindInstructions(query);
    printf("  instructions of one query (callgrind): %ld, peak resident memory: %ld KiB\n\n", instructions,
           once.maxRssKb);
    stopServer(helper);

    const double quietBars[] = {0.9, 0.75, 0.75}, busyBars[] = {2.0 / 3, 0, 0};
    relayTable("quiet", rounds, seconds, quietBars);
    std::vector<pid_t> busy = startBusy(2);
    relayTable("two CPU-bound processes beside", rounds, seconds, busyBars);
    for (pid_t pid : busy) {
        kill(pid, SIGKILL);
        waitpid(pid, nullptr, 0);
    }
    return 0;
}
