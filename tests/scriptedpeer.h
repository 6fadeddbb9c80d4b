// SPDX-FileCopyrightText: 2026 tamsk developers
// SPDX-License-Identifier: MIT
// The scripted helper of the client tests and the client fuzz target.
#ifndef SCRIPTEDPEER_H
#define SCRIPTEDPEER_H

#include <string>
#include <vector>

using Packets = std::vector<std::string>;

// Answers one connection and closes it: for each answer takes a packet (kept
// in got when given) and sends the answer, after pauseUs and again after its
// header when pauseUs is set; an empty answer closes the connection at once.
// After the last it ends its sending and takes what the client still sends
// until the client leaves, so no answer is lost to a reset. Each wait is
// bounded by 3 seconds.
void answerConnection(int conn, const Packets &answers, Packets *got, unsigned pauseUs);

#endif
