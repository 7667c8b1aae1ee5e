// One server and 1,000 identified clients in two processes:
//  - the time for all of them to connect and be identified (from the first
//    connect to the server's KOSSOnClientConnect for the last one);
//  - a broadcast of a record of 100 encoded bytes to all of them, 100 times:
//    from the call of KOSSBroadcastClients to the arrival of the last copy,
//    median and 99th percentile;
//  - the server process's resident memory per connection (after all were
//    identified and had a broadcast, less before the first connect).
// The clients are wire clients in a child process forked before any thread
// exists: each connects and sends its client-id record framed exactly as the
// library's client does, and one thread reads every socket through epoll,
// noting when the last client has the broadcast. Both processes raise their
// descriptor limit. Run inside scripts/netns-run: it opens sockets and
// starts an engine. Lines starting with "@ " carry the figures for
// scripts/bench.sh.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/epoll.h>
#include <sys/mman.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <mutex>
#include <new>
#include <string>
#include <thread>
#include <vector>

#include "BenchSupport.h"
#include "CKesAtom.h"
#include "CKesObjSockServer.h"
#include "CKesRecHdr.h"
#include "CKesRecord.h"
#include "CKesSockEnd.h"
#include "CKesSockEngine.h"

namespace {

using benchsupport::ConnectTo;
using benchsupport::Fail;
using benchsupport::LoopbackAddress;
using benchsupport::WaitByte;
using Clock = std::chrono::steady_clock;
constexpr int kClients = 1000;
constexpr int kBroadcasts = 100;
constexpr unsigned kRecordBytes = 100;
constexpr int kUnaccepted = 64; // connects ahead of the server's identifications (its listen backlog is 100)
constexpr int kGuardMs = 120000;

// Shared by both processes (an anonymous shared mapping made before fork).
struct Shared {
    std::atomic<int> identified{0}; // the server's count of KOSSOnClientConnect
    std::atomic<long long> firstConnectNs{0};
    std::atomic<long long> lastDeliveryNs{0}; // of the broadcast being measured
};
Shared* g_Shared = nullptr;

long long NowNs()
{
    return std::chrono::duration_cast<std::chrono::nanoseconds>(Clock::now().time_since_epoch()).count();
}

void RaiseDescriptorLimit()
{
    rlimit limit{};
    getrlimit(RLIMIT_NOFILE, &limit);
    if (limit.rlim_max != RLIM_INFINITY && limit.rlim_max < kClients + 100)
        Fail("the descriptor hard limit is too low");
    limit.rlim_cur = limit.rlim_max;
    if (setrlimit(RLIMIT_NOFILE, &limit) != 0) Fail("cannot raise the descriptor limit");
}

// ---- the clients' process ------------------------------------------------------

std::vector<unsigned char> GreetingFrame(int client)
{
    CKesRecord greeting;
    const std::string id = "bench-client-" + std::to_string(client);
    greeting.KRAddValue(CKesSockEnd::ms_ClientIdField, id.c_str());
    CKesRecHdr frame;
    if (frame.KRHFrameRecord(greeting) != 1) Fail("cannot frame a greeting");
    return {frame.KRHGetData(), frame.KRHGetData() + frame.KRHGetTotalLen()};
}

int Connect(const sockaddr_in& server, int client)
{
    const int fd = ConnectTo(server, false);
    if (fd < 0) Fail("a client cannot connect");
    const std::vector<unsigned char> greeting = GreetingFrame(client);
    if (send(fd, greeting.data(), greeting.size(), MSG_NOSIGNAL) != static_cast<ssize_t>(greeting.size()))
        Fail("a client cannot greet");
    return fd;
}

// One client's unread bytes and the sequence number of its last broadcast.
struct WireClient {
    int fd = -1;
    std::vector<unsigned char> pending;
    long long last = -1;
};

// Takes the whole frames out of the client's bytes; true when one of them
// was the broadcast numbered `wanted`.
bool TakeFrames(WireClient& client, long long wanted)
{
    bool got = false;
    size_t at = 0;
    while (client.pending.size() - at >= 4) {
        uint32_t length;
        memcpy(&length, client.pending.data() + at, 4);
        length = ntohl(length);
        if (client.pending.size() - at - 4 < length) break;
        CKesRecord record;
        if (record.KOMDecode(client.pending.data() + at + 4, length) == 1) {
            CKesAtom* seq = record.KRValueOf("Seq");
            if (seq && seq->KAType() == KES_DT_STRING && seq->KAString())
                client.last = atoll(seq->KAString());
            got = got || client.last == wanted;
        }
        at += 4 + length;
    }
    client.pending.erase(client.pending.begin(), client.pending.begin() + static_cast<long>(at));
    return got;
}

[[noreturn]] void ClientsProcess(int commands, int reports)
{
    uint16_t port = 0;
    pollfd p{commands, POLLIN, 0};
    if (poll(&p, 1, kGuardMs) != 1 || read(commands, &port, sizeof port) != sizeof port)
        Fail("no server port");
    const sockaddr_in server = LoopbackAddress(port);

    std::vector<WireClient> clients(kClients);
    g_Shared->firstConnectNs = NowNs();
    for (int i = 0; i < kClients; ++i) {
        // Stay within the server's listen backlog, as clients that start
        // over a few seconds would.
        while (i - g_Shared->identified.load() >= kUnaccepted) usleep(100);
        clients[i].fd = Connect(server, i);
    }
    const int poller = epoll_create1(EPOLL_CLOEXEC);
    for (int i = 0; i < kClients; ++i) {
        epoll_event event{};
        event.events = EPOLLIN;
        event.data.u32 = static_cast<uint32_t>(i);
        epoll_ctl(poller, EPOLL_CTL_ADD, clients[i].fd, &event);
    }
    if (write(reports, "C", 1) != 1) Fail("cannot report the connects");

    std::vector<epoll_event> events(256);
    unsigned char buffer[4096];
    for (long long wanted = 0; wanted < kBroadcasts; ++wanted) {
        int missing = kClients;
        for (WireClient& client : clients) missing -= client.last >= wanted;
        while (missing > 0) {
            const int n = epoll_wait(poller, events.data(), static_cast<int>(events.size()), kGuardMs);
            if (n <= 0) Fail("the broadcast did not reach every client");
            for (int e = 0; e < n; ++e) {
                WireClient& client = clients[events[e].data.u32];
                const ssize_t got = recv(client.fd, buffer, sizeof buffer, MSG_DONTWAIT);
                if (got == 0) Fail("the server closed a client's connection");
                if (got < 0) continue;
                const bool before = client.last >= wanted;
                client.pending.insert(client.pending.end(), buffer, buffer + got);
                if (TakeFrames(client, wanted) && !before) --missing;
            }
        }
        g_Shared->lastDeliveryNs = NowNs();
        if (write(reports, "D", 1) != 1) Fail("cannot report a delivery");
    }
    char byte;
    WaitByte(commands, &byte, kGuardMs); // the server is done: close everything
    _exit(0);
}

// ---- the server's process --------------------------------------------------------

class CountingServer : public CKesObjSockServer {
public:
    void KOSSOnClientConnect(CKesSockEnd*) override
    {
        if (g_Shared->identified.fetch_add(1) + 1 == kClients) m_AllNs = NowNs();
    }
    long long AllIdentifiedNs() const { return m_AllNs.load(); }

private:
    std::atomic<long long> m_AllNs{0};
};

long ResidentKiB()
{
    long pages = 0, resident = 0;
    FILE* statm = fopen("/proc/self/statm", "r");
    if (statm == nullptr || fscanf(statm, "%ld %ld", &pages, &resident) != 2)
        Fail("cannot read /proc/self/statm");
    fclose(statm);
    return resident * (sysconf(_SC_PAGESIZE) / 1024);
}

CKesRecord* Broadcast(long long seq)
{
    // A filler makes the encoding exactly kRecordBytes long.
    for (unsigned filler = 0; filler < kRecordBytes; ++filler) {
        auto* record = new CKesRecord;
        record->KRAddValue("Seq", std::to_string(seq).c_str());
        record->KRAddValue("Fill", std::string(filler, 'x').c_str());
        unsigned char* encoded = nullptr;
        unsigned int length = 0;
        record->KOMEncode(&encoded, &length);
        free(encoded);
        if (length == kRecordBytes) return record;
        delete record;
    }
    Fail("no broadcast record of the size wanted");
}

int ServerProcess(int commands, int reports, pid_t child)
{
    auto* engine = new CKesSockEngine("bench-clients", __KES_SERV_DAEMON, 2);
    auto* server = new CountingServer;
    server->KOSSSetServiceName(strdup("Fleet"));
    server->KOSSSetDomain(strdup("Lab"));
    if (engine->KSEAddServer(server) != 1 || server->KOSSInitialise() != 1) Fail("the server cannot start");
    std::thread loop([engine] { engine->KRNStartNet(); });
    usleep(200000); // let the engine and the accept thread settle before the baseline
    const long before = ResidentKiB();
    // The server listens on the namespace's only address, loopback.
    const uint16_t port = static_cast<uint16_t>(server->KOSSGetServerData()->KSEGetEndPtAddressPort());
    if (write(commands, &port, sizeof port) != sizeof port) Fail("cannot announce the port");

    char byte;
    if (!WaitByte(reports, &byte, kGuardMs) || byte != 'C') Fail("the clients did not connect");
    const auto guard = Clock::now() + std::chrono::milliseconds(kGuardMs);
    while (server->AllIdentifiedNs() == 0 && Clock::now() < guard) usleep(1000);
    if (server->AllIdentifiedNs() == 0) Fail("not every client was identified");
    const double connectMs = (server->AllIdentifiedNs() - g_Shared->firstConnectNs) / 1e6;

    std::vector<double> lastMs;
    for (long long seq = 0; seq < kBroadcasts; ++seq) {
        std::unique_ptr<CKesRecord> record(Broadcast(seq));
        usleep(2000); // the broadcasts do not overlap
        const long long start = NowNs();
        if (server->KOSSBroadcastClients(record.get()) != 1) Fail("a broadcast failed");
        if (!WaitByte(reports, &byte, kGuardMs) || byte != 'D') Fail("a broadcast was not delivered");
        lastMs.push_back((g_Shared->lastDeliveryNs - start) / 1e6);
    }
    const long after = ResidentKiB();
    const benchsupport::Spread last = benchsupport::SpreadOf(lastMs);
    const double p50 = last.median, p99 = last.p99;
    const double perConnection = static_cast<double>(after - before) / kClients;

    printf("%d clients, one server, two processes:\n", kClients);
    printf("    connect and identify all:        %8.1f ms\n", connectMs);
    printf("    broadcast of %u bytes, last delivery over %d: median %.2f ms   p99 %.2f ms   (target p99 at "
           "most 20)\n",
           kRecordBytes, kBroadcasts, p50, p99);
    printf("    server RSS per connection:       %8.1f KiB   (target at most 64)\n", perConnection);
    printf("@ clients_connect_ms %.1f\n@ clients_last_p50_ms %.2f\n@ clients_last_p99_ms %.2f\n@ "
           "clients_rss_kib %.1f\n",
           connectMs, p50, p99, perConnection);
    fflush(stdout);

    close(commands); // the clients close their sockets and end
    waitpid(child, nullptr, 0);
    engine->KRNStopNet();
    loop.join();
    engine->KNSafeExit();
    delete engine;
    return 0;
}

} // namespace

int main()
{
    RaiseDescriptorLimit();
    void* shared = mmap(nullptr, sizeof(Shared), PROT_READ | PROT_WRITE, MAP_SHARED | MAP_ANONYMOUS, -1, 0);
    if (shared == MAP_FAILED) Fail("no shared memory");
    g_Shared = new (shared) Shared;
    int commands[2], reports[2];
    if (pipe(commands) != 0 || pipe(reports) != 0) Fail("no pipes");
    const pid_t child = fork();
    if (child == 0) {
        close(commands[1]);
        close(reports[0]);
        ClientsProcess(commands[0], reports[1]);
    }
    close(commands[0]);
    close(reports[1]);
    return ServerProcess(commands[1], reports[0], child);
}
