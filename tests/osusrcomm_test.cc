// The helper client (framing, ioctl relay, device streams) against a scripted helper.
#include "platform.h"
#include "scriptedpeer.h"
#include "testutil.h"

#include <functional>
#include <future>
#include <gtest/gtest.h>
#include <sys/time.h>
#include <thread>

// Seams linked instead of platform.o: pauses are only recorded; allocation fails while failAlloc is
// set; the packet allocated last is known until it is freed (free is wrapped at link time).
static std::vector<unsigned> pauses;
static bool failAlloc = false;
static void *packet = nullptr;
void tamsk::quorHelperPause(unsigned seconds) { pauses.push_back(seconds); }
void *tamsk::quorAllocPacket(size_t size) { return packet = failAlloc ? nullptr : malloc(size); }
extern "C" void __real_free(void *);
extern "C" void __wrap_free(void *p) { packet = p == packet ? nullptr : packet, __real_free(p); }

namespace {

std::string pkt(HelperHdr h, const std::string &p = "") { return std::string(reinterpret_cast<char *>(&h), sizeof h) + p; }

std::string answer(uint32_t xfer, int32_t ret = 0, const std::string &payload = "", uint32_t cmd = 0)
{
    return pkt({int32_t(20 + payload.size()), HELPER_RESPONSE, xfer, ret, cmd}, payload);
}

const std::string CLOSE_REQUEST = pkt({20, HELPER_DEV_CLOSE, 0, 0, 0}), CLOSE_OK = answer(20);

std::string bytes(size_t n, int seed)
{
    std::string s(n, '\0');
    for (size_t i = 0; i < n; ++i)
        s[i] = char(i * 7 + i / 256 + size_t(seed));
    return s;
}

// The scripted helper: per connection, its answers (scriptedpeer.h); got: the requests it took.
struct Peer { std::vector<Packets> conns; Packets got = {}; };

// Runs call with its output captured and SIGALRM every millisecond, while the peer, when given,
// serves the helper socket with pauses that interrupt the client's waits; no socket may stay open.
RunResult run(const std::function<int32_t()> &call, Peer *peer = nullptr)
{
    std::thread server;
    std::promise<void> started;
    if (peer) {
        server = std::thread([peer, &started, listener = helperSocket(true)] {
            sigset_t all;
            sigfillset(&all);
            pthread_sigmask(SIG_BLOCK, &all, nullptr); // the alarms are for the client
            const timeval limit = {3, 0};              // a client that stops early ends the script
            setsockopt(listener, SOL_SOCKET, SO_RCVTIMEO, &limit, sizeof limit);
            started.set_value();
            for (const Packets &answers : peer->conns)
                answerConnection(accept(listener, nullptr, nullptr), answers, &peer->got, 5000);
            close(listener); // refuses any connection beyond the script
            unlink(TAMSK_HELPER_SOCKET);
        });
        started.get_future().wait(); // a starting thread may hold a descriptor for a moment
    }
    testing::internal::CaptureStdout();
    testing::internal::CaptureStderr();
    const int lowestFree = dup(0); // where the client's socket goes
    close(lowestFree);
    struct sigaction onAlarm = {};
    onAlarm.sa_handler = [](int) {}; // no SA_RESTART: a blocked call fails with EINTR
    sigaction(SIGALRM, &onAlarm, nullptr);
    itimerval every = {{0, 1000}, {0, 1000}}, off = {};
    setitimer(ITIMER_REAL, &every, nullptr);
    RunResult c = {call(), "", ""};
    setitimer(ITIMER_REAL, &off, nullptr);
    c.out = testing::internal::GetCapturedStdout();
    c.err = testing::internal::GetCapturedStderr();
    if (peer)
        server.join();
    EXPECT_EQ(close(lowestFree), -1) << "socket left open";
    EXPECT_EQ(packet, nullptr) << "packet not freed";
    return c;
}

} // namespace

