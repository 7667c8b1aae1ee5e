// The installation key: its file, connection proofs, signed address replies, members across processes.
#include <arpa/inet.h>
#include <sys/stat.h>
#include <unistd.h>

#include <array>

#include "CKesAtom.h"
#include "CKesInstallationKey.h"
#include "CKesObjMulticast.h"
#include "KesDaemonHarness.h"
#include "KesEngineHarness.h"

namespace {

using Key = CKesInstallationKey;
using ksxtest::TextOf;

std::array<unsigned char, Key::ms_KeyBytes> KeyBytes(unsigned char seed)
{
    std::array<unsigned char, Key::ms_KeyBytes> key;
    for (size_t i = 0; i < key.size(); ++i) key[i] = static_cast<unsigned char>(seed + 7 * i);
    return key;
}
std::unique_ptr<Key> Holder(unsigned char seed)
{
    auto key = std::make_unique<Key>();
    key->KIKSetKey(KeyBytes(seed).data(), Key::ms_KeyBytes);
    return key;
}

// A home's key file ("" is KSX_HOME itself): the seed's key cut or padded with 'x' to `size` bytes.
std::string WriteKeyFile(const std::string& home, unsigned char seed, size_t size = Key::ms_KeyBytes,
                         mode_t mode = 0600)
{
    std::string content(reinterpret_cast<const char*>(KeyBytes(seed).data()), Key::ms_KeyBytes);
    content.resize(size, 'x');
    const std::string path = ksxtest::WriteHomeFile(home + "etc/ostravine/Installation.key", content);
    chmod(path.c_str(), mode);
    return path;
}

const unsigned char* ChallengeNonce(const CKesRecord& record)
{
    return Key::KIKBytesOf(record, Key::ms_ChallengeField, Key::ms_NonceBytes);
}

// `key`'s proof over both nonces: a client's answer (with its nonce) or a server's reply.
CKesRecord Proof(const Key& key, bool clientSide, const unsigned char* serverNonce,
                 const unsigned char* clientNonce)
{
    unsigned char proof[Key::ms_MacBytes] = {};
    key.KIKProve(clientSide, serverNonce, clientNonce, proof);
    CKesRecord record;
    if (clientSide) record.KRAddValue(Key::ms_NonceField, CKesAtom(clientNonce, Key::ms_NonceBytes));
    record.KRAddValue(Key::ms_ProofField, CKesAtom(proof, sizeof proof));
    return record;
}
// A client's answer to a challenge: a fresh nonce (into clientNonce) and its proof.
CKesRecord Answer(const Key& key, const CKesRecord& challenge, unsigned char* clientNonce)
{
    Key::KIKNewNonce(clientNonce);
    return Proof(key, true, ChallengeNonce(challenge), clientNonce);
}

// An engine holding the seed's key, its loop running at the given delay scale.
struct KeyedEngine {
    KeyedEngine(unsigned char seed, double timeScale) : scale(timeScale)
    {
        EXPECT_EQ(1, engine.KSESetInstallationKey(KeyBytes(seed).data(), Key::ms_KeyBytes));
        loop = std::make_unique<ksxtest::EventLoopThread>(engine);
    }
    // A client of the service in domain Lab, added and initialised (owned by the engine).
    ksxtest::LoggingClient* StartClient(const char* id, const char* service)
    {
        auto* client = new ksxtest::LoggingClient(id, service, "Lab");
        EXPECT_EQ(1, engine.KSEAddClient(client));
        EXPECT_EQ(1, client->KOSCInitialise());
        return client;
    }
    int Refusals() { return engine.KSEGetInstallationKey()->KIKRefusals(); }

