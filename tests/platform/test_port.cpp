// The portability layer: error reports, traces, the trace level and time
// scale taken from the environment, sleeps, files, addresses and
// socket helpers.
#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <fstream>
#include <limits>
#include <set>
#include <sstream>
#include <string>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>
#include <vector>

#include "CKesError.h"
#include "KesPort.h"
#include "KesTestSupport.h"

namespace {

// Runs this test program again with one test selected, KSX_DEBUG_LEVEL and
// KSX_TIME_SCALE unset and the given variables set; returns its exit status.
int RunSelf(const std::string& filter, const std::vector<std::pair<std::string, std::string>>& set)
{
    const pid_t child = fork();
    if (child == 0) {
        unsetenv("KSX_DEBUG_LEVEL");
        unsetenv("KSX_TIME_SCALE");
        for (const auto& [name, value] : set)
            setenv(name.c_str(), value.c_str(), 1);
        const std::string arg = "--gtest_filter=" + filter;
        execl("/proc/self/exe", "self", arg.c_str(), static_cast<char*>(nullptr));
        _exit(127);
    }
    int status = 0;
    waitpid(child, &status, 0);
    return WIFEXITED(status) ? WEXITSTATUS(status) : 128;
}

// Seconds that KesSleep(ms) took.
double SleepSeconds(unsigned int ms)
{
    const auto start = std::chrono::steady_clock::now();
    KesSleep(ms);
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
}

}  // namespace

TEST(ErrorReport, WritesOneLineReachesTheListenerAndKeepsErrno)
{
    testing::internal::CaptureStderr();
    {
        ksxtest::ErrorCapture capture;
        errno = ECONNRESET;
        CKesError(-220552, "CKesSockEngine", 123, "Null server.");
        EXPECT_EQ(errno, ECONNRESET);
        CKesError(-220402, "KesServiceData", 7, nullptr);
        const auto reports = capture.Reports();
        ASSERT_EQ(reports.size(), 2u);
        EXPECT_TRUE(capture.Has(-220552, "CKesSockEngine", 123));
        EXPECT_EQ(reports[0].text, "Null server.");
        EXPECT_EQ(reports[1].text, "");
    }
    CKesError(-220553, "X", 1, nullptr);  // with the listener gone: still written
    EXPECT_EQ(testing::internal::GetCapturedStderr(),
              "KSX-ERROR -220552 CKesSockEngine:123: Null server.\n"
              "KSX-ERROR -220402 KesServiceData:7\n"
              "KSX-ERROR -220553 X:1\n");

    testing::internal::CaptureStdout();
    KesTrace("CKesSockEngine::KSEAddServer() %d.\n", 5);
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "CKesSockEngine::KSEAddServer() 5.\n");
}

TEST(ErrorReport, ConcurrentReportsNeverInterleaveAndTheListenerCanBeSwapped)
{
    testing::internal::CaptureStderr();
    constexpr int kThreads = 8, kReports = 200;
    const std::string filler(300, 'x');
    {
        ksxtest::ErrorCapture capture;
        std::vector<std::thread> threads;
        for (int t = 0; t < kThreads; ++t) {
            threads.emplace_back([&, t] {
                const std::string text = "thread " + std::to_string(t) + " " + filler;
                for (int i = 0; i < kReports; ++i)
                    CKesError(-t, "Worker", i, text.c_str());
            });
        }
        for (auto& thread : threads)
            thread.join();
        EXPECT_EQ(capture.Reports().size(), static_cast<size_t>(kThreads * kReports));
    }
    std::istringstream written(testing::internal::GetCapturedStderr());
    std::vector<std::string> lines;
    for (std::string line; std::getline(written, line);)
        lines.push_back(line);
    ASSERT_EQ(lines.size(), static_cast<size_t>(kThreads * kReports));
    EXPECT_EQ(std::set<std::string>(lines.begin(), lines.end()).size(), lines.size());
    for (const auto& line : lines) {
        int code = 0, number = 0, thread = -1;
        char rest[400] = {};
        ASSERT_EQ(std::sscanf(line.c_str(), "KSX-ERROR %d Worker:%d: thread %d %399s", &code, &number, &thread, rest), 4)
            << line;
        EXPECT_EQ(code, -thread);
        EXPECT_EQ(std::string(rest), filler);
    }

    testing::internal::CaptureStderr();
    std::atomic<bool> stop{false};
    std::thread reporter([&] {
        while (!stop)
            CKesError(-1, "Busy", 1, nullptr);
    });
    for (int i = 0; i < 200; ++i)
        ksxtest::ErrorCapture capture;  // installs, then removes, the listener
    stop = true;
    reporter.join();
    ksxtest::ErrorCapture last;
    CKesError(-2, "Quiet", 2, nullptr);
    EXPECT_EQ(last.Count(-2, "Quiet"), 1);
    testing::internal::GetCapturedStderr();
}

