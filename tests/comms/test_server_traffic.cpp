// The server's traffic with its clients through a running engine: peers on
// loopback speak the wire format (4-byte big-endian length + the record's
// encoding) and the host callbacks are recorded in the order they happen.
#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "CKesIOWorkPacket.h"
#include "CKesObjSockServer.h"
#include "CKesRecord.h"
#include "CKesSockEnd.h"
#include "CKesSockEngine.h"
#include "KesTestSupport.h"

namespace {

using ksxtest::ErrorCapture;

// Records every callback as one line of text: "connect <id>",
// "disconnect <id or ->", "io <id> <value of field "data">".
class RecordingServer : public CKesObjSockServer {
public:
    void KesOnServerIO(CKesSockEnd* client, CKesRecord* record) override {
        CKesAtom* data = record->KRValueOf("data");
        Add("io " + Name(client) + " " + (data && data->KAString() ? data->KAString() : "?"));
        delete record;
    }
    void KOSSOnClientConnect(CKesSockEnd* client) override { Add("connect " + Name(client)); }
    void KOSSOnClientDisconnect(CKesSockEnd* client) override { Add("disconnect " + Name(client)); }

    std::vector<std::string> Events() {
        std::lock_guard<std::mutex> guard(m_Lock);
        return m_Events;
    }
    int Count(const std::string& event) {
        std::lock_guard<std::mutex> guard(m_Lock);
        int count = 0;
        for (const auto& e : m_Events) count += e == event;
        return count;
    }
    // Waits until the event has happened (the ctest time-out bounds a fault).
    void WaitFor(const std::string& event) {
        std::unique_lock<std::mutex> guard(m_Lock);
        m_Changed.wait(guard, [&] {
            for (const auto& e : m_Events)
                if (e == event) return true;
            return false;
        });
    }

private:
    static std::string Name(CKesSockEnd* client) {
        return client->KSEGetEndPointName() ? client->KSEGetEndPointName() : "-";
    }
    void Add(const std::string& event) {
        std::lock_guard<std::mutex> guard(m_Lock);
        m_Events.push_back(event);
        m_Changed.notify_all();
    }
    std::mutex m_Lock;
    std::condition_variable m_Changed;
    std::vector<std::string> m_Events;
};

// A client speaking the wire format directly.
class Peer {
public:
    explicit Peer(unsigned int port) {
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_port = htons(static_cast<uint16_t>(port));
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        for (;;) {
            m_Socket = socket(AF_INET, SOCK_STREAM, 0);
            if (connect(m_Socket, reinterpret_cast<sockaddr*>(&address), sizeof(address)) == 0) return;
            close(m_Socket);
            std::this_thread::sleep_for(std::chrono::milliseconds(2));
        }
    }
    ~Peer() { Close(); }
    // Ends the connection without releasing the handle, so a thread blocked
    // in Send on it returns.
    void Shutdown() { shutdown(m_Socket, SHUT_RDWR); }
    void Close() {
        if (m_Socket >= 0) close(m_Socket);
        m_Socket = -1;
    }
    void Send(const CKesRecord& record) {
        unsigned char* data = nullptr;
        unsigned int length = 0;
        ASSERT_EQ(1, record.KOMEncode(&data, &length));
        uint32_t header = htonl(length);
        std::string frame(reinterpret_cast<char*>(&header), 4);
        frame.append(reinterpret_cast<char*>(data), length);
        free(data);
        ASSERT_EQ(static_cast<ssize_t>(frame.size()), send(m_Socket, frame.data(), frame.size(), MSG_NOSIGNAL));
    }
    void SendId(const char* id) {
        std::unique_ptr<CKesRecord> record(CKesSockEnd::KSEGetClientIdPacket(id));
        Send(*record);
    }
    // Sends one record; false once the connection is gone.
    bool TrySendData(const char* value) {
        unsigned char* data = nullptr;
        unsigned int length = 0;
        CKesRecord record;
        record.KRAddValue("data", value);
        if (record.KOMEncode(&data, &length) != 1) return false;
        uint32_t header = htonl(length);
        std::string frame(reinterpret_cast<char*>(&header), 4);
        frame.append(reinterpret_cast<char*>(data), length);
        free(data);
        return send(m_Socket, frame.data(), frame.size(), MSG_NOSIGNAL) == static_cast<ssize_t>(frame.size());
    }
    void SendData(const char* value) {
        CKesRecord record;
        record.KRAddValue("data", value);
        Send(record);
    }
    // The "data" value of the next frame (blocking).
    std::string Receive() {
        uint32_t header = 0;
        if (!ReadAll(&header, 4)) return "<closed>";
        std::string body(ntohl(header), '\0');
        if (!ReadAll(body.data(), body.size())) return "<closed>";
        CKesRecord record;
        if (record.KOMDecode(reinterpret_cast<unsigned char*>(body.data()), body.size()) != 1) return "<undecodable>";
        CKesAtom* data = record.KRValueOf("data");
        return data && data->KAString() ? data->KAString() : "?";
    }
    // Whether any byte is waiting now.
    bool HasData() {
        char byte;
        return recv(m_Socket, &byte, 1, MSG_DONTWAIT | MSG_PEEK) > 0;
    }

private:
    bool ReadAll(void* buffer, size_t length) {
        auto* at = static_cast<char*>(buffer);
        while (length > 0) {
            ssize_t got = recv(m_Socket, at, length, 0);
            if (got <= 0) return false;
            at += got;
            length -= static_cast<size_t>(got);
        }
        return true;
    }
    int m_Socket = -1;
};

CKesRecord DataRecord(const char* value) {
    CKesRecord record;
    record.KRAddValue("data", value);
    return record;
}

class ServerTraffic : public ::testing::Test {
protected:
    void SetUp() override {
        setenv("KSX_HOST_ADDRS", "127.0.0.1", 1);
        m_Engine = std::make_unique<CKesSockEngine>("server-traffic", __KES_SERV_DAEMON, 4);
        m_Server = new RecordingServer();
        m_Server->KOSSSetServiceName(strdup("svc"));
        m_Server->KOSSSetDomain(strdup("dom"));
        ASSERT_EQ(1, m_Engine->KSEAddServer(m_Server));
        ASSERT_EQ(1, m_Server->KOSSInitialise());
        m_Loop = std::thread([this] { m_Engine->KRNStartNet(); });
        while (!m_Engine->KRNIsRunning()) std::this_thread::yield();
    }
    void TearDown() override {
        KesSetTimeScale(1.0);
        m_Engine->KRNStopNet();
        m_Loop.join();
        m_Engine->KNSafeExit();
        m_Engine.reset();  // destroys the server
    }
    unsigned int Port() { return m_Server->KOSSGetServerData()->KSEGetEndPtAddressPort(); }
    // A peer that has identified itself.
    std::unique_ptr<Peer> Identified(const char* id) {
        auto peer = std::make_unique<Peer>(Port());
        peer->SendId(id);
        m_Server->WaitFor(std::string("connect ") + id);
        return peer;
    }

