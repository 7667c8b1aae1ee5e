// The socket endpoint record: ownership of its parts and socket, its texts,
// and the discovery and greeting records it builds.
#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <fcntl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "CKesRecord.h"
#include "CKesSockEnd.h"
#include "KesTestSupport.h"
#include "KesWirePeer.h"

namespace {

// A record of service S in domain D at 10.1.2.3:7000 without a socket.
CKesSockEnd* MakeEnd() {
    auto* end = new CKesSockEnd();
    end->KSESetServiceName(strdup("S"));
    end->KSESetEndPointDomain(strdup("D"));
    end->KSESetEndPointAddress("10.1.2.3", 7000);
    return end;
}

std::string Take(char* text) {
    std::string copy = text ? text : "<null>";
    std::free(text);
    return copy;
}

bool IsOpen(int fd) { return ::fcntl(fd, F_GETFD) != -1; }

using Field = std::pair<std::string, std::string>;

// Names and values of a record in order; integers as "int:<n>".
std::vector<Field> Fields(const CKesRecord* record) {
    std::vector<Field> fields;
    for (int i = 0; i < record->KRCount(); ++i) {
        const CKesVarBind* value = record->KRValueAt(i);
        const CKesAtom* atom = value->KVBValue();
        fields.emplace_back(value->KVBName(), atom->KAType() == KES_DT_STRING ? std::string(atom->KAString())
                                                                              : "int:" + std::to_string(atom->KAInt64()));
    }
    return fields;
}

}  // namespace

TEST(SockEndOwnership, MissingPartIsReportedAndNothingIsTakenOver) {
    ksxtest::ErrorCapture errors;
    char* name = strdup("S");
    char* domain = strdup("D");
    auto* address = static_cast<sockaddr_in*>(std::calloc(1, sizeof(sockaddr_in)));
    address->sin_family = AF_INET;
    {
        CKesSockEnd noSocket(name, reinterpret_cast<sockaddr*>(address), domain, KES_INVALID_SOCKET);
        CKesSockEnd noAddress(name, nullptr, domain, 5);
        EXPECT_EQ(noSocket.KSEGetServiceName(), nullptr);
        EXPECT_EQ(noAddress.KSEGetEndPointSocket(), KES_INVALID_SOCKET);
    }
    EXPECT_EQ(errors.Count(-220552, "CKesSockEnd"), 2);
    // Still ours: the sanitizer flags a double free if the records freed them.
    std::free(name);
    std::free(domain);
    std::free(address);
}

// Copies (plain and deep) own their blocks and share the socket, which the
// last holder closes unless it was released.
TEST(SockEndOwnership, CopiesOwnTheirBlocksAndTheLastHolderClosesTheSharedSocket) {
    const int s = ::socket(AF_INET, SOCK_DGRAM, 0);
    ASSERT_GE(s, 0);
    CKesSockEnd* original = MakeEnd();
    original->KSESetEndPointName(strdup("h"));
    original->KSESetDynamic(false);
    ASSERT_EQ(original->KSESetEndPointSocket(static_cast<unsigned int>(s)), 1);
    EXPECT_EQ(original->KSESetEndPointSocket(KES_INVALID_SOCKET), -220459);
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
    EXPECT_TRUE(IsOpen(s));
    delete deep;
    EXPECT_FALSE(IsOpen(s));

    const int kept = ::socket(AF_INET, SOCK_DGRAM, 0);
    auto* end = MakeEnd();
    end->KSESetEndPointSocket(static_cast<unsigned int>(kept));
    EXPECT_EQ(end->KSEReleaseEndPointSocket(), static_cast<unsigned int>(kept));
    delete end;
    EXPECT_TRUE(IsOpen(kept));
    ::close(kept);
}

TEST(SockEndTexts, ServiceLineByteForByteAndUnchangedByRefusedSetters) {
    std::unique_ptr<CKesSockEnd> end(MakeEnd());
    const std::string plain = "SERVICE: S DOMAIN: D ADDRESS: 10.1.2.3 PORT: 7000";
    EXPECT_EQ(end->KSESetServiceName(nullptr), -220552);
    EXPECT_EQ(end->KSESetEndPointAddress(static_cast<sockaddr*>(nullptr)), -220552);
    EXPECT_EQ(end->KSESetEndPointAddress("10.9.9.9", -1), -220552);
    EXPECT_EQ(Take(end->KSEGetServiceLine()), plain + "\r\n");
    end->KSESetEndPointName(strdup("h"));
    end->KSESetDynamic(false);
    EXPECT_EQ(Take(end->KSEGetServiceLine()), plain + " SERVERNAME: h DYNAMIC: NO\r\n");

    // Only the low 16 bits of a port count; no address, no line.
    ASSERT_EQ(end->KSESetEndPointAddress("10.1.2.3", 0x10000 + 80), 1);
    EXPECT_EQ(end->KSEGetEndPtAddressPort(), 80u);
    CKesSockEnd bare;
    bare.KSESetServiceName(strdup("S"));
    bare.KSESetEndPointDomain(strdup("D"));
    EXPECT_EQ(Take(bare.KSEGetServiceLine()), "<null>");
    EXPECT_EQ(bare.KSEGetAddressReplyPacket(), nullptr);
}

TEST(SockEndRecords, EachRecordHoldsItsFieldsInOrderAlsoOverTheWire) {
    std::unique_ptr<CKesSockEnd> end(MakeEnd());
    const Field data = {"KesSockInternalDataField", "KesSockInternalDataField"};
    const Field service = {"KesSockInternalServiceName", "S"}, domain = {"KesSockInternalDomainName", "D"};
    const std::pair<CKesRecord*, std::vector<Field>> cases[] = {
        {end->KSEGetAddressRequestPacket(), {data, {"KesSockAddressRequest", "KesSockAddressRequest"}, service, domain}},
        {end->KSEGetAddressReplyPacket(),
         {data, {"KesSockAddressReply", "KesSockAddressReply"}, service, domain,
          {"KesSockInternalAddress", "10.1.2.3"}, {"KesSockInternalPort", "int:7000"}}},
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
    EXPECT_EQ(CKesSockEnd::KSEGetClientIdPacket(nullptr), nullptr);
    CKesSockEnd nameless;
    nameless.KSESetEndPointDomain(strdup("D"));
    EXPECT_EQ(nameless.KSEGetAddressRequestPacket(), nullptr);
}
