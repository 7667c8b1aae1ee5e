// The portability layer: error reports, traces, the trace level and time
// scale taken from the environment, sleeps, threads, files, addresses and
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

// Captures standard error from construction until Text() or destruction.
class CapturedStderr {
public:
    CapturedStderr() { testing::internal::CaptureStderr(); }
    ~CapturedStderr() { Text(); }
    std::string Text() {
        if (m_Open) m_Text = testing::internal::GetCapturedStderr();
        m_Open = false;
        return m_Text;
    }

private:
    bool m_Open = true;
    std::string m_Text;
};

std::vector<std::string> Lines(const std::string& text) {
    std::vector<std::string> lines;
    std::istringstream in(text);
    for (std::string line; std::getline(in, line);) lines.push_back(line);
    return lines;
}

// Runs this test program again with one test selected and the environment
// changed; returns its exit status.
int RunSelf(const std::string& filter, const std::vector<std::pair<std::string, std::string>>& set,
            const std::vector<std::string>& unset) {
    pid_t child = fork();
    if (child == 0) {
        for (const auto& name : unset) unsetenv(name.c_str());
        for (const auto& [name, value] : set) setenv(name.c_str(), value.c_str(), 1);
        std::string arg = "--gtest_filter=" + filter;
        execl("/proc/self/exe", "self", arg.c_str(), static_cast<char*>(nullptr));
        _exit(127);
    }
    int status = 0;
    waitpid(child, &status, 0);
    return WIFEXITED(status) ? WEXITSTATUS(status) : 128;
}

double Seconds(std::chrono::steady_clock::duration d) { return std::chrono::duration<double>(d).count(); }

}  // namespace

// ---- error reports ---------------------------------------------------------

TEST(ErrorReport, WritesOneLineWithOptionalText) {
    CapturedStderr err;
    CKesError(-220552, "CKesSockEngine", 123, "Null server.");
    CKesError(-220402, "KesServiceData", 7, nullptr);
    EXPECT_EQ(err.Text(),
              "KSX-ERROR -220552 CKesSockEngine:123: Null server.\n"
              "KSX-ERROR -220402 KesServiceData:7\n");
}

TEST(ErrorReport, ListenerSeesEveryReportUntilRemoved) {
    CapturedStderr err;
    {
        ksxtest::ErrorCapture capture;
        CKesError(-220545, "CKesObjSockServer", 42, "Unknown client");
        CKesError(-220459, "CKesObjMulticast", 9, nullptr);
        auto reports = capture.Reports();
        ASSERT_EQ(reports.size(), 2u);
        EXPECT_EQ(reports[0].code, -220545);
        EXPECT_EQ(reports[0].source, "CKesObjSockServer");
        EXPECT_EQ(reports[0].line, 42);
        EXPECT_EQ(reports[0].text, "Unknown client");
        EXPECT_EQ(reports[1].text, "");
    }
    // With the listener removed a report still reaches the error stream.
    CKesError(-220553, "X", 1, nullptr);
    EXPECT_EQ(Lines(err.Text()).size(), 3u);
}

TEST(ErrorReport, PreservesTheCallersErrorNumber) {
    CapturedStderr err;
    errno = ECONNRESET;
    CKesError(-1, "X", 1, "text");
    EXPECT_EQ(errno, ECONNRESET);
}

TEST(ErrorReport, ConcurrentReportsNeverInterleave) {
    CapturedStderr err;
    ksxtest::ErrorCapture capture;
    constexpr int kThreads = 8;
    constexpr int kReports = 200;
    const std::string filler(300, 'x');
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t) {
        threads.emplace_back([&, t] {
            std::string text = "thread " + std::to_string(t) + " " + filler;
            for (int i = 0; i < kReports; ++i) CKesError(-t, "Worker", i, text.c_str());
        });
    }
    for (auto& thread : threads) thread.join();

    auto lines = Lines(err.Text());
    ASSERT_EQ(lines.size(), static_cast<size_t>(kThreads * kReports));
    std::set<std::string> distinct;
    for (const auto& line : lines) {
        int code = 0, number = 0, thread = -1;
        char rest[400] = {};
        ASSERT_EQ(std::sscanf(line.c_str(), "KSX-ERROR %d Worker:%d: thread %d %399s", &code, &number, &thread, rest), 4)
            << line;
        EXPECT_EQ(code, -thread);
        EXPECT_EQ(std::string(rest), filler);
        distinct.insert(line);
    }
    EXPECT_EQ(distinct.size(), lines.size());
    EXPECT_EQ(capture.Reports().size(), lines.size());
}

