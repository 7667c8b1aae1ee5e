// The engine's registries of servers, clients and accepted sockets.
#include <stop_token>

#include "CKesObjMulticast.h"
#include "KesEngineHarness.h"

namespace {

using ksxtest::NamedServer;
const char* const kDomain = "RegistryDomain"; // of every server and client here

// An endpoint of a connected loopback TCP socket, as an accept thread makes.
struct AcceptedSocket {
    ksxtest::TcpPair pair;
    std::unique_ptr<CKesSockEnd> end = std::make_unique<CKesSockEnd>(); // closes the accepted socket
    AcceptedSocket() { end->KSESetEndPointSocket(pair.Release()); }
    unsigned int Socket() const { return end->KSEGetEndPointSocket(); }
};

class EngineRegistry : public ::testing::Test {
protected:
    CKesSockEngine m_Engine{"registry-test", __KES_SERV_DAEMON, 1};
};

// A second client for a taken name is accepted but not filed; removing it keeps the first.
TEST_F(EngineRegistry, SecondServerOrClientForATakenNameAndANamelessServerLeaveTheFirstInPlace)
{
    ksxtest::ErrorCapture errors;
    CKesObjSockServer* first = NamedServer("Shared", kDomain);
    ASSERT_EQ(1, m_Engine.KSEAddServer(first));
    std::unique_ptr<CKesObjSockServer> second(NamedServer("Shared", kDomain)),
        nameless(new CKesObjSockServer);
    testing::internal::CaptureStderr();
    EXPECT_EQ(KES_ERR_DUPLICATE_SERVER, m_Engine.KSEAddServer(second.get()));
    EXPECT_NE(std::string::npos,
              testing::internal::GetCapturedStderr().find(
                  "WARNING: You have attempted to add a server on service Shared when this "
                  "socket engine already has a server on this subject.\n"));
    EXPECT_EQ(KES_ERR_ARGUMENT, m_Engine.KSEAddServer(nameless.get()));
    EXPECT_TRUE(errors.Has(KES_ERR_ARGUMENT, "CKesSockEngine"));
    EXPECT_EQ(first, m_Engine.KSEGetServer("Shared"));

    ksxtest::LoggingClient firstClient("registry-client", "Used", kDomain),
        secondClient("registry-client", "Used", kDomain);
    EXPECT_EQ(1, m_Engine.KSEAddClient(&firstClient));
    EXPECT_EQ(1, m_Engine.KSEAddClient(&secondClient));
    EXPECT_EQ(1, m_Engine.KSERemoveClient(&secondClient));
    EXPECT_EQ(&firstClient, m_Engine.KSEGetClient("Used"));
    EXPECT_EQ(1, m_Engine.KSERemoveClient(&firstClient));
    EXPECT_EQ(nullptr, m_Engine.KSEGetClient("Used"));
}

// Safe exit then terminates every server still filed.
TEST_F(EngineRegistry, RemovingAServerTakesItsSocketsOffTheLoopAndThenDestroysIt)
{
    struct WatchedServer : CKesObjSockServer {
        ~WatchedServer() override { onDestroyed(); }
        std::function<void()> onDestroyed;
    };
    AcceptedSocket first, second, other;
    int stillRegistered = -1;
    auto* watched = NamedServer<WatchedServer>("Leaving", kDomain);
    watched->onDestroyed = [&] { stillRegistered = m_Engine.KRNRemoveIO(first.Socket()) == 1 ? 1 : 0; };
    ASSERT_EQ(1, m_Engine.KSEAddServer(watched));
    ASSERT_EQ(1, m_Engine.KSEAddServer(NamedServer("Staying", kDomain)));
    char leaving[] = "Leaving", staying[] = "Staying";
    ASSERT_EQ(1, m_Engine.KSEAddNewServerSocket(leaving, first.end.get()));
    ASSERT_EQ(1, m_Engine.KSEAddNewServerSocket(leaving, second.end.get()));
    ASSERT_EQ(1, m_Engine.KSEAddNewServerSocket(staying, other.end.get()));

    EXPECT_EQ(1, m_Engine.KSERemoveServer(leaving));
    EXPECT_EQ(0, stillRegistered) << "the server was destroyed while its socket was on the loop";
    EXPECT_EQ(nullptr, m_Engine.KSEGetServer("Leaving"));
    EXPECT_EQ(KES_ERR_INVALID_SOCKET, m_Engine.KRNRemoveIO(second.Socket()));
    EXPECT_EQ(1, m_Engine.KRNRemoveIO(other.Socket()));

    CKesObjSockServer* last = m_Engine.KSEGetServer("Staying");
    m_Engine.KNSafeExit();
    EXPECT_EQ(KES_DISCONNECTED, last->KOSSGetConnectState());
}

// Removals wait for the workers inside the object (else the sanitizer builds see it destroyed).
TEST(EngineRegistryUnderTraffic, ServerAndClientRemovedAndAddedAgainWhileDiscoveryRecordsArrive)
{
    CKesSockEngine engine("removal-test", __KES_SERV_DAEMON, 4); // several workers inside at once
    ksxtest::EventLoopThread loop(engine);
    std::unique_ptr<CKesRecord> request = ksxtest::AddressRequest("Churned", kDomain);
    std::unique_ptr<CKesRecord> reply = ksxtest::AddressReply("Churned", kDomain, 4000);
    ASSERT_TRUE(request && reply);
    std::jthread sender([&](std::stop_token stop) { // in bursts, looped back by the engine's own channel
        while (!stop.stop_requested()) {
            for (int burst = 0; burst < 4; ++burst)
                for (CKesRecord* record : {request.get(), reply.get()})
                    engine.KSEGetMulticast()->KOMSendPacket(record);
            std::this_thread::sleep_for(std::chrono::microseconds(20));
        }
    });

    char name[] = "Churned";
    for (int round = 0; round < 1000; ++round) {
        ASSERT_EQ(1, engine.KSEAddServer(NamedServer("Churned", kDomain))); // uninitialised: quick to remove
        ksxtest::LoggingClient client("registry-client", "Churned", kDomain);
        EXPECT_EQ(1, engine.KSEAddClient(&client));
        // A reply reaches the client in this round (no sleeping, so that rounds follow closely).
        const auto guard =
            std::chrono::steady_clock::now() + std::chrono::milliseconds(ksxtest::kEngineGuardMs);
        while (client.KOSCGetServerData() == nullptr && std::chrono::steady_clock::now() < guard)
            std::this_thread::yield();
        const bool heard = client.KOSCGetServerData() != nullptr;
        EXPECT_EQ(1, engine.KSERemoveServer(name));
        EXPECT_EQ(1, engine.KSERemoveClient(&client));
        ASSERT_TRUE(heard) << "no reply reached the client in round " << round;
    }
}

} // namespace
