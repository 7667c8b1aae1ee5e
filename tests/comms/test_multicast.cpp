// The multicast channel: group validation, failed start-up, one record per
// datagram, and the interface it sends by and receives on.
#include <net/if.h>
#include <unistd.h>

#include <filesystem>

#include "CKesObjMulticast.h"
#include "KesEngineHarness.h"

namespace {

constexpr int kPort = 23456;
const char* const kGroup = "234.5.6.7";

long OpenDescriptors() { return std::distance(std::filesystem::directory_iterator("/proc/self/fd"), {}); }

TEST(MulticastAddress, GroupMustLieFrom224To238AndRefusalsKeepTheLastGroup)
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
    char* group = channel.KOMGetMulticastIPAddress();
    EXPECT_STREQ(group, "238.255.255.255");
    free(group);
    EXPECT_EQ(channel.KOMGetMulticastPort(), 0);

    // A group outside the range cannot start.
    CKesObjMulticast fromBadText("10.0.0.1", kPort, TRUE);
    EXPECT_EQ(fromBadText.KOMInitialise(), KES_ERR_MULTICAST_GROUP);
    EXPECT_EQ(fromBadText.KOMGetSendSocket(), KES_INVALID_SOCKET);
}

TEST(MulticastInitialise, FailureLeavesBothSocketsInvalidLeaksNothingAndMayBeRetried)
{
    // A socket on the group's port without address reuse makes both binds of the receive socket fail.
    const int blocker = socket(AF_INET, SOCK_DGRAM, 0);
    ASSERT_GE(blocker, 0);
    const sockaddr_in any = ksxtest::Ipv4("0.0.0.0", kPort);
    ASSERT_EQ(bind(blocker, reinterpret_cast<const sockaddr*>(&any), sizeof any), 0);

    ksxtest::ErrorCapture errors;
    CKesObjMulticast channel(kGroup, kPort, TRUE);
    const long before = OpenDescriptors();
    EXPECT_EQ(channel.KOMInitialise(), KES_ERR_BIND);
    EXPECT_EQ(channel.KOMGetSendSocket(), KES_INVALID_SOCKET);
    EXPECT_EQ(channel.KOMGetReceiveSocket(), KES_INVALID_SOCKET);
    EXPECT_EQ(OpenDescriptors(), before) << "the failed attempt leaked a socket";
    EXPECT_TRUE(errors.Has(KES_ERR_BIND, "CKesObjMulticast"));

    close(blocker);
    EXPECT_EQ(channel.KOMInitialise(), 1);
    EXPECT_NE(channel.KOMGetReceiveSocket(), KES_INVALID_SOCKET);
    const long open = OpenDescriptors();
    EXPECT_EQ(channel.KOMInitialise(), 1);
    EXPECT_EQ(OpenDescriptors(), open) << "initialising again leaked the first sockets";
}

TEST(MulticastSend, ARecordArrivesAsOneWholeDatagramAtEveryChannelOfTheGroup)
{
    CKesObjMulticast first(kGroup, kPort, TRUE), second(kGroup, kPort, TRUE);
    CKesObjMulticast otherGroup("234.5.6.8", kPort, TRUE);
    for (CKesObjMulticast* channel : {&first, &second, &otherGroup}) ASSERT_EQ(channel->KOMInitialise(), 1);
    CKesRecord record;
    record.KRAddValue("KesSockInternalServiceName", "Inventory");
    record.KRAddValue("count", CKesAtom(123456));
    record.KRAddValue("blob", CKesAtom("\x00\x01\xff", 3));
    const ksxtest::Bytes expected = ksxtest::Encode(record);

    ASSERT_EQ(second.KOMSendPacket(&record), 1);
    for (CKesObjMulticast* channel : {&first, &second}) {
        const int fd = static_cast<int>(channel->KOMGetReceiveSocket());
        ASSERT_TRUE(ksxtest::Readable(fd, 10000));
        unsigned char buffer[65536];
        const ssize_t length = recv(fd, buffer, sizeof buffer, 0);
        ASSERT_GT(length, 0);
        EXPECT_EQ(ksxtest::Bytes(buffer, buffer + length), expected)
            << "the encoding alone, without a header";
        EXPECT_FALSE(ksxtest::Readable(fd, 0)) << "one record, one datagram";
    }
    EXPECT_EQ(ksxtest::Encode(record), expected) << "the caller keeps the record as it was";
    EXPECT_FALSE(ksxtest::Readable(static_cast<int>(otherGroup.KOMGetReceiveSocket()), 0))
        << "bound to its own group only";
}

