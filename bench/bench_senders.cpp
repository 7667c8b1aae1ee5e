// Host threads sending to one connection at the same time: records of 100
// encoded bytes sent with KOSSSendToClient by 1, 2, 4 and 8 threads of the
// server's process to one identified client, against plain framed TCP where
// as many threads write the same frames to one socket under a std::mutex.
// A thread of the same process reads each connection as fast as it can and
// counts the bytes; a figure is frames/s from the first send to the last
// byte read, the median of kRounds, the two ways taking turns.
// Lines starting with "@ " carry the figures for scripts/bench.sh.
// Run inside scripts/netns-run: it opens sockets and starts an engine.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <mutex>
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
using benchsupport::ConnectTo;
using benchsupport::Fail;
using benchsupport::FrameOf;
using benchsupport::ListenLoopback;
using benchsupport::LoopbackAddress;
using benchsupport::Micros;
using benchsupport::RecordOfSize;
using benchsupport::SendAll;
using Clock = std::chrono::steady_clock;

constexpr unsigned kRecordBytes = 100;
constexpr int kFramesPerThread = 10000;
constexpr int kRounds = 5;
constexpr int kSenders[] = {1, 2, 4, 8};

class IdentifyingServer : public CKesObjSockServer {
public:
    void KOSSOnClientConnect(CKesSockEnd*) override { ++identified; }
    std::atomic<int> identified{0};
};

// Reads until bytes have come; fails the run when the connection ends first.
void ReadBytes(int fd, long long bytes)
{
    std::vector<unsigned char> buffer(1 << 16);
    for (long long got = 0; got < bytes;) {
        const ssize_t n = recv(fd, buffer.data(), buffer.size(), 0);
        if (n <= 0) Fail("a reader's connection ended");
        got += n;
    }
}

// Frames/s of senders threads each calling send() kFramesPerThread times,
// the reader taking them from readFd.
template <typename Send>
double Rate(int senders, int readFd, size_t frameBytes, Send send)
{
    const long long frames = static_cast<long long>(senders) * kFramesPerThread;
    const auto start = Clock::now();
    std::thread reader(ReadBytes, readFd, frames * static_cast<long long>(frameBytes));
    std::vector<std::thread> threads;
    for (int t = 0; t < senders; ++t)
        threads.emplace_back([&] {
            for (int i = 0; i < kFramesPerThread; ++i) send();
        });
    for (std::thread& thread : threads) thread.join();
    reader.join();
    return frames / Micros(Clock::now() - start) * 1e6;
}

// A wire client of the server, identified as the library's client greets.
int IdentifiedClient(IdentifyingServer& server, const char* id)
{
    const sockaddr_in address =
        LoopbackAddress(uint16_t(server.KOSSGetServerData()->KSEGetEndPtAddressPort()));
    int fd = -1;
    for (int tries = 0; fd < 0 && tries < 1000; ++tries)
        if ((fd = ConnectTo(address, true)) < 0) usleep(5000); // the server publishes just before it listens
    std::unique_ptr<CKesRecord> greeting(CKesSockEnd::KSEGetClientIdPacket(id));
    const Bytes frame = greeting ? FrameOf(*greeting) : Bytes{};
    if (fd < 0 || frame.empty() || !SendAll(fd, frame.data(), frame.size()))
        Fail("the client cannot connect");
    for (int waited = 0; server.identified.load() == 0; waited += 5) {
        if (waited > 10000) Fail("the client was not identified");
        usleep(5000);
    }
    return fd;
}

} // namespace

int main()
{
    // Only the greeting runs at a hundredth of its delay; then the library's
    // timers (the reaper among them) run at their production pace.
    KesSetTimeScale(0.01);
    auto* engine = new CKesSockEngine("bench-senders", __KES_SERV_DAEMON, 2);
    auto* server = new IdentifyingServer;
    server->KOSSSetServiceName(strdup("Senders"));
    server->KOSSSetDomain(strdup("Lab"));
    if (engine->KSEAddServer(server) != 1 || server->KOSSInitialise() != 1) Fail("the server cannot start");
    std::thread loop([engine] { engine->KRNStartNet(); });
    const int libraryFd = IdentifiedClient(*server, "reader");
    KesSetTimeScale(1.0);

    // Nagle stays on for the plain sends, as the library leaves it on.
    sockaddr_in plainAddress{};
    const int listener = ListenLoopback(1, &plainAddress);
    const int plainFd = ConnectTo(plainAddress, false);
    const int plainOut = listener < 0 ? -1 : accept(listener, nullptr, nullptr);
    if (plainFd < 0 || plainOut < 0) Fail("the plain connection cannot be made");

    const std::unique_ptr<CKesRecord> record = RecordOfSize("Data", kRecordBytes);
    const Bytes frame = FrameOf(*record);
    std::mutex plainLock;
    printf("%d threads at most send %d records of %u bytes each to one connection; frames/s, median of %d:\n",
           kSenders[std::size(kSenders) - 1], kFramesPerThread, kRecordBytes, kRounds);
    printf("    %-8s %14s %14s %8s\n", "threads", "library", "plain+mutex", "ratio");
    for (int senders : kSenders) {
        std::vector<double> library, plain;
        for (int round = 0; round < kRounds; ++round) {
            library.push_back(Rate(senders, libraryFd, frame.size(), [&] {
                if (server->KOSSSendToClient("reader", record.get()) != 1) Fail("a send failed");
            }));
            plain.push_back(Rate(senders, plainFd, frame.size(), [&] {
                std::lock_guard<std::mutex> hold(plainLock);
                if (!SendAll(plainOut, frame.data(), frame.size())) Fail("a plain send failed");
            }));
        }
        std::sort(library.begin(), library.end());
        std::sort(plain.begin(), plain.end());
        const double lib = library[kRounds / 2], base = plain[kRounds / 2];
        printf("    %-8d %12.2f M %12.2f M %8.2f\n", senders, lib / 1e6, base / 1e6, lib / base);
        printf("@ senders_lib_%d %.0f\n@ senders_plain_%d %.0f\n", senders, lib, senders, base);
    }
    close(plainOut);
    close(plainFd);
    close(listener);
    close(libraryFd);
    engine->KRNStopNet();
    loop.join();
    engine->KNSafeExit();
    delete engine;
    return 0;
}
