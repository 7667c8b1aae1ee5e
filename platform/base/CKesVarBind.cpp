#include "CKesVarBind.h"

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

CKesVarBind::CKesVarBind(const char* name, size_t nameLength, CKesAtom&& value) : m_Value(std::move(value))
{
    SetName(name, name != nullptr ? nameLength : 0);
}

CKesVarBind::CKesVarBind(const CKesVarBind& other) : CKesListable(other), m_Value(other.m_Value)
{
    SetName(other.m_Name, other.m_NameLength);
}

CKesVarBind::~CKesVarBind()
{
    if (m_Name != m_ShortName) free(m_Name);
}

// Copies length bytes of name (null only with length 0); out of memory
// leaves the name "".
void CKesVarBind::SetName(const char* name, size_t length)
{
    m_Name = m_ShortName;
    if (length >= kShortName) {
        char* copy = static_cast<char*>(malloc(length + 1));
        if (copy == nullptr)
            length = 0;
        else
            m_Name = copy;
    }
    if (length != 0) memcpy(m_Name, name, length);
    m_Name[length] = '\0';
    m_NameLength = length;
}

CKesVarBind* CKesVarBind::InBlock(void* block, const char* name, size_t nameLength, EKesDataType type,
                                  const CKesAtom& number, const void* bytes, size_t length)
{
    auto* value = new (block) CKesVarBind(Unfilled{}, name, nameLength);
    if (type != KES_DT_STRING && type != KES_DT_BYTES) {
        value->m_Value.m_Type = number.m_Type;
        value->m_Value.m_Value = number.m_Value;
        return value;
    }
    char* text = reinterpret_cast<char*>(value + 1);
    if (length != 0) memcpy(text, bytes, length);
    text[length] = '\0';
    value->m_Value.Lend(type, text, length);
    return value;
}

CKesListable* CKesVarBind::KLTargetDeepCopy(const CKesListable* source)
{
    const CKesVarBind* value = dynamic_cast<const CKesVarBind*>(source);
    if (value == nullptr) return nullptr;
    return new (std::nothrow) CKesVarBind(*value);
}
