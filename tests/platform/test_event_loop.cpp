// The event loop: readability callbacks, registration and removal from any
// thread (also from inside a callback), stale events of reused handles, and
// stopping from another thread or a signal handler.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <csignal>
#include <functional>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

#include <fcntl.h>
#include <pthread.h>
#include <sys/socket.h>
#include <unistd.h>

#include "CKesRvNet.h"
#include "KesTestSupport.h"

namespace {

// Polls the condition until it holds or a generous deadlock guard runs out.
template <class Condition>
bool WaitFor(Condition condition)
{
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);
    while (!condition()) {
        if (std::chrono::steady_clock::now() > deadline)
            return false;
        std::this_thread::sleep_for(std::chrono::microseconds(200));
    }
    return true;
}

// A connected pair of stream sockets: [0] is registered, [1] writes to it.
struct SocketPair {
    int fd[2] = {-1, -1};
    SocketPair() { EXPECT_EQ(socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, fd), 0); }
    ~SocketPair() { CloseBoth(); }
    SocketPair(const SocketPair&) = delete;
    SocketPair& operator=(const SocketPair&) = delete;
    unsigned int Watched() const { return static_cast<unsigned int>(fd[0]); }
    void Poke() const { ASSERT_EQ(write(fd[1], "x", 1), 1); }
    void ClosePeer() { Close(1); }
    void Close(int end)
    {
        if (fd[end] >= 0)
            close(fd[end]);
        fd[end] = -1;
    }
    void CloseBoth()
    {
        Close(0);
        Close(1);
    }
};

void Drain(unsigned int socket)
{
    char buffer[256];
    while (recv(static_cast<int>(socket), buffer, sizeof buffer, MSG_DONTWAIT) > 0) {
    }
}

// Records each OnIO; counts calls that begin after the owner marked the
// socket removed (only an OnIO the loop had already begun may do that).
class Recorder : public CMOMRvIOCallback {
public:
    void OnIO(CMOMRvIO* io) override
    {
        if (removed.load())
            ++lateCalls;
        lastSource.store(io->Source());
        Drain(io->Source());
        if (hook)
            hook(io);
        ++calls;
    }
    std::atomic<int> calls{0};
    std::atomic<int> lateCalls{0};
    std::atomic<bool> removed{false};
    std::atomic<unsigned int> lastSource{KES_INVALID_SOCKET};
    std::function<void(CMOMRvIO*)> hook; // set before registration
};

// Runs KRNStartNet on its own thread; stops and joins on destruction.
class LoopThread {
public:
    explicit LoopThread(CKesRvNet& net) : m_Net(net)
    {
        m_Thread = std::thread([this] { m_Result.store(m_Net.KRNStartNet()); });
        EXPECT_TRUE(WaitFor([this] { return m_Net.KRNIsRunning(); }));
    }
    ~LoopThread() { Stop(); }
    int Stop()
    {
        if (m_Thread.joinable()) {
            m_Net.KRNStopNet();
            m_Thread.join();
        }
        return m_Result.load();
    }
    std::thread& Thread() { return m_Thread; }

private:
    CKesRvNet& m_Net;
    std::thread m_Thread;
    std::atomic<int> m_Result{0};
};

// A registered socket whose round trip proves that the loop has finished
// every OnIO that was running when the round trip began.
class Barrier {
public:
    explicit Barrier(CKesRvNet& net) { EXPECT_EQ(net.KRNAddIOHandle(m_Pair.Watched(), TRUE, FALSE, FALSE, &m_Recorder), 1); }
    bool RoundTrip()
    {
        const int before = m_Recorder.calls.load();
        m_Pair.Poke();
        return WaitFor([&] { return m_Recorder.calls.load() > before; });
    }
    // Asks the loop to write to the barrier from inside a dispatch, so that
    // it fires only in a later wait than the batch being dispatched.
    void PokeFromLoop() { m_Pair.Poke(); }
    int Calls() const { return m_Recorder.calls.load(); }

private:
    SocketPair m_Pair;
    Recorder m_Recorder;
};

class EventLoopTest : public ::testing::Test {
protected:
    CKesRvNet m_Net{"event-loop-test", __KES_SERV_NONE};
};

