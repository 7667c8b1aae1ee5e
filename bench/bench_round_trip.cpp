// Round trip and one-way throughput of records between a client and a
// server in two processes, against plain framed TCP between the same two
// processes, measured in the same run:
//  (a) round trip of a record of 64 encoded bytes: from the client's
//      KOSCSendToServer to the arrival of the answer in its KesOnClientIO,
//      the answer being sent back by the server's KesOnServerIO with
//      KOSSSendToClient; plain TCP: a blocking send of the 68-byte frame and
//      a blocking read of the echoed frame, echoed by a thread of the server
//      process. Median and 99th percentile, and what one round trip costs
//      the client process: CPU time and voluntary context switches.
//  (b) one-way throughput of records of 100 encoded bytes sent one by one
//      with KOSCSendToServer and counted in the server's KesOnServerIO;
//      plain TCP: one send per 104-byte frame, read and split into frames by
//      a thread of the server process.
// The parent process is the client, the forked child the server (forked
// before any thread exists). Run inside scripts/netns-run: it opens sockets
// and starts engines. An argument "a" or "b" runs only that measurement
// (to count its system calls, e.g. under strace -f -c).
#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <signal.h>
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
#include <string>
#include <thread>
#include <vector>

#include "CKesObjSockClient.h"
#include "CKesObjSockServer.h"
#include "CKesRecord.h"
#include "CKesSockEnd.h"
#include "CKesSockEngine.h"
#include "KesPort.h"