    ksxtest::ScopedTimeScale scale;
    CKesSockEngine engine{"keyed", __KES_SERV_DAEMON, 2};
    std::unique_ptr<ksxtest::EventLoopThread> loop;
};

// Without the file no member; any file but 32 private bytes fails closed: reported, signing nothing.
TEST(InstallationKeyFile, OnlyAPrivateFileOf32BytesMakesAMemberAndAnyOtherFailsClosed)
{
    const std::unique_ptr<Key> holder = Holder(9);
    // Size (-1: no file), mode and the load's result.
    constexpr int kFails = KES_ERR_AUTH_KEY;
    const std::tuple<int, mode_t, int> cases[] = {{-1, 0600, 1},      {32, 0600, 1},      {32, 0640, 1},
                                                  {32, 0644, kFails}, {32, 0660, kFails}, {31, 0600, kFails},
                                                  {33, 0600, kFails}};
    for (const auto& [size, mode, result] : cases) {
        SCOPED_TRACE(testing::Message() << size << " bytes, mode " << std::oct << mode);
        const std::string path = WriteKeyFile("", 9, size_t(std::max(size, 0)), mode);
        if (size < 0) unlink(path.c_str());
        ksxtest::ErrorCapture errors;
        Key key;
        EXPECT_EQ(result, key.KIKLoadFile(path));
        EXPECT_EQ(size >= 0, key.KIKIsMember());
        EXPECT_EQ(result == 1 ? 0 : 1, errors.Count(KES_ERR_AUTH_KEY));
        std::unique_ptr<CKesRecord> request = ksxtest::AddressRequest("S", "D");
        EXPECT_EQ(result, key.KIKSignRequest(*request, "S"));
        const ksxtest::Bytes datagram = ksxtest::Encode(*request);
        if (size < 0) {
            EXPECT_EQ(4, request->KRCount()) << "a non-member's request is the plain one";
        } else if (result == 1) {
            EXPECT_TRUE(
                holder->KIKAdmitDatagram(datagram.data(), unsigned(datagram.size()), *request, nullptr, 0));
        }
    }
}

// Refused peers are told why, reported once per peer address, and never reach the host.
TEST(InstallationKeyServer, AClientProvesTheKeyBeforeItsIdAndOneWithoutItOrWithAnotherIsCut)
{
    ksxtest::WriteServiceFile(ksxtest::kMulticastLine);
    KeyedEngine keyed(1, 1.0);
    auto* server = ksxtest::AddServer<ksxtest::RecordingServer>(keyed.engine, "Keyed", "Lab");
    ASSERT_NE(nullptr, server);
    const std::unique_ptr<Key> same = Holder(1), other = Holder(2);
    ksxtest::ErrorCapture errors;

    auto member = ksxtest::WireConnection::To(server->Port());
    std::unique_ptr<CKesRecord> challenge = member->ReadRecord();
    ASSERT_TRUE(challenge && ChallengeNonce(*challenge));
    unsigned char nonce[Key::ms_NonceBytes];
    ASSERT_TRUE(member->Send(Answer(*same, *challenge, nonce)));
    std::unique_ptr<CKesRecord> proof = member->ReadRecord();
    EXPECT_TRUE(proof && same->KIKCheckProof(false, ChallengeNonce(*challenge), nonce, *proof));
    ASSERT_TRUE(member->SendText("KesSocketClientIdField", "member") && member->SendText("data", "hello"));
    EXPECT_TRUE(server->log.WaitFor("io member hello"));

    for (const std::string id : {"plain", "plain-again", "other"}) {
        SCOPED_TRACE(id);
        auto peer = ksxtest::WireConnection::To(server->Port());
        challenge = peer->ReadRecord();
        ASSERT_TRUE(challenge && ChallengeNonce(*challenge));
        ASSERT_TRUE(id == "other" ? peer->Send(Answer(*other, *challenge, nonce))
                                  : peer->SendText("KesSocketClientIdField", id.c_str()) &&
                                        peer->SendText("data", "hi"));
        std::unique_ptr<CKesRecord> refusal = peer->ReadRecord();
        EXPECT_NE("", refusal ? TextOf(*refusal, Key::ms_RefusedField) : "");
        EXPECT_TRUE(peer->SeesEnd());
    }
    EXPECT_EQ(3, keyed.Refusals());
    EXPECT_EQ(1, errors.CountText(
                     {"connection from 127.0.0.1 sent a record without proving the installation key"}));
    EXPECT_EQ(1, errors.CountText({"connection from 127.0.0.1 proved another installation key"}));
    EXPECT_EQ(2, errors.Count(KES_ERR_AUTH, "CKesObjSockServer"));
    std::vector<std::string> seen = server->log.Events();
    std::erase_if(seen, [](const std::string& event) { return event.starts_with("disconnect"); });
    EXPECT_EQ((std::vector<std::string>{"connect member", "io member hello"}), seen);
    keyed.engine.KNSafeExit();
}

// Bad replies (old request, other key, no proof) are dropped, counted and reported with their sender; a
// server proving another key is left without a word (one sending no challenge: InstallationKeyProcesses).
TEST(InstallationKeyClient, TakesOnlyAGenuineReplyAndSendsItsIdOnlyToAServerThatProvesTheKey)
{
    ksxtest::WireListener decoy, real, peer;
    ksxtest::WriteServiceFile(ksxtest::kMulticastLine +
                              ksxtest::ServiceLine("Keyed", "Lab", "127.0.0.1", peer.Port()));
    const std::unique_ptr<Key> same = Holder(5), other = Holder(6);
    KeyedEngine keyed(5, 0.01);                       // a request or a retry every 30 ms
    CKesObjMulticast group("234.5.6.7", 23456, TRUE); // hears and speaks on the group as every engine does
    ASSERT_EQ(1, group.KOMInitialise());
    ksxtest::ErrorCapture errors;
    keyed.StartClient("finder", "Found");

    auto nextRequest = [&] { // only the finder asks; the group also hears the replies sent here
        return ksxtest::NextDatagram(
            int(group.KOMGetReceiveSocket()), ksxtest::kEngineGuardMs,
            [](const CKesRecord& record) { return record.KRValueOf("KesSockAddressRequest") != nullptr; });
    };
    // Sends the group a reply to `request` naming `port`, signed by `signer` when given.
    auto reply = [&](const CKesRecord& request, const Key* signer, int port) {
        std::unique_ptr<CKesRecord> reply = ksxtest::AddressReply("Found", "Lab", port);
        if (signer) signer->KIKSignReply(*reply, request);
        return group.KOMSendPacket(reply.get()) == 1;
    };

    std::unique_ptr<CKesRecord> first = nextRequest(), latest;
    ASSERT_TRUE(first && Key::KIKBytesOf(*first, Key::ms_NonceField, Key::ms_NonceBytes));
    for (size_t i = 0; i <= Key::ms_OutstandingRequests; ++i)
        ASSERT_TRUE(latest = nextRequest()); // first is no longer asked
    ASSERT_TRUE(reply(*first, same.get(), decoy.Port()) && reply(*latest, other.get(), decoy.Port()) &&
                reply(*latest, nullptr, decoy.Port()));
    ASSERT_TRUE(ksxtest::WaitUntil([&] { return keyed.Refusals() >= 3; }));

    ASSERT_TRUE(ksxtest::WaitUntil([&] {
        std::unique_ptr<CKesRecord> asked = nextRequest();
        return asked && reply(*asked, same.get(), real.Port()) && real.Pending(100);
    }));
    EXPECT_FALSE(decoy.Pending(0));
    sockaddr_in own{};
    socklen_t ownLength = sizeof own;
    ASSERT_EQ(0, getsockname(int(group.KOMGetSendSocket()), reinterpret_cast<sockaddr*>(&own), &ownLength));
    const std::string sender = Key::KIKPeerText(reinterpret_cast<sockaddr*>(&own), ownLength, false);
    EXPECT_EQ(3, keyed.Refusals());
    EXPECT_EQ(1, errors.CountText({"answers no request heard lately (replayed or unasked for)"}));
    EXPECT_EQ(1, errors.CountText({"fails the installation-key check"}));
    EXPECT_EQ(1, errors.CountText({"address replies from " + sender + " carry no installation-key proof"}));
    EXPECT_EQ(2,
              errors.CountText({"address reply from " + sender + ":" + std::to_string(ntohs(own.sin_port))}));

    ksxtest::LoggingClient* client = keyed.StartClient("keyed-client", "Keyed");
    // Plays a server on the next connection: challenges, checks the client's proof, proves with `prover`.
    auto prove = [&](const Key& prover) {
        std::unique_ptr<ksxtest::WireConnection> server = peer.Accept();
        unsigned char serverNonce[Key::ms_NonceBytes];
        Key::KIKNewNonce(serverNonce);
        CKesRecord challenge;
        challenge.KRAddValue(Key::ms_ChallengeField, CKesAtom(serverNonce, sizeof serverNonce));
        std::unique_ptr<CKesRecord> answer =
            server && server->Send(challenge) ? server->ReadRecord() : nullptr;
        const unsigned char* nonce =
            answer ? Key::KIKBytesOf(*answer, Key::ms_NonceField, Key::ms_NonceBytes) : nullptr;
        EXPECT_TRUE(nonce && same->KIKCheckProof(true, serverNonce, nonce, *answer));
        EXPECT_TRUE(nonce && server->Send(Proof(prover, false, serverNonce, nonce)));
        return server;
    };
    std::unique_ptr<ksxtest::WireConnection> impostor = prove(*other), genuine;
    EXPECT_TRUE(impostor && impostor->SeesEnd()) << "no client id for a server with another key";
    std::unique_ptr<CKesRecord> id = (genuine = prove(*same)) ? genuine->ReadRecord() : nullptr;
    EXPECT_EQ("keyed-client", id ? TextOf(*id, "KesSocketClientIdField") : "");
    EXPECT_TRUE(client->log.WaitFor("connect"));
    const std::string at = "server at 127.0.0.1:" + std::to_string(peer.Port());
    EXPECT_EQ(1, errors.CountText({at + " proved another installation key"}));
}

// A member destroyed while it waits for a server that accepts and never speaks goes at once (not at the
// identify deadline) and passes no verdict on the server: nothing counted or reported, no refusal sent.
TEST(InstallationKeyClient, DestroyedWhileWaitingForASilentServerGoesAtOnceWithoutAVerdict)
{
    ksxtest::WireListener silent;
    ksxtest::WriteServiceFile(ksxtest::kMulticastLine +
                              ksxtest::ServiceLine("Keyed", "Lab", "127.0.0.1", silent.Port()));
    KeyedEngine keyed(5, 1.0); // the identify deadline at its full 30 s
    ksxtest::ErrorCapture errors;
    auto client = std::make_unique<ksxtest::LoggingClient>("waiting", "Keyed", "Lab");
    ASSERT_EQ(1, client->KOSCSetController(&keyed.engine));
    ASSERT_EQ(1, client->KOSCInitialise());
    std::unique_ptr<ksxtest::WireConnection> server = silent.Accept();
    ASSERT_TRUE(server);
    std::this_thread::sleep_for(std::chrono::milliseconds(300));

    const auto start = std::chrono::steady_clock::now();
    client.reset();
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(5));
    EXPECT_TRUE(server->SeesEnd()) << "closed without a refusal";
    EXPECT_EQ(0, keyed.Refusals());
    EXPECT_EQ(0, errors.CountText({"server at 127.0.0.1"}));
    keyed.engine.KNSafeExit();
}

