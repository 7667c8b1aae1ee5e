// The socket client over real TCP on loopback, against a small peer that
// speaks the wire format (4-byte big-endian length, then the encoded record).
// Without an engine the tests hand the client its work packets themselves,
// as the engine's receive path would; the ClientEngine suite runs the real
// receive path and the multicast discovery through a CKesSockEngine.
#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdlib>
#include <cstring>
#include <future>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "CKesIOWorkPacket.h"
#include "CKesObjMulticast.h"
#include "CKesObjSockClient.h"
#include "CKesRecord.h"
#include "CKesSockEnd.h"
#include "CKesSockEngine.h"
#include "KesPort.h"
#include "KesTestSupport.h"

namespace {

constexpr int kGuardMs = 20000;  // how long a test waits for something that must happen
const char* const kMulticastLine =
    "SERVICE: MulticastService DOMAIN: ANY_OSTRAVINE_DOMAIN ADDRESS: 234.5.6.7 PORT: 23456 DYNAMIC: NO\n";

std::string ServiceLine(const char* service, const char* domain, const char* address, int port)
{
    return std::string("SERVICE: ") + service + " DOMAIN: " + domain + " ADDRESS: " + address +
           " PORT: " + std::to_string(port) + "\n";
}

bool Readable(int fd, int timeoutMs)
{
    pollfd p{fd, POLLIN, 0};
    return poll(&p, 1, timeoutMs) == 1;
}

bool ReadExactly(int fd, unsigned char* out, size_t length)
{
    while (length > 0) {
        if (!Readable(fd, kGuardMs))
            return false;
        const ssize_t got = recv(fd, out, length, 0);
        if (got <= 0)
            return false;
        out += got;
        length -= static_cast<size_t>(got);
    }
    return true;
}

std::vector<unsigned char> Encode(const CKesRecord& record)
{
    unsigned char* bytes = nullptr;
    unsigned int length = 0;
    EXPECT_EQ(1, record.KOMEncode(&bytes, &length));
    std::vector<unsigned char> out(bytes, bytes + length);
    free(bytes);
    return out;
}

std::string TextOf(const CKesRecord& record, const char* name)
{
    const CKesAtom* value = record.KRValueOf(name);
    return value && value->KAString() ? value->KAString() : "";
}

// A TCP server that speaks the wire format: accepts, reads and writes frames.
class TestPeer {
public:
    TestPeer()
    {
        m_Listen = socket(AF_INET, SOCK_STREAM, 0);
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        int on = 1;
        setsockopt(m_Listen, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
        EXPECT_EQ(0, bind(m_Listen, reinterpret_cast<sockaddr*>(&address), sizeof address));
        EXPECT_EQ(0, listen(m_Listen, 8));
        socklen_t length = sizeof address;
        getsockname(m_Listen, reinterpret_cast<sockaddr*>(&address), &length);
        m_Port = ntohs(address.sin_port);
    }
    ~TestPeer()
    {
        for (int fd : m_Accepted)
            close(fd);
        close(m_Listen);
    }
    int Port() const { return m_Port; }

    // The next connection, or -1 when none came.
    int Accept()
    {
        if (!Readable(m_Listen, kGuardMs))
            return -1;
        const int fd = accept(m_Listen, nullptr, nullptr);
        if (fd >= 0)
            m_Accepted.push_back(fd);
        return fd;
    }
    bool HasPendingConnection(int timeoutMs) { return Readable(m_Listen, timeoutMs); }

    // One frame's payload; false at end of stream or when nothing came.
    bool ReadFrame(int fd, std::vector<unsigned char>& payload)
    {
        unsigned char header[4];
        if (!ReadExactly(fd, header, 4))
            return false;
        const uint32_t length = (uint32_t(header[0]) << 24) | (uint32_t(header[1]) << 16) |
                                (uint32_t(header[2]) << 8) | header[3];
        payload.resize(length);
        return length == 0 || ReadExactly(fd, payload.data(), length);
    }
    std::unique_ptr<CKesRecord> ReadRecord(int fd)
    {
        std::vector<unsigned char> payload;
        if (!ReadFrame(fd, payload))
            return nullptr;
        auto record = std::make_unique<CKesRecord>();
        if (record->KOMDecode(payload.data(), static_cast<unsigned int>(payload.size())) != 1)
            return nullptr;
        return record;
    }
    bool SendRecord(int fd, const CKesRecord& record)
    {
        std::vector<unsigned char> bytes = Encode(record);
        const uint32_t length = htonl(static_cast<uint32_t>(bytes.size()));
        bytes.insert(bytes.begin(), reinterpret_cast<const unsigned char*>(&length),
                     reinterpret_cast<const unsigned char*>(&length) + 4);
        return send(fd, bytes.data(), bytes.size(), MSG_NOSIGNAL) == static_cast<ssize_t>(bytes.size());
    }
    // True when the client closed the connection (end of stream).
    static bool SeesEnd(int fd)
    {
        unsigned char byte;
        return Readable(fd, kGuardMs) && recv(fd, &byte, 1, 0) == 0;
    }
    void Drop(int fd)
    {
        close(fd);
        std::erase(m_Accepted, fd);
    }

private:
    int m_Listen = -1;
    int m_Port = 0;
    std::vector<int> m_Accepted;
};

// A host's client: records what the callbacks saw.
class RecordingClient : public CKesObjSockClient {
public:
    explicit RecordingClient(const char* clientId, const char* service = "Svc", const char* domain = "Dom")
        : CKesObjSockClient(clientId ? strdup(clientId) : nullptr)
    {
        KOSCSetServiceName(strdup(service));
        KOSCSetDomain(strdup(domain));
    }
    ~RecordingClient() override { KOSCStopConnectThread(); }

