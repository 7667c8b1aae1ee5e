// The server's traffic with wire-format peers on loopback; host callbacks are logged in order.
#include <fcntl.h>
#include <linux/sockios.h>
#include <sys/ioctl.h>
#include <sys/resource.h>
#include <sys/select.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <filesystem>

#include "CKesIOWorkPacket.h"
#include "CKesObjMulticast.h"
#include "CKesReceiveBacklog.h"
#include "KesEngineHarness.h"

namespace {

using ksxtest::Bytes;
using ksxtest::DataOf;
using ksxtest::FramedData;
using ksxtest::TextRecord;
using ksxtest::WireConnection;

const Bytes kBadHeader{0xFF, 0xFF, 0xFF, 0xFF, 0}; // declares more than the packet limit

auto Data(const std::string& text) { return std::make_unique<CKesRecord>(TextRecord("data", text.c_str())); }

std::string NextData(WireConnection& peer)
{
    std::unique_ptr<CKesRecord> record = peer.ReadRecord();
    return record ? DataOf(*record) : "<closed>";
}

// The process's descriptors of IPv4 sockets bound to this local port: a server's listening socket and the
// connections it accepted.
std::vector<int> SocketsOnPort(unsigned int port)
{
    std::vector<int> found;
    for (const auto& entry : std::filesystem::directory_iterator("/proc/self/fd")) {
        const int fd = std::stoi(entry.path().filename());
        sockaddr_in local{};
        socklen_t length = sizeof local;
        if (getsockname(fd, reinterpret_cast<sockaddr*>(&local), &length) == 0 &&
            local.sin_family == AF_INET && ntohs(local.sin_port) == port)
            found.push_back(fd);
    }
    return found;
}

bool CloseOnExec(int fd)
{
    const int flags = fcntl(fd, F_GETFD);
    return flags >= 0 && (flags & FD_CLOEXEC) != 0;
}

// Reacts to a record's text: "bye" removes its sender from inside the callback; "slow" takes 300 ms, and so
// does every disconnect after it; "hold" keeps its worker until "open" is logged, as does the welcome of a
// client named "held".
class ScriptedServer : public ksxtest::RecordingServer {
public:
    void KesOnServerIO(CKesSockEnd* client, CKesRecord* record) override
    {
        const std::string data = DataOf(*record);
        if (data == "bye") KOSSRemoveClient(client);
        if (data == "slow" || data == "hold") log.Add(data == "slow" ? "busy" : "held");
        if (data == "slow") std::this_thread::sleep_for(std::chrono::milliseconds(300));
        if (data == "hold") log.WaitFor("open");
        RecordingServer::KesOnServerIO(client, record);
    }
    void KOSSOnClientConnect(CKesSockEnd* client) override
    {
        if (Name(client) == "held") log.WaitFor("open");
        RecordingServer::KOSSOnClientConnect(client);
    }
    void KOSSOnClientDisconnect(CKesSockEnd* client) override
    {
        if (log.Count("busy") > 0) std::this_thread::sleep_for(std::chrono::milliseconds(300));
        RecordingServer::KOSSOnClientDisconnect(client);
    }
};

class ServerTraffic : public ::testing::Test {
protected:
    void SetUp() override
    {
        // Where the limit allows, every socket is numbered past 1,024, the most a select() set holds.
        getrlimit(RLIMIT_NOFILE, &m_Limit);
        rlimit raised{2 * FD_SETSIZE, m_Limit.rlim_max};
        const bool high = m_Limit.rlim_max >= 2 * FD_SETSIZE && setrlimit(RLIMIT_NOFILE, &raised) == 0;
        for (int fd = -1; high && fd < FD_SETSIZE + 8; m_Fillers.push_back(fd))
            ASSERT_LE(0, fd = open("/dev/null", O_RDONLY));
        setenv("KSX_HOST_ADDRS", "127.0.0.1", 1);
        m_Engine = std::make_unique<CKesSockEngine>("server-traffic", __KES_SERV_DAEMON, m_Workers);
        m_Server = ksxtest::AddServer<ScriptedServer>(*m_Engine, "svc", "dom");
        ASSERT_NE(nullptr, m_Server);
        m_Loop = std::make_unique<ksxtest::EventLoopThread>(*m_Engine);
    }
    void TearDown() override
    {
        m_Loop.reset();
        if (m_Engine) m_Engine->KNSafeExit();
        m_Engine.reset(); // destroys the servers
        for (int fd : m_Fillers) close(fd);
        setrlimit(RLIMIT_NOFILE, &m_Limit);
    }
    unsigned int Port() { return m_Server->Port(); }
    CKesSockEnd* Client(const char* id) { return m_Server->KOSSGetClient(const_cast<char*>(id)); }
    // The host's calls with one {"data": text} record.
    int SendTo(const char* id, const char* text) { return m_Server->KOSSSendToClient(id, Data(text).get()); }
    int Broadcast(const std::string& text) { return m_Server->KOSSBroadcastClients(Data(text).get()); }
    auto Identified(const std::string& id) { return ksxtest::Identified(*m_Server, id); }
    // A client that never reads, its receive buffer 4 KiB: sends to it soon stall, and the send deadline
    // (made 1 s) cuts it.
    std::unique_ptr<WireConnection> NonReader(const std::string& id)
    {
        EXPECT_EQ(1, m_Engine->KSESetSendDeadline(1000));
        const int fd = Identified(id)->Release(), small = 4096;
        setsockopt(fd, SOL_SOCKET, SO_RCVBUF, &small, sizeof small);
        return std::make_unique<WireConnection>(fd);
    }

