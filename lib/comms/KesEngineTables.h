// KesEngineTables (internal to the socket engine's source files; not
// installed): the source name of the engine's reports and the table access
// that CKesSockEngine.cpp, CKesSockEngineReceive.cpp and
// CKesSockEngineDiscovery.cpp share.
// Plain functions, any thread: each table operation takes the table's own
// lock, and KTLGet hands out the calling thread's own copy of the holder.
#pragma once

#include <vector>

#include "CKesAtom.h"
#include "CKesPointer.h"
#include "CKesSockEngine.h"
#include "CKesTreeList.h"

namespace kesengine {

// The source name of every report the engine makes, whichever file makes it.
inline constexpr const char* kSource = "CKesSockEngine";

// Table key of a socket: an integer atom made from the handle as an int.
inline CKesAtom SocketKey(unsigned int socket) { return CKesAtom(static_cast<int>(socket)); }

// The value a table entry holds, or null when the key is absent. The holder
// KTLGet returns is this thread's copy, so reading it here is safe.
inline void* TableValue(CKesTreeList* table, const CKesAtom& key)
{
    if (table == nullptr) return nullptr;
    CKesPointer* holder = table->KTLGet(&key);
    return holder != nullptr ? holder->KPData() : nullptr;
}

inline void* TableValue(CKesTreeList* table, const char* key)
{
    if (table == nullptr || key == nullptr) return nullptr;
    CKesPointer* holder = table->KTLGet(key);
    return holder != nullptr ? holder->KPData() : nullptr;
}

// Every value of a table, copied out so that the caller may call anything
// (also another walk of the same table) while it goes through them.
std::vector<void*> TableValues(CKesTreeList* table);

} // namespace kesengine

// One count of a server or client that the calling thread is inside. The
// caller takes the count with CountIn under the engine lock, in the step
// that found the object, and hands it to an InUse on its stack before it
// calls the object; the InUse gives it back when the call is over. Null
// holds nothing.
class CKesSockEngine::InUse {
public:
    InUse(CKesSockEngine& engine, const void* object, UseCount* count);
    ~InUse();
    InUse(const InUse&) = delete;
    InUse& operator=(const InUse&) = delete;
    // True when the calling thread is inside the object: such a thread must
    // not wait for the object to become unused.
    static bool Entered(const void* object);

private:
    CKesSockEngine& m_Engine;
    const void* m_Object;
    UseCount* m_Count;    // what CountIn returned for the object
    const InUse* m_Outer; // the calling thread's enclosing InUse, if any
    // The calling thread's innermost InUse: the objects it is inside, as a chain.
    static thread_local const InUse* ms_Innermost;
};
