// Several daemons in separate processes around one server daemon
// (tests/hosts/ksx_e2e_*): every client is known to the server by its id,
// records travel both ways, a broadcast reaches each client exactly once,
// and a server killed outright and started again on another port is found
// again by every client, with one connect and one disconnect callback per
// connection. The daemons run both at a shortened time scale and at the
// production delays.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <memory>
#include <string>
#include <vector>

#include "KesDaemonHarness.h"
#include "KesTestSupport.h"

namespace {

using ksxtest::Daemon;

// The port of a "LISTENING <port> <address>" line (0 when there is none).
unsigned Port(const std::string& listening)
{
    return listening.empty() ? 0 : unsigned(std::strtoul(listening.c_str() + 10, nullptr, 10));
}

// What a client connected to that server answers to "SERVER".
std::string ServerLine(const std::string& listening)
{
    const size_t blank = listening.find(' ', 10);
    if (blank == std::string::npos)
        return "SERVER ?";
    return "SERVER " + listening.substr(blank + 1) + " " + std::to_string(Port(listening));
}

// The time scale of the daemons: "" runs them at the production delays.
class E2eProcessTest : public ::testing::TestWithParam<std::string> {
protected:
    void SetUp() override
    {
        // A home whose service file holds only the shipped multicast entry,
        // taken before any server publishes into the test's own home.
        const std::string shipped = ksxtest::ReadFile(ksxtest::ServiceFilePath());
        ASSERT_NE(std::string::npos, shipped.find("MulticastService"));
        m_MulticastOnlyHome = ksxtest::MakeHome("multicast-only", shipped);
    }
    std::unique_ptr<Daemon> StartServer(std::string* listening)
    {
        auto server = std::make_unique<Daemon>("ksx_e2e_server", std::vector<std::string>{"Echo", "Lab"},
                                               ksxtest::KsxHome(), GetParam());
        *listening = server->WaitForLine("LISTENING ");
        EXPECT_NE("", *listening);
        return server;
    }
    // Clients with even numbers find the server through the service file,
    // the others through the multicast group alone.
    void StartClients(int count)
    {
        for (int i = 1; i <= count; ++i) {
            const std::string& home = i % 2 == 0 ? ksxtest::KsxHome() : m_MulticastOnlyHome;
            m_Ids.push_back("node-" + std::to_string(i));
            m_Clients.push_back(std::make_unique<Daemon>("ksx_e2e_client",
                                                         std::vector<std::string>{"Echo", "Lab", m_Ids.back()},
                                                         home, GetParam()));
        }
    }
    // Every client connects and the server is told each id once.
    void ExpectAllConnect(Daemon& server)
    {
        for (auto& client : m_Clients)
            ASSERT_EQ("CONNECTED", client->WaitForLine("CONNECTED"));
        std::vector<std::string> seen;
        for (size_t i = 0; i < m_Clients.size(); ++i)
            seen.push_back(server.WaitForLine("CLIENT "));
        std::sort(seen.begin(), seen.end());
        std::vector<std::string> expected;
        for (const std::string& id : m_Ids)
            expected.push_back("CLIENT " + id);
        EXPECT_EQ(expected, seen);
    }
    // One record from every client to the server and its echo back.
    void ExpectRoundTrips(Daemon& server, const std::string& tag)
    {
        for (size_t i = 0; i < m_Clients.size(); ++i) {
            m_Clients[i]->Write("SEND " + tag + "-" + m_Ids[i]);
            EXPECT_EQ("SENT 1", m_Clients[i]->WaitForLine("SENT "));
        }
        std::vector<std::string> received;
        for (size_t i = 0; i < m_Clients.size(); ++i) {
            received.push_back(server.WaitForLine("RECV "));
            EXPECT_EQ("RECV " + tag + "-" + m_Ids[i], m_Clients[i]->WaitForLine("RECV "));
        }
        std::sort(received.begin(), received.end());
        for (size_t i = 0; i < m_Ids.size(); ++i)
            EXPECT_EQ("RECV " + m_Ids[i] + " " + tag + "-" + m_Ids[i], received[i]);
    }
    // Ends every client through the end of its input; each must exit cleanly.
    void FinishClients()
    {
        for (auto& client : m_Clients)
            EXPECT_EQ(0, client->Finish());
    }

