// CtlReach: whether anything accepts TCP connections at some addresses,
// tried the way a client connects (a plain connect, closed again at once).
// Used on the main thread by prune; holds no state and no lock.
#pragma once

#include <string>
#include <vector>

struct CtlReachTarget {
    std::string address; // dotted IPv4
    unsigned int port = 0;
};

enum class CtlReachState {
    Answers,  // the connection was accepted
    Refused,  // the host said nothing listens there (ECONNREFUSED)
    NoAnswer, // no verdict within the time-out, or the host or network is unreachable
};

struct CtlReachResult {
    CtlReachState state = CtlReachState::NoAnswer;
    std::string reason; // for the operator: "connection refused", "no answer within 1 s" ...
};

// Tries every target at once (in batches that keep within the descriptor
// limit) and waits at most `seconds` per batch. One result per target, in order.
std::vector<CtlReachResult> CtlTryConnect(const std::vector<CtlReachTarget>& targets, double seconds);
