// The service data parser: the file's language, lookups, owning records, reading and re-reading.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <ctime>

#include "CKesPointer.h"
#include "CKesServiceDataParser.h"
#include "CKesSockEnd.h"
#include "CKesTreeList.h"
#include "KesTestSupport.h"

namespace {

const char* kEntry = "SERVICE: svc DOMAIN: dom ADDRESS: 10.1.2.3 PORT: 8000";

std::string Entry(const std::string& domain, const std::string& service, int port)
{
    return ksxtest::ServiceLine(service, domain, "10.0.0.1", port);
}

// Parses text on parser and returns what went to standard output.
std::string Parse(CKesServiceDataParser& parser, std::string text)
{
    testing::internal::CaptureStdout();
    EXPECT_EQ(1, parser.KSDPParse(text.data()));
    return testing::internal::GetCapturedStdout();
}

unsigned int PortOf(CKesServiceDataParser& parser, const char* domain, const char* service)
{
    CKesSockEnd* record = parser.KSDPGetServiceData(domain, service);
    return record ? record->KSEGetEndPtAddressPort() : 0;
}

// The whole table in key order, one "key address:port dynamic|fixed [name]" line per entry.
std::string Table(CKesServiceDataParser& parser)
{
    std::string out;
    CKesDoubleList* entries = parser.KSDPResults()->KTLIterator();
    for (CKesListable* item = entries->KDLHead(); item; item = entries->KDLGetNext(item)) {
        auto* end = static_cast<CKesSockEnd*>(static_cast<CKesPointer*>(item)->KPData());
        out += std::string(end->KSEGetHashKey()) + " " + ksxtest::TakeText(end->KSEGetEndPtIpAddress()) +
               ":" + std::to_string(end->KSEGetEndPtAddressPort()) +
               (end->KSEGetDynamic() ? " dynamic" : " fixed") +
               (end->KSEGetEndPointName() ? std::string(" ") + end->KSEGetEndPointName() : "") + "\n";
    }
    return out;
}

// Writes the service file stamped with the given modification second; the parser's check of it.
int WriteAndCheck(CKesServiceDataParser& parser, const std::string& text, time_t second)
{
    ksxtest::WriteServiceFile(text);
    const struct timespec times[2] = {{second, 0}, {second, 0}};
    EXPECT_EQ(0, utimensat(AT_FDCWD, ksxtest::ServiceFilePath().c_str(), times, 0));
    return parser.KSDPCheckFileTime(ksxtest::ServiceFilePath().c_str());
}

} // namespace