    std::unique_ptr<CKesSockEngine> m_Engine;
    RecordingServer* m_Server = nullptr;  // owned by the engine
    std::thread m_Loop;
};

// ---- greeting and delivery ------------------------------------------------------

TEST_F(ServerTraffic, ClientIdFilesTheConnectionAndIsNotDeliveredAsData) {
    auto peer = Identified("alpha");
    CKesSockEnd* client = m_Server->KOSSGetClient(const_cast<char*>("alpha"));
    ASSERT_NE(nullptr, client);
    EXPECT_EQ(client, m_Server->KOSSGetClientData("alpha"));
    peer->SendData("one");
    m_Server->WaitFor("io alpha one");
    EXPECT_TRUE(client->KSEIsConnectionConfirmed());
    EXPECT_EQ((std::vector<std::string>{"connect alpha", "io alpha one"}), m_Server->Events());
}

TEST_F(ServerTraffic, EarlyRecordsWaitForTheClientIdAndArriveOnce) {
    Peer peer(Port());
    peer.SendData("early-1");
    peer.SendData("early-2");
    // Give the workers time to meet the records before the id (they go
    // round the pool); the order asserted below holds whatever the timing.
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
    peer.SendId("late");
    m_Server->WaitFor("io late early-1");
    m_Server->WaitFor("io late early-2");
    std::vector<std::string> events = m_Server->Events();
    ASSERT_EQ(3u, events.size());
    EXPECT_EQ("connect late", events[0]);
}

TEST_F(ServerTraffic, KeepAlivesNeverReachTheHost) {
    auto peer = Identified("beta");
    std::unique_ptr<CKesRecord> keepAlive(CKesSockEnd::KSEGetKeepAlivePacket());
    peer->Send(*keepAlive);
    peer->Send(*keepAlive);
    peer->SendData("after");
    m_Server->WaitFor("io beta after");
    EXPECT_EQ((std::vector<std::string>{"connect beta", "io beta after"}), m_Server->Events());
}

// ---- sending ----------------------------------------------------------------------------

TEST_F(ServerTraffic, SendByIdAndBroadcastReachExactlyTheIdentifiedClients) {
    auto a = Identified("a");
    auto b = Identified("b");
    Peer anonymous(Port());

    CKesRecord toA = DataRecord("for-a");
    EXPECT_EQ(1, m_Server->KOSSSendToClient("a", &toA));
    CKesRecord all = DataRecord("for-all");
    EXPECT_EQ(1, m_Server->KOSSBroadcastClients(&all));
    EXPECT_EQ("for-a", a->Receive());
    EXPECT_EQ("for-all", a->Receive());
    EXPECT_EQ("for-all", b->Receive());
    // Loopback sends are in the receiver's queue once send returns.
    EXPECT_FALSE(a->HasData());
    EXPECT_FALSE(b->HasData());
    EXPECT_FALSE(anonymous.HasData());

    CKesRecord lost = DataRecord("lost");
    EXPECT_EQ(-220545, m_Server->KOSSSendToClient("nobody", &lost));
    EXPECT_EQ(1, m_Server->KOSSSendToClient("nobody", static_cast<CKesRecord const*>(nullptr)));
    EXPECT_EQ(-220552, m_Server->KOSSBroadcastClients(static_cast<CKesRecord*>(nullptr)));
}

// ---- duplicates and removal ---------------------------------------------------------------

TEST_F(ServerTraffic, DuplicateIdIsRefusedWithoutDisturbingTheFirstClient) {
    ErrorCapture errors;
    auto first = Identified("dup");
    CKesSockEnd* owner = m_Server->KOSSGetClient(const_cast<char*>("dup"));
    auto second = std::make_unique<Peer>(Port());
    second->SendId("dup");
    second->SendData("from-second");
    m_Server->WaitFor("io dup from-second");  // confirmed, though not filed
    EXPECT_EQ(1, m_Server->Count("connect dup"));
    bool reported = false;
    for (const auto& report : errors.Reports()) reported |= report.code == -220455 && report.text == "dup";
    EXPECT_TRUE(reported);
    EXPECT_EQ(owner, m_Server->KOSSGetClient(const_cast<char*>("dup")));

    // The refused connection goes; the owner's entry stays and still works.
    second->Close();
    m_Server->WaitFor("disconnect dup");
    EXPECT_EQ(owner, m_Server->KOSSGetClient(const_cast<char*>("dup")));
    CKesRecord hello = DataRecord("still-here");
    EXPECT_EQ(1, m_Server->KOSSSendToClient("dup", &hello));
    EXPECT_EQ("still-here", first->Receive());
}

TEST_F(ServerTraffic, ClosedConnectionIsRemovedWithOneDisconnect) {
    auto peer = Identified("gone");
    peer->Close();
    m_Server->WaitFor("disconnect gone");
    // The callback comes while the connection is still whole; the id goes after it.
    while (m_Server->KOSSGetClient(const_cast<char*>("gone"))) std::this_thread::yield();
    CKesRecord late = DataRecord("late");
    EXPECT_EQ(-220545, m_Server->KOSSSendToClient("gone", &late));

    // An unidentified connection that closes leaves the table alone.
    auto stays = Identified("stays");
    Peer anonymous(Port());
    anonymous.Close();
    m_Server->WaitFor("disconnect -");
    EXPECT_NE(nullptr, m_Server->KOSSGetClient(const_cast<char*>("stays")));
    EXPECT_EQ(1, m_Server->Count("disconnect gone"));
    EXPECT_EQ(1, m_Server->Count("disconnect -"));
}

TEST_F(ServerTraffic, ConnectionThatNeverIdentifiesIsShutDown) {
    KesSetTimeScale(0.01);  // the early-packet limit shrinks to a fraction of a second
    Peer anonymous(Port());
    anonymous.SendData("never-identified");
    // The early record goes round until the limit, then the connection is
    // shut down and removed.
    EXPECT_EQ("<closed>", anonymous.Receive());
    m_Server->WaitFor("disconnect -");
    for (const auto& event : m_Server->Events()) EXPECT_EQ(0u, event.rfind("disconnect", 0)) << event;
}

TEST_F(ServerTraffic, PacketsForATerminatedServerAreIgnored) {
    auto peer = Identified("late");
    ASSERT_EQ(1, m_Server->KOSSTerminate());
    CKesSockEnd* client = m_Server->KOSSGetClient(const_cast<char*>("late"));
    ASSERT_NE(nullptr, client);
    unsigned char bytes[4] = {1, 2, 3, 4};
    CKesIOWorkPacket packet(client->KSEGetEndPointSocket(), static_cast<unsigned char*>(malloc(4)), 4, nullptr,
                            nullptr, 0);
    memcpy(packet.KIWPGetPacket(), bytes, 4);
    EXPECT_EQ(1, m_Server->KOSSProcessPacket(&packet));
    EXPECT_EQ((std::vector<std::string>{"connect late"}), m_Server->Events());
}

// ---- address requests --------------------------------------------------------------------

CKesRecord* RequestFor(const char* service, const char* domain) {
    CKesSockEnd end;
    end.KSESetServiceName(strdup(service));
    end.KSESetEndPointDomain(strdup(domain));
    return end.KSEGetAddressRequestPacket();
}

// A receiver on the discovery group of the default service file.
int JoinDiscoveryGroup() {
    int receiver = socket(AF_INET, SOCK_DGRAM, 0);
    int one = 1;
    setsockopt(receiver, SOL_SOCKET, SO_REUSEADDR, &one, sizeof(one));
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(23456);
    address.sin_addr.s_addr = htonl(INADDR_ANY);
    EXPECT_EQ(0, bind(receiver, reinterpret_cast<sockaddr*>(&address), sizeof(address)));
    ip_mreq membership{};
    membership.imr_multiaddr.s_addr = inet_addr("234.5.6.7");
    membership.imr_interface.s_addr = htonl(INADDR_ANY);
    EXPECT_EQ(0, setsockopt(receiver, IPPROTO_IP, IP_ADD_MEMBERSHIP, &membership, sizeof(membership)));
    return receiver;
}

TEST_F(ServerTraffic, OnlyAnAddressRequestForOurServiceAndDomainIsAnswered) {
    int receiver = JoinDiscoveryGroup();
    std::unique_ptr<CKesRecord> otherService(RequestFor("other", "dom"));
    std::unique_ptr<CKesRecord> otherDomain(RequestFor("svc", "elsewhere"));
    std::unique_ptr<CKesRecord> ours(RequestFor("svc", "dom"));
    ASSERT_TRUE(otherService && otherDomain && ours);
    EXPECT_EQ(1, m_Server->KOSSProcessAddressRequest(otherService.get()));
    EXPECT_EQ(1, m_Server->KOSSProcessAddressRequest(otherDomain.get()));
    CKesRecord empty;
    EXPECT_EQ(-220552, m_Server->KOSSProcessAddressRequest(&empty));
    EXPECT_EQ(1, m_Server->KOSSProcessAddressRequest(ours.get()));

    // Datagrams from one socket arrive in order: the first one is the reply
    // to our request only if the others were not answered.
    unsigned char datagram[2048];
    ssize_t length = recv(receiver, datagram, sizeof(datagram), 0);
    ASSERT_GT(length, 0);
    CKesRecord reply;
    ASSERT_EQ(1, reply.KOMDecode(datagram, static_cast<unsigned int>(length)));
    ASSERT_NE(nullptr, reply.KRValueOf(CKesSockEnd::ms_ServiceNameField));
    EXPECT_STREQ("svc", reply.KRValueOf(CKesSockEnd::ms_ServiceNameField)->KAString());
    EXPECT_STREQ("dom", reply.KRValueOf(CKesSockEnd::ms_DomainNameField)->KAString());
    ASSERT_NE(nullptr, reply.KRValueOf(CKesSockEnd::ms_PortField));
    EXPECT_EQ(static_cast<int>(Port()), reply.KRValueOf(CKesSockEnd::ms_PortField)->KAInt());
    close(receiver);
}

}  // namespace

