// CKesAtom: one typed value (int, long, 64-bit int, double, text or bytes).
// Created and destroyed by its owner (often a CKesVarBind); copies are deep.
// Threads: one owner at a time; it takes no lock.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>

#include "KesDataType.h"

class CKesVarBind;

class CKesAtom {
public:
    // What copies nothing (the plain constructors, the moves, the destructor)
    // is inline: a decoded record makes and destroys an atom per value.
    CKesAtom() : m_Type(KES_DT_NONE), m_Length(0) { m_Value.i = 0; }                     // no value
    CKesAtom(int value) : m_Type(KES_DT_INT), m_Length(0) { m_Value.i = value; }         // KES_DT_INT
    CKesAtom(long value) : m_Type(KES_DT_LONG), m_Length(0) { m_Value.i = value; }       // KES_DT_LONG
    CKesAtom(long long value) : m_Type(KES_DT_INT64), m_Length(0) { m_Value.i = value; } // KES_DT_INT64
    CKesAtom(double value) : m_Type(KES_DT_DOUBLE), m_Length(0) { m_Value.d = value; }   // KES_DT_DOUBLE
    CKesAtom(const char* text);                 // KES_DT_STRING (copied); null gives no value
    CKesAtom(const void* bytes, size_t length); // KES_DT_BYTES (copied)
    CKesAtom(const CKesAtom& other);
    CKesAtom(CKesAtom&& other) noexcept : CKesAtom() { TakeFrom(other); }
    CKesAtom& operator=(const CKesAtom& other);
    CKesAtom& operator=(CKesAtom&& other) noexcept
    {
        if (this == &other) return *this;
        Release();
        TakeFrom(other);
        return *this;
    }
    ~CKesAtom() { Release(); }

    // A text atom of exactly length bytes, which may include NUL bytes
    // (null text with a length gives no value).
    static CKesAtom KAText(const char* text, size_t length);

    EKesDataType KAType() const { return m_Type; }
    // Integer value of an integer atom (truncated to int), the text of a text
    // atom parsed as decimal, 0 otherwise.
    int KAInt() const;
    long long KAInt64() const;
    // The value of a double or integer atom, a text parsed as a number, else 0.
    double KADouble() const;
    // The text of a text atom, without transfer; null for other types. Read
    // as a C string it ends at the first NUL byte; KALength has the full count.
    const char* KAString() const { return m_Type == KES_DT_STRING ? m_Value.text : nullptr; }
    // The bytes of a byte-string atom and their count; null for other types.
    const unsigned char* KABytes(size_t* length) const;
    // Byte count of a text or byte-string atom (without the closing NUL); 0
    // for other types.
    size_t KALength() const { return IsBuffer() ? m_Length : 0; }
    // A new heap text (caller frees) of the value: integers in decimal,
    // doubles in the shortest form that reads back equal ("inf", "-inf",
    // "nan" for the special values), texts as they are (all their bytes,
    // NUL-terminated), bytes as lowercase hex.
    // Null when there is no value or the allocation fails.
    char* KAStrRep() const;

    // Same type and same value. Texts and bytes compare every byte; doubles
    // compare as numbers, except that NaN equals NaN (so a copy equals its
    // source).
    bool operator==(const CKesAtom& other) const;
    bool operator!=(const CKesAtom& other) const { return !(*this == other); }

private:
    friend class CKesVarBind; // a value built in a block fills its atom, lending it its text

    bool IsBuffer() const { return m_Type == KES_DT_STRING || m_Type == KES_DT_BYTES; }
    void Release()
    {
        if (IsBuffer() && !m_Lent) free(m_Value.text);
        m_Lent = false;
        m_Type = KES_DT_NONE;
        m_Value.i = 0;
        m_Length = 0;
    }
    void CopyFrom(const CKesAtom& other);
    // A lent text stays with its lender: the taker gets a copy of it.
    void TakeFrom(CKesAtom& other)
    {
        if (other.m_Lent) {
            CopyFrom(other);
            other.Release();
            return;
        }
        m_Type = other.m_Type;
        m_Value = other.m_Value;
        m_Length = other.m_Length;
        other.m_Type = KES_DT_NONE;
        other.m_Value.i = 0;
        other.m_Length = 0;
    }
    // Takes a NUL-terminated copy of length bytes; false when memory ran out.
    bool SetBuffer(const void* data, size_t length)
    {
        char* copy = static_cast<char*>(malloc(length + 1));
        if (copy == nullptr) return false;
        if (length != 0) memcpy(copy, data, length);
        copy[length] = '\0';
        m_Value.text = copy;
        m_Length = length;
        return true;
    }

    // Gives the atom a buffer value it does not own: text (NUL-terminated,
    // length bytes before the NUL) lives as long as the lender. Expects an
    // atom without value.
    void Lend(EKesDataType type, char* text, size_t length)
    {
        m_Type = type;
        m_Lent = true;
        m_Value.text = text;
        m_Length = length;
    }

    EKesDataType m_Type; // which member of the union holds the value
    bool m_Lent = false; // text/bytes belong to the lender (not freed here)
    union {
        long long i; // KES_DT_INT, KES_DT_LONG, KES_DT_INT64
        double d;    // KES_DT_DOUBLE
        char* text;  // KES_DT_STRING / KES_DT_BYTES: malloc'd (or lent), NUL-terminated
    } m_Value;
    size_t m_Length; // byte count of text/bytes (without the NUL)
};
