// File locks, whole-file reads, descriptor limits (also when accepting) and
// the environment.
#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <string>
#include <vector>

#include "CKesAcceptReserve.h"
#include "CKesEnv.h"
#include "CKesFileDescriptor.h"
#include "CKesFileLock.h"
#include "CKesReadOnlyFile.h"
#include "KesPort.h"
#include "KesTestSupport.h"

namespace {

std::string WriteFile(const std::string& name, const std::string& content)
{
    std::string path = ksxtest::KsxHome() + "/" + name;
    std::FILE* f = std::fopen(path.c_str(), "wb");
    std::fwrite(content.data(), 1, content.size(), f);
    std::fclose(f);
    return path;
}

using ksxtest::ScopedEnv;

std::vector<std::string> HostAddresses()
{
    const CKesAtomVector& atoms = CKesEnv::KELocalHostIPAddrs();
    std::vector<std::string> texts;
    for (int i = 0; i < atoms.KAVLength(); ++i) texts.push_back(atoms.KAVGetValue(i)->KAString());
    return texts;
}

} // namespace

// Another handle, or another process (the flock command, asking only to
// share the lock), is kept out until the lock is released or its object
// destroyed.
TEST(FileLock, ExcludesOtherHandlesAndProcessesUntilReleasedOrDestroyed)
{
    const std::string path = WriteFile("locked.cfg", "content\n");
    const std::string command = "flock -s -n '" + path + "' true";
    KesFileHandle mine = KesFileOpen(path.c_str(), 3);
    KesFileHandle other = KesFileOpen(path.c_str(), 1);
    ASSERT_NE(mine, KES_INVALID_FILE_HANDLE);
    ASSERT_NE(other, KES_INVALID_FILE_HANDLE);
    CKesFileLock second("ServiceData", other);
    {
        CKesFileLock first("ServiceData", mine);
        ASSERT_EQ(first.KFLLock(), 1);
        EXPECT_EQ(second.KFLTryLock(), 0);
        EXPECT_NE(std::system(command.c_str()), 0);
        EXPECT_EQ(first.KFLUnlock(), 1);
        EXPECT_EQ(std::system(command.c_str()), 0);
        ASSERT_EQ(first.KFLLock(), 1);
    }
    EXPECT_EQ(std::system(command.c_str()), 0);
    EXPECT_EQ(second.KFLTryLock(), 1);
    EXPECT_NE(std::system(command.c_str()), 0);
    EXPECT_EQ(second.KFLUnlock(), 1);
    KesFileClose(other);
    KesFileClose(mine);
}

// The whole of a file larger than one read, on every read.
TEST(ReadOnlyFile, ReadsTheWholeContentRepeatedly)
{
    std::string big;
    for (int i = 0; big.size() < 100000; ++i) big += "line " + std::to_string(i) + "\n";
    CKesReadOnlyFile file(WriteFile("whole.cfg", big).c_str(), true);
    ASSERT_EQ(file.KOFOpenLoop(1, 10), 0);
    for (int pass = 0; pass < 2; ++pass) {
        std::unique_ptr<char, decltype(&std::free)> text(file.KOFReadAll(), &std::free);
        ASSERT_NE(text, nullptr);
        EXPECT_EQ(std::string(text.get()), big);
    }
}

TEST(Env, HomeDefaultsWhenKsxHomeIsUnsetOrEmpty)
{
    for (const char* value : {static_cast<const char*>(nullptr), ""}) {
        ScopedEnv home("KSX_HOME", value);
        EXPECT_STREQ(CKesEnv::KEQBHome().KAString(), "/opt/ksx");
    }
}

// Up interfaces only, loopback last; an override is trimmed, skips empty and
// bad items (reported), and one naming no address leaves the interfaces.
TEST(Env, HostAddressesComeFromUpInterfacesOrTheOverride)
{
    ksxtest::ErrorCapture capture;
    ScopedEnv blank("KSX_HOST_ADDRS", " , ");
    // The test's own network namespace: only loopback so far.
    EXPECT_EQ(HostAddresses(), std::vector<std::string>{"127.0.0.1"});
    ASSERT_EQ(std::system("ip link add kv0 type veth peer name kv1 && ip addr add 10.9.8.7/24 dev kv0 && "
                          "ip addr add 10.9.9.9/24 dev kv1 && ip link set kv0 up"),
              0);
    // kv1 is down, so its address is not ours to offer.
    EXPECT_EQ(HostAddresses(), (std::vector<std::string>{"10.9.8.7", "127.0.0.1"}));
    EXPECT_EQ(std::system("ip link del kv0"), 0);
    EXPECT_EQ(capture.Count(-220439, "CKesEnv"), 0);

    ScopedEnv list("KSX_HOST_ADDRS", " 10.1.1.1 ,,\t10.2.2.2,host.example , ");
    EXPECT_EQ(HostAddresses(), (std::vector<std::string>{"10.1.1.1", "10.2.2.2"}));
    EXPECT_EQ(capture.Count(-220439, "CKesEnv"), 1);
}