    std::string m_MulticastOnlyHome;
    std::vector<std::string> m_Ids;
    std::vector<std::unique_ptr<Daemon>> m_Clients;
};

TEST_P(E2eProcessTest, EveryClientGetsEachBroadcastOnceAndItsOwnRecordsOnly)
{
    std::string listening;
    std::unique_ptr<Daemon> server = StartServer(&listening);
    StartClients(4);
    ExpectAllConnect(*server);
    ExpectRoundTrips(*server, "hello");

    server->Write("BROADCAST to-all");
    EXPECT_EQ("BROADCAST 1", server->WaitForLine("BROADCAST "));
    for (auto& client : m_Clients)
        EXPECT_EQ("NEWS to-all", client->WaitForLine("NEWS "));
    server->Write("SENDTO node-2 only-two");
    EXPECT_EQ("SENDTO 1", server->WaitForLine("SENDTO "));
    EXPECT_EQ("NEWS only-two", m_Clients[1]->WaitForLine("NEWS "));
    ExpectRoundTrips(*server, "after");

    // A client's output is complete once it has ended: it processes every
    // record already received before its engine goes.
    FinishClients();
    for (size_t i = 0; i < m_Clients.size(); ++i) {
        EXPECT_EQ(1, m_Clients[i]->Count("NEWS to-all")) << m_Ids[i];
        EXPECT_EQ(i == 1 ? 1 : 0, m_Clients[i]->Count("NEWS only-two")) << m_Ids[i];
        EXPECT_EQ(1, m_Clients[i]->Count("CONNECTED")) << m_Ids[i];
        EXPECT_EQ(0, m_Clients[i]->Count("DISCONNECTED")) << m_Ids[i];
    }
    std::vector<std::string> gone;
    for (size_t i = 0; i < m_Clients.size(); ++i)
        gone.push_back(server->WaitForLine("GONE "));
    std::sort(gone.begin(), gone.end());
    for (size_t i = 0; i < m_Ids.size(); ++i)
        EXPECT_EQ("GONE " + m_Ids[i], gone[i]);
}

TEST_P(E2eProcessTest, ClientsFollowAServerKilledAndStartedOnAnotherPort)
{
    std::string listening;
    std::unique_ptr<Daemon> server = StartServer(&listening);
    StartClients(3);
    ExpectAllConnect(*server);
    ExpectRoundTrips(*server, "before");

    const unsigned oldPort = Port(listening);
    // Its entry stays behind in the service file, pointing nowhere; the old
    // connections linger on the old port, so the system gives the new
    // server another one.
    server->Kill();
    for (auto& client : m_Clients)
        ASSERT_EQ("DISCONNECTED", client->WaitForLine("DISCONNECTED"));

    server = StartServer(&listening);
    EXPECT_NE(oldPort, Port(listening));
    ExpectAllConnect(*server);
    ExpectRoundTrips(*server, "after");
    for (size_t i = 0; i < m_Clients.size(); ++i) {
        m_Clients[i]->Write("SERVER");
        EXPECT_EQ(ServerLine(listening), m_Clients[i]->WaitForLine("SERVER ")) << m_Ids[i];
    }

    FinishClients();
    for (size_t i = 0; i < m_Clients.size(); ++i) {
        EXPECT_EQ(2, m_Clients[i]->Count("CONNECTED")) << m_Ids[i];
        EXPECT_EQ(1, m_Clients[i]->Count("DISCONNECTED")) << m_Ids[i];
        EXPECT_EQ(1, server->Count("CLIENT " + m_Ids[i])) << m_Ids[i];
    }
}

INSTANTIATE_TEST_SUITE_P(Scaled, E2eProcessTest, ::testing::Values("0.05"));
INSTANTIATE_TEST_SUITE_P(ProductionDelays, E2eProcessTest, ::testing::Values(""));

}  // namespace
