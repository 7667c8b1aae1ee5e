// The record encoding: round trips and exact smallest forms checked against
// an independent MessagePack implementation (Debian's python3-msgpack),
// longer forms accepted, and refusal of every malformed input.
#include <gtest/gtest.h>

#include <climits>
#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <limits>
#include <memory>
#include <string>

#include "CKesRecord.h"
#include "KesTestSupport.h"
#include "KesWirePeer.h"

namespace {

using ksxtest::Bytes;

Bytes FromHex(const std::string& hex)
{
    Bytes bytes;
    for (size_t i = 0; i + 1 < hex.size(); i += 2)
        bytes.push_back(static_cast<unsigned char>(std::stoi(hex.substr(i, 2), nullptr, 16)));
    return bytes;
}

std::string ToHex(const void* data, size_t length)
{
    static const char kDigits[] = "0123456789abcdef";
    const auto* bytes = static_cast<const unsigned char*>(data);
    std::string hex;
    for (size_t i = 0; i < length; ++i)
        hex += {kDigits[bytes[i] >> 4], kDigits[bytes[i] & 0x0f]};
    return hex;
}

// Decodes from a heap block of exactly the input's size, so that
// AddressSanitizer catches any read past the end.
int Decode(const Bytes& bytes, CKesRecord* record)
{
    std::unique_ptr<unsigned char[]> exact(new unsigned char[bytes.size() + !bytes.size()]);
    memcpy(exact.get(), bytes.data(), bytes.size());
    return record->KOMDecode(exact.get(), static_cast<unsigned int>(bytes.size()));
}

// The record as the peer describes it: "entries N", then per value
// "TYPE NAME_HEX VALUE" (decimal int, hex of str/bin bytes, hex of the
// big-endian double).
std::string Describe(const CKesRecord& record)
{
    std::string text = "entries " + std::to_string(record.KRCount()) + "\n";
    for (int i = 0; i < record.KRCount(); ++i) {
        const CKesAtom& atom = *record.KRValueAt(i)->KVBValue();
        const std::string name = ToHex(record.KRValueAt(i)->KVBName(), strlen(record.KRValueAt(i)->KVBName()));
        size_t length = 0;
        uint64_t bits = 0;
        switch (atom.KAType()) {
        case KES_DT_STRING:
            text += "str " + name + " " + ToHex(atom.KAString(), atom.KALength()) + "\n";
            break;
        case KES_DT_BYTES: {
            const unsigned char* bytes = atom.KABytes(&length);
            text += "bin " + name + " " + ToHex(bytes, length) + "\n";
            break;
        }
        case KES_DT_DOUBLE: {
            const double value = atom.KADouble();
            memcpy(&bits, &value, sizeof bits);
            bits = __builtin_bswap64(bits);
            text += "float " + name + " " + ToHex(&bits, 8) + "\n";
            break;
        }
        default:
            text += "int " + name + " " + std::to_string(atom.KAInt64()) + "\n";
        }
    }
    return text;
}

// Our encoding goes to the peer: its description must match the record, its
// own packing must be byte-identical to ours (both write smallest forms), and
// that packing must decode back here to the same content.
void CrossCheck(const CKesRecord& record, const std::string& caseName)
{
    const std::string base = ksxtest::KsxHome() + "/" + caseName;
    const Bytes encoded = ksxtest::Encode(record);
    std::ofstream(base + ".ours", std::ios::binary)
        .write(reinterpret_cast<const char*>(encoded.data()), static_cast<std::streamsize>(encoded.size()));
    const std::string command = "/usr/bin/python3 " KSX_SOURCE_DIR "/tests/platform/msgpack_peer.py '" + base +
                                ".ours' '" + base + ".txt' '" + base + ".theirs'";
    ASSERT_EQ(std::system(command.c_str()), 0) << command;
    EXPECT_EQ(ksxtest::ReadFile(base + ".txt"), Describe(record));
    const std::string repacked = ksxtest::ReadFile(base + ".theirs");
    EXPECT_TRUE(Bytes(repacked.begin(), repacked.end()) == encoded)
        << "peer packed " << repacked.size() << " bytes, we " << encoded.size();
    CKesRecord decoded;
    ASSERT_EQ(Decode(Bytes(repacked.begin(), repacked.end()), &decoded), 1);
    EXPECT_EQ(Describe(decoded), Describe(record));
}

}  // namespace

