#include "CKesVarBind.h"

#include "KesMsgPack.h"

#include <cstdlib>
#include <cstring>
#include <new>

CKesVarBind::CKesVarBind(const char* name, const char* text) : m_Value(text)
{
    SetName(name, name != nullptr ? strlen(name) : 0);
}

CKesVarBind::CKesVarBind(const char* name, int value) : m_Value(value)
{
    SetName(name, name != nullptr ? strlen(name) : 0);
}

CKesVarBind::CKesVarBind(const char* name, const CKesAtom& value) : m_Value(value)
{
    SetName(name, name != nullptr ? strlen(name) : 0);
}

CKesVarBind::CKesVarBind(const CKesVarBind& other) : CKesListable(other), m_Value(other.m_Value)
{
    SetName(other.m_Name, other.m_NameLength);
}

CKesVarBind::~CKesVarBind()
{
    if (m_Name != m_ShortName) free(m_Name);
    free(m_Adopted);
}

// Copies length bytes of name (null only with length 0); out of memory
// leaves the name "".
void CKesVarBind::SetName(const char* name, size_t length)
{
    m_Name = m_ShortName;
    if (length < kShortName) {
        kesmsgpack::CopyShort(m_ShortName, name, length);
    } else {
        char* copy = static_cast<char*>(malloc(length + 1));
        if (copy != nullptr) {
            memcpy(copy, name, length);
            m_Name = copy;
        } else {
            length = 0;
        }
    }
    m_Name[length] = '\0';
    m_NameLength = length;
}

CKesVarBind* CKesVarBind::InBlock(void* block, const char* name, size_t nameLength,
                                  const kesmsgpack::ValueRead& read)
{
    auto* value = new (block) CKesVarBind(Unfilled{}, name, nameLength);
    CKesAtom& atom = value->m_Value;
    if (read.type == KES_DT_STRING || read.type == KES_DT_BYTES) {
        char* text = reinterpret_cast<char*>(value + 1);
        if (read.length != 0) memcpy(text, read.bytes, read.length);
        text[read.length] = '\0';
        atom.Lend(read.type, text, read.length);
    } else if (read.type == KES_DT_DOUBLE) {
        atom.m_Type = KES_DT_DOUBLE;
        atom.m_Value.d = read.real;
    } else {
        atom.m_Type = read.type;
        atom.m_Value.i = read.integer;
    }
    return value;
}

CKesVarBind* CKesVarBind::Lending(const char* name, size_t nameLength, const kesmsgpack::ValueRead& read)
{
    auto* value = new (std::nothrow) CKesVarBind(Unfilled{}, name, nameLength);
    if (value != nullptr) value->m_Value.Lend(read.type, const_cast<char*>(read.bytes), read.length);
    return value;
}

void CKesVarBind::Adopt(void* block)
{
    m_Value.m_Value.text[m_Value.m_Length] = '\0';
    m_Adopted = block;
}

CKesListable* CKesVarBind::KLTargetDeepCopy(const CKesListable* source)
{
    const CKesVarBind* value = dynamic_cast<const CKesVarBind*>(source);
    if (value == nullptr) return nullptr;
    return new (std::nothrow) CKesVarBind(*value);
}
