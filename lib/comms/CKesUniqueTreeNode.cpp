#include "CKesUniqueTreeNode.h"

#include <cstdio>

#include "CKesError.h"
#include "CKesPointer.h"
#include "KesErrorCodes.h"

namespace {
const char* const kSource = "CKesUniqueTreeNode";

// Takes the next value of seed under lock; reports a failed lock/unlock at the
// given lines. Null when the lock fails.
CKesAtom* NextKey(int64_t* seed, CKesThread* lock, int lockLine, int unlockLine)
{
    int result = lock->KTLock();
    if (result != 1) {
        CKesError(result, kSource, lockLine, nullptr);
        return nullptr;
    }
    int64_t value = (*seed)++;
    result = lock->KTUnLock();
    if (result != 1) CKesError(result, kSource, unlockLine, nullptr);
    return new CKesAtom(static_cast<long long>(value));
}
} // namespace

CKesThread* CKesUniqueTreeNode::m_KeyLock = nullptr;
int64_t CKesUniqueTreeNode::m_KeySeed = 0;
int64_t CKesUniqueTreeNode::m_InitRefs = 0;

CKesUniqueTreeNode::CKesUniqueTreeNode(CKesAtom* key, char const* label, CKesUniqueTreeNode* parent,
                                       __boolean changeLabel)
    : m_Key(key), m_Label(label), m_Parent(parent), m_Children(nullptr), m_ChangeLabel(changeLabel)
{
    KUTNAttachTo(parent);
}

CKesUniqueTreeNode::CKesUniqueTreeNode(char const* label, CKesUniqueTreeNode* parent, __boolean changeLabel)
    : CKesUniqueTreeNode(KTMGloballyUniqueKey(), label, parent, changeLabel)
{
    if (!m_Key) CKesError(KES_ERR_ARGUMENT, kSource, 172, nullptr);
}

CKesUniqueTreeNode::CKesUniqueTreeNode(CKesUniqueTreeNode const* other)
    : m_Key(other && other->m_Key ? new CKesAtom(*other->m_Key) : nullptr),
      m_Label(other ? other->m_Label : nullptr), m_Parent(nullptr), m_Children(nullptr),
      m_ChangeLabel(other ? other->m_ChangeLabel : FALSE)
{
}

CKesUniqueTreeNode::~CKesUniqueTreeNode()
{
    delete m_Key;
    m_Key = nullptr;
    m_Label = nullptr;
    if (m_Parent && m_Parent->m_Children) m_Parent->m_Children->KDLAttemptToDeleteFromList(this);
    m_Parent = nullptr;
    // Cleared before the list goes, so children destroyed with the list find
    // no list here and do not unlink themselves from it.
    CKesDoubleList* children = m_Children;
    m_Children = nullptr;
    delete children;
}

void CKesUniqueTreeNode::KUTNAttachTo(CKesUniqueTreeNode* parent)
{
    if (!parent) return;
    if (!parent->m_Children) parent->m_Children = new CKesDoubleList();
    parent->m_Children->KDLAddToListEnd(this);
}

CKesListable* CKesUniqueTreeNode::KLTargetDeepCopy(CKesListable const* source)
{
    return new CKesUniqueTreeNode(dynamic_cast<CKesUniqueTreeNode const*>(source));
}

char const* CKesUniqueTreeNode::KUTNTreeIcon() const { return "kesicon16"; }

int CKesUniqueTreeNode::KUTNReParentTo(CKesUniqueTreeNode* newParent)
{
    if (m_Parent) {
        if (m_Parent->m_Children) {
            int result = m_Parent->m_Children->KDLAttemptToDeleteFromList(this);
            if (result != 1) return result;
        } else if (KesTraceOn(2)) {
            KesTrace("CKesUniqueTreeNode orphaned in KUTNReParentTo\n");
        }
    }
    m_Parent = newParent;
    KUTNAttachTo(newParent);
    return 1;
}

