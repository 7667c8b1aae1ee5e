// The service file language: what each text turns into, and how a syntax
// error is reported and recovered from.
#include <arpa/inet.h>
#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "CKesServiceDataParser.h"
#include "CKesServiceDataScanner.h"
#include "CKesSockEnd.h"
#include "CKesTreeList.h"
#include "KesTestSupport.h"

namespace {

const char* kEntry = "SERVICE: svc DOMAIN: dom ADDRESS: 10.1.2.3 PORT: 8000";

// Parses text on parser and returns what went to standard output.
std::string Parse(CKesServiceDataParser& parser, std::string text) {
    testing::internal::CaptureStdout();
    EXPECT_EQ(1, parser.KSDPParse(text.data()));
    return testing::internal::GetCapturedStdout();
}

std::string ErrorLine(int line) { return "KesServiceData parse error Line number: " + std::to_string(line) + "\n"; }

int Entries(CKesServiceDataParser& parser) { return parser.KSDPResults()->KTLLength(); }

}  // namespace

TEST(ServiceDataSyntax, OneEntryGivesADynamicRecordWithoutServerName) {
    for (std::string text : {std::string(kEntry), std::string(kEntry) + "\n"}) {
        CKesServiceDataParser parser;
        EXPECT_EQ("", Parse(parser, text));
        ASSERT_EQ(1, Entries(parser));
        CKesSockEnd* record = parser.KSDPGetServiceData("dom", "svc");
        ASSERT_NE(nullptr, record);
        EXPECT_STREQ("dom.svc", record->KSEGetHashKey());
        EXPECT_TRUE(record->KSEGetDynamic());
        EXPECT_EQ(nullptr, record->KSEGetEndPointName());
        EXPECT_EQ(8000u, record->KSEGetEndPtAddressPort());
        EXPECT_EQ(inet_addr("10.1.2.3"), record->KSEGetEndPtIpAddressLong());
    }
}

TEST(ServiceDataSyntax, EntriesMaySpanLinesAndShareALine) {
    CKesServiceDataParser parser;
    EXPECT_EQ("", Parse(parser,
                        "SERVICE:\tsvc\r\n DOMAIN: dom\r\n\tADDRESS:  10.1.2.3 \r\nPORT:\t8000\r\n"
                        "SERVICE: a DOMAIN: d ADDRESS: 1.1.1.1 PORT: 1 SERVICE: b DOMAIN: d ADDRESS: 2.2.2.2 PORT: 2"));
    EXPECT_EQ(3, Entries(parser));
    ASSERT_NE(nullptr, parser.KSDPGetServiceData("dom", "svc"));
    EXPECT_EQ(8000u, parser.KSDPGetServiceData("dom", "svc")->KSEGetEndPtAddressPort());
    ASSERT_NE(nullptr, parser.KSDPGetServiceData("d", "b"));
    EXPECT_EQ(2u, parser.KSDPGetServiceData("d", "b")->KSEGetEndPtAddressPort());
}

TEST(ServiceDataSyntax, KeywordsAndDynamicValuesMatchInAnyCase) {
    CKesServiceDataParser parser;
    EXPECT_EQ("", Parse(parser,
                        "service: fixed domain: dom address: 10.0.0.1 port: 1 servername: host1 dynamic: no\n"
                        "SeRvIcE: dyn DoMaIn: dom AdDrEsS: 10.0.0.2 PoRt: 2 SeRvErNaMe: host2 DyNaMiC: Yes\n"));
    CKesSockEnd* fixed = parser.KSDPGetServiceData("dom", "fixed");
    ASSERT_NE(nullptr, fixed);
    EXPECT_FALSE(fixed->KSEGetDynamic());
    EXPECT_STREQ("host1", fixed->KSEGetEndPointName());
    CKesSockEnd* dynamic = parser.KSDPGetServiceData("dom", "dyn");
    ASSERT_NE(nullptr, dynamic);
    EXPECT_TRUE(dynamic->KSEGetDynamic());
}

TEST(ServiceDataSyntax, UnknownDynamicValueIsReportedAndTheEntryKept) {
    ksxtest::ErrorCapture errors;
    CKesServiceDataParser parser;
    EXPECT_EQ("", Parse(parser, std::string(kEntry) + " DYNAMIC: maybe"));
    EXPECT_TRUE(errors.Has(-220439, "KesServiceData", 218));
    ASSERT_NE(nullptr, parser.KSDPGetServiceData("dom", "svc"));
    EXPECT_TRUE(parser.KSDPGetServiceData("dom", "svc")->KSEGetDynamic());
}

