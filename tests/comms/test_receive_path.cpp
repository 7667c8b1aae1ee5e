// The receive path: splitting and rejoining TCP data into packets, closed
// connections, datagrams, sockets that belong to nobody, broken framing, and
// random streams over real loopback connections to a real server.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <condition_variable>
#include <cstring>
#include <map>
#include <mutex>
#include <random>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "CKesAtom.h"
#include "CKesIOWorkPacket.h"
#include "CKesObjSockServer.h"
#include "CKesRecHdr.h"
#include "CKesRecord.h"
#include "CKesSockEnd.h"
#include "CKesSockEngine.h"
#include "EKesConnectState.h"
#include "KesTestSupport.h"

namespace {

using Bytes = std::vector<unsigned char>;
constexpr auto kPatience = std::chrono::seconds(60); // guards against a hang only

struct Delivery {
    unsigned int socket;
    Bytes payload;
    Bytes source;
    std::thread::id thread;
};

// An engine whose catch-all callback keeps every packet that reaches it.
class CollectingEngine : public CKesSockEngine {
public:
    explicit CollectingEngine(int poolSize) : CKesSockEngine("receive-test", __KES_SERV_DAEMON, poolSize) {}

    void KesOnRvIO(CKesIOWorkPacket* packet) override
    {
        Delivery delivery{packet->KIWPGetSocket(), Bytes(), Bytes(), std::this_thread::get_id()};
        const unsigned char* bytes = packet->KIWPGetPacket();
        if (bytes != nullptr) delivery.payload.assign(bytes, bytes + packet->KIWPGetPacketLength());
        const unsigned char* source = reinterpret_cast<const unsigned char*>(packet->KIWPGetSource());
        if (source != nullptr) delivery.source.assign(source, source + packet->KIWPGetSourceLen());
        // An owner takes a closed connection off the loop, as servers do.
        if (packet->KIWPGetPacketLength() == 0) KRNRemoveIO(packet->KIWPGetSocket());
        std::lock_guard<std::mutex> hold(m_Lock);
        m_Deliveries.push_back(std::move(delivery));
        m_Changed.notify_all();
    }

