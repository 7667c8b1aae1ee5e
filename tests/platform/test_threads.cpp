// Threads, their condition, and the worker pool.
#include <condition_variable>
#include <future>

#include "CKesServPool.h"
#include "CKesThread.h"
#include "KesTestSupport.h"

namespace {

// Counts the runs of each item (items are indices into the counts).
using RunCounts = std::vector<std::atomic<int>>;

void CountRun(void* item, void* context)
{
    (*static_cast<RunCounts*>(context))[reinterpret_cast<uintptr_t>(item)].fetch_add(1);
}

void* AsItem(size_t index) { return reinterpret_cast<void*>(static_cast<uintptr_t>(index)); }

} // namespace

// A thread joining itself is refused rather than hanging; at the production
// time scale a wait nobody ends takes its full delay.
TEST(Thread, SelfJoinIsRefusedAndATimedWaitLastsItsFullDelay)
{
    struct SelfJoin {
        CKesThread thread;
        std::atomic<int> result{0};
    } self;
    auto joinSelf = [](void* raw) -> void* {
        auto* s = static_cast<SelfJoin*>(raw);
        s->result = s->thread.KTJoinThread();
        return nullptr;
    };
    ASSERT_EQ(self.thread.KTCreateThread(joinSelf, &self, 1), 1);
    EXPECT_EQ(self.thread.KTJoinThread(), 1);
    EXPECT_LT(self.result.load(), 0);

    if (std::getenv("KSX_TIME_SCALE")) GTEST_SKIP() << "a time scale is set for this run";
    ASSERT_EQ(KesTimeScale(), 1.0);
    CKesThread::AutoMutex hold(self.thread);
    const auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(self.thread.KTConditionRelTimedWaitNoLock(1, 0), KES_TIMED_WAIT_EXPIRED);
    EXPECT_GE(std::chrono::steady_clock::now() - start, std::chrono::seconds(1));
}

TEST(ServPool, EveryItemFromManyProducersRunsExactlyOnce)
{
    constexpr int kProducers = 6;
    constexpr size_t kPerProducer = 20000;
    RunCounts runs(kProducers * kPerProducer);
    {
        CKesServPool pool(4, &runs);
        ASSERT_EQ(pool.KSPLaunchThreads(CountRun), 1);
        std::vector<std::thread> producers;
        for (int p = 0; p < kProducers; ++p)
            producers.emplace_back([&, p] {
                for (size_t i = 0; i < kPerProducer; ++i)
                    ASSERT_EQ(pool.KSPAddWorkDetail(AsItem(p * kPerProducer + i)), 1);
            });
        for (auto& producer : producers) producer.join();
    }
    for (size_t i = 0; i < runs.size(); ++i) ASSERT_EQ(runs[i].load(), 1) << "item " << i;
}

// A count below one gives one worker, which runs items in order, including
// one queued from inside the worker (a pool holding its lock while an item
// runs would hang).
TEST(ServPool, OneWorkerRunsItemsInOrderAndTakesItemsFromItsOwnWorker)
{
    constexpr uintptr_t kLast = 5000;
    struct Order {
        CKesServPool* pool = nullptr;
        std::vector<uintptr_t> seen; // touched by the one worker only
        std::promise<void> done;
    } order;
    auto record = [](void* item, void* context) {
        auto* o = static_cast<Order*>(context);
        const auto n = reinterpret_cast<uintptr_t>(item);
        o->seen.push_back(n);
        if (n == kLast - 1) {
            EXPECT_EQ(o->pool->KSPAddWorkDetail(AsItem(kLast)), 1);
        }
        if (n == kLast) o->done.set_value();
    };
    CKesServPool pool(0, &order);
    order.pool = &pool;
    for (size_t i = 0; i < 100; ++i) ASSERT_EQ(pool.KSPAddWorkDetail(AsItem(i)), 1);
    ASSERT_EQ(pool.KSPLaunchThreads(record), 1);
    for (size_t i = 100; i < kLast; ++i) ASSERT_EQ(pool.KSPAddWorkDetail(AsItem(i)), 1);
    order.done.get_future().wait();
    ASSERT_EQ(order.seen.size(), kLast + 1);
    for (size_t i = 0; i < order.seen.size(); ++i) ASSERT_EQ(order.seen[i], i);
}

// Each item waits until all three are running: only a pool that wakes a
// separate idle worker for each gets past the wait.
TEST(ServPool, ItemsOfferedToIdleWorkersAreNeitherLostNorSerialised)
{
    struct Meeting {
        std::mutex lock;
        std::condition_variable changed;
        int arrived = 0;
        int met = 0;
    } meeting;
    auto meet = [](void*, void* context) {
        auto* m = static_cast<Meeting*>(context);
        std::unique_lock<std::mutex> hold(m->lock);
        ++m->arrived;
        m->changed.notify_all();
        if (m->changed.wait_for(hold, std::chrono::seconds(10), [&] { return m->arrived % 3 == 0; }))
            ++m->met;
        m->changed.notify_all();
    };
    CKesServPool pool(3, &meeting);
    ASSERT_EQ(pool.KSPLaunchThreads(meet), 1);
    // Each round is offered once the last has met, so items reach workers that have just gone idle.
    for (int round = 1; round <= 200; ++round) {
        for (int i = 0; i < 3; ++i) ASSERT_EQ(pool.KSPAddWorkDetail(nullptr), 1);
        std::unique_lock<std::mutex> hold(meeting.lock);
        ASSERT_TRUE(meeting.changed.wait_for(hold, std::chrono::seconds(20),
                                             [&] { return meeting.met == 3 * round; }))
            << "round " << round << ": " << meeting.arrived << " arrived, " << meeting.met << " met";
    }
}

// The first item holds its worker until the destructor has begun (seen as a
// refused add), so the rest are still queued when destruction starts.
TEST(ServPool, DestructionRunsEverythingQueuedAndRefusesMore)
{
    std::promise<void> release;
    struct Gate {
        std::shared_future<void> released;
        std::atomic<long> runs{0};
    } gate{release.get_future().share()};
    auto work = [](void* item, void* context) {
        auto* g = static_cast<Gate*>(context);
        if (item == nullptr) g->released.wait();
        g->runs.fetch_add(1);
    };
    auto* pool = new CKesServPool(1, &gate);
    ASSERT_EQ(pool->KSPLaunchThreads(work), 1);
    ASSERT_EQ(pool->KSPAddWorkDetail(nullptr), 1);
    for (size_t i = 1; i <= 500; ++i) ASSERT_EQ(pool->KSPAddWorkDetail(AsItem(i)), 1);

    std::atomic<long> acceptedLate{0};
    std::thread releaser([&] {
        // Non-virtual call: the object is being destroyed meanwhile.
        while (pool->CKesServPool::KSPAddWorkDetail(AsItem(1)) == 1) {
            acceptedLate.fetch_add(1);
            std::this_thread::yield();
        }
        release.set_value();
    });
    delete pool; // blocks until every queued item has run
    releaser.join();
    EXPECT_EQ(gate.runs.load(), 501 + acceptedLate.load());
}
