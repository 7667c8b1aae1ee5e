// The intrusive list, the keyed table, the per-handle tables and the block cache: ownership, keys, threads.
#include <algorithm>
#include <cstring>

#include "CKesDoubleList.h"
#include "CKesPointer.h"
#include "CKesTreeList.h"
#include "KesTestSupport.h"
#include "TKesBlockCache.h"
#include "TKesHandleSlots.h"
#include "TKesHandleTable.h"

namespace {

struct Counted : CKesListable {
    explicit Counted(int* destroyed) : destroyed(destroyed) {}
    ~Counted() override { ++*destroyed; }
    int* destroyed;
};

std::vector<long> Values(CKesDoubleList* list)
{
    std::vector<long> values;
    for (CKesListable* item = list->KDLHead(); item != nullptr; item = list->KDLGetNext(item))
        values.push_back(reinterpret_cast<long>(static_cast<CKesPointer*>(item)->KPData()));
    return values;
}

void* AsValue(long n) { return reinterpret_cast<void*>(n); }

} // namespace

// A list destroys what it holds; an item destroyed elsewhere leaves by itself, an unlinked one lives
// on, a listed one is refused elsewhere. A table destroys only values it owns, never a refused holder.
TEST(Ownership, ContainersDestroyOnlyWhatTheyHold)
{
    int destroyed = 0;
    CKesDoubleList other;
    Counted* unlinked = new Counted(&destroyed);
    {
        CKesDoubleList list;
        Counted* head = new Counted(&destroyed);
        Counted* tail = new Counted(&destroyed);
        for (Counted* item : {head, unlinked, tail}) list.KDLAddToListEnd(item);
        EXPECT_EQ(other.KDLAddToListEnd(unlinked), KES_ERR_ARGUMENT);
        EXPECT_EQ(list.KDLAttemptToDeleteFromList(unlinked), 1);
        EXPECT_EQ(other.KDLAddToListEnd(unlinked), 1);
        delete tail;
        EXPECT_EQ(list.KDLTail(), head);
        EXPECT_EQ(list.KDLLength(), 1);
        list.KDLAddToListEnd(new Counted(&destroyed));
        EXPECT_EQ(destroyed, 1);
    }
    EXPECT_EQ(destroyed, 3);
    EXPECT_EQ(other.KDLHead(), unlinked);

    Counted kept(&destroyed);
    {
        CKesTreeList table(FALSE);
        table.KTLAdd("kept", &kept);
        CKesPointer holder(&kept); // on the stack: a refused add must not take it
        EXPECT_EQ(table.KTLAdd("kept", &holder), KES_ERR_ARGUMENT);
    }
    EXPECT_EQ(destroyed, 3);
    {
        CKesTreeList table(TRUE);
        table.KTLAdd("owned", new Counted(&destroyed));
        table.KTLAdd(5, new Counted(&destroyed));
    }
    EXPECT_EQ(destroyed, 5);
}

