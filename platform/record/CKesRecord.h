// CKesRecord: the record every packet carries: named values, encoded by
// KOMEncode (CKesBaseRecord) and decoded by KOMDecode from bytes that may come
// from a hostile peer.
// Created and destroyed by its owner (a work packet's reader, a sender).
// Threads: one owner at a time; it takes no lock.
#pragma once

#include <cstddef>
#include <new>

#include "CKesBaseRecord.h"
#include "KesErrorCodes.h"

namespace kesmsgpack {
struct ValueRead;
}

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
    // KES_ERR_ARGUMENT for null bytes or a record that is not empty (left as it is);
    // KES_ERR_DECODE (the record left empty) for any malformed, truncated or
    // trailing input, or a value type other than int, str, bin and float64
    // (the reason is traced at level 1 and kept for KOMDecodeRefusal). Never
    // reads outside [bytes, bytes + length) and allocates no more than the
    // input justifies.
    int KOMDecode(const unsigned char* bytes, unsigned int length);
    // Why the calling thread's last KOMDecode that returned KES_ERR_DECODE
    // refused its input (a fixed text, e.g. "a key is not a str"); null while
    // this thread has had no refusal. For the report of the caller that
    // passes the code on.
    static const char* KOMDecodeRefusal();
    // KOMDecode of a malloc'd buffer that holds length bytes of encoding in
    // capacity bytes (its usable size). A text or bytes value of at least
    // ms_AdoptBytes that fills all but an eighth of the buffer, with a byte
    // behind it for its closing NUL, is not copied: its bytes stay in the
    // buffer, and the buffer goes with that value (freed with it). *adopted
    // (when not null) tells whether it did so; otherwise, and on any
    // failure, the buffer stays the caller's, unchanged. KES_ERR_ARGUMENT
    // when capacity is smaller than length.
    int KOMDecodeAdopting(unsigned char* buffer, unsigned int length, size_t capacity, bool* adopted);
    static constexpr size_t ms_AdoptBytes = 1u << 20;

    // Records come and go at the rate of packets, mostly made and let go on
    // one worker thread: each thread keeps a few blocks of a record's size
    // for its next records (a derived class's larger blocks are not kept).
    // The blocks come from, and go back to, the global operator new and
    // delete, so a host's replacement of those still sees every block.
    static void* operator new(size_t size);
    static void* operator new(size_t size, const std::nothrow_t&) noexcept;
    static void* operator new(size_t, void* place) noexcept { return place; }
    static void operator delete(void* block, size_t size) noexcept;
    static void operator delete(void* block, const std::nothrow_t&) noexcept;
    static void operator delete(void*, void*) noexcept {}
    // Blocks the calling thread keeps now (for tests).
    static int KRKeptBlocks();

private:
    // The buffer whose large value a decode may leave in place.
    struct Adoption {
        const unsigned char* buffer;
        size_t capacity;
        CKesVarBind* value; // the value lent its bytes, or null
        bool Fits(const kesmsgpack::ValueRead& value) const;
    };
    int Decode(const unsigned char* bytes, unsigned int length, Adoption* adoption);
};
