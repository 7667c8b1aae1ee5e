#include "CKesBaseRecord.h"

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <new>

#include "CKesError.h"
#include "KesErrorCodes.h"
#include "KesMsgPack.h"

namespace {
constexpr int kBadArgument = KES_ERR_ARGUMENT;
constexpr int kNoMemory = KES_ERR_ALLOCATION;
} // namespace

CKesBaseRecord::CKesBaseRecord(const CKesBaseRecord& other) : CKesListable(other)
{
    m_Values.reserve(other.m_Values.size());
    for (const CKesVarBind* value : other.m_Values) m_Values.push_back(new CKesVarBind(*value));
}

CKesBaseRecord::~CKesBaseRecord() { KRClear(); }

CKesBaseRecord::ValueTable::~ValueTable()
{
    if (m_Items != m_Inline) free(m_Items);
}

void CKesBaseRecord::ValueTable::Grow(size_t capacity)
{
    if (capacity > SIZE_MAX / sizeof(CKesVarBind*)) throw std::bad_alloc();
    auto* items = static_cast<CKesVarBind**>(malloc(capacity * sizeof(CKesVarBind*)));
    if (items == nullptr) throw std::bad_alloc();
    memcpy(items, m_Items, m_Size * sizeof(CKesVarBind*));
    if (m_Items != m_Inline) free(m_Items);
    m_Items = items;
    m_Capacity = capacity;
}

void CKesBaseRecord::KRClear()
{
    for (CKesVarBind* value : m_Values) {
        if (InRoom(value))
            value->CKesVarBind::~CKesVarBind(); // built there as exactly a CKesVarBind
        else
            delete value;
    }
    m_Values.clear();
    m_RoomUsed = 0;
}

CKesVarBind* CKesBaseRecord::KRNewValue(const char* name, size_t nameLength,
                                        const kesmsgpack::ValueRead& read)
{
    // A length from the input was checked against the input, so it cannot overflow here.
    const size_t size = CKesVarBind::BlockSize(read.type, read.length);
    void* block = nullptr;
    if (size <= kRoom - m_RoomUsed) {
        block = m_Room + m_RoomUsed;
        m_RoomUsed += size;
    } else {
        block = ::operator new(size, std::nothrow);
        if (block == nullptr) return nullptr;
    }
    return CKesVarBind::InBlock(block, name, nameLength, read);
}

CKesVarBind* CKesBaseRecord::KRNewLentValue(const char* name, size_t nameLength,
                                            const kesmsgpack::ValueRead& read)
{
    return CKesVarBind::Lending(name, nameLength, read);
}

void CKesBaseRecord::KRAdoptBlock(CKesVarBind* value, void* block) { value->Adopt(block); }

int CKesBaseRecord::KRAddValue(CKesVarBind* value)
{
    if (value == nullptr) return kBadArgument;
    if (value->KVBValue()->KAType() == KES_DT_NONE) {
        CKesError(kBadArgument, "CKesBaseRecord", __LINE__, "a record value needs a value type");
        delete value;
        return kBadArgument;
    }
    m_Values.push_back(value);
    return 1;
}

int CKesBaseRecord::KRAddValue(const char* name, const char* text)
{
    if (name == nullptr || text == nullptr) {
        CKesError(kBadArgument, "CKesBaseRecord", __LINE__, "a record value needs a name and a text");
        return kBadArgument;
    }
    kesmsgpack::ValueRead read;
    read.type = KES_DT_STRING;
    read.bytes = text;
    read.length = strlen(text);
    return AddNew(name, read);
}

int CKesBaseRecord::KRAddValue(const char* name, const CKesAtom& value)
{
    if (name == nullptr) {
        CKesError(kBadArgument, "CKesBaseRecord", __LINE__, "a record value needs a name");
        return kBadArgument;
    }
    kesmsgpack::ValueRead read;
    read.type = value.KAType();
    switch (read.type) {
    case KES_DT_STRING: read.bytes = value.KAString(); break;
    case KES_DT_BYTES: read.bytes = reinterpret_cast<const char*>(value.KABytes(nullptr)); break;
    case KES_DT_DOUBLE: read.real = value.KADouble(); break;
    case KES_DT_NONE: return KRAddValue(new CKesVarBind(name, value)); // refused and reported there
    default: read.integer = value.KAInt64(); break;
    }
    read.length = value.KALength();
    return AddNew(name, read);
}