TEST(HelperFraming, SizeChecksReceiveLimitsAndCutPackets)
{
    char buf[1200] = {}, data[1112] = {}, scratch[64];
    const auto recv64 = [&](int fd) { return recvHelperPkt(fd, buf, 64); };
    // waiting: in the socket; gone: the other end closed
    struct Case { const char *what; std::function<int32_t(int)> call; std::string waiting; bool gone = false; };
    std::vector<Case> cases = {
        {"write 19", [&](int fd) { return quorHelperWrite(fd, buf, 19); }, ""},
        {"ioctl 1131 of 1112", [&](int fd) { return quorHelperIoctl(fd, 27, buf, 1131, data, 1112); }, ""},
        {"ioctl 20 of 0", [&](int fd) { return quorHelperIoctl(fd, 27, buf, 20, data, 0); }, answer(20)},
        // the receive limit is the request's length, not the buffer's size
        {"ioctl 1200 of 16", [&](int fd) { return quorHelperIoctl(fd, 27, buf, 1200, data, 16); },
         answer(40, 0, bytes(20, 8))},
        {"receive pktlen 0", recv64, pkt({0, 6, 20, 0, 0})},
        {"receive pktlen 1", recv64, pkt({1, 6, 20, 0, 0})},
        {"write 20", [&](int fd) { return quorHelperWrite(fd, buf, 20); }, answer(0)}, // no payload is no error
        {"close 20", [&](int fd) { return quorHelperClose(fd, buf, 20); }, CLOSE_OK},
        {"close 19", [&](int fd) { return quorHelperClose(fd, buf, 19); }, ""},
        {"ioctl 1200 of 16", [&](int fd) { return quorHelperIoctl(fd, 27, buf, 1200, data, 16); }, "", true},
        {"recvPkt 16", [&](int fd) { return recvPkt(fd, buf, 16); }, bytes(20, 4)},
        {"recvPkt 16", [&](int fd) { return recvPkt(fd, buf, 16); }, bytes(10, 4)},
        {"peekPkt 16", [&](int fd) { return peekPkt(fd, buf, 16); }, bytes(20, 4)},
        {"read 64", [&](int fd) { return quorHelperRead(fd, buf, 64); }, answer(24, 0, "abcd")},
        {"read 64", [&](int fd) { return quorHelperRead(fd, buf, 64); }, "", true},
    };
    const std::string whole = answer(36, 0, bytes(16, 1)); // and that packet cut at every length
    for (size_t cut = 0; cut <= whole.size(); ++cut)
        cases.push_back({"receive", recv64, whole.substr(0, cut)});
    std::string transcript;
    for (const Case &k : cases) {
        int sv[2];
        ASSERT_EQ(socketpair(AF_UNIX, SOCK_STREAM, 0, sv), 0);
        send(sv[1], k.waiting.data(), k.waiting.size(), 0);
        shutdown(sv[1], k.gone ? SHUT_RDWR : SHUT_WR);
        // Which calls clear the packet buffer first shows beyond the header (its bytes vary by byte order).
        memset(buf, 'g', sizeof buf);
        RunResult c = run([&] { return k.call(sv[0]); });
        ssize_t unread = recv(sv[0], scratch, sizeof scratch, MSG_DONTWAIT); // -1: the socket was closed
        const size_t n = k.waiting.size();
        transcript += "== " + std::string(k.what) + (k.gone ? " to nobody" : "") + " with " + std::to_string(n) +
                      " bytes -> " + std::to_string(c.status) + ", " +
                      (unread > 0 && size_t(unread) == n ? "all" : std::to_string(unread)) + " unread, " +
                      std::to_string(std::count(buf + 20, buf + 64, 0)) + " of 44 bytes zero\n" + withoutFd(c.err);
        close(sv[0]), close(sv[1]);
    }
    EXPECT_EQ(transcript, golden("framing.txt"));
    EXPECT_TRUE(std::string(buf, 36) == whole);
}

