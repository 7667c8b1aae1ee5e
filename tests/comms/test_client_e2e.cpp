// The socket client end to end: with the real server and engine in one
// process (records both ways through the receive path, loss of the server,
// disconnecting), and between separate daemons (tests/hosts/ksx_e2e_*)
// that find each other through the service file or the multicast group and
// survive a server killed and restarted on another port.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "CKesObjSockClient.h"
#include "CKesObjSockServer.h"
#include "CKesRecord.h"
#include "CKesSockEnd.h"
#include "CKesSockEngine.h"
#include "KesPort.h"
#include "KesTestSupport.h"

namespace {

constexpr int kGuardMs = 30000;  // how long a test waits for something that must happen
const char* const kMulticastLine =
    "SERVICE: MulticastService DOMAIN: ANY_OSTRAVINE_DOMAIN ADDRESS: 234.5.6.7 PORT: 23456 DYNAMIC: NO\n";

std::string TextOf(const CKesRecord& record, const char* name)
{
    const CKesAtom* value = record.KRValueOf(name);
    return value && value->KAString() ? value->KAString() : "";
}

// Calls done() under the lock until it holds or the guard runs out.
template <typename Predicate>
bool WaitUnder(std::mutex& lock, std::condition_variable& changed, Predicate done)
{
    std::unique_lock<std::mutex> hold(lock);
    return changed.wait_for(hold, std::chrono::milliseconds(kGuardMs), done);
}

class EchoServer : public CKesObjSockServer {
public:
    // Orders the destruction after the last callback that recorded something.
    ~EchoServer() override { std::lock_guard<std::mutex> hold(m_Lock); }
    void KesOnServerIO(CKesSockEnd* client, CKesRecord* record) override
    {
        std::unique_ptr<CKesRecord> owned(record);
        CKesRecord echo;
        echo.KRAddValue("Echo", TextOf(*record, "Text").c_str());
        KOSSSendToClient(client->KSEGetEndPointName(), &echo);
        std::lock_guard<std::mutex> hold(m_Lock);
        m_Texts.push_back(TextOf(*record, "Text"));
        m_Changed.notify_all();
    }
    void KOSSOnClientConnect(CKesSockEnd* client) override
    {
        std::lock_guard<std::mutex> hold(m_Lock);
        m_Ids.push_back(client->KSEGetEndPointName() ? client->KSEGetEndPointName() : "");
        m_Changed.notify_all();
    }
    std::mutex m_Lock;
    std::condition_variable m_Changed;
    std::vector<std::string> m_Ids;
    std::vector<std::string> m_Texts;
};

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
        std::lock_guard<std::mutex> hold(m_Lock);
        m_Echoes.push_back(TextOf(*record, "Echo"));
        m_Changed.notify_all();
    }
    void KOSCOnClientConnect() override { Count(m_Connects); }
    void KOSCOnClientDisconnect() override { Count(m_Disconnects); }
    bool WaitFor(int& counter, int value)
    {
        return WaitUnder(m_Lock, m_Changed, [&] { return counter >= value; });
    }
    void Count(int& counter)
    {
        std::lock_guard<std::mutex> hold(m_Lock);
        ++counter;
        m_Changed.notify_all();
    }
    std::mutex m_Lock;
    std::condition_variable m_Changed;
    std::vector<std::string> m_Echoes;
    int m_Connects = 0;
    int m_Disconnects = 0;
};

// One engine running its event loop, with a server and a client of the
// service "Echo" in the domain "Lab".
class ClientWithServerTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        KesSetTimeScale(0.01);
        ksxtest::WriteServiceFile(kMulticastLine);
        m_Engine = std::make_unique<CKesSockEngine>("client-e2e", __KES_SERV_DAEMON, 2);
        m_Loop = std::thread([this] { m_Engine->KRNStartNet(); });
        StartServer();
        m_Client = new EchoClient("echo-client");
        ASSERT_EQ(1, m_Engine->KSEAddClient(m_Client));
        ASSERT_EQ(1, m_Client->KOSCInitialise());
        ASSERT_TRUE(m_Client->WaitFor(m_Client->m_Connects, 1));
    }
    void TearDown() override
    {
        m_Engine->KRNStopNet();
        m_Loop.join();
        m_Engine->KNSafeExit();
        m_Engine.reset();  // destroys the server and the client
        KesSetTimeScale(1.0);
    }
    void StartServer()
    {
        m_Server = new EchoServer;
        m_Server->KOSSSetServiceName(strdup("Echo"));
        m_Server->KOSSSetDomain(strdup("Lab"));
        ASSERT_EQ(1, m_Engine->KSEAddServer(m_Server));
        ASSERT_EQ(1, m_Server->KOSSInitialise());
    }
    bool ServerSaw(const std::string& text)
    {
        return WaitUnder(m_Server->m_Lock, m_Server->m_Changed, [&] {
            return std::find(m_Server->m_Texts.begin(), m_Server->m_Texts.end(), text) != m_Server->m_Texts.end();
        });
    }
    bool ClientGotEcho(const std::string& text)
    {
        return WaitUnder(m_Client->m_Lock, m_Client->m_Changed, [&] {
            return std::find(m_Client->m_Echoes.begin(), m_Client->m_Echoes.end(), text) != m_Client->m_Echoes.end();
        });
    }
    int Send(const char* text)
    {
        CKesRecord record;
        record.KRAddValue("Text", text);
        return m_Client->KOSCSendToServer(&record);
    }

    std::unique_ptr<CKesSockEngine> m_Engine;
    std::thread m_Loop;
    EchoServer* m_Server = nullptr;  // owned by the engine
    EchoClient* m_Client = nullptr;  // owned by the engine
};