namespace {

using Clock = std::chrono::steady_clock;
constexpr unsigned kRoundTripBytes = 64;
constexpr unsigned kStreamBytes = 100;
constexpr int kRoundTrips = 4000;    // per side, in kBlocks alternating blocks
constexpr int kBlocks = 4;
constexpr int kStreamRecords = 200000;
constexpr int kGuardMs = 120000;     // a step that takes longer has failed

// ---- helpers -----------------------------------------------------------------

// A record with one text value under name whose encoding is exactly bytes long.
CKesRecord* RecordOfSize(const char* name, unsigned bytes)
{
    for (unsigned filler = 0; filler < bytes; ++filler) {
        auto* record = new CKesRecord;
        record->KRAddValue(name, std::string(filler, 'x').c_str());
        unsigned char* encoded = nullptr;
        unsigned int length = 0;
        record->KOMEncode(&encoded, &length);
        free(encoded);
        if (length == bytes)
            return record;
        delete record;
    }
    fprintf(stderr, "no record of %u encoded bytes\n", bytes);
    exit(1);
}

bool SendAll(int fd, const unsigned char* data, size_t length)
{
    while (length > 0) {
        const ssize_t sent = send(fd, data, length, MSG_NOSIGNAL);
        if (sent <= 0)
            return false;
        data += sent;
        length -= size_t(sent);
    }
    return true;
}

bool ReadAll(int fd, unsigned char* into, size_t length)
{
    while (length > 0) {
        const ssize_t got = recv(fd, into, length, 0);
        if (got <= 0)
            return false;
        into += got;
        length -= size_t(got);
    }
    return true;
}

std::vector<unsigned char> Frame(unsigned payload)
{
    std::vector<unsigned char> frame(4 + payload, 'x');
    const uint32_t header = htonl(payload);
    memcpy(frame.data(), &header, 4);
    return frame;
}

// Waits up to the guard for one byte on fd; false when none came.
bool WaitByte(int fd, char* byte)
{
    pollfd p{fd, POLLIN, 0};
    return poll(&p, 1, kGuardMs) == 1 && read(fd, byte, 1) == 1;
}

void Fail(const char* what)
{
    fprintf(stderr, "bench_round_trip: %s\n", what);
    exit(1);
}

// ---- the server process ----------------------------------------------------------

int g_Done = -1;  // the server process's end of the pipe that reports to the client process

class BenchServer : public CKesObjSockServer {
public:
    void KesOnServerIO(CKesSockEnd* client, CKesRecord* record) override
    {
        if (record->KRValueOf("Ping"))
            KOSSSendToClient(client->KSEGetEndPointName(), record);
        else if (++m_Loaded == kStreamRecords && write(g_Done, "L", 1) != 1)
            Fail("cannot report the end of the stream");
        delete record;
    }

private:
    std::atomic<int> m_Loaded{0};
};

// Plain framed TCP, one connection at a time: the first byte says echo
// ('E': every frame goes back as it came) or sink ('S': frames are counted
// and the end of the stream reported).
void PlainEcho(int fd)
{
    std::vector<unsigned char> frame(4 + kRoundTripBytes);
    while (ReadAll(fd, frame.data(), 4)) {
        uint32_t length;
        memcpy(&length, frame.data(), 4);
        length = ntohl(length);
        frame.resize(4 + length);
        if (!ReadAll(fd, frame.data() + 4, length) || !SendAll(fd, frame.data(), frame.size()))
            return;
    }
}

void PlainSink(int fd)
{
    std::vector<unsigned char> buffer(1 << 16);
    size_t held = 0;
    int frames = 0;
    for (;;) {
        const ssize_t got = recv(fd, buffer.data() + held, buffer.size() - held, 0);
        if (got <= 0)
            return;
        held += size_t(got);
        size_t at = 0;
        for (;;) {
            uint32_t length;
            if (held - at < 4)
                break;
            memcpy(&length, buffer.data() + at, 4);
            length = ntohl(length);
            if (held - at < 4 + length)
                break;
            at += 4 + length;
            if (++frames == kStreamRecords && write(g_Done, "P", 1) != 1)
                Fail("cannot report the end of the plain stream");
        }
        memmove(buffer.data(), buffer.data() + at, held - at);
        held -= at;
    }
}

void PlainServe(int listener)
{
    for (;;) {
        const int fd = accept(listener, nullptr, nullptr);
        if (fd < 0)
            return;
        char mode = 0;
        if (recv(fd, &mode, 1, MSG_WAITALL) == 1) {
            const int one = 1;
            if (mode == 'E')
                setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
            mode == 'E' ? PlainEcho(fd) : PlainSink(fd);
        }
        close(fd);
    }
}

CKesSockEngine* g_ServerEngine = nullptr;

// Serves until the client process closes the command pipe.
int ServerProcess(int commands)
{
    KesSetTimeScale(0.01);
    const int listener = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t length = sizeof address;
    if (bind(listener, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 || listen(listener, 4) != 0 ||
        getsockname(listener, reinterpret_cast<sockaddr*>(&address), &length) != 0)
        Fail("the plain listener cannot start");
    std::thread(PlainServe, listener).detach();

    g_ServerEngine = new CKesSockEngine("bench-server", __KES_SERV_DAEMON, 2);
    auto* server = new BenchServer;
    server->KOSSSetServiceName(strdup("Bench"));
    server->KOSSSetDomain(strdup("Lab"));
    if (g_ServerEngine->KSEAddServer(server) != 1 || server->KOSSInitialise() != 1)
        Fail("the server cannot start");
    const uint16_t port = ntohs(address.sin_port);
    if (write(g_Done, &port, sizeof port) != sizeof port)
        Fail("cannot announce the plain port");
    std::thread stopper([commands] {
        char byte;
        while (read(commands, &byte, 1) > 0) {
        }
        g_ServerEngine->KRNStopNet();
    });
    g_ServerEngine->KRNStartNet();
    stopper.join();
    g_ServerEngine->KNSafeExit();
    delete g_ServerEngine;
    _exit(0);
}

// ---- the client process ----------------------------------------------------------

class BenchClient : public CKesObjSockClient {
public:
    BenchClient() : CKesObjSockClient(strdup("bench-client"))
    {
        KOSCSetServiceName(strdup("Bench"));
        KOSCSetDomain(strdup("Lab"));
    }
    ~BenchClient() override { KOSCStopConnectThread(); }
    void KesOnClientIO(CKesSockEnd*, CKesRecord* record) override
    {
        const Clock::time_point arrived = Clock::now();
        delete record;
        std::lock_guard<std::mutex> hold(m_Lock);
        m_Arrived = arrived;
        ++m_Answers;
        m_Changed.notify_one();
    }
    void KOSCOnClientConnect() override
    {
        std::lock_guard<std::mutex> hold(m_Lock);
        m_Connected = true;
        m_Changed.notify_one();
    }
    bool WaitConnected()
    {
        std::unique_lock<std::mutex> hold(m_Lock);
        return m_Changed.wait_for(hold, std::chrono::milliseconds(kGuardMs), [this] { return m_Connected; });
    }
    bool WaitAnswers(long count)
    {
        std::unique_lock<std::mutex> hold(m_Lock);
        return m_Changed.wait_for(hold, std::chrono::milliseconds(kGuardMs), [&] { return m_Answers >= count; });
    }
    // When the last answer reached KesOnClientIO.
    Clock::time_point LastArrival()
    {
        std::lock_guard<std::mutex> hold(m_Lock);
        return m_Arrived;
    }

private:
    std::mutex m_Lock;
    std::condition_variable m_Changed;
    long m_Answers = 0;
    Clock::time_point m_Arrived;
    bool m_Connected = false;
};

int PlainConnect(uint16_t port, char mode)
{
    const int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    address.sin_port = htons(port);
    // The library leaves Nagle on; so does the plain stream. The echo is
    // unaffected either way (one frame in flight).
    const int one = 1;
    if (mode == 'E')
        setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
    if (connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 || send(fd, &mode, 1, 0) != 1)
        Fail("cannot connect to the plain server");
    return fd;
}

double Micros(Clock::duration d) { return std::chrono::duration<double, std::micro>(d).count(); }

struct Spread {
    double median;
    double p99;
};

Spread SpreadOf(std::vector<double> samples)
{
    std::sort(samples.begin(), samples.end());
    return {samples[samples.size() / 2], samples[samples.size() * 99 / 100]};
}

// What the client process has spent so far: CPU time and voluntary context
// switches (a thread going to sleep), summed over its threads.
struct Cost {
    double cpuMicros = 0;
    double switches = 0;

    static Cost Now()
    {
        rusage usage{};
        getrusage(RUSAGE_SELF, &usage);
        timespec cpu{};
        clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &cpu);
        return {cpu.tv_sec * 1e6 + cpu.tv_nsec / 1e3, double(usage.ru_nvcsw)};
    }
    void Add(const Cost& from, const Cost& to)
    {
        cpuMicros += to.cpuMicros - from.cpuMicros;
        switches += to.switches - from.switches;
    }
};

void RoundTrips(BenchClient& client, uint16_t plainPort)
{
    std::unique_ptr<CKesRecord> ping(RecordOfSize("Ping", kRoundTripBytes));
    const int fd = PlainConnect(plainPort, 'E');
    std::vector<unsigned char> frame = Frame(kRoundTripBytes), back(frame.size());
    std::vector<double> library, plain;
    Cost plainCost, libraryCost;
    long answers = 0;
    // Warm both paths, then alternate blocks so that drift hits both alike.
    for (int block = -1; block < kBlocks; ++block) {
        const int count = block < 0 ? 200 : kRoundTrips / kBlocks;
        const Cost plainStart = Cost::Now();
        for (int i = 0; i < count; ++i) {
            const auto start = Clock::now();
            if (!SendAll(fd, frame.data(), frame.size()) || !ReadAll(fd, back.data(), back.size()))
                Fail("the plain echo broke off");
            if (block >= 0)
                plain.push_back(Micros(Clock::now() - start));
        }
        const Cost libraryStart = Cost::Now();
        for (int i = 0; i < count; ++i) {
            const auto start = Clock::now();
            if (client.KOSCSendToServer(ping.get()) != 1 || !client.WaitAnswers(++answers))
                Fail("a record was not answered");
            if (block >= 0)
                library.push_back(Micros(client.LastArrival() - start));
        }
        if (block >= 0) {
            plainCost.Add(plainStart, libraryStart);
            libraryCost.Add(libraryStart, Cost::Now());
        }
    }
    close(fd);
    const Spread l = SpreadOf(library), p = SpreadOf(plain);
    printf("(a) round trip, %u-byte record, %d each, two processes:\n", kRoundTripBytes, kRoundTrips);
    printf("    plain framed TCP echo:      median %7.1f us   p99 %7.1f us\n", p.median, p.p99);
    printf("    KOSCSendToServer / echo:    median %7.1f us   p99 %7.1f us\n", l.median, l.p99);
    printf("    ratio library / plain:      median %7.2f      p99 %7.2f   (target at most 1.50)\n",
           l.median / p.median, l.p99 / p.p99);
    printf("    client process, per round trip:  plain %5.1f us CPU, %4.2f context switches;"
           "  library %5.1f us CPU, %4.2f context switches\n",
           plainCost.cpuMicros / kRoundTrips, plainCost.switches / kRoundTrips,
           libraryCost.cpuMicros / kRoundTrips, libraryCost.switches / kRoundTrips);
}

void Throughput(BenchClient& client, uint16_t plainPort, int done)
{
    std::unique_ptr<CKesRecord> load(RecordOfSize("Load", kStreamBytes));
    const std::vector<unsigned char> frame = Frame(kStreamBytes);
    const int fd = PlainConnect(plainPort, 'S');
    char byte = 0;

    auto start = Clock::now();
    for (int i = 0; i < kStreamRecords; ++i) {
        if (!SendAll(fd, frame.data(), frame.size()))
            Fail("the plain stream broke off");
    }
    if (!WaitByte(done, &byte) || byte != 'P')
        Fail("the plain stream did not arrive whole");
    const double plain = std::chrono::duration<double>(Clock::now() - start).count();
    close(fd);

    start = Clock::now();
    for (int i = 0; i < kStreamRecords; ++i) {
        if (client.KOSCSendToServer(load.get()) != 1)
            Fail("a record could not be sent");
    }
    if (!WaitByte(done, &byte) || byte != 'L')
        Fail("the records did not all arrive");
    const double library = std::chrono::duration<double>(Clock::now() - start).count();

    printf("(b) one-way throughput, %d records of %u bytes, two processes:\n", kStreamRecords, kStreamBytes);
    printf("    plain TCP, one send a frame: %9.0f records/s\n", kStreamRecords / plain);
    printf("    KOSCSendToServer:            %9.0f records/s\n", kStreamRecords / library);
    printf("    ratio library / plain:       %9.2f   (target at least 0.70)\n", plain / library);
}

}  // namespace

