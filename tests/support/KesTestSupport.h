// Helpers shared by the test programs: capturing error reports, writing
// files into the test's KSX_HOME, waiting for a condition and running an event
// loop. Brings GoogleTest and the standard headers the tests share.
#pragma once

#include <atomic>
#include <chrono>
#include <cstdlib>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include <sys/socket.h>
#include <sys/types.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include "CKesError.h"
#include "CKesRvNet.h"
#include "KesErrorCodes.h"
#include "KesPort.h"

namespace ksxtest {

// How long a test waits for something that must happen.
constexpr int kGuardMs = 30000;

// Polls done() until it holds; false when the guard runs out.
bool WaitUntil(const std::function<bool()>& done, int guardMs = kGuardMs);

// 0 .. count-1 without `left`: the records of a batch that must arrive when
// the one at `left` is refused.
inline std::vector<unsigned int> NumbersExcept(unsigned int count, unsigned int left)
{
    std::vector<unsigned int> numbers;
    for (unsigned int i = 0; i < count; ++i)
        if (i != left) numbers.push_back(i);
    return numbers;
}

// A connected Unix stream socket pair: [0] is the end under test (an event loop watches it), [1] writes to
// it.
struct SocketPair {
    int fd[2] = {-1, -1};
    SocketPair() { EXPECT_EQ(socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, fd), 0); }
    ~SocketPair() { Close(0), Close(1); }
    SocketPair(const SocketPair&) = delete;
    SocketPair& operator=(const SocketPair&) = delete;
    unsigned int Watched() const { return static_cast<unsigned int>(fd[0]); }
    void Poke() const { ASSERT_EQ(write(fd[1], "x", 1), 1); }
    void Close(int end) { fd[end] >= 0 && close(std::exchange(fd[end], -1)); }
};

// Runs an event loop (an engine's too) on its own thread while it exists.
class EventLoopThread {
public:
    explicit EventLoopThread(CKesRvNet& net); // returns once the loop runs
    ~EventLoopThread() { Stop(); }
    EventLoopThread(const EventLoopThread&) = delete;
    EventLoopThread& operator=(const EventLoopThread&) = delete;
    std::thread& Thread() { return m_Thread; }
    pid_t Tid() const { return m_Tid.load(); } // the system's id of the thread in KRNStartNet
    // Stops the loop (once) and returns what KRNStartNet returned.
    int Stop();

private:
    CKesRvNet& m_Net;
    std::atomic<int> m_Result{0};
    std::atomic<pid_t> m_Tid{0};
    std::thread m_Thread;
};

// One captured CKesError report.
struct ErrorReport {
    int code;
    std::string source;
    int line;
    std::string text;
};

// Installs itself as the error listener for its lifetime and keeps every
// report made meanwhile (from any thread).
class ErrorCapture {
public:
    ErrorCapture();
    ~ErrorCapture();
    std::vector<ErrorReport> Reports() const;
    // Number of reports with this code (and, when given, this source and line).
    int Count(int code, const char* source = nullptr, int line = -1) const;
    bool Has(int code, const char* source = nullptr, int line = -1) const
    {
        return Count(code, source, line) > 0;
    }
    // Number of reports whose text contains all of the given pieces (and,
    // when given, with this code).
    int CountText(std::initializer_list<std::string> pieces, int code = 0) const;
    void Clear();

private:
    static void OnReport(int code, const char* source, int line, const char* text, void* self);
    mutable std::mutex m_Lock;
    std::vector<ErrorReport> m_Reports;
};

// Sets (or, given null, removes) one environment variable for a scope.
class ScopedEnv {
public:
    ScopedEnv(const char* name, const char* value) : m_Name(name), m_Had(std::getenv(name) != nullptr)
    {
        if (m_Had) m_Old = std::getenv(name);
        value ? setenv(name, value, 1) : unsetenv(name);
    }
    ~ScopedEnv() { m_Had ? setenv(m_Name, m_Old.c_str(), 1) : unsetenv(m_Name); }

private:
    const char* m_Name;
    bool m_Had;
    std::string m_Old;
};

// A service file line for the multicast group of the shipped service file.
inline constexpr const char* kMulticastLine =
    "SERVICE: MulticastService DOMAIN: ANY_OSTRAVINE_DOMAIN ADDRESS: 234.5.6.7 PORT: 23456 DYNAMIC: NO\n";

// A service file line for a TCP service.
std::string ServiceLine(const std::string& service, const std::string& domain, const std::string& address,
                        int port);

// The test's KSX_HOME (set by scripts/netns-run) and its service file path.
std::string KsxHome();
std::string ServiceFilePath();
// Replaces the service file with the given text.
void WriteServiceFile(const std::string& text);
// The whole content of a file ("" when it cannot be read).
std::string ReadFile(const std::string& path);
// Path of a program built from tests/hosts/<name>.cpp.
std::string HostProgram(const std::string& name);

// Runs body in a forked child (whose limits and environment go with it),
// which exits with what body returns; gives that status, -1 when the child
// did not exit, and in *stderrText (when given) what it wrote there.
int RunInChild(const std::function<int()>& body, std::string* stderrText = nullptr);

} // namespace ksxtest

namespace ksxtest {

// Runs body(0) .. body(count - 1) on as many threads at once and joins them.
inline void RunOnThreads(int count, const std::function<void(int)>& body)
{
    std::vector<std::thread> threads;
    for (int i = 0; i < count; ++i) threads.emplace_back(body, i);
    for (auto& thread : threads) thread.join();
}

// A heap text handed over by the code under test, as a string ("<null>" for none); frees it.
inline std::string TakeText(char* text)
{
    const std::unique_ptr<char, decltype(&std::free)> owner(text, &std::free);
    return text != nullptr ? text : "<null>";
}

// Writes a file of that name into the test's KSX_HOME and gives its path.
std::string WriteHomeFile(const std::string& name, const std::string& content);

} // namespace ksxtest
