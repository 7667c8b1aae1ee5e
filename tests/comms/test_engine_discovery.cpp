// The engine's multicast start-up (twelve attempts then exit), its channel and
// interface, and bad datagrams on it, one or a flood.
#include <arpa/inet.h>
#include <net/if.h>
#include <unistd.h>

#include <map>
#include <optional>

#include "CKesIOWorkPacket.h"
#include "CKesObjMulticast.h"
#include "KesDaemonHarness.h"
#include "KesEngineHarness.h"

namespace {

const std::string kShippedFile = std::string(KSX_SOURCE_DIR) + "/etc/ServiceData.cfg.default";
const char* const kGroup = "234.5.6.7";
constexpr int kPort = 23456;

// The host prints "sleep <ms>" for every pause; a foreign interface is reported once, not per attempt.
TEST(EngineMulticastStart,
     ProcessEndsAfterTwelfthFailedAttemptHavingPausedElevenTimesButStartsAtOnceWithTheEntry)
{
    ksxtest::WriteServiceFile(
        "SERVICE: Other DOMAIN: ANY_KES_DOMAIN ADDRESS: 234.5.6.7 PORT: 23456 DYNAMIC: NO\n");
    std::optional<ksxtest::ScopedEnv> badInterface(std::in_place, "KSX_MULTICAST_IF", "eth-nowhere");
    ksxtest::Daemon failing{"ksx_engine_multicast_retry", {}, ksxtest::KsxHome(), "0.0001", true};
    badInterface.reset();
    EXPECT_EQ(69, failing.Finish()) << failing.Output();
    EXPECT_EQ(12, failing.Count("Server for service MulticastService is not available..."));
    EXPECT_EQ(11, failing.CountContaining("sleep "));
    EXPECT_EQ(11, failing.Count("sleep 5000"));
    EXPECT_EQ(1, failing.CountContaining("KSX-ERROR " + std::to_string(KES_ERR_MULTICAST_UNAVAILABLE) +
                                         " CKesSockEngine:"));
    EXPECT_EQ(1, failing.CountContaining("Unable to access the multicast service, exiting."));
    EXPECT_EQ(1, failing.CountContaining("KSX-ERROR " + std::to_string(KES_ERR_MULTICAST_INTERFACE) +
                                         " CKesSockEngine:"));
    EXPECT_EQ(1, failing.CountContaining("KSX_MULTICAST_IF \"eth-nowhere\" is neither"));

    ksxtest::WriteServiceFile(ksxtest::ReadFile(kShippedFile));
    ksxtest::Daemon starting{"ksx_engine_multicast_retry", {}, ksxtest::KsxHome(), "0.0001", true};
    EXPECT_EQ(0, starting.Finish()) << starting.Output();
    EXPECT_EQ(0, starting.CountContaining("sleep "));
}

// KSX_MULTICAST_IF or the setter chooses the interface; what is not the
// host's is reported and changes nothing. A later missing entry keeps the channel.
TEST(EngineMulticastStart, ChannelOnTheFileGroupAndChosenInterfaceSurvivesAMissingEntryAndRefusesGarbage)
{
    const unsigned int loopback = if_nametoindex("lo");
    {
        ksxtest::ScopedEnv chosen("KSX_MULTICAST_IF", " lo ");
        CKesSockEngine engine("interface-test", __KES_SERV_DAEMON, 1);
        EXPECT_EQ(engine.KSEGetMulticast()->KOMGetInterfaceIndex(), loopback);
    }
    std::optional<ksxtest::ScopedEnv> wrong(std::in_place, "KSX_MULTICAST_IF", "eth-nowhere");
    ksxtest::ErrorCapture errors;
    CKesSockEngine engine("discovery-test", __KES_SERV_DAEMON, 1);
    wrong.reset();
    CKesObjMulticast* channel = engine.KSEGetMulticast();
    ASSERT_NE(nullptr, channel);
    EXPECT_NE(KES_INVALID_SOCKET, channel->KOMGetReceiveSocket());
    EXPECT_EQ(kPort, channel->KOMGetMulticastPort());
    EXPECT_EQ(static_cast<unsigned long>(inet_addr(kGroup)), channel->KOMGetMulticastAddressLong());
    EXPECT_EQ(TRUE, channel->KOMGetLoopback());
    EXPECT_EQ(channel->KOMGetInterfaceIndex(), 0u);
    EXPECT_EQ(errors.Count(KES_ERR_MULTICAST_INTERFACE, "CKesSockEngine"), 1);

    EXPECT_EQ(engine.KSESetMulticastInterface("127.0.0.1"), 1);
    EXPECT_EQ(channel->KOMGetInterfaceIndex(), loopback);
    errors.Clear();
    EXPECT_EQ(engine.KSESetMulticastInterface("10.1.2.3"), KES_ERR_MULTICAST_INTERFACE);
    EXPECT_EQ(errors.Count(KES_ERR_MULTICAST_INTERFACE), 1);
    EXPECT_EQ(channel->KOMGetInterfaceIndex(), loopback);
    EXPECT_EQ(engine.KSESetMulticastInterface(""), 1);
    EXPECT_EQ(channel->KOMGetInterfaceIndex(), 0u);

    ksxtest::WriteServiceFile("## nothing here\n");
    EXPECT_EQ(KES_ERR_SERVICE_ENTRY, engine.KSEStartMulticast());
    EXPECT_TRUE(errors.Has(KES_ERR_SERVICE_ENTRY, "CKesSockEngine"));
    EXPECT_EQ(channel, engine.KSEGetMulticast());
    ksxtest::WriteServiceFile(ksxtest::ReadFile(kShippedFile));

    // An undecodable datagram (the packet takes it over) is reported with the reason and the sender.
    auto* bytes = static_cast<unsigned char*>(malloc(5));
    memcpy(bytes, "\xc1garb", 5);
    auto* sender = static_cast<sockaddr_in*>(malloc(sizeof(sockaddr_in)));
    *sender = ksxtest::Ipv4("10.1.2.3", 4000);
    CKesIOWorkPacket packet(channel->KOMGetReceiveSocket(), bytes, 5, &engine,
                            reinterpret_cast<sockaddr*>(sender), sizeof(sockaddr_in));
    EXPECT_EQ(KES_ERR_DECODE, engine.KSEProcessMulticast(&packet));
    errors.Clear();
    engine.KSEProcessIO(&packet);
    ASSERT_EQ(1u, errors.Reports().size());
    EXPECT_EQ(KES_ERR_DECODE, errors.Reports()[0].code);
    EXPECT_EQ("CKesSockEngine", errors.Reports()[0].source);
    EXPECT_EQ("Record cannot be decoded: the encoding is not a map (datagram from 10.1.2.3:4000)",
              errors.Reports()[0].text);
}

// Any host on the link can send the group anything, as fast as it likes. With
// one worker, the reply to the request after the bad datagrams means all were processed.
TEST(EngineMulticastFlood, BadDatagramsGiveAFewReportsASecondNamingTheSenderAndRequestsAreStillAnswered)
{
    CKesSockEngine engine("flood-test", __KES_SERV_DAEMON, 1);
    ksxtest::EventLoopThread loop(engine);
    ASSERT_NE(nullptr, ksxtest::AddServer<CKesObjSockServer>(engine, "Asked", "Lab")); // owned by the engine
    const ksxtest::Bytes good = ksxtest::Encode(*ksxtest::AddressRequest("Asked", "Lab"));
    CKesObjMulticast listener(kGroup, kPort, TRUE); // hears the group as every engine does
    ASSERT_EQ(1, listener.KOMInitialise());
    const int heard = static_cast<int>(listener.KOMGetReceiveSocket());

    const int peer = socket(AF_INET, SOCK_DGRAM, 0);
    ASSERT_GE(peer, 0);
    sockaddr_in self = ksxtest::Ipv4("127.0.0.1", 0);
    socklen_t selfLength = sizeof self;
    ASSERT_EQ(0, bind(peer, reinterpret_cast<sockaddr*>(&self), sizeof self));
    ASSERT_EQ(0, getsockname(peer, reinterpret_cast<sockaddr*>(&self), &selfLength));
    const std::string senderText = "127.0.0.1:" + std::to_string(ntohs(self.sin_port));
    const sockaddr_in group = ksxtest::Ipv4(kGroup, kPort);
    auto sendToGroup = [&](const ksxtest::Bytes& datagram) {
        return sendto(peer, datagram.data(), datagram.size(), 0, reinterpret_cast<const sockaddr*>(&group),
                      sizeof group) == static_cast<ssize_t>(datagram.size());
    };
    // Asks until the server replies: a datagram may be dropped when a buffer is full.
    auto answered = [&] {
        return ksxtest::WaitUntil([&] {
            return sendToGroup(good) && ksxtest::NextDatagram(heard, 100, [](const CKesRecord& record) {
                       return record.KRValueOf("KesSockAddressReply") &&
                              ksxtest::TextOf(record, "KesSockInternalServiceName") ==
                                  "Asked"; // not a bad one
                   });
        });
    };

    CKesRecord serviceless; // a request without its service
    serviceless.KRAddValue("KesSockAddressRequest", "KesSockAddressRequest");
    CKesRecord numbered; // a reply whose service is a number
    numbered.KRAddValue("KesSockAddressReply", "KesSockAddressReply");
    numbered.KRAddValue("KesSockInternalServiceName", CKesAtom(7));
    const ksxtest::Bytes cut(good.begin(), good.begin() + static_cast<long>(good.size() / 2));
    const std::vector<ksxtest::Bytes> bad = {
        {0xc1, 'g', 'a', 'r', 'b'}, cut, ksxtest::Encode(serviceless), ksxtest::Encode(numbered)};

    ksxtest::ErrorCapture errors;
    const auto start = std::chrono::steady_clock::now();
    for (int i = 0; i < 1000; ++i) ASSERT_TRUE(sendToGroup(bad[i % bad.size()]));
    ASSERT_TRUE(answered());
    KesFlushLimitedReports();
    const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    close(peer);
    engine.KNSafeExit();

    // Per source line the first few of each window and a count of the rest; a window may predate the test.
    const double windows = seconds / (KES_LIMITED_REPORT_WINDOW_MS / 1000.0 * KesTimeScale()) + 2;
    const auto reports = errors.Reports();
    std::map<std::pair<std::string, int>, int> perLine;
    int counted = 0;
    for (const auto& report : reports) {
        ++perLine[{report.source, report.line}];
        EXPECT_NE(std::string::npos, report.text.find(senderText)) << report.text;
        counted += report.text.find("similar reports suppressed") != std::string::npos;
    }
    EXPECT_FALSE(reports.empty()) << "undecodable datagrams are reported";
    EXPECT_GT(counted, 0) << "what was held back is counted";
    for (const auto& [line, count] : perLine)
        EXPECT_LE(count, (KES_LIMITED_REPORTS + 1) * windows)
            << line.first << ":" << line.second << " in " << seconds << " s";
}

} // namespace