TEST_F(EventLoopTest, OnIOIsCalledForTheReadableSocketWithItsSource)
{
    SocketPair quiet, busy;
    Recorder quietRecorder, busyRecorder;
    ASSERT_EQ(m_Net.KRNAddIOHandle(quiet.Watched(), TRUE, FALSE, FALSE, &quietRecorder), 1);
    ASSERT_EQ(m_Net.KRNAddIOHandle(busy.Watched(), TRUE, FALSE, FALSE, &busyRecorder), 1);
    LoopThread loop(m_Net);

    busy.Poke();
    ASSERT_TRUE(WaitFor([&] { return busyRecorder.calls.load() == 1; }));
    busy.Poke();
    ASSERT_TRUE(WaitFor([&] { return busyRecorder.calls.load() == 2; }));
    Barrier barrier(m_Net);
    ASSERT_TRUE(barrier.RoundTrip());

    EXPECT_EQ(busyRecorder.lastSource.load(), busy.Watched());
    EXPECT_EQ(busyRecorder.calls.load(), 2);
    EXPECT_EQ(quietRecorder.calls.load(), 0);
    EXPECT_EQ(loop.Stop(), 1);
}

TEST_F(EventLoopTest, RegistrationRefusesBadArgumentsAndHandlesTheSystemRejects)
{
    ksxtest::ErrorCapture errors;
    SocketPair pair;
    Recorder recorder;
    EXPECT_EQ(m_Net.KRNAddIOHandle(KES_INVALID_SOCKET, TRUE, FALSE, FALSE, &recorder), -220459);
    EXPECT_EQ(m_Net.KRNAddIOHandle(pair.Watched(), TRUE, FALSE, FALSE, nullptr), -220552);
    EXPECT_EQ(m_Net.KRNAddIOHandle(pair.Watched(), FALSE, FALSE, FALSE, &recorder), -220552);
    EXPECT_EQ(m_Net.KRNAddIOHandle(pair.Watched(), TRUE, TRUE, FALSE, &recorder), -220552);
    EXPECT_EQ(m_Net.KRNRemoveIO(pair.Watched()), -220459) << "nothing was registered";

    const unsigned int closed = pair.Watched();
    pair.CloseBoth();
    EXPECT_LT(m_Net.KRNAddIOHandle(closed, TRUE, FALSE, FALSE, &recorder), 0);
    EXPECT_TRUE(errors.Has(-220459, "CKesRvNet"));
    EXPECT_EQ(m_Net.KRNRemoveIO(closed), -220459) << "a refused handle is not registered";

    const int file = open("/dev/null", O_RDONLY | O_CLOEXEC);
    ASSERT_GE(file, 0);
    EXPECT_LT(m_Net.KRNAddIOHandle(static_cast<unsigned int>(file), TRUE, FALSE, FALSE, &recorder), 0)
        << "a descriptor that cannot be polled";
    close(file);

    // A handle closed before its removal is still forgotten.
    SocketPair other;
    const unsigned int handle = other.Watched();
    ASSERT_EQ(m_Net.KRNAddIOHandle(handle, TRUE, FALSE, FALSE, &recorder), 1);
    other.CloseBoth();
    EXPECT_EQ(m_Net.KRNRemoveIO(handle), 1);
    EXPECT_EQ(m_Net.KRNRemoveIO(handle), -220459);
}

TEST_F(EventLoopTest, RegisteringASocketAgainReplacesItsCallback)
{
    SocketPair pair;
    Recorder first, second;
    ASSERT_EQ(m_Net.KRNAddIOHandle(pair.Watched(), TRUE, FALSE, FALSE, &first), 1);
    ASSERT_EQ(m_Net.KRNAddIOHandle(pair.Watched(), TRUE, FALSE, FALSE, &second), 1);
    LoopThread loop(m_Net);
    pair.Poke();
    ASSERT_TRUE(WaitFor([&] { return second.calls.load() == 1; }));
    EXPECT_EQ(first.calls.load(), 0);
}

TEST_F(EventLoopTest, RemovingItsOwnSocketInsideOnIOEndsItsCallbacks)
{
    SocketPair pair;
    Barrier barrier(m_Net);
    Recorder recorder;
    recorder.hook = [&](CMOMRvIO* io) {
        EXPECT_EQ(m_Net.KRNRemoveIO(io->Source()), 1);
        pair.Poke(); // readable again: only a stale registration would fire
    };
    ASSERT_EQ(m_Net.KRNAddIOHandle(pair.Watched(), TRUE, FALSE, FALSE, &recorder), 1);
    LoopThread loop(m_Net);
    pair.Poke();
    ASSERT_TRUE(WaitFor([&] { return recorder.calls.load() == 1; }));
    ASSERT_TRUE(barrier.RoundTrip());
    ASSERT_TRUE(barrier.RoundTrip());
    EXPECT_EQ(recorder.calls.load(), 1);
}

