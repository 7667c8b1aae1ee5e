// The engine's registries of servers, clients and accepted sockets.
#include <cstring>
#include <string>

#include <gtest/gtest.h>

#include "CKesObjSockClient.h"
#include "CKesObjSockServer.h"
#include "CKesRecord.h"
#include "CKesSockEnd.h"
#include "CKesSockEngine.h"
#include "KesTestSupport.h"
#include "KesWirePeer.h"

namespace {

CKesObjSockServer* NamedServer(const char* name)
{
    auto* server = new CKesObjSockServer;
    server->KOSSSetServiceName(strdup(name));
    server->KOSSSetDomain(strdup("RegistryDomain"));
    return server;
}

CKesObjSockClient* NamedClient(const char* name)
{
    auto* client = new CKesObjSockClient(strdup("registry-client"));
    client->KOSCSetServiceName(strdup(name));
    client->KOSCSetDomain(strdup("RegistryDomain"));
    return client;
}

// An endpoint of a connected loopback TCP socket, as an accept thread makes.
struct AcceptedSocket {
    ksxtest::TcpPair pair;
    CKesSockEnd* end = new CKesSockEnd;
    AcceptedSocket() { end->KSESetEndPointSocket(pair.Release()); }
    ~AcceptedSocket() { delete end; }  // closes the accepted socket
    unsigned int Socket() const { return end->KSEGetEndPointSocket(); }
};

TEST(EngineServerRegistry, SecondServerForATakenNameIsRefusedAndTheFirstStays)
{
    CKesSockEngine engine("registry-test", __KES_SERV_DAEMON, 1);
    CKesObjSockServer* first = NamedServer("Shared");
    CKesObjSockServer* second = NamedServer("Shared");
    ASSERT_EQ(1, engine.KSEAddServer(first));
    EXPECT_EQ(&engine, first->KOSSGetController());
    EXPECT_EQ(engine.KSEGetMulticast(), first->KOSSGetMulticastPtr());

    testing::internal::CaptureStderr();
    EXPECT_EQ(-220454, engine.KSEAddServer(second));
    std::string warning = testing::internal::GetCapturedStderr();
    EXPECT_NE(std::string::npos, warning.find("WARNING: You have attempted to add a server on service Shared when this "
                                              "socket engine already has a server on this subject.\n"));
    EXPECT_EQ(first, engine.KSEGetServer("Shared"));
    delete second; // refused, so still ours
}

TEST(EngineServerRegistry, ServerWithoutNameIsRefusedAndNotFiled)
{
    ksxtest::ErrorCapture errors;
    CKesSockEngine engine("registry-test", __KES_SERV_DAEMON, 1);
    auto* nameless = new CKesObjSockServer;
    EXPECT_EQ(-220552, engine.KSEAddServer(nameless));
    EXPECT_TRUE(errors.Has(-220552, "CKesSockEngine"));
    EXPECT_EQ(nullptr, engine.KSEGetServer(nullptr));
    delete nameless;
}

TEST(EngineServerRegistry, AcceptedSocketAlreadyInUseWarnsKeepsItsBindingAndRegistersAgain)
{
    CKesSockEngine engine("registry-test", __KES_SERV_DAEMON, 1);
    ASSERT_EQ(1, engine.KSEAddServer(NamedServer("Owner")));
    ASSERT_EQ(1, engine.KSEAddServer(NamedServer("Intruder")));
    AcceptedSocket accepted;
    char owner[] = "Owner";
    char intruder[] = "Intruder";
    ASSERT_EQ(1, engine.KSEAddNewServerSocket(owner, accepted.end));

    testing::internal::CaptureStderr();
    EXPECT_EQ(1, engine.KSEAddNewServerSocket(intruder, accepted.end));
    std::string warning = testing::internal::GetCapturedStderr();
    EXPECT_NE(std::string::npos, warning.find("WARNING: You have attempted to add a server side client socket on socket " +
                                              std::to_string(accepted.Socket()) + " when this socket is already in use.\n"));

    // Still bound to its first service: removing the other one leaves it on the loop.
    EXPECT_EQ(1, engine.KSERemoveServer(intruder));
    EXPECT_EQ(1, engine.KRNRemoveIO(accepted.Socket()));
}

// A server that notes, when it is destroyed, whether its socket was still on
// the event loop.
class WatchingServer : public CKesObjSockServer {
public:
    WatchingServer(CKesSockEngine& engine, unsigned int socket, int* stillRegistered)
        : m_Engine(engine), m_Socket(socket), m_StillRegistered(stillRegistered) {}
    ~WatchingServer() override
    {
        int removed = m_Engine.KRNRemoveIO(m_Socket);
        *m_StillRegistered = removed == 1 ? 1 : 0;
    }

private:
    CKesSockEngine& m_Engine;
    unsigned int m_Socket;
    int* m_StillRegistered;
};

TEST(EngineServerRegistry, RemovingAServerTakesItsSocketsOffTheLoopAndDestroysIt)
{
    ksxtest::ErrorCapture errors;
    CKesSockEngine engine("registry-test", __KES_SERV_DAEMON, 1);
    AcceptedSocket first, second, other;
    int stillRegistered = -1;
    auto* server = new WatchingServer(engine, first.Socket(), &stillRegistered);
    server->KOSSSetServiceName(strdup("Leaving"));
    server->KOSSSetDomain(strdup("RegistryDomain"));
    ASSERT_EQ(1, engine.KSEAddServer(server));
    ASSERT_EQ(1, engine.KSEAddServer(NamedServer("Staying")));
    char leaving[] = "Leaving";
    char staying[] = "Staying";
    ASSERT_EQ(1, engine.KSEAddNewServerSocket(leaving, first.end));
    ASSERT_EQ(1, engine.KSEAddNewServerSocket(leaving, second.end));
    ASSERT_EQ(1, engine.KSEAddNewServerSocket(staying, other.end));

    EXPECT_EQ(1, engine.KSERemoveServer(leaving));
    EXPECT_EQ(0, stillRegistered) << "the server was destroyed while its socket was on the loop";
    EXPECT_EQ(nullptr, engine.KSEGetServer("Leaving"));
    EXPECT_EQ(-220459, engine.KRNRemoveIO(second.Socket()));
    EXPECT_EQ(1, engine.KRNRemoveIO(other.Socket()));
    // An accepted socket that is gone already is no error.
    EXPECT_EQ(1, engine.KSERemoveServerClientSocket(first.end));
}

TEST(EngineServerRegistry, SafeExitTerminatesEveryServer)
{
    CKesSockEngine engine("registry-test", __KES_SERV_DAEMON, 1);
    CKesObjSockServer* a = NamedServer("A");
    CKesObjSockServer* b = NamedServer("B");
    engine.KSEAddServer(a);
    engine.KSEAddServer(b);
    engine.KNSafeExit();
    EXPECT_EQ(4, static_cast<int>(a->KOSSGetConnectState()));
    EXPECT_EQ(4, static_cast<int>(b->KOSSGetConnectState()));
}

TEST(EngineClientRegistry, SecondClientForATakenNameLeavesTheFirstInPlace)
{
    CKesSockEngine engine("registry-test", __KES_SERV_DAEMON, 1);
    CKesObjSockClient* first = NamedClient("Used");
    CKesObjSockClient* second = NamedClient("Used");
    EXPECT_EQ(1, engine.KSEAddClient(first));
    EXPECT_EQ(1, engine.KSEAddClient(second));
    EXPECT_EQ(first, engine.KSEGetClient("Used"));

    // Removing the refused one must not take the first one's entry.
    EXPECT_EQ(1, engine.KSERemoveClient(second));
    EXPECT_EQ(first, engine.KSEGetClient("Used"));
    delete second;
    EXPECT_EQ(1, engine.KSERemoveClient(first));
    EXPECT_EQ(nullptr, engine.KSEGetClient("Used"));
    delete first;
}

TEST(EngineClientRegistry, UnconnectedClientsNeedNoIOWork)
{
    ksxtest::ErrorCapture errors;
    CKesSockEngine engine("registry-test", __KES_SERV_DAEMON, 1);
    CKesObjSockClient* client = NamedClient("Idle");
    ASSERT_EQ(1, engine.KSEAddClient(client));
    ASSERT_EQ(KES_INVALID_SOCKET, client->KOSCGetClientTCPSocket());
    EXPECT_EQ(1, engine.KSECloseClientIO(client)) << "closing the IO of an unconnected client does nothing";
    CKesRecord record = ksxtest::TextRecord("hello", "world");
    EXPECT_EQ(1, engine.KSESendToAll(&record)) << "nobody to send to is no error";
    EXPECT_TRUE(errors.Reports().empty());
}

} // namespace
