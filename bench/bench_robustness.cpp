// What misbehaving or merely numerous peers cost a library server, measured
// in one run against one server process:
//  (1) memory: the server process's resident set (VmRSS) before and after
//      1,000 idle connections, each identified the moment it is up (the
//      client-id record the library's client sends, written right after
//      connect), per connection; with the server's descriptors and threads.
//  (2) a bystander's round trip: a record of 64 encoded bytes echoed by the
//      server's KesOnServerIO with KOSSSendToClient, median and 99th
//      percentile, first on a quiet server, then while another connection
//      floods the same server with records of 28 encoded bytes as fast as
//      the socket takes them (for at most 2 s or 2,000,000 records). Printed
//      side by side with their ratio, the flood's rate, how long the server
//      took to work off what it had taken in, and its peak resident set.
// Every wait is bounded, so the run ends within a minute also when the
// server keeps up badly. The clients speak the wire on plain sockets, so
// only the server's behaviour is measured. The parent process is the
// clients, the forked child the server (forked before any thread exists).
// Run inside scripts/netns-run: the program refuses to run where the
// network has any interface but loopback.
#include <arpa/inet.h>
#include <cerrno>
#include <dirent.h>
#include <ifaddrs.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "BenchRecords.h"
#include "BenchSupport.h"
#include "CKesObjSockServer.h"
#include "CKesRecord.h"
#include "CKesSockEnd.h"
#include "CKesSockEngine.h"
#include "KesPort.h"

namespace {

using benchsupport::Bytes;
using benchsupport::ClientIdFrame;
using benchsupport::Fail;
using benchsupport::FrameOf;
using benchsupport::Micros;
using benchsupport::ReadAll;
using benchsupport::RecordOfSize;
using benchsupport::SendAll;
using Clock = std::chrono::steady_clock;
constexpr int kIdleConnections = 1000;
constexpr int kConnectBatch = 50; // below the server's listen backlog of 100
constexpr unsigned kPingBytes = 64;
constexpr unsigned kFloodBytes = 28;
constexpr int kFloodMs = 2000;
constexpr long kFloodRecords = 2000000;
constexpr int kQuietMs = 1500;
constexpr int kQuietRounds = 5000;
constexpr int kDrainGuardMs = 15000; // the server works off the flood within this, or we stop waiting
constexpr int kGuardMs = 10000;      // any other step that takes longer has failed

int MillisSince(Clock::time_point start)
{
    return int(std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - start).count());
}

// Refuses to run unless the only network interface is loopback (a private
// namespace such as scripts/netns-run makes): engines send multicast, which
// must never leave the machine.
void RequirePrivateNetwork()
{
    ifaddrs* interfaces = nullptr;
    if (getifaddrs(&interfaces) != 0) Fail("cannot list the network interfaces");
    std::string others;
    for (ifaddrs* at = interfaces; at; at = at->ifa_next) {
        const std::string name = std::string(" ") + at->ifa_name + " ";
        if (strcmp(at->ifa_name, "lo") != 0 && (others + " ").find(name) == std::string::npos)
            others += name.substr(0, name.size() - 1);
    }
    freeifaddrs(interfaces);
    if (!others.empty() || !getenv("KSX_HOME")) {
        fprintf(stderr,
                "bench_robustness: REFUSING TO RUN outside a private network namespace (interfaces besides "
                "loopback:%s%s).\n  Run it as: scripts/netns-run build/release/bench/bench_robustness\n",
                others.empty() ? " none" : others.c_str(), getenv("KSX_HOME") ? "" : "; KSX_HOME is not set");
        exit(2);
    }
}

// Enough descriptors for every connection in both processes.
void RaiseDescriptorLimit()
{
    rlimit limit{};
    getrlimit(RLIMIT_NOFILE, &limit);
    const rlim_t wanted = 2 * kIdleConnections + 256;
    if (limit.rlim_cur < wanted) {
        limit.rlim_cur = std::min<rlim_t>(std::max<rlim_t>(wanted, limit.rlim_cur), limit.rlim_max);
        setrlimit(RLIMIT_NOFILE, &limit);
    }
    getrlimit(RLIMIT_NOFILE, &limit);
    if (limit.rlim_cur < wanted) Fail("the descriptor limit cannot be raised far enough");
}

// ---- the wire --------------------------------------------------------------------

// Waits up to timeoutMs for fd to become ready for events.
bool Ready(int fd, short events, int timeoutMs)
{
    pollfd p{fd, events, 0};
    return poll(&p, 1, std::max(timeoutMs, 0)) == 1;
}