    std::vector<Delivery> WaitFor(size_t count)
    {
        std::unique_lock<std::mutex> hold(m_Lock);
        m_Changed.wait_for(hold, kPatience, [&] { return m_Deliveries.size() >= count; });
        return m_Deliveries;
    }

private:
    std::mutex m_Lock;
    std::condition_variable m_Changed;
    std::vector<Delivery> m_Deliveries;
};

Bytes Frame(const Bytes& payload)
{
    uint32_t length = htonl(static_cast<uint32_t>(payload.size()));
    Bytes frame(reinterpret_cast<unsigned char*>(&length), reinterpret_cast<unsigned char*>(&length) + 4);
    frame.insert(frame.end(), payload.begin(), payload.end());
    return frame;
}

Bytes Pattern(size_t size, unsigned seed)
{
    Bytes bytes(size);
    std::mt19937 random(seed);
    for (auto& byte : bytes) byte = static_cast<unsigned char>(random());
    return bytes;
}

Bytes Concat(std::initializer_list<Bytes> parts)
{
    Bytes all;
    for (const auto& part : parts) all.insert(all.end(), part.begin(), part.end());
    return all;
}

const Bytes kSource = {2, 0, 0x12, 0x34, 127, 0, 0, 1, 0, 0, 0, 0, 0, 0, 0, 0};

// Hands one "read" to the receive path as the event-loop thread would.
int Feed(CKesSockEngine& engine, unsigned int socket, const Bytes& bytes, size_t from = 0, size_t count = SIZE_MAX)
{
    count = std::min(count, bytes.size() - from);
    auto* data = static_cast<unsigned char*>(malloc(count + 1));
    memcpy(data, bytes.data() + from, count);
    auto* source = static_cast<sockaddr*>(malloc(kSource.size()));
    memcpy(source, kSource.data(), kSource.size());
    return engine.KSECheckSockPacket(socket, data, static_cast<int>(count), source, static_cast<int>(kSource.size()));
}

std::multiset<Bytes> Payloads(const std::vector<Delivery>& deliveries)
{
    std::multiset<Bytes> payloads;
    for (const auto& delivery : deliveries) payloads.insert(delivery.payload);
    return payloads;
}

constexpr unsigned int kSocket = 4242; // a handle no table knows: packets reach KesOnRvIO

// ---- splitting and rejoining (one worker: queued order is processed order) ----

TEST(ReceivePathSplitting, ThreeWholePacketsInOneReadBecomeThreePacketsWithPrivateSources)
{
    CollectingEngine engine(1);
    Bytes a = Pattern(10, 1), b = Pattern(0, 2), c = Pattern(300, 3);
    ASSERT_EQ(1, Feed(engine, kSocket, Concat({Frame(a), Frame(b), Frame(c)})));
    // A later packet arrives intact only if nothing was kept from the first read.
    Bytes d = Pattern(7, 4);
    ASSERT_EQ(1, Feed(engine, kSocket, Frame(d)));

    auto deliveries = engine.WaitFor(4);
    ASSERT_EQ(4u, deliveries.size());
    EXPECT_EQ((std::multiset<Bytes>{a, b, c}), Payloads({deliveries.begin(), deliveries.begin() + 3}));
    EXPECT_EQ(d, deliveries[3].payload);
    for (const auto& delivery : deliveries) {
        EXPECT_EQ(kSocket, delivery.socket);
        EXPECT_EQ(kSource, delivery.source);
    }
}

TEST(ReceivePathSplitting, PacketCutInsideItsHeaderIsDeliveredOnceWhole)
{
    CollectingEngine engine(1);
    Bytes payload = Pattern(50, 5);
    Bytes frame = Frame(payload);
    ASSERT_EQ(1, Feed(engine, kSocket, frame, 0, 1));
    ASSERT_EQ(1, Feed(engine, kSocket, frame, 1, 2));
    ASSERT_EQ(1, Feed(engine, kSocket, frame, 3));
    Bytes sentinel = Pattern(3, 6);
    ASSERT_EQ(1, Feed(engine, kSocket, Frame(sentinel)));

    auto deliveries = engine.WaitFor(2);
    ASSERT_EQ(2u, deliveries.size());
    EXPECT_EQ(payload, deliveries[0].payload);
    EXPECT_EQ(sentinel, deliveries[1].payload);
}

TEST(ReceivePathSplitting, PacketCutInItsDataThenRestWithAnotherPacketGivesBoth)
{
    CollectingEngine engine(1);
    Bytes first = Pattern(1000, 7), second = Pattern(20, 8);
    Bytes stream = Concat({Frame(first), Frame(second)});
    ASSERT_EQ(1, Feed(engine, kSocket, stream, 0, 400));
    ASSERT_EQ(1, Feed(engine, kSocket, stream, 400));

    auto deliveries = engine.WaitFor(2);
    ASSERT_EQ(2u, deliveries.size());
    EXPECT_EQ((std::multiset<Bytes>{first, second}), Payloads(deliveries));
}

TEST(ReceivePathSplitting, LargePacketInManySmallReadsIsReassembledWhole)
{
    CollectingEngine engine(1);
    Bytes big = Pattern(8u << 20, 9), after = Pattern(33, 10);
    Bytes stream = Concat({Frame(big), Frame(after)});
    // Reads of 64 KiB that do not line up with the header or the packet end.
    for (size_t from = 0; from < stream.size(); from += 65536 - 3) ASSERT_EQ(1, Feed(engine, kSocket, stream, from, 65536 - 3));

    auto deliveries = engine.WaitFor(2);
    ASSERT_EQ(2u, deliveries.size());
    EXPECT_TRUE(deliveries[0].payload == big);
    EXPECT_EQ(after, deliveries[1].payload);
}

TEST(ReceivePathSplitting, RandomCutsOfRandomPacketsLoseDuplicateAndCorruptNothing)
{
    for (unsigned seed = 1; seed <= 40; ++seed) {
        SCOPED_TRACE("seed " + std::to_string(seed));
        CollectingEngine engine(2);
        std::mt19937 random(seed);
        std::multiset<Bytes> sent;
        Bytes stream;
        int packets = 1 + static_cast<int>(random() % 25);
        for (int i = 0; i < packets; ++i) {
            size_t size = random() % 4 == 0 ? random() % (256u << 10) : random() % 64;
            Bytes payload = Pattern(size, random());
            sent.insert(payload);
            Bytes frame = Frame(payload);
            stream.insert(stream.end(), frame.begin(), frame.end());
        }
        for (size_t from = 0; from < stream.size();) {
            size_t cut = random() % 3 == 0 ? 1 + random() % 5 : 1 + random() % 100000;
            ASSERT_EQ(1, Feed(engine, kSocket, stream, from, cut));
            from += cut;
        }
        auto deliveries = engine.WaitFor(sent.size());
        EXPECT_EQ(sent, Payloads(deliveries));
    }
}

// ---- broken framing --------------------------------------------------------

class PacketLimit {
public:
    explicit PacketLimit(unsigned int limit) : m_Old(CKesRecHdr::KRHGetMaxPacketLength())
    {
        CKesRecHdr::KRHSetMaxPacketLength(limit);
    }
    ~PacketLimit() { CKesRecHdr::KRHSetMaxPacketLength(m_Old); }

private:
    unsigned int m_Old;
};

// A connected pair of loopback TCP sockets: [0] the engine's side, [1] the peer.
struct TcpPair {
    int fd[2] = {-1, -1};
    TcpPair()
    {
        int listener = socket(AF_INET, SOCK_STREAM, 0);
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        socklen_t length = sizeof(address);
        bind(listener, reinterpret_cast<sockaddr*>(&address), sizeof(address));
        listen(listener, 1);
        getsockname(listener, reinterpret_cast<sockaddr*>(&address), &length);
        fd[1] = socket(AF_INET, SOCK_STREAM, 0);
        connect(fd[1], reinterpret_cast<sockaddr*>(&address), sizeof(address));
        fd[0] = accept(listener, nullptr, nullptr);
        close(listener);
    }
    ~TcpPair()
    {
        for (int f : fd)
            if (f >= 0) close(f);
    }
    void ClosePeer()
    {
        close(fd[1]);
        fd[1] = -1;
    }
};

TEST(ReceivePathBrokenFraming, OversizedLengthDeliversEarlierPacketsThenClosesTheConnection)
{
    ksxtest::ErrorCapture errors;
    PacketLimit limit(1024);
    CollectingEngine engine(1);
    TcpPair pair;
    unsigned int socket = static_cast<unsigned int>(pair.fd[0]);
    ASSERT_EQ(1, engine.KRNAddIOHandle(socket, TRUE, FALSE, FALSE, &engine));

    Bytes good = Pattern(100, 11);
    Bytes oversized = {0, 0, 0x08, 0x00, 1, 2, 3}; // announces 2048 bytes
    ASSERT_EQ(1, Feed(engine, socket, Concat({Frame(good), oversized})));

    auto deliveries = engine.WaitFor(2);
    ASSERT_EQ(2u, deliveries.size());
    // The close is handled on the reading thread, the good packet by a worker.
    EXPECT_EQ((std::multiset<Bytes>{good, Bytes()}), Payloads(deliveries));
    EXPECT_TRUE(errors.Has(-220440));
    EXPECT_EQ(-220459, engine.KRNRemoveIO(socket)) << "still registered with the event loop";

    // Nothing of the broken stream is kept for whatever uses the handle next.
    Bytes next = Pattern(5, 12);
    ASSERT_EQ(1, Feed(engine, socket, Frame(next)));
    deliveries = engine.WaitFor(3);
    ASSERT_EQ(3u, deliveries.size());
    EXPECT_EQ(next, deliveries[2].payload);
}

TEST(ReceivePathBrokenFraming, OversizedLengthInAnIncompleteHeaderTailIsRefusedAtOnce)
{
    ksxtest::ErrorCapture errors;
    PacketLimit limit(1024);
    CollectingEngine engine(1);
    Bytes oversized = {0xff, 0xff, 0xff, 0xf0};
    ASSERT_EQ(1, Feed(engine, kSocket, oversized, 0, 2));
    ASSERT_EQ(1, Feed(engine, kSocket, oversized, 2));
    auto deliveries = engine.WaitFor(1);
    ASSERT_EQ(1u, deliveries.size());
    EXPECT_TRUE(deliveries[0].payload.empty());
    EXPECT_TRUE(errors.Has(-220440));
}

// ---- over real sockets, with the event loop running -------------------------

class RunningLoop {
public:
    explicit RunningLoop(CKesSockEngine& engine) : m_Engine(engine), m_Thread([this] { m_Engine.KRNStartNet(); })
    {
        while (!m_Engine.KRNIsRunning()) std::this_thread::yield();
    }
    ~RunningLoop()
    {
        m_Engine.KRNStopNet();
        m_Thread.join();
    }
    std::thread::id Id() const { return m_Thread.get_id(); }

private:
    CKesSockEngine& m_Engine;
    std::thread m_Thread;
};

TEST(ReceivePathSockets, DatagramOnRegisteredUdpSocketArrivesWholeWhateverItsFirstBytesSay)
{
    CollectingEngine engine(2);
    RunningLoop loop(engine);
    int udp = socket(AF_INET, SOCK_DGRAM, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t length = sizeof(address);
    ASSERT_EQ(0, bind(udp, reinterpret_cast<sockaddr*>(&address), sizeof(address)));
    getsockname(udp, reinterpret_cast<sockaddr*>(&address), &length);
    ASSERT_EQ(1, engine.KRNAddIOHandle(static_cast<unsigned int>(udp), TRUE, FALSE, FALSE, &engine));

    Bytes datagram = Concat({Bytes{0, 0, 0, 5}, Pattern(96, 13)}); // a "header" that does not fit
    int sender = socket(AF_INET, SOCK_DGRAM, 0);
    ASSERT_EQ(static_cast<ssize_t>(datagram.size()),
              sendto(sender, datagram.data(), datagram.size(), 0, reinterpret_cast<sockaddr*>(&address), sizeof(address)));

    auto deliveries = engine.WaitFor(1);
    ASSERT_EQ(1u, deliveries.size());
    EXPECT_EQ(datagram, deliveries[0].payload);
    EXPECT_EQ(16u, deliveries[0].source.size());
    engine.KRNRemoveIO(static_cast<unsigned int>(udp));
    close(sender);
    close(udp);
}

TEST(ReceivePathSockets, DataOnSocketOfNobodyReachesKesOnRvIOAndItsCloseComesOnTheLoopThread)
{
    CollectingEngine engine(2);
    RunningLoop loop(engine);
    TcpPair pair;
    ASSERT_EQ(1, engine.KRNAddIOHandle(static_cast<unsigned int>(pair.fd[0]), TRUE, FALSE, FALSE, &engine));

    Bytes data = Pattern(64, 14);
    ASSERT_EQ(64, send(pair.fd[1], data.data(), data.size(), 0));
    auto deliveries = engine.WaitFor(1);
    ASSERT_EQ(1u, deliveries.size());
    EXPECT_EQ(data, deliveries[0].payload);
    EXPECT_NE(loop.Id(), deliveries[0].thread) << "data goes through the worker pool";

    pair.ClosePeer();
    deliveries = engine.WaitFor(2);
    ASSERT_EQ(2u, deliveries.size());
    EXPECT_TRUE(deliveries[1].payload.empty());
    EXPECT_EQ(static_cast<unsigned int>(pair.fd[0]), deliveries[1].socket);
    EXPECT_EQ(loop.Id(), deliveries[1].thread);
}

// ---- random streams over TCP to a real server ------------------------------

// A server that keeps, per connection, the records its host callback gets.
class CollectingServer : public CKesObjSockServer {
public:
    void KesOnServerIO(CKesSockEnd*, CKesRecord* record) override
    {
        CKesAtom* seq = record->KRValueOf("seq");
        CKesAtom* data = record->KRValueOf("data");
        size_t length = 0;
        const unsigned char* bytes = data != nullptr ? data->KABytes(&length) : nullptr;
        std::lock_guard<std::mutex> hold(m_Lock);
        m_Received[seq != nullptr ? seq->KAInt() : -1].push_back(bytes ? Bytes(bytes, bytes + length) : Bytes());
        ++m_Count;
        m_Changed.notify_all();
        delete record;
    }
    void KOSSOnClientConnect(CKesSockEnd*) override
    {
        std::lock_guard<std::mutex> hold(m_Lock);
        ++m_Connects;
        m_Changed.notify_all();
    }
    void KOSSOnClientDisconnect(CKesSockEnd*) override
    {
        std::lock_guard<std::mutex> hold(m_Lock);
        m_DisconnectThreads.push_back(std::this_thread::get_id());
        m_Changed.notify_all();
    }
    std::map<int, std::vector<Bytes>> WaitForRecords(size_t count)
    {
        std::unique_lock<std::mutex> hold(m_Lock);
        m_Changed.wait_for(hold, kPatience, [&] { return m_Count >= count; });
        return m_Received;
    }
    // The peer then streams without early packets, which the server would
    // otherwise put back into the pool until the connection is identified.
    void WaitForConnects(size_t count)
    {
        std::unique_lock<std::mutex> hold(m_Lock);
        m_Changed.wait_for(hold, kPatience, [&] { return m_Connects >= count; });
    }
    std::vector<std::thread::id> WaitForDisconnects(size_t count)
    {
        std::unique_lock<std::mutex> hold(m_Lock);
        m_Changed.wait_for(hold, kPatience, [&] { return m_DisconnectThreads.size() >= count; });
        return m_DisconnectThreads;
    }

private:
    std::mutex m_Lock;
    std::condition_variable m_Changed;
    std::map<int, std::vector<Bytes>> m_Received;
    size_t m_Count = 0;
    size_t m_Connects = 0;
    std::vector<std::thread::id> m_DisconnectThreads;
};

Bytes EncodedFrame(CKesRecord& record)
{
    unsigned char* encoded = nullptr;
    unsigned int length = 0;
    record.KOMEncode(&encoded, &length);
    CKesRecHdr header(encoded, static_cast<int>(length));
    free(encoded);
    return Bytes(header.KRHGetData(), header.KRHGetData() + header.KRHGetTotalLen());
}

Bytes ClientIdFrame(const char* id)
{
    CKesRecord* record = CKesSockEnd::KSEGetClientIdPacket(id);
    Bytes frame = EncodedFrame(*record);
    delete record;
    return frame;
}

Bytes DataFrame(int seq, const Bytes& data)
{
    CKesRecord record;
    record.KRAddValue("seq", CKesAtom(seq));
    record.KRAddValue("data", CKesAtom(data.data(), data.size()));
    return EncodedFrame(record);
}

class ServerFixture : public ::testing::Test {
protected:
    void SetUp() override
    {
        m_Server = new CollectingServer;
        m_Server->KOSSSetServiceName(strdup("ReceiveTest"));
        m_Server->KOSSSetDomain(strdup("TestDomain"));
        ASSERT_EQ(1, m_Engine.KSEAddServer(m_Server));
        ASSERT_EQ(1, m_Server->KOSSInitialise());
        for (int i = 0; i < 6000 && m_Server->KOSSGetConnectState() != 3; ++i) KesSleep(5);
        ASSERT_EQ(3, static_cast<int>(m_Server->KOSSGetConnectState()));
        m_Port = m_Server->KOSSGetServerData()->KSEGetEndPtAddressPort();
    }
    void TearDown() override { m_Engine.KNSafeExit(); }

    int Connect()
    {
        int fd = socket(AF_INET, SOCK_STREAM, 0);
        int on = 1;
        setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &on, sizeof(on));
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_port = htons(static_cast<uint16_t>(m_Port));
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        EXPECT_EQ(0, connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof(address)));
        return fd;
    }