// Each text gives exactly this output, table and reports: a syntax error's report names its line and
// empties the table, earlier entries too, before the abandoned entry reaches a record (so no flag is judged).
TEST(ServiceDataSyntax, EachTextFilesExactlyItsEntriesOrNoneAfterASyntaxError)
{
    const std::string svc = "dom.svc 10.1.2.3:8000 dynamic\n", good = Entry("d", "a", 1);
    auto error = [](int line) {
        return "KesServiceData parse error Line number: " + std::to_string(line) + "\n";
    };
    const struct {
        std::string text, output, table;
        std::vector<std::pair<int, int>> reports = {}; // (code, source line) of the flagged values
    } cases[] = {
        // Entries may span lines and share a line.
        {"SERVICE:\tsvc\r\n DOMAIN: dom\r\n\tADDRESS:  10.1.2.3 \r\nPORT:\t8000\r\n"
         "SERVICE: a DOMAIN: d ADDRESS: 1.1.1.1 PORT: 1 SERVICE: b DOMAIN: d ADDRESS: 2.2.2.2 PORT: 2",
         "", "d.a 1.1.1.1:1 dynamic\nd.b 2.2.2.2:2 dynamic\n" + svc},
        // Keywords and the dynamic values match in any case.
        {"service: fixed domain: dom address: 10.0.0.1 port: 1 servername: host1 dynamic: no\n"
         "SeRvIcE: dyn DoMaIn: dom AdDrEsS: 10.0.0.2 PoRt: 2 SeRvErNaMe: host2 DyNaMiC: Yes\n",
         "", "dom.dyn 10.0.0.2:2 dynamic host2\ndom.fixed 10.0.0.1:1 fixed host1\n"},
        // A number domain loses its leading zeros, the any-domain names become one, and words that look like
        // numbers, addresses, comments or keywords are strings.
        {Entry("007", "a", 1) + Entry("any_kes_domain", "b", 1) + Entry("ANY_OSTRAVINE_DOMAIN", "c", 1) +
             Entry("#note", "s", 1) + Entry("12--3", "s", 1) + Entry("12a", "s", 1) +
             Entry("1.2.3.4.5", "s", 1) + Entry("PORT:80", "s", 1) + Entry("DOMAIN", "s", 1),
         "",
         "#note.s 10.0.0.1:1 dynamic\n1.2.3.4.5.s 10.0.0.1:1 dynamic\n12--3.s 10.0.0.1:1 dynamic\n12a.s "
         "10.0.0.1:1 dynamic\n7.a 10.0.0.1:1 dynamic\nANY_OSTRAVINE_DOMAIN.b 10.0.0.1:1 dynamic\n"
         "ANY_OSTRAVINE_DOMAIN.c 10.0.0.1:1 dynamic\nDOMAIN.s 10.0.0.1:1 dynamic\nPORT:80.s 10.0.0.1:1 "
         "dynamic\n"},
        // Comments are skipped wherever a word may begin.
        {"## header SERVICE: ignored DOMAIN: x ADDRESS: 1.1.1.1 PORT: 1\n-- another header\n"
         "SERVICE: ## between keyword and value\n svc --\n DOMAIN: --x\n dom ADDRESS: 10.1.2.3"
         " PORT: 8000 ## after an entry\n\t--indented\n",
         "", svc},
        // Words and comment lines far longer than a read of the scanner stay whole.
        {std::string(kEntry) + " SERVERNAME: " + std::string(100000, 'h') + "\n## " +
             std::string(100000, 'c') + "\nSERVICE: b DOMAIN: d ADDRESS: 2.2.2.2 PORT: 2",
         "", "d.b 2.2.2.2:2 dynamic\ndom.svc 10.1.2.3:8000 dynamic " + std::string(100000, 'h') + "\n"},
        // Syntax errors: no entry at all, a host name, a lone '#', a word for a port, words left over.
        {"## only\n-- comments\n\n", error(4), ""},
        {"SERVICE: s DOMAIN: d ADDRESS: localhost PORT: 1", error(1), ""},
        {good + "# note\n" + good, error(2), ""},
        {good + good + "SERVICE: c DOMAIN: d\nADDRESS: 1.1.1.1\nPORT: x\n" + good, error(5), ""},
        {good + "SERVICE: b DOMAIN: d ADDRESS: 1.1.1.1 PORT: 1 DYNAMIC: maybe x y z\n" + good, error(2), ""},
        // An unknown dynamic value keeps its entry (as dynamic); a refused port drops only its entry.
        {std::string(kEntry) + " DYNAMIC: maybe\nSERVICE: a DOMAIN: d ADDRESS: 1.1.1.1 PORT: 99999999999\n"
                               "SERVICE: b DOMAIN: d ADDRESS: 1.1.1.1 PORT: 2\n",
         "",
         "d.b 1.1.1.1:2 dynamic\n" + svc,
         {{KES_ERR_SERVICE_ENTRY, 218}, {KES_ERR_ARGUMENT, 174}}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.text.substr(0, 200));
        ksxtest::ErrorCapture errors;
        CKesServiceDataParser parser;
        if (!c.output.empty()) Parse(parser, Entry("d", "old", 1)); // to be dropped by the failed parse
        EXPECT_EQ(c.output, Parse(parser, c.text));
        EXPECT_EQ(c.table, Table(parser));
        EXPECT_EQ(c.reports.empty(), !errors.Has(KES_ERR_SERVICE_ENTRY));
        for (const auto& [code, line] : c.reports) EXPECT_TRUE(errors.Has(code, "KesServiceData", line));
    }
}

