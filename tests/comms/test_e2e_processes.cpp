// Client daemons in separate processes around one server daemon
// (tests/hosts/ksx_e2e_*), at a shortened time scale and at the production
// delays: the server knows every client by its id, a broadcast reaches each
// client exactly once, and a server killed outright and started again on
// another port is found again, with one connect and one disconnect callback
// per connection.
#include <arpa/inet.h>
#include <dirent.h>
#include <fcntl.h>
#include <poll.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <fstream>
#include <memory>
#include <sstream>
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
        EXPECT_EQ("SERVER " + address + " " + std::to_string(Port(listening)),
                  client->WaitForLine("SERVER "));
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

// The descriptors a process holds: how many, how many are sockets, the highest.
struct Descriptors {
    int open = 0;
    int sockets = 0;
    int highest = -1;
};

Descriptors DescriptorsOf(pid_t pid)
{
    Descriptors found;
    const std::string dir = "/proc/" + std::to_string(pid) + "/fd";
    DIR* listing = opendir(dir.c_str());
    if (!listing) return found;
    while (dirent* entry = readdir(listing)) {
        if (entry->d_name[0] == '.') continue;
        ++found.open;
        char target[64] = {};
        if (readlink((dir + "/" + entry->d_name).c_str(), target, sizeof target - 1) > 0 &&
            std::string(target).rfind("socket:", 0) == 0)
            ++found.sockets;
        found.highest = std::max(found.highest, std::atoi(entry->d_name));
    }
    closedir(listing);
    return found;
}

// User and system CPU time of a process, in seconds.
double CpuSeconds(pid_t pid)
{
    std::ifstream stat("/proc/" + std::to_string(pid) + "/stat");
    std::string text((std::istreambuf_iterator<char>(stat)), std::istreambuf_iterator<char>());
    std::istringstream fields(text.substr(text.rfind(')') + 2)); // from the third field on
    std::string skip;
    for (int field = 3; field < 14; ++field) fields >> skip;
    unsigned long long user = 0, system = 0;
    fields >> user >> system;
    return double(user + system) / double(sysconf(_SC_CLK_TCK));
}

// A connection started without waiting for it to complete.
int ConnectTo(const sockaddr_in& address)
{
    const int fd = socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    if (fd >= 0) connect(fd, reinterpret_cast<const sockaddr*>(&address), sizeof address);
    return fd;
}

// True when the server closed the connection (end of data or reset).
bool ClosedByServer(int fd)
{
    char byte;
    const ssize_t got = recv(fd, &byte, 1, MSG_DONTWAIT);
    return got == 0 || (got < 0 && errno != EAGAIN && errno != EWOULDBLOCK && errno != EINPROGRESS);
}

// A server held to a few free descriptors (prlimit on its process) while
// three times its limit of connections arrive: each connection is either
// taken or closed at once, none left hanging; the accept thread neither
// spins nor floods its error stream; one report when the shortage begins,
// one with the count when a connection is taken again after descriptors
// were freed, and the server then serves a client as before.
TEST(E2eDescriptorLimit, ConnectionsBeyondTheLimitAreClosedAtOnceWithoutSpinOrFlood)
{
    Daemon server("ksx_e2e_server", {"Echo", "Lab"}, ksxtest::KsxHome(), "", true);
    const std::string listening = server.WaitForLine("LISTENING ");
    ASSERT_NE("", listening);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(static_cast<uint16_t>(Port(listening)));
    ASSERT_EQ(1,
              inet_pton(AF_INET, listening.substr(listening.find(' ', 10) + 1).c_str(), &address.sin_addr));

    // New descriptors take the lowest free numbers, so the limit leaves as
    // many free as it exceeds the number open (and lies above the highest).
    const Descriptors before = DescriptorsOf(server.Pid());
    rlimit limit{};
    limit.rlim_cur = limit.rlim_max = rlim_t(before.highest + 1 + 16);
    ASSERT_EQ(0, prlimit(server.Pid(), RLIMIT_NOFILE, &limit, nullptr));
    const double cpuBefore = CpuSeconds(server.Pid());
    const auto start = std::chrono::steady_clock::now();

    // In batches that fit the listening backlog, each settled (every
    // connection taken or closed) before the next.
    const int total = 3 * int(limit.rlim_cur);
    constexpr int kBatch = 50;
    std::vector<pollfd> peers;
    int closed = 0, taken = 0;
    const auto guard = start + std::chrono::milliseconds(ksxtest::kDaemonGuardMs);
    while (int(peers.size()) < total && std::chrono::steady_clock::now() < guard) {
        for (int i = 0; i < kBatch && int(peers.size()) < total; ++i)
            peers.push_back(pollfd{ConnectTo(address), POLLIN, 0});
        while (closed + taken < int(peers.size()) && std::chrono::steady_clock::now() < guard) {
            server.Drain(20);
            poll(peers.data(), peers.size(), 20);
            for (pollfd& peer : peers) {
                if (peer.fd >= 0 && peer.revents != 0 && ClosedByServer(peer.fd)) {
                    close(peer.fd);
                    peer.fd = -1; // poll skips it from now on
                    ++closed;
                }
            }
            taken = DescriptorsOf(server.Pid()).sockets - before.sockets;
        }
    }
    server.Drain(2000); // the shortage goes on, with nothing pending
    const double wall = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    const double cpu = CpuSeconds(server.Pid()) - cpuBefore;

    EXPECT_EQ(total, closed + taken) << "connections left hanging";
    EXPECT_LE(taken, int(limit.rlim_cur) - before.open) << "more taken than descriptors were free";
    EXPECT_LT(cpu, 0.2 * wall) << "the accept thread spins";
    EXPECT_LT(server.CountContaining("KSX-ERROR"), 20) << "reports flood the error stream";
    EXPECT_EQ(1, server.CountContaining("Out of descriptors: new connections to Echo are closed at once"));

    for (pollfd& peer : peers)
        if (peer.fd >= 0) close(peer.fd);
#if defined(__SANITIZE_ADDRESS__)
    // The sanitizer build's check of a virtual call reads the object's type
    // through a pipe. With no descriptor free (the moments after the peers
    // close, before the server has closed its side) that check fails and
    // halts the server with a false "invalid vptr" report; raising the limit
    // instead would need a privilege the test's namespace lacks. The step
    // after the shortage therefore runs in the other builds.
    return;
#endif
    Daemon client("ksx_e2e_client", {"Echo", "Lab", "after"}, ksxtest::KsxHome(), "0.05");
    ASSERT_EQ("CONNECTED", client.WaitForLine("CONNECTED")) << server.Output() << client.Output();
    EXPECT_EQ("CLIENT after", server.WaitForLine("CLIENT "));
    client.Write("SEND again");
    EXPECT_EQ("RECV again", client.WaitForLine("RECV "));
    const std::string count =
        "Out of descriptors: " + std::to_string(closed) + " connections to Echo closed at once";
    EXPECT_EQ(1, server.CountContaining(count)) << server.Output();
    EXPECT_EQ(2, server.CountContaining("Out of descriptors")) << server.Output();
}

INSTANTIATE_TEST_SUITE_P(Scaled, E2eProcessTest, ::testing::Values("0.05"));
INSTANTIATE_TEST_SUITE_P(ProductionDelays, E2eProcessTest, ::testing::Values(""));

} // namespace
