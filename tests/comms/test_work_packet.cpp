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

unsigned char* HeapBytes(size_t size, unsigned char seed)
{
    auto* bytes = static_cast<unsigned char*>(std::malloc(size));
    for (size_t i = 0; i < size; ++i) bytes[i] = static_cast<unsigned char>(seed + i);
    return bytes;
}

sockaddr* HeapIPv4(const char* dotted, int port)
{
    auto* address = static_cast<sockaddr_in*>(std::calloc(1, sizeof(sockaddr_in)));
    address->sin_family = AF_INET;
    address->sin_port = htons(static_cast<uint16_t>(port));
    inet_pton(AF_INET, dotted, &address->sin_addr);
    return reinterpret_cast<sockaddr*>(address);
}

} // namespace

// Copies own their buffers; the copying setter keeps a private copy and the
// taking one frees the block it replaces (both checked by the address sanitizer).
TEST(WorkPacket, CopiesAndSettersOwnTheirBuffers)
{
    int engine = 0;
    auto* original = new CKesIOWorkPacket(5, HeapBytes(20, 3), 20, &engine, HeapIPv4("10.1.2.3", 80), 16);
    CKesIOWorkPacket copy(*original);
    std::unique_ptr<CKesListable> deep(original->KLTargetDeepCopy(original));
    ASSERT_NE(deep, nullptr);
    const std::string payload(reinterpret_cast<char*>(original->KIWPGetPacket()), 20);
    const std::string source(reinterpret_cast<char*>(original->KIWPGetSource()), 16);
    delete original;
    for (auto* p : {&copy, static_cast<CKesIOWorkPacket*>(deep.get())}) {
        EXPECT_EQ(std::string(reinterpret_cast<char*>(p->KIWPGetPacket()), p->KIWPGetPacketLength()),
                  payload);
        EXPECT_EQ(std::string(reinterpret_cast<char*>(p->KIWPGetSource()), p->KIWPGetSourceLen()), source);
        EXPECT_EQ(p->KIWPGetSocket(), 5u);
        EXPECT_EQ(p->KIWPGetSockServer(), &engine);
    }

    sockaddr_in6 address{};
    address.sin6_family = AF_INET6;
    inet_pton(AF_INET6, "fe80::1", &address.sin6_addr);
    const auto* given = reinterpret_cast<const sockaddr*>(&address);
    ASSERT_EQ(copy.KIWPSetSource(given, 28), 1);
    EXPECT_NE(copy.KIWPGetSource(), given);
    EXPECT_EQ(copy.KIWPGetSourceLen(), 28u);
    EXPECT_EQ(std::memcmp(copy.KIWPGetSource(), &address, 28), 0);
    ASSERT_EQ(copy.KIWPSetSource(HeapIPv4("10.0.0.2", 1), 16), 1);
    EXPECT_EQ(copy.KIWPGetSourceLen(), 16u);
}

// A good payload decodes and stays unchanged; a bad one gives an empty record and a report.
TEST(WorkPacket, PayloadDecodesUnchangedAndABadOneIsReported)
{
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

    CKesIOWorkPacket garbage(3, HeapBytes(6, 0xC1), 6, nullptr, nullptr, 0);
    std::unique_ptr<CKesRecord> empty(garbage.KIWPGetRecord());
    ASSERT_NE(empty, nullptr);
    EXPECT_EQ(empty->KRCount(), 0);
    ASSERT_EQ(errors.Reports().size(), 1u);
    EXPECT_EQ(errors.Reports()[0].code, KES_ERR_DECODE);
    EXPECT_EQ(errors.Reports()[0].source, "CKesIOWorkPacket");
    EXPECT_EQ(errors.Reports()[0].text, "Record cannot be decoded: the encoding is not a map (socket 3)");
}
