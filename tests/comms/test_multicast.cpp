// The multicast channel: group validation, construction, the send and joined
// receive sockets, one record per datagram, and the one-line dump.
#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <cstdlib>
#include <cstring>
#include <dirent.h>
#include <memory>
#include <netinet/in.h>
#include <poll.h>
#include <string>
#include <sys/socket.h>
#include <unistd.h>

#include "CKesObjMulticast.h"
#include "CKesRecord.h"
#include "CKesSockEnd.h"
#include "KesTestSupport.h"
#include "KesWirePeer.h"

namespace {

constexpr int kPort = 23456;
const char* const kGroup = "234.5.6.7";

// Waits (deadlock guard only) for one datagram on the socket; its bytes, or
// an empty text when none came.
std::string ReceiveDatagram(unsigned int socket)
{
    pollfd ready{static_cast<int>(socket), POLLIN, 0};
    if (poll(&ready, 1, 10000) != 1)
        return {};
    char buffer[65536];
    const ssize_t length = recv(static_cast<int>(socket), buffer, sizeof buffer, 0);
    return length > 0 ? std::string(buffer, static_cast<size_t>(length)) : std::string();
}

bool Readable(unsigned int socket) { return ksxtest::Readable(static_cast<int>(socket), 0); }

int OpenDescriptors()
{
    int count = 0;
    DIR* dir = opendir("/proc/self/fd");
    while (dir != nullptr && readdir(dir) != nullptr)
        ++count;
    if (dir != nullptr)
        closedir(dir);
    return count;
}

std::unique_ptr<CKesRecord> SampleRecord()
{
    auto record = std::make_unique<CKesRecord>();
    record->KRAddValue("KesSockInternalDataField", "KesSockAddressRequest");
    record->KRAddValue("KesSockInternalServiceName", "Inventory");
    record->KRAddValue("count", CKesAtom(123456));
    record->KRAddValue("ratio", CKesAtom(-2.5));
    record->KRAddValue("blob", CKesAtom("\x00\x01\xff", 3));
    return record;
}

// A record's encoding: what one datagram must hold, byte for byte.
std::string Encoded(const CKesRecord& record)
{
    const ksxtest::Bytes bytes = ksxtest::Encode(record);
    return std::string(bytes.begin(), bytes.end());
}

std::string Dump(CKesObjMulticast& channel)
{
    testing::internal::CaptureStdout();
    channel.KOMDump();
    return testing::internal::GetCapturedStdout();
}

TEST(MulticastAddress, GroupMustLieFrom224To238WithANonNegativePort)
{
    ksxtest::ErrorCapture errors;
    CKesObjMulticast channel;
    EXPECT_EQ(channel.KOMSetAddress("224.0.0.0", 1), 1);
    EXPECT_EQ(channel.KOMSetAddress("238.255.255.255", 0), 1) << "port 0 is accepted";
    for (const char* refused : {"223.255.255.255", "239.0.0.0", "255.255.255.255", "no.such.group", ""}) {
        errors.Clear();
        EXPECT_EQ(channel.KOMSetAddress(refused, 5000), -220458) << refused;
        EXPECT_TRUE(errors.Has(-220458, "CKesObjMulticast")) << refused;
        EXPECT_EQ(errors.Reports().at(0).text, refused);
    }
    EXPECT_EQ(channel.KOMSetAddress("230.1.1.1", -1), -220458);
    EXPECT_EQ(channel.KOMSetAddress(static_cast<const char*>(nullptr), 1), -220552);
    EXPECT_EQ(channel.KOMSetAddress(static_cast<sockaddr*>(nullptr)), -220552);

    // Refusals leave the last accepted group in place.
    char* text = channel.KOMGetMulticastIPAddress();
    ASSERT_NE(text, nullptr);
    EXPECT_STREQ(text, "238.255.255.255");
    free(text);
    EXPECT_EQ(channel.KOMGetMulticastPort(), 0);
}

TEST(MulticastAddress, AcceptedGroupReadsBackInEveryForm)
{
    CKesObjMulticast channel;
    EXPECT_EQ(channel.KOMGetMulticastPort(), 0);
    EXPECT_EQ(channel.KOMGetMulticastAddressLong(), 0ul);
    EXPECT_EQ(channel.KOMGetMulticastIPAddress(), nullptr);

    ASSERT_EQ(channel.KOMSetAddress("225.1.2.3", 7000), 1);
    char* text = channel.KOMGetMulticastIPAddress();
    ASSERT_NE(text, nullptr);
    EXPECT_STREQ(text, "225.1.2.3");
    free(text);
    EXPECT_EQ(channel.KOMGetMulticastPort(), 7000);
    EXPECT_EQ(channel.KOMGetMulticastAddressLong(), static_cast<unsigned long>(inet_addr("225.1.2.3")));
    const auto* block = reinterpret_cast<const sockaddr_in*>(channel.KOMGetMulticastAddress());
    EXPECT_EQ(block->sin_family, AF_INET);
    EXPECT_EQ(block->sin_port, htons(7000));

    // A block handed over is kept as it is (and freed by the channel).
    auto* own = static_cast<sockaddr_in*>(calloc(1, sizeof(sockaddr_in)));
    own->sin_family = AF_INET;
    own->sin_port = htons(9);
    own->sin_addr.s_addr = htonl(INADDR_BROADCAST);
    EXPECT_EQ(channel.KOMSetAddress(reinterpret_cast<sockaddr*>(own)), 1);
    EXPECT_EQ(channel.KOMGetMulticastAddress(), reinterpret_cast<sockaddr*>(own));
    EXPECT_EQ(channel.KOMGetMulticastIPAddress(), nullptr) << "all ones has no dotted text";
    EXPECT_EQ(channel.KOMGetMulticastPort(), 9);
}

TEST(MulticastConstruction, LoopbackDefaultsAndEndpointAddressIsCopied)
{
    ksxtest::ErrorCapture errors;
    CKesObjMulticast plain;
    EXPECT_EQ(plain.KOMGetLoopback(), TRUE);
    EXPECT_EQ(plain.KOMGetSendSocket(), KES_INVALID_SOCKET);
    EXPECT_EQ(plain.KOMGetReceiveSocket(), KES_INVALID_SOCKET);

    CKesObjMulticast fromText(kGroup, kPort, FALSE);
    EXPECT_EQ(fromText.KOMGetLoopback(), FALSE);
    EXPECT_EQ(fromText.KOMGetMulticastPort(), kPort);

    auto endpoint = std::make_unique<CKesSockEnd>();
    ASSERT_EQ(endpoint->KSESetEndPointAddress("236.0.0.9", 4100), 1);
    CKesObjMulticast fromEndpoint(endpoint.get());
    endpoint.reset(); // the channel keeps no reference to it
    EXPECT_EQ(fromEndpoint.KOMGetLoopback(), FALSE);
    EXPECT_EQ(fromEndpoint.KOMGetMulticastPort(), 4100);
    EXPECT_EQ(fromEndpoint.KOMGetMulticastAddressLong(), static_cast<unsigned long>(inet_addr("236.0.0.9")));
    EXPECT_EQ(errors.Reports().size(), 0u);

    CKesObjMulticast fromNull(static_cast<CKesSockEnd*>(nullptr));
    EXPECT_EQ(errors.Count(-220552, "CKesObjMulticast"), 1);
    CKesSockEnd noAddress;
    CKesObjMulticast fromEmpty(&noAddress);
    EXPECT_EQ(errors.Count(-220552, "CKesObjMulticast"), 2);
    EXPECT_EQ(fromEmpty.KOMGetMulticastAddress(), nullptr);
    CKesObjMulticast fromBadText("10.0.0.1", kPort, TRUE);
    EXPECT_EQ(errors.Count(-220552, "CKesObjMulticast"), 3);
    EXPECT_EQ(fromBadText.KOMGetMulticastAddress(), nullptr);
}

TEST(MulticastInitialise, OpensASendSocketAndAReceiveSocketJoinedToTheGroup)
{
    CKesObjMulticast none;
    EXPECT_EQ(none.KOMInitialise(), -220458);
    EXPECT_EQ(none.KOMGetSendSocket(), KES_INVALID_SOCKET);
    EXPECT_EQ(none.KOMGetReceiveSocket(), KES_INVALID_SOCKET);

    for (__boolean loopback : {TRUE, FALSE}) {
        CKesObjMulticast channel(kGroup, kPort, loopback);
        ASSERT_EQ(channel.KOMInitialise(), 1);
        const int send = static_cast<int>(channel.KOMGetSendSocket());
        const int receive = static_cast<int>(channel.KOMGetReceiveSocket());
        unsigned char loop = 9;
        socklen_t size = sizeof loop;
        ASSERT_EQ(getsockopt(send, IPPROTO_IP, IP_MULTICAST_LOOP, &loop, &size), 0);
        EXPECT_EQ(loop, loopback == TRUE ? 1 : 0);
        int reuse = 0;
        size = sizeof reuse;
        ASSERT_EQ(getsockopt(receive, SOL_SOCKET, SO_REUSEADDR, &reuse, &size), 0);
        EXPECT_NE(reuse, 0);
        sockaddr_in bound{};
        size = sizeof bound;
        ASSERT_EQ(getsockname(receive, reinterpret_cast<sockaddr*>(&bound), &size), 0);
        EXPECT_EQ(ntohs(bound.sin_port), kPort);
    }
}

TEST(MulticastInitialise, FailureLeavesBothSocketsInvalidAndMayBeRetried)
{
    // A socket on the any address and the group's port, without address
    // reuse, makes both binds of the receive socket fail.
    const int blocker = socket(AF_INET, SOCK_DGRAM, 0);
    ASSERT_GE(blocker, 0);
    sockaddr_in any{};
    any.sin_family = AF_INET;
    any.sin_port = htons(kPort);
    ASSERT_EQ(bind(blocker, reinterpret_cast<sockaddr*>(&any), sizeof any), 0);

    ksxtest::ErrorCapture errors;
    CKesObjMulticast channel(kGroup, kPort, TRUE);
    const int before = OpenDescriptors();
    EXPECT_EQ(channel.KOMInitialise(), -220460);
    EXPECT_EQ(channel.KOMGetSendSocket(), KES_INVALID_SOCKET);
    EXPECT_EQ(channel.KOMGetReceiveSocket(), KES_INVALID_SOCKET);
    EXPECT_EQ(OpenDescriptors(), before) << "the failed attempt leaked a socket";
    EXPECT_TRUE(errors.Has(-220460, "CKesObjMulticast"));
    EXPECT_EQ(channel.KOMGetMulticastPort(), kPort) << "the address stays for a retry";

    close(blocker);
    EXPECT_EQ(channel.KOMInitialise(), 1);
    EXPECT_NE(channel.KOMGetSendSocket(), KES_INVALID_SOCKET);
    EXPECT_NE(channel.KOMGetReceiveSocket(), KES_INVALID_SOCKET);
    const int open = OpenDescriptors();
    EXPECT_EQ(channel.KOMInitialise(), 1);
    EXPECT_EQ(OpenDescriptors(), open) << "initialising again leaked the first sockets";
}

TEST(MulticastSend, ARecordArrivesAsOneWholeDatagramAtEveryChannelOfTheGroup)
{
    CKesObjMulticast first(kGroup, kPort, TRUE), second(kGroup, kPort, TRUE);
    CKesObjMulticast otherGroup("234.5.6.8", kPort, TRUE);
    ASSERT_EQ(first.KOMInitialise(), 1);
    ASSERT_EQ(second.KOMInitialise(), 1);
    ASSERT_EQ(otherGroup.KOMInitialise(), 1);
    const auto record = SampleRecord();
    const std::string expected = Encoded(*record);

    ASSERT_EQ(second.KOMSendPacket(record.get()), 1);
    for (CKesObjMulticast* channel : {&first, &second}) {
        EXPECT_EQ(ReceiveDatagram(channel->KOMGetReceiveSocket()), expected)
            << "the datagram is the encoding alone, without a header";
        EXPECT_FALSE(Readable(channel->KOMGetReceiveSocket())) << "one record, one datagram";
    }
    EXPECT_EQ(Encoded(*record), expected) << "the caller keeps the record as it was";
    EXPECT_FALSE(Readable(otherGroup.KOMGetReceiveSocket())) << "bound to its own group only";
    EXPECT_EQ(second.KOMSendPacket(nullptr), -220552);
}

TEST(MulticastDump, WritesTheChannelInOneLine)
{
    CKesObjMulticast empty;
    EXPECT_EQ(Dump(empty), "Multicast address is NULL.\n");

    CKesObjMulticast channel("225.1.2.3", 7000, FALSE);
    EXPECT_EQ(Dump(channel), "Multicast IP: 225.1.2.3  Multicast Port: 7000  Loopback is OFF "
                             "Send socket 4294967295 Receive socket 4294967295 \n");
    channel.KOMSetLoopback(TRUE);
    ASSERT_EQ(channel.KOMInitialise(), 1);
    const std::string expected = "Multicast IP: 225.1.2.3  Multicast Port: 7000  Loopback is ON Send socket " +
                                 std::to_string(channel.KOMGetSendSocket()) + " Receive socket " +
                                 std::to_string(channel.KOMGetReceiveSocket()) + " \n";
    EXPECT_EQ(Dump(channel), expected);
}

}  // namespace
