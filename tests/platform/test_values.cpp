// Typed values, texts, named values and the record's content operations.
#include <gtest/gtest.h>

#include <cmath>
#include <cstdlib>
#include <cstring>
#include <limits>
#include <memory>
#include <string>

#include "CKesRecord.h"
#include "CKesString.h"
#include "KesTestSupport.h"

namespace {

// Takes over a heap text ("<null>" for none) and frees it.
std::string Owned(char* text)
{
    std::string result(text != nullptr ? text : "<null>");
    free(text);
    return result;
}

std::string Rep(const CKesAtom& atom) { return Owned(atom.KAStrRep()); }

constexpr double kInf = std::numeric_limits<double>::infinity();

}  // namespace

TEST(Atom, StrRepRendersEveryTypeAndDoublesReadBackExactly)
{
    EXPECT_EQ(CKesAtom("x").KAType(), 2);  // callers test for texts by number
    EXPECT_EQ(Rep(CKesAtom(-42)), "-42");
    EXPECT_EQ(Rep(CKesAtom(std::numeric_limits<long long>::min())), "-9223372036854775808");
    EXPECT_EQ(Rep(CKesAtom("hello world")), "hello world");
    const unsigned char bytes[] = {0x00, 0xab, 0x10, 0xff};
    EXPECT_EQ(Rep(CKesAtom(bytes, sizeof bytes)), "00ab10ff");
    EXPECT_EQ(Rep(CKesAtom(bytes, 0)), "");
    EXPECT_EQ(Rep(CKesAtom()), "<null>");
    EXPECT_EQ(Rep(CKesAtom(-0.0)), "-0");
    EXPECT_EQ(Rep(CKesAtom(2.0)), "2");
    EXPECT_EQ(Rep(CKesAtom(-kInf)), "-inf");
    EXPECT_EQ(Rep(CKesAtom(std::nan(""))), "nan");
    for (double value : {0.1, 1.0 / 3.0, 5e-324, -2.5e-10, std::numeric_limits<double>::max(), 0.30000000000000004}) {
        const std::string text = Rep(CKesAtom(value));
        EXPECT_EQ(strtod(text.c_str(), nullptr), value) << text;
        EXPECT_LE(text.size(), 24u) << text;  // shortest form, not %.17g padding
    }
    EXPECT_EQ(Rep(CKesAtom(0.1)), "0.1");
}

TEST(Atom, EqualityComparesTypeAndValue)
{
    EXPECT_EQ(CKesAtom(5), CKesAtom(5));
    EXPECT_NE(CKesAtom(5), CKesAtom(6));
    EXPECT_NE(CKesAtom(5), CKesAtom(5L));
    EXPECT_NE(CKesAtom(5), CKesAtom(5.0));
    EXPECT_NE(CKesAtom("abc"), CKesAtom("abd"));
    EXPECT_NE(CKesAtom("abc"), CKesAtom("abc", 3));  // text vs bytes
    EXPECT_NE(CKesAtom::KAText("a\0b", 3), CKesAtom::KAText("a\0c", 3));
    EXPECT_EQ(CKesAtom(std::nan("")), CKesAtom(std::nan("")));
    EXPECT_EQ(CKesAtom(), CKesAtom());
}

TEST(Atom, CopiesAreDeepMovesEmptyTheSourceAndNulTextsKeepEveryByte)
{
    CKesAtom original("text");
    CKesAtom copy(original);
    EXPECT_NE(copy.KAString(), original.KAString());
    original = CKesAtom(3);
    CKesAtom& same = copy;
    copy = same;
    EXPECT_STREQ(copy.KAString(), "text");
    CKesAtom moved(std::move(copy));
    EXPECT_STREQ(moved.KAString(), "text");
    EXPECT_EQ(copy.KAType(), KES_DT_NONE);

    CKesAtom text = CKesAtom::KAText("ab\0cd", 5);
    EXPECT_EQ(text.KAType(), KES_DT_STRING);
    EXPECT_EQ(text.KALength(), 5u);
    char* rep = text.KAStrRep();
    EXPECT_EQ(memcmp(rep, "ab\0cd", 6), 0);  // every byte, NUL-terminated
    free(rep);
}

