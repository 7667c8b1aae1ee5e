// The socket endpoint: ownership of its parts and socket, its service line, the records it builds.
#include <fcntl.h>
#include <netinet/in.h>
#include <sys/socket.h>

#include <cstring>

#include "CKesSockEnd.h"
#include "KesTestSupport.h"
#include "KesWirePeer.h" // records too

namespace {

// A record of service S in domain D at 10.1.2.3:7000 without a socket.
CKesSockEnd* MakeEnd()
{
    auto* end = new CKesSockEnd();
    end->KSESetServiceName(strdup("S"));
    end->KSESetEndPointDomain(strdup("D"));
    end->KSESetEndPointAddress("10.1.2.3", 7000);
    return end;
}

std::string Take(char* text)
{
    std::string copy = text ? text : "<null>";
    std::free(text);
    return copy;
}

using Field = std::pair<std::string, std::string>;
// Names and values of a record in order; integers as "int:<n>".
std::vector<Field> Fields(const CKesRecord* record)
{
    std::vector<Field> fields;
    for (int i = 0; i < record->KRCount(); ++i) {
        const CKesAtom* atom = record->KRValueAt(i)->KVBValue();
        fields.emplace_back(record->KRValueAt(i)->KVBName(), atom->KAType() == KES_DT_STRING
                                                                 ? std::string(atom->KAString())
                                                                 : "int:" + std::to_string(atom->KAInt64()));
    }
    return fields;
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
    const std::string line = Take(original->KSEGetServiceLine());
    delete original;
    for (auto* end : {copy, deep}) {
        EXPECT_STREQ(end->KSEGetHashKey(), "D.S");
        EXPECT_EQ(Take(end->KSEGetServiceLine()), line);
        EXPECT_EQ(end->KSEGetEndPointSocket(), static_cast<unsigned int>(s));
    }
    delete copy;
    EXPECT_NE(-1, ::fcntl(s, F_GETFD));
    delete deep;
    EXPECT_EQ(-1, ::fcntl(s, F_GETFD));
}

TEST(SockEndTexts, ServiceLineByteForByteAndUnchangedByRefusedSetters)
{
    std::unique_ptr<CKesSockEnd> end(MakeEnd());
    const std::string plain = "SERVICE: S DOMAIN: D ADDRESS: 10.1.2.3 PORT: 7000";
    EXPECT_EQ(end->KSESetServiceName(nullptr), KES_ERR_ARGUMENT);
    EXPECT_EQ(end->KSESetEndPointAddress(static_cast<sockaddr*>(nullptr)), KES_ERR_ARGUMENT);
    EXPECT_EQ(end->KSESetEndPointAddress("10.9.9.9", -1), KES_ERR_ARGUMENT);
    EXPECT_EQ(Take(end->KSEGetServiceLine()), plain + "\r\n");
    end->KSESetEndPointName(strdup("h"));
    end->KSESetDynamic(false);
    EXPECT_EQ(Take(end->KSEGetServiceLine()), plain + " SERVERNAME: h DYNAMIC: NO\r\n");
    // No address, no line (and no reply).
    CKesSockEnd bare;
    bare.KSESetServiceName(strdup("S"));
    bare.KSESetEndPointDomain(strdup("D"));
    EXPECT_EQ(Take(bare.KSEGetServiceLine()), "<null>");
    EXPECT_EQ(bare.KSEGetAddressReplyPacket(), nullptr);
}

TEST(SockEndRecords, EachRecordHoldsItsFieldsInOrderAlsoOverTheWire)
{
    std::unique_ptr<CKesSockEnd> end(MakeEnd());
    const Field data = {"KesSockInternalDataField", "KesSockInternalDataField"};
    const Field service = {"KesSockInternalServiceName", "S"}, domain = {"KesSockInternalDomainName", "D"};
    const std::pair<CKesRecord*, std::vector<Field>> cases[] = {
        {end->KSEGetAddressRequestPacket(),
         {data, {"KesSockAddressRequest", "KesSockAddressRequest"}, service, domain}},
        {end->KSEGetAddressReplyPacket(),
         {data,
          {"KesSockAddressReply", "KesSockAddressReply"},
          service,
          domain,
          {"KesSockInternalAddress", "10.1.2.3"},
          {"KesSockInternalPort", "int:7000"}}},
        {CKesSockEnd::KSEGetClientIdPacket("client-7"), {{"KesSocketClientIdField", "client-7"}}},
        {CKesSockEnd::KSEGetKeepAlivePacket(), {{"_CKesSockEnd_KeepAlive_", "True"}}},
    };
    for (const auto& [record, expected] : cases) {
        ASSERT_NE(record, nullptr) << expected[0].first;
        const ksxtest::Bytes bytes = ksxtest::Encode(*record);
        CKesRecord decoded;
        ASSERT_EQ(decoded.KOMDecode(bytes.data(), static_cast<unsigned int>(bytes.size())), 1);
        EXPECT_EQ(Fields(&decoded), expected);
        delete record;
    }
}
