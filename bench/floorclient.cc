// SPDX-FileCopyrightText: 2026 tamsk developers
// SPDX-License-Identifier: MIT
// The protocol's floor: K relay exchanges (connect, open, 1112-byte ioctl,
// close) with nothing else, in a static program, for comparison with a run
// of the query command that makes the same exchanges.
#include "osusrcomm.h"
#include "tamskpaths.h"

#include <cstdlib>
#include <cstring>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

namespace {

bool exchange(int s, const void *req, size_t reqLen, void *answer, size_t answerLen)
{
    return send(s, req, reqLen, MSG_NOSIGNAL) == ssize_t(reqLen) &&
           recv(s, answer, answerLen, MSG_WAITALL) == ssize_t(answerLen);
}

bool relayOnce(sockaddr_un *addr)
{
    static char pkt[20 + 1112];
    int s = socket(AF_UNIX, SOCK_STREAM, 0);
    bool ok = connect(s, reinterpret_cast<sockaddr *>(addr), sizeof *addr) == 0;
    HelperHdr open = {21, HELPER_DEV_OPEN, 0, 0, 27};
    memcpy(pkt, &open, 20);
    pkt[20] = 0;
    ok = ok && exchange(s, pkt, 21, pkt, 20);
    HelperHdr ioctl = {1132, HELPER_DEV_IOCTL, 1132, 0, 27};
    memset(pkt, 0, sizeof pkt);
    memcpy(pkt, &ioctl, 20);
    uint32_t block[2] = {1112, 146}; // a trace event
    memcpy(pkt + 20, block, sizeof block);
    ok = ok && exchange(s, pkt, 1132, pkt, 1132);
    HelperHdr close = {20, HELPER_DEV_CLOSE, 0, 0, 0};
    memcpy(pkt, &close, 20);
    ok = ok && exchange(s, pkt, 20, pkt, 20);
    ::close(s);
    return ok;
}

} // namespace

int main(int argc, char **argv)
{
    int count = argc > 1 ? atoi(argv[1]) : 1;
    sockaddr_un addr = tamsk::socketAddress();
    for (int i = 0; i < count; ++i)
        if (!relayOnce(&addr))
            return 1;
    return 0;
}
