// KesMsgPack (internal to the platform libraries): the writer and reader of
// the record encoding, one MessagePack map of named values. Used only by
// CKesBaseRecord::KOMEncode and CKesRecord::KOMDecode; not part of the
// library's interface.
// The writer fills a buffer sized beforehand with the Size functions, so an
// encoding costs one allocation. The reader never reads outside
// [begin, end) and checks every declared length or count against the bytes
// that remain before anyone allocates for it.
// Plain functions and stack objects: any thread, no locks.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>

#include "CKesAtom.h"

namespace kesmsgpack {

// The most values a record may hold, encoded or decoded. A decoded value
// costs about a hundred bytes of memory for as little as two bytes of input,
// so the count, not the input's length, bounds what one decode allocates
// (about 26 MiB at most). Four times the largest map16.
constexpr uint32_t kMostValues = 262144;

// Encoded sizes of the smallest forms. Those of every record (map header,
// names, texts) are inline: the encoder is called from other libraries.
inline size_t MapHeaderSize(size_t count)
{
    if (count <= 15) return 1;
    return count <= 0xffff ? 3 : 5;
}
size_t IntSize(long long value);
inline size_t StrSize(size_t length) // header and bytes
{
    if (length <= 31) return 1 + length;
    if (length <= 0xff) return 2 + length;
    return (length <= 0xffff ? 3 : 5) + length;
}
size_t BinSize(size_t length); // header and bytes
constexpr size_t kFloat64Size = 9;
// Size of the atom's value, or 0 when it has no value. Texts, the common
// values, take no call.
size_t OtherValueSize(const CKesAtom& atom);
inline size_t ValueSize(const CKesAtom& atom)
{
    return atom.KAType() == KES_DT_STRING ? StrSize(atom.KALength()) : OtherValueSize(atom);
}

// memcpy of fewer than 24 bytes (a short name) in a few fixed-size moves,
// without a library call: two moves of one width, overlapping where the
// length falls between.
inline void CopyShort(void* to, const void* from, size_t length)
{
    auto* out = static_cast<char*>(to);
    const auto* in = static_cast<const char*>(from);
    if (length >= 16) {
        memcpy(out, in, 16);
        memcpy(out + length - 8, in + length - 8, 8);
    } else if (length >= 8) {
        memcpy(out, in, 8);
        memcpy(out + length - 8, in + length - 8, 8);
    } else if (length >= 4) {
        memcpy(out, in, 4);
        memcpy(out + length - 4, in + length - 4, 4);
    } else if (length >= 2) {
        memcpy(out, in, 2);
        memcpy(out + length - 2, in + length - 2, 2);
    } else if (length == 1) {
        out[0] = in[0];
    }
}

// Writes smallest forms into a buffer large enough for them.
class Writer {
public:
    explicit Writer(unsigned char* out) : m_Out(out) {}
    void Map(uint32_t count)
    {
        if (count <= 15)
            Byte(static_cast<unsigned char>(0x80 | count));
        else
            LongMap(count);
    }
    void Int(long long value);
    void Str(const char* text, size_t length)
    {
        StrHeader(length);
        memcpy(m_Out, text, length);
        m_Out += length;
    }
    // Str of a name shorter than 24 bytes, copied without a library call.
    void ShortStr(const char* text, size_t length)
    {
        Byte(static_cast<unsigned char>(0xa0 | length));
        CopyShort(m_Out, text, length);
        m_Out += length;
    }
    void Bin(const unsigned char* bytes, size_t length);
    void Float64(double value);
    // Writes the atom's value; false when it has no value.
    bool Value(const CKesAtom& atom)
    {
        if (atom.KAType() != KES_DT_STRING) return OtherValue(atom);
        Str(atom.KAString(), atom.KALength());
        return true;
    }
    unsigned char* Position() const { return m_Out; }

private:
    void Byte(unsigned char byte) { *m_Out++ = byte; }
    void BigEndian(uint64_t value, int bytes);
    void LongMap(uint32_t count);
    void StrHeader(size_t length)
    {
        if (length <= 31) {
            Byte(static_cast<unsigned char>(0xa0 | length));
        } else if (length <= 0xff) {
            Byte(0xd9);
            Byte(static_cast<unsigned char>(length));
        } else {
            LongStrHeader(length);
        }
    }
    void LongStrHeader(size_t length);
    bool OtherValue(const CKesAtom& atom);
    unsigned char* m_Out; // next byte to write
};

// One value as read: a number, or a text or byte string whose `length`
// bytes lie at `bytes`, inside the input (a record adding a value by name
// describes it the same way).
struct ValueRead {
    EKesDataType type = KES_DT_NONE;
    long long integer = 0;       // KES_DT_INT / KES_DT_INT64
    double real = 0.0;           // KES_DT_DOUBLE
    const char* bytes = nullptr; // KES_DT_STRING / KES_DT_BYTES
    size_t length = 0;           // KES_DT_STRING / KES_DT_BYTES
};

// Reads the record encoding. Each step returns false and sets Error() on
// anything it does not accept.
class Reader {
public:
    Reader(const unsigned char* bytes, size_t length) : m_Pos(bytes), m_End(bytes + length) {}
    // A map header; the count is checked against the bytes that remain
    // (every entry needs at least two).
    bool MapHeader(uint32_t* count);
    // A str key: its bytes (inside the input) and length.
    bool Key(const char** text, uint32_t* length);
    // An int, str, bin or float64 value, into a fresh value (nothing is
    // copied or allocated).
    bool Value(ValueRead* value);
    bool AtEnd() const { return m_Pos == m_End; }
    size_t Remaining() const { return static_cast<size_t>(m_End - m_Pos); }
    // Why the input was refused: a fixed text that outlives the reader; null
    // while nothing was refused.
    const char* Error() const { return m_Error; }
    // Refuses the input; why must be a fixed text (a string literal).
    void Fail(const char* why) { m_Error = why; }

private:
    bool Need(uint64_t count, const char* why);
    bool Unsigned(int bytes, uint64_t* value);
    bool StrBody(unsigned char lead, const char** text, uint32_t* length);
    static bool IsStrLead(unsigned char lead);
    bool NonStrValue(ValueRead* value);
    bool LongMapHeader(uint32_t* count);
    static bool Integer(long long number, ValueRead* value);
    static const char* Refusal(unsigned char lead);

