// The socket client inside a real engine, with the real server, in one process.
#include "CKesObjSockClient.h"
#include "KesEngineHarness.h"

namespace {

using ksxtest::TextOf;

// Logs "client <id>" and echoes each "Text" back as "Echo".
class EchoServer : public CKesObjSockServer {
public:
    void KesOnServerIO(CKesSockEnd* client, CKesRecord* record) override
    {
        std::unique_ptr<CKesRecord> owned(record);
        CKesRecord echo = ksxtest::TextRecord("Echo", TextOf(*record, "Text").c_str());
        KOSSSendToClient(client->KSEGetEndPointName(), &echo);
    }
    void KOSSOnClientConnect(CKesSockEnd* client) override
    {
        log.Add("client " + ksxtest::RecordingServer::Name(client));
    }
    ksxtest::EventLog log;
};

// Logs "connect", "disconnect" and "echo <text>".
class EchoClient : public CKesObjSockClient {
public:
    explicit EchoClient(const char* id) : CKesObjSockClient(strdup(id))
    {
        KOSCSetServiceName(strdup("Echo"));
        KOSCSetDomain(strdup("Lab"));
    }
    ~EchoClient() override { KOSCStopConnectThread(); }
    void KesOnClientIO(CKesSockEnd*, CKesRecord* record) override
    {
        std::unique_ptr<CKesRecord> owned(record);
        log.Add("echo " + TextOf(*record, "Echo"));
    }
    void KOSCOnClientConnect() override { log.Add("connect"); }
    void KOSCOnClientDisconnect() override { log.Add("disconnect"); }
    ksxtest::EventLog log;
};

// At the test time scale: MakeEngine writes the service file (the multicast
// line and the given lines) and makes the engine; Run runs its loop and adds
// the client.
class ClientWithServer : public ::testing::Test {
protected:
    void SetUp() override { KesSetTimeScale(0.01); }
    void TearDown() override
    {
        m_Loop.reset();
        if (m_Engine) m_Engine->KNSafeExit();
        m_Engine.reset();
        KesSetTimeScale(1.0);
    }
    void MakeEngine(const std::string& lines)
    {
        ksxtest::WriteServiceFile(ksxtest::kMulticastLine + lines);
        m_Engine = std::make_unique<CKesSockEngine>("client-e2e", __KES_SERV_DAEMON, 2);
    }
    void Run(const char* clientId)
    {
        m_Loop = std::make_unique<ksxtest::EventLoopThread>(*m_Engine);
        m_Client = new EchoClient(clientId); // owned by the engine
        ASSERT_EQ(1, m_Engine->KSEAddClient(m_Client));
    }

