// The portability layer: error reports, settings from the environment, files, addresses, sockets.
#include <arpa/inet.h>
#include <netinet/tcp.h>
#include <signal.h>

#include <cerrno>
#include <cstring>
#include <regex>
#include <sstream>

#include "KesTestSupport.h" // error reports, the portability layer and GoogleTest too
#include "KesWirePeer.h"

// Each report is one whole line on stderr, also from many threads, and reaches the listener,
// which may be swapped meanwhile; errno survives. Peer loss is told from other socket errors.
TEST(ErrorReport, OneWholeLinePerReportFromAnyThreadAndTheListenerCanBeSwapped)
{
    testing::internal::CaptureStderr();
    {
        ksxtest::ErrorCapture capture;
        errno = ECONNRESET;
        CKesError(KES_ERR_ARGUMENT, "CKesSockEngine", 123, "Null server.");
        EXPECT_EQ(errno, ECONNRESET);
        CKesError(KES_ERR_MISSING, "KesServiceData", 7, nullptr);
        EXPECT_EQ(capture.Reports().size(), 2u);
    }
    CKesError(KES_ERR_ALLOCATION, "X", 1, nullptr); // with the listener gone: still written
    errno = ECONNRESET;
    KesReportSocketError(4294967294u, "Send to client failed");
    EXPECT_EQ(errno, ECONNRESET);
    errno = 0;
    KesReportSocketError(12, nullptr);
    EXPECT_EQ(testing::internal::GetCapturedStderr(),
              "KSX-ERROR -220552 CKesSockEngine:123: Null server.\n"
              "KSX-ERROR -220402 KesServiceData:7\n"
              "KSX-ERROR -220553 X:1\n"
              "Error on socket 4294967294.  Send to client failed.  Reason: " +
                  std::string(std::strerror(ECONNRESET)) + " Error No: " + std::to_string(ECONNRESET) +
                  "\nError on socket 12. Error No: 0\n");
    for (int error : {ECONNRESET, ECONNABORTED, ETIMEDOUT, EHOSTUNREACH, ENETUNREACH, EPIPE})
        EXPECT_EQ(KesSocketPeerGone(error), error != EPIPE) << error;

    testing::internal::CaptureStderr();
    constexpr int kThreads = 8, kReports = 200;
    const std::string filler(300, 'x');
    std::atomic<int> finished{0};
    ksxtest::RunOnThreads(kThreads + 1, [&](int t) {
        if (t == kThreads) { // installs, then removes, the listener while the others report
            for (int swaps = 0; swaps < 200 || finished < kThreads; ++swaps) ksxtest::ErrorCapture capture;
            return;
        }
        for (int i = 0; i < kReports; ++i)
            CKesError(-1 - t, "Worker", i, ("thread " + std::to_string(t + 1) + " " + filler).c_str());
        ++finished;
    });
    std::istringstream written(testing::internal::GetCapturedStderr());
    const std::regex whole("KSX-ERROR -(\\d) Worker:\\d+: thread \\1 " + filler); // the code is the thread's
    int workerLines = 0;
    for (std::string line; std::getline(written, line); ++workerLines)
        ASSERT_TRUE(std::regex_match(line, whole)) << line;
    EXPECT_EQ(workerLines, kThreads * kReports);
}

