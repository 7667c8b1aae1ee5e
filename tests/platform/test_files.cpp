// File locks, whole-file reads, descriptor limits and the environment.
#include <gtest/gtest.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <spawn.h>
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

extern char** environ;

namespace {

std::string WriteFile(const std::string& name, const std::string& content) {
    std::string path = ksxtest::KsxHome() + "/" + name;
    std::FILE* f = std::fopen(path.c_str(), "wb");
    std::fwrite(content.data(), 1, content.size(), f);
    std::fclose(f);
    return path;
}

// Runs a command and returns its exit status.
int RunCommand(const std::vector<std::string>& command) {
    std::vector<char*> argv;
    for (const auto& arg : command) argv.push_back(const_cast<char*>(arg.c_str()));
    argv.push_back(nullptr);
    pid_t child = 0;
    if (posix_spawnp(&child, argv[0], nullptr, nullptr, argv.data(), environ) != 0) return -1;
    int status = 0;
    waitpid(child, &status, 0);
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

// Exit status of a forked child that runs the check (exit codes are its result).
template <typename Check>
int InChild(Check check) {
    std::fflush(nullptr);
    pid_t child = fork();
    if (child == 0) _exit(check());
    int status = 0;
    waitpid(child, &status, 0);
    return WIFEXITED(status) ? WEXITSTATUS(status) : 200;
}

}  // namespace

// ---- CKesFileLock ------------------------------------------------------------

class FileLock : public ::testing::Test {
protected:
    void SetUp() override {
        m_Path = WriteFile("locked.cfg", "content\n");
        m_Handle = KesFileOpen(m_Path.c_str(), 3);
        ASSERT_NE(m_Handle, KES_INVALID_FILE_HANDLE);
    }
    void TearDown() override { KesFileClose(m_Handle); }
    std::string m_Path;
    KesFileHandle m_Handle = KES_INVALID_FILE_HANDLE;
};

TEST_F(FileLock, ExcludesAnotherHandleOfThisProcessUntilReleasedOrDestroyed) {
    ksxtest::ErrorCapture capture;
    KesFileHandle other = KesFileOpen(m_Path.c_str(), 1);
    ASSERT_NE(other, KES_INVALID_FILE_HANDLE);
    CKesFileLock second("ServiceData", other);
    {
        CKesFileLock first("ServiceData", m_Handle);
        ASSERT_EQ(first.KFLLock(), 1);
        EXPECT_EQ(second.KFLTryLock(), 0);
        EXPECT_EQ(first.KFLUnlock(), 1);
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

    CKesFileLock broken("Nothing", KES_INVALID_FILE_HANDLE);
    EXPECT_EQ(broken.KFLLock(), -220456);
    EXPECT_EQ(broken.KFLTryLock(), -220456);
    EXPECT_EQ(capture.Count(-220456, "CKesFileLock"), 3);
}

TEST_F(FileLock, ExcludesAnotherProcess) {
    CKesFileLock lock("ServiceData", m_Handle);
    ASSERT_EQ(lock.KFLLock(), 1);
    auto childTry = [&] {
        KesFileHandle own = KesFileOpen(m_Path.c_str(), 3);
        CKesFileLock attempt("ServiceData", own);
        return attempt.KFLTryLock() + 10; // 10 refused, 11 taken
    };
    EXPECT_EQ(InChild(childTry), 10);
    ASSERT_EQ(lock.KFLUnlock(), 1);
    EXPECT_EQ(InChild(childTry), 11);
}

TEST_F(FileLock, InteroperatesWithTheFlockCommand) {
    CKesFileLock lock("ServiceData", m_Handle);
    ASSERT_EQ(lock.KFLLock(), 1);
    EXPECT_NE(RunCommand({"flock", "-n", m_Path, "true"}), 0);
    ASSERT_EQ(lock.KFLUnlock(), 1);
    EXPECT_EQ(RunCommand({"flock", "-n", m_Path, "true"}), 0);

    // `flock <file> cat` holds the lock until its input ends.
    int input[2];
    ASSERT_EQ(pipe(input), 0);
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, input[0], STDIN_FILENO);
    posix_spawn_file_actions_addclose(&actions, input[1]);
    std::string path = m_Path;
    char* argv[] = {const_cast<char*>("flock"), path.data(), const_cast<char*>("cat"), nullptr};
    pid_t holder = 0;
    ASSERT_EQ(posix_spawnp(&holder, "flock", &actions, nullptr, argv, environ), 0);
    posix_spawn_file_actions_destroy(&actions);
    close(input[0]);

    // Wait until the command holds it (give it back if we got there first).
    int result;
    while ((result = lock.KFLTryLock()) == 1) {
        lock.KFLUnlock();
        KesSleep(5);
    }
    EXPECT_EQ(result, 0);
    close(input[1]); // cat ends, flock lets go
    int status = 0;
    waitpid(holder, &status, 0);
    EXPECT_EQ(lock.KFLTryLock(), 1);
}

// ---- CKesReadOnlyFile ---------------------------------------------------------

TEST(ReadOnlyFile, ReadsTheWholeContentRepeatedly) {
    std::string big;
    for (int i = 0; big.size() < 100000; ++i) big += "line " + std::to_string(i) + "\n";
    for (const std::string& content : {big, std::string()}) {
        std::string path = WriteFile("whole.cfg", content);
        CKesReadOnlyFile file(path.c_str(), true);
        EXPECT_EQ(file.KOFCheckAccess(), 0);
        ASSERT_EQ(file.KOFOpenLoop(1, 10), 0);
        for (int pass = 0; pass < 2; ++pass) {
            char* text = file.KOFReadAll();
            ASSERT_NE(text, nullptr);
            EXPECT_EQ(std::string(text), content);
            std::free(text);
        }
    }
}

TEST(ReadOnlyFile, MissingFileGivesNoAccessNoOpenAndNoText) {
    std::string path = ksxtest::KsxHome() + "/absent.cfg";
    CKesReadOnlyFile file(path.c_str(), true);
    EXPECT_EQ(file.KOFCheckAccess(), -1);
    EXPECT_EQ(file.KOFOpenLoop(3, 1), -1);
    EXPECT_EQ(file.KOFReadAll(), nullptr);
    CKesReadOnlyFile none(nullptr, true);
    EXPECT_EQ(none.KOFCheckAccess(), -1);
    EXPECT_EQ(none.KOFOpenLoop(1, 1), -1);
}

TEST(ReadOnlyFile, OpenLoopRetriesUntilTheFileAppears) {
    std::string path = ksxtest::KsxHome() + "/late.cfg";
    std::thread writer([&] {
        KesSleep(30);
        WriteFile("late.cfg", "late");
    });
    CKesReadOnlyFile file(path.c_str(), true);
    EXPECT_EQ(file.KOFOpenLoop(100000, 1), 0);
    writer.join();
    char* text = file.KOFReadAll();
    EXPECT_STREQ(text, "late");
    std::free(text);

    // Without retry a single attempt is made.
    CKesReadOnlyFile once((path + ".no").c_str(), false);
    EXPECT_EQ(once.KOFOpenLoop(100000, 1000), -1);
}

// ---- CKesFileDescriptor --------------------------------------------------------

TEST(FileDescriptor, RaisingTheLimitLetsAnExhaustedProcessOpenAgain) {
    rlimit limit{};
    ASSERT_EQ(getrlimit(RLIMIT_NOFILE, &limit), 0);
    if (limit.rlim_max != RLIM_INFINITY && limit.rlim_max < 128) GTEST_SKIP() << "hard descriptor limit too low";
    int result = InChild([] {
        rlimit low{};
        getrlimit(RLIMIT_NOFILE, &low);
        low.rlim_cur = 64;
        if (setrlimit(RLIMIT_NOFILE, &low) != 0) return 1;
        int fd;
        while ((fd = open("/dev/null", O_RDONLY)) >= 0) {
        }
        if (!CKesFileDescriptor::KFDIsUnavailable(errno)) return 2;
        if (CKesFileDescriptor::KFDIsUnavailable(ENOENT)) return 7;
        if (CKesFileDescriptor::KFDMakeAvailable() != 0) return 3;
        if (open("/dev/null", O_RDONLY) < 0) return 4;
        rlimit now{};
        getrlimit(RLIMIT_NOFILE, &now);
        if (now.rlim_cur <= 64) return 5;
        // At the hard limit nothing more can be gained.
        if (now.rlim_max != RLIM_INFINITY) {
            now.rlim_cur = now.rlim_max;
            setrlimit(RLIMIT_NOFILE, &now);
            if (CKesFileDescriptor::KFDMakeAvailable() != -1) return 6;
        }
        return 0;
    });
    EXPECT_EQ(result, 0);
}

// ---- CKesEnv ------------------------------------------------------------------

namespace {

// Sets or removes one environment variable for a scope.
class ScopedEnv {
public:
    ScopedEnv(const char* name, const char* value) : m_Name(name) {
        const char* old = std::getenv(name);
        m_HadOld = old != nullptr;
        if (old) m_Old = old;
        if (value)
            setenv(name, value, 1);
        else
            unsetenv(name);
    }
    ~ScopedEnv() {
        if (m_HadOld)
            setenv(m_Name, m_Old.c_str(), 1);
        else
            unsetenv(m_Name);
    }

private:
    const char* m_Name;
    bool m_HadOld = false;
    std::string m_Old;
};

std::vector<std::string> Texts(const CKesAtomVector& atoms) {
    std::vector<std::string> texts;
    for (int i = 0; i < atoms.KAVLength(); ++i) texts.push_back(atoms.KAVGetValue(i)->KAString());
    return texts;
}

}  // namespace

TEST(Env, HomeComesFromKsxHomeWithADefault) {
    EXPECT_STREQ(CKesEnv::KEQBHome().KAString(), ksxtest::KsxHome().c_str());
    {
        ScopedEnv unset("KSX_HOME", nullptr);
        EXPECT_STREQ(CKesEnv::KEQBHome().KAString(), "/opt/ksx");
    }
    ScopedEnv empty("KSX_HOME", "");
    EXPECT_STREQ(CKesEnv::KEQBHome().KAString(), "/opt/ksx");
}

TEST(Env, HostAddressesListUpInterfacesWithLoopbackLast) {
    ScopedEnv noOverride("KSX_HOST_ADDRS", nullptr);
    // This runs in the test's own network namespace: only loopback so far.
    EXPECT_EQ(Texts(CKesEnv::KELocalHostIPAddrs()), std::vector<std::string>{"127.0.0.1"});
    ASSERT_EQ(std::system("ip link add kv0 type veth peer name kv1 && ip addr add 10.9.8.7/24 dev kv0 && "
                          "ip addr add 10.9.9.9/24 dev kv1 && ip link set kv0 up"),
              0);
    // kv1 is down, so its address is not ours to offer.
    EXPECT_EQ(Texts(CKesEnv::KELocalHostIPAddrs()), (std::vector<std::string>{"10.9.8.7", "127.0.0.1"}));
    EXPECT_EQ(std::system("ip link del kv0"), 0);
}

TEST(Env, HostAddressOverrideIsTrimmedAndSkipsEmptyAndBadItems) {
    std::vector<std::string> interfaces;
    {
        ScopedEnv none("KSX_HOST_ADDRS", nullptr);
        interfaces = Texts(CKesEnv::KELocalHostIPAddrs());
    }
    ksxtest::ErrorCapture capture;
    {
        ScopedEnv list("KSX_HOST_ADDRS", " 10.1.1.1 ,,\t10.2.2.2,host.example , ");
        EXPECT_EQ(Texts(CKesEnv::KELocalHostIPAddrs()), (std::vector<std::string>{"10.1.1.1", "10.2.2.2"}));
        EXPECT_EQ(capture.Count(-220439, "CKesEnv"), 1);
    }
    // An override naming no address leaves the interfaces' list.
    ScopedEnv blank("KSX_HOST_ADDRS", " , ");
    EXPECT_EQ(Texts(CKesEnv::KELocalHostIPAddrs()), interfaces);
    EXPECT_FALSE(interfaces.empty());
}
