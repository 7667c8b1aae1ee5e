// The multicast channel (group, start-up, datagrams, interface) and the engine's use of it.
#include <arpa/inet.h>
#include <net/if.h>
#include <unistd.h>

#include <filesystem>
#include <map>
#include <optional>

#include "CKesObjMulticast.h"
#include "KesDaemonHarness.h"
#include "KesEngineHarness.h"

namespace {

constexpr int kPort = 23456;
const char* const kGroup = "234.5.6.7";
const std::string kShippedFile = std::string(KSX_SOURCE_DIR) + "/etc/ServiceData.cfg.default";

long OpenDescriptors() { return std::distance(std::filesystem::directory_iterator("/proc/self/fd"), {}); }

TEST(MulticastSetUp, GroupFrom224To238OnlyAndAFailedStartLeavesBothSocketsInvalidLeaksNothingAndMayBeRetried)
{
    ksxtest::ErrorCapture errors;
    CKesObjMulticast channel;
    EXPECT_EQ(channel.KOMSetAddress("224.0.0.0", 1), 1);
    EXPECT_EQ(channel.KOMSetAddress("238.255.255.255", 0), 1) << "port 0 is accepted";
    for (const char* refused : {"223.255.255.255", "239.0.0.0", "no.such.group"}) {
        errors.Clear();
        EXPECT_EQ(channel.KOMSetAddress(refused, 5000), KES_ERR_MULTICAST_GROUP) << refused;
        EXPECT_TRUE(errors.Has(KES_ERR_MULTICAST_GROUP, "CKesObjMulticast")) << refused;
        EXPECT_EQ(errors.Reports().at(0).text, refused);
    }
    EXPECT_EQ(channel.KOMSetAddress("230.1.1.1", -1), KES_ERR_MULTICAST_GROUP);
    EXPECT_EQ(ksxtest::TakeText(channel.KOMGetMulticastIPAddress()), "238.255.255.255");
    EXPECT_EQ(channel.KOMGetMulticastPort(), 0);

    CKesObjMulticast fromBadText("10.0.0.1", kPort, TRUE);
    EXPECT_EQ(fromBadText.KOMInitialise(), KES_ERR_MULTICAST_GROUP);
    EXPECT_EQ(fromBadText.KOMGetSendSocket(), KES_INVALID_SOCKET);

    // A socket on the group's port without address reuse makes both binds of the receive socket fail.
    const int blocker = socket(AF_INET, SOCK_DGRAM, 0);
    const sockaddr_in any = ksxtest::Ipv4("0.0.0.0", kPort);
    ASSERT_EQ(bind(blocker, reinterpret_cast<const sockaddr*>(&any), sizeof any), 0);
    CKesObjMulticast blocked(kGroup, kPort, TRUE);
    const long before = OpenDescriptors();
    EXPECT_EQ(blocked.KOMInitialise(), KES_ERR_BIND);
    EXPECT_EQ(blocked.KOMGetSendSocket(), KES_INVALID_SOCKET);
    EXPECT_EQ(blocked.KOMGetReceiveSocket(), KES_INVALID_SOCKET);
    EXPECT_EQ(OpenDescriptors(), before) << "the failed attempt leaked a socket";
    EXPECT_TRUE(errors.Has(KES_ERR_BIND, "CKesObjMulticast"));

    close(blocker);
    EXPECT_EQ(blocked.KOMInitialise(), 1);
    EXPECT_NE(blocked.KOMGetReceiveSocket(), KES_INVALID_SOCKET);
    const long open = OpenDescriptors();
    EXPECT_EQ(blocked.KOMInitialise(), 1);
    EXPECT_EQ(OpenDescriptors(), open) << "initialising again leaked the first sockets";
}

// A veth pair in the test's own network namespace, 10.9.7.1 on mi0; removed with the object.
struct TestLink {
    ~TestLink()
    {
        if (made) std::system("ip link del mi0");
    }
    const bool made =
        std::system("ip link add mi0 type veth peer name mi1 && ip addr add 10.9.7.1/24 dev mi0 && "
                    "ip link set mi0 multicast on up && ip link set mi1 up") == 0;
};

// Whether a record sent by `from` reaches `to` (emptied first), checking that it comes whole as one
// datagram; only an expected arrival needs a wait.
bool Arrives(CKesObjMulticast& from, CKesObjMulticast& to, int waitMs)
{
    const int fd = static_cast<int>(to.KOMGetReceiveSocket());
    unsigned char buffer[65536];
    while (ksxtest::Readable(fd, 0)) recv(fd, buffer, sizeof buffer, 0);
    CKesRecord record = ksxtest::TextRecord("KesSockInternalServiceName", "Inventory");
    record.KRAddValue("blob", CKesAtom("\x00\x01\xff", 3));
    const ksxtest::Bytes expected = ksxtest::Encode(record);
    if (from.KOMSendPacket(&record) != 1 || !ksxtest::Readable(fd, waitMs)) return false;
    EXPECT_EQ(ksxtest::Encode(record), expected) << "the caller keeps the record as it was";
    const ssize_t length = recv(fd, buffer, sizeof buffer, 0);
    EXPECT_EQ(ksxtest::Bytes(buffer, buffer + std::max(length, ssize_t(0))), expected)
        << "the encoding alone";
    EXPECT_FALSE(ksxtest::Readable(fd, 0)) << "one record, one datagram";
    return true;
}

// Records reach every channel of the group (the sender's too); the group's route is loopback; `plant` moves
// to mi0 while open, `lab` and `lo` choose before.
TEST(MulticastInterface, AChosenInterfaceBoundsSendingAndReceivingAndChangesOnOpenSockets)
{
    TestLink link;
    ASSERT_TRUE(link.made);
    const unsigned int mi0 = if_nametoindex("mi0"), loopback = if_nametoindex("lo");
    ksxtest::ErrorCapture errors;
    CKesObjMulticast plant(kGroup, kPort, TRUE), lab(kGroup, kPort, TRUE), lo(kGroup, kPort, TRUE);
    CKesObjMulticast otherGroup("234.5.6.8", kPort, TRUE);
    EXPECT_EQ(plant.KOMGetInterfaceIndex(), 0u) << "the default";
    ASSERT_EQ(lab.KOMSetInterface("10.9.7.1"), 1);
    ASSERT_EQ(lo.KOMSetInterface("lo"), 1);
    for (CKesObjMulticast* channel : {&plant, &lab, &lo, &otherGroup}) ASSERT_EQ(channel->KOMInitialise(), 1);
    ASSERT_TRUE(Arrives(lo, plant, 10000)) << "the default joins where the route goes";
    EXPECT_FALSE(Arrives(lo, otherGroup, 0)) << "bound to its own group only";

    ASSERT_EQ(plant.KOMSetInterface("mi0"), 1);
    EXPECT_EQ(plant.KOMGetInterfaceIndex(), mi0);
    EXPECT_EQ(lab.KOMGetInterfaceIndex(), mi0);
    EXPECT_TRUE(Arrives(lab, plant, 10000));
    EXPECT_FALSE(Arrives(lab, lo, 0)) << "sent by mi0, not by the route";
    EXPECT_TRUE(Arrives(lo, lo, 10000));
    EXPECT_FALSE(Arrives(lo, plant, 0)) << "the membership on the route's interface was dropped";

    // Back to loopback by address, then by name: the group joined there must stay joined.
    ASSERT_EQ(plant.KOMSetInterface("127.0.0.1"), 1);
    ASSERT_EQ(plant.KOMSetInterface("lo"), 1);
    EXPECT_EQ(plant.KOMGetInterfaceIndex(), loopback);
    EXPECT_TRUE(Arrives(lo, plant, 10000));
    EXPECT_TRUE(Arrives(lab, lab, 10000));
    EXPECT_FALSE(Arrives(lab, plant, 0)) << "the membership on mi0 was dropped";

    // Names and addresses that are not this host's change nothing.
    for (const char* foreign : {"mi9", "10.9.7.2", "0.0.0.0"}) {
        EXPECT_EQ(plant.KOMSetInterface(foreign), KES_ERR_MULTICAST_INTERFACE) << foreign;
        EXPECT_EQ(1, errors.CountText({std::string("\"") + foreign + "\""})) << foreign;
    }
    EXPECT_EQ(errors.Reports().size(), 3u) << "one report each, none before";
    EXPECT_EQ(plant.KOMGetInterfaceIndex(), loopback);
    EXPECT_TRUE(Arrives(lo, plant, 10000));

    ASSERT_EQ(plant.KOMSetInterface(nullptr), 1);
    EXPECT_EQ(plant.KOMGetInterfaceIndex(), 0u);
    EXPECT_TRUE(Arrives(lo, plant, 10000));
}

// The host prints "sleep <ms>" for every pause; a foreign interface is reported once, not per attempt.
TEST(EngineMulticastStart,
     ProcessEndsAfterTwelfthFailedAttemptHavingPausedElevenTimesButStartsAtOnceWithTheEntry)
{
    ksxtest::WriteServiceFile(ksxtest::ServiceLine("Other", "ANY_KES_DOMAIN", kGroup, kPort));
    std::optional<ksxtest::ScopedEnv> badInterface(std::in_place, "KSX_MULTICAST_IF", "eth-nowhere");
    ksxtest::Daemon failing{"ksx_engine_multicast_retry", {}, ksxtest::KsxHome(), "0.0001", true};
    badInterface.reset();
    EXPECT_EQ(69, failing.Finish()) << failing.Output();
    EXPECT_EQ(12, failing.Count("Server for service MulticastService is not available..."));
    EXPECT_EQ(11, failing.CountContaining("sleep "));
    EXPECT_EQ(11, failing.Count("sleep 5000"));
    for (int code : {KES_ERR_MULTICAST_UNAVAILABLE, KES_ERR_MULTICAST_INTERFACE})
        EXPECT_EQ(1, failing.CountContaining("KSX-ERROR " + std::to_string(code) + " CKesSockEngine:"))
            << code;
    EXPECT_EQ(1, failing.CountContaining("Unable to access the multicast service, exiting."));
    EXPECT_EQ(1, failing.CountContaining("KSX_MULTICAST_IF \"eth-nowhere\" is neither"));

    ksxtest::WriteServiceFile(ksxtest::ReadFile(kShippedFile));
    ksxtest::Daemon starting{"ksx_engine_multicast_retry", {}, ksxtest::KsxHome(), "0.0001", true};
    EXPECT_EQ(0, starting.Finish()) << starting.Output();
    EXPECT_EQ(0, starting.CountContaining("sleep "));
}

// The setter chooses the interface ("" the default), foreign ones and a missing entry change nothing; any
// host can send the group anything: with one worker, the reply after the flood means all was processed.
TEST(EngineMulticastChannel, KeepsItsInterfaceAndAMissingEntryAndBadDatagramsGiveAFewReportsNamingTheSender)
{
    const unsigned int loopback = if_nametoindex("lo");
    CKesSockEngine engine("flood-test", __KES_SERV_DAEMON, 1);
    ksxtest::ErrorCapture errors;
    CKesObjMulticast* channel = engine.KSEGetMulticast();
    ASSERT_NE(nullptr, channel);
    EXPECT_EQ(channel->KOMGetInterfaceIndex(), 0u);

    EXPECT_EQ(engine.KSESetMulticastInterface("127.0.0.1"), 1);
    EXPECT_EQ(channel->KOMGetInterfaceIndex(), loopback);
    EXPECT_EQ(engine.KSESetMulticastInterface("10.1.2.3"), KES_ERR_MULTICAST_INTERFACE);
    EXPECT_EQ(errors.Count(KES_ERR_MULTICAST_INTERFACE), 1);
    EXPECT_EQ(channel->KOMGetInterfaceIndex(), loopback);
    EXPECT_EQ(engine.KSESetMulticastInterface(""), 1);
    EXPECT_EQ(channel->KOMGetInterfaceIndex(), 0u);

    ksxtest::WriteServiceFile("## nothing here\n");
    EXPECT_EQ(KES_ERR_SERVICE_ENTRY, engine.KSEStartMulticast());
    EXPECT_TRUE(errors.Has(KES_ERR_SERVICE_ENTRY, "CKesSockEngine"));
    EXPECT_EQ(channel, engine.KSEGetMulticast());

    ksxtest::EventLoopThread loop(engine);
    ASSERT_NE(nullptr, ksxtest::AddServer<CKesObjSockServer>(engine, "Asked", "Lab")); // owned by the engine
    const ksxtest::Bytes good = ksxtest::Encode(*ksxtest::AddressRequest("Asked", "Lab"));
    CKesObjMulticast listener(kGroup, kPort, TRUE); // hears the group as every engine does
    ASSERT_EQ(1, listener.KOMInitialise());
    const int heard = static_cast<int>(listener.KOMGetReceiveSocket());

    const int peer = socket(AF_INET, SOCK_DGRAM, 0); // from 127.0.0.1, sending to the group only
    sockaddr_in self = ksxtest::Ipv4("127.0.0.1", 0), group = ksxtest::Ipv4(kGroup, kPort);
    socklen_t selfLength = sizeof self;
    ASSERT_EQ(0, bind(peer, reinterpret_cast<sockaddr*>(&self), sizeof self));
    ASSERT_EQ(0, connect(peer, reinterpret_cast<sockaddr*>(&group), sizeof group));
    ASSERT_EQ(0, getsockname(peer, reinterpret_cast<sockaddr*>(&self), &selfLength));
    const std::string senderText = "127.0.0.1:" + std::to_string(ntohs(self.sin_port));
    auto sendToGroup = [&](const ksxtest::Bytes& bytes) {
        return send(peer, bytes.data(), bytes.size(), 0) == ssize_t(bytes.size());
    };
    auto isAnswer = [](const CKesRecord& record) { // to the good request, not a bad one
        return record.KRValueOf("KesSockAddressReply") &&
               ksxtest::TextOf(record, "KesSockInternalServiceName") == "Asked";
    };

    // Garbage, a cut request, a request without its service, a reply whose service is a number.
    CKesRecord numbered = ksxtest::TextRecord("KesSockAddressReply", "KesSockAddressReply");
    numbered.KRAddValue("KesSockInternalServiceName", CKesAtom(7));
    const std::vector<ksxtest::Bytes> bad = {
        {0xc1, 'g', 'a', 'r', 'b'},
        ksxtest::Bytes(good.begin(), good.begin() + long(good.size() / 2)),
        ksxtest::Encode(ksxtest::TextRecord("KesSockAddressRequest", "KesSockAddressRequest")),
        ksxtest::Encode(numbered)};

    errors.Clear();
    const auto start = std::chrono::steady_clock::now();
    for (int i = 0; i < 1000; ++i) ASSERT_TRUE(sendToGroup(bad[i % bad.size()]));
    // Asks until the server replies: a datagram may be dropped when a buffer is full.
    ASSERT_TRUE(
        ksxtest::WaitUntil([&] { return sendToGroup(good) && ksxtest::NextDatagram(heard, 100, isAnswer); }));
    KesFlushLimitedReports();
    const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    close(peer);
    engine.KNSafeExit();

    // Per source line the first few of each window and a count of the rest; a window may predate the test.
    const double windows = seconds / (KES_LIMITED_REPORT_WINDOW_MS / 1000.0 * KesTimeScale()) + 2;
    const std::string notAMap =
        "Record cannot be decoded: the encoding is not a map (datagram from " + senderText + ")";
    std::map<std::pair<std::string, int>, int> perLine;
    int garbage = 0;
    for (const auto& report : errors.Reports()) {
        ++perLine[{report.source, report.line}];
        EXPECT_NE(std::string::npos, report.text.find(senderText)) << report.text;
        garbage +=
            report.code == KES_ERR_DECODE && report.source == "CKesSockEngine" && report.text == notAMap;
    }
    EXPECT_GT(garbage, 0) << "an undecodable datagram is reported with the reason and the sender";
    EXPECT_GT(errors.CountText({"similar reports suppressed"}), 0) << "what was held back is counted";
    for (const auto& [line, count] : perLine)
        EXPECT_LE(count, (KES_LIMITED_REPORTS + 1) * windows)
            << line.first << ":" << line.second << " in " << seconds << " s";
}

} // namespace