    const unsigned char* m_Pos; // next byte to read
    const unsigned char* m_End; // one past the last byte
    const char* m_Error = nullptr;
};

// The steps taken for every value are inline: the decoder calls them from
// another library.

inline bool Reader::Need(uint64_t count, const char* why)
{
    if (count <= Remaining()) return true;
    Fail(why);
    return false;
}

inline bool Reader::Unsigned(int bytes, uint64_t* value)
{
    if (!Need(static_cast<uint64_t>(bytes), "truncated length or number")) return false;
    uint64_t result = 0;
    for (int i = 0; i < bytes; ++i) result = (result << 8) | *m_Pos++;
    *value = result;
    return true;
}

inline bool Reader::IsStrLead(unsigned char lead)
{
    return (lead & 0xe0) == 0xa0 || lead == 0xd9 || lead == 0xda || lead == 0xdb;
}

inline bool Reader::StrBody(unsigned char lead, const char** text, uint32_t* length)
{
    uint64_t size = lead & 0x1f;
    if (lead == 0xd9 && !Unsigned(1, &size)) return false;
    if (lead == 0xda && !Unsigned(2, &size)) return false;
    if (lead == 0xdb && !Unsigned(4, &size)) return false;
    if (!Need(size, "str length larger than the input")) return false;
    *text = reinterpret_cast<const char*>(m_Pos);
    *length = static_cast<uint32_t>(size);
    m_Pos += size;
    return true;
}

inline bool Reader::Key(const char** text, uint32_t* length)
{
    if (!Need(1, "truncated before a key")) return false;
    const unsigned char lead = *m_Pos++;
    if (!IsStrLead(lead)) {
        Fail("a key is not a str");
        return false;
    }
    if (!StrBody(lead, text, length)) return false;
    // Names are C texts: a NUL byte inside one could not be kept.
    if (memchr(*text, '\0', *length) != nullptr) {
        Fail("a key holds a NUL byte");
        return false;
    }
    return true;
}

// A small record's map header takes no call.
inline bool Reader::MapHeader(uint32_t* count)
{
    if (m_Pos == m_End || (*m_Pos & 0xf0) != 0x80) return LongMapHeader(count);
    const uint32_t entries = *m_Pos++ & 0x0f;
    // Every entry takes at least one byte of key and one of value.
    if (!Need(entries * 2, "map count larger than the input")) return false;
    *count = entries;
    return true;
}

// Texts are the common values: they take no call.
inline bool Reader::Value(ValueRead* value)
{
    if (m_Pos == m_End || !IsStrLead(*m_Pos)) return NonStrValue(value);
    const unsigned char lead = *m_Pos++;
    uint32_t length = 0;
    if (!StrBody(lead, &value->bytes, &length)) return false;
    value->type = KES_DT_STRING;
    value->length = length;
    return true;
}

} // namespace kesmsgpack
