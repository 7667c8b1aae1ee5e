// Several daemons in separate processes around one server daemon
// (tests/hosts/ksx_e2e_*): every client is known to the server by its id,
// records travel both ways, a broadcast reaches each client exactly once,
// and a server killed outright and started again on another port is found
// again by every client, with one connect and one disconnect callback per
// connection. The daemons run both at a shortened time scale and at the
// production delays.
#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <map>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "KesTestSupport.h"

namespace {

constexpr int kGuardMs = 40000;  // how long a step may take before the test gives up on it

// A host program with standard input and output on pipes; it keeps every
// line the program printed so that callbacks can be counted at the end.
class Daemon {
public:
    Daemon(const std::string& name, const std::vector<std::string>& args, const std::string& home,
           const std::string& timeScale)
    {
        int in[2], out[2];
        // Close-on-exec: a daemon started later must not hold this one's pipes.
        EXPECT_EQ(0, pipe2(in, O_CLOEXEC));
        EXPECT_EQ(0, pipe2(out, O_CLOEXEC));
        const std::string program = ksxtest::HostProgram(name);
        m_Pid = fork();
        if (m_Pid == 0) {
            dup2(in[0], 0);
            dup2(out[1], 1);
            setenv("KSX_HOME", home.c_str(), 1);
            if (timeScale.empty())
                unsetenv("KSX_TIME_SCALE");
            else
                setenv("KSX_TIME_SCALE", timeScale.c_str(), 1);
            std::vector<char*> argv{const_cast<char*>(program.c_str())};
            for (const std::string& a : args)
                argv.push_back(const_cast<char*>(a.c_str()));
            argv.push_back(nullptr);
            execv(program.c_str(), argv.data());
            _exit(127);
        }
        close(in[0]);
        close(out[1]);
        m_In = in[1];
        m_Out = out[0];
    }
    ~Daemon()
    {
        Kill();
        if (m_In >= 0)
            close(m_In);
        close(m_Out);
    }
    // The next line starting with prefix after the last one returned for it,
    // or "" when the daemon ended or the guard ran out.
    std::string WaitForLine(const std::string& prefix)
    {
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(kGuardMs);
        size_t& next = m_Next[prefix];  // lines of other prefixes may come in any order
        for (;;) {
            for (; next < m_Lines.size(); ++next) {
                if (m_Lines[next].rfind(prefix, 0) == 0)
                    return m_Lines[next++];
            }
            if (std::chrono::steady_clock::now() >= deadline || !ReadSome(100))
                return "";
        }
    }
    void Write(const std::string& line)
    {
        const std::string text = line + "\n";
        EXPECT_EQ(ssize_t(text.size()), write(m_In, text.data(), text.size()));
    }
    // Ends the daemon at once, without any clean-up of its own.
    void Kill()
    {
        if (m_Pid <= 0)
            return;
        kill(m_Pid, SIGKILL);
        waitpid(m_Pid, nullptr, 0);
        m_Pid = -1;
    }
    // Closes standard input, reads the output to its end and returns the
    // exit status (-1 when the daemon does not end by itself in time).
    int Finish()
    {
        close(m_In);
        m_In = -1;
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(kGuardMs);
        while (std::chrono::steady_clock::now() < deadline && ReadSome(100)) {
        }
        int status = -1;
        while (waitpid(m_Pid, &status, WNOHANG) != m_Pid) {
            if (std::chrono::steady_clock::now() >= deadline)
                return -1;
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        }
        m_Pid = -1;
        return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    }
    // How often the daemon printed exactly this line so far.
    int Count(const std::string& line) const { return int(std::count(m_Lines.begin(), m_Lines.end(), line)); }

private:
    // Waits up to ms for output and splits it into lines; false at its end.
    bool ReadSome(int ms)
    {
        pollfd p{m_Out, POLLIN, 0};
        if (poll(&p, 1, ms) != 1)
            return true;
        char chunk[512];
        const ssize_t got = read(m_Out, chunk, sizeof chunk);
        if (got <= 0)
            return false;
        m_Partial.append(chunk, size_t(got));
        for (size_t end; (end = m_Partial.find('\n')) != std::string::npos; m_Partial.erase(0, end + 1))
            m_Lines.push_back(m_Partial.substr(0, end));
        return true;
    }

    pid_t m_Pid = -1;
    int m_In = -1;
    int m_Out = -1;
    std::string m_Partial;
    std::vector<std::string> m_Lines;
    std::map<std::string, size_t> m_Next;  // prefix -> first line not yet looked at
};

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
        m_MulticastOnlyHome = ksxtest::KsxHome() + "/multicast-only";
        for (const char* dir : {"", "/etc", "/etc/ostravine"})
            mkdir((m_MulticastOnlyHome + dir).c_str(), 0755);
        const std::string shipped = ksxtest::ReadFile(ksxtest::ServiceFilePath());
        ASSERT_NE(std::string::npos, shipped.find("MulticastService"));
        FILE* file = fopen((m_MulticastOnlyHome + "/etc/ostravine/ServiceData.cfg").c_str(), "w");
        ASSERT_NE(nullptr, file);
        fputs(shipped.c_str(), file);
        fclose(file);
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
