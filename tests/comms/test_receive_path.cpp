// The receive path: framing, the packet size limit, work packets, packets cut
// anywhere across reads, closed connections, datagrams, and random streams to
// a real server.
#include <arpa/inet.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

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
using ksxtest::Frame; // an independent framing to check ours against
using ksxtest::Join;
using ksxtest::Pattern;
const Bytes kNotAMap = {0xC1, 1, 2, 3, 4}; // 0xC1 is never used by the encoding

// A heap block holding the bytes (or the IPv4 address), as a packet takes it.
unsigned char* HeapBytes(const Bytes& bytes)
{
    auto* block = static_cast<unsigned char*>(std::malloc(bytes.size() + 1)); // never malloc(0)
    std::memcpy(block, bytes.data(), bytes.size());
    return block;
}

sockaddr* HeapIPv4(const char* dotted, int port)
{
    auto* address = static_cast<sockaddr_in*>(std::calloc(1, sizeof(sockaddr_in)));
    address->sin_family = AF_INET;
    address->sin_port = htons(static_cast<uint16_t>(port));
    inet_pton(AF_INET, dotted, &address->sin_addr);
    return reinterpret_cast<sockaddr*>(address);
}

// The stack's items in input order (it pops the last pushed first), deleted.
template <typename Item, typename Read>
std::vector<std::string> Take(CKesStack* stack, Read read)
{
    std::vector<std::string> items;
    while (auto* item = stack ? static_cast<Item*>(stack->KSPop()) : nullptr) {
        items.insert(items.begin(), read(item));
        delete item;
    }
    delete stack;
    return items;
}

std::string FieldText(CKesRecord* record)
{ // "name=text" of the first field
    const CKesVarBind* field = record->KRValueAt(0);
    return std::string(field->KVBName()) + "=" + field->KVBValue()->KAString();
}

Bytes Tail(CKesRecHdr& header)
{
    return header.KRHGetData() ? Bytes(header.KRHGetData(), header.KRHGetData() + header.KRHGetTotalLen())
                               : Bytes();
}

Bytes FramedRecord(const char* name, const char* text)
{
    return Frame(ksxtest::Encode(ksxtest::TextRecord(name, text)));
}

struct Delivery {
    unsigned int socket;
    Bytes payload, source;
};

// An engine whose catch-all callback keeps every packet that reaches it.
class CollectingEngine : public CKesSockEngine {
public:
    explicit CollectingEngine(int poolSize) : CKesSockEngine("receive-test", __KES_SERV_DAEMON, poolSize) {}
    void KesOnRvIO(CKesIOWorkPacket* packet) override
    {
        const unsigned char* bytes = packet->KIWPGetPacket();
        const auto* source = reinterpret_cast<const unsigned char*>(packet->KIWPGetSource());
        const size_t length = bytes ? packet->KIWPGetPacketLength() : 0;
        Delivery delivery{packet->KIWPGetSocket(), Bytes(bytes, bytes + length),
                          Bytes(source, source ? source + packet->KIWPGetSourceLen() : source)};
        if (length == 0)
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

private:
    std::mutex m_Lock;
    std::condition_variable m_Changed;
    std::vector<Delivery> m_Deliveries;
};

const Bytes kSource = {2, 0, 0x12, 0x34, 127, 0, 0, 1, 0, 0, 0, 0, 0, 0, 0, 0};
constexpr unsigned int kSocket = 4242; // a handle no table knows: packets reach KesOnRvIO

// Hands one "read" to the receive path as the event-loop thread would.
int Feed(CKesSockEngine& engine, unsigned int socket, const Bytes& bytes, size_t from = 0,
         size_t count = SIZE_MAX)
{
    const Bytes read(bytes.begin() + from, bytes.begin() + from + std::min(count, bytes.size() - from));
    return engine.KSECheckSockPacket(socket, HeapBytes(read), static_cast<int>(read.size()),
                                     reinterpret_cast<sockaddr*>(HeapBytes(kSource)),
                                     static_cast<int>(kSource.size()));
}

std::multiset<Bytes> Payloads(const std::vector<Delivery>& deliveries)
{
    std::multiset<Bytes> payloads;
    for (const auto& delivery : deliveries) payloads.insert(delivery.payload);
    return payloads;
}

struct CutCase {
    const char* what;
    std::vector<size_t> sizes; // payload sizes, framed one after the other
    std::vector<size_t> reads; // lengths of the reads; the last one takes the rest
    size_t every = 0;          // or: reads of this length throughout
};

const CutCase kCutCases[] = {
    {"three whole packets (one empty) in one read, then one more",
     {10, 0, 300, 7},
     {4 + 10 + 4 + 0 + 4 + 300}},
    {"a packet cut twice inside its header", {50, 3}, {1, 2, 51}},
    {"a packet cut in its data, the rest with another packet", {1000, 20}, {400}},
    {"a large packet in reads that line up with nothing", {8u << 20, 33}, {}, 65536 - 3},
};

// One worker, so queued order is processed order: a packet completed by a
// later read comes after those an earlier read completed.
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
            stream = Join({stream, Frame(sent.back())});
            frameEnds.push_back(stream.size());
        }
        std::vector<size_t> completedBy(sent.size()); // the read that completes each packet
        size_t from = 0;
        for (size_t i = 0; from < stream.size(); ++i) {
            const size_t length = std::min(cut.every              ? cut.every
                                           : i < cut.reads.size() ? cut.reads[i]
                                                                  : SIZE_MAX,
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
            if (p == sent.size()) continue; // reported by the multiset check
            EXPECT_LE(lastRead, completedBy[p]) << "a packet overtook one completed by an earlier read";
            lastRead = std::max(lastRead, completedBy[p]);
        }
    }
}

