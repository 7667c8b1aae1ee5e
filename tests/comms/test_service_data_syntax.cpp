// The service file language: what each text turns into, and how errors are reported.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "CKesPointer.h"
#include "CKesServiceDataParser.h"
#include "CKesSockEnd.h"
#include "CKesTreeList.h"
#include "KesTestSupport.h"

namespace {

const char* kEntry = "SERVICE: svc DOMAIN: dom ADDRESS: 10.1.2.3 PORT: 8000";

// Parses text on parser and returns what went to standard output.
std::string Parse(CKesServiceDataParser& parser, std::string text)
{
    testing::internal::CaptureStdout();
    EXPECT_EQ(1, parser.KSDPParse(text.data()));
    return testing::internal::GetCapturedStdout();
}

std::string ErrorLine(int line)
{
    return "KesServiceData parse error Line number: " + std::to_string(line) + "\n";
}

int Entries(CKesServiceDataParser& parser) { return parser.KSDPResults()->KTLLength(); }

// The whole table in key order, one "key address:port dynamic|fixed [name]" line per entry.
std::string Table(CKesServiceDataParser& parser)
{
    std::string out;
    CKesDoubleList* entries = parser.KSDPResults()->KTLIterator();
    for (CKesListable* item = entries->KDLHead(); item; item = entries->KDLGetNext(item)) {
        auto* end = static_cast<CKesSockEnd*>(static_cast<CKesPointer*>(item)->KPData());
        char* address = end->KSEGetEndPtIpAddress();
        out += std::string(end->KSEGetHashKey()) + " " + (address ? address : "-") + ":" +
               std::to_string(end->KSEGetEndPtAddressPort()) +
               (end->KSEGetDynamic() ? " dynamic" : " fixed") +
               (end->KSEGetEndPointName() ? std::string(" ") + end->KSEGetEndPointName() : "") + "\n";
        free(address);
    }
    return out;
}

} // namespace

// Each text parses without a report into exactly these entries.
TEST(ServiceDataSyntax, EachTextFilesExactlyItsEntries)
{
    const std::string svc = "dom.svc 10.1.2.3:8000 dynamic\n";
    const std::pair<std::string, std::string> cases[] = {
        // Entries may span lines and share a line.
        {"SERVICE:\tsvc\r\n DOMAIN: dom\r\n\tADDRESS:  10.1.2.3 \r\nPORT:\t8000\r\n"
         "SERVICE: a DOMAIN: d ADDRESS: 1.1.1.1 PORT: 1 SERVICE: b DOMAIN: d ADDRESS: 2.2.2.2 PORT: 2",
         "d.a 1.1.1.1:1 dynamic\nd.b 2.2.2.2:2 dynamic\n" + svc},
        // Keywords and the dynamic values match in any case.
        {"service: fixed domain: dom address: 10.0.0.1 port: 1 servername: host1 dynamic: no\n"
         "SeRvIcE: dyn DoMaIn: dom AdDrEsS: 10.0.0.2 PoRt: 2 SeRvErNaMe: host2 DyNaMiC: Yes\n",
         "dom.dyn 10.0.0.2:2 dynamic host2\ndom.fixed 10.0.0.1:1 fixed host1\n"},
        // A number domain loses its leading zeros; the any-domain names become one.
        {"SERVICE: a DOMAIN: 007 ADDRESS: 1.1.1.1 PORT: 1\n"
         "SERVICE: b DOMAIN: any_kes_domain ADDRESS: 1.1.1.1 PORT: 1\n"
         "SERVICE: c DOMAIN: ANY_OSTRAVINE_DOMAIN ADDRESS: 1.1.1.1 PORT: 1\n",
         "7.a 1.1.1.1:1 dynamic\nANY_OSTRAVINE_DOMAIN.b 1.1.1.1:1 dynamic\nANY_OSTRAVINE_DOMAIN.c 1.1.1.1:1 "
         "dynamic\n"},
        // Comments are skipped wherever a word may begin.
        {"## header SERVICE: ignored DOMAIN: x ADDRESS: 1.1.1.1 PORT: 1\n-- another header\n"
         "SERVICE: ## between keyword and value\n svc --\n DOMAIN: --x\n dom ADDRESS: 10.1.2.3"
         " PORT: 8000 ## after an entry\n\t--indented\n",
         svc},
        // Words and comment lines far longer than a read of the scanner stay whole.
        {std::string(kEntry) + " SERVERNAME: " + std::string(100000, 'h') + "\n## " +
             std::string(100000, 'c') + "\nSERVICE: b DOMAIN: d ADDRESS: 2.2.2.2 PORT: 2",
         "d.b 2.2.2.2:2 dynamic\ndom.svc 10.1.2.3:8000 dynamic " + std::string(100000, 'h') + "\n"},
    };
    for (const auto& [text, expected] : cases) {
        CKesServiceDataParser parser;
        EXPECT_EQ("", Parse(parser, text)) << text;
        EXPECT_EQ(expected, Table(parser)) << text;
    }
}

// An unknown dynamic value is reported and its entry kept (as dynamic); a
// refused port drops only its entry.
TEST(ServiceDataSyntax, BadValuesAreReportedAtTheirLines)
{
    ksxtest::ErrorCapture errors;
    CKesServiceDataParser parser;
    EXPECT_EQ("", Parse(parser, std::string(kEntry) + " DYNAMIC: maybe\n" +
                                    "SERVICE: a DOMAIN: d ADDRESS: 1.1.1.1 PORT: 99999999999\n"
                                    "SERVICE: b DOMAIN: d ADDRESS: 1.1.1.1 PORT: 2\n"));
    EXPECT_TRUE(errors.Has(-220439, "KesServiceData", 218));
    EXPECT_TRUE(errors.Has(-220552, "KesServiceData", 174));
    ASSERT_NE(nullptr, parser.KSDPGetServiceData("dom", "svc"));
    EXPECT_TRUE(parser.KSDPGetServiceData("dom", "svc")->KSEGetDynamic());
    EXPECT_EQ(nullptr, parser.KSDPGetServiceData("d", "a"));
    EXPECT_NE(nullptr, parser.KSDPGetServiceData("d", "b"));
}

TEST(ServiceDataSyntax, WordsThatMerelyResembleTokensAreStrings)
{
    CKesServiceDataParser parser;
    const std::vector<std::string> domains = {"#note", "12--3", "12a", "1.2.3.4.5", "PORT:80", "DOMAIN"};
    std::string text;
    for (const auto& domain : domains) text += "SERVICE: s DOMAIN: " + domain + " ADDRESS: 1.1.1.1 PORT: 1\n";
    EXPECT_EQ("", Parse(parser, text));
    EXPECT_EQ(static_cast<int>(domains.size()), Entries(parser));
    for (const auto& domain : domains)
        EXPECT_NE(nullptr, parser.KSDPGetServiceData(domain.c_str(), "s")) << domain;
}

// Each text holds one syntax error; the report names its line.
TEST(ServiceDataSyntax, SyntaxErrorGivesOneReportAndAnEmptyTable)
{
    const std::string good = "SERVICE: a DOMAIN: d ADDRESS: 1.1.1.1 PORT: 1\n";
    const std::vector<std::pair<std::string, int>> cases = {
        {"## only\n-- comments\n\n", 4},
        {"SERVICE: s DOMAIN: d ADDRESS: localhost PORT: 1", 1},
        {good + "# note\n" + good, 2},
        {good + good + "SERVICE: c DOMAIN: d\nADDRESS: 1.1.1.1\nPORT: x\n" + good, 5},
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
