// Threads, their condition, the worker pool and the page filler.
#include <sys/mman.h>

#include <condition_variable>
#include <future>
#include <system_error>

#include "CKesPageFiller.h"
#include "CKesServPool.h"
#include "CKesThread.h"
#include "KesTestSupport.h"

namespace {

// A pool's work is a closure passed as its context, so cases keep their state in locals.
using Work = std::function<void(uintptr_t item)>;

void RunWork(void* item, void* context) { (*static_cast<Work*>(context))(reinterpret_cast<uintptr_t>(item)); }

void* AsItem(size_t index) { return reinterpret_cast<void*>(static_cast<uintptr_t>(index)); }

const size_t kPage = static_cast<size_t>(sysconf(_SC_PAGESIZE));

// Fresh anonymous memory, no page of it touched yet. A mapping that fails ends the test, as a fatal
// assertion would: GoogleTest reports the exception as the test's failure.
struct Untouched {
    explicit Untouched(size_t bytes) : size(bytes)
    {
        void* at = mmap(nullptr, bytes, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
        if (at == MAP_FAILED) throw std::system_error(errno, std::generic_category(), "mmap");
        data = static_cast<unsigned char*>(at);
    }
    ~Untouched() { munmap(data, size); }
    // Resident pages among [firstPage, endPage).
    size_t Resident(size_t firstPage, size_t endPage) const
    {
        std::vector<unsigned char> in(endPage - firstPage);
        if (mincore(data + firstPage * kPage, (endPage - firstPage) * kPage, in.data()) != 0) return 0;
        size_t count = 0;
        for (unsigned char page : in) count += page & 1;
        return count;
    }
    size_t Pages() const { return size / kPage; }
    size_t Resident() const { return Resident(0, Pages()); }

    unsigned char* data = nullptr;
    size_t size;
};

} // namespace

// Self-join is refused rather than hanging; at the production time scale an unended wait lasts its delay.
TEST(Thread, SelfJoinIsRefusedAndATimedWaitLastsItsFullDelay)
{
    CKesThread thread;
    std::atomic<int> selfJoin{0};
    std::function<void()> body = [&] { selfJoin = thread.KTJoinThread(); };
    auto run = [](void* raw) -> void* {
        (*static_cast<std::function<void()>*>(raw))();
        return nullptr;
    };
    ASSERT_EQ(thread.KTCreateThread(run, &body, 1), 1);
    EXPECT_EQ(thread.KTJoinThread(), 1);
    EXPECT_LT(selfJoin.load(), 0);

    if (std::getenv("KSX_TIME_SCALE")) GTEST_SKIP() << "a time scale is set for this run";
    ASSERT_EQ(KesTimeScale(), 1.0);
    CKesThread::AutoMutex hold(thread);
    const auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(thread.KTConditionRelTimedWaitNoLock(1, 0), KES_TIMED_WAIT_EXPIRED);
    EXPECT_GE(std::chrono::steady_clock::now() - start, std::chrono::seconds(1));
}

TEST(ServPool, EveryItemFromManyProducersRunsExactlyOnce)
{
    constexpr int kProducers = 6;
    constexpr size_t kPerProducer = 20000;
    std::vector<std::atomic<int>> runs(kProducers * kPerProducer);
    Work work = [&](uintptr_t item) { runs[item].fetch_add(1); };
    {
        CKesServPool pool(4, &work);
        ASSERT_EQ(pool.KSPLaunchThreads(RunWork), 1);
        ksxtest::RunOnThreads(kProducers, [&](int p) {
            for (size_t i = 0; i < kPerProducer; ++i)
                ASSERT_EQ(pool.KSPAddWorkDetail(AsItem(p * kPerProducer + i)), 1);
        });
    }
    for (size_t i = 0; i < runs.size(); ++i) ASSERT_EQ(runs[i].load(), 1) << "item " << i;
}

// A count below one gives one worker, running items in order, also one it queues (a held lock would hang).
TEST(ServPool, OneWorkerRunsItemsInOrderAndTakesItemsFromItsOwnWorker)
{
    constexpr uintptr_t kLast = 5000;
    std::vector<uintptr_t> seen; // touched by the one worker only
    std::promise<void> done;
    Work work;
    CKesServPool pool(0, &work);
    work = [&](uintptr_t n) {
        seen.push_back(n);
        if (n == kLast - 1) {
            EXPECT_EQ(pool.KSPAddWorkDetail(AsItem(kLast)), 1);
        }
        if (n == kLast) done.set_value();
    };
    for (size_t i = 0; i < 100; ++i) ASSERT_EQ(pool.KSPAddWorkDetail(AsItem(i)), 1);
    ASSERT_EQ(pool.KSPLaunchThreads(RunWork), 1);
    for (size_t i = 100; i < kLast; ++i) ASSERT_EQ(pool.KSPAddWorkDetail(AsItem(i)), 1);
    done.get_future().wait();
    ASSERT_EQ(seen.size(), kLast + 1);
    for (size_t i = 0; i < seen.size(); ++i) ASSERT_EQ(seen[i], i);
}

// Each item waits until a whole round, one item per worker, is running: only a pool that wakes a separate
// idle worker for each gets past the wait. Each round is offered once the last has met, to workers just gone
// idle, one item at a time or (with more workers than a batch once handed out) as one batch.
TEST(ServPool, ItemsOfferedToIdleWorkersAreNeitherLostNorSerialised)
{
    for (const auto& setting : {std::tuple{3, false, 200}, std::tuple{20, true, 5}}) {
        const int workers = std::get<0>(setting), rounds = std::get<2>(setting);
        const bool batch = std::get<1>(setting);
        SCOPED_TRACE(std::to_string(workers) + (batch ? " workers, batches" : " workers, single items"));
        std::mutex lock;
        std::condition_variable changed;
        int arrived = 0, met = 0;
        Work work = [&](uintptr_t) {
            std::unique_lock<std::mutex> hold(lock);
            ++arrived;
            changed.notify_all();
            if (changed.wait_for(hold, std::chrono::seconds(5), [&] { return arrived % workers == 0; }))
                ++met;
            changed.notify_all();
        };
        CKesServPool pool(workers, &work);
        ASSERT_EQ(pool.KSPLaunchThreads(RunWork), 1);
        const std::vector<void*> round(workers, nullptr);
        for (int r = 1; r <= rounds; ++r) {
            if (batch) {
                std::this_thread::sleep_for(std::chrono::milliseconds(50)); // every worker idle again
                ASSERT_EQ(pool.KSPAddWorkDetails(round.data(), workers), 1);
            } else {
                for (void* item : round) ASSERT_EQ(pool.KSPAddWorkDetail(item), 1);
            }
            std::unique_lock<std::mutex> hold(lock);
            ASSERT_TRUE(changed.wait_for(hold, std::chrono::seconds(20), [&] { return met == workers * r; }))
                << "round " << r << ": " << arrived << " arrived, " << met << " met";
        }
    }
}

// A turn taken stands for the one worker: items added meanwhile wait and run in order once it ends; no turn
// while the worker is busy; a turn ended with nothing queued leaves the worker idle.
TEST(ServPool, ATurnTakenKeepsItsWorkerFromOtherItemsUntilItEnds)
{
    std::mutex lock;
    std::vector<uintptr_t> seen;
    std::promise<void> release;
    std::shared_future<void> released = release.get_future().share();
    Work work = [&](uintptr_t n) {
        if (n == 0) released.wait();
        std::lock_guard<std::mutex> hold(lock);
        seen.push_back(n);
    };
    auto ran = [&](size_t count) {
        return ksxtest::WaitUntil([&] {
            std::lock_guard<std::mutex> hold(lock);
            return seen.size() == count;
        });
    };
    CKesServPool pool(1, &work);
    EXPECT_FALSE(pool.KSPTakeTurn()) << "no worker runs yet";
    ASSERT_EQ(pool.KSPLaunchThreads(RunWork), 1);
    ASSERT_TRUE(ksxtest::WaitUntil([&] { return pool.KSPTakeTurn(); })) << "the idle worker's turn";
    EXPECT_FALSE(pool.KSPTakeTurn()) << "a second turn with one worker";
    for (size_t i = 1; i <= 3; ++i) ASSERT_EQ(pool.KSPAddWorkDetail(AsItem(i)), 1);
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    EXPECT_TRUE(ran(0)) << "an item ran during the turn";
    pool.KSPEndTurn();
    ASSERT_TRUE(ran(3));
    EXPECT_EQ(seen, (std::vector<uintptr_t>{1, 2, 3}));

    ASSERT_EQ(pool.KSPAddWorkDetail(AsItem(0)), 1); // holds the worker
    EXPECT_FALSE(pool.KSPTakeTurn()) << "a turn while the worker is busy";
    ASSERT_EQ(pool.KSPAddWorkDetail(AsItem(4)), 1);
    release.set_value();
    ASSERT_TRUE(ran(5));
    ASSERT_TRUE(ksxtest::WaitUntil([&] { return pool.KSPTakeTurn(); }));
    pool.KSPEndTurn(); // nothing queued: idle again, and handed the next item
    ASSERT_EQ(pool.KSPAddWorkDetail(AsItem(5)), 1);
    EXPECT_TRUE(ran(6));
}

// The first item holds its worker until a refused add shows destruction began, with the rest still queued.
TEST(ServPool, DestructionRunsEverythingQueuedAndRefusesMore)
{
    std::promise<void> release;
    std::shared_future<void> released = release.get_future().share();
    std::atomic<long> runs{0}, acceptedLate{0};
    Work work = [&](uintptr_t item) {
        if (item == 0) released.wait();
        runs.fetch_add(1);
    };
    auto* pool = new CKesServPool(1, &work);
    ASSERT_EQ(pool->KSPLaunchThreads(RunWork), 1);
    for (size_t i = 0; i <= 500; ++i) ASSERT_EQ(pool->KSPAddWorkDetail(AsItem(i)), 1);
    std::thread releaser([&] { // a non-virtual call: the object is being destroyed meanwhile
        while (pool->CKesServPool::KSPAddWorkDetail(AsItem(1)) == 1) {
            acceptedLate.fetch_add(1);
            std::this_thread::yield();
        }
        release.set_value();
    });
    delete pool; // blocks until every queued item has run
    releaser.join();
    EXPECT_EQ(runs.load(), 501 + acceptedLate.load());
}

// Whole pages inside the range become resident, their contents kept; pages
// partly outside it stay untouched. In the background or at once.
TEST(PageFiller, PopulatesTheWholePagesAskedForAndNothingElse)
{
    Untouched block(16 * kPage);
    block.data[3 * kPage] = 'x';
    CKesPageFiller filler;
    if (!filler.KPFFill(&block, block.data + kPage / 2, 10 * kPage))
        GTEST_SKIP() << "pages cannot be populated ahead on this system";
    const bool filled = ksxtest::WaitUntil([&] { return block.Resident(1, 10) == 9; }, 10000);
    if (!filled && !filler.KPFFill(&block, block.data, 0)) GTEST_SKIP() << "the kernel refuses to populate";
    EXPECT_TRUE(filled) << block.Resident(1, 10) << " of 9 pages populated";
    EXPECT_EQ(block.Resident(0, 1), 0u) << "the page the range begins inside was touched";
    EXPECT_EQ(block.Resident(10, 16), 0u) << "pages past the range were touched";
    EXPECT_EQ(block.data[3 * kPage], 'x');
    EXPECT_EQ(block.data[4 * kPage], 0);

    Untouched now(16 * kPage); // the same range, populated on the calling thread
    CKesPageFiller::KPFFillNow(now.data + kPage / 2, 10 * kPage);
    EXPECT_EQ(now.Resident(1, 10), 9u);
    EXPECT_EQ(now.Resident(0, 1) + now.Resident(10, 16), 0u) << "pages beside the range were touched";
}

// Once KPFStop returns (or the filler is gone), the owner's memory is no
// longer touched, so it may be moved or freed; other owners go on meanwhile.
TEST(PageFiller, NothingOfAStoppedOwnerIsTouchedAfterTheStopWhileOthersAreFilled)
{
    auto filler = std::make_unique<CKesPageFiller>();
    Untouched stopped(128u << 20), other(4u << 20), left(128u << 20);
    // Stopped in the middle of its first step where the timing allows, when
    // a stop that does not wait would leave the rest of the step running.
    const size_t step = CKesPageFiller::ms_StepBytes / kPage;
    auto stopMidStep = [&](const Untouched& block) {
        const auto giveUp = std::chrono::steady_clock::now() + std::chrono::seconds(10);
        while (block.Resident(0, step) == 0 && std::chrono::steady_clock::now() < giveUp) {}
        ASSERT_GT(block.Resident(), 0u) << "the filler did not start";
    };
    if (!filler->KPFFill(&stopped, stopped.data, stopped.size))
        GTEST_SKIP() << "pages cannot be populated ahead on this system";
    stopMidStep(stopped);
    filler->KPFStop(&stopped);
    const size_t atStop = stopped.Resident();
    ASSERT_TRUE(filler->KPFFill(&other, other.data, other.size));
    EXPECT_TRUE(ksxtest::WaitUntil([&] { return other.Resident() == other.Pages(); }, 10000));
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    EXPECT_EQ(stopped.Resident(), atStop) << "pages were populated after the stop returned";
    EXPECT_LT(atStop, stopped.Pages());

    ASSERT_TRUE(filler->KPFFill(&left, left.data, left.size));
    stopMidStep(left);
    filler.reset();
    const size_t atEnd = left.Resident();
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    EXPECT_EQ(left.Resident(), atEnd) << "pages were populated after the filler was destroyed";
    EXPECT_LT(atEnd, left.Pages());
}

// A kept block goes to the first buffer it can hold, only once; the larger of two is kept; an idle one is
// freed in time, as soon as the keep time set says (the sanitizer build's leak check sees a block dropped
// instead of freed).
TEST(PageFiller, AKeptBlockIsGivenOnceToABufferItHoldsAndFreedWhenNobodyTakesIt)
{
    const size_t mib = 1u << 20;
    auto block = [](size_t bytes) { return static_cast<unsigned char*>(std::calloc(1, bytes)); };
    CKesPageFiller filler(60000);
    filler.KPFKeep(block(2 * mib));
    EXPECT_GE(filler.KPFKeptBytes(), 2 * mib);
    size_t held = 0;
    EXPECT_EQ(filler.KPFTake(3 * mib, &held), nullptr) << "a block smaller than asked for was given";
    unsigned char* larger = block(4 * mib);
    filler.KPFKeep(larger);
    filler.KPFKeep(block(3 * mib));
    filler.KPFKeep(block(mib / 2)); // too small to keep
    unsigned char* taken = filler.KPFTake(3 * mib, &held);
    EXPECT_EQ(taken, larger);
    EXPECT_GE(held, 4 * mib);
    EXPECT_EQ(filler.KPFTake(1, &held), nullptr) << "one block was given twice";
    EXPECT_EQ(filler.KPFKeptBytes(), 0u);
    filler.KPFKeep(taken);

    // A shorter keep time counts from the next block offered, which starts the kept one's time anew.
    filler.KPFSetKeepMs(20);
    filler.KPFKeep(block(2 * mib));
    EXPECT_TRUE(ksxtest::WaitUntil([&] { return filler.KPFKeptBytes() == 0; }, 10000))
        << "an idle kept block was not freed";
}
