// The engine's registries of servers, clients and accepted sockets.
#include <utility>

#include "CKesObjSockClient.h"
#include "KesEngineHarness.h" // the engine, its servers and TcpPair too

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

} // namespace
