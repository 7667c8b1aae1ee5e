// The receive path: framing and its limits, work packets, cut reads, back-pressure, a real server.
#include <sys/socket.h>

#include <fstream>
#include <random>
#include <set>

#include "CKesIOWorkPacket.h"
#include "CKesRecHdr.h"
#include "CKesReceiveBacklog.h"
#include "CKesStack.h"
#include "KesEngineHarness.h" // the engine, peers, threads, locks and containers too

namespace {

using ksxtest::Bytes;
using ksxtest::DataOf;
using ksxtest::Frame; // an independent framing to check ours against
using ksxtest::FramedData;
using ksxtest::Join;
using ksxtest::Pattern;
const Bytes kNotAMap = {0xC1, 1, 2, 3, 4};                                      // 0xC1 is never used
const Bytes kSource = {2, 0, 0x12, 0x34, 127, 0, 0, 1, 0, 0, 0, 0, 0, 0, 0, 0}; // 127.0.0.1:4660
constexpr unsigned int kSocket = 4242; // a handle no table knows: packets reach KesOnRvIO

// A heap block holding the bytes, as a packet takes it.
unsigned char* HeapBytes(const Bytes& bytes)
{
    auto* block = static_cast<unsigned char*>(std::malloc(bytes.size() + 1)); // never malloc(0)
    std::memcpy(block, bytes.data(), bytes.size());
    return block;
}
sockaddr* HeapSource() { return reinterpret_cast<sockaddr*>(HeapBytes(kSource)); }

Bytes BytesAt(const void* data, size_t size)
{
    const auto* bytes = static_cast<const unsigned char*>(data);
    return bytes ? Bytes(bytes, bytes + size) : Bytes();
}
Bytes PacketOf(const CKesIOWorkPacket& p) { return BytesAt(p.KIWPGetPacket(), p.KIWPGetPacketLength()); }
Bytes SourceOf(const CKesIOWorkPacket& p) { return BytesAt(p.KIWPGetSource(), p.KIWPGetSourceLen()); }
Bytes FrameHeld(CKesRecHdr& header) { return BytesAt(header.KRHGetData(), header.KRHGetTotalLen()); }

// The stack's items in input order (it pops the last pushed first), deleted.
template <typename Item, typename Read>
std::vector<std::string> Take(CKesStack* stack, Read read)
{
    std::vector<std::string> items;
    while (auto* item = stack ? static_cast<Item*>(stack->KSPop()) : nullptr) {
        items.insert(items.begin(), read(*item));
        delete item;
    }
    delete stack;
    return items;
}

struct Delivery {
    unsigned int socket;
    Bytes payload, source;
};

// An engine whose catch-all callback keeps every packet that reaches it; while shut, the callback
// waits at the gate (holding its worker) until opened.
class CollectingEngine : public CKesSockEngine {
public:
    explicit CollectingEngine(int poolSize) : CKesSockEngine("receive-test", __KES_SERV_DAEMON, poolSize) {}
    ~CollectingEngine() override { KSEStopWorkers(); } // a worker may still be in KesOnRvIO
    void KesOnRvIO(CKesIOWorkPacket* packet) override
    {
        ksxtest::WaitUntil([this] { return open.load(); });
        Delivery delivery{packet->KIWPGetSocket(), PacketOf(*packet), SourceOf(*packet)};
        if (delivery.payload.empty())
            KRNRemoveIO(packet->KIWPGetSocket()); // an owner takes a closed connection off the loop
        std::lock_guard<std::mutex> hold(m_Lock);
        m_Deliveries.push_back(std::move(delivery));
        m_Changed.notify_all();
    }
    std::vector<Delivery> WaitFor(size_t count) // guarded against a hang only
    {
        std::unique_lock<std::mutex> hold(m_Lock);
        m_Changed.wait_for(hold, std::chrono::seconds(60), [&] { return m_Deliveries.size() >= count; });
        return m_Deliveries;
    }
    // Registers a socket of the test's with the loop, as a derived engine registers its own: reads come here.
    int Watch(unsigned int socket) { return KRNAddIOHandle(socket, TRUE, FALSE, FALSE, this); }

