// The same two measurements as bench_round_trip, made with two well-known
// messaging libraries on loopback, so that our figures have peers measured
// on the same machine in the same run:
//  (a) round trip of a 64-byte message: ZeroMQ REQ/REP and NNG req/rep,
//      median and 99th percentile over 4000, after 200 to warm up;
//  (b) one-way stream of 200000 messages of 100 bytes: ZeroMQ PUSH/PULL
//      (which puts many messages into one write), from the first send to
//      the receiver's report that the last one arrived.
// The parent process sends, the forked child (forked before either library
// starts a thread) answers and receives. Built only when both libraries'
// development packages are installed (scripts/install-bench-peers.sh).
// Run inside scripts/netns-run: it listens on fixed loopback ports (scripts/bench.sh
// keeps them out of the namespace's ephemeral range).
// Lines starting with "@ " carry the figures for scripts/bench.sh.
#include <nng/nng.h>
#include <nng/protocol/reqrep0/rep.h>
#include <nng/protocol/reqrep0/req.h>
#include <poll.h>
#include <sys/wait.h>
#include <unistd.h>
#include <zmq.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <utility>
#include <vector>

#include "BenchSupport.h"

namespace {

using benchsupport::Fail;
using benchsupport::Micros;
using benchsupport::Spread;
using benchsupport::SpreadOf;
using Clock = std::chrono::steady_clock;
constexpr size_t kRoundTripBytes = 64;
constexpr size_t kStreamBytes = 100;
constexpr int kRoundTrips = 4000;
constexpr int kWarmUp = 200;
constexpr int kStreamRecords = 200000;
constexpr int kGuardMs = 120000;

const char* const kZmqReqRep = "tcp://127.0.0.1:47101";
const char* const kZmqPushPull = "tcp://127.0.0.1:47102";
const char* const kNngReqRep = "tcp://127.0.0.1:47103";

// ---- the answering process -----------------------------------------------------

// The fixed ports of the previous repetition may still be held for a moment
// while its connections close: a bind is tried for up to 2 s.
template <typename Bind>
bool BindRetrying(Bind bind)
{
    for (int attempt = 0; attempt < 100; ++attempt) {
        if (bind() == 0) return true;
        usleep(20000);
    }
    return false;
}

void ZmqEcho(void* context)
{
    void* rep = zmq_socket(context, ZMQ_REP);
    if (!BindRetrying([rep] { return zmq_bind(rep, kZmqReqRep); })) Fail("ZeroMQ REP cannot bind");
    char buffer[256];
    for (int i = 0; i < kWarmUp + kRoundTrips; ++i) {
        const int got = zmq_recv(rep, buffer, sizeof buffer, 0);
        if (got < 0 || zmq_send(rep, buffer, static_cast<size_t>(got), 0) < 0) Fail("ZeroMQ REP broke off");
    }
    zmq_close(rep);
}

void ZmqSink(void* context, int done)
{
    void* pull = zmq_socket(context, ZMQ_PULL);
    if (!BindRetrying([pull] { return zmq_bind(pull, kZmqPushPull); })) Fail("ZeroMQ PULL cannot bind");
    if (write(done, "R", 1) != 1) Fail("cannot report readiness");
    char buffer[256];
    for (int i = 0; i < kStreamRecords; ++i)
        if (zmq_recv(pull, buffer, sizeof buffer, 0) < 0) Fail("ZeroMQ PULL broke off");
    if (write(done, "P", 1) != 1) Fail("cannot report the end of the stream");
    zmq_close(pull);
}

void NngEcho()
{
    nng_socket rep;
    if (nng_rep0_open(&rep) != 0 || !BindRetrying([rep] { return nng_listen(rep, kNngReqRep, nullptr, 0); }))
        Fail("NNG rep cannot listen");
    for (int i = 0; i < kWarmUp + kRoundTrips; ++i) {
        nng_msg* message = nullptr;
        if (nng_recvmsg(rep, &message, 0) != 0 || nng_sendmsg(rep, message, 0) != 0)
            Fail("NNG rep broke off");
    }
    nng_close(rep);
}

[[noreturn]] void Answerer(int done)
{
    void* context = zmq_ctx_new();
    if (write(done, "R", 1) != 1) Fail("cannot report readiness"); // REP binds before the first reply is due
    ZmqEcho(context);
    ZmqSink(context, done);
    zmq_ctx_term(context);
    if (write(done, "N", 1) != 1) Fail("cannot report readiness");
    NngEcho();
    _exit(0);
}

// ---- the sending process -------------------------------------------------------

void WaitByte(int fd, char expected)
{
    char byte = 0;
    if (!benchsupport::WaitByte(fd, &byte, kGuardMs) || byte != expected) Fail("the answerer is gone");
}

Spread RoundTrips(const std::function<void()>& once)
{
    std::vector<double> samples;
    for (int i = 0; i < kWarmUp + kRoundTrips; ++i) {
        const auto start = Clock::now();
        once();
        if (i >= kWarmUp) samples.push_back(Micros(Clock::now() - start));
    }
    return SpreadOf(std::move(samples));
}

void Print(const char* label, const char* key, Spread spread)
{
    printf("    %-24s median %6.1f us   p99 %6.1f us\n", label, spread.median, spread.p99);
    printf("@ %s_p50 %.1f\n@ %s_p99 %.1f\n", key, spread.median, key, spread.p99);
}

void ZmqRoundTrips(void* context)
{
    void* req = zmq_socket(context, ZMQ_REQ);
    if (zmq_connect(req, kZmqReqRep) != 0) Fail("ZeroMQ REQ cannot connect");
    char message[kRoundTripBytes];
    memset(message, 'x', sizeof message);
    char back[256];
    Print("ZeroMQ REQ/REP", "zmq_rt", RoundTrips([&] {
              if (zmq_send(req, message, sizeof message, 0) < 0 || zmq_recv(req, back, sizeof back, 0) < 0)
                  Fail("ZeroMQ REQ broke off");
          }));
    zmq_close(req);
}

void ZmqStream(void* context, int done)
{
    void* push = zmq_socket(context, ZMQ_PUSH);
    if (zmq_connect(push, kZmqPushPull) != 0) Fail("ZeroMQ PUSH cannot connect");
    char message[kStreamBytes];
    memset(message, 'x', sizeof message);
    WaitByte(done, 'R');
    const auto start = Clock::now();
    for (int i = 0; i < kStreamRecords; ++i)
        if (zmq_send(push, message, sizeof message, 0) < 0) Fail("ZeroMQ PUSH broke off");
    WaitByte(done, 'P');
    const double seconds = std::chrono::duration<double>(Clock::now() - start).count();
    printf("    ZeroMQ PUSH/PULL         %9.0f records/s\n", kStreamRecords / seconds);
    printf("@ zmq_stream %.0f\n", kStreamRecords / seconds);
    zmq_close(push);
}

void NngRoundTrips()
{
    nng_socket req;
    if (nng_req0_open(&req) != 0 || nng_dial(req, kNngReqRep, nullptr, NNG_FLAG_NONBLOCK) != 0)
        Fail("NNG req cannot dial");
    char message[kRoundTripBytes];
    memset(message, 'x', sizeof message);
    Print("NNG req/rep", "nng_rt", RoundTrips([&] {
              char* back = nullptr;
              size_t length = 0;
              if (nng_send(req, message, sizeof message, 0) != 0 ||
                  nng_recv(req, &back, &length, NNG_FLAG_ALLOC) != 0)
                  Fail("NNG req broke off");
              nng_free(back, length);
          }));
    nng_close(req);
}

} // namespace

int main()
{
    int done[2];
    if (pipe(done) != 0) Fail("no pipe");
    const pid_t child = fork();
    if (child == 0) {
        close(done[0]);
        Answerer(done[1]);
    }
    close(done[1]);
    printf("peers: round trip of %zu bytes (%d each) and one-way stream of %d x %zu bytes, two processes:\n",
           kRoundTripBytes, kRoundTrips, kStreamRecords, kStreamBytes);
    WaitByte(done[0], 'R');
    void* context = zmq_ctx_new();
    ZmqRoundTrips(context);
    ZmqStream(context, done[0]);
    zmq_ctx_term(context);
    WaitByte(done[0], 'N');
    NngRoundTrips();
    int status = 0;
    waitpid(child, &status, 0);
    return WIFEXITED(status) && WEXITSTATUS(status) == 0 ? 0 : 1;
}
