// The socket client over real TCP on loopback, against a peer that speaks the
// wire format; discovery goes through a real multicast channel.
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
class RecordingClient : public ksxtest::LoggingClient {
public:
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
    // Accepts the client's connection and checks that its first record is the greeting alone.
    std::unique_ptr<WireConnection> AcceptGreeting(WireListener& peer, const char* clientId)
    {
        std::unique_ptr<WireConnection> connection = peer.Accept();
        std::unique_ptr<CKesRecord> first = connection ? connection->ReadRecord() : nullptr;
        EXPECT_TRUE(first) << "no greeting arrived";
        EXPECT_EQ(first ? first->KRCount() : 0, 1);
        EXPECT_EQ(clientId, first ? TextOf(*first, "KesSocketClientIdField") : "");
        return connection;
    }

    // Reads the next frame and checks that it is the record's encoding alone.
    static void ExpectNext(WireConnection* server, const CKesRecord& record)
    {
        ksxtest::Bytes payload;
        ASSERT_TRUE(server && server->ReadFrame(payload));
        EXPECT_EQ(ksxtest::Encode(record), payload);
    }

    ksxtest::ScopedTimeScale m_Scale{0.01}; // 2 s greeting delay -> 20 ms, 3 s retry -> 30 ms
    WireListener m_Peer;
};

// A refused attempt forgets the server; then the client connects to the peer's
// address (not the file's any-address), greets first and keeps alive on time.
TEST_F(ClientTest, RefusedAttemptIsRetriedAndTheConnectionGreetsThenKeepsAlive)
{
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
    auto server = AcceptGreeting(m_Peer, "client-7");
    ASSERT_TRUE(client.log.WaitFor(kConnected)) << "the connect callback ran with the ClientLock held";
    EXPECT_EQ(std::vector<std::string>{kConnected}, client.log.Events());
    ASSERT_NE(nullptr, client.KOSCGetServerData());
    EXPECT_EQ(unsigned(m_Peer.Port()), client.KOSCGetServerData()->KSEGetEndPtAddressPort());
    char* address = client.KOSCGetServerData()->KSEGetEndPtIpAddress();
    EXPECT_STREQ("127.0.0.1", address);
    free(address);
    // The k-th keep-alive leaves k intervals (10 s scaled) after the greeting, give or take rounding.
    const std::chrono::duration<double, std::milli> interval(10000 * KesTimeScale());
    for (int k = 1; server && k <= 3; ++k) {
        std::unique_ptr<CKesRecord> keepAlive = server->ReadRecord();
        ASSERT_TRUE(keepAlive);
        EXPECT_GE(std::chrono::steady_clock::now() - start, 0.8 * k * interval)
            << "keep-alive " << k << " came early";
        EXPECT_EQ(1, keepAlive->KRCount());
        EXPECT_EQ("True", TextOf(*keepAlive, "_CKesSockEnd_KeepAlive_"));
    }
}

TEST_F(ClientTest, SendDuringAnAttemptFollowsTheGreetingAsOneFrame)
{
    KesSetTimeScale(0.2); // a 400 ms greeting delay for the sender to run into
    FileServer(m_Peer.Port());
    RecordingClient client("first");
    ASSERT_EQ(1, client.KOSCInitialise());
    std::unique_ptr<WireConnection> server = m_Peer.Accept(); // the attempt is under way from here
    ASSERT_TRUE(server);
    // The attempt holds the ClientLock until the greeting is out.
    CKesRecord record = ksxtest::TextRecord("Name", "value");
    auto sent = std::async(std::launch::async, [&] { return client.KOSCSendToServer(&record); });
    EXPECT_EQ(1, sent.get());
    std::unique_ptr<CKesRecord> first = server->ReadRecord();
    ASSERT_TRUE(first);
    EXPECT_EQ("first", TextOf(*first, "KesSocketClientIdField"));
    ExpectNext(server.get(), record);
}

