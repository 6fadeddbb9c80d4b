// Tests of the helper client: framing, device operations, the ioctl relay and
// the device stream transfer, each against a scripted helper in this process.
#include "osusrcomm.h"
#include "platform.h"
#include "tamskpaths.h"
#include "testutil.h"

#include <csignal>
#include <cstring>
#include <fcntl.h>
#include <functional>
#include <gtest/gtest.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/time.h>
#include <sys/un.h>
#include <thread>
#include <unistd.h>

// Seams linked instead of platform.o: pauses are recorded and cost nothing,
// allocation fails while failAlloc is set.
static std::vector<unsigned> pauses;
static bool failAlloc = false;
void quorHelperPause(unsigned seconds) { pauses.push_back(seconds); }
void *quorAllocPacket(size_t size) { return failAlloc ? nullptr : malloc(size); }

namespace {

const char OPEN_RC[] = "ERROR: Failed to recv Dev Open Response - rc = ";
const char CLOSE_RC[] = "ERROR: Failed to recv Dev Close Response - rc=";
const char READ_RC[] = "ERROR: Failed to recv Dev Read Response - rc=";
const char WRITE_RC[] = "ERROR: Failed to recv Dev Write Response - rc=";
const char IOCTL_RC[] = "ERROR: Failed to recv Dev IOCTL Response - rc=";
const std::string OPEN_FAILED = "Failed to open/connect to ZARUD socket - -1\n";
const std::string PEEK_CLOSED = "peek errno = 0, fd = {fd}\n";

std::string packet(int32_t len, uint32_t req, uint32_t xfer, int32_t ret, uint32_t cmd,
                   const std::string &payload = "")
{
    HelperHdr h = {len, req, xfer, ret, cmd};
    return std::string(reinterpret_cast<const char *>(&h), sizeof h) + payload;
}

// A HELPER_RESPONSE whose pktlen is its true length.
std::string answer(uint32_t xfer, int32_t ret = 0, const std::string &payload = "", uint32_t cmd = 0)
{
    return packet(int32_t(20 + payload.size()), HELPER_RESPONSE, xfer, ret, cmd, payload);
}

const std::string OPEN_NO_NAME = packet(21, HELPER_DEV_OPEN, 0, 0, 27, std::string(1, '\0'));
const std::string OPEN_STREAM = packet(26, HELPER_DEV_OPEN, 0, 0, 0xFFFFFFFF, std::string("strm0", 6));
const std::string CLOSE_REQUEST = packet(20, HELPER_DEV_CLOSE, 0, 0, 0);
const std::string CLOSE_OK = answer(20);

std::string bytes(size_t n, int seed)
{
    std::string s;
    for (size_t i = 0; i < n; ++i)
        s += char(i * 7 + i / 256 + size_t(seed));
    return s;
}

// The four-line report of a refused answer; "{fd}" stands for the socket.
std::string report(const char *line, int32_t r, uint32_t req, uint32_t xfer, int32_t ret)
{
    char text[256];
    snprintf(text, sizeof text, "%s%d\nERROR: hdr.helper_req: 0x%x, fd: {fd}\nERROR: hdr.xfercnt:   %d\n"
             "ERROR: hdr.ret_code:   %d\n", line, r, req, int32_t(xfer), ret);
    return text;
}

std::string withFd(std::string text, int fd)
{
    for (size_t at; (at = text.find("{fd}")) != std::string::npos;)
        text.replace(at, 4, std::to_string(fd));
    return text;
}

int lowestFreeFd()
{
    int fd = open("/dev/null", O_RDONLY);
    close(fd);
    return fd;
}

// ---- The scripted helper ----
enum Op { RECV, SEND, WAIT };
struct Step { Op op; std::string bytes = ""; int ms = 0; };

// One list of steps per accepted connection; a connection is closed when its
// steps run out or the client stops sending. Every packet received is kept.
struct Peer {
    std::vector<std::vector<Step>> script;
    std::vector<std::string> got = {};
    int accepted = 0;
};

bool recvPacket(int fd, std::string &pkt)
{
    char buf[4096];
    int32_t len = 0;
    if (recv(fd, buf, 20, MSG_WAITALL) != 20 || (memcpy(&len, buf, 4), len < 20) || len > int32_t(sizeof buf))
        return false;
    if (len > 20 && recv(fd, buf + 20, size_t(len - 20), MSG_WAITALL) != len - 20)
        return false;
    pkt.assign(buf, size_t(len));
    return true;
}

void serve(Peer *p, int listener)
{
    sigset_t all;
    sigfillset(&all);
    pthread_sigmask(SIG_BLOCK, &all, nullptr); // signals are meant for the client
    for (const std::vector<Step> &steps : p->script) {
        pollfd ready = {listener, POLLIN, 0};
        if (poll(&ready, 1, 3000) != 1)
            return; // the client stopped connecting early
        int conn = accept(listener, nullptr, nullptr);
        ++p->accepted;
        timeval limit = {3, 0};
        setsockopt(conn, SOL_SOCKET, SO_RCVTIMEO, &limit, sizeof limit);
        std::string pkt;
        for (size_t i = 0; i < steps.size() && (steps[i].op != RECV || recvPacket(conn, pkt)); ++i) {
            if (steps[i].op == RECV)
                p->got.push_back(pkt);
            else if (steps[i].op == SEND)
                send(conn, steps[i].bytes.data(), steps[i].bytes.size(), MSG_NOSIGNAL);
            else
                usleep(useconds_t(steps[i].ms) * 1000);
        }
        close(conn);
    }
}

struct Captured {
    int32_t rc = 0;
    std::string out, err; // what the call wrote to standard output and error
    int fd = -1;          // lowest free descriptor at the start: the client's socket
};

// Runs call with standard output and error going to temporary files, while
// the peer, when given, serves the helper socket.
Captured run(const std::function<int32_t()> &call, Peer *peer = nullptr)
{
    int listener = socket(AF_UNIX, SOCK_STREAM, 0);
    std::thread server;
    if (peer) {
        sockaddr_un addr = {};
        addr.sun_family = AF_UNIX;
        snprintf(addr.sun_path, sizeof addr.sun_path, "%s", TAMSK_HELPER_SOCKET);
        mkdir("/home/tamsk", 0755);
        EXPECT_EQ(bind(listener, reinterpret_cast<sockaddr *>(&addr), sizeof addr), 0);
        EXPECT_EQ(listen(listener, 16), 0);
        server = std::thread(serve, peer, listener);
    }
    fflush(stdout);
    FILE *files[2] = {tmpfile(), tmpfile()};
    int saved[2] = {dup(1), dup(2)};
    for (int i = 0; i < 2; ++i)
        dup2(fileno(files[i]), i + 1);
    Captured c;
    c.fd = lowestFreeFd();
    c.rc = call();
    fflush(stdout);
    std::string *text[2] = {&c.out, &c.err};
    for (int i = 0; i < 2; ++i) {
        dup2(saved[i], i + 1);
        close(saved[i]);
        rewind(files[i]);
        for (int ch; (ch = fgetc(files[i])) != EOF;)
            *text[i] += char(ch);
        fclose(files[i]);
    }
    if (peer) {
        server.join();
        unlink(TAMSK_HELPER_SOCKET);
    }
    close(listener);
    return c;
}

volatile sig_atomic_t interrupts = 0;
void countInterrupt(int) { ++interrupts; }

} // namespace