TEST(RecordPeer, EveryValueFormAgrees)
{
    CKesRecord record;
    int n = 0;
    auto add = [&](const CKesAtom& atom) { record.KRAddValue(("v" + std::to_string(n++)).c_str(), atom); };
    // Integer boundaries of every smallest form, as int, long and 64-bit.
    for (long long value : {0LL, 127LL, 128LL, 255LL, 256LL, 65535LL, 65536LL, 2147483647LL, 2147483648LL,
                            4294967295LL, 4294967296LL, LLONG_MAX, -1LL, -32LL, -33LL, -128LL, -129LL, -32768LL,
                            -32769LL, -2147483648LL, -2147483649LL, LLONG_MIN}) {
        add(CKesAtom(value));
        add(CKesAtom(static_cast<long>(value)));
        if (value >= INT_MIN && value <= INT_MAX)
            add(CKesAtom(static_cast<int>(value)));
    }
    for (size_t length : {0, 31, 32, 255, 256, 65535, 65536})
        add(CKesAtom(std::string(length, 'x').c_str()));
    add(CKesAtom("Gr\xc3\xbc\xc3\x9f""e \xe6\x97\xa5\xe6\x9c\xac \xf0\x9f\x93\xa6"));
    add(CKesAtom::KAText("a\0b", 3));
    record.KRAddValue("\xc3\xa9t\xc3\xa9", "named in UTF-8");
    record.KRAddValue(std::string(300, 'k').c_str(), "long name");
    constexpr double kInf = std::numeric_limits<double>::infinity();
    for (double value : {0.0, -0.0, 1.5, -1e-300, 5e-324, std::numeric_limits<double>::max(), kInf, -kInf, std::nan("")})
        add(CKesAtom(value));
    Bytes pattern(70000);
    for (size_t i = 0; i < pattern.size(); ++i)
        pattern[i] = static_cast<unsigned char>(i * 7);
    for (size_t length : {0, 1, 255, 256, 65535, 65536, 70000})
        add(CKesAtom(pattern.data(), length));
    CrossCheck(record, "values");
}

TEST(RecordPeer, MapSizesAndInsertionOrderAgree)
{
    CrossCheck(CKesRecord(), "empty");
    for (int count : {15, 16, 65535, 65536}) {
        CKesRecord record;
        for (int i = count - 1; i >= 0; --i)
            record.KRAddValue(("e" + std::to_string(i)).c_str(), CKesAtom(i));
        CrossCheck(record, "map" + std::to_string(count));
    }
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
    EXPECT_EQ(Decode(FromHex("81a16101"), &record), -220552);
    EXPECT_EQ(record.KRCount(), 2);
    EXPECT_STREQ(record.KRValueOf("ok")->KAString(), "1");
}

TEST(RecordDecoding, AcceptsLongerFormsAndNarrowsIntegersThatFit)
{
    struct { const char* hex; EKesDataType type; long long value; } cases[] = {
        {"81a176cf0000000000000005", KES_DT_INT, 5},  {"81a176cf7fffffffffffffff", KES_DT_INT64, INT64_MAX},
        {"81a176ce7fffffff", KES_DT_INT, INT32_MAX},  {"81a176ce80000000", KES_DT_INT64, 2147483648LL},
        {"81a176cd0001", KES_DT_INT, 1},              {"81a176cc05", KES_DT_INT, 5},
        {"81a176d005", KES_DT_INT, 5},                {"81a176d1ffff", KES_DT_INT, -1},
        {"81a176d280000000", KES_DT_INT, INT32_MIN},  {"81a176d3ffffffffffffffff", KES_DT_INT, -1},
        {"81a176d3ffffffff7fffffff", KES_DT_INT64, INT32_MIN - 1LL},
        {"81d90176e0", KES_DT_INT, -32},              {"81da000176ff", KES_DT_INT, -1},
        {"81db0000000176ff", KES_DT_INT, -1},         {"de0001a17601", KES_DT_INT, 1},
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
        {"empty input", ""}, {"top level is an array", "9101"}, {"top level is an integer", "01"},
        {"top level is a str", "a161"}, {"nil value", "81a161c0"}, {"bool value", "81a161c3"},
        {"float32 value", "81a161ca3f800000"}, {"array value", "81a1619101"}, {"nested map value", "81a16180"},
        {"map16 value", "81a161de0000"}, {"fixext value", "81a161d40100"}, {"ext8 value", "81a161c70101"},
        {"never-used type byte", "81a161c1"}, {"integer key", "810101"}, {"bin key", "81c4016101"},
        {"nil key", "81c001"}, {"key holding a NUL byte", "81a2610001"}, {"trailing byte after the map", "8000"},
        {"second map after the first", "8080"}, {"missing key", "81"}, {"missing value", "81a161"},
        {"fewer entries than counted", "82a16101"}, {"truncated map16 count", "de00"},
        {"map16 count larger than input", "deffff"}, {"map32 count near 4 GiB", "dfffffffffa16101"},
        {"truncated key", "81a36162"}, {"str8 key length beyond input", "81d9ff6101"},
        {"str8 value length beyond input", "81a161d9ff61"}, {"str32 value length near 4 GiB", "81a161dbffffffff61"},
        {"str16 length cut", "81a161da00"}, {"bin8 without length", "81a161c4"},
        {"bin8 length beyond input", "81a161c40561"}, {"bin32 length near 4 GiB", "81a161c6ffffffff00"},
        {"uint64 above the largest int64", "81a161cf8000000000000000"},
        {"uint64 all ones", "81a161cfffffffffffffffff"}, {"truncated uint16", "81a161cd01"},
        {"truncated int32", "81a161d2000000"}, {"truncated int64", "81a161d300"},
        {"truncated float64", "81a161cb0000"}, {"good entry then bad one", "82a16101a162c0"},
    };
    for (const auto& c : cases) {
        CKesRecord record;
        EXPECT_EQ(Decode(FromHex(c.hex), &record), KES_DECODE_MALFORMED) << c.name;
        EXPECT_EQ(record.KRCount(), 0) << c.name;
    }
}
