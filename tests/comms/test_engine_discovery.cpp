// The engine's multicast start-up: twelve attempts then exit, the channel on
// the file's group and its interface, and what bad datagrams on it do, one or
// a flood of them.
#include <arpa/inet.h>
#include <net/if.h>

#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <cstring>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "CKesIOWorkPacket.h"
#include "CKesObjMulticast.h"
#include "CKesObjSockServer.h"
#include "CKesRecord.h"
#include "CKesSockEnd.h"
#include "CKesSockEngine.h"
#include "KesDaemonHarness.h"
#include "KesEngineHarness.h"
#include "KesTestSupport.h"
#include "KesWirePeer.h"

namespace {

const std::string kShippedFile = std::string(KSX_SOURCE_DIR) + "/etc/ServiceData.cfg.default";
// The group and port of the shipped service file.
const char* const kGroup = "234.5.6.7";
constexpr int kPort = 23456;

// The host constructs an engine and prints "sleep <ms>" for every pause. A
// multicast interface that is not the host's is reported once, not per attempt.
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
    EXPECT_EQ(1, failing.CountContaining("KSX-ERROR -220469 CKesSockEngine:"));
    EXPECT_EQ(1, failing.CountContaining("Unable to access the multicast service, exiting."));
    EXPECT_EQ(1, failing.CountContaining("KSX-ERROR -220442 CKesSockEngine:"));
    EXPECT_EQ(1, failing.CountContaining("KSX_MULTICAST_IF \"eth-nowhere\" is neither"));

    ksxtest::WriteServiceFile(ksxtest::ReadFile(kShippedFile));
    ksxtest::Daemon starting{"ksx_engine_multicast_retry", {}, ksxtest::KsxHome(), "0.0001", true};
    EXPECT_EQ(0, starting.Finish()) << starting.Output();
    EXPECT_EQ(0, starting.CountContaining("sleep "));
}

// KSX_MULTICAST_IF chooses the channel's interface; a value that is not the
// host's leaves the default (reported once, above). The setter changes the
// open channel and refuses what is not the host's, keeping the interface.
TEST(EngineMulticastStart, TheInterfaceComesFromTheEnvironmentOrTheSetterAndRefusalsKeepIt)
{
    const unsigned int loopback = if_nametoindex("lo");
    {
        ksxtest::ScopedEnv chosen("KSX_MULTICAST_IF", " lo ");
        CKesSockEngine engine("interface-test", __KES_SERV_DAEMON, 1);
        EXPECT_EQ(engine.KSEGetMulticast()->KOMGetInterfaceIndex(), loopback);
    }
    ksxtest::ScopedEnv wrong("KSX_MULTICAST_IF", "eth-nowhere");
    ksxtest::ErrorCapture errors;
    CKesSockEngine engine("interface-test", __KES_SERV_DAEMON, 1);
    CKesObjMulticast* channel = engine.KSEGetMulticast();
    ASSERT_NE(nullptr, channel);
    EXPECT_NE(KES_INVALID_SOCKET, channel->KOMGetReceiveSocket());
    EXPECT_EQ(channel->KOMGetInterfaceIndex(), 0u);
    EXPECT_EQ(errors.Count(-220442, "CKesSockEngine"), 1);

    EXPECT_EQ(engine.KSESetMulticastInterface("127.0.0.1"), 1);
    EXPECT_EQ(channel->KOMGetInterfaceIndex(), loopback);
    errors.Clear();
    EXPECT_EQ(engine.KSESetMulticastInterface("10.1.2.3"), -220442);
    EXPECT_EQ(errors.Count(-220442), 1);
    EXPECT_EQ(channel->KOMGetInterfaceIndex(), loopback);
    EXPECT_EQ(engine.KSESetMulticastInterface(""), 1);
    EXPECT_EQ(channel->KOMGetInterfaceIndex(), 0u);
}

