// CKesBaseRecord: a record of named values (CKesVarBind), kept in insertion
// order, and its encoding (one MessagePack map: names as str, integers as
// int, texts as str, doubles as float64, byte strings as bin).
// Created and destroyed by its owner; the record owns its values.
// Threads: one owner at a time; it takes no lock.
#pragma once

#include <cstddef>
#include <cstdint>

#include "CKesListable.h"
#include "CKesVarBind.h"
#include "KesErrorCodes.h"

class CKesBaseRecord : public CKesListable {
public:
    CKesBaseRecord() = default;
    CKesBaseRecord(const CKesBaseRecord& other);
    CKesBaseRecord& operator=(const CKesBaseRecord&) = delete;
    ~CKesBaseRecord() override;

    // Adds the value, which the record takes over (also on failure, when it
    // is deleted). 1, or KES_ERR_ARGUMENT for a null value or one without a value
    // type (it could never be encoded).
    int KRAddValue(CKesVarBind* value);
    // Adds a text / atom value under the name. 1, or KES_ERR_ARGUMENT for a null name
    // or a null text / an atom without a value (nothing is added).
    int KRAddValue(const char* name, const char* text);
    int KRAddValue(const char* name, const CKesAtom& value);
    // The first value of that name (the record keeps it), or null.
    CKesAtom* KRValueOf(const char* name) const;
    int KRCount() const { return static_cast<int>(m_Values.size()); }
    // The value at index in insertion order, or null.
    const CKesVarBind* KRValueAt(int index) const;
    // Prints the record to standard output, one "name = value" line per
    // value (trace use), and flushes.
    void KRPrint() const;
    // Writes a new malloc'd buffer with the encoding and its length into the
    // out-arguments (one allocation). 1; on failure a negative code and a
    // null buffer: KES_ERR_ARGUMENT for null out-arguments, a value without a type,
    // more values than a receiver decodes (kesmsgpack::kMostValues, reported) or
    // an encoding longer than 4 GiB, KES_ERR_ALLOCATION when memory runs out.
    int KOMEncode(unsigned char** buffer, unsigned int* length) const;
    // The same with `headroom` bytes left unwritten before the encoding (for
    // a frame header): the buffer holds headroom + *length bytes, *length
    // counts the encoding only.
    int KOMEncode(unsigned char** buffer, unsigned int* length, unsigned int headroom) const;
    // The length of the encoding into *length, for a caller that writes it
    // into a buffer of its own (KOMEncodeInto). 1, or KES_ERR_ARGUMENT (reported
    // for a value without a type) as KOMEncode.
    int KOMEncodedLength(unsigned int* length) const;
    // Writes the encoding into out, which has room for KOMEncodedLength bytes;
    // only after KOMEncodedLength returned 1 for the unchanged record.
    void KOMEncodeInto(unsigned char* out) const;

protected:
    // The value table: a few values in the record itself, so that a small
    // record costs no allocation for it; beyond that one heap table.
    class ValueTable {
    public:
        ValueTable() = default;
        ValueTable(const ValueTable&) = delete;
        ValueTable& operator=(const ValueTable&) = delete;
        ~ValueTable();

        size_t size() const { return m_Size; }
        bool empty() const { return m_Size == 0; }
        CKesVarBind* operator[](size_t index) const { return m_Items[index]; }
        CKesVarBind* const* begin() const { return m_Items; }
        CKesVarBind* const* end() const { return m_Items + m_Size; }
        // Room for count values; throws std::bad_alloc when memory runs out.
        void reserve(size_t count)
        {
            if (count > m_Capacity) Grow(count);
        }
        // Throws std::bad_alloc when memory runs out (nothing is added).
        void push_back(CKesVarBind* value)
        {
            if (m_Size == m_Capacity) Grow(2 * m_Capacity);
            m_Items[m_Size++] = value;
        }
        // Forgets the values (the caller deleted them); keeps the room.
        void clear() { m_Size = 0; }

    private:
        void Grow(size_t capacity);

        static constexpr size_t kInline = 4;
        CKesVarBind** m_Items = m_Inline; // m_Inline or a malloc'd table
        size_t m_Size = 0;                // values held
        size_t m_Capacity = kInline;      // room in m_Items
        CKesVarBind* m_Inline[kInline];   // the table of a small record
    };

    // Deletes the values (those in the record's room in place) and empties
    // the room.
    void KRClear();
    // A new value named by nameLength bytes of name, holding a copy of what
    // read describes, in one block with its text or bytes: in the record's
    // own room while it lasts, else on the heap. Null when memory ran out.
    // The caller adds it to m_Values.
    CKesVarBind* KRNewValue(const char* name, size_t nameLength, const kesmsgpack::ValueRead& read);
    // A new value whose text or bytes stay where read found them, lent until
    // the caller hands it their block (CKesVarBind::Adopt, through
    // KRAdoptBlock); null when memory ran out. The caller adds it to m_Values.
    static CKesVarBind* KRNewLentValue(const char* name, size_t nameLength,
                                       const kesmsgpack::ValueRead& read);
    static void KRAdoptBlock(CKesVarBind* value, void* block);

    ValueTable m_Values; // owned, insertion order

private:
    int AddNew(const char* name, const kesmsgpack::ValueRead& read);
    bool InRoom(const CKesVarBind* value) const
    {
        return reinterpret_cast<uintptr_t>(value) - reinterpret_cast<uintptr_t>(m_Room) < kRoom;
    }

    // Room for the first values decoded or added by name, so that a small
    // record is one allocation: one value with a text of about a hundred
    // bytes, or two numbers.
    static constexpr size_t kRoom = 200;
    size_t m_RoomUsed = 0;                            // bytes of m_Room holding values
    alignas(CKesVarBind) unsigned char m_Room[kRoom]; // values built in place
};
