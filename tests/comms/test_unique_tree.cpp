// The unique tree: key machinery, listings and walks, re-parenting, copies.
#include <gtest/gtest.h>

#include <memory>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "CKesPointer.h"
#include "CKesUniqueTreeNode.h"
#include "KesTestSupport.h"

namespace {

// Exposes the protected re-parenting for the tests.
class Node : public CKesUniqueTreeNode {
public:
    using CKesUniqueTreeNode::CKesUniqueTreeNode;
    using CKesUniqueTreeNode::KUTNReParentTo;
};

// Each test ends with the key machinery uninitialised.
class UniqueTree : public ::testing::Test {
protected:
    void TearDown() override {
        while (CKesUniqueTreeNode::m_KeyLock) CKesUniqueTreeNode::KUTNExitStatic();
    }
};

std::string Labels(CKesDoubleList* list) {
    std::string out;
    for (CKesListable* e = list->KDLHead(); e; e = list->KDLGetNext(e))
        out += static_cast<CKesUniqueTreeNode*>(static_cast<CKesPointer*>(e)->KPData())->KUTNLabel();
    delete list;
    return out;
}

// Records each label; stops the walk at "A".
__boolean RecordUntilA(CKesUniqueTreeNode* node, void* out) {
    static_cast<std::string*>(out)->append(node->KUTNLabel());
    return std::string(node->KUTNLabel()) == "A" ? FALSE : TRUE;
}

__boolean Record(CKesUniqueTreeNode* node, void* out) {
    RecordUntilA(node, out);
    return TRUE;
}

// R with children A then B; C under A.
struct SampleTree {
    Node r{nullptr, "R", nullptr, FALSE};
    Node* a = new Node(nullptr, "A", &r, FALSE);
    Node* b = new Node(nullptr, "B", &r, FALSE);
    Node* c = new Node(nullptr, "C", a, FALSE);
};

}  // namespace

// Keys count from zero; init and exit are counted, and every exit resets
// the seed; without init no key is handed out and the misuse is reported.
TEST_F(UniqueTree, GlobalKeysCountFromZeroAndRestartAfterEveryExit) {
    CKesUniqueTreeNode::KUTNInitStatic();
    CKesUniqueTreeNode::KUTNInitStatic();
    Node n0("x", nullptr, FALSE), n1("y", nullptr, FALSE);
    EXPECT_EQ(n0.KUTNKey()->KAInt64(), 0);
    EXPECT_EQ(n1.KUTNKey()->KAInt64(), 1);
    EXPECT_EQ(n1.KUTNKey()->KAType(), KES_DT_INT64);
    CKesUniqueTreeNode::KUTNExitStatic();
    Node again("w", nullptr, FALSE);
    ASSERT_NE(again.KUTNKey(), nullptr);
    EXPECT_EQ(again.KUTNKey()->KAInt64(), 0);
    CKesUniqueTreeNode::KUTNExitStatic();

    ksxtest::ErrorCapture errors;
    ksxtest::ScopedDebugLevel level(1);
    testing::internal::CaptureStderr();
    Node keyless("k", nullptr, FALSE);
    const std::string err = testing::internal::GetCapturedStderr();
    EXPECT_EQ(keyless.KUTNKey(), nullptr);
    EXPECT_NE(err.find("CKesUniqueTreeNode::KUTNInitStatic _MUST_ be called "
                       "before CKesUniqueTreeNode::KTMGloballyUniqueKey.\n"), std::string::npos);
    EXPECT_TRUE(errors.Has(-220552, "CKesUniqueTreeNode", 172));
    EXPECT_TRUE(errors.Has(-220552, "CKesUniqueTreeNode", 329));
    CKesUniqueTreeNode::KUTNInitStatic();
    Node fresh("f", nullptr, FALSE);
    ASSERT_NE(fresh.KUTNKey(), nullptr);
    EXPECT_EQ(fresh.KUTNKey()->KAInt64(), 0);
}

