// The engine's multicast start-up: twelve attempts then exit, the channel on
// the file's group, and what a bad datagram on it does.
#include <arpa/inet.h>

#include <cstring>
#include <string>

#include <gtest/gtest.h>

#include "CKesIOWorkPacket.h"
#include "CKesObjMulticast.h"
#include "CKesSockEngine.h"
#include "KesDaemonHarness.h"
#include "KesTestSupport.h"

namespace {

const std::string kShippedFile = std::string(KSX_SOURCE_DIR) + "/etc/ServiceData.cfg.default";
// The group and port of the shipped service file.
const char* const kGroup = "234.5.6.7";
constexpr int kPort = 23456;

// The host constructs an engine and prints "sleep <ms>" for every pause.
TEST(EngineMulticastStart, ProcessEndsAfterTwelfthFailedAttemptHavingPausedElevenTimesButStartsAtOnceWithTheEntry)
{
    ksxtest::WriteServiceFile("SERVICE: Other DOMAIN: ANY_KES_DOMAIN ADDRESS: 234.5.6.7 PORT: 23456 DYNAMIC: NO\n");
    ksxtest::Daemon failing{"ksx_engine_multicast_retry", {}, ksxtest::KsxHome(), "0.0001", true};
    EXPECT_EQ(69, failing.Finish()) << failing.Output();
    EXPECT_EQ(12, failing.Count("Server for service MulticastService is not available..."));
    EXPECT_EQ(11, failing.CountContaining("sleep "));
    EXPECT_EQ(11, failing.Count("sleep 5000"));
    EXPECT_EQ(1, failing.CountContaining("KSX-ERROR -220469 CKesSockEngine:"));
    EXPECT_EQ(1, failing.CountContaining("Unable to access the multicast service, exiting."));

    ksxtest::WriteServiceFile(ksxtest::ReadFile(kShippedFile));
    ksxtest::Daemon starting{"ksx_engine_multicast_retry", {}, ksxtest::KsxHome(), "0.0001", true};
    EXPECT_EQ(0, starting.Finish()) << starting.Output();
    EXPECT_EQ(0, starting.CountContaining("sleep "));
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
    CKesIOWorkPacket packet(channel->KOMGetReceiveSocket(), bytes, 5, &engine, reinterpret_cast<sockaddr*>(sender),
                            sizeof(sockaddr_in));
    EXPECT_EQ(KES_ERR_DECODE, engine.KSEProcessMulticast(&packet));
    errors.Clear();
    engine.KSEProcessIO(&packet);
    ASSERT_EQ(1u, errors.Reports().size());
    EXPECT_EQ(KES_ERR_DECODE, errors.Reports()[0].code);
    EXPECT_EQ("CKesSockEngine", errors.Reports()[0].source);
    EXPECT_EQ("Record cannot be decoded: the encoding is not a map (datagram from 10.1.2.3:4000)",
              errors.Reports()[0].text);
}

} // namespace