// Results handed out stay valid after their entries are deleted, until the same thread asks again. A thread
// remembers its text look-ups: each must give way to any change of its own table, by any thread.
TEST(TreeList, ResultsSurviveDeletionAndBelongToTheirThreadAndTextLookUpsSeeEveryChange)
{
    CKesTreeList table(FALSE);
    table.KTLAdd(1, AsValue(10));
    table.KTLAdd(2, AsValue(20));
    CKesPointer* mine = table.KTLGet(1);
    CKesDoubleList* myWalk = table.KTLIterator();
    std::thread other([&table] {
        EXPECT_EQ(table.KTLGet(2)->KPData(), AsValue(20));
        table.KTLDelete(1);
        EXPECT_EQ(Values(table.KTLIterator()), (std::vector<long>{20}));
    });
    other.join();
    EXPECT_EQ(table.KTLValueOf(2), AsValue(20));
    ASSERT_EQ(table.KTLDelete(2), 1);
    EXPECT_EQ(table.KTLValueOf(2), nullptr);
    EXPECT_EQ(mine->KPData(), AsValue(10));
    EXPECT_EQ(Values(myWalk), (std::vector<long>{10, 20}));
    table.KTLAdd("z", AsValue(3));
    EXPECT_EQ(Values(table.KTLIterator()), (std::vector<long>{3}));

    CKesTreeList otherTable(FALSE);
    table.KTLAdd("client-1", AsValue(1));
    otherTable.KTLAdd("client-1", AsValue(9));
    EXPECT_EQ(table.KTLValueOf("client-1"), AsValue(1));
    EXPECT_EQ(otherTable.KTLValueOf("client-1"), AsValue(9));
    ASSERT_EQ(table.KTLDelete("client-1"), 1);
    EXPECT_EQ(table.KTLValueOf("client-1"), nullptr);
    table.KTLAdd("client-1", AsValue(2));
    EXPECT_EQ(table.KTLValueOf("client-1"), AsValue(2));
    std::thread([&table] {
        table.KTLDelete("client-1");
        table.KTLAdd("client-1", AsValue(3));
    }).join();
    EXPECT_EQ(table.KTLValueOf("client-1"), AsValue(3));
    EXPECT_EQ(otherTable.KTLValueOf("client-1"), AsValue(9));

    // A table made where a destroyed one was gets a result slot of its own, never the old one's.
    CKesTreeList kept(FALSE);
    kept.KTLAdd(7, AsValue(-1));
    for (long round = 0; round < 12; ++round) {
        auto fresh = std::make_unique<CKesTreeList>(FALSE);
        fresh->KTLAdd(7, AsValue(round));
        CKesPointer* freshGot = fresh->KTLGet(7);
        EXPECT_EQ(kept.KTLGet(7)->KPData(), AsValue(-1)); // a shared slot fails one of these two
        EXPECT_EQ(freshGot->KPData(), AsValue(round));
    }
}

// Every value any thread sees must be one stored under that key.
TEST(TreeList, ConcurrentAddDeleteGetAndIterateStayConsistent)
{
    constexpr int kThreads = 6, kKeys = 64, kRounds = 3000;
    CKesTreeList table(FALSE);
    std::atomic<int> wrong{0};
    auto run = [&table, &wrong](int t) {
        for (int round = 0; round < kRounds; ++round) {
            const int key = (round * 7 + t) % kKeys;
            const std::string text = "k" + std::to_string(key);
            const int step = (round + t) % 4;
            if (step == 0) {
                table.KTLAdd(key, AsValue(key + 1000));
                table.KTLAdd(text.c_str(), AsValue(key + 2000));
            } else if (step == 1) {
                table.KTLDelete(key);
                table.KTLDelete(text.c_str());
            } else if (step == 2) {
                CKesPointer* got = table.KTLGet(key);
                wrong += got != nullptr && got->KPData() != AsValue(key + 1000);
                void* value = table.KTLValueOf(text.c_str());
                wrong += value != nullptr && value != AsValue(key + 2000);
            } else {
                long previous = -1;
                for (long value : Values(table.KTLIterator())) {
                    const bool known =
                        (value >= 1000 && value < 1000 + kKeys) || (value >= 2000 && value < 2000 + kKeys);
                    wrong += !known || (value < 2000 && value <= previous); // integers first, ascending
                    previous = value;
                }
            }
        }
    };
    ksxtest::RunOnThreads(kThreads, run);
    EXPECT_EQ(wrong.load(), 0);
    EXPECT_EQ(static_cast<int>(Values(table.KTLIterator()).size()), table.KTLLength());
}