TEST(ServiceDataSyntax, DomainFormsGiveTheirDomainNames) {
    CKesServiceDataParser parser;
    EXPECT_EQ("", Parse(parser,
                        "SERVICE: a DOMAIN: 007 ADDRESS: 1.1.1.1 PORT: 1\n"
                        "SERVICE: b DOMAIN: any_kes_domain ADDRESS: 1.1.1.1 PORT: 1\n"
                        "SERVICE: c DOMAIN: ANY_OSTRAVINE_DOMAIN ADDRESS: 1.1.1.1 PORT: 1\n"));
    EXPECT_NE(nullptr, parser.KSDPGetServiceData("7", "a"));
    EXPECT_NE(nullptr, parser.KSDPGetServiceData("ANY_OSTRAVINE_DOMAIN", "b"));
    EXPECT_NE(nullptr, parser.KSDPGetServiceData("ANY_OSTRAVINE_DOMAIN", "c"));
    EXPECT_EQ(3, Entries(parser));
}

TEST(ServiceDataSyntax, WordsThatMerelyResembleTokensAreStrings) {
    CKesServiceDataParser parser;
    const std::vector<std::string> domains = {"#", "#note", "-x", "a##b", "12--3", "12a", "-1", "1.2.3",
                                              "1.2.3.4.5", ".1.2.3.4", "ANY_KES_DOMAINS", "PORT:80",
                                              "SERVICE:x", "DOMAIN", "\xC3\xA9t\xC3\xA9"};
    std::string text;
    for (const auto& domain : domains) text += "SERVICE: s DOMAIN: " + domain + " ADDRESS: 1.1.1.1 PORT: 1\n";
    EXPECT_EQ("", Parse(parser, text));
    EXPECT_EQ(static_cast<int>(domains.size()), Entries(parser));
    for (const auto& domain : domains) EXPECT_NE(nullptr, parser.KSDPGetServiceData(domain.c_str(), "s")) << domain;
}

TEST(ServiceDataSyntax, CommentsAreSkippedWhereverAWordMayBegin) {
    CKesServiceDataParser parser;
    EXPECT_EQ("", Parse(parser,
                        "## header SERVICE: ignored DOMAIN: x ADDRESS: 1.1.1.1 PORT: 1\n"
                        "-- another header\n"
                        "SERVICE: ## between keyword and value\n svc --\n DOMAIN: --x\n dom ADDRESS: 10.1.2.3"
                        " PORT: 8000 ## after an entry\n"
                        "\t--indented\n"));
    EXPECT_EQ(1, Entries(parser));
    EXPECT_NE(nullptr, parser.KSDPGetServiceData("dom", "svc"));
}

TEST(ServiceDataSyntax, AddressesAreHandedOnAsWritten) {
    CKesServiceDataParser parser;
    EXPECT_EQ("", Parse(parser,
                        "SERVICE: high DOMAIN: d ADDRESS: 1.2.3.300 PORT: 0002\n"));
    ASSERT_NE(nullptr, parser.KSDPGetServiceData("d", "high"));
    EXPECT_EQ(0xFFFFFFFFul, parser.KSDPGetServiceData("d", "high")->KSEGetEndPtIpAddressLong());
    EXPECT_EQ(2u, parser.KSDPGetServiceData("d", "high")->KSEGetEndPtAddressPort());
}

TEST(ServiceDataSyntax, RefusedPortDropsOnlyItsEntry) {
    ksxtest::ErrorCapture errors;
    CKesServiceDataParser parser;
    EXPECT_EQ("", Parse(parser,
                        "SERVICE: a DOMAIN: d ADDRESS: 1.1.1.1 PORT: 99999999999\n"
                        "SERVICE: b DOMAIN: d ADDRESS: 1.1.1.1 PORT: 2\n"));
    EXPECT_TRUE(errors.Has(-220552, "KesServiceData", 174));
    EXPECT_EQ(nullptr, parser.KSDPGetServiceData("d", "a"));
    EXPECT_NE(nullptr, parser.KSDPGetServiceData("d", "b"));
}

