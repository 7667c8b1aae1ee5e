// The socket client end to end with the real server and engine in one
// process (separate daemons are in test_e2e_processes).
#include <gtest/gtest.h>

#include <cstring>
#include <memory>
#include <string>

#include "CKesObjSockClient.h"
#include "CKesObjSockServer.h"
#include "CKesRecord.h"
#include "CKesSockEnd.h"
#include "CKesSockEngine.h"
#include "KesEngineHarness.h"
#include "KesTestSupport.h"
#include "KesWirePeer.h"

namespace {

using ksxtest::TextOf;

// Logs "client <id>" and "text <text>", and echoes each text back as "Echo".
class EchoServer : public CKesObjSockServer {
public:
    void KesOnServerIO(CKesSockEnd* client, CKesRecord* record) override
    {
        std::unique_ptr<CKesRecord> owned(record);
        CKesRecord echo = ksxtest::TextRecord("Echo", TextOf(*record, "Text").c_str());
        KOSSSendToClient(client->KSEGetEndPointName(), &echo);
        log.Add("text " + TextOf(*record, "Text"));
    }
    void KOSSOnClientConnect(CKesSockEnd* client) override
    {
        log.Add(std::string("client ") + (client->KSEGetEndPointName() ? client->KSEGetEndPointName() : ""));
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

// One engine running its event loop, with a server and a connected client
// of the service "Echo" in the domain "Lab" (both owned by the engine).
class ClientWithServerTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        KesSetTimeScale(0.01);
        ksxtest::WriteServiceFile(ksxtest::kMulticastLine);
        m_Engine = std::make_unique<CKesSockEngine>("client-e2e", __KES_SERV_DAEMON, 2);
        m_Loop = std::make_unique<ksxtest::EventLoopThread>(*m_Engine);
        StartServer();
        m_Client = new EchoClient("echo-client");
        ASSERT_EQ(1, m_Engine->KSEAddClient(m_Client));
        ASSERT_EQ(1, m_Client->KOSCInitialise());
        ASSERT_TRUE(m_Client->log.WaitFor("connect"));
    }
    void TearDown() override
    {
        m_Loop.reset();
        m_Engine->KNSafeExit();
        m_Engine.reset();
        KesSetTimeScale(1.0);
    }
    void StartServer() { ASSERT_NE(nullptr, m_Server = ksxtest::AddServer<EchoServer>(*m_Engine, "Echo", "Lab")); }
    int Send(const char* text)
    {
        CKesRecord record = ksxtest::TextRecord("Text", text);
        return m_Client->KOSCSendToServer(&record);
    }
    void ExpectRoundTrip(const std::string& text)
    {
        ASSERT_EQ(1, Send(text.c_str()));
        EXPECT_TRUE(m_Server->log.WaitFor("text " + text)) << text;
        EXPECT_TRUE(m_Client->log.WaitFor("echo " + text)) << text;
    }

    std::unique_ptr<CKesSockEngine> m_Engine;
    std::unique_ptr<ksxtest::EventLoopThread> m_Loop;
    EchoServer* m_Server = nullptr;
    EchoClient* m_Client = nullptr;
};

// Records travel both ways through the receive path; KOSCDisconnect comes
// back on its own without a callback; loss of the server is noticed once
// and a new server on another port is found again.
TEST_F(ClientWithServerTest, RecordsTravelBothWaysAcrossDisconnectAndServerLoss)
{
    ASSERT_TRUE(m_Server->log.WaitFor("client echo-client"));
    EXPECT_EQ("client echo-client", m_Server->log.Events().front());
    ExpectRoundTrip("one");
    ExpectRoundTrip("two");

    ASSERT_EQ(1, m_Client->KOSCDisconnect());
    ASSERT_TRUE(m_Client->log.WaitFor("connect", 2));
    EXPECT_EQ(0, m_Client->log.Count("disconnect")) << "disconnecting calls no callback";
    ExpectRoundTrip("back");

    const unsigned int oldPort = m_Client->KOSCGetServerData()->KSEGetEndPtAddressPort();
    ASSERT_EQ(1, m_Engine->KSERemoveServer(const_cast<char*>("Echo")));  // closes its connections
    ASSERT_TRUE(m_Client->log.WaitFor("disconnect"));
    EXPECT_EQ(-220545, Send("lost")) << "nothing is queued while unconnected";
    StartServer();
    ASSERT_TRUE(m_Client->log.WaitFor("connect", 3));
    EXPECT_EQ(1, m_Client->log.Count("disconnect"));
    EXPECT_NE(oldPort, m_Client->KOSCGetServerData()->KSEGetEndPtAddressPort());
    ExpectRoundTrip("again");
    EXPECT_EQ(1, m_Server->log.Count("client echo-client"));
}

}  // namespace
