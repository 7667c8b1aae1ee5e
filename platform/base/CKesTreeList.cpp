#include "CKesTreeList.h"
#include "KesErrorCodes.h"

#include <atomic>
#include <cstring>
#include <new>
#include <vector>

namespace {
constexpr int kBadArgument = KES_ERR_ARGUMENT;

// Every table gets a number never used again, so a thread's cache of its
// slots can never name a slot of a destroyed table.
std::atomic<unsigned long long> g_NextSerial{1};

// The calling thread's slots of the tables it used last: a look-up finds its
// slot without hashing the thread id (tables are looked up for every packet).
struct CachedSlot {
    unsigned long long serial = 0;
    void* slot = nullptr;
};
constexpr unsigned kCachedSlots = 4;
thread_local CachedSlot t_Slots[kCachedSlots];
thread_local unsigned t_NextSlot = 0;

// The calling thread's last text look-ups (a server finds the client it
// answers by its id, every packet): one stands while its table's change
// count is the one it was made at, and answers without the table's lock.
struct CachedValue {
    static constexpr size_t kLongestKey = 39;
    unsigned long long serial = 0; // 0: empty (tables count from 1)
    unsigned long long changes = 0;
    void* value = nullptr;
    unsigned char keyLength = 0;
    char key[kLongestKey];

    bool Answers(unsigned long long table, unsigned long long now, std::string_view text) const
    {
        return serial == table && changes == now && keyLength == text.size() &&
               memcmp(key, text.data(), text.size()) == 0;
    }
};

constexpr unsigned kCachedValues = 4;
thread_local CachedValue t_Values[kCachedValues];
thread_local unsigned t_NextValue = 0;
} // namespace

CKesTreeList::CKesTreeList(__boolean deleteValues) : m_Serial(g_NextSerial++), m_DeleteValues(deleteValues) {}

CKesTreeList::~CKesTreeList()
{
    for (auto& entry : m_Entries) {
        if (m_DeleteValues == TRUE) delete static_cast<CKesListable*>(entry.second->KPData());
        delete entry.second;
    }
}

bool CKesTreeList::MakeKey(const CKesAtom* atom, KeyView* key)
{
    if (atom == nullptr) return false;
    switch (atom->KAType()) {
    case KES_DT_INT:
    case KES_DT_LONG:
    case KES_DT_INT64: *key = KeyView{false, atom->KAInt64(), {}}; return true;
    case KES_DT_STRING:
        *key = KeyView{true, 0, std::string_view(atom->KAString(), atom->KALength())};
        return true;
    default: return false;
    }
}

int CKesTreeList::Add(const Key& key, CKesPointer* holder)
{
    if (holder == nullptr) return kBadArgument;
    std::lock_guard<std::mutex> guard(m_Lock);
    if (!m_Entries.try_emplace(key, holder).second) return kBadArgument;
    m_Changes.fetch_add(1, std::memory_order_release);
    return 1;
}

int CKesTreeList::AddValue(const Key& key, void* value)
{
    CKesPointer* holder = new (std::nothrow) CKesPointer(value);
    if (holder == nullptr) return KES_ERR_ALLOCATION;
    int result = Add(key, holder);
    if (result != 1) delete holder;
    return result;
}

CKesTreeList::ThreadSlot* CKesTreeList::SlotLocked()
{
    for (const CachedSlot& cached : t_Slots)
        if (cached.serial == m_Serial) return static_cast<ThreadSlot*>(cached.slot);
    std::unique_ptr<ThreadSlot>& slot = m_Slots[std::this_thread::get_id()];
    if (!slot) slot = std::make_unique<ThreadSlot>();
    t_Slots[t_NextSlot++ % kCachedSlots] = {m_Serial, slot.get()};
    return slot.get();
}

CKesPointer* CKesTreeList::Get(const KeyView& key)
{
    std::lock_guard<std::mutex> guard(m_Lock);
    auto found = m_Entries.find(key);
    if (found == m_Entries.end()) return nullptr;
    ThreadSlot* slot = SlotLocked();
    slot->got.KPSetData(found->second->KPData());
    return &slot->got;
}

