#include "CKesString.h"

#include <charconv>
#include <cstdint>
#include <cstdlib>
#include <cstring>

#include "CKesAtom.h"
#include "KesErrorCodes.h"

namespace {
constexpr int kNoMemory = KES_ERR_ALLOCATION;
}

CKesString::CKesString() = default;

CKesString::CKesString(int value) { KSStrCat(static_cast<long long>(value)); }

CKesString::CKesString(const char* text) { KSStrCat(text); }

CKesString::CKesString(const CKesAtom& atom)
{
    char* text = atom.KAStrRep();
    if (text == nullptr) return;
    // Take the rendered text over instead of copying it.
    m_Text = text;
    m_Length = strlen(text);
    m_Capacity = m_Length + 1;
}

CKesString::~CKesString() { free(m_Text); }

int CKesString::KSReserve(size_t size)
{
    if (size == SIZE_MAX) return kNoMemory; // no room for the NUL
    if (size + 1 <= m_Capacity) return 1;
    char* grown = static_cast<char*>(realloc(m_Text, size + 1));
    if (grown == nullptr) return kNoMemory;
    if (m_Text == nullptr) grown[0] = '\0';
    m_Text = grown;
    m_Capacity = size + 1;
    return 1;
}

int CKesString::KSStrCat(const char* text)
{
    if (text == nullptr) return 1;
    size_t added = strlen(text);
    size_t needed = m_Length + added;
    // A text from this string itself moves when the string grows.
    const uintptr_t at = reinterpret_cast<uintptr_t>(text), start = reinterpret_cast<uintptr_t>(m_Text);
    const bool own = m_Text != nullptr && at >= start && at <= start + m_Length;
    const size_t offset = own ? at - start : 0;
    // Grow geometrically so that repeated appends stay linear.
    if (needed + 1 > m_Capacity && KSReserve(needed > 2 * m_Length ? needed : 2 * m_Length) != 1)
        return kNoMemory;
    if (own) text = m_Text + offset;
    memmove(m_Text + m_Length, text, added + 1);
    m_Length = needed;
    return 1;
}

int CKesString::KSStrCat(long long value)
{
    char digits[24];
    auto result = std::to_chars(digits, digits + sizeof digits - 1, value);
    *result.ptr = '\0';
    return KSStrCat(digits);
}

const char* CKesString::KSString() const { return m_Text != nullptr ? m_Text : ""; }

char* CKesString::KSTakeString()
{
    char* text = m_Text != nullptr ? m_Text : strdup("");
    m_Text = nullptr;
    m_Length = 0;
    m_Capacity = 0;
    return text;
}