    int m_Workers = 4;
    rlimit m_Limit{};
    std::vector<int> m_Fillers;
    std::unique_ptr<CKesSockEngine> m_Engine;
    ScriptedServer* m_Server = nullptr; // owned by the engine
    std::unique_ptr<ksxtest::EventLoopThread> m_Loop;
};

// Early records wait for the id; a refused id leaves the first client filed and out of broadcasts.
TEST_F(ServerTraffic, GreetingKeepAlivesAndRefusedIdsStayInternalAndEarlyRecordsWaitForTheId)
{
    ksxtest::ErrorCapture errors;
    auto early = WireConnection::To(Port()); // accepted before the others
    std::vector<std::string> expected{"connect alpha", "io alpha one", "io alpha from-second",
                                      "disconnect alpha", "connect late"};
    for (int i = 0; i < 30; ++i) {
        ASSERT_TRUE(early->SendText("data", ("early-" + std::to_string(i)).c_str()));
        expected.push_back("io late early-" + std::to_string(i));
    }
    auto peer = Identified("alpha");
    CKesSockEnd* owner = Client("alpha");
    std::unique_ptr<CKesRecord> keepAlive(CKesSockEnd::KSEGetKeepAlivePacket());
    ASSERT_TRUE(peer->Send(*keepAlive) && peer->Send(*keepAlive) && peer->SendText("data", "one"));
    ASSERT_TRUE(m_Server->log.WaitFor("io alpha one"));
    auto second = WireConnection::To(Port());
    ASSERT_TRUE(second->Send(*ksxtest::Hello("alpha")) && second->SendText("data", "from-second"));
    ASSERT_TRUE(m_Server->log.WaitFor("io alpha from-second")); // confirmed, though not filed
    EXPECT_EQ(std::vector<std::string>(expected.begin(), expected.begin() + 3), m_Server->log.Events())
        << "an early record reached the host before its id";
    EXPECT_EQ(1, errors.CountText({"alpha"}, KES_ERR_DUPLICATE_CLIENT));
    EXPECT_EQ(owner, Client("alpha"));
    EXPECT_EQ(1, Broadcast("news"));
    EXPECT_EQ("news", NextData(*peer));
    EXPECT_FALSE(second->Pending(50)) << "the refused connection got the broadcast";
    EXPECT_FALSE(early->Pending(50)) << "a connection without an id got the broadcast";

    // The refused connection goes; the owner's entry stays and still works.
    second->Close();
    ASSERT_TRUE(m_Server->log.WaitFor("disconnect alpha"));
    EXPECT_EQ(owner, Client("alpha"));
    EXPECT_EQ(1, SendTo("alpha", "still-here"));
    EXPECT_EQ("still-here", NextData(*peer));

    // Workers take one connection's records in parallel: their order among themselves is open.
    ASSERT_TRUE(early->Send(*ksxtest::Hello("late")));
    ASSERT_TRUE(ksxtest::WaitUntil([&] { return m_Server->log.Events().size() >= expected.size(); }));
    std::vector<std::string> events = m_Server->log.Events();
    std::sort(events.begin() + 5, events.end());
    std::sort(expected.begin() + 5, expected.end());
    EXPECT_EQ(expected, events);
}

// A host that takes its time over one new connection holds up only that connection's records.
TEST_F(ServerTraffic, ASlowWelcomeHoldsUpOnlyItsOwnConnection)
{
    auto slow = WireConnection::To(Port());
    ASSERT_TRUE(slow->Send(*ksxtest::Hello("held")) && slow->SendText("data", "after-id"));
    auto fast = Identified("fast"); // fails when its identification waits for the other's welcome
    m_Server->log.Add("open");
    ASSERT_TRUE(m_Server->log.WaitFor("io held after-id"));
    EXPECT_EQ((std::vector<std::string>{"connect fast", "open", "connect held", "io held after-id"}),
              m_Server->log.Events());
}

// A host that starts another program hands it no socket of the engine's: not the listening port, not a
// connection, not the group membership.
TEST_F(ServerTraffic, TheListeningAcceptedAndMulticastSocketsAreCloseOnExec)
{
    auto peer = Identified("alpha");
    std::vector<int> sockets = SocketsOnPort(Port());
    EXPECT_EQ(2u, sockets.size()) << "the listening socket and alpha's connection";
    CKesObjMulticast* group = m_Engine->KSEGetMulticast();
    sockets.push_back(int(group->KOMGetSendSocket()));
    sockets.push_back(int(group->KOMGetReceiveSocket()));
    for (int fd : sockets) EXPECT_TRUE(CloseOnExec(fd)) << "descriptor " << fd;
}

// The null record is reported by place; a broadcast batch reaches every client in order.
TEST_F(ServerTraffic, BatchedSendsKeepOrderPastTheSocketBufferAndLeaveOutOnlyABadRecord)
{
    auto alpha = Identified("alpha"), beta = Identified("beta");
    constexpr unsigned int kCount = 2000, kBad = 700; // about 8 MiB
    const std::string dots(4096, '.');
    std::vector<CKesRecord> records;
    for (unsigned int i = 0; i < kCount; ++i)
        records.push_back(TextRecord("data", (std::to_string(i) + dots).c_str()));
    std::vector<CKesRecord*> batch;
    for (CKesRecord& record : records) batch.push_back(&record);
    batch[kBad] = nullptr;

    ksxtest::ErrorCapture errors;
    int result = 0;
    std::thread sender([&] { result = m_Server->KOSSSendRecordsToClient("alpha", batch.data(), kCount); });
    std::vector<unsigned int> got;
    for (std::string data; got.size() < kCount - 1 && (data = NextData(*alpha)) != "<closed>";)
        got.push_back(static_cast<unsigned int>(std::stoul(data)));
    sender.join();
    EXPECT_EQ(ksxtest::NumbersExcept(kCount, kBad), got);
    EXPECT_EQ(KES_ERR_ARGUMENT, result);
    ASSERT_EQ(1u, errors.Reports().size());
    EXPECT_EQ("Record 700 of a batch of 2000 not sent: null", errors.Reports()[0].text);

    EXPECT_EQ(1, m_Server->KOSSBroadcastRecords(&batch[1], 2)); // records 1 and 2
    for (WireConnection* peer : {alpha.get(), beta.get()})
        EXPECT_EQ((std::vector<std::string>{"1" + dots, "2" + dots}),
                  (std::vector<std::string>{NextData(*peer), NextData(*peer)}));
}

// Production bounds by default; each connection goes with one disconnect and one report with text. Held
// records count with what they cost in memory, not only their bytes: empty records (one byte each) before
// the client id close the connection after about cap / overhead of them; fewer wait and reach the host.
TEST_F(ServerTraffic, ClosedFloodingBrokenUnidentifiedAndSilentConnectionsAreRemovedOnce)
{
    ksxtest::ErrorCapture errors;
    EXPECT_EQ(1.0, KesTimeScale());
    EXPECT_EQ(30000, m_Engine->KSEGetIdentifyDeadline());
    EXPECT_EQ(35000, m_Engine->KSEGetIdleLimit());
    constexpr int kFit = 100;
    ASSERT_EQ(1, m_Engine->KSESetReceiveBacklogCap(kFit * CKesObjSockServer::ms_EarlyRecordOverhead));
    const Bytes half = ksxtest::Repeat({0, 0, 0, 1, 0x80}, kFit / 2); // empty records, of one byte each
    auto patient = WireConnection::To(Port()), flood = WireConnection::To(Port());
    ASSERT_TRUE(patient->SendAll(half) && patient->Send(*ksxtest::Hello("patient")));
    ASSERT_TRUE(m_Server->log.WaitFor("io patient ", kFit / 2));
    ASSERT_TRUE(flood->SendAll(ksxtest::Repeat(half, 4)));
    EXPECT_TRUE(flood->SeesEnd());
    ASSERT_TRUE(m_Server->log.WaitFor("disconnect -"));
    EXPECT_EQ(1, errors.CountText({"before its client id"}, KES_ERR_CONNECTION));
    EXPECT_EQ(0, m_Server->log.Count("disconnect patient"));
    patient->Close();

    ASSERT_EQ(1, m_Engine->KSESetIdentifyDeadline(500));
    ASSERT_EQ(1, m_Engine->KSESetIdleLimit(800));
    Identified("gone")->Close();
    ASSERT_TRUE(m_Server->log.WaitFor("disconnect gone"));
    ASSERT_TRUE(ksxtest::WaitUntil([&] { return Client("gone") == nullptr; }));
    EXPECT_EQ(KES_ERR_SEND, SendTo("gone", "late"));

    auto quiet = Identified("quiet"), lively = Identified("lively");
    std::jthread keepAlives([&](std::stop_token stop) {
        std::unique_ptr<CKesRecord> keepAlive(CKesSockEnd::KSEGetKeepAlivePacket());
        while (!stop.stop_requested() && lively->Send(*keepAlive))
            std::this_thread::sleep_for(std::chrono::milliseconds(20));
    });
    std::vector<std::unique_ptr<WireConnection>> unnamed; // silent, without an id, inside a header, broken
    for (const Bytes& bytes : {Bytes{}, FramedData("never-identified"), Bytes{0, 0}, kBadHeader})
        ASSERT_TRUE(unnamed.emplace_back(WireConnection::To(Port()))->SendAll(bytes));
    for (auto& connection : unnamed) EXPECT_TRUE(connection->SeesEnd());
    EXPECT_TRUE(quiet->SeesEnd());
    ASSERT_TRUE(m_Server->log.WaitFor("disconnect quiet") && m_Server->log.WaitFor("disconnect -", 5));
    keepAlives.request_stop();
    keepAlives.join();

    EXPECT_EQ(1, SendTo("lively", "late"));
    EXPECT_EQ("late", NextData(*lively));
    for (const std::string& event : m_Server->log.Events())
        EXPECT_NE(0u, event.rfind("io -", 0)) << "a record without an id reached the host: " << event;
    for (const char* once : {"disconnect gone", "disconnect quiet"}) EXPECT_EQ(1, m_Server->log.Count(once));
    EXPECT_EQ(5, m_Server->log.Count("disconnect -"));
    EXPECT_EQ(0, m_Server->log.Count("disconnect lively"));
    // The reaper reports after it has cut the connections, so a report may follow the disconnect.
    EXPECT_TRUE(ksxtest::WaitUntil([&] {
        return errors.CountText({"sent no client id"}) >= 3 && errors.CountText({"client quiet from"}) >= 1;
    }));
    EXPECT_EQ(1, errors.CountText({"client quiet from 127.0.0.1:"}));
    EXPECT_EQ(3, errors.CountText({"sent no client id"}));
    for (const auto& report : errors.Reports()) {
        EXPECT_FALSE(report.text.empty()) << report.source << ":" << report.line << " code " << report.code;
        EXPECT_NE(KES_ERR_INVALID_SOCKET, report.code) << "a second removal was reported: " << report.text;
    }
}

// Among echoed broadcasts, the stuck client is cut once, after the others had that one and every echo before.
TEST_F(ServerTraffic, StuckReaderIsCutAtTheSendDeadlineWhileTheOthersAreServed)
{
    constexpr int kReaders = 19, kAfterCut = 5;
    m_Server->echo = true;
    auto stuck = NonReader("a-stuck"); // first in the table, so the others come after it
    std::vector<std::unique_ptr<WireConnection>> readers;
    for (int i = 0; i < kReaders; ++i) readers.push_back(Identified("reader-" + std::to_string(i)));

    std::atomic<int> current{-1}, cuts{0};
    std::atomic<bool> othersServedFirst{true};
    std::vector<std::atomic<int>> broadcasts(kReaders), echoes(kReaders);
    auto onReport = [&](int code, const char* text) {
        if (code != KES_ERR_SEND || !text || !strstr(text, "client a-stuck ")) return;
        ++cuts;
        for (int i = 0; i < kReaders; ++i)
            if (broadcasts[i] <= current || echoes[i] < current) othersServedFirst = false;
    };
    CKesError::KESetListener([](int code, const char*, int, const char* text,
                                void* self) { (*static_cast<decltype(onReport)*>(self))(code, text); },
                             &onReport);
    std::vector<std::thread> threads;
    for (int i = 0; i < kReaders; ++i)
        threads.emplace_back([&, i] { // answers each broadcast with an echo request; reads the echoes due
            for (bool ended = false; !ended || echoes[i] < broadcasts[i];) {
                const std::string data = NextData(*readers[i]);
                if (data == "<closed>") break;
                ended = ended || data == "end";
                echoes[i] += data.rfind("echo", 0) == 0;
                if (data[0] != 'b') continue;
                ++broadcasts[i];
                if (!readers[i]->SendText("data", ("echo " + data.substr(0, data.find(':'))).c_str())) break;
            }
        });

    int sent = 0, cutAt = -1;
    for (int n = 0; n < 3000 && (cutAt < 0 || n <= cutAt + kAfterCut); ++n, ++sent) {
        EXPECT_TRUE(cutAt < 0 || n != cutAt + 1 || m_Server->log.WaitFor("disconnect a-stuck"));
        current = n;
        if (Broadcast("b" + std::to_string(n) + ":" + std::string(60000, 'x')) != 1) {
            EXPECT_EQ(-1, cutAt) << "only the broadcast that met the full socket fails";
            cutAt = n;
        }
    }
    EXPECT_EQ(1, Broadcast("end"));
    for (auto& t : threads) t.join();
    CKesError::KESetListener(nullptr, nullptr);

    ASSERT_GE(cutAt, 0);
    EXPECT_EQ(1, cuts.load());
    EXPECT_TRUE(othersServedFirst.load());
    for (int i = 0; i < kReaders; ++i) {
        EXPECT_EQ(sent, broadcasts[i]) << "reader " << i;
        EXPECT_EQ(sent, echoes[i].load()) << "reader " << i;
        EXPECT_EQ(0, m_Server->log.Count("disconnect reader-" + std::to_string(i)));
    }
    auto late = Identified("late");
    ASSERT_TRUE(late->SendText("data", "echo late"));
    EXPECT_EQ("echo late", NextData(*late));
    EXPECT_EQ(1, m_Server->log.Count("disconnect a-stuck"));
}

// A client that reads, slowly, while host threads keep its connection busy with their own sends, still gets
// every broadcast; only the client that does not read is cut.
TEST_F(ServerTraffic, BroadcastReachesAReadingClientThatOtherSendersKeepBusy)
{
    auto stuck = NonReader("a-stuck");
    auto busy = Identified("busy");
    std::atomic<bool> seen{false};
    std::jthread reader([&, fd = busy->Release()](std::stop_token stop) { // 64 KiB every 2 ms
        std::string window;
        std::vector<char> buffer(64 << 10);
        for (ssize_t got = 1; !stop.stop_requested() && got > 0;) {
            if (!ksxtest::Readable(fd, 10) || (got = read(fd, buffer.data(), buffer.size())) <= 0) continue;
            window.append(buffer.data(), static_cast<size_t>(got));
            seen = seen || window.find("BROADCAST-MARK") != std::string::npos;
            window.erase(0, window.size() > 64 ? window.size() - 64 : 0);
            std::this_thread::sleep_for(std::chrono::milliseconds(2));
        }
        close(fd);
    });
    std::atomic<bool> stop{false};
    std::atomic<int> failed{0};
    const std::string chunk(2 << 20, 's');
    std::vector<std::jthread> senders;
    for (int i = 0; i < 3; ++i)
        senders.emplace_back([&] {
            while (!stop) failed += SendTo("busy", chunk.c_str()) != 1;
        });
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    EXPECT_EQ(KES_ERR_SEND,
              Broadcast("BROADCAST-MARK" + std::string(8 << 20, 'x'))); // the stuck client is cut
    stop = true;
    senders.clear();
    EXPECT_TRUE(ksxtest::WaitUntil([&] { return seen.load(); }, 5000))
        << "the reading client missed the broadcast";
    EXPECT_EQ(0, failed.load());
    EXPECT_EQ(0, m_Server->log.Count("disconnect busy"));
    EXPECT_TRUE(m_Server->log.WaitFor("disconnect a-stuck"));
    reader.request_stop();
}

// A broadcast waiting for a connection that another sender holds, while it writes to a client that is slow to
// read, goes there before senders that come to that connection later.
TEST_F(ServerTraffic, ABroadcastWaitingForABusyConnectionGoesBeforeLaterSenders)
{
    auto busy = Identified("busy"); // neither client reads until all three sends are under way
    auto slow = Identified("slow");
    const int small = 64 << 10;
    for (const char* id : {"busy", "slow"})
        setsockopt(static_cast<int>(Client(id)->KSEGetEndPointSocket()), SOL_SOCKET, SO_SNDBUF, &small,
                   sizeof small);
    const auto sending = [](CKesSockEnd* client) {
        return ksxtest::WaitUntil([socket = static_cast<int>(client->KSEGetEndPointSocket())] {
            int queued = 0;
            return ioctl(socket, SIOCOUTQ, &queued) == 0 && queued > 0;
        });
    };
    const std::string big(2 << 20, 'x'); // more than the socket buffers of both sides hold
    std::jthread first([&] { EXPECT_EQ(1, SendTo("busy", ("first" + big).c_str())); });
    ASSERT_TRUE(sending(Client("busy")));
    std::jthread broadcast([&] { EXPECT_EQ(1, Broadcast("news" + big)); });
    ASSERT_TRUE(sending(Client("slow")));
    std::jthread later([&] { EXPECT_EQ(1, SendTo("busy", "later")); });
    std::this_thread::sleep_for(std::chrono::milliseconds(100)); // the broadcast and the later send wait
    std::vector<std::string> heads;                              // of the frames "busy" got, in order
    for (int i = 0; i < 3; ++i) heads.push_back(NextData(*busy).substr(0, 5));
    EXPECT_EQ((std::vector<std::string>{"first", "newsx", "later"}), heads);
    EXPECT_EQ("newsx", NextData(*slow).substr(0, 5));
}

// Counts the callbacks under way; its destructor notes whether one still ran.
class SlowServer : public ksxtest::RecordingServer {
public:
    ~SlowServer() override { destroyedWhileBusy = busy.load() != 0; }
    void KesOnServerIO(CKesSockEnd*, CKesRecord* record) override
    {
        ++busy;
        ++received;
        std::this_thread::sleep_for(std::chrono::milliseconds(2)); // widens the window
        delete record;
        --busy;
    }
    static inline std::atomic<int> busy{0}, received{0};
    static inline std::atomic<bool> destroyedWhileBusy{false};
};

TEST_F(ServerTraffic, RemovingAServerWaitsForThePacketsItIsProcessing)
{
    SlowServer* slow = ksxtest::AddServer<SlowServer>(*m_Engine, "slow", "dom");
    ASSERT_NE(nullptr, slow);
    std::vector<std::unique_ptr<WireConnection>> peers;
    std::vector<std::thread> senders;
    for (int i = 0; i < 3; ++i) {
        peers.push_back(ksxtest::Greeted(slow->Port(), "sender-" + std::to_string(i)));
        senders.emplace_back([p = peers.back().get()] {
            while (p->SendText("data", "load")) {}
        });
    }
    while (SlowServer::received.load() < 20) std::this_thread::sleep_for(std::chrono::milliseconds(1));
    EXPECT_EQ(1, m_Engine->KSERemoveServer(const_cast<char*>("slow")));
    EXPECT_EQ(nullptr, m_Engine->KSEGetServer("slow"));
    EXPECT_FALSE(SlowServer::destroyedWhileBusy.load());
    for (auto& peer : peers) peer->Shutdown(); // unblocks senders stuck in send
    for (auto& t : senders) t.join();
}

// A terminated server takes no more records, but a connection that ends still goes, once: the event loop does
// not read its end of stream again and again: its socket is closed.
TEST_F(ServerTraffic, ATerminatedServerStillRemovesAConnectionThatEnds)
{
    auto peer = Identified("a");
    const unsigned int handle = Client("a")->KSEGetEndPointSocket();
    EXPECT_EQ(1, m_Server->log.Count("connect a")); // its lock orders the read above before a's removal
    ASSERT_EQ(1, m_Server->KOSSTerminate());
    ASSERT_TRUE(peer->SendText("data", "late"));
    peer->Close();
    ASSERT_TRUE(m_Server->log.WaitFor("disconnect a"));
    EXPECT_TRUE(ksxtest::WaitUntil([&] { return Client("a") == nullptr; }));
    EXPECT_TRUE(ksxtest::WaitUntil([handle] { return fcntl(static_cast<int>(handle), F_GETFD) < 0; }))
        << "the closed socket is still open, and so still dispatched";
    EXPECT_EQ(1, m_Server->log.Count("disconnect a"));
    EXPECT_EQ(0, m_Server->log.Count("io a late"));
}

// The host removes a client from its own thread (at once) or from the client's own callback (the connection
// is shut down and the receive path removes it): either way the peer sees the end, and the host one
// disconnect.
TEST_F(ServerTraffic, TheHostRemovesAClientFromItsOwnThreadOrFromTheClientsCallback)
{
    auto peer = Identified("a");
    EXPECT_EQ(1, m_Server->KOSSRemoveClient(Client("a")));
    EXPECT_EQ(nullptr, Client("a"));
    EXPECT_EQ(1, m_Server->log.Count("disconnect a")) << "the removal did not call back before returning";
    EXPECT_TRUE(peer->SeesEnd());

    auto leaving = Identified("b");
    ASSERT_TRUE(leaving->SendText("data", "bye"));
    EXPECT_TRUE(leaving->SeesEnd());
    ASSERT_TRUE(m_Server->log.WaitFor("disconnect b"));
    EXPECT_TRUE(ksxtest::WaitUntil([&] { return Client("b") == nullptr; }));
    EXPECT_EQ(1, m_Server->log.Count("disconnect b"));
    EXPECT_EQ(1, m_Server->log.Count("io b bye"));
}

// A connection that ends, and one that breaks its framing, while a callback for another holds the server's
// endpoints wait parked and go, once each, when it returns (the broken one as at the end of a stream, not
// when the reaper finds it idle); meanwhile the event loop goes on reading the other connections.
TEST_F(ServerTraffic, ConnectionsEndingOrBreakingWhileACallbackIsBusyGoOnceItReturnsAndLeaveTheOthersRead)
{
    m_Server->echo = true;
    auto holder = Identified("holder"), leaver = Identified("leaver"), broken = Identified("broken"),
         other = Identified("other");
    ASSERT_TRUE(holder->SendText("data", "hold"));
    ASSERT_TRUE(m_Server->log.WaitFor("held"));
    leaver->Close();
    ASSERT_TRUE(broken->SendAll(kBadHeader));
    std::this_thread::sleep_for(std::chrono::milliseconds(200)); // the loop reads the end and the header
    ASSERT_TRUE(other->SendText("data", "after the end"));
    EXPECT_TRUE(other->Pending(5000)) << "the event loop waited for the callback";
    for (const char* gone : {"disconnect leaver", "disconnect broken"})
        EXPECT_EQ(0, m_Server->log.Count(gone)) << "the callback did not hold the endpoints";
    m_Server->log.Add("open");
    EXPECT_TRUE(ksxtest::WaitUntil([&] { return m_Server->log.Count("disconnect broken") == 1; }, 5000));
    EXPECT_TRUE(broken->SeesEnd());
    EXPECT_TRUE(m_Server->log.WaitFor("disconnect leaver"));
    EXPECT_EQ("after the end", NextData(*other));
    EXPECT_EQ("hold", NextData(*holder));
    EXPECT_TRUE(ksxtest::WaitUntil([&] { return Client("leaver") == nullptr; }));
    std::this_thread::sleep_for(std::chrono::milliseconds(200)); // a second removal would have called back
    for (const char* once : {"disconnect leaver", "disconnect broken"})
        EXPECT_EQ(1, m_Server->log.Count(once));
}

// A connection that ends while the host removes another client, whose slow disconnect holds the lock
// exclusively, goes after it.
TEST_F(ServerTraffic, AConnectionEndingWhileTheHostRemovesAnotherGoesAfterIt)
{
    auto removed = Identified("removed"), leaver = Identified("leaver");
    ASSERT_TRUE(removed->SendText("data", "slow")); // from now on each disconnect takes 300 ms
    ASSERT_TRUE(m_Server->log.WaitFor("io removed slow"));
    std::thread remover([&] { EXPECT_EQ(1, m_Server->KOSSRemoveClient(Client("removed"))); });
    std::this_thread::sleep_for(std::chrono::milliseconds(100)); // inside the removal's disconnect
    leaver->Close();
    EXPECT_TRUE(m_Server->log.WaitFor("disconnect leaver"));
    remover.join();
    EXPECT_EQ(1, m_Server->log.Count("disconnect removed"));
}

// The empty frame (on a worker) and the end of the stream (on the event loop) both end the connection while
// its record is in the host's hands: it goes once, and neither touches the endpoint the other destroyed.
TEST_F(ServerTraffic, EmptyFrameAndEndOfStreamBehindASlowRecordRemoveTheConnectionOnce)
{
    auto peer = Identified("a");
    ASSERT_TRUE(peer->SendAll(ksxtest::Join({FramedData("slow"), Bytes{0, 0, 0, 0}})));
    ASSERT_TRUE(m_Server->log.WaitFor("busy"));
    peer->Close();
    ASSERT_TRUE(m_Server->log.WaitFor("disconnect a"));
    std::this_thread::sleep_for(
        std::chrono::milliseconds(400)); // a second removal would have called back by now
    EXPECT_EQ(1, m_Server->log.Count("disconnect a"));
    EXPECT_EQ(1, m_Server->log.Count("io a slow"));
    EXPECT_EQ(nullptr, Client("a"));
}

// Keeps every record it is given, for the test to read after the packets that carried them have gone.
class KeepingServer : public ksxtest::RecordingServer {
public:
    void KesOnServerIO(CKesSockEnd* client, CKesRecord* record) override
    {
        {
            std::lock_guard<std::mutex> hold(lock);
            kept.emplace_back(record);
        }
        log.Add("io " + Name(client));
    }
    std::mutex lock;
    std::vector<std::unique_ptr<CKesRecord>> kept;
};

// A large record reaches the host in the buffer it was read into: that buffer goes with the record (the
// engine keeps none for the next large packet), and the record outlives its packet whole, NUL and all.
// Echoed, it goes back from there.
TEST_F(ServerTraffic, ALargeRecordIsDeliveredInTheBufferItWasReadInto)
{
    auto* keeping = ksxtest::AddServer<KeepingServer>(*m_Engine, "keep", "dom");
    ASSERT_NE(nullptr, keeping);
    auto peer = ksxtest::Identified(*keeping, "big");
    const std::string text(3u << 20, 'b');
    ASSERT_TRUE(peer->SendText("data", text.c_str()));
    ASSERT_TRUE(peer->SendText("data", "small"));
    ASSERT_TRUE(keeping->log.WaitFor("io big", 2));
    EXPECT_FALSE(ksxtest::WaitUntil([&] { return m_Engine->KSEKeptBufferBytes() > 0; }, 300))
        << "the large packet's buffer was kept, so its record holds a copy";
    {
        std::lock_guard<std::mutex> hold(keeping->lock);
        ASSERT_EQ(2u, keeping->kept.size());
        // Two workers may hand them over in either order.
        const bool largeFirst = DataOf(*keeping->kept[1]) == "small";
        const CKesAtom* large = keeping->kept[largeFirst ? 0 : 1]->KRValueOf("data");
        ASSERT_NE(nullptr, large);
        EXPECT_EQ(text.size(), large->KALength());
        EXPECT_EQ(text.size(), strlen(large->KAString()));
        EXPECT_EQ(0, memcmp(text.data(), large->KAString(), text.size()));
        EXPECT_EQ("small", DataOf(*keeping->kept[largeFirst ? 1 : 0]));
        keeping->kept.clear();
    }

    m_Server->echo = true;
    auto echoed = Identified("echoed");
    ASSERT_TRUE(echoed->SendText("data", text.c_str()));
    EXPECT_EQ(text, NextData(*echoed));
}

// One worker: records are processed in the order they were queued.
struct ServerTrafficHandleReuse : ServerTraffic {
    ServerTrafficHandleReuse() { m_Workers = 1; }
    // Another server's record holds the one worker until "open" is logged in m_Gate's log.
    void HoldTheWorker()
    {
        m_Gate = ksxtest::AddServer<ScriptedServer>(*m_Engine, "gate", "dom");
        ASSERT_NE(nullptr, m_Gate);
        m_Holder = ksxtest::Identified(*m_Gate, "holder");
        ASSERT_TRUE(m_Holder->SendText("data", "hold"));
        ASSERT_TRUE(m_Gate->log.WaitFor("held"));
    }