TEST_F(ClientWithServerTest, ServerKnowsTheClientByItsIdAndRecordsTravelBothWays)
{
    EXPECT_TRUE(WaitUnder(m_Server->m_Lock, m_Server->m_Changed, [this] { return !m_Server->m_Ids.empty(); }));
    {
        std::lock_guard<std::mutex> hold(m_Server->m_Lock);
        EXPECT_EQ(std::vector<std::string>{"echo-client"}, m_Server->m_Ids);
    }
    for (const char* text : {"one", "two", "three"})
        ASSERT_EQ(1, Send(text));
    for (const char* text : {"one", "two", "three"}) {
        EXPECT_TRUE(ServerSaw(text)) << text;
        EXPECT_TRUE(ClientGotEcho(text)) << text;
    }
}

TEST_F(ClientWithServerTest, LossOfTheServerIsNoticedOnceAndANewServerIsFoundAgain)
{
    const unsigned int oldPort = m_Client->KOSCGetServerData()->KSEGetEndPtAddressPort();
    ASSERT_EQ(1, m_Engine->KSERemoveServer(const_cast<char*>("Echo")));  // closes its connections
    ASSERT_TRUE(m_Client->WaitFor(m_Client->m_Disconnects, 1));
    EXPECT_EQ(-220545, Send("lost")) << "nothing is queued while unconnected";

    StartServer();
    ASSERT_TRUE(m_Client->WaitFor(m_Client->m_Connects, 2));
    EXPECT_EQ(1, m_Client->m_Disconnects);
    EXPECT_NE(oldPort, m_Client->KOSCGetServerData()->KSEGetEndPtAddressPort());
    ASSERT_EQ(1, Send("again"));
    EXPECT_TRUE(ClientGotEcho("again"));
}

TEST_F(ClientWithServerTest, DisconnectedClientComesBackOnItsOwn)
{
    ASSERT_EQ(1, m_Client->KOSCDisconnect());
    ASSERT_TRUE(m_Client->WaitFor(m_Client->m_Connects, 2));
    EXPECT_EQ(0, m_Client->m_Disconnects) << "disconnecting calls no callback";
    ASSERT_EQ(1, Send("back"));
    EXPECT_TRUE(ClientGotEcho("back"));
}

// ---- separate daemons --------------------------------------------------------------

