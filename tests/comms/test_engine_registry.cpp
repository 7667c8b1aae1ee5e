// The engine's registries of servers, clients and accepted sockets.
#include <atomic>
#include <chrono>
#include <cstring>
#include <memory>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include <gtest/gtest.h>

#include "CKesObjMulticast.h"
#include "CKesObjSockClient.h"
#include "CKesObjSockServer.h"
#include "CKesRecord.h"
#include "CKesSockEnd.h"
#include "CKesSockEngine.h"
#include "KesEngineHarness.h"
#include "KesTestSupport.h"
#include "KesWirePeer.h" // TcpPair

namespace {

template <typename Server = CKesObjSockServer, typename... Args>
Server* NamedServer(const char* name, Args&&... args)
{
    auto* server = new Server(std::forward<Args>(args)...);
    server->KOSSSetServiceName(strdup(name));
    server->KOSSSetDomain(strdup("RegistryDomain"));
    return server;
}

// An endpoint of a connected loopback TCP socket, as an accept thread makes.
struct AcceptedSocket {
    ksxtest::TcpPair pair;
    CKesSockEnd* end = new CKesSockEnd;
    AcceptedSocket() { end->KSESetEndPointSocket(pair.Release()); }
    ~AcceptedSocket() { delete end; } // closes the accepted socket
    unsigned int Socket() const { return end->KSEGetEndPointSocket(); }
};

class EngineRegistry : public ::testing::Test {
protected:
    CKesSockEngine m_Engine{"registry-test", __KES_SERV_DAEMON, 1};
};

// A second client for a taken name is accepted but not filed: removing it
// must not take the first one's entry.
TEST_F(EngineRegistry, SecondServerOrClientForATakenNameAndANamelessServerLeaveTheFirstInPlace)
{
    ksxtest::ErrorCapture errors;
    CKesObjSockServer* first = NamedServer("Shared");
    ASSERT_EQ(1, m_Engine.KSEAddServer(first));

    std::unique_ptr<CKesObjSockServer> second(NamedServer("Shared")), nameless(new CKesObjSockServer);
    testing::internal::CaptureStderr();
    EXPECT_EQ(KES_ERR_DUPLICATE_SERVER, m_Engine.KSEAddServer(second.get()));
    EXPECT_NE(std::string::npos,
              testing::internal::GetCapturedStderr().find(
                  "WARNING: You have attempted to add a server on service Shared when this socket "
                  "engine already has a server on this subject.\n"));
    EXPECT_EQ(KES_ERR_ARGUMENT, m_Engine.KSEAddServer(nameless.get()));
    EXPECT_TRUE(errors.Has(KES_ERR_ARGUMENT, "CKesSockEngine"));
    EXPECT_EQ(first, m_Engine.KSEGetServer("Shared"));

    std::unique_ptr<CKesObjSockClient> firstClient, secondClient;
    for (auto* client : {&firstClient, &secondClient}) {
        client->reset(new CKesObjSockClient(strdup("registry-client")));
        (*client)->KOSCSetServiceName(strdup("Used"));
        (*client)->KOSCSetDomain(strdup("RegistryDomain"));
        EXPECT_EQ(1, m_Engine.KSEAddClient(client->get()));
    }
    EXPECT_EQ(1, m_Engine.KSERemoveClient(secondClient.get()));
    EXPECT_EQ(firstClient.get(), m_Engine.KSEGetClient("Used"));
    EXPECT_EQ(1, m_Engine.KSERemoveClient(firstClient.get()));
    EXPECT_EQ(nullptr, m_Engine.KSEGetClient("Used"));
}

// Notes, when destroyed, whether its socket was still on the event loop.
struct WatchingServer : public CKesObjSockServer {
    WatchingServer(CKesSockEngine& engine, unsigned int socket, int* still)
        : m_Engine(engine), m_Socket(socket), m_Still(still)
    {
    }
    ~WatchingServer() override { *m_Still = m_Engine.KRNRemoveIO(m_Socket) == 1 ? 1 : 0; }
    CKesSockEngine& m_Engine;
    unsigned int m_Socket;
    int* m_Still;
};

TEST_F(EngineRegistry, RemovingAServerTakesItsSocketsOffTheLoopAndThenDestroysIt)
{
    AcceptedSocket first, second, other;
    int stillRegistered = -1;
    ASSERT_EQ(1, m_Engine.KSEAddServer(
                     NamedServer<WatchingServer>("Leaving", m_Engine, first.Socket(), &stillRegistered)));
    ASSERT_EQ(1, m_Engine.KSEAddServer(NamedServer("Staying")));
    char leaving[] = "Leaving";
    char staying[] = "Staying";
    ASSERT_EQ(1, m_Engine.KSEAddNewServerSocket(leaving, first.end));
    ASSERT_EQ(1, m_Engine.KSEAddNewServerSocket(leaving, second.end));
    ASSERT_EQ(1, m_Engine.KSEAddNewServerSocket(staying, other.end));

    EXPECT_EQ(1, m_Engine.KSERemoveServer(leaving));
    EXPECT_EQ(0, stillRegistered) << "the server was destroyed while its socket was on the loop";
    EXPECT_EQ(nullptr, m_Engine.KSEGetServer("Leaving"));
    EXPECT_EQ(KES_ERR_INVALID_SOCKET, m_Engine.KRNRemoveIO(second.Socket()));
    EXPECT_EQ(1, m_Engine.KRNRemoveIO(other.Socket()));

    // Safe exit terminates every server still filed.
    CKesObjSockServer* last = m_Engine.KSEGetServer("Staying");
    m_Engine.KNSafeExit();
    EXPECT_EQ(KES_DISCONNECTED, last->KOSSGetConnectState());
}

// Sends records to the group on its own thread, in bursts, until destroyed.
class GroupSender {
public:
    GroupSender(CKesObjMulticast* channel, std::vector<CKesRecord*> records)
        : m_Thread([this, channel, records] {
              while (!m_Stop.load()) {
                  for (int burst = 0; burst < 4; ++burst)
                      for (CKesRecord* record : records) channel->KOMSendPacket(record);
                  std::this_thread::sleep_for(std::chrono::microseconds(20));
              }
          })
    {
    }
    ~GroupSender()
    {
        m_Stop = true;
        m_Thread.join();
    }

private:
    std::atomic<bool> m_Stop{false};
    std::thread m_Thread;
};

// Discovery records reach a server or a client through the service name,
// with no socket of theirs involved. While address requests and replies for
// one service arrive without pause, its server and client are removed
// (the client then destroyed by the host) and added again: each removal
// must wait for a worker that is inside them. The servers are not
// initialised, so a removal joins no accept thread and takes microseconds:
// a worker still inside would meet the object destroyed (the sanitizer
// builds report it).
TEST(EngineRegistryUnderTraffic, ServerAndClientRemovedAndAddedAgainWhileDiscoveryRecordsArrive)
{
    CKesSockEngine engine("removal-test", __KES_SERV_DAEMON, 4); // several workers inside at once
    ksxtest::EventLoopThread loop(engine);
    CKesSockEnd announced;
    announced.KSESetServiceName(strdup("Churned"));
    announced.KSESetEndPointDomain(strdup("RegistryDomain"));
    announced.KSESetEndPointAddress("127.0.0.1", 4000);
    std::unique_ptr<CKesRecord> request(announced.KSEGetAddressRequestPacket());
    std::unique_ptr<CKesRecord> reply(announced.KSEGetAddressReplyPacket());
    ASSERT_TRUE(request && reply);
    // The engine's own channel loops its datagrams back to the engine.
    GroupSender sender(engine.KSEGetMulticast(), {request.get(), reply.get()});

    char name[] = "Churned";
    for (int round = 0; round < 1000; ++round) {
        ASSERT_EQ(1, engine.KSEAddServer(NamedServer("Churned")));
        auto client = std::make_unique<CKesObjSockClient>(strdup("churn-client"));
        client->KOSCSetServiceName(strdup("Churned"));
        client->KOSCSetDomain(strdup("RegistryDomain"));
        EXPECT_EQ(1, engine.KSEAddClient(client.get()));
        // A reply has been through the client in this round (waited for
        // without sleeping, so that rounds follow each other closely).
        const auto guard =
            std::chrono::steady_clock::now() + std::chrono::milliseconds(ksxtest::kEngineGuardMs);
        while (client->KOSCGetServerData() == nullptr && std::chrono::steady_clock::now() < guard)
            std::this_thread::yield();
        const bool heard = client->KOSCGetServerData() != nullptr;
        EXPECT_EQ(1, engine.KSERemoveServer(name));
        EXPECT_EQ(1, engine.KSERemoveClient(client.get()));
        ASSERT_TRUE(heard) << "no reply reached the client in round " << round;
    }
}

} // namespace
