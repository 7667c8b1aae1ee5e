// Client and server daemons in separate processes (tests/hosts/ksx_e2e_*).
#include <poll.h>
#include <sys/resource.h>
#include <unistd.h>

#include <filesystem>
#include <iterator>
#include <sstream>
#include <utility>

#include "KesDaemonHarness.h"
#include "KesEngineHarness.h"

namespace {

using ksxtest::Daemon;

// The port of a "LISTENING <port> <address>" line (0 when there is none), and its address.
unsigned Port(const std::string& listening)
{
    return listening.empty() ? 0 : unsigned(std::strtoul(listening.c_str() + 10, nullptr, 10));
}
std::string Address(const std::string& listening) { return listening.substr(listening.find(' ', 10) + 1); }

// The parameter is the daemons' time scale ("": production delays); odd clients find the server by group.
class E2eProcessTest : public ::testing::TestWithParam<std::string> {
protected:
    void SetUp() override
    {
        const std::string multicastOnly =
            ksxtest::MakeHome("multicast-only", ksxtest::ReadFile(ksxtest::ServiceFilePath()));
        StartServer();
        for (int i = 1; i <= 4; ++i) {
            m_Ids.push_back("node-" + std::to_string(i));
            m_Clients.push_back(std::make_unique<Daemon>(
                "ksx_e2e_client", std::vector<std::string>{"Echo", "Lab", m_Ids.back()},
                i % 2 == 0 ? ksxtest::KsxHome() : multicastOnly, GetParam()));
        }
    }
    void StartServer()
    {
        m_Server = std::make_unique<Daemon>("ksx_e2e_server", std::vector<std::string>{"Echo", "Lab"},
                                            ksxtest::KsxHome(), GetParam());
        m_Listening = m_Server->WaitForLine("LISTENING ");
        ASSERT_NE("", m_Listening);
    }
    // The server prints "<prefix><id>", followed by " <tag>-<id>" when a tag is given, once for every client.
    void ExpectPerClient(const std::string& prefix, const std::string& tag = "")
    {
        std::vector<std::string> expected, lines;
        for (const std::string& id : m_Ids) {
            expected.push_back(prefix + id + (tag.empty() ? "" : " " + tag + "-" + id));
            lines.push_back(m_Server->WaitForLine(prefix));
        }
        std::sort(lines.begin(), lines.end());
        EXPECT_EQ(expected, lines);
    }
    void ExpectAllConnect()
    {
        for (auto& client : m_Clients) ASSERT_EQ("CONNECTED", client->WaitForLine("CONNECTED"));
        ExpectPerClient("CLIENT ");
    }
    // One record from every client to the server and its echo back.
    void ExpectRoundTrips(const std::string& tag)
    {
        for (size_t i = 0; i < m_Clients.size(); ++i) {
            m_Clients[i]->Write("SEND " + tag + "-" + m_Ids[i]);
            EXPECT_EQ("SENT 1", m_Clients[i]->WaitForLine("SENT "));
        }
        ExpectPerClient("RECV ", tag);
        for (size_t i = 0; i < m_Clients.size(); ++i)
            EXPECT_EQ("RECV " + tag + "-" + m_Ids[i], m_Clients[i]->WaitForLine("RECV "));
    }

