// CKesVarBind: one named value of a record; owns its name and value.
// Created by whoever fills a record and usually handed to the record
// (CKesBaseRecord::KRAddValue), which destroys it with itself.
// Threads: one owner at a time; it takes no lock.
#pragma once

#include <cstddef>
#include <new>

#include "CKesAtom.h"
#include "CKesListable.h"

namespace kesmsgpack {
struct ValueRead;
}

class CKesVarBind : public CKesListable {
public:
    CKesVarBind(const char* name, const char* text);
    CKesVarBind(const char* name, int value);
    CKesVarBind(const char* name, const CKesAtom& value);
    CKesVarBind(const CKesVarBind& other);
    ~CKesVarBind() override;

    // The name; never null ("" when constructed with null or when memory ran out).
    const char* KVBName() const { return m_Name; }
    // The value, without transfer.
    CKesAtom* KVBValue() { return &m_Value; }
    const CKesAtom* KVBValue() const { return &m_Value; }
    // A new copy of source; null when source is no CKesVarBind.
    CKesListable* KLTargetDeepCopy(const CKesListable* source) override;

    // A value a record builds shares one block with its text (see InBlock), so
    // values are freed by the unsized release, which frees such a block as
    // well as a plain one. The allocation forms match it and are the global
    // ones (plain, nothrow, placement).
    static void* operator new(size_t size) { return ::operator new(size); }
    static void* operator new(size_t size, const std::nothrow_t&) noexcept
    {
        return ::operator new(size, std::nothrow);
    }
    static void* operator new(size_t, void* place) noexcept { return place; }
    static void operator delete(void* block) noexcept { ::operator delete(block); }
    static void operator delete(void* block, const std::nothrow_t&) noexcept { ::operator delete(block); }
    static void operator delete(void*, void*) noexcept {}

private:
    friend class CKesBaseRecord; // builds its values in blocks of its own

    // Bytes of a block for a value of type with length bytes of text or
    // bytes (ignored for a number), rounded to the alignment of a var bind.
    static size_t BlockSize(EKesDataType type, size_t length)
    {
        size_t size = sizeof(CKesVarBind);
        if (type == KES_DT_STRING || type == KES_DT_BYTES) size += length + 1;
        return (size + alignof(CKesVarBind) - 1) & ~(alignof(CKesVarBind) - 1);
    }
    // Builds in block (BlockSize bytes) the value named by nameLength bytes
    // of name; a text or bytes are copied right behind the var bind and lent
    // to its atom.
    static CKesVarBind* InBlock(void* block, const char* name, size_t nameLength,
                                const kesmsgpack::ValueRead& read);
    // A new value named by nameLength bytes of name whose text or bytes stay
    // where read found them, lent to its atom (a large value of a decoded
    // record); null when memory ran out. The bytes stay the caller's until
    // Adopt.
    static CKesVarBind* Lending(const char* name, size_t nameLength, const kesmsgpack::ValueRead& read);
    // The malloc'd block that holds the lent bytes, with room for a NUL right
    // behind them, goes with this value from now on.
    void Adopt(void* block);

    CKesVarBind& operator=(const CKesVarBind&) = delete;
    // A value without value named by nameLength bytes of name (InBlock).
    struct Unfilled {};
    CKesVarBind(Unfilled, const char* name, size_t nameLength) { SetName(name, nameLength); }
    void SetName(const char* name, size_t length);

    // Most names are short: they live in m_ShortName, which saves an
    // allocation per value; a longer one gets a heap copy.
    static constexpr size_t kShortName = 24; // bytes, with the closing NUL
    char* m_Name;                            // m_ShortName or a malloc'd copy; never null
    size_t m_NameLength;                     // bytes of m_Name before its NUL
    char m_ShortName[kShortName];            // the name when it fits
    CKesAtom m_Value;                        // the value
    void* m_Adopted = nullptr;               // malloc'd block m_Value's bytes are lent from, or null
};
