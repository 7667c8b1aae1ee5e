// The event loop: readability callbacks, registration and removal from any
// thread (also from inside a callback), stale events of reused handles, and
// stopping from another thread or a signal handler.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <csignal>
#include <functional>
#include <memory>
#include <thread>
#include <vector>

#include <fcntl.h>
#include <pthread.h>
#include <sys/socket.h>
#include <unistd.h>

#include "CKesRvNet.h"
#include "KesTestSupport.h"

namespace {

// Polls until the condition holds or a generous deadlock guard runs out.
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

// A connected stream socket pair: [0] is watched, [1] writes to it.
struct SocketPair {
    int fd[2] = {-1, -1};
    SocketPair() { EXPECT_EQ(socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, fd), 0); }
    ~SocketPair() { Close(0), Close(1); }
    unsigned int Watched() const { return static_cast<unsigned int>(fd[0]); }
    void Poke() const { ASSERT_EQ(write(fd[1], "x", 1), 1); }
    void Close(int end)
    {
        if (fd[end] >= 0)
            close(fd[end]);
        fd[end] = -1;
    }
};

// Counts OnIO calls, and those that begin after the owner marked the socket
// removed (only an OnIO the loop had already begun may do that).
class Recorder : public CMOMRvIOCallback {
public:
    void OnIO(CMOMRvIO* io) override
    {
        lateCalls += removed.load();
        lastSource.store(io->Source());
        char buffer[256];
        while (recv(static_cast<int>(io->Source()), buffer, sizeof buffer, MSG_DONTWAIT) > 0) {
        }
        if (hook)
            hook(io);
        ++calls;
    }
    std::atomic<int> calls{0}, lateCalls{0};
    std::atomic<bool> removed{false};
    std::atomic<unsigned int> lastSource{KES_INVALID_SOCKET};
    std::function<void(CMOMRvIO*)> hook;  // set before registration
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
    pthread_t Handle() { return m_Thread.native_handle(); }

private:
    CKesRvNet& m_Net;
    std::thread m_Thread;
    std::atomic<int> m_Result{0};
};

class EventLoopTest : public ::testing::Test {
protected:
    int Watch(unsigned int socket, Recorder& recorder)
    {
        return m_Net.KRNAddIOHandle(socket, TRUE, FALSE, FALSE, &recorder);
    }
    // A round trip through a registered barrier socket proves that the loop
    // has finished every OnIO that was running when it began.
    void AddBarrier() { ASSERT_EQ(Watch(m_Barrier.Watched(), m_BarrierCalls), 1); }
    bool RoundTrip()
    {
        const int before = m_BarrierCalls.calls.load();
        m_Barrier.Poke();
        return WaitFor([&] { return m_BarrierCalls.calls.load() > before; });
    }
    CKesRvNet m_Net{"event-loop-test", __KES_SERV_NONE};
    SocketPair m_Barrier;
    Recorder m_BarrierCalls;
};

// Only the readable socket's latest callback runs, and a callback that
// removes its own socket is not called again although it stays readable.
TEST_F(EventLoopTest, OnIOReachesTheLatestCallbackOfAReadableSocketUntilItIsRemoved)
{
    SocketPair quiet, busy, self;
    Recorder quietRecorder, replaced, busyRecorder, selfRemoving;
    selfRemoving.hook = [&](CMOMRvIO* io) {
        EXPECT_EQ(m_Net.KRNRemoveIO(io->Source()), 1);
        self.Poke();
    };
    ASSERT_EQ(Watch(quiet.Watched(), quietRecorder), 1);
    ASSERT_EQ(Watch(busy.Watched(), replaced), 1);
    ASSERT_EQ(Watch(busy.Watched(), busyRecorder), 1);  // registering again replaces the callback
    ASSERT_EQ(Watch(self.Watched(), selfRemoving), 1);
    AddBarrier();
    LoopThread loop(m_Net);
    for (int n = 1; n <= 2; ++n) {
        busy.Poke();
        self.Poke();
        ASSERT_TRUE(WaitFor([&] { return busyRecorder.calls.load() == n; }));
    }
    ASSERT_TRUE(RoundTrip());
    ASSERT_TRUE(RoundTrip());
    EXPECT_EQ(busyRecorder.lastSource.load(), busy.Watched());
    EXPECT_EQ(busyRecorder.calls.load(), 2);
    EXPECT_EQ(selfRemoving.calls.load(), 1);
    EXPECT_EQ(quietRecorder.calls.load() + replaced.calls.load(), 0);
    EXPECT_EQ(loop.Stop(), 1);
}