    std::atomic<bool> open{true};

private:
    std::mutex m_Lock;
    std::condition_variable m_Changed;
    std::vector<Delivery> m_Deliveries;
};

// Hands the bytes to the receive path as the event-loop thread would, in reads of the given lengths (the last
// one repeated; none: one read); the first result other than 1, else 1.
int Feed(CKesSockEngine& engine, unsigned int socket, const Bytes& bytes,
         const std::vector<size_t>& reads = {})
{
    int result = 1;
    for (size_t i = 0, from = 0, length; from < bytes.size() && result == 1; ++i, from += length) {
        length = std::min(reads.empty() ? bytes.size() : reads[std::min(i, reads.size() - 1)],
                          bytes.size() - from);
        const Bytes read(bytes.begin() + from, bytes.begin() + from + length);
        result = engine.KSECheckSockPacket(socket, HeapBytes(read), static_cast<int>(read.size()),
                                           HeapSource(), static_cast<int>(kSource.size()));
    }
    return result;
}

// A line of /proc/self/status ("VmHWM", "VmSize"), in KiB.
long long StatusKiB(const std::string& field)
{
    std::ifstream status("/proc/self/status");
    for (std::string line; std::getline(status, line);)
        if (line.rfind(field + ":", 0) == 0) return std::stoll(line.substr(field.size() + 1));
    return -1;
}

struct CutCase {
    const char* what;
    std::vector<size_t> sizes; // payload sizes, framed one after the other
    std::vector<size_t> reads; // lengths of the reads, the last one repeated (none: one read)
    int workers = 1;
};

std::vector<size_t> AHundredSizes()
{
    std::vector<size_t> sizes;
    for (size_t i = 0; i < 100; ++i) sizes.push_back(i % 7 == 0 ? 0 : 20 + i);
    return sizes;
}

const CutCase kCutCases[] = {
    {"three whole packets (one empty) in one read, then one more",
     {10, 0, 300, 7},
     {4 + 10 + 4 + 0 + 4 + 300}},
    {"a packet cut twice inside its header", {50, 3}, {1, 2, 51}},
    {"a packet cut in its data, the rest with another packet", {1000, 20}, {400}},
    {"a large packet in reads that line up with nothing", {8u << 20, 33}, {65536 - 3}},
    {"a hundred packets in one read, shared among the workers as a few items", AHundredSizes(), {}, 2},
};

// Items of a read are queued in order and a packet's items in order: one worker keeps the order sent.
TEST(ReceivePathSplitting, PacketsCutAnywhereArriveWholeInOrderWithPrivateSources)
{
    unsigned seed = 1;
    for (const CutCase& cut : kCutCases) {
        SCOPED_TRACE(cut.what);
        CollectingEngine engine(cut.workers);
        std::vector<Bytes> sent;
        Bytes stream;
        for (size_t size : cut.sizes)
            stream = Join({stream, Frame(sent.emplace_back(Pattern(size, seed++)))});
        ASSERT_EQ(1, Feed(engine, kSocket, stream, cut.reads));
        std::vector<Bytes> payloads;
        for (const Delivery& delivery : engine.WaitFor(sent.size())) {
            payloads.push_back(delivery.payload);
            EXPECT_EQ(kSocket, delivery.socket);
            EXPECT_EQ(kSource, delivery.source);
        }
        if (cut.workers > 1) { // the workers share the items: order among them is open
            std::sort(sent.begin(), sent.end());
            std::sort(payloads.begin(), payloads.end());
        }
        EXPECT_EQ(sent, payloads);
    }
}

// A large packet's buffer is kept for the next large packet, which must see none of the last one's bytes,
// and grows out of it when larger.
TEST(ReceivePathSplitting, ALargePacketReadIntoTheLastOnesBufferHoldsOnlyItsOwnBytes)
{
    CollectingEngine engine(1);
    // Kept long enough for a test thread that a loaded machine leaves waiting for a CPU to see it.
    ASSERT_EQ(1, engine.KSESetKeptBufferMs(60000));
    EXPECT_EQ(KES_ERR_ARGUMENT, engine.KSESetKeptBufferMs(-1));
    const long long reassembling = CKesReceiveBacklog::ReassemblyBytes().load();
    const Bytes first = Pattern(4u << 20, 71), smaller = Pattern(3u << 20, 72),
                larger = Pattern(9u << 20, 73);
    const std::vector<size_t> reads = {65536 - 3}; // lining up with nothing
    auto keptAtLeast = [&](size_t bytes) {
        return ksxtest::WaitUntil([&] { return engine.KSEKeptBufferBytes() >= bytes; }, 10000);
    };
    ASSERT_EQ(1, Feed(engine, kSocket, Frame(first), reads));
    ASSERT_EQ(first, engine.WaitFor(1).at(0).payload);
    ASSERT_TRUE(keptAtLeast(first.size())) << "the large packet's buffer was not kept";

    const Bytes second = Frame(smaller);
    const auto middle = second.begin() + (2u << 20);
    ASSERT_EQ(1, Feed(engine, kSocket, Bytes(second.begin(), middle), reads));
    EXPECT_EQ(0u, engine.KSEKeptBufferBytes()) << "the kept buffer was not taken";
    ASSERT_EQ(1, Feed(engine, kSocket, Bytes(middle, second.end()), reads));
    ASSERT_EQ(smaller, engine.WaitFor(2).at(1).payload);

    ASSERT_TRUE(keptAtLeast(first.size()));
    ASSERT_EQ(1, Feed(engine, kSocket, Frame(larger), reads));
    ASSERT_EQ(larger, engine.WaitFor(3).at(2).payload);
    EXPECT_EQ(reassembling, CKesReceiveBacklog::ReassemblyBytes().load());
}

// Fragments are completed without the engine lock, so only the loop thread may hand over reads.
TEST(ReceivePathThreadsDeathTest, AReadHandedOverByAnotherThreadWhileTheLoopRunsAborts)
{
#ifndef KSX_CHECKS
    GTEST_SKIP() << "thread rule checks are compiled in debug and sanitizer builds only";
#else
    GTEST_FLAG_SET(death_test_style, "threadsafe"); // the child runs an event loop thread
    EXPECT_DEATH(
        {
            CollectingEngine engine(1);
            ksxtest::EventLoopThread loop(engine);
            Feed(engine, kSocket, Frame(Pattern(8, 14)));
        },
        "KSX-CHECK .*: the receive path runs on the event-loop thread");
#endif
}

// Logs as RecordingServer does, a disconnect by the thread it ran on; counts the bystander's and the paced
// sender's records instead of logging them, and takes 1 ms a flood record while slow; while shut, holds every
// worker in its callback, noting the connection's socket.
class ReceivingServer : public ksxtest::RecordingServer {
public:
    void KesOnServerIO(CKesSockEnd* client, CKesRecord* record) override
    {
        socket = client->KSEGetEndPointSocket();
        ksxtest::WaitUntil([this] { return open.load(); });
        const std::string data = DataOf(*record);
        bystanderServed += data == "bystander";
        pacedServed += data == "paced";
        if (data == "flood-record" && slow.load()) std::this_thread::sleep_for(std::chrono::milliseconds(1));
        if (data == "bystander" || data == "paced" || data == "flood-record")
            delete record; // a log of a flood would grow with it
        else
            RecordingServer::KesOnServerIO(client, record);
    }
    void KOSSOnClientDisconnect(CKesSockEnd*) override
    {
        const CKesRvNet* net = loop.load();
        log.Add(net != nullptr && net->KRNIsLoopThread() ? "disconnect on loop" : "disconnect off loop");
    }
    std::atomic<const CKesRvNet*> loop{nullptr};
    std::atomic<unsigned int> socket{KES_INVALID_SOCKET};
    std::atomic<int> bystanderServed{0}, pacedServed{0};
    std::atomic<bool> open{true}, slow{true};
};

// A running engine with that many workers and one server (owned by the engine).
template <int workers>
class Served : public ::testing::Test {
protected:
    void SetUp() override { ASSERT_NE(nullptr, server); }
    void TearDown() override { engine.KNSafeExit(); }
    CollectingEngine engine{workers};
    ksxtest::EventLoopThread loop{engine};
    ReceivingServer* server = ksxtest::AddServer<ReceivingServer>(engine, "ReceiveTest", "TestDomain");
};
using ReceivePathServer = Served<3>;
using ReceivePathBackPressure = Served<2>;
using ReceivePathOneRecordReads = Served<2>;

// A flood is read only up to the backlog cap while a bystander is served; then a cap of a few records pauses
// and resumes a connection thousands of times: one lost resume (or one taken by the wrong release) stalls it.
TEST_F(ReceivePathBackPressure, AFloodIsReadNoFasterThanItIsServedAndAPausedConnectionAlwaysResumes)
{
    auto flooder = ksxtest::Greeted(server->Port(), "flooder"),
         bystander = ksxtest::Greeted(server->Port(), "bystander");
    const Bytes floodRecord = FramedData("flood-record");                                   // 28 bytes or so
    const Bytes burst = ksxtest::Repeat(floodRecord, (64u << 10) / floodRecord.size() + 1); // over 64 KiB
    std::atomic<bool> flooding{true};
    std::atomic<long long> written{0};
    std::thread flood([&] {
        for (int i = 0; i < 16 * 1024 && flooding.load() && flooder->SendAll(burst); ++i)
            written += burst.size();
    });
    // Bounded by time, not by what the server takes: 2 s, or up to 10 s on a loaded machine, where a
    // bystander's record may wait behind a few hundred flood records at well over 1 ms each.
    for (int i = 0; i < 40 || (i < 200 && server->bystanderServed.load() == 0); ++i) {
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
        ASSERT_TRUE(bystander->SendText("data", "bystander"));
    }
    const int servedDuringFlood = server->bystanderServed.load();
    const long long peakKiB = StatusKiB("VmHWM");
    flooding = false;
    flooder->Shutdown(); // a send blocked by the back-pressure returns
    flood.join();
    server->slow = false;
    EXPECT_GT(written.load(), 1 << 20) << "the flood did not flood";
    EXPECT_GT(servedDuringFlood, 0) << "the bystander was not served while another client flooded";
    const long long boundKiB = (CKesSockEngine::ms_DefaultReceiveBacklogCap * 4 + (64 << 20)) >> 10;
    EXPECT_LT(peakKiB, boundKiB) << "peak memory grows with what the flooder sends";

    ASSERT_EQ(1, engine.KSESetReceiveBacklogCap(600));
    auto paced = ksxtest::Identified(*server, "paced"); // welcomed, else its early records meet the tiny cap
    const Bytes bursts = ksxtest::Repeat(FramedData("paced"), 100);
    constexpr int kBursts = 300;
    std::thread send([&] {
        for (int i = 0; i < kBursts && paced->SendAll(bursts); ++i) {}
    });
    const bool all = ksxtest::WaitUntil([&] { return server->pacedServed.load() == kBursts * 100; });
    paced->Shutdown(); // a send stuck behind a lost resume returns
    send.join();
    EXPECT_TRUE(all) << server->pacedServed.load() << " of " << kBursts * 100 << " records arrived";

    // A cap of one byte pauses after every read and resumes once nothing is pending.
    ASSERT_EQ(1, engine.KSESetReceiveBacklogCap(1));
    auto tiny = ksxtest::Identified(*server, "tiny");
    for (int i = 1; i <= 3; ++i) {
        ASSERT_TRUE(tiny->SendText("data", "paced"));
        EXPECT_TRUE(ksxtest::WaitUntil([&] { return server->pacedServed.load() == kBursts * 100 + i; }))
            << "record " << i << " under a cap of one byte was never read";
    }
}

// Reads of one whole record each (a request's usual read) are queued whole, yet keep to the backlog cap
// like any other: reading stops with the workers busy, and every record arrives once they are free.
TEST_F(ReceivePathOneRecordReads, StopAtTheBacklogCapAndAllArriveOnceServed)
{
    server->open = false;
    ASSERT_EQ(1,
              engine.KSESetReceiveBacklogCap(4 * CKesReceiveBacklog::ms_PacketOverhead)); // new connections'
    auto peer = ksxtest::Identified(*server, "single");
    constexpr int kRecords = 40;
    for (int i = 0; i < kRecords; ++i) {
        ASSERT_TRUE(peer->SendText("data", std::to_string(i).c_str()));
        std::this_thread::sleep_for(std::chrono::milliseconds(2)); // one record a read
    }
    EXPECT_TRUE(ksxtest::WaitUntil([&] { // the kernel holds bytes for the server's socket
        const unsigned int socket = server->socket.load();
        return socket != KES_INVALID_SOCKET && ksxtest::Unread(static_cast<int>(socket)) > 0;
    })) << "reading went on past the backlog cap";
    server->open = true;
    for (int i = 0; i < kRecords; ++i) EXPECT_TRUE(server->log.WaitFor("io single " + std::to_string(i)));
    for (int i = 0; i < kRecords; ++i) EXPECT_EQ(1, server->log.Count("io single " + std::to_string(i)));
}

// Each round's peer leaves half a record; the next (often on the same handle) starts clean.
TEST_F(ReceivePathServer, RandomRecordsWithRandomCutsArriveExactlyOnceAndAClosedPeersHalfPacketIsNotReused)
{
    server->loop = &engine;
    for (int round = 1; round <= 6; ++round) {
        SCOPED_TRACE("round " + std::to_string(round));
        std::mt19937 random(round * 7919u);
        const std::string id = "peer-" + std::to_string(round);
        auto peer = ksxtest::Identified(*server, id);
        Bytes stream, frame;
        std::vector<std::string> sent;
        for (int i = 0, records = 5 + static_cast<int>(random() % 20); i <= records; ++i) {
            const unsigned pick = random() % 10;
            std::string text(random() % (pick < 5 ? 200 : pick < 8 ? 65536 : 1u << 20), 'a');
            for (char& letter : text) letter = static_cast<char>('a' + random() % 26);
            text = std::to_string(round * 1000 + i) + text; // unique across rounds
            frame = FramedData(text);
            if (i == records) break; // sent only in half
            stream.insert(stream.end(), frame.begin(), frame.end());
            sent.push_back("io " + id + " " + text);
        }
        for (size_t from = 0, cut; from < stream.size(); from += cut) {
            cut = 1 + random() % (random() % 2 ? 7 : 300000);
            ASSERT_TRUE(peer->SendAll(stream, from, cut));
            if (random() % 4 == 0) std::this_thread::sleep_for(std::chrono::microseconds(random() % 3000));
        }
        for (const std::string& record : sent)
            ASSERT_TRUE(server->log.WaitFor(record)) << "lost or corrupted";
        for (const std::string& record : sent) EXPECT_EQ(1, server->log.Count(record));
        ASSERT_TRUE(peer->SendAll(frame, 0, frame.size() / 2));
        peer->Close();
        EXPECT_TRUE(server->log.WaitFor("disconnect on loop", round));
    }
    EXPECT_EQ(0, server->log.Count("disconnect off loop"));
}

// A length past the limit (exactly the limit passes) cuts the connection after its earlier packets, also in a
// read of that one packet alone, and nothing of it is kept for the handle's next user; so does passing the
// process's reassembly limit.
TEST(ReceivePathLimits, BrokenFramingAndTheReassemblyLimitCutTheConnectionThatPassesThem)
{
    ksxtest::ErrorCapture errors;
    CollectingEngine engine(1);
    ksxtest::TcpPair pair;
    const unsigned int socket = pair.Near();
    ASSERT_EQ(1, engine.Watch(socket));
    const unsigned int oldLimit = CKesRecHdr::KRHGetMaxPacketLength();
    CKesRecHdr::KRHSetMaxPacketLength(1024);
    const Bytes good = Pattern(1024, 11), oversized = {0, 0, 0x04, 0x01, 1, 2, 3}; // announces 1025 bytes
    ASSERT_EQ(1, Feed(engine, socket, Join({Frame(good), oversized})));
    auto deliveries = engine.WaitFor(2); // the close comes from the reading thread, in any order
    ASSERT_EQ(2u, deliveries.size());
    EXPECT_EQ((std::multiset<Bytes>{good, {}}),
              (std::multiset<Bytes>{deliveries[0].payload, deliveries[1].payload}));
    EXPECT_TRUE(errors.Has(KES_ERR_FRAMING));
    EXPECT_EQ(KES_ERR_INVALID_SOCKET, engine.KRNRemoveIO(socket)) << "still registered with the event loop";
    const Bytes next = Pattern(5, 12);
    ASSERT_EQ(1, Feed(engine, socket, Frame(next)));
    deliveries = engine.WaitFor(3);
    ASSERT_EQ(3u, deliveries.size());
    EXPECT_EQ(next, deliveries[2].payload);
    ksxtest::TcpPair single; // a read of one whole packet is queued without the walk over a run
    ASSERT_EQ(1, engine.Watch(single.Near()));
    ASSERT_TRUE(single.Far().SendAll(Frame(Pattern(1025, 13))));
    ASSERT_TRUE(ksxtest::Readable(static_cast<int>(single.Near()), ksxtest::kGuardMs));
    engine.KSEReadStream(single.Near());
    deliveries = engine.WaitFor(4);
    ASSERT_EQ(4u, deliveries.size());
    EXPECT_EQ(single.Near(), deliveries[3].socket);
    EXPECT_TRUE(deliveries[3].payload.empty()) << "the packet past the limit was delivered";
    EXPECT_EQ(KES_ERR_INVALID_SOCKET, engine.KRNRemoveIO(single.Near()));
    CKesRecHdr::KRHSetMaxPacketLength(oldLimit);

    const Bytes bigHeader = {0x04, 0, 0, 0, 'x'}; // announces 64 MiB, then one byte of it
    const long long sizeBefore = StatusKiB("VmSize");
    for (unsigned int i = 0; i < 50; ++i) ASSERT_EQ(1, Feed(engine, kSocket + i, bigHeader));
    EXPECT_LE(CKesReceiveBacklog::ReassemblyBytes().load(), 50 * 4096);
    // Reserving the declared lengths would add 3.2 GB; a worker's malloc arena adds 64 MiB.
    EXPECT_LT(StatusKiB("VmSize") - sizeBefore, 512 * 1024) << "memory reserved for bytes that never came";

    ASSERT_EQ(1, engine.KSESetReassemblyLimit(1 << 20));
    const unsigned int greedy = kSocket + 50;
    const Bytes header = {0, 0x40, 0, 0}; // announces 4 MiB
    ASSERT_EQ(1, Feed(engine, greedy, header));
    EXPECT_EQ(KES_ERR_ALLOCATION, Feed(engine, greedy, Bytes(4 << 20, 'y'), {64 << 10}));
    deliveries = engine.WaitFor(5);
    ASSERT_EQ(5u, deliveries.size());
    EXPECT_EQ(greedy, deliveries[4].socket);
    EXPECT_TRUE(deliveries[4].payload.empty()) << "the owner hears of a closed connection";
    EXPECT_EQ(1, errors.CountText(
                     {"reassembly limit", "socket " + std::to_string(greedy) + ", peer 127.0.0.1:4660"}))
        << "the cut connection is reported with its socket and peer";
    EXPECT_LE(CKesReceiveBacklog::ReassemblyBytes().load(), 1 << 20);

    // Reads straight into a large packet's buffer keep to the same limit.
    std::thread sender([&] { pair.Far().SendAll(Join({header, Bytes(2 << 20, 'z')})); });
    for (int wait = 0; wait < 3000 && engine.WaitFor(0).size() < 6; ++wait)
        if (ksxtest::Readable(static_cast<int>(socket), 10)) engine.KSEReadStream(socket);
    deliveries = engine.WaitFor(6);
    ASSERT_EQ(6u, deliveries.size());
    EXPECT_EQ(socket, deliveries[5].socket);
    EXPECT_TRUE(deliveries[5].payload.empty());
    EXPECT_LE(CKesReceiveBacklog::ReassemblyBytes().load(), 1 << 20);
    shutdown(static_cast<int>(socket), SHUT_RDWR); // a send blocked on the full buffer returns
    sender.join();
}

// Near 4 GiB, adding the header's 4 bytes would wrap to 0 and look complete.
TEST(RecordHeader, LengthGoesInFrontWholeRecordsDecodeInOrderAndABadLengthBreaksTheStream)
{
    const unsigned char none = 0;
    for (int size : {0, 0x010203}) {
        const Bytes data = Pattern(static_cast<size_t>(size), 0x40);
        CKesRecHdr header(size == 0 ? &none : data.data(), size);
        EXPECT_EQ(FrameHeld(header), Frame(data));
        EXPECT_EQ(header.KRHGetKOMPData(), header.KRHGetData() + 4);
        EXPECT_EQ(CKesRecHdr::KRHPeekDataLen(header.KRHGetData(), 4), size);
    }

    // Framed in a sender's own room: the allocated frame byte for byte, or, when it does not fit, nothing.
    const CKesRecord record = ksxtest::TextRecord("data", "some text");
    CKesRecHdr framed;
    ASSERT_EQ(framed.KRHFrameRecord(record), 1);
    const Bytes whole = FrameHeld(framed);
    Bytes room(whole.size(), 0xAA);
    const auto size = static_cast<unsigned int>(room.size());
    EXPECT_EQ(CKesRecHdr::KRHFrameRecordInto(record, room.data(), size - 1), 0);
    EXPECT_EQ(room, Bytes(whole.size(), 0xAA));
    EXPECT_EQ(CKesRecHdr::KRHFrameRecordInto(record, room.data(), size), static_cast<int>(size));
    EXPECT_EQ(room, whole);
    // A send's frame is the same bytes whether it fits the stack room or not.
    const CKesRecord large = ksxtest::TextRecord("data", std::string(CKesRecHdr::ms_SmallFrame, 'x').c_str());
    for (const CKesRecord* sent : {&record, &large}) {
        CKesRecHdr expected;
        ASSERT_EQ(expected.KRHFrameRecord(*sent), 1);
        CKesRecHdr::RecordFrame frame(*sent);
        ASSERT_EQ(frame.Result(), 1);
        EXPECT_EQ(BytesAt(frame.Data(), frame.Length()), FrameHeld(expected));
    }

    EXPECT_EQ(CKesRecHdr::KRHGetMaxPacketLength(), 64u * 1024u * 1024u);
    ksxtest::ErrorCapture errors;
    const Bytes first = FramedData("first");
    Bytes run = Join({first, {0xff, 0xff, 0xff, 0xfc}, Pattern(8, 0), first});
    CKesRecHdr header;
    auto length = [](const CKesIOWorkPacket& p) { return std::to_string(p.KIWPGetPacketLength() + 4); };
    EXPECT_EQ(Take<CKesIOWorkPacket>(header.KRHGetWorkStack(run.data(), run.size()), length),
              std::vector<std::string>{std::to_string(first.size())});
    EXPECT_TRUE(header.KRHIsBroken());
    EXPECT_EQ(header.KRHGetData(), nullptr);
    EXPECT_EQ(errors.Count(KES_ERR_FRAMING, "CKesRecHdr"), 1);
    header.KRHInitialise();
    EXPECT_FALSE(header.KRHIsBroken());
    // Splitting without copies (the engine's way; cut packets are checked through it) and decoding stop too.
    unsigned int count = 0;
    EXPECT_EQ(first.size(),
              header.KRHWholePackets(run.data(), static_cast<unsigned int>(run.size()), &count));
    EXPECT_EQ(1u, count);
    EXPECT_TRUE(header.KRHIsBroken());
    EXPECT_EQ(Take<CKesRecord>(CKesRecHdr().KRHGetDataRecords(run.data(), run.size()), DataOf),
              std::vector<std::string>{"first"});

    // Undecodable: reported and skipped; running past the end: the earlier records stay, nothing is kept.
    errors.Clear();
    run = Join({Frame(kNotAMap), FramedData("first"), FramedData("second"), FramedData("third")});
    run.pop_back();
    CKesRecHdr records;
    EXPECT_EQ(Take<CKesRecord>(records.KRHGetDataRecords(run.data(), run.size()), DataOf),
              (std::vector<std::string>{"first", "second"}));
    EXPECT_EQ(records.KRHGetData(), nullptr);
    const auto reports = errors.Reports();
    ASSERT_EQ(reports.size(), 2u);
    EXPECT_EQ(reports[0].code, KES_ERR_DECODE);
    EXPECT_EQ(reports[0].text, "Record cannot be decoded: the encoding is not a map");
    EXPECT_EQ(reports[1].code, KES_ERR_FRAMING);
    EXPECT_EQ(reports[1].source, "CKesRecHdr");
    EXPECT_EQ(reports[1].text, "Packet size mismatch in incoming conglomerated TCP packet.");
}

// Another thread removes a server's socket just after the loop began to read it (the removal lands inside
// the dispatch), and the handle goes to a new connection or to a new registration of the engine's own:
// what that read brings belongs to the ended connection and reaches neither (with no server filed, a record
// given to the new connection would be reported as having no server).
TEST(ReceivePathEndedConnections, AReadOvertakenByItsSocketsRemovalReachesNoLaterOwner)
{
    class RemovingEngine : public CollectingEngine {
    public:
        RemovingEngine() : CollectingEngine(1) {}
        void OnIO(CMOMRvIO* io) override
        {
            if (CKesSockEnd* end = removeOnRead.exchange(nullptr)) KSERemoveServerClientSocket(end);
            CollectingEngine::OnIO(io);
        }
        std::atomic<CKesSockEnd*> removeOnRead{nullptr};
    };
    for (const bool toServer : {true, false}) {
        SCOPED_TRACE(toServer ? "the handle goes to a server's connection"
                              : "the engine registers the handle");
        ksxtest::ErrorCapture errors;
        RemovingEngine engine;
        ksxtest::EventLoopThread loop(engine);
        engine.open = false; // the one worker waits with the first packet, the read's queue behind it
        engine.KSEAddWorkToIOPool(new CKesIOWorkPacket(kSocket, HeapBytes({'x'}), 1, &engine, nullptr, 0));
        ksxtest::TcpPair old, fresh;
        const int socket = static_cast<int>(old.Near());
        CKesSockEnd end;
        ASSERT_EQ(1, end.KSESetEndPointSocket(old.Near()));
        ASSERT_EQ(1, engine.KSEAddNewServerSocket(const_cast<char*>("NoSuchService"), &end));
        engine.removeOnRead = &end;
        ASSERT_TRUE(old.Far().SendAll(FramedData("ended")));
        ASSERT_TRUE(ksxtest::WaitUntil([&] {
            return engine.removeOnRead.load() == nullptr && ksxtest::Unread(socket) == 0;
        })) << "the loop did not read the record";
        ASSERT_EQ(socket, dup2(static_cast<int>(fresh.Near()), socket));
        if (toServer)
            ASSERT_EQ(1, engine.KSEAddNewServerSocket(const_cast<char*>("NoSuchService"), &end));
        else
            ASSERT_EQ(1, engine.Watch(static_cast<unsigned int>(socket)));
        engine.open = true;
        engine.KSEStopWorkers(); // runs what is queued
        EXPECT_EQ(engine.WaitFor(0).size(), 1u) << "a record of the ended connection reached KesOnRvIO";
        EXPECT_EQ(errors.Count(KES_ERR_NO_SERVER), 0)
            << "a record of the ended connection reached the new one";
        if (toServer) engine.KSERemoveServerClientSocket(&end);
        engine.KRNRemoveIO(static_cast<unsigned int>(socket));
        end.KSEReleaseEndPointSocket();
    }
}

// A datagram socket a derived engine registers: each datagram reaches KesOnRvIO whole, even one larger than
// a stream read.
TEST(ReceivePathDatagrams, ADatagramLargerThanAStreamReadArrivesWhole)
{
    CollectingEngine engine(1);
    ksxtest::EventLoopThread loop(engine);
    const int receiver = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0),
              sender = socket(AF_INET, SOCK_DGRAM, 0);
    sockaddr_in address = ksxtest::Ipv4("127.0.0.1", 0);
    socklen_t length = sizeof address;
    ASSERT_EQ(0, bind(receiver, reinterpret_cast<sockaddr*>(&address), sizeof address));
    ASSERT_EQ(0, getsockname(receiver, reinterpret_cast<sockaddr*>(&address), &length));
    ASSERT_EQ(1, engine.Watch(static_cast<unsigned int>(receiver)));
    const Bytes large = Pattern(20000, 7); // a stream read takes at most 16 KiB
    ASSERT_EQ(
        static_cast<ssize_t>(large.size()),
        sendto(sender, large.data(), large.size(), 0, reinterpret_cast<sockaddr*>(&address), sizeof address));
    const std::vector<Delivery> deliveries = engine.WaitFor(1);
    ASSERT_EQ(deliveries.size(), 1u);
    EXPECT_EQ(deliveries[0].payload, large);
    loop.Stop();
    engine.KRNRemoveIO(static_cast<unsigned int>(receiver));
    close(receiver);
    close(sender);
}

