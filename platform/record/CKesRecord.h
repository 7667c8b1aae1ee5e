// CKesRecord: the record every packet carries: named values, encoded by
// KOMEncode (CKesBaseRecord) and decoded by KOMDecode from bytes that may come
// from a hostile peer. Owned by whoever created it; not locked.
#pragma once

#include "CKesBaseRecord.h"

// Decoding failures (all negative): the input is malformed, truncated,
// carries trailing bytes, or is not one map of named values.
constexpr int KES_DECODE_MALFORMED = -220440;

class CKesRecord : public CKesBaseRecord {
public:
    CKesRecord() = default;
    CKesRecord(const CKesRecord& other) : CKesBaseRecord(other) {}
    ~CKesRecord() override = default;

    CKesListable* KLTargetDeepCopy(const CKesListable* source) override;
    // Database hooks of the record library; the system never calls them.
    virtual int BeginRead() { return 1; }
    virtual int EndRead() { return 1; }
    virtual int BeginWrite() { return 1; }
    virtual int EndWrite() { return 1; }
    virtual int UsedByDatabase() { return 1; }
    virtual int DroppedFromDatabase() { return 1; }

    // Fills an empty record from an encoding made by KOMEncode. 1 on success;
    // a negative code (the record left empty) for null bytes, a record that
    // is not empty, or any malformed, truncated or trailing input. Never reads
    // outside [bytes, bytes + length) and allocates no more than the input
    // justifies.
    int KOMDecode(const unsigned char* bytes, unsigned int length);
};
