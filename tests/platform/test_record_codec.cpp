// The record encoding: exact smallest forms, round trips, refusal of every
// malformed input, and agreement with an independent MessagePack
// implementation (Debian's python3-msgpack).
#include <gtest/gtest.h>

#include <climits>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <limits>
#include <sstream>
#include <string>
#include <vector>

#include "CKesRecord.h"
#include "KesTestSupport.h"
#include "KesWirePeer.h"

namespace {

using ksxtest::Bytes;
using ksxtest::Encode;

Bytes FromHex(const std::string& hex)
{
    Bytes bytes;
    for (size_t i = 0; i + 1 < hex.size(); i += 2)
        bytes.push_back(static_cast<unsigned char>(std::stoi(hex.substr(i, 2), nullptr, 16)));
    return bytes;
}

std::string ToHex(const unsigned char* bytes, size_t length)
{
    static const char kDigits[] = "0123456789abcdef";
    std::string hex;
    for (size_t i = 0; i < length; ++i) {
        hex += kDigits[bytes[i] >> 4];
        hex += kDigits[bytes[i] & 0x0f];
    }
    return hex;
}

// Decodes from a heap block of exactly the input's size, so that
// AddressSanitizer catches any read past the end.
int Decode(const Bytes& bytes, CKesRecord* record)
{
    std::unique_ptr<unsigned char[]> exact(new unsigned char[bytes.empty() ? 1 : bytes.size()]);
    if (!bytes.empty())
        memcpy(exact.get(), bytes.data(), bytes.size());
    return record->KOMDecode(exact.get(), static_cast<unsigned int>(bytes.size()));
}

std::string EncodeHex(const CKesRecord& record)
{
    const Bytes bytes = Encode(record);
    return ToHex(bytes.data(), bytes.size());
}

// The encoding of the value in a record {"v": atom}, as hex.
std::string EncodedValueHex(const CKesAtom& atom)
{
    CKesRecord record;
    record.KRAddValue("v", atom);
    const std::string hex = EncodeHex(record);
    EXPECT_EQ(hex.substr(0, 6), "81a176");  // map of one, key "v"
    return hex.substr(6);
}

// The line the peer writes for one value.
std::string Describe(const CKesVarBind& bind)
{
    const CKesAtom& atom = *bind.KVBValue();
    const std::string name = ToHex(reinterpret_cast<const unsigned char*>(bind.KVBName()), strlen(bind.KVBName()));
    size_t length = 0;
    switch (atom.KAType()) {
    case KES_DT_INT:
    case KES_DT_LONG:
    case KES_DT_INT64:
        return "int " + name + " " + std::to_string(atom.KAInt64());
    case KES_DT_STRING:
        return "str " + name + " " + ToHex(reinterpret_cast<const unsigned char*>(atom.KAString()), atom.KALength());
    case KES_DT_BYTES: {
        const unsigned char* bytes = atom.KABytes(&length);
        return "bin " + name + " " + ToHex(bytes, length);
    }
    case KES_DT_DOUBLE: {
        uint64_t bits;
        double value = atom.KADouble();
        memcpy(&bits, &value, sizeof bits);
        unsigned char big[8];
        for (int i = 0; i < 8; ++i)
            big[i] = static_cast<unsigned char>(bits >> (56 - 8 * i));
        return "float " + name + " " + ToHex(big, 8);
    }
    default:
        return "none";
    }
}

std::string Expected(const CKesRecord& record)
{
    std::string text = "entries " + std::to_string(record.KRCount()) + "\n";
    for (int i = 0; i < record.KRCount(); ++i)
        text += Describe(*record.KRValueAt(i)) + "\n";
    return text;
}

Bytes ReadBytes(const std::string& path)
{
    std::ifstream in(path, std::ios::binary);
    return Bytes(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

// Integer types may narrow on the way back (a long that fits in 32 bits
// comes back as an int); everything else must come back identical.
void ExpectSameContent(const CKesRecord& expected, const CKesRecord& actual)
{
    ASSERT_EQ(actual.KRCount(), expected.KRCount());
    for (int i = 0; i < expected.KRCount(); ++i) {
        const CKesVarBind& want = *expected.KRValueAt(i);
        const CKesVarBind& got = *actual.KRValueAt(i);
        EXPECT_STREQ(got.KVBName(), want.KVBName());
        EXPECT_EQ(Describe(got), Describe(want)) << "entry " << i;
        const bool fits32 = want.KVBValue()->KAInt64() >= INT_MIN && want.KVBValue()->KAInt64() <= INT_MAX;
        switch (want.KVBValue()->KAType()) {
        case KES_DT_INT:
        case KES_DT_LONG:
        case KES_DT_INT64:
            EXPECT_EQ(got.KVBValue()->KAType(), fits32 ? KES_DT_INT : KES_DT_INT64) << "entry " << i;
            break;
        default:
            EXPECT_EQ(*got.KVBValue(), *want.KVBValue()) << "entry " << i;
        }
    }
}

// Our encoding goes to the peer; its description must match the record, its
// own packing must be byte-identical to ours (both write smallest forms) and
// must decode back to the record here.
void CrossCheck(const CKesRecord& record, const std::string& caseName)
{
    const std::string dir = ksxtest::KsxHome() + "/";
    const std::string ours = dir + caseName + ".ours";
    const std::string described = dir + caseName + ".txt";
    const std::string theirs = dir + caseName + ".theirs";
    const Bytes encoded = Encode(record);
    {
        std::ofstream out(ours, std::ios::binary);
        out.write(reinterpret_cast<const char*>(encoded.data()), static_cast<std::streamsize>(encoded.size()));
    }
    const std::string command = "/usr/bin/python3 " KSX_SOURCE_DIR "/tests/platform/msgpack_peer.py '" + ours +
                                "' '" + described + "' '" + theirs + "'";
    ASSERT_EQ(std::system(command.c_str()), 0) << command;
    EXPECT_EQ(ksxtest::ReadFile(described), Expected(record));
    const Bytes repacked = ReadBytes(theirs);
    EXPECT_TRUE(repacked == encoded) << "peer packed " << repacked.size() << " bytes, we " << encoded.size();
    CKesRecord decoded;
    ASSERT_EQ(Decode(repacked, &decoded), 1);
    ExpectSameContent(record, decoded);
}

// Integer boundaries and their smallest encoded forms.
const struct { long long value; const char* hex; } kIntForms[] = {
    {0, "00"}, {127, "7f"}, {128, "cc80"}, {255, "ccff"}, {256, "cd0100"},
    {65535, "cdffff"}, {65536, "ce00010000"}, {INT32_MAX, "ce7fffffff"}, {INT32_MAX + 1LL, "ce80000000"},
    {4294967295LL, "ceffffffff"}, {4294967296LL, "cf0000000100000000"}, {INT64_MAX, "cf7fffffffffffffff"},
    {-1, "ff"}, {-32, "e0"}, {-33, "d0df"}, {-128, "d080"}, {-129, "d1ff7f"},
    {-32768, "d18000"}, {-32769, "d2ffff7fff"}, {INT32_MIN, "d280000000"},
    {INT32_MIN - 1LL, "d3ffffffff7fffffff"}, {INT64_MIN, "d38000000000000000"},
};

}  // namespace

TEST(RecordEncoding, IntegersTakeTheirSmallestForm)
{
    for (const auto& c : kIntForms) {
        EXPECT_EQ(EncodedValueHex(CKesAtom(c.value)), c.hex) << c.value;
        if (c.value >= INT32_MIN && c.value <= INT32_MAX) {
            EXPECT_EQ(EncodedValueHex(CKesAtom(static_cast<int>(c.value))), c.hex) << c.value;
        }
    }
}

TEST(RecordEncoding, EntriesFollowInsertionOrder)
{
    CKesRecord record;
    record.KRAddValue("z", "1");
    record.KRAddValue("a", CKesAtom(2));
    EXPECT_EQ(EncodeHex(record), "82a17aa131a16102");
    EXPECT_EQ(EncodeHex(CKesRecord()), "80");
}

TEST(RecordEncoding, ValueWithoutTypeFailsWithNullBufferAndMisuseIsRefused)
{
    ksxtest::ErrorCapture errors;
    CKesRecord record;
    record.KRAddValue("ok", "1");
    record.KRAddValue("cleared", "2");
    *record.KRValueOf("cleared") = CKesAtom();
    unsigned char* buffer = reinterpret_cast<unsigned char*>(&record);  // must be overwritten
    unsigned int length = 77;
    EXPECT_LT(record.KOMEncode(&buffer, &length), 0);
    EXPECT_EQ(buffer, nullptr);
    EXPECT_EQ(length, 0u);
    EXPECT_EQ(record.KOMEncode(nullptr, &length), -220552);
    EXPECT_EQ(errors.Count(-220552, "CKesBaseRecord"), 1);

    // Decoding refuses a null input and a record that already holds values.
    EXPECT_EQ(CKesRecord().KOMDecode(nullptr, 1), -220552);
    const Bytes good = FromHex("81a16101");
    EXPECT_EQ(record.KOMDecode(good.data(), static_cast<unsigned int>(good.size())), -220552);
    EXPECT_EQ(record.KRCount(), 2);
    EXPECT_STREQ(record.KRValueOf("ok")->KAString(), "1");
}

TEST(RecordDecoding, AcceptsEveryIntegerAndStrForm)
{
    struct { const char* hex; EKesDataType type; long long value; } cases[] = {
        {"81a176cf0000000000000005", KES_DT_INT, 5},
        {"81a176cf7fffffffffffffff", KES_DT_INT64, INT64_MAX},
        {"81a176ce7fffffff", KES_DT_INT, INT32_MAX},
        {"81a176ce80000000", KES_DT_INT64, 2147483648LL},
        {"81a176cd0001", KES_DT_INT, 1},
        {"81a176cc05", KES_DT_INT, 5},
        {"81a176d005", KES_DT_INT, 5},
        {"81a176d1ffff", KES_DT_INT, -1},
        {"81a176d280000000", KES_DT_INT, INT32_MIN},
        {"81a176d3ffffffffffffffff", KES_DT_INT, -1},
        {"81a176d3ffffffff7fffffff", KES_DT_INT64, INT32_MIN - 1LL},
        {"81d90176e0", KES_DT_INT, -32},
        {"81da000176ff", KES_DT_INT, -1},
        {"81db0000000176ff", KES_DT_INT, -1},
        {"de0001a17601", KES_DT_INT, 1},
    };
    for (const auto& c : cases) {
        CKesRecord record;
        ASSERT_EQ(Decode(FromHex(c.hex), &record), 1) << c.hex;
        ASSERT_NE(record.KRValueOf("v"), nullptr) << c.hex;
        EXPECT_EQ(record.KRValueOf("v")->KAType(), c.type) << c.hex;
        EXPECT_EQ(record.KRValueOf("v")->KAInt64(), c.value) << c.hex;
    }
    CKesRecord texts;
    ASSERT_EQ(Decode(FromHex("83a161d90178a162da000179a163db000000017a"), &texts), 1);
    EXPECT_STREQ(texts.KRValueOf("c")->KAString(), "z");
    CKesRecord empty;
    EXPECT_EQ(Decode(FromHex("df00000000"), &empty), 1);
    EXPECT_EQ(empty.KRCount(), 0);
}

TEST(RecordDecoding, RefusesMalformedInputAndStaysEmpty)
{
    struct { const char* name; const char* hex; } cases[] = {
        {"empty input", ""},
        {"top level is an array", "9101"},
        {"top level is an integer", "01"},
        {"top level is a str", "a161"},
        {"nil value", "81a161c0"},
        {"bool value", "81a161c3"},
        {"float32 value", "81a161ca3f800000"},
        {"array value", "81a1619101"},
        {"nested map value", "81a16180"},
        {"map16 value", "81a161de0000"},
        {"fixext value", "81a161d40100"},
        {"ext8 value", "81a161c70101"},
        {"never-used type byte", "81a161c1"},
        {"integer key", "810101"},
        {"bin key", "81c4016101"},
        {"nil key", "81c001"},
        {"key holding a NUL byte", "81a2610001"},
        {"trailing byte after the map", "8000"},
        {"second map after the first", "8080"},
        {"missing key", "81"},
        {"missing value", "81a161"},
        {"fewer entries than counted", "82a16101"},
        {"truncated map16 count", "de00"},
        {"map16 count larger than input", "deffff"},
        {"map32 count near 4 GiB", "dfffffffffa16101"},
        {"truncated key", "81a36162"},
        {"str8 key length beyond input", "81d9ff6101"},
        {"str8 value length beyond input", "81a161d9ff61"},
        {"str32 value length near 4 GiB", "81a161dbffffffff61"},
        {"str16 length cut", "81a161da00"},
        {"bin8 without length", "81a161c4"},
        {"bin8 length beyond input", "81a161c40561"},
        {"bin32 length near 4 GiB", "81a161c6ffffffff00"},
        {"uint64 above the largest int64", "81a161cf8000000000000000"},
        {"uint64 all ones", "81a161cfffffffffffffffff"},
        {"truncated uint16", "81a161cd01"},
        {"truncated int32", "81a161d2000000"},
        {"truncated int64", "81a161d300"},
        {"truncated float64", "81a161cb0000"},
        {"good entry then bad one", "82a16101a162c0"},
    };
    for (const auto& c : cases) {
        CKesRecord record;
        const int result = Decode(FromHex(c.hex), &record);
        EXPECT_EQ(result, KES_DECODE_MALFORMED) << c.name;
        EXPECT_EQ(record.KRCount(), 0) << c.name;
    }
}

TEST(RecordPeer, IntegerBoundariesAgree)
{
    CKesRecord record;
    int n = 0;
    for (const auto& c : kIntForms) {
        const long long value = c.value;
        const std::string name = "i" + std::to_string(n++);
        record.KRAddValue(name.c_str(), CKesAtom(value));
        if (value >= INT32_MIN && value <= INT32_MAX)
            record.KRAddValue(("n" + name).c_str(), CKesAtom(static_cast<int>(value)));
        record.KRAddValue(("l" + name).c_str(), CKesAtom(static_cast<long>(value)));
    }
    CrossCheck(record, "ints");
}

TEST(RecordPeer, TextLengthsAndUtf8Agree)
{
    CKesRecord record;
    for (size_t length : {0, 31, 32, 255, 256, 65535, 65536})
        record.KRAddValue(("s" + std::to_string(length)).c_str(), std::string(length, 'x').c_str());
    record.KRAddValue("utf8", "Gr\xc3\xbc\xc3\x9f""e \xe6\x97\xa5\xe6\x9c\xac \xf0\x9f\x93\xa6");
    record.KRAddValue("\xc3\xa9t\xc3\xa9", "named in UTF-8");
    record.KRAddValue(std::string(300, 'k').c_str(), "long name");
    record.KRAddValue("nul", CKesAtom::KAText("a\0b", 3));
    CrossCheck(record, "texts");
}

TEST(RecordPeer, DoublesAndBytesAgree)
{
    CKesRecord record;
    const double doubles[] = {0.0, -0.0, 1.5, -1e-300, 5e-324, std::numeric_limits<double>::max(),
                              std::numeric_limits<double>::infinity(), -std::numeric_limits<double>::infinity(),
                              std::numeric_limits<double>::quiet_NaN()};
    int n = 0;
    for (double value : doubles)
        record.KRAddValue(("d" + std::to_string(n++)).c_str(), CKesAtom(value));
    Bytes pattern(70000);
    for (size_t i = 0; i < pattern.size(); ++i)
        pattern[i] = static_cast<unsigned char>(i * 7);
    for (size_t length : {0, 1, 255, 256, 65535, 65536, 70000})
        record.KRAddValue(("b" + std::to_string(length)).c_str(), CKesAtom(pattern.data(), length));
    CrossCheck(record, "doubles_bytes");
}

TEST(RecordPeer, MapSizesAgree)
{
    CrossCheck(CKesRecord(), "empty");
    for (int count : {15, 16, 65535, 65536}) {
        CKesRecord record;
        for (int i = 0; i < count; ++i)
            record.KRAddValue(("e" + std::to_string(i)).c_str(), CKesAtom(i));
        CrossCheck(record, "map" + std::to_string(count));
    }
}
