// The socket client over real TCP on loopback, against a small peer that
// speaks the wire format. Without an engine the tests hand the client its
// work packets themselves, as the engine's receive path would; discovery
// goes through a real multicast channel.
#include <gtest/gtest.h>

#include <sys/socket.h>

#include <atomic>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <future>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "CKesIOWorkPacket.h"
#include "CKesObjMulticast.h"
#include "CKesObjSockClient.h"
#include "CKesRecord.h"
#include "CKesSockEnd.h"
#include "CKesSockEngine.h"
#include "KesEngineHarness.h"
#include "KesPort.h"
#include "KesTestSupport.h"
#include "KesWirePeer.h"

namespace {

using ksxtest::TextOf;
using ksxtest::WireConnection;
using ksxtest::WireListener;

constexpr int kGuardMs = ksxtest::kWireGuardMs;  // how long a test waits for something that must happen
const std::string kConnected = "connect " + std::to_string(KES_CONNECTED);

std::string ServiceLine(const char* service, const char* domain, const char* address, int port)
{
    return std::string("SERVICE: ") + service + " DOMAIN: " + domain + " ADDRESS: " + address +
           " PORT: " + std::to_string(port) + "\n";
}

// A host's client: logs "connect <state read from another thread>",
// "disconnect" and "io <server port> <value of Reply>".
class RecordingClient : public CKesObjSockClient {
public:
    explicit RecordingClient(const char* clientId, const char* service = "Svc", const char* domain = "Dom")
        : CKesObjSockClient(clientId ? strdup(clientId) : nullptr)
    {
        KOSCSetServiceName(strdup(service));
        KOSCSetDomain(strdup(domain));
    }
    ~RecordingClient() override { KOSCStopConnectThread(); }

    void KesOnClientIO(CKesSockEnd* server, CKesRecord* record) override
    {
        std::unique_ptr<CKesRecord> owned(record);
        const int port = server ? static_cast<int>(server->KSEGetEndPtAddressPort()) : -1;
        log.Add("io " + std::to_string(port) + " " + TextOf(*record, "Reply"));
    }
    void KOSCOnClientConnect() override
    {
        // The ClientLock must be free here: read the state from another thread.
        auto state = std::async(std::launch::async, [this] { return KOSCGetState(); });
        const bool answered = state.wait_for(std::chrono::milliseconds(kGuardMs)) == std::future_status::ready;
        log.Add("connect " + (answered ? std::to_string(state.get()) : std::string("<ClientLock held>")));
    }
    void KOSCOnClientDisconnect() override { log.Add("disconnect"); }

    // A work packet as the engine's receive path hands it over.
    int Deliver(const CKesRecord* record, unsigned int socket)
    {
        unsigned char* payload = nullptr;
        unsigned int length = 0;
        if (record) {
            const ksxtest::Bytes bytes = ksxtest::Encode(*record);
            payload = static_cast<unsigned char*>(malloc(bytes.size()));
            memcpy(payload, bytes.data(), bytes.size());
            length = static_cast<unsigned int>(bytes.size());
        }
        CKesIOWorkPacket packet(socket, payload, length, nullptr, nullptr, 0);
        return KOSCProcessPacket(&packet);
    }

    ksxtest::EventLog log;
};

class ClientTest : public ::testing::Test {
protected:
    void SetUp() override { KesSetTimeScale(0.01); }  // 2 s greeting delay -> 20 ms, 3 s retry -> 30 ms
    void TearDown() override { KesSetTimeScale(1.0); }