// A connected, identified client socket (the server confirms it on its own
// time). Refused connections are retried: a server publishes its address
// just before it starts listening.
int Connect(const sockaddr_in& server, const std::string& id)
{
    const auto start = Clock::now();
    for (;;) {
        const int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        const int one = 1;
        if (fd < 0 || setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one) != 0)
            Fail("no client socket");
        if (connect(fd, reinterpret_cast<const sockaddr*>(&server), sizeof server) == 0) {
            const Bytes greeting = ClientIdFrame(id);
            if (!SendAll(fd, greeting.data(), greeting.size())) Fail("a client cannot identify itself");
            return fd;
        }
        close(fd);
        if (errno != ECONNREFUSED || MillisSince(start) > kGuardMs) Fail("a client cannot connect");
        usleep(5000);
    }
}

// ---- the server process --------------------------------------------------------------

// What the server process tells the client process when asked.
struct ServerCounts {
    long long identified; // connections that have identified themselves and are still up
    long long flooded;    // flood records taken by KesOnServerIO
};

class RobustServer : public CKesObjSockServer {
public:
    void KesOnServerIO(CKesSockEnd* client, CKesRecord* record) override
    {
        if (record->KRValueOf("Ping"))
            KOSSSendToClient(client->KSEGetEndPointName(), record);
        else
            ++m_Flooded;
        delete record;
    }
    void KOSSOnClientConnect(CKesSockEnd*) override { ++m_Identified; }
    void KOSSOnClientDisconnect(CKesSockEnd* client) override
    {
        if (client->KSEIsConnectionConfirmed()) --m_Identified;
    }
    ServerCounts Counts() const { return {m_Identified.load(), m_Flooded.load()}; }

private:
    std::atomic<long long> m_Identified{0};
    std::atomic<long long> m_Flooded{0};
};

// Serves until the client process closes the command pipe; answers each
// command byte with the server's counts.
[[noreturn]] void ServerProcess(int commands, int replies)
{
    auto* engine = new CKesSockEngine("bench-robust-server", __KES_SERV_DAEMON, 2);
    auto* server = new RobustServer;
    server->KOSSSetServiceName(strdup("Robust"));
    server->KOSSSetDomain(strdup("Lab"));
    if (engine->KSEAddServer(server) != 1 || server->KOSSInitialise() != 1) Fail("the server cannot start");
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = uint32_t(server->KOSSGetServerData()->KSEGetEndPtIpAddressLong());
    address.sin_port = htons(uint16_t(server->KOSSGetServerData()->KSEGetEndPtAddressPort()));
    if (write(replies, &address, sizeof address) != sizeof address)
        Fail("cannot announce the server's address");
    std::thread answerer([=] {
        char command;
        while (read(commands, &command, 1) == 1) {
            const ServerCounts counts = server->Counts();
            if (write(replies, &counts, sizeof counts) != sizeof counts) break;
        }
        engine->KRNStopNet();
    });
    engine->KRNStartNet();
    answerer.join();
    engine->KNSafeExit();
    delete engine;
    _exit(0);
}

// ---- the client process: looking at the server ----------------------------------------

struct Server {
    pid_t pid;
    int commands;
    int replies;
    sockaddr_in address;

    ServerCounts Counts() const
    {
        ServerCounts counts{};
        if (write(commands, "c", 1) != 1 || !Ready(replies, POLLIN, kGuardMs) ||
            read(replies, &counts, sizeof counts) != sizeof counts)
            Fail("the server process does not answer");
        return counts;
    }
    // Waits until as many connections are identified; false when they are not within the guard.
    bool WaitIdentified(long long wanted) const
    {
        const auto start = Clock::now();
        while (Counts().identified != wanted) {
            if (MillisSince(start) > kGuardMs) return false;
            usleep(2000);
        }
        return true;
    }
    // A field of /proc/<pid>/status as a number ("VmRSS" in KiB, "Threads").
    long Status(const char* field) const
    {
        std::ifstream status("/proc/" + std::to_string(pid) + "/status");
        const std::string wanted = std::string(field) + ":";
        for (std::string line; std::getline(status, line);) {
            if (line.compare(0, wanted.size(), wanted) == 0) return atol(line.c_str() + wanted.size());
        }
        return -1;
    }
    long Descriptors() const
    {
        DIR* dir = opendir(("/proc/" + std::to_string(pid) + "/fd").c_str());
        long count = 0;
        while (dir && readdir(dir)) ++count;
        if (dir) closedir(dir);
        return count - 2; // "." and ".."
    }
};

// ---- (1) idle identified connections ------------------------------------------------