// A read of many packets is shared among the workers as a few items: each
// packet still arrives once, and each counts against the connection's backlog.
TEST(ReceivePathSplitting, AReadOfManyPacketsIsSharedAmongWorkersEachArrivingOnceAndCharged)
{
    CollectingEngine engine(2);
    std::vector<Bytes> sent;
    Bytes read;
    for (unsigned i = 0; i < 100; ++i) {
        sent.push_back(Pattern(i % 7 == 0 ? 0 : 20 + i, i));
        read = Join({read, Frame(sent.back())});
    }
    ASSERT_EQ(1, Feed(engine, kSocket, read));
    const auto deliveries = engine.WaitFor(sent.size());
    EXPECT_EQ(std::multiset<Bytes>(sent.begin(), sent.end()), Payloads(deliveries));

    auto backlog = std::make_shared<CKesReceiveBacklog>(nullptr, kSocket, 1, 1 << 20);
    {
        CKesIOWorkPacket item(kSocket, HeapBytes(read), static_cast<unsigned int>(read.size()), &engine,
                              nullptr, 0);
        item.KIWPSetWholePackets(CKesReceiveBacklog::ms_PacketCap + 1);
        item.KIWPCharge(backlog);
        EXPECT_TRUE(backlog->IsFull()) << "an item of many packets was charged as one";
    }
    EXPECT_FALSE(backlog->IsFull());
    EXPECT_EQ(0, backlog->Bytes());
}

// A packet of exactly the limit is delivered; one byte more breaks the stream.
TEST(ReceivePathBrokenFraming, OversizedLengthDeliversEarlierPacketsThenClosesTheConnection)
{
    ksxtest::ErrorCapture errors;
    const unsigned int oldLimit = CKesRecHdr::KRHGetMaxPacketLength();
    CKesRecHdr::KRHSetMaxPacketLength(1024);
    CollectingEngine engine(1);
    ksxtest::TcpPair pair;
    const unsigned int socket = pair.Near();
    ASSERT_EQ(1, engine.KRNAddIOHandle(socket, TRUE, FALSE, FALSE, &engine));

    const Bytes good = Pattern(1024, 11), oversized = {0, 0, 0x04, 0x01, 1, 2, 3}; // announces 1025 bytes
    ASSERT_EQ(1, Feed(engine, socket, Join({Frame(good), oversized})));
    auto deliveries = engine.WaitFor(2); // the close comes from the reading thread, in any order
    ASSERT_EQ(2u, deliveries.size());
    EXPECT_EQ((std::multiset<Bytes>{good, Bytes()}), Payloads(deliveries));
    EXPECT_TRUE(errors.Has(KES_ERR_FRAMING));
    EXPECT_EQ(KES_ERR_INVALID_SOCKET, engine.KRNRemoveIO(socket)) << "still registered with the event loop";

    // Nothing of the broken stream is kept for whatever uses the handle next.
    const Bytes next = Pattern(5, 12);
    ASSERT_EQ(1, Feed(engine, socket, Frame(next)));
    deliveries = engine.WaitFor(3);
    ASSERT_EQ(3u, deliveries.size());
    EXPECT_EQ(next, deliveries[2].payload);
    CKesRecHdr::KRHSetMaxPacketLength(oldLimit);
}