    void KesOnClientIO(CKesSockEnd* server, CKesRecord* record) override
    {
        std::lock_guard<std::mutex> hold(m_Lock);
        m_ServerPorts.push_back(server ? static_cast<int>(server->KSEGetEndPtAddressPort()) : -1);
        m_Records.emplace_back(record);
        m_Changed.notify_all();
    }
    void KOSCOnClientConnect() override
    {
        // The ClientLock must be free here: read the state from another thread.
        auto state = std::async(std::launch::async, [this] { return KOSCGetState(); });
        const bool answered = state.wait_for(std::chrono::milliseconds(kGuardMs)) == std::future_status::ready;
        std::lock_guard<std::mutex> hold(m_Lock);
        m_StatesAtConnect.push_back(answered ? state.get() : KES_DISCONNECTED);
        ++m_Connects;
        m_Changed.notify_all();
    }
    void KOSCOnClientDisconnect() override
    {
        std::lock_guard<std::mutex> hold(m_Lock);
        ++m_Disconnects;
        m_Changed.notify_all();
    }

    template <typename Predicate>
    bool WaitFor(Predicate done)
    {
        std::unique_lock<std::mutex> hold(m_Lock);
        return m_Changed.wait_for(hold, std::chrono::milliseconds(kGuardMs), [&] { return done(*this); });
    }
    bool WaitForState(EKesConnectState wanted)
    {
        for (int i = 0; i < kGuardMs / 5; ++i) {
            if (KOSCGetState() == wanted)
                return true;
            std::this_thread::sleep_for(std::chrono::milliseconds(5));
        }
        return false;
    }
    // A work packet as the engine's receive path hands it over.
    int Deliver(const CKesRecord* record, unsigned int socket)
    {
        unsigned char* payload = nullptr;
        unsigned int length = 0;
        if (record) {
            std::vector<unsigned char> bytes = Encode(*record);
            payload = static_cast<unsigned char*>(malloc(bytes.size()));
            memcpy(payload, bytes.data(), bytes.size());
            length = static_cast<unsigned int>(bytes.size());
        }
        CKesIOWorkPacket packet(socket, payload, length, nullptr, nullptr, 0);
        return KOSCProcessPacket(&packet);
    }

