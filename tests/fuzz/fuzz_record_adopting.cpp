// Feeds the decoder that leaves a large value in its buffer the arbitrary
// bytes of a record with one or two values of about the size it leaves in
// place spliced in, in a buffer with each kind of room behind them that its
// rule tells apart. It must accept and refuse exactly what the copying
// decoder does and read the same values; a buffer it refuses or does not
// keep stays the caller's as it was; a buffer it keeps ends each value it
// lends with a NUL and goes with the record (the sanitizers catch a buffer
// freed twice or never).
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "CKesRecord.h"
#include "FuzzChecks.h"

namespace {

using ksxfuzz::Check;
using ksxfuzz::SameContent;

// A text (str 32) or bytes (bin 32) value header and body of size bytes.
void AppendLarge(std::vector<unsigned char>& out, bool bytes, uint32_t size, unsigned char fill)
{
    out.push_back(bytes ? 0xc6 : 0xdb);
    for (int shift = 24; shift >= 0; shift -= 8) out.push_back(static_cast<unsigned char>(size >> shift));
    out.insert(out.end(), size, fill);
}

// The room behind a record of length bytes with a value of large bytes that
// the rule tells apart: none, the NUL's byte, a little more, just under, at
// and just over the most that still leaves the value in place (the buffer
// beyond the value at most an eighth of the value), or as much again.
size_t Capacity(size_t length, uint32_t large, unsigned char choice)
{
    const size_t most = large + large / 8; // the largest buffer that keeps it
    const size_t edge = most > length ? most : length;
    switch (choice % 8) {
    case 0: return length;
    case 1: return length + 1;
    case 2: return length + 2;
    case 3: return edge > length ? edge - 1 : length;
    case 4: return edge;
    case 5: return edge + 1;
    case 6: return length + 64;
    default: return 2 * length;
    }
}

// Every text value is NUL-terminated, wherever its bytes are.
bool TextsEndInNul(const CKesRecord& record)
{
    for (int i = 0; i < record.KRCount(); ++i) {
        const CKesAtom* value = record.KRValueAt(i)->KVBValue();
        if (value->KAType() == KES_DT_STRING && value->KAString()[value->KALength()] != '\0') return false;
    }
    return true;
}

} // namespace

// Input: flags (bit 0 bytes rather than text, bit 1 a second value), the
// size's distance from the threshold, the room, the byte the values are
// made of, two splice positions, then the record's other bytes.
extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    constexpr size_t kControl = 6;
    if (size < kControl || size > 4096) return 0;
    const bool bytes = data[0] & 1, twice = data[0] & 2;
    const uint32_t large = static_cast<uint32_t>(CKesRecord::ms_AdoptBytes) + data[1] - 128;
    const uint8_t* rest = data + kControl;
    const size_t restSize = size - kControl;
    const size_t first = data[4] % (restSize + 1), second = twice ? data[5] % (restSize + 1) : restSize + 1;

    std::vector<unsigned char> record;
    for (size_t at = 0; at <= restSize; ++at) {
        if (at == first) AppendLarge(record, bytes, large, data[3]);
        if (at == second) AppendLarge(record, bytes, large, data[3]);
        if (at < restSize) record.push_back(rest[at]);
    }
    const unsigned int length = static_cast<unsigned int>(record.size());
    const size_t capacity = Capacity(length, large, data[2]);
    auto* buffer = static_cast<unsigned char*>(malloc(capacity));
    Check(buffer != nullptr);
    memcpy(buffer, record.data(), length);

    CKesRecord copied;
    const int expected = copied.KOMDecode(record.data(), length);
    auto* inPlace = new CKesRecord;
    bool adopted = false;
    const int result = inPlace->KOMDecodeAdopting(buffer, length, capacity, &adopted);
    Check(result == expected);
    if (result == 1) {
        Check(SameContent(copied, *inPlace));
        Check(TextsEndInNul(*inPlace));
    } else {
        Check(!adopted && inPlace->KRCount() == 0);
    }
    if (!adopted) {
        Check(memcmp(buffer, record.data(), length) == 0);
        free(buffer);
    }
    delete inPlace; // frees a kept buffer
    return 0;
}
