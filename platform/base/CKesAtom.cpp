#include "CKesAtom.h"

#include <charconv>
#include <cmath>
#include <cstdlib>
#include <cstring>

namespace {

bool IsInteger(EKesDataType type)
{
    return type == KES_DT_INT || type == KES_DT_LONG || type == KES_DT_INT64;
}

char* CopyText(const char* text, size_t length)
{
    char* copy = static_cast<char*>(malloc(length + 1));
    if (copy == nullptr) return nullptr;
    memcpy(copy, text, length);
    copy[length] = '\0';
    return copy;
}

char* Decimal(long long value)
{
    char digits[24];
    auto result = std::to_chars(digits, digits + sizeof digits, value);
    return CopyText(digits, static_cast<size_t>(result.ptr - digits));
}

char* ShortestDouble(double value)
{
    if (std::isnan(value)) return strdup("nan");
    char digits[40];
    auto result = std::to_chars(digits, digits + sizeof digits, value);
    return CopyText(digits, static_cast<size_t>(result.ptr - digits));
}

char* LowerHex(const unsigned char* bytes, size_t length)
{
    static const char kDigits[] = "0123456789abcdef";
    char* hex = static_cast<char*>(malloc(length * 2 + 1));
    if (hex == nullptr) return nullptr;
    for (size_t i = 0; i < length; ++i) {
        hex[2 * i] = kDigits[bytes[i] >> 4];
        hex[2 * i + 1] = kDigits[bytes[i] & 0x0f];
    }
    hex[length * 2] = '\0';
    return hex;
}

} // namespace

CKesAtom::CKesAtom(const char* text) : CKesAtom()
{
    if (text != nullptr && SetBuffer(text, strlen(text))) m_Type = KES_DT_STRING;
}

CKesAtom::CKesAtom(const void* bytes, size_t length) : CKesAtom()
{
    if (bytes == nullptr && length != 0) return;
    if (SetBuffer(bytes, length)) m_Type = KES_DT_BYTES;
}

CKesAtom CKesAtom::KAText(const char* text, size_t length)
{
    CKesAtom atom;
    if (text != nullptr && atom.SetBuffer(text, length)) atom.m_Type = KES_DT_STRING;
    return atom;
}

CKesAtom::CKesAtom(const CKesAtom& other) : CKesAtom() { CopyFrom(other); }

CKesAtom& CKesAtom::operator=(const CKesAtom& other)
{
    if (this == &other) return *this;
    Release();
    CopyFrom(other);
    return *this;
}

// Expects an atom without value. An allocation failure leaves it so.
void CKesAtom::CopyFrom(const CKesAtom& other)
{
    if (!other.IsBuffer()) {
        m_Type = other.m_Type;
        m_Value = other.m_Value;
        return;
    }
    if (SetBuffer(other.m_Value.text, other.m_Length)) m_Type = other.m_Type;
}

int CKesAtom::KAInt() const { return static_cast<int>(KAInt64()); }

long long CKesAtom::KAInt64() const
{
    if (IsInteger(m_Type)) return m_Value.i;
    if (m_Type == KES_DT_STRING) return strtoll(m_Value.text, nullptr, 10);
    return 0;
}

double CKesAtom::KADouble() const
{
    if (m_Type == KES_DT_DOUBLE) return m_Value.d;
    if (IsInteger(m_Type)) return static_cast<double>(m_Value.i);
    if (m_Type == KES_DT_STRING) return strtod(m_Value.text, nullptr);
    return 0.0;
}

const unsigned char* CKesAtom::KABytes(size_t* length) const
{
    if (m_Type != KES_DT_BYTES) return nullptr;
    if (length != nullptr) *length = m_Length;
    return reinterpret_cast<const unsigned char*>(m_Value.text);
}

char* CKesAtom::KAStrRep() const
{
    switch (m_Type) {
    case KES_DT_INT:
    case KES_DT_LONG:
    case KES_DT_INT64: return Decimal(m_Value.i);
    case KES_DT_DOUBLE: return ShortestDouble(m_Value.d);
    case KES_DT_STRING: return CopyText(m_Value.text, m_Length);
    case KES_DT_BYTES: return LowerHex(reinterpret_cast<const unsigned char*>(m_Value.text), m_Length);
    case KES_DT_NONE: break;
    }
    return nullptr;
}

bool CKesAtom::operator==(const CKesAtom& other) const
{
    if (m_Type != other.m_Type) return false;
    if (IsInteger(m_Type)) return m_Value.i == other.m_Value.i;
    if (m_Type == KES_DT_DOUBLE) {
        if (std::isnan(m_Value.d) && std::isnan(other.m_Value.d)) return true;
        return m_Value.d == other.m_Value.d;
    }
    if (IsBuffer())
        return m_Length == other.m_Length && memcmp(m_Value.text, other.m_Value.text, m_Length) == 0;
    return true; // both without value
}
