// The engine's multicast start-up and the dispatch of what arrives on the
// multicast channel.
#include <sys/wait.h>

#include <cstdio>
#include <cstring>
#include <string>

#include <gtest/gtest.h>

#include "CKesAtom.h"
#include "CKesIOWorkPacket.h"
#include "CKesObjMulticast.h"
#include "CKesRecord.h"
#include "CKesSockEnd.h"
#include "CKesSockEngine.h"
#include "KesTestSupport.h"

namespace {

struct HostRun {
    int status = -1;
    std::string errors;
};

// Runs a host program with its standard error captured.
HostRun RunHost(const std::string& name, const std::string& environment)
{
    HostRun run;
    std::string command = environment + " " + ksxtest::HostProgram(name) + " 2>&1 >/dev/null";
    FILE* pipe = popen(command.c_str(), "r");
    if (pipe == nullptr) return run;
    char buffer[4096];
    size_t got;
    while ((got = fread(buffer, 1, sizeof(buffer), pipe)) > 0) run.errors.append(buffer, got);
    run.status = pclose(pipe);
    return run;
}

int Occurrences(const std::string& text, const std::string& what)
{
    int count = 0;
    for (size_t at = text.find(what); at != std::string::npos; at = text.find(what, at + what.size())) ++count;
    return count;
}

TEST(EngineMulticastStart, ProcessEndsAfterTwelfthFailedAttemptHavingPausedElevenTimes)
{
    ksxtest::WriteServiceFile("SERVICE: Other DOMAIN: ANY_KES_DOMAIN ADDRESS: 234.5.6.7 PORT: 23456 DYNAMIC: NO\n");
    HostRun run = RunHost("ksx_engine_multicast_retry", "KSX_TIME_SCALE=0.0001");

    ASSERT_TRUE(WIFEXITED(run.status)) << run.errors;
    EXPECT_EQ(CKesSockEngine::ms_MulticastUnavailableExit, WEXITSTATUS(run.status));
    EXPECT_EQ(12, Occurrences(run.errors, "Server for service MulticastService is not available...\n"));
    EXPECT_EQ(11, Occurrences(run.errors, "sleep "));
    EXPECT_EQ(11, Occurrences(run.errors, "sleep 5000\n"));
    // Each failure is reported where it happens and again by the retry loop.
    EXPECT_EQ(24, Occurrences(run.errors, "KSX-ERROR -220439 CKesSockEngine:"));
    EXPECT_EQ(1, Occurrences(run.errors, "KSX-ERROR -220469 CKesSockEngine:"));
    EXPECT_EQ(1, Occurrences(run.errors, "Unable to access the multicast service, exiting."));
}

TEST(EngineMulticastStart, ProcessWithTheMulticastEntryStartsWithoutPausing)
{
    ksxtest::WriteServiceFile(ksxtest::ReadFile(std::string(KSX_SOURCE_DIR) + "/etc/ServiceData.cfg.default"));
    HostRun run = RunHost("ksx_engine_multicast_retry", "KSX_TIME_SCALE=0.0001");
    ASSERT_TRUE(WIFEXITED(run.status)) << run.errors;
    EXPECT_EQ(0, WEXITSTATUS(run.status)) << run.errors;
    EXPECT_EQ(0, Occurrences(run.errors, "sleep "));
}

TEST(EngineMulticastStart, ConstructedEngineHasItsChannelOpenOnTheServiceFileGroup)
{
    CKesSockEngine engine("discovery-test", __KES_SERV_DAEMON, 1);
    CKesObjMulticast* channel = engine.KSEGetMulticast();
    ASSERT_NE(nullptr, channel);
    EXPECT_NE(KES_INVALID_SOCKET, channel->KOMGetReceiveSocket());
    EXPECT_EQ(23456, channel->KOMGetMulticastPort());
    char* group = channel->KOMGetMulticastIPAddress();
    ASSERT_NE(nullptr, group);
    EXPECT_STREQ("234.5.6.7", group);
    free(group);
    EXPECT_EQ(TRUE, channel->KOMGetLoopback());
}

TEST(EngineMulticastStart, MissingEntryIsReportedAndAnotherAttemptKeepsTheChannel)
{
    CKesSockEngine engine("discovery-test", __KES_SERV_DAEMON, 1);
    CKesObjMulticast* before = engine.KSEGetMulticast();
    ksxtest::WriteServiceFile("## nothing here\n");
    ksxtest::ErrorCapture errors;
    testing::internal::CaptureStderr();
    EXPECT_EQ(-220439, engine.KSEStartMulticast());
    std::string written = testing::internal::GetCapturedStderr();
    EXPECT_NE(std::string::npos, written.find("Server for service MulticastService is not available...\n"));
    EXPECT_TRUE(errors.Has(-220439, "CKesSockEngine"));
    EXPECT_EQ(before, engine.KSEGetMulticast());
    ksxtest::WriteServiceFile(ksxtest::ReadFile(std::string(KSX_SOURCE_DIR) + "/etc/ServiceData.cfg.default"));
}

// ---- dispatch of multicast records ---------------------------------------

CKesIOWorkPacket* PacketOf(CKesRecord& record, CKesSockEngine& engine)
{
    unsigned char* encoded = nullptr;
    unsigned int length = 0;
    record.KOMEncode(&encoded, &length);
    return new CKesIOWorkPacket(engine.KSEGetMulticast()->KOMGetReceiveSocket(), encoded, length, &engine, nullptr, 0);
}

std::string TraceOfDispatch(CKesSockEngine& engine, CKesRecord& record, int* result)
{
    CKesIOWorkPacket* packet = PacketOf(record, engine);
    ksxtest::ScopedDebugLevel level(4);
    testing::internal::CaptureStdout();
    *result = engine.KSEProcessMulticast(packet);
    std::string trace = testing::internal::GetCapturedStdout();
    delete packet;
    return trace;
}

TEST(EngineMulticastDispatch, RecordThatIsBothReplyAndRequestIsTakenAsReply)
{
    CKesSockEngine engine("discovery-test", __KES_SERV_DAEMON, 1);
    CKesRecord record;
    record.KRAddValue(CKesSockEnd::ms_AddressRequest, "1");
    record.KRAddValue(CKesSockEnd::ms_AddressReply, "1");
    record.KRAddValue(CKesSockEnd::ms_ServiceNameField, "NobodyServesThis");
    int result = 0;
    std::string trace = TraceOfDispatch(engine, record, &result);
    EXPECT_EQ(1, result);
    EXPECT_NE(std::string::npos, trace.find("CKesSockEngine::KSEProcessAddressReply()"));
    EXPECT_EQ(std::string::npos, trace.find("CKesSockEngine::KSEProcessAddressRequest()"));
}

TEST(EngineMulticastDispatch, RequestForAServiceWithoutServerEndsQuietly)
{
    CKesSockEngine engine("discovery-test", __KES_SERV_DAEMON, 1);
    CKesRecord record;
    record.KRAddValue(CKesSockEnd::ms_AddressRequest, "1");
    record.KRAddValue(CKesSockEnd::ms_ServiceNameField, "NobodyServesThis");
    int result = 0;
    std::string trace = TraceOfDispatch(engine, record, &result);
    EXPECT_EQ(1, result);
    EXPECT_NE(std::string::npos, trace.find("CKesSockEngine::KSEProcessAddressRequest()"));
    EXPECT_EQ(std::string::npos, trace.find("Forwarding AddrReq"));
}

TEST(EngineMulticastDispatch, OtherTrafficEndsInTheTrafficHandler)
{
    CKesSockEngine engine("discovery-test", __KES_SERV_DAEMON, 1);
    CKesRecord record;
    record.KRAddValue("Anything", "else");
    int result = 0;
    std::string trace = TraceOfDispatch(engine, record, &result);
    EXPECT_EQ(1, result);
    EXPECT_NE(std::string::npos, trace.find("CKesSockEngine::KSEProcessMulticastTraffic()"));
}

TEST(EngineMulticastDispatch, UndecodableDatagramReachesNoHandlerAndReturnsTheDecodeCode)
{
    CKesSockEngine engine("discovery-test", __KES_SERV_DAEMON, 1);
    auto* bytes = static_cast<unsigned char*>(malloc(5));
    memcpy(bytes, "\xc1garb", 5);
    CKesIOWorkPacket packet(engine.KSEGetMulticast()->KOMGetReceiveSocket(), bytes, 5, &engine, nullptr, 0);
    ksxtest::ScopedDebugLevel level(4);
    testing::internal::CaptureStdout();
    int result = engine.KSEProcessMulticast(&packet);
    std::string trace = testing::internal::GetCapturedStdout();
    EXPECT_LT(result, 0);
    EXPECT_EQ(std::string::npos, trace.find("Got multicast data"));
}

} // namespace