    static void SendAll(int fd, const Bytes& bytes, size_t from, size_t count)
    {
        while (count > 0) {
            ssize_t sent = send(fd, bytes.data() + from, count, MSG_NOSIGNAL);
            ASSERT_GT(sent, 0);
            from += static_cast<size_t>(sent);
            count -= static_cast<size_t>(sent);
        }
    }

    CollectingEngine m_Engine{3};
    RunningLoop m_Loop{m_Engine};
    CollectingServer* m_Server = nullptr; // owned by the engine
    unsigned int m_Port = 0;
};

TEST_F(ServerFixture, RandomRecordsWithRandomCutsAndPausesArriveExactlyOnce)
{
    size_t total = 0;
    for (unsigned seed = 1; seed <= 6; ++seed) {
        SCOPED_TRACE("seed " + std::to_string(seed));
        std::mt19937 random(seed * 7919u);
        int fd = Connect();
        Bytes hello = ClientIdFrame(("peer-" + std::to_string(seed)).c_str());
        SendAll(fd, hello, 0, hello.size());
        m_Server->WaitForConnects(seed);
        Bytes stream;
        std::map<int, std::vector<Bytes>> sent;
        int records = 5 + static_cast<int>(random() % 20);
        int base = static_cast<int>(seed) * 1000;
        for (int i = 0; i < records; ++i) {
            unsigned pick = random() % 10;
            size_t size = pick < 5 ? random() % 200 : pick < 8 ? random() % 65536 : random() % (1u << 20) + 1;
            Bytes data = Pattern(size, random());
            sent[base + i].push_back(data);
            Bytes frame = DataFrame(base + i, data);
            stream.insert(stream.end(), frame.begin(), frame.end());
        }
        for (size_t from = 0; from < stream.size();) {
            size_t cut = std::min(stream.size() - from, static_cast<size_t>(1 + random() % (random() % 2 ? 7 : 300000)));
            SendAll(fd, stream, from, cut);
            from += cut;
            if (random() % 4 == 0) std::this_thread::sleep_for(std::chrono::microseconds(random() % 3000));
        }
        auto received = m_Server->WaitForRecords(total + static_cast<size_t>(records));
        total += static_cast<size_t>(records);
        for (const auto& [seq, payloads] : sent) {
            auto found = received.find(seq);
            ASSERT_NE(found, received.end()) << "record " << seq << " lost";
            ASSERT_EQ(1u, found->second.size()) << "record " << seq << " duplicated";
            EXPECT_TRUE(found->second[0] == payloads[0]) << "record " << seq << " corrupted";
        }
        close(fd);
    }
}