TEST(EngineMulticastStart, ChannelIsOpenOnTheFileGroupSurvivesALaterMissingEntryAndRefusesGarbage)
{
    CKesSockEngine engine("discovery-test", __KES_SERV_DAEMON, 1);
    CKesObjMulticast* channel = engine.KSEGetMulticast();
    ASSERT_NE(nullptr, channel);
    EXPECT_NE(KES_INVALID_SOCKET, channel->KOMGetReceiveSocket());
    EXPECT_EQ(kPort, channel->KOMGetMulticastPort());
    EXPECT_EQ(static_cast<unsigned long>(inet_addr(kGroup)), channel->KOMGetMulticastAddressLong());
    EXPECT_EQ(TRUE, channel->KOMGetLoopback());

    ksxtest::WriteServiceFile("## nothing here\n");
    ksxtest::ErrorCapture errors;
    EXPECT_EQ(-220439, engine.KSEStartMulticast());
    EXPECT_TRUE(errors.Has(-220439, "CKesSockEngine"));
    EXPECT_EQ(channel, engine.KSEGetMulticast());
    ksxtest::WriteServiceFile(ksxtest::ReadFile(kShippedFile));

    // An undecodable datagram (taken over by the packet with its sender)
    // gives the decoder's code, which the receive path reports with the
    // reason and the sender.
    auto* bytes = static_cast<unsigned char*>(malloc(5));
    memcpy(bytes, "\xc1garb", 5);
    auto* sender = static_cast<sockaddr_in*>(calloc(1, sizeof(sockaddr_in)));
    sender->sin_family = AF_INET;
    sender->sin_port = htons(4000);
    sender->sin_addr.s_addr = inet_addr("10.1.2.3");
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

// Any host on the link can send the group anything, as fast as it likes.
// One worker: the server's reply to the request that follows the bad
// datagrams means that every one of them that was not dropped has been
// processed.
TEST(EngineMulticastFlood, BadDatagramsGiveAFewReportsASecondNamingTheSenderAndRequestsAreStillAnswered)
{
    CKesSockEngine engine("flood-test", __KES_SERV_DAEMON, 1);
    ksxtest::EventLoopThread loop(engine);
    ASSERT_NE(nullptr, ksxtest::AddServer<CKesObjSockServer>(engine, "Asked", "Lab")); // owned by the engine
    CKesSockEnd asked;
    asked.KSESetServiceName(strdup("Asked"));
    asked.KSESetEndPointDomain(strdup("Lab"));
    std::unique_ptr<CKesRecord> request(asked.KSEGetAddressRequestPacket());
    ASSERT_NE(nullptr, request);
    const ksxtest::Bytes good = ksxtest::Encode(*request);
    CKesObjMulticast listener(kGroup, kPort, TRUE); // hears the group as every engine does
    ASSERT_EQ(1, listener.KOMInitialise());
    const int heard = static_cast<int>(listener.KOMGetReceiveSocket());

    const int peer = socket(AF_INET, SOCK_DGRAM, 0);
    ASSERT_GE(peer, 0);
    sockaddr_in self{};
    self.sin_family = AF_INET;
    self.sin_addr.s_addr = inet_addr("127.0.0.1");
    socklen_t selfLength = sizeof self;
    ASSERT_EQ(0, bind(peer, reinterpret_cast<sockaddr*>(&self), sizeof self));
    ASSERT_EQ(0, getsockname(peer, reinterpret_cast<sockaddr*>(&self), &selfLength));
    const std::string senderText = "127.0.0.1:" + std::to_string(ntohs(self.sin_port));
    sockaddr_in group{};
    group.sin_family = AF_INET;
    group.sin_port = htons(kPort);
    group.sin_addr.s_addr = inet_addr(kGroup);
    auto sendToGroup = [&](const ksxtest::Bytes& datagram) {
        return sendto(peer, datagram.data(), datagram.size(), 0, reinterpret_cast<sockaddr*>(&group),
                      sizeof group) == static_cast<ssize_t>(datagram.size());
    };
    // Asks until the server replies: a datagram may be dropped when a
    // socket's buffer is full, as on any link.
    auto answered = [&] {
        return ksxtest::WaitUntil([&] {
            if (!sendToGroup(good)) return false;
            unsigned char buffer[65536];
            while (ksxtest::Readable(heard, 100)) {
                const ssize_t length = recv(heard, buffer, sizeof buffer, 0);
                CKesRecord record;
                if (length > 0 && record.KOMDecode(buffer, static_cast<unsigned int>(length)) == 1 &&
                    record.KRValueOf("KesSockAddressReply") != nullptr &&
                    ksxtest::TextOf(record, "KesSockInternalServiceName") ==
                        "Asked") // not one of the bad ones
                    return true;
            }
            return false;
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

    // Per source line at most the first few of each window and one line with
    // the count of the rest; a window may have begun before this test did.
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
