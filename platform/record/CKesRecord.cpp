#include "CKesRecord.h"

#include <new>

#include "KesErrorCodes.h"
#include "KesMsgPack.h"
#include "KesPort.h"

namespace {

// The reason of the calling thread's last refused decode.
thread_local const char* t_DecodeRefusal = nullptr;

// A thread's kept record blocks. Plain data, so that it stays usable while
// the thread's other objects are destroyed at its end; ReleaseKept frees the
// blocks then, and from then on the thread keeps none.
struct KeptBlocks {
    static constexpr int kMost = 8;
#if defined(__SANITIZE_ADDRESS__)
    static constexpr bool kKeeps = false; // a use after delete is still caught
#else
    static constexpr bool kKeeps = true;
#endif
    void* blocks[kMost];
    int count; // -1: the thread is ending
};
thread_local KeptBlocks t_Kept{};

struct ReleaseKept {
    ~ReleaseKept()
    {
        while (t_Kept.count > 0) ::operator delete(t_Kept.blocks[--t_Kept.count]);
        t_Kept.count = -1;
    }
};

void* TakeKept()
{
    KeptBlocks& kept = t_Kept;
    if (kept.count <= 0) return nullptr;
    return kept.blocks[--kept.count];
}

bool Keep(void* block)
{
    if (!KeptBlocks::kKeeps) return false;
    KeptBlocks& kept = t_Kept;
    if (kept.count < 0 || kept.count >= KeptBlocks::kMost) return false;
    // The first block kept arms the release at the thread's end.
    if (kept.count == 0) {
        static thread_local ReleaseKept release;
        static_cast<void>(release);
    }
    kept.blocks[kept.count++] = block;
    return true;
}

} // namespace

void* CKesRecord::operator new(size_t size)
{
    if (size == sizeof(CKesRecord))
        if (void* block = TakeKept()) return block;
    return ::operator new(size);
}

void* CKesRecord::operator new(size_t size, const std::nothrow_t&) noexcept
{
    if (size == sizeof(CKesRecord))
        if (void* block = TakeKept()) return block;
    return ::operator new(size, std::nothrow);
}

void CKesRecord::operator delete(void* block, size_t size) noexcept
{
    if (block == nullptr) return;
    if (size == sizeof(CKesRecord) && Keep(block)) return;
    ::operator delete(block);
}

void CKesRecord::operator delete(void* block, const std::nothrow_t&) noexcept { ::operator delete(block); }

int CKesRecord::KRKeptBlocks() { return t_Kept.count < 0 ? 0 : t_Kept.count; }

CKesListable* CKesRecord::KLTargetDeepCopy(const CKesListable* source)
{
    const CKesRecord* record = dynamic_cast<const CKesRecord*>(source);
    if (record == nullptr) return nullptr;
    return new (std::nothrow) CKesRecord(*record);
}

int CKesRecord::KOMDecode(const unsigned char* bytes, unsigned int length)
{
    if (bytes == nullptr || !m_Values.empty()) return KES_ERR_ARGUMENT;

    kesmsgpack::Reader reader(bytes, length);
    uint32_t count = 0;
    // The count was checked against the input, so this is bounded by it;
    // still up to four times the input, which memory may not hold.
    if (reader.MapHeader(&count)) {
        try {
            m_Values.reserve(count);
        } catch (const std::bad_alloc&) {
            reader.Fail("out of memory");
        }
    }
    for (uint32_t i = 0; i < count && reader.Error() == nullptr; ++i) {
        const char* name = nullptr;
        uint32_t nameLength = 0;
        kesmsgpack::ValueRead value;
        if (!reader.Key(&name, &nameLength) || !reader.Value(&value)) break;
        CKesVarBind* bound = KRNewValue(name, nameLength, value);
        if (bound == nullptr) {
            reader.Fail("out of memory");
            break;
        }
        m_Values.push_back(bound);
    }
    if (reader.Error() == nullptr && !reader.AtEnd()) reader.Fail("trailing bytes after the map");
    if (reader.Error() == nullptr) return 1;

    KRClear();
    t_DecodeRefusal = reader.Error();
    if (KesTraceOn(1)) KesTrace("CKesRecord::KOMDecode() refused %u bytes: %s.\n", length, reader.Error());
    return KES_ERR_DECODE;
}

const char* CKesRecord::KOMDecodeRefusal() { return t_DecodeRefusal; }