void* CKesTreeList::ValueOf(const KeyView& key)
{
    const bool cacheable = key.isText && key.text.size() <= CachedValue::kLongestKey;
    if (cacheable) {
        const unsigned long long now = m_Changes.load(std::memory_order_acquire);
        for (const CachedValue& cached : t_Values)
            if (cached.Answers(m_Serial, now, key.text)) return cached.value;
    }
    void* value = nullptr;
    unsigned long long changes = 0;
    {
        std::lock_guard<std::mutex> guard(m_Lock);
        auto found = m_Entries.find(key);
        if (found != m_Entries.end()) value = found->second->KPData();
        changes = m_Changes.load(std::memory_order_relaxed); // steady under the lock
    }
    if (cacheable) {
        CachedValue& slot = t_Values[t_NextValue++ % kCachedValues];
        slot.serial = m_Serial;
        slot.changes = changes;
        slot.value = value;
        slot.keyLength = static_cast<unsigned char>(key.text.size());
        memcpy(slot.key, key.text.data(), key.text.size());
    }
    return value;
}

int CKesTreeList::Delete(const KeyView& key)
{
    CKesPointer* holder = nullptr;
    {
        std::lock_guard<std::mutex> guard(m_Lock);
        auto found = m_Entries.find(key);
        if (found == m_Entries.end()) return kBadArgument;
        holder = found->second;
        m_Entries.erase(found);
        m_Changes.fetch_add(1, std::memory_order_release);
    }
    delete holder;
    return 1;
}

int CKesTreeList::KTLAdd(const char* key, void* value)
{
    if (key == nullptr) return kBadArgument;
    return AddValue(Key{true, 0, key}, value);
}

int CKesTreeList::KTLAdd(const char* key, CKesPointer* value)
{
    if (key == nullptr) return kBadArgument;
    return Add(Key{true, 0, key}, value);
}

int CKesTreeList::KTLAdd(int key, void* value) { return AddValue(Key{false, key, {}}, value); }

int CKesTreeList::KTLAdd(int key, CKesPointer* value) { return Add(Key{false, key, {}}, value); }

int CKesTreeList::KTLAdd(const CKesAtom* key, void* value, __boolean)
{
    KeyView made;
    if (!MakeKey(key, &made)) return kBadArgument;
    return AddValue(Key::Of(made), value);
}

int CKesTreeList::KTLAdd(const CKesAtom* key, CKesPointer* value, __boolean)
{
    KeyView made;
    if (!MakeKey(key, &made)) return kBadArgument;
    return Add(Key::Of(made), value);
}

CKesPointer* CKesTreeList::KTLGet(const char* key)
{
    if (key == nullptr) return nullptr;
    return Get(KeyView{true, 0, key});
}

CKesPointer* CKesTreeList::KTLGet(int key) { return Get(KeyView{false, key, {}}); }

CKesPointer* CKesTreeList::KTLGet(const CKesAtom* key)
{
    KeyView made;
    if (!MakeKey(key, &made)) return nullptr;
    return Get(made);
}

void* CKesTreeList::KTLValueOf(const char* key)
{
    return key != nullptr ? ValueOf(KeyView{true, 0, key}) : nullptr;
}

void* CKesTreeList::KTLValueOf(int key) { return ValueOf(KeyView{false, key, {}}); }

int CKesTreeList::KTLDelete(const char* key)
{
    if (key == nullptr) return kBadArgument;
    return Delete(KeyView{true, 0, key});
}

int CKesTreeList::KTLDelete(int key) { return Delete(KeyView{false, key, {}}); }

int CKesTreeList::KTLDelete(const CKesAtom* key)
{
    KeyView made;
    if (!MakeKey(key, &made)) return kBadArgument;
    return Delete(made);
}

CKesDoubleList* CKesTreeList::KTLIterator()
{
    // Snapshot under the lock; build the caller's list outside it. The slot
    // itself is touched only by this thread (and the destructor).
    std::vector<void*> values;
    ThreadSlot* slot = nullptr;
    {
        std::lock_guard<std::mutex> guard(m_Lock);
        slot = SlotLocked();
        values.reserve(m_Entries.size());
        for (const auto& entry : m_Entries) values.push_back(entry.second->KPData());
    }
    auto walk = std::make_unique<CKesDoubleList>();
    for (void* value : values) {
        CKesPointer* holder = new (std::nothrow) CKesPointer(value);
        if (holder == nullptr) return nullptr;
        walk->KDLAddToListEnd(holder);
    }
    slot->walk = std::move(walk); // destroys this thread's previous list
    return slot->walk.get();
}

int CKesTreeList::KTLLength() const
{
    std::lock_guard<std::mutex> guard(m_Lock);
    return static_cast<int>(m_Entries.size());
}
