// File locks, whole-file reads, descriptor limits (also when accepting) and the environment.
#include <fcntl.h>
#include <sys/resource.h>
#include <sys/stat.h>

#include "CKesAcceptReserve.h"
#include "CKesEnv.h"
#include "CKesFileDescriptor.h"
#include "CKesFileLock.h"
#include "CKesReadOnlyFile.h"
#include "KesTestSupport.h" // GoogleTest and the standard headers the tests share too
#include "KesWirePeer.h"

namespace {

using ksxtest::ScopedEnv;

std::vector<std::string> HostAddresses()
{
    const CKesAtomVector& atoms = CKesEnv::KELocalHostIPAddrs();
    std::vector<std::string> texts;
    for (int i = 0; i < atoms.KAVLength(); ++i) texts.push_back(atoms.KAVGetValue(i)->KAString());
    return texts;
}

} // namespace

// Another handle or process (even sharing) is kept out until the lock is released or destroyed. Each
// whole-file read gives the current file, beyond one read's size, also while this thread holds the lock, and
// also once a new file has replaced it whole (as an editor renames one over it), twice.
TEST(FileLock, ExcludesOthersUntilReleasedAndItsHolderReadsTheWholeFile)
{
    std::string big;
    for (int i = 0; big.size() < 100000; ++i) big += "line " + std::to_string(i) + "\n";
    const std::string path = ksxtest::WriteHomeFile("locked.cfg", big);
    const std::string command = "flock -s -n '" + path + "' true";
    KesFileHandle mine = KesFileOpen(path.c_str(), 3);
    KesFileHandle other = KesFileOpen(path.c_str(), 1);
    ASSERT_NE(mine, KES_INVALID_FILE_HANDLE);
    ASSERT_NE(other, KES_INVALID_FILE_HANDLE);
    CKesReadOnlyFile file(path.c_str(), true);
    ASSERT_EQ(file.KOFOpenLoop(1, 10), 0);
    EXPECT_EQ(ksxtest::TakeText(file.KOFReadAll()), big);
    CKesFileLock second("ServiceData", other);
    {
        CKesFileLock first("ServiceData", mine);
        ASSERT_EQ(first.KFLLock(), 1);
        EXPECT_EQ(second.KFLTryLock(), 0);
        EXPECT_NE(std::system(command.c_str()), 0);
        ASSERT_EQ(KesFileTruncate(mine, 300), 0);
        EXPECT_EQ(ksxtest::TakeText(file.KOFReadAll()), big.substr(0, 300));
        EXPECT_EQ(first.KFLUnlock(), 1);
        EXPECT_EQ(std::system(command.c_str()), 0);
        ASSERT_EQ(first.KFLLock(), 1);
    }
    EXPECT_EQ(std::system(command.c_str()), 0);
    EXPECT_EQ(second.KFLTryLock(), 1);
    EXPECT_NE(std::system(command.c_str()), 0);
    EXPECT_EQ(second.KFLUnlock(), 1);
    KesFileClose(other), KesFileClose(mine);
    for (const char* text : {"new", "newer"}) {
        ASSERT_EQ(rename(ksxtest::WriteHomeFile("locked.cfg.next", text).c_str(), path.c_str()), 0);
        EXPECT_EQ(ksxtest::TakeText(file.KOFReadAll()), text);
    }
}

// Only a regular file (or a link to one) opens: a FIFO in the service file's place would block every reader
// until some writer came (here one is there, so that a wrong open returns rather than hangs), and a
// directory or a device is no file to read.
TEST(FileOpen, OnlyARegularFileOpens)
{
    const std::string path = ksxtest::WriteHomeFile("regular.cfg", "text");
    const std::string fifo = path.substr(0, path.rfind('/') + 1) + "fifo.cfg", link = fifo + ".link";
    ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
    const int writer = open(fifo.c_str(), O_RDWR | O_NONBLOCK | O_CLOEXEC);
    ASSERT_GE(writer, 0);
    ASSERT_EQ(symlink(path.c_str(), link.c_str()), 0);
    for (const std::string& good : {path, link}) {
        const KesFileHandle handle = KesFileOpen(good.c_str(), 3);
        EXPECT_NE(handle, KES_INVALID_FILE_HANDLE) << good;
        EXPECT_EQ(fcntl(handle, F_GETFL) & O_NONBLOCK, 0) << "left non-blocking";
        KesFileClose(handle);
    }
    for (const std::string& bad : {fifo, fifo.substr(0, fifo.rfind('/')), std::string("/dev/null")}) {
        EXPECT_EQ(KesFileOpen(bad.c_str(), 1), KES_INVALID_FILE_HANDLE) << bad;
        CKesReadOnlyFile file(bad.c_str(), true);
        EXPECT_NE(file.KOFOpenLoop(1, 10), 0) << bad;
    }
    close(writer);
}