void IdleConnections(const Server& server)
{
    const long rssBefore = server.Status("VmRSS"), fdsBefore = server.Descriptors(),
               threadsBefore = server.Status("Threads");
    const auto start = Clock::now();
    std::vector<int> idle;
    for (int i = 0; i < kIdleConnections; ++i) {
        char id[32];
        snprintf(id, sizeof id, "idle-%04d", i);
        idle.push_back(Connect(server.address, id));
        // Paced, so the listen backlog never overflows (a dropped SYN costs 1 s).
        if ((i + 1) % kConnectBatch == 0 && !server.WaitIdentified(1 + i + 1))
            Fail("the idle connections were not all identified");
    }
    const int connectMs = MillisSince(start);
    usleep(200000); // let the server settle
    const long rssAfter = server.Status("VmRSS"), fdsAfter = server.Descriptors(),
               threadsAfter = server.Status("Threads");

    printf("(1) %d idle connections, each identified at once (server: 2 workers)\n", kIdleConnections);
    printf("    %-26s %12s %12s %14s\n", "server process", "before", "after", "per connection");
    printf("    %-26s %8ld KiB %8ld KiB %10.1f KiB\n", "resident set (VmRSS)", rssBefore, rssAfter,
           double(rssAfter - rssBefore) / kIdleConnections);
    printf("    %-26s %12ld %12ld %14.2f\n", "open descriptors", fdsBefore, fdsAfter,
           double(fdsAfter - fdsBefore) / kIdleConnections);
    printf("    %-26s %12ld %12ld\n", "threads", threadsBefore, threadsAfter);
    printf("    all connected and identified in %d ms\n", connectMs);

    for (int fd : idle) close(fd);
    if (!server.WaitIdentified(1)) Fail("the idle connections did not all go");
}

// ---- (2) a bystander beside a flood --------------------------------------------------

struct Spread {
    size_t rounds;
    double median;
    double p99;
    double max;
};

Spread SpreadOf(std::vector<double> samples)
{
    if (samples.empty()) return {0, 0, 0, 0};
    std::sort(samples.begin(), samples.end());
    return {samples.size(), samples[samples.size() / 2], benchsupport::Percentile(samples, 99),
            samples.back()};
}

// Round trips on the bystander's connection while keepGoing() holds, each
// waiting at most until the deadline; returns the samples in microseconds and
// counts a round trip that got no answer by then.
std::vector<double> RoundTrips(int fd, int rounds, Clock::time_point deadline,
                               const std::atomic<bool>& keepGoing, int* unanswered)
{
    static const Bytes ping = FrameOf(*RecordOfSize("Ping", kPingBytes));
    Bytes back(ping.size());
    std::vector<double> samples;
    while (int(samples.size()) < rounds && keepGoing && Clock::now() < deadline) {
        const auto start = Clock::now();
        if (!SendAll(fd, ping.data(), ping.size())) Fail("the bystander's connection broke off");
        if (!ReadAll(fd, back.data(), back.size(), deadline)) {
            ++*unanswered;
            break;
        }
        samples.push_back(Micros(Clock::now() - start));
    }
    return samples;
}

// What the flooding connection did.
struct Flood {
    long records = 0; // whole records written
    int ms = 0;       // how long it wrote
};

// Writes framed flood records as fast as the socket takes them, until the
// time or the record bound is reached; never blocks past the time bound
// (beyond finishing a frame already begun, itself bounded).
Flood FloodFor(int fd)
{
    const Bytes one = FrameOf(*RecordOfSize("Load", kFloodBytes));
    Bytes batch;
    for (int i = 0; i < 2048; ++i) batch.insert(batch.end(), one.begin(), one.end());
    const long limit = kFloodRecords * long(one.size());
    long bytes = 0;
    const auto start = Clock::now();
    const auto deadline = start + std::chrono::milliseconds(kFloodMs);
    while (bytes < limit && Clock::now() < deadline) {
        const int left =
            int(std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count());
        if (!Ready(fd, POLLOUT, left)) continue;
        const size_t at = size_t(bytes % long(batch.size()));
        const size_t want = std::min(batch.size() - at, size_t(limit - bytes));
        const ssize_t sent = send(fd, batch.data() + at, want, MSG_NOSIGNAL | MSG_DONTWAIT);
        if (sent < 0 && (errno == EAGAIN || errno == EINTR)) continue;
        if (sent <= 0) break; // the server ended the connection
        bytes += sent;
    }
    // Finish a frame already begun, so the server sees whole records only.
    while (bytes % long(one.size()) != 0 && Ready(fd, POLLOUT, 1000)) {
        const size_t at = size_t(bytes % long(batch.size()));
        const ssize_t sent = send(fd, batch.data() + at, size_t(one.size() - bytes % long(one.size())),
                                  MSG_NOSIGNAL | MSG_DONTWAIT);
        if (sent <= 0 && errno != EAGAIN && errno != EINTR) break;
        bytes += std::max<ssize_t>(sent, 0);
    }
    return {bytes / long(one.size()), MillisSince(start)};
}