TEST(HelperFraming, CallsOnAConnectedSocket)
{
    char buf[1200] = {}, data[1112] = {}, scratch[64];
    const std::string long24 = packet(24, HELPER_RESPONSE, 24, 0, 0, "more");
    // waiting: already in the socket; unread: left there by the client; sent: by the client (-1 none)
    struct Case { std::function<int32_t(int)> call; std::string waiting; int32_t rc; std::string err;
                  ssize_t unread, sent; };
    const Case cases[] = {
        {[&](int fd) { return quorHelperWrite(fd, buf, 19); }, "", -1,
         "ERROR: Requested packet is too small - pktsz=19\n", -1, -1},
        {[&](int fd) { return quorHelperIoctl(fd, 27, buf, 1131, data, 1112); }, "", -1,
         "ERROR: Helper Pkt NOT big enough for intended IOCTL buffer - pktsz=1131 ipbuffsz=1112\n", -1, -1},
        // the receive limit is the request's length, not the buffer's size
        {[&](int fd) { return quorHelperIoctl(fd, 27, buf, 1200, data, 16); }, answer(40, 0, bytes(20, 8)), 0,
         report(IOCTL_RC, -4, 6, 40, 0), 40, 36},
        {[&](int fd) { return recvHelperPkt(fd, buf, 20); }, packet(0, 6, 20, 0, 0), 0, "", 20, -1},
        {[&](int fd) { return recvHelperPkt(fd, buf, 20); }, long24, -4, "", 24, -1},
        {[&](int fd) { return recvHelperPkt(fd, buf, 19); }, long24, -1, "", 24, -1},
        {[&](int fd) { return recvHelperPkt(fd, buf, 24); }, long24, 24, "", -1, -1},
    };
    for (size_t i = 0; i < std::size(cases); ++i) {
        SCOPED_TRACE(i);
        int sv[2];
        ASSERT_EQ(socketpair(AF_UNIX, SOCK_STREAM, 0, sv), 0);
        send(sv[1], cases[i].waiting.data(), cases[i].waiting.size(), 0);
        Captured c = run([&] { return cases[i].call(sv[0]); });
        EXPECT_EQ(c.rc, cases[i].rc);
        EXPECT_EQ(c.err, withFd(cases[i].err, sv[0]));
        EXPECT_EQ(recv(sv[0], scratch, sizeof scratch, MSG_DONTWAIT), cases[i].unread);
        EXPECT_EQ(recv(sv[1], scratch, sizeof scratch, MSG_DONTWAIT), cases[i].sent);
        close(sv[0]);
        close(sv[1]);
    }
}