// Both sockets are readable before the loop starts, so both are in its first
// batch; whichever is dispatched first removes the other, which must then not
// be dispatched from that batch.
TEST_F(EventLoopTest, RemovingAnotherSocketInsideOnIODropsItsPendingEvent)
{
    SocketPair a, b;
    Recorder ra, rb;
    Barrier barrier(m_Net);
    std::atomic<int> removals{0};
    ra.hook = [&](CMOMRvIO*) {
        removals += m_Net.KRNRemoveIO(b.Watched()) == 1;
        barrier.PokeFromLoop();
    };
    rb.hook = [&](CMOMRvIO*) {
        removals += m_Net.KRNRemoveIO(a.Watched()) == 1;
        barrier.PokeFromLoop();
    };
    ASSERT_EQ(m_Net.KRNAddIOHandle(a.Watched(), TRUE, FALSE, FALSE, &ra), 1);
    ASSERT_EQ(m_Net.KRNAddIOHandle(b.Watched(), TRUE, FALSE, FALSE, &rb), 1);
    a.Poke();
    b.Poke();
    LoopThread loop(m_Net);
    ASSERT_TRUE(WaitFor([&] { return barrier.Calls() >= 1; }));
    ASSERT_TRUE(barrier.RoundTrip());
    EXPECT_EQ(ra.calls.load() + rb.calls.load(), 1);
    EXPECT_EQ(removals.load(), 1);
}

// The first dispatch closes the other registered socket and puts a new socket
// under the same descriptor number with a new callback, while the old
// socket's event is still in the batch: that event must reach nobody, and the
// new socket's own events only the new callback.
TEST_F(EventLoopTest, AReusedDescriptorNumberGetsOnlyTheNewCallback)
{
    SocketPair a, b, replacement;
    Recorder ra, rb, fresh;
    Barrier barrier(m_Net);
    std::atomic<unsigned int> reused{KES_INVALID_SOCKET};
    auto replace = [&](SocketPair& victim) {
        const int number = victim.fd[0];
        victim.Close(0);
        ASSERT_EQ(dup2(replacement.fd[0], number), number);
        replacement.Close(0);
        replacement.fd[0] = number;
        ASSERT_EQ(m_Net.KRNAddIOHandle(static_cast<unsigned int>(number), TRUE, FALSE, FALSE, &fresh), 1);
        reused.store(static_cast<unsigned int>(number));
        barrier.PokeFromLoop();
    };
    ra.hook = [&](CMOMRvIO*) { replace(b); };
    rb.hook = [&](CMOMRvIO*) { replace(a); };
    ASSERT_EQ(m_Net.KRNAddIOHandle(a.Watched(), TRUE, FALSE, FALSE, &ra), 1);
    ASSERT_EQ(m_Net.KRNAddIOHandle(b.Watched(), TRUE, FALSE, FALSE, &rb), 1);
    a.Poke();
    b.Poke();
    LoopThread loop(m_Net);
    ASSERT_TRUE(WaitFor([&] { return barrier.Calls() >= 1; }));
    ASSERT_TRUE(barrier.RoundTrip());
    EXPECT_EQ(ra.calls.load() + rb.calls.load(), 1);
    EXPECT_EQ(fresh.calls.load(), 0) << "the old socket's event reached the new callback";

    replacement.Poke();
    ASSERT_TRUE(WaitFor([&] { return fresh.calls.load() == 1; }));
    EXPECT_EQ(fresh.lastSource.load(), reused.load());
    EXPECT_EQ(ra.calls.load() + rb.calls.load(), 1);
}

// OnIO waits for a thread that removes the same socket: the removal must not
// wait for that OnIO, or both would hang.
TEST_F(EventLoopTest, RemovalByAThreadThatOnIOWaitsForDoesNotBlock)
{
    SocketPair pair;
    Recorder recorder;
    std::mutex lock;
    std::condition_variable changed;
    bool entered = false, removed = false, sawRemoval = false;
    recorder.hook = [&](CMOMRvIO*) {
        std::unique_lock<std::mutex> hold(lock);
        entered = true;
        changed.notify_all();
        sawRemoval = changed.wait_for(hold, std::chrono::seconds(20), [&] { return removed; });
    };
    ASSERT_EQ(m_Net.KRNAddIOHandle(pair.Watched(), TRUE, FALSE, FALSE, &recorder), 1);
    LoopThread loop(m_Net);
    pair.Poke();
    std::thread remover([&] {
        {
            std::unique_lock<std::mutex> hold(lock);
            changed.wait(hold, [&] { return entered; });
        }
        const int result = m_Net.KRNRemoveIO(pair.Watched());
        std::lock_guard<std::mutex> hold(lock);
        removed = result == 1;
        changed.notify_all();
    });
    remover.join();
    ASSERT_TRUE(WaitFor([&] { return recorder.calls.load() == 1; }));
    EXPECT_TRUE(sawRemoval);
}