// A burst from one source line is cut to the window's first reports, the rest summed up after it.
TEST(ErrorReport, ReportsAPeerCanTriggerAreLimitedPerSourceLineAndTheRestCounted)
{
    KesSetTimeScale(0.5); // windows of half a second
    ksxtest::ErrorCapture capture;
    std::atomic<int> written{0};
    ksxtest::RunOnThreads(4, [&](int t) {
        const std::string text = "Bad datagram from 10.0.0." + std::to_string(t) + ":4000.";
        for (int i = 0; i < 250; ++i)
            written += KesReportLimited(KES_ERR_FRAMING, "CKesSockEngine", 10, text.c_str());
    });
    EXPECT_TRUE(KesReportLimited(KES_ERR_CONNECTION, "CKesSockEngine", 11, "Early record from client a."));
    EXPECT_TRUE(KesReportLimited(KES_ERR_CONNECTION, "CKesObjSockServer", 10, "Early record from client b."));
    EXPECT_EQ(written, KES_LIMITED_REPORTS);
    EXPECT_EQ(capture.Reports().size(), size_t(KES_LIMITED_REPORTS + 2));

    capture.Clear();
    KesSleep(KES_LIMITED_REPORT_WINDOW_MS + 100);
    EXPECT_TRUE(KesReportLimited(KES_ERR_CONNECTION, "CKesSockEngine", 11, "Early record from client c."));
    EXPECT_TRUE(KesReportLimited(KES_ERR_FRAMING, "CKesSockEngine", 10, "Bad datagram from 10.0.0.9:4000."));
    auto reports = capture.Reports();
    ASSERT_EQ(reports.size(), 3u);
    EXPECT_EQ(std::tie(reports[0].code, reports[0].source, reports[0].line),
              std::make_tuple(int{KES_ERR_FRAMING}, std::string("CKesSockEngine"), 10));
    EXPECT_EQ(reports[0].text.rfind("995 similar reports suppressed; the last: Bad datagram from 10.0.0.", 0),
              0u)
        << reports[0].text;
    EXPECT_EQ(reports[1].text, "Early record from client c.");
    EXPECT_EQ(reports[2].text, "Bad datagram from 10.0.0.9:4000.");

    capture.Clear();
    for (int i = 0; i < KES_LIMITED_REPORTS + 1; ++i)
        KesReportLimited(KES_ERR_FRAMING, "CKesSockEngine", 10,
                         ("Bad datagram number " + std::to_string(i) + ".").c_str());
    KesFlushLimitedReports();
    KesFlushLimitedReports();
    reports = capture.Reports();
    ASSERT_EQ(reports.size(), size_t(KES_LIMITED_REPORTS));
    EXPECT_EQ(reports.back().text, "2 similar reports suppressed; the last: Bad datagram number 5.");
    KesSetTimeScale(1.0);

    auto exitWithOneHeldBack = []() -> int {
        for (int i = 0; i < KES_LIMITED_REPORTS + 1; ++i)
            KesReportLimited(KES_ERR_FRAMING, "Exit", 1, "Bad datagram.");
        std::exit(0);
    };
    std::string lines;
    EXPECT_EQ(ksxtest::RunInChild(exitWithOneHeldBack, &lines), 0);
    EXPECT_NE(lines.find("KSX-ERROR -220440 Exit:1: 1 similar reports suppressed; the last: Bad datagram.\n"),
              std::string::npos)
        << lines;
}

// Each row's variable, set for this test rerun in a fresh process, gives these values; sleeps scale.
TEST(Environment, TraceLevelAndPositiveTimeScaleComeFromTheEnvironmentAtLoad)
{
    if (const char* level = std::getenv("KSX_PROBE_LEVEL")) {
        const double scale = std::atof(std::getenv("KSX_PROBE_SCALE"));
        EXPECT_EQ(__Kesworks_Debug_Level, std::atoi(level));
        EXPECT_EQ(KesTimeScale(), scale);
        const auto start = std::chrono::steady_clock::now();
        KesSleep(40);
        EXPECT_GE(std::chrono::steady_clock::now() - start, std::chrono::duration<double>(0.04 * scale));
        return;
    }
    struct {
        const char *name, *value, *level, *scale;
    } cases[] = {
        {nullptr, nullptr, "0", "1"} /* production */,
        {"KSX_DEBUG_LEVEL", "4", "4", "1"},
        {"KSX_DEBUG_LEVEL", "4x", "0", "1"},
        {"KSX_TIME_SCALE", "0.25", "0", "0.25"},
        {"KSX_TIME_SCALE", "0", "0", "1"},
        {"KSX_TIME_SCALE", "inf", "0", "1"},
    };
    for (const auto& c : cases) {
        const int status = ksxtest::RunInChild([&] {
            unsetenv("KSX_DEBUG_LEVEL");
            unsetenv("KSX_TIME_SCALE");
            setenv("KSX_PROBE_LEVEL", c.level, 1);
            setenv("KSX_PROBE_SCALE", c.scale, 1);
            if (c.name) setenv(c.name, c.value, 1);
            execl("/proc/self/exe", "self", "--gtest_filter=Environment.*", static_cast<char*>(nullptr));
            return 127;
        });
        EXPECT_EQ(status, 0) << (c.name ? c.name : "none") << "=" << (c.value ? c.value : "");
    }
}

// Open never creates; a positioned write leaves the position alone; truncation and seeks work.
TEST(PortFile, OpenNeverCreatesAndRewritesInPlace)
{
    const std::string path = ksxtest::WriteHomeFile("portfile.txt", "0123456789");
    EXPECT_EQ(KesFileOpen((path + ".missing").c_str(), 3), KES_INVALID_FILE_HANDLE);
    EXPECT_NE(access((path + ".missing").c_str(), F_OK), 0);
    KesFileHandle file = KesFileOpen(path.c_str(), 3);
    ASSERT_NE(file, KES_INVALID_FILE_HANDLE);
    char buffer[4] = {};
    EXPECT_EQ(KesFileRead(file, buffer, 3), 3);
    EXPECT_STREQ(buffer, "012");
    EXPECT_EQ(KesFilePWrite(file, "XY", 2, 1), 2);
    EXPECT_EQ(KesFileSeek(file, 0, 2), 3); // from the current position: unmoved
    EXPECT_EQ(KesFilePWrite(file, "END", 3, 12), 3);
    long long size = -1;
    EXPECT_EQ(KesGetOpenFileSize(file, &size), 0);
    EXPECT_EQ(size, 15);
    EXPECT_EQ(KesFileTruncate(file, 5), 0);
    EXPECT_EQ(KesFileSeek(file, 0, 3), 5); // from the end
    EXPECT_EQ(KesFileWrite(file, "+", 1), 1);
    EXPECT_EQ(KesFileClose(file), 0);
    EXPECT_EQ(ksxtest::ReadFile(path), "0XY34+");
    EXPECT_EQ(KesFileClose(file), -1);
}

