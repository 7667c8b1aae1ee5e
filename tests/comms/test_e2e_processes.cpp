// Client daemons in separate processes around one server daemon
// (tests/hosts/ksx_e2e_*), at a shortened time scale and at the production
// delays: the server knows every client by its id, a broadcast reaches each
// client exactly once, and a server killed outright and started again on
// another port is found again, with one connect and one disconnect callback
// per connection.
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

// The parameter is the daemons' time scale: "" runs them at the production delays.
class E2eProcessTest : public ::testing::TestWithParam<std::string> {
protected:
    // Clients with odd numbers find the server through the multicast group
    // alone: their home holds only the shipped entry, taken before any
    // server publishes into the test's own home.
    void SetUp() override
    {
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
    void StartClients(int count)
    {
        for (int i = 1; i <= count; ++i) {
            m_Ids.push_back("node-" + std::to_string(i));
            m_Clients.push_back(std::make_unique<Daemon>(
                "ksx_e2e_client", std::vector<std::string>{"Echo", "Lab", m_Ids.back()},
                i % 2 == 0 ? ksxtest::KsxHome() : m_MulticastOnlyHome, GetParam()));
        }
    }
    // Lines with this prefix, one per client, from the server, sorted.
    std::vector<std::string> FromServer(Daemon& server, const std::string& prefix)
    {
        std::vector<std::string> lines;
        for (size_t i = 0; i < m_Clients.size(); ++i) lines.push_back(server.WaitForLine(prefix));
        std::sort(lines.begin(), lines.end());
        return lines;
    }
    std::vector<std::string> PerId(const std::string& prefix)
    {
        std::vector<std::string> lines;
        for (const std::string& id : m_Ids) lines.push_back(prefix + id);
        return lines;
    }
    void ExpectAllConnect(Daemon& server)
    {
        for (auto& client : m_Clients) ASSERT_EQ("CONNECTED", client->WaitForLine("CONNECTED"));
        EXPECT_EQ(PerId("CLIENT "), FromServer(server, "CLIENT "));
    }
    // One record from every client to the server and its echo back.
    void ExpectRoundTrips(Daemon& server, const std::string& tag)
    {
        for (size_t i = 0; i < m_Clients.size(); ++i) {
            m_Clients[i]->Write("SEND " + tag + "-" + m_Ids[i]);
            EXPECT_EQ("SENT 1", m_Clients[i]->WaitForLine("SENT "));
        }
        std::vector<std::string> received = FromServer(server, "RECV ");
        for (size_t i = 0; i < m_Clients.size(); ++i) {
            EXPECT_EQ("RECV " + tag + "-" + m_Ids[i], m_Clients[i]->WaitForLine("RECV "));
            EXPECT_EQ("RECV " + m_Ids[i] + " " + tag + "-" + m_Ids[i], received[i]);
        }
    }

    std::string m_MulticastOnlyHome;
    std::vector<std::string> m_Ids;
    std::vector<std::unique_ptr<Daemon>> m_Clients;
};

TEST_P(E2eProcessTest, BroadcastReachesEachClientOnceAndAllFollowAKilledServerElsewhere)
{
    std::string listening;
    std::unique_ptr<Daemon> server = StartServer(&listening);
    StartClients(4);
    ExpectAllConnect(*server);
    ExpectRoundTrips(*server, "before");
    server->Write("BROADCAST to-all");
    EXPECT_EQ("BROADCAST 1", server->WaitForLine("BROADCAST "));
    for (auto& client : m_Clients) EXPECT_EQ("NEWS to-all", client->WaitForLine("NEWS "));
    server->Write("SENDTO node-2 only-two");
    EXPECT_EQ("SENDTO 1", server->WaitForLine("SENDTO "));
    EXPECT_EQ("NEWS only-two", m_Clients[1]->WaitForLine("NEWS "));

    // Its entry stays behind in the service file, pointing nowhere; the old
    // connections linger on the old port, so the new server gets another one.
    const unsigned oldPort = Port(listening);
    server->Kill();
    for (auto& client : m_Clients) ASSERT_EQ("DISCONNECTED", client->WaitForLine("DISCONNECTED"));
    server = StartServer(&listening);
    ASSERT_NE(oldPort, Port(listening));
    ExpectAllConnect(*server);
    ExpectRoundTrips(*server, "after");
    const std::string address = listening.substr(listening.find(' ', 10) + 1);
    for (auto& client : m_Clients) {
        client->Write("SERVER");
        EXPECT_EQ("SERVER " + address + " " + std::to_string(Port(listening)), client->WaitForLine("SERVER "));
    }

    // A client's output is complete once it has ended cleanly: it processes
    // every record already received before its engine goes.
    for (auto& client : m_Clients) EXPECT_EQ(0, client->Finish());
    for (size_t i = 0; i < m_Clients.size(); ++i) {
        EXPECT_EQ(1, m_Clients[i]->Count("NEWS to-all")) << m_Ids[i];
        EXPECT_EQ(i == 1 ? 1 : 0, m_Clients[i]->Count("NEWS only-two")) << m_Ids[i];
        EXPECT_EQ(2, m_Clients[i]->Count("CONNECTED")) << m_Ids[i];
        EXPECT_EQ(1, m_Clients[i]->Count("DISCONNECTED")) << m_Ids[i];
        EXPECT_EQ(1, server->Count("CLIENT " + m_Ids[i])) << m_Ids[i];
    }
    EXPECT_EQ(PerId("GONE "), FromServer(*server, "GONE "));
}

INSTANTIATE_TEST_SUITE_P(Scaled, E2eProcessTest, ::testing::Values("0.05"));
INSTANTIATE_TEST_SUITE_P(ProductionDelays, E2eProcessTest, ::testing::Values(""));

}  // namespace
