// The receive path: splitting and rejoining TCP data into packets, closed
// connections, datagrams, sockets that belong to nobody, broken framing, and
// random streams over real loopback connections to a real server.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
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
#include "KesEngineHarness.h"
#include "KesTestSupport.h"
#include "KesWirePeer.h"

namespace {

using ksxtest::Bytes;
using ksxtest::Frame;
using ksxtest::TcpPair;
using ksxtest::WireConnection;
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

struct CutCase {
    const char* what;
    std::vector<size_t> sizes;  // payload sizes, framed one after the other
    std::vector<size_t> reads;  // lengths of the reads; the last one takes the rest
    size_t every = 0;           // or: reads of this length throughout
};

const CutCase kCutCases[] = {
    {"three whole packets (one empty) in one read, then one more", {10, 0, 300, 7}, {4 + 10 + 4 + 0 + 4 + 300}},
    {"a packet cut twice inside its header", {50, 3}, {1, 2, 51}},
    {"a packet cut in its data, the rest with another packet", {1000, 20}, {400}},
    {"a large packet in reads that line up with nothing", {8u << 20, 33}, {}, 65536 - 3},
};

// Packets that one read completes may be handed over in any order; a packet
// completed by a later read comes after them.
TEST(ReceivePathSplitting, PacketsCutAnywhereArriveWholeInReadOrderWithPrivateSources)
{
    unsigned seed = 1;
    for (const CutCase& cut : kCutCases) {
        SCOPED_TRACE(cut.what);
        CollectingEngine engine(1);
        std::vector<Bytes> sent;
        std::vector<size_t> frameEnds;
        Bytes stream;
        for (size_t size : cut.sizes) {
            sent.push_back(Pattern(size, seed++));
            stream = Concat({stream, Frame(sent.back())});
            frameEnds.push_back(stream.size());
        }
        std::vector<size_t> completedBy(sent.size());  // the read that completes each packet
        size_t from = 0;
        for (size_t i = 0; from < stream.size(); ++i) {
            const size_t length = std::min(cut.every ? cut.every : i < cut.reads.size() ? cut.reads[i] : SIZE_MAX,
                                           stream.size() - from);
            ASSERT_EQ(1, Feed(engine, kSocket, stream, from, length));
            from += length;
            for (size_t p = 0; p < sent.size(); ++p)
                if (frameEnds[p] > from - length && frameEnds[p] <= from) completedBy[p] = i;
        }
        auto deliveries = engine.WaitFor(sent.size());
        ASSERT_EQ(sent.size(), deliveries.size());
        EXPECT_EQ(std::multiset<Bytes>(sent.begin(), sent.end()), Payloads(deliveries));
        size_t lastRead = 0;
        for (const Delivery& delivery : deliveries) {
            EXPECT_EQ(kSocket, delivery.socket);
            EXPECT_EQ(kSource, delivery.source);
            const size_t p = std::find(sent.begin(), sent.end(), delivery.payload) - sent.begin();
            if (p == sent.size()) continue;  // reported by the multiset check
            EXPECT_LE(lastRead, completedBy[p]) << "a packet overtook one completed by an earlier read";
            lastRead = std::max(lastRead, completedBy[p]);
        }
    }
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

TEST(ReceivePathBrokenFraming, OversizedLengthDeliversEarlierPacketsThenClosesTheConnection)
{
    ksxtest::ErrorCapture errors;
    PacketLimit limit(1024);
    CollectingEngine engine(1);
    TcpPair pair;
    const unsigned int socket = pair.Near();
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

TEST(ReceivePathSockets, DatagramOnRegisteredUdpSocketArrivesWholeWhateverItsFirstBytesSay)
{
    CollectingEngine engine(2);
    ksxtest::EventLoopThread loop(engine);
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
    ksxtest::EventLoopThread loop(engine);
    TcpPair pair;
    ASSERT_EQ(1, engine.KRNAddIOHandle(pair.Near(), TRUE, FALSE, FALSE, &engine));

    Bytes data = Pattern(64, 14);
    ASSERT_TRUE(pair.Far().SendAll(data));
    auto deliveries = engine.WaitFor(1);
    ASSERT_EQ(1u, deliveries.size());
    EXPECT_EQ(data, deliveries[0].payload);
    EXPECT_NE(loop.Id(), deliveries[0].thread) << "data goes through the worker pool";

    pair.Far().Close();
    deliveries = engine.WaitFor(2);
    ASSERT_EQ(2u, deliveries.size());
    EXPECT_TRUE(deliveries[1].payload.empty());
    EXPECT_EQ(pair.Near(), deliveries[1].socket);
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

Bytes ClientIdFrame(const char* id)
{
    std::unique_ptr<CKesRecord> record(CKesSockEnd::KSEGetClientIdPacket(id));
    return ksxtest::FrameOf(*record);
}

Bytes DataFrame(int seq, const Bytes& data)
{
    CKesRecord record;
    record.KRAddValue("seq", CKesAtom(seq));
    record.KRAddValue("data", CKesAtom(data.data(), data.size()));
    return ksxtest::FrameOf(record);
}

class ServerFixture : public ::testing::Test {
protected:
    void SetUp() override
    {
        m_Server = ksxtest::AddServer<CollectingServer>(m_Engine, "ReceiveTest", "TestDomain");
        ASSERT_NE(nullptr, m_Server);
        ASSERT_TRUE(ksxtest::WaitUntil([this] { return m_Server->KOSSGetConnectState() == KES_CONNECTED; }));
        m_Port = m_Server->KOSSGetServerData()->KSEGetEndPtAddressPort();
    }
    void TearDown() override { m_Engine.KNSafeExit(); }

    // A connection that has identified itself to the server as the count-th.
    std::unique_ptr<WireConnection> Identified(const char* id, size_t count)
    {
        auto peer = WireConnection::To(m_Port);
        EXPECT_TRUE(peer->SendAll(ClientIdFrame(id)));
        m_Server->WaitForConnects(count);
        return peer;
    }

    CollectingEngine m_Engine{3};
    ksxtest::EventLoopThread m_Loop{m_Engine};
    CollectingServer* m_Server = nullptr; // owned by the engine
    unsigned int m_Port = 0;
};

TEST_F(ServerFixture, RandomRecordsWithRandomCutsAndPausesArriveExactlyOnce)
{
    size_t total = 0;
    for (unsigned seed = 1; seed <= 6; ++seed) {
        SCOPED_TRACE("seed " + std::to_string(seed));
        std::mt19937 random(seed * 7919u);
        auto peer = Identified(("peer-" + std::to_string(seed)).c_str(), seed);
        Bytes stream;
        std::map<int, Bytes> sent;
        int records = 5 + static_cast<int>(random() % 20);
        int base = static_cast<int>(seed) * 1000;
        for (int i = 0; i < records; ++i) {
            unsigned pick = random() % 10;
            size_t size = pick < 5 ? random() % 200 : pick < 8 ? random() % 65536 : random() % (1u << 20) + 1;
            sent[base + i] = Pattern(size, random());
            stream = Concat({stream, DataFrame(base + i, sent[base + i])});
        }
        for (size_t from = 0; from < stream.size();) {
            size_t cut = std::min(stream.size() - from, static_cast<size_t>(1 + random() % (random() % 2 ? 7 : 300000)));
            ASSERT_TRUE(peer->SendAll(stream, from, cut));
            from += cut;
            if (random() % 4 == 0) std::this_thread::sleep_for(std::chrono::microseconds(random() % 3000));
        }
        total += static_cast<size_t>(records);
        auto received = m_Server->WaitForRecords(total);
        for (const auto& [seq, payload] : sent) {
            auto found = received.find(seq);
            ASSERT_NE(found, received.end()) << "record " << seq << " lost";
            ASSERT_EQ(1u, found->second.size()) << "record " << seq << " duplicated";
            EXPECT_TRUE(found->second[0] == payload) << "record " << seq << " corrupted";
        }
    }
}

TEST_F(ServerFixture, ClosedPeerReachesServerOnLoopThreadAndItsHalfPacketIsNotReused)
{
    auto peer = Identified("half", 1);
    ASSERT_TRUE(peer->SendAll(DataFrame(1, Pattern(10, 15))));
    ASSERT_EQ(1u, m_Server->WaitForRecords(1).size());
    ASSERT_TRUE(peer->SendAll(DataFrame(2, Pattern(5000, 16)), 0, 1000)); // half a packet, then the peer goes
    peer->Close();
    auto threads = m_Server->WaitForDisconnects(1);
    ASSERT_EQ(1u, threads.size());
    EXPECT_EQ(m_Loop.Id(), threads[0]);

    // The next connection (often given the same handle) starts clean.
    peer = Identified("fresh", 2);
    ASSERT_TRUE(peer->SendAll(DataFrame(3, Pattern(40, 17))));
    auto received = m_Server->WaitForRecords(2);
    ASSERT_EQ(1u, received.count(3));
    EXPECT_EQ(Pattern(40, 17), received[3][0]);
    EXPECT_EQ(0u, received.count(2));
}

} // namespace