// Fragments are completed without the engine lock: while a loop runs, a read
// handed over by another thread aborts checked builds.
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

// Sockets a derived engine registers itself (multicast too) are not framed.
TEST(ReceivePathSockets, DatagramOnRegisteredUdpSocketArrivesWholeWhateverItsFirstBytesSay)
{
    CollectingEngine engine(2);
    ksxtest::EventLoopThread loop(engine);
    const int udp = socket(AF_INET, SOCK_DGRAM, 0), sender = socket(AF_INET, SOCK_DGRAM, 0);
    sockaddr_in address{AF_INET, 0, {htonl(INADDR_LOOPBACK)}, {}};
    socklen_t length = sizeof(address);
    ASSERT_EQ(0, bind(udp, reinterpret_cast<sockaddr*>(&address), length));
    getsockname(udp, reinterpret_cast<sockaddr*>(&address), &length);
    ASSERT_EQ(1, engine.KRNAddIOHandle(static_cast<unsigned int>(udp), TRUE, FALSE, FALSE, &engine));

    const Bytes datagram = Join({{0, 0, 0, 5}, Pattern(96, 13)}); // a "header" that does not fit
    ASSERT_EQ(static_cast<ssize_t>(datagram.size()),
              sendto(sender, datagram.data(), datagram.size(), 0, reinterpret_cast<sockaddr*>(&address),
                     sizeof(address)));
    auto deliveries = engine.WaitFor(1);
    ASSERT_EQ(1u, deliveries.size());
    EXPECT_EQ(datagram, deliveries[0].payload);
    EXPECT_EQ(16u, deliveries[0].source.size());
    engine.KRNRemoveIO(static_cast<unsigned int>(udp));
    close(sender);
    close(udp);
}

// Logs a disconnect as "disconnect on loop" (or "off loop").
class LoggingServer : public ksxtest::RecordingServer {
public:
    void KOSSOnClientDisconnect(CKesSockEnd*) override
    {
        log.Add(std::this_thread::get_id() == loop.load() ? "disconnect on loop" : "disconnect off loop");
    }
    std::atomic<std::thread::id> loop;
};

// Each round a peer streams random records in random cuts, then half a one, and
// goes; the next (often on the same handle) starts clean. Disconnects run on the loop.
TEST(ReceivePathServer, RandomRecordsWithRandomCutsArriveExactlyOnceAndAClosedPeersHalfPacketIsNotReused)
{
    CollectingEngine engine(3);
    ksxtest::EventLoopThread loop(engine);
    auto* server =
        ksxtest::AddServer<LoggingServer>(engine, "ReceiveTest", "TestDomain"); // owned by the engine
    ASSERT_NE(nullptr, server);
    server->loop = loop.Id();
    ASSERT_TRUE(ksxtest::WaitUntil([&] { return server->KOSSGetConnectState() == KES_CONNECTED; }));
    for (int round = 1; round <= 6; ++round) {
        SCOPED_TRACE("round " + std::to_string(round));
        std::mt19937 random(round * 7919u);
        const std::string id = "peer-" + std::to_string(round);
        auto peer = ksxtest::Greeted(server->Port(), id);
        ASSERT_TRUE(server->log.WaitFor("connect " + id));
        Bytes stream, half;
        std::vector<std::string> sent;
        for (int i = 0, records = 5 + static_cast<int>(random() % 20); i <= records; ++i) {
            const unsigned pick = random() % 10;
            std::string text(pick < 5   ? random() % 200
                             : pick < 8 ? random() % 65536
                                        : random() % (1u << 20) + 1,
                             'a');
            for (char& letter : text) letter = static_cast<char>('a' + random() % 26);
            text = std::to_string(round * 1000 + i) + text; // unique across rounds
            const Bytes frame = ksxtest::FrameOf(ksxtest::TextRecord("data", text.c_str()));
            if (i < records) {
                stream.insert(stream.end(), frame.begin(), frame.end());
                sent.push_back("io " + id + " " + text);
            } else {
                half.assign(frame.begin(), frame.begin() + frame.size() / 2);
            }
        }
        for (size_t from = 0; from < stream.size();) {
            size_t cut = std::min(stream.size() - from,
                                  static_cast<size_t>(1 + random() % (random() % 2 ? 7 : 300000)));
            ASSERT_TRUE(peer->SendAll(stream, from, cut));
            from += cut;
            if (random() % 4 == 0) std::this_thread::sleep_for(std::chrono::microseconds(random() % 3000));
        }
        for (const std::string& record : sent)
            ASSERT_TRUE(server->log.WaitFor(record)) << "lost or corrupted";
        for (const std::string& record : sent) EXPECT_EQ(1, server->log.Count(record));
        ASSERT_TRUE(peer->SendAll(half));
        peer->Close();
        EXPECT_TRUE(server->log.WaitFor("disconnect on loop", round));
    }
    EXPECT_EQ(0, server->log.Count("disconnect off loop"));
    engine.KNSafeExit();
}