    void FileServer(int port, const char* address = "127.0.0.1")
    {
        ksxtest::WriteServiceFile(std::string(ksxtest::kMulticastLine) + ServiceLine("Svc", "Dom", address, port));
    }
    // Accepts the client's connection and checks that its first record is the greeting.
    std::unique_ptr<WireConnection> AcceptGreeting(WireListener& peer, const char* clientId)
    {
        std::unique_ptr<WireConnection> connection = peer.Accept();
        EXPECT_TRUE(connection) << "the client did not connect";
        if (!connection)
            return connection;
        std::unique_ptr<CKesRecord> first = connection->ReadRecord();
        EXPECT_TRUE(first) << "no greeting arrived";
        if (first) {
            EXPECT_EQ(1, first->KRCount());
            EXPECT_EQ(clientId, TextOf(*first, "KesSocketClientIdField"));
        }
        return connection;
    }
    // A client started from the service file and connected to m_Peer.
    std::unique_ptr<WireConnection> Connected(RecordingClient& client, const char* clientId)
    {
        FileServer(m_Peer.Port());
        EXPECT_EQ(1, client.KOSCInitialise());
        std::unique_ptr<WireConnection> connection = AcceptGreeting(m_Peer, clientId);
        EXPECT_TRUE(client.log.WaitFor(kConnected));
        return connection;
    }