void Bystander(const Server& server, int bystander)
{
    std::atomic<bool> always{true};
    int unansweredQuiet = 0, unansweredFlood = 0;
    const Spread quiet =
        SpreadOf(RoundTrips(bystander, kQuietRounds, Clock::now() + std::chrono::milliseconds(kQuietMs),
                            always, &unansweredQuiet));

    const int flooder = Connect(server.address, "flooder");
    if (!server.WaitIdentified(2)) Fail("the flooding connection was not identified");
    const long rssBefore = server.Status("VmRSS");
    const long long floodedBefore = server.Counts().flooded;
    std::atomic<bool> flooding{true};
    std::atomic<long> peakRss{rssBefore};
    std::atomic<bool> sampling{true};
    std::thread sampler([&] {
        while (sampling) {
            peakRss = std::max(peakRss.load(), server.Status("VmRSS"));
            usleep(20000);
        }
    });
    Flood flood;
    std::thread floodThread([&] {
        flood = FloodFor(flooder);
        flooding = false;
    });
    const auto floodStart = Clock::now();
    const Spread busy =
        SpreadOf(RoundTrips(bystander, INT32_MAX, floodStart + std::chrono::milliseconds(kDrainGuardMs),
                            flooding, &unansweredFlood));
    floodThread.join();
    const long long takenDuringFlood = server.Counts().flooded - floodedBefore;

    // How long the server needs to work off what it took in.
    long long taken = takenDuringFlood;
    while (taken < flood.records && MillisSince(floodStart) < kDrainGuardMs) {
        usleep(10000);
        taken = server.Counts().flooded - floodedBefore;
    }
    const int drainedMs = MillisSince(floodStart);
    sampling = false;
    sampler.join();
    close(flooder);

    printf("(2) bystander round trip, %u-byte record echoed by KesOnServerIO / KOSSSendToClient\n",
           kPingBytes);
    printf("    %-30s %8s %11s %11s %11s %11s\n", "", "rounds", "median", "p99", "max", "unanswered");
    printf("    %-30s %8zu %8.1f us %8.1f us %8.1f us %11d\n", "quiet server", quiet.rounds, quiet.median,
           quiet.p99, quiet.max, unansweredQuiet);
    printf("    %-30s %8zu %8.1f us %8.1f us %8.1f us %11d\n", "while another client floods", busy.rounds,
           busy.median, busy.p99, busy.max, unansweredFlood);
    if (quiet.rounds && busy.rounds)
        printf("    ratio flood / quiet:  median %.1f   p99 %.1f\n", busy.median / quiet.median,
               busy.p99 / quiet.p99);
    printf("    flood: %ld records of %u bytes in %d ms (%.0f records/s, %.1f MB/s on the wire)\n",
           flood.records, kFloodBytes, flood.ms, flood.records * 1000.0 / std::max(flood.ms, 1),
           flood.records * (4.0 + kFloodBytes) / 1000.0 / std::max(flood.ms, 1));
    printf("    server: %lld of them through KesOnServerIO when the flood stopped; ", takenDuringFlood);
    if (taken >= flood.records)
        printf("all %d ms later\n", drainedMs - flood.ms);
    else
        printf("only %lld %d ms later (stopped waiting)\n", taken, drainedMs - flood.ms);
    printf("    server resident set: %ld KiB before the flood, peak %ld KiB (+%ld KiB)\n", rssBefore,
           peakRss.load(), peakRss.load() - rssBefore);
}

} // namespace

int main()
{
    RequirePrivateNetwork();
    RaiseDescriptorLimit();
    int commands[2], replies[2];
    if (pipe(commands) != 0 || pipe(replies) != 0) Fail("no pipes");
    const pid_t child = fork();
    if (child < 0) Fail("cannot fork the server process");
    if (child == 0) {
        close(commands[1]);
        close(replies[0]);
        ServerProcess(commands[0], replies[1]);
    }
    close(commands[0]);
    close(replies[1]);
    Server server{child, commands[1], replies[0], {}};
    if (!Ready(server.replies, POLLIN, kGuardMs) ||
        read(server.replies, &server.address, sizeof server.address) != sizeof server.address)
        Fail("the server process did not start");

    // The bystander connects first and warms the echo path, so the baseline
    // of (1) already holds everything one connection and its traffic need.
    const int bystander = Connect(server.address, "bystander");
    if (!server.WaitIdentified(1)) Fail("the bystander was not identified");
    std::atomic<bool> always{true};
    int unanswered = 0;
    RoundTrips(bystander, 200, Clock::now() + std::chrono::milliseconds(kGuardMs), always, &unanswered);

    printf("bench_robustness: one library server process, clients on plain sockets, loopback\n");
    IdleConnections(server);
    Bystander(server, bystander);

    close(bystander);
    close(server.commands); // the server stops
    int status = 0;
    waitpid(child, &status, 0);
    return 0;
}