// A later parse keeps earlier entries unless it replaces them (freeing the replaced one).
TEST(ServiceDataParser, LookupMatchesDomainThenServiceAndLaterParsesMerge)
{
    CKesServiceDataParser parser;
    Parse(parser, Entry("a", "svc", 1) + Entry("b", "svc", 2));
    EXPECT_EQ(1u, PortOf(parser, "a", "svc"));
    EXPECT_EQ(2u, PortOf(parser, "b", "svc"));
    EXPECT_EQ(nullptr, parser.KSDPGetServiceData("svc", "a"));

    Parse(parser, Entry("b", "svc", 22) + Entry("b", "three", 3));
    EXPECT_EQ("a.svc 10.0.0.1:1 dynamic\nb.svc 10.0.0.1:22 dynamic\nb.three 10.0.0.1:3 dynamic\n",
              Table(parser));
    // Filing an already filed record keeps it, not frees it.
    EXPECT_EQ(1, parser.KSDPAddRecordToDataList(parser.KSDPGetServiceData("b", "svc")));
    EXPECT_EQ(22u, PortOf(parser, "b", "svc"));

    // The shipped file files the multicast service under the any-domain only.
    ASSERT_EQ(1, parser.KSDPParseFromFile(ksxtest::ServiceFilePath().c_str()));
    EXPECT_EQ(23456u, PortOf(parser, "ANY_OSTRAVINE_DOMAIN", "MulticastService"));
    EXPECT_EQ(nullptr, parser.KSDPGetServiceData("ANY_KES_DOMAIN", "MulticastService"));
}

// A reread replaces the table whole; the last entry of every version of the file is always there meanwhile.
TEST(ServiceDataParser, CheckFileTimeRereadsOnlyOnALaterSecondAndALookupNeverSeesAHalfBuiltTable)
{
    const time_t now = time(nullptr);
    const std::string path = ksxtest::ServiceFilePath();
    CKesServiceDataParser parser;
    EXPECT_EQ(1, WriteAndCheck(parser, Entry("d", "s", 1), now - 100)); // never parsed: reads
    CKesSockEnd* first = parser.KSDPGetServiceData("d", "s");
    ASSERT_NE(nullptr, first);

    // Changed content stamped no later than the last parse is not seen.
    EXPECT_EQ(1, WriteAndCheck(parser, Entry("d", "s", 2), now - 50));
    EXPECT_EQ(first, parser.KSDPGetServiceData("d", "s"));

    EXPECT_EQ(1, WriteAndCheck(parser, Entry("d", "other", 3), now + 100));
    EXPECT_EQ("d.other 10.0.0.1:3 dynamic\n", Table(parser)); // rebuilt, not merged

    const int kEntries = 2000;
    std::string text;
    for (int i = 0; i < kEntries; ++i) text += Entry("d", "s" + std::to_string(i), i + 1);
    const std::string last = "s" + std::to_string(kEntries - 1);
    ASSERT_EQ(1, WriteAndCheck(parser, text, now + 101));
    std::atomic<int> lookups{0}, misses{0};
    std::jthread reader([&](std::stop_token stop) {
        for (; !stop.stop_requested(); ++lookups)
            misses += parser.KSDPGetServiceData("d", last.c_str()) == nullptr;
    });
    while (lookups.load() == 0) std::this_thread::yield();
    for (int round = 2; round <= 21; ++round) EXPECT_EQ(1, WriteAndCheck(parser, text, now + 100 + round));
    reader = {}; // stops and joins
    EXPECT_EQ(0, misses.load());

    ASSERT_EQ(0, unlink(path.c_str()));
    EXPECT_EQ(KES_ERR_SERVICE_FILE_READ, parser.KSDPCheckFileTime(path.c_str()));
    EXPECT_EQ(kEntries, parser.KSDPResults()->KTLLength()) << "a file that cannot be read keeps the table";
}