// Handles past the slots' range are refused, not wrapped onto another's slot; two threads making the same
// block at once both keep their values. A handle table's near and far handles keep their own values.
TEST(HandleSlots, FarHandlesAreRefusedFirstStoresAreNeverLostAndTableEntriesStaySeparate)
{
    TKesHandleSlots<uint32_t> slots;
    const unsigned int far = TKesHandleSlots<uint32_t>::kLimit;
    EXPECT_FALSE(slots.Store(far + 5, 7));
    EXPECT_EQ(slots.Load(far + 5), 0u);
    EXPECT_EQ(slots.Load(5), 0u); // not wrapped onto handle 5
    for (unsigned int round = 0; round < 200; ++round) {
        TKesHandleSlots<uint32_t> fresh;
        const unsigned int base = (round % 64) * TKesHandleSlots<uint32_t>::kBlock;
        ksxtest::RunOnThreads(2, [&](int t) { fresh.Store(base + static_cast<unsigned int>(t), round + 1); });
        ASSERT_EQ(fresh.Load(base), round + 1);
        ASSERT_EQ(fresh.Load(base + 1), round + 1);
    }

    TKesHandleTable<int> table; // a reset entry reads as new, also one never made
    const unsigned int tableFar = TKesHandleTable<int>::kIndexed + 3;
    table[3] = 30;
    table[tableFar] = 40;
    table[7] = 70;
    EXPECT_EQ(table[3], 30);
    EXPECT_EQ(table[tableFar], 40);
    // Finding makes nothing: a handle never made, near or far, stays unmade.
    const TKesHandleTable<int>& constTable = table;
    ASSERT_NE(constTable.Find(tableFar), nullptr);
    EXPECT_EQ(*constTable.Find(tableFar), 40);
    EXPECT_EQ(table.Find(8), nullptr);
    EXPECT_EQ(table.Find(tableFar + 1), nullptr);
    int sum = 0, visited = 0;
    table.ForEach([&](int& value) {
        sum += value;
        ++visited;
    });
    EXPECT_EQ(sum, 140);
    EXPECT_EQ(visited, 9) << "handles 0-7 and the far one";
    for (unsigned int handle : {3u, tableFar, 1u << 30}) table.Reset(handle);
    EXPECT_EQ(table[3], 0);
    EXPECT_EQ(table[tableFar], 0);
    EXPECT_EQ(table[7], 70);
}

// Blocks given back on other threads are handed out again, never two at once (a taker owns what it
// took: it writes the whole block), at most the bound wait, and a taker's own list goes when it ends.
TEST(BlockCache, BlocksComeBackFromOtherThreadsOnceEachWithinTheBound)
{
    using Cache = TKesBlockCache<64, 8>;
    std::vector<void*> blocks;
    for (int i = 0; i < 12; ++i) blocks.push_back(Cache::Take());
    std::thread([&] {
        for (void* block : blocks) Cache::Give(block);
    }).join();
    EXPECT_EQ(Cache::Cached(), Cache::ms_Caches ? 8u : 0u);
    if (Cache::ms_Caches) {
        void* again = Cache::Take(); // the most recently kept of those given back
        EXPECT_NE(std::find(blocks.begin(), blocks.end(), again), blocks.end());
        EXPECT_EQ(Cache::Cached(), 7u);
        Cache::Give(again);
    }

    // Two takers and two givers: a block held by one taker is never handed to another.
    std::atomic<int> faults{0};
    ksxtest::RunOnThreads(4, [&](int t) {
        const auto mark = static_cast<unsigned char>(t + 1);
        for (int round = 0; round < 2000; ++round) {
            auto* block = static_cast<unsigned char*>(Cache::Take());
            memset(block, mark, 64);
            std::this_thread::yield();
            if (block[0] != mark || block[63] != mark) ++faults;
            Cache::Give(block);
        }
    });
    EXPECT_EQ(faults.load(), 0);
    EXPECT_LE(Cache::Cached(), 8u);

    // What the workers above took into their own lists went with them; this thread's stays until
    // it is taken.
    while (Cache::Cached() > 0) free(Cache::Take());
    EXPECT_EQ(Cache::Cached(), 0u);
}
