#include "CKesVarBind.h"

#include <cstdlib>
#include <cstring>
#include <new>

namespace {

char* CopyName(const char* name, size_t length)
{
    char* copy = static_cast<char*>(malloc(length + 1));
    if (copy == nullptr) return nullptr;
    if (length != 0) memcpy(copy, name, length);
    copy[length] = '\0';
    return copy;
}

char* CopyName(const char* name) { return name != nullptr ? CopyName(name, strlen(name)) : CopyName("", 0); }

} // namespace

CKesVarBind::CKesVarBind(const char* name, const char* text) : m_Name(CopyName(name)), m_Value(text) {}

CKesVarBind::CKesVarBind(const char* name, int value) : m_Name(CopyName(name)), m_Value(value) {}

CKesVarBind::CKesVarBind(const char* name, const CKesAtom& value) : m_Name(CopyName(name)), m_Value(value) {}

CKesVarBind::CKesVarBind(const char* name, size_t nameLength, CKesAtom&& value)
    : m_Name(name != nullptr ? CopyName(name, nameLength) : CopyName("", 0)), m_Value(std::move(value))
{
}

CKesVarBind::CKesVarBind(const CKesVarBind& other)
    : CKesListable(other), m_Name(CopyName(other.KVBName())), m_Value(other.m_Value)
{
}

CKesVarBind::~CKesVarBind() { free(m_Name); }

CKesListable* CKesVarBind::KLTargetDeepCopy(const CKesListable* source)
{
    const CKesVarBind* value = dynamic_cast<const CKesVarBind*>(source);
    if (value == nullptr) return nullptr;
    return new (std::nothrow) CKesVarBind(*value);
}
