// The intrusive list, the keyed table (including its thread-safety promise)
// and the stack.
#include <gtest/gtest.h>

#include <atomic>
#include <string>
#include <thread>
#include <vector>

#include "CKesAtom.h"
#include "CKesDoubleList.h"
#include "CKesPointer.h"
#include "CKesStack.h"
#include "CKesTreeList.h"

namespace {

constexpr int kRefused = -220552;

// A listable that counts its destructions.
struct Counted : CKesListable {
    Counted(int id, int* destroyed) : id(id), destroyed(destroyed) {}
    ~Counted() override { ++*destroyed; }
    int id;
    int* destroyed;
};

std::vector<int> Ids(const CKesDoubleList& list) {
    std::vector<int> ids;
    for (CKesListable* item = list.KDLHead(); item != nullptr; item = list.KDLGetNext(item))
        ids.push_back(static_cast<Counted*>(item)->id);
    return ids;
}

std::vector<long> Values(CKesDoubleList* list) {
    std::vector<long> values;
    for (CKesListable* item = list->KDLHead(); item != nullptr; item = list->KDLGetNext(item))
        values.push_back(reinterpret_cast<long>(static_cast<CKesPointer*>(item)->KPData()));
    return values;
}

void* AsValue(long n) { return reinterpret_cast<void*>(n); }

}  // namespace

// Adds at both ends; refuses null and items already in a list; setting the
// head takes out only the old head (alive), null does so even on an empty
// list, and anything but the successor is refused.
TEST(DoubleList, AddsAtBothEndsTakesOutOnlyTheOldHeadAndRefusesMisuse) {
    int destroyed = 0;
    CKesDoubleList list, other;
    Counted first(1, &destroyed), second(2, &destroyed), third(3, &destroyed);
    EXPECT_EQ(list.KDLHead(), nullptr);
    EXPECT_EQ(list.KDLAddToListEnd(&second), 1);
    EXPECT_EQ(list.KDLAddToListEnd(&third), 1);
    EXPECT_EQ(list.KDLAddToListStart(&first), 1);
    EXPECT_EQ(Ids(list), (std::vector<int>{1, 2, 3}));
    EXPECT_EQ(list.KDLTail(), &third);
    EXPECT_EQ(list.KDLAddToListEnd(nullptr), kRefused);
    EXPECT_EQ(list.KDLAddToListEnd(&second), kRefused);
    EXPECT_EQ(other.KDLAddToListStart(&second), kRefused);
    EXPECT_EQ(other.KDLGetNext(&first), nullptr);  // not other's item
    EXPECT_EQ(other.KDLLength(), 0);

    EXPECT_EQ(list.KDLSetHead(&third), kRefused);
    EXPECT_EQ(list.KDLLength(), 3);
    EXPECT_EQ(list.KDLSetHead(&second), 1);
    EXPECT_EQ(list.KDLGetNext(&first), nullptr);
    EXPECT_EQ(list.KDLSetHead(nullptr), 1);
    EXPECT_EQ(Ids(list), (std::vector<int>{3}));
    EXPECT_EQ(list.KDLSetHead(nullptr), 1);
    EXPECT_EQ(list.KDLSetHead(nullptr), 1);
    EXPECT_EQ(list.KDLHead(), nullptr);
    EXPECT_EQ(list.KDLSetHead(&first), kRefused);
    EXPECT_EQ(destroyed, 0);  // taken out, never destroyed by the list
}

// A list destroys the items it still holds: an unlinked item lives on and may
// join another list, one destroyed elsewhere leaves the list by itself. A
// table destroys its values only when made to own them.
TEST(Ownership, ContainersDestroyOnlyWhatTheyHold) {
    int destroyed = 0;
    CKesDoubleList other;
    Counted* unlinked = new Counted(2, &destroyed);
    {
        CKesDoubleList list;
        Counted* head = new Counted(1, &destroyed);
        Counted* middle = new Counted(3, &destroyed);
        Counted* tail = new Counted(4, &destroyed);
        for (Counted* item : {head, unlinked, middle, tail}) list.KDLAddToListEnd(item);
        EXPECT_EQ(list.KDLAttemptToDeleteFromList(unlinked), 1);
        EXPECT_EQ(list.KDLAttemptToDeleteFromList(unlinked), 0);
        EXPECT_EQ(other.KDLAddToListEnd(unlinked), 1);
        delete middle;
        delete tail;
        EXPECT_EQ(Ids(list), (std::vector<int>{1}));
        EXPECT_EQ(list.KDLTail(), head);
        delete head;
        EXPECT_EQ(list.KDLHead(), nullptr);
        EXPECT_EQ(list.KDLTail(), nullptr);
        EXPECT_EQ(list.KDLLength(), 0);
        for (int i = 0; i < 5; ++i) list.KDLAddToListEnd(new Counted(10 + i, &destroyed));
        EXPECT_EQ(destroyed, 3);
    }
    EXPECT_EQ(destroyed, 8);
    EXPECT_EQ(Ids(other), (std::vector<int>{2}));

    Counted kept(1, &destroyed);
    {
        CKesTreeList table(FALSE);
        table.KTLAdd("kept", &kept);
    }
    EXPECT_EQ(destroyed, 8);
    {
        CKesTreeList table(TRUE);
        table.KTLAdd("owned", new Counted(2, &destroyed));
        table.KTLAdd(5, new Counted(3, &destroyed));
    }
    EXPECT_EQ(destroyed, 10);
}