TEST(HelperFraming, PacketCutAtEveryLength)
{
    const std::string whole = answer(36, 0, bytes(16, 1));
    for (size_t cut = 0; cut <= whole.size(); ++cut) {
        SCOPED_TRACE(cut);
        int sv[2];
        ASSERT_EQ(socketpair(AF_UNIX, SOCK_STREAM, 0, sv), 0);
        send(sv[1], whole.data(), cut, 0);
        shutdown(sv[1], SHUT_WR);
        char buf[64] = {};
        Captured c = run([&] { return recvHelperPkt(sv[0], buf, sizeof buf); });
        const bool complete = cut == whole.size();
        const std::string err = cut < 20 ? PEEK_CLOSED : complete ? "" : "recv2 errno = 0, fd = {fd}\n";
        EXPECT_EQ(c.err, withFd(err, sv[0]));
        EXPECT_EQ(c.rc, complete ? 36 : 0);
        EXPECT_EQ(std::string(buf, complete ? 36 : 0), complete ? whole : "");
        close(sv[0]);
        close(sv[1]);
    }
}

TEST(HelperOpen, RefusedAnswersAreReportedAndTheSocketClosed)
{
    struct Case { std::string answer, err; }; // answer "": the helper hangs up instead
    const Case cases[] = {
        {packet(24, HELPER_RESPONSE, 21, 0, 0, "long"), report(OPEN_RC, -4, 6, 21, 0)},
        {answer(20), report(OPEN_RC, 20, 6, 20, 0)},
        {answer(21, 7), report(OPEN_RC, 20, 6, 21, 7)},
        {packet(20, 7, 21, 0, 0), report(OPEN_RC, 20, 7, 21, 0)},
        {packet(0, HELPER_RESPONSE, 21, 0, 0), report(OPEN_RC, 0, 6, 21, 0)},
        {answer(21).substr(0, 12), PEEK_CLOSED + report(OPEN_RC, 0, 6, 21, 0)},
        {"", PEEK_CLOSED + report(OPEN_RC, 0, 1, 0, 0)},
    };
    for (size_t i = 0; i < std::size(cases); ++i) {
        SCOPED_TRACE(i);
        Peer p{{{{RECV}, {SEND, cases[i].answer}}}};
        char pkt[64];
        int left = -1;
        Captured c = run([&] {
            int32_t rc = quorHelperOpen(nullptr, 27, pkt, sizeof pkt);
            left = lowestFreeFd();
            return rc;
        }, &p);
        EXPECT_EQ(c.rc, -1);
        EXPECT_EQ(left, c.fd) << "socket left open";
        EXPECT_EQ(c.err, withFd(cases[i].err, c.fd));
        EXPECT_EQ(p.got, std::vector<std::string>{OPEN_NO_NAME});
    }
}

