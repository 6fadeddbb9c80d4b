// The scripted helper of the client tests and the client fuzz target.
#ifndef SCRIPTEDPEER_H
#define SCRIPTEDPEER_H

#include <string>
#include <sys/socket.h>
#include <sys/time.h>
#include <unistd.h>
#include <vector>

using Packets = std::vector<std::string>;

// Answers one connection and closes it: for each answer takes a packet (kept in got when given) and
// sends the answer, its header and payload each after pauseUs; an empty answer closes at once. Then
// it ends its sending and takes what the client still sends, so no answer is lost to a reset. Each
// wait is bounded by 3 seconds.
inline void answerConnection(int conn, const Packets &answers, Packets *got, unsigned pauseUs)
{
    const timeval limit = {3, 0};
    setsockopt(conn, SOL_SOCKET, SO_RCVTIMEO, &limit, sizeof limit);
    static thread_local char buf[65536];
    for (const std::string &a : answers) {
        ssize_t n = recv(conn, buf, sizeof buf, 0);
        if (n <= 0)
            break;
        if (got)
            got->emplace_back(buf, size_t(n));
        if (a.empty())
            return (void)close(conn); // the helper leaves
        const size_t part = pauseUs && a.size() > 20 ? 20 : a.size(); // the header, then the payload
        usleep(pauseUs);
        send(conn, a.data(), part, MSG_NOSIGNAL);
        usleep(pauseUs);
        send(conn, a.data() + part, a.size() - part, MSG_NOSIGNAL);
    }
    shutdown(conn, SHUT_WR);
    while (recv(conn, buf, sizeof buf, 0) > 0) {}
    close(conn);
}

#endif