// Several threads register and remove many sockets while their peers write
// and the loop dispatches. After KRNRemoveIO returns, at most the OnIO that
// the loop had already begun may still run, and once the loop has gone round
// no socket is dispatched again although every removed one stays readable.
TEST_F(EventLoopTest, NoOnIOStartsForASocketAfterItsRemovalUnderConcurrentChurn)
{
    constexpr int kThreads = 4;
    constexpr int kRounds = 150;
    std::vector<std::unique_ptr<SocketPair>> pairs(kThreads * kRounds);
    std::vector<std::unique_ptr<Recorder>> recorders(kThreads * kRounds);
    for (auto& p : pairs)
        p = std::make_unique<SocketPair>();
    for (auto& r : recorders)
        r = std::make_unique<Recorder>();
    LoopThread loop(m_Net);

    std::atomic<int> failures{0};
    auto churn = [&](int thread) {
        for (int round = 0; round < kRounds; ++round) {
            const int i = thread * kRounds + round;
            SocketPair& pair = *pairs[i];
            Recorder& recorder = *recorders[i];
            failures += m_Net.KRNAddIOHandle(pair.Watched(), TRUE, FALSE, FALSE, &recorder) != 1;
            pair.Poke();
            if (round % 2 == 0)
                failures += !WaitFor([&] { return recorder.calls.load() > 0; });
            pair.Poke();
            failures += m_Net.KRNRemoveIO(pair.Watched()) != 1;
            recorder.removed.store(true);
            pair.Poke();
            pair.ClosePeer(); // end of file: readable for good
        }
    };
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t)
        threads.emplace_back(churn, t);
    for (auto& t : threads)
        t.join();
    ASSERT_EQ(failures.load(), 0);

    Barrier barrier(m_Net);
    ASSERT_TRUE(barrier.RoundTrip());
    ASSERT_TRUE(barrier.RoundTrip());
    std::vector<int> settled;
    for (auto& r : recorders)
        settled.push_back(r->calls.load());
    ASSERT_TRUE(barrier.RoundTrip());
    ASSERT_TRUE(barrier.RoundTrip());
    for (size_t i = 0; i < recorders.size(); ++i) {
        EXPECT_LE(recorders[i]->lateCalls.load(), 1) << "socket " << i;
        EXPECT_EQ(recorders[i]->calls.load(), settled[i]) << "socket " << i << " dispatched after removal";
        if (i % kRounds % 2 == 0) {
            EXPECT_GE(settled[i], 1) << "socket " << i << " never dispatched";
        }
    }
}

TEST_F(EventLoopTest, StopFromAnotherThreadEndsTheLoopWhichCanRunAgain)
{
    m_Net.KRNStopNet();  // a stop requested before the loop starts is kept
    EXPECT_EQ(m_Net.KRNStartNet(), 1);
    EXPECT_FALSE(m_Net.KRNIsRunning());
    {
        LoopThread loop(m_Net);
        EXPECT_EQ(m_Net.KRNStartNet(), -220552) << "a second loop on the same object";
        EXPECT_EQ(loop.Stop(), 1);
    }
    EXPECT_FALSE(m_Net.KRNIsRunning());

    SocketPair pair;
    Recorder recorder;
    ASSERT_EQ(m_Net.KRNAddIOHandle(pair.Watched(), TRUE, FALSE, FALSE, &recorder), 1);
    LoopThread again(m_Net);
    pair.Poke();
    EXPECT_TRUE(WaitFor([&] { return recorder.calls.load() == 1; }));
    EXPECT_EQ(again.Stop(), 1);
}

CKesRvNet* g_SignalledNet = nullptr;

extern "C" void StopOnSignal(int)
{
    g_SignalledNet->KRNStopNet();
}

TEST_F(EventLoopTest, StopFromASignalHandlerEndsTheLoop)
{
    g_SignalledNet = &m_Net;
    struct sigaction action {};
    action.sa_handler = StopOnSignal;
    sigemptyset(&action.sa_mask);
    struct sigaction previous {};
    ASSERT_EQ(sigaction(SIGUSR1, &action, &previous), 0);

    SocketPair pair;
    Recorder recorder;
    ASSERT_EQ(m_Net.KRNAddIOHandle(pair.Watched(), TRUE, FALSE, FALSE, &recorder), 1);
    std::atomic<int> result{0};
    std::thread loop([&] { result.store(m_Net.KRNStartNet()); });
    ASSERT_TRUE(WaitFor([&] { return m_Net.KRNIsRunning(); }));
    pair.Poke();
    ASSERT_TRUE(WaitFor([&] { return recorder.calls.load() == 1; }));
    ASSERT_EQ(pthread_kill(loop.native_handle(), SIGUSR1), 0);
    const bool stopped = WaitFor([&] { return !m_Net.KRNIsRunning(); });
    if (!stopped)
        m_Net.KRNStopNet();
    loop.join();
    sigaction(SIGUSR1, &previous, nullptr);
    EXPECT_TRUE(stopped);
    EXPECT_EQ(result.load(), 1);
}

}  // namespace