// The listing shared by both orders: the work list's head moves to the result
// list; its children go to the start (depth first, last child listed first)
// or the end (breadth first) of the work list.
CKesDoubleList* CKesUniqueTreeNode::KUTNList(bool childrenAtStart, int noHeadLine, int noNodeLine) const
{
    CKesDoubleList* result = new CKesDoubleList();
    CKesDoubleList work;
    work.KDLAddToListStart(new CKesPointer(const_cast<CKesUniqueTreeNode*>(this)));
    while (work.KDLLength() > 0) {
        CKesListable* head = work.KDLHead();
        if (!head) {
            CKesError(KES_ERR_ARGUMENT, kSource, noHeadLine, nullptr);
            break;
        }
        work.KDLSetHead(work.KDLGetNext(head));
        result->KDLAddToListEnd(head);
        auto* node = static_cast<CKesUniqueTreeNode*>(static_cast<CKesPointer*>(head)->KPData());
        if (!node) {
            CKesError(KES_ERR_ARGUMENT, kSource, noNodeLine, nullptr);
            continue;
        }
        if (!node->m_Children) continue;
        for (CKesListable* child = node->m_Children->KDLHead(); child;
             child = node->m_Children->KDLGetNext(child)) {
            auto* holder = new CKesPointer(child);
            if (childrenAtStart)
                work.KDLAddToListStart(holder);
            else
                work.KDLAddToListEnd(holder);
        }
    }
    return result;
}

CKesDoubleList* CKesUniqueTreeNode::KUTNDepthFirst() const { return KUTNList(true, 426, 445); }

CKesDoubleList* CKesUniqueTreeNode::KUTNBreadthFirst() const { return KUTNList(false, 505, 524); }

__boolean CKesUniqueTreeNode::KUTNDoDepthFirst(KUTNVisitFunction visit, void* argument)
{
    if (!visit(this, argument)) return FALSE;
    if (!m_Children) return TRUE;
    for (CKesListable* child = m_Children->KDLHead(); child; child = m_Children->KDLGetNext(child)) {
        if (!static_cast<CKesUniqueTreeNode*>(child)->KUTNDoDepthFirst(visit, argument)) return FALSE;
    }
    return TRUE;
}

__boolean CKesUniqueTreeNode::KUTNDoBreadthFirst(KUTNVisitFunction visit, void* argument)
{
    CKesDoubleList work; // its destruction releases what an early stop leaves
    work.KDLAddToListEnd(new CKesPointer(this));
    while (work.KDLLength() > 0) {
        CKesListable* head = work.KDLHead();
        if (!head) {
            CKesError(KES_ERR_ARGUMENT, kSource, 616, nullptr);
            return TRUE;
        }
        work.KDLSetHead(work.KDLGetNext(head));
        auto* node = static_cast<CKesUniqueTreeNode*>(static_cast<CKesPointer*>(head)->KPData());
        delete head;
        if (!node) {
            CKesError(KES_ERR_ARGUMENT, kSource, 630, nullptr);
            return FALSE;
        }
        if (!visit(node, argument)) return FALSE;
        if (!node->m_Children) continue;
        for (CKesListable* child = node->m_Children->KDLHead(); child;
             child = node->m_Children->KDLGetNext(child))
            work.KDLAddToListEnd(new CKesPointer(child));
    }
    return TRUE;
}

CKesAtom* CKesUniqueTreeNode::KTMGloballyUniqueKey()
{
    if (!m_KeyLock) {
        if (__Kesworks_Debug_Level != 0) {
            fprintf(stderr, "CKesUniqueTreeNode::KUTNInitStatic _MUST_ be called "
                            "before CKesUniqueTreeNode::KTMGloballyUniqueKey.\n");
            fflush(stdout);
        }
        CKesError(KES_ERR_ARGUMENT, kSource, 329, nullptr);
        return nullptr;
    }
    return NextKey(&m_KeySeed, m_KeyLock, 340, 351);
}

CKesAtom* CKesUniqueTreeNode::KUTNLocallyUniqueKey(int64_t* seed, CKesThread* lock)
{
    if (!lock || !seed) return nullptr;
    return NextKey(seed, lock, 298, 309);
}

void CKesUniqueTreeNode::KUTNInitStatic()
{
    if (!m_KeyLock) {
        m_KeyLock = new CKesThread();
        m_KeySeed = 0;
        m_InitRefs = 0;
    }
    int result = m_KeyLock->KTLock();
    if (result != 1) CKesError(result, kSource, 706, nullptr);
    ++m_InitRefs;
    result = m_KeyLock->KTUnLock();
    if (result != 1) CKesError(result, kSource, 716, nullptr);
}

void CKesUniqueTreeNode::KUTNExitStatic()
{
    if (!m_KeyLock) return;
    int result = m_KeyLock->KTLock();
    if (result != 1) CKesError(result, kSource, 731, nullptr);
    m_KeySeed = 0;
    int64_t remaining = --m_InitRefs;
    result = m_KeyLock->KTUnLock();
    if (result != 1) CKesError(result, kSource, 742, nullptr);
    if (remaining == 0) {
        delete m_KeyLock;
        m_KeyLock = nullptr;
    }
}
