// The work packet: ownership of its buffers, copies and decoding.
#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>

#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>

#include "CKesIOWorkPacket.h"
#include "CKesRecord.h"
#include "KesTestSupport.h"

namespace {

unsigned char* HeapBytes(size_t size, unsigned char seed) {
    auto* bytes = static_cast<unsigned char*>(std::malloc(size));
    for (size_t i = 0; i < size; ++i) bytes[i] = static_cast<unsigned char>(seed + i);
    return bytes;
}

sockaddr* HeapIPv4(const char* dotted, int port) {
    auto* address = static_cast<sockaddr_in*>(std::calloc(1, sizeof(sockaddr_in)));
    address->sin_family = AF_INET;
    address->sin_port = htons(static_cast<uint16_t>(port));
    inet_pton(AF_INET, dotted, &address->sin_addr);
    return reinterpret_cast<sockaddr*>(address);
}

}  // namespace

TEST(WorkPacket, CopiesOutliveTheirOriginalWithTheirOwnBuffers) {
    int engine = 0;
    auto* original = new CKesIOWorkPacket(5, HeapBytes(20, 3), 20, &engine, HeapIPv4("10.1.2.3", 80), 16);
    CKesIOWorkPacket copy(*original);
    std::unique_ptr<CKesListable> deep(original->KLTargetDeepCopy(original));
    ASSERT_NE(deep, nullptr);
    EXPECT_NE(copy.KIWPGetPacket(), original->KIWPGetPacket());
    EXPECT_NE(copy.KIWPGetSource(), original->KIWPGetSource());
    const std::string payload(reinterpret_cast<char*>(original->KIWPGetPacket()), 20);
    const std::string source(reinterpret_cast<char*>(original->KIWPGetSource()), 16);
    delete original;

    for (auto* p : {&copy, static_cast<CKesIOWorkPacket*>(deep.get())}) {
        EXPECT_EQ(std::string(reinterpret_cast<char*>(p->KIWPGetPacket()), 20), payload);
        EXPECT_EQ(std::string(reinterpret_cast<char*>(p->KIWPGetSource()), 16), source);
        EXPECT_EQ(p->KIWPGetPacketLength(), 20u);
        EXPECT_EQ(p->KIWPGetSourceLen(), 16u);
        EXPECT_EQ(p->KIWPGetSocket(), 5u);
        EXPECT_EQ(p->KIWPGetSockServer(), &engine);
    }
}

// The copying setter keeps a private copy, refuses an empty one, and frees
// the block it replaces (checked by the address sanitizer).
TEST(WorkPacket, CopyingSourceSetterKeepsAPrivateIPv6Copy) {
    sockaddr_in6 address{};
    address.sin6_family = AF_INET6;
    address.sin6_port = htons(4000);
    inet_pton(AF_INET6, "fe80::1", &address.sin6_addr);
    CKesIOWorkPacket packet;
    const auto* given = reinterpret_cast<const sockaddr*>(&address);
    ASSERT_EQ(packet.KIWPSetSource(given, 28), 1);
    EXPECT_NE(packet.KIWPGetSource(), given);
    EXPECT_EQ(packet.KIWPGetSourceLen(), 28u);
    EXPECT_EQ(std::memcmp(packet.KIWPGetSource(), &address, 28), 0);
    EXPECT_EQ(packet.KIWPSetSource(given, 0), -220444);
    EXPECT_EQ(packet.KIWPGetSourceLen(), 28u);
    ASSERT_EQ(packet.KIWPSetSource(HeapIPv4("10.0.0.2", 1), 16), 1);
    EXPECT_EQ(packet.KIWPGetSourceLen(), 16u);
}

TEST(WorkPacket, PayloadDecodesUnchangedAndBadOrEmptyOnesAreReported) {
    CKesRecord record;
    record.KRAddValue("name", "value");
    unsigned char* bytes = nullptr;
    unsigned int length = 0;
    ASSERT_EQ(record.KOMEncode(&bytes, &length), 1);
    const std::string before(reinterpret_cast<char*>(bytes), length);
    CKesIOWorkPacket packet(KES_INVALID_SOCKET, bytes, length, nullptr, nullptr, 0);
    ksxtest::ErrorCapture errors;
    std::unique_ptr<CKesRecord> decoded(packet.KIWPGetRecord());
    ASSERT_NE(decoded, nullptr);
    EXPECT_STREQ(decoded->KRValueOf("name")->KAString(), "value");
    EXPECT_EQ(std::string(reinterpret_cast<char*>(packet.KIWPGetPacket()), length), before);
    EXPECT_TRUE(errors.Reports().empty());

    // Undecodable or empty payloads still give an (empty) record.
    CKesIOWorkPacket garbage(3, HeapBytes(6, 0xC1), 6, nullptr, nullptr, 0);
    std::unique_ptr<CKesRecord> first(garbage.KIWPGetRecord());
    ASSERT_NE(first, nullptr);
    EXPECT_EQ(first->KRCount(), 0);
    ASSERT_EQ(errors.Reports().size(), 1u);
    EXPECT_LT(errors.Reports()[0].code, 0);
    EXPECT_EQ(errors.Reports()[0].source, "CKesIOWorkPacket");
    CKesIOWorkPacket empty;
    std::unique_ptr<CKesRecord> second(empty.KIWPGetRecord());
    ASSERT_NE(second, nullptr);
    EXPECT_EQ(second->KRCount(), 0);
    EXPECT_TRUE(errors.Has(-220552, "CKesIOWorkPacket"));
}
