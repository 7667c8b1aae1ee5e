// The server's traffic with its clients through a running engine: peers on
// loopback speak the wire format; host callbacks are logged in order.
#include <fcntl.h>
#include <sys/socket.h>

#include <algorithm>

#include "KesEngineHarness.h"

namespace {

using ksxtest::Hello;
using ksxtest::TextOf;
using ksxtest::TextRecord;
using ksxtest::WireConnection;

std::string NextData(WireConnection& peer)
{
    std::unique_ptr<CKesRecord> record = peer.ReadRecord();
    return record ? TextOf(*record, "data") : "<closed>";
}

class ServerTraffic : public ::testing::Test {
protected:
    void SetUp() override
    {
        setenv("KSX_HOST_ADDRS", "127.0.0.1", 1);
        m_Engine = std::make_unique<CKesSockEngine>("server-traffic", __KES_SERV_DAEMON, 4);
        m_Server = ksxtest::AddServer<ksxtest::RecordingServer>(*m_Engine, "svc", "dom");
        ASSERT_NE(nullptr, m_Server);
        m_Loop = std::make_unique<ksxtest::EventLoopThread>(*m_Engine);
    }
    void TearDown() override
    {
        KesSetTimeScale(1.0);
        m_Loop.reset();
        m_Engine->KNSafeExit();
        m_Engine.reset(); // destroys the servers
    }
    unsigned int Port() { return m_Server->Port(); }
    CKesSockEnd* Client(const char* id) { return m_Server->KOSSGetClient(const_cast<char*>(id)); }
    // A peer that has identified itself.
    std::unique_ptr<WireConnection> Identified(const char* id)
    {
        auto peer = ksxtest::Greeted(Port(), id);
        EXPECT_TRUE(m_Server->log.WaitFor(std::string("connect ") + id));
        return peer;
    }