// Only dotted IPv4 is read: a service file address is never guessed at.
TEST(Address, OnlyDottedIPv4IsRead)
{
    in_addr address{};
    ASSERT_EQ(KesInetAtoN("10.1.2.254", &address), 0);
    EXPECT_EQ(ntohl(address.s_addr), 0x0A0102FEu);
    for (const char* bad : {"", "256.1.1.1", "1.2.3.4 ", "0x7f.0.0.1", "localhost", "127.1"})
        EXPECT_EQ(KesInetAtoN(bad, &address), -1) << bad;
}

// A send gives up on a stalled peer at its deadline, not before; a reader gets every byte in order.
TEST(Socket, SendWithinADeadlineGivesUpOnAStalledPeerAndDeliversAllToAReader)
{
    const ksxtest::Bytes data = ksxtest::Pattern(4 << 20, 1);
    const ksxtest::SocketPair stalledPair, readingPair;
    const int *stalled = stalledPair.fd, *reading = readingPair.fd;
    unsigned long nonBlocking = 1;
    ASSERT_EQ(KesIoctl(reading[0], KES_FIONBIO, &nonBlocking), 0);

    const auto start = std::chrono::steady_clock::now();
    errno = 0;
    EXPECT_EQ(KesSendAllWithin(stalled[0], data.data(), data.size(), 100), -1);
    EXPECT_EQ(errno, ETIMEDOUT);
    EXPECT_GE(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(100));

    ksxtest::Bytes received;
    std::thread reader([&] {
        unsigned char buffer[65536];
        for (ssize_t got; (got = recv(reading[1], buffer, sizeof buffer, 0)) > 0;)
            received.insert(received.end(), buffer, buffer + got);
    });
    EXPECT_EQ(KesSendAllWithin(reading[0], data.data(), data.size(), 60000), 0);
    shutdown(reading[0], SHUT_WR);
    reader.join();
    EXPECT_TRUE(received == data) << received.size() << " bytes, lost, repeated or reordered";

    const int tcp = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0); // a failed socket fails the next line
    EXPECT_EQ(KesSetUserTimeout(tcp, 1500), 0);
    unsigned int timeout = 0;
    socklen_t length = sizeof timeout;
    EXPECT_EQ(getsockopt(tcp, IPPROTO_TCP, TCP_USER_TIMEOUT, &timeout, &length), 0);
    EXPECT_EQ(timeout, 1500u);
    EXPECT_EQ(KesSetUserTimeout(stalled[0], 1500), -1) << "not a TCP socket";
    close(tcp);
}

// A connect interrupted by a signal goes on in the background and is waited for, within its bound: made
// once the server takes it, ETIMEDOUT at the bound while it does not.
TEST(Socket, AnInterruptedConnectIsWaitedForWithinItsBound)
{
    struct sigaction old = {}, quiet = {};
    quiet.sa_handler = [](int) {}; // no SA_RESTART: the connect returns EINTR
    ASSERT_EQ(sigaction(SIGUSR1, &quiet, &old), 0);
    ksxtest::WireListener listener(0);
    sockaddr_in address = ksxtest::Ipv4("127.0.0.1", listener.Port());
    const socklen_t length = sizeof address;
    // One connection fills the accept queue: a second SYN is dropped and sent again after a second.
    const std::unique_ptr<ksxtest::WireConnection> filler = ksxtest::WireConnection::To(listener.Port());

    for (const bool taken : {false, true}) {
        SCOPED_TRACE(taken ? "the server takes it" : "the queue stays full");
        std::thread interrupter([&, caller = pthread_self()] {
            std::this_thread::sleep_for(std::chrono::milliseconds(100));
            pthread_kill(caller, SIGUSR1);
            if (taken) listener.Accept(); // and closed
        });
        const int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        errno = 0;
        const int result = KesConnect(fd, reinterpret_cast<sockaddr*>(&address), length, taken ? 20000 : 300);
        const int error = errno;
        interrupter.join();
        sockaddr_in peer{};
        socklen_t peerLength = sizeof peer;
        if (taken) {
            EXPECT_EQ(result, 0) << strerror(error);
            EXPECT_EQ(getpeername(fd, reinterpret_cast<sockaddr*>(&peer), &peerLength), 0);
            EXPECT_EQ(peer.sin_port, address.sin_port);
        } else {
            EXPECT_EQ(result, -1);
            EXPECT_EQ(error, ETIMEDOUT) << strerror(error);
        }
        close(fd);
    }
    sigaction(SIGUSR1, &old, nullptr);
}