// A derived engine stops the workers before its own part goes: what they have queued still runs;
// what comes later is refused and reported.
TEST(ReceivePathWorkers, StoppingRunsWhatIsQueuedAndRefusesWhatComesLater)
{
    CollectingEngine engine(2);
    auto packet = [&engine] {
        return new CKesIOWorkPacket(kSocket, HeapBytes({'x'}), 1, &engine, nullptr, 0);
    };
    for (int i = 0; i < 3; ++i) engine.KSEAddWorkToIOPool(packet());
    engine.KSEStopWorkers();
    EXPECT_EQ(engine.WaitFor(0).size(), 3u);
    ksxtest::ErrorCapture errors;
    engine.KSEAddWorkToIOPool(packet());
    engine.KSEStopWorkers(); // again: nothing
    EXPECT_EQ(errors.CountText({"Packet not queued to the IO pool, dropped"}, KES_ERR_ARGUMENT), 1);
    EXPECT_EQ(engine.WaitFor(0).size(), 3u);
}

// A host that keeps a copy of a packet past the engine: the copy still holds its connection's backlog,
// which had paused the socket. Letting them go afterwards must not resume it on the engine's dead loop (the
// address sanitizer sees the loop's memory used after it was freed).
TEST(ReceivePathBackPressureCopies, CopiesKeptPastTheEngineResumeNothingWhenReleased)
{
    class KeepingEngine : public CollectingEngine {
    public:
        using CollectingEngine::CollectingEngine;
        void KesOnRvIO(CKesIOWorkPacket* packet) override
        {
            std::lock_guard<std::mutex> hold(m_KeptLock);
            kept.emplace_back(new CKesIOWorkPacket(*packet));
        }
        std::mutex m_KeptLock;
        std::vector<std::unique_ptr<CKesIOWorkPacket>> kept;
    };
    auto engine = std::make_unique<KeepingEngine>(1);
    ksxtest::TcpPair pair;
    const unsigned int socket = pair.Near();
    ASSERT_EQ(1, engine->Watch(socket));
    ASSERT_EQ(1, engine->KSESetReceiveBacklogCap(600));
    // Packets of one read reach the host as views that hold no backlog; one cut across reads is handed over
    // itself, charged, and so is its copy: alone, twice the cap.
    const Bytes record = FramedData(std::string(1200, 'k'));
    ASSERT_EQ(1, Feed(*engine, socket, record, {100, record.size()}));
    engine->KSEStopWorkers(); // the packet handed over, and copied
    std::vector<std::unique_ptr<CKesIOWorkPacket>> copies = std::move(engine->kept);
    ASSERT_EQ(copies.size(), 1u);
    engine.reset();
    copies.clear(); // drains the backlog below half its cap
}