// Run as a child by the test below; checks the values this process started with.
TEST(EnvironmentProbe, StartupValuesMatchExpectation)
{
    const char* level = std::getenv("KSX_PROBE_LEVEL");
    const char* scale = std::getenv("KSX_PROBE_SCALE");
    if (!level || !scale)
        GTEST_SKIP() << "only run as a child of the environment test";
    EXPECT_EQ(__Kesworks_Debug_Level, std::atoi(level));
    EXPECT_EQ(KesTimeScale(), std::atof(scale));
}

TEST(Environment, TraceLevelAndPositiveTimeScaleComeFromTheEnvironmentAtLoad)
{
    // Each row: one variable set in a fresh process (null: neither) and the
    // trace level and time scale it must start with.
    struct { const char* name; const char* value; const char* level; const char* scale; } cases[] = {
        {nullptr, nullptr, "0", "1"},            {"KSX_DEBUG_LEVEL", "4", "4", "1"},
        {"KSX_DEBUG_LEVEL", "4x", "0", "1"},     {"KSX_DEBUG_LEVEL", "99999999999", "0", "1"},
        {"KSX_TIME_SCALE", "0.25", "0", "0.25"}, {"KSX_TIME_SCALE", "0", "0", "1"},
        {"KSX_TIME_SCALE", "-2", "0", "1"},      {"KSX_TIME_SCALE", "inf", "0", "1"},
    };
    for (const auto& c : cases) {
        std::vector<std::pair<std::string, std::string>> set = {{"KSX_PROBE_LEVEL", c.level}, {"KSX_PROBE_SCALE", c.scale}};
        if (c.name)
            set.emplace_back(c.name, c.value);
        EXPECT_EQ(RunSelf("EnvironmentProbe.*", set), 0) << (c.name ? c.name : "none") << "=" << (c.value ? c.value : "");
    }
}

TEST(Time, SleepNeverEndsEarlyAndUnusableScalesAreIgnored)
{
    if (std::getenv("KSX_TIME_SCALE"))
        GTEST_SKIP() << "a time scale is set for this run";
    EXPECT_EQ(KesTimeScale(), 1.0);
    for (unsigned int ms : {1u, 20u, 150u})
        EXPECT_GE(SleepSeconds(ms), ms / 1000.0) << ms;
    KesSetTimeScale(0.5);
    for (double bad : {0.0, -1.0, std::numeric_limits<double>::infinity()})
        KesSetTimeScale(bad);
    EXPECT_EQ(KesTimeScale(), 0.5);
    EXPECT_GE(SleepSeconds(100), 0.05);  // a scaled sleep still lasts the scaled time
    KesSetTimeScale(1.0);
}

TEST(PortFile, OpenNeverCreatesHonoursAccessFlagsAndRewritesInPlace)
{
    const std::string path = ksxtest::KsxHome() + "/portfile.txt";
    std::ofstream(path) << "0123456789";
    EXPECT_EQ(KesFileOpen((path + ".missing").c_str(), 3), KES_INVALID_FILE_HANDLE);
    EXPECT_NE(access((path + ".missing").c_str(), F_OK), 0);
    for (int badFlags : {0, 4})
        EXPECT_EQ(KesFileOpen(path.c_str(), badFlags), KES_INVALID_FILE_HANDLE);
    EXPECT_EQ(KesFileOpen(nullptr, 1), KES_INVALID_FILE_HANDLE);

    char buffer[4] = {};
    KesFileHandle reader = KesFileOpen(path.c_str(), 1);
    ASSERT_NE(reader, KES_INVALID_FILE_HANDLE);
    EXPECT_EQ(KesFileWrite(reader, "x", 1), -1);
    EXPECT_EQ(KesFileRead(reader, buffer, 3), 3);
    EXPECT_STREQ(buffer, "012");
    EXPECT_EQ(KesFileClose(reader), 0);
    KesFileHandle writer = KesFileOpen(path.c_str(), 2);
    ASSERT_NE(writer, KES_INVALID_FILE_HANDLE);
    EXPECT_EQ(KesFileRead(writer, buffer, 1), -1);
    EXPECT_EQ(KesFileWrite(writer, "ab", 2), 2);
    EXPECT_EQ(KesFileClose(writer), 0);
    EXPECT_EQ(ksxtest::ReadFile(path), "ab23456789");

    KesFileHandle file = KesFileOpen(path.c_str(), 3);
    ASSERT_NE(file, KES_INVALID_FILE_HANDLE);
    long long size = -1;
    EXPECT_EQ(KesGetOpenFileSize(file, &size), 0);
    EXPECT_EQ(size, 10);
    EXPECT_EQ(KesFileSeek(file, 0, 3), 10);  // end
    EXPECT_EQ(KesFileSeek(file, 4, 1), 4);   // start
    EXPECT_EQ(KesFileSeek(file, 2, 2), 6);   // current
    EXPECT_EQ(KesFileSeek(file, 0, 7), -1);  // no such origin
    EXPECT_EQ(KesFilePWrite(file, "XY", 2, 1), 2);
    EXPECT_EQ(KesFileSeek(file, 0, 2), 6);  // a positioned write leaves the position alone
    EXPECT_EQ(KesFilePWrite(file, "END", 3, 12), 3);
    EXPECT_EQ(KesGetOpenFileSize(file, &size), 0);
    EXPECT_EQ(size, 15);
    EXPECT_EQ(KesFileTruncate(file, 5), 0);
    EXPECT_EQ(KesFileTruncate(file, -1), -1);
    EXPECT_EQ(KesGetOpenFileSize(file, nullptr), -1);
    EXPECT_EQ(KesFileClose(file), 0);
    EXPECT_EQ(ksxtest::ReadFile(path), "aXY34");
    EXPECT_EQ(KesFileClose(file), -1);
    EXPECT_EQ(KesGetOpenFileSize(file, &size), -1);
    unlink(path.c_str());
}