    std::unique_ptr<CKesSockEngine> m_Engine;
    ksxtest::RecordingServer* m_Server = nullptr; // owned by the engine
    std::unique_ptr<ksxtest::EventLoopThread> m_Loop;
};

// The id files the connection; neither it nor keep-alives reach the host.
// Records sent before the id wait with their connection and arrive after the
// connect, each of them once.
TEST_F(ServerTraffic, GreetingAndKeepAlivesStayInternalAndEarlyRecordsWaitForTheId)
{
    auto early = WireConnection::To(Port());
    std::vector<std::string> expected{"connect alpha", "io alpha one", "connect late"};
    for (int i = 0; i < 30; ++i) {
        const std::string data = "early-" + std::to_string(i);
        ASSERT_TRUE(early->SendText("data", data.c_str()));
        expected.push_back("io late " + data);
    }
    auto peer = Identified("alpha");
    CKesSockEnd* client = Client("alpha");
    ASSERT_NE(nullptr, client);
    std::unique_ptr<CKesRecord> keepAlive(CKesSockEnd::KSEGetKeepAlivePacket());
    ASSERT_TRUE(peer->Send(*keepAlive) && peer->Send(*keepAlive) && peer->SendText("data", "one"));
    ASSERT_TRUE(m_Server->log.WaitFor("io alpha one"));
    EXPECT_EQ((std::vector<std::string>{"connect alpha", "io alpha one"}), m_Server->log.Events())
        << "an early record reached the host before its id";

    // Workers take one connection's records in parallel, so their order among
    // themselves is the order the workers reached the server in.
    ASSERT_TRUE(early->Send(*Hello("late")));
    ASSERT_TRUE(ksxtest::WaitUntil([&] { return m_Server->log.Events().size() >= expected.size(); }));
    std::vector<std::string> events = m_Server->log.Events();
    std::sort(events.begin() + 3, events.end());
    std::sort(expected.begin() + 3, expected.end());
    EXPECT_EQ(expected, events);
}

// Batched sends: one client's batch, larger than the socket buffers, arrives
// whole and in order while the test reads it; a null record in the middle is
// reported by its place and left out, nothing else. A broadcast batch
// reaches every client in order.
TEST_F(ServerTraffic, BatchedSendsKeepOrderPastTheSocketBufferAndLeaveOutOnlyABadRecord)
{
    auto alpha = Identified("alpha");
    auto beta = Identified("beta");
    constexpr unsigned int kCount = 2000, kBad = 700; // about 8 MiB
    std::vector<CKesRecord> records;
    records.reserve(kCount);
    for (unsigned int i = 0; i < kCount; ++i)
        records.push_back(TextRecord("data", (std::to_string(i) + std::string(4096, '.')).c_str()));
    std::vector<CKesRecord*> batch;
    for (CKesRecord& record : records) batch.push_back(&record);
    batch[kBad] = nullptr;

    ksxtest::ErrorCapture errors;
    int result = 0;
    std::thread sender([&] { result = m_Server->KOSSSendRecordsToClient("alpha", batch.data(), kCount); });
    std::vector<unsigned int> got;
    for (std::string data = NextData(*alpha); data != "<closed>"; data = NextData(*alpha)) {
        got.push_back(static_cast<unsigned int>(std::stoul(data)));
        if (got.size() == kCount - 1) break;
    }
    sender.join();
    EXPECT_EQ(ksxtest::NumbersExcept(kCount, kBad), got);
    EXPECT_EQ(KES_ERR_ARGUMENT, result);
    ASSERT_EQ(1u, errors.Reports().size());
    EXPECT_EQ("Record 700 of a batch of 2000 not sent: null", errors.Reports()[0].text);

    CKesRecord* two[] = {&records[1], &records[2]};
    EXPECT_EQ(1, m_Server->KOSSBroadcastRecords(two, 2));
    for (WireConnection* peer : {alpha.get(), beta.get()}) {
        EXPECT_EQ(records[1].KRValueOf("data")->KAString(), NextData(*peer));
        EXPECT_EQ(records[2].KRValueOf("data")->KAString(), NextData(*peer));
    }
}

// A connection that sends more than the receive backlog cap before its id is
// closed and reported; none of its records reach the host. A stream cut for
// a bad header is removed once: no report without text, none for a second
// removal.
TEST_F(ServerTraffic, TooMuchBeforeTheIdOrABadHeaderClosesTheConnectionQuietly)
{
    ksxtest::ErrorCapture errors;
    ASSERT_EQ(1, m_Engine->KSESetReceiveBacklogCap(1000));
    auto flood = WireConnection::To(Port());
    for (int i = 0; i < 100 && flood->SendText("data", "early record of some length"); ++i) {}
    EXPECT_TRUE(flood->SeesEnd());
    ASSERT_TRUE(m_Server->log.WaitFor("disconnect -"));
    EXPECT_EQ(1, errors.Count(KES_ERR_CONNECTION, "CKesObjSockServer"));

    auto broken = WireConnection::To(Port());
    ASSERT_TRUE(broken->SendAll(ksxtest::Bytes{0xFF, 0xFF, 0xFF, 0xFF, 0}));
    EXPECT_TRUE(broken->SeesEnd());
    ASSERT_TRUE(m_Server->log.WaitFor("disconnect -", 2));
    EXPECT_EQ((std::vector<std::string>{"disconnect -", "disconnect -"}), m_Server->log.Events());
    for (const auto& report : errors.Reports()) {
        EXPECT_FALSE(report.text.empty()) << report.source << ":" << report.line << " code " << report.code;
        EXPECT_NE(KES_ERR_INVALID_SOCKET, report.code) << "a second removal was reported: " << report.text;
    }
}

// A refused id leaves the first client filed; a broadcast reaches only that
// client, not the refused connection nor one that never greeted.
TEST_F(ServerTraffic, DuplicateIdIsRefusedWithoutDisturbingTheFirstClient)
{
    ksxtest::ErrorCapture errors;
    auto silent = WireConnection::To(Port()); // accepted before the others, never greets
    auto first = Identified("dup");
    CKesSockEnd* owner = Client("dup");
    auto second = WireConnection::To(Port());
    ASSERT_TRUE(second->Send(*Hello("dup")) && second->SendText("data", "from-second"));
    ASSERT_TRUE(m_Server->log.WaitFor("io dup from-second")); // confirmed, though not filed
    EXPECT_EQ(1, m_Server->log.Count("connect dup"));
    EXPECT_EQ(1, errors.CountText({"dup"}, KES_ERR_DUPLICATE_CLIENT));
    EXPECT_EQ(owner, Client("dup"));
    CKesRecord news = TextRecord("data", "news");
    EXPECT_EQ(1, m_Server->KOSSBroadcastClients(&news));
    EXPECT_EQ("news", NextData(*first));
    EXPECT_FALSE(second->Pending(50)) << "the refused connection got the broadcast";
    EXPECT_FALSE(silent->Pending(50)) << "a connection without an id got the broadcast";

    // The refused connection goes; the owner's entry stays and still works.
    second->Close();
    ASSERT_TRUE(m_Server->log.WaitFor("disconnect dup"));
    EXPECT_EQ(owner, Client("dup"));
    CKesRecord still = TextRecord("data", "still-here");
    EXPECT_EQ(1, m_Server->KOSSSendToClient("dup", &still));
    EXPECT_EQ("still-here", NextData(*first));
}

// Hosts that set nothing get the production bounds: 30 s to identify, 35 s
// of silence. A closed connection goes with one disconnect callback, its id
// after it. Connections that never identify themselves (silent, with early
// records, or half-open with 2 bytes of a header) are closed after the
// identify deadline, an identified one that goes quiet after the idle limit,
// each with one disconnect and one report; one that sends keep-alives stays.
TEST_F(ServerTraffic, ClosedUnidentifiedAndSilentConnectionsAreRemovedWithOneDisconnect)
{
    ksxtest::ErrorCapture errors;
    EXPECT_EQ(1.0, KesTimeScale());
    EXPECT_EQ(30000, m_Engine->KSEGetIdentifyDeadline());
    EXPECT_EQ(35000, m_Engine->KSEGetIdleLimit());
    ASSERT_EQ(1, m_Engine->KSESetIdentifyDeadline(500));
    ASSERT_EQ(1, m_Engine->KSESetIdleLimit(800));
    auto peer = Identified("gone");
    peer->Close();
    ASSERT_TRUE(m_Server->log.WaitFor("disconnect gone"));
    ASSERT_TRUE(ksxtest::WaitUntil([&] { return Client("gone") == nullptr; }));
    CKesRecord late = TextRecord("data", "late");
    EXPECT_EQ(KES_ERR_SEND, m_Server->KOSSSendToClient("gone", &late));

    auto quiet = Identified("quiet");
    auto lively = Identified("lively");
    std::atomic<bool> stop{false};
    std::thread keepAlives([&] {
        std::unique_ptr<CKesRecord> keepAlive(CKesSockEnd::KSEGetKeepAlivePacket());
        while (!stop.load() && lively->Send(*keepAlive))
            std::this_thread::sleep_for(std::chrono::milliseconds(20));
    });
    auto silent = WireConnection::To(Port());
    auto anonymous = WireConnection::To(Port());
    ASSERT_TRUE(anonymous->SendText("data", "never-identified"));
    auto halfOpen = WireConnection::To(Port());
    ASSERT_TRUE(halfOpen->SendAll(ksxtest::Bytes{0, 0}));
    EXPECT_TRUE(silent->SeesEnd() && anonymous->SeesEnd() && halfOpen->SeesEnd());
    EXPECT_TRUE(quiet->SeesEnd());
    ASSERT_TRUE(m_Server->log.WaitFor("disconnect quiet") && m_Server->log.WaitFor("disconnect -", 3));
    stop = true;
    keepAlives.join();

    CKesRecord still = TextRecord("data", "still-here");
    EXPECT_EQ(1, m_Server->KOSSSendToClient("lively", &still));
    EXPECT_EQ("still-here", NextData(*lively));
    EXPECT_EQ(0, m_Server->log.Count("disconnect lively"));
    EXPECT_EQ(1, m_Server->log.Count("disconnect quiet"));
    EXPECT_EQ(0, m_Server->log.Count("io - never-identified"));
    EXPECT_EQ(1, errors.CountText({"client quiet from 127.0.0.1:"}));
    EXPECT_EQ(3, errors.CountText({"sent no client id"}));
}

// Watches the reports of sends cut by the deadline: how many name the
// client, and whether every reader had already read the broadcast under way
// when it was cut, and had the echoes of the ones before (the others are not
// made to wait for the stuck one).
struct CutWatch {
    std::string client;
    const std::atomic<int>* current;
    const std::vector<std::atomic<int>>* latest;
    const std::vector<std::atomic<int>>* echoes;
    std::atomic<int> cuts{0};
    std::atomic<bool> othersServedFirst{true};

