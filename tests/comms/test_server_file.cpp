// The server's start-up, termination and its entry in the service file, compared byte for byte.
#include <sys/resource.h>
#include <unistd.h>

#include <chrono>
#include <csignal>
#include <filesystem>
#include <functional>
#include <set>
#include <sstream>
#include <thread>

#include "CKesAtom.h"
#include "CKesServiceDataParser.h"
#include "CKesTreeList.h"
#include "KesEngineHarness.h"

namespace {

using ksxtest::ReadFile;
using ksxtest::ServiceFilePath;
using ksxtest::WriteServiceFile;

long ThreadCount() { return std::distance(std::filesystem::directory_iterator("/proc/self/task"), {}); }

// An initialised server of the service in domain "dom"; *port (when given) is the port it published.
std::unique_ptr<CKesObjSockServer> StartServer(const char* service, unsigned int* port = nullptr)
{
    std::unique_ptr<CKesObjSockServer> server(ksxtest::NamedServer(service, "dom"));
    EXPECT_EQ(1, server->KOSSInitialise());
    if (port) *port = server->KOSSGetServerData() ? server->KOSSGetServerData()->KSEGetEndPtAddressPort() : 0;
    return server;
}

// The line a dynamic server on the loopback address publishes.
std::string PublishedLine(const char* service, const char* domain, unsigned int port)
{
    char host[256] = {};
    gethostname(host, sizeof(host) - 1);
    return std::string("SERVICE: ") + service + " DOMAIN: " + domain +
           " ADDRESS: 127.0.0.1 PORT: " + std::to_string(port) + " SERVERNAME: " + host + " DYNAMIC: YES\r\n";
}

// Every server here, in this process or a publisher, publishes the loopback address.
[[maybe_unused]] const int kLoopbackOnly = setenv("KSX_HOST_ADDRS", "127.0.0.1", 1);

// The file equals `published` ("@" being our line, on the port that accepts), then `withdrawn`.
TEST(ServerFileTest, PublishAndWithdrawTouchOnlyOurOwnDynamicLines)
{
    const std::string other = "SERVICE: other DOMAIN: dom ADDRESS: 10.7.7.7 PORT: 7000\n";
    // Fixed, commented and look-alike lines are never ours to replace.
    const std::string kept = "## header comment\n"
                             "SERVICE: svc DOMAIN: dom ADDRESS: 10.9.9.9 PORT: 5000 DYNAMIC: NO\n"
                             "## SERVICE: svc DOMAIN: dom ADDRESS: 10.8.8.8 PORT: 6000 DYNAMIC: YES\n"
                             "SERVICE: svcx DOMAIN: dom ADDRESS: 10.7.7.7 PORT: 7002\n"
                             "SERVICE: svc DOMAIN: do ADDRESS: 10.7.7.7 PORT: 7005\n";
    const std::string afterNul("\0after the NUL\n", 15);
    struct {
        std::string file, published, withdrawn;
    } cases[] = {
        // The last line (dynamic, no final newline) is ours; the parser prefers it to the earlier fixed one.
        {kept + "SERVICE: svc DOMAIN: dom ADDRESS: 10.8.8.8 PORT: 6000 DYNAMIC: YES", kept + "@", kept},
        // An earlier dynamic line of ours is replaced in place; lower-case "no" does not protect one.
        {other + "SERVICE: svc DOMAIN: dom ADDRESS: 10.6.6.6 PORT: 6001 DYNAMIC: no\n" +
             "SERVICE: svc DOMAIN: dom ADDRESS: 10.6.6.7 PORT: 6002 DYNAMIC: YES\r\n" + other,
         other + "@@" + other, other + other},
        // Bytes after a NUL (which ends the text the parser reads) stay as they are; our line goes before it.
        {other + afterNul, other + "@" + afterNul, other + afterNul},
    };
    for (const auto& c : cases) {
        WriteServiceFile(c.file);
        unsigned int port = 0;
        auto server = StartServer("svc", &port);
        ASSERT_NE(0u, port) << c.file;
        std::string published;
        for (char ch : c.published)
            published += ch == '@' ? PublishedLine("svc", "dom", port) : std::string(1, ch);
        EXPECT_EQ(published, ReadFile(ServiceFilePath())) << c.file;
        EXPECT_TRUE(ksxtest::WireConnection::To(port)) << "the published port accepts";
        EXPECT_EQ(1, server->KOSSTerminate());
        EXPECT_EQ(c.withdrawn, ReadFile(ServiceFilePath())) << c.file;
    }

    // Another server of the same service and domain on another port keeps its line.
    WriteServiceFile("## services\n");
    unsigned int port = 0;
    auto server = StartServer("svc", &port);
    const std::string neighbour = PublishedLine("svc", "dom", port + 1);
    WriteServiceFile("## services\n" + neighbour + PublishedLine("svc", "dom", port) + "## trailer\n");
    server->KOSSTerminate();
    EXPECT_EQ("## services\n" + neighbour + "## trailer\n", ReadFile(ServiceFilePath()));
}

// Writing within `room` bytes more than the file holds, in a child: the
// exit status is 0 when the write was refused and left the file as it was.
int WriteWithin(size_t room, const std::function<int()>& write)
{
    const std::string before = ReadFile(ServiceFilePath());
    return ksxtest::RunInChild([&] {
        signal(SIGXFSZ, SIG_IGN);
        const rlimit limit{before.size() + room, before.size() + room};
        setrlimit(RLIMIT_FSIZE, &limit);
        return write() != 1 && ReadFile(ServiceFilePath()) == before ? 0 : 1;
    });
}

// A rewrite or an append that cannot be written whole (a full disk, here a
// file size limit) leaves the file as it was: a torn line would empty the
// table of every reader, the multicast entry with it.
TEST(ServerFileTest, AWriteWithoutRoomForItsWholeTextLeavesTheFileAsItWas)
{
    // Our stale line comes first: the longer new one moves the multicast line past the limit.
    WriteServiceFile("SERVICE: svc DOMAIN: dom ADDRESS: 10.6.6.6 PORT: 1 DYNAMIC: YES\n" +
                     std::string(ksxtest::kMulticastLine));
    EXPECT_EQ(
        0, WriteWithin(0, [] {
            return std::unique_ptr<CKesObjSockServer>(ksxtest::NamedServer("svc", "dom"))->KOSSInitialise();
        }));
    auto server = StartServer("svc");
    EXPECT_EQ(0, WriteWithin(10, [&] {
                  return server->KOSSProcessAddressReply(ksxtest::AddressReply("other", "dom", 7000).get());
              }));
}

TEST(ServerFileTest, AddressReplyIsAppendedOnceAndKnownOrBrokenRepliesAreLeftOut)
{
    WriteServiceFile("SERVICE: other DOMAIN: dom ADDRESS: 127.0.0.1 PORT: 7000\n");
    auto server = StartServer("svc");
    const std::string published = ReadFile(ServiceFilePath());
    EXPECT_EQ(1, server->KOSSProcessAddressReply(ksxtest::AddressReply("other", "dom", 7000).get()));
    CKesRecord serviceless;
    serviceless.KRAddValue(CKesSockEnd::ms_DomainNameField, "dom");
    EXPECT_EQ(KES_ERR_ADDRESS_REPLY, server->KOSSProcessAddressReply(&serviceless));
    // Anyone on the link may reply: nothing it names may add a line or break the file.
    const struct {
        const char *service = "x", *domain = "dom", *address = "10.1.1.1";
        int port = 1;
    } hostile[] = {
        {.service = "a b"},
        {.service = "x\nSERVICE: MulticastService DOMAIN: ANY_KES_DOMAIN ADDRESS: 10.6.6.6 PORT: 1 ##"},
        {.domain = "dom\r\n--"},
        {.service = "PORT:"},
        {.service = "##x"},
        {.service = "1234"},
        {.address = "10.1.1.1 PORT: 2"},
        {.port = 65537},
    };
    for (const auto& h : hostile) {
        CKesRecord reply;
        reply.KRAddValue(CKesSockEnd::ms_AddressReply, CKesSockEnd::ms_AddressReply);
        reply.KRAddValue(CKesSockEnd::ms_ServiceNameField, h.service);
        reply.KRAddValue(CKesSockEnd::ms_DomainNameField, h.domain);
        reply.KRAddValue(CKesSockEnd::ms_AddressField, h.address);
        reply.KRAddValue(CKesSockEnd::ms_PortField, CKesAtom(static_cast<long>(h.port)));
        EXPECT_EQ(KES_ERR_ADDRESS_REPLY, server->KOSSProcessAddressReply(&reply))
            << h.service << " " << h.domain << " " << h.address << " " << h.port;
    }
    EXPECT_EQ(published, ReadFile(ServiceFilePath()));

    std::unique_ptr<CKesRecord> fresh = ksxtest::AddressReply("remote", "dom", 999);
    const std::string appended =
        published + "\nSERVICE: remote DOMAIN: dom ADDRESS: 127.0.0.1 PORT: 999\r\n\n";
    for (int time = 0; time < 2; ++time) {
        EXPECT_EQ(1, server->KOSSProcessAddressReply(fresh.get()));
        EXPECT_EQ(appended, ReadFile(ServiceFilePath()));
    }
}

// Terminate right after initialise must not leak the accept thread nor revive the server.
TEST(ServerFileTest, TerminateEndsTheAcceptThreadAndNeverHangsOrRevivesTheServer)
{
    const std::string original = ReadFile(ServiceFilePath());
    StartServer("settle")->KOSSTerminate(); // a sanitizer runtime starts helper threads on first use
    const long threads = ThreadCount();
    for (int round = 0; round < 50; ++round) {
        auto server = StartServer("svc");
        ASSERT_EQ(1, server->KOSSTerminate());
        ASSERT_EQ(KES_DISCONNECTED, server->KOSSGetConnectState());
        ASSERT_EQ(threads, ThreadCount());
    }
    EXPECT_EQ(original, ReadFile(ServiceFilePath()));

    // Accepting, the thread waits up to 1 s at a time for a connection:
    // termination ends that wait at once instead of sitting it out.
    auto server = StartServer("svc");
    ASSERT_TRUE(ksxtest::WaitUntil([&] { return server->KOSSGetConnectState() == KES_CONNECTED; }));
    EXPECT_EQ(threads + 1, ThreadCount());
    std::this_thread::sleep_for(std::chrono::milliseconds(50)); // well inside a wait
    const auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(1, server->KOSSTerminate());
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(500));
    EXPECT_EQ(threads, ThreadCount());
    EXPECT_EQ(original, ReadFile(ServiceFilePath()));
}