    ScriptedServer* m_Gate = nullptr; // owned by the engine
    std::unique_ptr<WireConnection> m_Holder;
};

// One worker, held meanwhile by another server: a's last record, read before the host removed a, meets b on
// a's handle and is dropped, as is one a worker took from a's read and hands over only now. A bad header
// after the record leaves a's break waiting for it; b does not inherit that break.
TEST_F(ServerTrafficHandleReuse, ARecordOfAnEndedConnectionNeverReachesTheNextOwnerOfItsHandle)
{
    auto first = Identified("a");
    const unsigned int handle = Client("a")->KSEGetEndPointSocket();
    EXPECT_EQ(1, m_Server->log.Count("connect a")); // its lock orders the read above before a's removal
    const uint32_t generationOfA = m_Engine->KRNGetGeneration(handle);
    ASSERT_NO_FATAL_FAILURE(HoldTheWorker());
    // Queued behind the held worker, with a bad header after it.
    ASSERT_TRUE(first->SendAll(ksxtest::Join({FramedData("late"), kBadHeader})));
    ASSERT_TRUE(ksxtest::WaitUntil([&] { return ksxtest::Unread(static_cast<int>(handle)) == 0; }));
    EXPECT_EQ(1, m_Server->KOSSRemoveClient(Client("a"))); // the host ends the connection meanwhile
    ASSERT_TRUE(m_Server->log.WaitFor("disconnect a"));
    first->Close(); // both of a's handles are free again
    ASSERT_TRUE(ksxtest::WaitUntil([handle] { return fcntl(static_cast<int>(handle), F_GETFD) < 0; }))
        << "handle not closed";

    auto second = ksxtest::Greeted(Port(), "b");
    m_Gate->log.Add("open");
    ASSERT_TRUE(m_Server->log.WaitFor("connect b"));
    ASSERT_TRUE(second->SendText("data", "after"));
    ASSERT_TRUE(m_Server->log.WaitFor("io b after")); // one worker: everything queued before is done
    ASSERT_EQ(handle, Client("b")->KSEGetEndPointSocket()) << "the handle was not reused";
    EXPECT_EQ(0, m_Server->log.Count("io b late"));
    EXPECT_EQ(0, m_Server->log.Count("io - late"));

    // As a worker hands over each record of a read: borrowed from the read, charged to a's registration.
    CKesReceiveBacklog backlogOfA(m_Engine.get(), handle, generationOfA, 1 << 20);
    CKesIOWorkPacket read(handle, nullptr, 0, m_Engine.get(), nullptr, 0);
    read.KIWPCharge(&backlogOfA);
    Bytes stale = ksxtest::Encode(TextRecord("data", "stale"));
    CKesIOWorkPacket record(read, stale.data(), static_cast<unsigned int>(stale.size()));
    EXPECT_EQ(1, m_Server->KOSSProcessPacket(&record)); // a delivery would be logged before it returns
    EXPECT_EQ(0, m_Server->log.Count("io b stale"));
    // So is a's empty frame, which would end b's connection.
    CKesIOWorkPacket end(read, stale.data(), 0);
    EXPECT_EQ(1, m_Server->KOSSProcessPacket(&end));
    EXPECT_EQ(0, m_Server->log.Count("disconnect b"));
    EXPECT_NE(nullptr, Client("b"));
}

// One worker, held meanwhile by another server: the records a peer sent before it shut down its sending
// side, or before a header past the packet limit, are answered before its connection goes, though the end or
// the bad header was read long before they were processed. Nothing after the bad header is read, and a peer
// that sends nothing after it is cut all the same.
TEST_F(ServerTrafficHandleReuse, RecordsReadBeforeTheEndOrABadHeaderAreAnsweredBeforeTheConnectionGoes)
{
    const Bytes records = ksxtest::Join({FramedData("one"), FramedData("two")});
    const Bytes recordsThenBadHeader = ksxtest::Join({records, kBadHeader});
    auto ended = Identified("ended"), broken = Identified("broken"), silent = Identified("silent");
    m_Server->echo = true;
    ASSERT_NO_FATAL_FAILURE(HoldTheWorker());
    ASSERT_TRUE(ended->SendAll(records) && broken->SendAll(recordsThenBadHeader) &&
                silent->SendAll(recordsThenBadHeader));
    ended->EndSending();
    std::this_thread::sleep_for(std::chrono::milliseconds(200)); // the loop reads all of it meanwhile
    ASSERT_TRUE(broken->SendText("data", "after"));
    EXPECT_EQ(3u, m_Server->log.Events().size()) << "an end or a break overtook the records before it";
    m_Gate->log.Add("open");
    for (WireConnection* peer : {ended.get(), broken.get(), silent.get()}) {
        EXPECT_EQ("one", NextData(*peer));
        EXPECT_EQ("two", NextData(*peer));
        EXPECT_TRUE(peer->SeesEnd());
    }
    for (const char* id : {"ended", "broken", "silent"})
        EXPECT_TRUE(m_Server->log.WaitFor(std::string("disconnect ") + id));
}

} // namespace
