// The socket client over real TCP on loopback, against a peer that speaks the
// wire format; discovery goes through a real multicast channel.
#include <sys/socket.h>

#include <future>

#include "CKesObjMulticast.h"
#include "CKesObjSockClient.h"
#include "KesEngineHarness.h"

namespace {

using ksxtest::TextOf;
using ksxtest::WireConnection;
using ksxtest::WireListener;

constexpr int kGuardMs = ksxtest::kWireGuardMs;
const std::string kConnected = "connect " + std::to_string(KES_CONNECTED);

// Logs "connect <state read from another thread>".
class RecordingClient : public CKesObjSockClient {
public:
    explicit RecordingClient(const char* clientId) : CKesObjSockClient(strdup(clientId))
    {
        KOSCSetServiceName(strdup("Svc"));
        KOSCSetDomain(strdup("Dom"));
    }
    ~RecordingClient() override { KOSCStopConnectThread(); }

    void KOSCOnClientConnect() override
    {
        // The ClientLock must be free here: read the state from another thread.
        auto state = std::async(std::launch::async, [this] { return KOSCGetState(); });
        const bool answered =
            state.wait_for(std::chrono::milliseconds(kGuardMs)) == std::future_status::ready;
        log.Add("connect " + (answered ? std::to_string(state.get()) : std::string("<ClientLock held>")));
    }
    void KesOnClientIO(CKesSockEnd*, CKesRecord* record) override { delete record; }

    ksxtest::EventLog log;
};

class ClientTest : public ::testing::Test {
protected:
    void SetUp() override { KesSetTimeScale(0.01); } // 2 s greeting delay -> 20 ms, 3 s retry -> 30 ms
    void TearDown() override { KesSetTimeScale(1.0); }

    void FileServer(int port, const char* address = "127.0.0.1")
    {
        ksxtest::WriteServiceFile(ksxtest::kMulticastLine +
                                  ksxtest::ServiceLine("Svc", "Dom", address, port));
    }
    // Accepts the client's connection and checks that its first record is the greeting alone.
    std::unique_ptr<WireConnection> AcceptGreeting(WireListener& peer, const char* clientId)
    {
        std::unique_ptr<WireConnection> connection = peer.Accept();
        EXPECT_TRUE(connection) << "the client did not connect";
        std::unique_ptr<CKesRecord> first = connection ? connection->ReadRecord() : nullptr;
        EXPECT_TRUE(first) << "no greeting arrived";
        if (first) {
            EXPECT_EQ(1, first->KRCount());
            EXPECT_EQ(clientId, TextOf(*first, "KesSocketClientIdField"));
        }
        return connection;
    }

    WireListener m_Peer;
};

// A refused attempt fails and forgets the server; once the file names a
// listening peer the client connects to the peer's address (the any-address
// is replaced), greets with its id first, the callback running without the
// ClientLock, and keep-alives follow, none sooner than its interval.
TEST_F(ClientTest, RefusedAttemptIsRetriedAndTheConnectionGreetsThenKeepsAlive)
{
    int port = 0;
    {
        WireListener gone; // reserves a port that then refuses
        port = gone.Port();
    }
    FileServer(port);
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
    // The k-th keep-alive leaves at least k intervals (10 s scaled) after the
    // greeting; the margin only absorbs clock rounding.
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
    std::unique_ptr<WireConnection> server = m_Peer.Accept();
    ASSERT_TRUE(server);

    // The attempt holds the ClientLock until the greeting is out.
    CKesRecord record = ksxtest::TextRecord("Name", "value");
    auto sent = std::async(std::launch::async, [&] { return client.KOSCSendToServer(&record); });
    EXPECT_EQ(1, sent.get());
    std::unique_ptr<CKesRecord> first = server->ReadRecord();
    ASSERT_TRUE(first);
    EXPECT_EQ("first", TextOf(*first, "KesSocketClientIdField"));
    ksxtest::Bytes payload;
    ASSERT_TRUE(server->ReadFrame(payload));
    EXPECT_EQ(ksxtest::Encode(record), payload);
}

// A host that connects by itself leaves the client in state 2 (greeting under
// way) outside any attempt: a send then waits for the connection instead of
// failing, and goes out right after the greeting of the attempt that
// completes it.
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
    auto server = AcceptGreeting(m_Peer, "first");
    ksxtest::Bytes payload;
    ASSERT_TRUE(server && server->ReadFrame(payload));
    EXPECT_EQ(ksxtest::Encode(record), payload);
}