// A host that connects by itself leaves the client in state 2 outside any
// attempt: a send waits for the attempt that completes the connection.
TEST_F(ClientTest, SendInTheGreetingStateWaitsForTheConnection)
{
    KesSetTimeScale(0.05); // 100 ms greeting delay, 500 ms steps of a send's wait
    RecordingClient client("first");
    ASSERT_EQ(1,
              client.KOSCBuildServerData(strdup("Dom"), strdup("Svc"), strdup("127.0.0.1"), m_Peer.Port()));
    ASSERT_EQ(1, client.KOSCOpenTCPSocket());
    auto greeted = std::async(std::launch::async, [&] { return client.KOSCConnectSocketToServer(); });
    ASSERT_TRUE(ksxtest::WaitUntil([&] { return client.KOSCGetState() == KES_SOCKET_CONNECTED; }));
    CKesRecord record = ksxtest::TextRecord("Name", "value");
    auto sent = std::async(std::launch::async, [&] { return client.KOSCSendToServer(&record); });
    EXPECT_EQ(1, greeted.get());
    AcceptGreeting(m_Peer, "first");
    EXPECT_EQ(1, client.KOSCConnect()); // reconnects and ends in state 3
    ASSERT_EQ(1, sent.get()) << "a send in state 2 gave up instead of waiting";
    ExpectNext(AcceptGreeting(m_Peer, "first").get(), record);
}

class ClientDiscoveryTest : public ClientTest {
protected:
    void SetUp() override
    {
        ksxtest::WriteServiceFile(ksxtest::kMulticastLine);
        m_Channel = std::make_unique<CKesObjMulticast>("234.5.6.7", 23456, TRUE);
        ASSERT_EQ(1, m_Channel->KOMInitialise());
        m_Client.KOSCSetMulticastPtr(m_Channel.get());
    }
    std::unique_ptr<CKesRecord> NextDatagram(int timeoutMs = kGuardMs)
    {
        return ksxtest::NextDatagram(static_cast<int>(m_Channel->KOMGetReceiveSocket()), timeoutMs);
    }
    std::unique_ptr<CKesObjMulticast> m_Channel;
    RecordingClient m_Client{"c"};
};

// Without a file entry one attempt sends one request; the first exactly matching reply is kept.
TEST_F(ClientDiscoveryTest, OneRequestPerAttemptAndTheFirstMatchingReplyWins)
{
    EXPECT_EQ(1, m_Client.KOSCConnect()) << "the request went out";
    std::unique_ptr<CKesRecord> request = NextDatagram();
    ASSERT_TRUE(request);
    EXPECT_EQ("KesSockAddressRequest", TextOf(*request, "KesSockAddressRequest"));
    EXPECT_EQ("Svc", TextOf(*request, "KesSockInternalServiceName"));
    EXPECT_EQ("Dom", TextOf(*request, "KesSockInternalDomainName"));
    EXPECT_FALSE(NextDatagram(200)) << "one attempt sends exactly one request";

    WireListener other;
    EXPECT_EQ(1, m_Client.KOSCProcessAddressReply(ksxtest::AddressReply("Svc", "dom", other.Port()).get()))
        << "case differs";
    EXPECT_EQ(nullptr, m_Client.KOSCGetServerData());
    EXPECT_EQ(1, m_Client.KOSCProcessAddressReply(ksxtest::AddressReply("Svc", "Dom", m_Peer.Port()).get()));
    EXPECT_EQ(1, m_Client.KOSCProcessAddressReply(ksxtest::AddressReply("Svc", "Dom", other.Port()).get()));
    ASSERT_NE(nullptr, m_Client.KOSCGetServerData());
    EXPECT_EQ(unsigned(m_Peer.Port()), m_Client.KOSCGetServerData()->KSEGetEndPtAddressPort());
}

// Replies come on workers while the connect thread may hold the ClientLock
// or use the endpoint: the client still connects once, to the announced server.
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
        AcceptGreeting(m_Peer, "c");
        EXPECT_TRUE(m_Client.log.WaitFor(kConnected));
        std::this_thread::sleep_for(std::chrono::milliseconds(100)); // replies while connected
    }
    EXPECT_EQ(std::vector<std::string>{kConnected}, m_Client.log.Events());
    EXPECT_EQ(KES_CONNECTED, m_Client.KOSCGetState());
}

// A thread that missed its wake-up would sit out its retry wait, here stretched to 50 minutes.
TEST_F(ClientDiscoveryTest, DestroyingAWaitingClientEndsItsConnectThreadAtOnce)
{
    KesSetTimeScale(1000.0);
    auto client = std::make_unique<RecordingClient>("c");
    client->KOSCSetMulticastPtr(m_Channel.get());
    ASSERT_EQ(1, client->KOSCInitialise());
    ASSERT_TRUE(NextDatagram()); // its first attempt asked the group; now it waits
    auto ended = std::async(std::launch::async, [&] { client.reset(); });
    EXPECT_EQ(std::future_status::ready, ended.wait_for(std::chrono::milliseconds(kGuardMs)));
}

// Every path to the ClientLock's private helpers takes the lock; an explicit
// instantiation may name a private member, so the death test can call one without it.
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
