// SPDX-FileCopyrightText: 2026 tamsk developers
// SPDX-License-Identifier: MIT
#include "scriptedpeer.h"

#include <algorithm>
#include <sys/socket.h>
#include <sys/time.h>
#include <unistd.h>

void answerConnection(int conn, const Packets &answers, Packets *got, unsigned pauseUs)
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
        const size_t part = std::min<size_t>(a.size(), pauseUs ? 20 : a.size()); // the header, then the payload
        usleep(pauseUs);
        send(conn, a.data(), part, MSG_NOSIGNAL);
        usleep(pauseUs);
        send(conn, a.data() + part, a.size() - part, MSG_NOSIGNAL);
    }
    shutdown(conn, SHUT_WR);
    while (recv(conn, buf, sizeof buf, 0) > 0) {
    }
    close(conn);
}
