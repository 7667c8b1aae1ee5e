// The socket endpoint record: its fields, texts, socket sharing and the
// discovery and greeting records it builds.
#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
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

sockaddr* HeapIPv4(const char* dotted, int port) {
    auto* address = static_cast<sockaddr_in*>(std::calloc(1, sizeof(sockaddr_in)));
    address->sin_family = AF_INET;
    address->sin_port = htons(static_cast<uint16_t>(port));
    inet_pton(AF_INET, dotted, &address->sin_addr);
    return reinterpret_cast<sockaddr*>(address);
}

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

std::string Shown(const CKesAtom* atom) {
    switch (atom->KAType()) {
    case KES_DT_STRING:
        return atom->KAString();
    case KES_DT_INT:
    case KES_DT_LONG:
    case KES_DT_INT64:
        return "int:" + std::to_string(atom->KAInt64());
    default:
        return "type:" + std::to_string(atom->KAType());
    }
}

// Names and values of a record in order; integers as "int:<n>".
std::vector<Field> Fields(const CKesRecord* record) {
    std::vector<Field> fields;
    for (int i = 0; i < record->KRCount(); ++i) {
        const CKesVarBind* value = record->KRValueAt(i);
        fields.emplace_back(value->KVBName(), Shown(value->KVBValue()));
    }
    return fields;
}

// The record as a peer sees it: encoded and decoded again.
std::vector<Field> OverTheWire(const CKesRecord* record) {
    const ksxtest::Bytes bytes = ksxtest::Encode(*record);
    CKesRecord decoded;
    EXPECT_EQ(decoded.KOMDecode(bytes.data(), static_cast<unsigned int>(bytes.size())), 1);
    return Fields(&decoded);
}

}  // namespace

TEST(SockEndConstruction, MissingPartIsReportedAndNothingIsTakenOver) {
    ksxtest::ErrorCapture errors;
    char* name = strdup("S");
    char* domain = strdup("D");
    sockaddr* address = HeapIPv4("10.0.0.1", 1);
    {
        CKesSockEnd noSocket(name, address, domain, KES_INVALID_SOCKET);
        CKesSockEnd noAddress(name, nullptr, domain, 5);
        EXPECT_EQ(noSocket.KSEGetServiceName(), nullptr);
        EXPECT_EQ(noAddress.KSEGetEndPointDomain(), nullptr);
        EXPECT_EQ(noAddress.KSEGetEndPointSocket(), KES_INVALID_SOCKET);
    }
    EXPECT_EQ(errors.Count(-220552, "CKesSockEnd"), 2);
    // Still ours: the sanitizer flags a double free if the records freed them.
    std::free(name);
    std::free(domain);
    std::free(address);
}

TEST(SockEndConstruction, CopyHasItsOwnBlocksAndEqualFields) {
    CKesSockEnd* original = MakeEnd();
    original->KSESetEndPointName(strdup("h"));
    original->KSESetDynamic(false);
    original->KSEConfirmConnection(TRUE);
    ASSERT_NE(original->KSEGetHashKey(), nullptr);
    CKesSockEnd copy(*original);
    CKesListable* deep = original->KLTargetDeepCopy(original);
    ASSERT_NE(deep, nullptr);
    EXPECT_NE(copy.KSEGetServiceName(), original->KSEGetServiceName());
    EXPECT_NE(copy.KSEGetEndPointAddress(), original->KSEGetEndPointAddress());
    const std::string line = Take(original->KSEGetServiceLine());
    delete original;

    for (auto* end : {&copy, static_cast<CKesSockEnd*>(deep)}) {
        EXPECT_STREQ(end->KSEGetServiceName(), "S");
        EXPECT_STREQ(end->KSEGetEndPointDomain(), "D");
        EXPECT_STREQ(end->KSEGetEndPointName(), "h");
        EXPECT_STREQ(end->KSEGetHashKey(), "D.S");
        EXPECT_FALSE(end->KSEGetDynamic());
        EXPECT_EQ(end->KSEIsConnectionConfirmed(), TRUE);
        EXPECT_EQ(Take(end->KSEGetServiceLine()), line);
        EXPECT_EQ(end->KSEGetEndPointSocket(), KES_INVALID_SOCKET);
    }
    delete deep;
}

TEST(SockEndSocket, SharedHandleIsClosedByTheLastHolderUnlessReleased) {
    const int s = ::socket(AF_INET, SOCK_DGRAM, 0);
    ASSERT_GE(s, 0);
    auto* original = MakeEnd();
    EXPECT_EQ(Take(original->KSEGetEndPointSocketStr()), "<null>");
    ASSERT_EQ(original->KSESetEndPointSocket(static_cast<unsigned int>(s)), 1);
    EXPECT_EQ(original->KSESetEndPointSocket(KES_INVALID_SOCKET), -220459);
    EXPECT_EQ(Take(original->KSEGetEndPointSocketStr()), std::to_string(s));
    auto* copy = new CKesSockEnd(*original);
    EXPECT_EQ(copy->KSEGetEndPointSocket(), static_cast<unsigned int>(s));
    delete copy;
    EXPECT_TRUE(IsOpen(s));
    delete original;
    EXPECT_FALSE(IsOpen(s));

    const int kept = ::socket(AF_INET, SOCK_DGRAM, 0);
    auto* end = MakeEnd();
    end->KSESetEndPointSocket(static_cast<unsigned int>(kept));
    EXPECT_EQ(end->KSEReleaseEndPointSocket(), static_cast<unsigned int>(kept));
    EXPECT_EQ(end->KSEGetEndPointSocket(), KES_INVALID_SOCKET);
    delete end;
    EXPECT_TRUE(IsOpen(kept));
    ::close(kept);
}

