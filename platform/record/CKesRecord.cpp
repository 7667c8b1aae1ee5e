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
    return Decode(bytes, length, nullptr);
}

int CKesRecord::KOMDecodeAdopting(unsigned char* buffer, unsigned int length, size_t capacity, bool* adopted)
{
    if (adopted) *adopted = false;
    if (capacity < length) return KES_ERR_ARGUMENT;
    Adoption adoption{buffer, capacity, nullptr};
    const int result = Decode(buffer, length, &adoption);
    if (result != 1 || adoption.value == nullptr) return result;
    // Every other value has been copied out: the bytes behind this one are
    // free for its NUL, and the buffer now belongs to it.
    KRAdoptBlock(adoption.value, buffer);
    if (adopted) *adopted = true;
    return 1;
}

int CKesRecord::Decode(const unsigned char* bytes, unsigned int length, Adoption* adoption)
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
        const bool lend = adoption != nullptr && adoption->value == nullptr && adoption->Fits(value);
        CKesVarBind* bound =
            lend ? KRNewLentValue(name, nameLength, value) : KRNewValue(name, nameLength, value);
        if (bound == nullptr) {
            reader.Fail("out of memory");
            break;
        }
        if (lend) adoption->value = bound;
        m_Values.push_back(bound);
    }
    if (reader.Error() == nullptr && !reader.AtEnd()) reader.Fail("trailing bytes after the map");
    if (reader.Error() == nullptr) return 1;

    KRClear(); // a lent value goes without its bytes: the buffer stays the caller's
    if (adoption) adoption->value = nullptr;
    t_DecodeRefusal = reader.Error();
    if (KesTraceOn(1)) KesTrace("CKesRecord::KOMDecode() refused %u bytes: %s.\n", length, reader.Error());
    return KES_ERR_DECODE;
}

bool CKesRecord::Adoption::Fits(const kesmsgpack::ValueRead& value) const
{
    if (value.type != KES_DT_STRING && value.type != KES_DT_BYTES) return false;
    if (value.length < ms_AdoptBytes) return false;
    // Its NUL must fit behind it, and the buffer must not hold much more than
    // the record: what it holds beyond stays with the value.
    const auto* at = reinterpret_cast<const unsigned char*>(value.bytes);
    const size_t end = static_cast<size_t>(at - buffer) + value.length;
    return end < capacity && capacity - value.length <= value.length / 8;
}

const char* CKesRecord::KOMDecodeRefusal() { return t_DecodeRefusal; }