TEST(IoctlRelay, ResultsAndReports)
{
    const std::string sent = bytes(1112, 2), back = bytes(1112, 3), zero(1112, 0), A = answer(21);
    const std::string B = pkt({20, HELPER_BUSY, 21, 0, 0}), R = pkt({20, HELPER_RETRY, 21, 0, 0});
    // conns: the helper's answers per connection (none: no helper); data: the caller's buffer after
    struct Case { const char *what; std::vector<Packets> conns; std::string data; uint32_t len = 1112;
                  bool noMemory = false; };
    const Case cases[] = {
        {"answered", {{A, answer(1132, 0, back), CLOSE_OK}}, back},
        {"ret_code 53", {{A, answer(1132, 53, back), CLOSE_OK}}, back},
        {"no payload", {{A, answer(20), CLOSE_OK}}, zero},
        {"helper leaves", {{A, ""}}, sent},
        {"no helper", {}, sent},
        {"no helper, length 0", {}, sent, 0},
        {"no memory", {}, sent, 1112, true},
        {"length 1", {{A, answer(21, 0, "y"), CLOSE_OK}}, "y" + sent.substr(1), 1}, // the smallest open buffer
        {"busy 6 times", {{B}, {B}, {B}, {B}, {B}, {B}}, sent},
        {"busy and retry", {{B}, {B}, {B}, {R}, {R}, {R}, {R}, {B}, {B}, {A, answer(1132, 0, back), CLOSE_OK}}, back},
        {"open answer too long", {{pkt({24, HELPER_RESPONSE, 21, 0, 0}, "long")}}, sent},
        {"open answer 20", {{answer(20)}}, sent},
        {"open answer 22", {{answer(22)}}, sent},
        {"open ret_code 7", {{answer(21, 7)}}, sent},
    };
    std::string transcript;
    const int stdinCopy = dup(0);
    for (const Case &k : cases) {
        SCOPED_TRACE(k.what);
        Peer p{k.conns};
        std::string data = sent;
        failAlloc = k.noMemory;
        pauses.clear();
        // Without standard input, so that the client's socket is descriptor 0.
        RunResult c = run([&] { close(0); return tamskioctl(27, &data[0], k.len); }, k.conns.empty() ? nullptr : &p);
        EXPECT_EQ(fcntl(0, F_GETFD), -1) << "socket left open";
        dup2(stdinCopy, 0);
        transcript += "== " + std::string(k.what) + " -> " + std::to_string(c.status) + " after " +
                      std::to_string(pauses.size()) + " pauses\n" + withoutFd(c.err);
        EXPECT_TRUE(data == k.data);
        EXPECT_EQ(pauses, std::vector<unsigned>(pauses.size(), 10));
        EXPECT_TRUE(&k != cases || p.got == Packets({pkt({21, HELPER_DEV_OPEN, 0, 0, 27}, std::string(1, 0)),
                    pkt({1132, HELPER_DEV_IOCTL, 1132, 0, 27}, sent), CLOSE_REQUEST})); // one whole exchange's bytes
    }
    EXPECT_EQ(transcript, golden("relay.txt"));
    close(stdinCopy);
}

TEST(DeviceStream, TransfersInChunksOf1024Bytes)
{
    const std::string data = bytes(3000, 5), open = answer(26, 0, "", 100);
    const auto chunk = [&](size_t at, size_t n) { return answer(1044, 0, data.substr(at, n)); };
    // write: tamskdevwr with input bytes to send, else tamskdevrd
    struct Case { const char *what; bool write; size_t input; Packets answers; bool noMemory = false; };
    const Case cases[] = {
        {"read 2500", false, 0, {open, chunk(0, 1024), chunk(1024, 1024), chunk(2048, 452), answer(20), CLOSE_OK}},
        {"read refused", false, 0, {open, chunk(0, 1024), answer(20, 5), CLOSE_OK}},
        {"write 1025", true, 1025, {open, answer(1024, 0, "", 101), answer(1, 0, "", 102), CLOSE_OK}},
        {"write 0", true, 0, {open, CLOSE_OK}},
        {"write refused", true, 3000, {open, answer(1024, 9, "", 101), CLOSE_OK}},
        {"read without memory", false, 0, {}, true},
        {"write without memory", true, 0, {}, true},
        {"read without helper", false, 0, {}},
    };
    std::string transcript;
    for (const Case &k : cases) {
        writeFile("/home/input", data.substr(0, k.input));
        ASSERT_TRUE(freopen("/home/input", "r", stdin));
        Peer p{{k.answers}};
        failAlloc = k.noMemory;
        // A read runs without standard input, so its socket is descriptor 0.
        RunResult c = run([&] { return k.write ? tamskdevwr("strm0") : (close(0), tamskdevrd("strm0")); },
                          k.answers.empty() ? nullptr : &p);
        size_t moved = k.write ? size_t(ftell(stdin)) : c.out.size();
        transcript += "== " + std::string(k.what) + " -> " + std::to_string(c.status) + ", " + std::to_string(moved) +
                      " bytes moved\n" + withoutFd(c.err);
        EXPECT_TRUE(c.out == (k.write ? "" : data.substr(0, moved)));
        EXPECT_TRUE(k.write || fcntl(0, F_GETFD) == -1) << "socket left open";
        EXPECT_TRUE(k.answers.empty() || p.got.back() == CLOSE_REQUEST) << "no close request";
        // A read request names the most the client takes; each write repeats the cmd word of the answer before.
        EXPECT_TRUE(&k != cases || p.got.at(1) == pkt({20, HELPER_DEV_READ, 1044, 0, 0}));
        EXPECT_TRUE(&k != cases + 2 ||
                    p.got == Packets({pkt({26, HELPER_DEV_OPEN, 0, 0, 0xFFFFFFFF}, std::string("strm0", 6)),
                                      pkt({1044, HELPER_DEV_WRITE, 1044, 0, 100}, data.substr(0, 1024)),
                                      pkt({21, HELPER_DEV_WRITE, 21, 0, 101}, data.substr(1024, 1)), CLOSE_REQUEST}));
    }
    EXPECT_EQ(transcript, golden("stream.txt"));
}
