// The socket client inside a real engine, with the real server, in one process.
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

// Records travel both ways through a running engine's receive path; after
// KOSCDisconnect the client comes back on its own without a callback.
TEST(ClientWithServer, RecordsTravelBothWaysAcrossDisconnect)
{
    KesSetTimeScale(0.01);
    ksxtest::WriteServiceFile(ksxtest::kMulticastLine);
    auto engine = std::make_unique<CKesSockEngine>("client-e2e", __KES_SERV_DAEMON, 2);
    auto loop = std::make_unique<ksxtest::EventLoopThread>(*engine);
    auto* server = ksxtest::AddServer<EchoServer>(*engine, "Echo", "Lab");  // both owned by the engine
    ASSERT_NE(nullptr, server);
    auto* client = new EchoClient("echo-client");
    ASSERT_EQ(1, engine->KSEAddClient(client));
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

    loop.reset();
    engine->KNSafeExit();
    engine.reset();
    KesSetTimeScale(1.0);
}

}  // namespace