TEST_F(EventLoopTest, RegistrationRefusesBadArgumentsAndHandlesTheSystemRejects)
{
    ksxtest::ErrorCapture errors;
    SocketPair pair;
    Recorder recorder;
    EXPECT_EQ(Watch(KES_INVALID_SOCKET, recorder), -220459);
    EXPECT_EQ(m_Net.KRNAddIOHandle(pair.Watched(), TRUE, FALSE, FALSE, nullptr), -220552);
    EXPECT_EQ(m_Net.KRNAddIOHandle(pair.Watched(), FALSE, FALSE, FALSE, &recorder), -220552);
    EXPECT_EQ(m_Net.KRNAddIOHandle(pair.Watched(), TRUE, TRUE, FALSE, &recorder), -220552);
    EXPECT_EQ(m_Net.KRNRemoveIO(pair.Watched()), -220459) << "nothing was registered";

    const int file = open("/dev/null", O_RDONLY | O_CLOEXEC);
    EXPECT_LT(Watch(static_cast<unsigned int>(file), recorder), 0) << "a descriptor that cannot be polled";
    close(file);
    EXPECT_EQ(m_Net.KRNRemoveIO(static_cast<unsigned int>(file)), -220459) << "a refused handle is not registered";

    // A handle closed before its removal is still forgotten.
    ASSERT_EQ(Watch(pair.Watched(), recorder), 1);
    const unsigned int closed = pair.Watched();
    pair.Close(0);
    EXPECT_EQ(m_Net.KRNRemoveIO(closed), 1);
    EXPECT_EQ(m_Net.KRNRemoveIO(closed), -220459);
    EXPECT_LT(Watch(closed, recorder), 0);
    EXPECT_TRUE(errors.Has(-220459, "CKesRvNet"));
}

// Both sockets are readable before the loop starts, so both are in its first
// batch; whichever is dispatched first acts on the other, whose pending event
// must then reach no callback from that batch.
class FirstBatchTest : public EventLoopTest {
protected:
    void FirstActsOnTheOther(std::function<void(SocketPair&)> act)
    {
        m_Ra.hook = [this, act](CMOMRvIO*) { act(m_B), m_Barrier.Poke(); };  // the poke fires in a later batch
        m_Rb.hook = [this, act](CMOMRvIO*) { act(m_A), m_Barrier.Poke(); };
        AddBarrier();
        ASSERT_EQ(Watch(m_A.Watched(), m_Ra), 1);
        ASSERT_EQ(Watch(m_B.Watched(), m_Rb), 1);
        m_A.Poke();
        m_B.Poke();
        m_Loop = std::make_unique<LoopThread>(m_Net);
        ASSERT_TRUE(WaitFor([&] { return m_BarrierCalls.calls.load() >= 1; }));
        ASSERT_TRUE(RoundTrip());
        EXPECT_EQ(m_Ra.calls.load() + m_Rb.calls.load(), 1);
    }
    SocketPair m_A, m_B;
    Recorder m_Ra, m_Rb;
    std::unique_ptr<LoopThread> m_Loop;
};

TEST_F(FirstBatchTest, RemovingAnotherSocketInsideOnIODropsItsPendingEvent)
{
    FirstActsOnTheOther([&](SocketPair& other) { EXPECT_EQ(m_Net.KRNRemoveIO(other.Watched()), 1); });
}

// The other socket is closed and a new one takes its descriptor number with a
// new callback: the old event must not reach it, the new socket's events must.
TEST_F(FirstBatchTest, AReusedDescriptorNumberGetsOnlyTheNewCallback)
{
    SocketPair replacement;
    Recorder fresh;
    std::atomic<unsigned int> reused{KES_INVALID_SOCKET};
    FirstActsOnTheOther([&](SocketPair& other) {
        const int number = other.fd[0];
        other.Close(0);
        ASSERT_EQ(dup2(replacement.fd[0], number), number);
        replacement.Close(0);
        replacement.fd[0] = number;
        ASSERT_EQ(Watch(static_cast<unsigned int>(number), fresh), 1);
        reused.store(static_cast<unsigned int>(number));
    });
    EXPECT_EQ(fresh.calls.load(), 0) << "the old socket's event reached the new callback";
    replacement.Poke();
    ASSERT_TRUE(WaitFor([&] { return fresh.calls.load() == 1; }));
    EXPECT_EQ(fresh.lastSource.load(), reused.load());
    EXPECT_EQ(m_Ra.calls.load() + m_Rb.calls.load(), 1);
    m_Loop.reset();  // before replacement and fresh go
}

