// The socket client over loopback TCP against a wire peer or in an engine; discovery by a real group.
#include <future>

#include "CKesObjMulticast.h"
#include "KesEngineHarness.h"

namespace {

using ksxtest::TextOf;
using ksxtest::WireConnection;
using ksxtest::WireListener;

constexpr int kGuardMs = ksxtest::kWireGuardMs;
const std::string kConnected = "connect " + std::to_string(KES_CONNECTED);

// Logs "connect <state read from another thread>": the ClientLock must be free in the callback.
struct RecordingClient : ksxtest::LoggingClient {
    explicit RecordingClient(const char* clientId) : LoggingClient(clientId, "Svc", "Dom") {}
    ~RecordingClient() override { KOSCStopConnectThread(); } // before this class's callback goes
    void KOSCOnClientConnect() override
    {
        auto state = std::async(std::launch::async, [this] { return KOSCGetState(); });
        const bool answered =
            state.wait_for(std::chrono::milliseconds(kGuardMs)) == std::future_status::ready;
        log.Add("connect " + (answered ? std::to_string(state.get()) : std::string("<ClientLock held>")));
    }
};

class ClientTest : public ::testing::Test {
protected:
    void FileServer(int port, const char* address = "127.0.0.1")
    {
        ksxtest::WriteServiceFile(ksxtest::kMulticastLine +
                                  ksxtest::ServiceLine("Svc", "Dom", address, port));
    }
    // Checks that the connection's first record is the client's greeting alone; gives the connection back.
    static std::unique_ptr<WireConnection> Greeting(std::unique_ptr<WireConnection> connection,
                                                    const char* clientId)
    {
        ExpectNext(connection.get(), ksxtest::TextRecord("KesSocketClientIdField", clientId));
        return connection;
    }
    static void ExpectNext(WireConnection* server, const CKesRecord& record)
    {
        ksxtest::Bytes payload;
        ASSERT_TRUE(server && server->ReadFrame(payload));
        EXPECT_EQ(ksxtest::Encode(record), payload);
    }
    // The next record with a "data" field (keep-alives are skipped).
    static std::string NextData(WireConnection& server)
    {
        for (std::unique_ptr<CKesRecord> next = server.ReadRecord(); next; next = server.ReadRecord())
            if (!TextOf(*next, "data").empty()) return TextOf(*next, "data");
        return "";
    }

