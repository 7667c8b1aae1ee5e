#include "CKesRecord.h"

#include <new>

#include "KesErrorCodes.h"
#include "KesMsgPack.h"
#include "KesPort.h"

namespace {

// The reason of the calling thread's last refused decode.
thread_local const char* t_DecodeRefusal = nullptr;

} // namespace

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
    // The count was checked against the input, so this is bounded by it.
    if (reader.MapHeader(&count)) m_Values.reserve(count);
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
