// The service data parser: lookups, the table's ownership of its records,
// reading the service file and re-reading it when it changes.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <atomic>
#include <ctime>
#include <string>
#include <thread>

#include "CKesServiceDataParser.h"
#include "CKesSockEnd.h"
#include "CKesTreeList.h"
#include "KesTestSupport.h"

namespace {

std::string Entry(const std::string& domain, const std::string& service, int port)
{
    return "SERVICE: " + service + " DOMAIN: " + domain + " ADDRESS: 10.0.0.1 PORT: " + std::to_string(port) +
           "\n";
}

int Parse(CKesServiceDataParser& parser, std::string text) { return parser.KSDPParse(text.data()); }

// Writes the service file and stamps it with the given modification second.
void WriteServiceFileAt(const std::string& text, time_t second)
{
    ksxtest::WriteServiceFile(text);
    struct timespec times[2] = {{second, 0}, {second, 0}};
    ASSERT_EQ(0, utimensat(AT_FDCWD, ksxtest::ServiceFilePath().c_str(), times, 0));
}

unsigned int PortOf(CKesServiceDataParser& parser, const char* domain, const char* service)
{
    CKesSockEnd* record = parser.KSDPGetServiceData(domain, service);
    return record ? record->KSEGetEndPtAddressPort() : 0;
}

} // namespace

// Lookups take the domain first and match exactly; a later parse keeps
// earlier entries unless it replaces them (freeing the replaced one).
TEST(ServiceDataParser, LookupMatchesDomainThenServiceAndLaterParsesMerge)
{
    CKesServiceDataParser parser;
    Parse(parser, Entry("a", "svc", 1) + Entry("b", "svc", 2));
    EXPECT_EQ(1u, PortOf(parser, "a", "svc"));
    EXPECT_EQ(2u, PortOf(parser, "b", "svc"));
    EXPECT_EQ(nullptr, parser.KSDPGetServiceData("svc", "a"));

    Parse(parser, Entry("b", "svc", 22) + Entry("b", "three", 3));
    EXPECT_EQ(3, parser.KSDPResults()->KTLLength());
    EXPECT_EQ(1u, PortOf(parser, "a", "svc"));
    EXPECT_EQ(22u, PortOf(parser, "b", "svc"));
    CKesSockEnd* filed = parser.KSDPGetServiceData("b", "svc");
    EXPECT_EQ(1, parser.KSDPAddRecordToDataList(filed)); // already filed: kept, not freed
    EXPECT_EQ(22u, PortOf(parser, "b", "svc"));

    // The shipped file files the multicast service under the any-domain only.
    ASSERT_EQ(1, parser.KSDPParseFromFile(ksxtest::ServiceFilePath().c_str()));
    EXPECT_EQ(23456u, PortOf(parser, "ANY_OSTRAVINE_DOMAIN", "MulticastService"));
    EXPECT_EQ(nullptr, parser.KSDPGetServiceData("ANY_KES_DOMAIN", "MulticastService"));
}

TEST(ServiceDataParser, CheckFileTimeRereadsOnlyOnALaterModificationSecond)
{
    const time_t now = time(nullptr);
    const std::string path = ksxtest::ServiceFilePath();
    CKesServiceDataParser parser;
    WriteServiceFileAt(Entry("d", "s", 1), now - 100);
    EXPECT_EQ(1, parser.KSDPCheckFileTime(path.c_str())); // never parsed: reads
    CKesSockEnd* first = parser.KSDPGetServiceData("d", "s");
    ASSERT_NE(nullptr, first);

    // Changed content stamped no later than the last parse is not seen.
    WriteServiceFileAt(Entry("d", "s", 2), now - 50);
    EXPECT_EQ(1, parser.KSDPCheckFileTime(path.c_str()));
    EXPECT_EQ(first, parser.KSDPGetServiceData("d", "s"));

    WriteServiceFileAt(Entry("d", "other", 3), now + 100);
    EXPECT_EQ(1, parser.KSDPCheckFileTime(path.c_str()));
    EXPECT_EQ(nullptr, parser.KSDPGetServiceData("d", "s")); // table rebuilt, not merged
    EXPECT_EQ(3u, PortOf(parser, "d", "other"));

    ASSERT_EQ(0, unlink(path.c_str()));
    EXPECT_EQ(-220549, parser.KSDPCheckFileTime(path.c_str()));
    EXPECT_EQ(3u, PortOf(parser, "d", "other"));
}

// A lookup while another thread re-reads the file waits for the whole new
// table: the last entry of every version of the file is always there.
TEST(ServiceDataParser, LookupDuringRereadNeverSeesAHalfBuiltTable)
{
    const int kEntries = 2000;
    const std::string path = ksxtest::ServiceFilePath();
    std::string text;
    for (int i = 0; i < kEntries; ++i) text += Entry("d", "s" + std::to_string(i), i + 1);
    const std::string last = "s" + std::to_string(kEntries - 1);

    CKesServiceDataParser parser;
    const time_t start = time(nullptr) + 10;
    WriteServiceFileAt(text, start);
    ASSERT_EQ(1, parser.KSDPCheckFileTime(path.c_str()));

    std::atomic<bool> done{false};
    std::atomic<int> lookups{0}, misses{0};
    std::thread reader([&] {
        while (!done.load()) {
            if (!parser.KSDPGetServiceData("d", last.c_str())) misses.fetch_add(1);
            lookups.fetch_add(1);
        }
    });
    while (lookups.load() == 0) std::this_thread::yield();
    for (int round = 1; round <= 20; ++round) {
        WriteServiceFileAt(text, start + round);
        EXPECT_EQ(1, parser.KSDPCheckFileTime(path.c_str()));
    }
    done = true;
    reader.join();
    EXPECT_EQ(0, misses.load());
    EXPECT_EQ(kEntries, parser.KSDPResults()->KTLLength());
}