// Names of different lengths: a shorter file written over a longer one would tear a line.
TEST(ServerFileTest, ConcurrentProcessesLeaveExactlyTheirLinesAndReadersNeverSeeAHalfRewrite)
{
    const std::string original = std::string("## services\n") + ksxtest::kMulticastLine,
                      path = ServiceFilePath();
    WriteServiceFile(original);
    constexpr int kReaders = 4, kParsesEach = 2500, kPublishers = 8, kEach = 24;
    std::atomic<int> missed = 0, changes = 0, reading = kReaders;
    std::vector<std::jthread> readers;
    for (int r = 0; r < kReaders; ++r)
        readers.emplace_back([&] {
            for (int i = 0, lastCount = -1; i < kParsesEach; ++i) {
                CKesServiceDataParser parser;
                missed += parser.KSDPParseFromFile(path.c_str()) != 1 ||
                          !parser.KSDPGetServiceData("ANY_OSTRAVINE_DOMAIN", "MulticastService");
                const int count = parser.KSDPResults()->KTLLength();
                changes += std::exchange(lastCount, count) != count && i > 0;
            }
            --reading;
        });
    auto publish = [&](const std::string& args) {
        return popen((ksxtest::HostProgram("ksx_server_publisher") + " " + args).c_str(), "r");
    };
    std::vector<FILE*> leaving;
    for (int p = 0; p < kPublishers; ++p) {
        leaving.push_back(publish("p" + std::to_string(p) + " " + std::to_string(kEach)));
        ASSERT_NE(nullptr, leaving.back());
    }
    while (reading > 0)
        for (FILE* output : {publish("w 12 10"), publish("ww 12 10"), publish("www 12 10")})
            EXPECT_EQ(0, output ? pclose(output) : -1);
    std::multiset<std::string> expected, remaining;
    for (FILE* output : leaving) {
        char service[128];
        unsigned int port = 0;
        while (fscanf(output, "%127s %u", service, &port) == 2)
            expected.insert(PublishedLine(service, "dom", port));
        EXPECT_EQ(0, pclose(output));
    }
    EXPECT_EQ(static_cast<size_t>(kPublishers * kEach / 2), expected.size());
    const std::string text = ReadFile(path);
    ASSERT_EQ(0u, text.compare(0, original.size(), original)) << text;
    std::istringstream rest(text.substr(original.size()));
    for (std::string line; std::getline(rest, line);) remaining.insert(line + "\n");
    EXPECT_EQ(expected, remaining);
    EXPECT_EQ(0, missed.load()) << "of " << kReaders * kParsesEach << " parses";
    EXPECT_GT(changes.load(), 0) << "the readers saw no rewrite";
}

} // namespace