// A line of /proc/self/status ("VmHWM", "VmSize"), in KiB.
long long StatusKiB(const std::string& field)
{
    std::ifstream status("/proc/self/status");
    for (std::string line; std::getline(status, line);)
        if (line.rfind(field + ":", 0) == 0) return std::stoll(line.substr(field.size() + 1));
    return -1;
}

// Fragments grow with the bytes that arrive, not the declared length, and stay
// under the process's limit: the connection that would pass it is cut and named.
TEST(ReceivePathReassembly, FragmentsHoldWhatArrivedAndTheProcessLimitCutsTheConnectionThatPassesIt)
{
    ksxtest::ErrorCapture errors;
    CollectingEngine engine(1);
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
    const Bytes chunk(64 << 10, 'y');
    int result = 1;
    for (int i = 0; i < 64 && result == 1; ++i) result = Feed(engine, greedy, chunk);
    EXPECT_EQ(KES_ERR_ALLOCATION, result);
    auto deliveries = engine.WaitFor(1);
    ASSERT_EQ(1u, deliveries.size());
    EXPECT_EQ(greedy, deliveries[0].socket);
    EXPECT_TRUE(deliveries[0].payload.empty()) << "the owner hears of a closed connection";
    EXPECT_EQ(1, errors.CountText(
                     {"reassembly limit", "socket " + std::to_string(greedy) + ", peer 127.0.0.1:4660"}))
        << "the cut connection is reported with its socket and peer";
    EXPECT_LE(CKesReceiveBacklog::ReassemblyBytes().load(), 1 << 20);

    // Reads straight into a large packet's buffer keep to the same limit.
    ksxtest::TcpPair pair;
    std::thread sender([&] { pair.Far().SendAll(Join({header, Bytes(2 << 20, 'z')})); });
    for (int wait = 0; wait < 3000 && engine.WaitFor(0).size() < 2; ++wait) {
        pollfd readable{static_cast<int>(pair.Near()), POLLIN, 0};
        if (poll(&readable, 1, 10) == 1) engine.KSEReadStream(pair.Near());
    }
    deliveries = engine.WaitFor(2);
    ASSERT_EQ(2u, deliveries.size());
    EXPECT_EQ(pair.Near(), deliveries[1].socket);
    EXPECT_TRUE(deliveries[1].payload.empty());
    EXPECT_LE(CKesReceiveBacklog::ReassemblyBytes().load(), 1 << 20);
    shutdown(static_cast<int>(pair.Near()), SHUT_RDWR); // a send blocked on the full buffer returns
    sender.join();
}