TEST_F(ServerFixture, ClosedPeerReachesServerOnLoopThreadAndItsHalfPacketIsNotReused)
{
    int fd = Connect();
    Bytes hello = ClientIdFrame("half");
    SendAll(fd, hello, 0, hello.size());
    m_Server->WaitForConnects(1);
    Bytes first = DataFrame(1, Pattern(10, 15));
    SendAll(fd, first, 0, first.size());
    ASSERT_EQ(1u, m_Server->WaitForRecords(1).size());
    Bytes dangling = DataFrame(2, Pattern(5000, 16));
    SendAll(fd, dangling, 0, 1000); // half a packet, then the peer goes
    close(fd);
    auto threads = m_Server->WaitForDisconnects(1);
    ASSERT_EQ(1u, threads.size());
    EXPECT_EQ(m_Loop.Id(), threads[0]);

    // The next connection (often given the same handle) starts clean.
    fd = Connect();
    hello = ClientIdFrame("fresh");
    SendAll(fd, hello, 0, hello.size());
    m_Server->WaitForConnects(2);
    Bytes next = DataFrame(3, Pattern(40, 17));
    SendAll(fd, next, 0, next.size());
    auto received = m_Server->WaitForRecords(2);
    ASSERT_EQ(1u, received.count(3));
    EXPECT_EQ(Pattern(40, 17), received[3][0]);
    EXPECT_EQ(0u, received.count(2));
    close(fd);
}

} // namespace