    std::mutex m_Lock;
    std::condition_variable m_Changed;
    std::vector<std::unique_ptr<CKesRecord>> m_Records;
    std::vector<int> m_ServerPorts;
    std::vector<EKesConnectState> m_StatesAtConnect;
    int m_Connects = 0;
    int m_Disconnects = 0;
};

class ClientTest : public ::testing::Test {
protected:
    void SetUp() override { KesSetTimeScale(0.01); }  // 2 s greeting delay -> 20 ms, 3 s retry -> 30 ms
    void TearDown() override { KesSetTimeScale(1.0); }

    void FileServer(int port, const char* address = "127.0.0.1")
    {
        ksxtest::WriteServiceFile(std::string(kMulticastLine) + ServiceLine("Svc", "Dom", address, port));
    }
    // Accepts the client's connection and checks that its first record is the greeting.
    int AcceptGreeting(TestPeer& peer, const char* clientId)
    {
        const int fd = peer.Accept();
        EXPECT_GE(fd, 0) << "the client did not connect";
        if (fd < 0)
            return fd;
        std::unique_ptr<CKesRecord> first = peer.ReadRecord(fd);
        EXPECT_TRUE(first) << "no greeting arrived";
        if (first) {
            EXPECT_EQ(1, first->KRCount());
            EXPECT_EQ(clientId, TextOf(*first, "KesSocketClientIdField"));
        }
        return fd;
    }

