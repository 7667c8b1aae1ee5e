// The event loop: removal from any thread or callback, stale events, pausing, stopping and work run by a
// reader after its read.
#include <algorithm>
#include <csignal>
#include <filesystem>
#include <fstream>
#include <future>

#include <pthread.h>
#include <unistd.h>

#include "KesTestSupport.h" // the event loop, sockets and GoogleTest too

namespace {

using LoopThread = ksxtest::EventLoopThread;
using ksxtest::SocketPair;
using ksxtest::WaitUntil;

// Counts OnIO calls, and those begun after the owner marked the socket removed.
struct Recorder : CMOMRvIOCallback {
    void OnIO(CMOMRvIO* io) override
    {
        lateCalls += removed.load();
        char buffer[256];
        while (recv(static_cast<int>(io->Source()), buffer, sizeof buffer, MSG_DONTWAIT) > 0) {}
        if (hook) hook(io);
        ++calls;
    }
    std::atomic<int> calls{0}, lateCalls{0};
    std::atomic<bool> removed{false};
    std::function<void(CMOMRvIO*)> hook; // set before registration
};

class EventLoopTest : public ::testing::Test {
protected:
    int Watch(unsigned int fd, Recorder& r) { return m_Net.KRNAddIOHandle(fd, TRUE, FALSE, FALSE, &r); }
    void SetUp() override { ASSERT_EQ(Watch(m_Barrier.Watched(), m_BarrierCalls), 1); }
    // The loop has finished every OnIO that was running when this began.
    bool RoundTrip()
    {
        const int before = m_BarrierCalls.calls.load();
        m_Barrier.Poke();
        return WaitUntil([&] { return m_BarrierCalls.calls.load() > before; });
    }
    CKesRvNet m_Net{"event-loop-test", __KES_SERV_NONE};
    SocketPair m_Barrier, m_Pair; // m_Pair and m_Recorder: a test's one socket
    Recorder m_BarrierCalls, m_Recorder;
};

// The first of two sockets in a batch removes both and reuses the other's number: no stale event runs.
TEST_F(EventLoopTest, PendingEventsOfRemovedOrReusedDescriptorsReachNoCallback)
{
    SocketPair a, b, replacement;
    Recorder ra, rb, fresh;
    auto act = [&](SocketPair& self, SocketPair& other) {
        const int number = other.fd[0];
        EXPECT_EQ(m_Net.KRNRemoveIO(other.Watched()), 1);
        other.Close(0);
        ASSERT_EQ(dup2(replacement.fd[0], number), number);
        close(std::exchange(replacement.fd[0], number));
        ASSERT_EQ(Watch(static_cast<unsigned int>(number), fresh), 1);
        EXPECT_EQ(m_Net.KRNRemoveIO(self.Watched()), 1);
        self.Poke();
        m_Barrier.Poke(); // fires in a later batch
    };
    ra.hook = [&](CMOMRvIO*) { act(a, b); };
    rb.hook = [&](CMOMRvIO*) { act(b, a); };
    ASSERT_EQ(Watch(a.Watched(), ra), 1);
    ASSERT_EQ(Watch(b.Watched(), rb), 1);
    a.Poke();
    b.Poke();
    LoopThread loop(m_Net);
    ASSERT_TRUE(WaitUntil([&] { return m_BarrierCalls.calls.load() >= 1; }) && RoundTrip());
    EXPECT_EQ(fresh.calls.load(), 0) << "the old socket's event reached the new callback";
    replacement.Poke();
    ASSERT_TRUE(WaitUntil([&] { return fresh.calls.load() == 1; }));
    EXPECT_EQ(ra.calls.load() + rb.calls.load(), 1);
}

// A removal must not wait for an OnIO of its socket that waits for the removal.
TEST_F(EventLoopTest, RemovalByAThreadThatOnIOWaitsForDoesNotBlock)
{
    std::atomic<bool> entered{false}, removed{false}, sawRemoval{false};
    m_Recorder.hook = [&](CMOMRvIO*) {
        entered = true;
        sawRemoval = WaitUntil([&] { return removed.load(); });
    };
    ASSERT_EQ(Watch(m_Pair.Watched(), m_Recorder), 1);
    LoopThread loop(m_Net);
    m_Pair.Poke();
    ASSERT_TRUE(WaitUntil([&] { return entered.load(); }));
    removed = m_Net.KRNRemoveIO(m_Pair.Watched()) == 1;
    ASSERT_TRUE(WaitUntil([&] { return m_Recorder.calls.load() == 1; }));
    EXPECT_TRUE(sawRemoval);
}

// Under churn from many threads, after KRNRemoveIO at most an OnIO already begun runs, none a round later.
TEST_F(EventLoopTest, NoOnIOStartsForASocketAfterItsRemovalUnderConcurrentChurn)
{
    constexpr int kThreads = 4, kRounds = 150;
    std::vector<SocketPair> pairs(kThreads * kRounds);
    std::vector<Recorder> recorders(kThreads * kRounds);
    LoopThread loop(m_Net);
    std::atomic<int> failures{0};
    auto churn = [&](int thread) {
        for (int i = thread * kRounds; i < (thread + 1) * kRounds; ++i) {
            failures += Watch(pairs[i].Watched(), recorders[i]) != 1;
            pairs[i].Poke();
            if (i % 2 == 0) failures += !WaitUntil([&] { return recorders[i].calls.load() > 0; });
            pairs[i].Poke();
            failures += m_Net.KRNRemoveIO(pairs[i].Watched()) != 1;
            recorders[i].removed.store(true);
            pairs[i].Poke();
            pairs[i].Close(1); // end of file: readable for good
        }
    };
    ksxtest::RunOnThreads(kThreads, churn);
    ASSERT_EQ(failures.load(), 0);

    ASSERT_TRUE(RoundTrip() && RoundTrip());
    std::vector<int> settled;
    for (auto& r : recorders) settled.push_back(r.calls.load());
    ASSERT_TRUE(RoundTrip() && RoundTrip());
    for (size_t i = 0; i < recorders.size(); ++i) {
        EXPECT_LE(recorders[i].lateCalls.load(), 1) << "socket " << i;
        EXPECT_EQ(recorders[i].calls.load(), settled[i]) << "socket " << i << " dispatched after removal";
        EXPECT_TRUE(i % 2 == 1 || settled[i] >= 1) << "socket " << i << " never dispatched";
    }
}

// A pause holds data and hang-up until resumed (twice is once); a pause names one registration only.
TEST_F(EventLoopTest, PausedSocketWaitsUntilResumedAndAPauseNamesOneRegistration)
{
    Recorder fresh;
    std::atomic<int> pauseResult{0};
    std::atomic<uint32_t> fired{0};
    m_Recorder.hook = [&](CMOMRvIO* io) { // the first call pauses its own registration
        fired = io->Generation();
        if (m_Recorder.calls == 0) pauseResult = m_Net.KRNPauseIO(io->Source(), io->Generation());
    };
    ASSERT_EQ(Watch(m_Pair.Watched(), m_Recorder), 1);
    const uint32_t generation = m_Net.KRNGetGeneration(m_Pair.Watched());
    LoopThread loop(m_Net);
    m_Pair.Poke();
    ASSERT_TRUE(WaitUntil([&] { return m_Recorder.calls.load() == 1; }));
    EXPECT_EQ(pauseResult.load(), 1);
    EXPECT_EQ(fired.load(), generation);

    m_Pair.Poke();
    m_Pair.Close(1);
    EXPECT_EQ(m_Net.KRNPauseIO(m_Pair.Watched(), generation), 1);
    ASSERT_TRUE(RoundTrip() && RoundTrip());
    EXPECT_EQ(m_Recorder.calls.load(), 1) << "dispatched while paused";
    EXPECT_EQ(m_Net.KRNResumeIO(m_Pair.Watched(), generation), 1);
    EXPECT_EQ(m_Net.KRNResumeIO(m_Pair.Watched(), generation), 1);
    ASSERT_TRUE(WaitUntil([&] { return m_Recorder.calls.load() >= 2; })) << "not dispatched after resuming";

    ASSERT_EQ(m_Net.KRNPauseIO(m_Pair.Watched(), generation), 1); // end of file: readable for good
    ASSERT_EQ(m_Net.KRNRemoveIO(m_Pair.Watched()), 1);
    EXPECT_EQ(m_Net.KRNGetGeneration(m_Pair.Watched()), 0u);
    EXPECT_EQ(m_Net.KRNResumeIO(m_Pair.Watched(), generation), KES_ERR_INVALID_SOCKET);
    ASSERT_EQ(Watch(m_Pair.Watched(), fresh), 1);
    EXPECT_NE(m_Net.KRNGetGeneration(m_Pair.Watched()), generation);
    EXPECT_EQ(m_Net.KRNPauseIO(m_Pair.Watched(), generation), KES_ERR_INVALID_SOCKET);
    const int before = fresh.calls.load();
    // Two more calls: at most one can have begun before a wrongful pause.
    EXPECT_TRUE(WaitUntil([&] { return fresh.calls.load() > before + 1; }))
        << "a stale pause reached the new registration";
    EXPECT_EQ(m_Net.KRNRemoveIO(m_Pair.Watched()), 1);
}

// Pause/resume racing removal give 1 or KES_ERR_INVALID_SOCKET; every next registration still dispatches.
TEST_F(EventLoopTest, PauseAndResumeRacingRemovalLeaveTheNextRegistrationWorking)
{
    constexpr int kRounds = 500;
    LoopThread loop(m_Net);
    std::atomic<uint32_t> published{0};
    std::atomic<int> unexpected{0};
    std::jthread pauser([&](std::stop_token stop) {
        for (int i = 0; !stop.stop_requested(); ++i) {
            const uint32_t generation = published.load();
            int result = m_Net.KRNPauseIO(m_Pair.Watched(), generation);
            if (i % 3 == 0 && result == 1) result = m_Net.KRNResumeIO(m_Pair.Watched(), generation);
            unexpected += result != 1 && result != KES_ERR_INVALID_SOCKET;
            std::this_thread::yield();
        }
    });
    for (int round = 0; round < kRounds; ++round) {
        ASSERT_EQ(Watch(m_Pair.Watched(), m_Recorder), 1);
        const uint32_t generation = m_Net.KRNGetGeneration(m_Pair.Watched());
        const int before = m_Recorder.calls.load();
        m_Pair.Poke();
        ASSERT_TRUE(WaitUntil([&] { return m_Recorder.calls.load() > before; })) << "round " << round;
        published = generation;
        m_Pair.Poke();
        ASSERT_EQ(m_Net.KRNRemoveIO(m_Pair.Watched()), 1);
        m_Net.KRNWaitForDispatch(m_Pair.Watched()); // no OnIO of this round counts in the next
    }
    pauser = {}; // stops and joins
    EXPECT_EQ(unexpected.load(), 0);
}

// Work an OnIO hands over, held until released, with what it saw.
struct HeldWork {
    static void Run(void* self) { static_cast<HeldWork*>(self)->RunHere(); }
    void RunHere()
    {
        thread = std::this_thread::get_id();
        onLoopThread = net->KRNIsLoopThread();
        started = true;
        WaitUntil([&] { return released.load(); }, 20000);
        ++runs;
    }
    CKesRvNet* net = nullptr;
    std::thread::id thread;
    std::atomic<bool> onLoopThread{true}, started{false}, released{false};
    std::atomic<int> runs{0};
};

// Work handed over by an OnIO runs after it on its thread, which has passed the reading on: other sockets
// are read while it runs. Meanwhile no more work is taken; none outside an OnIO or twice in one, and none
// taken back. A stop does not wait for the work; ending the readers does.
TEST_F(EventLoopTest, WorkHandedOverRunsOnItsReaderWhileTheOtherReadsAndEndingTheReadersWaitsForIt)
{
    HeldWork first, second, refused;
    for (HeldWork* work : {&first, &second, &refused}) work->net = &m_Net;
    std::atomic<bool> takeBack{true}, takenBack{false}, offerFirst{true}, twice{true}, busyRefused{false};
    std::thread::id reader;
    m_Recorder.hook = [&](CMOMRvIO*) {
        if (takeBack.exchange(false)) {
            takenBack = m_Net.KRNRunAfterDispatch(&HeldWork::Run, &refused);
            m_Net.KRNTakeBackWork();
            return;
        }
        reader = std::this_thread::get_id();
        HeldWork& work = offerFirst.exchange(false) ? first : second;
        const bool taken = m_Net.KRNRunAfterDispatch(&HeldWork::Run, &work);
        if (!taken) busyRefused = true;
        if (taken) twice = m_Net.KRNRunAfterDispatch(&HeldWork::Run, &refused);
    };
    ASSERT_EQ(Watch(m_Pair.Watched(), m_Recorder), 1);
    EXPECT_FALSE(m_Net.KRNRunAfterDispatch(&HeldWork::Run, &refused)) << "no loop runs";
    LoopThread loop(m_Net);
    EXPECT_FALSE(m_Net.KRNRunAfterDispatch(&HeldWork::Run, &refused)) << "outside an OnIO";
    m_Pair.Poke();
    ASSERT_TRUE(WaitUntil([&] { return takenBack.load(); }));
    ASSERT_TRUE(RoundTrip()) << "no reading after work taken back";
    m_Pair.Poke();
    ASSERT_TRUE(WaitUntil([&] { return first.started.load(); }));
    EXPECT_EQ(first.thread, reader) << "the work ran on another thread than its OnIO";
    EXPECT_FALSE(first.onLoopThread) << "the reading was not passed on before the work";
    EXPECT_FALSE(twice) << "a second piece of work in one OnIO";
    ASSERT_TRUE(RoundTrip()) << "reading stopped while the work runs";
    m_Pair.Poke();
    ASSERT_TRUE(WaitUntil([&] { return busyRefused.load(); })) << "work taken while the other reader is busy";
    EXPECT_EQ(second.runs.load() + second.started.load(), 0);

    first.released = true;
    ASSERT_TRUE(WaitUntil([&] { return first.runs.load() == 1; }));
    busyRefused = false;
    ASSERT_TRUE(WaitUntil([&] {
        m_Pair.Poke();
        return second.started.load();
    })) << "no work taken once the other reader is free again";
    EXPECT_EQ(loop.Stop(), 1) << "the stop waited for the work";
    auto ended = std::async(std::launch::async, [&] { m_Net.KRNEndReaders(); });
    EXPECT_EQ(ended.wait_for(std::chrono::milliseconds(100)), std::future_status::timeout)
        << "the readers ended under their work";
    second.released = true;
    ended.get();
    EXPECT_EQ(second.runs.load(), 1);
    EXPECT_EQ(refused.started.load(), false);
}

// A thread's voluntary context switches so far (it went to sleep), or -1.
long SleepsOf(pid_t tid)
{
    std::ifstream status("/proc/self/task/" + std::to_string(tid) + "/status");
    for (std::string line; std::getline(status, line);)
        if (line.rfind("voluntary_ctxt_switches:", 0) == 0) return std::stol(line.substr(24));
    return -1;
}

// Those of every thread of the process but the calling one.
long SleepsOfOthers()
{
    long sleeps = 0;
    for (const auto& task : std::filesystem::directory_iterator("/proc/self/task")) {
        const pid_t tid = std::stoi(task.path().filename().string());
        if (tid != gettid()) sleeps += std::max(SleepsOf(tid), 0L);
    }
    return sleeps;
}

// Work during which no event comes wakes nobody: the reading stays with the reader that ran it, and the
// thread waiting in KRNStartNet sleeps on.
TEST_F(EventLoopTest, WorkWithNoEventDuringItWakesNobody)
{
    constexpr int kRounds = 80;
    HeldWork works[kRounds];
    std::vector<std::thread::id> readers;
    m_Recorder.hook = [&](CMOMRvIO*) {
        HeldWork& work = works[readers.size() % kRounds];
        work.net = &m_Net;
        work.released = true;
        readers.push_back(std::this_thread::get_id());
        EXPECT_TRUE(m_Net.KRNRunAfterDispatch(&HeldWork::Run, &work)) << "round " << readers.size();
    };
    ASSERT_EQ(Watch(m_Pair.Watched(), m_Recorder), 1);
    LoopThread loop(m_Net);
    const long sleepsBefore = SleepsOf(loop.Tid()), loopSleepsBefore = SleepsOfOthers();
    ASSERT_GE(sleepsBefore, 0);
    for (int round = 0; round < kRounds; ++round) {
        m_Pair.Poke();
        ASSERT_TRUE(WaitUntil([&] { return works[round].runs.load() == 1; })) << "round " << round;
    }
    const long sleeps = SleepsOf(loop.Tid()) - sleepsBefore, loopSleeps = SleepsOfOthers() - loopSleepsBefore;
    EXPECT_EQ(loop.Stop(), 1);
    // Bounds with room for a sanitizer's own threads and locks; waking for each piece of work would
    // add a sleep a round.
    EXPECT_LE(sleeps, kRounds / 4) << "the thread in KRNStartNet was woken by the work";
    // The reader sleeps once a round, waiting for the next event; the other reader does not wake.
    EXPECT_LE(loopSleeps, kRounds * 13 / 10) << "the loop's threads slept more than once a round";
    int changes = 0;
    for (size_t i = 1; i < readers.size(); ++i) changes += readers[i] != readers[i - 1];
    // Once at most: the other reader may arrive to stand by while the first runs work, and then takes the
    // reading at once.
    EXPECT_LE(changes, 1) << "the reading changed hands with no event during the work";
}

// Of the events one wait returns, only the last one's OnIO may hand over work: the others would wait for the
// other reader to wake.
TEST_F(EventLoopTest, OnlyTheLastEventOfAWaitHandsOverWork)
{
    SocketPair pairs[3];
    Recorder recorders[3];
    HeldWork works[3];
    std::atomic<int> taken{0}, dispatched{0};
    for (int i = 0; i < 3; ++i) {
        works[i].net = &m_Net;
        works[i].released = true;
        recorders[i].hook = [&, i](CMOMRvIO*) {
            const bool took = m_Net.KRNRunAfterDispatch(&HeldWork::Run, &works[i]);
            taken += took;
            EXPECT_EQ(took, ++dispatched == 3) << "socket " << i;
        };
        ASSERT_EQ(Watch(pairs[i].Watched(), recorders[i]), 1);
        pairs[i].Poke();
    }
    ASSERT_EQ(m_Net.KRNRemoveIO(m_Barrier.Watched()), 1); // its own event would share the wait
    LoopThread loop(m_Net);
    ASSERT_TRUE(WaitUntil([&] { return taken.load() == 1 && dispatched.load() == 3; }));
    EXPECT_TRUE(WaitUntil([&] { return works[0].runs + works[1].runs + works[2].runs == 1; }));
}

CKesRvNet* g_SignalledNet = nullptr;

// A stop before the start is kept; a signal handler stops the loop; it runs again, once at a time.
TEST_F(EventLoopTest, StopIsKeptBeforeStartWorksFromASignalHandlerAndTheLoopRunsAgain)
{
    m_Net.KRNStopNet();
    EXPECT_EQ(m_Net.KRNStartNet(), 1);

    g_SignalledNet = &m_Net;
    const auto previous = std::signal(SIGUSR1, [](int) { g_SignalledNet->KRNStopNet(); });
    LoopThread loop(m_Net);
    ASSERT_TRUE(RoundTrip()); // the restarted loop dispatches
    EXPECT_EQ(m_Net.KRNStartNet(), KES_ERR_ARGUMENT) << "a second loop on the same object";
    ASSERT_EQ(pthread_kill(loop.Thread().native_handle(), SIGUSR1), 0);
    EXPECT_TRUE(WaitUntil([&] { return !m_Net.KRNIsRunning(); }));
    EXPECT_EQ(loop.Stop(), 1);
    std::signal(SIGUSR1, previous);
}

} // namespace