class ClientDiscoveryTest : public ClientTest {
protected:
    void SetUp() override
    {
        ClientTest::SetUp();
        ksxtest::WriteServiceFile(ksxtest::kMulticastLine);
        m_Channel = std::make_unique<CKesObjMulticast>("234.5.6.7", 23456, TRUE);
        ASSERT_EQ(1, m_Channel->KOMInitialise());
        m_Client.KOSCSetMulticastPtr(m_Channel.get());
    }
    std::unique_ptr<CKesRecord> Reply(const char* service, const char* domain, int port)
    {
        CKesSockEnd server;
        server.KSESetServiceName(strdup(service));
        server.KSESetEndPointDomain(strdup(domain));
        server.KSESetEndPointAddress("127.0.0.1", port);
        return std::unique_ptr<CKesRecord>(server.KSEGetAddressReplyPacket());
    }
    // The next datagram on the group, decoded.
    std::unique_ptr<CKesRecord> NextDatagram(int timeoutMs = kGuardMs)
    {
        const int fd = static_cast<int>(m_Channel->KOMGetReceiveSocket());
        if (!ksxtest::Readable(fd, timeoutMs)) return nullptr;
        unsigned char buffer[2048];
        const ssize_t got = recv(fd, buffer, sizeof buffer, 0);
        auto record = std::make_unique<CKesRecord>();
        if (got <= 0 || record->KOMDecode(buffer, static_cast<unsigned int>(got)) != 1) return nullptr;
        return record;
    }
    std::unique_ptr<CKesObjMulticast> m_Channel;
    RecordingClient m_Client{"c"};
};

// Without a file entry one attempt sends one request; the first matching
// reply (service and domain exactly) is kept.
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
    EXPECT_EQ(1, m_Client.KOSCProcessAddressReply(Reply("Svc", "dom", other.Port()).get())) << "case differs";
    EXPECT_EQ(nullptr, m_Client.KOSCGetServerData());
    EXPECT_EQ(1, m_Client.KOSCProcessAddressReply(Reply("Svc", "Dom", m_Peer.Port()).get()));
    EXPECT_EQ(1, m_Client.KOSCProcessAddressReply(Reply("Svc", "Dom", other.Port()).get()));
    ASSERT_NE(nullptr, m_Client.KOSCGetServerData());
    EXPECT_EQ(unsigned(m_Peer.Port()), m_Client.KOSCGetServerData()->KSEGetEndPtAddressPort());
}

// Replies come on workers while the connect thread may hold the ClientLock
// or use the endpoint: the client still connects once, to the announced server.
TEST_F(ClientDiscoveryTest, RepliesRacingTheConnectThreadLeadToOneConnection)
{
    ASSERT_EQ(1, m_Client.KOSCInitialise());
    std::unique_ptr<CKesRecord> reply = Reply("Svc", "Dom", m_Peer.Port());
    std::atomic<bool> stop{false};
    std::thread worker([&] {
        while (!stop) {
            m_Client.KOSCProcessAddressReply(reply.get());
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
        }
    });
    AcceptGreeting(m_Peer, "c");
    EXPECT_TRUE(m_Client.log.WaitFor(kConnected));
    std::this_thread::sleep_for(std::chrono::milliseconds(100)); // replies while connected
    stop = true;
    worker.join();
    EXPECT_EQ(std::vector<std::string>{kConnected}, m_Client.log.Events());
    EXPECT_EQ(KES_CONNECTED, m_Client.KOSCGetState());
}

// With the delays stretched a thousandfold a thread that missed its wake-up
// would sit in its 3 s retry wait for the better part of an hour.
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

// The ClientLock's helpers are private and every path to them takes the
// lock. An explicit instantiation may name a private member (access is not
// checked there), which lets the death test below call one without it.
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
