#include "KesMsgPack.h"

#include <climits>
#include <cstring>

namespace kesmsgpack {

size_t IntSize(long long value)
{
    if (value >= 0) {
        if (value <= 0x7f) return 1;
        if (value <= 0xff) return 2;
        if (value <= 0xffff) return 3;
        return value <= 0xffffffffLL ? 5 : 9;
    }
    if (value >= -32) return 1;
    if (value >= INT8_MIN) return 2;
    if (value >= INT16_MIN) return 3;
    return value >= INT32_MIN ? 5 : 9;
}

size_t BinSize(size_t length)
{
    if (length <= 0xff) return 2 + length;
    return (length <= 0xffff ? 3 : 5) + length;
}

size_t OtherValueSize(const CKesAtom& atom)
{
    switch (atom.KAType()) {
    case KES_DT_INT:
    case KES_DT_LONG:
    case KES_DT_INT64: return IntSize(atom.KAInt64());
    case KES_DT_STRING: return StrSize(atom.KALength());
    case KES_DT_BYTES: return BinSize(atom.KALength());
    case KES_DT_DOUBLE: return kFloat64Size;
    case KES_DT_NONE: break;
    }
    return 0;
}

void Writer::BigEndian(uint64_t value, int bytes)
{
    for (int shift = (bytes - 1) * 8; shift >= 0; shift -= 8)
        Byte(static_cast<unsigned char>(value >> shift));
}

void Writer::LongMap(uint32_t count)
{
    if (count <= 0xffff) {
        Byte(0xde);
        BigEndian(count, 2);
    } else {
        Byte(0xdf);
        BigEndian(count, 4);
    }
}

void Writer::Int(long long value)
{
    const uint64_t bits = static_cast<uint64_t>(value);
    switch (IntSize(value)) {
    case 1:
        Byte(static_cast<unsigned char>(bits)); // positive or negative fixint
        return;
    case 2:
        Byte(value >= 0 ? 0xcc : 0xd0);
        BigEndian(bits, 1);
        return;
    case 3:
        Byte(value >= 0 ? 0xcd : 0xd1);
        BigEndian(bits, 2);
        return;
    case 5:
        Byte(value >= 0 ? 0xce : 0xd2);
        BigEndian(bits, 4);
        return;
    default:
        Byte(value >= 0 ? 0xcf : 0xd3);
        BigEndian(bits, 8);
        return;
    }
}

// str16 and str32 (StrHeader writes the shorter forms).
void Writer::LongStrHeader(size_t length)
{
    if (length <= 0xffff) {
        Byte(0xda);
        BigEndian(length, 2);
    } else {
        Byte(0xdb);
        BigEndian(length, 4);
    }
}

void Writer::Bin(const unsigned char* bytes, size_t length)
{
    if (length <= 0xff) {
        Byte(0xc4);
        BigEndian(length, 1);
    } else if (length <= 0xffff) {
        Byte(0xc5);
        BigEndian(length, 2);
    } else {
        Byte(0xc6);
        BigEndian(length, 4);
    }
    if (length != 0) memcpy(m_Out, bytes, length);
    m_Out += length;
}

void Writer::Float64(double value)
{
    uint64_t bits;
    memcpy(&bits, &value, sizeof bits);
    Byte(0xcb);
    BigEndian(bits, 8);
}

bool Writer::OtherValue(const CKesAtom& atom)
{
    size_t length = 0;
    switch (atom.KAType()) {
    case KES_DT_INT:
    case KES_DT_LONG:
    case KES_DT_INT64: Int(atom.KAInt64()); return true;
    case KES_DT_STRING: Str(atom.KAString(), atom.KALength()); return true;
    case KES_DT_BYTES: {
        const unsigned char* bytes = atom.KABytes(&length);
        Bin(bytes, length);
        return true;
    }
    case KES_DT_DOUBLE: Float64(atom.KADouble()); return true;
    case KES_DT_NONE: break;
    }
    return false;
}

// Anything but a fixmap (which MapHeader takes).
bool Reader::LongMapHeader(uint32_t* count)
{
    if (!Need(1, "empty input")) return false;
    const unsigned char lead = *m_Pos++;
    uint64_t value = 0;
    if (lead != 0xde && lead != 0xdf) {
        Fail("the encoding is not a map");
        return false;
    }
    if (!Unsigned(lead == 0xde ? 2 : 4, &value)) return false;
    // Every entry takes at least one byte of key and one of value.
    if (!Need(value * 2, "map count larger than the input")) return false;
    if (value > kMostValues) {
        Fail("more values than a record may hold");
        return false;
    }
    *count = static_cast<uint32_t>(value);
    return true;
}

bool Reader::Integer(long long number, ValueRead* value)
{
    value->type = number >= INT_MIN && number <= INT_MAX ? KES_DT_INT : KES_DT_INT64;
    value->integer = number;
    return true;
}

const char* Reader::Refusal(unsigned char lead)
{
    if (lead == 0xc0) return "nil value";
    if (lead == 0xc2 || lead == 0xc3) return "bool value";
    if (lead == 0xca) return "float32 value";
    if ((lead & 0xf0) == 0x90 || lead == 0xdc || lead == 0xdd) return "array value";
    if ((lead & 0xf0) == 0x80 || lead == 0xde || lead == 0xdf) return "nested map value";
    if (lead == 0xc7 || lead == 0xc8 || lead == 0xc9 || (lead >= 0xd4 && lead <= 0xd8)) return "ext value";
    return "unknown type byte";
}

bool Reader::NonStrValue(ValueRead* read)
{
    if (!Need(1, "truncated before a value")) return false;
    const unsigned char lead = *m_Pos++;
    if (lead <= 0x7f || lead >= 0xe0) return Integer(static_cast<signed char>(lead), read);
    uint64_t value = 0;
    switch (lead) {
    case 0xcc:
    case 0xcd:
    case 0xce:
    case 0xcf: {
        if (!Unsigned(1 << (lead - 0xcc), &value)) return false;
        if (value > static_cast<uint64_t>(INT64_MAX)) {
            Fail("uint64 above the largest signed 64-bit value");
            return false;
        }
        return Integer(static_cast<long long>(value), read);
    }
    case 0xd0:
    case 0xd1:
    case 0xd2:
    case 0xd3: {
        const int bytes = 1 << (lead - 0xd0);
        if (!Unsigned(bytes, &value)) return false;
        // Sign-extend from the width that was read.
        const int unused = 64 - 8 * bytes;
        const long long signedValue = static_cast<long long>(value << unused) >> unused;
        return Integer(signedValue, read);
    }
    case 0xc4:
    case 0xc5:
    case 0xc6: {
        if (!Unsigned(1 << (lead - 0xc4), &value)) return false;
        if (!Need(value, "bin length larger than the input")) return false;
        read->type = KES_DT_BYTES;
        read->bytes = reinterpret_cast<const char*>(m_Pos);
        read->length = static_cast<size_t>(value);
        m_Pos += value;
        return true;
    }
    case 0xcb: {
        if (!Unsigned(8, &value)) return false;
        double number;
        memcpy(&number, &value, sizeof number);
        read->type = KES_DT_DOUBLE;
        read->real = number;
        return true;
    }
    default: Fail(Refusal(lead)); return false;
    }
}

} // namespace kesmsgpack