TEST(String, BuildsFromIntegersTextsAndAtomsAndHandsOverItsText)
{
    EXPECT_STREQ(CKesString(7).KSString(), "7");  // a domain written 007 arrives as the integer 7
    CKesString negative(-2147483647 - 1);
    EXPECT_EQ(Owned(negative.KSTakeString()), "-2147483648");
    EXPECT_STREQ(CKesString{CKesAtom(65535L)}.KSString(), "65535");
    EXPECT_STREQ(CKesString{CKesAtom()}.KSString(), "");
    EXPECT_EQ(CKesAtom("1234").KAInt(), 1234);

    CKesString text("port ");
    EXPECT_EQ(text.KSStrCat(8080), 1);
    EXPECT_EQ(text.KSStrCat(static_cast<const char*>(nullptr)), 1);
    const std::string longPart(1000, 'x');
    EXPECT_EQ(text.KSStrCat(longPart.c_str()), 1);
    EXPECT_EQ(text.KSLength(), 9u + 1000u);
    EXPECT_EQ(Owned(text.KSTakeString()), "port 8080" + longPart);
    EXPECT_STREQ(text.KSString(), "");  // empty after the hand-over
    EXPECT_EQ(Owned(text.KSTakeString()), "");
}

TEST(Record, ValuesAreFoundByFirstNameAndCopiedDeeply)
{
    CKesVarBind bind("name", "value");
    EXPECT_STREQ(CKesVarBind(nullptr, 1).KVBName(), "");
    std::unique_ptr<CKesListable> copy(bind.KLTargetDeepCopy(&bind));
    auto* copied = static_cast<CKesVarBind*>(copy.get());
    ASSERT_NE(copied, nullptr);
    EXPECT_NE(copied->KVBName(), bind.KVBName());
    EXPECT_STREQ(copied->KVBName(), "name");
    EXPECT_EQ(*copied->KVBValue(), *bind.KVBValue());

    CKesRecord record;
    record.KRAddValue("a", "first");
    record.KRAddValue("b", CKesAtom(2));
    record.KRAddValue("a", "second");
    ASSERT_NE(record.KRValueOf("a"), nullptr);
    EXPECT_STREQ(record.KRValueOf("a")->KAString(), "first");
    EXPECT_EQ(record.KRValueOf("c"), nullptr);
    EXPECT_EQ(record.KRValueOf(nullptr), nullptr);
    EXPECT_EQ(record.KRCount(), 3);
    EXPECT_STREQ(record.KRValueAt(2)->KVBValue()->KAString(), "second");
    std::unique_ptr<CKesListable> recordCopy(record.KLTargetDeepCopy(&record));
    ASSERT_NE(recordCopy, nullptr);
    *record.KRValueOf("a") = CKesAtom("changed");
    EXPECT_STREQ(static_cast<CKesRecord*>(recordCopy.get())->KRValueOf("a")->KAString(), "first");
}

TEST(Record, RefusesValuesThatCouldNeverBeEncoded)
{
    ksxtest::ErrorCapture errors;
    CKesRecord record;
    EXPECT_EQ(record.KRAddValue(nullptr, "text"), -220552);
    EXPECT_EQ(record.KRAddValue("name", static_cast<const char*>(nullptr)), -220552);
    EXPECT_EQ(record.KRAddValue("name", CKesAtom()), -220552);
    EXPECT_EQ(record.KRAddValue(static_cast<CKesVarBind*>(nullptr)), -220552);
    EXPECT_EQ(record.KRAddValue(new CKesVarBind("name", CKesAtom())), -220552);  // deleted, not leaked
    EXPECT_EQ(record.KRCount(), 0);
    EXPECT_EQ(errors.Count(-220552, "CKesBaseRecord"), 4);
}

TEST(Record, PrintWritesOneLinePerValue)
{
    CKesRecord record;
    record.KRAddValue("KesSockInternalServiceName", "Orders");
    record.KRAddValue("port", CKesAtom(4711L));
    const unsigned char bytes[] = {0xde, 0xad};
    record.KRAddValue("raw", CKesAtom(bytes, 2));
    testing::internal::CaptureStdout();
    record.KRPrint();
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "KesSockInternalServiceName = Orders\nport = 4711\nraw = dead\n");
}