    WireListener m_Peer;
};

// ---- connecting --------------------------------------------------------------------

TEST_F(ClientTest, ConnectsFromServiceFileToThePeerAddressAndGreetsWithItsIdFirst)
{
    FileServer(m_Peer.Port(), "0.0.0.0");  // the any-address is replaced by the peer's
    RecordingClient client("client-7");
    ASSERT_EQ(1, client.KOSCInitialise());

    AcceptGreeting(m_Peer, "client-7");
    ASSERT_TRUE(client.log.WaitFor(kConnected)) << "the connect callback ran with the ClientLock held";
    EXPECT_EQ(std::vector<std::string>{kConnected}, client.log.Events());
    EXPECT_EQ(KES_CONNECTED, client.KOSCGetState());
    ASSERT_NE(nullptr, client.KOSCGetServerData());
    EXPECT_EQ(unsigned(m_Peer.Port()), client.KOSCGetServerData()->KSEGetEndPtAddressPort());
    char* address = client.KOSCGetServerData()->KSEGetEndPtIpAddress();
    EXPECT_STREQ("127.0.0.1", address);
    free(address);
    EXPECT_NE(KES_INVALID_SOCKET, client.KOSCGetClientTCPSocket());
}

TEST_F(ClientTest, UnconfiguredOrUnconnectedClientRefusesAttemptsAndSends)
{
    CKesObjSockClient client;
    EXPECT_EQ(-220552, client.KOSCConnect());
    EXPECT_EQ(KES_UNCONNECTED, client.KOSCGetState());
    EXPECT_EQ(-220552, client.KOSCSetServiceName(nullptr));
    EXPECT_EQ(-220552, client.KOSCSetController(nullptr));
    EXPECT_EQ(-220552, client.KOSCSetMulticastPtr(nullptr));
    EXPECT_EQ(-220552, client.KOSCSendClientId());
    unsigned char byte = 1;
    EXPECT_EQ(-220552, client.KOSCSendToServer(nullptr, 1));
    EXPECT_EQ(-220552, client.KOSCSendToServer(&byte, 0));
    EXPECT_EQ(-220552, client.KOSCSendToServer(static_cast<CKesRecord*>(nullptr)));
    CKesRecord record = ksxtest::TextRecord("a", "b");
    EXPECT_EQ(-220545, client.KOSCSendToServer(&byte, 1));
    EXPECT_EQ(-220545, client.KOSCSendToServer(&record));

    ASSERT_EQ(1, client.KOSCSetServiceName(strdup("Svc")));
    EXPECT_EQ(-220552, client.KOSCConnect()) << "a domain is required too";
    EXPECT_STREQ("Svc", client.KOSCGetServiceName());
}

TEST_F(ClientTest, ClientWithoutIdIsRefusedAfterConnectingAndRetries)
{
    FileServer(m_Peer.Port());
    RecordingClient client(nullptr);
    ksxtest::ErrorCapture errors;
    ASSERT_EQ(1, client.KOSCInitialise());

    // Each attempt connects, cannot greet, and closes the connection again.
    for (int attempt = 0; attempt < 2; ++attempt) {
        std::unique_ptr<WireConnection> connection = m_Peer.Accept();
        ASSERT_TRUE(connection);
        EXPECT_TRUE(connection->SeesEnd()) << "a connection without greeting must not stay open";
    }
    EXPECT_TRUE(client.log.Events().empty());
    EXPECT_NE(KES_CONNECTED, client.KOSCGetState());
    EXPECT_TRUE(errors.Has(-220552, "CKesObjSockClient"));
}

TEST_F(ClientTest, RefusedConnectionIsRetriedUntilTheServerListens)
{
    // Reserve a port, then close the listener so that connects are refused.
    int port = 0;
    {
        WireListener gone;
        port = gone.Port();
    }
    FileServer(port);
    RecordingClient client("late");
    EXPECT_EQ(-220465, client.KOSCConnect()) << "a refused connect fails the attempt";
    EXPECT_EQ(KES_UNCONNECTED, client.KOSCGetState());
    EXPECT_EQ(nullptr, client.KOSCGetServerData()) << "a failed attempt forgets the server";

    Connected(client, "late");  // the server comes up elsewhere
}

// ---- traffic ---------------------------------------------------------------------

TEST_F(ClientTest, RecordTravelsAsOneFrameOfLengthAndEncoding)
{
    RecordingClient client("c");
    auto server = Connected(client, "c");
    ASSERT_TRUE(server);

    CKesRecord record;
    record.KRAddValue("Name", "value");
    record.KRAddValue("Count", CKesAtom(1234567));
    ASSERT_EQ(1, client.KOSCSendToServer(&record));
    ksxtest::Bytes payload;
    ASSERT_TRUE(server->ReadFrame(payload));
    EXPECT_EQ(ksxtest::Encode(record), payload);

    unsigned char raw[] = {0, 0, 0, 2, 'h', 'i'};
    ASSERT_EQ(1, client.KOSCSendToServer(raw, sizeof raw));
    ASSERT_TRUE(server->ReadFrame(payload));
    EXPECT_EQ(ksxtest::Bytes({'h', 'i'}), payload);
}

TEST_F(ClientTest, SendDuringAnAttemptWaitsAndFollowsTheGreeting)
{
    KesSetTimeScale(0.2);  // a 400 ms greeting delay for the sender to run into
    FileServer(m_Peer.Port());
    RecordingClient client("first");
    ASSERT_EQ(1, client.KOSCInitialise());
    std::unique_ptr<WireConnection> server = m_Peer.Accept();
    ASSERT_TRUE(server);

    // The attempt holds the ClientLock until the greeting is out.
    CKesRecord record = ksxtest::TextRecord("After", "greeting");
    auto sent = std::async(std::launch::async, [&] { return client.KOSCSendToServer(&record); });
    EXPECT_EQ(1, sent.get());
    std::unique_ptr<CKesRecord> first = server->ReadRecord();
    std::unique_ptr<CKesRecord> second = server->ReadRecord();
    ASSERT_TRUE(first && second);
    EXPECT_EQ("first", TextOf(*first, "KesSocketClientIdField"));
    EXPECT_EQ("greeting", TextOf(*second, "After"));
}

TEST_F(ClientTest, KeepAlivesFlowWhileConnected)
{
    RecordingClient client("c");
    auto server = Connected(client, "c");
    ASSERT_TRUE(server);
    for (int i = 0; i < 2; ++i) {
        std::unique_ptr<CKesRecord> keepAlive = server->ReadRecord();
        ASSERT_TRUE(keepAlive);
        EXPECT_EQ(1, keepAlive->KRCount());
        EXPECT_EQ("True", TextOf(*keepAlive, "_CKesSockEnd_KeepAlive_"));
    }
}

TEST_F(ClientTest, ReceivedRecordsReachTheHostWithTheServerEndpoint)
{
    RecordingClient client("c");
    auto server = Connected(client, "c");

    CKesRecord record = ksxtest::TextRecord("Reply", "42");
    EXPECT_EQ(1, client.Deliver(&record, client.KOSCGetClientTCPSocket()));
    EXPECT_EQ(1, client.Deliver(&record, client.KOSCGetClientTCPSocket() + 100)) << "another socket";
    EXPECT_EQ((std::vector<std::string>{kConnected, "io " + std::to_string(m_Peer.Port()) + " 42"}),
              client.log.Events())
        << "a packet for another socket must be ignored";
}

TEST_F(ClientTest, ServerLossIsNoticedOnceAndTheClientReconnectsFromTheFile)
{
    RecordingClient client("c");
    auto server = Connected(client, "c");
    const unsigned int oldSocket = client.KOSCGetClientTCPSocket();

    // The server moves: close the connection, file a new address.
    WireListener moved;
    FileServer(moved.Port());
    server->Close();
    EXPECT_EQ(1, client.Deliver(nullptr, oldSocket));  // what the engine delivers for a closed connection
    EXPECT_EQ(1, client.log.Count("disconnect"));
    EXPECT_EQ(nullptr, client.KOSCGetServerData());

    AcceptGreeting(moved, "c");
    ASSERT_TRUE(client.log.WaitFor(kConnected, 2));
    EXPECT_EQ(1, client.log.Count("disconnect"));
    EXPECT_EQ(unsigned(moved.Port()), client.KOSCGetServerData()->KSEGetEndPtAddressPort());
}

TEST_F(ClientTest, DisconnectReconnectsToTheSameServerWithoutReadingTheFile)
{
    RecordingClient client("c");
    auto server = Connected(client, "c");
    ASSERT_TRUE(server);

    ksxtest::WriteServiceFile(ksxtest::kMulticastLine);  // the entry is gone; the endpoint is kept
    EXPECT_EQ(1, client.KOSCDisconnect());
    EXPECT_EQ(KES_INVALID_SOCKET, client.KOSCGetClientTCPSocket());
    EXPECT_TRUE(server->SeesEnd());
    AcceptGreeting(m_Peer, "c");
    EXPECT_TRUE(client.log.WaitFor(kConnected, 2));
    EXPECT_EQ(0, client.log.Count("disconnect")) << "KOSCDisconnect calls no callback";
}

// ---- discovery -------------------------------------------------------------------

class ClientDiscoveryTest : public ClientTest {
protected:
    void SetUp() override
    {
        ClientTest::SetUp();
        ksxtest::WriteServiceFile(ksxtest::kMulticastLine);
        m_Channel = std::make_unique<CKesObjMulticast>("234.5.6.7", 23456, TRUE);
        ASSERT_EQ(1, m_Channel->KOMInitialise());
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
        if (!ksxtest::Readable(fd, timeoutMs))
            return nullptr;
        unsigned char buffer[2048];
        const ssize_t got = recv(fd, buffer, sizeof buffer, 0);
        auto record = std::make_unique<CKesRecord>();
        if (got <= 0 || record->KOMDecode(buffer, static_cast<unsigned int>(got)) != 1)
            return nullptr;
        return record;
    }
    std::unique_ptr<CKesObjMulticast> m_Channel;
};

TEST_F(ClientDiscoveryTest, WithoutFileEntryOneAttemptSendsOneAddressRequest)
{
    RecordingClient client("c");
    client.KOSCSetMulticastPtr(m_Channel.get());
    EXPECT_EQ(1, client.KOSCConnect()) << "the request went out";
    EXPECT_EQ(KES_UNCONNECTED, client.KOSCGetState());

    std::unique_ptr<CKesRecord> request = NextDatagram();
    ASSERT_TRUE(request);
    EXPECT_EQ("KesSockAddressRequest", TextOf(*request, "KesSockAddressRequest"));
    EXPECT_EQ("Svc", TextOf(*request, "KesSockInternalServiceName"));
    EXPECT_EQ("Dom", TextOf(*request, "KesSockInternalDomainName"));
    EXPECT_FALSE(NextDatagram(200)) << "one attempt sends exactly one request";

    CKesObjSockClient lonely;
    lonely.KOSCSetServiceName(strdup("Svc"));
    lonely.KOSCSetDomain(strdup("Dom"));
    EXPECT_EQ(-220552, lonely.KOSCSendAddressRequest()) << "no channel";
}

TEST_F(ClientDiscoveryTest, MatchingReplyMakesTheNextAttemptConnectAndLaterRepliesAreIgnored)
{
    RecordingClient client("c");
    client.KOSCSetMulticastPtr(m_Channel.get());
    EXPECT_EQ(1, client.KOSCConnect());

    WireListener other;
    EXPECT_EQ(1, client.KOSCProcessAddressReply(Reply("Svc", "dom", other.Port()).get())) << "case differs";
    EXPECT_EQ(1, client.KOSCProcessAddressReply(Reply("Svc2", "Dom", other.Port()).get()));
    EXPECT_EQ(nullptr, client.KOSCGetServerData());
    EXPECT_EQ(1, client.KOSCProcessAddressReply(Reply("Svc", "Dom", m_Peer.Port()).get()));
    EXPECT_EQ(1, client.KOSCProcessAddressReply(Reply("Svc", "Dom", other.Port()).get()));
    ASSERT_NE(nullptr, client.KOSCGetServerData());
    EXPECT_EQ(unsigned(m_Peer.Port()), client.KOSCGetServerData()->KSEGetEndPtAddressPort()) << "the first reply wins";

    ASSERT_EQ(1, client.KOSCInitialise());
    AcceptGreeting(m_Peer, "c");
    EXPECT_TRUE(client.log.WaitFor(kConnected));
    EXPECT_FALSE(other.HasPendingConnection(100));
}

TEST_F(ClientDiscoveryTest, RepliesRacingTheConnectThreadLeadToOneConnection)
{
    // Replies come on workers while the connect thread may hold the ClientLock
    // or use the endpoint: fire replies all along and check that the client
    // connects once, to the announced server.
    RecordingClient client("c");
    client.KOSCSetMulticastPtr(m_Channel.get());
    ASSERT_EQ(1, client.KOSCInitialise());
    std::unique_ptr<CKesRecord> reply = Reply("Svc", "Dom", m_Peer.Port());
    std::atomic<bool> stop{false};
    std::thread worker([&] {
        while (!stop) {
            client.KOSCProcessAddressReply(reply.get());
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
        }
    });
    AcceptGreeting(m_Peer, "c");
    EXPECT_TRUE(client.log.WaitFor(kConnected));
    std::this_thread::sleep_for(std::chrono::milliseconds(100));  // replies while connected
    stop = true;
    worker.join();
    EXPECT_EQ(std::vector<std::string>{kConnected}, client.log.Events());
    EXPECT_EQ(KES_CONNECTED, client.KOSCGetState());
}

// ---- the connect thread's end ------------------------------------------------------

// With the delays stretched a thousandfold a thread that missed its wake-up
// would sit in its wait for the better part of an hour; the guard below only
// tells "woken" from "not woken".
class ClientThreadEndTest : public ClientDiscoveryTest {
protected:
    void SetUp() override
    {
        ClientDiscoveryTest::SetUp();
        KesSetTimeScale(1000.0);
        m_Client = std::make_unique<RecordingClient>("c");
        m_Client->KOSCSetMulticastPtr(m_Channel.get());
        ASSERT_EQ(1, m_Client->KOSCInitialise());
        // Its first attempt asks the group; after that it waits 3 s (x1000).
        ASSERT_TRUE(NextDatagram());
    }
    std::unique_ptr<RecordingClient> m_Client;
};

TEST_F(ClientThreadEndTest, DestructionEndsAWaitingThreadAtOnce)
{
    auto destroyed = std::async(std::launch::async, [this] { m_Client.reset(); });
    EXPECT_EQ(std::future_status::ready, destroyed.wait_for(std::chrono::milliseconds(kGuardMs)));
}

TEST_F(ClientThreadEndTest, BroadcastOnTheThreadConditionEndsTheThread)
{
    {
        CKesThread::AutoMutex hold(m_Client->KOSCGetConnThread());  // the thread is in its wait
        m_Client->KOSCGetConnThread().KTBroadcast();
    }
    auto joined = std::async(std::launch::async, [this] { return m_Client->KOSCGetConnThread().KTJoinThread(); });
    ASSERT_EQ(std::future_status::ready, joined.wait_for(std::chrono::milliseconds(kGuardMs)));
    EXPECT_EQ(1, joined.get());
}

}  // namespace