    std::vector<std::string> m_Ids;
    std::vector<std::unique_ptr<Daemon>> m_Clients;
    std::unique_ptr<Daemon> m_Server; // ends before the clients
    std::string m_Listening;
};

// One connect and one disconnect callback per connection, across the restart.
TEST_P(E2eProcessTest, BroadcastReachesEachClientOnceAndAllFollowAKilledServerElsewhere)
{
    ExpectAllConnect();
    ExpectRoundTrips("before");
    m_Server->Write("BROADCAST to-all");
    EXPECT_EQ("BROADCAST 1", m_Server->WaitForLine("BROADCAST "));
    for (auto& client : m_Clients) EXPECT_EQ("NEWS to-all", client->WaitForLine("NEWS "));
    m_Server->Write("SENDTO node-2 only-two");
    EXPECT_EQ("SENDTO 1", m_Server->WaitForLine("SENDTO "));
    EXPECT_EQ("NEWS only-two", m_Clients[1]->WaitForLine("NEWS "));

    // Its entry stays behind in the service file; the new server gets another port.
    const unsigned oldPort = Port(m_Listening);
    m_Server->Kill();
    for (auto& client : m_Clients) ASSERT_EQ("DISCONNECTED", client->WaitForLine("DISCONNECTED"));
    StartServer();
    ASSERT_NE(oldPort, Port(m_Listening));
    ExpectAllConnect();
    ExpectRoundTrips("after");

    // Each client names the new server; one that ended cleanly processed every record it had received.
    for (size_t i = 0; i < m_Clients.size(); ++i) {
        m_Clients[i]->Write("SERVER");
        EXPECT_EQ("SERVER " + Address(m_Listening) + " " + std::to_string(Port(m_Listening)),
                  m_Clients[i]->WaitForLine("SERVER "));
        EXPECT_EQ(0, m_Clients[i]->Finish()) << m_Ids[i];
        EXPECT_EQ(1, m_Clients[i]->Count("NEWS to-all")) << m_Ids[i];
        EXPECT_EQ(i == 1 ? 1 : 0, m_Clients[i]->Count("NEWS only-two")) << m_Ids[i];
        EXPECT_EQ(2, m_Clients[i]->Count("CONNECTED")) << m_Ids[i];
        EXPECT_EQ(1, m_Clients[i]->Count("DISCONNECTED")) << m_Ids[i];
        EXPECT_EQ(1, m_Server->Count("CLIENT " + m_Ids[i])) << m_Ids[i];
    }
    ExpectPerClient("GONE ");
}

// The descriptors a process holds: how many, how many are sockets, the highest.
struct Descriptors {
    int open = 0, sockets = 0, highest = -1;
};

Descriptors DescriptorsOf(pid_t pid)
{
    Descriptors found;
    std::error_code gone; // the process ended: nothing open
    for (const auto& entry :
         std::filesystem::directory_iterator("/proc/" + std::to_string(pid) + "/fd", gone)) {
        ++found.open;
        found.sockets += std::filesystem::read_symlink(entry.path(), gone).string().starts_with("socket:");
        found.highest = std::max(found.highest, std::atoi(entry.path().filename().c_str()));
    }
    return found;
}

// User and system CPU time of a process, in seconds.
double CpuSeconds(pid_t pid)
{
    const std::string text = ksxtest::ReadFile("/proc/" + std::to_string(pid) + "/stat");
    std::istringstream rest(text.substr(text.rfind(')') + 2)); // from the third field on
    const std::vector<std::string> fields{std::istream_iterator<std::string>(rest), {}};
    return (std::stod(fields.at(11)) + std::stod(fields.at(12))) /
           double(sysconf(_SC_CLK_TCK)); // fields 14, 15
}

// True when the server closed the connection (end of data or reset).
bool ClosedByServer(int fd)
{
    char byte;
    const ssize_t got = recv(fd, &byte, 1, MSG_DONTWAIT);
    return got == 0 || (got < 0 && errno != EAGAIN && errno != EWOULDBLOCK && errno != EINPROGRESS);
}

// Three times the limit of connections arrive; the shortage is reported at its start and (counted) its end.
TEST(E2eDescriptorLimit, ConnectionsBeyondTheLimitAreClosedAtOnceWithoutSpinOrFlood)
{
    Daemon server("ksx_e2e_server", {"Echo", "Lab"}, ksxtest::KsxHome(), "", true);
    const std::string listening = server.WaitForLine("LISTENING ");
    ASSERT_NE("", listening);
    const sockaddr_in address = ksxtest::Ipv4(Address(listening).c_str(), static_cast<int>(Port(listening)));
    ASSERT_NE(INADDR_NONE, address.sin_addr.s_addr);

    // New descriptors take the lowest free numbers: the limit leaves 16 free.
    const Descriptors before = DescriptorsOf(server.Pid());
    const rlim_t cap = rlim_t(before.highest + 1 + 16);
    const rlimit limit{cap, cap};
    ASSERT_EQ(0, prlimit(server.Pid(), RLIMIT_NOFILE, &limit, nullptr));
    const double cpuBefore = CpuSeconds(server.Pid());
    const auto start = std::chrono::steady_clock::now();

    // In batches that fit the listening backlog, each settled before the next.
    const int total = 3 * int(limit.rlim_cur);
    constexpr int kBatch = 50;
    std::vector<pollfd> peers;
    int closed = 0, taken = 0;
    const auto settle = [&](int waitMs) {
        poll(peers.data(), peers.size(), waitMs);
        for (pollfd& peer : peers) {
            if (peer.fd < 0 || peer.revents == 0 || !ClosedByServer(peer.fd)) continue;
            close(std::exchange(peer.fd, -1)); // poll skips it from now on
            ++closed;
        }
        taken = DescriptorsOf(server.Pid()).sockets - before.sockets;
    };
    const auto guard = start + std::chrono::milliseconds(ksxtest::kDaemonGuardMs);
    while (closed + taken < total && std::chrono::steady_clock::now() < guard) {
        const bool settled = closed + taken == int(peers.size());
        for (int i = 0; settled && i < kBatch && int(peers.size()) < total; ++i) { // not waited for
            peers.push_back({socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0), POLLIN, 0});
            connect(peers.back().fd, reinterpret_cast<const sockaddr*>(&address), sizeof address);
        }
        server.Drain(20);
        settle(20);
    }
    server.Drain(2000); // the shortage goes on, with nothing pending
    // Counted again: a connection the server was shedding as the loop looked
    // was still open in it then, and counted as taken.
    settle(0);
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
    return; // the sanitizer's vptr check would halt the server for want of a free descriptor
#endif
    Daemon client("ksx_e2e_client", {"Echo", "Lab", "after"}, ksxtest::KsxHome(), "0.05");
    ASSERT_EQ("CONNECTED", client.WaitForLine("CONNECTED")) << server.Output() << client.Output();
    EXPECT_EQ("CLIENT after", server.WaitForLine("CLIENT "));
    client.Write("SEND again");
    EXPECT_EQ("RECV again", client.WaitForLine("RECV "));
    const std::string count =
        "Out of descriptors: " + std::to_string(closed) + " connections to Echo closed at once";
    EXPECT_EQ(1, server.CountContaining(count)) << "closed " << closed << ", taken " << taken << "\n"
                                                << server.Output();
    EXPECT_EQ(2, server.CountContaining("Out of descriptors")) << server.Output();
}

INSTANTIATE_TEST_SUITE_P(Scaled, E2eProcessTest, ::testing::Values("0.05"));
INSTANTIATE_TEST_SUITE_P(ProductionDelays, E2eProcessTest, ::testing::Values(""));

} // namespace