// Texts, integers and atoms of either kind are keys, walked integers first
// (ascending) then texts in byte order; duplicates, nulls and atoms that are
// neither are refused without the table taking the holder.
TEST(TreeList, KeysOfEveryFormTheirOrderAndRefusals) {
    CKesTreeList table(FALSE);
    EXPECT_EQ(table.KTLAdd("alpha", AsValue(4)), 1);
    EXPECT_EQ(table.KTLAdd(7, AsValue(2)), 1);
    CKesAtom textKey("gamma");
    EXPECT_EQ(table.KTLAdd(&textKey, new CKesPointer(AsValue(5)), TRUE), 1);
    EXPECT_EQ(table.KTLAdd(-3, AsValue(1)), 1);
    EXPECT_EQ(table.KTLAdd("B", AsValue(3)), 1);
    EXPECT_EQ(Values(table.KTLIterator()), (std::vector<long>{1, 2, 3, 4, 5}));
    ASSERT_NE(table.KTLGet("alpha"), nullptr);
    EXPECT_EQ(table.KTLGet("alpha")->KPData(), AsValue(4));
    EXPECT_EQ(table.KTLGet(7)->KPData(), AsValue(2));
    CKesAtom intKey(7L);
    EXPECT_EQ(table.KTLGet(&intKey)->KPData(), AsValue(2));
    EXPECT_EQ(table.KTLGet("gamma")->KPData(), AsValue(5));
    EXPECT_EQ(table.KTLGet("7"), nullptr);  // texts and integers are different keys
    EXPECT_EQ(table.KTLGet(8), nullptr);

    EXPECT_EQ(table.KTLAdd("alpha", AsValue(9)), kRefused);
    CKesPointer holder(AsValue(9));  // on the stack: the table must not take it
    EXPECT_EQ(table.KTLAdd("alpha", &holder), kRefused);
    EXPECT_EQ(table.KTLAdd(static_cast<const char*>(nullptr), AsValue(9)), kRefused);
    EXPECT_EQ(table.KTLAdd(3, static_cast<CKesPointer*>(nullptr)), kRefused);
    CKesAtom number(1.5);
    EXPECT_EQ(table.KTLAdd(&number, AsValue(9), TRUE), kRefused);
    EXPECT_EQ(table.KTLGet("alpha")->KPData(), AsValue(4));

    EXPECT_EQ(table.KTLDelete(&intKey), 1);
    EXPECT_EQ(table.KTLDelete(7), kRefused);
    EXPECT_EQ(table.KTLGet(7), nullptr);
    EXPECT_EQ(table.KTLLength(), 4);
}

// Results handed out stay valid after their entries are deleted, until the
// same thread asks again; each thread keeps its own.
TEST(TreeList, ResultsSurviveDeletionAndBelongToTheirThread) {
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
    ASSERT_EQ(table.KTLDelete(2), 1);
    EXPECT_EQ(mine->KPData(), AsValue(10));
    EXPECT_EQ(Values(myWalk), (std::vector<long>{10, 20}));
    table.KTLAdd("z", AsValue(3));
    EXPECT_EQ(Values(table.KTLIterator()), (std::vector<long>{3}));
}

// Several threads add, delete, get and walk at once; every value they see
// must be one stored under that key. Under the sanitizers this proves the
// locking and the per-thread copies.
TEST(TreeList, ConcurrentAddDeleteGetAndIterateStayConsistent) {
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
            } else {
                long previous = -1;
                for (long value : Values(table.KTLIterator())) {
                    const bool known = (value >= 1000 && value < 1000 + kKeys) || (value >= 2000 && value < 2000 + kKeys);
                    wrong += !known || (value < 2000 && value <= previous);  // integers first, ascending
                    previous = value;
                }
            }
        }
    };
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t) threads.emplace_back(run, t);
    for (std::thread& thread : threads) thread.join();
    EXPECT_EQ(wrong.load(), 0);
    EXPECT_EQ(static_cast<int>(Values(table.KTLIterator()).size()), table.KTLLength());
}

// Last in, first out is pinned by the record header's tests; here the
// bound and the null that KSPop could not tell from an empty stack.
TEST(Stack, RefusesNullAndItemsPastItsBound) {
    int a = 0, b = 0, c = 0;
    CKesStack bounded(2);
    EXPECT_EQ(bounded.KSPush(nullptr), kRefused);
    EXPECT_EQ(bounded.KSPush(&a), 1);
    EXPECT_EQ(bounded.KSPush(&b), 1);
    EXPECT_EQ(bounded.KSPush(&c), kRefused);
    EXPECT_EQ(bounded.KSPop(), &b);
    EXPECT_EQ(bounded.KSPush(&c), 1);
    EXPECT_EQ(bounded.KSSize(), 2);
}
