// CKesTreeList: a table from key (text or integer) to a CKesPointer holding
// an untyped value. The table owns its holders, never the values (unless it
// was constructed with TRUE).
// Created and destroyed by its owner; it must not be destroyed while another
// thread still calls it.
// Threads: any. Every operation is atomic under the table's own lock, so any
// thread may add, get, delete and iterate at once. What KTLGet and
// KTLIterator return are the calling thread's own copies of the holders, kept
// in per-thread storage that the table owns, so another thread's KTLDelete
// never frees what a caller is reading: a KTLGet result stays valid until the
// same thread's next KTLGet on this table, a KTLIterator list until the same
// thread's next KTLIterator on this table or the table's destruction.
// Locks: the table's lock, then (while filling an iteration list) that list's
// own lock; no other.
// Iteration order: integer keys ascending, then text keys in byte order.
#pragma once

#include <atomic>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>
#include <thread>
#include <unordered_map>

#include "CKesAtom.h"
#include "CKesDoubleList.h"
#include "CKesPointer.h"
#include "KesErrorCodes.h"
#include "KesPort.h"

class CKesTreeList {
public:
    // deleteValues TRUE: destroying the table also deletes each value as a
    // CKesListable. The library always passes FALSE.
    explicit CKesTreeList(__boolean deleteValues = FALSE);
    virtual ~CKesTreeList();

    // Adds key -> value. 1; KES_ERR_ARGUMENT for a null key or holder, an atom key
    // that is neither an integer nor a text, or a key that is already present
    // (the table is left unchanged and, for the holder forms, the caller keeps
    // the holder). On success the table owns a holder form's holder. Atom keys
    // are always copied, whatever copyKey says.
    int KTLAdd(const char* key, void* value);
    int KTLAdd(const char* key, CKesPointer* value);
    int KTLAdd(int key, void* value);
    int KTLAdd(int key, CKesPointer* value);
    int KTLAdd(const CKesAtom* key, void* value, __boolean copyKey);
    int KTLAdd(const CKesAtom* key, CKesPointer* value, __boolean copyKey);

    // The entry's holder (the calling thread's copy), or null when absent.
    CKesPointer* KTLGet(const char* key);
    CKesPointer* KTLGet(int key);
    CKesPointer* KTLGet(const CKesAtom* key);
    // The entry's value itself (no holder: nothing per thread), or null when
    // absent or when the value is null. A thread's recent text look-ups are
    // answered from its memory of them until the table next changes, so a
    // holder the table owns must not be given another value.
    void* KTLValueOf(const char* key);
    void* KTLValueOf(int key);

    // Removes the entry, destroying its holder but not the value. 1, or
    // KES_ERR_ARGUMENT when the key is absent.
    int KTLDelete(const char* key);
    int KTLDelete(int key);
    int KTLDelete(const CKesAtom* key);

    // A list of holders (copies) of every entry's value, in table order.
    // Callers walk it and never free it (see the class comment). Null only
    // when memory runs out.
    CKesDoubleList* KTLIterator();
    int KTLLength() const;

private:
    CKesTreeList(const CKesTreeList&) = delete;
    CKesTreeList& operator=(const CKesTreeList&) = delete;

    // Text or integer key; integers order before texts. A look-up views
    // its text (KeyView) instead of copying it.
    struct KeyView {
        bool isText;
        long long number;
        std::string_view text;
    };
    struct Key {
        bool isText;
        long long number;
        std::string text;
        static Key Of(const KeyView& view) { return {view.isText, view.number, std::string(view.text)}; }
    };
    struct KeyOrder {
        using is_transparent = void;
        template <typename A, typename B>
        bool operator()(const A& a, const B& b) const
        {
            if (a.isText != b.isText) return !a.isText;
            if (a.isText) return std::string_view(a.text) < std::string_view(b.text);
            return a.number < b.number;
        }
    };
    // What one thread was last handed by KTLGet and KTLIterator.
    struct ThreadSlot {
        CKesPointer got;                      // KTLGet's result
        std::unique_ptr<CKesDoubleList> walk; // KTLIterator's result
    };
    static bool MakeKey(const CKesAtom* atom, KeyView* key);
    int Add(const Key& key, CKesPointer* holder);
    int AddValue(const Key& key, void* value);
    CKesPointer* Get(const KeyView& key);
    void* ValueOf(const KeyView& key);
    int Delete(const KeyView& key);
    ThreadSlot* SlotLocked();

    mutable std::mutex m_Lock;                       // guards m_Entries and m_Slots
    std::map<Key, CKesPointer*, KeyOrder> m_Entries; // key -> owned holder
    // One slot per calling thread, kept until the table is destroyed (a
    // thread id reused by a later thread reuses the slot).
    std::unordered_map<std::thread::id, std::unique_ptr<ThreadSlot>> m_Slots;
    // Raised, under m_Lock, by every add and delete: a thread's remembered
    // look-up stands for as long as the count it was made at.
    std::atomic<unsigned long long> m_Changes{0};
    const unsigned long long m_Serial; // this table's number (see SlotLocked)
    __boolean m_DeleteValues;          // delete values with the table
};