TEST(ErrorReport, ListenerCanBeSwappedWhileOthersReport) {
    CapturedStderr err;
    std::atomic<bool> stop{false};
    std::thread reporter([&] {
        while (!stop) CKesError(-1, "Busy", 1, nullptr);
    });
    for (int i = 0; i < 200; ++i) {
        ksxtest::ErrorCapture capture; // installs, then removes, the listener
    }
    stop = true;
    reporter.join();
    ksxtest::ErrorCapture last;
    CKesError(-2, "Quiet", 2, nullptr);
    EXPECT_EQ(last.Count(-2, "Quiet"), 1);
}

// ---- traces and settings from the environment --------------------------------

TEST(Trace, WritesToStandardOutput) {
    testing::internal::CaptureStdout();
    KesTrace("CKesSockEngine::KSEAddServer() %d.\n", 5);
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "CKesSockEngine::KSEAddServer() 5.\n");
}

// Run as a child by the tests below; checks the values this process started with.
TEST(EnvironmentProbe, StartupValuesMatchExpectation) {
    const char* level = std::getenv("KSX_PROBE_LEVEL");
    const char* scale = std::getenv("KSX_PROBE_SCALE");
    if (!level || !scale) GTEST_SKIP() << "only run as a child of the environment tests";
    EXPECT_EQ(__Kesworks_Debug_Level, std::atoi(level));
    EXPECT_EQ(KesTimeScale(), std::atof(scale));
}

// Each row: the variables set for a fresh process (the other one unset) and
// the trace level and time scale it must start with.
TEST(Environment, TraceLevelAndPositiveTimeScaleComeFromTheEnvironmentAtLoad) {
    struct { const char* name; const char* value; const char* level; const char* scale; } cases[] = {
        {"KSX_DEBUG_LEVEL", nullptr, "0", "1"}, {"KSX_DEBUG_LEVEL", "4", "4", "1"},
        {"KSX_DEBUG_LEVEL", "four", "0", "1"},  {"KSX_DEBUG_LEVEL", "4x", "0", "1"},
        {"KSX_DEBUG_LEVEL", "", "0", "1"},      {"KSX_DEBUG_LEVEL", "99999999999", "0", "1"},
        {"KSX_TIME_SCALE", "0.25", "0", "0.25"}, {"KSX_TIME_SCALE", "0", "0", "1"},
        {"KSX_TIME_SCALE", "-2", "0", "1"},      {"KSX_TIME_SCALE", "fast", "0", "1"},
        {"KSX_TIME_SCALE", "inf", "0", "1"},
    };
    for (const auto& c : cases) {
        std::vector<std::pair<std::string, std::string>> set = {{"KSX_PROBE_LEVEL", c.level}, {"KSX_PROBE_SCALE", c.scale}};
        std::vector<std::string> unset = {"KSX_DEBUG_LEVEL", "KSX_TIME_SCALE"};
        if (c.value) set.emplace_back(c.name, c.value);
        EXPECT_EQ(RunSelf("EnvironmentProbe.*", set, unset), 0) << c.name << "=" << (c.value ? c.value : "(unset)");
    }
}

// ---- time -----------------------------------------------------------------------

TEST(Time, DefaultScaleIsOneAndSleepNeverEndsEarly) {
    if (std::getenv("KSX_TIME_SCALE")) GTEST_SKIP() << "a time scale is set for this run";
    EXPECT_EQ(KesTimeScale(), 1.0);
    for (unsigned int ms : {1u, 20u, 150u}) {
        auto start = std::chrono::steady_clock::now();
        KesSleep(ms);
        EXPECT_GE(Seconds(std::chrono::steady_clock::now() - start), ms / 1000.0) << ms;
    }
}

TEST(Time, SetTimeScaleIgnoresUnusableFactors) {
    const double before = KesTimeScale();
    KesSetTimeScale(0.5);
    EXPECT_EQ(KesTimeScale(), 0.5);
    KesSetTimeScale(0.0);
    KesSetTimeScale(-1.0);
    KesSetTimeScale(std::numeric_limits<double>::infinity());
    EXPECT_EQ(KesTimeScale(), 0.5);
    // A scaled sleep still lasts at least the scaled time.
    auto start = std::chrono::steady_clock::now();
    KesSleep(100);
    EXPECT_GE(Seconds(std::chrono::steady_clock::now() - start), 0.05);
    KesSetTimeScale(before);
}

// ---- threads --------------------------------------------------------------------

TEST(PortThread, RunsTheProcedureWithItsArgumentAndJoins) {
    std::atomic<int> value{0};
    TKesPThread thread;
    auto procedure = [](void* argument) -> unsigned int {
        static_cast<std::atomic<int>*>(argument)->store(17);
        return 0;
    };
    ASSERT_EQ(KesPThreadCreate(&thread, procedure, &value), 0);
    EXPECT_EQ(KesPThreadJoin(&thread), 0);
    EXPECT_EQ(value.load(), 17);
    EXPECT_NE(KesPThreadCreate(nullptr, procedure, &value), 0);
    EXPECT_NE(KesPThreadCreate(&thread, nullptr, &value), 0);
}

