// The engine's multicast start-up and the dispatch of what arrives on the
// multicast channel.
#include <arpa/inet.h>

#include <cstring>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "CKesIOWorkPacket.h"
#include "CKesObjMulticast.h"
#include "CKesRecord.h"
#include "CKesSockEnd.h"
#include "CKesSockEngine.h"
#include "KesDaemonHarness.h"
#include "KesTestSupport.h"

namespace {

const std::string kShippedFile = std::string(KSX_SOURCE_DIR) + "/etc/ServiceData.cfg.default";

// The host constructs an engine and prints "sleep <ms>" for every pause.
TEST(EngineMulticastStart, ProcessEndsAfterTwelfthFailedAttemptHavingPausedElevenTimesButStartsAtOnceWithTheEntry)
{
    ksxtest::WriteServiceFile("SERVICE: Other DOMAIN: ANY_KES_DOMAIN ADDRESS: 234.5.6.7 PORT: 23456 DYNAMIC: NO\n");
    ksxtest::Daemon failing{"ksx_engine_multicast_retry", {}, ksxtest::KsxHome(), "0.0001", true};
    EXPECT_EQ(CKesSockEngine::ms_MulticastUnavailableExit, failing.Finish()) << failing.Output();
    EXPECT_EQ(12, failing.Count("Server for service MulticastService is not available..."));
    EXPECT_EQ(11, failing.CountContaining("sleep "));
    EXPECT_EQ(11, failing.Count("sleep 5000"));
    // Each failure is reported where it happens and again by the retry loop.
    EXPECT_EQ(24, failing.CountContaining("KSX-ERROR -220439 CKesSockEngine:"));
    EXPECT_EQ(1, failing.CountContaining("KSX-ERROR -220469 CKesSockEngine:"));
    EXPECT_EQ(1, failing.CountContaining("Unable to access the multicast service, exiting."));

    ksxtest::WriteServiceFile(ksxtest::ReadFile(kShippedFile));
    ksxtest::Daemon starting{"ksx_engine_multicast_retry", {}, ksxtest::KsxHome(), "0.0001", true};
    EXPECT_EQ(0, starting.Finish()) << starting.Output();
    EXPECT_EQ(0, starting.CountContaining("sleep "));
}

TEST(EngineMulticastStart, ChannelIsOpenOnTheFileGroupAndALaterMissingEntryIsReportedButKeepsIt)
{
    CKesSockEngine engine("discovery-test", __KES_SERV_DAEMON, 1);
    CKesObjMulticast* channel = engine.KSEGetMulticast();
    ASSERT_NE(nullptr, channel);
    EXPECT_NE(KES_INVALID_SOCKET, channel->KOMGetReceiveSocket());
    EXPECT_EQ(23456, channel->KOMGetMulticastPort());
    EXPECT_EQ(static_cast<unsigned long>(inet_addr("234.5.6.7")), channel->KOMGetMulticastAddressLong());
    EXPECT_EQ(TRUE, channel->KOMGetLoopback());

    ksxtest::WriteServiceFile("## nothing here\n");
    ksxtest::ErrorCapture errors;
    testing::internal::CaptureStderr();
    EXPECT_EQ(-220439, engine.KSEStartMulticast());
    EXPECT_NE(std::string::npos, testing::internal::GetCapturedStderr().find(
                                     "Server for service MulticastService is not available...\n"));
    EXPECT_TRUE(errors.Has(-220439, "CKesSockEngine"));
    EXPECT_EQ(channel, engine.KSEGetMulticast());
    ksxtest::WriteServiceFile(ksxtest::ReadFile(kShippedFile));
}

// The trace of one dispatch of these bytes as a multicast datagram (taken
// over by the packet) and the dispatch's result.
std::string TraceOfDispatch(unsigned char* bytes, unsigned int length, int* result)
{
    CKesSockEngine engine("discovery-test", __KES_SERV_DAEMON, 1);
    CKesIOWorkPacket packet(engine.KSEGetMulticast()->KOMGetReceiveSocket(), bytes, length, &engine, nullptr, 0);
    ksxtest::ScopedDebugLevel level(4);
    testing::internal::CaptureStdout();
    *result = engine.KSEProcessMulticast(&packet);
    return testing::internal::GetCapturedStdout();
}

struct DispatchCase {
    const char* what;
    std::vector<const char*> fields;  // names, each with the value "1"
    const char* expected;             // trace text that must appear
    const char* absent;               // trace text that must not
};

const DispatchCase kDispatchCases[] = {
    {"both reply and request: taken as reply", {CKesSockEnd::ms_AddressRequest, CKesSockEnd::ms_AddressReply,
      CKesSockEnd::ms_ServiceNameField}, "CKesSockEngine::KSEProcessAddressReply()",
     "CKesSockEngine::KSEProcessAddressRequest()"},
    {"request for a service without server: ends quietly", {CKesSockEnd::ms_AddressRequest,
      CKesSockEnd::ms_ServiceNameField}, "CKesSockEngine::KSEProcessAddressRequest()", "Forwarding AddrReq"},
    {"other traffic", {"Anything"}, "CKesSockEngine::KSEProcessMulticastTraffic()", "KSEProcessAddress"},
};

TEST(EngineMulticastDispatch, EachKindOfRecordReachesItsHandlerOnlyAndGarbageReachesNone)
{
    for (const DispatchCase& dispatch : kDispatchCases) {
        SCOPED_TRACE(dispatch.what);
        CKesRecord record;
        for (const char* field : dispatch.fields) record.KRAddValue(field, "1");
        unsigned char* bytes = nullptr;
        unsigned int length = 0;
        ASSERT_EQ(1, record.KOMEncode(&bytes, &length));
        int result = 0;
        const std::string trace = TraceOfDispatch(bytes, length, &result);
        EXPECT_EQ(1, result);
        EXPECT_NE(std::string::npos, trace.find(dispatch.expected)) << trace;
        EXPECT_EQ(std::string::npos, trace.find(dispatch.absent)) << trace;
    }
    auto* bytes = static_cast<unsigned char*>(malloc(5));
    memcpy(bytes, "\xc1garb", 5);
    int result = 0;
    const std::string trace = TraceOfDispatch(bytes, 5, &result);
    EXPECT_LT(result, 0) << "the decoder's code";
    EXPECT_EQ(std::string::npos, trace.find("Got multicast data")) << trace;
}

} // namespace
