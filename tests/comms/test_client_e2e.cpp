// The socket client inside a real engine, with the real server, in one process.
#include "KesEngineHarness.h"

namespace {

using ksxtest::TextOf;

// Start writes the service file (the multicast line and `lines`), runs the loop and adds the client.
class ClientWithServer : public ::testing::Test {
protected:
    void TearDown() override
    {
        m_Loop.reset();
        if (m_Engine) m_Engine->KNSafeExit();
    }
    void Start(const std::string& lines, const char* clientId, int sendDeadlineMs = 0)
    {
        ksxtest::WriteServiceFile(ksxtest::kMulticastLine + lines);
        m_Engine = std::make_unique<CKesSockEngine>("client-e2e", __KES_SERV_DAEMON, 2);
        if (sendDeadlineMs) {
            ASSERT_EQ(1, m_Engine->KSESetSendDeadline(sendDeadlineMs));
            // Else the bound on unacknowledged data, scaled down, cuts a stalled connection first.
            ASSERT_EQ(1, m_Engine->KSESetUnackedLimit(600000));
        }
        m_Loop = std::make_unique<ksxtest::EventLoopThread>(*m_Engine);
        m_Client = new ksxtest::LoggingClient(clientId, "Echo", "Lab"); // owned by the engine
        ASSERT_EQ(1, m_Engine->KSEAddClient(m_Client));
    }
    // Starts with the service file naming `peer`, and takes the client's greeting there.
    std::unique_ptr<ksxtest::WireConnection> StartAt(ksxtest::WireListener& peer, const char* clientId,
                                                     int sendDeadlineMs = 0)
    {
        Start(ksxtest::ServiceLine("Echo", "Lab", "127.0.0.1", peer.Port()), clientId, sendDeadlineMs);
        EXPECT_EQ(1, m_Client->KOSCInitialise());
        std::unique_ptr<ksxtest::WireConnection> server = peer.Accept();
        EXPECT_TRUE(server && server->ReadRecord()) << "no greeting";
        EXPECT_TRUE(m_Client->log.WaitFor("connect"));
        return server;
    }
    // The next record with a "data" field (keep-alives are skipped).
    static std::string NextData(ksxtest::WireConnection& server)
    {
        for (std::unique_ptr<CKesRecord> next = server.ReadRecord(); next; next = server.ReadRecord())
            if (!TextOf(*next, "data").empty()) return TextOf(*next, "data");
        return "";
    }

    ksxtest::ScopedTimeScale m_Scale{0.01};
    std::unique_ptr<CKesSockEngine> m_Engine;
    std::unique_ptr<ksxtest::EventLoopThread> m_Loop;
    ksxtest::LoggingClient* m_Client = nullptr;
};

// After KOSCDisconnect the client comes back on its own without a callback.
TEST_F(ClientWithServer, RecordsTravelBothWaysAcrossDisconnect)
{
    Start("", "echo-client");
    auto* server = ksxtest::AddServer<ksxtest::RecordingServer>(*m_Engine, "Echo", "Lab");
    ASSERT_NE(nullptr, server);
    server->echo = true;
    ASSERT_EQ(1, m_Client->KOSCInitialise());
    ASSERT_TRUE(m_Client->log.WaitFor("connect") && server->log.WaitFor("connect echo-client"));
    auto roundTrip = [&](const char* text) {
        CKesRecord record = ksxtest::TextRecord("data", text);
        return m_Client->KOSCSendToServer(&record) == 1 && m_Client->log.WaitFor(std::string("io ") + text);
    };
    EXPECT_TRUE(roundTrip("one"));
    ASSERT_EQ(1, m_Client->KOSCDisconnect());
    ASSERT_TRUE(m_Client->log.WaitFor("connect", 2));
    EXPECT_EQ(0, m_Client->log.Count("disconnect")) << "disconnecting calls no callback";
    EXPECT_TRUE(roundTrip("back"));
}

// A batch reaches the server in order, however many writes it needs; only a null record is left out.
TEST_F(ClientWithServer, BatchKeepsOrderAndLeavesOutOnlyABadRecord)
{
    ksxtest::WireListener peer;
    std::unique_ptr<ksxtest::WireConnection> server = StartAt(peer, "batcher");
    ASSERT_TRUE(server);
    constexpr unsigned int kCount = 1000, kBad = 500; // about 4 MiB
    std::vector<CKesRecord> records;
    records.reserve(kCount);
    for (unsigned int i = 0; i < kCount; ++i)
        records.push_back(ksxtest::TextRecord("data", (std::to_string(i) + std::string(4096, '.')).c_str()));
    std::vector<CKesRecord*> batch;
    for (CKesRecord& record : records) batch.push_back(&record);
    batch[kBad] = nullptr;

    int result = 0;
    std::thread sender([&] { result = m_Client->KOSCSendRecordsToServer(batch.data(), kCount); });
    std::vector<unsigned int> got;
    for (std::string text; got.size() < kCount - 1 && !(text = NextData(*server)).empty();)
        got.push_back(static_cast<unsigned int>(std::stoul(text)));
    sender.join();
    EXPECT_EQ(ksxtest::NumbersExcept(kCount, kBad), got);
    EXPECT_EQ(KES_ERR_ARGUMENT, result);
}

// A send a stalled server cannot take in time closes the connection with one report; the client comes back.
TEST_F(ClientWithServer, SendPastTheDeadlineClosesTheConnectionAndTheClientReconnects)
{
    ksxtest::WireListener peer;
    std::unique_ptr<ksxtest::WireConnection> stopped = StartAt(peer, "stalled", 300); // reads no more
    ASSERT_TRUE(stopped);
    ksxtest::ErrorCapture errors;
    CKesRecord big = ksxtest::TextRecord("data", std::string(1 << 20, 'x').c_str());
    int result = 1;
    for (int n = 0; n < 200 && result == 1; ++n) result = m_Client->KOSCSendToServer(&big);
    EXPECT_EQ(KES_ERR_SEND, result);
    ASSERT_TRUE(m_Client->log.WaitFor("disconnect"));
    EXPECT_EQ(1, errors.CountText({"Send to server of service Echo on socket",
                                   "did not complete within 300 ms: connection closed"}));

    std::unique_ptr<ksxtest::WireConnection> again = peer.Accept();
    ASSERT_TRUE(again && again->ReadRecord()) << "the client did not come back";
    ASSERT_TRUE(m_Client->log.WaitFor("connect", 2));
    CKesRecord small = ksxtest::TextRecord("data", "small");
    EXPECT_EQ(1, m_Client->KOSCSendToServer(&small));
    EXPECT_EQ("small", NextData(*again));
}

} // namespace
