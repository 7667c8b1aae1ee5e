// The installation key: the proof at the start of a connection, from the
// server's side and from the client's, against peers that hold no key or
// another one; address replies that are forged, replayed or unproven; and
// members that find each other through the service file and the multicast
// group across processes while each side tells a non-member why it refuses.
#include <arpa/inet.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <array>
#include <cstring>
#include <fstream>
#include <memory>
#include <string>
#include <vector>

#include "CKesAtom.h"
#include "CKesInstallationKey.h"
#include "CKesObjMulticast.h"
#include "CKesObjSockClient.h"
#include "CKesObjSockServer.h"
#include "CKesRecord.h"
#include "CKesSockEnd.h"
#include "CKesSockEngine.h"
#include "KesDaemonHarness.h"
#include "KesEngineHarness.h"
#include "KesErrorCodes.h"
#include "KesTestSupport.h"
#include "KesWirePeer.h"

namespace {

using Key = CKesInstallationKey;
using KeyBytes = std::array<unsigned char, Key::ms_KeyBytes>;
using ksxtest::TextOf;

KeyBytes MakeKey(unsigned char seed)
{
    KeyBytes key;
    for (size_t i = 0; i < key.size(); ++i) key[i] = static_cast<unsigned char>(seed + 7 * i);
    return key;
}

std::unique_ptr<Key> Holder(const KeyBytes& bytes)
{
    auto key = std::make_unique<Key>();
    key->KIKSetKey(bytes.data(), static_cast<unsigned int>(bytes.size()));
    return key;
}

void WriteKeyFile(const std::string& home, const KeyBytes& key)
{
    const std::string path = home + "/etc/ostravine/Installation.key";
    std::ofstream(path, std::ios::binary | std::ios::trunc)
        .write(reinterpret_cast<const char*>(key.data()), static_cast<std::streamsize>(key.size()));
    chmod(path.c_str(), 0600);
}

// How many captured reports contain the text.
int ReportsWith(const ksxtest::ErrorCapture& errors, const std::string& text)
{
    int count = 0;
    for (const ksxtest::ErrorReport& report : errors.Reports())
        count += report.text.find(text) != std::string::npos;
    return count;
}

const unsigned char* ChallengeNonce(const CKesRecord& record)
{
    return Key::KIKBytesOf(record, Key::ms_ChallengeField, Key::ms_NonceBytes);
}

// A client's answer to a challenge: a fresh nonce (written to clientNonce)
// and the proof with `key`.
CKesRecord Answer(const Key& key, const CKesRecord& challenge, unsigned char* clientNonce)
{
    Key::KIKNewNonce(clientNonce);
    unsigned char proof[Key::ms_MacBytes] = {};
    key.KIKProve(true, ChallengeNonce(challenge), clientNonce, proof);
    CKesRecord answer;
    answer.KRAddValue(Key::ms_NonceField, CKesAtom(clientNonce, Key::ms_NonceBytes));
    answer.KRAddValue(Key::ms_ProofField, CKesAtom(proof, sizeof proof));
    return answer;
}

// Logs "client <id>" and "record <id> <Text>".
class LoggingServer : public CKesObjSockServer {
public:
    void KesOnServerIO(CKesSockEnd* client, CKesRecord* record) override
    {
        std::unique_ptr<CKesRecord> owned(record);
        log.Add(std::string("record ") + client->KSEGetEndPointName() + " " + TextOf(*record, "Text"));
    }
    void KOSSOnClientConnect(CKesSockEnd* client) override
    {
        log.Add(std::string("client ") + client->KSEGetEndPointName());
    }
    ksxtest::EventLog log;
};

// Logs "connect".
class LoggingClient : public CKesObjSockClient {
public:
    LoggingClient(const char* id, const char* service) : CKesObjSockClient(strdup(id))
    {
        KOSCSetServiceName(strdup(service));
        KOSCSetDomain(strdup("Lab"));
    }
    ~LoggingClient() override { KOSCStopConnectThread(); }
    void KOSCOnClientConnect() override { log.Add("connect"); }
    ksxtest::EventLog log;
};

// The key file: absent, the process is no member; 32 bytes that only the
// owner (and the group, reading) may use make a member whose requests another
// holder of those bytes admits; any other file fails closed: reported, a
// member that signs nothing.
TEST(InstallationKeyFile, OnlyAPrivateFileOf32BytesMakesAMemberAndAnyOtherFailsClosed)
{
    const std::string path = ksxtest::KsxHome() + "/etc/ostravine/Installation.key";
    const KeyBytes bytes = MakeKey(9);
    const std::unique_ptr<Key> holder = Holder(bytes);
    struct Case {
        const char* what;
        int size; // -1: no file
        mode_t mode;
        int result;
    };
    const Case cases[] = {
        {"absent", -1, 0600, 1},
        {"owner only", 32, 0600, 1},
        {"group reads", 32, 0640, 1},
        {"others read", 32, 0644, KES_ERR_AUTH_KEY},
        {"group writes", 32, 0660, KES_ERR_AUTH_KEY},
        {"short", 31, 0600, KES_ERR_AUTH_KEY},
        {"long", 33, 0600, KES_ERR_AUTH_KEY},
    };
    for (const Case& c : cases) {
        unlink(path.c_str());
        if (c.size >= 0) {
            std::string content(reinterpret_cast<const char*>(bytes.data()), bytes.size());
            content.resize(static_cast<size_t>(c.size), 'x');
            std::ofstream(path, std::ios::binary) << content;
            chmod(path.c_str(), c.mode);
        }
        ksxtest::ErrorCapture errors;
        Key key;
        EXPECT_EQ(c.result, key.KIKLoadFile(path)) << c.what;
        EXPECT_EQ(c.size >= 0, key.KIKIsMember()) << c.what;
        EXPECT_EQ(c.result == 1 ? 0 : 1, errors.Count(KES_ERR_AUTH_KEY)) << c.what;
        CKesSockEnd asked;
        asked.KSESetServiceName(strdup("S"));
        asked.KSESetEndPointDomain(strdup("D"));
        std::unique_ptr<CKesRecord> request(asked.KSEGetAddressRequestPacket());
        const int signedResult = key.KIKSignRequest(*request, "S");
        if (c.size < 0) {
            EXPECT_EQ(1, signedResult);
            EXPECT_EQ(4, request->KRCount()) << "a non-member's request is the plain one";
        } else if (c.result != 1) {
            EXPECT_EQ(KES_ERR_AUTH_KEY, signedResult) << c.what;
        } else {
            ASSERT_EQ(1, signedResult) << c.what;
            const ksxtest::Bytes datagram = ksxtest::Encode(*request);
            EXPECT_TRUE(holder->KIKAdmitDatagram(datagram.data(), static_cast<unsigned int>(datagram.size()),
                                                 *request, nullptr, 0))
                << c.what;
        }
    }
}

// A member server: the client that proves the key is answered with the
// server's proof and then identified; one that sends its id without a proof,
// or proves another key, is told why and cut, and each such peer is reported
// once; the host sees none of their records.
TEST(InstallationKeyServer, AClientProvesTheKeyBeforeItsIdAndOneWithoutItOrWithAnotherIsCut)
{
    ksxtest::WriteServiceFile(ksxtest::kMulticastLine);
    const KeyBytes key = MakeKey(1);
    CKesSockEngine engine("key-server", __KES_SERV_DAEMON, 2);
    ASSERT_EQ(1, engine.KSESetInstallationKey(key.data(), Key::ms_KeyBytes));
    ksxtest::EventLoopThread loop(engine);
    auto* server = ksxtest::AddServer<LoggingServer>(engine, "Keyed", "Lab"); // owned by the engine
    ASSERT_NE(nullptr, server);
    const unsigned int port = server->KOSSGetServerData()->KSEGetEndPtAddressPort();
    const std::unique_ptr<Key> same = Holder(key);
    const std::unique_ptr<Key> other = Holder(MakeKey(2));
    ksxtest::ErrorCapture errors;

    auto member = ksxtest::WireConnection::To(port);
    std::unique_ptr<CKesRecord> challenge = member->ReadRecord();
    ASSERT_TRUE(challenge && ChallengeNonce(*challenge));
    unsigned char nonce[Key::ms_NonceBytes];
    ASSERT_TRUE(member->Send(Answer(*same, *challenge, nonce)));
    std::unique_ptr<CKesRecord> proof = member->ReadRecord();
    ASSERT_TRUE(proof);
    EXPECT_TRUE(same->KIKCheckProof(false, ChallengeNonce(*challenge), nonce, *proof));
    ASSERT_TRUE(member->SendText("KesSocketClientIdField", "member") && member->SendText("Text", "hello"));
    EXPECT_TRUE(server->log.WaitFor("record member hello"));

    for (const std::string id : {"plain", "plain-again", "other"}) {
        auto peer = ksxtest::WireConnection::To(port);
        std::unique_ptr<CKesRecord> peerChallenge = peer->ReadRecord();
        ASSERT_TRUE(peerChallenge && ChallengeNonce(*peerChallenge)) << id;
        unsigned char otherNonce[Key::ms_NonceBytes];
        if (id == "other")
            ASSERT_TRUE(peer->Send(Answer(*other, *peerChallenge, otherNonce)));
        else
            ASSERT_TRUE(peer->SendText("KesSocketClientIdField", id.c_str()) && peer->SendText("Text", "hi"));
        std::unique_ptr<CKesRecord> refusal = peer->ReadRecord();
        ASSERT_TRUE(refusal) << id;
        EXPECT_NE("", TextOf(*refusal, Key::ms_RefusedField)) << id;
        EXPECT_TRUE(peer->SeesEnd()) << id;
    }
    EXPECT_EQ(3, engine.KSEGetInstallationKey()->KIKRefusals());
    EXPECT_EQ(1, ReportsWith(errors,
                             "connection from 127.0.0.1 sent a record without proving the installation key"));
    EXPECT_EQ(1, ReportsWith(errors, "connection from 127.0.0.1 proved another installation key"));
    EXPECT_EQ(2, errors.Count(KES_ERR_AUTH, "CKesObjSockServer"));
    EXPECT_EQ((std::vector<std::string>{"client member", "record member hello"}), server->log.Events());
    engine.KNSafeExit();
}

// A member client waits for the server's challenge: a server that sends none
// is told why and left; one that proves another key is left without a word;
// only to one that proves the key does the client send its id.
TEST(InstallationKeyClient, SendsItsIdOnlyToAServerThatProvesTheKey)
{
    KesSetTimeScale(0.01); // retries every 30 ms, the proof within 300 ms
    ksxtest::WireListener peer;
    ksxtest::WriteServiceFile(
        std::string(ksxtest::kMulticastLine) +
        "SERVICE: Keyed DOMAIN: Lab ADDRESS: 127.0.0.1 PORT: " + std::to_string(peer.Port()) + "\n");
    const KeyBytes key = MakeKey(3);
    const std::unique_ptr<Key> same = Holder(key);
    const std::unique_ptr<Key> other = Holder(MakeKey(4));
    auto engine = std::make_unique<CKesSockEngine>("key-client", __KES_SERV_DAEMON, 2);
    ASSERT_EQ(1, engine->KSESetInstallationKey(key.data(), Key::ms_KeyBytes));
    auto loop = std::make_unique<ksxtest::EventLoopThread>(*engine);
    ksxtest::ErrorCapture errors;
    auto* client = new LoggingClient("keyed-client", "Keyed"); // owned by the engine
    ASSERT_EQ(1, engine->KSEAddClient(client));
    ASSERT_EQ(1, client->KOSCInitialise());

    std::unique_ptr<ksxtest::WireConnection> silent = peer.Accept();
    ASSERT_TRUE(silent);
    std::unique_ptr<CKesRecord> told = silent->ReadRecord();
    ASSERT_TRUE(told);
    EXPECT_NE("", TextOf(*told, Key::ms_RefusedField));
    EXPECT_TRUE(silent->SeesEnd());

    // Plays a server: sends a challenge, takes the answer, checks the
    // client's proof and answers with a proof made with `prover`.
    auto prove = [&](ksxtest::WireConnection& connection, const Key& prover) {
        unsigned char serverNonce[Key::ms_NonceBytes];
        Key::KIKNewNonce(serverNonce);
        CKesRecord challenge;
        challenge.KRAddValue(Key::ms_ChallengeField, CKesAtom(serverNonce, sizeof serverNonce));
        ASSERT_TRUE(connection.Send(challenge));
        std::unique_ptr<CKesRecord> answer = connection.ReadRecord();
        ASSERT_TRUE(answer);
        const unsigned char* clientNonce = Key::KIKBytesOf(*answer, Key::ms_NonceField, Key::ms_NonceBytes);
        ASSERT_NE(nullptr, clientNonce);
        EXPECT_TRUE(same->KIKCheckProof(true, serverNonce, clientNonce, *answer));
        unsigned char proof[Key::ms_MacBytes];
        prover.KIKProve(false, serverNonce, clientNonce, proof);
        CKesRecord reply;
        reply.KRAddValue(Key::ms_ProofField, CKesAtom(proof, sizeof proof));
        ASSERT_TRUE(connection.Send(reply));
    };
    std::unique_ptr<ksxtest::WireConnection> impostor = peer.Accept();
    ASSERT_TRUE(impostor);
    prove(*impostor, *other);
    EXPECT_TRUE(impostor->SeesEnd()) << "no client id for a server with another key";

    std::unique_ptr<ksxtest::WireConnection> genuine = peer.Accept();
    ASSERT_TRUE(genuine);
    prove(*genuine, *same);
    std::unique_ptr<CKesRecord> id = genuine->ReadRecord();
    ASSERT_TRUE(id);
    EXPECT_EQ("keyed-client", TextOf(*id, "KesSocketClientIdField"));
    EXPECT_TRUE(client->log.WaitFor("connect"));
    const std::string at = "server at 127.0.0.1:" + std::to_string(peer.Port());
    EXPECT_EQ(1, ReportsWith(errors, at + " sent no installation-key challenge in time"));
    EXPECT_EQ(1, ReportsWith(errors, at + " proved another installation key"));

    loop.reset();
    engine.reset();
    KesSetTimeScale(1.0);
}

// A member client asks over the group: a reply made with another key, a
// genuine reply to a request that is no longer outstanding, and a reply
// without proof are dropped, counted and reported with their sender; a
// genuine answer to a recent request is taken.
TEST(InstallationKeyDiscovery, ForgedReplayedAndUnprovenRepliesAreDroppedAndAGenuineOneIsTaken)
{
    KesSetTimeScale(0.01); // a request every 30 ms
    ksxtest::WriteServiceFile(ksxtest::kMulticastLine);
    const KeyBytes key = MakeKey(5);
    const std::unique_ptr<Key> same = Holder(key);
    const std::unique_ptr<Key> other = Holder(MakeKey(6));
    auto engine = std::make_unique<CKesSockEngine>("key-discovery", __KES_SERV_DAEMON, 2);
    ASSERT_EQ(1, engine->KSESetInstallationKey(key.data(), Key::ms_KeyBytes));
    auto loop = std::make_unique<ksxtest::EventLoopThread>(*engine);
    CKesObjMulticast group("234.5.6.7", 23456, TRUE); // hears and speaks on the group as every engine does
    ASSERT_EQ(1, group.KOMInitialise());
    ksxtest::WireListener decoy, real;
    ksxtest::ErrorCapture errors;
    auto* client = new LoggingClient("finder", "Found"); // owned by the engine
    ASSERT_EQ(1, engine->KSEAddClient(client));
    ASSERT_EQ(1, client->KOSCInitialise());

    const int heard = static_cast<int>(group.KOMGetReceiveSocket());
    auto nextRequest = [&]() -> std::unique_ptr<CKesRecord> {
        unsigned char buffer[65536];
        while (ksxtest::Readable(heard, ksxtest::kEngineGuardMs)) {
            const ssize_t length = recv(heard, buffer, sizeof buffer, 0);
            auto record = std::make_unique<CKesRecord>();
            if (length > 0 && record->KOMDecode(buffer, static_cast<unsigned int>(length)) == 1 &&
                record->KRValueOf("KesSockAddressRequest") &&
                TextOf(*record, "KesSockInternalServiceName") == "Found")
                return record;
        }
        return nullptr;
    };
    auto replyTo = [](const CKesRecord& request, const Key* signer, int port) {
        CKesSockEnd server;
        server.KSESetServiceName(strdup("Found"));
        server.KSESetEndPointDomain(strdup("Lab"));
        server.KSESetEndPointAddress("127.0.0.1", port);
        std::unique_ptr<CKesRecord> reply(server.KSEGetAddressReplyPacket());
        if (signer) signer->KIKSignReply(*reply, request);
        return reply;
    };

    std::unique_ptr<CKesRecord> first = nextRequest();
    ASSERT_TRUE(first);
    ASSERT_NE(nullptr, Key::KIKBytesOf(*first, Key::ms_NonceField, Key::ms_NonceBytes));
    for (size_t i = 0; i < Key::ms_OutstandingRequests; ++i)
        ASSERT_TRUE(nextRequest()); // first no longer asked
    std::unique_ptr<CKesRecord> latest = nextRequest();
    ASSERT_TRUE(latest);
    for (const auto& bad :
         {replyTo(*first, same.get(), decoy.Port()), replyTo(*latest, other.get(), decoy.Port()),
          replyTo(*latest, nullptr, decoy.Port())})
        ASSERT_EQ(1, group.KOMSendPacket(bad.get()));
    ASSERT_TRUE(ksxtest::WaitUntil([&] { return engine->KSEGetInstallationKey()->KIKRefusals() >= 3; }));

    ASSERT_TRUE(ksxtest::WaitUntil([&] {
        std::unique_ptr<CKesRecord> asked = nextRequest();
        return asked && group.KOMSendPacket(replyTo(*asked, same.get(), real.Port()).get()) == 1 &&
               real.Pending(100);
    }));
    EXPECT_FALSE(decoy.Pending(0));
    sockaddr_in own{};
    socklen_t ownLength = sizeof own;
    ASSERT_EQ(0, getsockname(static_cast<int>(group.KOMGetSendSocket()), reinterpret_cast<sockaddr*>(&own),
                             &ownLength));
    const std::string sender = Key::KIKPeerText(reinterpret_cast<sockaddr*>(&own), ownLength, false);
    EXPECT_EQ(3, engine->KSEGetInstallationKey()->KIKRefusals());
    EXPECT_EQ(1, ReportsWith(errors, "answers no request heard lately (replayed or unasked for)"));
    EXPECT_EQ(1, ReportsWith(errors, "fails the installation-key check"));
    EXPECT_EQ(1, ReportsWith(errors, "address replies from " + sender + " carry no installation-key proof"));
    EXPECT_EQ(
        2, ReportsWith(errors, "address reply from " + sender + ":" + std::to_string(ntohs(own.sin_port))));

    loop.reset();
    engine.reset();
    KesSetTimeScale(1.0);
}

// Daemons in separate processes, each home with its own service file and key
// file: members meet through the file and through the group and exchange
// records; a client without a key and a member client of a server without
// one never connect, and each side says why.
TEST(InstallationKeyProcesses, MembersMeetByFileAndGroupAndEachSideTellsANonMemberWhy)
{
    const std::string scale = "0.05";
    const KeyBytes key = MakeKey(7);
    const std::string shipped = ksxtest::ReadFile(ksxtest::ServiceFilePath());
    WriteKeyFile(ksxtest::KsxHome(), key);
    const std::string plainHome = ksxtest::MakeHome("plain", shipped);
    ksxtest::Daemon member{"ksx_e2e_server", {"Echo", "Lab"}, ksxtest::KsxHome(), scale, true};
    ASSERT_NE("", member.WaitForLine("LISTENING "));
    ksxtest::Daemon open{"ksx_e2e_server", {"Open", "Lab"}, plainHome, scale, true};
    ASSERT_NE("", open.WaitForLine("LISTENING "));

    const std::string byFile = ksxtest::MakeHome("by-file", ksxtest::ReadFile(ksxtest::ServiceFilePath()));
    const std::string byGroup = ksxtest::MakeHome("by-group", shipped);
    const std::string toOpen =
        ksxtest::MakeHome("to-open", ksxtest::ReadFile(plainHome + "/etc/ostravine/ServiceData.cfg"));
    const std::string keyless = ksxtest::MakeHome("keyless", ksxtest::ReadFile(ksxtest::ServiceFilePath()));
    for (const std::string& home : {byFile, byGroup, toOpen}) WriteKeyFile(home, key);

    ksxtest::Daemon fileClient{"ksx_e2e_client", {"Echo", "Lab", "by-file"}, byFile, scale, true};
    ksxtest::Daemon groupClient{"ksx_e2e_client", {"Echo", "Lab", "by-group"}, byGroup, scale, true};
    for (ksxtest::Daemon* client : {&fileClient, &groupClient}) {
        ASSERT_EQ("CONNECTED", client->WaitForLine("CONNECTED")) << client->Output();
        client->Write("SEND hello");
        EXPECT_EQ("RECV hello", client->WaitForLine("RECV ")) << client->Output();
    }

    ksxtest::Daemon plainClient{"ksx_e2e_client", {"Echo", "Lab", "keyless"}, keyless, scale, true};
    EXPECT_NE("", plainClient.WaitForLine("KSX-ERROR -220445 CKesObjSockClient"));
    EXPECT_NE("", member.WaitForLine("KSX-ERROR -220445 CKesObjSockServer"));
    EXPECT_EQ(1, plainClient.CountContaining("requires an installation key and this process has none"));
    EXPECT_EQ(1, member.CountContaining(
                     "connection from 127.0.0.1 sent a record without proving the installation key"));

    ksxtest::Daemon keyedClient{"ksx_e2e_client", {"Open", "Lab", "keyed"}, toOpen, scale, true};
    EXPECT_NE("", keyedClient.WaitForLine("KSX-ERROR -220445 CKesObjSockClient"));
    EXPECT_NE("", open.WaitForLine("KSX-ERROR -220445 CKesObjSockServer"));
    EXPECT_EQ(1, keyedClient.CountContaining("sent no installation-key challenge in time (it holds no key)"));
    EXPECT_EQ(1,
              open.CountContaining("refused this server (this client takes part only with holders of its"));

    EXPECT_EQ(0, plainClient.Count("CONNECTED") + keyedClient.Count("CONNECTED"));
    EXPECT_EQ(2, member.CountContaining("CLIENT ")) << member.Output();
    EXPECT_EQ(0, open.CountContaining("CLIENT ")) << open.Output();
}

} // namespace