// A process out of descriptors gets more from KFDMakeAvailable (the server's
// socket and service-file paths retry on it); run in a child, whose limits go
// with it.
TEST(FileDescriptor, RaisingTheLimitLetsAnExhaustedProcessOpenAgain)
{
    const pid_t child = fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        rlimit low{};
        getrlimit(RLIMIT_NOFILE, &low);
        if (low.rlim_max != RLIM_INFINITY && low.rlim_max < 128) _exit(0); // nothing to gain here
        low.rlim_cur = 64;
        if (setrlimit(RLIMIT_NOFILE, &low) != 0) _exit(1);
        while (open("/dev/null", O_RDONLY) >= 0) {}
        if (!CKesFileDescriptor::KFDIsUnavailable(errno) || CKesFileDescriptor::KFDIsUnavailable(ENOENT))
            _exit(2);
        if (CKesFileDescriptor::KFDMakeAvailable() != 0) _exit(3);
        _exit(open("/dev/null", O_RDONLY) >= 0 ? 0 : 4);
    }
    int status = 0;
    ASSERT_EQ(waitpid(child, &status, 0), child);
    EXPECT_TRUE(WIFEXITED(status));
    EXPECT_EQ(WEXITSTATUS(status), 0);
}

// A reader never sees a rewrite in place half-way (the writer of another
// process holds the exclusive lock, as servers do), and a thread that holds
// the exclusive lock itself reads at once instead of waiting for itself.
TEST(ReadOnlyFile, NeverSeesARewriteHalfWayAndTheLockHolderReadsAtOnce)
{
    const std::string shortText(300, 's'), longText(90000, 'l');
    const std::string path = WriteFile("rewritten.cfg", longText);
    pid_t writer = fork();
    ASSERT_GE(writer, 0);
    if (writer == 0) {
        KesFileHandle handle = KesFileOpen(path.c_str(), 3);
        for (int round = 0; round < 400; ++round) {
            const std::string& text = round % 2 ? longText : shortText;
            CKesFileLock lock("rewritten", handle);
            if (lock.KFLLock() != 1) _exit(1);
            // In place, in pieces, then cut to length: the way the service file is rewritten.
            for (size_t at = 0; at < text.size(); at += 4096)
                if (pwrite(handle, text.data() + at, std::min<size_t>(4096, text.size() - at), at) < 0)
                    _exit(1);
            if (ftruncate(handle, static_cast<off_t>(text.size())) != 0) _exit(1);
        }
        _exit(0);
    }
    int torn = 0, reads = 0, status = 0;
    while (waitpid(writer, &status, WNOHANG) == 0) {
        CKesReadOnlyFile file(path.c_str(), true);
        ASSERT_EQ(file.KOFOpenLoop(1, 10), 0);
        std::unique_ptr<char, decltype(&std::free)> text(file.KOFReadAll(), &std::free);
        ASSERT_NE(text, nullptr);
        ++reads;
        if (text.get() != shortText && text.get() != longText) ++torn;
    }
    ASSERT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
    EXPECT_GT(reads, 0);
    EXPECT_EQ(torn, 0) << "of " << reads << " reads";

    KesFileHandle handle = KesFileOpen(path.c_str(), 3);
    CKesFileLock lock("rewritten", handle);
    ASSERT_EQ(lock.KFLLock(), 1);
    CKesReadOnlyFile file(path.c_str(), true);
    ASSERT_EQ(file.KOFOpenLoop(1, 10), 0);
    std::unique_ptr<char, decltype(&std::free)> text(file.KOFReadAll(), &std::free);
    EXPECT_NE(text, nullptr);
    EXPECT_EQ(lock.KFLUnlock(), 1);
    KesFileClose(handle);
}