// ---- files ------------------------------------------------------------------------

class PortFile : public ::testing::Test {
protected:
    void SetUp() override {
        m_Path = ksxtest::KsxHome() + "/portfile.txt";
        std::FILE* f = std::fopen(m_Path.c_str(), "w");
        std::fputs("0123456789", f);
        std::fclose(f);
    }
    void TearDown() override { unlink(m_Path.c_str()); }
    std::string m_Path;
};

TEST_F(PortFile, OpenNeverCreatesAndHonoursTheAccessFlags) {
    EXPECT_EQ(KesFileOpen((m_Path + ".missing").c_str(), 3), KES_INVALID_FILE_HANDLE);
    EXPECT_NE(access((m_Path + ".missing").c_str(), F_OK), 0);
    EXPECT_EQ(KesFileOpen(m_Path.c_str(), 0), KES_INVALID_FILE_HANDLE);
    EXPECT_EQ(KesFileOpen(m_Path.c_str(), 4), KES_INVALID_FILE_HANDLE);
    EXPECT_EQ(KesFileOpen(nullptr, 1), KES_INVALID_FILE_HANDLE);

    KesFileHandle reader = KesFileOpen(m_Path.c_str(), 1);
    ASSERT_NE(reader, KES_INVALID_FILE_HANDLE);
    EXPECT_EQ(KesFileWrite(reader, "x", 1), -1);
    char buffer[4] = {};
    EXPECT_EQ(KesFileRead(reader, buffer, 3), 3);
    EXPECT_STREQ(buffer, "012");
    EXPECT_EQ(KesFileClose(reader), 0);

    KesFileHandle writer = KesFileOpen(m_Path.c_str(), 2);
    ASSERT_NE(writer, KES_INVALID_FILE_HANDLE);
    EXPECT_EQ(KesFileRead(writer, buffer, 1), -1);
    EXPECT_EQ(KesFileWrite(writer, "ab", 2), 2);
    EXPECT_EQ(KesFileClose(writer), 0);
    EXPECT_EQ(ksxtest::ReadFile(m_Path), "ab23456789");
}

TEST_F(PortFile, RewriteInPlaceWithSeekPositionedWriteAndTruncate) {
    KesFileHandle file = KesFileOpen(m_Path.c_str(), 3);
    ASSERT_NE(file, KES_INVALID_FILE_HANDLE);
    long long size = -1;
    EXPECT_EQ(KesGetOpenFileSize(file, &size), 0);
    EXPECT_EQ(size, 10);
    EXPECT_EQ(KesFileSeek(file, 0, 3), 10);   // end
    EXPECT_EQ(KesFileSeek(file, 4, 1), 4);    // start
    EXPECT_EQ(KesFileSeek(file, 2, 2), 6);    // current
    EXPECT_EQ(KesFileSeek(file, 0, 7), -1);   // no such origin
    EXPECT_EQ(KesFilePWrite(file, "XY", 2, 1), 2);
    EXPECT_EQ(KesFileSeek(file, 0, 2), 6);    // a positioned write leaves the position alone
    EXPECT_EQ(KesFilePWrite(file, "END", 3, 12), 3); // past the end: the gap reads as zeros
    EXPECT_EQ(KesGetOpenFileSize(file, &size), 0);
    EXPECT_EQ(size, 15);
    EXPECT_EQ(KesFileTruncate(file, 5), 0);
    EXPECT_EQ(KesFileTruncate(file, -1), -1);
    EXPECT_EQ(KesGetOpenFileSize(file, nullptr), -1);
    EXPECT_EQ(KesFileClose(file), 0);
    EXPECT_EQ(ksxtest::ReadFile(m_Path), "0XY34");
    EXPECT_EQ(KesFileClose(file), -1);
    EXPECT_EQ(KesGetOpenFileSize(file, &size), -1);
}

// ---- addresses -------------------------------------------------------------------

TEST(Address, InetAtoNAcceptsOnlyDottedIPv4) {
    in_addr address{};
    ASSERT_EQ(KesInetAtoN("10.1.2.254", &address), 0);
    EXPECT_EQ(ntohl(address.s_addr), 0x0A0102FEu);
    ASSERT_EQ(KesInetAtoN("255.255.255.255", &address), 0);
    EXPECT_EQ(address.s_addr, 0xFFFFFFFFu);
    for (const char* bad : {"", "1.2.3", "256.1.1.1", "1.2.3.4 ", " 1.2.3.4", "0x7f.0.0.1", "localhost", "::1",
                            "1.2.3.4.5", "127.1"}) {
        EXPECT_EQ(KesInetAtoN(bad, &address), -1) << bad;
    }
    EXPECT_EQ(KesInetAtoN(nullptr, &address), -1);
    EXPECT_EQ(KesInetAtoN("1.2.3.4", nullptr), -1);
}

