// Typed values and the record's content operations.
#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <limits>
#include <memory>
#include <string>

#include "CKesRecord.h"
#include "KesTestSupport.h"

namespace {

// The atom's heap text ("<null>" for none), freed.
std::string Rep(const CKesAtom& atom)
{
    char* text = atom.KAStrRep();
    std::string result(text != nullptr ? text : "<null>");
    free(text);
    return result;
}

} // namespace

TEST(Atom, StrRepIsExactAndKeepsEveryByteOfATextWithNul)
{
    EXPECT_EQ(Rep(CKesAtom(std::numeric_limits<long long>::min())), "-9223372036854775808");
    const unsigned char bytes[] = {0x00, 0xab, 0x10, 0xff};
    EXPECT_EQ(Rep(CKesAtom(bytes, sizeof bytes)), "00ab10ff");
    EXPECT_EQ(Rep(CKesAtom()), "<null>");
    for (double value : {0.1, 1.0 / 3.0, 5e-324, std::numeric_limits<double>::max()}) {
        const std::string text = Rep(CKesAtom(value));
        EXPECT_EQ(strtod(text.c_str(), nullptr), value) << text;
        EXPECT_LE(text.size(), 24u) << text; // shortest form, not %.17g padding
    }
    CKesAtom text = CKesAtom::KAText("ab\0cd", 5);
    EXPECT_EQ(text.KALength(), 5u);
    char* rep = text.KAStrRep();
    EXPECT_EQ(memcmp(rep, "ab\0cd", 6), 0); // every byte, NUL-terminated
    free(rep);
}

TEST(Record, ValuesAreFoundByFirstNameCopiedDeeplyAndUnencodableOnesRefused)
{
    CKesRecord record;
    record.KRAddValue("a", "first");
    record.KRAddValue("b", CKesAtom(2));
    record.KRAddValue("a", "second");
    EXPECT_STREQ(record.KRValueOf("a")->KAString(), "first");
    EXPECT_EQ(record.KRValueOf("c"), nullptr);
    EXPECT_EQ(record.KRCount(), 3);
    std::unique_ptr<CKesListable> copy(record.KLTargetDeepCopy(&record));
    ASSERT_NE(copy, nullptr);
    *record.KRValueOf("a") = CKesAtom("changed");
    EXPECT_STREQ(static_cast<CKesRecord*>(copy.get())->KRValueOf("a")->KAString(), "first");

    ksxtest::ErrorCapture errors;
    EXPECT_EQ(record.KRAddValue(nullptr, "text"), -220552);
    EXPECT_EQ(record.KRAddValue("name", CKesAtom()), -220552);
    EXPECT_EQ(record.KRAddValue(new CKesVarBind("name", CKesAtom())), -220552); // deleted, not leaked
    EXPECT_EQ(record.KRCount(), 3);
    EXPECT_EQ(errors.Count(-220552, "CKesBaseRecord"), 3);
}