// OnIO waits for a thread that removes the same socket: the removal must not
// wait for that OnIO, or both would hang.
TEST_F(EventLoopTest, RemovalByAThreadThatOnIOWaitsForDoesNotBlock)
{
    SocketPair pair;
    Recorder recorder;
    std::atomic<bool> entered{false}, removed{false}, sawRemoval{false};
    recorder.hook = [&](CMOMRvIO*) {
        entered = true;
        sawRemoval = WaitFor([&] { return removed.load(); });
    };
    ASSERT_EQ(Watch(pair.Watched(), recorder), 1);
    LoopThread loop(m_Net);
    pair.Poke();
    ASSERT_TRUE(WaitFor([&] { return entered.load(); }));
    removed = m_Net.KRNRemoveIO(pair.Watched()) == 1;
    ASSERT_TRUE(WaitFor([&] { return recorder.calls.load() == 1; }));
    EXPECT_TRUE(sawRemoval);
}

// Several threads register and remove many sockets while their peers write
// and the loop dispatches. After KRNRemoveIO returns, at most the OnIO that
// the loop had already begun may still run, and once the loop has gone round
// no socket is dispatched again although every removed one stays readable.
TEST_F(EventLoopTest, NoOnIOStartsForASocketAfterItsRemovalUnderConcurrentChurn)
{
    constexpr int kThreads = 4, kRounds = 150;
    std::vector<SocketPair> pairs(kThreads * kRounds);
    std::vector<Recorder> recorders(kThreads * kRounds);
    AddBarrier();
    LoopThread loop(m_Net);
    std::atomic<int> failures{0};
    auto churn = [&](int thread) {
        for (int i = thread * kRounds; i < (thread + 1) * kRounds; ++i) {
            failures += Watch(pairs[i].Watched(), recorders[i]) != 1;
            pairs[i].Poke();
            if (i % 2 == 0)
                failures += !WaitFor([&] { return recorders[i].calls.load() > 0; });
            pairs[i].Poke();
            failures += m_Net.KRNRemoveIO(pairs[i].Watched()) != 1;
            recorders[i].removed.store(true);
            pairs[i].Poke();
            pairs[i].Close(1);  // end of file: readable for good
        }
    };
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t)
        threads.emplace_back(churn, t);
    for (auto& t : threads)
        t.join();
    ASSERT_EQ(failures.load(), 0);

    ASSERT_TRUE(RoundTrip());
    ASSERT_TRUE(RoundTrip());
    std::vector<int> settled;
    for (auto& r : recorders)
        settled.push_back(r.calls.load());
    ASSERT_TRUE(RoundTrip());
    ASSERT_TRUE(RoundTrip());
    for (size_t i = 0; i < recorders.size(); ++i) {
        EXPECT_LE(recorders[i].lateCalls.load(), 1) << "socket " << i;
        EXPECT_EQ(recorders[i].calls.load(), settled[i]) << "socket " << i << " dispatched after removal";
        EXPECT_TRUE(i % 2 == 1 || settled[i] >= 1) << "socket " << i << " never dispatched";
    }
}

CKesRvNet* g_SignalledNet = nullptr;

extern "C" void StopOnSignal(int)
{
    g_SignalledNet->KRNStopNet();
}

// A stop is kept when requested before the loop starts, ends a running loop
// from another thread or from a signal handler, and the loop can run again.
TEST_F(EventLoopTest, StopFromAnotherThreadOrASignalHandlerEndsTheLoopWhichCanRunAgain)
{
    m_Net.KRNStopNet();
    EXPECT_EQ(m_Net.KRNStartNet(), 1);
    EXPECT_FALSE(m_Net.KRNIsRunning());
    {
        LoopThread loop(m_Net);
        EXPECT_EQ(m_Net.KRNStartNet(), -220552) << "a second loop on the same object";
        EXPECT_EQ(loop.Stop(), 1);
    }
    EXPECT_FALSE(m_Net.KRNIsRunning());

    g_SignalledNet = &m_Net;
    struct sigaction action {}, previous {};
    action.sa_handler = StopOnSignal;
    sigemptyset(&action.sa_mask);
    ASSERT_EQ(sigaction(SIGUSR1, &action, &previous), 0);
    AddBarrier();
    LoopThread loop(m_Net);
    ASSERT_TRUE(RoundTrip());  // the restarted loop dispatches
    ASSERT_EQ(pthread_kill(loop.Handle(), SIGUSR1), 0);
    EXPECT_TRUE(WaitFor([&] { return !m_Net.KRNIsRunning(); }));
    EXPECT_EQ(loop.Stop(), 1);
    sigaction(SIGUSR1, &previous, nullptr);
}

}  // namespace