TEST(HelperOpen, BusyAndRetryAnswersThroughTheRelay)
{
    struct Case { const char *answers; int32_t rc; size_t pauses; }; // B busy, R retry, A accepted
    const Case cases[] = {
        {"BBBBBB", 6, 5}, {"BBBBBA", 0, 5}, {"BBBRRRRBBA", 0, 9}, {"RRRRRRRRBBBBBB", 6, 13}};
    for (const Case &k : cases) {
        SCOPED_TRACE(k.answers);
        Peer p;
        for (const char *a = k.answers; *a; ++a) {
            uint32_t code = *a == 'B' ? HELPER_BUSY : *a == 'R' ? HELPER_RETRY : HELPER_RESPONSE;
            p.script.push_back({{RECV}, {SEND, packet(20, code, 21, 0, 0)},
                                {RECV}, {SEND, answer(24, 0, "back")}, {RECV}, {SEND, CLOSE_OK}});
        }
        pauses.clear();
        char data[4] = {'s', 'e', 'n', 't'};
        Captured c = run([&] { return tamskioctl(27, data, sizeof data); }, &p);
        EXPECT_EQ(c.rc, k.rc);
        EXPECT_EQ(c.err, k.rc ? OPEN_FAILED : "");
        EXPECT_EQ(std::string(data, 4), k.rc ? "sent" : "back");
        EXPECT_EQ(p.accepted, int(strlen(k.answers)));
        EXPECT_EQ(pauses, std::vector<unsigned>(k.pauses, 10));
        for (size_t i = 0; i < strlen(k.answers); ++i)
            EXPECT_EQ(p.got.at(i), OPEN_NO_NAME);
    }
}

TEST(IoctlRelay, AnswersToTheIoctl)
{
    const std::string sent = bytes(1112, 2), back = bytes(1112, 3), zero(1112, '\0');
    const std::string badSize = "ioctlquor unexpected HelperIoctl response size - ";
    // answer "": the helper hangs up instead; data: the caller's buffer afterwards
    struct Case { std::string answer; int32_t rc; std::string err, data, closeAnswer = CLOSE_OK; };
    const Case cases[] = {
        {answer(1132, 0, back), 0, "", back},
        {answer(1132, 53, back), 53, report(IOCTL_RC, 1132, 6, 1132, 53), back},
        {answer(1132, -1, back), -1, report(IOCTL_RC, 1132, 6, 1132, -1), back},
        {answer(1132, 0, back), 0, report(CLOSE_RC, 20, 9, 20, 0), back, packet(20, HELPER_RETRY, 20, 0, 0)},
        {packet(1132, HELPER_RETRY, 1132, 0, 0, back), 0, report(IOCTL_RC, 1132, 9, 1132, 0), back},
        {answer(20), 32, badSize + "20\n", zero},
        {answer(120, 0, back.substr(0, 100)), 32, badSize + "120\n", back.substr(0, 100) + zero.substr(100)},
        // pktlen 12: twelve bytes are taken, the rest is read as the close answer
        {packet(12, HELPER_RESPONSE, 20, 0, 0).substr(0, 12) + CLOSE_OK, 32,
         report(IOCTL_RC, 12, 6, 20, 20) + badSize + "0\n", sent},
        {answer(1140, 0, bytes(1120, 4)), 32,
         report(IOCTL_RC, -8, 6, 1140, 0) + badSize + "0\n" + report(CLOSE_RC, -1120, 6, 1140, 0), sent},
        {"", 32, PEEK_CLOSED + report(IOCTL_RC, 0, 5, 1132, 0) + badSize +
                     "0\nsend: errno = 32, fd = {fd}\nFailed to send Dev Close - rc=-1, fd: {fd}\n", sent},
    };
    for (size_t i = 0; i < std::size(cases); ++i) {
        SCOPED_TRACE(i);
        const Case &k = cases[i];
        Peer p{{{{RECV}, {SEND, answer(21)}, {RECV}}}};
        std::vector<std::string> wire = {OPEN_NO_NAME, packet(1132, HELPER_DEV_IOCTL, 1132, 0, 27, sent)};
        if (!k.answer.empty()) {
            p.script[0].insert(p.script[0].end(), {{SEND, k.answer}, {RECV}, {SEND, k.closeAnswer}});
            wire.push_back(CLOSE_REQUEST);
        }
        std::string data = sent;
        Captured c = run([&] { return tamskioctl(27, &data[0], 1112); }, &p);
        EXPECT_EQ(c.rc, k.rc);
        EXPECT_EQ(c.err, withFd(k.err, c.fd));
        EXPECT_TRUE(data == k.data);
        EXPECT_TRUE(p.got == wire);
    }
}

