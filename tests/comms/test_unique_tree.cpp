// The unique tree: keys, walks, re-parenting, copies.
#include <set>

#include "CKesPointer.h"
#include "CKesUniqueTreeNode.h"
#include "KesTestSupport.h"

namespace {

// Exposes the protected re-parenting.
class Node : public CKesUniqueTreeNode {
public:
    using CKesUniqueTreeNode::CKesUniqueTreeNode;
    using CKesUniqueTreeNode::KUTNReParentTo;
};

// Each test ends with the key machinery uninitialised.
class UniqueTree : public ::testing::Test {
protected:
    void TearDown() override
    {
        while (CKesUniqueTreeNode::m_KeyLock) CKesUniqueTreeNode::KUTNExitStatic();
    }
};

std::string Labels(CKesDoubleList* list)
{
    std::string out;
    for (CKesListable* e = list->KDLHead(); e; e = list->KDLGetNext(e))
        out += static_cast<CKesUniqueTreeNode*>(static_cast<CKesPointer*>(e)->KPData())->KUTNLabel();
    delete list;
    return out;
}

// Records each label; stops the walk at "A".
__boolean RecordUntilA(CKesUniqueTreeNode* node, void* out)
{
    static_cast<std::string*>(out)->append(node->KUTNLabel());
    return std::string(node->KUTNLabel()) == "A" ? FALSE : TRUE;
}

} // namespace

// Every exit restarts keys at zero; without init none is handed out and the misuse is reported.
TEST_F(UniqueTree, KeysAreUniqueAcrossThreadsAndRestartAfterEveryExit)
{
    CKesUniqueTreeNode::KUTNInitStatic();
    CKesUniqueTreeNode::KUTNInitStatic();
    constexpr int kThreads = 4, kEach = 2000;
    std::vector<long long> seen[kThreads];
    ksxtest::RunOnThreads(kThreads, [&](int t) {
        for (int i = 0; i < kEach; ++i)
            seen[t].push_back(
                std::unique_ptr<CKesAtom>(CKesUniqueTreeNode::KTMGloballyUniqueKey())->KAInt64());
    });
    std::set<long long> all;
    for (auto& keys : seen) all.insert(keys.begin(), keys.end());
    EXPECT_EQ(all.size(), size_t(kThreads * kEach));
    EXPECT_EQ(*all.rbegin(), kThreads * kEach - 1);

    CKesUniqueTreeNode::KUTNExitStatic();
    Node again("w", nullptr, FALSE);
    ASSERT_NE(again.KUTNKey(), nullptr);
    EXPECT_EQ(again.KUTNKey()->KAInt64(), 0);
    CKesUniqueTreeNode::KUTNExitStatic();
    ksxtest::ErrorCapture errors;
    Node keyless("k", nullptr, FALSE);
    EXPECT_EQ(keyless.KUTNKey(), nullptr);
    EXPECT_TRUE(errors.Has(KES_ERR_ARGUMENT, "CKesUniqueTreeNode", 172));
    EXPECT_TRUE(errors.Has(KES_ERR_ARGUMENT, "CKesUniqueTreeNode", 329));
}

// Walks stop at a false visit; a parent takes its subtree along; a deep copy stands alone.
TEST_F(UniqueTree, WalksReParentingAndCopiesKeepTheirOrdersAndKeys)
{
    Node r(nullptr, "R", nullptr, FALSE);
    Node *a = new Node(nullptr, "A", &r, FALSE), *b = new Node(nullptr, "B", &r, FALSE);
    new Node(nullptr, "C", a, FALSE);
    EXPECT_EQ(Labels(r.KUTNDepthFirst()), "RBAC");
    EXPECT_EQ(Labels(r.KUTNBreadthFirst()), "RABC");
    std::string depth, breadth;
    EXPECT_FALSE(r.KUTNDoDepthFirst(RecordUntilA, &depth) || r.KUTNDoBreadthFirst(RecordUntilA, &breadth));
    EXPECT_EQ(depth + " " + breadth, "RA RA");

    EXPECT_EQ(a->KUTNReParentTo(nullptr), 1);
    EXPECT_EQ(Labels(r.KUTNBreadthFirst()), "RB");
    EXPECT_EQ(a->KUTNReParentTo(b), 1);
    EXPECT_EQ(a->KUTNParent(), b);
    Node* d = new Node(nullptr, "D", b, FALSE);
    EXPECT_EQ(d->KUTNReParentTo(&r), 1);
    EXPECT_EQ(Labels(r.KUTNBreadthFirst()), "RBDAC");
    delete b;
    EXPECT_EQ(Labels(r.KUTNBreadthFirst()), "RD");

    CKesUniqueTreeNode::KUTNInitStatic();
    Node keyed("K", &r, TRUE);
    new Node(nullptr, "child", &keyed, FALSE);
    std::unique_ptr<CKesListable> copy(keyed.KLTargetDeepCopy(&keyed));
    auto* node = dynamic_cast<CKesUniqueTreeNode*>(copy.get());
    ASSERT_NE(node, nullptr);
    EXPECT_EQ(node->KUTNParent(), nullptr);
    EXPECT_EQ(node->KUTNChildren(), nullptr);
    ASSERT_NE(node->KUTNKey(), nullptr);
    EXPECT_NE(node->KUTNKey(), keyed.KUTNKey());
    EXPECT_EQ(*node->KUTNKey(), *keyed.KUTNKey());
}