    static void OnReport(int code, const char*, int, const char* text, void* self)
    {
        auto* watch = static_cast<CutWatch*>(self);
        if (code != KES_ERR_SEND || !text || !strstr(text, ("client " + watch->client + " ").c_str())) return;
        ++watch->cuts;
        for (const std::atomic<int>& read : *watch->latest)
            if (read.load() < watch->current->load()) watch->othersServedFirst = false;
        for (const std::atomic<int>& answered : *watch->echoes)
            if (answered.load() < watch->current->load()) watch->othersServedFirst = false;
    }
};

// Among many readers one stops reading while 60 KB records are broadcast and
// every reader has each one echoed. The broadcast that meets the full socket
// reaches all the others at once; the stuck client is cut at the deadline,
// reported once and removed once; the others lose no broadcast and no echo,
// later broadcasts do not wait for it, and a new client is served.
TEST_F(ServerTraffic, StuckReaderIsCutAtTheSendDeadlineWhileTheOthersAreServed)
{
    constexpr int kReaders = 19;
    constexpr int kAfterCut = 5;
    ASSERT_EQ(1, m_Engine->KSESetSendDeadline(1000));
    m_Server->echo = true;
    int fd = Identified("a-stuck")->Release();
    int small = 4096;
    setsockopt(fd, SOL_SOCKET, SO_RCVBUF, &small, sizeof small);
    WireConnection stuck(fd); // never reads; first in the table, so the others come after it
    std::vector<std::unique_ptr<WireConnection>> readers;
    for (int i = 0; i < kReaders; ++i) readers.push_back(Identified(("reader-" + std::to_string(i)).c_str()));

    std::atomic<int> current{-1};
    std::vector<std::atomic<int>> latest(kReaders), echoes(kReaders);
    for (auto& read : latest) read = -1;
    CutWatch watch{"a-stuck", &current, &latest, &echoes};
    CKesError::KESetListener(&CutWatch::OnReport, &watch);
    std::vector<int> broadcasts(kReaders, 0);
    std::vector<std::thread> threads;
    for (int i = 0; i < kReaders; ++i)
        threads.emplace_back([&, i] {
            // Each broadcast read is answered with an echo request; after
            // the end the echoes still due are read.
            bool ended = false;
            while (!ended || echoes[i] < broadcasts[i]) {
                const std::string data = NextData(*readers[i]);
                if (data == "<closed>") {
                    break;
                } else if (data.rfind("echo", 0) == 0) {
                    ++echoes[i];
                } else if (data == "end") {
                    ended = true;
                } else {
                    latest[i] = std::stoi(data.substr(1, data.find(':') - 1));
                    ++broadcasts[i];
                    if (!readers[i]->SendText("data", ("echo " + data.substr(0, data.find(':'))).c_str()))
                        break;
                }
            }
        });

    int sent = 0;
    int cutAt = -1;
    for (int n = 0; n < 3000 && (cutAt < 0 || n <= cutAt + kAfterCut); ++n) {
        if (cutAt >= 0 && n == cutAt + 1) {
            EXPECT_TRUE(m_Server->log.WaitFor("disconnect a-stuck"));
        }
        current = n;
        CKesRecord record =
            TextRecord("data", ("b" + std::to_string(n) + ":" + std::string(60000, 'x')).c_str());
        int result = m_Server->KOSSBroadcastClients(&record);
        ++sent;
        if (result != 1) {
            EXPECT_EQ(-1, cutAt) << "only the broadcast that met the full socket fails";
            cutAt = n;
        }
    }
    CKesRecord end = TextRecord("data", "end");
    EXPECT_EQ(1, m_Server->KOSSBroadcastClients(&end));
    for (auto& t : threads) t.join();
    CKesError::KESetListener(nullptr, nullptr);

    ASSERT_GE(cutAt, 0);
    EXPECT_EQ(1, watch.cuts.load());
    EXPECT_TRUE(watch.othersServedFirst.load());
    for (int i = 0; i < kReaders; ++i) {
        EXPECT_EQ(sent, broadcasts[i]) << "reader " << i;
        EXPECT_EQ(sent, echoes[i].load()) << "reader " << i;
    }
    auto late = Identified("late");
    ASSERT_TRUE(late->SendText("data", "echo late"));
    EXPECT_EQ("echo late", NextData(*late));
    std::vector<std::string> events = m_Server->log.Events();
    EXPECT_EQ(1, std::count(events.begin(), events.end(), "disconnect a-stuck"));
    EXPECT_EQ(0, std::count_if(events.begin(), events.end(),
                               [](const std::string& e) { return e.rfind("disconnect reader", 0) == 0; }));
}

} // namespace

