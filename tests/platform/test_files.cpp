// File locks, whole-file reads, descriptor limits and the environment.
#include <gtest/gtest.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <fcntl.h>
#include <memory>
#include <string>
#include <sys/resource.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>
#include <vector>

#include "CKesEnv.h"
#include "CKesFileDescriptor.h"
#include "CKesFileLock.h"
#include "CKesReadOnlyFile.h"
#include "KesPort.h"
#include "KesTestSupport.h"

namespace {

std::string WriteFile(const std::string& name, const std::string& content) {
    std::string path = ksxtest::KsxHome() + "/" + name;
    std::FILE* f = std::fopen(path.c_str(), "wb");
    std::fwrite(content.data(), 1, content.size(), f);
    std::fclose(f);
    return path;
}

// Sets (or, given null, removes) one environment variable for a scope.
class ScopedEnv {
public:
    ScopedEnv(const char* name, const char* value) : m_Name(name), m_Had(std::getenv(name) != nullptr) {
        if (m_Had) m_Old = std::getenv(name);
        value ? setenv(name, value, 1) : unsetenv(name);
    }
    ~ScopedEnv() { m_Had ? setenv(m_Name, m_Old.c_str(), 1) : unsetenv(m_Name); }

private:
    const char* m_Name;
    bool m_Had;
    std::string m_Old;
};

std::vector<std::string> HostAddresses() {
    const CKesAtomVector& atoms = CKesEnv::KELocalHostIPAddrs();
    std::vector<std::string> texts;
    for (int i = 0; i < atoms.KAVLength(); ++i) texts.push_back(atoms.KAVGetValue(i)->KAString());
    return texts;
}

}  // namespace

// Two handles of one process exclude each other (so do other processes, seen
// through the flock command); a lock ends with its object.
TEST(FileLock, ExcludesOtherHandlesAndProcessesUntilReleasedOrDestroyed) {
    ksxtest::ErrorCapture capture;
    const std::string path = WriteFile("locked.cfg", "content\n");
    const std::string command = "flock -n '" + path + "' true";
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
        EXPECT_EQ(second.KFLTryLock(), 1);
        EXPECT_EQ(first.KFLTryLock(), 0);
        EXPECT_EQ(second.KFLUnlock(), 1);
        ASSERT_EQ(first.KFLLock(), 1);
    }
    EXPECT_EQ(second.KFLTryLock(), 1);
    EXPECT_EQ(second.KFLUnlock(), 1);
    EXPECT_EQ(second.KFLUnlock(), -220456);
    EXPECT_EQ(capture.Count(-220456, "CKesFileLock"), 1);
    KesFileClose(other);
    KesFileClose(mine);

    CKesFileLock broken("Nothing", KES_INVALID_FILE_HANDLE);
    EXPECT_EQ(broken.KFLLock(), -220456);
    EXPECT_EQ(broken.KFLTryLock(), -220456);
    EXPECT_EQ(capture.Count(-220456, "CKesFileLock"), 3);
}

// The whole content on every read; a missing file is waited for only when
// retry was asked for. (The service data parser's tests read missing and
// empty files through this class.)
TEST(ReadOnlyFile, ReadsTheWholeContentRepeatedlyAndRetriesOnlyWhenAsked) {
    std::string big;
    for (int i = 0; big.size() < 100000; ++i) big += "line " + std::to_string(i) + "\n";
    CKesReadOnlyFile file(WriteFile("whole.cfg", big).c_str(), true);
    ASSERT_EQ(file.KOFOpenLoop(1, 10), 0);
    for (int pass = 0; pass < 2; ++pass) {
        std::unique_ptr<char, decltype(&std::free)> text(file.KOFReadAll(), &std::free);
        ASSERT_NE(text, nullptr);
        EXPECT_EQ(std::string(text.get()), big);
    }

    const std::string path = ksxtest::KsxHome() + "/late.cfg";
    CKesReadOnlyFile once(path.c_str(), false);
    EXPECT_EQ(once.KOFCheckAccess(), -1);
    EXPECT_EQ(once.KOFOpenLoop(100000, 1000), -1);
    std::thread writer([] {
        KesSleep(30);
        WriteFile("late.cfg", "late");
    });
    CKesReadOnlyFile late(path.c_str(), true);
    EXPECT_EQ(late.KOFOpenLoop(100000, 1), 0);
    writer.join();
    EXPECT_EQ(late.KOFCheckAccess(), 0);
    std::unique_ptr<char, decltype(&std::free)> text(late.KOFReadAll(), &std::free);
    EXPECT_STREQ(text.get(), "late");
}

// Run in a child whose exit code names the first failed step.
TEST(FileDescriptor, RaisingTheLimitLetsAnExhaustedProcessOpenAgain) {
    rlimit limit{};
    ASSERT_EQ(getrlimit(RLIMIT_NOFILE, &limit), 0);
    if (limit.rlim_max != RLIM_INFINITY && limit.rlim_max < 128) GTEST_SKIP() << "hard descriptor limit too low";
    std::fflush(nullptr);
    const pid_t child = fork();
    if (child == 0) {
        rlimit now{};
        getrlimit(RLIMIT_NOFILE, &now);
        now.rlim_cur = 64;
        if (setrlimit(RLIMIT_NOFILE, &now) != 0) _exit(1);
        while (open("/dev/null", O_RDONLY) >= 0) {
        }
        if (!CKesFileDescriptor::KFDIsUnavailable(errno) || CKesFileDescriptor::KFDIsUnavailable(ENOENT)) _exit(2);
        if (CKesFileDescriptor::KFDMakeAvailable() != 0 || open("/dev/null", O_RDONLY) < 0) _exit(3);
        getrlimit(RLIMIT_NOFILE, &now);
        if (now.rlim_cur <= 64) _exit(4);
        // At the hard limit nothing more can be gained.
        now.rlim_cur = now.rlim_max;
        if (now.rlim_max != RLIM_INFINITY && setrlimit(RLIMIT_NOFILE, &now) == 0 && CKesFileDescriptor::KFDMakeAvailable() != -1) _exit(5);
        _exit(0);
    }
    int status = 0;
    ASSERT_EQ(waitpid(child, &status, 0), child);
    ASSERT_TRUE(WIFEXITED(status));
    EXPECT_EQ(WEXITSTATUS(status), 0);
}

TEST(Env, HomeComesFromKsxHomeWithADefault) {
    EXPECT_STREQ(CKesEnv::KEQBHome().KAString(), ksxtest::KsxHome().c_str());
    {
        ScopedEnv unset("KSX_HOME", nullptr);
        EXPECT_STREQ(CKesEnv::KEQBHome().KAString(), "/opt/ksx");
    }
    ScopedEnv empty("KSX_HOME", "");
    EXPECT_STREQ(CKesEnv::KEQBHome().KAString(), "/opt/ksx");
}

// Up interfaces only, loopback last; an override is trimmed, skips empty and
// bad items (reported), and one naming no address leaves the interfaces.
TEST(Env, HostAddressesComeFromUpInterfacesOrTheOverride) {
    ksxtest::ErrorCapture capture;
    {
        ScopedEnv noOverride("KSX_HOST_ADDRS", nullptr);
        // This runs in the test's own network namespace: only loopback so far.
        EXPECT_EQ(HostAddresses(), std::vector<std::string>{"127.0.0.1"});
    }
    ScopedEnv blank("KSX_HOST_ADDRS", " , ");
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