TEST(IoctlRelay, CallsThatNeverReachTheHelper)
{
    const std::string longName(1024, 'n');
    char data[16] = "untouched data";
    struct Case { std::function<int32_t()> call; bool noMemory; int32_t rc; std::string err; };
    const auto relay = [&] { return tamskioctl(27, data, sizeof data); };
    const Case cases[] = {
        {relay, false, 6, "ERROR: Dev Open connect rc: -1, curSock: {fd}, errno: 2\n" + OPEN_FAILED},
        {relay, true, 12, "ioctlquor malloc failure\n"},
        {[&] { return tamskioctl(27, data, 0); }, false, 6, OPEN_FAILED},
        {[&] { return tamskdevrd(longName.c_str()); }, false, 6, OPEN_FAILED},
        {[&] { return tamskdevwr(longName.c_str()); }, false, 6, OPEN_FAILED},
        {[&] { return tamskdevrd("strm0"); }, true, 12, "tamskdevrd malloc failure\n"},
        {[&] { return tamskdevwr("strm0"); }, true, 12, "tamskdevwr malloc failure\n"},
    };
    for (size_t i = 0; i < std::size(cases); ++i) {
        SCOPED_TRACE(i);
        failAlloc = cases[i].noMemory;
        Captured c = run(cases[i].call);
        failAlloc = false;
        EXPECT_EQ(c.rc, cases[i].rc);
        EXPECT_EQ(c.err, withFd(cases[i].err, c.fd));
        EXPECT_STREQ(data, "untouched data");
    }
}

TEST(DeviceStream, ReadCopiesTheDeviceToStandardOutput)
{
    const std::string device = bytes(2500, 5), READ_REQUEST = packet(20, HELPER_DEV_READ, 1044, 0, 0);
    struct Case { std::vector<size_t> chunks; std::string last; int32_t rc; std::string err; };
    const Case cases[] = {
        {{1024, 1024, 452}, answer(20), 0, ""},
        {{}, answer(20), 0, ""},
        {{1024}, answer(20, 5), 32,
         report(READ_RC, 20, 6, 20, 5) + "Failed to read from ZARUD socket - -20 \n"},
    };
    for (size_t i = 0; i < std::size(cases); ++i) {
        SCOPED_TRACE(i);
        Peer p{{{{RECV}, {SEND, answer(26)}}}};
        std::vector<Step> &steps = p.script[0];
        size_t at = 0;
        for (size_t n : cases[i].chunks) {
            steps.insert(steps.end(), {{RECV}, {SEND, answer(uint32_t(20 + n), 0, device.substr(at, n))}});
            at += n;
        }
        steps.insert(steps.end(), {{RECV}, {SEND, cases[i].last}, {RECV}, {SEND, CLOSE_OK}});
        std::vector<std::string> wire(cases[i].chunks.size() + 3, READ_REQUEST);
        wire.front() = OPEN_STREAM;
        wire.back() = CLOSE_REQUEST;
        Captured c = run([&] { return tamskdevrd("strm0"); }, &p);
        EXPECT_EQ(c.rc, cases[i].rc);
        EXPECT_EQ(c.err, withFd(cases[i].err, c.fd));
        EXPECT_TRUE(c.out == device.substr(0, at)) << c.out.size() << " bytes out";
        EXPECT_EQ(p.got, wire);
    }
}