// Callbacks in progress, and servers destroyed while one of theirs still ran.
std::atomic<int> g_SlowCallbacks{0};
std::atomic<int> g_DestroyedWhileBusy{0};

class SlowServer : public CKesObjSockServer {
public:
    ~SlowServer() override
    {
        if (g_SlowCallbacks.load() != 0) ++g_DestroyedWhileBusy;
    }
    void KesOnServerIO(CKesSockEnd*, CKesRecord* record) override
    {
        ++g_SlowCallbacks;
        ++m_Received;
        std::this_thread::sleep_for(std::chrono::milliseconds(2)); // widens the window
        delete record;
        --g_SlowCallbacks;
    }
    std::atomic<int> m_Received{0};
};

TEST_F(ServerTraffic, RemovingAServerWaitsForThePacketsItIsProcessing)
{
    SlowServer* slow = ksxtest::AddServer<SlowServer>(*m_Engine, "slow", "dom");
    ASSERT_NE(nullptr, slow);
    std::vector<std::unique_ptr<WireConnection>> peers;
    std::vector<std::thread> senders;
    std::atomic<bool> stop{false};
    for (int i = 0; i < 3; ++i)
        peers.push_back(ksxtest::Greeted(slow->KOSSGetServerData()->KSEGetEndPtAddressPort(),
                                         "sender-" + std::to_string(i)));
    for (auto& peer : peers)
        senders.emplace_back([&stop, p = peer.get()] {
            while (!stop.load() && p->SendText("data", "load")) {}
        });
    while (slow->m_Received.load() < 20) std::this_thread::sleep_for(std::chrono::milliseconds(1));

    EXPECT_EQ(1, m_Engine->KSERemoveServer(const_cast<char*>("slow")));
    EXPECT_EQ(nullptr, m_Engine->KSEGetServer("slow"));
    EXPECT_EQ(0, g_DestroyedWhileBusy.load());
    stop = true;
    for (auto& peer : peers) peer->Shutdown(); // unblocks senders stuck in send
    for (auto& t : senders) t.join();
}