namespace {

// The checks of the shedding child below: each failure ends it with its own
// status, which the parent names.
void Require(bool condition, int status)
{
    if (!condition) _exit(status);
}

// A listening socket on a loopback port of this test's namespace.
int ListenOnLoopback(sockaddr_in& address)
{
    const int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    address = sockaddr_in{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t length = sizeof address;
    Require(fd >= 0 && bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0 &&
                listen(fd, 16) == 0 && getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length) == 0,
            10);
    return fd;
}

// Runs in the child: its limits go with it.
void ShedAtTheLimitAndRecover()
{
    constexpr int kShed = 3;
    sockaddr_in address{};
    const int listenFd = ListenOnLoopback(address);
    std::vector<int> clients;
    for (int i = 0; i < kShed + 2; ++i) clients.push_back(socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
    for (int client : clients) {
        timeval patience{10, 0}; // a connection left waiting fails the read instead of hanging
        Require(client >= 0 && setsockopt(client, SOL_SOCKET, SO_RCVTIMEO, &patience, sizeof patience) == 0,
                11);
    }
    auto connectClient = [&](int i) {
        Require(connect(clients[i], reinterpret_cast<sockaddr*>(&address), sizeof address) == 0, 12);
    };
    CKesAcceptReserve reserve;
    rlimit low{64, 64}; // the hard limit too, so that it cannot be raised
    Require(setrlimit(RLIMIT_NOFILE, &low) == 0, 13);
    std::vector<int> fillers;
    for (int fd; (fd = open("/dev/null", O_RDONLY)) >= 0;) fillers.push_back(fd);
    Require(!fillers.empty(), 14);

    // Nothing pending: the call returns (after its pause) rather than block
    // on the blocking listening socket, and sheds nothing.
    Require(reserve.KARAccept(listenFd, nullptr, nullptr, SOCK_CLOEXEC) == -1 && errno == EMFILE, 20);
    Require(reserve.KARTakeShortageBegan() && !reserve.KARTakeShortageBegan(), 21);
    Require(reserve.KARTakeShedCount() == 0, 22);
    // Each pending connection is accepted and closed at once; the spare
    // comes back after each, or the next would simply be accepted.
    for (int i = 0; i < kShed; ++i) connectClient(i);
    for (int i = 0; i < kShed; ++i)
        Require(reserve.KARAccept(listenFd, nullptr, nullptr, SOCK_CLOEXEC) == -1 && errno == EMFILE, 23);
    Require(!reserve.KARTakeShortageBegan(), 24); // still the same shortage
    Require(reserve.KARTakeShedCount() == kShed && reserve.KARTakeShedCount() == 0, 25);
    for (int i = 0; i < kShed; ++i) {
        char byte;
        const ssize_t got = recv(clients[i], &byte, 1, 0);
        Require(got == 0 || (got < 0 && errno == ECONNRESET), 26);
    }

    // Descriptors freed: connections are accepted again, and a new shortage
    // is a new one.
    close(fillers.back()), fillers.pop_back();
    connectClient(kShed);
    const int accepted = reserve.KARAccept(listenFd, nullptr, nullptr, SOCK_CLOEXEC);
    Require(accepted >= 0 && reserve.KARTakeShedCount() == 0, 30);
    connectClient(kShed + 1);
    Require(reserve.KARAccept(listenFd, nullptr, nullptr, SOCK_CLOEXEC) == -1 && errno == EMFILE, 31);
    Require(reserve.KARTakeShortageBegan() && reserve.KARTakeShedCount() == 1, 32);
}

} // namespace

// At the descriptor limit an accept loop neither spins nor leaves clients
// waiting: each pending connection is accepted on the spare and closed, the
// shortage is reported once with a count, and accepting resumes once
// descriptors are free. In a child, whose limits go with it.
TEST(FileDescriptor, AcceptAtTheLimitShedsPendingConnectionsAndCountsThem)
{
    const pid_t child = fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        alarm(60); // a call that blocks ends the child instead of the test run
        ShedAtTheLimitAndRecover();
        _exit(0);
    }
    int status = 0;
    ASSERT_EQ(waitpid(child, &status, 0), child);
    ASSERT_TRUE(WIFEXITED(status));
    EXPECT_EQ(WEXITSTATUS(status), 0) << "the step that failed (see ShedAtTheLimitAndRecover)";
}