TEST(Address, OnlyDottedIPv4IsReadAndTextsAreFreshHeapCopies)
{
    in_addr address{};
    ASSERT_EQ(KesInetAtoN("10.1.2.254", &address), 0);
    EXPECT_EQ(ntohl(address.s_addr), 0x0A0102FEu);
    ASSERT_EQ(KesInetAtoN("255.255.255.255", &address), 0);
    EXPECT_EQ(address.s_addr, 0xFFFFFFFFu);
    for (const char* bad : {"", "1.2.3", "256.1.1.1", "1.2.3.4 ", " 1.2.3.4", "0x7f.0.0.1", "localhost", "::1",
                            "1.2.3.4.5", "127.1"})
        EXPECT_EQ(KesInetAtoN(bad, &address), -1) << bad;
    EXPECT_EQ(KesInetAtoN(nullptr, &address), -1);
    EXPECT_EQ(KesInetAtoN("1.2.3.4", nullptr), -1);

    char* v4 = KesGetIPStr(htonl(0xC0A80001u));
    char* again = KesGetIPStr(htonl(0x7F000001u));
    EXPECT_STREQ(again, "127.0.0.1");
    EXPECT_STREQ(v4, "192.168.0.1");  // not a shared static buffer
    std::free(v4);
    std::free(again);
    in6_addr loop6 = IN6ADDR_LOOPBACK_INIT;
    char* v6 = KesGetIPv6Str(&loop6);
    EXPECT_STREQ(v6, "::1");
    std::free(v6);
    EXPECT_EQ(KesGetIPv6Str(nullptr), nullptr);
}

TEST(Socket, NonBlockingModePendingBytesAndCloseOnce)
{
    int fds[2];
    ASSERT_EQ(socketpair(AF_UNIX, SOCK_STREAM, 0, fds), 0);
    const unsigned int socket = static_cast<unsigned int>(fds[0]);
    unsigned long on = 1, off = 0;
    ASSERT_EQ(KesIoctl(socket, KES_FIONBIO, &on), 0);
    EXPECT_TRUE(fcntl(fds[0], F_GETFL) & O_NONBLOCK);
    char byte;
    EXPECT_EQ(recv(fds[0], &byte, 1, 0), -1);
    EXPECT_TRUE(errno == EAGAIN || errno == EWOULDBLOCK);
    ASSERT_EQ(KesIoctl(socket, KES_FIONBIO, &off), 0);
    EXPECT_FALSE(fcntl(fds[0], F_GETFL) & O_NONBLOCK);
    EXPECT_EQ(KesIoctl(KES_INVALID_SOCKET, KES_FIONBIO, &on), -1);
    EXPECT_EQ(KesIoctl(socket, KES_FIONBIO, nullptr), -1);

    EXPECT_EQ(KesGetSocketPacketLength(socket), 0);
    ASSERT_EQ(send(fds[1], "hello", 5, 0), 5);
    EXPECT_EQ(KesGetSocketPacketLength(socket), 5);
    unsigned long available = ~0ul;  // every byte set: a half-written long would show
    ASSERT_EQ(KesIoctl(socket, FIONREAD, &available), 0);
    EXPECT_EQ(available, 5ul);
    EXPECT_LT(KesGetSocketPacketLength(KES_INVALID_SOCKET), 0);

    EXPECT_EQ(KesCloseSocket(socket), 0);
    EXPECT_EQ(KesCloseSocket(socket), -1);
    EXPECT_EQ(KesCloseSocket(KES_INVALID_SOCKET), -1);
    close(fds[1]);
}

TEST(Socket, ErrorReportNamesSocketTextReasonAndNumber)
{
    testing::internal::CaptureStderr();
    errno = ECONNRESET;
    KesReportSocketError(4294967294u, "Send to client failed");
    errno = 0;
    KesReportSocketError(12, nullptr);
    errno = 9999;  // no message for this number
    KesReportSocketError(13, "Odd");
    EXPECT_EQ(errno, 9999);
    EXPECT_EQ(testing::internal::GetCapturedStderr(),
              "Error on socket 4294967294.  Send to client failed.  Reason: " + std::string(std::strerror(ECONNRESET)) +
                  " Error No: " + std::to_string(ECONNRESET) + "\n"
                  "Error on socket 12. Error No: 0\n"
                  "Error on socket 13.  Odd. Error No: 9999\n");
    EXPECT_TRUE(KesSocketPeerGone(ECONNRESET) && KesSocketPeerGone(ECONNABORTED));
    EXPECT_FALSE(KesSocketPeerGone(EPIPE));
}