TEST(SockEndSetters, AddressFromText) {
    CKesSockEnd end;
    ASSERT_EQ(end.KSESetEndPointAddress("0.0.0.0", 0), 1);
    const auto* any = reinterpret_cast<const sockaddr_in*>(end.KSEGetEndPointAddress());
    EXPECT_EQ(any->sin_family, 2);
    EXPECT_EQ(any->sin_addr.s_addr, 0u);
    EXPECT_EQ(any->sin_port, 0);

    ASSERT_EQ(end.KSESetEndPointAddress("10.1.2.3", 7000), 1);
    EXPECT_EQ(end.KSEGetEndPtIpAddressLong(), static_cast<unsigned long>(inet_addr("10.1.2.3")));
    EXPECT_EQ(end.KSEGetEndPtAddressPort(), 7000u);
    EXPECT_EQ(reinterpret_cast<const sockaddr_in*>(end.KSEGetEndPointAddress())->sin_port, htons(7000));

    // Only the low 16 bits of the port count; a text that is no address
    // becomes the all-ones address.
    ASSERT_EQ(end.KSESetEndPointAddress("not-an-address", 0x10000 + 80), 1);
    EXPECT_EQ(end.KSEGetEndPtIpAddressLong(), 0xFFFFFFFFul);
    EXPECT_EQ(end.KSEGetEndPtAddressPort(), 80u);
}

TEST(SockEndTexts, HashKeyNeedsBothNamesAndStaysCached) {
    CKesSockEnd end;
    EXPECT_EQ(end.KSEGetHashKey(), nullptr);
    end.KSESetServiceName(strdup("S"));
    EXPECT_EQ(end.KSEGetHashKey(), nullptr);
    end.KSESetEndPointDomain(strdup("D"));
    EXPECT_STREQ(end.KSEGetHashKey(), "D.S");
    end.KSESetServiceName(strdup("Other"));
    EXPECT_STREQ(end.KSEGetHashKey(), "D.S");
    // Without an address there are no derived values.
    EXPECT_EQ(Take(end.KSEGetServiceLine()), "<null>");
    EXPECT_EQ(Take(end.KSEGetEndPtIpAddress()), "<null>");
    EXPECT_EQ(end.KSEGetEndPtIpAddressLong(), 0ul);
    EXPECT_EQ(end.KSEGetEndPtAddressPort(), 0u);
    EXPECT_EQ(end.KSEGetAddressReplyPacket(), nullptr);
}

TEST(SockEndTexts, ServiceLineByteForByteAndUnchangedByRefusedSetters) {
    CKesSockEnd* end = MakeEnd();
    const std::string plain = "SERVICE: S DOMAIN: D ADDRESS: 10.1.2.3 PORT: 7000";
    EXPECT_EQ(end->KSESetServiceName(nullptr), -220552);
    EXPECT_EQ(end->KSESetEndPointAddress(static_cast<sockaddr*>(nullptr)), -220552);
    EXPECT_EQ(end->KSESetEndPointAddress("10.9.9.9", -1), -220552);
    EXPECT_EQ(Take(end->KSEGetServiceLine()), plain + "\r\n");
    end->KSESetEndPointName(strdup("h"));
    end->KSESetDynamic(false);
    EXPECT_EQ(Take(end->KSEGetServiceLine()), plain + " SERVERNAME: h DYNAMIC: NO\r\n");
    end->KSESetDynamic(true);
    EXPECT_EQ(Take(end->KSEGetServiceLine()), plain + " SERVERNAME: h DYNAMIC: YES\r\n");
    delete end;
}

TEST(SockEndTexts, DumpOfDefaultAndFullRecords) {
    CKesSockEnd empty;
    testing::internal::CaptureStdout();
    empty.KSEDump();
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "SockEnd: Socket::4294967295\n");

    CKesSockEnd* end = MakeEnd();
    end->KSESetEndPointName(strdup("h"));
    testing::internal::CaptureStdout();
    end->KSEDump();
    EXPECT_EQ(testing::internal::GetCapturedStdout(),
              "SockEnd: ServiceName::S EndPointName::h EndPointAddress::10.1.2.3 Domain::D Socket::4294967295\n");
    end->KSEGetHashKey();
    testing::internal::CaptureStdout();
    end->KSEDump();
    EXPECT_EQ(testing::internal::GetCapturedStdout(),
              "SockEnd: ServiceName::S EndPointName::h EndPointAddress::10.1.2.3 Domain::D HashKey::D.S "
              "Socket::4294967295\n");
    delete end;
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
        EXPECT_EQ(Fields(record), expected);
        EXPECT_EQ(OverTheWire(record), expected);
        delete record;
    }
    EXPECT_EQ(CKesSockEnd::KSEGetClientIdPacket(nullptr), nullptr);
    CKesSockEnd nameless;
    nameless.KSESetEndPointDomain(strdup("D"));
    EXPECT_EQ(nameless.KSEGetAddressRequestPacket(), nullptr);
}