// Home defaults when unset or empty. Host addresses: up interfaces, loopback last; an override
// is trimmed and skips empty and bad items (reported); one naming no address leaves the interfaces.
TEST(Env, HomeDefaultsAndHostAddressesComeFromUpInterfacesOrTheOverride)
{
    for (const char* value : {static_cast<const char*>(nullptr), ""}) {
        ScopedEnv home("KSX_HOME", value);
        EXPECT_STREQ(CKesEnv::KEQBHome().KAString(), "/opt/ksx");
    }
    ksxtest::ErrorCapture capture;
    ScopedEnv blank("KSX_HOST_ADDRS", " , ");
    EXPECT_EQ(HostAddresses(), std::vector<std::string>{"127.0.0.1"}); // the test's namespace
    ASSERT_EQ(std::system("ip link add kv0 type veth peer name kv1 && ip addr add 10.9.8.7/24 dev kv0 && "
                          "ip addr add 10.9.9.9/24 dev kv1 && ip link set kv0 up"),
              0);
    EXPECT_EQ(HostAddresses(), (std::vector<std::string>{"10.9.8.7", "127.0.0.1"})); // kv1 is down
    EXPECT_EQ(std::system("ip link del kv0"), 0);
    EXPECT_EQ(capture.Count(KES_ERR_SERVICE_ENTRY, "CKesEnv"), 0);

    ScopedEnv list("KSX_HOST_ADDRS", " 10.1.1.1 ,,\t10.2.2.2,host.example , ");
    EXPECT_EQ(HostAddresses(), (std::vector<std::string>{"10.1.1.1", "10.2.2.2"}));
    EXPECT_EQ(capture.Count(KES_ERR_SERVICE_ENTRY, "CKesEnv"), 1);
}

// Out of descriptors, KFDMakeAvailable raises the soft limit; at the hard one each pending connection is shed
// on the spare descriptor (no spin, no client left waiting), the shortage counted once, until some are free.
TEST(FileDescriptor, AnExhaustedProcessRaisesTheLimitOrShedsPendingConnections)
{
    const int failedStep = ksxtest::RunInChild([] {
        constexpr int kShed = 3;
        alarm(60); // a call that blocks ends the child instead of the test run
        const ksxtest::WireListener listener(16);
        const int listenFd = listener.Fd();
        sockaddr_in address = ksxtest::Ipv4("127.0.0.1", listener.Port());
        auto* any = reinterpret_cast<sockaddr*>(&address);
        std::vector<int> clients;
        timeval patience{10, 0}; // a connection left waiting fails the read instead of hanging
        for (int i = 0; i < kShed + 2; ++i) {
            clients.push_back(socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
            if (setsockopt(clients.back(), SOL_SOCKET, SO_RCVTIMEO, &patience, sizeof patience)) return 11;
        }
        CKesAcceptReserve reserve;
        auto connected = [&](int i) { return connect(clients[i], any, sizeof address) == 0; };
        auto refused = [&] {
            return reserve.KARAccept(listenFd, nullptr, nullptr, SOCK_CLOEXEC) == -1 && errno == EMFILE;
        };
        std::vector<int> fillers;
        auto exhaust = [&fillers](rlim_t hard) { // true when opening failed for want of descriptors
            const rlimit low{64, hard};
            if (setrlimit(RLIMIT_NOFILE, &low) != 0) return false;
            for (int fd; (fd = open("/dev/null", O_RDONLY)) >= 0;) fillers.push_back(fd);
            return CKesFileDescriptor::KFDIsUnavailable(errno) &&
                   !CKesFileDescriptor::KFDIsUnavailable(ENOENT);
        };
        rlimit start{};
        getrlimit(RLIMIT_NOFILE, &start);
        if (start.rlim_max == RLIM_INFINITY || start.rlim_max >= 128) { // else nothing to gain
            if (!exhaust(start.rlim_max)) return 2;
            if (CKesFileDescriptor::KFDMakeAvailable() != 0 || open("/dev/null", O_RDONLY) < 0) return 4;
            for (int fd : fillers) close(fd);
            fillers.clear();
        }
        if (!exhaust(64) || fillers.empty()) return 14; // the hard limit too, so that it cannot be raised

        // Nothing pending: the call returns rather than block, and sheds nothing.
        if (!refused() || !reserve.KARTakeShortageBegan() || reserve.KARTakeShortageBegan()) return 20;
        if (reserve.KARTakeShedCount() != 0) return 22;
        // Each pending connection is shed; the spare comes back after each.
        for (int i = 0; i < kShed; ++i)
            if (!connected(i)) return 23;
        for (int i = 0; i < kShed; ++i)
            if (!refused()) return 24;
        if (reserve.KARTakeShortageBegan()) return 25; // still the same shortage
        if (reserve.KARTakeShedCount() != kShed || reserve.KARTakeShedCount() != 0) return 26;
        for (int i = 0; i < kShed; ++i) // closed or reset, not left waiting (nothing is ever sent)
            if (char byte; recv(clients[i], &byte, 1, 0) != 0 && errno != ECONNRESET) return 27;

        // Descriptors freed: connections are accepted again; a new shortage is a new one.
        close(fillers.back());
        if (!connected(kShed) || reserve.KARAccept(listenFd, nullptr, nullptr, SOCK_CLOEXEC) < 0) return 30;
        if (reserve.KARTakeShedCount() != 0) return 31;
        if (!connected(kShed + 1) || !refused()) return 32;
        return reserve.KARTakeShortageBegan() && reserve.KARTakeShedCount() == 1 ? 0 : 33;
    });
    EXPECT_EQ(failedStep, 0); // else the number of the step that failed
}