// The address sanitizer checks that the copying setter copies and the taking one frees.
TEST(WorkPacket, CopiesAndSettersOwnTheirBuffersItemsAreChargedPerPacketAndABadPayloadIsReported)
{
    int engine = 0;
    const Bytes payload = Pattern(20, 3);
    auto* original = new CKesIOWorkPacket(5, HeapBytes(payload), 20, &engine, HeapSource(), 16);
    CKesIOWorkPacket copy(*original);
    std::unique_ptr<CKesListable> deep(original->KLTargetDeepCopy(original));
    ASSERT_NE(deep, nullptr);
    delete original;
    auto* item = static_cast<CKesIOWorkPacket*>(deep.get());
    // Packet, payload and source in one block: deleting it or replacing its source frees nothing inside.
    std::unique_ptr<CKesIOWorkPacket> block(CKesIOWorkPacket::KIWPNewInBlock(
        5, payload.data(), 20, &engine, reinterpret_cast<const sockaddr*>(kSource.data()), 16));
    ASSERT_NE(block, nullptr);
    for (auto* p : {&copy, item, block.get()}) {
        EXPECT_EQ(PacketOf(*p), payload);
        EXPECT_EQ(SourceOf(*p), kSource);
        EXPECT_EQ(p->KIWPGetSocket(), 5u);
        EXPECT_EQ(p->KIWPGetSockServer(), &engine);
    }
    // An item of many packets counts each against its connection's backlog, until it goes.
    auto backlog = std::make_shared<CKesReceiveBacklog>(nullptr, 5, 1, 1 << 20);
    item->KIWPSetWholePackets(CKesReceiveBacklog::ms_PacketCap + 1);
    item->KIWPCharge(backlog.get());
    EXPECT_TRUE(backlog->IsFull()) << "an item of many packets was charged as one";
    EXPECT_EQ(1u, item->KIWPGetGeneration());
    // A copy counts as one more packet of its own and keeps the backlog when the engine has let it go.
    auto* kept = new CKesIOWorkPacket(*item);
    deep.reset();
    EXPECT_FALSE(backlog->IsFull());
    EXPECT_EQ(20 + CKesReceiveBacklog::ms_PacketOverhead, backlog->Bytes());
    std::weak_ptr<CKesReceiveBacklog> gone = backlog;
    backlog.reset();
    EXPECT_FALSE(gone.expired());
    EXPECT_EQ(1u, kept->KIWPGetGeneration());
    delete kept;
    EXPECT_TRUE(gone.expired());

    const Bytes ipv6 = Pattern(28, 4); // as long as an IPv6 address
    const auto* given = reinterpret_cast<const sockaddr*>(ipv6.data());
    ASSERT_EQ(copy.KIWPSetSource(given, 28), 1);
    EXPECT_NE(copy.KIWPGetSource(), given);
    EXPECT_EQ(SourceOf(copy), ipv6);
    for (auto* p : {&copy, block.get()}) {
        ASSERT_EQ(p->KIWPSetSource(HeapSource(), 16), 1);
        EXPECT_EQ(SourceOf(*p), kSource);
    }

    // A good payload decodes to its record and stays; a bad one gives an empty record and a report.
    ksxtest::ErrorCapture errors;
    for (const Bytes& bytes : {ksxtest::Encode(ksxtest::TextRecord("data", "value")), kNotAMap}) {
        CKesIOWorkPacket packet(3, HeapBytes(bytes), bytes.size(), nullptr, nullptr, 0);
        std::unique_ptr<CKesRecord> record(packet.KIWPGetRecord());
        ASSERT_NE(record, nullptr);
        EXPECT_EQ(record->KRCount(), bytes == kNotAMap ? 0 : 1);
        EXPECT_EQ(DataOf(*record), bytes == kNotAMap ? "" : "value");
        EXPECT_EQ(PacketOf(packet), bytes);
    }
    const auto reports = errors.Reports();
    ASSERT_EQ(reports.size(), 1u);
    EXPECT_EQ(reports[0].code, KES_ERR_DECODE);
    EXPECT_EQ(reports[0].source, "CKesIOWorkPacket");
    EXPECT_EQ(reports[0].text, "Record cannot be decoded: the encoding is not a map (socket 3)");
}

} // namespace
