// CKesBaseRecord: a record of named values (CKesVarBind), kept in insertion
// order, and its encoding (one MessagePack map: names as str, integers as
// int, texts as str, doubles as float64, byte strings as bin).
// Created and destroyed by its owner; the record owns its values.
// Threads: one owner at a time; it takes no lock.
#pragma once

#include <vector>

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
    // null buffer: KES_ERR_ARGUMENT for null out-arguments, a value without a type or
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
    void KRClear();
    std::vector<CKesVarBind*> m_Values; // owned, insertion order
};