// Daemons, each home with its own service and key files; a member finds another by the group, the keyless
// client by the file that holds the member's entry.
TEST(InstallationKeyProcesses, MembersMeetByGroupAndEachSideTellsANonMemberWhy)
{
    const std::string scale = "0.05", shipped = ksxtest::ReadFile(ksxtest::ServiceFilePath());
    WriteKeyFile("", 7);
    const std::string plainHome = ksxtest::MakeHome("plain", shipped);
    ksxtest::Daemon member{"ksx_e2e_server", {"Echo", "Lab"}, ksxtest::KsxHome(), scale, true};
    ASSERT_NE("", member.WaitForLine("LISTENING "));
    ksxtest::Daemon open{"ksx_e2e_server", {"Open", "Lab"}, plainHome, scale, true};
    ASSERT_NE("", open.WaitForLine("LISTENING "));

    const std::string keyless = ksxtest::MakeHome("keyless", ksxtest::ReadFile(ksxtest::ServiceFilePath()));
    const std::string byGroup = ksxtest::MakeHome("by-group", shipped);
    const std::string toOpen =
        ksxtest::MakeHome("to-open", ksxtest::ReadFile(plainHome + "/etc/ostravine/ServiceData.cfg"));
    for (const char* home : {"by-group/", "to-open/"}) WriteKeyFile(home, 7);

    ksxtest::Daemon groupClient{"ksx_e2e_client", {"Echo", "Lab", "by-group"}, byGroup, scale, true};
    ASSERT_EQ("CONNECTED", groupClient.WaitForLine("CONNECTED")) << groupClient.Output();
    groupClient.Write("SEND hello");
    EXPECT_EQ("RECV hello", groupClient.WaitForLine("RECV ")) << groupClient.Output();

    ksxtest::Daemon plainClient{"ksx_e2e_client", {"Echo", "Lab", "keyless"}, keyless, scale, true};
    ksxtest::Daemon keyedClient{"ksx_e2e_client", {"Open", "Lab", "keyed"}, toOpen, scale, true};
    // Each side's refusal, reported once (a server sending no challenge is told why and left).
    const std::tuple<ksxtest::Daemon*, const char*, const char*> refusals[] = {
        {&plainClient, "CKesObjSockClient", "requires an installation key and this process has none"},
        {&member, "CKesObjSockServer",
         "connection from 127.0.0.1 sent a record without proving the installation key"},
        {&keyedClient, "CKesObjSockClient", "sent no installation-key challenge in time (it holds no key)"},
        {&open, "CKesObjSockServer", "refused this server (this client takes part only with holders of its"}};
    for (const auto& [side, source, why] : refusals) {
        EXPECT_NE("", side->WaitForLine("KSX-ERROR " + std::to_string(KES_ERR_AUTH) + " " + source))
            << side->Output();
        EXPECT_EQ(1, side->CountContaining(why)) << side->Output();
    }
    EXPECT_EQ(0, plainClient.Count("CONNECTED") + keyedClient.Count("CONNECTED"));
    EXPECT_EQ(1, member.CountContaining("CLIENT ")) << member.Output();
    EXPECT_EQ(0, open.CountContaining("CLIENT ")) << open.Output();
}

} // namespace
