// The socket endpoint: ownership of its parts and socket, its service line, the records it builds.
#include <fcntl.h>
#include <netinet/in.h>
#include <sys/socket.h>

#include <cstring>

#include "CKesSockEnd.h"
#include "KesTestSupport.h"
#include "KesWirePeer.h" // records too

namespace {

using ksxtest::TakeText;

// An endpoint of service S in domain D (at 10.1.2.3:7000 unless bare) without a socket.
CKesSockEnd* MakeEnd(bool bare = false)
{
    auto* end = new CKesSockEnd();
    end->KSESetServiceName(strdup("S"));
    end->KSESetEndPointDomain(strdup("D"));
    if (!bare) end->KSESetEndPointAddress("10.1.2.3", 7000);
    return end;
}

} // namespace

TEST(SockEndOwnership, MissingPartTakesNothingOverAndCopiesOwnTheirBlocksAndTheLastHolderClosesTheSocket)
{
    ksxtest::ErrorCapture errors;
    char *name = strdup("S"), *domain = strdup("D");
    auto* address = static_cast<sockaddr*>(std::calloc(1, sizeof(sockaddr_in)));
    address->sa_family = AF_INET;
    {
        CKesSockEnd noSocket(name, address, domain, KES_INVALID_SOCKET), noAddress(name, nullptr, domain, 5);
        EXPECT_EQ(noSocket.KSEGetServiceName(), nullptr);
        EXPECT_EQ(noAddress.KSEGetEndPointSocket(), KES_INVALID_SOCKET);
    }
    EXPECT_EQ(errors.Count(KES_ERR_ARGUMENT, "CKesSockEnd"), 2);
    // Still ours: the sanitizer flags a double free if the records freed them.
    std::free(name), std::free(domain), std::free(address);

    // Copies (plain and deep) own their blocks and share the socket, which the last holder closes.
    const int s = ::socket(AF_INET, SOCK_DGRAM, 0);
    CKesSockEnd* original = MakeEnd();
    original->KSESetEndPointName(strdup("h"));
    ASSERT_EQ(original->KSESetEndPointSocket(static_cast<unsigned int>(s)), 1);
    auto* copy = new CKesSockEnd(*original);
    auto* deep = static_cast<CKesSockEnd*>(original->KLTargetDeepCopy(original));
    ASSERT_NE(deep, nullptr);
    EXPECT_NE(copy->KSEGetServiceName(), original->KSEGetServiceName());
    EXPECT_NE(copy->KSEGetEndPointAddress(), original->KSEGetEndPointAddress());
    const std::string line = TakeText(original->KSEGetServiceLine());
    delete original;
    for (auto* end : {copy, deep}) {
        EXPECT_STREQ(end->KSEGetHashKey(), "D.S");
        EXPECT_EQ(TakeText(end->KSEGetServiceLine()), line);
        EXPECT_EQ(end->KSEGetEndPointSocket(), static_cast<unsigned int>(s));
    }
    delete copy;
    EXPECT_NE(-1, ::fcntl(s, F_GETFD));
    delete deep;
    EXPECT_EQ(-1, ::fcntl(s, F_GETFD));
}

// The request, reply and keep-alive are compared byte for byte with docs/protocol.md in test_protocol_doc.py.
TEST(SockEndTexts, ServiceLineByteForByteUnchangedByRefusedSettersAndClientIdPacketHoldsOnlyTheId)
{
    std::unique_ptr<CKesSockEnd> end(MakeEnd());
    const std::string plain = "SERVICE: S DOMAIN: D ADDRESS: 10.1.2.3 PORT: 7000";
    EXPECT_EQ(end->KSESetServiceName(nullptr), KES_ERR_ARGUMENT);
    EXPECT_EQ(end->KSESetEndPointAddress(static_cast<sockaddr*>(nullptr)), KES_ERR_ARGUMENT);
    EXPECT_EQ(end->KSESetEndPointAddress("10.9.9.9", -1), KES_ERR_ARGUMENT);
    EXPECT_EQ(TakeText(end->KSEGetServiceLine()), plain + "\r\n");
    end->KSESetEndPointName(strdup("h"));
    end->KSESetDynamic(false);
    EXPECT_EQ(TakeText(end->KSEGetServiceLine()), plain + " SERVERNAME: h DYNAMIC: NO\r\n");
    // No address, no line (and no reply).
    const std::unique_ptr<CKesSockEnd> bare(MakeEnd(true));
    EXPECT_EQ(TakeText(bare->KSEGetServiceLine()), "<null>");
    EXPECT_EQ(bare->KSEGetAddressReplyPacket(), nullptr);

    const std::unique_ptr<CKesRecord> id(CKesSockEnd::KSEGetClientIdPacket("client-7"));
    ASSERT_NE(id, nullptr);
    EXPECT_EQ(id->KRCount(), 1);
    EXPECT_EQ(ksxtest::TextOf(*id, "KesSocketClientIdField"), "client-7");
}