// A veth pair in the test's own network namespace, 10.9.7.1 on mi0; removed with the object.
class TestLink {
public:
    TestLink()
    {
        m_Made = std::system("ip link add mi0 type veth peer name mi1 && ip addr add 10.9.7.1/24 dev mi0 && "
                             "ip link set mi0 multicast on up && ip link set mi1 up") == 0;
    }
    ~TestLink()
    {
        if (m_Made) std::system("ip link del mi0");
    }
    bool Made() const { return m_Made; }

private:
    bool m_Made = false;
};

// Sends a record through `from`; true when `to` (emptied first) receives it.
// A datagram reaches all sockets at once: only a receiving channel needs a wait.
bool Arrives(CKesObjMulticast& from, CKesObjMulticast& to, int waitMs)
{
    const int fd = static_cast<int>(to.KOMGetReceiveSocket());
    unsigned char buffer[2048];
    while (ksxtest::Readable(fd, 0)) recv(fd, buffer, sizeof buffer, 0);
    CKesRecord record;
    record.KRAddValue("KesSockInternalServiceName", "Inventory");
    return from.KOMSendPacket(&record) == 1 && ksxtest::Readable(fd, waitMs);
}

// The group's route is loopback; `plant` moves to mi0 while open, `lab` and `lo` choose before.
TEST(MulticastInterface, AChosenInterfaceBoundsSendingAndReceivingAndChangesOnOpenSockets)
{
    TestLink link;
    ASSERT_TRUE(link.Made());
    const unsigned int mi0 = if_nametoindex("mi0"), loopback = if_nametoindex("lo");
    ksxtest::ErrorCapture errors;
    CKesObjMulticast plant(kGroup, kPort, TRUE), lab(kGroup, kPort, TRUE), lo(kGroup, kPort, TRUE);
    EXPECT_EQ(plant.KOMGetInterfaceIndex(), 0u) << "the default";
    ASSERT_EQ(lab.KOMSetInterface("10.9.7.1"), 1);
    ASSERT_EQ(lo.KOMSetInterface("lo"), 1);
    for (CKesObjMulticast* channel : {&plant, &lab, &lo}) ASSERT_EQ(channel->KOMInitialise(), 1);
    ASSERT_TRUE(Arrives(lo, plant, 10000)) << "the default joins where the route goes";

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
    EXPECT_EQ(errors.Reports().size(), 0u);

    // Names and addresses that are not this host's change nothing.
    for (const char* foreign : {"mi9", "10.9.7.2", "0.0.0.0"}) {
        errors.Clear();
        EXPECT_EQ(plant.KOMSetInterface(foreign), KES_ERR_MULTICAST_INTERFACE) << foreign;
        ASSERT_EQ(errors.Reports().size(), 1u) << foreign;
        EXPECT_NE(errors.Reports()[0].text.find(std::string("\"") + foreign + "\""), std::string::npos);
    }
    EXPECT_EQ(plant.KOMGetInterfaceIndex(), loopback);
    EXPECT_TRUE(Arrives(lo, plant, 10000));

    ASSERT_EQ(plant.KOMSetInterface(nullptr), 1);
    EXPECT_EQ(plant.KOMGetInterfaceIndex(), 0u);
    EXPECT_TRUE(Arrives(lo, plant, 10000));
}

} // namespace
