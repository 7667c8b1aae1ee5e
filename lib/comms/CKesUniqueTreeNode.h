// CKesUniqueTreeNode: a node of a tree of labelled nodes, each with a key atom
// that is unique within the process (or within a caller-supplied counter).
// Created and destroyed by the host; deleting a node deletes its subtree and
// unlinks it from its parent. Trees are not locked: callers serialise changes
// and walks of one tree. The key statics are guarded by m_KeyLock, which is
// created by the first KUTNInitStatic and deleted by the matching last
// KUTNExitStatic (both outside any other thread's use of the class).
#pragma once

#include <cstdint>

#include "CKesAtom.h"
#include "CKesDoubleList.h"
#include "CKesListable.h"
#include "CKesThread.h"
#include "KesPort.h"

class CKesUniqueTreeNode : public CKesListable {
public:
    typedef __boolean (*KUTNVisitFunction)(CKesUniqueTreeNode* node, void* argument);

    // Takes the key over (it may be null), keeps label, parent and flag, and
    // attaches the node at the end of the parent's children.
    CKesUniqueTreeNode(CKesAtom* key, char const* label, CKesUniqueTreeNode* parent, __boolean changeLabel);
    // As above with the next process-wide key (none when keys are not initialised).
    CKesUniqueTreeNode(char const* label, CKesUniqueTreeNode* parent, __boolean changeLabel);
    ~CKesUniqueTreeNode() override;

    CKesAtom* KUTNKey() const { return m_Key; }
    char const* KUTNLabel() const { return m_Label; }
    CKesUniqueTreeNode const* KUTNParent() const { return m_Parent; }
    CKesDoubleList* KUTNChildren() const { return m_Children; }

    // A new parentless, childless copy of source (a CKesUniqueTreeNode).
    CKesListable* KLTargetDeepCopy(CKesListable const* source) override;
    virtual char const* KUTNTreeIcon() const;
    // New lists (owned by the caller) of CKesPointer elements, one per node of
    // this subtree: pre-order with children last to first / level order.
    virtual CKesDoubleList* KUTNDepthFirst() const;
    virtual CKesDoubleList* KUTNBreadthFirst() const;
    // Visits this subtree (pre-order children first to last / level order)
    // until visit returns FALSE; TRUE when every call returned TRUE.
    virtual __boolean KUTNDoDepthFirst(KUTNVisitFunction visit, void* argument);
    virtual __boolean KUTNDoBreadthFirst(KUTNVisitFunction visit, void* argument);
    virtual __boolean KUTNGetChangeLabel() { return m_ChangeLabel; }

    // The next process-wide key (new, caller owns it), or null.
    static CKesAtom* KTMGloballyUniqueKey();
    // The next key of the caller's counter under the caller's lock, or null.
    static CKesAtom* KUTNLocallyUniqueKey(int64_t* seed, CKesThread* lock);
    static void KUTNInitStatic();
    static void KUTNExitStatic();

    static CKesThread* m_KeyLock; // guards m_KeySeed and m_InitRefs; null when uninitialised
    static int64_t m_KeySeed;     // the next global key
    static int64_t m_InitRefs;    // KUTNInitStatic calls not yet matched by KUTNExitStatic

protected:
    // A copy: a new key equal to the other's, its label pointer and flag; no
    // parent, no children.
    explicit CKesUniqueTreeNode(CKesUniqueTreeNode const* other);
    // Moves the node under newParent (null: makes it a root). 1, or the
    // failed removal's result with nothing changed.
    int KUTNReParentTo(CKesUniqueTreeNode* newParent);

private:
    CKesUniqueTreeNode(const CKesUniqueTreeNode&) = delete;
    CKesUniqueTreeNode& operator=(const CKesUniqueTreeNode&) = delete;
    void KUTNAttachTo(CKesUniqueTreeNode* parent);
    CKesDoubleList* KUTNList(bool childrenAtStart, int noHeadLine, int noNodeLine) const;

    CKesAtom* m_Key;              // owned; null when the node has no key
    char const* m_Label;          // borrowed from the caller, never freed
    CKesUniqueTreeNode* m_Parent; // not owned; null for a root
    CKesDoubleList* m_Children;   // owned; null until the first child attaches
    __boolean m_ChangeLabel;      // given at construction, no behaviour attached
};
