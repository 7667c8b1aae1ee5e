// CKesString: a growable heap text; KSTakeString hands the text over.
// Created and destroyed by its owner; the text is freed with the string
// unless it was taken. Threads: one owner at a time; it takes no lock.
#pragma once

#include <cstddef>

#include "KesErrorCodes.h"

class CKesAtom;

class CKesString {
public:
    CKesString();                              // empty text
    explicit CKesString(int value);            // the value in decimal
    explicit CKesString(const char* text);     // a copy of text (null: empty)
    explicit CKesString(const CKesAtom& atom); // the atom's text form (KAStrRep)
    ~CKesString();

    // Reserves room for at least size bytes of text (an initial size).
    // 1, or KES_ERR_ALLOCATION when memory runs out.
    int KSReserve(size_t size);
    // Appends text / a decimal integer; 1, or KES_ERR_ALLOCATION when memory runs out.
    int KSStrCat(const char* text);
    int KSStrCat(long long value);
    int KSStrCat(int value) { return KSStrCat(static_cast<long long>(value)); }
    // The text, without transfer; never null ("" when empty).
    const char* KSString() const;
    size_t KSLength() const { return m_Length; }
    // Hands the malloc'd text to the caller (free() it); the string is empty
    // afterwards. An empty string hands over a fresh "". Null when memory
    // ran out.
    char* KSTakeString();

private:
    CKesString(const CKesString&) = delete;
    CKesString& operator=(const CKesString&) = delete;

    char* m_Text = nullptr; // malloc'd, NUL-terminated, or null while empty
    size_t m_Length = 0;    // bytes of text
    size_t m_Capacity = 0;  // bytes allocated
};