TEST(ServiceDataSyntax, LaterEntryWithTheSameKeyReplacesTheEarlier) {
    CKesServiceDataParser parser;
    Parse(parser, "SERVICE: s DOMAIN: d ADDRESS: 1.1.1.1 PORT: 1 SERVICE: s DOMAIN: d ADDRESS: 2.2.2.2 PORT: 2");
    ASSERT_EQ(1, Entries(parser));
    EXPECT_EQ(2u, parser.KSDPGetServiceData("d", "s")->KSEGetEndPtAddressPort());
}

// Each text holds one syntax error; the report names its line.
TEST(ServiceDataSyntax, SyntaxErrorGivesOneReportAndAnEmptyTable) {
    const std::string good = "SERVICE: a DOMAIN: d ADDRESS: 1.1.1.1 PORT: 1\n";
    const std::vector<std::pair<std::string, int>> cases = {
        {"", 1},
        {"## only\n-- comments\n\n", 4},
        {std::string(kEntry) + " DYNAMIC: NO SERVERNAME: h", 1},
        {"SERVICE: s DOMAIN: d ADDRESS: 1.1.1.1 PORT:8000", 1},
        {"SERVICE: s DOMAIN: 10.0.0.1 ADDRESS: 1.1.1.1 PORT: 1", 1},
        {"SERVICE: 42 DOMAIN: d ADDRESS: 1.1.1.1 PORT: 1", 1},
        {"SERVICE: s DOMAIN: d ADDRESS: 1.1.1.1 PORT: 1 SERVERNAME: 42", 1},
        {"SERVICE: s DOMAIN: d ADDRESS: localhost PORT: 1", 1},
        {"SERVICE: s DOMAIN: d ADDRESS: 1.2.3 PORT: 1", 1},
        {"SERVICE s DOMAIN: d ADDRESS: 1.1.1.1 PORT: 1", 1},
        {good + "# note\n" + good, 2},
        {good + good + "SERVICE: c DOMAIN: d\nADDRESS: 1.1.1.1\nPORT: x\n" + good, 5},
        {good + "SERVICE: c DOMAIN: d ADDRESS: 1.1.1.1\n\n", 4},
        {good + "SERVICE: b DOMAIN: d ADDRESS: 1.1.1.1 PORT: 1 DYNAMIC: maybe x y z\n" + good, 2},
    };
    for (const auto& [text, line] : cases) {
        ksxtest::ErrorCapture errors;
        CKesServiceDataParser parser;
        Parse(parser, "SERVICE: old DOMAIN: d ADDRESS: 1.1.1.1 PORT: 1");
        EXPECT_EQ(ErrorLine(line), Parse(parser, text)) << text;
        EXPECT_EQ(0, Entries(parser)) << text;
        // The abandoned entry never reaches a record, so its flag is never judged.
        EXPECT_FALSE(errors.Has(-220439)) << text;
    }
}

TEST(ServiceDataSyntax, TextEndsAtItsFirstNulByte) {
    const std::string text = std::string(kEntry) + '\0' + "garbage that would not parse";
    CKesServiceDataParser parser;
    CKesServiceDataScanner scanner(text.data(), static_cast<int>(text.size()));
    testing::internal::CaptureStdout();
    EXPECT_EQ(0, KesServiceDataparse(&scanner, &parser));
    EXPECT_EQ("", testing::internal::GetCapturedStdout());
    EXPECT_NE(nullptr, parser.KSDPGetServiceData("dom", "svc"));
}

TEST(ServiceDataSyntax, WithoutAParserEntriesAreRefusedAndErrorsStillReported) {
    CKesServiceDataScanner good(kEntry, static_cast<int>(strlen(kEntry)));
    testing::internal::CaptureStderr();
    testing::internal::CaptureStdout();
    EXPECT_EQ(0, KesServiceDataparse(&good, nullptr));
    std::string out = testing::internal::GetCapturedStdout();
    std::string err = testing::internal::GetCapturedStderr();
    EXPECT_NE(std::string::npos,
              err.find("ERROR: Problems occured while trying to add the service data to the data list. \n"));
    EXPECT_NE(std::string::npos, out.find("SockEnd: ServiceName::svc "));

    CKesServiceDataScanner bad("\nSERVICE: 1", 11);
    KesServiceDataLineNo = 1;
    testing::internal::CaptureStdout();
    EXPECT_EQ(0, KesServiceDataparse(&bad, nullptr));
    EXPECT_EQ(ErrorLine(2), testing::internal::GetCapturedStdout());
}
