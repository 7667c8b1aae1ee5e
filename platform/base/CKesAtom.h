// CKesAtom: one typed value (int, long, 64-bit int, double, text or bytes).
// Owned by whoever created it; copies are deep. Not locked.
#pragma once

#include <cstddef>
#include <cstdint>

#include "KesDataType.h"

class CKesAtom {
public:
    CKesAtom();                       // no value (KES_DT_NONE)
    CKesAtom(int value);              // KES_DT_INT
    CKesAtom(long value);             // KES_DT_LONG
    CKesAtom(long long value);        // KES_DT_INT64 (the 64-bit constructor)
    CKesAtom(double value);           // KES_DT_DOUBLE
    CKesAtom(const char* text);       // KES_DT_STRING (copied); null gives no value
    CKesAtom(const void* bytes, size_t length); // KES_DT_BYTES (copied)
    CKesAtom(const CKesAtom& other);
    CKesAtom& operator=(const CKesAtom& other);
    ~CKesAtom();

    EKesDataType KAType() const { return m_Type; }
    // Integer value of an integer atom (truncated to int), the text of a text
    // atom parsed as decimal, 0 otherwise.
    int KAInt() const;
    long long KAInt64() const;
    double KADouble() const;
    // The text of a text atom, without transfer; null for other types.
    const char* KAString() const;
    // The bytes of a byte-string atom and their count; null for other types.
    const unsigned char* KABytes(size_t* length) const;
    // A new heap text (caller frees) of the value: integers in decimal,
    // doubles in shortest round-trip form, texts as they are, bytes as hex.
    // Null when there is no value or the allocation fails.
    char* KAStrRep() const;

    bool operator==(const CKesAtom& other) const;
    bool operator!=(const CKesAtom& other) const { return !(*this == other); }

private:
    void Release();
    void CopyFrom(const CKesAtom& other);

    EKesDataType m_Type; // which member of the union holds the value
    union {
        long long i;     // KES_DT_INT, KES_DT_LONG, KES_DT_INT64
        double d;        // KES_DT_DOUBLE
        char* text;      // KES_DT_STRING / KES_DT_BYTES: malloc'd, NUL-terminated
    } m_Value;
    size_t m_Length;     // byte count of text/bytes (without the NUL)
};