// A host program with its standard input and output on pipes.
class Daemon {
public:
    Daemon(const std::string& program, const std::vector<std::string>& args, const std::string& home)
    {
        int in[2], out[2];
        // Close-on-exec: a daemon started later must not hold this one's pipes.
        EXPECT_EQ(0, pipe2(in, O_CLOEXEC));
        EXPECT_EQ(0, pipe2(out, O_CLOEXEC));
        m_Pid = fork();
        if (m_Pid == 0) {
            dup2(in[0], 0);
            dup2(out[1], 1);
            close(in[1]);
            close(out[0]);
            setenv("KSX_HOME", home.c_str(), 1);
            setenv("KSX_TIME_SCALE", "0.05", 1);
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
        Stop(SIGKILL);
        if (m_In >= 0)
            close(m_In);
        close(m_Out);
    }
    // Waits for a line that starts with prefix; returns it, or "" when the
    // daemon ended or nothing came.
    std::string WaitForLine(const std::string& prefix)
    {
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(kGuardMs);
        while (std::chrono::steady_clock::now() < deadline) {
            const size_t end = m_Buffer.find('\n');
            if (end != std::string::npos) {
                std::string line = m_Buffer.substr(0, end);
                m_Buffer.erase(0, end + 1);
                if (line.rfind(prefix, 0) == 0)
                    return line;
                continue;
            }
            pollfd p{m_Out, POLLIN, 0};
            if (poll(&p, 1, 100) != 1)
                continue;
            char chunk[512];
            const ssize_t got = read(m_Out, chunk, sizeof chunk);
            if (got <= 0)
                return "";
            m_Buffer.append(chunk, static_cast<size_t>(got));
        }
        return "";
    }
    void Write(const std::string& line)
    {
        const std::string text = line + "\n";
        EXPECT_EQ(ssize_t(text.size()), write(m_In, text.data(), text.size()));
    }
    // Ends the daemon with the signal (SIGKILL: no clean-up at all).
    void Stop(int signal)
    {
        if (m_Pid <= 0)
            return;
        kill(m_Pid, signal);
        waitpid(m_Pid, nullptr, 0);
        m_Pid = -1;
    }
    // Closes standard input and returns the exit status (-1 when the
    // daemon does not end by itself).
    int Finish()
    {
        close(m_In);
        m_In = -1;
        int status = -1;
        for (int waited = 0; waited < kGuardMs; waited += 10) {
            if (waitpid(m_Pid, &status, WNOHANG) == m_Pid) {
                m_Pid = -1;
                return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        }
        return -1;
    }

private:
    pid_t m_Pid = -1;
    int m_In = -1;
    int m_Out = -1;
    std::string m_Buffer;
};

class ClientDaemonTest : public ::testing::Test {
protected:
    void SetUp() override { ksxtest::WriteServiceFile(kMulticastLine); }

    // A second installation home holding only the multicast entry.
    std::string OtherHome()
    {
        const std::string home = ksxtest::KsxHome() + "/other";
        mkdir(home.c_str(), 0755);
        mkdir((home + "/etc").c_str(), 0755);
        mkdir((home + "/etc/ostravine").c_str(), 0755);
        FILE* file = fopen((home + "/etc/ostravine/ServiceData.cfg").c_str(), "w");
        fputs(kMulticastLine, file);
        fclose(file);
        return home;
    }
    std::unique_ptr<Daemon> StartServer()
    {
        auto server = std::make_unique<Daemon>(ksxtest::HostProgram("ksx_e2e_server"),
                                               std::vector<std::string>{"Echo", "Lab"}, ksxtest::KsxHome());
        EXPECT_NE("", server->WaitForLine("LISTENING "));
        return server;
    }
    std::unique_ptr<Daemon> StartClient(const std::string& home)
    {
        return std::make_unique<Daemon>(ksxtest::HostProgram("ksx_e2e_client"),
                                        std::vector<std::string>{"Echo", "Lab", "daemon-7"}, home);
    }
    // One record from the client to the server and its echo back.
    void ExpectRoundTrip(Daemon& client, Daemon& server, const std::string& text)
    {
        client.Write("SEND " + text);
        EXPECT_EQ("SENT 1", client.WaitForLine("SENT "));
        EXPECT_EQ("RECV daemon-7 " + text, server.WaitForLine("RECV "));
        EXPECT_EQ("RECV " + text, client.WaitForLine("RECV "));
    }
};

TEST_F(ClientDaemonTest, ClientFindsItsServerThroughTheServiceFile)
{
    std::unique_ptr<Daemon> server = StartServer();
    std::unique_ptr<Daemon> client = StartClient(ksxtest::KsxHome());
    EXPECT_EQ("CONNECTED", client->WaitForLine("CONNECTED"));
    EXPECT_EQ("CLIENT daemon-7", server->WaitForLine("CLIENT "));
    ExpectRoundTrip(*client, *server, "hello");
    EXPECT_EQ(0, client->Finish());
}

TEST_F(ClientDaemonTest, ClientFindsItsServerThroughTheMulticastGroup)
{
    std::unique_ptr<Daemon> server = StartServer();
    std::unique_ptr<Daemon> client = StartClient(OtherHome());  // its file does not name the server
    EXPECT_EQ("CONNECTED", client->WaitForLine("CONNECTED"));
    ExpectRoundTrip(*client, *server, "found");
    EXPECT_EQ(0, client->Finish());
}

TEST_F(ClientDaemonTest, ServerKilledAndRestartedElsewhereIsFoundAgain)
{
    std::unique_ptr<Daemon> server = StartServer();
    std::unique_ptr<Daemon> client = StartClient(ksxtest::KsxHome());
    ASSERT_EQ("CONNECTED", client->WaitForLine("CONNECTED"));

    server->Stop(SIGKILL);  // its entry stays behind in the file, pointing nowhere
    EXPECT_EQ("DISCONNECTED", client->WaitForLine("DISCONNECTED"));
    server = StartServer();
    EXPECT_EQ("CONNECTED", client->WaitForLine("CONNECTED"));
    ExpectRoundTrip(*client, *server, "again");
    EXPECT_EQ(0, client->Finish());
}

}  // namespace