// A flood of records that each take 1 ms is read only up to the backlog cap
// (peak memory stays bounded) while a bystander is still served.
class SlowServer : public CKesObjSockServer {
public:
    void KesOnServerIO(CKesSockEnd*, CKesRecord* record) override
    {
        const bool bystander = ksxtest::TextOf(*record, "data") == "bystander";
        delete record;
        bystanderServed += bystander;
        if (!bystander && slow.load()) std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    std::atomic<int> bystanderServed{0};
    std::atomic<bool> slow{true};
};

TEST(ReceivePathBackPressure, AFloodIsReadNoFasterThanItIsServedAndABystanderIsStillAnswered)
{
    CollectingEngine engine(2);
    ksxtest::EventLoopThread loop(engine);
    auto* server = ksxtest::AddServer<SlowServer>(engine, "FloodTest", "TestDomain"); // owned by the engine
    ASSERT_NE(nullptr, server);
    ASSERT_TRUE(ksxtest::WaitUntil([&] { return server->KOSSGetConnectState() == KES_CONNECTED; }));
    const unsigned int port = server->KOSSGetServerData()->KSEGetEndPtAddressPort();
    auto flooder = ksxtest::Greeted(port, "flooder"), bystander = ksxtest::Greeted(port, "bystander");

    Bytes burst; // records of 28 bytes or so, 64 KiB at a time
    for (const Bytes record = ksxtest::FrameOf(ksxtest::TextRecord("data", "flood-record"));
         burst.size() < (64u << 10);)
        burst.insert(burst.end(), record.begin(), record.end());
    std::atomic<bool> flooding{true};
    std::atomic<long long> written{0};
    std::thread flood([&] {
        for (int i = 0; i < 16 * 1024 && flooding.load() && flooder->SendAll(burst); ++i)
            written += burst.size();
    });
    // Bounded by time, not by what the server takes.
    for (int i = 0; i < 40; ++i) {
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
    engine.KNSafeExit();
}

TEST(RecordHeaderFraming, LengthGoesInFrontMostSignificantFirst)
{
    const unsigned char none = 0;
    for (int size : {0, 0x010203}) {
        const Bytes data = Pattern(static_cast<size_t>(size), 0x40);
        CKesRecHdr header(size == 0 ? &none : data.data(), size);
        EXPECT_EQ(Tail(header), Frame(data));
        EXPECT_EQ(header.KRHGetKOMPData(), header.KRHGetData() + 4);
        EXPECT_EQ(CKesRecHdr::KRHPeekDataLen(header.KRHGetData(), 4), size);
    }
}

TEST(RecordHeaderLimit, AboveTheLimitBreaksTheStreamAndLengthsNearFourGibibytesNeverWrapAround)
{
    EXPECT_EQ(CKesRecHdr::KRHGetMaxPacketLength(), 64u * 1024u * 1024u);
    ksxtest::ErrorCapture errors;
    // 0xFFFFFFFC + 4 wraps to 0 in 32 bits and would look complete.
    Bytes run =
        Join({Frame(Pattern(3, 1)), Bytes{0xff, 0xff, 0xff, 0xfc}, Pattern(8, 0), Frame(Pattern(3, 1))});
    CKesRecHdr header;
    auto length = [](CKesIOWorkPacket* packet) { return std::to_string(packet->KIWPGetPacketLength()); };
    EXPECT_EQ(Take<CKesIOWorkPacket>(header.KRHGetWorkStack(run.data(), run.size()), length),
              std::vector<std::string>{"3"});
    EXPECT_TRUE(header.KRHIsBroken());
    EXPECT_EQ(header.KRHGetData(), nullptr);
    EXPECT_EQ(errors.Count(KES_ERR_FRAMING, "CKesRecHdr"), 1);
    header.KRHInitialise();
    EXPECT_FALSE(header.KRHIsBroken());

    // Splitting without copies ends at the same places: before the broken
    // header, and before a cut packet, whose bytes stay as the tail.
    unsigned int count = 0;
    EXPECT_EQ(7u, header.KRHWholePackets(run.data(), static_cast<unsigned int>(run.size()), &count));
    EXPECT_EQ(1u, count);
    EXPECT_TRUE(header.KRHIsBroken());
    header.KRHInitialise();
    const Bytes cut = Join({Frame(Pattern(3, 1)), Frame(Pattern(2, 2)), Bytes{0, 0}});
    EXPECT_EQ(13u, header.KRHWholePackets(cut.data(), static_cast<unsigned int>(cut.size()), &count));
    EXPECT_EQ(2u, count);
    EXPECT_EQ(Tail(header), (Bytes{0, 0}));
}

TEST(RecordHeaderRecords, WholePacketsDecodeInOrderAndBadOnesAreReportedAndLeftOut)
{
    ksxtest::ErrorCapture errors;
    CKesRecHdr header;
    // Running past the end: the earlier records stay, in order; nothing is kept.
    const Bytes third = FramedRecord("c", "third");
    Bytes run = Join(
        {FramedRecord("a", "first"), FramedRecord("b", "second"), Bytes(third.begin(), third.end() - 1)});
    EXPECT_EQ(Take<CKesRecord>(header.KRHGetDataRecords(run.data(), run.size()), FieldText),
              (std::vector<std::string>{"a=first", "b=second"}));
    ASSERT_EQ(errors.Count(KES_ERR_FRAMING, "CKesRecHdr"), 1);
    EXPECT_EQ(errors.Reports()[0].text, "Packet size mismatch in incoming conglomerated TCP packet.");
    EXPECT_EQ(header.KRHGetData(), nullptr);

    // An undecodable payload: the decoder reports it, then the bad length.
    errors.Clear();
    run = Join({Frame(kNotAMap), FramedRecord("ok", "yes"), Bytes{0xff, 0xff, 0xff, 0xff}});
    CKesRecHdr other;
    EXPECT_EQ(Take<CKesRecord>(other.KRHGetDataRecords(run.data(), run.size()), FieldText),
              std::vector<std::string>{"ok=yes"});
    const auto reports = errors.Reports();
    ASSERT_EQ(reports.size(), 2u);
    EXPECT_EQ(reports[0].code, KES_ERR_DECODE);
    EXPECT_EQ(reports[0].text, "Record cannot be decoded: the encoding is not a map");
    EXPECT_EQ(reports[1].code, KES_ERR_FRAMING);
}

// Copies own their buffers; the copying setter keeps a private copy and the
// taking one frees the block it replaces (both checked by the address sanitizer).
// A payload decodes and stays unchanged; a bad one gives an empty record and
// a report naming the socket.
TEST(WorkPacket, CopiesAndSettersOwnTheirBuffersAndABadPayloadIsReported)
{
    int engine = 0;
    auto* original =
        new CKesIOWorkPacket(5, HeapBytes(Pattern(20, 3)), 20, &engine, HeapIPv4("10.1.2.3", 80), 16);
    CKesIOWorkPacket copy(*original);
    std::unique_ptr<CKesListable> deep(original->KLTargetDeepCopy(original));
    ASSERT_NE(deep, nullptr);
    const std::string payload(reinterpret_cast<char*>(original->KIWPGetPacket()), 20);
    const std::string source(reinterpret_cast<char*>(original->KIWPGetSource()), 16);
    delete original;
    for (auto* p : {&copy, static_cast<CKesIOWorkPacket*>(deep.get())}) {
        EXPECT_EQ(std::string(reinterpret_cast<char*>(p->KIWPGetPacket()), p->KIWPGetPacketLength()),
                  payload);
        EXPECT_EQ(std::string(reinterpret_cast<char*>(p->KIWPGetSource()), p->KIWPGetSourceLen()), source);
        EXPECT_EQ(p->KIWPGetSocket(), 5u);
        EXPECT_EQ(p->KIWPGetSockServer(), &engine);
    }

    sockaddr_in6 address{};
    address.sin6_family = AF_INET6;
    inet_pton(AF_INET6, "fe80::1", &address.sin6_addr);
    const auto* given = reinterpret_cast<const sockaddr*>(&address);
    ASSERT_EQ(copy.KIWPSetSource(given, 28), 1);
    EXPECT_NE(copy.KIWPGetSource(), given);
    EXPECT_EQ(copy.KIWPGetSourceLen(), 28u);
    EXPECT_EQ(std::memcmp(copy.KIWPGetSource(), &address, 28), 0);
    ASSERT_EQ(copy.KIWPSetSource(HeapIPv4("10.0.0.2", 1), 16), 1);
    EXPECT_EQ(copy.KIWPGetSourceLen(), 16u);

    const Bytes good = ksxtest::Encode(ksxtest::TextRecord("name", "value"));
    CKesIOWorkPacket packet(KES_INVALID_SOCKET, HeapBytes(good), good.size(), nullptr, nullptr, 0);
    ksxtest::ErrorCapture errors;
    std::unique_ptr<CKesRecord> decoded(packet.KIWPGetRecord());
    ASSERT_NE(decoded, nullptr);
    EXPECT_EQ(ksxtest::TextOf(*decoded, "name"), "value");
    EXPECT_EQ(Bytes(packet.KIWPGetPacket(), packet.KIWPGetPacket() + good.size()), good);
    EXPECT_TRUE(errors.Reports().empty());

    CKesIOWorkPacket garbage(3, HeapBytes(kNotAMap), kNotAMap.size(), nullptr, nullptr, 0);
    std::unique_ptr<CKesRecord> empty(garbage.KIWPGetRecord());
    ASSERT_NE(empty, nullptr);
    EXPECT_EQ(empty->KRCount(), 0);
    const auto reports = errors.Reports();
    ASSERT_EQ(reports.size(), 1u);
    EXPECT_EQ(reports[0].code, KES_ERR_DECODE);
    EXPECT_EQ(reports[0].source, "CKesIOWorkPacket");
    EXPECT_EQ(reports[0].text, "Record cannot be decoded: the encoding is not a map (socket 3)");
}

} // namespace
