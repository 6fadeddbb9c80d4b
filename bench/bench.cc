// SPDX-FileCopyrightText: 2026 tamsk developers
// SPDX-License-Identifier: MIT
// Benchmark: the query command against the protocol's floor, and relay
// calls per second through ioctlhelperd against a server that does no work.
// Runs in a private /home; prints one report.
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

pid_t startProcess(const std::vector<std::string> &argv)
{
    unlink(TAMSK_HELPER_SOCKET);
    pid_t pid = fork();
    if (pid == 0)
        execArgs(argv);
    struct stat st;
    while (stat(TAMSK_HELPER_SOCKET, &st) != 0)
        usleep(1000);
    return pid;
}

void stopProcess(pid_t pid)
{
    kill(pid, SIGTERM);
    waitpid(pid, nullptr, 0);
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

[[noreturn]] void runTrivialServer()
{
    int s = socket(AF_UNIX, SOCK_STREAM, 0);
    sockaddr_un addr = tamsk::socketAddress("/home/tamsk/trivial");
    if (bind(s, reinterpret_cast<sockaddr *>(&addr), sizeof addr) != 0 || listen(s, 128) != 0 ||
        rename("/home/tamsk/trivial", TAMSK_HELPER_SOCKET) != 0)
        _exit(1);
    for (;;) {
        int conn = accept(s, nullptr, nullptr);
        if (conn >= 0)
            std::thread(serveTrivially, conn).detach();
    }
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
    int runs = argc > 1 ? atoi(argv[1]) : 200;
    enterPrivateHome();
    signal(SIGPIPE, SIG_IGN);
    mkdir("/home/tamsk", 0755);
    mkdir("/home/tamsk/config", 0755);
    writeFile(TAMSK_CONFIG_FILE, "B00:0:1 \nB00:1:2 \nB00:2:2 \nB00:3:4 \n");
    const std::vector<std::string> query = {QUERY_BIN, "-l", "wyrafc000"};

    pid_t helper = startProcess({HELPERD_BIN, "-l", LOG});
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
    printf("  ratio query / floor: %.2f\n", q.median / f.median);
    long instructions = callgrindInstructions(query);
    printf("  instructions of one query (callgrind): %ld, peak resident memory: %ld KiB\n\n", instructions,
           once.maxRssKb);

    const int levels[] = {1, 4, 16, 64};
    double helperRates[4], trivialRates[4];
    for (int i = 0; i < 4; ++i)
        helperRates[i] = relayRate(levels[i], 2.0);
    stopProcess(helper);
    pid_t trivial = fork();
    if (trivial == 0)
        runTrivialServer();
    while (access(TAMSK_HELPER_SOCKET, F_OK) != 0)
        usleep(1000);
    for (int i = 0; i < 4; ++i)
        trivialRates[i] = relayRate(levels[i], 2.0);
    stopProcess(trivial);
    printf("relay calls per second (2 s per level, no failed call)\n");
    printf("  %8s %14s %14s %15s\n", "clients", "ioctlhelperd", "trivial server", "trivial/helper");
    for (int i = 0; i < 4; ++i)
        printf("  %8d %14.0f %14.0f %15.2f\n", levels[i], helperRates[i], trivialRates[i],
               trivialRates[i] / helperRates[i]);
    return 0;
}