TEST_F(UniqueTree, KeysAreNeverHandedOutTwiceAcrossThreadsAndLocalOnesUseTheCallersCounter) {
    CKesUniqueTreeNode::KUTNInitStatic();
    constexpr int kThreads = 4, kEach = 2000;
    std::vector<std::vector<long long>> seen(kThreads);
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t)
        threads.emplace_back([&seen, t] {
            for (int i = 0; i < kEach; ++i) {
                CKesAtom* key = CKesUniqueTreeNode::KTMGloballyUniqueKey();
                seen[t].push_back(key->KAInt64());
                delete key;
            }
        });
    for (auto& t : threads) t.join();
    std::set<long long> all;
    for (auto& v : seen) all.insert(v.begin(), v.end());
    EXPECT_EQ(all.size(), size_t(kThreads * kEach));
    EXPECT_EQ(*all.rbegin(), kThreads * kEach - 1);

    int64_t seed = 41;
    CKesThread lock;
    CKesAtom* key = CKesUniqueTreeNode::KUTNLocallyUniqueKey(&seed, &lock);
    ASSERT_NE(key, nullptr);
    EXPECT_EQ(key->KAInt64(), 41);
    EXPECT_EQ(seed, 42);
    delete key;
    EXPECT_EQ(CKesUniqueTreeNode::KUTNLocallyUniqueKey(&seed, nullptr), nullptr);
    EXPECT_EQ(seed, 42);
}

// Listings and walks follow their orders and a visit returning false stops
// the walk; deleting a child unlinks it; re-parenting detaches or appends at
// the end; deleting a parent deletes its subtree.
TEST_F(UniqueTree, WalksDeletionAndReParentingKeepTheirOrders) {
    SampleTree t;
    EXPECT_EQ(Labels(t.r.KUTNDepthFirst()), "RBAC");
    EXPECT_EQ(Labels(t.r.KUTNBreadthFirst()), "RABC");
    std::string depth, breadth;
    EXPECT_TRUE(t.r.KUTNDoDepthFirst(Record, &depth));
    EXPECT_TRUE(t.r.KUTNDoBreadthFirst(Record, &breadth));
    EXPECT_EQ(depth, "RACB");
    EXPECT_EQ(breadth, "RABC");
    depth.clear();
    breadth.clear();
    EXPECT_FALSE(t.r.KUTNDoDepthFirst(RecordUntilA, &depth));
    EXPECT_FALSE(t.r.KUTNDoBreadthFirst(RecordUntilA, &breadth));
    EXPECT_EQ(depth, "RA");
    EXPECT_EQ(breadth, "RA");

    delete t.c;
    ASSERT_NE(t.a->KUTNChildren(), nullptr);  // the list stays, empty
    EXPECT_EQ(t.a->KUTNChildren()->KDLLength(), 0);
    t.c = new Node(nullptr, "C", t.a, FALSE);
    EXPECT_EQ(t.a->KUTNReParentTo(nullptr), 1);
    EXPECT_EQ(t.a->KUTNParent(), nullptr);
    EXPECT_EQ(Labels(t.r.KUTNBreadthFirst()), "RB");
    EXPECT_EQ(t.a->KUTNReParentTo(t.b), 1);
    EXPECT_EQ(t.a->KUTNParent(), t.b);
    EXPECT_EQ(Labels(t.r.KUTNBreadthFirst()), "RBAC");
    Node* d = new Node(nullptr, "D", t.b, FALSE);
    EXPECT_EQ(d->KUTNReParentTo(&t.r), 1);
    EXPECT_EQ(Labels(t.r.KUTNBreadthFirst()), "RBDAC");
    delete t.b;
    EXPECT_EQ(Labels(t.r.KUTNBreadthFirst()), "RD");
}

TEST_F(UniqueTree, DeepCopyIsParentlessChildlessWithAnEqualSeparateKey) {
    SampleTree t;
    CKesUniqueTreeNode::KUTNInitStatic();
    Node keyed("K", &t.r, TRUE);
    new Node(nullptr, "child", &keyed, FALSE);
    std::unique_ptr<CKesListable> copy(keyed.KLTargetDeepCopy(&keyed));
    auto* node = dynamic_cast<CKesUniqueTreeNode*>(copy.get());
    ASSERT_NE(node, nullptr);
    EXPECT_EQ(node->KUTNParent(), nullptr);
    EXPECT_EQ(node->KUTNChildren(), nullptr);
    EXPECT_EQ(node->KUTNLabel(), keyed.KUTNLabel());  // the borrowed label itself
    ASSERT_NE(node->KUTNKey(), nullptr);
    EXPECT_NE(node->KUTNKey(), keyed.KUTNKey());
    EXPECT_EQ(*node->KUTNKey(), *keyed.KUTNKey());
    EXPECT_EQ(node->KUTNGetChangeLabel(), TRUE);
}