int main(int argc, char** argv)
{
    const std::string only = argc > 1 ? argv[1] : "";
    int done[2], commands[2];
    if (pipe(done) != 0 || pipe(commands) != 0)
        Fail("no pipes");
    const pid_t child = fork();
    if (child == 0) {
        close(done[0]);
        close(commands[1]);
        g_Done = done[1];
        return ServerProcess(commands[0]);
    }
    close(done[1]);
    close(commands[0]);

    uint16_t plainPort = 0;
    pollfd p{done[0], POLLIN, 0};
    if (poll(&p, 1, kGuardMs) != 1 || read(done[0], &plainPort, sizeof plainPort) != sizeof plainPort)
        Fail("the server process did not start");

    KesSetTimeScale(0.01);  // only the connect and greeting delays; the paths measured do not wait
    auto* engine = new CKesSockEngine("bench-client", __KES_SERV_DAEMON, 2);
    auto* client = new BenchClient;
    engine->KSEAddClient(client);
    if (client->KOSCInitialise() != 1)
        Fail("the client cannot start");
    std::thread loop([engine] { engine->KRNStartNet(); });
    if (!client->WaitConnected())
        Fail("the client did not connect");

    if (only != "b")
        RoundTrips(*client, plainPort);
    if (only != "a")
        Throughput(*client, plainPort, done[0]);

    engine->KRNStopNet();
    loop.join();
    delete engine;
    close(commands[1]);
    waitpid(child, nullptr, 0);
    return 0;
}