// Like a new CKesVarBind, out of memory throws std::bad_alloc.
int CKesBaseRecord::AddNew(const char* name, const kesmsgpack::ValueRead& read)
{
    CKesVarBind* value = KRNewValue(name, strlen(name), read);
    if (value == nullptr) throw std::bad_alloc();
    m_Values.push_back(value);
    return 1;
}

namespace {

// strcmp(a, b) == 0 for the short names of records, without a library call.
bool SameName(const char* a, const char* b)
{
    while (*a == *b) {
        if (*a == '\0') return true;
        ++a;
        ++b;
    }
    return false;
}

} // namespace

CKesAtom* CKesBaseRecord::KRValueOf(const char* name) const
{
    if (name == nullptr) return nullptr;
    for (CKesVarBind* value : m_Values) {
        if (SameName(value->m_Name, name)) return value->KVBValue();
    }
    return nullptr;
}

const CKesVarBind* CKesBaseRecord::KRValueAt(int index) const
{
    if (index < 0 || index >= KRCount()) return nullptr;
    return m_Values[static_cast<size_t>(index)];
}

void CKesBaseRecord::KRPrint() const
{
    for (const CKesVarBind* value : m_Values) {
        char* text = value->KVBValue()->KAStrRep();
        printf("%s = %s\n", value->KVBName(), text != nullptr ? text : "(no value)");
        free(text);
    }
    fflush(stdout);
}

int CKesBaseRecord::KOMEncode(unsigned char** buffer, unsigned int* length) const
{
    return KOMEncode(buffer, length, 0);
}

int CKesBaseRecord::KOMEncode(unsigned char** buffer, unsigned int* length, unsigned int headroom) const
{
    if (buffer == nullptr || length == nullptr) return kBadArgument;
    *buffer = nullptr;
    *length = 0;
    unsigned int total = 0;
    const int sized = KOMEncodedLength(&total);
    if (sized != 1) return sized;
    unsigned char* out = static_cast<unsigned char*>(malloc(size_t(headroom) + total));
    if (out == nullptr) return kNoMemory;
    KOMEncodeInto(out + headroom);
    *buffer = out;
    *length = total;
    return 1;
}

int CKesBaseRecord::KOMEncodedLength(unsigned int* length) const
{
    if (length == nullptr) return kBadArgument;
    *length = 0;
    if (m_Values.size() > kesmsgpack::kMostValues) {
        CKesError(kBadArgument, "CKesBaseRecord", __LINE__,
                  "a record of more values than a receiver decodes cannot be encoded");
        return kBadArgument;
    }
    size_t total = kesmsgpack::MapHeaderSize(m_Values.size());
    for (const CKesVarBind* value : m_Values) {
        const size_t valueSize = kesmsgpack::ValueSize(value->m_Value);
        if (valueSize == 0) {
            CKesError(kBadArgument, "CKesBaseRecord", __LINE__,
                      "a record value without a type cannot be encoded");
            return kBadArgument;
        }
        total += kesmsgpack::StrSize(value->m_NameLength) + valueSize;
    }
    if (total > UINT32_MAX) return kBadArgument;
    *length = static_cast<unsigned int>(total);
    return 1;
}

void CKesBaseRecord::KOMEncodeInto(unsigned char* out) const
{
    kesmsgpack::Writer writer(out);
    writer.Map(static_cast<uint32_t>(m_Values.size()));
    for (const CKesVarBind* value : m_Values) {
        if (value->m_NameLength < CKesVarBind::kShortName)
            writer.ShortStr(value->m_Name, value->m_NameLength);
        else
            writer.Str(value->m_Name, value->m_NameLength);
        writer.Value(value->m_Value);
    }
}