namespace {

// Holds the engine's one worker in the callback of a "hold" record until
// opened, and remembers each client's socket.
class GateServer : public ksxtest::RecordingServer {
public:
    void KesOnServerIO(CKesSockEnd* client, CKesRecord* record) override
    {
        if (TextOf(*record, "data") == "hold") {
            std::unique_lock<std::mutex> lock(m_Lock);
            m_Held = true;
            m_Changed.notify_all();
            m_Changed.wait(lock, [this] { return m_Open; });
        }
        RecordingServer::KesOnServerIO(client, record);
    }
    void KOSSOnClientConnect(CKesSockEnd* client) override
    {
        sockets[Name(client)] = client->KSEGetEndPointSocket();
        RecordingServer::KOSSOnClientConnect(client);
    }
    bool WaitHeld()
    {
        std::unique_lock<std::mutex> lock(m_Lock);
        return m_Changed.wait_for(lock, std::chrono::milliseconds(ksxtest::kEngineGuardMs),
                                  [this] { return m_Held; });
    }
    void Open()
    {
        std::lock_guard<std::mutex> lock(m_Lock);
        m_Open = true;
        m_Changed.notify_all();
    }

    std::map<std::string, unsigned int> sockets; // written by the worker before "connect" is logged

private:
    std::mutex m_Lock;
    std::condition_variable m_Changed;
    bool m_Held = false, m_Open = false;
};

} // namespace