TEST(Address, TextsAreFreshHeapCopies) {
    char* v4 = KesGetIPStr(htonl(0xC0A80001u));
    ASSERT_NE(v4, nullptr);
    EXPECT_STREQ(v4, "192.168.0.1");
    char* again = KesGetIPStr(htonl(0x7F000001u));
    EXPECT_STREQ(again, "127.0.0.1");
    EXPECT_STREQ(v4, "192.168.0.1"); // not a shared static buffer
    std::free(v4);
    std::free(again);

    in6_addr loop6 = IN6ADDR_LOOPBACK_INIT;
    char* v6 = KesGetIPv6Str(&loop6);
    EXPECT_STREQ(v6, "::1");
    std::free(v6);
    EXPECT_EQ(KesGetIPv6Str(nullptr), nullptr);
}

// ---- sockets ---------------------------------------------------------------------

class SocketPair : public ::testing::Test {
protected:
    void SetUp() override { ASSERT_EQ(socketpair(AF_UNIX, SOCK_STREAM, 0, m_Fds), 0); }
    void TearDown() override {
        close(m_Fds[0]);
        close(m_Fds[1]);
    }
    int m_Fds[2] = {-1, -1};
};

TEST_F(SocketPair, NonBlockingModeSwitchesBothWays) {
    const unsigned int socket = static_cast<unsigned int>(m_Fds[0]);
    unsigned long on = 1;
    ASSERT_EQ(KesIoctl(socket, KES_FIONBIO, &on), 0);
    EXPECT_TRUE(fcntl(m_Fds[0], F_GETFL) & O_NONBLOCK);
    char byte;
    EXPECT_EQ(recv(m_Fds[0], &byte, 1, 0), -1);
    EXPECT_TRUE(errno == EAGAIN || errno == EWOULDBLOCK);

    unsigned long off = 0;
    ASSERT_EQ(KesIoctl(socket, KES_FIONBIO, &off), 0);
    EXPECT_FALSE(fcntl(m_Fds[0], F_GETFL) & O_NONBLOCK);
    EXPECT_EQ(KesIoctl(KES_INVALID_SOCKET, KES_FIONBIO, &on), -1);
    EXPECT_EQ(KesIoctl(socket, KES_FIONBIO, nullptr), -1);
}

TEST_F(SocketPair, PendingByteCountComesFromFionread) {
    const unsigned int socket = static_cast<unsigned int>(m_Fds[0]);
    EXPECT_EQ(KesGetSocketPacketLength(socket), 0);
    ASSERT_EQ(send(m_Fds[1], "hello", 5, 0), 5);
    EXPECT_EQ(KesGetSocketPacketLength(socket), 5);
    unsigned long available = ~0ul; // every byte set: a half-written long would show
    ASSERT_EQ(KesIoctl(socket, FIONREAD, &available), 0);
    EXPECT_EQ(available, 5ul);
    EXPECT_LT(KesGetSocketPacketLength(KES_INVALID_SOCKET), 0);
}

TEST_F(SocketPair, CloseReleasesTheSocketOnce) {
    int fd = dup(m_Fds[0]);
    EXPECT_EQ(KesCloseSocket(static_cast<unsigned int>(fd)), 0);
    EXPECT_EQ(KesCloseSocket(static_cast<unsigned int>(fd)), -1);
    EXPECT_EQ(KesCloseSocket(KES_INVALID_SOCKET), -1);
}

TEST(SocketError, ReportNamesSocketTextReasonAndNumber) {
    CapturedStderr err;
    errno = ECONNRESET;
    KesReportSocketError(4294967294u, "Send to client failed");
    errno = 0;
    KesReportSocketError(12, nullptr);
    errno = 9999; // no message for this number
    KesReportSocketError(13, "Odd");
    const int errorAfter = errno;
    const std::string reports = err.Text();
    EXPECT_TRUE(KesSocketPeerGone(ECONNRESET) && KesSocketPeerGone(ECONNABORTED));
    EXPECT_FALSE(KesSocketPeerGone(EPIPE));

    const std::string reset = std::to_string(ECONNRESET);
    EXPECT_EQ(reports,
              "Error on socket 4294967294.  Send to client failed.  Reason: " + std::string(std::strerror(ECONNRESET)) +
                  " Error No: " + reset + "\n"
                  "Error on socket 12. Error No: 0\n"
                  "Error on socket 13.  Odd. Error No: 9999\n");
    EXPECT_EQ(errorAfter, 9999);
}