    TestPeer m_Peer;
};

// ---- connecting --------------------------------------------------------------------

TEST_F(ClientTest, ConnectsFromServiceFileAndGreetsWithItsIdFirst)
{
    FileServer(m_Peer.Port());
    RecordingClient client("client-7");
    ASSERT_EQ(1, client.KOSCInitialise());

    AcceptGreeting(m_Peer, "client-7");
    ASSERT_TRUE(client.WaitFor([](RecordingClient& c) { return c.m_Connects == 1; }));
    EXPECT_EQ(KES_CONNECTED, client.KOSCGetState());
    EXPECT_EQ(std::vector<EKesConnectState>{KES_CONNECTED}, client.m_StatesAtConnect)
        << "the connect callback ran with the ClientLock held";
    ASSERT_NE(nullptr, client.KOSCGetServerData());
    EXPECT_EQ(unsigned(m_Peer.Port()), client.KOSCGetServerData()->KSEGetEndPtAddressPort());
    EXPECT_NE(KES_INVALID_SOCKET, client.KOSCGetClientTCPSocket());
}

TEST_F(ClientTest, AttemptWithoutNameOrDomainFailsAndStaysUnconnected)
{
    CKesObjSockClient client;
    EXPECT_EQ(-220552, client.KOSCConnect());
    EXPECT_EQ(KES_UNCONNECTED, client.KOSCGetState());
    EXPECT_EQ(-220552, client.KOSCSetServiceName(nullptr));
    EXPECT_EQ(-220552, client.KOSCSetController(nullptr));
    EXPECT_EQ(-220552, client.KOSCSetMulticastPtr(nullptr));
    ASSERT_EQ(1, client.KOSCSetServiceName(strdup("Svc")));
    EXPECT_EQ(-220552, client.KOSCConnect()) << "a domain is required too";
    EXPECT_STREQ("Svc", client.KOSCGetServiceName());
}

TEST_F(ClientTest, ClientWithoutIdIsRefusedAfterConnectingAndRetries)
{
    FileServer(m_Peer.Port());
    RecordingClient client(nullptr);
    ksxtest::ErrorCapture errors;
    ASSERT_EQ(1, client.KOSCInitialise());

    // Each attempt connects, cannot greet, and closes the connection again.
    for (int attempt = 0; attempt < 2; ++attempt) {
        const int fd = m_Peer.Accept();
        ASSERT_GE(fd, 0);
        EXPECT_TRUE(TestPeer::SeesEnd(fd)) << "a connection without greeting must not stay open";
        m_Peer.Drop(fd);
    }
    EXPECT_EQ(0, client.m_Connects);
    EXPECT_NE(KES_CONNECTED, client.KOSCGetState());
    EXPECT_TRUE(errors.Has(-220552, "CKesObjSockClient"));
}

TEST_F(ClientTest, AnyAddressInServiceFileIsReplacedByThePeerAddress)
{
    FileServer(m_Peer.Port(), "0.0.0.0");
    RecordingClient client("c");
    ASSERT_EQ(1, client.KOSCInitialise());
    AcceptGreeting(m_Peer, "c");
    ASSERT_TRUE(client.WaitFor([](RecordingClient& c) { return c.m_Connects == 1; }));
    char* address = client.KOSCGetServerData()->KSEGetEndPtIpAddress();
    EXPECT_STREQ("127.0.0.1", address);
    free(address);
}

TEST_F(ClientTest, RefusedConnectionIsRetriedUntilTheServerListens)
{
    // Reserve a port, then close the listener so that connects are refused.
    int port = 0;
    {
        TestPeer gone;
        port = gone.Port();
    }
    FileServer(port);
    RecordingClient client("late");
    EXPECT_EQ(-220465, client.KOSCConnect()) << "a refused connect fails the attempt";
    EXPECT_EQ(KES_UNCONNECTED, client.KOSCGetState());
    EXPECT_EQ(nullptr, client.KOSCGetServerData()) << "a failed attempt forgets the server";

    FileServer(m_Peer.Port());  // the server comes up elsewhere
    ASSERT_EQ(1, client.KOSCInitialise());
    AcceptGreeting(m_Peer, "late");
    EXPECT_TRUE(client.WaitFor([](RecordingClient& c) { return c.m_Connects == 1; }));
}

// ---- traffic ---------------------------------------------------------------------

TEST_F(ClientTest, RecordTravelsAsOneFrameOfLengthAndEncoding)
{
    FileServer(m_Peer.Port());
    RecordingClient client("c");
    ASSERT_EQ(1, client.KOSCInitialise());
    const int fd = AcceptGreeting(m_Peer, "c");
    ASSERT_TRUE(client.WaitForState(KES_CONNECTED));

    CKesRecord record;
    record.KRAddValue("Name", "value");
    record.KRAddValue("Count", CKesAtom(1234567));
    ASSERT_EQ(1, client.KOSCSendToServer(&record));
    std::vector<unsigned char> payload;
    ASSERT_TRUE(m_Peer.ReadFrame(fd, payload));
    EXPECT_EQ(Encode(record), payload);

    unsigned char raw[] = {0, 0, 0, 2, 'h', 'i'};
    ASSERT_EQ(1, client.KOSCSendToServer(raw, sizeof raw));
    ASSERT_TRUE(m_Peer.ReadFrame(fd, payload));
    EXPECT_EQ(std::vector<unsigned char>({'h', 'i'}), payload);
}

TEST_F(ClientTest, SendsAreRefusedWithoutConnectionOrContent)
{
    CKesObjSockClient client;
    unsigned char byte = 1;
    EXPECT_EQ(-220552, client.KOSCSendToServer(nullptr, 1));
    EXPECT_EQ(-220552, client.KOSCSendToServer(&byte, 0));
    EXPECT_EQ(-220552, client.KOSCSendToServer(static_cast<CKesRecord*>(nullptr)));
    CKesRecord record;
    record.KRAddValue("a", "b");
    EXPECT_EQ(-220545, client.KOSCSendToServer(&byte, 1));
    EXPECT_EQ(-220545, client.KOSCSendToServer(&record));
    EXPECT_EQ(-220552, client.KOSCSendClientId());
}

TEST_F(ClientTest, SendDuringAnAttemptWaitsAndFollowsTheGreeting)
{
    KesSetTimeScale(0.2);  // a 400 ms greeting delay for the sender to run into
    FileServer(m_Peer.Port());
    RecordingClient client("first");
    ASSERT_EQ(1, client.KOSCInitialise());
    const int fd = m_Peer.Accept();
    ASSERT_GE(fd, 0);

    // The attempt holds the ClientLock until the greeting is out.
    CKesRecord record;
    record.KRAddValue("After", "greeting");
    auto sent = std::async(std::launch::async, [&] { return client.KOSCSendToServer(&record); });
    EXPECT_EQ(1, sent.get());
    std::unique_ptr<CKesRecord> first = m_Peer.ReadRecord(fd);
    std::unique_ptr<CKesRecord> second = m_Peer.ReadRecord(fd);
    ASSERT_TRUE(first && second);
    EXPECT_EQ("first", TextOf(*first, "KesSocketClientIdField"));
    EXPECT_EQ("greeting", TextOf(*second, "After"));
}

TEST_F(ClientTest, KeepAlivesFlowWhileConnected)
{
    FileServer(m_Peer.Port());
    RecordingClient client("c");
    ASSERT_EQ(1, client.KOSCInitialise());
    const int fd = AcceptGreeting(m_Peer, "c");
    for (int i = 0; i < 2; ++i) {
        std::unique_ptr<CKesRecord> keepAlive = m_Peer.ReadRecord(fd);
        ASSERT_TRUE(keepAlive);
        EXPECT_EQ(1, keepAlive->KRCount());
        EXPECT_EQ("True", TextOf(*keepAlive, "_CKesSockEnd_KeepAlive_"));
    }
}

TEST_F(ClientTest, ReceivedRecordsReachTheHostWithTheServerEndpoint)
{
    FileServer(m_Peer.Port());
    RecordingClient client("c");
    ASSERT_EQ(1, client.KOSCInitialise());
    AcceptGreeting(m_Peer, "c");
    ASSERT_TRUE(client.WaitForState(KES_CONNECTED));

    CKesRecord record;
    record.KRAddValue("Reply", "42");
    EXPECT_EQ(1, client.Deliver(&record, client.KOSCGetClientTCPSocket()));
    EXPECT_EQ(1, client.Deliver(&record, client.KOSCGetClientTCPSocket() + 100)) << "another socket";
    std::lock_guard<std::mutex> hold(client.m_Lock);
    ASSERT_EQ(1u, client.m_Records.size()) << "a packet for another socket must be ignored";
    EXPECT_EQ("42", TextOf(*client.m_Records[0], "Reply"));
    EXPECT_EQ(m_Peer.Port(), client.m_ServerPorts[0]);
}

TEST_F(ClientTest, ServerLossIsNoticedOnceAndTheClientReconnectsFromTheFile)
{
    FileServer(m_Peer.Port());
    RecordingClient client("c");
    ASSERT_EQ(1, client.KOSCInitialise());
    const int fd = AcceptGreeting(m_Peer, "c");
    ASSERT_TRUE(client.WaitFor([](RecordingClient& c) { return c.m_Connects == 1; }));
    const unsigned int oldSocket = client.KOSCGetClientTCPSocket();

    // The server moves: close the connection, file a new address.
    TestPeer moved;
    FileServer(moved.Port());
    m_Peer.Drop(fd);
    EXPECT_EQ(1, client.Deliver(nullptr, oldSocket));  // what the engine delivers for a closed connection
    EXPECT_EQ(1, client.m_Disconnects);
    EXPECT_EQ(nullptr, client.KOSCGetServerData());

    AcceptGreeting(moved, "c");
    ASSERT_TRUE(client.WaitFor([](RecordingClient& c) { return c.m_Connects == 2; }));
    EXPECT_EQ(1, client.m_Disconnects);
    EXPECT_EQ(unsigned(moved.Port()), client.KOSCGetServerData()->KSEGetEndPtAddressPort());
}

TEST_F(ClientTest, DisconnectReconnectsToTheSameServerWithoutReadingTheFile)
{
    FileServer(m_Peer.Port());
    RecordingClient client("c");
    ASSERT_EQ(1, client.KOSCInitialise());
    const int fd = AcceptGreeting(m_Peer, "c");
    ASSERT_TRUE(client.WaitFor([](RecordingClient& c) { return c.m_Connects == 1; }));

    ksxtest::WriteServiceFile(kMulticastLine);  // the entry is gone; the endpoint is kept
    EXPECT_EQ(1, client.KOSCDisconnect());
    EXPECT_EQ(KES_INVALID_SOCKET, client.KOSCGetClientTCPSocket());
    EXPECT_TRUE(TestPeer::SeesEnd(fd));
    AcceptGreeting(m_Peer, "c");
    EXPECT_TRUE(client.WaitFor([](RecordingClient& c) { return c.m_Connects == 2; }));
    EXPECT_EQ(0, client.m_Disconnects) << "KOSCDisconnect calls no callback";
}

// ---- discovery -------------------------------------------------------------------

class ClientDiscoveryTest : public ClientTest {
protected:
    void SetUp() override
    {
        ClientTest::SetUp();
        ksxtest::WriteServiceFile(kMulticastLine);
        m_Channel = std::make_unique<CKesObjMulticast>("234.5.6.7", 23456, TRUE);
        ASSERT_EQ(1, m_Channel->KOMInitialise());
    }
    std::unique_ptr<CKesRecord> Reply(const char* service, const char* domain, int port)
    {
        CKesSockEnd server;
        server.KSESetServiceName(strdup(service));
        server.KSESetEndPointDomain(strdup(domain));
        server.KSESetEndPointAddress("127.0.0.1", port);
        return std::unique_ptr<CKesRecord>(server.KSEGetAddressReplyPacket());
    }
    // The next datagram on the group, decoded.
    std::unique_ptr<CKesRecord> NextDatagram(int timeoutMs = kGuardMs)
    {
        const int fd = static_cast<int>(m_Channel->KOMGetReceiveSocket());
        if (!Readable(fd, timeoutMs))
            return nullptr;
        unsigned char buffer[2048];
        const ssize_t got = recv(fd, buffer, sizeof buffer, 0);
        auto record = std::make_unique<CKesRecord>();
        if (got <= 0 || record->KOMDecode(buffer, static_cast<unsigned int>(got)) != 1)
            return nullptr;
        return record;
    }
    std::unique_ptr<CKesObjMulticast> m_Channel;
};

TEST_F(ClientDiscoveryTest, WithoutFileEntryOneAttemptSendsOneAddressRequest)
{
    RecordingClient client("c");
    client.KOSCSetMulticastPtr(m_Channel.get());
    EXPECT_EQ(1, client.KOSCConnect()) << "the request went out";
    EXPECT_EQ(KES_UNCONNECTED, client.KOSCGetState());

    std::unique_ptr<CKesRecord> request = NextDatagram();
    ASSERT_TRUE(request);
    EXPECT_EQ("KesSockAddressRequest", TextOf(*request, "KesSockAddressRequest"));
    EXPECT_EQ("Svc", TextOf(*request, "KesSockInternalServiceName"));
    EXPECT_EQ("Dom", TextOf(*request, "KesSockInternalDomainName"));
    EXPECT_FALSE(NextDatagram(200)) << "one attempt sends exactly one request";

    CKesObjSockClient lonely;
    lonely.KOSCSetServiceName(strdup("Svc"));
    lonely.KOSCSetDomain(strdup("Dom"));
    EXPECT_EQ(-220552, lonely.KOSCSendAddressRequest()) << "no channel";
}

TEST_F(ClientDiscoveryTest, MatchingReplyMakesTheNextAttemptConnectAndLaterRepliesAreIgnored)
{
    RecordingClient client("c");
    client.KOSCSetMulticastPtr(m_Channel.get());
    EXPECT_EQ(1, client.KOSCConnect());

    TestPeer other;
    EXPECT_EQ(1, client.KOSCProcessAddressReply(Reply("Svc", "dom", other.Port()).get())) << "case differs";
    EXPECT_EQ(1, client.KOSCProcessAddressReply(Reply("Svc2", "Dom", other.Port()).get()));
    EXPECT_EQ(nullptr, client.KOSCGetServerData());
    EXPECT_EQ(1, client.KOSCProcessAddressReply(Reply("Svc", "Dom", m_Peer.Port()).get()));
    EXPECT_EQ(1, client.KOSCProcessAddressReply(Reply("Svc", "Dom", other.Port()).get()));
    ASSERT_NE(nullptr, client.KOSCGetServerData());
    EXPECT_EQ(unsigned(m_Peer.Port()), client.KOSCGetServerData()->KSEGetEndPtAddressPort()) << "the first reply wins";

    ASSERT_EQ(1, client.KOSCInitialise());
    AcceptGreeting(m_Peer, "c");
    EXPECT_TRUE(client.WaitFor([](RecordingClient& c) { return c.m_Connects == 1; }));
    EXPECT_FALSE(other.HasPendingConnection(100));
}

TEST_F(ClientDiscoveryTest, RepliesRacingTheConnectThreadLeadToOneConnection)
{
    // Replies come on workers while the connect thread may hold the ClientLock
    // or use the endpoint: fire replies all along and check that the client
    // connects once, to the announced server.
    RecordingClient client("c");
    client.KOSCSetMulticastPtr(m_Channel.get());
    ASSERT_EQ(1, client.KOSCInitialise());
    std::unique_ptr<CKesRecord> reply = Reply("Svc", "Dom", m_Peer.Port());
    std::atomic<bool> stop{false};
    std::thread worker([&] {
        while (!stop) {
            client.KOSCProcessAddressReply(reply.get());
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
        }
    });
    AcceptGreeting(m_Peer, "c");
    EXPECT_TRUE(client.WaitFor([](RecordingClient& c) { return c.m_Connects == 1; }));
    std::this_thread::sleep_for(std::chrono::milliseconds(100));  // replies while connected
    stop = true;
    worker.join();
    EXPECT_EQ(1, client.m_Connects);
    EXPECT_EQ(KES_CONNECTED, client.KOSCGetState());
}

// ---- the connect thread's end ------------------------------------------------------

// With the delays stretched a thousandfold a thread that missed its wake-up
// would sit in its wait for the better part of an hour; the guard below only
// tells "woken" from "not woken".
class ClientThreadEndTest : public ClientDiscoveryTest {
protected:
    void SetUp() override
    {
        ClientDiscoveryTest::SetUp();
        KesSetTimeScale(1000.0);
        m_Client = std::make_unique<RecordingClient>("c");
        m_Client->KOSCSetMulticastPtr(m_Channel.get());
        ASSERT_EQ(1, m_Client->KOSCInitialise());
        // Its first attempt asks the group; after that it waits 3 s (x1000).
        ASSERT_TRUE(NextDatagram());
    }
    std::unique_ptr<RecordingClient> m_Client;
};

TEST_F(ClientThreadEndTest, DestructionEndsAWaitingThreadAtOnce)
{
    auto destroyed = std::async(std::launch::async, [this] { m_Client.reset(); });
    EXPECT_EQ(std::future_status::ready, destroyed.wait_for(std::chrono::milliseconds(kGuardMs)));
}

TEST_F(ClientThreadEndTest, BroadcastOnTheThreadConditionEndsTheThread)
{
    {
        CKesThread::AutoMutex hold(m_Client->KOSCGetConnThread());  // the thread is in its wait
        m_Client->KOSCGetConnThread().KTBroadcast();
    }
    auto joined = std::async(std::launch::async, [this] { return m_Client->KOSCGetConnThread().KTJoinThread(); });
    ASSERT_EQ(std::future_status::ready, joined.wait_for(std::chrono::milliseconds(kGuardMs)));
    EXPECT_EQ(1, joined.get());
}

}  // namespace