TEST(DeviceStream, WriteCopiesStandardInputToTheDevice)
{
    // requests: sizes of the write requests; firstRet: ret_code of the first answer
    struct Case {
        size_t input;
        std::vector<uint32_t> requests;
        int32_t firstRet, rc;
        std::string err;
        long read; // bytes of standard input taken
    };
    const Case cases[] = {
        {1024, {1044}, 0, 0, "", 1024},
        {1025, {1044, 21}, 0, 0, "", 1025},
        {3000, {1044}, 9, 32, report(WRITE_RC, 20, 6, 1024, 9) + "Failed to write the last 1024 bytes to "
                              "ZARUD socket - 0\nFailed to write to ZARUD socket - 0 \n", 1024},
        {0, {}, 0, 0, "", 0},
    };
    mkdir("/home/tamsk", 0755);
    for (size_t i = 0; i < std::size(cases); ++i) {
        SCOPED_TRACE(i);
        const Case &k = cases[i];
        const std::string input = bytes(k.input, 6);
        writeFile("/home/tamsk/input", input);
        ASSERT_TRUE(freopen("/home/tamsk/input", "r", stdin));
        // Each answer carries its own cmd word, which the next request repeats.
        Peer p{{{{RECV}, {SEND, answer(26, 0, "", 100)}}}};
        std::vector<std::string> wire = {OPEN_STREAM};
        for (uint32_t r = 0; r < k.requests.size(); ++r) {
            const uint32_t n = k.requests[r] - 20;
            const std::string reply = answer(n, r ? 0 : k.firstRet, "", 101 + r);
            p.script[0].insert(p.script[0].end(), {{RECV}, {SEND, reply}});
            wire.push_back(packet(int32_t(n + 20), HELPER_DEV_WRITE, n + 20, 0, 100 + r,
                                  input.substr(1024 * r, n)));
        }
        p.script[0].insert(p.script[0].end(), {{RECV}, {SEND, CLOSE_OK}});
        wire.push_back(CLOSE_REQUEST);
        long read = -1;
        Captured c = run([&] {
            int32_t rc = tamskdevwr("strm0");
            read = ftell(stdin);
            return rc;
        }, &p);
        EXPECT_EQ(c.rc, k.rc);
        EXPECT_EQ(c.err, withFd(k.err, c.fd));
        EXPECT_EQ(read, k.read);
        EXPECT_TRUE(p.got == wire);
    }
    EXPECT_TRUE(freopen("/dev/null", "r", stdin));
}

TEST(HelperRead, ReceiveInterruptedBySignalsCompletesThePacket)
{
    const std::string reply = answer(1020, 0, bytes(1000, 7));
    Peer p{{{{RECV}, {SEND, answer(21)}, {RECV}, {WAIT, "", 60}, {SEND, reply.substr(0, 300)},
             {WAIT, "", 60}, {SEND, reply.substr(300)}, {RECV}, {SEND, CLOSE_OK}}}};
    struct sigaction onAlarm = {}, old = {};
    onAlarm.sa_handler = countInterrupt; // no SA_RESTART: blocked calls fail with EINTR
    sigaction(SIGALRM, &onAlarm, &old);
    char pkt[TAMSK_STREAM_PKTSZ];
    std::string got;
    interrupts = 0;
    Captured c = run([&] {
        int32_t sock = quorHelperOpen(nullptr, 0, pkt, sizeof pkt);
        itimerval every5ms = {{0, 5000}, {0, 5000}}, off = {};
        setitimer(ITIMER_REAL, &every5ms, nullptr);
        int32_t rc = quorHelperRead(sock, pkt, sizeof pkt);
        setitimer(ITIMER_REAL, &off, nullptr);
        got.assign(pkt, 1020);
        quorHelperClose(sock, pkt, sizeof pkt);
        return rc;
    }, &p);
    sigaction(SIGALRM, &old, nullptr);
    EXPECT_GT(interrupts, 2);
    EXPECT_EQ(c.rc, 1020);
    EXPECT_TRUE(got == reply);
    EXPECT_EQ(c.err, "");
}