    std::unique_ptr<CKesSockEngine> m_Engine;
    std::unique_ptr<ksxtest::EventLoopThread> m_Loop;
    EchoClient* m_Client = nullptr;
};

// Records travel both ways through a running engine's receive path; after
// KOSCDisconnect the client comes back on its own without a callback.
TEST_F(ClientWithServer, RecordsTravelBothWaysAcrossDisconnect)
{
    MakeEngine("");
    Run("echo-client");
    auto* server = ksxtest::AddServer<EchoServer>(*m_Engine, "Echo", "Lab"); // owned by the engine
    ASSERT_NE(nullptr, server);
    EchoClient* client = m_Client;
    ASSERT_EQ(1, client->KOSCInitialise());
    ASSERT_TRUE(client->log.WaitFor("connect") && server->log.WaitFor("client echo-client"));
    auto roundTrip = [&](const char* text) {
        CKesRecord record = ksxtest::TextRecord("Text", text);
        return client->KOSCSendToServer(&record) == 1 && client->log.WaitFor(std::string("echo ") + text);
    };
    EXPECT_TRUE(roundTrip("one"));
    ASSERT_EQ(1, client->KOSCDisconnect());
    ASSERT_TRUE(client->log.WaitFor("connect", 2));
    EXPECT_EQ(0, client->log.Count("disconnect")) << "disconnecting calls no callback";
    EXPECT_TRUE(roundTrip("back"));
}

// A batch sent in one call reaches the server whole and in order, however
// many writes its socket needs; a null record is reported and left out, the
// others still go.
TEST(ClientBatchedSend, KeepsOrderAndLeavesOutOnlyABadRecord)
{
    KesSetTimeScale(0.01);
    ksxtest::WireListener peer;
    ksxtest::WriteServiceFile(
        std::string(ksxtest::kMulticastLine) +
        "SERVICE: Echo DOMAIN: Lab ADDRESS: 127.0.0.1 PORT: " + std::to_string(peer.Port()) + "\n");
    auto engine = std::make_unique<CKesSockEngine>("client-batch", __KES_SERV_DAEMON, 2);
    auto loop = std::make_unique<ksxtest::EventLoopThread>(*engine);
    auto* client = new EchoClient("batcher"); // owned by the engine
    ASSERT_EQ(1, engine->KSEAddClient(client));
    ASSERT_EQ(1, client->KOSCInitialise());
    std::unique_ptr<ksxtest::WireConnection> server = peer.Accept();
    ASSERT_TRUE(server && server->ReadRecord()) << "no greeting";
    ASSERT_TRUE(client->log.WaitFor("connect"));

    constexpr unsigned int kCount = 1000, kBad = 500; // about 4 MiB
    std::vector<CKesRecord> records;
    records.reserve(kCount);
    for (unsigned int i = 0; i < kCount; ++i)
        records.push_back(ksxtest::TextRecord("Text", (std::to_string(i) + std::string(4096, '.')).c_str()));
    std::vector<CKesRecord*> batch;
    for (CKesRecord& record : records) batch.push_back(&record);
    batch[kBad] = nullptr;

    int result = 0;
    std::thread sender([&] { result = client->KOSCSendRecordsToServer(batch.data(), kCount); });
    std::vector<unsigned int> got;
    while (got.size() < kCount - 1) {
        std::unique_ptr<CKesRecord> next = server->ReadRecord();
        if (!next) break;
        const std::string text = TextOf(*next, "Text");
        if (!text.empty()) got.push_back(static_cast<unsigned int>(std::stoul(text))); // not a keep-alive
    }
    sender.join();
    EXPECT_EQ(ksxtest::NumbersExcept(kCount, kBad), got);
    EXPECT_EQ(KES_ERR_ARGUMENT, result);
    loop.reset();
    engine->KNSafeExit();
    engine.reset();
    KesSetTimeScale(1.0);
}

// A server that stops reading: the send that its socket cannot take within
// the deadline gives KES_ERR_SEND, the connection is closed with one report
// naming the service, and the client comes back as after any loss.
TEST_F(ClientWithServer, SendPastTheDeadlineClosesTheConnectionAndTheClientReconnects)
{
    ksxtest::WireListener peer;
    MakeEngine(ksxtest::ServiceLine("Echo", "Lab", "127.0.0.1", peer.Port()));
    ASSERT_EQ(1, m_Engine->KSESetSendDeadline(300));
    // The system's bound on unacknowledged data, scaled down with the test's
    // delays, would otherwise cut the stalled connection first.
    ASSERT_EQ(1, m_Engine->KSESetUnackedLimit(600000));
    Run("stalled");
    EchoClient* client = m_Client;
    ASSERT_EQ(1, client->KOSCInitialise());
    std::unique_ptr<ksxtest::WireConnection> stopped = peer.Accept();
    ASSERT_TRUE(stopped && stopped->ReadRecord()) << "no greeting"; // then it reads no more
    ASSERT_TRUE(client->log.WaitFor("connect"));

    ksxtest::ErrorCapture errors;
    CKesRecord big = ksxtest::TextRecord("Text", std::string(1 << 20, 'x').c_str());
    int result = 1;
    for (int n = 0; n < 200 && result == 1; ++n) result = client->KOSCSendToServer(&big);
    EXPECT_EQ(KES_ERR_SEND, result);
    ASSERT_TRUE(client->log.WaitFor("disconnect"));
    EXPECT_EQ(1, errors.CountText({"Send to server of service Echo on socket",
                                   "did not complete within 300 ms: connection closed"}));

    std::unique_ptr<ksxtest::WireConnection> again = peer.Accept();
    ASSERT_TRUE(again && again->ReadRecord()) << "the client did not come back";
    ASSERT_TRUE(client->log.WaitFor("connect", 2));
    CKesRecord small = ksxtest::TextRecord("Text", "small");
    EXPECT_EQ(1, client->KOSCSendToServer(&small));
    std::unique_ptr<CKesRecord> next = again->ReadRecord();
    while (next && TextOf(*next, "Text").empty()) next = again->ReadRecord(); // keep-alives
    ASSERT_TRUE(next);
    EXPECT_EQ("small", TextOf(*next, "Text"));
}

} // namespace