// A record still queued when its connection ends is dropped, even once a new
// connection has the same socket handle: it never reaches the newcomer. (The
// one worker is held by another server, whose callback holds only its own
// endpoint lock, so the end of the connection is processed meanwhile.)
TEST(ServerTrafficHandleReuse, ARecordOfAnEndedConnectionNeverReachesTheNextOwnerOfItsHandle)
{
    setenv("KSX_HOST_ADDRS", "127.0.0.1", 1);
    CKesSockEngine engine("handle-reuse", __KES_SERV_DAEMON, 1);
    auto* gate = ksxtest::AddServer<GateServer>(engine, "gate", "dom");
    auto* server = ksxtest::AddServer<GateServer>(engine, "main", "dom");
    ASSERT_TRUE(gate != nullptr && server != nullptr);
    ksxtest::EventLoopThread loop(engine);
    struct Opener {
        GateServer* gate;
        ~Opener() { gate->Open(); } // never leaves the worker held
    } opener{gate};

    auto holder = ksxtest::Greeted(gate->Port(), "holder");
    auto first = ksxtest::Greeted(server->Port(), "a");
    ASSERT_TRUE(gate->log.WaitFor("connect holder") && server->log.WaitFor("connect a"));
    ASSERT_TRUE(holder->SendText("data", "hold"));
    ASSERT_TRUE(gate->WaitHeld());
    ASSERT_TRUE(first->SendText("data", "late")); // queued behind the held worker
    first->Close();
    ASSERT_TRUE(server->log.WaitFor("disconnect a"));
    const int handle = static_cast<int>(server->sockets["a"]);
    ASSERT_TRUE(ksxtest::WaitUntil([handle] { return fcntl(handle, F_GETFD) < 0; })) << "handle not closed";

    auto second = ksxtest::Greeted(server->Port(), "b");
    gate->Open();
    ASSERT_TRUE(server->log.WaitFor("connect b"));
    ASSERT_TRUE(second->SendText("data", "after"));
    ASSERT_TRUE(server->log.WaitFor("io b after")); // one worker: everything queued before is done
    ASSERT_EQ(server->sockets["a"], server->sockets["b"]) << "the handle was not reused";
    EXPECT_EQ(0, server->log.Count("io b late"));
    EXPECT_EQ(0, server->log.Count("io - late"));
    engine.KNSafeExit();
}