    ksxtest::ScopedTimeScale m_Scale{0.01}; // 2 s greeting delay -> 20 ms, 3 s retry -> 30 ms
    WireListener m_Peer;
};

// A refused attempt forgets the server; the peer's address replaces the file's any-address.
TEST_F(ClientTest, RefusedAttemptIsRetriedAndTheConnectionGreetsThenKeepsAlive)
{
    KesSetTimeScale(0.03); // a 60 ms greeting delay for a send to run into, keep-alives every 300 ms
    FileServer(WireListener().Port()); // a port that then refuses
    RecordingClient client("client-7");
    EXPECT_EQ(KES_ERR_CONNECTION, client.KOSCConnect());
    EXPECT_EQ(KES_UNCONNECTED, client.KOSCGetState());
    EXPECT_EQ(nullptr, client.KOSCGetServerData());
    CKesRecord record = ksxtest::TextRecord("a", "b");
    EXPECT_EQ(KES_ERR_SEND, client.KOSCSendToServer(&record)) << "nothing is queued while unconnected";

    FileServer(m_Peer.Port(), "0.0.0.0");
    const auto start = std::chrono::steady_clock::now(); // before the greeting goes out
    ASSERT_EQ(1, client.KOSCInitialise());
    std::unique_ptr<WireConnection> server = m_Peer.Accept(); // the attempt holds the ClientLock from here
    EXPECT_EQ(1, client.KOSCSendToServer(&record)) << "a send during the attempt waits for it";
    server = Greeting(std::move(server), "client-7");
    ExpectNext(server.get(), record); // as one frame after the greeting
    ASSERT_TRUE(client.log.WaitFor(kConnected)) << "the connect callback ran with the ClientLock held";
    EXPECT_EQ(std::vector<std::string>{kConnected}, client.log.Events());
    ASSERT_NE(nullptr, client.KOSCGetServerData());
    EXPECT_EQ(unsigned(m_Peer.Port()), client.KOSCGetServerData()->KSEGetEndPtAddressPort());
    EXPECT_EQ("127.0.0.1", ksxtest::TakeText(client.KOSCGetServerData()->KSEGetEndPtIpAddress()));
    // The k-th keep-alive leaves k intervals (10 s scaled) after the greeting, give or take rounding.
    const std::chrono::duration<double, std::milli> interval(10000 * KesTimeScale());
    const std::unique_ptr<CKesRecord> keepAlive(CKesSockEnd::KSEGetKeepAlivePacket());
    for (int k = 1; server && k <= 3 && !HasFatalFailure(); ++k) {
        ExpectNext(server.get(), *keepAlive);
        EXPECT_GE(std::chrono::steady_clock::now() - start, 0.8 * k * interval)
            << "keep-alive " << k << " came early";
    }
}

// A host that connects by itself leaves the client in state 2 outside any attempt; a batch needs many writes.
TEST_F(ClientTest, BatchSentInTheGreetingStateWaitsForTheConnectionKeepsOrderAndLeavesOutOnlyABadRecord)
{
    KesSetTimeScale(0.05); // 100 ms greeting delay, 500 ms steps of a send's wait
    RecordingClient client("first");
    ASSERT_EQ(1,
              client.KOSCBuildServerData(strdup("Dom"), strdup("Svc"), strdup("127.0.0.1"), m_Peer.Port()));
    ASSERT_EQ(1, client.KOSCOpenTCPSocket());
    auto greeted = std::async(std::launch::async, [&] { return client.KOSCConnectSocketToServer(); });
    ASSERT_TRUE(ksxtest::WaitUntil([&] { return client.KOSCGetState() == KES_SOCKET_CONNECTED; }));
    constexpr unsigned int kCount = 1000, kBad = 500; // about 4 MiB
    std::vector<CKesRecord> records;
    for (unsigned int i = 0; i < kCount; ++i)
        records.push_back(ksxtest::TextRecord("data", (std::to_string(i) + std::string(4096, '.')).c_str()));
    std::vector<CKesRecord*> batch(kCount);
    for (unsigned int i = 0; i < kCount; ++i) batch[i] = i == kBad ? nullptr : &records[i];
    auto sent =
        std::async(std::launch::async, [&] { return client.KOSCSendRecordsToServer(batch.data(), kCount); });
    EXPECT_EQ(1, greeted.get());
    Greeting(m_Peer.Accept(), "first");
    EXPECT_EQ(1, client.KOSCConnect()); // reconnects and ends in state 3
    std::unique_ptr<WireConnection> server = Greeting(m_Peer.Accept(), "first");
    std::vector<unsigned int> got;
    for (std::string text; server && got.size() < kCount - 1 && !(text = NextData(*server)).empty();)
        got.push_back(static_cast<unsigned int>(std::stoul(text)));
    EXPECT_EQ(ksxtest::NumbersExcept(kCount, kBad), got);
    EXPECT_EQ(KES_ERR_ARGUMENT, sent.get()) << "KES_ERR_SEND: a send in state 2 gave up instead of waiting";
}

// An engine whose loop, once told which socket, holds its next read of that socket until let go.
struct HeldEngine : CKesSockEngine {
    HeldEngine() : CKesSockEngine("client-e2e", __KES_SERV_DAEMON, 2) {}
    ~HeldEngine() override { KSEStopWorkers(); } // a worker may still be calling into it
    void OnIO(CMOMRvIO* io) override
    {
        unsigned int socket = io->Source();
        if (socket != kNone && hold.compare_exchange_strong(socket, kNone)) {
            held = true;
            ksxtest::WaitUntil([this] { return !held.load(); });
        }
        CKesSockEngine::OnIO(io);
    }
    static constexpr unsigned int kNone = ~0u;
    std::atomic<unsigned int> hold{kNone}; // the socket whose next read is held
    std::atomic<bool> held{false};
};

// A stalled server (it reads no more) costs one report; KOSCDisconnect no callback; the client comes back. A
// disconnect while the loop is inside a read of the client's socket leaves the socket open until that read
// has ended, so that its handle cannot pass to a new connection under the read.
TEST_F(ClientTest, SendPastTheDeadlineOrADisconnectEndsTheConnectionAndTheClientComesBack)
{
    FileServer(m_Peer.Port());
    HeldEngine engine;
    ASSERT_EQ(1, engine.KSESetSendDeadline(300));
    ASSERT_EQ(1, engine.KSESetUnackedLimit(600000)); // else that bound, scaled down, cuts the stall first
    ksxtest::EventLoopThread loop(engine);
    auto* client = new ksxtest::LoggingClient("stalled", "Svc", "Dom"); // the engine's
    ASSERT_EQ(1, engine.KSEAddClient(client));
    ASSERT_EQ(1, client->KOSCInitialise());
    std::unique_ptr<WireConnection> server = Greeting(m_Peer.Accept(), "stalled");
    ASSERT_TRUE(server && client->log.WaitFor("connect"));
    ksxtest::ErrorCapture errors;
    CKesRecord big = ksxtest::TextRecord("data", std::string(1 << 20, 'x').c_str());
    int result = 1;
    for (int n = 0; n < 200 && result == 1; ++n) result = client->KOSCSendToServer(&big);
    EXPECT_EQ(KES_ERR_SEND, result);
    ASSERT_TRUE(client->log.WaitFor("disconnect"));
    EXPECT_EQ(1, errors.CountText({"Send to server of service Svc on socket",
                                   "did not complete within 300 ms: connection closed"}));

    server = Greeting(m_Peer.Accept(), "stalled");
    ASSERT_TRUE(server && client->log.WaitFor("connect", 2)) << "the client did not come back";
    CKesRecord small = ksxtest::TextRecord("data", "small");
    EXPECT_EQ(1, client->KOSCSendToServer(&small));
    EXPECT_EQ("small", NextData(*server));

    ASSERT_EQ(1, client->KOSCDisconnect());
    server = Greeting(m_Peer.Accept(), "stalled");
    ASSERT_TRUE(server && client->log.WaitFor("connect", 3));
    EXPECT_EQ(1, client->log.Count("disconnect")) << "disconnecting calls no callback";
    ASSERT_TRUE(server->SendText("data", "back"));
    EXPECT_TRUE(client->log.WaitFor("io back")) << "records reach the client again";

    engine.hold = client->KOSCGetClientTCPSocket();
    ASSERT_TRUE(server->SendText("data", "under way"));
    ASSERT_TRUE(ksxtest::WaitUntil([&] { return engine.held.load(); }));
    auto disconnected = std::async(std::launch::async, [client] { return client->KOSCDisconnect(); });
    EXPECT_FALSE(server->Pending(300)) << "the socket was closed while the loop was reading it";
    engine.held = false;
    EXPECT_EQ(1, disconnected.get());
    EXPECT_TRUE(server->SeesEnd());
}

// A server that closes a new connection at once: the end comes while the attempt holds the ClientLock for its
// greeting delay. The event loop goes on reading the engine's other sockets meanwhile, and the end still
// reaches the client once the attempt is over.
TEST_F(ClientTest, AServerClosingDuringTheGreetingDelayLeavesTheEventLoopReading)
{
    WireListener closer;
    ksxtest::WriteServiceFile(ksxtest::kMulticastLine +
                              ksxtest::ServiceLine("Svc", "Dom", "127.0.0.1", m_Peer.Port()) +
                              ksxtest::ServiceLine("Gone", "Dom", "127.0.0.1", closer.Port()));
    HeldEngine engine;
    ksxtest::EventLoopThread loop(engine);
    auto* reader = new ksxtest::LoggingClient("reader", "Svc", "Dom"); // the engine's
    ASSERT_EQ(1, engine.KSEAddClient(reader));
    ASSERT_EQ(1, reader->KOSCInitialise());
    std::unique_ptr<WireConnection> server = Greeting(m_Peer.Accept(), "reader");
    ASSERT_TRUE(server && reader->log.WaitFor("connect"));

    KesSetTimeScale(1.0); // the whole 2 s greeting delay
    auto* greeter = new ksxtest::LoggingClient("greeter", "Gone", "Dom");
    ASSERT_EQ(1, engine.KSEAddClient(greeter));
    ASSERT_EQ(1, greeter->KOSCInitialise());
    std::unique_ptr<WireConnection> closed = closer.Accept();
    ASSERT_TRUE(closed);
    closed->Close();
    std::this_thread::sleep_for(std::chrono::milliseconds(200)); // the loop reads the end meanwhile
    const auto sent = std::chrono::steady_clock::now();
    ASSERT_TRUE(server->SendText("data", "meanwhile"));
    ASSERT_TRUE(reader->log.WaitFor("io meanwhile"));
    EXPECT_LT(std::chrono::steady_clock::now() - sent, std::chrono::milliseconds(1000))
        << "the event loop waited for the attempt";
    EXPECT_EQ(0, greeter->log.Count("connect")) << "the greeting delay was over before the record came";
    EXPECT_TRUE(greeter->log.WaitFor("disconnect")) << "the end was not read again after the attempt";

    const std::string large(1 << 20, 'x'); // decoded where it was read
    ASSERT_TRUE(server->Send(ksxtest::TextRecord("data", large.c_str())));
    EXPECT_TRUE(reader->log.WaitFor("io " + large)) << "a large record did not arrive whole";
}

class ClientDiscoveryTest : public ClientTest {
protected:
    void SetUp() override
    {
        ksxtest::WriteServiceFile(ksxtest::kMulticastLine);
        ASSERT_EQ(1, m_Channel.KOMInitialise());
        m_Client.KOSCSetMulticastPtr(&m_Channel);
    }
    int Heard() { return static_cast<int>(m_Channel.KOMGetReceiveSocket()); }
    CKesObjMulticast m_Channel{"234.5.6.7", 23456, TRUE};
    RecordingClient m_Client{"c"};
};

// Without a file entry one attempt sends one request; the first exactly matching reply is kept; a client
// waiting out its retry (stretched to 50 minutes) is destroyed at once, so its thread missed no wake-up.
TEST_F(ClientDiscoveryTest, OneRequestPerAttemptTheFirstMatchingReplyWinsAndAWaitingClientEndsAtOnce)
{
    EXPECT_EQ(1, m_Client.KOSCConnect()) << "the request went out";
    std::unique_ptr<CKesRecord> request = ksxtest::NextDatagram(Heard());
    EXPECT_EQ(ksxtest::Encode(*ksxtest::AddressRequest("Svc", "Dom")),
              request ? ksxtest::Encode(*request) : ksxtest::Bytes());
    EXPECT_FALSE(ksxtest::NextDatagram(Heard(), 200)) << "one attempt sends exactly one request";

    WireListener other;
    EXPECT_EQ(1, m_Client.KOSCProcessAddressReply(ksxtest::AddressReply("Svc", "dom", other.Port()).get()))
        << "case differs";
    EXPECT_EQ(nullptr, m_Client.KOSCGetServerData());
    EXPECT_EQ(1, m_Client.KOSCProcessAddressReply(ksxtest::AddressReply("Svc", "Dom", m_Peer.Port()).get()));
    EXPECT_EQ(1, m_Client.KOSCProcessAddressReply(ksxtest::AddressReply("Svc", "Dom", other.Port()).get()));
    ASSERT_NE(nullptr, m_Client.KOSCGetServerData());
    EXPECT_EQ(unsigned(m_Peer.Port()), m_Client.KOSCGetServerData()->KSEGetEndPtAddressPort());

    KesSetTimeScale(1000.0);
    auto waiting = std::make_unique<RecordingClient>("waiting");
    waiting->KOSCSetMulticastPtr(&m_Channel);
    ASSERT_EQ(1, waiting->KOSCInitialise());
    ASSERT_TRUE(ksxtest::NextDatagram(Heard())); // its first attempt asked the group; now it waits
    auto ended = std::async(std::launch::async, [&] { waiting.reset(); });
    EXPECT_EQ(std::future_status::ready, ended.wait_for(std::chrono::milliseconds(kGuardMs)));
}

// Replies come on workers while the connect thread may hold the ClientLock or use the endpoint.
TEST_F(ClientDiscoveryTest, RepliesRacingTheConnectThreadLeadToOneConnection)
{
    ASSERT_EQ(1, m_Client.KOSCInitialise());
    std::unique_ptr<CKesRecord> reply = ksxtest::AddressReply("Svc", "Dom", m_Peer.Port());
    {
        std::jthread worker([&](std::stop_token stop) {
            while (!stop.stop_requested()) {
                m_Client.KOSCProcessAddressReply(reply.get());
                std::this_thread::sleep_for(std::chrono::milliseconds(1));
            }
        });
        Greeting(m_Peer.Accept(), "c");
        EXPECT_TRUE(m_Client.log.WaitFor(kConnected));
        std::this_thread::sleep_for(std::chrono::milliseconds(100)); // replies while connected
    }
    EXPECT_EQ(std::vector<std::string>{kConnected}, m_Client.log.Events());
    EXPECT_EQ(KES_CONNECTED, m_Client.KOSCGetState());
}

// An explicit instantiation may name a private member: the death test calls a ClientLock helper.
using ForgetServerHelper = std::shared_ptr<CKesSockEnd> (CKesObjSockClient::*)();
ForgetServerHelper g_ForgetServer = nullptr;
template <ForgetServerHelper Helper>
struct ReachHelper {
    static inline const bool reached = (g_ForgetServer = Helper, true);
};
template struct ReachHelper<&CKesObjSockClient::ForgetServer>;

TEST(ClientLockDeathTest, AHelperOfTheClientLockCalledWithoutItAbortsInCheckBuilds)
{
#ifndef KSX_CHECKS
    GTEST_SKIP() << "lock rules are checked in debug and sanitizer builds only";
#else
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    CKesObjSockClient client;
    EXPECT_DEATH((client.*g_ForgetServer)(), "KSX-CHECK .*caller holds the ClientLock");
#endif
}

} // namespace