// ---- removal while traffic flows ------------------------------------------------

// Callbacks in progress across all SlowServer objects, and how often a server
// was destroyed while one of its callbacks was still running.
std::atomic<int> g_SlowCallbacks{0};
std::atomic<int> g_DestroyedWhileBusy{0};

class SlowServer : public CKesObjSockServer {
public:
    ~SlowServer() override {
        if (g_SlowCallbacks.load() != 0) ++g_DestroyedWhileBusy;
    }
    void KesOnServerIO(CKesSockEnd*, CKesRecord* record) override {
        ++g_SlowCallbacks;
        ++m_Received;
        std::this_thread::sleep_for(std::chrono::milliseconds(2));  // widens the window
        delete record;
        --g_SlowCallbacks;
    }
    std::atomic<int> m_Received{0};
};

TEST_F(ServerTraffic, RemovingAServerWaitsForThePacketsItIsProcessing) {
    auto* slow = new SlowServer();
    slow->KOSSSetServiceName(strdup("slow"));
    slow->KOSSSetDomain(strdup("dom"));
    ASSERT_EQ(1, m_Engine->KSEAddServer(slow));
    ASSERT_EQ(1, slow->KOSSInitialise());
    unsigned int port = slow->KOSSGetServerData()->KSEGetEndPtAddressPort();

    std::vector<std::unique_ptr<Peer>> peers;
    for (int i = 0; i < 3; ++i) {
        peers.push_back(std::make_unique<Peer>(port));
        peers.back()->SendId(("sender-" + std::to_string(i)).c_str());
    }
    std::atomic<bool> stop{false};
    std::vector<std::thread> senders;
    for (auto& peer : peers)
        senders.emplace_back([&stop, p = peer.get()] {
            while (!stop.load() && p->TrySendData("load")) {
            }
        });
    while (slow->m_Received.load() < 20) std::this_thread::sleep_for(std::chrono::milliseconds(1));

    EXPECT_EQ(1, m_Engine->KSERemoveServer(const_cast<char*>("slow")));
    EXPECT_EQ(nullptr, m_Engine->KSEGetServer("slow"));
    EXPECT_EQ(0, g_DestroyedWhileBusy.load());
    stop = true;
    for (auto& peer : peers) peer->Shutdown();  // unblocks senders stuck in send
    for (auto& t : senders) t.join();
}
